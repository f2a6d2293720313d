// The Midi module against a recording fake service: call sequences, the
// result rule, index errors, the receive-buffer drain and the hex text.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "midi/Midi.h"
#include "tests/midi/FakePortService.h"

namespace {

using Log = std::vector<std::string>;

constexpr MidiResultCode kNoTextCode = 4242;  // a code the fake has no text for

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

class LayerTest : public ::testing::Test {
protected:
    FakePortService fake;
    void SetUp() override {
        fake.inNames = {"In A", "In B"};
        fake.outNames = {"Out A", "Out B"};
    }
};

// ---- index errors --------------------------------------------------------------

TEST(MidiBounds, NoDevicesEveryIndexFailsWithTheClassName) {
    FakePortService none;
    TMidiInput in(none);
    TMidiOutput out(none);
    EXPECT_EQ(in.Devices.Count(), 0);
    EXPECT_EQ(MessageOf([&] { in.Open(0); }), "TMidiInput: Device index out of bounds! (0)");
    EXPECT_EQ(MessageOf([&] { in.Open(-1); }), "TMidiInput: Device index out of bounds! (-1)");
    EXPECT_EQ(MessageOf([&] { out.Open(0); }), "TMidiOutput: Device index out of bounds! (0)");
    EXPECT_EQ(MessageOf([&] { out.Open(-1); }), "TMidiOutput: Device index out of bounds! (-1)");
    EXPECT_EQ(MessageOf([&] { in.Close(0); }), "TMidiInput: Device index out of bounds! (0)");
    EXPECT_TRUE(none.log.empty());
}

TEST_F(LayerTest, SendChecksThroughTheListAndSysExThroughGetHandle) {
    TMidiOutput out(fake);
    EXPECT_THROW(out.Send(2, 0xC0, 0, 0), EListError);
    EXPECT_EQ(MessageOf([&] { out.Send(2, 0xC0, 0, 0); }), "List index out of bounds (2)");
    EXPECT_EQ(MessageOf([&] { out.Send(-1, 0xC0, 0, 0); }), "List index out of bounds (-1)");
    EXPECT_EQ(MessageOf([&] { out.SendSysEx(5, "F0 F7"); }),
              "TMidiOutput: Device index out of bounds! (5)");
    // A refused or empty text never reaches the index check.
    EXPECT_NO_THROW(out.SendSysEx(5, ""));
    EXPECT_NO_THROW(out.SendSysEx(5, "F0,F7"));
    EXPECT_TRUE(fake.log.empty());
}

// ---- creating the sets -----------------------------------------------------------

TEST_F(LayerTest, InputSetHasOneReceiveBufferPerDevice) {
    fake.inNames = {"Synth In", "Synth In", std::string("Cut\0here", 8),
                    "A name longer than thirty-one characters"};
    TMidiInput in(fake);
    ASSERT_EQ(in.Devices.Count(), 4);
    EXPECT_EQ(in.Devices.Strings(0), "Synth In");
    EXPECT_EQ(in.Devices.Strings(1), "Synth In");  // duplicates stay
    EXPECT_EQ(in.Devices.Strings(2), "Cut");
    EXPECT_EQ(in.Devices.Strings(3), "A name longer than thirty-one characters");
    ASSERT_EQ(in.SysExBuffers.size(), 4u);
    for (auto& b : in.SysExBuffers) {
        EXPECT_EQ(b->Header.lpData, b->Buffer->data());
        EXPECT_EQ(b->Header.dwBufferLength, 65536u);
        EXPECT_EQ(b->Header.dwBytesRecorded, 0u);
        EXPECT_EQ(b->Header.dwFlags, 0u);
        EXPECT_EQ(in.Devices.Objects(0), nullptr);
    }
    EXPECT_FALSE(in.OnMidiInput);
    EXPECT_FALSE(in.OnSysExData);
}

TEST_F(LayerTest, FailingEnumerationStoresNoSetAndTheNextCallRetries) {
    auto shared = std::make_shared<FakePortService>();
    shared->inNames = {"In A"};
    shared->outNames = {"Out A"};
    shared->results["InGetDevCaps"] = kMidiError;
    shared->results["OutGetDevCaps"] = kMidiError;
    SetPortService(shared);
    FreeMidiDevices();
    std::string text;
    StandardMidiErrorText(kMidiError, text);
    EXPECT_EQ(MessageOf([] { MidiInput(); }), text);
    EXPECT_EQ(MessageOf([] { MidiOutput(); }), text);
    shared->results.clear();
    TMidiInput& in = MidiInput();
    EXPECT_EQ(in.Devices.Count(), 1);
    EXPECT_EQ(&MidiInput(), &in);
    EXPECT_EQ(MidiOutput().Devices.Strings(0), "Out A");
    FreeMidiDevices();
    SetPortService(nullptr);
}

TEST_F(LayerTest, DestroyingTheInputSetClosesWhatIsStillOpen) {
    {
        TMidiInput in(fake);
        in.Open(1);
        fake.TakeLog();
    }
    EXPECT_EQ(fake.log, (Log{"InStop h1", "InReset h1", "InUnprepareHeader h1", "InClose h1"}));
}

TEST(MidiSets, TheSetsKeepTheirServiceUntilFreed) {
    auto shared = std::make_shared<FakePortService>();
    std::weak_ptr<FakePortService> watch = shared;
    SetPortService(shared);
    FreeMidiDevices();
    MidiInput();
    MidiOutput();
    SetPortService(nullptr);
    shared.reset();
    EXPECT_FALSE(watch.expired());
    FreeMidiDevices();
    EXPECT_TRUE(watch.expired());
}

// ---- opening and closing inputs -----------------------------------------------------

TEST_F(LayerTest, InputOpenSequenceAndSecondOpenDoesNothing) {
    TMidiInput in(fake);
    in.SysExBuffers[1]->Header.dwFlags = 0xFF;
    in.Open(1);
    EXPECT_EQ(fake.log,
              (Log{"InOpen 1 instance 1", "InPrepareHeader h1", "InAddBuffer h1", "InStart h1"}));
    EXPECT_EQ(fake.callback, &MidiInCallbackProc);
    ASSERT_EQ(fake.headers.size(), 2u);
    EXPECT_EQ(fake.headers[0], &in.SysExBuffers[1]->Header);
    EXPECT_EQ(fake.headers[1], &in.SysExBuffers[1]->Header);
    EXPECT_EQ(fake.headerSnapshots[0].dwFlags, 0u);  // flags cleared before the prepare
    EXPECT_NE(in.GetHandle(1), nullptr);
    EXPECT_EQ(in.GetHandle(0), nullptr);
    fake.TakeLog();
    in.Open(1);
    EXPECT_TRUE(fake.log.empty());
}

TEST_F(LayerTest, InputCloseSequenceAndClosingAClosedDeviceDoesNothing) {
    TMidiInput in(fake);
    in.Close(0);
    EXPECT_TRUE(fake.log.empty());
    in.Open(0);
    fake.TakeLog();
    in.Close(0);
    EXPECT_EQ(fake.log, (Log{"InStop h1", "InReset h1", "InUnprepareHeader h1", "InClose h1"}));
    EXPECT_EQ(fake.headers[0], &in.SysExBuffers[0]->Header);
    EXPECT_EQ(in.GetHandle(0), nullptr);
}

// A failing step (with a text) ends the operation; the steps before it stay done.
TEST_F(LayerTest, InputOpenStopsAtTheFailingStep) {
    struct Case {
        const char* op;
        size_t callsMade;
        bool recordedOpen;
    } cases[] = {{"InOpen", 1, false},
                 {"InPrepareHeader", 2, true},
                 {"InAddBuffer", 3, true},
                 {"InStart", 4, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        FakePortService f;
        f.inNames = {"In"};
        f.results[c.op] = kMidiAllocated;
        TMidiInput in(f);
        EXPECT_EQ(MessageOf([&] { in.Open(0); }), f.texts[kMidiAllocated]);
        EXPECT_EQ(in.MidiResult, kMidiAllocated);
        EXPECT_EQ(f.log.size(), c.callsMade);
        EXPECT_EQ(in.GetHandle(0) != nullptr, c.recordedOpen);
    }
}

TEST_F(LayerTest, InputCloseStopsAtTheFailingStepAndKeepsTheHandle) {
    const char* ops[] = {"InStop", "InReset", "InUnprepareHeader", "InClose"};
    for (size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(ops[k]);
        FakePortService f;
        f.inNames = {"In"};
        TMidiInput in(f);
        in.Open(0);
        f.TakeLog();
        f.results[ops[k]] = kMidiStillPlaying;
        EXPECT_EQ(MessageOf([&] { in.Close(0); }), f.texts[kMidiStillPlaying]);
        EXPECT_EQ(f.log.size(), k + 1);
        EXPECT_EQ(f.log.back().substr(0, f.log.back().find(' ')), ops[k]);
        EXPECT_NE(in.GetHandle(0), nullptr);
        f.results.clear();  // the set's destruction closes it
    }
}

// ---- the result rule -----------------------------------------------------------------

TEST_F(LayerTest, ResultRuleRaisesTheTextOrOnlyRecordsTheCode) {
    TMidiOutput out(fake);
    out.SetMidiResult(0);
    EXPECT_EQ(out.MidiResult, 0u);
    fake.texts[77] = std::string(200, 'x');
    EXPECT_EQ(MessageOf([&] { out.SetMidiResult(77); }), std::string(127, 'x'));
    EXPECT_EQ(out.MidiResult, 77u);
    EXPECT_NO_THROW(out.SetMidiResult(kNoTextCode));
    EXPECT_EQ(out.MidiResult, kNoTextCode);
}

TEST_F(LayerTest, FailureWithoutTextLetsTheOperationGoOn) {
    TMidiInput in(fake);
    fake.results["InAddBuffer"] = kNoTextCode;
    EXPECT_NO_THROW(in.Open(0));
    EXPECT_EQ(fake.log,
              (Log{"InOpen 0 instance 0", "InPrepareHeader h1", "InAddBuffer h1", "InStart h1"}));
    EXPECT_EQ(in.MidiResult, 0u);  // the start succeeded after it
    fake.TakeLog();
    fake.results["InReset"] = kNoTextCode;
    EXPECT_NO_THROW(in.Close(0));
    EXPECT_EQ(fake.log.size(), 4u);
    EXPECT_EQ(in.GetHandle(0), nullptr);
}

TEST_F(LayerTest, OpenFailingWithoutTextAndNoHandleLeavesTheDeviceClosed) {
    TMidiInput in(fake);
    TMidiOutput out(fake);
    fake.results["InOpen"] = kNoTextCode;
    fake.results["OutOpen"] = kNoTextCode;
    EXPECT_NO_THROW(in.Open(0));
    EXPECT_EQ(fake.log, (Log{"InOpen 0 instance 0"}));  // nothing prepared on a null handle
    EXPECT_EQ(in.GetHandle(0), nullptr);
    EXPECT_EQ(in.MidiResult, kNoTextCode);
    EXPECT_NO_THROW(out.Open(0));
    EXPECT_EQ(out.GetHandle(0), nullptr);
    fake.results.clear();
    fake.TakeLog();
    in.Open(0);  // still closed, so the next open tries again
    EXPECT_EQ(fake.log.front(), "InOpen 0 instance 0");
    EXPECT_NE(in.GetHandle(0), nullptr);
}

// ---- outputs -----------------------------------------------------------------------------

TEST_F(LayerTest, OutputOpenCloseSequences) {
    TMidiOutput out(fake);
    out.Open(1);
    out.Open(1);
    out.Close(1);
    out.Close(1);
    EXPECT_EQ(fake.log, (Log{"OutOpen 1", "OutClose h1"}));
    fake.TakeLog();
    out.Open(0);
    fake.results["OutClose"] = kMidiError;
    EXPECT_THROW(out.Close(0), EMidiError);
    EXPECT_NE(out.GetHandle(0), nullptr);  // a failed close leaves the handle
}

TEST_F(LayerTest, SendOpensAClosedDeviceAndPacksTheMessage) {
    TMidiOutput out(fake);
    out.Send(0, 0xC0, 5, 0);
    out.Send(0, 0xB0, 32, 1);
    out.Send(0, 0xC9, 0x80, 0xFF);  // nothing is masked
    EXPECT_EQ(fake.log, (Log{"OutOpen 0", "OutShortMsg h1 000005C0", "OutShortMsg h1 000120B0",
                             "OutShortMsg h1 00FF80C9"}));
    fake.TakeLog();
    fake.results["OutShortMsg"] = kMidiError;
    EXPECT_THROW(out.Send(0, 0x90, 60, 100), EMidiError);
    EXPECT_EQ(out.MidiResult, kMidiError);
}

TEST_F(LayerTest, SendSysExStreamPreparesSendsAndUnpreparesWithAZeroedHeader) {
    TMidiOutput out(fake);
    out.Open(0);
    fake.TakeLog();
    TMemoryStream s;
    const uint8_t bytes[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    s.Write(bytes, sizeof bytes);  // position at the end: it does not bound the send
    out.SendSysEx(0, s);
    EXPECT_EQ(fake.log, (Log{"OutPrepareHeader h1", "OutLongMsg h1", "OutUnprepareHeader h1"}));
    EXPECT_EQ(fake.longMessages, (Log{"F0 7E 7F 06 01 F7"}));
    const MidiHdr& h = fake.headerSnapshots[0];
    EXPECT_EQ(h.lpData, s.Memory());
    EXPECT_EQ(h.dwBufferLength, 6u);
    EXPECT_EQ(h.dwFlags, 0u);
    EXPECT_EQ(h.dwBytesRecorded, 0u);
    EXPECT_EQ(fake.headers[0], fake.headers[1]);
    EXPECT_EQ(fake.headers[1], fake.headers[2]);
    EXPECT_EQ(s.Position(), 0u);
}

TEST_F(LayerTest, SendSysExStreamStopsAtTheFailingStep) {
    const char* ops[] = {"OutPrepareHeader", "OutLongMsg", "OutUnprepareHeader"};
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(ops[k]);
        FakePortService f;
        f.outNames = {"Out"};
        TMidiOutput out(f);
        out.Open(0);
        f.TakeLog();
        f.results[ops[k]] = kMidiError;
        TMemoryStream s;
        StrToSysExStream("F0 F7", s);
        EXPECT_THROW(out.SendSysEx(0, s), EMidiError);
        EXPECT_EQ(f.log.size(), k + 1);
    }
}

TEST_F(LayerTest, SendSysExOnAClosedDeviceRaisesTheInvalidHandleErrorAndDoesNotOpen) {
    TMidiOutput out(fake);
    EXPECT_EQ(MessageOf([&] { out.SendSysEx(0, "F0 F7"); }), fake.texts[kMidiInvalidHandle]);
    EXPECT_EQ(fake.log, (Log{"OutPrepareHeader null"}));
}

TEST_F(LayerTest, SendSysExTextChecksThenConvertsTheOriginalText) {
    struct Case {
        const char* text;
        const char* sent;  // nullptr: nothing sent
    } cases[] = {
        {"F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7",
         "F0 41 10 00 00 25 11 1F 00 00 00 00 00 00 0D 45 F7"},
        {"f0 7e 7f 06 01 f7", "F0 7E 7F 06 01 F7"},
        {"F 0 4 1 F 7", "F0 41 F7"},
        {"F0 1 F7", "F0 1F"},
        {"F0 41 F", "F0 41"},
        {"   ", ""},  // blanks only: a long message of 0 bytes
        {"", nullptr},
        {"F0\t41 F7", nullptr},
        {"F0,41,F7", nullptr},
        {"F0-41", nullptr},
        {"0xF0", nullptr},
        {"F0 G1 F7", nullptr},
        {"F0 41\nF7", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FakePortService f;
        f.outNames = {"Out"};
        TMidiOutput out(f);
        out.Open(0);
        f.TakeLog();
        EXPECT_NO_THROW(out.SendSysEx(0, c.text));
        if (c.sent == nullptr) {
            EXPECT_TRUE(f.log.empty());
        } else {
            EXPECT_EQ(f.log,
                      (Log{"OutPrepareHeader h1", "OutLongMsg h1", "OutUnprepareHeader h1"}));
            EXPECT_EQ(f.longMessages, (Log{c.sent}));
        }
    }
}

TEST_F(LayerTest, CloseAllClosesInOrderAndStopsAtAFailure) {
    fake.outNames = {"A", "B", "C"};
    TMidiOutput out(fake);
    out.Open(0);
    out.Open(1);
    out.Open(2);
    fake.TakeLog();
    out.CloseAll();
    EXPECT_EQ(fake.log, (Log{"OutClose h1", "OutClose h2", "OutClose h3"}));
    out.Open(0);
    out.Open(1);
    out.Open(2);
    fake.TakeLog();
    fake.results["OutClose"] = kMidiError;
    EXPECT_THROW(out.CloseAll(), EMidiError);
    EXPECT_EQ(fake.log, (Log{"OutClose h4"}));
}

// ---- draining a returned buffer --------------------------------------------------------

class DrainTest : public LayerTest {
protected:
    std::unique_ptr<TMidiInput> in;
    std::vector<std::vector<uint8_t>> delivered;
    std::vector<size_t> positions;

    void SetUp() override {
        LayerTest::SetUp();
        in = std::make_unique<TMidiInput>(fake);
        in->Open(0);
        fake.TakeLog();
        in->OnSysExData = [this](int32_t device, TMemoryStream& s) {
            EXPECT_EQ(device, 0);
            positions.push_back(s.Position());
            delivered.emplace_back(s.Memory(), s.Memory() + s.Size());
        };
    }
    // The service hands the buffer back holding `bytes`.
    void Return(const std::vector<uint8_t>& bytes, bool done) {
        TSysExData& d = *in->SysExBuffers[0];
        if (!bytes.empty()) std::memcpy(d.Buffer->data(), bytes.data(), bytes.size());
        d.Header.dwBytesRecorded = static_cast<uint32_t>(bytes.size());
        d.Header.dwFlags = done ? kMhdrDone : 0;
        in->DoSysExData(0);
    }
};

TEST_F(DrainTest, DoneBufferIsDeliveredClearedAndQueuedAgain) {
    Return({0xF0, 0x41, 0xF7}, true);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0], (std::vector<uint8_t>{0xF0, 0x41, 0xF7}));
    EXPECT_EQ(positions[0], 0u);
    EXPECT_EQ(fake.log, (Log{"InPrepareHeader h1", "InAddBuffer h1"}));
    EXPECT_EQ(in->SysExBuffers[0]->Header.dwBytesRecorded, 0u);
    EXPECT_EQ(in->SysExBuffers[0]->Stream.Size(), 0u);
    EXPECT_EQ(in->SysExBuffers[0]->Stream.Position(), 0u);
}

TEST_F(DrainTest, EmptyReturnRaisesNothingAndIsNotQueuedAgain) {
    Return({}, true);
    EXPECT_TRUE(delivered.empty());
    EXPECT_TRUE(fake.log.empty());
}

TEST_F(DrainTest, BufferNotMarkedDoneIsHeldForTheNextDoneBuffer) {
    Return({0xF0, 0x01, 0x02}, false);
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(fake.log, (Log{"InPrepareHeader h1", "InAddBuffer h1"}));
    Return({0x03, 0xF7}, true);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0], (std::vector<uint8_t>{0xF0, 0x01, 0x02, 0x03, 0xF7}));
    EXPECT_EQ(positions[0], 0u);
}

