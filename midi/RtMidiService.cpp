// The port service on RtMidi 5 (ALSA sequencer or JACK).
//
// RtMidi's input callback never runs our handlers: under JACK it runs inside
// JACK's real-time process cycle, where blocking stalls the whole MIDI graph
// and loses what arrives meanwhile.  It only copies the message into the
// device's queue.  One dispatcher thread per open input takes the messages
// in arrival order and hands them to the MIDI layer's callback: short
// messages as they are, SysEx through the queued receive buffers.
#include "midi/RtMidiService.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "midi/RtMidiVirtualPorts.h"

namespace {

// The longest message one send may carry.  RtMidi 5 drops longer ones without
// a word; the limits of the two systems lie a little below this (see
// MaxMessageBytes).
constexpr size_t kMaxMessageBytes = 16384;
// RtMidi's JACK output ring holds 16384 bytes, one of which stays free, and
// each message takes a 4-byte length in front of it.
constexpr size_t kJackMaxMessageBytes = 16384 - 1 - 4;
// ALSA's default output buffer is 16384 bytes; an event (its header and the
// SysEx bytes) must be shorter than that.
constexpr size_t kAlsaMaxMessageBytes = 16384 - 1 - sizeof(snd_seq_event_t);
// The error text of kMidiTooLong names both limits.
static_assert(kJackMaxMessageBytes == 16379 && kAlsaMaxMessageBytes == 16355);
// Input that waits for a receive buffer beyond this many bytes is dropped, so
// a port that is never served again cannot eat the memory.
constexpr size_t kMaxPendingBytes = 64u << 20;

enum class MidiSystem { kNone, kAlsa, kJack };

const char* SystemName(MidiSystem s) {
    switch (s) {
        case MidiSystem::kAlsa:
            return "alsa";
        case MidiSystem::kJack:
            return "jack";
        default:
            return "none";
    }
}

RtMidi::Api ApiOf(MidiSystem s) {
    return s == MidiSystem::kAlsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

size_t MaxMessageBytes(MidiSystem s) {
    if (s == MidiSystem::kJack) return kJackMaxMessageBytes;
    if (s == MidiSystem::kAlsa) return kAlsaMaxMessageBytes;
    return kMaxMessageBytes;
}

// ---- detecting the MIDI system ---------------------------------------------

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}
void SilentJack(const char*) {}

bool AlsaSequencerOpens() {
    // alsa-lib reports the missing /dev/snd/seq on stderr; this is a probe.
    snd_lib_error_set_handler(&SilentAlsaError);
    snd_seq_t* seq = nullptr;
    const int rc = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (rc >= 0 && seq) snd_seq_close(seq);
    snd_lib_error_set_handler(nullptr);
    return rc >= 0;
}

std::mutex jackProbeMutex;

bool JackServerRuns() {
    // libjack reports a missing server on stderr; this is a probe.
    std::lock_guard<std::mutex> g(jackProbeMutex);
    void (*oldError)(const char*) = jack_error_callback;
    void (*oldInfo)(const char*) = jack_info_callback;
    jack_set_error_function(&SilentJack);
    jack_set_info_function(&SilentJack);
    const std::string name = "patchscribe-" + std::to_string(getpid()) + "-probe";
    jack_status_t status{};
    jack_client_t* client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (client) jack_client_close(client);
    jack_set_error_function(oldError);
    jack_set_info_function(oldInfo);
    return client != nullptr;
}

MidiSystem Detect() {
    const char* forced = std::getenv("PATCHSCRIBE_MIDI_SYSTEM");
    const std::string want = forced ? forced : "";
    if (want == "none") return MidiSystem::kNone;
    if (want != "jack" && AlsaSequencerOpens()) return MidiSystem::kAlsa;
    if (want != "alsa" && JackServerRuns()) return MidiSystem::kJack;
    return MidiSystem::kNone;
}

// ---- names -------------------------------------------------------------------

// Every RtMidi object is a client of its own of the MIDI system.  The
// program's clients are named "patchscribe-PID-..." so that JACK never
// renames them (two Patchscribe processes run side by side) and so that
// their connection ports can be left out of the lists.
std::string OwnClientName(const std::string& what) {
    static std::atomic<unsigned> counter{0};
    return "patchscribe-" + std::to_string(getpid()) + "-" + what + "-" +
           std::to_string(counter.fetch_add(1) + 1);
}

bool IsConnectionPortOfPatchscribe(const std::string& name) {
    static const std::string prefix = "patchscribe-";
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    size_t i = prefix.size();
    const size_t digits = i;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
    return i > digits && i < name.size() && name[i] == '-';
}

std::string ListedName(MidiSystem system, const std::string& rtName) {
    return system == MidiSystem::kAlsa ? StripAlsaPortNumbers(rtName) : rtName;
}

// ---- RtMidi errors -------------------------------------------------------------

// Collects what RtMidi reports through its error callback while one of our
// calls runs (with a callback set, RtMidi reports instead of throwing).
// Reports from RtMidi's own threads (the ALSA input thread) come at any time:
// they go to stderr, since no call is there to return them.
class ErrorTrap {
public:
    static void Callback(RtMidiError::Type type, const std::string& text, void* user) {
        static_cast<ErrorTrap*>(user)->Record(type, text);
    }

