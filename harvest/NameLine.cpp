#include "harvest/NameLine.h"

#include <algorithm>

#include "midi/Midi.h"

namespace {

// Bytes 0x80..0xFF count as -128..-1, as the instrument's signed view of them.
int SignedByte(uint8_t b) {
    return static_cast<int8_t>(b);
}

// The patch number as the Number option shows it.  Worked out in 64 bits so
// that extreme settings give the exact number instead of overflowing.
std::string NumberText(const TSynth& model, int32_t patch) {
    if (model.PatchNumFormat == 1) {
        // Bank:slot, eight slots a bank; the division truncates toward zero
        // and the remainder keeps the sign of d.
        const int64_t d = static_cast<int64_t>(patch) - model.StartPatch;
        return std::to_string(d / 8 + 1) + ":" + std::to_string(d % 8 + 1);
    }
    return std::to_string(static_cast<int64_t>(model.StartNum) + patch);
}

}  // namespace

std::string ComposeNameLine(const TReplyWindow& reply, const TSynth& model, int32_t patch,
                            bool sonar, bool number, bool category,
                            const std::vector<std::string>& categoryNames) {
    // -1 (no category byte) and positions outside the window give index 0.
    int catIndex = 0;
    if (model.CatPos >= 0 && model.CatPos < kReplyWindowSize) {
        catIndex = SignedByte(reply[static_cast<size_t>(model.CatPos)]);
    }

    // Only the part of the name field that lies inside the window is read.
    std::string name;
    const int64_t first = std::max<int64_t>(model.NameStartPos, 0);
    const int64_t end = std::min<int64_t>(static_cast<int64_t>(model.NameStartPos) + model.NameSize,
                                          kReplyWindowSize);
    for (int64_t pos = first; pos < end; ++pos) {
        const int c = SignedByte(reply[static_cast<size_t>(pos)]);
        if (c > 31 && c < 126) name.push_back(static_cast<char>(c));
    }

    std::string prefix;
    if (sonar) prefix = std::to_string(patch) + "=";
    if (number) prefix += NumberText(model, patch) + " - ";

    if (category && model.CatPos != -1 && !model.Category.empty()) {
        if (catIndex < 0 || static_cast<size_t>(catIndex) >= categoryNames.size()) {
            throw EListError(catIndex);
        }
        return prefix + categoryNames[static_cast<size_t>(catIndex)] + "-" + name;
    }
    return prefix + name;
}
