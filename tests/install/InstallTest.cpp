// An installed copy: `cmake --install` of this build into a fresh prefix,
// which is then made read-only.  The window started from it keeps its
// choices in the per-user copy of the settings file ($XDG_CONFIG_HOME), and
// both programs read that copy at their next start.  When the tests run as
// root (who may write anywhere), the installed programs run as the
// unprivileged user 65534, for whom the prefix is really read-only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/CommandRun.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kAppId = "org.patchscribe.Patchscribe";

std::string Read(const std::string& path) {
    return ReadFile(path);
}

bool OnPath(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/patchscribe-install-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        prefix_ = root_ + "/prefix";
        const CommandResult r = RunCommand(
            {{CMakeCommand(), "--install", PATCHSCRIBE_BUILD_DIR, "--prefix", prefix_}, {}}, 300s);
        ASSERT_EQ(r.status, 0) << r.out << r.err;

        // The probe runs from a copy that the unprivileged user can reach.
        fs::create_directories(root_ + "/tools");
        fs::copy_file(PATCHSCRIBE_PROBE, root_ + "/tools/install_window_probe");
        for (const char* d : {"config", "home", "run"}) fs::create_directories(root_ + "/" + d);

        if (geteuid() == 0) {
            uid_ = gid_ = 65534;
            for (const char* d : {"config", "home", "run"})
                ASSERT_EQ(chown((root_ + "/" + d).c_str(), 65534, 65534), 0);
        }
        chmod(root_.c_str(), 0755);
        chmod((root_ + "/run").c_str(), 0700);
        // The installed copy is read-only, as in a system folder.
        ASSERT_EQ(std::system(("chmod -R a-w '" + prefix_ + "'").c_str()), 0);
    }
    static void TearDownTestSuite() {
        std::system(("chmod -R u+w '" + root_ + "' && rm -rf '" + root_ + "'").c_str());
    }

    static std::string CMakeCommand() { return PATCHSCRIBE_CMAKE_COMMAND; }

    // A program run as the user of an installed copy.
    static CommandResult AsUser(std::vector<std::string> argv) {
        return RunCommand({std::move(argv), Env(), uid_, gid_}, 60s);
    }
    static std::vector<std::string> Env() {
        return {"XDG_CONFIG_HOME=" + root_ + "/config", "HOME=" + root_ + "/home",
                "XDG_RUNTIME_DIR=" + root_ + "/run", "QT_QPA_PLATFORM=offscreen",
                "PATCHSCRIBE_MIDI_SYSTEM=none"};
    }
    static std::string Bin(const std::string& name) { return prefix_ + "/bin/" + name; }
    static std::string UserCopy() { return root_ + "/config/patchscribe/patchscribe.INI"; }

    static std::string root_;
    static std::string prefix_;
    static int uid_;
    static int gid_;
};

std::string Installed::root_;
std::string Installed::prefix_;
int Installed::uid_ = -1;
int Installed::gid_ = -1;

TEST_F(Installed, EverythingLandsInOnePrefixAndValidates) {
    for (const std::string& path :
         {Bin("patchscribe"), Bin("patchscribe-cli"), Bin("patchscribe.INI"),
          prefix_ + "/share/applications/" + kAppId + ".desktop",
          prefix_ + "/share/icons/hicolor/scalable/apps/" + kAppId + ".svg",
          prefix_ + "/share/metainfo/" + kAppId + ".metainfo.xml",
          prefix_ + "/share/man/man1/patchscribe-cli.1"}) {
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
    }
    EXPECT_EQ(access(Bin("patchscribe-cli").c_str(), X_OK), 0);
    EXPECT_EQ(Read(Bin("patchscribe.INI")),
              Read(std::string(PATCHSCRIBE_SOURCE_DIR) + "/data/patchscribe.INI"));

    if (!OnPath("desktop-file-validate") || !OnPath("appstreamcli"))
        GTEST_SKIP() << "desktop-file-utils or appstream is not installed";
    const CommandResult desktop = RunCommand(
        {{"/usr/bin/desktop-file-validate", prefix_ + "/share/applications/" + kAppId + ".desktop"},
         {}});
    EXPECT_EQ(desktop.status, 0) << desktop.out << desktop.err;
    const CommandResult meta =
        RunCommand({{"/usr/bin/appstreamcli", "validate", "--no-net",
                     prefix_ + "/share/metainfo/" + kAppId + ".metainfo.xml"},
                    {}});
    EXPECT_EQ(meta.status, 0) << meta.out << meta.err;
}

TEST_F(Installed, OptionTickedInTheWindowIsKeptPerUserAndRestored) {
    const std::string installedIni = Read(Bin("patchscribe.INI"));
    // The prefix really is read-only for the user of the installed copy.
    const CommandResult touch = AsUser({"/bin/sh", "-c", "touch '" + Bin("probe") + "'"});
    ASSERT_NE(touch.status, 0) << "the installed folder is writable; the test proves nothing";

    // First start: the installed settings; the user unticks Sonar.
    const std::string probe = root_ + "/tools/install_window_probe";
    const CommandResult first = AsUser({probe, Bin("patchscribe.INI"), "click", "cbSonar"});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_NE(first.out.find("cbSonar=1\n"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("clicked cbSonar=0\n"), std::string::npos) << first.out;

    // The choice went to the per-user copy, seeded from the installed file;
    // the installed file is as it was.
    const std::string copy = Read(UserCopy());
    EXPECT_NE(copy.find("CheckSonar=0"), std::string::npos) << copy;
    EXPECT_NE(copy.find("[Synths0]"), std::string::npos) << "not seeded with the installed file";
    EXPECT_EQ(Read(Bin("patchscribe.INI")), installedIni);

    // Next start: the box is restored unticked.
    const CommandResult second = AsUser({probe, Bin("patchscribe.INI")});
    ASSERT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_NE(second.out.find("cbSonar=0\n"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("cbIncludeNumber=1\n"), std::string::npos) << second.out;

    // The installed CLI reads the same per-user copy: no instrument
    // definition header.  Cancelled after its first patch (Ctrl+C).
    RunningCommand cli({{Bin("patchscribe-cli"), "harvest", "--demo"}, Env(), uid_, gid_});
    ASSERT_TRUE(cli.WaitForErr("[1/", 20s)) << cli.SoFar().err;
    cli.Signal(SIGINT);
    const CommandResult r = cli.Finish(20s);
    ASSERT_FALSE(r.hung);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("0 - Grand Piano", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find(".Patch Names"), std::string::npos) << r.out;
    EXPECT_EQ(Read(Bin("patchscribe.INI")), installedIni);
}

}  // namespace
