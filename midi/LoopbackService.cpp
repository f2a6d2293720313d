// In-process MIDI devices.  Each pair is an input and an output of one name;
// the output feeds a virtual instrument and the instrument's messages arrive
// at the input.  The input side works like a driver with a receive-buffer
// cycle: arriving messages wait in the device's queue, SysEx goes into the
// queued buffer (split over several buffers when longer than one), and one
// dispatcher thread per open input device hands short messages and returned
// buffers to the callback in arrival order.
#include "midi/LoopbackService.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {

// What one open of an input device runs: its dispatcher and the state it needs
// to stop.  A closed session's thread may still be inside the callback while
// the device is opened again, so every open gets a session of its own.
struct Session {
    MidiInCallback callback = nullptr;
    uintptr_t instance = 0;
    MidiHandle handle = nullptr;
    bool stop = false;        // guarded by the device mutex
    bool inCallback = false;  // guarded by the device mutex
    std::thread thread;
};

struct InDevice {
    std::mutex mutex;
    std::condition_variable wake;
    std::shared_ptr<Session> session;  // null while closed
    bool started = false;
    std::deque<std::vector<uint8_t>> pending;   // arrived, not yet delivered
    size_t frontOffset = 0;                     // bytes of pending.front() already delivered
    std::deque<MidiHdr*> queued;                // receive buffers held by the service
    std::deque<MidiHdr*> returns;               // buffers to hand back (after a reset)
    std::vector<std::shared_ptr<Session>> old;  // closed sessions whose thread is not joined
};

struct OutDevice {
    std::mutex mutex;  // serialises sends
    MidiHandle handle = nullptr;
};

struct Pair {
    std::string name;
    std::shared_ptr<VirtualInstrument> instrument;
    InDevice in;
    OutDevice out;
};

// The flags of an input header are read by the layer on the callback thread
// while a closing thread may unprepare the header: every access is atomic.
uint32_t Flags(MidiHdr* h) {
    return std::atomic_ref<uint32_t>(h->dwFlags).load(std::memory_order_acquire);
}
void ChangeFlags(MidiHdr* h, uint32_t set, uint32_t clear) {
    std::atomic_ref<uint32_t> f(h->dwFlags);
    uint32_t old = f.load(std::memory_order_relaxed);
    while (!f.compare_exchange_weak(old, (old & ~clear) | set, std::memory_order_acq_rel)) {
    }
}

bool IsShortMessage(const std::vector<uint8_t>& m) {
    return m[0] != 0xF0;
}

uint32_t ShortMessageLength(uint8_t status) {
    if (status >= 0xF8 || status == 0xF6) return 1;
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status >= 0xF0) return 3;
    if (status >= 0xC0 && status <= 0xDF) return 2;
    return 3;
}

// Joins the dispatchers of earlier opens of the device before it is opened
// again, so a callback of the old open never overlaps one of the new open on
// the same receive buffer.  A dispatcher that is the calling thread (a handler
// reopening its own device) is left for later.
void JoinOldSessions(InDevice& d, std::unique_lock<std::mutex>& lk) {
    std::vector<std::shared_ptr<Session>> joinable;
    for (auto it = d.old.begin(); it != d.old.end();) {
        if ((*it)->thread.get_id() != std::this_thread::get_id()) {
            joinable.push_back(*it);
            it = d.old.erase(it);
        } else {
            ++it;
        }
    }
    lk.unlock();
    for (auto& s : joinable)
        if (s->thread.joinable()) s->thread.join();
    lk.lock();
}

}  // namespace

struct LoopbackService::Impl {
    std::mutex mutex;  // pairs, handles, failures
    std::deque<std::unique_ptr<Pair>> pairs;
    struct HandleInfo {
        bool input;
        int device;
    };
    std::map<uintptr_t, HandleInfo> handles;
    uintptr_t nextHandle = 0x1000;
    std::map<std::string, MidiResultCode> failures;

    MidiResultCode Failure(const char* operation) {
        std::lock_guard<std::mutex> g(mutex);
        auto it = failures.find(operation);
        return it == failures.end() ? kMidiOk : it->second;
    }

