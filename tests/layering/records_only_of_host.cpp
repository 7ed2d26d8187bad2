// Must not compile with the dsp layer's include folders: only the records header of host is visible.
#include "host/effect_base.h"
#include "host/vst_abi.h"
