// The MIDI layer on the RtMidi service over a real JACK server (the suite's
// fixture starts one with the dummy driver): the instrument on real virtual
// ports, in this process or as `patchscribe-cli synth`.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/Midi.h"
#include "midi/RtMidiService.h"
#include "midi/RtMidiVirtualPorts.h"
#include "midi/VirtualInstrument.h"
#include "tests/jack/ChildProcess.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const std::string kRequestText = "F0 43 20 7A 01 F7";
const Bytes kRequest = {0xF0, 0x43, 0x20, 0x7A, 0x01, 0xF7};

InstrumentModel TestModel(int blocks) {
    InstrumentModel m;
    m.request = kRequest;
    m.nameStartPos = 9;
    m.nameSize = 10;
    m.catPos = 6;
    m.numSysexBlocks = blocks;
    m.nameSyxBlk = blocks;
    return m;
}

int IndexOf(const TDeviceList& list, const std::string& name) {
    for (int i = 0; i < list.Count(); ++i)
        if (list.Strings(i) == name) return i;
    return -1;
}

std::string ErrorText(MidiResultCode code) {
    std::string text;
    StandardMidiErrorText(code, text);
    return text;
}

// The virtual instrument on a virtual port pair of this process.
struct PortedInstrument {
    PortedInstrument(const std::string& name, InstrumentModel model)
        : instrument(std::make_shared<VirtualInstrument>(std::move(model))) {
        auto inst = instrument;
        ports = std::make_unique<RtMidiVirtualPorts>(
            name, [inst](const uint8_t* data, size_t size) { inst->Receive(data, size); });
        RtMidiVirtualPorts* out = ports.get();
        instrument->SetSender([out](const Bytes& message) {
            try {
                out->Send(message);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "instrument reply refused: " << e.what();
            }
        });
    }
    ~PortedInstrument() {
        instrument->SetSender(nullptr);
        ports.reset();
    }
    std::shared_ptr<VirtualInstrument> instrument;
    std::unique_ptr<RtMidiVirtualPorts> ports;
};

// SysEx deliveries as the handler saw them.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> messages;
    std::vector<int> devices;
    std::vector<size_t> positions;

    void Add(int device, TMemoryStream& stream) {
        {
            std::lock_guard<std::mutex> g(mutex);
            messages.emplace_back(stream.Memory(), stream.Memory() + stream.Size());
            devices.push_back(device);
            positions.push_back(stream.Position());
        }
        changed.notify_all();
    }
    bool WaitFor(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return messages.size() >= n; });
    }
};

// Declared after the state that the handlers use: closes the devices and
// waits for a handler still running, before that state goes.
struct EndOfTest {
    EndOfTest() = default;
    EndOfTest(const EndOfTest&) = delete;
    EndOfTest& operator=(const EndOfTest&) = delete;
    ~EndOfTest() {
        try {
            MidiInput().CloseAll();
            MidiOutput().CloseAll();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "closing: " << e.what();
        }
        FreeMidiDevices();
    }
};

class JackPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DetectMidiSystem(), "jack") << "the suite's JACK server is not running";
        FreeMidiDevices();
        SetMidiCallbackErrorSink([this](const std::string& message) {
            std::lock_guard<std::mutex> g(errorsMutex_);
            callbackErrors_.push_back(message);
        });
    }
    void TearDown() override {
        FreeMidiDevices();
        SetMidiCallbackErrorSink(nullptr);
    }
    std::vector<std::string> CallbackErrors() {
        std::lock_guard<std::mutex> g(errorsMutex_);
        return callbackErrors_;
    }
    // Opens the layer's devices on the instrument's ports.  The sets must have
    // been made (by their first use) after the instrument's ports appeared.
    void OpenOn(const std::string& sendTo, const std::string& receiveFrom, int& in, int& out) {
        in = IndexOf(MidiInput().Devices, receiveFrom);
        out = IndexOf(MidiOutput().Devices, sendTo);
        ASSERT_GE(in, 0) << receiveFrom << " is not in the input list";
        ASSERT_GE(out, 0) << sendTo << " is not in the output list";
        MidiInput().Open(in);
        MidiOutput().Open(out);
    }