    Pair* Device(uint32_t device) {
        std::lock_guard<std::mutex> g(mutex);
        return device < pairs.size() ? pairs[device].get() : nullptr;
    }

    Pair* ByHandle(MidiHandle handle, bool input) {
        std::lock_guard<std::mutex> g(mutex);
        auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
        if (it == handles.end() || it->second.input != input) return nullptr;
        return pairs[static_cast<size_t>(it->second.device)].get();
    }

    MidiHandle NewHandle(bool input, int device) {
        std::lock_guard<std::mutex> g(mutex);
        const uintptr_t h = nextHandle;
        nextHandle += 0x10;
        handles[h] = {input, device};
        return reinterpret_cast<MidiHandle>(h);
    }

    void DropHandle(MidiHandle handle) {
        std::lock_guard<std::mutex> g(mutex);
        handles.erase(reinterpret_cast<uintptr_t>(handle));
    }

    void Inject(int device, std::vector<uint8_t> message) {
        if (message.empty() || device < 0) return;
        Pair* p = Device(static_cast<uint32_t>(device));
        if (p == nullptr) return;
        InDevice& d = p->in;
        {
            std::lock_guard<std::mutex> g(d.mutex);
            if (!d.session) return;  // nothing listens on a closed port
            d.pending.push_back(std::move(message));
        }
        d.wake.notify_all();
    }

    static void Dispatch(InDevice& d, std::shared_ptr<Session> s) {
        std::unique_lock<std::mutex> lk(d.mutex);
        for (;;) {
            if (s->stop) break;
            uint32_t msg = 0;
            uintptr_t param1 = 0;
            if (!d.returns.empty()) {
                MidiHdr* h = d.returns.front();
                d.returns.pop_front();
                msg = kMimLongData;
                param1 = reinterpret_cast<uintptr_t>(h);
            } else if (d.started && !d.pending.empty()) {
                std::vector<uint8_t>& m = d.pending.front();
                if (IsShortMessage(m)) {
                    const uint32_t n = std::min<uint32_t>(ShortMessageLength(m[0]),
                                                          static_cast<uint32_t>(m.size()));
                    for (uint32_t i = 0; i < n; ++i)
                        param1 |= static_cast<uintptr_t>(m[i]) << (8 * i);
                    msg = kMimData;
                    d.pending.pop_front();
                } else if (!d.queued.empty()) {
                    MidiHdr* h = d.queued.front();
                    d.queued.pop_front();
                    const size_t left = m.size() - d.frontOffset;
                    const size_t n = std::min<size_t>(left, h->dwBufferLength);
                    if (n > 0) std::memcpy(h->lpData, m.data() + d.frontOffset, n);
                    h->dwBytesRecorded = static_cast<uint32_t>(n);
                    ChangeFlags(h, kMhdrDone, kMhdrInQueue);
                    d.frontOffset += n;
                    if (d.frontOffset >= m.size()) {
                        d.pending.pop_front();
                        d.frontOffset = 0;
                    }
                    msg = kMimLongData;
                    param1 = reinterpret_cast<uintptr_t>(h);
                } else {
                    d.wake.wait(lk);  // a SysEx waits for a receive buffer
                    continue;
                }
            } else {
                d.wake.wait(lk);
                continue;
            }
            // Committed under the lock: a close from now on finds this
            // callback running and does not wait for it.
            s->inCallback = true;
            lk.unlock();
            s->callback(s->handle, msg, s->instance, param1, 0);
            lk.lock();
            s->inCallback = false;
        }
    }
};

LoopbackService::LoopbackService() : impl_(std::make_unique<Impl>()) {}

