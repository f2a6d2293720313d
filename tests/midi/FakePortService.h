// A port service that records every call it gets, in order, and answers with
// the result codes a test sets.  Handles are h1, h2, ... in opening order.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "midi/PortService.h"

class FakePortService : public PortService {
public:
    std::vector<std::string> inNames;
    std::vector<std::string> outNames;
    // Result of an operation by its name ("InOpen", "OutLongMsg", ...); 0 when unset.
    std::map<std::string, MidiResultCode> results;
    // Error texts by code; a code missing here has no text.
    std::map<MidiResultCode, std::string> texts;
    // The handle an open returns when its result is set to fail (default: none).
    MidiHandle handleOnFailedOpen = nullptr;

    // What the service saw.
    std::vector<std::string> log;
    std::vector<MidiHdr*> headers;         // header argument of every header call
    std::vector<MidiHdr> headerSnapshots;  // its fields at the time of the call
    MidiInCallback callback = nullptr;
    uintptr_t instance = 0;

    FakePortService() {
        for (MidiResultCode c : {kMidiError, kMidiInvalidHandle, kMidiAllocated, kMidiBadDevice,
                                 kMidiStillPlaying, kMidiUnprepared}) {
            std::string t;
            StandardMidiErrorText(c, t);
            texts[c] = t;
        }
    }

    static std::string Name(MidiHandle h) {
        if (h == nullptr) return "null";
        return "h" + std::to_string(reinterpret_cast<uintptr_t>(h) / 0x100);
    }

    std::vector<std::string> TakeLog() {
        std::lock_guard<std::mutex> g(mutex_);
        auto l = std::move(log);
        log.clear();
        headers.clear();
        headerSnapshots.clear();
        return l;
    }

    uint32_t InGetNumDevs() override { return static_cast<uint32_t>(inNames.size()); }
    MidiResultCode InGetDevCaps(uint32_t device, std::string& name) override {
        if (auto r = Result("InGetDevCaps")) return r;
        name = device < inNames.size() ? inNames[device] : std::string();
        return kMidiOk;
    }
    MidiResultCode InOpen(MidiHandle* handle, uint32_t device, MidiInCallback cb,
                          uintptr_t inst) override {
        Record("InOpen " + std::to_string(device) + " instance " + std::to_string(inst));
        callback = cb;
        instance = inst;
        if (auto r = Result("InOpen")) {
            *handle = handleOnFailedOpen;
            return r;
        }
        *handle = NewHandle();
        return kMidiOk;
    }
    MidiResultCode InPrepareHeader(MidiHandle h, MidiHdr* hdr) override {
        return HeaderCall("InPrepareHeader", h, hdr);
    }
    MidiResultCode InAddBuffer(MidiHandle h, MidiHdr* hdr) override {
        return HeaderCall("InAddBuffer", h, hdr);
    }
    MidiResultCode InStart(MidiHandle h) override { return HandleCall("InStart", h); }
    MidiResultCode InStop(MidiHandle h) override { return HandleCall("InStop", h); }
    MidiResultCode InReset(MidiHandle h) override { return HandleCall("InReset", h); }
    MidiResultCode InUnprepareHeader(MidiHandle h, MidiHdr* hdr) override {
        return HeaderCall("InUnprepareHeader", h, hdr);
    }
    MidiResultCode InClose(MidiHandle h) override { return HandleCall("InClose", h); }

    MidiResultCode GetErrorText(MidiResultCode code, std::string& text) override {
        auto it = texts.find(code);
        if (it == texts.end()) return kMidiInvalidParam;
        text = it->second;
        return kMidiOk;
    }

    uint32_t OutGetNumDevs() override { return static_cast<uint32_t>(outNames.size()); }
    MidiResultCode OutGetDevCaps(uint32_t device, std::string& name) override {
        if (auto r = Result("OutGetDevCaps")) return r;
        name = device < outNames.size() ? outNames[device] : std::string();
        return kMidiOk;
    }
    MidiResultCode OutOpen(MidiHandle* handle, uint32_t device) override {
        Record("OutOpen " + std::to_string(device));
        if (auto r = Result("OutOpen")) {
            *handle = handleOnFailedOpen;
            return r;
        }
        *handle = NewHandle();
        return kMidiOk;
    }
    MidiResultCode OutShortMsg(MidiHandle h, uint32_t message) override {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", message);
        Record("OutShortMsg " + Name(h) + " " + hex);
        return h == nullptr ? kMidiInvalidHandle : Result("OutShortMsg");
    }
    MidiResultCode OutClose(MidiHandle h) override { return HandleCall("OutClose", h); }
    MidiResultCode OutPrepareHeader(MidiHandle h, MidiHdr* hdr) override {
        return HeaderCall("OutPrepareHeader", h, hdr);
    }
    MidiResultCode OutLongMsg(MidiHandle h, MidiHdr* hdr) override {
        std::string bytes;
        char b[4];
        for (uint32_t i = 0; hdr && hdr->lpData && i < hdr->dwBufferLength; ++i) {
            std::snprintf(b, sizeof b, " %02X", hdr->lpData[i]);
            bytes += b;
        }
        {
            std::lock_guard<std::mutex> g(mutex_);
            longMessages.push_back(bytes.empty() ? bytes : bytes.substr(1));
        }
        return HeaderCall("OutLongMsg", h, hdr);
    }
    MidiResultCode OutUnprepareHeader(MidiHandle h, MidiHdr* hdr) override {
        return HeaderCall("OutUnprepareHeader", h, hdr);
    }

    std::vector<std::string> longMessages;  // hex text of every OutLongMsg's bytes

private:
    std::mutex mutex_;
    uintptr_t handles_ = 0;

    MidiHandle NewHandle() { return reinterpret_cast<MidiHandle>(++handles_ * 0x100); }
    void Record(const std::string& entry) {
        std::lock_guard<std::mutex> g(mutex_);
        log.push_back(entry);
    }
    MidiResultCode Result(const std::string& op) {
        auto it = results.find(op);
        return it == results.end() ? kMidiOk : it->second;
    }
    MidiResultCode HandleCall(const std::string& op, MidiHandle h) {
        Record(op + " " + Name(h));
        return h == nullptr ? kMidiInvalidHandle : Result(op);
    }
    MidiResultCode HeaderCall(const std::string& op, MidiHandle h, MidiHdr* hdr) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            headers.push_back(hdr);
            headerSnapshots.push_back(hdr ? *hdr : MidiHdr{});
        }
        return HandleCall(op, h);
    }
};
