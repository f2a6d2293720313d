#include <gtest/gtest.h>

#include <climits>
#include <optional>

#include "catalogue/IntConv.h"

namespace {

struct Case {
    const char* text;
    std::optional<int32_t> value;  // nullopt: not an integer
};

const Case kCases[] = {
    {"0", 0},
    {"12", 12},
    {"   12", 12},
    {"+5", 5},
    {"-5", -5},
    {"00012", 12},
    {"-0", 0},
    {"2147483647", INT32_MAX},
    {"-2147483648", INT32_MIN},
    {"0000000000002147483647", INT32_MAX},
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"99999999999999999999", std::nullopt},
    {"$FF", 255},
    {"$ff", 255},
    {"xFF", 255},
    {"XfF", 255},
    {"0x0B", 11},
    {"0X0b", 11},
    {"  0x10", 16},
    {"$7FFFFFFF", INT32_MAX},
    {"$80000000", INT32_MIN},
    {"$FFFFFFFF", -1},
    {"0x000000000001", 1},
    {"$100000000", std::nullopt},
    {"$", std::nullopt},
    {"x", std::nullopt},
    {"0x", std::nullopt},
    {"$G", std::nullopt},
    {"-$5", std::nullopt},
    {"-0x5", std::nullopt},
    {"0x-5", std::nullopt},
    {"", std::nullopt},
    {"   ", std::nullopt},
    {"+", std::nullopt},
    {"-", std::nullopt},
    {"- 5", std::nullopt},
    {"12 ", std::nullopt},
    {"12abc", std::nullopt},
    {"1e3", std::nullopt},
    {"1.0", std::nullopt},
    {"0b1", std::nullopt},
    {"\t5", std::nullopt},
    {"abc", std::nullopt},
};

TEST(IntConv, TableOfTexts) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        int32_t v = 12345;
        EXPECT_EQ(TryStrToInt(c.text, v), c.value.has_value());
        if (c.value) {
            EXPECT_EQ(v, *c.value);
            EXPECT_EQ(StrToInt(c.text), *c.value);
            EXPECT_EQ(StrToIntDef(c.text, 77), *c.value);
        } else {
            EXPECT_EQ(StrToIntDef(c.text, 77), 77);
            EXPECT_EQ(StrToIntDef(c.text, -1), -1);
        }
    }
}

TEST(IntConv, StrictConversionNamesTheText) {
    for (const char* text : {"abc", "", "87x", " "}) {
        try {
            StrToInt(text);
            ADD_FAILURE() << "no error for '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("'") + text + "' is not a valid integer value");
        }
    }
}

TEST(IntConv, EmbeddedNulIsNotANumber) {
    int32_t v = 0;
    EXPECT_FALSE(TryStrToInt(std::string("12\0", 3), v));
}

}  // namespace
