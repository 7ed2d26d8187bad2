// The render does not depend on where the host cuts its blocks, and the fast render gives exactly the bits
// of the plain one, on every processor path, under any events, automation, rates and block sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "dsp/math_functions.h"
#include "math_path_switch.h"
#include "phrase_support.h"

namespace solvantis::testing {
namespace {

struct Patch {
    const char* name;
    void (*set)(SynthParams&);
};

const Patch patches[] = {
    {"default", [](SynthParams&) {}},
    {"power chord", [](SynthParams& p) { p.PowerChord = 1.0f; }},
    {"tone rama",
     [](SynthParams& p) {
         p.ToneRama = 1.0f;
         p.DynaTone = 0.7f;
     }},
    {"chorus", [](SynthParams& p) { p.Chorus = 1.0f; }},
    {"distorter",
     [](SynthParams& p) {
         p.Distorter = 1.0f;
         p.Overdrive = 1.0f;
     }},
    {"legato off",
     [](SynthParams& p) {
         p.Legato = 0;
         p.Velocity = 1.0f;
         p.Release = 0.3f;
     }},
};

// Block sizes one after another: a fixed size, or (size 0) random sizes of 1..4096 drawn from the seed.
struct Blocks {
    int32_t size;
    std::mt19937 random{7};
    int32_t next() { return size > 0 ? size : std::uniform_int_distribution<int32_t>(1, 4096)(random); }
};

// Plays a phrase in the given blocks: the left channel, then the right.
void playInBlocks(VoiceRig& rig, const Phrase& phrase, int32_t size, std::vector<float>& out) {
    Blocks blocks{size};
    std::vector<float> right;
    playPhraseIn(
        rig, phrase, [&] { return blocks.next(); }, out, &right);
    out.insert(out.end(), right.begin(), right.end());
}

// Notes that overlap (legato slides and falls back), bends (one held across the next note), the modulation
// wheel and the volume, a release into silence long enough for whole idle blocks, plucks from silence, and
// the channel mode messages: every message at its own frame.
Phrase everyMessage() {
    Phrase p;
    p.on(100, 52, 100).on(3000, 55, 80).off(5000, 55).bend(6000, 12000).controller(6500, 1, 40);
    p.bend(7000, 8192).controller(7600, 7, 90).off(8000, 52).bend(9000, 2000).controller(12000, 1, 127);
    p.on(30000, 40, 127).controller(33000, 7, 127).off(40000, 40).on(40005, 45, 30).on(44000, 64, 110);
    p.controller(45000, 121, 0).off(46000, 64).on(47000, 57, 100).controller(50000, 123, 0);
    p.on(52000, 59, 90).on(53000, 62, 90).controller(55000, 120, 0).on(55100, 50, 70);
    p.length = 60000;
    return p;
}

TEST(RenderBlocks, EveryBlockSizeGivesTheSameBits) {
    const Phrase phrase = everyMessage();
    for (const Patch& patch : patches) {
        for (float rate : {44100.0f, 48000.0f, 96000.0f}) {
            std::vector<float> reference;
            {
                VoiceRig rig;
                rig.sampleRate = rate;
                patch.set(rig.params);
                playInBlocks(rig, phrase, 512, reference);
            }
            ASSERT_GT(peakOf(reference), 0.05f) << patch.name << " sounds";
            for (int32_t size : {1, 2, 7, 16, 21, 32, 64, 333, 2048, 4096, 0}) {
                VoiceRig rig;
                rig.sampleRate = rate;
                patch.set(rig.params);
                std::vector<float> out;
                playInBlocks(rig, phrase, size, out);
                ASSERT_EQ(out.size(), reference.size());
                EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(float)), 0)
                    << patch.name << " at " << rate << " Hz in blocks of " << (size ? size : -1);
            }
        }
    }
}

// What a host may send: kinds of event streams, each drawn from a seed block by block.
enum class Stream { notes, controllers, automation, hostile };

