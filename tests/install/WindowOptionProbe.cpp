// Starts the window on a given settings file (offscreen, with an in-process
// instrument on its ports), prints the three option boxes as it restored
// them, optionally clicks one of them, and closes the window again:
//   install_window_probe SETTINGS_FILE [click BOX]
// Output lines: "cbSonar=1", ... (at start), then "clicked cbSonar=0".
// Every message box the window would show is printed as "message: TEXT",
// and makes the exit status 1.
#include <QApplication>
#include <QCheckBox>
#include <cstdio>
#include <memory>
#include <string>

#include "app/Main.h"
#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && std::string(argv[2]) == "click")) {
        std::fprintf(stderr, "usage: install_window_probe SETTINGS_FILE [click BOX]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName("Patchscribe");
    int messages = 0;
    TfPatchscribe::SetMessagePresenter([&messages](TMessageKind, const QString&, const QString& t) {
        std::printf("message: %s\n", t.toLocal8Bit().constData());
        ++messages;
    });
    auto service = std::make_shared<LoopbackService>();
    service->AddDevicePair("Probe Synth", std::make_shared<VirtualInstrument>(InstrumentModel{}));
    SetPortService(service);
    {
        TfPatchscribe window(argv[1]);
        window.show();
        QCoreApplication::processEvents();
        for (const char* name : {"cbSonar", "cbIncludeNumber", "cbCat"}) {
            auto* box = window.findChild<QCheckBox*>(name);
            if (!box) {
                std::printf("message: no box %s\n", name);
                return 1;
            }
            std::printf("%s=%d\n", name, box->isChecked() ? 1 : 0);
        }
        if (argc == 4) {
            auto* box = window.findChild<QCheckBox*>(argv[3]);
            if (!box) {
                std::printf("message: no box %s\n", argv[3]);
                return 1;
            }
            box->click();
            QCoreApplication::processEvents();
            std::printf("clicked %s=%d\n", argv[3], box->isChecked() ? 1 : 0);
        }
    }
    FreeMidiDevices();
    SetPortService(nullptr);
    std::fflush(stdout);
    return messages == 0 ? 0 : 1;
}
