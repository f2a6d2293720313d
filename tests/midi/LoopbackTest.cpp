// The Midi module over the loopback service: the receive-buffer cycle with
// real threads, closing while replies flow, and a virtual instrument
// answering a patch-name request end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto kPatience = std::chrono::seconds(10);  // "does not hang" limit

const char* kRequestText = "F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7";

Bytes RequestBytes() {
    TMemoryStream s;
    StrToSysExStream(kRequestText, s);
    return s.Bytes();
}

Bytes SysExOfLength(size_t n) {
    Bytes m(n, 0);
    m.front() = 0xF0;
    for (size_t i = 1; i + 1 < n; ++i) m[i] = static_cast<uint8_t>(i % 128);
    m.back() = 0xF7;
    return m;
}

// Collects what the input set delivers, for waiting on from the test thread.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> sysex;
    std::vector<size_t> positions;
    std::vector<Bytes> shortMessages;
    std::vector<TMemoryStream*> streams;

    void Attach(TMidiInput& in, bool sysexHandler = true, bool dataHandler = true) {
        if (sysexHandler)
            in.OnSysExData = [this](int32_t, TMemoryStream& s) {
                std::lock_guard<std::mutex> g(mutex);
                positions.push_back(s.Position());
                sysex.emplace_back(s.Memory(), s.Memory() + s.Size());
                streams.push_back(&s);
                changed.notify_all();
            };
        if (dataHandler)
            in.OnMidiInput = [this](int32_t, uint8_t st, uint8_t d1, uint8_t d2) {
                std::lock_guard<std::mutex> g(mutex);
                shortMessages.push_back({st, d1, d2});
                changed.notify_all();
            };
    }
    bool WaitSysEx(size_t n) {
        std::unique_lock<std::mutex> lk(mutex);
        return changed.wait_for(lk, kPatience, [&] { return sysex.size() >= n; });
    }
    bool WaitShort(size_t n) {
        std::unique_lock<std::mutex> lk(mutex);
        return changed.wait_for(lk, kPatience, [&] { return shortMessages.size() >= n; });
    }
};

class LoopbackTest : public ::testing::Test {
protected:
    std::shared_ptr<LoopbackService> service = std::make_shared<LoopbackService>();
    std::shared_ptr<VirtualInstrument> instrument;
    Inbox inbox;

    void SetUp() override {
        InstrumentModel model;
        model.request = RequestBytes();
        instrument = std::make_shared<VirtualInstrument>(model);
        service->AddDevicePair("Loopback Synth", instrument);
        service->AddDevicePair("Empty Port", nullptr);
        SetPortService(service);
        FreeMidiDevices();
    }
    void TearDown() override {
        StopService();
        FreeMidiDevices();
        SetMidiCallbackErrorSink(nullptr);
    }
    // Closes the ports and ends the service, which joins its dispatcher
    // threads: a handler still finishing after a Close has returned is done
    // once this returns.  The service goes before the sets are freed.
    void StopService() {
        if (!service) return;
        MidiOutput().CloseAll();
        MidiInput().CloseAll();
        FreeMidiDevices();  // the sets hold the service too
        SetPortService(nullptr);
        service.reset();
    }
    // Declared after a test's locals that its handlers use: stops the
    // service before they go, however the test leaves.
    struct StopGuard {
        LoopbackTest* test;
        ~StopGuard() { test->StopService(); }
    };
};

TEST_F(LoopbackTest, DeviceListsArePairs) {
    EXPECT_EQ(MidiInput().Devices.Names(),
              (std::vector<std::string>{"Loopback Synth", "Empty Port"}));
    EXPECT_EQ(MidiOutput().Devices.Names(),
              (std::vector<std::string>{"Loopback Synth", "Empty Port"}));
}

