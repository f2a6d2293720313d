// The main window driven like a musician drives it: clicks, keys, the model
// list, the clipboard.  The ports are loopback devices with a virtual
// instrument behind each, so every message the window sends is seen.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Main.h"
#include "catalogue/IniFile.h"
#include "harvest/SonarDoc.h"
#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"

namespace {

const char* const kDefaultRequest = "F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7";
const char* const kDefaultName = "SC User Patch 1 to 128";

std::vector<uint8_t> Bytes(const std::string& hex) {
    TMemoryStream stream;
    StrToSysExStream(hex, stream);
    return stream.Bytes();
}

std::string Hex(const std::vector<uint8_t>& message) {
    std::string s;
    char buf[4];
    for (uint8_t b : message) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        if (!s.empty()) s += ' ';
        s += buf;
    }
    return s;
}

InstrumentModel DefaultInstrument() {
    InstrumentModel m;
    m.request = Bytes(kDefaultRequest);
    return m;
}

// A demo name as it stands in the reply: cut or blank-padded to 12 bytes.
std::string Field(int program) {
    std::string name = DemoPatchNames()[static_cast<size_t>(program) % DemoPatchNames().size()];
    name.resize(12, ' ');
    return name;
}

// A settings file whose one model is the default one with the given keys on top.
std::string OneModel(const std::string& keys, const std::string& more = "") {
    return "[Synths]\r\nTotal=1\r\n[Synths0]\r\nSleepTime=0\r\n" + keys + more;
}

std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

struct Shown {
    TMessageKind kind;
    std::string caption;
    std::string text;
};

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "gui_window";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
            QApplication::setApplicationDisplayName("Patchscribe");
        }
    }

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        iniPath_ = dir_.filePath("patchscribe.INI").toStdString();
        service_ = std::make_shared<LoopbackService>();
        TfPatchscribe::SetMessagePresenter(
            [this](TMessageKind kind, const QString& caption, const QString& text) {
                shown_.push_back({kind, caption.toStdString(), text.toStdString()});
            });
        QGuiApplication::clipboard()->setText("clipboard before");
    }

    void TearDown() override {
        window_.reset();
        FreeMidiDevices();
        SetPortService(nullptr);
        TfPatchscribe::SetMessagePresenter(nullptr);
        instruments_.clear();
        service_.reset();
    }

    std::shared_ptr<VirtualInstrument> AddSynth(const std::string& port,
                                                InstrumentModel model = DefaultInstrument()) {
        auto synth = std::make_shared<VirtualInstrument>(std::move(model));
        service_->AddDevicePair(port, synth);
        instruments_.push_back(synth);
        return synth;
    }

    void WriteIni(const std::string& text) { std::ofstream(iniPath_, std::ios::binary) << text; }
    std::string ReadIni() const {
        std::ifstream in(iniPath_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool IniExists() const { return std::ifstream(iniPath_).good(); }

    void Start() {
        SetPortService(service_);
        window_ = std::make_unique<TfPatchscribe>(iniPath_);
        window_->show();
        QCoreApplication::processEvents();
    }
    void Stop() {
        window_.reset();
        QCoreApplication::processEvents();
    }

    template <typename T>
    T* Get(const char* name) {
        T* w = window_->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QPushButton* Button() { return Get<QPushButton>("btnSendSysEx"); }
    QComboBox* Models() { return Get<QComboBox>("cbModel"); }
    QCheckBox* Box(const char* name) { return Get<QCheckBox>(name); }
    bool Shows(const char* name) { return !Get<QWidget>(name)->isHidden(); }

    // Generous: sanitizer builds on a busy machine are slow.  A passing wait
    // returns as soon as the condition holds.
    static bool WaitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, 60000);
    }

    std::vector<std::string> Lines() {
        const QString text = Get<QPlainTextEdit>("NameList")->toPlainText();
        std::vector<std::string> lines;
        if (text.isEmpty()) return lines;
        for (const QString& line : text.split('\n')) lines.push_back(line.toStdString());
        return lines;
    }
    static std::string Clipboard() { return QGuiApplication::clipboard()->text().toStdString(); }

    void ClickRequest() { QTest::mouseClick(Button(), Qt::LeftButton); }
    // Starts a run and waits until it has ended.
    void Harvest() {
        ClickRequest();
        ASSERT_TRUE(WaitFor([&] { return Button()->text() == "Request"; }));
        QCoreApplication::processEvents();
    }

    void ClickRow(const char* list, int row) {
        auto* lb = Get<QListWidget>(list);
        const QRect r = lb->visualItemRect(lb->item(row));
        QTest::mouseClick(lb->viewport(), Qt::LeftButton, {}, r.center());
    }

    static std::vector<std::string> Messages(const VirtualInstrument& synth) {
        std::vector<std::string> out;
        for (const auto& m : synth.Received()) out.push_back(Hex(m));
        return out;
    }
    static std::vector<std::string> ProgramChanges(const VirtualInstrument& synth) {
        std::vector<std::string> out;
        for (const auto& m : synth.Received())
            if (!m.empty() && (m[0] & 0xF0) == 0xC0) out.push_back(Hex(m).substr(0, 5));
        return out;
    }
    static int Count(const std::vector<std::string>& messages, const std::string& what) {
        int n = 0;
        for (const auto& m : messages) n += m.rfind(what, 0) == 0 ? 1 : 0;
        return n;
    }
    std::vector<std::string> ShownTexts() const {
        std::vector<std::string> texts;
        for (const auto& s : shown_) texts.push_back(s.text);
        return texts;
    }

    QTemporaryDir dir_;
    std::string iniPath_;
    std::shared_ptr<LoopbackService> service_;
    std::vector<std::shared_ptr<VirtualInstrument>> instruments_;
    std::unique_ptr<TfPatchscribe> window_;
    std::vector<Shown> shown_;
};

