// patchscribe-cli harvest run as a user runs it: a process with settings
// files written here, its output compared byte for byte, its exit status
// and messages checked.  The instrument is the in-process one (--demo,
// --replay); the runs over a real MIDI server are in JackHarvestTest.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "CommandRun.h"
#include "harvest/SonarDoc.h"
#include "midi/VirtualInstrument.h"

namespace {

using namespace std::chrono_literals;

const std::string kCli = std::string(PATCHSCRIBE_BIN_DIR) + "/patchscribe-cli";
const std::string kDefaultName = "SC User Patch 1 to 128";

std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// The demo instrument's name field for a program: blank-padded to 12 bytes.
std::string Field(int program) {
    std::string name = DemoPatchNames()[static_cast<size_t>(program) % DemoPatchNames().size()];
    name.resize(12, ' ');
    return name;
}

std::vector<std::string> DefaultHeader() {
    return {";" + kDefaultName,
            " ",
            "; Created by Patchscribes",
            std::string("; ") + kMakerWebAddress,
            " ",
            " ",
            ".Patch Names",
            " ",
            "[" + kDefaultName + "]"};
}

std::vector<std::string> DefaultTrailer() {
    return {" ", ".Instrument Definitions",      " ", "BankSelMethod=1",
            " ", "Patch[11136]=" + kDefaultName, " "};
}

class CliHarvest : public ::testing::Test {
protected:
    static void Write(const std::string& path, const std::string& text) { WriteFile(path, text); }
    static std::string Read(const std::string& path) { return ReadFile(path); }
    // A settings file with one model: the default one with keys on top.
    void OneModel(const std::string& keys, const std::string& more = "") {
        Write(ini_, "[Synths]\r\nTotal=1\r\n[Synths0]\r\nSleepTime=0\r\n" + keys + more);
    }

    CommandResult Harvest(std::vector<std::string> args, std::chrono::milliseconds timeout = 60s) {
        std::vector<std::string> argv = {kCli, "harvest", "--ini", ini_};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunCommand({argv, {"PATCHSCRIBE_MIDI_SYSTEM=none"}}, timeout);
    }

