// libFuzzer target: name lines from arbitrary models and reply windows.  The
// reply sits in a heap block of exactly the window's size, so AddressSanitizer
// reports any read outside it.
#include "harvest/NameLine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "midi/Midi.h"

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    int32_t Int() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
        // Mostly small positions near the window, now and then anything.
        switch (Byte() % 4) {
            case 0:
                return static_cast<int32_t>(v);
            case 1:
                return static_cast<int32_t>(v % 2100) - 50;
            default:
                return static_cast<int32_t>(v % 1040) - 20;
        }
    }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    bool Flag() { return Byte() & 1; }
    std::string Text(size_t max) {
        const size_t n = Byte() % (max + 1);
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(Byte()));
        return s;
    }
    size_t Remaining() const { return size_ - pos_; }
    const uint8_t* Rest() const { return data_ + pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    TSynth model;
    model.NameStartPos = in.Int();
    model.NameSize = in.Int();
    model.CatPos = in.Flag() ? -1 : in.Int();
    model.Category = in.Text(4);
    model.StartNum = in.Int();
    model.StartPatch = in.Int();
    model.PatchNumFormat = in.Byte() % 3;
    const int32_t patch = in.Int();
    const bool sonar = in.Flag(), number = in.Flag(), category = in.Flag();
    std::vector<std::string> names(in.Byte() % 8);
    for (std::string& n : names) n = in.Text(6);

    auto reply = std::make_unique<TReplyWindow>();
    reply->fill(0);
    std::memcpy(reply->data(), in.Rest(), std::min(in.Remaining(), reply->size()));

    // With every option off the line is the name alone: printable bytes
    // only, no more of them than the part of the field inside the window.
    const std::string name = ComposeNameLine(*reply, model, patch, false, false, false, names);
    const int64_t first = std::max<int64_t>(model.NameStartPos, 0);
    const int64_t end =
        std::min<int64_t>(int64_t{model.NameStartPos} + model.NameSize, kReplyWindowSize);
    if (static_cast<int64_t>(name.size()) > std::max<int64_t>(end - first, 0)) __builtin_trap();
    for (unsigned char c : name) {
        if (c < 0x20 || c > 0x7D) __builtin_trap();
    }
    try {
        const std::string line =
            ComposeNameLine(*reply, model, patch, sonar, number, category, names);
        // Whatever the options put in front, the name ends the line.
        if (line.size() < name.size() ||
            line.compare(line.size() - name.size(), name.size(), name) != 0)
            __builtin_trap();
    } catch (const EListError&) {
        // The category index was outside the list: the one failure there is.
    }
    return 0;
}
