// Compiles with the dsp layer's include folders: dsp sees its own headers.
#include "dsp/delay_line.h"
