// The virtual instrument on its own: reply blocks, replay, fault switches,
// .syx splitting and the demo names.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>

#include "midi/VirtualInstrument.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kRequest = {0xF0, 0x41, 0x10, 0x00, 0x00, 0x25, 0x11, 0x1F, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x45, 0xF7};

// Collects what the instrument sends.
struct Catcher {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> got;
    void Attach(VirtualInstrument& vi) {
        vi.SetSender([this](const Bytes& m) {
            std::lock_guard<std::mutex> g(mutex);
            got.push_back(m);
            changed.notify_all();
        });
    }
    std::vector<Bytes> WaitFor(size_t n) {
        std::unique_lock<std::mutex> lk(mutex);
        changed.wait_for(lk, std::chrono::seconds(10), [&] { return got.size() >= n; });
        return got;
    }
};

void Send(VirtualInstrument& vi, const Bytes& m) {
    vi.Receive(m.data(), m.size());
}

void ExpectWellFormed(const Bytes& block) {
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ(block.front(), 0xF0);
    EXPECT_EQ(block.back(), 0xF7);
    for (size_t i = 1; i + 1 < block.size(); ++i) EXPECT_LT(block[i], 0x80) << "byte " << i;
}

std::string Field(const Bytes& block, size_t pos, size_t size) {
    return std::string(block.begin() + static_cast<long>(pos),
                       block.begin() + static_cast<long>(pos + size));
}

TEST(DemoNames, HundredTwentyEightDistinctPrintableNames) {
    const auto& names = DemoPatchNames();
    ASSERT_EQ(names.size(), 128u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 128u);
    for (const auto& n : names) {
        EXPECT_FALSE(n.empty());
        EXPECT_LE(n.size(), 12u) << n;
        for (char c : n) EXPECT_TRUE(c >= 0x20 && c <= 0x7D) << n;
    }
}

TEST(ReplyBlocks, NameAndCategoryLandWhereTheModelSays) {
    struct Case {
        int32_t nameStart, nameSize, catPos, blocks, nameBlock;
        std::vector<std::string> names;
        int program;
        std::string expectedName;
    } cases[] = {
        {11, 12, -1, 1, 1, {}, 5, ""},                            // the default model
        {11, 12, 40, 2, 2, {"Short"}, 3, "Short       "},         // padded, second block
        {20, 4, 8, 3, 1, {"Much Too Long"}, 0, "Much"},           // cut to the field
        {9, 12, 30, 1, 1, {"A", "B", "C"}, 130, "B           "},  // program % names
    };
    for (const Case& c : cases) {
        InstrumentModel m;
        m.request = kRequest;
        m.nameStartPos = c.nameStart;
        m.nameSize = c.nameSize;
        m.catPos = c.catPos;
        m.numSysexBlocks = c.blocks;
        m.nameSyxBlk = c.nameBlock;
        m.names = c.names;
        VirtualInstrument vi(m);
        const auto blocks = vi.ReplyFor(c.program);
        ASSERT_EQ(blocks.size(), static_cast<size_t>(c.blocks));
        std::string expected = c.expectedName;
        if (expected.empty()) {
            expected = DemoPatchNames()[static_cast<size_t>(c.program) % 128];
            expected.resize(static_cast<size_t>(c.nameSize), ' ');
        }
        for (int b = 0; b < c.blocks; ++b) {
            SCOPED_TRACE(b);
            ExpectWellFormed(blocks[static_cast<size_t>(b)]);
            const Bytes& block = blocks[static_cast<size_t>(b)];
            ASSERT_GT(block.size(),
                      static_cast<size_t>(std::max(c.nameStart + c.nameSize, c.catPos)));
            const bool nameHere = b + 1 == c.nameBlock;
            EXPECT_EQ(Field(block, static_cast<size_t>(c.nameStart),
                            static_cast<size_t>(c.nameSize)) == expected,
                      nameHere);
            if (nameHere && c.catPos >= 0) {
                EXPECT_EQ(block[static_cast<size_t>(c.catPos)], c.program % 8);
            }
        }
    }
}

TEST(ReplyBlocks, CategoriesFromTheDescription) {
    InstrumentModel m;
    m.request = kRequest;
    m.catPos = 30;
    m.categories = {3, 9, 200};
    VirtualInstrument vi(m);
    EXPECT_EQ(vi.ReplyFor(1)[0][30], 9);
    EXPECT_EQ(vi.ReplyFor(2)[0][30], 200 & 0x7F);  // stays a data byte
    EXPECT_EQ(vi.ReplyFor(3)[0][30], 3);
}