private:
    std::mutex errorsMutex_;
    std::vector<std::string> callbackErrors_;
};

// Starts `patchscribe-cli synth` and reads the two names it prints.
struct CliSynth {
    explicit CliSynth(std::vector<std::string> args) {
        args.insert(args.begin(), {CliPath(), "synth"});
        process = std::make_unique<ChildProcess>(args);
        std::string line;
        if (process->ReadLine(line, 20s) && line.rfind("send-to\t", 0) == 0)
            sendTo = line.substr(8);
        if (process->ReadLine(line, 20s) && line.rfind("receive-from\t", 0) == 0)
            receiveFrom = line.substr(13);
    }
    int Stop() { return process->Stop(SIGTERM, 10s); }
    std::unique_ptr<ChildProcess> process;
    std::string sendTo;
    std::string receiveFrom;
};

TEST_F(JackPortsTest, CliSynthPortsKeepTheirNamesAcrossRestarts) {
    std::vector<std::string> printed;
    for (int start = 0; start < 2; ++start) {
        CliSynth synth({"--port-name", "PS Restart"});
        EXPECT_EQ(synth.sendTo, "PS Restart In:midi");
        EXPECT_EQ(synth.receiveFrom, "PS Restart Out:midi");
        printed.push_back(synth.sendTo + "|" + synth.receiveFrom);

        FreeMidiDevices();
        const int in = IndexOf(MidiInput().Devices, synth.receiveFrom);
        const int out = IndexOf(MidiOutput().Devices, synth.sendTo);
        EXPECT_GE(in, 0);
        EXPECT_GE(out, 0);
        // `ports` in another process lists them the same way.
        int status = -1;
        const std::string lines = RunCli({"ports"}, status);
        EXPECT_EQ(status, 0);
        EXPECT_NE(lines.find("in\t" + std::to_string(in) + "\t" + synth.receiveFrom + "\n"),
                  std::string::npos)
            << lines;
        EXPECT_NE(lines.find("out\t" + std::to_string(out) + "\t" + synth.sendTo + "\n"),
                  std::string::npos)
            << lines;

        EXPECT_EQ(synth.Stop(), 0);
        FreeMidiDevices();
        EXPECT_EQ(IndexOf(MidiInput().Devices, "PS Restart Out:midi"), -1);
        EXPECT_EQ(IndexOf(MidiOutput().Devices, "PS Restart In:midi"), -1);
    }
    EXPECT_EQ(printed[0], printed[1]);
}

TEST_F(JackPortsTest, OwnConnectionPortsAreLeftOutOfTheLists) {
    PortedInstrument synth("PS Own", TestModel(1));
    int in = -1, out = -1;
    OpenOn(synth.ports->SendToName(), synth.ports->ReceiveFromName(), in, out);

    // Another process, and this one listing afresh, see the instrument but not
    // the ports through which this process is connected to it.
    int status = -1;
    const std::string lines = RunCli({"ports"}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines.find("patchscribe-"), std::string::npos) << lines;
    EXPECT_NE(lines.find("PS Own In:midi"), std::string::npos) << lines;
    PortService& service = CurrentPortService();
    for (uint32_t d = 0, n = service.InGetNumDevs(); d < n; ++d) {
        std::string name;
        ASSERT_EQ(service.InGetDevCaps(d, name), kMidiOk);
        EXPECT_EQ(name.rfind("patchscribe-", 0), std::string::npos) << name;
    }
    for (uint32_t d = 0, n = service.OutGetNumDevs(); d < n; ++d) {
        std::string name;
        ASSERT_EQ(service.OutGetDevCaps(d, name), kMidiOk);
        EXPECT_EQ(name.rfind("patchscribe-", 0), std::string::npos) << name;
    }
}

