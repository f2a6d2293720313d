// Name lines cut from a reply block: the eight line shapes, both number forms
// and the awkward bytes and positions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "harvest/NameLine.h"
#include "midi/Midi.h"

namespace {

// A reply of the default shape: F0 ... with the name at 11 (12 bytes) and a
// category byte at 24, then F7; everything after it 0.
TReplyWindow Reply(const std::string& name, uint8_t category = 0) {
    TReplyWindow w{};
    const uint8_t head[] = {0xF0, 0x41, 0x10, 0x00, 0x00, 0x25, 0x12, 0x1F, 0x00, 0x00, 0x00};
    std::memcpy(w.data(), head, sizeof head);
    for (size_t i = 0; i < 12; ++i) w[11 + i] = i < name.size() ? name[i] : ' ';
    w[23] = 0x00;
    w[24] = category;
    w[25] = 0xF7;
    return w;
}

TSynth Model() {
    TSynth m;
    m.Name = "Test";
    m.NameStartPos = 11;
    m.NameSize = 12;
    m.CatPos = 24;
    m.Category = "Types";
    m.StartNum = 1;
    m.StartPatch = 0;
    m.PatchNumFormat = 0;
    return m;
}

const std::vector<std::string> kCats = {"Piano", "Organ", "Guitar", "Bass"};

struct ShapeCase {
    bool sonar, number, category;
    const char* line;
};

class NameLineShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(NameLineShapes, EachCombinationOfOptionsGivesItsShape) {
    const ShapeCase& c = GetParam();
    // Patch 9, plain number StartNum 1 + 9 = 10, category byte 3 = "Bass".
    EXPECT_EQ(
        ComposeNameLine(Reply("Big Bass", 3), Model(), 9, c.sonar, c.number, c.category, kCats),
        c.line);
}

INSTANTIATE_TEST_SUITE_P(EightShapes, NameLineShapes,
                         ::testing::Values(ShapeCase{false, false, false, "Big Bass    "},
                                           ShapeCase{true, false, false, "9=Big Bass    "},
                                           ShapeCase{false, true, false, "10 - Big Bass    "},
                                           ShapeCase{true, true, false, "9=10 - Big Bass    "},
                                           ShapeCase{false, false, true, "Bass-Big Bass    "},
                                           ShapeCase{true, false, true, "9=Bass-Big Bass    "},
                                           ShapeCase{false, true, true, "10 - Bass-Big Bass    "},
                                           ShapeCase{true, true, true,
                                                     "9=10 - Bass-Big Bass    "}));

struct NumberCase {
    int32_t patchNumFormat, startNum, startPatch, patch;
    const char* numberText;
};

class NameLineNumbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NameLineNumbers, NumberTextFollowsTheForm) {
    const NumberCase& c = GetParam();
    TSynth m = Model();
    m.PatchNumFormat = c.patchNumFormat;
    m.StartNum = c.startNum;
    m.StartPatch = c.startPatch;
    EXPECT_EQ(ComposeNameLine(Reply("N"), m, c.patch, false, true, false, kCats),
              std::string(c.numberText) + " - N           ");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NameLineNumbers,
    ::testing::Values(
        // Bank:slot for StartPatch 0; StartNum plays no part.
        NumberCase{1, 50, 0, 0, "1:1"}, NumberCase{1, 50, 0, 7, "1:8"},
        NumberCase{1, 50, 0, 8, "2:1"}, NumberCase{1, 50, 0, 63, "8:8"},
        NumberCase{1, 50, 0, 64, "9:1"}, NumberCase{1, 50, 0, 127, "16:8"},
        NumberCase{1, 0, 0, 1000, "126:1"},  // the bank count has no upper limit
        // Below StartPatch the division truncates toward zero.
        NumberCase{1, 0, 10, 9, "1:0"}, NumberCase{1, 0, 10, 1, "0:0"},
        NumberCase{1, 0, 100, 109, "2:2"},
        // Plain form: StartNum + patch; every format other than 1 is plain.
        NumberCase{0, 1, 0, 5, "6"}, NumberCase{2, 1, 0, 5, "6"}, NumberCase{-1, 1, 0, 5, "6"},
        NumberCase{0, -1, 0, 0, "-1"}, NumberCase{0, 0, 64, 0, "0"},
        // Extreme settings give the exact number, not an overflowed one.
        NumberCase{0, 2147483647, 0, 1, "2147483648"},
        NumberCase{1, 0, -2147483647 - 1, 2147483647, "536870912:8"}));

TEST(NameLine, ExamplesOfTheLineFormat) {
    TSynth m = Model();
    m.CatPos = -1;
    m.Category = "";
    EXPECT_EQ(ComposeNameLine(Reply("Strings 1"), m, 5, true, true, false, kCats),
              "5=6 - Strings 1   ");

    TSynth b = Model();
    b.PatchNumFormat = 1;
    EXPECT_EQ(ComposeNameLine(Reply("Big Bass", 3), b, 9, false, true, true, kCats),
              "2:2 - Bass-Big Bass    ");
    // Sonar with StartNum -1 and patch 0: the patch itself, then the number.
    m.StartNum = -1;
    EXPECT_EQ(ComposeNameLine(Reply("X"), m, 0, true, true, false, kCats), "0=-1 - X           ");
}