// --------------------------------------------------------------------------
// Start-up

TEST_F(WindowTest, FirstStartWithoutSettingsFile) {
    auto synth = AddSynth("Synth A");
    AddSynth("Synth B");
    Start();

    EXPECT_EQ(window_->windowTitle(), "Patchscribe");
    auto* pages = Get<QTabWidget>("pcMain");
    ASSERT_EQ(pages->count(), 2);
    EXPECT_EQ(pages->tabText(0), "Midi I/O");
    EXPECT_EQ(pages->tabText(1), "Get Names");
    EXPECT_EQ(pages->currentWidget()->objectName(), "tsGetName");

    ASSERT_EQ(Models()->count(), 1);
    EXPECT_EQ(Models()->currentText(), kDefaultName);
    EXPECT_EQ(Get<QLabel>("lSynthType")->text(), kDefaultName);
    for (const char* box : {"cbSonar", "cbIncludeNumber", "cbCat"})
        EXPECT_TRUE(Box(box)->isChecked()) << box;
    EXPECT_FALSE(Shows("cbCat"));  // the default model has no categories
    EXPECT_FALSE(Shows("lNotes"));
    EXPECT_FALSE(Shows("lFullClipboard"));
    EXPECT_TRUE(Shows("cbModel"));
    EXPECT_TRUE(Shows("lSynthBank"));
    EXPECT_EQ(Button()->text(), "Get Names");
    EXPECT_TRUE(Lines().empty());
    EXPECT_FALSE(Get<QTimer>("TimeOut")->isActive());
    EXPECT_EQ(Get<QListWidget>("lbMidiIn")->currentRow(), 0);
    EXPECT_EQ(Get<QListWidget>("lbMidiOut")->currentRow(), 0);

    // The apply of the first model: Bank Select 87/0 and program 0 on channel 1.
    ASSERT_TRUE(WaitFor([&] { return synth->Received().size() >= 3; }));
    EXPECT_EQ(Messages(*synth), (std::vector<std::string>{"B0 00 57", "B0 20 00", "C0 00"}));
    EXPECT_TRUE(shown_.empty());
    EXPECT_FALSE(IniExists());  // nothing to remember yet

    Stop();
    // The destroy step remembers the ports in use.
    IniFile ini(iniPath_);
    EXPECT_EQ(ini.ReadString("MidiDevices", "Input", "?"), "Synth A");
    EXPECT_EQ(ini.ReadString("MidiDevices", "Output", "?"), "Synth A");
}

