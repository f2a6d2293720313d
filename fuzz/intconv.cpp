// Fuzz target: the integer conversions against a plain reference.
#include "catalogue/IntConv.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Leading spaces, then [+-]digits or ($|x|X|0x|0X)hexdigits, nothing after.
bool Reference(const std::string& s, int32_t& out) {
    size_t i = s.find_first_not_of(' ');
    if (i == std::string::npos) return false;
    const std::string rest = s.substr(i);
    std::string digits;
    bool hex = false;
    if (rest.rfind("0x", 0) == 0 || rest.rfind("0X", 0) == 0) {
        hex = true;
        digits = rest.substr(2);
    } else if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') {
        hex = true;
        digits = rest.substr(1);
    }
    if (hex) {
        if (digits.empty()) return false;
        for (char c : digits)
            if (!IsHexDigit(c)) return false;
        const size_t nz = digits.find_first_not_of('0');
        const std::string sig = nz == std::string::npos ? "0" : digits.substr(nz);
        if (sig.size() > 8) return false;
        out = static_cast<int32_t>(static_cast<uint32_t>(std::strtoul(sig.c_str(), nullptr, 16)));
        return true;
    }
    bool negative = false;
    std::string d = rest;
    if (d[0] == '+' || d[0] == '-') {
        negative = d[0] == '-';
        d = d.substr(1);
    }
    if (d.empty()) return false;
    for (char c : d)
        if (c < '0' || c > '9') return false;
    const size_t nz = d.find_first_not_of('0');
    const std::string sig = nz == std::string::npos ? "0" : d.substr(nz);
    if (sig.size() > 10) return false;
    const long long v = std::strtoll(sig.c_str(), nullptr, 10) * (negative ? -1 : 1);
    if (v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int32_t expected = 0;
    const bool ok = Reference(text, expected);
    int32_t got = 0;
    if (TryStrToInt(text, got) != ok) std::abort();
    if (ok && got != expected) std::abort();
    if (StrToIntDef(text, 12345) != (ok ? expected : 12345)) std::abort();
    try {
        const int32_t v = StrToInt(text);
        if (!ok || v != expected) std::abort();
    } catch (const EConvertError& e) {
        // what() is a C string: a NUL in the text ends the message there.
        const std::string message = "'" + text + "' is not a valid integer value";
        if (ok || std::strcmp(e.what(), message.c_str()) != 0) std::abort();
    }
    return 0;
}
