// The plug-in's composition root and its only export. The library's entry point is called `main` by the
// interface; C++ reserves that name for programs, so the function has its own name and the symbol is
// bound to "main".
#include "host/entries.h"
#include "instrument/synth_plugin.h"

#include <new>

namespace {

solvantis::EffectBase* makeInstrument(solvantis::audioMasterCallback hostCallback) {
    return new (std::nothrow) solvantis::SynthPlugin(hostCallback);
}

} // namespace

extern "C" __attribute__((visibility("default"))) solvantis::AEffect*
solvantisPluginMain(solvantis::audioMasterCallback hostCallback) __asm__("main");

extern "C" solvantis::AEffect* solvantisPluginMain(solvantis::audioMasterCallback hostCallback) {
    return solvantis::createInstance(hostCallback, makeInstrument);
}