TEST_F(WindowTest, RememberedPortsAreFoundByNameIgnoringCase) {
    struct Case {
        const char* input;
        const char* output;
        int in;
        int out;
    };
    const Case cases[] = {
        {"SYNTH b", "other", 1, 3},    // case ignored, first of two equal names
        {"Missing", "Synth A", 0, 0},  // not installed: the first port
        {"", "synth B", 0, 1},         // empty: the first port
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " / " + c.output);
        std::vector<std::shared_ptr<VirtualInstrument>> synths;
        for (const char* name : {"Synth A", "synth b", "Synth B", "Other"})
            synths.push_back(AddSynth(name));
        WriteIni(std::string("[MidiDevices]\r\nInput=") + c.input + "\r\nOutput=" + c.output +
                 "\r\n");
        Start();
        EXPECT_EQ(window_->InDeviceIndex(), c.in);
        EXPECT_EQ(window_->OutDeviceIndex(), c.out);
        EXPECT_EQ(Get<QListWidget>("lbMidiIn")->currentRow(), c.in);
        EXPECT_EQ(Get<QListWidget>("lbMidiOut")->currentRow(), c.out);
        ASSERT_TRUE(
            WaitFor([&] { return synths[static_cast<size_t>(c.out)]->Received().size() >= 3; }));
        for (size_t i = 0; i < synths.size(); ++i) {
            if (static_cast<int>(i) == c.out) continue;
            EXPECT_TRUE(synths[i]->Received().empty()) << i;
        }
        TearDown();
        SetUp();
    }
}

TEST_F(WindowTest, RememberedModelIsSelectedAndApplied) {
    auto synth = AddSynth("Synth A");
    WriteIni(
        "[LastSelected]\r\nSynthBank=BETA\r\n[Synths]\r\nTotal=3\r\n"
        "[Synths0]\r\nName=Gamma\r\n[Synths1]\r\nName=alpha\r\n"
        "[Synths2]\r\nName=Beta\r\nChannel=3\r\nNotes=Bank A only\r\nFontSize=8\r\n");
    const std::string before = ReadIni();
    Start();
    ASSERT_EQ(Models()->count(), 3);
    EXPECT_EQ(Models()->itemText(0), "alpha");
    EXPECT_EQ(Models()->itemText(1), "Beta");
    EXPECT_EQ(Models()->itemText(2), "Gamma");
    EXPECT_EQ(Models()->currentText(), "Beta");
    EXPECT_EQ(Get<QLabel>("lSynthType")->text(), "Beta");
    EXPECT_EQ(Get<QLabel>("lSynthType")->font().pointSize(), 8);
    EXPECT_TRUE(Shows("lNotes"));
    EXPECT_EQ(Get<QLabel>("lNotes")->text(), "Bank A only");
    ASSERT_TRUE(WaitFor([&] { return synth->Received().size() >= 3; }));
    EXPECT_EQ(Messages(*synth), (std::vector<std::string>{"B2 00 57", "B2 20 00", "C2 00"}));
    EXPECT_EQ(ReadIni(), before);  // start-up writes no model choice
}

