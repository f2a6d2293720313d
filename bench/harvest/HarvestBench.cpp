// Harvest run benchmarks, each printed with its goal:
//   (a) 128 patches over loopback with SleepTime 20: wall time / (128 x 2 x 20 ms)
//   (b) the same with SleepTime 0: overhead per patch in microseconds
//   (c) over a running JACK server: round trip per patch in JACK periods
//       (the instrument on virtual JACK ports in this process, the run on
//       the real port service); "skipped" when no JACK server is reachable
// The run is the one the window and the CLI use (THarvester on the headless
// front end and its event loop), from the click to the finished list.
//
//   bench_harvest [runs]     (default 5 runs per figure; the median counts)
#include <sys/prctl.h>
#ifdef PATCHSCRIBE_HAVE_RTMIDI
#include <jack/jack.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/Synth.h"
#include "cli/DemoInstrument.h"
#include "cli/EventLoop.h"
#include "cli/HeadlessFrontEnd.h"
#include "harvest/Harvester.h"
#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/RtMidiService.h"
#include "midi/RtMidiVirtualPorts.h"
#include "midi/VirtualInstrument.h"

namespace {

constexpr int kPatches = 128;

struct RunResult {
    double seconds = 0;
    size_t lines = 0;
    bool finished = false;
};

TModelState ModelWithSleep(int sleepMs) {
    TModelState state;
    state.current = DefaultSynth();
    state.current.SleepTime = sleepMs;
    state.current.NumOfNames = std::to_string(kPatches);
    state.channelIndex = 0;
    return state;
}

// One whole run on the ports in and out of the current port service.
RunResult RunOnce(const TModelState& state, int in, int out) {
    EventLoop loop;
    HeadlessFrontEnd frontEnd(
        loop, HarvestOptions{false, true, false},
        [](const std::string& text) { std::fprintf(stderr, "  run: %s\n", text.c_str()); });
    THarvester harvester(frontEnd, state);
    frontEnd.SetHarvester(&harvester);
    harvester.outDeviceIndex = out;
    MidiInput().OnSysExData = [&](int32_t d, TMemoryStream& s) { harvester.HandleSysExData(d, s); };
    MidiInput().OnMidiInput = [&](int32_t d, uint8_t s, uint8_t a, uint8_t b) {
        harvester.HandleMidiInData(d, s, a, b);
    };
    MidiInput().Open(in);
    MidiOutput().Open(out);

    const auto t0 = std::chrono::steady_clock::now();
    harvester.SendSysExClick();
    if (!frontEnd.RunEnded()) loop.Run([&] { return !frontEnd.RunEnded(); });
    const auto t1 = std::chrono::steady_clock::now();

    harvester.EndForShutdown();
    {
        std::lock_guard<std::mutex> held(harvester.lock);
        MidiOutput().Close(out);
        MidiInput().Close(in);
    }
    MidiInput().OnSysExData = nullptr;
    MidiInput().OnMidiInput = nullptr;
    loop.RunPending();

    RunResult r;
    r.seconds = std::chrono::duration<double>(t1 - t0).count();
    r.lines = frontEnd.Lines().size();
    r.finished = frontEnd.Copied() && !frontEnd.TimedOut();
    return r;
}

// What a pause of ms costs on this machine now: the mean time a 20 ms
// condition-variable wait (the kind the run's pauses use) takes beyond 20 ms.
double WaitOvershootUs(int ms, int rounds) {
    std::mutex m;
    std::condition_variable cv;
    double total = 0;
    for (int i = 0; i < rounds; ++i) {
        std::unique_lock<std::mutex> held(m);
        const auto t0 = std::chrono::steady_clock::now();
        cv.wait_for(held, std::chrono::milliseconds(ms), [] { return false; });
        total += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                     .count() -
                 ms * 1000.0;
    }
    return total / rounds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs `runs` times; the median wall time in seconds, or a negative value
// when a run did not harvest the whole bank.
double MedianRun(const TModelState& state, int in, int out, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const RunResult r = RunOnce(state, in, out);
        if (!r.finished || r.lines != static_cast<size_t>(kPatches)) {
            std::fprintf(stderr, "  run %d: %zu of %d lines, %s\n", i + 1, r.lines, kPatches,
                         r.finished ? "finished" : "did not finish");
            return -1;
        }
        times.push_back(r.seconds);
    }
    return Median(times);
}

void LoopbackFigures(int runs) {
    auto instrument = std::make_shared<VirtualInstrument>(InstrumentFor(DefaultSynth()));
    auto service = std::make_shared<LoopbackService>();
    service->AddDevicePair("Bench Synth", instrument);
    SetPortService(service);

    const TModelState paced = ModelWithSleep(20);
    const double overshootUs = WaitOvershootUs(20, 50);
    const double a = MedianRun(paced, 0, 0, runs);
    const double ideal = kPatches * 2 * 0.020;
    if (a < 0) {
        std::printf("(a) loopback, SleepTime 20: FAILED (see above)\n");
    } else {
        std::printf(
            "(a) loopback, 128 patches, SleepTime 20: %.1f ms; wall / (128 x 2 x 20 ms) = %.4f"
            "  (goal <= 1.01; the finishing step's own two pauses alone give %.4f)\n",
            a * 1e3, a / ideal, (kPatches + 1) * 2 * 0.020 / ideal);
        std::printf(
            "    baseline: a 20 ms wait on this machine now takes %.0f us more; the 258"
            " pauses of a run alone give %.4f\n",
            overshootUs, ((kPatches + 1) * 2 * (0.020 + overshootUs * 1e-6)) / ideal);
    }

    const TModelState fast = ModelWithSleep(0);
    MedianRun(fast, 0, 0, 1);  // warm-up
    const double b = MedianRun(fast, 0, 0, runs * 4);
    if (b < 0) {
        std::printf("(b) loopback, SleepTime 0: FAILED (see above)\n");
    } else {
        std::printf(
            "(b) loopback, 128 patches, SleepTime 0: %.2f ms; %.1f us per patch"
            "  (goal <= 50 us)\n",
            b * 1e3, b * 1e6 / kPatches);
    }
    FreeMidiDevices();
    SetPortService(nullptr);
}

// The period of the running JACK server, in seconds; 0 when none runs.
double JackPeriodSeconds() {
#ifndef PATCHSCRIBE_HAVE_RTMIDI
    return 0;
#else
    jack_status_t status{};
    jack_client_t* client = jack_client_open("patchscribe-bench-probe", JackNoStartServer, &status);
    if (!client) return 0;
    const double period =
        static_cast<double>(jack_get_buffer_size(client)) / jack_get_sample_rate(client);
    std::printf("    JACK server: %u frames at %u Hz, period %.3f ms\n",
                jack_get_buffer_size(client), jack_get_sample_rate(client), period * 1e3);
    jack_client_close(client);
    return period;
#endif
}

int IndexOf(const std::vector<std::string>& names, const std::string& name) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

void JackFigure(int runs) {
    setenv("PATCHSCRIBE_MIDI_SYSTEM", "jack", 1);
    const double period = JackPeriodSeconds();
    if (period <= 0 || DetectMidiSystem() != "jack") {
        std::printf("(c) JACK round trip per patch: skipped (no JACK server reachable)\n");
        return;
    }
    VirtualInstrument instrument(InstrumentFor(DefaultSynth()));
    std::unique_ptr<RtMidiVirtualPorts> ports;
    try {
        ports = std::make_unique<RtMidiVirtualPorts>(
            "Bench Synth",
            [&instrument](const uint8_t* data, size_t size) { instrument.Receive(data, size); });
    } catch (const std::exception& e) {
        std::printf("(c) JACK round trip per patch: skipped (%s)\n", e.what());
        return;
    }
    instrument.SetSender([&ports](const std::vector<uint8_t>& m) { ports->Send(m); });

    SetPortService(MakeRtMidiService());
    const int in = IndexOf(MidiInput().Devices.Names(), ports->ReceiveFromName());
    const int out = IndexOf(MidiOutput().Devices.Names(), ports->SendToName());
    if (in < 0 || out < 0) {
        std::printf("(c) JACK round trip per patch: FAILED (%s / %s not listed)\n",
                    ports->ReceiveFromName().c_str(), ports->SendToName().c_str());
    } else {
        const TModelState fast = ModelWithSleep(0);
        MedianRun(fast, in, out, 1);  // warm-up
        const double c = MedianRun(fast, in, out, runs);
        if (c < 0) {
            std::printf("(c) JACK round trip per patch: FAILED (see above)\n");
        } else {
            std::printf(
                "(c) JACK, 128 patches, SleepTime 0: %.1f ms; %.2f periods per patch"
                "  (goal <= 3)\n",
                c * 1e3, c / kPatches / period);
        }
    }
    FreeMidiDevices();
    SetPortService(nullptr);
    instrument.SetSender(nullptr);
    ports.reset();
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    // As the CLI does: short pauses are not stretched by the kernel's timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::printf("harvest benchmarks, median of %d runs each\n", runs);
    LoopbackFigures(runs);
    JackFigure(runs);
    return 0;
}
