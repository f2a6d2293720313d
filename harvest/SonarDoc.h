// Header and trailer lines that make the name list a fragment of an
// instrument definition (.ins) file.
#pragma once

#include <string>
#include <vector>

#include "catalogue/Synth.h"

extern const char* const kMakerWebAddress;

// Nine lines.
std::vector<std::string> SonarHeaderLines(const TSynth& model);
// Seven lines, eight when SonarBankMethod is 0.  Throws EConvertError when
// SonarBankMethod is not 0 and BankMSB or BankLSB is no integer text.
std::vector<std::string> SonarTrailerLines(const TSynth& model);
