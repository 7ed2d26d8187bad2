/* A minimal loader of 32-bit x86 Windows DLLs into a Linux i386 process: see pe_loader.h.
 *
 * The records read here, with their offsets, all little-endian:
 *   DOS header:       "MZ"; at 0x3c the file offset of the PE signature "PE\0\0"
 *   file header (20): Machine u16 @0 (0x14c: i386), NumberOfSections u16 @2, SizeOfOptionalHeader u16 @16,
 *                     Characteristics u16 @18 (0x2000: a DLL)
 *   optional header:  Magic u16 @0 (0x10b: 32-bit), AddressOfEntryPoint @16, ImageBase @28,
 *                     SectionAlignment @32, SizeOfImage @56, SizeOfHeaders @60, NumberOfRvaAndSizes @92,
 *                     then the data directories (RVA, size) from @96: 0 exports, 1 imports,
 *                     5 base relocations, 9 thread-local storage
 *   section (40):     Name[8], VirtualSize @8, VirtualAddress @12, SizeOfRawData @16, PointerToRawData @20,
 *                     Characteristics @36 (0x20000000 execute, 0x40000000 read, 0x80000000 write)
 *   export directory: NumberOfFunctions @20, NumberOfNames @24, AddressOfFunctions @28, AddressOfNames @32,
 *                     AddressOfNameOrdinals @36
 *   import descriptor (20, a zero one ends the list): OriginalFirstThunk @0, Name @12, FirstThunk @16;
 *                     each thunk is the RVA of a u16 hint and the name, or an ordinal (top bit set)
 *   relocation block: page RVA, block size, then u16 entries: type << 12 | offset (0 padding,
 *                     3 add the load delta to the u32 there)
 *   TLS directory:    StartAddressOfRawData, EndAddressOfRawData, AddressOfIndex, AddressOfCallBacks
 *                     (virtual addresses, relocated like any other), SizeOfZeroFill
 * Every offset and size read from the file is checked against the file or the image before use. */
#include "pe_loader.h"

#include <asm/ldt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#if !defined(__i386__)
#error "the PE loader runs 32-bit x86 DLLs in a 32-bit x86 process (build it for linux-i686)"
#endif

#define PE_WINAPI __attribute__((stdcall))
typedef int(PE_WINAPI* DllEntry)(void* module, uint32_t reason, void* reserved);

enum {
    dllProcessDetach = 0,
    dllProcessAttach = 1,
    dirExport = 0,
    dirImport = 1,
    dirBaseRelocation = 5,
    dirTls = 9,
    dirCount = 16,
    scnExecute = 0x20000000,
    scnRead = 0x40000000,
    scnWrite = 0x80000000u,
    pageNoAccess = 0x01,
    pageReadOnly = 0x02,
    pageReadWrite = 0x04,
    pageExecute = 0x10,
    pageExecuteRead = 0x20,
    pageExecuteReadWrite = 0x40,
    maxImageSize = 256 << 20,
    tlsSlotCount = 64
};

struct PeModule {
    uint8_t* base;
    size_t size;         /* SizeOfImage, in whole pages */
    uint32_t* pageGuard; /* the Windows protection of each page */
    uint32_t entry;      /* RVA, 0: none */
    uint32_t dirRva[dirCount], dirSize[dirCount];
    void* tlsData;
    int attached;
};

/* One DLL at a time: VirtualProtect and VirtualQuery work on it. */
static struct PeModule* current;
static size_t pageSize;