    void Begin() {
        std::lock_guard<std::mutex> g(mutex_);
        owner_ = std::this_thread::get_id();
        worst_ = kMidiOk;
    }
    // The code for what was reported since Begin (0: nothing).
    MidiResultCode End() {
        std::lock_guard<std::mutex> g(mutex_);
        owner_ = std::thread::id();
        return worst_;
    }
    void Record(RtMidiError::Type type, const std::string& text) {
        if (type == RtMidiError::DEBUG_WARNING) return;
        std::lock_guard<std::mutex> g(mutex_);
        if (owner_ != std::this_thread::get_id()) {
            std::fprintf(stderr, "patchscribe: MIDI system: %s\n", text.c_str());
            return;
        }
        if (worst_ == kMidiOk) worst_ = CodeOf(type);
    }
    static MidiResultCode CodeOf(RtMidiError::Type type) {
        switch (type) {
            case RtMidiError::NO_DEVICES_FOUND:
            case RtMidiError::INVALID_DEVICE:
                return kMidiBadDevice;
            case RtMidiError::MEMORY_ERROR:
                return kMidiNoMemory;
            case RtMidiError::INVALID_PARAMETER:
                return kMidiInvalidParam;
            default:
                return kMidiSystemRefused;
        }
    }

private:
    std::mutex mutex_;
    std::thread::id owner_;
    MidiResultCode worst_ = kMidiOk;
};

// Runs f (calls into one RtMidi object) and turns whatever RtMidi reports or
// throws into a result code.  Nothing escapes.
template <class F>
MidiResultCode Guarded(ErrorTrap& trap, F&& f) {
    trap.Begin();
    MidiResultCode thrown = kMidiOk;
    try {
        f();
    } catch (const RtMidiError& e) {
        thrown = ErrorTrap::CodeOf(e.getType());
    } catch (const std::bad_alloc&) {
        thrown = kMidiNoMemory;
    } catch (...) {
        thrown = kMidiError;
    }
    const MidiResultCode reported = trap.End();
    return thrown != kMidiOk ? thrown : reported;
}

// A new RtMidi object on `system`, with the trap as its error callback.
template <class T>
MidiResultCode MakeRt(MidiSystem system, const std::string& clientName, ErrorTrap& trap,
                      std::unique_ptr<T>& out) {
    try {
        auto rt = std::make_unique<T>(ApiOf(system), clientName);
        rt->setErrorCallback(&ErrorTrap::Callback, &trap);
        out = std::move(rt);
        return kMidiOk;
    } catch (const RtMidiError& e) {
        return ErrorTrap::CodeOf(e.getType());
    } catch (const std::bad_alloc&) {
        return kMidiNoMemory;
    } catch (...) {
        return kMidiError;
    }
}

// The listed names of the ports rt can connect to, with RtMidi's index of each.
template <class T>
MidiResultCode ListPorts(MidiSystem system, T& rt, ErrorTrap& trap,
                         std::vector<std::pair<std::string, unsigned>>& ports) {
    ports.clear();
    return Guarded(trap, [&] {
        const unsigned n = rt.getPortCount();
        for (unsigned i = 0; i < n; ++i) {
            const std::string name = rt.getPortName(i);
            if (name.empty() || IsConnectionPortOfPatchscribe(name)) continue;
            ports.emplace_back(ListedName(system, name), i);
        }
    });
}

// The header's flags are read by the MIDI layer on the dispatcher thread while
// a closing thread may change other bits: every access is atomic.
uint32_t Flags(MidiHdr* h) {
    return std::atomic_ref<uint32_t>(h->dwFlags).load(std::memory_order_acquire);
}
void ChangeFlags(MidiHdr* h, uint32_t set, uint32_t clear) {
    std::atomic_ref<uint32_t> flags(h->dwFlags);
    uint32_t v = flags.load(std::memory_order_relaxed);
    while (!flags.compare_exchange_weak(v, (v & ~clear) | set, std::memory_order_acq_rel)) {
    }
}

// ---- input devices ---------------------------------------------------------------

struct PendingMessage {
    std::vector<uint8_t> bytes;
    size_t offset = 0;  // bytes already handed over in earlier buffers
};

bool IsShortMessage(const std::vector<uint8_t>& m) {
    return m.size() <= 3 && m[0] != 0xF0;
}

struct InDevice {
    MidiHandle handle = nullptr;
    MidiInCallback callback = nullptr;
    uintptr_t instance = 0;
    std::unique_ptr<RtMidiIn> rt;  // touched by the opening and closing thread only
    ErrorTrap trap;

