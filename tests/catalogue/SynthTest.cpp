// The model table as loaded from hand-written settings files.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "TestFiles.h"
#include "catalogue/IniFile.h"
#include "catalogue/IntConv.h"
#include "catalogue/Synth.h"

namespace {

// Records what the loader tells the window, in order.
class RecordingView : public ILoadSettingsView {
public:
    std::vector<std::string> calls;
    std::vector<std::string> names;
    void SetCheckCategory(bool c) override {
        calls.push_back(std::string("cat=") + (c ? "1" : "0"));
    }
    void SetCheckNumber(bool c) override { calls.push_back(std::string("num=") + (c ? "1" : "0")); }
    void SetCheckSonar(bool c) override {
        calls.push_back(std::string("sonar=") + (c ? "1" : "0"));
    }
    void AddModelName(const std::string& name) override {
        calls.push_back("name=" + name);
        names.push_back(name);
    }
};

struct Loaded {
    RecordingView view;
    std::string lastSynthBank = "<unset>";
    std::unique_ptr<TSynthTable> synths = std::make_unique<TSynthTable>();
    int32_t synthCount = -12345;
};

std::unique_ptr<Loaded> LoadText(const std::optional<std::string>& text) {
    TempDir dir;
    const std::string path = dir.File("patchscribe.INI");
    if (text) WriteFile(path, *text);
    IniFile ini(path);
    auto l = std::make_unique<Loaded>();
    LoadSettings(ini, l->view, l->lastSynthBank, *l->synths, l->synthCount);
    return l;
}

const TSynth kEmpty{};

TEST(DefaultSynth, EveryKeyDefault) {
    TSynth d;
    d.Name = "SC User Patch 1 to 128";
    d.RequestBytes = "F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7";
    d.BankMSB = "87";
    d.BankLSB = "00";
    d.Channel = "1";
    d.NumOfNames = "128";
    d.NameStartPos = 11;
    d.NameSize = 12;
    d.CatPos = -1;
    d.SleepTime = 120;
    d.NumSysexBlocks = 1;
    d.NameSyxBlk = 1;
    d.FontSize = 12;
    d.SonarBankMethod = 1;
    EXPECT_EQ(DefaultSynth(), d);
}

TEST(LoadSettings, NoFileGivesOneDefaultModel) {
    const auto l = LoadText(std::nullopt);
    EXPECT_EQ(l->view.calls, (std::vector<std::string>{"cat=1", "num=1", "sonar=1",
                                                       "name=SC User Patch 1 to 128"}));
    EXPECT_EQ(l->lastSynthBank, "");
    EXPECT_EQ(l->synthCount, 1);
    EXPECT_EQ((*l->synths)[0], DefaultSynth());
    EXPECT_EQ((*l->synths)[1], kEmpty);
}

TEST(LoadSettings, ShippedFileHoldsTheDefaultModel) {
    IniFile ini(PATCHSCRIBE_SOURCE_DIR "/data/patchscribe.INI");
    RecordingView view;
    std::string last;
    auto synths = std::make_unique<TSynthTable>();
    int32_t count = 0;
    LoadSettings(ini, view, last, *synths, count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ((*synths)[0], DefaultSynth());
    EXPECT_EQ(view.calls, (std::vector<std::string>{"cat=1", "num=1", "sonar=1",
                                                    "name=SC User Patch 1 to 128"}));
}

TEST(LoadSettings, FlagsAndRememberedModel) {
    const auto l = LoadText(
        "[lastselected]\nsynthbank=My Bank\nCheckCategory=0\nCheckNumber=2\nCheckSonar=abc\n"
        "[Synths]\nTotal=0\n");
    EXPECT_EQ(l->view.calls, (std::vector<std::string>{"cat=0", "num=1", "sonar=1"}));
    EXPECT_EQ(l->lastSynthBank, "My Bank");
}

TEST(LoadSettings, MissingSectionEmptyNameAndBadNumbers) {
    const auto l = LoadText(
        "[Synths]\nTotal=3\n"
        "[synths0]\nNAME=Zeta\nNAMESTARTPOS=0x0B\nNameSize=twelve\nCatPos=5x\nBankMSB=abc\n"
        "RequestBytes=\nSleepTime=$10\nStartNum=-3\nNotes=\"Select bank A first\"\n"
        "Category=Strings\n"
        "[Synths2]\nName=\n");
    EXPECT_EQ(l->synthCount, 3);
    EXPECT_EQ(l->view.names, (std::vector<std::string>{"Zeta", "SC User Patch 1 to 128", ""}));

    TSynth zeta = DefaultSynth();
    zeta.Name = "Zeta";
    zeta.NameStartPos = 11;
    zeta.NameSize = 12;
    zeta.CatPos = -1;
    zeta.BankMSB = "abc";  // loaded as written; only its use converts it
    zeta.RequestBytes = "";
    zeta.SleepTime = 16;
    zeta.StartNum = -3;
    zeta.Notes = "Select bank A first";
    zeta.Category = "Strings";
    EXPECT_EQ((*l->synths)[0], zeta);
    EXPECT_EQ((*l->synths)[1], DefaultSynth());
    TSynth unnamed = DefaultSynth();
    unnamed.Name = "";
    EXPECT_EQ((*l->synths)[2], unnamed);
    EXPECT_EQ((*l->synths)[3], kEmpty);
    EXPECT_THROW(StrToInt((*l->synths)[0].BankMSB), EConvertError);
}

TEST(LoadSettings, RequestBytesCutAt2047Characters) {
    const std::string longHex = "F0 " + std::string(3000, '0') + " F7";
    const auto l = LoadText("[Synths0]\nRequestBytes=" + longHex + "\n");
    EXPECT_EQ((*l->synths)[0].RequestBytes, longHex.substr(0, 2047));
}

TEST(LoadSettings, CountsOfZeroOrBelowLoadNothing) {
    for (const char* total : {"0", "-1", "-2147483648"}) {
        SCOPED_TRACE(total);
        const auto l = LoadText(std::string("[Synths]\nTotal=") + total + "\n[Synths0]\nName=A\n");
        EXPECT_TRUE(l->view.names.empty());
        EXPECT_EQ(l->synthCount, StrToInt(total));
        EXPECT_EQ((*l->synths)[0], kEmpty);
    }
}

TEST(LoadSettings, MoreThanTheTableHoldsLoadsTheFirstThousand) {
    for (const char* total : {"1001", "2147483647"}) {
        SCOPED_TRACE(total);
        std::string text = std::string("[Synths]\nTotal=") + total + "\n";
        for (int i = 0; i < 1005; ++i)
            text += "[Synths" + std::to_string(i) + "]\nName=M" + std::to_string(i) + "\n";
        const auto l = LoadText(text);
        EXPECT_EQ(l->synthCount, StrToInt(total));
        ASSERT_EQ(l->view.names.size(), 1000u);
        EXPECT_EQ(l->view.names.front(), "M0");
        EXPECT_EQ(l->view.names.back(), "M999");
        EXPECT_EQ((*l->synths)[999].Name, "M999");
        EXPECT_EQ(FindSynthByName(*l->synths, l->synthCount, "M1000"), -1);
        EXPECT_EQ(FindSynthByName(*l->synths, l->synthCount, "M999"), 999);
    }
}

TEST(LoadSettings, SameNamesGiveEqualItemsAndTheLowestModelWins) {
    const auto l = LoadText(
        "[Synths]\nTotal=3\n[Synths0]\nName=Dup\nNameSize=1\n[Synths1]\nName=Dup\nNameSize=2\n"
        "[Synths2]\nName=dup\nNameSize=3\n");
    std::vector<std::string> names = l->view.names;
    SortModelNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"Dup", "Dup", "dup"}));
    EXPECT_EQ(FindSynthByName(*l->synths, l->synthCount, "Dup"), 0);
    EXPECT_EQ(FindSynthByName(*l->synths, l->synthCount, "dup"), 2);
    EXPECT_EQ(FindSynthByName(*l->synths, l->synthCount, "DUP"), -1);
}