static uint16_t get16(const uint8_t* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
static uint32_t get32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static void put32(uint8_t* p, uint32_t v) {
    memcpy(p, &v, sizeof v); /* the process is little-endian i386 */
}
/* [offset, offset + length) lies within [0, size). */
static int within(size_t size, uint32_t offset, uint32_t length) {
    return offset <= size && length <= size - offset;
}
static const char* imageString(const struct PeModule* m, uint32_t rva) {
    if (rva >= m->size || !memchr(m->base + rva, 0, m->size - rva)) {
        return NULL;
    }
    return (const char*)m->base + rva;
}

static int fail(char* error, size_t errorSize, const char* format, ...) __attribute__((format(printf, 3, 4)));
static int fail(char* error, size_t errorSize, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(error, errorSize, format, args);
    va_end(args);
    return 0;
}

/* ---------------------------------------------------------------- the thread information block */
/* Code built for Windows finds its thread information block through %fs: at 0x18 the block's own
 * address, at 0x04 and 0x08 the stack's top and bottom, at 0x2c the thread's TLS slots. glibc on i386
 * keeps its own thread pointer in %gs, so %fs is ours. */
static uint8_t threadBlock[0x1000] __attribute__((aligned(16)));
static uint8_t processBlock[0x1000] __attribute__((aligned(16)));
static void* tlsSlots[tlsSlotCount];

static int setUpThreadBlock(char* error, size_t errorSize) {
    static int done;
    if (done) {
        return 1;
    }
    const uint32_t self = (uint32_t)(uintptr_t)threadBlock;
    const uint32_t stackTop = ((uint32_t)(uintptr_t)__builtin_frame_address(0) + 0xffffu) & ~0xffffu;
    put32(threadBlock + 0x00, 0xffffffffu); /* no exception handler frames */
    put32(threadBlock + 0x04, stackTop);
    put32(threadBlock + 0x08, stackTop - (8u << 20));
    put32(threadBlock + 0x18, self);
    put32(threadBlock + 0x20, (uint32_t)getpid());
    put32(threadBlock + 0x24, (uint32_t)getpid());
    put32(threadBlock + 0x2c, (uint32_t)(uintptr_t)tlsSlots);
    put32(threadBlock + 0x30, (uint32_t)(uintptr_t)processBlock);

    struct user_desc d;
    memset(&d, 0, sizeof d);
    d.entry_number = (unsigned)-1;
    d.base_addr = self;
    d.limit = sizeof threadBlock - 1;
    d.seg_32bit = 1;
    d.useable = 1;
    unsigned selector;
    if (syscall(SYS_set_thread_area, &d) == 0) {
        selector = d.entry_number << 3 | 3; /* a global descriptor, ring 3 */
    } else {
        d.entry_number = 0;
        if (syscall(SYS_modify_ldt, 1, &d, sizeof d) != 0) {
            return fail(error, errorSize, "cannot give %%fs a thread information block");
        }
        selector = 0 << 3 | 4 | 3; /* a local descriptor, ring 3 */
    }
    __asm__ volatile("movw %w0, %%fs" : : "q"(selector));
    uint32_t seen;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(seen));
    if (seen != self) {
        return fail(error, errorSize, "%%fs does not reach the thread information block");
    }
    done = 1;
    return 1;
}

/* ---------------------------------------------------------------- protections */
static int hostProtection(uint32_t guard) {
    switch (guard & 0xff) {
    case pageReadOnly:
        return PROT_READ;
    case pageReadWrite:
        return PROT_READ | PROT_WRITE;
    case pageExecute:
    case pageExecuteRead:
        return PROT_READ | PROT_EXEC;
    case pageExecuteReadWrite:
        return PROT_READ | PROT_WRITE | PROT_EXEC;
    default:
        return PROT_NONE;
    }
}
static uint32_t sectionProtection(uint32_t characteristics) {
    const int x = (characteristics & scnExecute) != 0, w = (characteristics & scnWrite) != 0;
    const int r = (characteristics & scnRead) != 0;
    if (x) {
        return w ? pageExecuteReadWrite : pageExecuteRead;
    }
    return w ? pageReadWrite : r ? pageReadOnly : pageNoAccess;
}
static int applyProtection(struct PeModule* m, size_t firstPage, size_t pages, uint32_t guard) {
    if (mprotect(m->base + firstPage * pageSize, pages * pageSize, hostProtection(guard)) != 0) {
        return 0;
    }
    for (size_t i = 0; i < pages; ++i) {
        m->pageGuard[firstPage + i] = guard;
    }
    return 1;
}

int peProtect(void* address, size_t size, uint32_t protection, uint32_t* old) {
    struct PeModule* m = current;
    const uintptr_t a = (uintptr_t)address, base = m ? (uintptr_t)m->base : 0;
    if (!m || a < base || a - base >= m->size || size > m->size - (a - base) || size == 0) {
        return 0;
    }
    const size_t first = (a - base) / pageSize, last = (a - base + size - 1) / pageSize;
    if (old) {
        *old = m->pageGuard[first];
    }
    return applyProtection(m, first, last - first + 1, protection);
}