TEST_F(JackPortsTest, RequestGoesOutAndTheReplyReturnsThroughTheReceiveBuffer) {
    PortedInstrument synth("PS Cycle", TestModel(2));
    std::atomic<int> shortMessages{0};
    Deliveries got;
    const EndOfTest end;
    MidiInput().OnSysExData = [&](int device, TMemoryStream& s) { got.Add(device, s); };
    MidiInput().OnMidiInput = [&](int, uint8_t, uint8_t, uint8_t) { ++shortMessages; };
    int in = -1, out = -1;
    OpenOn(synth.ports->SendToName(), synth.ports->ReceiveFromName(), in, out);

    MidiOutput().Send(out, 0xC0, 5, 0);
    MidiOutput().SendSysEx(out, kRequestText);
    ASSERT_TRUE(got.WaitFor(2, 10s))
        << "the instrument received " << synth.instrument->Received().size() << " messages";
    const std::vector<Bytes> expected = synth.instrument->ReplyFor(5);
    ASSERT_EQ(expected.size(), 2u);
    std::lock_guard<std::mutex> g(got.mutex);
    EXPECT_EQ(got.messages, expected);
    EXPECT_EQ(got.devices, (std::vector<int>{in, in}));
    EXPECT_EQ(got.positions, (std::vector<size_t>{0, 0}));
    // The instrument saw the Program Change and the request, byte for byte.
    const std::vector<Bytes> received = synth.instrument->Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], (Bytes{0xC0, 5}));
    EXPECT_EQ(received[1], kRequest);
    EXPECT_EQ(synth.instrument->CurrentProgram(), 5);
    EXPECT_EQ(shortMessages.load(), 0);
    EXPECT_TRUE(CallbackErrors().empty());
}

TEST_F(JackPortsTest, CliSynthAnswersWithTheModelOfTheSettingsFile) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ps-jack-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string ini = (dir / "synth.INI").string();
    const std::string names = (dir / "names.txt").string();
    {
        std::ofstream f(ini, std::ios::binary);
        f << "[Synths]\r\nTotal=2\r\n"
             "[Synths0]\r\nName=Other Model\r\n"
             "[Synths1]\r\nName=Jack Test Model\r\nRequestBytes=F0 43 20 7A 01 F7\r\n"
             "NameStartPos=9\r\nNameSize=10\r\nCatPos=6\r\nNumSysexBlocks=2\r\n"
             "NameSyxBlk=2\r\n";
        std::ofstream n(names, std::ios::binary);
        n << "Alpha\r\nBeta Pad\nGamma\n";
    }
    CliSynth synth(
        {"--ini", ini, "--model", "jack test MODEL", "--names", names, "--port-name", "PS Cli"});
    ASSERT_EQ(synth.sendTo, "PS Cli In:midi");
    Deliveries got;
    const EndOfTest end;
    MidiInput().OnSysExData = [&](int device, TMemoryStream& s) { got.Add(device, s); };
    int in = -1, out = -1;
    OpenOn(synth.sendTo, synth.receiveFrom, in, out);

    MidiOutput().Send(out, 0xC0, 1, 0);
    MidiOutput().SendSysEx(out, kRequestText);
    ASSERT_TRUE(got.WaitFor(2, 10s));
    InstrumentModel model = TestModel(2);
    model.names = {"Alpha", "Beta Pad", "Gamma"};
    const std::vector<Bytes> expected = VirtualInstrument(model).ReplyFor(1);
    {
        std::lock_guard<std::mutex> g(got.mutex);
        EXPECT_EQ(got.messages, expected);
        ASSERT_EQ(got.messages.size(), 2u);
        ASSERT_GE(got.messages[1].size(), 19u);
        EXPECT_EQ(std::string(got.messages[1].begin() + 9, got.messages[1].begin() + 19),
                  "Beta Pad  ");
    }
    EXPECT_EQ(synth.Stop(), 0);
    std::filesystem::remove_all(dir);
}

