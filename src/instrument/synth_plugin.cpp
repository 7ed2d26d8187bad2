// SynthPlugin, the instrument as a VST 2 host sees it: life cycle, parameters, programs, MIDI events turned
// into the engine's messages, identity, capabilities and General MIDI names.
#include "instrument/synth_plugin.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "instrument/gm_names.h"
#include "instrument/parameter_table.h"

namespace solvantis {

static_assert(kMinSampleRate == SynthEngine::minSampleRate && kMaxSampleRate == SynthEngine::maxSampleRate,
              "the dispatcher passes on exactly the sample rates the engine plays at");

namespace {

constexpr const char* kEffectName = "Solvantis";
constexpr const char* kVendorName = "Quelvarin";
constexpr const char* kProductName = "Quelvarin Solvantis";

// The capabilities answered with yes; every other text is answered with no (-1), never "don't know" (0).
constexpr const char* kCapabilities[] = {"receiveVstEvents", "receiveVstMidiEvent", "midiProgramNames"};

constexpr bool isProgramIndex(int32_t index) {
    return index >= 0 && index < kNumPrograms;
}
constexpr bool isChannel(int32_t channel) {
    return channel >= 0 && channel < SynthPlugin::kNumChannels;
}

// Copies a constant text with its terminator into a host buffer; a null buffer gets nothing.
void copyText(char* to, const char* from) {
    if (to != nullptr)
        std::strcpy(to, from);
}

// Fills a fixed-width name field of a record: the text, then zeros to the end of the field.
template <std::size_t N> void setField(char (&field)[N], const char* text) {
    std::strncpy(field, text, N - 1);
    field[N - 1] = '\0';
}

// g++ 12 under -fsanitize=undefined can test a thread_local's address against null with flags the address
// computation never set; this one store is kept out of that check.
#if defined(__GNUC__)
__attribute__((noinline, no_sanitize("undefined")))
#endif
void refuseInstance() {
    outOfMemory = true;
}

} // namespace

SynthPlugin::SynthPlugin(audioMasterCallback hostCallback)
    : ExtendedEffectBase(hostCallback, kNumPrograms, kNumParameters),
      programs(new (std::nothrow) SynthProgram[kNumPrograms]), channelPrograms{} {
    for (int32_t channel = 0; channel < kNumChannels; ++channel)
        channelPrograms[channel] = channel;

    if (programs)
        setProgram(0);

    if (hostCallback != nullptr) {
        setNumInputs(0);
        setNumOutputs(kNumOutputs);
        canProcessReplacing(true);
        hasVu(false);
        hasClip(false);
        isSynth(true);
        setUniqueID(kUniqueId);
    }

    const bool engineReady = engine.setUp(sampleRate);
    if (!programs || !engineReady)
        refuseInstance();
}

SynthPlugin::~SynthPlugin() {
    // The bank goes first; the engine's state then releases its components in the order of their creation.
    programs.reset();
}

const SynthProgram* SynthPlugin::program(int32_t index) const {
    return programs && isProgramIndex(index) ? &programs[index] : nullptr;
}

SynthProgram* SynthPlugin::currentProgramRecord() {
    return programs && isProgramIndex(currentProgram) ? &programs[currentProgram] : nullptr;
}

// ---------------------------------------------------------------- parameters and audio

void SynthPlugin::setParameter(int32_t index, float value) {
    if (!isParameterIndex(index))
        return;
    if (SynthProgram* current = currentProgramRecord())
        storeParameter(current->values, index, value);
    storeParameter(liveParams, index, value);
}

float SynthPlugin::getParameter(int32_t index) {
    return readParameter(liveParams, index);
}

void SynthPlugin::process(float** inputs, float** outputs, int32_t sampleFrames) {
    processReplacing(inputs, outputs, sampleFrames);
}

void SynthPlugin::processReplacing(float** /*inputs*/, float** outputs, int32_t sampleFrames) {
    engine.processReplacing(liveParams, sampleRate, outputs, sampleFrames);
}

int32_t SynthPlugin::processEvents(VstEvents* events) {
    // Of a MIDI event only its frame and first three bytes count; events of other kinds (and null pointers
    // in a careless host's list) are skipped. A list longer than the buffer goes over in parts, so every
    // message reaches the note list whatever the count.
    NoteListWriter list = engine.startMidi();
    const int32_t numEvents = events != nullptr ? events->numEvents : 0;
    int32_t count = 0;
    for (int32_t i = 0; i < numEvents; ++i) {
        const VstEvent* event = eventList(events)[i];
        if (event == nullptr || event->type != kVstMidiType)
            continue;
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        midiBuffer[count++] =
            MidiMessage{midi->deltaFrames, midi->midiData[0], midi->midiData[1], midi->midiData[2]};
        if (count == kMidiBufferSize) {
            list.add(std::span(midiBuffer, static_cast<size_t>(count)));
            count = 0;
        }
    }
    list.add(std::span(midiBuffer, static_cast<size_t>(count)));
    return 1;
}

// ---------------------------------------------------------------- programs

void SynthPlugin::setProgram(int32_t index) {
    if (!programs || !isProgramIndex(index))
        return;
    currentProgram = index;
    // A copy of the 19 32-bit values, one relaxed store each: Legato stays an integer, nothing is recomputed.
    copyParameters(liveParams, programs[index].values);
}

void SynthPlugin::setProgramName(char* name) {
    if (SynthProgram* current = currentProgramRecord())
        current->setName(name);
}

void SynthPlugin::getProgramName(char* name) {
    const SynthProgram* current = currentProgramRecord();
    copyText(name, current ? current->name : "");
}

bool SynthPlugin::getProgramNameIndexed(int32_t /*category*/, int32_t index, char* text) {
    const SynthProgram* indexed = program(index);
    if (indexed == nullptr || text == nullptr)
        return false;
    copyText(text, indexed->name);
    return true;
}

bool SynthPlugin::copyProgram(int32_t destination) {
    const SynthProgram* current = currentProgramRecord();
    if (current == nullptr || !isProgramIndex(destination))
        return false;
    if (destination != currentProgram)
        programs[destination] = *current;
    return true;
}

// ---------------------------------------------------------------- parameter texts

void SynthPlugin::getParameterName(int32_t index, char* text) {
    if (const char* name = parameterName(index))
        copyText(text, name);
}

void SynthPlugin::getParameterLabel(int32_t index, char* label) {
    // Unlabelled parameters get the empty label, so a host that reuses its buffer shows no stale text.
    if (const char* text = parameterLabel(index))
        copyText(label, text);
}

void SynthPlugin::getParameterDisplay(int32_t index, char* text) {
    if (text == nullptr)
        return;
    text[0] = '\0';
    const ParameterDisplay display = describeParameterDisplay(liveParams, index);
    switch (display.kind) {
    case ParameterDisplay::Kind::Empty:
        break;
    case ParameterDisplay::Kind::Number:
        float2string(display.number, text);
        break;
    case ParameterDisplay::Kind::Decibels:
        dB2string(display.number, text);
        break;
    case ParameterDisplay::Kind::Text:
        copyText(text, display.text);
        break;
    }
}

// ---------------------------------------------------------------- life cycle

void SynthPlugin::setSampleRate(float newSampleRate) {
    // The base class keeps only rates it accepts; the engine's lines are sized for the rate it keeps. A line
    // that could not grow keeps its length, and the render holds its delays within it.
    ExtendedEffectBase::setSampleRate(newSampleRate);
    engine.fitToSampleRate(sampleRate);
}

void SynthPlugin::setBlockSize(int32_t newBlockSize) {
    ExtendedEffectBase::setBlockSize(newBlockSize);
}

void SynthPlugin::resume() {
    engine.resume();
    wantEvents(1);
}

// ---------------------------------------------------------------- identity and capabilities

bool SynthPlugin::getEffectName(char* name) {
    copyText(name, kEffectName);
    return name != nullptr;
}

bool SynthPlugin::getVendorString(char* text) {
    copyText(text, kVendorName);
    return text != nullptr;
}

bool SynthPlugin::getProductString(char* text) {
    copyText(text, kProductName);
    return text != nullptr;
}

int32_t SynthPlugin::getVendorVersion() {
    return kVendorVersion;
}

int32_t SynthPlugin::canDo(char* text) {
    if (text == nullptr)
        return -1;
    for (const char* capability : kCapabilities) {
        if (std::strcmp(text, capability) == 0)
            return 1;
    }
    return -1;
}

bool SynthPlugin::getOutputProperties(int32_t index, VstPinProperties* properties) {
    // Only the two output pins exist; a negative index is refused like one of 2 or more.
    if (properties == nullptr || index < 0 || index >= kNumOutputs)
        return false;
    std::snprintf(properties->label, sizeof properties->label, "Vstx %1d", static_cast<int>(index + 1));
    properties->flags = kVstPinIsActive | kVstPinIsStereo;
    return true;
}

// ---------------------------------------------------------------- General MIDI program names

void SynthPlugin::fillMidiProgramName(int32_t channel, int32_t programIndex, MidiProgramName* name) {
    name->midiBankMsb = -1;
    name->midiBankLsb = -1;
    name->reserved = 0;
    name->flags = 0;
    if (channel == kDrumChannel) {
        setField(name->name, "Standard");
        name->midiProgram = 0;
        name->parentCategoryIndex = 0;
    } else {
        setField(name->name, gmProgramNames[programIndex]);
        name->midiProgram = static_cast<int8_t>(programIndex);
        name->parentCategoryIndex = gmCategoryOfProgram(programIndex);
    }
}

int32_t SynthPlugin::getMidiProgramName(int32_t channel, MidiProgramName* midiProgramName) {
    if (midiProgramName == nullptr || !isChannel(channel) ||
        !isProgramIndex(midiProgramName->thisProgramIndex))
        return 0;
    fillMidiProgramName(channel, midiProgramName->thisProgramIndex, midiProgramName);
    return channel == kDrumChannel ? 1 : kGmProgramCount;
}

int32_t SynthPlugin::getCurrentMidiProgram(int32_t channel, MidiProgramName* currentProgram) {
    if (currentProgram == nullptr || !isChannel(channel))
        return -1;
    const int32_t programIndex = channelPrograms[channel];
    currentProgram->thisProgramIndex = programIndex;
    fillMidiProgramName(channel, programIndex, currentProgram);
    return programIndex;
}

int32_t SynthPlugin::getMidiProgramCategory(int32_t channel, MidiProgramCategory* category) {
    if (category == nullptr || !isChannel(channel))
        return 0;
    category->parentCategoryIndex = -1;
    category->flags = 0;
    if (channel == kDrumChannel) {
        setField(category->name, "Drums");
        return 1;
    }
    const int32_t index = category->thisCategoryIndex;
    setField(category->name, index >= 0 && index < kGmCategoryCount ? gmCategoryNames[index] : "");
    return kGmCategoryCount;
}

bool SynthPlugin::hasMidiProgramsChanged(int32_t /*channel*/) {
    return false;
}

bool SynthPlugin::getMidiKeyName(int32_t channel, MidiKeyName* keyName) {
    if (keyName == nullptr || !isChannel(channel))
        return false;
    setField(keyName->keyName, "");
    keyName->reserved = 0;
    keyName->flags = 0;
    return false;
}

} // namespace solvantis
