// A harvest wired to a virtual instrument over the loopback service: one port
// pair, the harvester's handlers on the input set, both ports open.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/IntConv.h"
#include "catalogue/Synth.h"
#include "harvest/Harvester.h"
#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"
#include "tests/harvest/TestFrontEnd.h"

using Message = std::vector<uint8_t>;

// "Name 000" ... one name per program.
inline std::vector<std::string> NumberedNames(int n) {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "Name %03d", i);
        names.emplace_back(buf);
    }
    return names;
}

// The name as the default model cuts it: blank-padded to 12.
inline std::string Padded(const std::string& name, size_t size = 12) {
    std::string s = name.substr(0, size);
    s.resize(size, ' ');
    return s;
}

inline std::vector<uint8_t> HexBytes(const std::string& text) {
    TMemoryStream s;
    StrToSysExStream(text, s);
    return s.Bytes();
}

// The instrument that answers the way model describes.
inline InstrumentModel InstrumentFor(const TSynth& model, std::vector<std::string> names) {
    InstrumentModel im;
    im.request = HexBytes(model.RequestBytes);
    im.nameStartPos = model.NameStartPos;
    im.nameSize = model.NameSize;
    im.catPos = model.CatPos;
    im.numSysexBlocks = model.NumSysexBlocks;
    im.nameSyxBlk = model.NameSyxBlk;
    im.names = std::move(names);
    return im;
}

// Polls (generously) until pred holds: for state outside the front end.
inline bool Eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class RunRig {
public:
    RunRig(const TSynth& model, const InstrumentModel& instrument) {
        state.current = model;
        state.channelIndex = StrToIntDef(model.Channel, 1) - 1;
        service = std::make_shared<LoopbackService>();
        synth = std::make_shared<VirtualInstrument>(instrument);
        service->AddDevicePair("Virtual Synth", synth);
        SetPortService(service);
        harvester = std::make_unique<THarvester>(fe, state);
        THarvester* h = harvester.get();
        MidiInput().OnSysExData = [h](int32_t i, TMemoryStream& s) { h->HandleSysExData(i, s); };
        MidiInput().OnMidiInput = [h](int32_t i, uint8_t st, uint8_t d1, uint8_t d2) {
            h->HandleMidiInData(i, st, d1, d2);
        };
        MidiInput().Open(0);
        MidiOutput().Open(0);
        harvester->outDeviceIndex = 0;
    }

    ~RunRig() { Shutdown(); }

    // What the window's destroy step does: end the run, close both ports
    // under the lock, then let the harvester go.
    void Shutdown() {
        if (!harvester) return;
        harvester->EndForShutdown();
        {
            std::lock_guard<std::mutex> held(harvester->lock);
            MidiOutput().Close(0);
            MidiInput().Close(0);
        }
        harvester.reset();
        MidiInput().OnSysExData = nullptr;
        MidiInput().OnMidiInput = nullptr;
        FreeMidiDevices();
        SetPortService(nullptr);
    }

    // Messages the instrument received whose status is in the range given.
    std::vector<Message> ReceivedWithStatus(uint8_t high) const {
        std::vector<Message> out;
        for (const Message& m : synth->Received()) {
            if (!m.empty() && (m[0] & 0xF0) == high) out.push_back(m);
        }
        return out;
    }
    std::vector<int> ProgramChanges() const {
        std::vector<int> out;
        for (const Message& m : ReceivedWithStatus(0xC0)) out.push_back(m.size() > 1 ? m[1] : -1);
        return out;
    }
    bool WaitForRequests(int n) {
        return Eventually([&] { return synth->RequestsSeen() >= n; });
    }
    // Delivers a message to the input port as the instrument would.
    void Inject(const Message& m) { service->Inject(0, m); }

    TModelState state;
    TestFrontEnd fe;
    std::shared_ptr<LoopbackService> service;
    std::shared_ptr<VirtualInstrument> synth;
    std::unique_ptr<THarvester> harvester;
};