TEST(NameLine, OnlyBlankThroughClosingBraceIsKept) {
    TReplyWindow w = Reply("");
    const uint8_t field[12] = {'A', 0x7E, 0x7F, '}', ' ', 0x1F, 0x00, 0x80, 0xFF, 'z', 0x20, 'b'};
    std::memcpy(w.data() + 11, field, sizeof field);
    EXPECT_EQ(ComposeNameLine(w, Model(), 0, false, false, false, kCats), "A} z b");
}

TEST(NameLine, BlanksStayAndNothingPrintableGivesAnEmptyLine) {
    EXPECT_EQ(ComposeNameLine(Reply(""), Model(), 0, false, false, false, kCats),
              std::string(12, ' '));
    TReplyWindow w = Reply("");
    std::memset(w.data() + 11, 0x7F, 12);
    EXPECT_EQ(ComposeNameLine(w, Model(), 0, false, false, false, kCats), "");
}

TEST(NameLine, FieldPastTheReplyGivesAShorterName) {
    TSynth m = Model();
    m.NameStartPos = 20;  // "Piano Grand " from 11: bytes 20..22 are "nd ", then 0 00 F7 0...
    m.NameSize = 40;
    EXPECT_EQ(ComposeNameLine(Reply("Piano Grand"), m, 0, false, false, false, kCats), "nd ");
    m.NameSize = 0;
    EXPECT_EQ(ComposeNameLine(Reply("Piano Grand"), m, 0, false, false, false, kCats), "");
    m.NameSize = -5;
    EXPECT_EQ(ComposeNameLine(Reply("Piano Grand"), m, 0, false, false, false, kCats), "");
}

TEST(NameLine, PositionsOutsideTheWindowReadNothing) {
    TReplyWindow w{};
    w.fill('a');
    TSynth m = Model();
    m.CatPos = -1;
    struct Field {
        int32_t start, size;
        size_t kept;
    };
    const Field fields[] = {{-5, 10, 5},
                            {995, 10, 5},
                            {999, 1, 1},
                            {1000, 5, 0},
                            {-20, 10, 0},
                            {-2147483647 - 1, 2147483647, 0},
                            {2147483647, 2147483647, 0},
                            {0, 2147483647, 1000}};
    for (const Field& f : fields) {
        m.NameStartPos = f.start;
        m.NameSize = f.size;
        EXPECT_EQ(ComposeNameLine(w, m, 0, false, false, false, kCats), std::string(f.kept, 'a'))
            << f.start << "/" << f.size;
    }
}

TEST(NameLine, CategoryPositionOutsideTheWindowGivesIndexZero) {
    TReplyWindow w = Reply("Name", 3);
    w[999] = 2;
    TSynth m = Model();
    for (int32_t pos : {-2, 1000, -2147483647 - 1, 2147483647}) {
        m.CatPos = pos;
        EXPECT_EQ(ComposeNameLine(w, m, 0, false, false, true, kCats), "Piano-Name        ") << pos;
    }
    m.CatPos = 999;  // the window's last byte is still read
    EXPECT_EQ(ComposeNameLine(w, m, 0, false, false, true, kCats), "Guitar-Name        ");
}

TEST(NameLine, CategoryIndexOutsideTheListIsTheListError) {
    struct Case {
        int32_t catPos;
        uint8_t byte;
        std::vector<std::string> names;
        int index;
    };
    const Case cases[] = {
        {0, 0, kCats, -16},  // the F0 status byte read as signed
        {24, 4, kCats, 4},   // one past the end
        {24, 0x80, kCats, -128}, {24, 0xFF, kCats, -1},
        {24, 0, {}, 0},  // an empty list fails for every index
    };
    for (const Case& c : cases) {
        TSynth m = Model();
        m.CatPos = c.catPos;
        try {
            ComposeNameLine(Reply("N", c.byte), m, 0, true, true, true, c.names);
            ADD_FAILURE() << "no error for index " << c.index;
        } catch (const EListError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "List index out of bounds (" + std::to_string(c.index) + ")");
        }
    }
}

TEST(NameLine, CategoryByteMattersOnlyWhenTheCategoryApplies) {
    const TReplyWindow w = Reply("N", 0xF0);
    TSynth m = Model();
    // Option off, or no category table: no lookup, no error.
    EXPECT_EQ(ComposeNameLine(w, m, 0, false, false, false, kCats), "N           ");
    m.Category = "";
    EXPECT_EQ(ComposeNameLine(w, m, 0, false, false, true, kCats), "N           ");
    m.Category = "Types";
    m.CatPos = -1;
    EXPECT_EQ(ComposeNameLine(w, m, 0, false, false, true, {}), "N           ");
}

TEST(NameLine, EmptyCategoryNameStillGetsItsHyphen) {
    EXPECT_EQ(ComposeNameLine(Reply("N", 1), Model(), 0, false, false, true, {"a", ""}),
              "-N           ");
}

}  // namespace
