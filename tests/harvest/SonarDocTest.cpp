// Header and trailer lines of the instrument definition fragment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/IntConv.h"
#include "catalogue/Synth.h"
#include "harvest/SonarDoc.h"

namespace {

using Lines = std::vector<std::string>;

TSynth Named(const std::string& name, const std::string& msb, const std::string& lsb,
             int32_t method) {
    TSynth m;
    m.Name = name;
    m.BankMSB = msb;
    m.BankLSB = lsb;
    m.SonarBankMethod = method;
    return m;
}

const std::string kWeb = std::string("; ") + kMakerWebAddress;

TEST(SonarDoc, HeaderOpensThePatchNamesSection) {
    EXPECT_EQ(SonarHeaderLines(Named("SC User Patch 1 to 128", "87", "00", 1)),
              (Lines{";SC User Patch 1 to 128", " ", "; Created by Patchscribes", kWeb, " ", " ",
                     ".Patch Names", " ", "[SC User Patch 1 to 128]"}));
    EXPECT_EQ(kWeb.rfind("; http", 0), 0u);
}

struct TrailerCase {
    std::string msb, lsb;
    int32_t method;
    Lines middle;  // the lines between "BankSelMethod=..." + " " and the closing " "
    std::string methodText;
};

class SonarTrailer : public ::testing::TestWithParam<TrailerCase> {};

TEST_P(SonarTrailer, GivesTheBankEntry) {
    const TrailerCase& c = GetParam();
    Lines expected = {" ", ".Instrument Definitions", " ", "BankSelMethod=" + c.methodText, " "};
    expected.insert(expected.end(), c.middle.begin(), c.middle.end());
    expected.push_back(" ");
    EXPECT_EQ(SonarTrailerLines(Named("Synth", c.msb, c.lsb, c.method)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SonarTrailer,
    ::testing::Values(TrailerCase{"87", "00", 1, {"Patch[11136]=Synth"}, "1"},
                      TrailerCase{"1", "2", 1, {"Patch[130]=Synth"}, "1"},
                      TrailerCase{"0", "0", 1, {"Patch[0]=Synth"}, "1"},
                      TrailerCase{"87", "00", -1, {"Patch[11136]=Synth"}, "-1"},
                      TrailerCase{"$10", "x2", 7, {"Patch[2050]=Synth"}, "7"},
                      TrailerCase{"-1", "0", 2, {"Patch[-128]=Synth"}, "2"},
                      // Any integer values: the bank number does not overflow.
                      TrailerCase{
                          "2147483647", "2147483647", 1, {"Patch[277025390463]=Synth"}, "1"},
                      // Method 0: the comment form; the bank texts are not even converted.
                      TrailerCase{"bad",
                                  "worse",
                                  0,
                                  {";Don't know the Bank select method - next line needs fixing",
                                   "Patch[0]=Synth"},
                                  "0"}));

TEST(SonarDoc, BadBankTextFailsQuotingMsbFirst) {
    struct Case {
        std::string msb, lsb, quoted;
    };
    for (const Case& c : {Case{"8 7", "00", "8 7"}, Case{"87", "", ""}, Case{"a", "b", "a"}}) {
        try {
            SonarTrailerLines(Named("Synth", c.msb, c.lsb, 1));
            ADD_FAILURE() << "no error for " << c.msb << "/" << c.lsb;
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + c.quoted + "' is not a valid integer value");
        }
    }
}

TEST(SonarDoc, NamesAreWrittenUnchanged) {
    const TSynth empty = Named("", "87", "00", 1);
    EXPECT_EQ(SonarHeaderLines(empty).front(), ";");
    EXPECT_EQ(SonarHeaderLines(empty).back(), "[]");
    EXPECT_EQ(SonarTrailerLines(empty)[5], "Patch[11136]=");
    const TSynth odd = Named("A]=B", "87", "00", 1);
    EXPECT_EQ(SonarHeaderLines(odd).back(), "[A]=B]");
    EXPECT_EQ(SonarTrailerLines(odd)[5], "Patch[11136]=A]=B");
}

TEST(SonarDoc, NoLineIsEmpty) {
    for (int32_t method : {0, 1}) {
        Lines all = SonarHeaderLines(Named("", "1", "1", method));
        const Lines t = SonarTrailerLines(Named("", "1", "1", method));
        all.insert(all.end(), t.begin(), t.end());
        for (const std::string& line : all) EXPECT_FALSE(line.empty());
    }
}

}  // namespace
