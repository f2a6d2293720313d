// Round trip of one request and its reply over a running JACK server (the one
// JACK_DEFAULT_SERVER names), through the MIDI layer on the RtMidi service,
// with the virtual instrument on virtual JACK ports of this process.  Prints
// the time per request/reply in JACK periods (and in milliseconds).
//   bench_jack_round_trip [ROUNDS]      e.g. with jackd -d dummy -r 48000 -p 256
#include <jack/jack.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/Midi.h"
#include "midi/RtMidiService.h"
#include "midi/RtMidiVirtualPorts.h"
#include "midi/VirtualInstrument.h"

namespace {

using Clock = std::chrono::steady_clock;

double PeriodSeconds() {
    jack_status_t status{};
    jack_client_t* client =
        jack_client_open("patchscribe-bench-period", JackNoStartServer, &status);
    if (!client) return 0;
    const double period =
        static_cast<double>(jack_get_buffer_size(client)) / jack_get_sample_rate(client);
    std::printf("JACK server: %u frames at %u Hz, period %.3f ms\n", jack_get_buffer_size(client),
                jack_get_sample_rate(client), period * 1e3);
    jack_client_close(client);
    return period;
}

int IndexOf(const TDeviceList& list, const std::string& name) {
    for (int i = 0; i < list.Count(); ++i)
        if (list.Strings(i) == name) return i;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    setenv("PATCHSCRIBE_MIDI_SYSTEM", "jack", 1);
    const double period = PeriodSeconds();
    if (period <= 0 || DetectMidiSystem() != "jack") {
        std::printf("JACK round trip: skipped (no JACK server reachable)\n");
        return 0;
    }
    InstrumentModel model;
    model.request = {0xF0, 0x41, 0x10, 0x00, 0x00, 0x25, 0x11, 0x1F, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x45, 0xF7};
    auto instrument = std::make_shared<VirtualInstrument>(model);
    RtMidiVirtualPorts ports(
        "PS Bench", [instrument](const uint8_t* d, size_t n) { instrument->Receive(d, n); });
    instrument->SetSender([&ports](const std::vector<uint8_t>& m) {
        try {
            ports.Send(m);
        } catch (...) {
        }
    });

    std::mutex mutex;
    std::condition_variable replied;
    int replies = 0;
    MidiInput().OnSysExData = [&](int, TMemoryStream&) {
        std::lock_guard<std::mutex> g(mutex);
        ++replies;
        replied.notify_all();
    };
    const int in = IndexOf(MidiInput().Devices, ports.ReceiveFromName());
    const int out = IndexOf(MidiOutput().Devices, ports.SendToName());
    if (in < 0 || out < 0) {
        std::printf("JACK round trip: FAILED (the instrument's ports are not listed)\n");
        return 1;
    }
    MidiInput().Open(in);
    MidiOutput().Open(out);
    TMemoryStream request;
    request.Write(model.request.data(), model.request.size());

    std::vector<double> times;
    times.reserve(rounds);
    for (int r = 0; r < rounds + 10; ++r) {  // the first ten warm up
        const auto start = Clock::now();
        MidiOutput().SendSysEx(out, request);
        std::unique_lock<std::mutex> lock(mutex);
        if (!replied.wait_for(lock, std::chrono::seconds(5), [&] { return replies > r; })) {
            std::printf("JACK round trip: FAILED (no reply to request %d)\n", r);
            return 1;
        }
        if (r >= 10) times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    MidiInput().Close(in);
    MidiOutput().Close(out);
    MidiInput().OnSysExData = nullptr;
    FreeMidiDevices();
    instrument->SetSender(nullptr);

    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double t : times) sum += t;
    const double mean = sum / times.size();
    const double median = times[times.size() / 2];
    const double p95 = times[times.size() * 95 / 100];
    std::printf(
        "JACK round trip per request/reply (%d rounds): median %.2f periods (%.2f ms), mean "
        "%.2f periods, 95th percentile %.2f periods, best %.2f periods\n",
        rounds, median / period, median * 1e3, mean / period, p95 / period, times.front() / period);
    return 0;
}