    std::mutex mutex;
    std::condition_variable wake;
    bool started = false;
    bool closing = false;
    bool inCallback = false;
    std::deque<PendingMessage> pending;
    size_t pendingBytes = 0;
    uint64_t dropped = 0;
    std::deque<MidiHdr*> queued;    // receive buffers, in the order they were added
    std::deque<MidiHdr*> returned;  // given back by a reset, still to be delivered
    std::thread dispatcher;
    std::thread::id dispatcherId;
    std::atomic<bool> finished{false};
};

// RtMidi's input callback (JACK process cycle or the ALSA input thread): copy
// and wake, nothing else.
void OnRtMidiInput(double, std::vector<unsigned char>* message, void* user) noexcept {
    if (!message || message->empty()) return;
    auto* d = static_cast<InDevice*>(user);
    try {
        {
            std::lock_guard<std::mutex> g(d->mutex);
            if (!d->started || d->closing) return;
            if (d->pendingBytes + message->size() > kMaxPendingBytes) {
                ++d->dropped;
                return;
            }
            d->pending.push_back({*message, 0});
            d->pendingBytes += message->size();
        }
        d->wake.notify_all();
    } catch (...) {
        // Out of memory in the process cycle: the message is lost.
    }
}

// Something to deliver now?  (Called with the device's mutex held.)
bool Deliverable(const InDevice& d) {
    if (!d.returned.empty()) return true;
    if (d.pending.empty()) return false;
    return IsShortMessage(d.pending.front().bytes) || !d.queued.empty();
}

// Takes the next delivery off the queues.  (Called with the mutex held.)
void TakeDelivery(InDevice& d, uint32_t& message, uintptr_t& param1) {
    if (!d.returned.empty()) {
        message = kMimLongData;
        param1 = reinterpret_cast<uintptr_t>(d.returned.front());
        d.returned.pop_front();
        return;
    }
    PendingMessage& m = d.pending.front();
    if (IsShortMessage(m.bytes)) {
        uint32_t packed = 0;
        for (size_t i = 0; i < m.bytes.size(); ++i) packed |= uint32_t{m.bytes[i]} << (8 * i);
        message = kMimData;
        param1 = packed;
        d.pendingBytes -= m.bytes.size();
        d.pending.pop_front();
        return;
    }
    // A message goes into the buffer queued first; one longer than the buffer
    // fills it and goes on in the buffers queued after it.
    MidiHdr* h = d.queued.front();
    d.queued.pop_front();
    const size_t left = m.bytes.size() - m.offset;
    const size_t n = std::min<size_t>(left, h->dwBufferLength);
    std::memcpy(h->lpData, m.bytes.data() + m.offset, n);
    m.offset += n;
    h->dwBytesRecorded = static_cast<uint32_t>(n);
    ChangeFlags(h, kMhdrDone, kMhdrInQueue);
    if (m.offset == m.bytes.size()) {
        d.pendingBytes -= m.bytes.size();
        d.pending.pop_front();
    }
    message = kMimLongData;
    param1 = reinterpret_cast<uintptr_t>(h);
}

void RunDispatcher(std::shared_ptr<InDevice> d) {
    std::unique_lock<std::mutex> lock(d->mutex);
    for (;;) {
        d->wake.wait(lock, [&] { return d->closing || Deliverable(*d); });
        if (d->closing) break;
        uint32_t message = 0;
        uintptr_t param1 = 0;
        TakeDelivery(*d, message, param1);
        d->inCallback = true;
        lock.unlock();
        try {
            d->callback(d->handle, message, d->instance, param1, 0);
        } catch (...) {
            // The callback promises not to throw; nothing may escape into here.
        }
        lock.lock();
        d->inCallback = false;
        d->wake.notify_all();
    }
    d->finished = true;
}

// ---- output devices --------------------------------------------------------------

struct OutDevice {
    MidiSystem system = MidiSystem::kNone;
    std::mutex sendMutex;  // RtMidi objects are not thread-safe: one send at a time
    std::unique_ptr<RtMidiOut> rt;
    ErrorTrap trap;
};

// Bytes of a packed short message, by its status byte; 0 for a status that
// is no short message.
size_t ShortMessageLength(uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xC0) return 3;
    if (status < 0xE0) return 2;
    if (status < 0xF0) return 3;
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 2;
        case 0xF2:
            return 3;
        case 0xF0:
        case 0xF7:
            return 0;
        default:
            return 1;
    }
}

// ---- the service ---------------------------------------------------------------

class RtMidiService final : public PortService {
public:
    ~RtMidiService() override;