TEST_F(WindowTest, RememberedOptionsTickTheBoxesAndFalseIsWrittenBack) {
    AddSynth("Synth A");
    WriteIni("[LastSelected]\r\nCheckSonar=00\r\nCheckNumber=2\r\nCheckCategory=x\r\n");
    Start();
    EXPECT_FALSE(Box("cbSonar")->isChecked());
    EXPECT_TRUE(Box("cbIncludeNumber")->isChecked());
    EXPECT_TRUE(Box("cbCat")->isChecked());
    const std::string text = ReadIni();
    // Only the box that changed wrote its value back.
    EXPECT_NE(text.find("CheckSonar=0\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("CheckNumber=2\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("CheckCategory=x\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("CheckSonar=00"), std::string::npos) << text;

    // A click writes at once.
    QTest::mouseClick(Box("cbIncludeNumber"), Qt::LeftButton);
    EXPECT_FALSE(IniFile(iniPath_).ReadBool("LastSelected", "CheckNumber", true));
}

TEST_F(WindowTest, NoInputPortShowsTheErrorAndTheWindowStillOpens) {
    Start();  // no ports at all
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].kind, TMessageKind::Error);
    EXPECT_EQ(shown_[0].caption, "Patchscribe");
    EXPECT_EQ(shown_[0].text, "TMidiInput: Device index out of bounds! (0)");
    EXPECT_TRUE(window_->isVisible());
    EXPECT_EQ(Models()->currentText(), kDefaultName);  // filled and selected, not applied
    EXPECT_EQ(Get<QLabel>("lSynthType")->text(), "Synth Name");
    shown_.clear();
    Stop();
    // Shutdown fails on the empty lists too; the last error is shown.
    EXPECT_EQ(ShownTexts(), std::vector<std::string>{"List index out of bounds (0)"});
}

// --------------------------------------------------------------------------
// Harvest runs

TEST_F(WindowTest, WholeBankGoesToTheClipboard) {
    for (bool sonar : {false, true}) {
        SCOPED_TRACE(sonar ? "Sonar" : "plain");
        auto synth = AddSynth("Synth A");
        WriteIni(
            OneModel(std::string("[LastSelected]\r\nCheckSonar=") + (sonar ? "1" : "0") + "\r\n"));
        Start();
        Harvest();

        std::vector<std::string> expected;
        if (sonar)
            expected = {";SC User Patch 1 to 128",
                        " ",
                        "; Created by Patchscribes",
                        std::string("; ") + kMakerWebAddress,
                        " ",
                        " ",
                        ".Patch Names",
                        " ",
                        "[SC User Patch 1 to 128]"};
        for (int p = 0; p < 128; ++p)
            expected.push_back((sonar ? std::to_string(p) + "=" : "") + std::to_string(p) + " - " +
                               Field(p));
        if (sonar) {
            for (const char* line : {" ", ".Instrument Definitions", " ", "BankSelMethod=1", " ",
                                     "Patch[11136]=SC User Patch 1 to 128", " "})
                expected.push_back(line);
        }

        EXPECT_EQ(Lines(), expected);
        EXPECT_EQ(Clipboard(), CrLf(expected));
        EXPECT_TRUE(Shows("lFullClipboard"));
        EXPECT_TRUE(Shows("cbModel"));
        EXPECT_TRUE(Shows("lSynthBank"));
        EXPECT_FALSE(Get<QTimer>("TimeOut")->isActive());
        const auto pcs = ProgramChanges(*synth);
        ASSERT_EQ(pcs.size(), 1u + 129u);  // the apply's, then 0..127 and the end number
        EXPECT_EQ(pcs.back(), "C0 80");
        EXPECT_EQ(synth->RequestsSeen(), 128);
        EXPECT_TRUE(shown_.empty());
        TearDown();
        SetUp();
    }
}

TEST_F(WindowTest, BlockCountsAndBankSizes) {
    struct Case {
        const char* name;
        const char* keys;
        InstrumentModel synth;
        std::vector<std::string> lines;
    };
    InstrumentModel twoBlocks = DefaultInstrument();
    twoBlocks.numSysexBlocks = 2;
    twoBlocks.nameSyxBlk = 2;
    InstrumentModel oneBlock = DefaultInstrument();  // with an unrelated SysEx before it
    std::vector<std::string> four;
    for (int p = 0; p < 4; ++p) four.push_back(Field(p));
    const Case cases[] = {
        {"second of two blocks", "NumOfNames=4\r\nNumSysexBlocks=2\r\nNameSyxBlk=2\r\n", twoBlocks,
         four},
        {"unrelated SysEx counts", "NumOfNames=4\r\nNumSysexBlocks=2\r\nNameSyxBlk=2\r\n", oneBlock,
         four},
        {"empty bank", "NumOfNames=0\r\nStartPatch=5\r\n", oneBlock, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto synth = AddSynth("Synth A", c.synth);
        if (std::string(c.name) == "unrelated SysEx counts") synth->SetSendUnrelatedSysEx(true);
        WriteIni(OneModel(c.keys, "[LastSelected]\r\nCheckSonar=0\r\nCheckNumber=0\r\n"));
        Start();
        Harvest();
        EXPECT_EQ(Lines(), c.lines);
        EXPECT_EQ(Clipboard(), CrLf(c.lines));
        EXPECT_TRUE(Shows("lFullClipboard"));
        EXPECT_TRUE(Shows("cbModel"));
        EXPECT_TRUE(shown_.empty());
        if (c.lines.empty()) {
            EXPECT_EQ(ProgramChanges(*synth).back(), "C0 05");
            EXPECT_EQ(synth->RequestsSeen(), 0);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(WindowTest, EmptyBankWithSonarGivesHeaderAndTrailer) {
    AddSynth("Synth A");
    WriteIni(OneModel("NumOfNames=0\r\n"));
    Start();
    Harvest();
    std::vector<std::string> expected = SonarHeaderLines(DefaultSynth());
    for (const std::string& line : SonarTrailerLines(DefaultSynth())) expected.push_back(line);
    EXPECT_EQ(Clipboard(), CrLf(expected));
}

TEST_F(WindowTest, CancelEndsAfterTheCurrentPatch) {
    auto synth = AddSynth("Synth A");
    synth->SetLatency(std::chrono::milliseconds(30));
    WriteIni(OneModel("", "[LastSelected]\r\nCheckSonar=0\r\n"));
    Start();
    ClickRequest();
    EXPECT_EQ(Button()->text(), "Cancel");
    EXPECT_FALSE(Shows("cbModel"));
    EXPECT_FALSE(Shows("lSynthBank"));
    ASSERT_TRUE(WaitFor([&] { return Lines().size() >= 3; }));
    ClickRequest();  // "Cancel"
    ClickRequest();  // again: still only a cancel
    ASSERT_TRUE(WaitFor([&] { return Button()->text() == "Request"; }));
    QCoreApplication::processEvents();

    const auto lines = Lines();
    ASSERT_LT(lines.size(), 128u);
    for (size_t p = 0; p < lines.size(); ++p)
        EXPECT_EQ(lines[p], std::to_string(p) + " - " + Field(static_cast<int>(p)));
    EXPECT_EQ(Clipboard(), CrLf(lines));
    EXPECT_TRUE(Shows("lFullClipboard"));
    EXPECT_EQ(ProgramChanges(*synth).back(), "C0 80");  // the end number
    EXPECT_EQ(synth->RequestsSeen(), static_cast<int>(lines.size()));
}

TEST_F(WindowTest, SilentInstrumentTimesOut) {
    auto synth = AddSynth("Synth A");
    synth->SetSilentFrom(2);
    WriteIni(OneModel("NumOfNames=8\r\n", "[LastSelected]\r\nCheckSonar=0\r\n"));
    Start();
    ClickRequest();
    ASSERT_TRUE(WaitFor([&] { return !shown_.empty(); }));
    EXPECT_EQ(shown_[0].kind, TMessageKind::Notice);
    EXPECT_EQ(shown_[0].caption, "Patchscribe");
    EXPECT_EQ(shown_[0].text, "Time Out - no Midi received");
    QCoreApplication::processEvents();
    EXPECT_EQ(Button()->text(), "Request");
    EXPECT_EQ(Lines(), (std::vector<std::string>{"0 - " + Field(0), "1 - " + Field(1)}));
    EXPECT_EQ(Clipboard(), "clipboard before");
    EXPECT_FALSE(Shows("lFullClipboard"));
    EXPECT_TRUE(Shows("cbModel"));
    EXPECT_TRUE(Shows("lSynthBank"));
    EXPECT_FALSE(Get<QTimer>("TimeOut")->isActive());
    EXPECT_EQ(shown_.size(), 1u);
}

TEST_F(WindowTest, OptionsChangedDuringARunApplyToTheLinesThatFollow) {
    auto synth = AddSynth("Synth A");
    synth->SetLatency(std::chrono::milliseconds(40));
    WriteIni(OneModel("NumOfNames=12\r\n"));
    Start();
    ClickRequest();
    ASSERT_TRUE(WaitFor([&] { return Lines().size() >= 9 + 2; }));
    QTest::mouseClick(Box("cbSonar"), Qt::LeftButton);
    QTest::mouseClick(Box("cbIncludeNumber"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return Button()->text() == "Request"; }));
    QCoreApplication::processEvents();

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 9u + 12u);  // the header, no trailer
    EXPECT_EQ(lines[0], std::string(";") + kDefaultName);
    // Each line follows the boxes as they stood when it was made: both on, then
    // (for a line made between the two clicks) Sonar off only, then both off.
    int stage = 0;
    for (int p = 0; p < 12; ++p) {
        const std::string& line = lines[static_cast<size_t>(9 + p)];
        const std::string forms[] = {std::to_string(p) + "=" + std::to_string(p) + " - " + Field(p),
                                     std::to_string(p) + " - " + Field(p), Field(p)};
        int form = 0;
        while (form < 3 && line != forms[form]) ++form;
        ASSERT_LT(form, 3) << line;
        EXPECT_GE(form, stage) << "an older form after a newer one: " << line;
        stage = form;
    }
    const bool changed = stage == 2;
    EXPECT_TRUE(changed);
    EXPECT_EQ(lines.back(), Field(11));
    IniFile ini(iniPath_);
    EXPECT_FALSE(ini.ReadBool("LastSelected", "CheckSonar", true));
    EXPECT_FALSE(ini.ReadBool("LastSelected", "CheckNumber", true));
}

TEST_F(WindowTest, CategoriesAreShownOnlyForModelsThatHaveThem) {
    InstrumentModel m = DefaultInstrument();
    m.catPos = 23;
    m.categories = {1, 0, 2};
    auto synth = AddSynth("Synth A", m);
    WriteIni(
        "[LastSelected]\r\nCheckSonar=0\r\n[Synths]\r\nTotal=2\r\n"
        "[Synths0]\r\nName=A cats\r\nSleepTime=0\r\nNumOfNames=3\r\nCategory=Kinds\r\n"
        "CatPos=23\r\n[Synths1]\r\nName=B plain\r\nSleepTime=0\r\n"
        "[Kinds]\r\nTotal=3\r\nCat0=Bass\r\nCat1=Lead\r\nCat2=Pad\r\n");
    Start();
    EXPECT_TRUE(Shows("cbCat"));
    EXPECT_EQ(window_->ModelState().categoryNames,
              (std::vector<std::string>{"Bass", "Lead", "Pad"}));
    Harvest();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"0 - Lead-" + Field(0), "1 - Bass-" + Field(1),
                                                 "2 - Pad-" + Field(2)}));
    // The category box off: plain lines.
    QTest::mouseClick(Box("cbCat"), Qt::LeftButton);
    Harvest();
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{"0 - " + Field(0), "1 - " + Field(1), "2 - " + Field(2)}));
    // A model without categories hides the box and empties the list.
    Models()->setFocus();
    QTest::keyClick(Models(), Qt::Key_Down);
    EXPECT_EQ(Models()->currentText(), "B plain");
    EXPECT_FALSE(Shows("cbCat"));
    EXPECT_TRUE(window_->ModelState().categoryNames.empty());
    QTest::keyClick(Models(), Qt::Key_Up);
    EXPECT_TRUE(Shows("cbCat"));
    EXPECT_EQ(window_->ModelState().categoryNames.size(), 3u);
    EXPECT_TRUE(shown_.empty());
}