size_t peQuery(const void* address, void** base, size_t* regionSize, uint32_t* protection,
               void** allocationBase) {
    const struct PeModule* m = current;
    const uintptr_t a = (uintptr_t)address, b = m ? (uintptr_t)m->base : 0;
    if (!m || a < b || a - b >= m->size) {
        return 0;
    }
    size_t page = (a - b) / pageSize, end = page;
    while (end < m->size / pageSize && m->pageGuard[end] == m->pageGuard[page]) {
        ++end;
    }
    *base = m->base + page * pageSize;
    *regionSize = (end - page) * pageSize;
    *protection = m->pageGuard[page];
    *allocationBase = m->base;
    return 1;
}

/* ---------------------------------------------------------------- loading */
static int readFile(const char* path, uint8_t** data, size_t* size, char* error, size_t errorSize) {
    FILE* f = fopen(path, "rb");
    if (!f) {
        return fail(error, errorSize, "cannot open %s", path);
    }
    size_t capacity = 1 << 20, n = 0;
    uint8_t* buffer = malloc(capacity);
    for (size_t got = 1; buffer && got > 0;) {
        if (n == capacity) {
            uint8_t* bigger = capacity < maxImageSize ? realloc(buffer, capacity * 2) : NULL;
            if (!bigger) {
                free(buffer);
                buffer = NULL;
                break;
            }
            buffer = bigger;
            capacity *= 2;
        }
        got = fread(buffer + n, 1, capacity - n, f);
        n += got;
    }
    const int bad = ferror(f);
    fclose(f);
    if (!buffer || bad) {
        free(buffer);
        return fail(error, errorSize, "cannot read %s", path);
    }
    *data = buffer;
    *size = n;
    return 1;
}

static int mapSections(struct PeModule* m, const uint8_t* file, size_t fileSize, uint32_t sections,
                       uint32_t count, uint32_t headersSize, char* error, size_t errorSize) {
    memcpy(m->base, file, headersSize < fileSize ? headersSize : fileSize);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* s = file + sections + 40 * i;
        const uint32_t virtualSize = get32(s + 8), rva = get32(s + 12), rawSize = get32(s + 16);
        const uint32_t rawOffset = get32(s + 20);
        const uint32_t span = virtualSize ? virtualSize : rawSize;
        const uint32_t copied = rawSize < span ? rawSize : span;
        if (!within(m->size, rva, span) || !within(fileSize, rawOffset, copied) || rva % pageSize != 0) {
            return fail(error, errorSize, "section %u (%.8s) lies outside the image or the file", i,
                        (const char*)s);
        }
        memcpy(m->base + rva, file + rawOffset, copied);
    }
    return 1;
}

static int relocate(struct PeModule* m, uint32_t delta, char* error, size_t errorSize) {
    const uint32_t start = m->dirRva[dirBaseRelocation], size = m->dirSize[dirBaseRelocation];
    if (delta != 0 && size == 0) {
        return fail(error, errorSize, "the DLL cannot be moved from its preferred base (no relocations)");
    }
    if (!within(m->size, start, size)) {
        return fail(error, errorSize, "the relocations lie outside the image");
    }
    for (uint32_t at = start; at + 8 <= start + size;) {
        const uint32_t page = get32(m->base + at), blockSize = get32(m->base + at + 4);
        if (blockSize < 8 || blockSize > start + size - at) {
            return fail(error, errorSize, "a relocation block at %#x has a bad size", at);
        }
        for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const uint16_t entry = get16(m->base + e);
            const uint32_t target = page + (entry & 0xfffu);
            switch (entry >> 12) {
            case 0: /* padding */
                break;
            case 3: /* the whole 32-bit address */
                if (!within(m->size, target, 4)) {
                    return fail(error, errorSize, "a relocation at %#x lies outside the image", target);
                }
                put32(m->base + target, get32(m->base + target) + delta);
                break;
            default:
                return fail(error, errorSize, "relocation type %u is not one of 32-bit x86", entry >> 12);
            }
        }
        at += blockSize;
    }
    return 1;
}