TEST_F(DrainTest, WithoutAHandlerTheBufferIsStillDrainedAndQueued) {
    in->OnSysExData = nullptr;
    Return({0xF0, 0x41, 0xF7}, true);
    EXPECT_EQ(in->SysExBuffers[0]->Stream.Size(), 0u);
    EXPECT_EQ(fake.log, (Log{"InPrepareHeader h1", "InAddBuffer h1"}));
}

TEST_F(DrainTest, KeptStreamIsEmptyAfterTheHandler) {
    TMemoryStream* kept = nullptr;
    in->OnSysExData = [&](int32_t, TMemoryStream& s) { kept = &s; };
    Return({0xF0, 0x41, 0xF7}, true);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->Size(), 0u);
}

TEST_F(DrainTest, HandlerErrorIsPassedOnAfterTheBufferIsQueuedAgain) {
    in->OnSysExData = [](int32_t, TMemoryStream&) { throw std::runtime_error("handler failed"); };
    EXPECT_EQ(MessageOf([&] { Return({0xF0, 0x41, 0xF7}, true); }), "handler failed");
    EXPECT_EQ(in->SysExBuffers[0]->Stream.Size(), 0u);
    EXPECT_EQ(fake.log, (Log{"InPrepareHeader h1", "InAddBuffer h1"}));
}

