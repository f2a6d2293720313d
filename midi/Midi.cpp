#include "midi/Midi.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

std::string Format(const char* fmt, const char* s, int d) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, s, d);
    return buf;
}

// The process-wide sets.  The pointers are atomic because the input callback
// reaches the input set from the service's thread.
std::mutex setsMutex;
std::atomic<TMidiInput*> inputSet{nullptr};
std::atomic<TMidiOutput*> outputSet{nullptr};
// The service each set was created over: it stays alive as long as the set.
std::shared_ptr<PortService> inputService;
std::shared_ptr<PortService> outputService;

// Callbacks running now; FreeMidiDevices waits for them before it frees the
// input set.  depth: this thread's own callbacks (a handler may free the sets).
std::atomic<int> callbacksInFlight{0};
thread_local int callbackDepth = 0;

std::mutex sinkMutex;
MidiCallbackErrorSink callbackErrorSink;

void ReportCallbackError(const std::string& message) {
    MidiCallbackErrorSink sink;
    {
        std::lock_guard<std::mutex> g(sinkMutex);
        sink = callbackErrorSink;
    }
    if (sink) {
        try {
            sink(message);
            return;
        } catch (...) {
            // A sink that fails itself falls back to stderr below.
        }
    }
    std::cerr << "MIDI input: " << message << std::endl;
}