static int resolveImports(struct PeModule* m, char* error, size_t errorSize) {
    const uint32_t start = m->dirRva[dirImport];
    if (m->dirSize[dirImport] == 0) {
        return 1;
    }
    for (uint32_t d = start;; d += 20) {
        if (!within(m->size, d, 20)) {
            return fail(error, errorSize, "the import list runs outside the image");
        }
        const uint32_t lookup = get32(m->base + d), nameRva = get32(m->base + d + 12);
        const uint32_t addresses = get32(m->base + d + 16);
        if (nameRva == 0 && addresses == 0) {
            return 1;
        }
        const char* dll = imageString(m, nameRva);
        if (!dll) {
            return fail(error, errorSize, "an imported library's name lies outside the image");
        }
        const uint32_t names = lookup ? lookup : addresses;
        for (uint32_t i = 0;; ++i) {
            if (!within(m->size, names + 4 * i, 4) || !within(m->size, addresses + 4 * i, 4)) {
                return fail(error, errorSize, "the imports from %s run outside the image", dll);
            }
            const uint32_t thunk = get32(m->base + names + 4 * i);
            if (thunk == 0) {
                break;
            }
            if (thunk & 0x80000000u) {
                return fail(error, errorSize, "%s is imported by ordinal (%u)", dll, thunk & 0xffffu);
            }
            const char* name = thunk <= m->size - 2 ? imageString(m, thunk + 2) : NULL;
            if (!name) {
                return fail(error, errorSize, "an import's name from %s lies outside the image", dll);
            }
            void* address = peWin32Import(dll, name);
            if (!address) {
                return fail(error, errorSize, "imports %s from %s, which this loader does not provide", name,
                            dll);
            }
            put32(m->base + addresses + 4 * i, (uint32_t)(uintptr_t)address);
        }
    }
}

/* The image's virtual address va as a pointer into the image, or NULL where [va, va + length) lies
 * outside it. */
static uint8_t* imageAddress(const struct PeModule* m, uint32_t va, uint32_t length) {
    const uint32_t rva = va - (uint32_t)(uintptr_t)m->base;
    return va >= (uint32_t)(uintptr_t)m->base && within(m->size, rva, length) ? m->base + rva : NULL;
}

/* The virtual address va lies in an executable page of the image. */
static int isCode(const struct PeModule* m, uint32_t va) {
    const uint8_t* code = imageAddress(m, va, 1);
    return code && (hostProtection(m->pageGuard[(size_t)(code - m->base) / pageSize]) & PROT_EXEC);
}

/* Gives the DLL's implicit thread-local data a slot: a copy of its template, its index written where
 * the DLL looks for it. */
static int setUpTls(struct PeModule* m, char* error, size_t errorSize) {
    if (m->dirSize[dirTls] == 0) {
        return 1;
    }
    const uint8_t* dir = within(m->size, m->dirRva[dirTls], 24) ? m->base + m->dirRva[dirTls] : NULL;
    if (!dir) {
        return fail(error, errorSize, "the TLS directory lies outside the image");
    }
    const uint32_t start = get32(dir), end = get32(dir + 4), zeroFill = get32(dir + 16);
    const uint8_t* data = end >= start ? imageAddress(m, start, end - start) : NULL;
    uint8_t* index = imageAddress(m, get32(dir + 8), 4);
    if (!data || !index || zeroFill > maxImageSize) {
        return fail(error, errorSize, "the TLS directory points outside the image");
    }
    m->tlsData = calloc(1, end - start + zeroFill + 1);
    if (!m->tlsData) {
        return fail(error, errorSize, "out of memory");
    }
    memcpy(m->tlsData, data, end - start);
    tlsSlots[0] = m->tlsData;
    put32(index, 0);
    return 1;
}