struct StreamDriver {
    Stream kind;
    std::mt19937 random;
    int32_t pick(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); }
    float unit() { return std::uniform_real_distribution<float>(0.0f, 1.0f)(random); }

    // The next block's MIDI, and changes to the parameters before it.
    void block(int32_t frames, MidiBlock& midi, SynthParams& params) {
        const int32_t events = pick(0, 3);
        for (int32_t i = 0; i < events; ++i) {
            const int32_t at = kind == Stream::hostile ? pick(-3, frames + 3) : pick(0, frames - 1);
            const int32_t note = pick(28, 76);
            switch (pick(0, kind == Stream::notes ? 1 : 4)) {
            case 0:
                midi.add(at, 0x90, static_cast<uint8_t>(note), static_cast<uint8_t>(pick(0, 127)));
                break;
            case 1:
                midi.add(at, 0x80, static_cast<uint8_t>(note), 64);
                break;
            case 2:
                midi.bend(at, pick(0, 16383));
                break;
            case 3: {
                const int32_t numbers[] = {1, 7, 120, 121, 122, 123, 124, 125, 126, 127};
                midi.controller(at, numbers[pick(0, 9)], pick(0, 127));
                break;
            }
            default:
                midi.add(at, static_cast<uint8_t>(pick(0x80, 0xFF)), static_cast<uint8_t>(pick(0, 255)),
                         static_cast<uint8_t>(pick(0, 255)));
                break;
            }
        }
        if (kind == Stream::automation || kind == Stream::hostile) {
            float* fields[] = {&params.Exciter,   &params.Modulation, &params.TovFilter, &params.Pick,
                               &params.Attack,    &params.Decay,      &params.Sustain,   &params.Release,
                               &params.ADSRCurve, &params.Volume,     &params.Fixing,    &params.DynaTone,
                               &params.Distorter, &params.Overdrive,  &params.Chorus,    &params.Velocity,
                               &params.ToneRama,  &params.PowerChord};
            const float hostile[] = {-1.0f,
                                     2.0f,
                                     1.0e30f,
                                     std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(),
                                     0.0f,
                                     1.0f};
            if (pick(0, 15) == 0) { // a program switch: every value at once
                for (float* f : fields) {
                    *f = unit();
                }
                params.Legato = pick(0, 1);
            }
            for (int32_t i = pick(0, 2); i > 0; --i) {
                float& f = *fields[pick(0, 17)];
                f = kind == Stream::hostile && pick(0, 3) == 0 ? hostile[pick(0, 6)] : unit();
            }
            // A hostile value stays only a few blocks, as a host would correct it.
            if (kind == Stream::hostile && pick(0, 7) == 0) {
                for (float* f : fields) {
                    if (!(*f >= 0.0f && *f <= 1.0f)) {
                        *f = unit();
                    }
                }
            }
        }
    }
};

// The fast render against the plain one: the same bits in every block.
void expectTheSameBits(const Patch& patch, float rate, int32_t blockSize, Stream kind, uint32_t seed) {
    VoiceRig fast, plain;
    plain.plain = true;
    for (VoiceRig* rig : {&fast, &plain}) {
        rig->sampleRate = rate;
        patch.set(rig->params);
    }
    StreamDriver driveFast{kind, std::mt19937(seed)}, drivePlain{kind, std::mt19937(seed)};
    Blocks blocks{blockSize};
    int32_t sounding = 0;
    for (int32_t frame = 0; frame < 30000;) {
        const int32_t n = std::min(blocks.next(), 4096);
        MidiBlock fastMidi, plainMidi;
        driveFast.block(n, fastMidi, fast.params);
        drivePlain.block(n, plainMidi, plain.params);
        fast.send(fastMidi);
        plain.send(plainMidi);
        fast.render(n);
        plain.render(n);
        ASSERT_EQ(std::memcmp(fast.left.data(), plain.left.data(), sizeof(float) * static_cast<size_t>(n)), 0)
            << patch.name << " at " << rate << " Hz, blocks of " << blockSize << ", stream "
            << static_cast<int>(kind) << ": left differs in the block at frame " << frame;
        ASSERT_EQ(std::memcmp(fast.right.data(), plain.right.data(), sizeof(float) * static_cast<size_t>(n)),
                  0)
            << patch.name << ": right differs in the block at frame " << frame;
        sounding += peakOf(fast.left) > 1.0e-3f;
        frame += n;
    }
    EXPECT_GT(sounding, 0) << patch.name << ": the comparison heard some sound";
}

TEST(RenderPaths, TheFastRenderGivesThePlainRendersBitsOnEveryPath) {
    const float rates[] = {44100.0f, 48000.0f, 96000.0f, 22050.0f};
    const int32_t sizes[] = {1, 7, 64, 512, 0};
    const Stream kinds[] = {Stream::notes, Stream::controllers, Stream::automation, Stream::hostile};
    struct ForcedPath {
        explicit ForcedPath(bool software) { math::testing::forceSoftwareFma(software); }
        ~ForcedPath() { math::testing::forceSoftwareFma(false); }
    };
    for (bool software : {false, true}) {
        if (!software && !math::detail::usesHardwareFma()) {
            continue; // this processor has the one path only
        }
        const ForcedPath path(software);
        uint32_t seed = 1;
        for (const Patch& patch : patches) {
            for (const Stream kind : kinds) {
                expectTheSameBits(patch, rates[seed % 4], sizes[seed % 5], kind, seed);
                ++seed;
            }
        }
    }
}

