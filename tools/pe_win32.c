/* Stand-ins for what a 32-bit DLL built with mingw-w64 imports from KERNEL32.dll and msvcrt.dll, for
 * pe_loader.c: one thread, nothing shared with other processes. KERNEL32's functions are stdcall (the
 * callee pops its arguments), msvcrt's cdecl; both may be entered with a stack aligned to 4 bytes only,
 * so every stand-in realigns it before it calls into glibc. Most of msvcrt maps onto glibc directly.
 * An import without a stand-in resolves to one that names it and aborts when called: the threading and
 * exception functions the C++ runtime links in but a render never calls. */
#include <errno.h>
#include <locale.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "pe_loader.h"

#define WINAPI __attribute__((stdcall, force_align_arg_pointer))
#define CRTAPI __attribute__((cdecl, force_align_arg_pointer))

/* ---------------------------------------------------------------- KERNEL32 */
static uint32_t lastError;
static void* tlsValues[64];
static uint32_t tlsUsed;

static uint32_t WINAPI k32GetLastError(void) {
    return lastError;
}
static void WINAPI k32SetLastError(uint32_t e) {
    lastError = e;
}
static void* WINAPI k32GetCurrentProcess(void) {
    return (void*)(intptr_t)-1;
}
static void* WINAPI k32GetCurrentThread(void) {
    return (void*)(intptr_t)-2;
}
static uint32_t WINAPI k32GetCurrentProcessId(void) {
    return (uint32_t)getpid();
}
static uint32_t WINAPI k32GetCurrentThreadId(void) {
    return (uint32_t)getpid();
}
static int WINAPI k32IsDebuggerPresent(void) {
    return 0;
}
static void WINAPI k32Sleep(uint32_t milliseconds) {
    usleep(milliseconds * 1000u);
}
/* 100 ns intervals since 1601 */
static void WINAPI k32GetSystemTimeAsFileTime(uint32_t* fileTime) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    const uint64_t v = ((uint64_t)t.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)t.tv_nsec / 100;
    fileTime[0] = (uint32_t)v;
    fileTime[1] = (uint32_t)(v >> 32);
}
static uint64_t WINAPI k32GetTickCount64(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}
/* One thread: a critical section is always free. */
static void WINAPI k32CriticalSection(void* section) {
    (void)section;
}
static int WINAPI k32TryEnterCriticalSection(void* section) {
    (void)section;
    return 1;
}
static uint32_t WINAPI k32TlsAlloc(void) {
    if (tlsUsed == sizeof tlsValues / sizeof tlsValues[0]) {
        return 0xffffffffu;
    }
    return tlsUsed++;
}
static void* WINAPI k32TlsGetValue(uint32_t index) {
    lastError = 0;
    return index < tlsUsed ? tlsValues[index] : NULL;
}
static int WINAPI k32TlsSetValue(uint32_t index, void* value) {
    if (index >= tlsUsed) {
        return 0;
    }
    tlsValues[index] = value;
    return 1;
}
static int WINAPI k32VirtualProtect(void* address, size_t size, uint32_t protection, uint32_t* old) {
    return peProtect(address, size, protection, old);
}
/* MEMORY_BASIC_INFORMATION on 32-bit Windows */
struct MemoryInformation {
    void* baseAddress;
    void* allocationBase;
    uint32_t allocationProtect;
    size_t regionSize;
    uint32_t state, protect, type;
};
static size_t WINAPI k32VirtualQuery(const void* address, struct MemoryInformation* info, size_t size) {
    if (size < sizeof *info) {
        return 0;
    }
    memset(info, 0, sizeof *info);
    if (!peQuery(address, &info->baseAddress, &info->regionSize, &info->protect, &info->allocationBase)) {
        return 0;
    }
    info->allocationProtect = 0x80; /* execute, write-copy: how an image is mapped */
    info->state = 0x1000;           /* committed */
    info->type = 0x1000000;         /* an image */
    return sizeof *info;
}
/* No other module is loaded: the C++ runtime asks for its shared libgcc, finds none and uses its own. */
static void* WINAPI k32GetModuleHandleA(const char* name) {
    (void)name;
    lastError = 126; /* module not found */
    return NULL;
}
static void* WINAPI k32GetModuleHandleW(const uint16_t* name) {
    (void)name;
    lastError = 126;
    return NULL;
}
static void* WINAPI k32LoadLibraryA(const char* name) {
    (void)name;
    lastError = 126;
    return NULL;
}
static int WINAPI k32FreeLibrary(void* module) {
    (void)module;
    return 0;
}
static void* WINAPI k32GetProcAddress(void* module, const char* name) {
    (void)module, (void)name;
    lastError = 127; /* procedure not found */
    return NULL;
}
/* Exceptions are not raised while rendering: handlers are accepted and never called. */
static void* WINAPI k32AddVectoredExceptionHandler(uint32_t first, void* handler) {
    (void)first;
    return handler;
}
static uint32_t WINAPI k32RemoveVectoredExceptionHandler(void* handle) {
    return handle != NULL;
}
static void WINAPI k32OutputDebugStringA(const char* text) {
    fprintf(stderr, "%s", text);
}
/* Events, semaphores and duplicated thread handles, enough for the C++ runtime's mutexes: with one
 * thread a wait either finds its object signalled or would wait for ever. */