/* Runs the TLS callbacks (for attach before the entry point, for detach after it). */
static int runTlsCallbacks(struct PeModule* m, uint32_t reason, char* error, size_t errorSize) {
    if (m->dirSize[dirTls] == 0) {
        return 1;
    }
    const uint32_t list = get32(m->base + m->dirRva[dirTls] + 12);
    for (uint32_t i = 0; list != 0; ++i) {
        const uint8_t* slot = imageAddress(m, list + 4 * i, 4);
        if (!slot) {
            return fail(error, errorSize, "the TLS callbacks run outside the image");
        }
        const uint32_t callback = get32(slot);
        if (callback == 0) {
            break;
        }
        uint8_t* code = imageAddress(m, callback, 1);
        if (!isCode(m, callback)) {
            return fail(error, errorSize, "a TLS callback lies outside the image's code");
        }
        DllEntry f;
        memcpy(&f, &code, sizeof f);
        f(m->base, reason, NULL);
    }
    return 1;
}

static int parseAndMap(struct PeModule* m, const uint8_t* file, size_t fileSize, char* error,
                       size_t errorSize) {
    if (!within(fileSize, 0, 0x40) || file[0] != 'M' || file[1] != 'Z') {
        return fail(error, errorSize, "not a Windows executable (no MZ header)");
    }
    const uint32_t pe = get32(file + 0x3c);
    if (!within(fileSize, pe, 24) || memcmp(file + pe, "PE\0\0", 4) != 0) {
        return fail(error, errorSize, "not a Windows executable (no PE signature)");
    }
    const uint8_t* header = file + pe + 4;
    const uint32_t sectionCount = get16(header + 2), optionalSize = get16(header + 16);
    if (get16(header) != 0x14c) {
        return fail(error, errorSize, "not a 32-bit x86 image (machine %#x)", get16(header));
    }
    if (!(get16(header + 18) & 0x2000)) {
        return fail(error, errorSize, "not a DLL");
    }
    const uint32_t optional = pe + 24;
    if (optionalSize < 96 || !within(fileSize, optional, optionalSize) || get16(file + optional) != 0x10b) {
        return fail(error, errorSize, "no 32-bit optional header");
    }
    const uint8_t* o = file + optional;
    const uint32_t imageBase = get32(o + 28), alignment = get32(o + 32), imageSize = get32(o + 56);
    const uint32_t headersSize = get32(o + 60);
    uint32_t dirs = get32(o + 92);
    if (dirs > (optionalSize - 96) / 8) {
        dirs = (optionalSize - 96) / 8;
    }
    for (uint32_t i = 0; i < dirs && i < dirCount; ++i) {
        m->dirRva[i] = get32(o + 96 + 8 * i);
        m->dirSize[i] = get32(o + 100 + 8 * i);
    }
    m->entry = get32(o + 16);
    const uint32_t sections = optional + optionalSize;
    if (!within(fileSize, sections, 40 * sectionCount)) {
        return fail(error, errorSize, "the section table runs past the end of the file");
    }
    if (alignment == 0 || alignment % pageSize != 0) {
        return fail(error, errorSize, "sections aligned to %u bytes, not to pages", alignment);
    }
    if (imageSize == 0 || imageSize > maxImageSize || headersSize > imageSize) {
        return fail(error, errorSize, "an image size of %u bytes", imageSize);
    }
    m->size = (imageSize + pageSize - 1) / pageSize * pageSize;
    void* base = mmap(NULL, m->size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    m->pageGuard = calloc(m->size / pageSize, sizeof *m->pageGuard);
    if (base == MAP_FAILED || !m->pageGuard) {
        if (base != MAP_FAILED) {
            munmap(base, m->size);
        }
        m->size = 0;
        return fail(error, errorSize, "cannot map %u bytes", imageSize);
    }
    m->base = base;
    for (size_t i = 0; i < m->size / pageSize; ++i) {
        m->pageGuard[i] = pageReadWrite;
    }
    /* Always loaded where the system puts it, so the relocations are applied on every run. */
    if (!mapSections(m, file, fileSize, sections, sectionCount, headersSize, error, errorSize) ||
        !relocate(m, (uint32_t)(uintptr_t)m->base - imageBase, error, errorSize) ||
        !resolveImports(m, error, errorSize) || !setUpTls(m, error, errorSize)) {
        return 0;
    }
    /* Headers and gaps read-only, each section as its characteristics say. */
    if (!applyProtection(m, 0, m->size / pageSize, pageReadOnly)) {
        return fail(error, errorSize, "cannot protect the image");
    }
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t* s = file + sections + 40 * i;
        const uint32_t rva = get32(s + 12), span = get32(s + 8) ? get32(s + 8) : get32(s + 16);
        if (span > 0 && !applyProtection(m, rva / pageSize, (span + pageSize - 1) / pageSize,
                                         sectionProtection(get32(s + 36)))) {
            return fail(error, errorSize, "cannot protect section %u", i);
        }
    }
    if (m->entry != 0 && !isCode(m, (uint32_t)(uintptr_t)m->base + m->entry)) {
        return fail(error, errorSize, "the entry point lies outside the image's code");
    }
    return 1;
}