TEST_F(WindowTest, CategoryErrorCostsThePatchItsLine) {
    InstrumentModel m = DefaultInstrument();
    m.catPos = 23;
    m.categories = {0, 5, 1};
    AddSynth("Synth A", m);
    WriteIni(OneModel("NumOfNames=3\r\nCategory=Kinds\r\nCatPos=23\r\n",
                      "[LastSelected]\r\nCheckSonar=0\r\n[Kinds]\r\nTotal=2\r\nCat0=Bass\r\n"
                      "Cat1=Lead\r\n"));
    Start();
    Harvest();
    ASSERT_TRUE(WaitFor([&] { return !shown_.empty(); }));
    EXPECT_EQ(ShownTexts(), std::vector<std::string>{"List index out of bounds (5)"});
    EXPECT_EQ(Lines(), (std::vector<std::string>{"0 - Bass-" + Field(0), "2 - Lead-" + Field(2)}));
    EXPECT_TRUE(Shows("lFullClipboard"));
}

TEST_F(WindowTest, OutputErrorOnTheMidiThreadEndsTheRunWithItsMessage) {
    auto synth = AddSynth("Synth A");
    synth->SetLatency(std::chrono::milliseconds(30));
    WriteIni(OneModel("", "[LastSelected]\r\nCheckSonar=0\r\n"));
    Start();
    ClickRequest();
    ASSERT_TRUE(WaitFor([&] { return Lines().size() >= 2; }));
    service_->FailNext("OutShortMsg", kMidiSystemRefused);
    ASSERT_TRUE(WaitFor([&] { return !shown_.empty(); }));
    QCoreApplication::processEvents();
    std::string refused;
    StandardMidiErrorText(kMidiSystemRefused, refused);
    EXPECT_EQ(ShownTexts(), std::vector<std::string>{refused});  // no time-out notice
    EXPECT_EQ(shown_[0].kind, TMessageKind::Error);
    EXPECT_EQ(Button()->text(), "Request");
    EXPECT_TRUE(Shows("cbModel"));
    EXPECT_FALSE(Shows("lFullClipboard"));
    EXPECT_EQ(Clipboard(), "clipboard before");
    EXPECT_FALSE(Get<QTimer>("TimeOut")->isActive());
}