    uint32_t InGetNumDevs() override { return static_cast<uint32_t>(Enumerate(true).size()); }
    MidiResultCode InGetDevCaps(uint32_t device, std::string& name) override {
        return DeviceName(true, device, name);
    }
    MidiResultCode InOpen(MidiHandle* handle, uint32_t device, MidiInCallback callback,
                          uintptr_t instance) override;
    MidiResultCode InPrepareHeader(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode InAddBuffer(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode InStart(MidiHandle handle) override;
    MidiResultCode InStop(MidiHandle handle) override;
    MidiResultCode InReset(MidiHandle handle) override;
    MidiResultCode InUnprepareHeader(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode InClose(MidiHandle handle) override;
    MidiResultCode GetErrorText(MidiResultCode code, std::string& text) override {
        return StandardMidiErrorText(code, text) ? kMidiOk : kMidiInvalidParam;
    }
    uint32_t OutGetNumDevs() override { return static_cast<uint32_t>(Enumerate(false).size()); }
    MidiResultCode OutGetDevCaps(uint32_t device, std::string& name) override {
        return DeviceName(false, device, name);
    }
    MidiResultCode OutOpen(MidiHandle* handle, uint32_t device) override;
    MidiResultCode OutShortMsg(MidiHandle handle, uint32_t message) override;
    MidiResultCode OutClose(MidiHandle handle) override;
    MidiResultCode OutPrepareHeader(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode OutLongMsg(MidiHandle handle, MidiHdr* header) override;
    MidiResultCode OutUnprepareHeader(MidiHandle handle, MidiHdr* header) override;

private:
    std::vector<std::string> Enumerate(bool input);
    MidiResultCode DeviceName(bool input, uint32_t device, std::string& name);
    // The system and RtMidi's index of listed device `device`, resolved now.
    template <class T>
    MidiResultCode Resolve(bool input, uint32_t device, MidiSystem& system, T& rt, ErrorTrap& trap,
                           unsigned& index);
    std::shared_ptr<InDevice> FindIn(MidiHandle handle);
    std::shared_ptr<OutDevice> FindOut(MidiHandle handle);
    MidiHandle NewHandle() { return reinterpret_cast<MidiHandle>(nextHandle_++); }
    void ReapFinished();

    std::mutex enumerateMutex_;  // one enumeration at a time
    std::mutex mutex_;           // everything below
    MidiSystem system_ = MidiSystem::kNone;
    bool detected_ = false;
    std::vector<std::string> inNames_;
    std::vector<std::string> outNames_;
    bool inListed_ = false;
    bool outListed_ = false;
    uintptr_t nextHandle_ = 0x1000;
    std::map<MidiHandle, std::shared_ptr<InDevice>> ins_;
    std::map<MidiHandle, std::shared_ptr<OutDevice>> outs_;
    // Closed inputs whose dispatcher was inside a callback at the close:
    // joined once it has finished.
    std::vector<std::shared_ptr<InDevice>> retired_;
};

RtMidiService::~RtMidiService() {
    std::vector<std::shared_ptr<InDevice>> ins;
    std::vector<std::shared_ptr<OutDevice>> outs;
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (auto& [h, d] : ins_) ins.push_back(d);
        for (auto& [h, d] : outs_) outs.push_back(d);
        for (auto& d : retired_) ins.push_back(d);
        ins_.clear();
        outs_.clear();
        retired_.clear();
    }
    for (auto& d : outs) {
        std::lock_guard<std::mutex> g(d->sendMutex);
        d->rt.reset();
    }
    for (auto& d : ins) {
        {
            std::lock_guard<std::mutex> g(d->mutex);
            d->closing = true;
        }
        d->wake.notify_all();
        d->rt.reset();
    }
    // A dispatcher still inside a handler gets a moment to come out; one that
    // does not is left to end with the process (it owns its device).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto& d : ins) {
        if (!d->dispatcher.joinable()) continue;
        if (d->dispatcherId == std::this_thread::get_id()) {
            d->dispatcher.detach();
            continue;
        }
        while (!d->finished && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (d->finished)
            d->dispatcher.join();
        else
            d->dispatcher.detach();
    }
}

std::vector<std::string> RtMidiService::Enumerate(bool input) {
    // Listing makes a client of the MIDI system (tens of milliseconds under
    // JACK): done outside mutex_, so sends and callbacks never wait for it.
    std::lock_guard<std::mutex> one(enumerateMutex_);
    MidiSystem system = MidiSystem::kNone;
    bool detect = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        // The system is chosen afresh while nothing is open, so a JACK server
        // started after the program is found by the next enumeration.
        detect = !detected_ || (ins_.empty() && outs_.empty());
        system = system_;
    }
    if (detect) system = Detect();
    std::vector<std::string> names;
    if (system != MidiSystem::kNone) {
        ErrorTrap trap;
        std::vector<std::pair<std::string, unsigned>> ports;
        if (input) {
            std::unique_ptr<RtMidiIn> rt;
            if (MakeRt(system, OwnClientName("list"), trap, rt) == kMidiOk)
                ListPorts(system, *rt, trap, ports);
        } else {
            std::unique_ptr<RtMidiOut> rt;
            if (MakeRt(system, OwnClientName("list"), trap, rt) == kMidiOk)
                ListPorts(system, *rt, trap, ports);
        }
        for (auto& p : ports) names.push_back(p.first);
    }
    std::lock_guard<std::mutex> g(mutex_);
    if (detect) {  // devices opened meanwhile keep their own clients
        system_ = system;
        detected_ = true;
    }
    (input ? inNames_ : outNames_) = names;
    (input ? inListed_ : outListed_) = true;
    return names;
}

MidiResultCode RtMidiService::DeviceName(bool input, uint32_t device, std::string& name) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        const bool listed = input ? inListed_ : outListed_;
        if (listed) {
            const auto& names = input ? inNames_ : outNames_;
            if (device >= names.size()) return kMidiBadDevice;
            name = names[device];
            return kMidiOk;
        }
    }
    const std::vector<std::string> names = Enumerate(input);
    if (device >= names.size()) return kMidiBadDevice;
    name = names[device];
    return kMidiOk;
}

