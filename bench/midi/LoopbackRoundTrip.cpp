// Round trip of one request/reply through the Midi layer over the loopback
// service: SendSysEx(request) -> virtual instrument -> reply in the receive
// buffer -> OnSysExData.  Prints microseconds per round trip.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::string requestText = "F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7";
    TMemoryStream requestStream;
    StrToSysExStream(requestText, requestStream);

    InstrumentModel model;
    model.request = requestStream.Bytes();
    auto instrument = std::make_shared<VirtualInstrument>(model);
    auto service = std::make_shared<LoopbackService>();
    service->AddDevicePair("Loopback Synth", instrument);
    SetPortService(service);

    std::mutex m;
    std::condition_variable cv;
    int replies = 0;
    MidiInput().OnSysExData = [&](int32_t, TMemoryStream&) {
        std::lock_guard<std::mutex> g(m);
        ++replies;
        cv.notify_all();
    };
    MidiInput().Open(0);
    MidiOutput().Open(0);

    auto oneRound = [&](int i) {
        MidiOutput().SendSysEx(0, requestText);
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return replies > i; });
    };
    for (int i = 0; i < 200; ++i) oneRound(i);  // warm-up
    {
        std::lock_guard<std::mutex> g(m);
        replies = 0;
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) oneRound(i);
    const auto t1 = std::chrono::steady_clock::now();
    const double us = std::chrono::duration<double, std::micro>(t1 - t0).count() / rounds;
    std::printf("loopback round trip: %d rounds, %.2f us per request/reply\n", rounds, us);

    MidiOutput().Close(0);
    MidiInput().Close(0);
    FreeMidiDevices();
    SetPortService(nullptr);
    return 0;
}
