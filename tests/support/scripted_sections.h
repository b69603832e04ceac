#pragma once

// The PSI readers' scripted sections come from the same device as the PES
// filter's scripted stream.
#include "support/scripted_demux.h"

using ScriptedSectionDemux = ScriptedDemux;
