#include "cli/EventLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

EventLoop::EventLoop() : owner_(std::this_thread::get_id()) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("cannot create the event loop's pipe: ") +
                                 std::strerror(errno));
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
}

EventLoop::~EventLoop() {
    close(wakeRead_);
    close(wakeWrite_);
}

void EventLoop::Post(std::function<void()> task) {
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        wasEmpty = tasks_.empty();
        tasks_.push_back(std::move(task));
    }
    // A queue that held tasks already has its wake-up pending: the loop runs
    // every queued task before it waits again.
    if (wasEmpty) Wake();
}

void EventLoop::Wake() const {
    const char byte = 1;
    // A full pipe already guarantees a wake-up; nothing else can fail here.
    ssize_t n = write(wakeWrite_, &byte, 1);
    (void)n;
}

void EventLoop::DrainWakePipe() const {
    char buf[256];
    while (read(wakeRead_, buf, sizeof buf) > 0) {
    }
}

void EventLoop::StartTimer(int intervalMs) {
    if (timerRunning_) return;
    interval_ = std::chrono::milliseconds(intervalMs < 0 ? 0 : intervalMs);
    deadline_ = Clock::now() + interval_;
    timerRunning_ = true;
}

void EventLoop::StopTimer() {
    timerRunning_ = false;
}

size_t EventLoop::RunPending() {
    size_t ran = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> g(mutex_);
            if (tasks_.empty()) return ran;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        ++ran;
    }
}

void EventLoop::WaitForWork() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!tasks_.empty()) return;
    }
    int timeoutMs = -1;
    if (timerRunning_) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
        if (left.count() <= 0) return;
        // Round up so the wait never ends before the deadline.
        timeoutMs = static_cast<int>((left.count() + 999) / 1000);
    }
    pollfd p{wakeRead_, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno != EINTR)
        throw std::runtime_error(std::string("event loop wait failed: ") + std::strerror(errno));
    if (r > 0) DrainWakePipe();
}

void EventLoop::Run(const std::function<bool()>& afterBatch) {
    for (;;) {
        WaitForWork();
        RunPending();
        if (timerRunning_ && Clock::now() >= deadline_) {
            // Like a repeating timer: the next interval begins now.
            deadline_ = Clock::now() + interval_;
            if (timerHandler_) timerHandler_();
            RunPending();
        }
        if (!afterBatch()) return;
    }
}
