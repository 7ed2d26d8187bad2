// The plug-in's composition root and its only export. The library's entry point is called `main` by the
// interface; C++ reserves that name for programs, so the function has its own name and the symbol is
// bound to "main": on ELF by an assembler name (with the version script keeping it the one global), on
// Windows by the module definition file exports.def, which also exports it as VSTPluginMain, the name
// Windows hosts look for first. Nothing runs when the library is loaded: no DllMain of ours, no static
// object with a constructor that does work.
#include "host/entries.h"
#include "instrument/synth_plugin.h"

#include <new>

namespace {

solvantis::EffectBase* makeInstrument(solvantis::audioMasterCallback hostCallback) {
    return new (std::nothrow) solvantis::SynthPlugin(hostCallback);
}

} // namespace

#if defined(_WIN32)
extern "C" solvantis::AEffect* SOLVANTIS_CDECL
solvantisPluginMain(solvantis::audioMasterCallback hostCallback);
#else
extern "C" __attribute__((visibility("default"))) solvantis::AEffect* SOLVANTIS_CDECL
solvantisPluginMain(solvantis::audioMasterCallback hostCallback) __asm__("main");
#endif

extern "C" solvantis::AEffect* SOLVANTIS_CDECL
solvantisPluginMain(solvantis::audioMasterCallback hostCallback) {
    return solvantis::createInstance(hostCallback, makeInstrument);
}
