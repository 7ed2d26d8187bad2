// Building and releasing the engine's components: the delay lines and the chorus oscillators.
#pragma once

#include "voice/engine_state.h"

namespace solvantis {

// Gives every engine field its initial value and creates the five delay lines and the two chorus
// oscillators for the given sample rate, in this order: chorusLineLeft, chorusLineRight, chorusLfoLeft,
// chorusLfoRight, stringLineA, stringLineB, combLine. (The limiter reads the shared level table in place.)
// Returns false when an allocation fails; whatever was already built is then released, so a failed set-up
// leaves nothing allocated. Allocates only here, never while rendering.
bool setUpEngine(EngineState& engine, float sampleRate);

// Sizes the delay lines for a new sample rate, so that every key and the chorus's widest sweep fit: lines
// whose length changes are rebuilt empty. Allocates, so it runs where the host changes the rate, never while
// rendering. False when a line could not grow (it keeps its old length, and its delays are held within it).
bool fitEngineToRate(EngineState& engine, float sampleRate);

// Releases every component that exists, in the order of creation.
void releaseEngine(EngineState& engine);

// True when every component exists (a set-up succeeded and nothing has been released since).
bool engineIsComplete(const EngineState& engine);

} // namespace solvantis