TEST_F(DrainTest, RequeueFailureIsRaisedThroughTheResultRule) {
    fake.results["InAddBuffer"] = kMidiError;
    EXPECT_THROW(Return({0xF0, 0xF7}, true), EMidiError);
    EXPECT_EQ(delivered.size(), 1u);  // delivered before the queueing failed
}

TEST_F(DrainTest, ClosedDeviceGetsNoBufferQueuedAgain) {
    in->OnSysExData = [this](int32_t, TMemoryStream&) { in->Close(0); };
    Return({0xF0, 0xF7}, true);
    EXPECT_EQ(fake.log, (Log{"InStop h1", "InReset h1", "InUnprepareHeader h1", "InClose h1"}));
}

// ---- the input callback ------------------------------------------------------------------

TEST(MidiCallback, DispatchesShortAndLongDataAndIgnoresTheRest) {
    auto fake = std::make_shared<FakePortService>();
    fake->inNames = {"In A", "In B"};
    SetPortService(fake);
    FreeMidiDevices();
    TMidiInput& in = MidiInput();
    in.Open(1);
    fake->TakeLog();
    std::vector<std::string> events;
    in.OnMidiInput = [&](int32_t d, uint8_t s, uint8_t d1, uint8_t d2) {
        events.push_back("data " + std::to_string(d) + " " + std::to_string(s) + " " +
                         std::to_string(d1) + " " + std::to_string(d2));
    };
    in.OnSysExData = [&](int32_t d, TMemoryStream& s) {
        events.push_back("sysex " + std::to_string(d) + " " + std::to_string(s.Size()));
    };
    MidiInCallbackProc(nullptr, kMimData, 1, 0x12647F90u | (0xABull << 24), 99);
    MidiInCallbackProc(nullptr, kMimData, 1, 0x0000F8, 0);  // real-time too
    TSysExData& d = *in.SysExBuffers[1];
    d.Buffer->at(0) = 0xF0;
    d.Buffer->at(1) = 0xF7;
    d.Header.dwBytesRecorded = 2;
    d.Header.dwFlags = kMhdrDone;
    MidiInCallbackProc(nullptr, kMimLongData, 1, 0, 0);
    for (uint32_t m : {kMimOpen, kMimClose, kMimError, kMimLongError, 0u})
        MidiInCallbackProc(nullptr, m, 1, 0x90, 0);
    EXPECT_EQ(events, (Log{"data 1 144 127 100", "data 1 248 0 0", "sysex 1 2"}));
    EXPECT_EQ(fake->log, (Log{"InPrepareHeader h1", "InAddBuffer h1"}));

    // No exception leaves the callback: the sink gets its message.
    std::vector<std::string> errors;
    SetMidiCallbackErrorSink([&](const std::string& m) { errors.push_back(m); });
    in.OnMidiInput = [](int32_t, uint8_t, uint8_t, uint8_t) { throw std::runtime_error("boom"); };
    fake->results["InPrepareHeader"] = kMidiError;
    EXPECT_NO_THROW(MidiInCallbackProc(nullptr, kMimData, 1, 0x90, 0));
    d.Header.dwBytesRecorded = 2;
    d.Header.dwFlags = kMhdrDone;
    EXPECT_NO_THROW(MidiInCallbackProc(nullptr, kMimLongData, 1, 0, 0));
    EXPECT_EQ(errors, (Log{"boom", fake->texts[kMidiError]}));
    in.OnMidiInput = nullptr;
    EXPECT_NO_THROW(MidiInCallbackProc(nullptr, kMimData, 1, 0x90, 0));  // unset: dropped
    SetMidiCallbackErrorSink(nullptr);
    fake->results.clear();
    FreeMidiDevices();
    SetPortService(nullptr);
}

