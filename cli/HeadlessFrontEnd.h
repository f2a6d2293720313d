// The harvest's front end without a window: the list lives in memory, the
// "clipboard" is the text the finishing step copies, messages and errors go
// to stderr, and the time-out is the event loop's timer.  Requests made on
// the MIDI callback thread are posted to the loop thread in call order;
// requests made on the loop thread take effect at once (as in the window).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/EventLoop.h"
#include "harvest/Harvester.h"

struct HarvestOptions {
    bool sonar = true;
    bool number = true;
    bool category = true;
};

class HeadlessFrontEnd : public IHarvestFrontEnd {
public:
    // Shows one message or error text (the CLI writes it to stderr).
    using MessageSink = std::function<void(const std::string& text)>;

    HeadlessFrontEnd(EventLoop& loop, HarvestOptions options, MessageSink messages);

    // The run whose time-out this front end serves (set before the first
    // click).  Its TimeOutTimer runs from the loop's timer.
    void SetHarvester(THarvester* harvester);

    // Loop thread: the state the run left.
    const std::vector<std::string>& Lines() const { return lines_; }
    // The lines as the list holds them: each ended by CR LF.
    std::string ListText() const;
    bool Copied() const { return copied_; }
    const std::string& Clipboard() const { return clipboard_; }
    bool TimedOut() const { return timedOut_; }
    int ErrorsReported() const { return errors_; }
    // A run was started and its caption has gone back to "Request".
    bool RunEnded() const { return started_ && caption_ == "Request"; }
    // The last line appended while patch p was being harvested, if any.
    const std::string* LineOfPatch(int32_t patch) const;

    // Any thread.
    void SetOptions(HarvestOptions options);

    // IHarvestFrontEnd
    void ClearList() override;
    void AppendLine(const std::string& line) override;
    void SelectAllAndCopy() override;
    void SetFullClipboardVisible(bool visible) override;
    void SetModelListVisible(bool visible) override;
    void SetButtonCaption(const std::string& caption) override;
    void StartTimeOut() override;
    void StopTimeOut() override;
    void ShowMessage(const std::string& text) override;
    void ReportError(const std::string& message) override;
    bool SonarOption() override { return sonar_.load(); }
    bool NumberOption() override { return number_.load(); }
    bool CategoryOption() override { return category_.load(); }
    std::string ButtonCaption() override { return caption_; }

private:
    // Runs fn on the loop thread: now when called there, else queued.
    void OnLoopThread(std::function<void()> fn);

    EventLoop& loop_;
    MessageSink messages_;
    THarvester* harvester_ = nullptr;
    std::atomic<bool> sonar_;
    std::atomic<bool> number_;
    std::atomic<bool> category_;

    // Loop thread only.
    std::vector<std::string> lines_;
    std::map<int32_t, std::string> lineOfPatch_;
    std::string clipboard_;
    std::string caption_ = "Get Names";
    bool copied_ = false;
    bool started_ = false;
    bool timedOut_ = false;
    bool inTimer_ = false;
    int errors_ = 0;
};
