// Writing the settings file: one value changes, every other byte stays, the
// file is replaced atomically, and an installed copy gets a per-user copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "TestFiles.h"
#include "catalogue/IniFile.h"

namespace {

struct WriteCase {
    const char* what;
    std::optional<std::string> before;  // nullopt: no file
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

const WriteCase kWrites[] = {
    {"value replaced where it stands, key spelling and blanks kept",
     "; top\r\n[LastSelected]\r\n  synthBANK =  Old Model  \r\n;c\r\nOther=1\r\n", "LastSelected",
     "SynthBank", "New", "; top\r\n[LastSelected]\r\n  synthBANK =  New  \r\n;c\r\nOther=1\r\n"},
    {"empty value filled", "[S]\nK=\nL=2\n", "S", "K", "v", "[S]\nK=v\nL=2\n"},
    {"quoted value replaced with its quotes", "[S]\nK=\"a b\"\n", "S", "K", "c", "[S]\nK=c\n"},
    {"section found in another letter case", "[midiDEVICES]\nInput=x\n", "MidiDevices", "Output",
     "y", "[midiDEVICES]\nInput=x\nOutput=y\n"},
    {"new key after the section's last key line, before its trailing comments",
     "[A]\nx=1\n\n; about B\n[B]\ny=2\n", "A", "z", "3", "[A]\nx=1\nz=3\n\n; about B\n[B]\ny=2\n"},
    {"new key in a section without keys goes right after its header", "[A]\n; nothing yet\n[B]\n",
     "A", "k", "v", "[A]\nk=v\n; nothing yet\n[B]\n"},
    {"lines without '=' are not key lines", "[A]\nx=1\njunk line\n", "A", "k", "v",
     "[A]\nx=1\nk=v\njunk line\n"},
    {"new section at the end", "[A]\nx=1\n", "N", "k", "v", "[A]\nx=1\n[N]\nk=v\n"},
    {"line break added before appending a section", "[A]\nx=1", "N", "k", "v",
     "[A]\nx=1\n[N]\nk=v\n"},
    {"line break added before appending a key", "[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n"},
    {"key after a last header without line break", "[A]\nx=1\n[B]", "B", "k", "v",
     "[A]\nx=1\n[B]\nk=v\n"},
    {"the file's CR LF line breaks are used", "[A]\r\nx=1\r\n", "A", "y", "2",
     "[A]\r\nx=1\r\ny=2\r\n"},
    {"the file's CR line breaks are used", "[A]\rx=1\r", "B", "y", "2", "[A]\rx=1\r[B]\ry=2\r"},
    {"only the first of repeated sections and keys is written", "[A]\nx=1\nX=2\n[a]\nx=3\n", "A",
     "x", "9", "[A]\nx=9\nX=2\n[a]\nx=3\n"},
    {"a new key goes into the first of repeated sections", "[A]\nx=1\n[a]\ny=3\n", "A", "z", "9",
     "[A]\nx=1\nz=9\n[a]\ny=3\n"},
    {"missing file created", std::nullopt, "LastSelected", "CheckSonar", "0",
     "[LastSelected]\nCheckSonar=0\n"},
    {"empty file", "", "S", "k", "v", "[S]\nk=v\n"},
    {"comment-only file without final break", "; only a comment", "S", "k", "v",
     "; only a comment\n[S]\nk=v\n"},
    {"blanks at the ends are kept by quoting", "[S]\nk=1\n", "S", "k", " padded ",
     "[S]\nk=\" padded \"\n"},
    {"a value in quotes keeps them by quoting", "[S]\nk=1\n", "S", "k", "'q'", "[S]\nk=\"'q'\"\n"},
    {"empty value written as nothing after '='", "[S]\nk=1\n", "S", "k", "", "[S]\nk=\n"},
    {"keys before any section are left alone", "x=1\n", "S", "x", "2", "x=1\n[S]\nx=2\n"},
};

TEST(IniFileWrite, KeepsEveryOtherByte) {
    for (const WriteCase& c : kWrites) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.File("s.INI");
        if (c.before) WriteFile(path, *c.before);
        IniFile ini(path);
        ini.WriteString(c.section, c.key, c.value);
        EXPECT_EQ(ReadFile(path), c.after);
        EXPECT_EQ(ini.ReadString(c.section, c.key, "<missing>"), c.value);
        // A fresh reader agrees, and nothing else is left in the folder.
        IniFile again(path);
        EXPECT_EQ(again.ReadString(c.section, c.key, "<missing>"), c.value);
        EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"s.INI"});
    }
}

