// A front end for driving the harvest without a window: it records every call
// in order, keeps the list, the clipboard, the caption and the visibilities,
// and has a time-out that only fires when the test fires it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "harvest/Harvester.h"

class TestFrontEnd : public IHarvestFrontEnd {
public:
    std::atomic<bool> sonar{true}, number{true}, category{true};

    void ClearList() override {
        Record("clear", [&] { list_.clear(); });
    }
    void AppendLine(const std::string& line) override {
        Record("line " + line, [&] { list_.push_back(line); });
    }
    void SelectAllAndCopy() override {
        Record("copy", [&] {
            std::string text;
            for (const std::string& l : list_) text += l + "\r\n";
            clipboard_ = text;
            ++copies_;
        });
    }
    void SetFullClipboardVisible(bool v) override {
        Record(v ? "notice shown" : "notice hidden", [&] { fullClipboard_ = v; });
    }
    void SetModelListVisible(bool v) override {
        Record(v ? "models shown" : "models hidden", [&] { modelList_ = v; });
    }
    void SetButtonCaption(const std::string& c) override {
        Record("caption " + c, [&] { caption_ = c; });
    }
    void StartTimeOut() override {
        Record("timer start", [&] { timerRunning_ = true; });
    }
    void StopTimeOut() override {
        Record("timer stop", [&] { timerRunning_ = false; });
    }
    void ShowMessage(const std::string& text) override {
        Record("message " + text, [&] { messages_.push_back(text); });
    }
    void ReportError(const std::string& message) override {
        Record("error " + message, [&] { errors_.push_back(message); });
    }
    bool SonarOption() override { return sonar; }
    bool NumberOption() override { return number; }
    bool CategoryOption() override { return category; }
    std::string ButtonCaption() override {
        std::lock_guard<std::mutex> g(m_);
        return caption_;
    }

    // The test thread plays the GUI thread: it fires the time-out by hand,
    // the way a timer would, only while the timer runs.
    bool FireTimeOut(THarvester& h) {
        {
            std::lock_guard<std::mutex> g(m_);
            if (!timerRunning_) return false;
        }
        h.TimeOutTimer();
        return true;
    }

    // Waits (generously) until pred holds.  pred runs without the front
    // end's lock, so it may use the accessors below.
    bool WaitFor(const std::function<bool()>& pred,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            uint64_t seen = 0;
            {
                std::lock_guard<std::mutex> g(m_);
                seen = changes_;
            }
            if (pred()) return true;
            std::unique_lock<std::mutex> g(m_);
            if (!cv_.wait_until(g, until, [&] { return changes_ != seen; })) return false;
        }
    }
    bool WaitForCaption(const std::string& c) {
        return WaitFor([&] { return ButtonCaption() == c; });
    }
    bool WaitForLines(size_t n) {
        return WaitFor([&] { return List().size() >= n; });
    }

    std::vector<std::string> List() const { return Locked(list_); }
    std::string Clipboard() const { return Locked(clipboard_); }
    int Copies() const { return Locked(copies_); }
    std::vector<std::string> Log() const { return Locked(log_); }
    std::vector<std::string> Messages() const { return Locked(messages_); }
    std::vector<std::string> Errors() const { return Locked(errors_); }
    bool FullClipboardVisible() const { return Locked(fullClipboard_); }
    bool ModelListVisible() const { return Locked(modelList_); }
    bool TimerRunning() const { return Locked(timerRunning_); }
    void SetCaption(const std::string& c) {
        std::lock_guard<std::mutex> g(m_);
        caption_ = c;
    }
    // Log entries whose text starts with prefix, in order.
    std::vector<std::string> LogStartingWith(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& e : Log()) {
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        }
        return out;
    }

private:
    template <typename F>
    void Record(const std::string& entry, F apply) {
        {
            std::lock_guard<std::mutex> g(m_);
            log_.push_back(entry);
            apply();
            ++changes_;
        }
        cv_.notify_all();
    }
    template <typename T>
    T Locked(const T& v) const {
        std::lock_guard<std::mutex> g(m_);
        return v;
    }

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> log_, list_, messages_, errors_;
    std::string clipboard_, caption_ = "Get Names";
    int copies_ = 0;
    uint64_t changes_ = 0;
    bool fullClipboard_ = false, modelList_ = true, timerRunning_ = false;
};
