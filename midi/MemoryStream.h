// A growable byte buffer with a read/write position, the shape the MIDI layer
// hands SysEx around in: bytes, size and position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class TMemoryStream {
public:
    const uint8_t* Memory() const { return bytes_.data(); }
    uint8_t* Memory() { return bytes_.data(); }
    size_t Size() const { return bytes_.size(); }
    size_t Position() const { return position_; }
    void SetPosition(size_t p) { position_ = p; }

    // Resizes; new bytes are 0. The position is left where it is.
    void SetSize(size_t n) { bytes_.resize(n); }

    // Writes n bytes at the position, growing the stream, and moves the position on.
    void Write(const void* data, size_t n) {
        if (n == 0) return;
        if (position_ + n > bytes_.size()) bytes_.resize(position_ + n);
        std::memcpy(bytes_.data() + position_, data, n);
        position_ += n;
    }

    // Size 0, position 0, memory released.
    void Clear() {
        std::vector<uint8_t>().swap(bytes_);
        position_ = 0;
    }

    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t position_ = 0;
};