TEST(IniFileWrite, FlagsAreOneAndZero) {
    TempDir dir;
    const std::string path = dir.File("s.INI");
    IniFile ini(path);
    ini.WriteBool("LastSelected", "CheckCategory", false);
    ini.WriteBool("LastSelected", "CheckNumber", true);
    EXPECT_EQ(ReadFile(path), "[LastSelected]\nCheckCategory=0\nCheckNumber=1\n");
    EXPECT_FALSE(ini.ReadBool("LastSelected", "CheckCategory", true));
    EXPECT_TRUE(ini.ReadBool("LastSelected", "CheckNumber", false));
}

TEST(IniFileWrite, LineBreakInAValueIsRefused) {
    TempDir dir;
    const std::string path = dir.File("s.INI");
    WriteFile(path, "[S]\nk=1\n");
    IniFile ini(path);
    for (const char* value : {"a\nInjected=1", "a\rb"}) {
        try {
            ini.WriteString("S", "k", value);
            ADD_FAILURE() << "accepted a line break";
        } catch (const EIniFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
        }
    }
    EXPECT_EQ(ReadFile(path), "[S]\nk=1\n");
}

TEST(IniFileWrite, KeepsPermissionsAndReplacesTheFile) {
    TempDir dir;
    const std::string path = dir.File("s.INI");
    WriteFile(path, "[S]\nk=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    IniFile ini(path);
    ini.WriteString("S", "k", "2");
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_NE(after.st_ino, before.st_ino);  // a new file renamed into place
}

TEST(IniFileWrite, SymbolicLinkStaysALink) {
    TempDir dir;
    WriteFile(dir.File("real.INI"), "[S]\nk=1\n");
    ASSERT_EQ(symlink("real.INI", dir.File("s.INI").c_str()), 0);
    IniFile ini(dir.File("s.INI"));
    ini.WriteString("S", "k", "2");
    struct stat st {};
    ASSERT_EQ(lstat(dir.File("s.INI").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(dir.File("real.INI")), "[S]\nk=2\n");
}

TEST(IniFileWrite, RelativePathReportedInFull) {
    TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    IniFile ini("missing/plain.INI");
    EXPECT_EQ(ini.FileName(), "missing/plain.INI");
    EXPECT_EQ(ini.EffectivePath(), dir.path() + "/missing/plain.INI");
    try {
        ini.WriteString("S", "k", "v");
        ADD_FAILURE() << "wrote into a missing folder";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.path() + "/missing/plain.INI");
    }
    ASSERT_EQ(chdir(cwd), 0);
}

// A write refused by the system names the file in full.
TEST(IniFileWrite, ReadOnlyFileRaisesUnableToWrite) {
    TempDir dir;
    const std::string path = dir.File("s.INI");
    WriteFile(path, "[S]\nk=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // the folder itself can be written
    EXPECT_EQ(RunUnprivileged([&]() -> std::string {
                  IniFile ini(path);
                  try {
                      ini.WriteString("S", "k", "2");
                      return "write to a read-only file succeeded";
                  } catch (const EIniFileError& e) {
                      if (std::string(e.what()) != "Unable to write to " + path)
                          return std::string("message: ") + e.what();
                  }
                  if (ReadFile(path) != "[S]\nk=1\n") return "file changed";
                  if (ini.ReadString("S", "k", "") != "1") return "read after refusal";
                  return "";
              }),
              "");
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
}

// The installed copy: a folder the user cannot write.
class ReadOnlyFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(installDir().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(configHome().c_str(), 0777), 0);
        ASSERT_EQ(chmod(configHome().c_str(), 0777), 0);  // whatever the umask
        WriteFile(installed(), kInstalled);
        ASSERT_EQ(chmod(installDir().c_str(), 0555), 0);
        setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    std::string installDir() const { return dir.File("install"); }
    std::string configHome() const { return dir.File("config"); }
    std::string installed() const { return installDir() + "/patchscribe.INI"; }
    std::string userCopy() const { return configHome() + "/patchscribe/patchscribe.INI"; }

    static constexpr const char* kInstalled = "; shipped\n[Synths]\nTotal=1\n[Synths0]\nName=M\n";
    TempDir dir;
};

TEST_F(ReadOnlyFolder, WritesGoToASeededPerUserCopy) {
    EXPECT_EQ(
        RunUnprivileged([&]() -> std::string {
            IniFile ini(installed());
            if (ini.EffectivePath() != installed()) return "reads before any write";
            if (ini.ReadString("Synths0", "Name", "") != "M") return "installed not read";

            ini.WriteBool("LastSelected", "CheckSonar", false);
            if (ReadFile(installed()) != kInstalled) return "installed file changed";
            if (ReadFile(userCopy()) != std::string(kInstalled) + "[LastSelected]\nCheckSonar=0\n")
                return "user copy: " + ReadFile(userCopy());
            if (ini.EffectivePath() != userCopy()) return "not using the user copy";
            if (ini.ReadBool("LastSelected", "CheckSonar", true)) return "flag not read";

            // A second write changes the user copy only; a new reader uses it.
            ini.WriteString("LastSelected", "SynthBank", "M");
            IniFile next(installed());
            if (next.ReadString("LastSelected", "SynthBank", "") != "M") return "second reader";
            if (next.ReadString("Synths0", "Name", "") != "M") return "models in copy";
            return "";
        }),
        "");
}

TEST_F(ReadOnlyFolder, UnwritableConfigurationFolderNamesTheUserCopy) {
    ASSERT_EQ(chmod(configHome().c_str(), 0555), 0);
    EXPECT_EQ(RunUnprivileged([&]() -> std::string {
                  IniFile ini(installed());
                  try {
                      ini.WriteString("LastSelected", "SynthBank", "M");
                  } catch (const EIniFileError& e) {
                      if (std::string(e.what()) == "Unable to write to " + userCopy()) return "";
                      return std::string("message: ") + e.what();
                  }
                  return "write succeeded";
              }),
              "");
}

TEST_F(ReadOnlyFolder, MissingInstalledFileSeedsAnEmptyCopy) {
    ASSERT_EQ(chmod(installDir().c_str(), 0755), 0);
    ASSERT_EQ(unlink(installed().c_str()), 0);
    ASSERT_EQ(chmod(installDir().c_str(), 0555), 0);
    EXPECT_EQ(RunUnprivileged([&]() -> std::string {
                  IniFile ini(installed());
                  ini.WriteString("MidiDevices", "Input", "Synth In");
                  if (ReadFile(userCopy()) != "[MidiDevices]\nInput=Synth In\n")
                      return "user copy: " + ReadFile(userCopy());
                  return "";
              }),
              "");
}

// A writer killed at any moment leaves either the old or the new file.
TEST(IniFileWrite, KillDuringWritesNeverLeavesABrokenFile) {
    TempDir dir;
    const std::string path = dir.File("s.INI");
    // Large enough that a write takes a while.
    std::string body = "; hand-written notes\n";
    for (int i = 0; i < 4000; ++i) body += "; line " + std::to_string(i) + " of notes\n";
    body += "[Synths]\nTotal=1\n";
    const std::string tail = "[Synths0]\nName=M\n";
    const std::string valueA = "a";
    const std::string valueB = "a much longer value than the first";
    const auto fileWith = [&](const std::string& v) {
        return body + "[LastSelected]\nSynthBank=" + v + "\n" + tail;
    };
    WriteFile(path, fileWith(valueA));

    for (int round = 0; round < 40; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            IniFile ini(path);
            for (int i = 0;; ++i) {
                ini.WriteString("LastSelected", "SynthBank", i % 2 ? valueA : valueB);
                if (i == 0 && write(ready[1], "x", 1) != 1) _exit(1);
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);  // at least one write done
        close(ready[0]);
        usleep(static_cast<useconds_t>((round * 7919) % 3000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);

        const std::string now = ReadFile(path);
        ASSERT_TRUE(now == fileWith(valueA) || now == fileWith(valueB)) << "round " << round;
        IniFile check(path);
        const std::string v = check.ReadString("LastSelected", "SynthBank", "");
        ASSERT_TRUE(v == valueA || v == valueB) << v;
        EXPECT_EQ(check.ReadString("Synths0", "Name", ""), "M");
    }
}

}  // namespace
