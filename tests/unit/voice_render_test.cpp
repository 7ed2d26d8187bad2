// The render loop: silence, note timing, envelope phases, the control clock, and the guards that keep
// the host's buffers clean (non-finite sound, denormals, null outputs, allocation).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "dsp/delay_line.h"
#include "dsp/wave_table.h"
#include "engine_alloc_hook.h"
#include "voice_test_support.h"

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace solvantis::testing {
namespace {

struct Render : ::testing::Test {
    VoiceRig rig;
    void SetUp() override { ASSERT_TRUE(rig.ok); }
    Envelope& envelope() { return rig.state().envelope; }
    void noteOn(int32_t frame = 0, int32_t note = 60, int32_t velocity = 100) {
        MidiBlock m;
        m.noteOn(frame, note, velocity);
        rig.send(m);
    }
    void noteOff(int32_t frame, int32_t note = 60) {
        MidiBlock m;
        m.noteOff(frame, note);
        rig.send(m);
    }
};

float peak(const std::vector<float>& x) {
    float p = 0.0f;
    for (float v : x) {
        p = std::fmax(p, std::fabs(v));
    }
    return p;
}

bool allFinite(const std::vector<float>& x) {
    for (float v : x) {
        if (!std::isfinite(v)) {
            return false;
        }
    }
    return true;
}

TEST_F(Render, IsExactlySilentBeforeTheFirstNoteWhateverTheStages) {
    rig.params.Chorus = 1.0f;
    rig.params.Distorter = 1.0f;
    rig.params.PowerChord = 1.0f;
    for (int block = 0; block < 20; ++block) {
        rig.render(256);
        for (size_t i = 0; i < rig.left.size(); ++i) {
            ASSERT_EQ(rig.left[i], 0.0f) << "block " << block << " frame " << i;
            ASSERT_EQ(rig.right[i], 0.0f) << "block " << block << " frame " << i;
        }
    }
}

TEST_F(Render, ANoteAtFrame10SoundsFromFrame11OnBothChannels) {
    noteOn(10, 60, 127);
    rig.render(64);
    for (int i = 0; i <= 10; ++i) {
        EXPECT_EQ(rig.left[static_cast<size_t>(i)], 0.0f) << "frame " << i;
    }
    EXPECT_NE(rig.left[11], 0.0f);
    EXPECT_EQ(rig.left, rig.right) << "without the chorus both channels carry the same signal";
    const std::vector<float> later = rig.play(22050);
    EXPECT_GT(peak(later), 0.05f);
}

TEST_F(Render, AttackOf176Point4SamplesEndsJustBelowOneAndTheDecayFollows) {
    rig.params.Attack = 0.0f;
    rig.params.ADSRCurve = 0.0f;
    noteOn(0);
    rig.render(176);
    EXPECT_EQ(envelope().attackCount, 176.0f);
    EXPECT_NEAR(envelope().envelopeLevel, std::pow(176.0f / 176.4f, 2.0f), 1e-6f);
    EXPECT_LT(envelope().envelopeLevel, 1.0f);
    EXPECT_EQ(envelope().decayCount, 0.0f);
    rig.render(1);
    EXPECT_EQ(envelope().decayCount, 1.0f);
    // The decay starts (1 - Sustain) above the sustain level, which is still rising towards Sustain at 5 Hz.
    EXPECT_NEAR(envelope().envelopeLevel, (1.0f - rig.params.Sustain) + envelope().sustainLevel, 1e-4f);
    EXPECT_GT(envelope().sustainLevel, 0.0f);
}

TEST_F(Render, SustainSettlesAtTheWheelTimesSustain) {
    rig.params.Decay = 0.0f;
    rig.params.Sustain = 0.5f;
    noteOn(0);
    rig.play(44100);
    EXPECT_TRUE(rig.state().voice.voiceGate);
    EXPECT_NEAR(envelope().envelopeLevel, 0.5f, 1e-3f);
    EXPECT_EQ(envelope().envelopeLevel, envelope().sustainLevel);
}

TEST_F(Render, AHeldNoteWithSustainZeroEndsByItself) {
    rig.params.Sustain = 0.0f;
    rig.params.Decay = 0.0f;
    noteOn(0);
    rig.play(4096);
    EXPECT_FALSE(rig.state().voice.voiceGate);
    EXPECT_EQ(rig.state().voice.keyHeld[60], 1) << "the key is still down";
    EXPECT_EQ(envelope().envelopeLevel, 0.0f);
    const std::vector<float> after = rig.play(4096);
    EXPECT_EQ(peak(after), 0.0f);
}

TEST_F(Render, TheReleaseReachesExactlyZeroOnceItsCountPassesTheLengthAndTheStringStops) {
    rig.params.Legato = 0;
    noteOn(0);
    rig.play(22050);
    const float releaseLength = (rig.params.Release * rig.params.Release + 0.01f) * rig.sampleRate * 5.0f;
    const int32_t last = static_cast<int32_t>(std::floor(releaseLength)) + 1; // first count past the length
    noteOff(0);
    rig.render(last - 1);
    EXPECT_EQ(envelope().releaseCount, static_cast<float>(last - 1));
    EXPECT_GE(envelope().envelopeLevel, 0.0f);
    EXPECT_TRUE(rig.state().string.stringActive);
    rig.render(1);
    EXPECT_EQ(envelope().envelopeLevel, 0.0f);
    EXPECT_EQ(rig.left[0], 0.0f);
    rig.render(1);
    EXPECT_FALSE(rig.state().string.stringActive);
}

// The control clock runs on across blocks while the voice sounds: with a note-on at frame 0 it starts at
// frame 1, so after blocks of 5 and 22 frames the last control step was frame 22 of the instrument's life,
// not the second block's first frame (5).
TEST_F(Render, ControlStepsCountTheFramesThatSoundAcrossBlocks) {
    rig.params.Modulation = 1.0f;
    VoiceRig single;
    for (VoiceRig* r : {&rig, &single}) {
        MidiBlock on;
        on.noteOn(0, 57);
        r->send(on);
    }
    rig.render(5);
    rig.render(22);
    single.render(23); // frames 0..22: its last frame is the control step at 22
    EXPECT_EQ(rig.state().exciter.noiseHold, single.state().exciter.noiseState);
    EXPECT_EQ(rig.state().controlTick, 26 % 21);
}

TEST_F(Render, NullOutputsAreLeftAlone) {
    noteOn(0);
    std::vector<float> right(64, 7.0f);
    float* oneMissing[2] = {nullptr, right.data()};
    rig.engine->processReplacing(rig.params, rig.sampleRate, oneMissing, 64);
    EXPECT_EQ(right, std::vector<float>(64, 7.0f));
    rig.engine->processReplacing(rig.params, rig.sampleRate, nullptr, 64);
    // A frame count of 0 or less writes nothing into real buffers either.
    std::vector<float> left(64, 7.0f);
    float* both[2] = {left.data(), right.data()};
    for (int32_t frames : {0, -5}) {
        rig.engine->processReplacing(rig.params, rig.sampleRate, both, frames);
        EXPECT_EQ(left, std::vector<float>(64, 7.0f)) << frames;
        EXPECT_EQ(right, std::vector<float>(64, 7.0f)) << frames;
    }
    rig.render(64);
    EXPECT_TRUE(rig.state().voice.voiceGate);
}

// A NaN or infinite value, an extreme one, or a broken sample rate never puts a NaN or an infinity into the
// host's buffers; once sane values return, the next note sounds normally.
TEST(RenderGuard, NonFiniteSoundIsSilencedAndTheVoiceRecovers) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<const char*, std::function<void(VoiceRig&)>>> cases = {
        {"Volume NaN", [&](VoiceRig& r) { r.params.Volume = nan; }},
        {"Volume inf", [&](VoiceRig& r) { r.params.Volume = inf; }},
        {"Volume 1e30", [](VoiceRig& r) { r.params.Volume = 1e30f; }},
        {"Modulation -1e6", [](VoiceRig& r) { r.params.Modulation = -1e6f; }},
        {"Exciter NaN", [&](VoiceRig& r) { r.params.Exciter = nan; }},
        {"Pick inf", [&](VoiceRig& r) { r.params.Pick = inf; }},
        {"DynaTone NaN", [&](VoiceRig& r) { r.params.DynaTone = nan; }},
        {"Chorus 1 and Volume 1e30",
         [](VoiceRig& r) {
             r.params.Chorus = 1.0f;
             r.params.Volume = 1e30f;
         }},
        {"Sustain NaN", [&](VoiceRig& r) { r.params.Sustain = nan; }},
        {"sample rate 0", [](VoiceRig& r) { r.sampleRate = 0.0f; }},
        {"sample rate -44100", [](VoiceRig& r) { r.sampleRate = -44100.0f; }},
        {"sample rate NaN", [&](VoiceRig& r) { r.sampleRate = nan; }},
    };
    for (const auto& [name, spoil] : cases) {
        VoiceRig rig;
        ASSERT_TRUE(rig.ok);
        const SynthParams sane = rig.params;
        spoil(rig);
        MidiBlock on;
        on.noteOn(3, 48, 127);
        rig.send(on);
        std::vector<float> right;
        const std::vector<float> left = rig.play(44100, 512, &right);
        EXPECT_TRUE(allFinite(left) && allFinite(right)) << name;

        rig.params = sane;
        rig.sampleRate = 44100.0f;
        rig.params.Legato = 0;
        MidiBlock again;
        again.noteOff(0, 48).noteOn(1, 52, 127);
        rig.send(again);
        std::vector<float> right2;
        const std::vector<float> left2 = rig.play(22050, 512, &right2);
        EXPECT_TRUE(allFinite(left2) && allFinite(right2)) << name;
        EXPECT_GT(peak(left2), 0.05f) << name << ": the next note must sound";
    }
}

TEST_F(Render, TheToneFilterRunsOnlyWithDynaToneOrPowerChord) {
    rig.params.DynaTone = 0.0f;
    noteOn(0);
    rig.play(4410);
    EXPECT_EQ(rig.state().tone.toneLow1, 0.0f);
    EXPECT_EQ(rig.state().tone.svfLow, 0.0f);
    EXPECT_EQ(rig.state().limiter.levelGain, 1.0f);
    // PowerChord switches the filter on with DynaTone 0: any value but 0, as any plays the two strings.
    for (float chord : {1.0f, -0.5f}) {
        VoiceRig chordRig;
        chordRig.params.DynaTone = 0.0f;
        chordRig.params.PowerChord = chord;
        MidiBlock m;
        m.noteOn(0, 60, 100);
        chordRig.send(m);
        chordRig.play(512);
        EXPECT_NE(chordRig.state().tone.toneLow1, 0.0f) << "PowerChord " << chord;
        EXPECT_NE(chordRig.state().tone.svfLow, 0.0f) << "PowerChord " << chord;
    }
}

TEST_F(Render, WithoutTheChorusBothChannelsMatchAndItsLinesStandStill) {
    noteOn(0);
    const uint32_t phase = rig.state().chorus.chorusLfoLeft->getPhase();
    const int32_t written = rig.state().chorus.chorusLineLeft->getWriteIndex();
    std::vector<float> right;
    const std::vector<float> left = rig.play(4096, 512, &right);
    EXPECT_EQ(left, right);
    EXPECT_EQ(rig.state().chorus.chorusLfoLeft->getPhase(), phase);
    EXPECT_EQ(rig.state().chorus.chorusLineLeft->getWriteIndex(), written);

    rig.params.Chorus = 1.0f;
    std::vector<float> wideRight;
    const std::vector<float> wideLeft = rig.play(4096, 512, &wideRight);
    EXPECT_NE(wideLeft, wideRight);
    EXPECT_NE(rig.state().chorus.chorusLfoLeft->getPhase(), phase);
}

// Each instrument has its own noise generator: playing a second one in between changes nothing.
TEST(RenderInstances, TwoInstancesNeverDisturbEachOther) {
    auto play = [](VoiceRig& rig, int32_t blocks, VoiceRig* other) {
        std::vector<float> out;
        for (int32_t b = 0; b < blocks; ++b) {
            rig.render(256);
            out.insert(out.end(), rig.left.begin(), rig.left.end());
            if (other != nullptr) {
                other->render(256);
            }
        }
        return out;
    };
    VoiceRig alone, first, second;
    MidiBlock a, b, c;
    a.noteOn(0, 50);
    b.noteOn(0, 50);
    c.noteOn(0, 62);
    alone.send(a);
    first.send(b);
    second.send(c);
    EXPECT_EQ(play(alone, 40, nullptr), play(first, 40, &second));
}

// Blocks at rest after a release take a short cut (nothing moves, the output is written). A centre pitch
// bend in every block changes nothing but keeps a twin engine on the frame-by-frame path, where each bend
// takes its frame at rest: both must leave the same state, so the next notes sound the same, for settings
// whose noise filter forgets quickly or slowly and for odd block lengths.
TEST(RenderIdle, SilentBlocksLeaveTheStateTheSampleBySamplePathLeaves) {
    struct Setting {
        float tovFilter, velocity, release;
        int32_t block;
    };
    for (const Setting& s : {Setting{0.3f, 0.5f, 0.1f, 512}, Setting{0.0f, 0.0f, 0.0f, 333},
                             Setting{1.0f, 1.0f, 0.05f, 64}, Setting{0.5f, 0.2f, 1.0f, 4096}}) {
        VoiceRig shortCut, full;
        for (VoiceRig* rig : {&shortCut, &full}) {
            rig->params.TovFilter = s.tovFilter;
            rig->params.Velocity = s.velocity;
            rig->params.Release = s.release;
            rig->params.Legato = 0;
            MidiBlock on;
            on.noteOn(5, 50, 90);
            rig->send(on);
            rig->play(4000, s.block);
        }
        MidiBlock off;
        off.noteOff(0, 50);
        shortCut.send(off);
        for (int32_t b = 0; b < 400; ++b) {
            shortCut.render(s.block);
            MidiBlock centre;
            if (b == 0) {
                centre.noteOff(0, 50);
            }
            centre.bend(0, 8192);
            full.send(centre);
            full.render(s.block);
            ASSERT_EQ(shortCut.left, full.left) << s.block << " block " << b;
        }
        EXPECT_EQ(shortCut.state().exciter.noiseSeed, full.state().exciter.noiseSeed) << s.block;
        EXPECT_EQ(shortCut.state().exciter.noiseState, full.state().exciter.noiseState) << s.block;
        EXPECT_EQ(shortCut.state().envelope.releaseCount, full.state().envelope.releaseCount) << s.block;
        EXPECT_EQ(shortCut.state().voice.velocityFactor, full.state().voice.velocityFactor) << s.block;
        for (VoiceRig* rig : {&shortCut, &full}) {
            MidiBlock again;
            again.noteOn(3, 55, 70);
            rig->send(again);
        }
        EXPECT_EQ(shortCut.play(8192, s.block), full.play(8192, s.block)) << s.block;
    }
}

#if defined(__SSE__) || defined(__x86_64__)
TEST_F(Render, DenormalsAreFlushedDuringTheCallAndTheHostsModeIsRestored) {
    rig.params.Pick = 0.0f;                            // the noise filter then only decays its state
    const unsigned hostMode = _mm_getcsr() & ~0x8040u; // this host leaves denormals on
    _mm_setcsr(hostMode);
    noteOn(0); // the noise moves while the voice sounds: from the frame after the note-on
    rig.state().exciter.noiseState = 1.0e-38f; // the next step takes it below the smallest normal float
    rig.render(2);
    EXPECT_EQ(rig.state().exciter.noiseState, 0.0f);
    EXPECT_EQ(_mm_getcsr(), hostMode);

    const unsigned flushingHost = hostMode | 0x8040u;
    _mm_setcsr(flushingHost);
    rig.render(16);
    EXPECT_EQ(_mm_getcsr(), flushingHost);
    _mm_setcsr(hostMode);
}
#endif

TEST_F(Render, AllocatesNothingAcrossAThousandBlocksOfPlaying) {
    rig.params.Chorus = 0.5f;
    rig.params.Distorter = 0.5f;
    MidiBlock on, off, bend;
    on.noteOn(100, 57).controller(0, 1, 90);
    off.noteOff(300, 57);
    bend.bend(10, 12000).noteOn(20, 64);
    const MidiBlock* lists[3] = {&on, &off, &bend};
    rig.left.assign(512, 0.0f);
    rig.right.assign(512, 0.0f);
    float* outputs[2] = {rig.left.data(), rig.right.data()};

    beginAllocationWindow();
    for (int block = 0; block < 1000; ++block) {
        if (block % 10 == 0) {
            rig.engine->processMidi(lists[(block / 10) % 3]->messages());
        }
        rig.params.PowerChord = (block / 100) % 2 == 0 ? 0.0f : 1.0f;
        rig.engine->processReplacing(rig.params, rig.sampleRate, outputs, 512);
    }
    const AllocationStats stats = endAllocationWindow();
    EXPECT_EQ(stats.allocations, 0);
}

} // namespace
} // namespace solvantis::testing