TEST_F(LoopbackTest, MessageOfExactlyOneBufferGivesOneEvent) {
    inbox.Attach(MidiInput());
    MidiInput().Open(1);
    const Bytes m = SysExOfLength(65536);
    service->Inject(1, m);
    service->Inject(1, {0x90, 60, 100});  // behind it, in order
    ASSERT_TRUE(inbox.WaitShort(1));
    std::lock_guard<std::mutex> g(inbox.mutex);
    ASSERT_EQ(inbox.sysex.size(), 1u);
    EXPECT_EQ(inbox.sysex[0], m);
    EXPECT_EQ(inbox.positions[0], 0u);
    EXPECT_EQ(inbox.streams[0]->Size(), 0u);  // emptied after the handler
    EXPECT_EQ(inbox.shortMessages[0], (Bytes{0x90, 60, 100}));
}

TEST_F(LoopbackTest, LongerMessageComesAsOneEventPerFullBuffer) {
    inbox.Attach(MidiInput());
    MidiInput().Open(1);
    const Bytes m = SysExOfLength(65537);
    service->Inject(1, m);
    service->Inject(1, {0xF0, 0x01, 0xF7});
    ASSERT_TRUE(inbox.WaitSysEx(3));
    std::lock_guard<std::mutex> g(inbox.mutex);
    ASSERT_EQ(inbox.sysex.size(), 3u);
    EXPECT_EQ(inbox.sysex[0], Bytes(m.begin(), m.begin() + 65536));
    EXPECT_EQ(inbox.sysex[1], Bytes{0xF7});
    EXPECT_EQ(inbox.sysex[2], (Bytes{0xF0, 0x01, 0xF7}));
}

TEST_F(LoopbackTest, EmptyReturnIsNotQueuedAgainAndMessagesWaitForABuffer) {
    inbox.Attach(MidiInput());
    MidiInput().Open(1);
    MidiHandle h = MidiInput().GetHandle(1);
    MidiHdr& header = MidiInput().SysExBuffers[1]->Header;
    ASSERT_EQ(service->InReset(h), kMidiOk);  // hands the buffer back with 0 bytes
    ASSERT_EQ(service->InStart(h), kMidiOk);
    service->Inject(1, {0x80, 60, 0});  // delivered after the returned buffer
    ASSERT_TRUE(inbox.WaitShort(1));
    {
        std::lock_guard<std::mutex> g(inbox.mutex);
        EXPECT_TRUE(inbox.sysex.empty());
        EXPECT_EQ(header.dwFlags & kMhdrInQueue, 0u);  // the layer kept it
        EXPECT_NE(header.dwFlags & kMhdrDone, 0u);
    }
    // With no buffer queued, SysEx waits in the device's queue, and so does
    // what arrives behind it.
    service->Inject(1, {0xF0, 0x11, 0xF7});
    service->Inject(1, {0xF0, 0x22, 0xF7});
    service->Inject(1, {0x90, 61, 1});
    ASSERT_EQ(service->InAddBuffer(h, &header), kMidiOk);
    ASSERT_TRUE(inbox.WaitShort(2));
    std::lock_guard<std::mutex> g(inbox.mutex);
    EXPECT_EQ(inbox.sysex, (std::vector<Bytes>{{0xF0, 0x11, 0xF7}, {0xF0, 0x22, 0xF7}}));
}

TEST_F(LoopbackTest, UnsetEventsStillDrainAndRequeue) {
    // No SysEx handler: the buffer still cycles, so the short message behind
    // two SysEx messages arrives.
    inbox.Attach(MidiInput(), /*sysexHandler=*/false);
    MidiInput().Open(1);
    service->Inject(1, {0xF0, 0x01, 0xF7});
    service->Inject(1, {0xF0, 0x02, 0xF7});
    service->Inject(1, {0xB0, 7, 100});
    ASSERT_TRUE(inbox.WaitShort(1));
    EXPECT_EQ(MidiInput().SysExBuffers[1]->Stream.Size(), 0u);
    MidiInput().Close(1);
    // No short-message handler: short messages are dropped, SysEx still comes.
    MidiInput().OnMidiInput = nullptr;
    inbox.Attach(MidiInput(), true, false);
    MidiInput().Open(1);
    service->Inject(1, {0x90, 60, 100});
    service->Inject(1, {0xF0, 0x03, 0xF7});
    ASSERT_TRUE(inbox.WaitSysEx(1));
    std::lock_guard<std::mutex> g(inbox.mutex);
    EXPECT_EQ(inbox.shortMessages.size(), 1u);
}

