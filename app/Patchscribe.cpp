// The process entry: the application object, its title, the one main window
// and the message loop.  The MIDI device sets are freed after the window.
//
// SIGINT and SIGTERM end the message loop like closing the window, so the
// destroy step still closes the ports and remembers them.
//
// PATCHSCRIBE_INI, when set, names the settings file to use instead of
// patchscribe.INI beside the executable (for test set-ups and trying out a
// settings file without copying the program).
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "app/Main.h"
#include "midi/Midi.h"

namespace {
int signalPipe[2] = {-1, -1};

void OnQuitSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(signalPipe[1], &c, 1);
}

// Signals reach the GUI thread through a pipe; the handler itself only writes.
void QuitOnSignals(QApplication& app) {
    if (pipe(signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char c = 0;
        [[maybe_unused]] const ssize_t n = read(signalPipe[0], &c, 1);
        QApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

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
        QuitOnSignals(app);
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
