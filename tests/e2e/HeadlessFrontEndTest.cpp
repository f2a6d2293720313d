// The CLI's front end of the run without a process around it: the event
// loop's timer keeps the time-out's semantics, requests from other threads
// take effect on the loop thread in the order they were made, and the state
// the CLI decides its exit status by is what the run reported.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/EventLoop.h"
#include "cli/HeadlessFrontEnd.h"

namespace {

using namespace std::chrono_literals;

TEST(EventLoopTimer, StartingWhileRunningChangesNothingStopThenStartBeginsAnew) {
    EventLoop loop;
    loop.StartTimer(2000);
    ASSERT_TRUE(loop.TimerRunning());
    const auto first = loop.TimerDeadline();
    std::this_thread::sleep_for(2ms);
    loop.StartTimer(2000);
    EXPECT_EQ(loop.TimerDeadline(), first);
    loop.StopTimer();
    EXPECT_FALSE(loop.TimerRunning());
    loop.StartTimer(2000);
    EXPECT_GT(loop.TimerDeadline(), first);
}

TEST(EventLoopTimer, DueTimerRunsItsHandlerOnTheLoopAfterQueuedTasks) {
    EventLoop loop;
    std::vector<std::string> order;
    loop.SetTimerHandler([&] {
        EXPECT_TRUE(loop.OnLoopThread());
        order.push_back("timer");
        loop.StopTimer();
    });
    loop.StartTimer(0);
    loop.Post([&] { order.push_back("task"); });
    loop.Run([&] { return order.size() < 2; });
    EXPECT_EQ(order, (std::vector<std::string>{"task", "timer"}));
}

TEST(EventLoopTimer, StopPostedBeforeTheDeadlineWins) {
    EventLoop loop;
    int fired = 0;
    loop.SetTimerHandler([&] { ++fired; });
    loop.StartTimer(0);  // already due
    bool done = false;
    loop.Post([&] { loop.StopTimer(); });
    loop.Post([&] { done = true; });
    loop.Run([&] { return !done; });
    EXPECT_EQ(fired, 0);
}

TEST(EventLoopTasks, PostsFromOtherThreadsRunInOrderAndWakeTheLoop) {
    EventLoop loop;
    std::vector<int> seen;
    std::thread other([&] {
        for (int i = 0; i < 1000; ++i) loop.Post([&seen, i] { seen.push_back(i); });
    });
    loop.Run([&] { return seen.size() < 1000; });
    other.join();
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);

    std::atomic<bool> flag{false};
    std::thread waker([&] {
        std::this_thread::sleep_for(20ms);
        flag = true;
        loop.Wake();
    });
    loop.Run([&] { return !flag.load(); });  // returns only because of the wake-up
    waker.join();
}

class FrontEnd : public ::testing::Test {
protected:
    EventLoop loop_;
    std::vector<std::string> messages_;
    HeadlessFrontEnd fe_{loop_, HarvestOptions{true, false, true},
                         [this](const std::string& t) { messages_.push_back(t); }};
};

TEST_F(FrontEnd, RequestsFromTheCallbackThreadKeepTheirOrder) {
    std::thread callback([&] {
        fe_.ClearList();
        fe_.AppendLine("0=Piano");
        fe_.AppendLine("");
        fe_.AppendLine("2=Pad");
        fe_.SelectAllAndCopy();
        fe_.AppendLine("after the copy");
        fe_.SetButtonCaption("Request");
    });
    callback.join();
    EXPECT_TRUE(fe_.Lines().empty());  // nothing happens off the loop thread
    loop_.RunPending();
    EXPECT_EQ(fe_.Clipboard(), "0=Piano\r\n\r\n2=Pad\r\n");
    EXPECT_TRUE(fe_.Copied());
    EXPECT_EQ(fe_.ListText(), "0=Piano\r\n\r\n2=Pad\r\nafter the copy\r\n");
    EXPECT_FALSE(fe_.RunEnded());  // no run was started ("Cancel" never shown)
}

TEST_F(FrontEnd, TimeOutStartsAndStopsTheLoopTimerInCallOrder) {
    std::thread callback([&] {
        fe_.StopTimeOut();
        fe_.StartTimeOut();
    });
    callback.join();
    fe_.StartTimeOut();  // loop thread: at once
    EXPECT_TRUE(loop_.TimerRunning());
    const auto deadline = loop_.TimerDeadline();
    loop_.RunPending();  // the stop, then the start: a new interval
    EXPECT_TRUE(loop_.TimerRunning());
    EXPECT_GE(loop_.TimerDeadline(), deadline);
}

TEST_F(FrontEnd, OnlyTheNoticeOfTheTimerCountsAsTimeOut) {
    fe_.ShowMessage("something else");
    EXPECT_FALSE(fe_.TimedOut());
    fe_.ReportError("List index out of bounds (9)");
    EXPECT_EQ(fe_.ErrorsReported(), 1);
    EXPECT_EQ(messages_,
              (std::vector<std::string>{"something else", "List index out of bounds (9)"}));

    // The options as given, readable from any thread.
    EXPECT_TRUE(fe_.SonarOption());
    EXPECT_FALSE(fe_.NumberOption());
    EXPECT_TRUE(fe_.CategoryOption());
    fe_.SetButtonCaption("Cancel");
    EXPECT_EQ(fe_.ButtonCaption(), "Cancel");
    EXPECT_FALSE(fe_.RunEnded());
    fe_.SetButtonCaption("Request");
    EXPECT_TRUE(fe_.RunEnded());
}

}  // namespace
