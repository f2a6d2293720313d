// A small main-thread event loop for the headless front end: a queue of
// posted tasks, run in the order they were posted, and one repeating timer
// with the semantics the harvest relies on (starting it while it runs
// changes nothing; stopping it cancels it).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // The thread that constructs the loop is the loop thread.
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Any thread: queues task behind every task posted before it and wakes
    // the loop.  Never waits for the loop thread.
    void Post(std::function<void()> task);
    bool OnLoopThread() const { return std::this_thread::get_id() == owner_; }

    // Async-signal-safe: wakes the loop (a signal handler calls it).
    void Wake() const;

    // The timer (loop thread only).  Start begins an interval of intervalMs
    // when the timer is stopped and changes nothing while it runs; each time
    // the interval passes, the handler runs on the loop thread and the next
    // interval begins, until Stop.
    void SetTimerHandler(std::function<void()> handler) { timerHandler_ = std::move(handler); }
    void StartTimer(int intervalMs);
    void StopTimer();
    bool TimerRunning() const { return timerRunning_; }
    // When the running timer fires next.
    Clock::time_point TimerDeadline() const { return deadline_; }

    // Loop thread: waits for tasks, the timer or a wake-up and handles them,
    // then calls afterBatch; returns when afterBatch returns false.  Tasks
    // run before a due timer, so a stop posted before the deadline counts.
    void Run(const std::function<bool()>& afterBatch);
    // Loop thread: runs the tasks queued now (and those they post) without
    // waiting; the timer is not served.  Returns how many ran.
    size_t RunPending();

private:
    void WaitForWork();
    void DrainWakePipe() const;

    std::thread::id owner_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::function<void()> timerHandler_;
    bool timerRunning_ = false;
    std::chrono::milliseconds interval_{0};
    Clock::time_point deadline_{};
};
