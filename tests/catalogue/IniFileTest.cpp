// Reading the settings file: the INI syntax, defaults, the parsed copy and
// where the file lives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "TestFiles.h"
#include "catalogue/IniFile.h"

namespace {

// A hand-written file exercising the syntax: mixed line endings, comments,
// blanks, quotes, duplicates, case.
const std::string kHandWritten =
    "Orphan=before any section\r\n"
    "; a comment line\r\n"
    "   ; an indented comment=1\n"
    "\n"
    "[Synths0]\r\n"
    "Name=Alpha\r\n"
    "NUMOFNAMES = 64 \r\n"
    "Empty=\r\n"
    "Blanks=   \r\n"
    "  Padded  =   two words  \r"
    "Equals=a=b=c\n"
    ";Commented=yes\n"
    "no equals sign here\n"
    "Double=\"quoted value\"\n"
    "Single='single'\n"
    "Mixed=\"mixed'\n"
    "Inner=\"a\" b \"c\"\n"
    "Spaced=\"  kept  \"\n"
    "OneQuote=\"\n"
    "EmptyQuotes=\"\"\n"
    "Dup=first\n"
    "dup=second\n"
    "Hex=0x0B\n"
    "Dollar=$10\n"
    "Bad=12abc\n"
    "Neg=-7\n"
    "Zero=0\n"
    "Two=2\n"
    "Word=yes\n"
    "  [  Spaced Section  ]  text after the bracket\n"
    "k=v\n"
    "[Broken\n"
    "Broken=belongs to the spaced section\n"
    "[synths0]\n"
    "Name=Second section of the same name\n"
    "Late=only in the repeated section\n"
    "[Last]\r"
    "Tail=no final line break";

struct ReadCase {
    const char* section;
    const char* key;
    const char* expected;  // nullptr: missing, the default is returned
};

const ReadCase kReads[] = {
    {"Synths0", "Name", "Alpha"},
    {"SYNTHS0", "name", "Alpha"},
    {"Synths0", "NumOfNames", "64"},
    {"Synths0", "Empty", ""},
    {"Synths0", "Blanks", ""},
    {"Synths0", "Padded", "two words"},
    {"Synths0", "Equals", "a=b=c"},
    {"Synths0", "Commented", nullptr},
    {"Synths0", "no equals sign here", nullptr},
    {"Synths0", ";Commented", nullptr},
    {"Synths0", "Double", "quoted value"},
    {"Synths0", "Single", "single"},
    {"Synths0", "Mixed", "\"mixed'"},
    {"Synths0", "Inner", "a\" b \"c"},
    {"Synths0", "Spaced", "  kept  "},
    {"Synths0", "OneQuote", "\""},
    {"Synths0", "EmptyQuotes", ""},
    {"Synths0", "Dup", "first"},
    {"Synths0", "Late", nullptr},
    {"Synths0", "Orphan", nullptr},
    {"Spaced Section", "k", "v"},
    {"spaced section", "Broken", "belongs to the spaced section"},
    {"Broken", "Broken", nullptr},
    {"Last", "Tail", "no final line break"},
    {"Missing", "Name", nullptr},
    {"", "Orphan", nullptr},
};

TEST(IniFileRead, HandWrittenFileTable) {
    TempDir dir;
    WriteFile(dir.File("s.INI"), kHandWritten);
    IniFile ini(dir.File("s.INI"));
    for (const ReadCase& c : kReads) {
        SCOPED_TRACE(std::string("[") + c.section + "] " + c.key);
        EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"),
                  c.expected ? c.expected : "<default>");
    }
}

struct IntCase {
    const char* key;
    int32_t def;
    int32_t expected;
};

TEST(IniFileRead, IntegersAndFlags) {
    TempDir dir;
    WriteFile(dir.File("s.INI"), kHandWritten);
    IniFile ini(dir.File("s.INI"));
    const IntCase ints[] = {
        {"NumOfNames", 1, 64}, {"Hex", 1, 11},   {"Dollar", 1, 16}, {"Bad", 12, 12},
        {"Neg", 0, -7},        {"Empty", 5, 5},  {"Blanks", 5, 5},  {"Word", -1, -1},
        {"Missing", 9, 9},     {"Double", 3, 3},
    };
    for (const IntCase& c : ints) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(ini.ReadInteger("Synths0", c.key, c.def), c.expected);
    }
    // Flags: 0 is false, any other number true, anything else the default.
    EXPECT_FALSE(ini.ReadBool("Synths0", "Zero", true));
    EXPECT_TRUE(ini.ReadBool("Synths0", "Two", false));
    EXPECT_TRUE(ini.ReadBool("Synths0", "Neg", false));
    EXPECT_TRUE(ini.ReadBool("Synths0", "Word", true));
    EXPECT_FALSE(ini.ReadBool("Synths0", "Word", false));
    EXPECT_TRUE(ini.ReadBool("Synths0", "Empty", true));
    EXPECT_TRUE(ini.ReadBool("Synths0", "Missing", true));
    EXPECT_FALSE(ini.ReadBool("Synths0", "Missing", false));
}