TEST_F(WindowTest, InputErrorOnTheMidiThreadIsShown) {
    AddSynth("Synth A");
    Start();
    service_->FailNext("InAddBuffer", kMidiSystemRefused);
    service_->Inject(0, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});  // ignored: no run
    ASSERT_TRUE(WaitFor([&] { return !shown_.empty(); }));
    std::string refused;
    StandardMidiErrorText(kMidiSystemRefused, refused);
    EXPECT_EQ(ShownTexts(), std::vector<std::string>{refused});
    EXPECT_EQ(shown_[0].kind, TMessageKind::Error);
    EXPECT_TRUE(Lines().empty());
}

// --------------------------------------------------------------------------
// Models

class ModelEventsTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        synth_ = AddSynth("Synth A");
        WriteIni(
            "[Synths]\r\nTotal=2\r\n[Synths0]\r\nName=Alpha\r\n"
            "[Synths1]\r\nName=Beta\r\nChannel=2\r\n");
        Start();
        ASSERT_TRUE(WaitFor([&] { return synth_->Received().size() >= 3; }));
        synth_->ClearReceived();
        before_ = ReadIni();
    }
    // Waits until the posted close-up has run.
    void Settle() {
        QTest::qWait(50);
        QCoreApplication::processEvents();
    }
    void OpenList() {
        Models()->showPopup();
        ASSERT_TRUE(WaitFor([&] { return Models()->view()->isVisible(); }));
    }
    std::shared_ptr<VirtualInstrument> synth_;
    std::string before_;
};