TEST_F(JackPortsTest, CliSynthReplaysARecordedDumpWithTheDefaultModel) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ps-replay-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string syx = (dir / "dump.syx").string();
    const Bytes first = {0xF0, 0x41, 0x01, 0xF7};
    const Bytes second = {0xF0, 0x41, 0x02, 0x02, 0xF7};
    {
        std::ofstream f(syx, std::ios::binary);
        for (const Bytes* m : {&first, &second})
            f.write(reinterpret_cast<const char*>(m->data()),
                    static_cast<std::streamsize>(m->size()));
    }
    // No settings file: the default model (one block per request).
    CliSynth synth(
        {"--ini", (dir / "none.INI").string(), "--replay", syx, "--port-name", "PS Replay"});
    ASSERT_EQ(synth.sendTo, "PS Replay In:midi");
    Deliveries got;
    const EndOfTest end;
    MidiInput().OnSysExData = [&](int device, TMemoryStream& s) { got.Add(device, s); };
    int in = -1, out = -1;
    OpenOn(synth.sendTo, synth.receiveFrom, in, out);
    const std::string request = "F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7";
    MidiOutput().SendSysEx(out, request);
    ASSERT_TRUE(got.WaitFor(1, 10s));
    MidiOutput().SendSysEx(out, request);
    ASSERT_TRUE(got.WaitFor(2, 10s));
    {
        std::lock_guard<std::mutex> g(got.mutex);
        EXPECT_EQ(got.messages, (std::vector<Bytes>{first, second}));
    }
    EXPECT_EQ(synth.Stop(), 0);
    std::filesystem::remove_all(dir);
}

// 1,000 request/reply rounds of three blocks each; every tenth round the
// handler sends the next request and then sleeps 240 ms on the callback
// thread, so the reply arrives while no receive buffer is queued.
TEST_F(JackPortsTest, ThousandRoundsWithSleepingHandlerLoseAndReorderNothing) {
    constexpr int kRounds = 1000;
    constexpr int kBlocks = 3;
    PortedInstrument synth("PS Thousand", TestModel(kBlocks));
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<Bytes> got;
    bool done = false;
    std::atomic<int> sendErrors{0};
    int in = -1, out = -1;
    auto request = [&](int round) {
        try {
            MidiOutput().Send(out, 0xC0, static_cast<uint8_t>(round % 128), 0);
            MidiOutput().SendSysEx(out, kRequestText);
        } catch (const std::exception&) {
            ++sendErrors;
        }
    };
    const EndOfTest end;
    MidiInput().OnSysExData = [&](int, TMemoryStream& s) {
        size_t n = 0;
        {
            std::lock_guard<std::mutex> g(mutex);
            got.emplace_back(s.Memory(), s.Memory() + s.Size());
            n = got.size();
        }
        if (n % kBlocks != 0) return;
        const int next = static_cast<int>(n / kBlocks);
        if (next == kRounds) {
            std::lock_guard<std::mutex> g(mutex);
            done = true;
            finished.notify_all();
            return;
        }
        request(next);
        if (next % 10 == 0) std::this_thread::sleep_for(240ms);
    };
    OpenOn(synth.ports->SendToName(), synth.ports->ReceiveFromName(), in, out);
    request(0);
    {
        // Fails when nothing arrives for 20 s: a lost reply stalls the chain.
        std::unique_lock<std::mutex> lock(mutex);
        size_t seen = 0;
        while (!done) {
            seen = got.size();
            if (!finished.wait_for(lock, 20s, [&] { return done || got.size() != seen; })) break;
        }
        ASSERT_TRUE(done) << "stalled after " << got.size() << " blocks; the instrument saw "
                          << synth.instrument->RequestsSeen() << " requests in "
                          << synth.instrument->Received().size() << " messages";
    }
    EXPECT_EQ(sendErrors.load(), 0);
    std::vector<std::vector<Bytes>> replies(128);
    for (int p = 0; p < 128; ++p) replies[p] = synth.instrument->ReplyFor(p);
    std::lock_guard<std::mutex> g(mutex);
    ASSERT_EQ(got.size(), static_cast<size_t>(kRounds * kBlocks));
    int wrong = 0;
    for (int r = 0; r < kRounds; ++r)
        for (int b = 0; b < kBlocks; ++b)
            if (got[r * kBlocks + b] != replies[r % 128][b] && wrong++ < 5)
                ADD_FAILURE() << "round " << r << " block " << b << " differs";
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(synth.instrument->RequestsSeen(), kRounds);
    EXPECT_TRUE(CallbackErrors().empty());
}