enum { objectFree, objectEvent, objectSemaphore, objectThread, objectCount = 256 };
struct Object {
    int kind, manualReset;
    int32_t count; /* events: 1 signalled; semaphores: the count */
};
static struct Object objects[objectCount];

static void* newObject(int kind, int manualReset, int32_t count) {
    for (int i = 0; i < objectCount; ++i) {
        if (objects[i].kind == objectFree) {
            objects[i].kind = kind;
            objects[i].manualReset = manualReset;
            objects[i].count = count;
            return &objects[i];
        }
    }
    lastError = 8; /* not enough memory */
    return NULL;
}
static struct Object* object(void* handle, int kind) {
    struct Object* o = handle;
    if (o < objects || o >= objects + objectCount || o->kind != kind) {
        lastError = 6; /* invalid handle */
        return NULL;
    }
    return o;
}
static void* WINAPI k32CreateEventA(void* security, int manualReset, int signalled, const char* name) {
    (void)security;
    if (name) {
        fprintf(stderr, "pe_loader: named events are not shared here\n");
        abort();
    }
    return newObject(objectEvent, manualReset, signalled != 0);
}
static int WINAPI k32SetEvent(void* handle) {
    struct Object* o = object(handle, objectEvent);
    return o ? (o->count = 1) : 0;
}
static int WINAPI k32ResetEvent(void* handle) {
    struct Object* o = object(handle, objectEvent);
    return o ? (o->count = 0, 1) : 0;
}
static void* WINAPI k32CreateSemaphoreA(void* security, int32_t initial, int32_t maximum, const char* name) {
    (void)security, (void)maximum;
    if (name) {
        fprintf(stderr, "pe_loader: named semaphores are not shared here\n");
        abort();
    }
    return newObject(objectSemaphore, 0, initial);
}
static int WINAPI k32ReleaseSemaphore(void* handle, int32_t release, int32_t* previous) {
    struct Object* o = object(handle, objectSemaphore);
    if (!o) {
        return 0;
    }
    if (previous) {
        *previous = o->count;
    }
    o->count += release;
    return 1;
}
static uint32_t WINAPI k32WaitForSingleObject(void* handle, uint32_t milliseconds) {
    struct Object* o = handle;
    if (o < objects || o >= objects + objectCount || (o->kind != objectEvent && o->kind != objectSemaphore)) {
        lastError = 6;
        return 0xffffffffu; /* failed */
    }
    if (o->count > 0) {
        if (o->kind == objectSemaphore || !o->manualReset) {
            --o->count;
        }
        return 0; /* signalled */
    }
    if (milliseconds == 0xffffffffu) {
        fprintf(stderr, "pe_loader: the DLL's only thread waits for ever\n");
        abort();
    }
    return 0x102; /* timed out */
}
static int WINAPI k32DuplicateHandle(void* fromProcess, void* handle, void* toProcess, void** duplicate,
                                     uint32_t access, int inherit, uint32_t options) {
    (void)fromProcess, (void)toProcess, (void)access, (void)inherit, (void)options;
    if (handle != k32GetCurrentThread()) {
        fprintf(stderr, "pe_loader: DuplicateHandle is provided for the current thread only\n");
        abort();
    }
    *duplicate = newObject(objectThread, 0, 0);
    return *duplicate != NULL;
}
static int WINAPI k32GetThreadPriority(void* thread) {
    (void)thread;
    return 0; /* normal */
}
static int WINAPI k32CloseHandle(void* handle) {
    struct Object* o = handle;
    if (o < objects || o >= objects + objectCount || o->kind == objectFree) {
        lastError = 6;
        return 0;
    }
    o->kind = objectFree;
    return 1;
}

