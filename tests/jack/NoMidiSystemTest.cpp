// The RtMidi service on a machine without a MIDI system: the suite runs with
// JACK chosen (PATCHSCRIBE_MIDI_SYSTEM=jack) and a JACK server name that no
// server uses, so neither ALSA nor JACK is there.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "midi/Midi.h"
#include "midi/RtMidiService.h"
#include "midi/RtMidiVirtualPorts.h"
#include "tests/jack/ChildProcess.h"

namespace {

std::string ErrorText(MidiResultCode code) {
    std::string text;
    StandardMidiErrorText(code, text);
    return text;
}

TEST(NoMidiSystem, NoSystemIsDetected) {
    EXPECT_EQ(DetectMidiSystem(), "none");
    setenv("PATCHSCRIBE_MIDI_SYSTEM", "none", 1);
    EXPECT_EQ(DetectMidiSystem(), "none");
    setenv("PATCHSCRIBE_MIDI_SYSTEM", "jack", 1);
}

TEST(NoMidiSystem, ListsAreEmptyAndOpeningRaisesTheBoundsError) {
    FreeMidiDevices();
    EXPECT_EQ(MidiInput().Devices.Count(), 0);
    EXPECT_EQ(MidiOutput().Devices.Count(), 0);
    for (int index : {0, -1}) {
        try {
            MidiInput().Open(index);
            ADD_FAILURE() << "Open(" << index << ") did not raise";
        } catch (const EMidiError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "TMidiInput: Device index out of bounds! (" + std::to_string(index) + ")");
        }
        try {
            MidiOutput().Open(index);
            ADD_FAILURE() << "Open(" << index << ") did not raise";
        } catch (const EMidiError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "TMidiOutput: Device index out of bounds! (" + std::to_string(index) + ")");
        }
    }
    FreeMidiDevices();
}

TEST(NoMidiSystem, ServiceCallsFailWithCodesThatHaveTexts) {
    std::shared_ptr<PortService> service = MakeRtMidiService();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->InGetNumDevs(), 0u);
    EXPECT_EQ(service->OutGetNumDevs(), 0u);
    std::string name;
    MidiHandle handle = nullptr;
    MidiHdr header{};
    auto callback = [](MidiHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {};
    const std::vector<MidiResultCode> codes = {
        service->InGetDevCaps(0, name),
        service->OutGetDevCaps(0, name),
        service->InOpen(&handle, 0, callback, 0),
        service->OutOpen(&handle, 0),
        service->InPrepareHeader(nullptr, &header),
        service->InAddBuffer(reinterpret_cast<MidiHandle>(0x1234), &header),
        service->InStart(nullptr),
        service->InStop(nullptr),
        service->InReset(nullptr),
        service->InUnprepareHeader(nullptr, &header),
        service->InClose(nullptr),
        service->OutShortMsg(nullptr, 0x90),
        service->OutPrepareHeader(nullptr, &header),
        service->OutLongMsg(nullptr, &header),
        service->OutUnprepareHeader(nullptr, &header),
        service->OutClose(nullptr),
    };
    EXPECT_EQ(handle, nullptr);
    for (MidiResultCode code : codes) {
        EXPECT_NE(code, kMidiOk);
        std::string text;
        EXPECT_EQ(service->GetErrorText(code, text), kMidiOk) << "code " << code;
        EXPECT_FALSE(text.empty());
        EXPECT_LE(text.size(), 127u);
    }
    std::string text;
    EXPECT_NE(service->GetErrorText(0xBAD, text), kMidiOk);
}

TEST(NoMidiSystem, VirtualPortsCannotBeOpened) {
    try {
        RtMidiVirtualPorts ports("PS Nowhere", nullptr);
        ADD_FAILURE() << "virtual ports opened without a MIDI system";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), ErrorText(kMidiNoSystem));
    }
}

TEST(NoMidiSystem, CliPortsPrintsNothingAndSynthFails) {
    int status = -1;
    EXPECT_EQ(RunCli({"ports"}, status), "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(RunCli({"synth", "--port-name", "PS Nowhere"}, status), "");
    EXPECT_EQ(status, 1);
    RunCli({"synth", "--model", "no such model at all"}, status);
    EXPECT_EQ(status, 2);
}

struct StripCase {
    const char* listed;
    const char* stripped;
};

TEST(NoMidiSystem, AlsaPortNumbersAreStripped) {
    const StripCase cases[] = {
        {"Midi Through:Midi Through Port-0 14:0", "Midi Through:Midi Through Port-0"},
        {"UM-ONE:UM-ONE MIDI 1 24:0", "UM-ONE:UM-ONE MIDI 1"},
        {"Patchscribe Synth In:midi 128:0", "Patchscribe Synth In:midi"},
        {"Synth 130:12", "Synth"},
        {"a2j:Midi Through [14] (capture): Midi Through Port-0",
         "a2j:Midi Through [14] (capture): Midi Through Port-0"},
        {"Patchscribe Synth In:midi", "Patchscribe Synth In:midi"},
        {"Port 14:", "Port 14:"},
        {"Port :0", "Port :0"},
        {"Port14:0", "Port14:0"},
        {"14:0", "14:0"},
        {"", ""},
    };
    for (const StripCase& c : cases)
        EXPECT_EQ(StripAlsaPortNumbers(c.listed), c.stripped) << c.listed;
}

}  // namespace
