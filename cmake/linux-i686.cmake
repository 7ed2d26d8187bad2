# Linux on 32-bit x86 with the host's compiler in -m32 mode (Debian: g++-multilib).
# SSE2 math (-msse2 -mfpmath=sse) gives the float and double results of x86_64; the x87 unit's
# extended precision would not. Hosts may call with a 4-byte aligned stack: realign where needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(solvantis_i686_flags "-m32 -msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_C_FLAGS_INIT "${solvantis_i686_flags}")
set(CMAKE_CXX_FLAGS_INIT "${solvantis_i686_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# Built programs (the tests) run directly where the kernel runs 32-bit x86 programs; where it does not
# (a kernel without IA-32 emulation), under qemu-i386 (Debian: qemu-user).
execute_process(COMMAND /lib/ld-linux.so.2 --version RESULT_VARIABLE solvantis_i386_native
                OUTPUT_QUIET ERROR_QUIET)
if(NOT solvantis_i386_native EQUAL 0)
  find_program(SOLVANTIS_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SOLVANTIS_QEMU_I386} -L /)
endif()