/* ---------------------------------------------------------------- msvcrt */
/* msvcrt's FILE is 32 bytes; the DLL reaches stdin, stdout and stderr as &_iob[0], [1] and [2]. */
static unsigned char crtIob[3][32];
static int crtMbCurMax = 1;

static FILE* hostFile(void* file) {
    if (file == crtIob[0]) {
        return stdin;
    }
    if (file == crtIob[1]) {
        return stdout;
    }
    if (file == crtIob[2]) {
        return stderr;
    }
    fprintf(stderr, "pe_loader: the DLL used a stream it did not get from _iob\n");
    abort();
}
static int* CRTAPI crtErrno(void) {
    return &errno;
}
typedef void(__attribute__((cdecl)) * InitTerm)(void);
static void CRTAPI crtInitterm(InitTerm* begin, InitTerm* end) {
    for (; begin < end; ++begin) {
        if (*begin) {
            (*begin)();
        }
    }
}
static void CRTAPI crtAmsgExit(int code) {
    fprintf(stderr, "pe_loader: the DLL's C runtime stopped with error R60%02d\n", code);
    _exit(255);
}
static void CRTAPI crtNoOp(int value) {
    (void)value;
}
static void CRTAPI crtAbort(void) {
    fprintf(stderr, "pe_loader: the DLL called abort\n");
    abort();
}
static void CRTAPI crtExit(int status) {
    exit(status);
}
static void* CRTAPI crtMalloc(size_t n) {
    return malloc(n);
}
static void* CRTAPI crtCalloc(size_t n, size_t size) {
    return calloc(n, size);
}
static void* CRTAPI crtRealloc(void* p, size_t n) {
    return realloc(p, n);
}
static void CRTAPI crtFree(void* p) {
    free(p);
}
static char* CRTAPI crtStrdup(const char* s) {
    return strdup(s);
}
static char* CRTAPI crtStrerror(int e) {
    return strerror(e);
}
static int CRTAPI crtAtoi(const char* s) {
    return atoi(s);
}
static char* CRTAPI crtUltoa(unsigned long value, char* text, int radix) {
    char digits[33];
    int n = 0;
    if (radix < 2 || radix > 36) {
        radix = 10;
    }
    do {
        const unsigned d = (unsigned)(value % (unsigned)radix);
        digits[n++] = (char)(d < 10 ? '0' + d : 'a' + d - 10);
        value /= (unsigned)radix;
    } while (value);
    for (int i = 0; i < n; ++i) {
        text[i] = digits[n - 1 - i];
    }
    text[n] = 0;
    return text;
}
/* wchar_t is 16 bits on Windows */
static size_t CRTAPI crtWcslen(const uint16_t* s) {
    size_t n = 0;
    while (s[n]) {
        ++n;
    }
    return n;
}
static double CRTAPI crtLog10(double x) {
    return log10(x);
}
static struct lconv* CRTAPI crtLocaleconv(void) {
    return localeconv(); /* the first ten members, the strings, are laid out alike */
}
static char* CRTAPI crtSetlocale(int category, const char* locale) {
    /* the categories are numbered differently; only "what is it now" is answered */
    (void)category;
    return locale == NULL ? (char*)"C" : NULL;
}
static int CRTAPI crtVfprintf(void* file, const char* format, va_list args) {
    return vfprintf(hostFile(file), format, args);
}
static int CRTAPI crtFprintf(void* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vfprintf(hostFile(file), format, args);
    va_end(args);
    return n;
}
static int CRTAPI crtPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vprintf(format, args);
    va_end(args);
    return n;
}
static int CRTAPI crtFputc(int c, void* file) {
    return fputc(c, hostFile(file));
}
static int CRTAPI crtFputs(const char* s, void* file) {
    return fputs(s, hostFile(file));
}
static size_t CRTAPI crtFwrite(const void* p, size_t size, size_t n, void* file) {
    return fwrite(p, size, n, hostFile(file));
}
static void* CRTAPI crtMemcpy(void* d, const void* s, size_t n) {
    return memcpy(d, s, n);
}
static void* CRTAPI crtMemmove(void* d, const void* s, size_t n) {
    return memmove(d, s, n);
}
static void* CRTAPI crtMemset(void* d, int c, size_t n) {
    return memset(d, c, n);
}
static size_t CRTAPI crtStrlen(const char* s) {
    return strlen(s);
}
static char* CRTAPI crtStrchr(const char* s, int c) {
    return strchr(s, c);
}
static int CRTAPI crtStrcmp(const char* a, const char* b) {
    return strcmp(a, b);
}
static int CRTAPI crtStrncmp(const char* a, const char* b, size_t n) {
    return strncmp(a, b, n);
}
static char* CRTAPI crtStrcpy(char* d, const char* s) {
    return strcpy(d, s);
}
static char* CRTAPI crtStrncpy(char* d, const char* s, size_t n) {
    return strncpy(d, s, n);
}

