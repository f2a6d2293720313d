// A virtual MIDI input and output of the MIDI system in use (ALSA sequencer
// or JACK), published under one instrument name so that other programs can
// connect to them.  `patchscribe-cli synth` puts the virtual instrument on
// such a pair; tests use it to play an instrument on real ports.
//
// Names, the same on ALSA and JACK and the same after every restart:
//   NAME + " In:midi"   the virtual input (other programs send to it)
//   NAME + " Out:midi"  the virtual output (other programs receive from it)
// These are the names under which the output and input lists of the MIDI
// layer show the pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class RtMidiVirtualPorts {
public:
    // One complete received message (a short message or F0 ... F7).  Called
    // on a thread of the pair's own, one message at a time, in arrival order;
    // it may block and may call Send.
    using Receiver = std::function<void(const uint8_t* data, size_t size)>;

    // Opens the pair.  Throws std::runtime_error when no MIDI system is
    // running, when a port of that name exists already, or when the MIDI
    // system refuses.
    RtMidiVirtualPorts(const std::string& name, Receiver receiver);
    ~RtMidiVirtualPorts();  // closes both ports; no Receiver call begins afterwards
    RtMidiVirtualPorts(const RtMidiVirtualPorts&) = delete;
    RtMidiVirtualPorts& operator=(const RtMidiVirtualPorts&) = delete;

    // Sends one complete message out of the virtual output.  Thread-safe.
    // Throws std::runtime_error when the MIDI system refuses it or it is
    // longer than the system can pass on.
    void Send(const uint8_t* data, size_t size);
    void Send(const std::vector<uint8_t>& message) { Send(message.data(), message.size()); }

    const std::string& System() const;           // "alsa" or "jack"
    const std::string& SendToName() const;       // the virtual input, as listed
    const std::string& ReceiveFromName() const;  // the virtual output, as listed

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#ifndef PATCHSCRIBE_HAVE_RTMIDI
// Built without RtMidi: there is no MIDI system to publish ports on.
struct RtMidiVirtualPorts::Impl {};
inline RtMidiVirtualPorts::RtMidiVirtualPorts(const std::string&, Receiver) {
    throw std::runtime_error("This build of Patchscribe has no MIDI system support.");
}
inline RtMidiVirtualPorts::~RtMidiVirtualPorts() = default;
inline void RtMidiVirtualPorts::Send(const uint8_t*, size_t) {}
inline const std::string& RtMidiVirtualPorts::System() const {
    static const std::string none = "none";
    return none;
}
inline const std::string& RtMidiVirtualPorts::SendToName() const {
    return System();
}
inline const std::string& RtMidiVirtualPorts::ReceiveFromName() const {
    return System();
}
#endif
