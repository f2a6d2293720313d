#include "harvest/Harvester.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>

#include "catalogue/IntConv.h"
#include "harvest/SonarDoc.h"
#include "midi/Midi.h"

std::atomic<int32_t> blockCounter{0};

namespace {

const char* const kCancelCaption = "Cancel";
const char* const kRequestCaption = "Request";
const char* const kTimeOutText = "Time Out - no Midi received";

// Counts a handler while it runs, so that the destructor can wait for it.
class HandlerScope {
public:
    explicit HandlerScope(std::atomic<int>& running) : running_(running) { running_.fetch_add(1); }
    ~HandlerScope() {
        running_.fetch_sub(1);
        running_.notify_all();
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    std::atomic<int>& running_;
};

uint8_t ProgramChangeStatus(int32_t channelIndex) {
    return static_cast<uint8_t>(0xC0 + static_cast<uint32_t>(channelIndex));
}

// The patch after the last one of the bank: NumOfNames + StartPatch.  Kept in
// the 32-bit range, so a patch counter can always reach it.
int32_t EndNumber(const TSynth& model) {
    const int64_t end = static_cast<int64_t>(StrToInt(model.NumOfNames)) + model.StartPatch;
    return static_cast<int32_t>(std::clamp<int64_t>(end, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

std::string MessageOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace

THarvester::THarvester(IHarvestFrontEnd& frontEnd, const TModelState& model)
    : frontEnd_(frontEnd), model_(model) {}

THarvester::~THarvester() {
    EndForShutdown();
    for (int n = handlersRunning_.load(); n != 0; n = handlersRunning_.load()) {
        handlersRunning_.wait(n);
    }
}

void THarvester::SendSysExClick() {
    if (shuttingDown_.load()) return;
    if (frontEnd_.ButtonCaption() == kCancelCaption) {
        cancelRequested = true;
        return;
    }
    const TSynth& model = model_.current;
    cancelRequested = false;
    frontEnd_.SetFullClipboardVisible(false);
    currentPatch = model.StartPatch;
    frontEnd_.ClearList();
    if (frontEnd_.SonarOption()) {
        for (const std::string& line : SonarHeaderLines(model)) frontEnd_.AppendLine(line);
    }
    // A run that ended by time-out in the middle of a reply leaves a count
    // standing; every run starts counting from its first block.
    blockCounter = 0;
    uint32_t run = 0;
    {
        std::lock_guard<std::mutex> guard(stepGuard_);
        if (++runCounter_ == 0) ++runCounter_;  // 0 stands for "no run"
        run = runCounter_;
        activeRun_ = run;
        harvesting = true;
    }
    frontEnd_.StartTimeOut();
    frontEnd_.SetButtonCaption(kCancelCaption);
    frontEnd_.SetModelListVisible(false);
    Step(currentPatch.load(), run);
}

void THarvester::RequestPatch(int32_t patch) {
    Step(patch, activeRun_.load());
}

bool THarvester::Pause(int32_t ms, uint32_t run) {
    if (ms <= 0) return RunActive(run);
    std::unique_lock<std::mutex> guard(stepGuard_);
    const bool ended =
        runEnded_.wait_for(guard, std::chrono::milliseconds(ms), [&] { return !RunActive(run); });
    return !ended;
}

void THarvester::Step(int32_t patch, uint32_t run) {
    const TSynth& model = model_.current;
    const int32_t end = EndNumber(model);
    if (cancelRequested.load()) patch = end;

    if (!Pause(model.SleepTime, run)) return;
    {
        // Checked and sent under the guard: once a run has ended (time-out,
        // shutdown), none of its steps sends anything more.
        std::lock_guard<std::mutex> guard(stepGuard_);
        if (!RunActive(run)) return;
        MidiOutput().Send(outDeviceIndex.load(), ProgramChangeStatus(model_.channelIndex),
                          static_cast<uint8_t>(static_cast<uint32_t>(patch)), 0);
    }
    if (!Pause(model.SleepTime, run)) return;

    if (patch < end) {
        std::lock_guard<std::mutex> guard(stepGuard_);
        if (!RunActive(run)) return;
        MidiOutput().SendSysEx(outDeviceIndex.load(), model.RequestBytes);
        frontEnd_.StartTimeOut();
        return;
    }
    FinishRun(run);
}

void THarvester::FinishRun(uint32_t run) {
    std::exception_ptr trailerError;
    {
        std::lock_guard<std::mutex> guard(stepGuard_);
        if (!RunActive(run)) return;
        // From here on the run is ending: a time-out that fires now is stale.
        activeRun_ = 0;
        if (frontEnd_.SonarOption()) {
            // A bad bank number costs the trailer, not the list: the names
            // gathered are still copied, and the error is reported after.
            try {
                for (const std::string& line : SonarTrailerLines(model_.current)) {
                    frontEnd_.AppendLine(line);
                }
            } catch (...) {
                trailerError = std::current_exception();
            }
        }
        frontEnd_.SelectAllAndCopy();
        frontEnd_.SetFullClipboardVisible(true);
        frontEnd_.SetModelListVisible(true);
        harvesting = false;
        frontEnd_.StopTimeOut();
        frontEnd_.SetButtonCaption(kRequestCaption);
        cancelRequested = false;
    }
    runEnded_.notify_all();
    if (trailerError) std::rethrow_exception(trailerError);
}

void THarvester::EndRunAfterError(uint32_t run) {
    {
        std::lock_guard<std::mutex> guard(stepGuard_);
        if (!RunActive(run)) return;
        activeRun_ = 0;
        frontEnd_.StopTimeOut();
        harvesting = false;
        frontEnd_.SetButtonCaption(kRequestCaption);
        frontEnd_.SetModelListVisible(true);
    }
    runEnded_.notify_all();
}

void THarvester::Report(const std::string& message) {
    std::lock_guard<std::mutex> guard(stepGuard_);
    if (shuttingDown_.load()) return;
    try {
        frontEnd_.ReportError(message);
    } catch (...) {
        // Nothing is left to tell; the input port must keep receiving.
    }
}

void THarvester::HandleSysExData(int32_t /*aDeviceIndex*/, TMemoryStream& aStream) {
    HandlerScope scope(handlersRunning_);
    try {
        HandleSysExBlock(aStream);
    } catch (...) {
        Report(MessageOf(std::current_exception()));
    }
}

void THarvester::HandleSysExBlock(TMemoryStream& aStream) {
    if (!harvesting.load()) return;
    const uint32_t run = activeRun_.load();
    if (run == 0) return;  // the run is ending: its last block has been handled
    const TSynth& model = model_.current;

    std::exception_ptr lineError;
    int32_t count = 0;
    {
        std::lock_guard<std::mutex> held(lock);
        if (!RunActive(run)) return;  // ended while this block waited (time-out, shutdown)
        lastSysEx = &aStream;
        reply_.fill(0);
        frontEnd_.StopTimeOut();
        count = ++blockCounter;
        if (count == model.NameSyxBlk) {
            try {
                // A reply longer than the window gives its first bytes; the rest is dropped.
                const size_t n = std::min<size_t>(aStream.Size(), reply_.size());
                if (n > 0) std::memcpy(reply_.data(), aStream.Memory(), n);
                frontEnd_.AppendLine(ComposeNameLine(
                    reply_, model, currentPatch.load(), frontEnd_.SonarOption(),
                    frontEnd_.NumberOption(), frontEnd_.CategoryOption(), model_.categoryNames));
            } catch (...) {
                lineError = std::current_exception();  // this patch gets no line
            }
        }
        lastSysEx = nullptr;
    }

    {
        std::lock_guard<std::mutex> guard(stepGuard_);
        if (RunActive(run)) frontEnd_.StartTimeOut();
    }
    if (count == model.NumSysexBlocks) {
        blockCounter = 0;
        const int32_t next = ++currentPatch;
        try {
            Step(next, run);
        } catch (...) {
            // A failed send (or a failed trailer) on this thread: the run
            // stops as a time-out would stop it, and the user is told.
            EndRunAfterError(run);
            Report(MessageOf(std::current_exception()));
        }
    }
    if (lineError) Report(MessageOf(lineError));
}

void THarvester::HandleMidiInData(int32_t /*aDeviceIndex*/, uint8_t /*aStatus*/, uint8_t /*aData1*/,
                                  uint8_t /*aData2*/) {
    // Short messages play no part in the run.
    HandlerScope scope(handlersRunning_);
}

void THarvester::TimeOutTimer() {
    {
        std::lock_guard<std::mutex> guard(stepGuard_);
        if (activeRun_.load() == 0) {
            // No run waits for a reply (it finished, ended or is ending): a
            // late start of the timer fired it.  Just stop it.
            if (!shuttingDown_.load()) frontEnd_.StopTimeOut();
            return;
        }
        activeRun_ = 0;
        frontEnd_.StopTimeOut();
        harvesting = false;
        frontEnd_.SetButtonCaption(kRequestCaption);
    }
    runEnded_.notify_all();
    frontEnd_.ShowMessage(kTimeOutText);
    frontEnd_.SetModelListVisible(true);
}

void THarvester::EndForShutdown() {
    {
        std::lock_guard<std::mutex> guard(stepGuard_);
        shuttingDown_ = true;
        activeRun_ = 0;
        harvesting = false;
    }
    runEnded_.notify_all();
}