/* ---------------------------------------------------------------- the table */
struct Import {
    const char* name;
    void* address;
};
#define ENTRY(name, f)                                                                                       \
    { name, (void*)(f) }

static const struct Import kernel32[] = {
    ENTRY("AddVectoredExceptionHandler", k32AddVectoredExceptionHandler),
    ENTRY("CloseHandle", k32CloseHandle),
    ENTRY("CreateEventA", k32CreateEventA),
    ENTRY("CreateSemaphoreA", k32CreateSemaphoreA),
    ENTRY("DeleteCriticalSection", k32CriticalSection),
    ENTRY("DuplicateHandle", k32DuplicateHandle),
    ENTRY("EnterCriticalSection", k32CriticalSection),
    ENTRY("FreeLibrary", k32FreeLibrary),
    ENTRY("GetCurrentProcess", k32GetCurrentProcess),
    ENTRY("GetCurrentProcessId", k32GetCurrentProcessId),
    ENTRY("GetCurrentThread", k32GetCurrentThread),
    ENTRY("GetCurrentThreadId", k32GetCurrentThreadId),
    ENTRY("GetLastError", k32GetLastError),
    ENTRY("GetModuleHandleA", k32GetModuleHandleA),
    ENTRY("GetModuleHandleW", k32GetModuleHandleW),
    ENTRY("GetProcAddress", k32GetProcAddress),
    ENTRY("GetSystemTimeAsFileTime", k32GetSystemTimeAsFileTime),
    ENTRY("GetThreadPriority", k32GetThreadPriority),
    ENTRY("GetTickCount64", k32GetTickCount64),
    ENTRY("InitializeCriticalSection", k32CriticalSection),
    ENTRY("IsDebuggerPresent", k32IsDebuggerPresent),
    ENTRY("LeaveCriticalSection", k32CriticalSection),
    ENTRY("LoadLibraryA", k32LoadLibraryA),
    ENTRY("OutputDebugStringA", k32OutputDebugStringA),
    ENTRY("ReleaseSemaphore", k32ReleaseSemaphore),
    ENTRY("RemoveVectoredExceptionHandler", k32RemoveVectoredExceptionHandler),
    ENTRY("ResetEvent", k32ResetEvent),
    ENTRY("SetEvent", k32SetEvent),
    ENTRY("SetLastError", k32SetLastError),
    ENTRY("Sleep", k32Sleep),
    ENTRY("TlsAlloc", k32TlsAlloc),
    ENTRY("TlsGetValue", k32TlsGetValue),
    ENTRY("TlsSetValue", k32TlsSetValue),
    ENTRY("TryEnterCriticalSection", k32TryEnterCriticalSection),
    ENTRY("VirtualProtect", k32VirtualProtect),
    ENTRY("VirtualQuery", k32VirtualQuery),
    ENTRY("WaitForSingleObject", k32WaitForSingleObject),
    {NULL, NULL},
};

