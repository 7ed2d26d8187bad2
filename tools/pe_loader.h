/* A minimal loader of 32-bit x86 Windows DLLs into a Linux i386 process, so that the x86 DLL's own
 * machine code can be run and its render compared where wine's 32-bit side cannot run (a kernel without
 * 32-bit support, with 32-bit programs under qemu-i386). It maps the sections, applies the base
 * relocations, resolves imports from KERNEL32.dll and msvcrt.dll against stand-ins of our own
 * (pe_win32.c), gives the thread a minimal thread information block, runs the TLS callbacks and the
 * entry point, and looks up exports by name. One DLL at a time, one thread. */
#ifndef SOLVANTIS_PE_LOADER_H
#define SOLVANTIS_PE_LOADER_H

#include <stddef.h>
#include <stdint.h>

struct PeModule;

/* Loads and attaches the DLL at path; on failure returns NULL with a message in error. */
struct PeModule* peLoad(const char* path, char* error, size_t errorSize);
/* The address of the named export, or NULL. */
void* peSymbol(const struct PeModule* module, const char* name);
/* Detaches the DLL (its entry point with DLL_PROCESS_DETACH) and unmaps it. */
void peUnload(struct PeModule* module);

/* ---- for the KERNEL32 stand-ins in pe_win32.c */
/* VirtualProtect and VirtualQuery over the loaded image: Windows page protections (PAGE_*). Both
 * return 0 for addresses outside it. */
int peProtect(void* address, size_t size, uint32_t protection, uint32_t* old);
size_t peQuery(const void* address, void** base, size_t* regionSize, uint32_t* protection,
               void** allocationBase);
/* The stand-in for an import of a known DLL: its address, or NULL where we have none. */
void* peWin32Import(const char* dll, const char* name);

#endif