TEST(ModelList, CaseInsensitiveOrderWithBytesBreakingTies) {
    std::vector<std::string> names = {"b", "Ab", "a",         "B",   "",   "ab",
                                      "A", "Z9", "\xe9t\xe9", "z10", "_x", "[x"};
    SortModelNames(names);
    // '[' (0x5B) and '_' (0x5F) sort before the letters, which compare as lower case
    // (0x61...); bytes above 0x7F come last.
    EXPECT_EQ(names, (std::vector<std::string>{"", "[x", "_x", "A", "a", "Ab", "ab", "B", "b",
                                               "z10", "Z9", "\xe9t\xe9"}));
    EXPECT_TRUE(ModelNameLess("A", "a"));
    EXPECT_FALSE(ModelNameLess("a", "A"));
    EXPECT_FALSE(ModelNameLess("a", "a"));
    EXPECT_EQ(FindModelNameIgnoreCase(names, "AB"), 5);
    EXPECT_EQ(FindModelNameIgnoreCase(names, "b"), 7);
    EXPECT_EQ(FindModelNameIgnoreCase(names, "c"), -1);
    EXPECT_EQ(FindModelNameIgnoreCase(names, ""), 0);
}

TEST(Categories, MissingKeysKeepTheirPlaces) {
    TempDir dir;
    WriteFile(dir.File("s.INI"),
              "[strings]\nTOTAL=3\ncat0=Violin\nCat2=Cello\nCat3=beyond the total\n"
              "[Huge]\nTotal=2147483647\nCat127=last\nCat128=unreachable\n[Neg]\nTotal=-4\n");
    IniFile ini(dir.File("s.INI"));
    EXPECT_EQ(ReadCategoryNames(ini, "Strings"), (std::vector<std::string>{"Violin", "", "Cello"}));
    EXPECT_TRUE(ReadCategoryNames(ini, "Neg").empty());
    EXPECT_TRUE(ReadCategoryNames(ini, "Nowhere").empty());
    // A category byte names entries 0 to 127 only: a larger table stops there.
    const std::vector<std::string> huge = ReadCategoryNames(ini, "Huge");
    ASSERT_EQ(huge.size(), 128u);
    EXPECT_EQ(huge[127], "last");
}

TEST(SynthKeyValueLines, TableOrderDecimalIntegersTextsAsStored) {
    TSynth s = DefaultSynth();
    s.Name = " spaced ";
    s.CatPos = -1;
    s.NameStartPos = 0x0B;
    s.Notes = "n";
    EXPECT_EQ(SynthKeyValueLines(s),
              (std::vector<std::string>{
                  "Name= spaced ",
                  "RequestMode=",
                  "RequestBytes=F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7",
                  "BankMSB=87",
                  "BankLSB=00",
                  "Channel=1",
                  "NumOfNames=128",
                  "NameStartPos=11",
                  "NameSize=12",
                  "Category=",
                  "CatPos=-1",
                  "StartNum=0",
                  "StartPatch=0",
                  "PatchNumFormat=0",
                  "SleepTime=120",
                  "NumSysexBlocks=1",
                  "NameSyxBlk=1",
                  "FontSize=12",
                  "SonarBankMethod=1",
                  "Notes=n"}));
}

}  // namespace
