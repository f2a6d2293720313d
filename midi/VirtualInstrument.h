// A virtual synthesizer that answers patch-name requests the way a model
// describes them.  It knows nothing of settings files: its caller fills the
// plain description below.  Used by the loopback service (tests, benchmarks,
// the demo) and by `patchscribe-cli synth` on real MIDI ports.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct InstrumentModel {
    std::vector<uint8_t> request;   // the request SysEx, byte for byte
    int32_t nameStartPos = 11;      // name field offset in the name block
    int32_t nameSize = 12;          // name field length (names blank-padded to it)
    int32_t catPos = -1;            // category byte offset; -1: none
    int32_t numSysexBlocks = 1;     // reply blocks per request (at least one is sent)
    int32_t nameSyxBlk = 1;         // which block (from 1) carries the name
    std::vector<std::string> names;    // per program; empty: the built-in demo list
    std::vector<uint8_t> categories;   // per program; empty: program % 8
};

// 128 plausible patch names.
const std::vector<std::string>& DemoPatchNames();

// Reads a .syx file's bytes into its F0 ... F7 messages; throws
// std::runtime_error on bytes outside a message or an unterminated message.
std::vector<std::vector<uint8_t>> SplitSysExMessages(const std::vector<uint8_t>& bytes);

class VirtualInstrument {
public:
    using Sender = std::function<void(const std::vector<uint8_t>& message)>;

    explicit VirtualInstrument(InstrumentModel model);
    ~VirtualInstrument();  // stops the reply thread; pending replies are dropped
    VirtualInstrument(const VirtualInstrument&) = delete;
    VirtualInstrument& operator=(const VirtualInstrument&) = delete;

    // Where replies go (set before the first message arrives).
    void SetSender(Sender sender);
    // Time from a request to its first reply block (default 0).
    void SetLatency(std::chrono::microseconds latency);
    // Replay mode: the k-th request is answered with the k-th group of
    // numSysexBlocks (at least one) messages; silent once they are used up.
    void SetReplay(std::vector<std::vector<uint8_t>> messages);

    // Fault switches.
    void SetSilentFrom(int requestNumber);     // 0-based request count; -1: never
    void SetAnswerTwice(bool on);              // every answer is sent twice
    void SetSendUnrelatedSysEx(bool on);       // an unrelated SysEx before each answer
    void SetBlockLength(int bytes);            // every reply block this long (0: natural)

    // One complete incoming message (short message or F0 ... F7).  Thread-safe.
    void Receive(const uint8_t* data, size_t size);

    // Every message received, in arrival order.
    std::vector<std::vector<uint8_t>> Received() const;
    void ClearReceived();
    int CurrentProgram() const;
    int RequestsSeen() const;

    // The blocks this instrument sends for one request while on program p
    // (no latency, no faults).  Exposed so tests can state expected bytes.
    std::vector<std::vector<uint8_t>> ReplyFor(int program) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