TEST_F(ModelEventsTest, MouseChoiceAppliesTwiceAndRemembersOnce) {
    OpenList();
    // Qt ignores a release that follows the opening too closely.
    QTest::qWait(QApplication::doubleClickInterval() + 100);
    QAbstractItemView* view = Models()->view();
    const QRect r = view->visualRect(view->model()->index(1, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, r.center());
    Settle();
    EXPECT_FALSE(view->isVisible());
    EXPECT_EQ(Models()->currentText(), "Beta");
    EXPECT_EQ(Messages(*synth_), (std::vector<std::string>{"B1 00 57", "B1 20 00", "C1 00",
                                                           "B1 00 57", "B1 20 00", "C1 00"}));
    EXPECT_EQ(IniFile(iniPath_).ReadString("LastSelected", "SynthBank", ""), "Beta");
    EXPECT_EQ(window_->LastSynthBank(), "Beta");
}

TEST_F(ModelEventsTest, KeyboardChangeInTheOpenListAppliesTwice) {
    OpenList();
    QTest::keyClick(Models()->view(), Qt::Key_Down);
    QTest::keyClick(Models()->view(), Qt::Key_Return);
    Settle();
    EXPECT_EQ(Models()->currentText(), "Beta");
    EXPECT_EQ(Count(Messages(*synth_), "C1 00"), 2);
    EXPECT_EQ(IniFile(iniPath_).ReadString("LastSelected", "SynthBank", ""), "Beta");
}

TEST_F(ModelEventsTest, KeyboardChangeWhileClosedAppliesOnce) {
    Models()->setFocus();
    QTest::keyClick(Models(), Qt::Key_Down);
    Settle();
    EXPECT_EQ(Models()->currentText(), "Beta");
    EXPECT_EQ(Messages(*synth_), (std::vector<std::string>{"B1 00 57", "B1 20 00", "C1 00"}));
    EXPECT_EQ(IniFile(iniPath_).ReadString("LastSelected", "SynthBank", ""), "Beta");
}

TEST_F(ModelEventsTest, OpenAndCloseWithoutChangeAppliesOnceAndWritesNothing) {
    OpenList();
    QTest::keyClick(Models()->view(), Qt::Key_Escape);
    Settle();
    EXPECT_EQ(Models()->currentText(), "Alpha");
    EXPECT_EQ(Messages(*synth_), (std::vector<std::string>{"B0 00 57", "B0 20 00", "C0 00"}));
    EXPECT_EQ(ReadIni(), before_);
}

TEST_F(WindowTest, ChannelTenAndModeSysExGoOutInOrder) {
    auto synth = AddSynth("Synth A");
    WriteIni(OneModel("Channel=10\r\nRequestMode=F0 41 10 42 12 40 00 7F 00 41 F7\r\n"));
    Start();
    ASSERT_TRUE(WaitFor([&] { return synth->Received().size() >= 4; }));
    EXPECT_EQ(Messages(*synth), (std::vector<std::string>{"F0 41 10 42 12 40 00 7F 00 41 F7",
                                                          "B9 00 57", "B9 20 00", "C9 00"}));
    EXPECT_EQ(window_->ModelState().channelIndex, 9);
}

TEST_F(WindowTest, BadBankMsbStopsTheApplyAndTheWindowGoesOn) {
    auto synth = AddSynth("Synth A");
    WriteIni(
        "[Synths]\r\nTotal=2\r\n[Synths0]\r\nName=Bad\r\nBankMSB=8x7\r\n"
        "RequestMode=F0 7E 7F 06 01 F7\r\n[Synths1]\r\nName=Good\r\n");
    Start();
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].kind, TMessageKind::Error);
    EXPECT_EQ(shown_[0].text, "'8x7' is not a valid integer value");
    ASSERT_TRUE(WaitFor([&] { return !synth->Received().empty(); }));
    EXPECT_EQ(Messages(*synth), std::vector<std::string>{"F0 7E 7F 06 01 F7"});
    EXPECT_EQ(Get<QLabel>("lSynthType")->text(), "Bad");

    // The window stays usable: the next model applies.
    synth->ClearReceived();
    Models()->setFocus();
    QTest::keyClick(Models(), Qt::Key_Down);
    ASSERT_TRUE(WaitFor([&] { return synth->Received().size() >= 3; }));
    EXPECT_EQ(Messages(*synth), (std::vector<std::string>{"B0 00 57", "B0 20 00", "C0 00"}));
    EXPECT_EQ(IniFile(iniPath_).ReadString("LastSelected", "SynthBank", ""), "Good");
}