// The closing thread holds a lock that the handler waits for, as the window's
// shutdown does: Close must return anyway, and no handler may begin after it.
TEST_F(JackPortsTest, CloseWhileRepliesFlowReturnsPromptly) {
    PortedInstrument synth("PS Close", TestModel(1));
    std::mutex lock;  // the window's lock
    std::atomic<int> entered{0};
    std::atomic<int> passed{0};
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    int in = -1, out = -1;
    const EndOfTest end;
    MidiInput().OnSysExData = [&](int, TMemoryStream&) {
        if (closed) ++late;
        ++entered;
        std::lock_guard<std::mutex> g(lock);
        ++passed;
        if (closed) return;
        try {
            MidiOutput().Send(out, 0xC0, static_cast<uint8_t>(passed % 128), 0);
            MidiOutput().SendSysEx(out, kRequestText);
        } catch (const std::exception&) {
        }
    };
    OpenOn(synth.ports->SendToName(), synth.ports->ReceiveFromName(), in, out);
    MidiOutput().SendSysEx(out, kRequestText);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (passed < 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_GE(passed.load(), 20) << "replies do not flow";

    std::promise<void> closeDone;
    std::thread closer([&] {
        std::lock_guard<std::mutex> g(lock);
        // Wait (bounded) until a handler is blocked on the lock we hold.
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (entered == passed && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(1ms);
        MidiInput().Close(in);
        closed = true;
        closeDone.set_value();
    });
    if (closeDone.get_future().wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "Close did not return within 10 s";
        std::fflush(nullptr);
        _exit(1);  // the closing thread is stuck; nothing can be cleaned up
    }
    closer.join();
    EXPECT_EQ(MidiInput().GetHandle(in), nullptr);
    std::this_thread::sleep_for(300ms);  // room for a late handler to show itself
    EXPECT_EQ(late.load(), 0);
    MidiOutput().Close(out);
}

TEST_F(JackPortsTest, LongMessagesPassUpToTheLimitAndLongerOnesAreRefused) {
    PortedInstrument synth("PS Long", TestModel(1));
    Deliveries got;
    const EndOfTest end;
    MidiInput().OnSysExData = [&](int device, TMemoryStream& s) { got.Add(device, s); };
    int in = -1, out = -1;
    OpenOn(synth.ports->SendToName(), synth.ports->ReceiveFromName(), in, out);

    // The longest message RtMidi's JACK output passes on (16384-byte ring, one
    // byte kept free, a 4-byte length per message) goes out whole ...
    auto sysex = [](size_t n) {
        TMemoryStream s;
        Bytes b(n, 0x55);
        b.front() = 0xF0;
        b.back() = 0xF7;
        s.Write(b.data(), b.size());
        return s;
    };
    TMemoryStream longest = sysex(16379);
    MidiOutput().SendSysEx(out, longest);
    // ... and one byte more is refused, not lost without a word.
    TMemoryStream tooLong = sysex(16380);
    try {
        MidiOutput().SendSysEx(out, tooLong);
        ADD_FAILURE() << "a 16380-byte message was accepted";
    } catch (const EMidiError& e) {
        EXPECT_EQ(std::string(e.what()), ErrorText(kMidiTooLong));
    }
    TMemoryStream far = sysex(65536);
    EXPECT_THROW(MidiOutput().SendSysEx(out, far), EMidiError);

    // A long reply comes back in one receive buffer.
    synth.instrument->SetBlockLength(16000);
    MidiOutput().SendSysEx(out, kRequestText);
    ASSERT_TRUE(got.WaitFor(1, 10s));
    {
        std::lock_guard<std::mutex> g(got.mutex);
        ASSERT_EQ(got.messages[0].size(), 16000u);
        EXPECT_EQ(got.messages[0].front(), 0xF0);
        EXPECT_EQ(got.messages[0].back(), 0xF7);
    }
    const std::vector<Bytes> received = synth.instrument->Received();
    ASSERT_GE(received.size(), 1u);
    EXPECT_EQ(received[0].size(), 16379u);
    EXPECT_EQ(received[0], longest.Bytes());
}

}  // namespace