template <class T>
MidiResultCode RtMidiService::Resolve(bool input, uint32_t device, MidiSystem& system, T& rt,
                                      ErrorTrap& trap, unsigned& index) {
    std::string name;
    size_t rank = 0;  // which of the equally named ports
    {
        std::lock_guard<std::mutex> g(mutex_);
        const auto& names = input ? inNames_ : outNames_;
        if (device >= names.size()) return kMidiBadDevice;
        name = names[device];
        for (uint32_t i = 0; i < device; ++i)
            if (names[i] == name) ++rank;
        system = system_;
    }
    std::vector<std::pair<std::string, unsigned>> ports;
    if (const MidiResultCode rc = ListPorts(system, rt, trap, ports)) return rc;
    for (const auto& p : ports) {
        if (p.first != name) continue;
        if (rank-- == 0) {
            index = p.second;
            return kMidiOk;
        }
    }
    return kMidiBadDevice;  // the port has gone away since the list was made
}

std::shared_ptr<InDevice> RtMidiService::FindIn(MidiHandle handle) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = ins_.find(handle);
    return it == ins_.end() ? nullptr : it->second;
}

std::shared_ptr<OutDevice> RtMidiService::FindOut(MidiHandle handle) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = outs_.find(handle);
    return it == outs_.end() ? nullptr : it->second;
}

void RtMidiService::ReapFinished() {
    std::vector<std::shared_ptr<InDevice>> done;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = std::partition(retired_.begin(), retired_.end(),
                                 [](const std::shared_ptr<InDevice>& d) { return !d->finished; });
        done.assign(it, retired_.end());
        retired_.erase(it, retired_.end());
    }
    for (auto& d : done)
        if (d->dispatcher.joinable()) d->dispatcher.join();
}

MidiResultCode RtMidiService::InOpen(MidiHandle* handle, uint32_t device, MidiInCallback callback,
                                     uintptr_t instance) {
    if (!handle || !callback) return kMidiInvalidParam;
    *handle = nullptr;
    ReapFinished();
    MidiSystem system = MidiSystem::kNone;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!inListed_ || device >= inNames_.size()) return kMidiBadDevice;
        system = system_;
    }
    if (system == MidiSystem::kNone) return kMidiNoSystem;

    auto d = std::make_shared<InDevice>();
    d->callback = callback;
    d->instance = instance;
    if (const MidiResultCode rc = MakeRt(system, OwnClientName("in"), d->trap, d->rt)) return rc;
    unsigned index = 0;
    if (const MidiResultCode rc = Resolve(true, device, system, *d->rt, d->trap, index)) return rc;
    const MidiResultCode rc = Guarded(d->trap, [&] {
        d->rt->ignoreTypes(false, false, false);  // SysEx, clock and sensing all pass
        d->rt->setCallback(&OnRtMidiInput, d.get());
        d->rt->openPort(index, "in");
    });
    if (rc != kMidiOk) return rc;
    if (!d->rt->isPortOpen()) return kMidiSystemRefused;
    try {
        std::lock_guard<std::mutex> g(mutex_);
        d->handle = NewHandle();
        d->dispatcher = std::thread(RunDispatcher, d);
        d->dispatcherId = d->dispatcher.get_id();
        ins_[d->handle] = d;
    } catch (...) {
        return kMidiNoMemory;
    }
    *handle = d->handle;
    return kMidiOk;
}

MidiResultCode RtMidiService::InPrepareHeader(MidiHandle handle, MidiHdr* header) {
    auto d = FindIn(handle);
    if (!d) return kMidiInvalidHandle;
    if (!header || !header->lpData || header->dwBufferLength == 0) return kMidiInvalidParam;
    std::lock_guard<std::mutex> g(d->mutex);
    ChangeFlags(header, kMhdrPrepared, 0);
    return kMidiOk;
}

