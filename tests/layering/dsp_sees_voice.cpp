// Must not compile with the dsp layer's include folders: dsp does not see voice.
#include "dsp/delay_line.h"
#include "voice/synth_params.h"