    TempFolder folder_;
    const std::string dir_ = folder_.Path();
    const std::string ini_ = dir_ + "/settings.INI";
};

TEST_F(CliHarvest, DemoBankOfTheDefaultModelIsTheWholeFragment) {
    OneModel("");
    const std::string before = Read(ini_);
    const CommandResult r = Harvest({"--demo"});
    ASSERT_FALSE(r.hung);
    EXPECT_EQ(r.status, 0) << r.err;

    std::vector<std::string> lines = DefaultHeader();
    for (int p = 0; p < 128; ++p)
        lines.push_back(std::to_string(p) + "=" + std::to_string(p) + " - " + Field(p));
    for (const std::string& l : DefaultTrailer()) lines.push_back(l);
    EXPECT_EQ(r.out, CrLf(lines));

    // Progress: one line per patch when stderr is not a terminal.
    EXPECT_NE(r.err.find("[1/128] 0=0 - " + Field(0) + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[128/128] 127=127 - " + Field(127) + "\n"), std::string::npos);
    // The CLI never writes the settings file.
    EXPECT_EQ(Read(ini_), before);
}

TEST_F(CliHarvest, OptionFlagsShapeEveryLine) {
    // Categories: the demo instrument sends program % 8 as the category byte.
    OneModel("NumOfNames=3\r\nCategory=Kinds\r\nCatPos=23\r\nStartNum=1\r\n",
             "[Kinds]\r\nTotal=8\r\nCat0=Key\r\nCat1=Org\r\nCat2=Gtr\r\nCat3=Bs\r\n"
             "Cat4=Str\r\nCat5=Pad\r\nCat6=Lead\r\nCat7=Fx\r\n");
    struct Case {
        std::vector<std::string> flags;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {{"--no-sonar", "--no-number", "--no-category"}, {Field(0), Field(1), Field(2)}},
        {{"--no-sonar", "--number", "--no-category"},
         {"1 - " + Field(0), "2 - " + Field(1), "3 - " + Field(2)}},
        {{"--no-sonar", "--no-number", "--category"},
         {"Key-" + Field(0), "Org-" + Field(1), "Gtr-" + Field(2)}},
        {{"--no-sonar", "--sonar", "--no-number", "--category", "--no-sonar"},  // last counts
         {"Key-" + Field(0), "Org-" + Field(1), "Gtr-" + Field(2)}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--demo"};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        const CommandResult r = Harvest(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, CrLf(c.lines)) << c.flags.front();
    }
}

TEST_F(CliHarvest, DefaultsAreWhatTheWindowRestores) {
    // Remembered model (letter case differs), remembered options; the list
    // order puts "alpha" first, so without a remembered model it is used.
    Write(ini_,
          "[LastSelected]\r\nSynthBank=BETA\r\nCheckSonar=0\r\nCheckNumber=0\r\n"
          "[Synths]\r\nTotal=2\r\n"
          "[Synths0]\r\nName=Beta\r\nSleepTime=0\r\nNumOfNames=2\r\nStartPatch=5\r\n"
          "[Synths1]\r\nName=alpha\r\nSleepTime=0\r\nNumOfNames=1\r\n");
    CommandResult r = Harvest({"--demo"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CrLf({Field(5), Field(6)}));

    // Flags win over the remembered options; --model picks by name, case ignored.
    r = Harvest({"--demo", "--model", "ALPHA", "--number"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CrLf({"0 - " + Field(0)}));
}

TEST_F(CliHarvest, EqualNamesDifferingInCaseTakeTheFirstInListOrder) {
    // "Same" sorts before "same" (byte order breaks the tie): --model same
    // finds "Same", which is model 1.
    Write(ini_,
          "[Synths]\r\nTotal=2\r\n"
          "[Synths0]\r\nName=same\r\nSleepTime=0\r\nNumOfNames=1\r\nStartPatch=3\r\n"
          "[Synths1]\r\nName=Same\r\nSleepTime=0\r\nNumOfNames=1\r\nStartPatch=9\r\n");
    const CommandResult r = Harvest({"--demo", "--model", "same", "--no-sonar", "--no-number"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, CrLf({Field(9)}));
}

// A reply block as a Roland-style instrument sends it: the 12-byte name at
// offset 11, the category byte at offset 23.
std::vector<uint8_t> NameBlock(const std::string& name, uint8_t category) {
    std::vector<uint8_t> b = {0xF0, 0x41, 0x10, 0x00, 0x00, 0x25, 0x12, 0x1F, 0x00, 0x00, 0x00};
    std::string field = name;
    field.resize(12, ' ');
    b.insert(b.end(), field.begin(), field.end());
    b.push_back(category);
    b.push_back(0x33);  // checksum position; not examined
    b.push_back(0xF7);
    return b;
}

std::string SyxOf(const std::vector<std::vector<uint8_t>>& messages) {
    std::string bytes;
    for (const auto& m : messages) bytes.append(m.begin(), m.end());
    return bytes;
}

TEST_F(CliHarvest, ReplayedDumpWithTwoBlocksPerPatchAndCategories) {
    OneModel("NumOfNames=3\r\nNumSysexBlocks=2\r\nNameSyxBlk=2\r\nCategory=Kinds\r\nCatPos=23\r\n",
             "[Kinds]\r\nTotal=3\r\nCat0=Piano\r\nCat1=Bass\r\nCat2=Pad\r\n");
    // Each patch: a tone-common block (counted, not read), then the name block.
    const std::vector<uint8_t> common = {0xF0, 0x41, 0x10, 0x00, 0x00, 0x25, 0x12,
                                         0x1E, 0x00, 0x00, 0x00, 0x7F, 0x01, 0xF7};
    const std::string syx = dir_ + "/dump.syx";
    Write(syx, SyxOf({common, NameBlock("Felt Keys", 0), common, NameBlock("Sub Floor", 1), common,
                      NameBlock("Glass Choir", 2)}));

    const CommandResult r = Harvest({"--replay", syx, "--no-sonar", "--number", "--category"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              CrLf({"0 - Piano-Felt Keys   ", "1 - Bass-Sub Floor   ", "2 - Pad-Glass Choir "}));
}

TEST_F(CliHarvest, ReplayUsedUpEndsByTimeOutWithTheLinesGathered) {
    OneModel("NumOfNames=4\r\n");
    const std::string syx = dir_ + "/short.syx";
    Write(syx, SyxOf({NameBlock("One", 0), NameBlock("Two", 0)}));

    const CommandResult r = Harvest({"--replay", syx, "--sonar", "--no-number"}, 30s);
    ASSERT_FALSE(r.hung);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("Time Out - no Midi received\n"), std::string::npos) << r.err;
    // The header and both lines; no trailer (the run did not finish).
    std::vector<std::string> lines = DefaultHeader();
    lines.push_back("0=One         ");
    lines.push_back("1=Two         ");
    EXPECT_EQ(r.out, CrLf(lines));
}

TEST_F(CliHarvest, FirstInterruptCancelsAfterThePatchSecondAborts) {
    // (OneModel sets SleepTime 0, and the first key of a name wins.)
    Write(ini_, "[Synths]\r\nTotal=1\r\n[Synths0]\r\nSleepTime=25\r\n");
    {
        RunningCommand c({{kCli, "harvest", "--ini", ini_, "--demo", "--sonar", "--no-number"},
                          {"PATCHSCRIBE_MIDI_SYSTEM=none"}});
        ASSERT_TRUE(c.WaitForErr("[2/128]", 10s)) << c.SoFar().err;
        c.Signal(SIGINT);
        const CommandResult r = c.Finish(10s);
        ASSERT_FALSE(r.hung);
        EXPECT_EQ(r.status, 0) << r.err;
        // A partial list, cut after a whole patch, with the trailer.
        const std::string header = CrLf(DefaultHeader());
        const std::string trailer = CrLf(DefaultTrailer());
        ASSERT_GT(r.out.size(), header.size() + trailer.size());
        EXPECT_EQ(r.out.substr(0, header.size()), header);
        EXPECT_EQ(r.out.substr(r.out.size() - trailer.size()), trailer);
        const std::string names =
            r.out.substr(header.size(), r.out.size() - header.size() - trailer.size());
        std::vector<std::string> expected;
        for (int p = 0; CrLf(expected).size() < names.size(); ++p)
            expected.push_back(std::to_string(p) + "=" + Field(p));
        EXPECT_EQ(names, CrLf(expected));
        EXPECT_GE(expected.size(), 2u);
        EXPECT_LT(expected.size(), 128u);
    }
    {
        // A dump that runs out after two patches: the third patch never
        // completes, so the cancel stays pending until the second interrupt.
        OneModel("NumOfNames=4\r\n");
        const std::string syx = dir_ + "/two.syx";
        Write(syx, SyxOf({NameBlock("One", 0), NameBlock("Two", 0)}));
        RunningCommand c(
            {{kCli, "harvest", "--ini", ini_, "--replay", syx}, {"PATCHSCRIBE_MIDI_SYSTEM=none"}});
        ASSERT_TRUE(c.WaitForErr("[2/4]", 10s));
        c.Signal(SIGINT);
        // Two signals sent at once may merge into one; a person presses twice.
        std::this_thread::sleep_for(200ms);
        c.Signal(SIGINT);
        const CommandResult r = c.Finish(10s);
        ASSERT_FALSE(r.hung);
        EXPECT_EQ(r.status, 130);
        EXPECT_EQ(r.err.find("Time Out"), std::string::npos);
    }
}

TEST_F(CliHarvest, UsageErrorsAndUnknownNamesExitWithTwo) {
    OneModel("");
    const std::string syx = dir_ + "/x.syx";
    Write(syx, "");
    const std::vector<std::vector<std::string>> cases = {
        {"--demo", "--model", "No Such Synth"},
        {"--in", "No Such Port"},
        {"--out", "7"},
        {"--demo", "--replay", syx},
        {"--demo", "--in", "0"},
        {"--demo", "--bogus"},
        {"--demo", "extra"},
        {"--model"},
    };
    for (const auto& args : cases) {
        const CommandResult r = Harvest(args);
        EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
}

TEST_F(CliHarvest, ErrorsExitWithOneAndSayWhy) {
    struct Case {
        std::string keys;
        std::string message;
        std::string out;  // what stdout holds
    };
    const std::vector<Case> cases = {
        // The apply fails: nothing is harvested.
        {"Channel=x\r\n", "'x' is not a valid integer value", ""},
        {"BankMSB=\r\n", "'' is not a valid integer value", ""},
        // The first step fails before anything is requested.
        {"NumOfNames=many\r\n", "'many' is not a valid integer value", ""},
        // No MIDI port at all (the window says the same at start-up).
        {"", "TMidiInput: Device index out of bounds! (0)", ""},
    };
    for (const Case& c : cases) {
        OneModel(c.keys);
        const bool demo = !c.keys.empty();
        const CommandResult r = demo ? Harvest({"--demo"}) : Harvest({});
        EXPECT_EQ(r.status, 1) << c.keys << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
}

TEST_F(CliHarvest, UnreadableDumpsStopTheCommand) {
    OneModel("");
    const std::string garbage = dir_ + "/garbage.syx";
    Write(garbage, std::string("\x41\xF0\x01\xF7", 4));  // a byte outside any message
    const std::string cut = dir_ + "/cut.syx";
    Write(cut, std::string("\xF0\x41\x10", 3));  // no F7
    for (const std::string& file : {garbage, cut, dir_ + "/missing.syx"}) {
        const CommandResult r = Harvest({"--replay", file});
        EXPECT_EQ(r.status, 1) << file << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
}

TEST_F(CliHarvest, CategoryErrorsOnTheWayCostTheirLinesAndExitOne) {
    // Two categories, but the demo instrument sends program % 8.
    OneModel("NumOfNames=4\r\nCategory=Two\r\nCatPos=23\r\n",
             "[Two]\r\nTotal=2\r\nCat0=A\r\nCat1=B\r\n");
    const CommandResult r = Harvest({"--demo", "--no-sonar", "--no-number", "--category"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, CrLf({"A-" + Field(0), "B-" + Field(1)}));
    EXPECT_NE(r.err.find("List index out of bounds (2)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("List index out of bounds (3)"), std::string::npos) << r.err;
}

TEST_F(CliHarvest, OutputFileGetsTheList) {
    OneModel("NumOfNames=2\r\n");
    const std::string file = dir_ + "/bank.ins";
    const CommandResult r = Harvest({"--demo", "--no-sonar", "--output", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Read(file), CrLf({"0 - " + Field(0), "1 - " + Field(1)}));

    const CommandResult bad = Harvest({"--demo", "--output", dir_ + "/no/such/folder/x"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("Unable to write to"), std::string::npos);
}

TEST_F(CliHarvest, EmptyBankFinishesAtOnce) {
    OneModel("NumOfNames=0\r\n");
    const CommandResult r = Harvest({"--demo", "--sonar"}, 10s);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = DefaultHeader();
    for (const std::string& l : DefaultTrailer()) lines.push_back(l);
    EXPECT_EQ(r.out, CrLf(lines));
}

}  // namespace