static const struct Import msvcrt[] = {
    ENTRY("__mb_cur_max", &crtMbCurMax),
    ENTRY("__setusermatherr", crtNoOp),
    ENTRY("_amsg_exit", crtAmsgExit),
    ENTRY("_errno", crtErrno),
    ENTRY("_initterm", crtInitterm),
    ENTRY("_iob", crtIob),
    ENTRY("_lock", crtNoOp),
    ENTRY("_strdup", crtStrdup),
    ENTRY("_ultoa", crtUltoa),
    ENTRY("_unlock", crtNoOp),
    ENTRY("abort", crtAbort),
    ENTRY("atoi", crtAtoi),
    ENTRY("calloc", crtCalloc),
    ENTRY("exit", crtExit),
    ENTRY("fprintf", crtFprintf),
    ENTRY("fputc", crtFputc),
    ENTRY("fputs", crtFputs),
    ENTRY("free", crtFree),
    ENTRY("fwrite", crtFwrite),
    ENTRY("localeconv", crtLocaleconv),
    ENTRY("log10", crtLog10),
    ENTRY("malloc", crtMalloc),
    ENTRY("memcpy", crtMemcpy),
    ENTRY("memmove", crtMemmove),
    ENTRY("memset", crtMemset),
    ENTRY("printf", crtPrintf),
    ENTRY("realloc", crtRealloc),
    ENTRY("setlocale", crtSetlocale),
    ENTRY("strchr", crtStrchr),
    ENTRY("strcmp", crtStrcmp),
    ENTRY("strcpy", crtStrcpy),
    ENTRY("strerror", crtStrerror),
    ENTRY("strlen", crtStrlen),
    ENTRY("strncmp", crtStrncmp),
    ENTRY("strncpy", crtStrncpy),
    ENTRY("vfprintf", crtVfprintf),
    ENTRY("wcslen", crtWcslen),
    {NULL, NULL},
};

/* ---------------------------------------------------------------- imports without a stand-in */
enum { missingCapacity = 64 };
static const char* missingNames[missingCapacity];
static int missingCount;

static void missingCalled(int i) {
    fprintf(stderr, "pe_loader: the DLL called %s, which has no stand-in here\n", missingNames[i]);
    abort();
}
/* missingNN is slot 0NN, the two digits read as octal: missing17 is slot 15. */
#define MISSING(i)                                                                                           \
    static void CRTAPI missing##i(void) {                                                                    \
        missingCalled(0##i);                                                                                 \
    }
#define MISSING8(i)                                                                                          \
    MISSING(i##0)                                                                                            \
    MISSING(i##1) MISSING(i##2) MISSING(i##3) MISSING(i##4) MISSING(i##5) MISSING(i##6)                      \
        MISSING(i##7) typedef int missingRow##i
MISSING8(0);
MISSING8(1);
MISSING8(2);
MISSING8(3);
MISSING8(4);
MISSING8(5);
MISSING8(6);
MISSING8(7);
#define MISSING_ADDRESSES8(i)                                                                                \
    (void*)missing##i##0, (void*)missing##i##1, (void*)missing##i##2, (void*)missing##i##3,                  \
        (void*)missing##i##4, (void*)missing##i##5, (void*)missing##i##6, (void*)missing##i##7
static void* const missing[missingCapacity] = {
    MISSING_ADDRESSES8(0), MISSING_ADDRESSES8(1), MISSING_ADDRESSES8(2), MISSING_ADDRESSES8(3),
    MISSING_ADDRESSES8(4), MISSING_ADDRESSES8(5), MISSING_ADDRESSES8(6), MISSING_ADDRESSES8(7)};

void* peWin32Import(const char* dll, const char* name) {
    const struct Import* table = strcasecmp(dll, "KERNEL32.dll") == 0 ? kernel32
                                 : strcasecmp(dll, "msvcrt.dll") == 0 ? msvcrt
                                                                      : NULL;
    if (!table) {
        return NULL;
    }
    for (; table->name; ++table) {
        if (strcmp(table->name, name) == 0) {
            return table->address;
        }
    }
    for (int i = 0; i < missingCount; ++i) {
        if (strcmp(missingNames[i], name) == 0) {
            return missing[i];
        }
    }
    if (missingCount == missingCapacity) {
        return NULL;
    }
    missingNames[missingCount] = strdup(name);
    return missingNames[missingCount] ? missing[missingCount++] : NULL;
}