TEST(VirtualInstrumentTest, AnswersTheRequestForTheCurrentProgramAndRecordsTheRest) {
    InstrumentModel m;
    m.request = kRequest;
    VirtualInstrument vi(m);
    Catcher catcher;
    catcher.Attach(vi);
    Send(vi, {0xC0, 7});
    Send(vi, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});  // another SysEx: not answered
    Bytes almost = kRequest;
    almost[14] = 0x0E;
    Send(vi, almost);  // not the request byte for byte
    Send(vi, {0x90, 60, 100});
    Send(vi, kRequest);
    const auto got = catcher.WaitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], vi.ReplyFor(7)[0]);
    EXPECT_EQ(vi.CurrentProgram(), 7);
    EXPECT_EQ(vi.RequestsSeen(), 1);
    const auto rec = vi.Received();
    ASSERT_EQ(rec.size(), 5u);
    EXPECT_EQ(rec[1], (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
    EXPECT_EQ(rec[3], (Bytes{0x90, 60, 100}));
    vi.ClearReceived();
    EXPECT_TRUE(vi.Received().empty());
}

TEST(VirtualInstrumentTest, FaultSwitches) {
    InstrumentModel m;
    m.request = kRequest;
    m.numSysexBlocks = 2;
    m.nameSyxBlk = 2;
    VirtualInstrument vi(m);
    Catcher catcher;
    catcher.Attach(vi);
    const auto reply = vi.ReplyFor(0);

    vi.SetAnswerTwice(true);
    Send(vi, kRequest);
    auto got = catcher.WaitFor(4);
    EXPECT_EQ(got, (std::vector<Bytes>{reply[0], reply[1], reply[0], reply[1]}));
    vi.SetAnswerTwice(false);

    vi.SetSendUnrelatedSysEx(true);
    Send(vi, kRequest);
    got = catcher.WaitFor(7);
    ASSERT_EQ(got.size(), 7u);
    ExpectWellFormed(got[4]);
    EXPECT_NE(got[4], reply[0]);
    EXPECT_NE(got[4], kRequest);
    EXPECT_EQ(got[5], reply[0]);
    vi.SetSendUnrelatedSysEx(false);

    vi.SetBlockLength(65537);
    Send(vi, kRequest);
    got = catcher.WaitFor(9);
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(got[7].size(), 65537u);
    ExpectWellFormed(got[8]);
    EXPECT_EQ(Field(got[8], 11, 12), Field(reply[1], 11, 12));  // the name survives
    vi.SetBlockLength(5);
    Send(vi, kRequest);
    got = catcher.WaitFor(11);
    EXPECT_EQ(got[9], (Bytes{0xF0, 0x41, 0x10, 0x00, 0xF7}));
    vi.SetBlockLength(0);

    vi.SetSilentFrom(5);  // requests 0..3 answered so far; the 5th (index 4) still is
    Send(vi, kRequest);
    Send(vi, kRequest);  // index 5: silent
    Send(vi, kRequest);  // silent
    got = catcher.WaitFor(13);
    EXPECT_EQ(vi.RequestsSeen(), 7);
    EXPECT_EQ(got.size(), 13u);
}

TEST(VirtualInstrumentTest, ReplayAnswersGroupsThenStaysSilent) {
    InstrumentModel m;
    m.request = kRequest;
    m.numSysexBlocks = 2;
    VirtualInstrument vi(m);
    Catcher catcher;
    catcher.Attach(vi);
    const std::vector<Bytes> dump = {
        {0xF0, 1, 0xF7}, {0xF0, 2, 0xF7}, {0xF0, 3, 0xF7}, {0xF0, 4, 0xF7}, {0xF0, 5, 0xF7}};
    vi.SetReplay(dump);
    for (int i = 0; i < 4; ++i) Send(vi, kRequest);
    const auto got = catcher.WaitFor(5);
    EXPECT_EQ(got, dump);  // groups of two; the last group is cut short by the file's end
    EXPECT_EQ(vi.RequestsSeen(), 4);
}

TEST(VirtualInstrumentTest, LatencyDelaysButKeepsOrder) {
    InstrumentModel m;
    m.request = kRequest;
    VirtualInstrument vi(m);
    Catcher catcher;
    catcher.Attach(vi);
    vi.SetLatency(std::chrono::milliseconds(20));
    Send(vi, {0xC0, 1});
    Send(vi, kRequest);
    Send(vi, {0xC0, 2});
    Send(vi, kRequest);
    const auto got = catcher.WaitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], vi.ReplyFor(1)[0]);
    EXPECT_EQ(got[1], vi.ReplyFor(2)[0]);
}

TEST(VirtualInstrumentTest, DestroyingDropsPendingReplies) {
    InstrumentModel m;
    m.request = kRequest;
    Catcher catcher;
    {
        VirtualInstrument vi(m);
        catcher.Attach(vi);
        vi.SetLatency(std::chrono::seconds(30));
        Send(vi, kRequest);
    }  // must not wait for the latency
    std::lock_guard<std::mutex> g(catcher.mutex);
    EXPECT_TRUE(catcher.got.empty());
}

TEST(SplitSysEx, MessagesAndErrors) {
    EXPECT_EQ(SplitSysExMessages({}), std::vector<Bytes>{});
    EXPECT_EQ(SplitSysExMessages({0xF0, 0x01, 0xF7, 0xF0, 0xF7}),
              (std::vector<Bytes>{{0xF0, 0x01, 0xF7}, {0xF0, 0xF7}}));
    for (const Bytes& bad : {Bytes{0x01, 0xF0, 0xF7}, Bytes{0xF0, 0x01}, Bytes{0xF0, 0x90, 0xF7},
                             Bytes{0xF0, 0xF7, 0x00}, Bytes{0xF0, 0xF0, 0xF7}})
        EXPECT_THROW(SplitSysExMessages(bad), std::runtime_error);
}

}  // namespace
