// Pictures of the window for review and for the documentation: both pages
// before a run, the list during a run and the finished list.  Uses the
// in-process instrument on loopback ports; run it on a real display (for
// example under xvfb-run) so the pictures show the platform's own look.
//
//   gui_screenshots OUTPUT_FOLDER [SETTINGS_FILE]
//
// With SETTINGS_FILE the window uses the real MIDI system (ALSA or JACK) and
// that settings file, whose remembered ports should name an instrument, for
// example one put on the MIDI system by `patchscribe-cli synth`.
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <fstream>
#include <memory>

#include "app/Main.h"
#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"

namespace {
void Save(QWidget& window, const QString& folder, const char* name) {
    QCoreApplication::processEvents();
    const QString path = QDir(folder).filePath(QString(name) + ".png");
    if (!window.grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    std::printf("%s\n", qPrintable(path));
}

// A settings file with two models (one with notes and categories) and two
// loopback port pairs, the first with the demo instrument behind it.
void SetDemoPorts(const std::string& ini) {
    std::ofstream(ini, std::ios::binary)
        << "[Synths]\r\nTotal=2\r\n"
           "[Synths0]\r\nName=SC User Patch 1 to 128\r\nSleepTime=5\r\n"
           "Notes=Set the instrument to its user bank first\r\n"
           "Category=Kinds\r\nCatPos=23\r\n"
           "[Synths1]\r\nName=Demo Synth Bank A\r\nSleepTime=5\r\n"
           "[LastSelected]\r\nSynthBank=SC User Patch 1 to 128\r\n"
           "[Kinds]\r\nTotal=8\r\nCat0=Piano\r\nCat1=Keys\r\nCat2=Organ\r\nCat3=Guitar\r\n"
           "Cat4=Bass\r\nCat5=Strings\r\nCat6=Brass\r\nCat7=Synth\r\n";

    InstrumentModel model;
    TMemoryStream request;
    StrToSysExStream("F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7", request);
    model.request = request.Bytes();
    model.catPos = 23;
    auto synth = std::make_shared<VirtualInstrument>(model);
    synth->SetLatency(std::chrono::milliseconds(10));
    auto service = std::make_shared<LoopbackService>();
    service->AddDevicePair("Virtual Synth", synth);
    service->AddDevicePair("USB MIDI Interface", nullptr);
    SetPortService(service);
}
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName("Patchscribe");
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: gui_screenshots OUTPUT_FOLDER [SETTINGS_FILE]\n");
        return 2;
    }
    const QString folder = argv[1];
    QDir().mkpath(folder);
    QTemporaryDir dir;
    std::string ini = dir.filePath("patchscribe.INI").toStdString();
    if (argc == 3)
        ini = argv[2];
    else
        SetDemoPorts(ini);

    {
        TfPatchscribe window(ini);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) std::fprintf(stderr, "window not exposed\n");
        auto* pages = window.findChild<QTabWidget*>("pcMain");
        auto* list = window.findChild<QPlainTextEdit*>("NameList");
        auto* button = window.findChild<QPushButton*>("btnSendSysEx");
        Save(window, folder, "1-get-names-before");
        pages->setCurrentIndex(0);
        Save(window, folder, "2-midi-io");
        pages->setCurrentIndex(1);
        button->click();
        if (!QTest::qWaitFor([&] { return list->blockCount() >= 40; }, 20000)) return 1;
        Save(window, folder, "3-during-run");
        if (!QTest::qWaitFor([&] { return button->text() == "Request"; }, 20000)) return 1;
        Save(window, folder, "4-after-run");
        // The clipboard as the run left it, for checking the list.
        const QByteArray text = QGuiApplication::clipboard()->text().toUtf8();
        std::ofstream(QDir(folder).filePath("clipboard.txt").toStdString(), std::ios::binary)
            .write(text.constData(), text.size());
        pages->setCurrentIndex(0);
        Save(window, folder, "5-midi-io-after");
        pages->setCurrentIndex(1);
    }
    FreeMidiDevices();
    return 0;
}