MidiResultCode RtMidiService::InAddBuffer(MidiHandle handle, MidiHdr* header) {
    auto d = FindIn(handle);
    if (!d) return kMidiInvalidHandle;
    if (!header) return kMidiInvalidParam;
    {
        std::lock_guard<std::mutex> g(d->mutex);
        if (!(Flags(header) & kMhdrPrepared)) return kMidiUnprepared;
        if (Flags(header) & kMhdrInQueue) return kMidiStillPlaying;
        ChangeFlags(header, kMhdrInQueue, kMhdrDone);
        header->dwBytesRecorded = 0;
        d->queued.push_back(header);
    }
    d->wake.notify_all();
    return kMidiOk;
}

MidiResultCode RtMidiService::InStart(MidiHandle handle) {
    auto d = FindIn(handle);
    if (!d) return kMidiInvalidHandle;
    std::lock_guard<std::mutex> g(d->mutex);
    d->started = true;
    return kMidiOk;
}

MidiResultCode RtMidiService::InStop(MidiHandle handle) {
    auto d = FindIn(handle);
    if (!d) return kMidiInvalidHandle;
    std::lock_guard<std::mutex> g(d->mutex);
    d->started = false;  // what has arrived is still delivered
    return kMidiOk;
}

MidiResultCode RtMidiService::InReset(MidiHandle handle) {
    auto d = FindIn(handle);
    if (!d) return kMidiInvalidHandle;
    {
        std::lock_guard<std::mutex> g(d->mutex);
        d->started = false;
        d->pending.clear();
        d->pendingBytes = 0;
        // Every queued buffer comes back, empty and marked done, through the
        // callback; it is out of the queue at once, so it can be unprepared.
        for (MidiHdr* h : d->queued) {
            h->dwBytesRecorded = 0;
            ChangeFlags(h, kMhdrDone, kMhdrInQueue);
            d->returned.push_back(h);
        }
        d->queued.clear();
    }
    d->wake.notify_all();
    return kMidiOk;
}

MidiResultCode RtMidiService::InUnprepareHeader(MidiHandle handle, MidiHdr* header) {
    auto d = FindIn(handle);
    if (!d) return kMidiInvalidHandle;
    if (!header) return kMidiInvalidParam;
    std::lock_guard<std::mutex> g(d->mutex);
    if (Flags(header) & kMhdrInQueue) return kMidiStillPlaying;
    ChangeFlags(header, 0, kMhdrPrepared);
    return kMidiOk;
}

MidiResultCode RtMidiService::InClose(MidiHandle handle) {
    auto d = FindIn(handle);
    if (!d) return kMidiInvalidHandle;
    bool dispatcherBusy = false;
    uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> g(d->mutex);
        if (!d->queued.empty()) return kMidiStillPlaying;  // reset first
        dropped = d->dropped;
        // No callback begins after this: the dispatcher looks at the flag
        // under this mutex before each one.
        d->closing = true;
        d->started = false;
        dispatcherBusy = d->inCallback || d->dispatcherId == std::this_thread::get_id();
    }
    d->wake.notify_all();
    if (dropped > 0)
        std::fprintf(stderr,
                     "patchscribe: %llu MIDI input messages were dropped: more than %zu MB "
                     "waited for a receive buffer\n",
                     static_cast<unsigned long long>(dropped), kMaxPendingBytes >> 20);
    {
        std::lock_guard<std::mutex> g(mutex_);
        ins_.erase(handle);
    }
    // Closes the port and the client; RtMidi calls OnRtMidiInput no more.
    Guarded(d->trap, [&] { d->rt.reset(); });
    if (dispatcherBusy) {
        // The dispatcher is inside a handler, which may be waiting for a lock
        // that our caller holds: waiting for it here could never end.  It
        // leaves the loop when the handler returns and is joined later.
        std::lock_guard<std::mutex> g(mutex_);
        retired_.push_back(d);
    } else if (d->dispatcher.joinable()) {
        d->dispatcher.join();
    }
    return kMidiOk;
}

MidiResultCode RtMidiService::OutOpen(MidiHandle* handle, uint32_t device) {
    if (!handle) return kMidiInvalidParam;
    *handle = nullptr;
    MidiSystem system = MidiSystem::kNone;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!outListed_ || device >= outNames_.size()) return kMidiBadDevice;
        system = system_;
    }
    if (system == MidiSystem::kNone) return kMidiNoSystem;
    auto d = std::make_shared<OutDevice>();
    d->system = system;
    if (const MidiResultCode rc = MakeRt(system, OwnClientName("out"), d->trap, d->rt)) return rc;
    unsigned index = 0;
    if (const MidiResultCode rc = Resolve(false, device, system, *d->rt, d->trap, index)) return rc;
    if (const MidiResultCode rc = Guarded(d->trap, [&] { d->rt->openPort(index, "out"); }))
        return rc;
    if (!d->rt->isPortOpen()) return kMidiSystemRefused;
    try {
        std::lock_guard<std::mutex> g(mutex_);
        *handle = NewHandle();
        outs_[*handle] = d;
    } catch (...) {
        return kMidiNoMemory;
    }
    return kMidiOk;
}