TEST(IniFileRead, ValuesAreCutAt2047Characters) {
    TempDir dir;
    const std::string longValue(3000, 'x');
    const std::string exact(2047, 'y');
    WriteFile(dir.File("s.INI"), "[S]\nLong=" + longValue + "\nExact=" + exact + "\nQuoted=\"" +
                                     std::string(2048, 'z') + "\"\nNum=" + std::string(2100, '0') +
                                     "5\nAfter=ok\n");
    IniFile ini(dir.File("s.INI"));
    EXPECT_EQ(ini.ReadString("S", "Long", ""), std::string(2047, 'x'));
    EXPECT_EQ(ini.ReadString("S", "Exact", ""), exact);
    EXPECT_EQ(ini.ReadString("S", "Quoted", ""), std::string(2047, 'z'));
    // The digits that count lie beyond the cut: only zeros remain.
    EXPECT_EQ(ini.ReadInteger("S", "Num", 3), 0);
    EXPECT_EQ(ini.ReadString("S", "After", ""), "ok");
}

TEST(IniFileRead, LineEndingsOfEveryKind) {
    TempDir dir;
    for (const std::string eol : {"\r\n", "\n", "\r"}) {
        WriteFile(dir.File("s.INI"),
                  "[A]" + eol + "x=1" + eol + eol + ";c" + eol + "[B]" + eol + "y=2" + eol);
        IniFile ini(dir.File("s.INI"));
        EXPECT_EQ(ini.ReadString("A", "x", ""), "1");
        EXPECT_EQ(ini.ReadString("B", "y", ""), "2");
        EXPECT_EQ(ini.ReadString("A", "y", "none"), "none");
    }
}

TEST(IniFileRead, MissingFileGivesDefaults) {
    TempDir dir;
    IniFile ini(dir.File("none.INI"));
    EXPECT_EQ(ini.ReadString("Synths0", "Name", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("Synths", "Total", 1), 1);
    EXPECT_TRUE(ini.ReadBool("LastSelected", "CheckSonar", true));
    EXPECT_FALSE(FileExists(dir.File("none.INI")));  // reading never creates it
}

TEST(IniFileRead, SeesChangesMadeByOthers) {
    TempDir dir;
    const std::string path = dir.File("s.INI");
    WriteFile(path, "[S]\nk=old\n");
    IniFile ini(path);
    EXPECT_EQ(ini.ReadString("S", "k", ""), "old");

    WriteFile(path, "[S]\nk=longer\n");  // in place, other size
    EXPECT_EQ(ini.ReadString("S", "k", ""), "longer");

    WriteFile(dir.File("other"), "[S]\nk=newer\n");  // replaced by rename, same size
    ASSERT_EQ(rename(dir.File("other").c_str(), path.c_str()), 0);
    EXPECT_EQ(ini.ReadString("S", "k", ""), "newer");

    // In place, same size: only the modification time tells.
    WriteFile(path, "[S]\nk=again\n");
    timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(ini.ReadString("S", "k", ""), "again");

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(ini.ReadString("S", "k", "gone"), "gone");
    WriteFile(path, "[S]\nk=back\n");
    EXPECT_EQ(ini.ReadString("S", "k", ""), "back");
}

TEST(IniFileRead, UnreadableFileIsAnErrorNotDefaults) {
    TempDir dir;
    const std::string path = dir.File("s.INI");
    WriteFile(path, "[S]\nk=v\n");
    chmod(path.c_str(), 0200);
    EXPECT_EQ(RunUnprivileged([&]() -> std::string {
                  IniFile ini(path);
                  try {
                      ini.ReadString("S", "k", "");
                  } catch (const EIniFileError&) {
                      return "";
                  }
                  return "no error for a file that cannot be read";
              }),
              "");
}

TEST(SettingsPath, ExtensionOfTheFileNameReplaced) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/patchscribe", "/usr/bin/patchscribe.INI"},
        {"/opt/X.exe", "/opt/X.INI"},
        {"/opt/x.tar.gz", "/opt/x.tar.INI"},
        {"/opt/v1.2/patchscribe", "/opt/v1.2/patchscribe.INI"},
        {"/opt/.hidden", "/opt/.INI"},
        {"patchscribe", "patchscribe.INI"},
        {"a.b", "a.INI"},
    };
    for (const auto& [exe, ini] : cases) EXPECT_EQ(SettingsPathFor(exe), ini) << exe;
}

TEST(SettingsPath, ExecutablePathIsThisProgram) {
    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe[0], '/');
    EXPECT_NE(exe.find("catalogue_tests"), std::string::npos) << exe;
}

TEST(SettingsPath, UserCopyInTheConfigurationFolder) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const std::string savedHome = oldHome ? oldHome : "";

    setenv("HOME", "/home/someone", 1);
    setenv("XDG_CONFIG_HOME", "/cfg/", 1);
    EXPECT_EQ(UserSettingsPath(), "/cfg/patchscribe/patchscribe.INI");
    setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
    EXPECT_EQ(UserSettingsPath(), "/home/someone/.config/patchscribe/patchscribe.INI");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(UserSettingsPath(), "/home/someone/.config/patchscribe/patchscribe.INI");

    oldXdg ? setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    oldHome ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
}

}  // namespace
