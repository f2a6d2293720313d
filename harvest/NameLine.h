// One output line per patch, cut from the reply block that carries the name.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/Synth.h"

constexpr int kReplyWindowSize = 1000;
using TReplyWindow = std::array<uint8_t, kReplyWindowSize>;

// Throws EListError ("List index out of bounds (%d)") when the category
// applies and its index is not in categoryNames.  Positions outside the
// window read nothing: name bytes there are skipped, a category position
// outside -1..999 gives index 0.
std::string ComposeNameLine(const TReplyWindow& reply, const TSynth& model, int32_t patch,
                            bool sonar, bool number, bool category,
                            const std::vector<std::string>& categoryNames);