// A device's name as the service reports it, up to the first NUL.  Not cut to
// a length: names of ALSA and JACK ports ("client:port") are often longer than
// a classic capabilities record holds, and cutting them would merge ports.
std::string DeviceName(std::string name) {
    if (auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
    return name;
}

// value(c): the position of c in "123456789ABCDEF", 0 for any other character.
uint8_t HexValue(char c) {
    if (c >= '1' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return 0;
}

}  // namespace

EListError::EListError(int index)
    : std::runtime_error("List index out of bounds (" + std::to_string(index) + ")") {}

TSysExData::TSysExData() : Buffer(std::make_unique<std::array<uint8_t, kBufferSize>>()) {
    Header.lpData = Buffer->data();
    Header.dwBufferLength = kBufferSize;
}

// ---- TDeviceList -------------------------------------------------------------
// Handles are stored by the opening thread and read by the service's callback
// thread, so every access to one is atomic.

const std::string& TDeviceList::Strings(int index) const {
    if (index < 0 || index >= Count()) throw EListError(index);
    return names_[static_cast<size_t>(index)];
}

MidiHandle TDeviceList::Objects(int index) const {
    if (index < 0 || index >= Count()) throw EListError(index);
    return std::atomic_ref<MidiHandle>(
               const_cast<MidiHandle&>(handles_[static_cast<size_t>(index)]))
        .load(std::memory_order_acquire);
}

void TDeviceList::SetObject(int index, MidiHandle handle) {
    if (index < 0 || index >= Count()) throw EListError(index);
    std::atomic_ref<MidiHandle>(handles_[static_cast<size_t>(index)])
        .store(handle, std::memory_order_release);
}

void TDeviceList::Add(const std::string& name) {
    names_.push_back(name);
    handles_.push_back(nullptr);
}

// ---- TMidiDevices ------------------------------------------------------------

void TMidiDevices::CloseAll() {
    for (int i = 0; i < Devices.Count(); ++i) Close(i);
}

MidiHandle TMidiDevices::GetHandle(int index) {
    if (index < 0 || index > Devices.Count() - 1)
        throw EMidiError(Format("%s: Device index out of bounds! (%d)", ClassName(), index));
    return Devices.Objects(index);
}

void TMidiDevices::SetMidiResult(uint32_t code) {
    // Written from the caller's thread and from the callback thread.
    std::atomic_ref<uint32_t>(MidiResult).store(code, std::memory_order_relaxed);
    if (code == 0) return;
    std::string text;
    if (service_.GetErrorText(code, text) != 0) return;  // no text: only recorded
    if (text.size() > 127) text.resize(127);
    throw EMidiError(text);
}

// ---- TMidiInput --------------------------------------------------------------

TMidiInput::TMidiInput(PortService& service) : TMidiDevices(service) {
    const uint32_t n = service_.InGetNumDevs();
    for (uint32_t d = 0; d < n; ++d) {
        std::string name;
        SetMidiResult(service_.InGetDevCaps(d, name));
        Devices.Add(DeviceName(name));
        SysExBuffers.push_back(std::make_unique<TSysExData>());
    }
}

// The service must not keep a receive buffer that goes with the set: a device
// still open is closed first.  The owner normally has closed them all.
TMidiInput::~TMidiInput() {
    for (int i = 0; i < Devices.Count(); ++i) {
        if (Devices.Objects(i) == nullptr) continue;
        try {
            Close(i);
        } catch (const std::exception& e) {
            std::cerr << "Closing MIDI input " << i << ": " << e.what() << std::endl;
        }
    }
}

void TMidiInput::Open(int index) {
    if (GetHandle(index) != nullptr) return;
    MidiHandle handle = nullptr;
    const uint32_t code = service_.InOpen(&handle, static_cast<uint32_t>(index),
                                          &MidiInCallbackProc, static_cast<uintptr_t>(index));
    SetMidiResult(code);
    // A failure without a text leaves whatever the service returned; a null
    // handle is stored as it is, so the device stays closed.
    Devices.SetObject(index, handle);
    if (handle == nullptr) return;
    TSysExData& data = *SysExBuffers[static_cast<size_t>(index)];
    std::atomic_ref<uint32_t>(data.Header.dwFlags).store(0, std::memory_order_release);
    SetMidiResult(service_.InPrepareHeader(handle, &data.Header));
    SetMidiResult(service_.InAddBuffer(handle, &data.Header));
    SetMidiResult(service_.InStart(handle));
}

void TMidiInput::Close(int index) {
    if (GetHandle(index) == nullptr) return;
    TSysExData& data = *SysExBuffers[static_cast<size_t>(index)];
    struct ClosingMark {
        std::atomic<bool>& flag;
        explicit ClosingMark(std::atomic<bool>& f) : flag(f) { flag = true; }
        ~ClosingMark() { flag = false; }
    } mark(data.Closing);
    SetMidiResult(service_.InStop(GetHandle(index)));
    SetMidiResult(service_.InReset(GetHandle(index)));
    SetMidiResult(service_.InUnprepareHeader(GetHandle(index), &data.Header));
    SetMidiResult(service_.InClose(GetHandle(index)));
    Devices.SetObject(index, nullptr);
}

void TMidiInput::DoSysExData(int index) {
    if (index < 0 || index >= static_cast<int>(SysExBuffers.size()))
        throw EMidiError(Format("%s: Device index out of bounds! (%d)", ClassName(), index));
    TSysExData& data = *SysExBuffers[static_cast<size_t>(index)];
    const uint32_t n = data.Header.dwBytesRecorded;
    if (n == 0) return;
    data.Stream.Write(data.Buffer->data(), n);
    // A handler's exception is passed on only after the stream has been
    // emptied and the buffer queued again, so the port keeps receiving.
    std::exception_ptr handlerError;
    // The service may change other bits of the flags meanwhile (a closing
    // thread unprepares the header): read them atomically.
    const uint32_t flags =
        std::atomic_ref<uint32_t>(data.Header.dwFlags).load(std::memory_order_acquire);
    if (flags & kMhdrDone) {
        data.Stream.SetPosition(0);
        if (OnSysExData) {
            try {
                OnSysExData(index, data.Stream);
            } catch (...) {
                handlerError = std::current_exception();
            }
        }
        data.Stream.Clear();
    }
    data.Header.dwBytesRecorded = 0;
    // Close may run on another thread meanwhile.  A device being closed, or
    // closed, gets no buffer queued again; a queueing step that fails because
    // the close got there first is no error.
    auto closedMeanwhile = [&](MidiHandle used) {
        return data.Closing.load() || Devices.Objects(index) != used;
    };
    for (int step = 0; step < 2; ++step) {
        MidiHandle handle = GetHandle(index);
        if (handle == nullptr || data.Closing.load()) break;
        const uint32_t code = step == 0 ? service_.InPrepareHeader(handle, &data.Header)
                                        : service_.InAddBuffer(handle, &data.Header);
        if (code != 0 && closedMeanwhile(handle)) break;
        SetMidiResult(code);
    }
    if (handlerError) std::rethrow_exception(handlerError);
}

// ---- TMidiOutput -------------------------------------------------------------

TMidiOutput::TMidiOutput(PortService& service) : TMidiDevices(service) {
    const uint32_t n = service_.OutGetNumDevs();
    for (uint32_t d = 0; d < n; ++d) {
        std::string name;
        SetMidiResult(service_.OutGetDevCaps(d, name));
        Devices.Add(DeviceName(name));
    }
}

void TMidiOutput::Open(int index) {
    if (GetHandle(index) != nullptr) return;
    MidiHandle handle = nullptr;
    SetMidiResult(service_.OutOpen(&handle, static_cast<uint32_t>(index)));
    Devices.SetObject(index, handle);
}

void TMidiOutput::Close(int index) {
    if (GetHandle(index) == nullptr) return;
    SetMidiResult(service_.OutClose(GetHandle(index)));
    Devices.SetObject(index, nullptr);
}

void TMidiOutput::Send(int index, uint8_t status, uint8_t data1, uint8_t data2) {
    if (Devices.Objects(index) == nullptr) Open(index);
    const uint32_t message = static_cast<uint32_t>(status) + static_cast<uint32_t>(data1) * 256u +
                             static_cast<uint32_t>(data2) * 65536u;
    SetMidiResult(service_.OutShortMsg(GetHandle(index), message));
}

void TMidiOutput::SendSysEx(int index, const std::string& text) {
    static constexpr char kAllowed[] = "0123456789ABCDEF ";
    std::string upper = text;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (char c : upper)
        if (std::char_traits<char>::find(kAllowed, sizeof kAllowed - 1, c) == nullptr) return;
    if (upper.empty()) return;
    TMemoryStream stream;
    StrToSysExStream(text, stream);
    SendSysEx(index, stream);
}

void TMidiOutput::SendSysEx(int index, TMemoryStream& stream) {
    MidiHdr header{};
    stream.SetPosition(0);
    header.lpData = stream.Memory();
    header.dwBufferLength = static_cast<uint32_t>(stream.Size());
    header.dwFlags = 0;
    header.dwBytesRecorded = 0;
    SetMidiResult(service_.OutPrepareHeader(GetHandle(index), &header));
    SetMidiResult(service_.OutLongMsg(GetHandle(index), &header));
    SetMidiResult(service_.OutUnprepareHeader(GetHandle(index), &header));
}

// ---- module ------------------------------------------------------------------

TMidiInput& MidiInput() {
    if (TMidiInput* set = inputSet.load(std::memory_order_acquire)) return *set;
    std::lock_guard<std::mutex> g(setsMutex);
    if (TMidiInput* set = inputSet.load(std::memory_order_acquire)) return *set;
    // A failing enumeration throws out of here and stores nothing.
    auto service = CurrentPortServicePtr();
    auto set = std::make_unique<TMidiInput>(*service);
    inputService = std::move(service);
    inputSet.store(set.get(), std::memory_order_release);
    return *set.release();
}

TMidiOutput& MidiOutput() {
    if (TMidiOutput* set = outputSet.load(std::memory_order_acquire)) return *set;
    std::lock_guard<std::mutex> g(setsMutex);
    if (TMidiOutput* set = outputSet.load(std::memory_order_acquire)) return *set;
    auto service = CurrentPortServicePtr();
    auto set = std::make_unique<TMidiOutput>(*service);
    outputService = std::move(service);
    outputSet.store(set.get(), std::memory_order_release);
    return *set.release();
}

void FreeMidiDevices() {
    std::lock_guard<std::mutex> g(setsMutex);
    TMidiInput* in = inputSet.exchange(nullptr);
    // A callback that found the set before it was taken away finishes first.
    while (callbacksInFlight.load() > callbackDepth) std::this_thread::yield();
    delete in;
    inputService.reset();
    delete outputSet.exchange(nullptr);
    outputService.reset();
}

void SetMidiCallbackErrorSink(MidiCallbackErrorSink sink) {
    std::lock_guard<std::mutex> g(sinkMutex);
    callbackErrorSink = std::move(sink);
}

void MidiInCallbackProc(MidiHandle, uint32_t message, uintptr_t instance, uintptr_t param1,
                        uintptr_t) {
    struct InFlight {
        InFlight() {
            ++callbacksInFlight;
            ++callbackDepth;
        }
        ~InFlight() {
            --callbackDepth;
            --callbacksInFlight;
        }
    } inFlight;
    // The callback belongs to a device of the existing input set: once the
    // set is freed, a late callback is ignored rather than creating a new one.
    TMidiInput* set = inputSet.load();
    if (set == nullptr) return;
    try {
        switch (message) {
            case kMimData: {
                if (set->OnMidiInput)
                    set->OnMidiInput(static_cast<int32_t>(instance),
                                     static_cast<uint8_t>(param1 & 0xFF),
                                     static_cast<uint8_t>((param1 >> 8) & 0xFF),
                                     static_cast<uint8_t>((param1 >> 16) & 0xFF));
                break;
            }
            case kMimLongData:
                set->DoSysExData(static_cast<int>(instance));
                break;
            default:
                break;
        }
    } catch (const std::exception& e) {
        ReportCallbackError(e.what());
    } catch (...) {
        ReportCallbackError("Unknown error in the MIDI input handler");
    }
}

// ---- SysEx hex text ------------------------------------------------------------

void StrToSysExStream(const std::string& text, TMemoryStream& stream) {
    std::string t;
    t.reserve(text.size());
    for (char c : text) {
        if (c == ' ') continue;
        t.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    const size_t n = t.size() / 2;
    stream.SetSize(n);
    stream.SetPosition(0);
    uint8_t* out = stream.Memory();
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(16 * HexValue(t[2 * i]) + HexValue(t[2 * i + 1]));
}

std::string SysExStreamToStr(TMemoryStream& stream) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string result;
    stream.SetPosition(0);
    result.reserve(stream.Size() * 3);
    const uint8_t* p = stream.Memory();
    for (size_t i = 0; i < stream.Size(); ++i) {
        result.push_back(kDigits[p[i] >> 4]);
        result.push_back(kDigits[p[i] & 0x0F]);
        result.push_back(' ');
    }
    return result;
}
