#include "catalogue/IntConv.h"

#include <cstdint>

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

bool TryStrToInt(std::string_view text, int32_t& value) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == ' ') ++i;
    if (i == n) return false;

    // Hexadecimal: "$", "x", "X", "0x" or "0X", then 1 to 8 digits; the 32 bits
    // are taken as a signed number, so $FFFFFFFF is -1.
    size_t hexStart = 0;
    if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
        hexStart = i + 1;
    } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hexStart = i + 2;
    }
    if (hexStart != 0) {
        if (hexStart == n) return false;
        uint64_t v = 0;
        for (size_t k = hexStart; k < n; ++k) {
            const int d = HexValue(text[k]);
            if (d < 0) return false;
            v = v * 16 + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFull) return false;
        }
        value = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }

    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    if (i == n) return false;
    int64_t v = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
        if (v > 2147483648LL) return false;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    value = static_cast<int32_t>(v);
    return true;
}

int32_t StrToInt(const std::string& text) {
    int32_t v = 0;
    if (!TryStrToInt(text, v)) throw EConvertError("'" + text + "' is not a valid integer value");
    return v;
}

int32_t StrToIntDef(std::string_view text, int32_t def) {
    int32_t v = 0;
    return TryStrToInt(text, v) ? v : def;
}
