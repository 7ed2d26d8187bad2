// The voice of one instrument: set-up and the life-cycle requests.
#include "voice/synth_engine.h"

#include "voice/engine_setup.h"

namespace solvantis {

bool SynthEngine::setUp(float sampleRate) {
    return setUpEngine(state, sampleRate);
}

void SynthEngine::resume() {
    state.voice.noteEvents[0].deltaFrames = -1;
    state.limiter.reset();
}

bool SynthEngine::fitToSampleRate(float sampleRate) {
    const bool fitted = fitEngineToRate(state, sampleRate);
    state.limiter.reset();
    return fitted;
}

} // namespace solvantis