LoopbackService::~LoopbackService() {
    std::vector<Pair*> all;
    {
        std::lock_guard<std::mutex> g(impl_->mutex);
        for (auto& p : impl_->pairs) all.push_back(p.get());
    }
    // No instrument may send into this service once it is gone.
    for (Pair* p : all)
        if (p->instrument) p->instrument->SetSender({});
    for (Pair* p : all) {
        std::vector<std::shared_ptr<Session>> sessions;
        {
            std::lock_guard<std::mutex> g(p->in.mutex);
            if (p->in.session) {
                p->in.session->stop = true;
                p->in.old.push_back(std::move(p->in.session));
            }
            sessions.swap(p->in.old);
        }
        p->in.wake.notify_all();
        for (auto& s : sessions)
            if (s->thread.joinable() && s->thread.get_id() != std::this_thread::get_id())
                s->thread.join();
            else if (s->thread.joinable())
                s->thread.detach();
    }
}

int LoopbackService::AddDevicePair(const std::string& name,
                                   std::shared_ptr<VirtualInstrument> instrument) {
    int index = 0;
    {
        std::lock_guard<std::mutex> g(impl_->mutex);
        auto p = std::make_unique<Pair>();
        p->name = name;
        p->instrument = instrument;
        impl_->pairs.push_back(std::move(p));
        index = static_cast<int>(impl_->pairs.size()) - 1;
    }
    if (instrument) {
        Impl* impl = impl_.get();
        instrument->SetSender(
            [impl, index](const std::vector<uint8_t>& message) { impl->Inject(index, message); });
    }
    return index;
}

void LoopbackService::Inject(int device, std::vector<uint8_t> message) {
    impl_->Inject(device, std::move(message));
}

void LoopbackService::FailNext(const std::string& operation, MidiResultCode code) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    if (code == kMidiOk)
        impl_->failures.erase(operation);
    else
        impl_->failures[operation] = code;
}

uint32_t LoopbackService::InGetNumDevs() {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return static_cast<uint32_t>(impl_->pairs.size());
}

MidiResultCode LoopbackService::InGetDevCaps(uint32_t device, std::string& name) {
    if (auto c = impl_->Failure("InGetDevCaps")) return c;
    Pair* p = impl_->Device(device);
    if (p == nullptr) return kMidiBadDevice;
    name = p->name;
    return kMidiOk;
}

MidiResultCode LoopbackService::InOpen(MidiHandle* handle, uint32_t device, MidiInCallback callback,
                                       uintptr_t instance) {
    if (auto c = impl_->Failure("InOpen")) return c;
    if (handle == nullptr || callback == nullptr) return kMidiInvalidParam;
    Pair* p = impl_->Device(device);
    if (p == nullptr) return kMidiBadDevice;
    InDevice& d = p->in;
    std::unique_lock<std::mutex> lk(d.mutex);
    if (d.session) return kMidiAllocated;
    JoinOldSessions(d, lk);
    if (d.session) return kMidiAllocated;  // opened by another thread meanwhile
    auto s = std::make_shared<Session>();
    s->callback = callback;
    s->instance = instance;
    s->handle = impl_->NewHandle(true, static_cast<int>(device));
    d.session = s;
    d.started = false;
    d.pending.clear();
    d.frontOffset = 0;
    d.queued.clear();
    d.returns.clear();
    s->thread = std::thread(&Impl::Dispatch, std::ref(d), s);
    *handle = s->handle;
    return kMidiOk;
}

MidiResultCode LoopbackService::InPrepareHeader(MidiHandle handle, MidiHdr* header) {
    if (auto c = impl_->Failure("InPrepareHeader")) return c;
    Pair* p = impl_->ByHandle(handle, true);
    if (p == nullptr) return kMidiInvalidHandle;
    if (header == nullptr || header->lpData == nullptr) return kMidiInvalidParam;
    std::lock_guard<std::mutex> g(p->in.mutex);
    ChangeFlags(header, kMhdrPrepared, 0);
    return kMidiOk;
}

MidiResultCode LoopbackService::InAddBuffer(MidiHandle handle, MidiHdr* header) {
    if (auto c = impl_->Failure("InAddBuffer")) return c;
    Pair* p = impl_->ByHandle(handle, true);
    if (p == nullptr) return kMidiInvalidHandle;
    if (header == nullptr || header->lpData == nullptr) return kMidiInvalidParam;
    InDevice& d = p->in;
    {
        std::lock_guard<std::mutex> g(d.mutex);
        if (!(Flags(header) & kMhdrPrepared)) return kMidiUnprepared;
        if (Flags(header) & kMhdrInQueue) return kMidiStillPlaying;
        ChangeFlags(header, kMhdrInQueue, kMhdrDone);
        d.queued.push_back(header);
    }
    d.wake.notify_all();
    return kMidiOk;
}

