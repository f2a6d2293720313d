// The virtual instrument's description filled from a model: what the model
// sends as its request, and where its replies carry the name and category.
#pragma once

#include "catalogue/Synth.h"
#include "midi/VirtualInstrument.h"

// Names and categories are left empty: the instrument's built-in demo list.
InstrumentModel InstrumentFor(const TSynth& model);
