// The process entry: the application object, its title, the one main window
// and the message loop.  The MIDI device sets are freed after the window.
//
// PATCHSCRIBE_INI, when set, names the settings file to use instead of
// patchscribe.INI beside the executable (for test set-ups and trying out a
// settings file without copying the program).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "app/Main.h"
#include "midi/Midi.h"

namespace {
std::string SettingsOverride() {
    const char* path = std::getenv("PATCHSCRIBE_INI");
    return path ? std::string(path) : std::string();
}
}  // namespace

int main(int argc, char** argv) {
    try {
        QApplication app(argc, argv);
        QApplication::setApplicationName("patchscribe");
        QApplication::setApplicationDisplayName("Patchscribe");
        try {
            auto window = std::make_unique<TfPatchscribe>(SettingsOverride());
            window->show();
            QApplication::exec();
            window.reset();  // the destroy step closes the ports
        } catch (const std::exception& e) {
            TfPatchscribe::PresentMessage(TMessageKind::Error, QString::fromLocal8Bit(e.what()));
        }
        FreeMidiDevices();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "patchscribe: %s\n", e.what());
    }
    return 0;
}