TEST_F(LoopbackTest, ClosingAnIdleDeviceRaisesNoEventAndReopenWorks) {
    inbox.Attach(MidiInput());
    MidiOutput().Open(0);
    for (int round = 0; round < 3; ++round) {
        MidiInput().Open(0);
        MidiOutput().SendSysEx(0, kRequestText);
        ASSERT_TRUE(inbox.WaitSysEx(static_cast<size_t>(round) + 1));
        MidiInput().Close(0);
        EXPECT_EQ(MidiInput().GetHandle(0), nullptr);
    }
    std::lock_guard<std::mutex> g(inbox.mutex);
    EXPECT_EQ(inbox.sysex.size(), 3u);
}

TEST_F(LoopbackTest, InstrumentAnswersTheDefaultRequestEndToEnd) {
    inbox.Attach(MidiInput());
    MidiInput().Open(0);
    MidiOutput().Send(0, 0xB0, 0, 0x57);
    MidiOutput().Send(0, 0xB0, 32, 0);
    MidiOutput().Send(0, 0xC0, 5, 0);
    MidiOutput().SendSysEx(0, kRequestText);
    ASSERT_TRUE(inbox.WaitSysEx(1));
    std::string expected = DemoPatchNames()[5];
    expected.resize(12, ' ');
    {
        std::lock_guard<std::mutex> g(inbox.mutex);
        const Bytes& reply = inbox.sysex[0];
        ASSERT_GE(reply.size(), 24u);
        EXPECT_EQ(reply.front(), 0xF0);
        EXPECT_EQ(reply.back(), 0xF7);
        EXPECT_EQ(std::string(reply.begin() + 11, reply.begin() + 23), expected);
    }
    const auto received = instrument->Received();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0], (Bytes{0xB0, 0x00, 0x57}));
    EXPECT_EQ(received[1], (Bytes{0xB0, 0x20, 0x00}));
    EXPECT_EQ(received[2], (Bytes{0xC0, 0x05}));
    EXPECT_EQ(received[3], RequestBytes());
    EXPECT_EQ(instrument->CurrentProgram(), 5);
}

TEST_F(LoopbackTest, ServiceErrorsHaveTexts) {
    // A closed output: the invalid-handle text through the result rule.
    EXPECT_THROW(MidiOutput().SendSysEx(0, kRequestText), EMidiError);
    service->FailNext("InStart", kMidiSystemRefused);
    std::string text;
    ASSERT_TRUE(StandardMidiErrorText(kMidiSystemRefused, text));
    try {
        MidiInput().Open(0);
        FAIL() << "no exception";
    } catch (const EMidiError& e) {
        EXPECT_EQ(e.what(), text);
    }
    EXPECT_NE(MidiInput().GetHandle(0), nullptr);  // recorded as open
    service->FailNext("InStart", kMidiOk);
    for (MidiResultCode c : {kMidiBadDevice, kMidiAllocated, kMidiInvalidHandle, kMidiInvalidParam,
                             kMidiUnprepared, kMidiStillPlaying})
        EXPECT_EQ(service->GetErrorText(c, text), kMidiOk) << c;
    MidiHandle h = nullptr;
    EXPECT_EQ(service->InOpen(&h, 0, &MidiInCallbackProc, 0), kMidiAllocated);
    EXPECT_EQ(service->InOpen(&h, 7, &MidiInCallbackProc, 0), kMidiBadDevice);
}

