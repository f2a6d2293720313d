// An in-process port service: pairs of virtual devices (an input and an output
// of the same name), each wired to a virtual instrument.  Same buffer cycle
// and threading as the real service: one dispatcher thread per open input.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "midi/PortService.h"
#include "midi/VirtualInstrument.h"

class LoopbackService : public PortService {
public:
    LoopbackService();
    ~LoopbackService() override;

    // Adds input and output device `name` (same index in both lists).  What is
    // sent to the output reaches the instrument; what it sends arrives at the
    // input.  instrument may be null (a port with nothing behind it).
    int AddDevicePair(const std::string& name, std::shared_ptr<VirtualInstrument> instrument);
    // Delivers a message to input device `device` as if it had arrived.
    void Inject(int device, std::vector<uint8_t> message);
    // Makes service calls fail with `code` from now on (0 clears).  For tests.
    void FailNext(const std::string& operation, MidiResultCode code);

    uint32_t InGetNumDevs() override;
    MidiResultCode InGetDevCaps(uint32_t device, std::string& name) override;
    MidiResultCode InOpen(MidiHandle* handle, uint32_t device, MidiInCallback callback,
                          uintptr_t instance) override;
    MidiResultCode InPrepareHeader(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode InAddBuffer(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode InStart(MidiHandle handle) override;
    MidiResultCode InStop(MidiHandle handle) override;
    MidiResultCode InReset(MidiHandle handle) override;
    MidiResultCode InUnprepareHeader(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode InClose(MidiHandle handle) override;
    MidiResultCode GetErrorText(MidiResultCode code, std::string& text) override;
    uint32_t OutGetNumDevs() override;
    MidiResultCode OutGetDevCaps(uint32_t device, std::string& name) override;
    MidiResultCode OutOpen(MidiHandle* handle, uint32_t device) override;
    MidiResultCode OutShortMsg(MidiHandle handle, uint32_t message) override;
    MidiResultCode OutClose(MidiHandle handle) override;
    MidiResultCode OutPrepareHeader(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode OutLongMsg(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode OutUnprepareHeader(MidiHandle handle, MidiHdr* header) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
