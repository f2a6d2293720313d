// patchscribe-cli models / model NAME on hand-written settings files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestFiles.h"

namespace {

const std::string kCli = PATCHSCRIBE_BIN_DIR "/patchscribe-cli";

// Every model key written in a different way; see the expected lines below.
const std::string kSettings =
    "; hand-written\r\n"
    "[SYNTHS]\r\n"
    "total = 4\r\n"
    "[synths0]\r\n"
    "name = Korg Prog\r\n"
    "NOTES=\"  Choose bank A first  \"\r\n"
    "requestmode=F0 42 30 00 F7\r\n"
    "RequestBytes=\r\n"
    "BankMSB=abc\r\n"
    "BankLSB=0x01\r\n"
    "Channel=10\r\n"
    "NumOfNames=64\r\n"
    "NameStartPos=0x0B\r\n"
    "NameSize=twelve\r\n"
    "Category=Korg Cats\r\n"
    "CatPos=5x\r\n"
    "StartNum=$10\r\n"
    "StartPatch=-1\r\n"
    "PatchNumFormat=1\r\n"
    "SleepTime=  0\r\n"
    "NumSysexBlocks=2\r\n"
    "NameSyxBlk=2\r\n"
    "FontSize=\r\n"
    "SonarBankMethod=0\r\n"
    "[Synths1]\r\n"
    "Name=korg prog\r\n"
    "[Synths3]\r\n"
    "Name=Korg Prog\r\n"
    "NameSize=99\r\n"
    "[korg cats]\r\n"
    "Total=3\r\n"
    "Cat0=Piano\r\n"
    "Cat2='Bass'\r\n";

const std::string kKorgLines =
    "Name=Korg Prog\n"
    "RequestMode=F0 42 30 00 F7\n"
    "RequestBytes=\n"
    "BankMSB=abc\n"
    "BankLSB=0x01\n"
    "Channel=10\n"
    "NumOfNames=64\n"
    "NameStartPos=11\n"
    "NameSize=12\n"
    "Category=Korg Cats\n"
    "CatPos=-1\n"
    "StartNum=16\n"
    "StartPatch=-1\n"
    "PatchNumFormat=1\n"
    "SleepTime=0\n"
    "NumSysexBlocks=2\n"
    "NameSyxBlk=2\n"
    "FontSize=12\n"
    "SonarBankMethod=0\n"
    "Notes=  Choose bank A first  \n"
    "Cat0=Piano\n"
    "Cat1=\n"
    "Cat2=Bass\n";

const std::string kDefaultLines =
    "Name=SC User Patch 1 to 128\n"
    "RequestMode=\n"
    "RequestBytes=F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7\n"
    "BankMSB=87\n"
    "BankLSB=00\n"
    "Channel=1\n"
    "NumOfNames=128\n"
    "NameStartPos=11\n"
    "NameSize=12\n"
    "Category=\n"
    "CatPos=-1\n"
    "StartNum=0\n"
    "StartPatch=0\n"
    "PatchNumFormat=0\n"
    "SleepTime=120\n"
    "NumSysexBlocks=1\n"
    "NameSyxBlk=1\n"
    "FontSize=12\n"
    "SonarBankMethod=1\n"
    "Notes=\n";

class CliModels : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(ini(), kSettings); }
    std::string ini() const { return dir.File("hand.INI"); }
    RunResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), kCli);
        return RunProgram(args);
    }
    TempDir dir;
};

TEST_F(CliModels, ModelsInListOrder) {
    const RunResult r = Run({"models", "--ini", ini()});
    EXPECT_EQ(r.status, 0) << r.err;
    // Synths2 is missing: a model of defaults.
    EXPECT_EQ(r.out, "Korg Prog\nKorg Prog\nkorg prog\nSC User Patch 1 to 128\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(CliModels, ModelAsLoadedWithItsCategories) {
    // "KORG PROG" finds the first list item "Korg Prog", whose fields are
    // those of Synths0 (not Synths3 of the same name, nor Synths1).
    for (const char* name : {"KORG PROG", "korg prog", "Korg Prog"}) {
        SCOPED_TRACE(name);
        const RunResult r = Run({"model", name, "--ini=" + ini()});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kKorgLines);
    }
    const RunResult d = Run({"model", "sc user patch 1 to 128", "--ini", ini()});
    EXPECT_EQ(d.out, kDefaultLines);
}

TEST_F(CliModels, NoSuchModelExitsWithTwo) {
    const RunResult r = Run({"model", "Nord", "--ini", ini()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Nord"), std::string::npos) << r.err;
}

TEST_F(CliModels, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"models", "--bogus"},
                                                 {"models", "extra"},
                                                 {"model"},
                                                 {"model", "a", "b"},
                                                 {"models", "--ini"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage"), std::string::npos);
    }
}

TEST_F(CliModels, MissingFileGivesTheDefaultModel) {
    const RunResult r = Run({"models", "--ini", dir.File("none.INI")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "SC User Patch 1 to 128\n");
    EXPECT_FALSE(FileExists(dir.File("none.INI")));
}

TEST_F(CliModels, NeverWritesTheSettingsFile) {
    struct stat before {};
    ASSERT_EQ(stat(ini().c_str(), &before), 0);
    Run({"models", "--ini", ini()});
    Run({"model", "korg prog", "--ini", ini()});
    Run({"model", "nothing", "--ini", ini()});
    struct stat after {};
    ASSERT_EQ(stat(ini().c_str(), &after), 0);
    EXPECT_EQ(ReadFile(ini()), kSettings);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"hand.INI"});
}

TEST_F(CliModels, TotalAboveTheTableListsTheFirstThousand) {
    std::string text = "[Synths]\nTotal=1005\n";
    for (int i = 0; i < 1005; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "M%04d", i);
        text += "[Synths" + std::to_string(i) + "]\nName=" + name + "\n";
    }
    WriteFile(ini(), text);
    const RunResult r = Run({"models", "--ini", ini()});
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "M%04d\n", i);
        expected += name;
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(Run({"model", "M1000", "--ini", ini()}).status, 2);
}

TEST_F(CliModels, DefaultsToTheSettingsFileBesideTheProgram) {
    const RunResult r = Run({"models"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "SC User Patch 1 to 128\n");  // the shipped file
}

}  // namespace
