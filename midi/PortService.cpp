#include "midi/PortService.h"

#include <mutex>

#include "midi/RtMidiService.h"

bool StandardMidiErrorText(MidiResultCode code, std::string& text) {
    switch (code) {
        case kMidiOk: text = "The operation completed successfully."; return true;
        case kMidiError: text = "The MIDI system reported an unspecified error."; return true;
        case kMidiBadDevice: text = "There is no MIDI device with that number."; return true;
        case kMidiNotEnabled: text = "The MIDI device is not enabled."; return true;
        case kMidiAllocated: text = "The MIDI device is already in use."; return true;
        case kMidiInvalidHandle: text = "The MIDI port is not open (invalid handle)."; return true;
        case kMidiNoDriver: text = "No MIDI driver is installed."; return true;
        case kMidiNoMemory: text = "Not enough memory for the MIDI operation."; return true;
        case kMidiInvalidFlag: text = "An invalid flag was passed to the MIDI system."; return true;
        case kMidiInvalidParam: text = "An invalid parameter was passed to the MIDI system."; return true;
        case kMidiUnprepared: text = "The MIDI buffer header has not been prepared."; return true;
        case kMidiStillPlaying: text = "The MIDI buffer is still in use."; return true;
        case kMidiNotReady: text = "The MIDI device is not ready."; return true;
        case kMidiSystemRefused: text = "The MIDI system refused the request."; return true;
        case kMidiTooLong:
            text = "The message is longer than the MIDI system can send (at most 16355 bytes "
                   "on ALSA, 16379 on JACK).";
            return true;
        case kMidiNoSystem: text = "No MIDI system (ALSA or JACK) is running."; return true;
        default: return false;
    }
}

namespace {
std::mutex serviceMutex;
std::shared_ptr<PortService> currentService;

// A service without devices, for a machine with no MIDI system.
class NoDeviceService : public PortService {
public:
    uint32_t InGetNumDevs() override { return 0; }
    MidiResultCode InGetDevCaps(uint32_t, std::string&) override { return kMidiBadDevice; }
    MidiResultCode InOpen(MidiHandle*, uint32_t, MidiInCallback, uintptr_t) override {
        return kMidiBadDevice;
    }
    MidiResultCode InPrepareHeader(MidiHandle, MidiHdr*) override { return kMidiInvalidHandle; }
    MidiResultCode InAddBuffer(MidiHandle, MidiHdr*) override { return kMidiInvalidHandle; }
    MidiResultCode InStart(MidiHandle) override { return kMidiInvalidHandle; }
    MidiResultCode InStop(MidiHandle) override { return kMidiInvalidHandle; }
    MidiResultCode InReset(MidiHandle) override { return kMidiInvalidHandle; }
    MidiResultCode InUnprepareHeader(MidiHandle, MidiHdr*) override { return kMidiInvalidHandle; }
    MidiResultCode InClose(MidiHandle) override { return kMidiInvalidHandle; }
    MidiResultCode GetErrorText(MidiResultCode code, std::string& text) override {
        return StandardMidiErrorText(code, text) ? kMidiOk : kMidiInvalidParam;
    }
    uint32_t OutGetNumDevs() override { return 0; }
    MidiResultCode OutGetDevCaps(uint32_t, std::string&) override { return kMidiBadDevice; }
    MidiResultCode OutOpen(MidiHandle*, uint32_t) override { return kMidiBadDevice; }
    MidiResultCode OutShortMsg(MidiHandle, uint32_t) override { return kMidiInvalidHandle; }
    MidiResultCode OutClose(MidiHandle) override { return kMidiInvalidHandle; }
    MidiResultCode OutPrepareHeader(MidiHandle, MidiHdr*) override { return kMidiInvalidHandle; }
    MidiResultCode OutLongMsg(MidiHandle, MidiHdr*) override { return kMidiInvalidHandle; }
    MidiResultCode OutUnprepareHeader(MidiHandle, MidiHdr*) override { return kMidiInvalidHandle; }
};
}  // namespace

void SetPortService(std::shared_ptr<PortService> service) {
    std::lock_guard<std::mutex> g(serviceMutex);
    currentService = std::move(service);
}

std::shared_ptr<PortService> CurrentPortServicePtr() {
    std::lock_guard<std::mutex> g(serviceMutex);
    if (!currentService) {
        currentService = MakeRtMidiService();
        if (!currentService) currentService = std::make_shared<NoDeviceService>();
    }
    return currentService;
}

PortService& CurrentPortService() { return *CurrentPortServicePtr(); }