// The run's pattern: every reply's handler sends the next request from the
// callback thread, under a lock that the closing thread holds while it
// closes.  Close must return while a handler waits for that lock, and no
// callback may begin once it has returned.
TEST_F(LoopbackTest, CloseWhileAHandlerWaitsForTheClosersLock) {
    std::mutex lock;  // the window's `lock`
    std::atomic<int> begun{0};
    std::atomic<bool> closeReturned{false};
    std::atomic<int> begunAfterClose{0};
    std::atomic<int> begunAtClose{0};
    StopGuard stop{this};
    std::atomic<int> beforeLock{0};  // handlers begun that have not got `lock` yet
    MidiInput().OnSysExData = [&](int32_t, TMemoryStream&) {
        if (closeReturned.load()) ++begunAfterClose;
        ++beforeLock;
        ++begun;
        std::lock_guard<std::mutex> g(lock);
        --beforeLock;
        MidiOutput().SendSysEx(0, kRequestText);
    };
    instrument->SetAnswerTwice(true);  // the flow grows: always something to deliver
    MidiOutput().Open(0);
    MidiInput().Open(0);
    MidiOutput().SendSysEx(0, kRequestText);

    auto closer = std::async(std::launch::async, [&] {
        std::lock_guard<std::mutex> g(lock);
        // Wait until a handler has begun and waits for `lock` (it may have
        // begun before this thread took it).
        const auto giveUp = std::chrono::steady_clock::now() + kPatience / 2;
        while (beforeLock.load() == 0 && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_GT(beforeLock.load(), 0) << "no handler came to wait for the lock";
        MidiInput().Close(0);
        begunAtClose = begun.load();
        closeReturned = true;
    });
    if (closer.wait_for(kPatience) != std::future_status::ready) {
        ADD_FAILURE() << "Close did not return";
        std::_Exit(1);
    }
    closer.get();
    EXPECT_GE(begunAtClose.load(), 1);
    EXPECT_EQ(MidiInput().GetHandle(0), nullptr);
    // Whatever still arrives for the closed device goes nowhere.
    for (int i = 0; i < 20; ++i) {
        service->Inject(0, {0xF0, 0x7F, 0xF7});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(begun.load(), begunAtClose.load());
    EXPECT_EQ(begunAfterClose.load(), 0);
}

// Closing at any moment of the flow: the close succeeds, and the handler's
// buffer cycle reports no error for the device that went away under it.
TEST_F(LoopbackTest, RepeatedCloseWhileRepliesFlowReportsNoErrors) {
    std::vector<std::string> errors;
    std::mutex errorsMutex;
    SetMidiCallbackErrorSink([&](const std::string& m) {
        std::lock_guard<std::mutex> g(errorsMutex);
        errors.push_back(m);
    });
    std::atomic<int> begun{0};
    StopGuard stop{this};
    MidiInput().OnSysExData = [&](int32_t, TMemoryStream&) { ++begun; };
    instrument->SetAnswerTwice(true);
    MidiOutput().Open(0);
    for (int round = 0; round < 30; ++round) {
        MidiInput().Open(0);
        const int before = begun.load();
        for (int i = 0; i < 64; ++i) MidiOutput().SendSysEx(0, kRequestText);
        for (int i = 0; i < 10000 && begun.load() < before + round % 7 + 1; ++i)
            std::this_thread::yield();
        ASSERT_NO_THROW(MidiInput().Close(0));
        ASSERT_EQ(MidiInput().GetHandle(0), nullptr);
    }
    StopService();
    std::lock_guard<std::mutex> g(errorsMutex);
    EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST_F(LoopbackTest, ReopenAfterACloseFromInsideTheHandler) {
    std::atomic<bool> closeInHandler{true};
    std::atomic<int> events{0};
    StopGuard stop{this};
    MidiInput().OnSysExData = [&](int32_t, TMemoryStream&) {
        ++events;
        if (closeInHandler.exchange(false)) MidiInput().Close(0);  // on the callback thread
    };
    MidiOutput().Open(0);
    MidiInput().Open(0);
    MidiOutput().SendSysEx(0, kRequestText);
    for (int i = 0; i < 2000 && MidiInput().GetHandle(0) != nullptr; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(MidiInput().GetHandle(0), nullptr);
    EXPECT_EQ(events.load(), 1);
    MidiInput().Open(0);
    MidiOutput().SendSysEx(0, kRequestText);
    for (int i = 0; i < 2000 && events.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(events.load(), 2);
}

}  // namespace
