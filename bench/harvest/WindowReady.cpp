// (d) Window ready: from process start to the first shown window, with a
// 1000-model settings file, on Qt's offscreen platform.
//
// The parent writes the settings file, takes the time, and starts this same
// program as a child, which does what the program's entry does (application
// object, title, the main window on that settings file, show) and prints the
// monotonic time once the window is exposed.  The difference is the start-up
// a user waits for: exec, loading Qt and its platform plugin, the create step
// (settings load, port lists, model apply) and the first show.  The ports are
// one in-process instrument, so the figure does not depend on the machine's
// MIDI system.
//   bench_window_ready [runs]
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/Main.h"
#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"

namespace {

double MonotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string ThousandModels() {
    std::string t = "[LastSelected]\r\nSynthBank=Bank 0500\r\n[Synths]\r\nTotal=1000\r\n";
    for (int i = 0; i < 1000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Bank %04d", (i * 7919) % 1000);
        t += "[Synths" + std::to_string(i) + "]\r\nName=" + name + "\r\n";
        t += "Notes=Select the user bank on the instrument first\r\n";
        t += "RequestMode=\r\nRequestBytes=F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7\r\n";
        t += "BankMSB=87\r\nBankLSB=00\r\nChannel=1\r\nNumOfNames=128\r\nNameStartPos=11\r\n";
        t += "NameSize=12\r\nCategory=Kinds\r\nCatPos=23\r\nStartNum=1\r\nStartPatch=0\r\n";
        t += "PatchNumFormat=0\r\nSleepTime=120\r\nNumSysexBlocks=1\r\nNameSyxBlk=1\r\n";
        t += "FontSize=12\r\nSonarBankMethod=1\r\n";
    }
    t += "[Kinds]\r\nTotal=4\r\nCat0=Piano\r\nCat1=Bass\r\nCat2=Pad\r\nCat3=Lead\r\n";
    return t;
}

int Child(int argc, char** argv, const char* settings) {
    const double entered = MonotonicSeconds();
    QApplication app(argc, argv);
    const double appMade = MonotonicSeconds();
    QApplication::setApplicationName("patchscribe");
    QApplication::setApplicationDisplayName("Patchscribe");
    auto service = std::make_shared<LoopbackService>();
    service->AddDevicePair("Bench Synth", std::make_shared<VirtualInstrument>(InstrumentModel{}));
    SetPortService(service);
    int shown = 0;
    TfPatchscribe::SetMessagePresenter([&shown](TMessageKind, const QString&, const QString& t) {
        std::fprintf(stderr, "window message: %s\n", t.toLocal8Bit().constData());
        ++shown;
    });
    double ready = 0, created = 0;
    {
        TfPatchscribe window(settings);
        created = MonotonicSeconds();
        window.show();
        while (!(window.windowHandle() && window.windowHandle()->isExposed()))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        QCoreApplication::processEvents();  // the first paint
        ready = MonotonicSeconds();
    }
    FreeMidiDevices();
    std::printf("%.9f %.9f %.9f %.9f\n", ready, entered, appMade, created);
    return shown == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child") return Child(argc, argv, argv[2]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    char dir[] = "/tmp/patchscribe-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string settings = std::string(dir) + "/patchscribe.INI";
    std::ofstream(settings, std::ios::binary) << ThousandModels();
    const std::string errors = std::string(dir) + "/child-stderr.txt";
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::vector<double> ms, toMain, toApp, toCreated;
    for (int i = 0; i < runs + 1; ++i) {  // the first run warms the file cache
        int out[2];
        if (pipe(out) != 0) return 1;
        const double start = MonotonicSeconds();
        const pid_t pid = fork();
        if (pid == 0) {
            // Qt's notes about the offscreen platform would drown the figure.
            const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (err >= 0) dup2(err, 2);
            dup2(out[1], 1);
            close(out[0]);
            execl("/proc/self/exe", argv[0], "--child", settings.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buf[256];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
        close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) {
            std::ifstream log(errors);
            std::printf("(d) window ready: FAILED (child status %d)\n%s\n", status,
                        std::string(std::istreambuf_iterator<char>(log), {}).c_str());
            return 1;
        }
        double t[4] = {0, 0, 0, 0};
        std::sscanf(text.c_str(), "%lf %lf %lf %lf", &t[0], &t[1], &t[2], &t[3]);
        if (i > 0) {
            ms.push_back((t[0] - start) * 1e3);
            toMain.push_back((t[1] - start) * 1e3);
            toApp.push_back((t[2] - t[1]) * 1e3);
            toCreated.push_back((t[3] - t[2]) * 1e3);
        }
    }
    std::remove(settings.c_str());
    std::remove(errors.c_str());
    rmdir(dir);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::sort(ms.begin(), ms.end());
    std::printf(
        "(d) window ready, 1000 models, offscreen: %.1f ms from process start to the first"
        " shown window (median of %d; min %.1f, max %.1f)  (goal <= 150 ms)\n",
        ms[ms.size() / 2], runs, ms.front(), ms.back());
    std::printf(
        "    of which (medians): exec and libraries to main %.1f ms, application object"
        " %.1f ms, create step (settings, ports, apply) %.1f ms; the rest is show and"
        " first paint\n",
        median(toMain), median(toApp), median(toCreated));
    return 0;
}
