// The editor interface of a plug-in object. This instrument has no editor; the dispatcher still routes the
// editor opcodes here when an object carries one.
#pragma once

#include "host/vst_abi.h"

#include <cstdint>

namespace solvantis {

class EffectEditor {
public:
    virtual ~EffectEditor() = default;

    // Stores a pointer to the editor's rectangle in *rect; non-zero when it did.
    virtual intptr_t getRect(void** rect) {
        (void)rect;
        return 0;
    }
    // Opens the editor in the host's window (a platform window handle); non-zero on success.
    virtual intptr_t open(void* window) {
        (void)window;
        return 0;
    }
    virtual void close() {}
    virtual void idle() {}
    // Non-zero when the editor used the key.
    virtual intptr_t onKeyDown(VstKeyCode& key) {
        (void)key;
        return 0;
    }
    virtual intptr_t onKeyUp(VstKeyCode& key) {
        (void)key;
        return 0;
    }
    virtual intptr_t setKnobMode(int32_t mode) {
        (void)mode;
        return 0;
    }
};

} // namespace solvantis
