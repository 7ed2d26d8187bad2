#include "dsp/lookup_tables.h"

namespace solvantis {

constexpr NoteFrequencyTable noteFrequencies = makeNoteFrequencies();
constexpr LevelTable levelTable = makeLevelTable();

} // namespace solvantis