// Silence takes no time: the same notes after any leading silence, or with a longer silent gap between two
// phrases, give the same bits once the extra silence is cut out, in blocks of any size. The reference is the
// plain render; a noise or a control clock that ran on through the silence would move every later pluck.
TEST(RenderRest, SilenceBeforeOrBetweenPhrasesChangesNoBit) {
    const Patch restPatches[] = {
        {"default", [](SynthParams&) {}},
        {"noisy",
         [](SynthParams& p) {
             p.Pick = 1.0f;
             p.Modulation = 1.0f;
             p.TovFilter = 1.0f;
         }},
        {"power chord with chorus",
         [](SynthParams& p) {
             p.PowerChord = 1.0f;
             p.Chorus = 1.0f;
             p.DynaTone = 1.0f;
         }},
        {"legato off, driven",
         [](SynthParams& p) {
             p.Legato = 0;
             p.Release = 0.2f;
             p.Distorter = 0.5f;
             p.Overdrive = 1.0f;
         }},
    };
    constexpr int32_t phraseOne = 8000; // from the first note-on to the last note-off
    constexpr int32_t shortGap = 22050; // 0.5 s from that note-off to the next phrase
    // `lead` silent frames, a phrase, `gap` frames with controllers once the voice rests (the wheel, a bend,
    // All Sound Off), a phrase that starts from rest and plucks again in its own release.
    const auto song = [](int32_t lead, int32_t gap) {
        Phrase p;
        p.on(lead, 52, 100).on(lead + 3000, 55, 80).off(lead + 5000, 55).off(lead + phraseOne, 52);
        const int32_t resting = lead + phraseOne + 12000;
        p.controller(resting, 1, 100).bend(resting + 1, 9000).controller(resting + 2, 120, 0);
        const int32_t next = lead + phraseOne + gap;
        p.on(next, 52, 100).off(next + 2000, 52).on(next + 2100, 40, 127).off(next + 9000, 40);
        p.length = next + 12000;
        return p;
    };
    const struct {
        int32_t lead, gap, block; // block 0: random sizes
    } rows[] = {{1, shortGap, 512}, {63, 44100, 21},        {4096, 441000, 0}, {1000000, 44100, 4096},
                {0, 441000, 64},    {1000000, shortGap, 0}, {64, shortGap, 1}};
    for (const Patch& patch : restPatches) {
        VoiceRig plain;
        plain.plain = true;
        patch.set(plain.params);
        std::vector<float> reference;
        playInBlocks(plain, song(0, shortGap), 512, reference);
        const size_t half = reference.size() / 2;
        const size_t secondPhrase = phraseOne + shortGap;
        ASSERT_GT(peakOf({reference.begin(), reference.begin() + secondPhrase}), 0.05f) << patch.name;
        ASSERT_GT(peakOf({reference.begin() + secondPhrase, reference.begin() + half}), 0.05f) << patch.name;
        for (const auto& row : rows) {
            VoiceRig rig;
            patch.set(rig.params);
            std::vector<float> out;
            playInBlocks(rig, song(row.lead, row.gap), row.block, out);
            // Per channel: the leading silence and the gap's extra length (just before the second phrase)
            // cut out.
            const size_t length = out.size() / 2;
            const size_t cutFrom = static_cast<size_t>(row.lead) + secondPhrase;
            const size_t cutTo = static_cast<size_t>(row.lead) + phraseOne + static_cast<size_t>(row.gap);
            std::vector<float> cut;
            for (size_t channel : {size_t{0}, length}) {
                cut.insert(cut.end(), out.begin() + channel + row.lead, out.begin() + channel + cutFrom);
                cut.insert(cut.end(), out.begin() + channel + cutTo, out.begin() + channel + length);
            }
            ASSERT_EQ(cut.size(), reference.size());
            EXPECT_EQ(std::memcmp(cut.data(), reference.data(), cut.size() * sizeof(float)), 0)
                << patch.name << ": " << row.lead << " frames before, a gap of " << row.gap << ", blocks of "
                << row.block;
        }
    }
}

} // namespace
} // namespace solvantis::testing