// ---- hex text ------------------------------------------------------------------------------

std::string Hex(const TMemoryStream& s) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < s.Size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", s.Memory()[i]);
        out += b;
    }
    return out;
}

TEST(SysExText, TextToBytesTable) {
    struct Case {
        const char* text;
        const char* bytes;
    } cases[] = {
        {"F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7",
         "F0 41 10 00 00 25 11 1F 00 00 00 00 00 00 0D 45 F7"},
        {"f0 7e 7f 06 01 f7", "F0 7E 7F 06 01 F7"},
        {"F 0 4 1 F 7", "F0 41 F7"},
        {"F0 1 F7", "F0 1F"},
        {"F0 41 F", "F0 41"},
        {"G1", "01"},
        {"F0,41", "F0 04"},  // the comma counts as 0: F0 ,4 1 -> F0 04, the 1 dropped
        {"0xF0", "00 F0"},
        {"F0\t1", "F0 01"},
        {"", ""},
        {"   ", ""},
        {"7", ""},
        {"ff 80 7f", "FF 80 7F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TMemoryStream s;
        StrToSysExStream(c.text, s);
        EXPECT_EQ(Hex(s), c.bytes);
        EXPECT_EQ(s.Position(), 0u);
    }
}

TEST(SysExText, ConversionReplacesWhatTheStreamHeld) {
    TMemoryStream s;
    s.SetSize(100);
    s.SetPosition(50);
    StrToSysExStream("F0 41 F7", s);
    EXPECT_EQ(s.Size(), 3u);
    EXPECT_EQ(s.Position(), 0u);
    EXPECT_EQ(Hex(s), "F0 41 F7");
}

TEST(SysExText, BytesToTextAndBack) {
    TMemoryStream s;
    EXPECT_EQ(SysExStreamToStr(s), "");
    const uint8_t bytes[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    s.Write(bytes, sizeof bytes);
    const std::string text = SysExStreamToStr(s);
    EXPECT_EQ(text, "F0 7E 7F 06 01 F7 ");
    EXPECT_EQ(text.size(), 18u);
    EXPECT_EQ(s.Position(), 0u);
    // Every byte value survives the round trip.
    TMemoryStream all;
    for (int v = 0; v < 256; ++v) {
        const uint8_t b = static_cast<uint8_t>(v);
        all.Write(&b, 1);
    }
    TMemoryStream back;
    StrToSysExStream(SysExStreamToStr(all), back);
    EXPECT_EQ(back.Bytes(), all.Bytes());
}

}  // namespace