static void release(struct PeModule* m) {
    if (m->base) {
        munmap(m->base, m->size);
    }
    if (current == m) {
        current = NULL;
        tlsSlots[0] = NULL;
    }
    free(m->tlsData);
    free(m->pageGuard);
    free(m);
}

static DllEntry entryPoint(const struct PeModule* m) {
    DllEntry f = NULL;
    const uint8_t* code = m->base + m->entry;
    if (m->entry != 0) {
        memcpy(&f, &code, sizeof f);
    }
    return f;
}

struct PeModule* peLoad(const char* path, char* error, size_t errorSize) {
    if (current) {
        fail(error, errorSize, "one DLL at a time");
        return NULL;
    }
    pageSize = (size_t)sysconf(_SC_PAGESIZE);
    uint8_t* file = NULL;
    size_t fileSize = 0;
    if (!setUpThreadBlock(error, errorSize) || !readFile(path, &file, &fileSize, error, errorSize)) {
        return NULL;
    }
    struct PeModule* m = calloc(1, sizeof *m);
    if (!m) {
        free(file);
        fail(error, errorSize, "out of memory");
        return NULL;
    }
    current = m;
    const int mapped = parseAndMap(m, file, fileSize, error, errorSize);
    free(file);
    if (!mapped || !runTlsCallbacks(m, dllProcessAttach, error, errorSize)) {
        release(m);
        return NULL;
    }
    const DllEntry entry = entryPoint(m);
    if (entry && !entry(m->base, dllProcessAttach, NULL)) {
        fail(error, errorSize, "the DLL's entry point refused to attach");
        release(m);
        return NULL;
    }
    m->attached = 1;
    return m;
}

void* peSymbol(const struct PeModule* m, const char* name) {
    const uint32_t dir = m->dirRva[dirExport], dirSize = m->dirSize[dirExport];
    if (dirSize == 0 || !within(m->size, dir, 40)) {
        return NULL;
    }
    const uint8_t* e = m->base + dir;
    const uint32_t functionCount = get32(e + 20), nameCount = get32(e + 24), functions = get32(e + 28);
    const uint32_t names = get32(e + 32), ordinals = get32(e + 36);
    for (uint32_t i = 0; i < nameCount; ++i) {
        if (!within(m->size, names + 4 * i, 4) || !within(m->size, ordinals + 2 * i, 2)) {
            return NULL;
        }
        const char* candidate = imageString(m, get32(m->base + names + 4 * i));
        if (!candidate || strcmp(candidate, name) != 0) {
            continue;
        }
        const uint16_t ordinal = get16(m->base + ordinals + 2 * i);
        if (ordinal >= functionCount || !within(m->size, functions + 4 * ordinal, 4)) {
            return NULL;
        }
        const uint32_t rva = get32(m->base + functions + 4 * ordinal);
        if ((rva >= dir && rva - dir < dirSize) || rva >= m->size) {
            return NULL; /* forwarded to another DLL, or outside the image */
        }
        return m->base + rva;
    }
    return NULL;
}

void peUnload(struct PeModule* m) {
    if (!m) {
        return;
    }
    if (m->attached) {
        char ignored[16];
        const DllEntry entry = entryPoint(m);
        if (entry) {
            entry(m->base, dllProcessDetach, NULL);
        }
        runTlsCallbacks(m, dllProcessDetach, ignored, sizeof ignored);
    }
    release(m);
}
