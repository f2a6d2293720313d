#include "cli/HeadlessFrontEnd.h"

#include <utility>

HeadlessFrontEnd::HeadlessFrontEnd(EventLoop& loop, HarvestOptions options, MessageSink messages)
    : loop_(loop),
      messages_(std::move(messages)),
      sonar_(options.sonar),
      number_(options.number),
      category_(options.category) {}

void HeadlessFrontEnd::SetHarvester(THarvester* harvester) {
    harvester_ = harvester;
    loop_.SetTimerHandler([this] {
        if (!harvester_) return;
        inTimer_ = true;
        try {
            harvester_->TimeOutTimer();
        } catch (const std::exception& e) {
            ++errors_;
            messages_(e.what());
        }
        inTimer_ = false;
    });
}

void HeadlessFrontEnd::SetOptions(HarvestOptions options) {
    sonar_ = options.sonar;
    number_ = options.number;
    category_ = options.category;
}

std::string HeadlessFrontEnd::ListText() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

const std::string* HeadlessFrontEnd::LineOfPatch(int32_t patch) const {
    auto it = lineOfPatch_.find(patch);
    return it == lineOfPatch_.end() ? nullptr : &it->second;
}

void HeadlessFrontEnd::OnLoopThread(std::function<void()> fn) {
    if (loop_.OnLoopThread())
        fn();
    else
        loop_.Post(std::move(fn));
}

void HeadlessFrontEnd::ClearList() {
    OnLoopThread([this] {
        lines_.clear();
        lineOfPatch_.clear();
    });
}

void HeadlessFrontEnd::AppendLine(const std::string& line) {
    // A name line is appended while the run holds the patch it belongs to;
    // the header comes before the run starts harvesting.
    const bool nameLine = harvester_ && harvester_->Harvesting();
    const int32_t patch = harvester_ ? harvester_->CurrentPatch() : 0;
    OnLoopThread([this, line, patch, nameLine] {
        lines_.push_back(line);
        if (nameLine) lineOfPatch_[patch] = line;
    });
}

void HeadlessFrontEnd::SelectAllAndCopy() {
    OnLoopThread([this] {
        clipboard_ = ListText();
        copied_ = true;
    });
}

void HeadlessFrontEnd::SetFullClipboardVisible(bool) {}

void HeadlessFrontEnd::SetModelListVisible(bool) {}

void HeadlessFrontEnd::SetButtonCaption(const std::string& caption) {
    OnLoopThread([this, caption] {
        caption_ = caption;
        if (caption == "Cancel") started_ = true;
    });
}

void HeadlessFrontEnd::StartTimeOut() {
    OnLoopThread([this] { loop_.StartTimer(THarvester::kTimeOutMs); });
}

void HeadlessFrontEnd::StopTimeOut() {
    OnLoopThread([this] { loop_.StopTimer(); });
}

void HeadlessFrontEnd::ShowMessage(const std::string& text) {
    OnLoopThread([this, text] {
        // The only notice the run shows is the time-out's.
        if (inTimer_) timedOut_ = true;
        messages_(text);
    });
}

void HeadlessFrontEnd::ReportError(const std::string& message) {
    OnLoopThread([this, message] {
        ++errors_;
        messages_(message);
    });
}