MidiResultCode RtMidiService::OutShortMsg(MidiHandle handle, uint32_t message) {
    auto d = FindOut(handle);
    if (!d) return kMidiInvalidHandle;
    const uint8_t bytes[3] = {static_cast<uint8_t>(message), static_cast<uint8_t>(message >> 8),
                              static_cast<uint8_t>(message >> 16)};
    const size_t n = ShortMessageLength(bytes[0]);
    if (n == 0) return kMidiInvalidParam;
    std::lock_guard<std::mutex> g(d->sendMutex);
    if (!d->rt) return kMidiInvalidHandle;
    return Guarded(d->trap, [&] { d->rt->sendMessage(bytes, n); });
}

MidiResultCode RtMidiService::OutClose(MidiHandle handle) {
    std::shared_ptr<OutDevice> d;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = outs_.find(handle);
        if (it == outs_.end()) return kMidiInvalidHandle;
        d = it->second;
        outs_.erase(it);
    }
    // Waits for a send in progress on another thread; RtMidi passes on what
    // was sent before it closes the port.
    std::lock_guard<std::mutex> g(d->sendMutex);
    Guarded(d->trap, [&] { d->rt.reset(); });
    return kMidiOk;
}

MidiResultCode RtMidiService::OutPrepareHeader(MidiHandle handle, MidiHdr* header) {
    auto d = FindOut(handle);
    if (!d) return kMidiInvalidHandle;
    if (!header || (!header->lpData && header->dwBufferLength > 0)) return kMidiInvalidParam;
    std::lock_guard<std::mutex> g(d->sendMutex);
    ChangeFlags(header, kMhdrPrepared, 0);
    return kMidiOk;
}

MidiResultCode RtMidiService::OutLongMsg(MidiHandle handle, MidiHdr* header) {
    auto d = FindOut(handle);
    if (!d) return kMidiInvalidHandle;
    if (!header) return kMidiInvalidParam;
    std::lock_guard<std::mutex> g(d->sendMutex);
    if (!d->rt) return kMidiInvalidHandle;
    if (!(Flags(header) & kMhdrPrepared)) return kMidiUnprepared;
    const size_t n = header->dwBufferLength;
    if (n > kMaxMessageBytes || n > MaxMessageBytes(d->system)) return kMidiTooLong;
    ChangeFlags(header, 0, kMhdrDone);
    MidiResultCode rc = kMidiOk;
    if (n > 0) rc = Guarded(d->trap, [&] { d->rt->sendMessage(header->lpData, n); });
    ChangeFlags(header, kMhdrDone, 0);  // the bytes are with the MIDI system now
    return rc;
}

MidiResultCode RtMidiService::OutUnprepareHeader(MidiHandle handle, MidiHdr* header) {
    auto d = FindOut(handle);
    if (!d) return kMidiInvalidHandle;
    if (!header) return kMidiInvalidParam;
    std::lock_guard<std::mutex> g(d->sendMutex);
    ChangeFlags(header, 0, kMhdrPrepared);
    return kMidiOk;
}

// ---- the message pump of the virtual ports ------------------------------------------

class MessagePump {
public:
    explicit MessagePump(RtMidiVirtualPorts::Receiver receiver)
        : receiver_(std::move(receiver)), thread_([this] { Run(); }) {}
    ~MessagePump() { Stop(); }

    static void OnRtMidi(double, std::vector<unsigned char>* message, void* user) noexcept {
        if (!message || message->empty()) return;
        auto* pump = static_cast<MessagePump*>(user);
        try {
            {
                std::lock_guard<std::mutex> g(pump->mutex_);
                if (pump->stopping_ || pump->bytes_ + message->size() > kMaxPendingBytes) return;
                pump->queue_.push_back(*message);
                pump->bytes_ += message->size();
            }
            pump->wake_.notify_all();
        } catch (...) {
        }
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> g(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id())
                thread_.detach();
            else
                thread_.join();
        }
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            std::vector<uint8_t> m = std::move(queue_.front());
            queue_.pop_front();
            bytes_ -= m.size();
            lock.unlock();
            try {
                if (receiver_) receiver_(m.data(), m.size());
            } catch (const std::exception& e) {
                std::fprintf(stderr, "patchscribe: %s\n", e.what());
            } catch (...) {
            }
            lock.lock();
        }
    }

    RtMidiVirtualPorts::Receiver receiver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::vector<uint8_t>> queue_;
    size_t bytes_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

std::string ErrorText(MidiResultCode code) {
    std::string text;
    if (!StandardMidiErrorText(code, text)) text = "MIDI error " + std::to_string(code) + ".";
    return text;
}

}  // namespace

// ---- ThreadSanitizer -------------------------------------------------------------

#if defined(__SANITIZE_THREAD__)
// RtMidi's JACK output queue is one of libjack's lock-free ring buffers, which
// synchronise through memory barriers that ThreadSanitizer cannot see in the
// uninstrumented library: its copies into and out of the ring are no races.
// Every program with this service gets the suppression (tests, the CLI).
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_ringbuffer_\n"
           "race:libjack.so.0\n";
}
#endif

