// The MIDI layer: one process-wide input device set and one output device set,
// addressed by position, over the current PortService.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/MemoryStream.h"
#include "midi/PortService.h"

// An error the MIDI layer raises: a service error text, or an index error.
class EMidiError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A string list's index error: "List index out of bounds (%d)".
class EListError : public std::runtime_error {
public:
    explicit EListError(int index);
};

// One received short message.
using TOnMidiInData = std::function<void(int32_t aDeviceIndex, uint8_t aStatus, uint8_t aData1,
                                         uint8_t aData2)>;
// One received SysEx delivery; the stream belongs to the input set and is
// emptied as soon as the handler returns.
using TOnSysExData = std::function<void(int32_t aDeviceIndex, TMemoryStream& aStream)>;

// Receive buffer of one input device.
struct TSysExData {
    static constexpr uint32_t kBufferSize = 65536;
    TSysExData();
    TSysExData(const TSysExData&) = delete;
    TSysExData& operator=(const TSysExData&) = delete;

    TMemoryStream Stream;
    MidiHdr Header;
    std::unique_ptr<std::array<uint8_t, kBufferSize>> Buffer;
    // Set while Close runs for the device: a buffer returned meanwhile is not
    // queued again.
    std::atomic<bool> Closing{false};
};

// The device names in device-number order, each with its open handle.
class TDeviceList {
public:
    int Count() const { return static_cast<int>(names_.size()); }
    // The name at index; EListError outside the list.
    const std::string& Strings(int index) const;
    // The handle at index; EListError outside the list.
    MidiHandle Objects(int index) const;
    void SetObject(int index, MidiHandle handle);
    void Add(const std::string& name);
    const std::vector<std::string>& Names() const { return names_; }

private:
    std::vector<std::string> names_;
    std::vector<MidiHandle> handles_;
};

class TMidiDevices {
public:
    virtual ~TMidiDevices() = default;
    TMidiDevices(const TMidiDevices&) = delete;
    TMidiDevices& operator=(const TMidiDevices&) = delete;

    TDeviceList Devices;
    uint32_t MidiResult = 0;

    virtual void Open(int index) = 0;
    virtual void Close(int index) = 0;
    void CloseAll();
    MidiHandle GetHandle(int index);
    void SetMidiResult(uint32_t code);
    virtual const char* ClassName() const = 0;

protected:
    explicit TMidiDevices(PortService& service) : service_(service) {}
    PortService& service_;
};

class TMidiInput : public TMidiDevices {
public:
    explicit TMidiInput(PortService& service);
    ~TMidiInput() override;

    TOnMidiInData OnMidiInput;
    TOnSysExData OnSysExData;
    std::vector<std::unique_ptr<TSysExData>> SysExBuffers;

    void Open(int index) override;
    void Close(int index) override;
    void DoSysExData(int index);
    const char* ClassName() const override { return "TMidiInput"; }
};

class TMidiOutput : public TMidiDevices {
public:
    explicit TMidiOutput(PortService& service);

    void Open(int index) override;
    void Close(int index) override;
    void Send(int index, uint8_t status, uint8_t data1, uint8_t data2);
    void SendSysEx(int index, const std::string& text);
    void SendSysEx(int index, TMemoryStream& stream);
    const char* ClassName() const override { return "TMidiOutput"; }
};

// The process-wide sets, created on first use over CurrentPortService().
TMidiInput& MidiInput();
TMidiOutput& MidiOutput();
// Module finalisation: frees the input set, then the output set.  The next
// MidiInput()/MidiOutput() creates them again (tests and a clean exit use it).
void FreeMidiDevices();

// The service's input callback: reaches the input set through MidiInput().
// Never lets an exception out; a failure is passed to the error sink.
void MidiInCallbackProc(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                        uintptr_t param2);

// Where errors raised on the callback thread (re-queue failures, a handler's
// exception) go.  Unset: written to stderr.  Called on the callback thread.
using MidiCallbackErrorSink = std::function<void(const std::string& message)>;
void SetMidiCallbackErrorSink(MidiCallbackErrorSink sink);

// SysEx hex text <-> bytes.
void StrToSysExStream(const std::string& text, TMemoryStream& stream);
std::string SysExStreamToStr(TMemoryStream& stream);
