// The MIDI port service: the operation table the MIDI layer drives.  It is
// shaped like the classic multimedia MIDI API (device counts and names,
// open/close, short messages, long messages through prepared headers, input
// buffers returned through a function callback), so the layer above keeps
// the same step order whatever system stands behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

using MidiHandle = void*;    // opaque; null means "closed"
using MidiResultCode = uint32_t;

// Result codes of every service.  0 is success.
enum : MidiResultCode {
    kMidiOk = 0,
    kMidiError = 1,            // unspecified failure of the MIDI system
    kMidiBadDevice = 2,        // device number out of range
    kMidiNotEnabled = 3,
    kMidiAllocated = 4,        // device already in use
    kMidiInvalidHandle = 5,    // null or unknown handle (e.g. a closed port)
    kMidiNoDriver = 6,
    kMidiNoMemory = 7,
    kMidiInvalidFlag = 10,
    kMidiInvalidParam = 11,
    kMidiUnprepared = 64,      // header not prepared
    kMidiStillPlaying = 65,    // buffer still held by the service
    kMidiNotReady = 67,
    kMidiSystemRefused = 100,  // the MIDI system (ALSA, JACK) refused the call
    kMidiTooLong = 101,        // message longer than the system can pass on
    kMidiNoSystem = 102,       // no MIDI system is running
};

// Input buffer header.  The service writes dwBytesRecorded and sets
// kMhdrDone in dwFlags when it hands the buffer back.
struct MidiHdr {
    uint8_t* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    uint32_t dwBytesRecorded = 0;
    uint32_t dwFlags = 0;
};
constexpr uint32_t kMhdrDone = 0x1;
constexpr uint32_t kMhdrPrepared = 0x2;
constexpr uint32_t kMhdrInQueue = 0x4;

// Messages of the input callback.
constexpr uint32_t kMimOpen = 0x3C1;
constexpr uint32_t kMimClose = 0x3C2;
constexpr uint32_t kMimData = 0x3C3;      // param1: packed short message
constexpr uint32_t kMimLongData = 0x3C4;  // param1: the MidiHdr* handed back
constexpr uint32_t kMimError = 0x3C5;
constexpr uint32_t kMimLongError = 0x3C6;

// The input callback.  Runs on the service's dispatcher thread for the device,
// one call at a time per device, in arrival order.  Must not throw.
using MidiInCallback = void (*)(MidiHandle handle, uint32_t message, uintptr_t instance,
                                uintptr_t param1, uintptr_t param2);

class PortService {
public:
    virtual ~PortService() = default;

    virtual uint32_t InGetNumDevs() = 0;
    virtual MidiResultCode InGetDevCaps(uint32_t device, std::string& name) = 0;
    virtual MidiResultCode InOpen(MidiHandle* handle, uint32_t device, MidiInCallback callback,
                                  uintptr_t instance) = 0;
    virtual MidiResultCode InPrepareHeader(MidiHandle handle, MidiHdr* header) = 0;
    virtual MidiResultCode InAddBuffer(MidiHandle handle, MidiHdr* header) = 0;
    virtual MidiResultCode InStart(MidiHandle handle) = 0;
    virtual MidiResultCode InStop(MidiHandle handle) = 0;
    virtual MidiResultCode InReset(MidiHandle handle) = 0;
    virtual MidiResultCode InUnprepareHeader(MidiHandle handle, MidiHdr* header) = 0;
    virtual MidiResultCode InClose(MidiHandle handle) = 0;

    // Fills text (at most 127 characters) and returns 0 when it knows the
    // code; returns non-zero when it has no text for it.
    virtual MidiResultCode GetErrorText(MidiResultCode code, std::string& text) = 0;

    virtual uint32_t OutGetNumDevs() = 0;
    virtual MidiResultCode OutGetDevCaps(uint32_t device, std::string& name) = 0;
    virtual MidiResultCode OutOpen(MidiHandle* handle, uint32_t device) = 0;
    virtual MidiResultCode OutShortMsg(MidiHandle handle, uint32_t message) = 0;
    virtual MidiResultCode OutClose(MidiHandle handle) = 0;
    virtual MidiResultCode OutPrepareHeader(MidiHandle handle, MidiHdr* header) = 0;
    virtual MidiResultCode OutLongMsg(MidiHandle handle, MidiHdr* header) = 0;
    virtual MidiResultCode OutUnprepareHeader(MidiHandle handle, MidiHdr* header) = 0;
};

// The text both real services give for their codes; false for an unknown code.
bool StandardMidiErrorText(MidiResultCode code, std::string& text);

// The service behind MidiInput() and MidiOutput().  Set it before their first
// use; when none is set the first use installs the real one (RtMidiService).
void SetPortService(std::shared_ptr<PortService> service);
PortService& CurrentPortService();
std::shared_ptr<PortService> CurrentPortServicePtr();