// ---- public functions ------------------------------------------------------------

std::shared_ptr<PortService> MakeRtMidiService() {
    return std::make_shared<RtMidiService>();
}

std::string DetectMidiSystem() {
    return SystemName(Detect());
}

std::string StripAlsaPortNumbers(const std::string& name) {
    // " CLIENT:PORT" at the end: a blank, digits, a colon, digits.
    size_t i = name.size();
    const size_t portEnd = i;
    while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
    if (i == portEnd || i == 0 || name[i - 1] != ':') return name;
    --i;
    const size_t clientEnd = i;
    while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
    if (i == clientEnd || i == 0 || name[i - 1] != ' ') return name;
    return name.substr(0, i - 1);
}

struct RtMidiVirtualPorts::Impl {
    MidiSystem system = MidiSystem::kNone;
    std::string sendTo;
    std::string receiveFrom;
    std::string systemName;
    ErrorTrap inTrap;
    ErrorTrap outTrap;
    std::unique_ptr<MessagePump> pump;
    std::unique_ptr<RtMidiIn> in;
    std::mutex sendMutex;
    std::unique_ptr<RtMidiOut> out;
};

RtMidiVirtualPorts::RtMidiVirtualPorts(const std::string& name, Receiver receiver)
    : impl_(std::make_unique<Impl>()) {
    Impl& p = *impl_;
    p.system = Detect();
    if (p.system == MidiSystem::kNone) throw std::runtime_error(ErrorText(kMidiNoSystem));
    p.systemName = SystemName(p.system);
    const std::string inClient = name + " In";
    const std::string outClient = name + " Out";
    p.sendTo = inClient + ":midi";
    p.receiveFrom = outClient + ":midi";

    auto fail = [&](const std::string& what, MidiResultCode code) {
        throw std::runtime_error(what + ": " + ErrorText(code));
    };
    // JACK would rename a second client of the same name, and other programs
    // would then find the first one under our name: refuse instead.
    {
        ErrorTrap trap;
        std::unique_ptr<RtMidiOut> lister;
        std::vector<std::pair<std::string, unsigned>> ports;
        if (const MidiResultCode rc = MakeRt(p.system, OwnClientName("list"), trap, lister))
            fail("Unable to list the MIDI ports", rc);
        ListPorts(p.system, *lister, trap, ports);
        for (const auto& port : ports)
            if (port.first == p.sendTo)
                throw std::runtime_error("A MIDI port named '" + p.sendTo + "' exists already.");
    }
    p.pump = std::make_unique<MessagePump>(std::move(receiver));
    if (const MidiResultCode rc = MakeRt(p.system, inClient, p.inTrap, p.in))
        fail("Unable to open the virtual input '" + p.sendTo + "'", rc);
    if (const MidiResultCode rc = Guarded(p.inTrap, [&] {
            p.in->ignoreTypes(false, false, false);
            p.in->setCallback(&MessagePump::OnRtMidi, p.pump.get());
            p.in->openVirtualPort("midi");
        }))
        fail("Unable to open the virtual input '" + p.sendTo + "'", rc);
    if (const MidiResultCode rc = MakeRt(p.system, outClient, p.outTrap, p.out))
        fail("Unable to open the virtual output '" + p.receiveFrom + "'", rc);
    if (const MidiResultCode rc = Guarded(p.outTrap, [&] { p.out->openVirtualPort("midi"); }))
        fail("Unable to open the virtual output '" + p.receiveFrom + "'", rc);
}

RtMidiVirtualPorts::~RtMidiVirtualPorts() {
    Impl& p = *impl_;
    // Input first, so nothing new arrives; then the pump, so no Receiver call
    // begins; the output last, since the Receiver may have been sending.
    Guarded(p.inTrap, [&] { p.in.reset(); });
    if (p.pump) p.pump->Stop();
    std::lock_guard<std::mutex> g(p.sendMutex);
    Guarded(p.outTrap, [&] { p.out.reset(); });
}

void RtMidiVirtualPorts::Send(const uint8_t* data, size_t size) {
    Impl& p = *impl_;
    if (size == 0) return;
    if (size > kMaxMessageBytes || size > MaxMessageBytes(p.system))
        throw std::runtime_error(ErrorText(kMidiTooLong));
    std::lock_guard<std::mutex> g(p.sendMutex);
    if (!p.out) throw std::runtime_error(ErrorText(kMidiInvalidHandle));
    if (const MidiResultCode rc = Guarded(p.outTrap, [&] { p.out->sendMessage(data, size); }))
        throw std::runtime_error(ErrorText(rc));
}

const std::string& RtMidiVirtualPorts::System() const {
    return impl_->systemName;
}
const std::string& RtMidiVirtualPorts::SendToName() const {
    return impl_->sendTo;
}
const std::string& RtMidiVirtualPorts::ReceiveFromName() const {
    return impl_->receiveFrom;
}