// --------------------------------------------------------------------------
// Ports and shutdown

TEST_F(WindowTest, PortChangesDuringAndBetweenRuns) {
    InstrumentModel named = DefaultInstrument();
    named.names = {"B one", "B two", "B three", "B four"};
    auto a = AddSynth("Synth A");
    auto b = AddSynth("Synth B", named);
    a->SetLatency(std::chrono::milliseconds(200));
    WriteIni(OneModel("NumOfNames=4\r\n", "[LastSelected]\r\nCheckSonar=0\r\nCheckNumber=0\r\n"));
    Start();

    // During a run: the output changes at once, so the next request goes to B,
    // whose answer comes in on a port that is not open: the run times out.
    ClickRequest();
    ASSERT_TRUE(WaitFor([&] { return Lines().size() == 1; }));
    ClickRow("lbMidiOut", 1);
    EXPECT_EQ(window_->OutDeviceIndex(), 1);
    ASSERT_TRUE(WaitFor([&] { return !shown_.empty(); }));
    EXPECT_EQ(ShownTexts(), std::vector<std::string>{"Time Out - no Midi received"});
    EXPECT_EQ(b->RequestsSeen(), 1);
    EXPECT_EQ(ProgramChanges(*b), std::vector<std::string>{"C0 02"});

    // Between runs: the input follows; the next run reads B's names.
    ClickRow("lbMidiIn", 1);
    EXPECT_EQ(window_->InDeviceIndex(), 1);
    shown_.clear();
    Harvest();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"B one       ", "B two       ", "B three     ",
                                                 "B four      "}));
    // Choosing the port in use again closes and reopens it; it still works.
    ClickRow("lbMidiIn", 1);
    Harvest();
    EXPECT_EQ(Lines().size(), 4u);
    EXPECT_TRUE(shown_.empty());

    Stop();
    IniFile ini(iniPath_);
    EXPECT_EQ(ini.ReadString("MidiDevices", "Input", ""), "Synth B");
    EXPECT_EQ(ini.ReadString("MidiDevices", "Output", ""), "Synth B");
}

TEST_F(WindowTest, QuitDuringARunEndsPromptly) {
    auto synth = AddSynth("Synth A");
    WriteIni(OneModel("NumOfNames=100000\r\nSleepTime=1\r\n"));
    Start();
    ClickRequest();
    ASSERT_TRUE(WaitFor([&] { return Lines().size() >= 9 + 20; }));

    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 1000 && !done.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done.load()) {
            std::fprintf(stderr, "the window did not close within 10 s\n");
            std::abort();
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    window_.reset();
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    done = true;
    watchdog.join();
    std::printf("[ closing ] the window closed %lld ms after the quit, mid-run\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    const int requests = synth->RequestsSeen();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(synth->RequestsSeen(), requests);  // nothing is sent after the window is gone
    EXPECT_TRUE(shown_.empty());
    EXPECT_EQ(IniFile(iniPath_).ReadString("MidiDevices", "Input", ""), "Synth A");
}

}  // namespace
