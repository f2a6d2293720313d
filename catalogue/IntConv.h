// Integer conversions of settings values: optional leading blanks, then an
// optional sign and decimal digits, or a hexadecimal number introduced by
// "$", "x", "X", "0x" or "0X"; the result is a signed 32-bit number.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True and the value when the whole text is such a number.
bool TryStrToInt(std::string_view text, int32_t& value);
// Strict: throws EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& text);
// Lenient: the default when the text does not convert.
int32_t StrToIntDef(std::string_view text, int32_t def);