MidiResultCode LoopbackService::InStart(MidiHandle handle) {
    if (auto c = impl_->Failure("InStart")) return c;
    Pair* p = impl_->ByHandle(handle, true);
    if (p == nullptr) return kMidiInvalidHandle;
    {
        std::lock_guard<std::mutex> g(p->in.mutex);
        p->in.started = true;
    }
    p->in.wake.notify_all();
    return kMidiOk;
}

MidiResultCode LoopbackService::InStop(MidiHandle handle) {
    if (auto c = impl_->Failure("InStop")) return c;
    Pair* p = impl_->ByHandle(handle, true);
    if (p == nullptr) return kMidiInvalidHandle;
    std::lock_guard<std::mutex> g(p->in.mutex);
    p->in.started = false;
    return kMidiOk;
}

MidiResultCode LoopbackService::InReset(MidiHandle handle) {
    if (auto c = impl_->Failure("InReset")) return c;
    Pair* p = impl_->ByHandle(handle, true);
    if (p == nullptr) return kMidiInvalidHandle;
    InDevice& d = p->in;
    {
        std::lock_guard<std::mutex> g(d.mutex);
        d.started = false;
        while (!d.queued.empty()) {
            MidiHdr* h = d.queued.front();
            d.queued.pop_front();
            h->dwBytesRecorded = 0;
            ChangeFlags(h, kMhdrDone, kMhdrInQueue);
            d.returns.push_back(h);
        }
    }
    d.wake.notify_all();
    return kMidiOk;
}

MidiResultCode LoopbackService::InUnprepareHeader(MidiHandle handle, MidiHdr* header) {
    if (auto c = impl_->Failure("InUnprepareHeader")) return c;
    Pair* p = impl_->ByHandle(handle, true);
    if (p == nullptr) return kMidiInvalidHandle;
    if (header == nullptr) return kMidiInvalidParam;
    InDevice& d = p->in;
    std::lock_guard<std::mutex> g(d.mutex);
    // A buffer still queued, or returned but not yet handed back, is taken
    // back from the service here: after this call nothing refers to it.
    d.queued.erase(std::remove(d.queued.begin(), d.queued.end(), header), d.queued.end());
    d.returns.erase(std::remove(d.returns.begin(), d.returns.end(), header), d.returns.end());
    ChangeFlags(header, 0, kMhdrPrepared | kMhdrInQueue);
    return kMidiOk;
}

MidiResultCode LoopbackService::InClose(MidiHandle handle) {
    if (auto c = impl_->Failure("InClose")) return c;
    Pair* p = impl_->ByHandle(handle, true);
    if (p == nullptr) return kMidiInvalidHandle;
    InDevice& d = p->in;
    std::shared_ptr<Session> s;
    bool joinNow = false;
    {
        std::lock_guard<std::mutex> g(d.mutex);
        s = std::move(d.session);
        if (!s) return kMidiInvalidHandle;
        s->stop = true;
        d.started = false;
        d.pending.clear();
        d.frontOffset = 0;
        for (MidiHdr* h : d.queued) ChangeFlags(h, 0, kMhdrInQueue);
        d.queued.clear();
        d.returns.clear();
        // The dispatcher is joined here only when it is not running a
        // callback: that callback may be waiting for a lock the closing
        // thread holds.  Otherwise it is joined at the next open or when the
        // service goes.
        joinNow = !s->inCallback && s->thread.get_id() != std::this_thread::get_id();
        if (!joinNow) d.old.push_back(s);
    }
    impl_->DropHandle(handle);
    d.wake.notify_all();
    if (joinNow) s->thread.join();
    return kMidiOk;
}

