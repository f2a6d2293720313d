// The whole path on a real MIDI server: `patchscribe-cli synth` plays the
// instrument on virtual JACK ports (the suite's fixture runs a dummy JACK
// server), and the CLI harvest and the window harvest from those ports.
// Both must give exactly what the in-process demo gives for the same model.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CommandRun.h"

#ifdef PATCHSCRIBE_E2E_WINDOW
#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QTest>

#include "app/Main.h"
#include "midi/Midi.h"
#endif

namespace {

using namespace std::chrono_literals;

const std::string kCli = std::string(PATCHSCRIBE_BIN_DIR) + "/patchscribe-cli";

// A model with categories, so that every piece of a line is exercised; the
// demo instrument sends program % 8 as the category byte at CatPos.
const std::string kModel =
    "[Synths]\r\nTotal=1\r\n"
    "[Synths0]\r\nName=JACK Test Bank\r\nSleepTime=2\r\nCategory=Kinds\r\nCatPos=23\r\n"
    "StartNum=1\r\n"
    "[Kinds]\r\nTotal=8\r\nCat0=Key\r\nCat1=Org\r\nCat2=Gtr\r\nCat3=Bass\r\nCat4=Str\r\n"
    "Cat5=Pad\r\nCat6=Lead\r\nCat7=Fx\r\n";

class JackHarvest : public ::testing::Test {
protected:
    void SetUp() override { Write(ini_, kModel); }
    void TearDown() override { synth_.reset(); }

    static void Write(const std::string& path, const std::string& text) { WriteFile(path, text); }

    // Starts `patchscribe-cli synth` and reads the names of its ports.
    void StartSynth() {
        const std::string portName = "e2e-" + std::to_string(getpid());
        synth_ = std::make_unique<RunningCommand>(
            CommandSpec{{kCli, "synth", "--ini", ini_, "--port-name", portName}, {}});
        ASSERT_TRUE(synth_->WaitForOut("receive-from\t", 20s)) << synth_->SoFar().err;
        ASSERT_TRUE(synth_->WaitForOut("\n", 5s));
        const std::string& out = synth_->SoFar().out;
        sendTo_ = Field(out, "send-to\t");
        receiveFrom_ = Field(out, "receive-from\t");
        ASSERT_FALSE(sendTo_.empty()) << out;
        ASSERT_FALSE(receiveFrom_.empty()) << out;
    }
    static std::string Field(const std::string& text, const std::string& key) {
        const size_t at = text.find(key);
        if (at == std::string::npos) return {};
        const size_t from = at + key.size();
        const size_t nl = text.find('\n', from);
        return nl == std::string::npos ? std::string() : text.substr(from, nl - from);
    }

    CommandResult Harvest(std::vector<std::string> args, std::chrono::milliseconds timeout = 60s) {
        std::vector<std::string> argv = {kCli, "harvest", "--ini", ini_};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunCommand({argv, {}}, timeout);
    }

    // What the in-process demo instrument gives for the same model and options.
    std::string DemoList(const std::vector<std::string>& options) {
        std::vector<std::string> args = {"--demo"};
        args.insert(args.end(), options.begin(), options.end());
        const CommandResult r = Harvest(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out, "");
        return r.out;
    }

    static std::string Upper(std::string s) {
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    }

    TempFolder folder_;
    const std::string dir_ = folder_.Path();
    const std::string ini_ = dir_ + "/settings.INI";
    std::unique_ptr<RunningCommand> synth_;
    std::string sendTo_;
    std::string receiveFrom_;
};

TEST_F(JackHarvest, CliOverJackEqualsTheDemoByteForByte) {
    StartSynth();
    const std::vector<std::string> options = {"--sonar", "--number", "--category"};
    const std::string demo = DemoList(options);

    // Ports by name, letter case ignored.
    std::vector<std::string> args = {"--in", Upper(receiveFrom_), "--out", sendTo_};
    args.insert(args.end(), options.begin(), options.end());
    const CommandResult byName = Harvest(args);
    ASSERT_FALSE(byName.hung);
    EXPECT_EQ(byName.status, 0) << byName.err;
    EXPECT_EQ(byName.out, demo);

    // Ports as the window remembers them, and the remembered options.
    Write(ini_, kModel + "[MidiDevices]\r\nInput=" + receiveFrom_ + "\r\nOutput=" + sendTo_ +
                    "\r\n[LastSelected]\r\nCheckSonar=0\r\nCheckNumber=1\r\nCheckCategory=0\r\n");
    const CommandResult remembered = Harvest({});
    EXPECT_EQ(remembered.status, 0) << remembered.err;
    EXPECT_EQ(remembered.out, DemoList({}));
}

TEST_F(JackHarvest, InstrumentKilledMidRunEndsByTimeOut) {
    // Slower pauses, so that the instrument goes away well before the end.
    std::string model = kModel;
    model.replace(model.find("SleepTime=2"), 11, "SleepTime=20");
    Write(ini_, model);
    StartSynth();
    RunningCommand cli(
        {{kCli, "harvest", "--ini", ini_, "--in", receiveFrom_, "--out", sendTo_, "--no-sonar"},
         {}});
    ASSERT_TRUE(cli.WaitForErr("[3/128]", 20s)) << cli.SoFar().err;
    synth_->Signal(SIGKILL);
    const CommandResult r = cli.Finish(20s);
    ASSERT_FALSE(r.hung) << "the run did not end after the instrument went away";
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("Time Out - no Midi received\n"), std::string::npos) << r.err;
    // The lines gathered so far are the demo's first lines, whole.
    const std::string demo = DemoList({"--no-sonar"});
    ASSERT_GE(r.out.size(), 3u);
    EXPECT_EQ(demo.compare(0, r.out.size(), r.out), 0) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "\r\n");
    EXPECT_LT(r.out.size(), demo.size());
}

#ifdef PATCHSCRIBE_E2E_WINDOW
TEST_F(JackHarvest, WindowStartedOnTheInstrumentsPortsHarvestsOntoTheClipboard) {
    StartSynth();
    Write(ini_,
          kModel + "[MidiDevices]\r\nInput=" + receiveFrom_ + "\r\nOutput=" + sendTo_ + "\r\n");
    const std::string demo = DemoList({});  // the window's options: all ticked

    static int argc = 1;
    static char name[] = "e2e_jack_harvest";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    std::vector<std::string> shown;
    TfPatchscribe::SetMessagePresenter([&shown](TMessageKind, const QString&, const QString& text) {
        shown.push_back(text.toStdString());
    });
    QGuiApplication::clipboard()->setText("before");
    {
        FreeMidiDevices();  // port lists made now, with the instrument's ports
        TfPatchscribe window(ini_);
        window.show();
        QCoreApplication::processEvents();
        auto* button = window.findChild<QPushButton*>("btnSendSysEx");
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return button->text() == "Request"; }, 30000));
        QCoreApplication::processEvents();
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), demo);
    }
    FreeMidiDevices();
    TfPatchscribe::SetMessagePresenter(nullptr);
    EXPECT_TRUE(shown.empty()) << shown.front();
}
#endif

}  // namespace