MidiResultCode LoopbackService::GetErrorText(MidiResultCode code, std::string& text) {
    return StandardMidiErrorText(code, text) ? kMidiOk : kMidiInvalidParam;
}

uint32_t LoopbackService::OutGetNumDevs() {
    return InGetNumDevs();
}

MidiResultCode LoopbackService::OutGetDevCaps(uint32_t device, std::string& name) {
    if (auto c = impl_->Failure("OutGetDevCaps")) return c;
    Pair* p = impl_->Device(device);
    if (p == nullptr) return kMidiBadDevice;
    name = p->name;
    return kMidiOk;
}

MidiResultCode LoopbackService::OutOpen(MidiHandle* handle, uint32_t device) {
    if (auto c = impl_->Failure("OutOpen")) return c;
    if (handle == nullptr) return kMidiInvalidParam;
    Pair* p = impl_->Device(device);
    if (p == nullptr) return kMidiBadDevice;
    std::lock_guard<std::mutex> g(p->out.mutex);
    if (p->out.handle != nullptr) return kMidiAllocated;
    p->out.handle = impl_->NewHandle(false, static_cast<int>(device));
    *handle = p->out.handle;
    return kMidiOk;
}

MidiResultCode LoopbackService::OutShortMsg(MidiHandle handle, uint32_t message) {
    if (auto c = impl_->Failure("OutShortMsg")) return c;
    Pair* p = impl_->ByHandle(handle, false);
    if (p == nullptr) return kMidiInvalidHandle;
    uint8_t bytes[3] = {static_cast<uint8_t>(message), static_cast<uint8_t>(message >> 8),
                        static_cast<uint8_t>(message >> 16)};
    std::lock_guard<std::mutex> g(p->out.mutex);
    if (p->instrument) p->instrument->Receive(bytes, ShortMessageLength(bytes[0]));
    return kMidiOk;
}

MidiResultCode LoopbackService::OutClose(MidiHandle handle) {
    if (auto c = impl_->Failure("OutClose")) return c;
    Pair* p = impl_->ByHandle(handle, false);
    if (p == nullptr) return kMidiInvalidHandle;
    {
        std::lock_guard<std::mutex> g(p->out.mutex);
        p->out.handle = nullptr;
    }
    impl_->DropHandle(handle);
    return kMidiOk;
}

MidiResultCode LoopbackService::OutPrepareHeader(MidiHandle handle, MidiHdr* header) {
    if (auto c = impl_->Failure("OutPrepareHeader")) return c;
    Pair* p = impl_->ByHandle(handle, false);
    if (p == nullptr) return kMidiInvalidHandle;
    if (header == nullptr) return kMidiInvalidParam;
    header->dwFlags |= kMhdrPrepared;
    return kMidiOk;
}

MidiResultCode LoopbackService::OutLongMsg(MidiHandle handle, MidiHdr* header) {
    if (auto c = impl_->Failure("OutLongMsg")) return c;
    Pair* p = impl_->ByHandle(handle, false);
    if (p == nullptr) return kMidiInvalidHandle;
    if (header == nullptr) return kMidiInvalidParam;
    if (!(header->dwFlags & kMhdrPrepared)) return kMidiUnprepared;
    // A message of 0 bytes is accepted and sends nothing.  Otherwise the
    // instrument takes its own copy before this returns, so the caller may
    // unprepare and free the header right away.
    if (header->dwBufferLength > 0 && header->lpData != nullptr) {
        std::lock_guard<std::mutex> g(p->out.mutex);
        if (p->instrument) p->instrument->Receive(header->lpData, header->dwBufferLength);
    }
    header->dwFlags |= kMhdrDone;
    return kMidiOk;
}

MidiResultCode LoopbackService::OutUnprepareHeader(MidiHandle handle, MidiHdr* header) {
    if (auto c = impl_->Failure("OutUnprepareHeader")) return c;
    Pair* p = impl_->ByHandle(handle, false);
    if (p == nullptr) return kMidiInvalidHandle;
    if (header == nullptr) return kMidiInvalidParam;
    header->dwFlags &= ~kMhdrPrepared;
    return kMidiOk;
}
