// The harvest run: walks one bank patch by patch, sending a Program Change and
// the model's request SysEx, counting reply blocks and turning the name block
// into a line.  UI-agnostic: the window and the CLI drive it through the same
// front-end interface.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "catalogue/ModelApply.h"
#include "harvest/NameLine.h"

class TMemoryStream;

// Reply blocks counted for the current patch (one for the whole program).
extern std::atomic<int32_t> blockCounter;

// What the run asks of its front end.  Calls may come from the GUI thread or
// the MIDI callback thread; their effects must happen in call order, and none
// may wait for the GUI thread (the caller may hold `lock`'s neighbours).
class IHarvestFrontEnd {
public:
    virtual ~IHarvestFrontEnd() = default;
    virtual void ClearList() = 0;
    virtual void AppendLine(const std::string& line) = 0;
    virtual void SelectAllAndCopy() = 0;  // the whole list, every line ended by CR LF
    virtual void SetFullClipboardVisible(bool visible) = 0;
    virtual void SetModelListVisible(bool visible) = 0;  // cbModel, then lSynthBank alike
    virtual void SetButtonCaption(const std::string& caption) = 0;
    // Starting a running time-out changes nothing; stopping cancels it.  When
    // 2000 ms pass, the front end calls TimeOutTimer() on its GUI thread.
    virtual void StartTimeOut() = 0;
    virtual void StopTimeOut() = 0;
    // GUI thread only: a modal notice; returns when the user has closed it.
    virtual void ShowMessage(const std::string& text) = 0;
    // Any thread: an error raised where no handler catches it (the callback
    // thread); shown like any other error.
    virtual void ReportError(const std::string& message) = 0;
    // Any thread: the options as they stand now.
    virtual bool SonarOption() = 0;
    virtual bool NumberOption() = 0;
    virtual bool CategoryOption() = 0;  // checked and enabled
    // GUI thread: the button's caption as shown.
    virtual std::string ButtonCaption() = 0;
};

class THarvester {
public:
    static constexpr int kTimeOutMs = 2000;

    // model: what the last apply left (read, never written, during a run).
    THarvester(IHarvestFrontEnd& frontEnd, const TModelState& model);
    ~THarvester();  // waits until no handler of this harvester is running

    // The output port in use (written by the port step).
    std::atomic<int32_t> outDeviceIndex{0};

    // GUI thread: the request button.  Starts a run, or asks it to stop when
    // the caption is "Cancel".  Errors of the first step leave as exceptions.
    void SendSysExClick();
    // One step of the run (GUI thread for the first, callback thread after).
    void RequestPatch(int32_t patch);
    // The input set's events (callback thread).  Never throw: errors go to
    // the front end's ReportError.
    void HandleSysExData(int32_t aDeviceIndex, TMemoryStream& aStream);
    void HandleMidiInData(int32_t aDeviceIndex, uint8_t aStatus, uint8_t aData1, uint8_t aData2);
    // GUI thread: the time-out fired.
    void TimeOutTimer();
    // Shutdown: ends a run at once; later steps send nothing.
    void EndForShutdown();

    // Serialises the reply handler with itself and with closing the ports.
    std::mutex lock;

    bool Harvesting() const { return harvesting.load(); }
    bool CancelRequested() const { return cancelRequested.load(); }
    int32_t CurrentPatch() const { return currentPatch.load(); }

private:
    // A run is identified by a number; 0 means no run.  A step, a block or a
    // time-out that belongs to a run that has ended does nothing.
    bool RunActive(uint32_t run) const { return run != 0 && activeRun_.load() == run; }
    void Step(int32_t patch, uint32_t run);
    // Sleeps ms, waking early when the run ends; false when it has ended.
    bool Pause(int32_t ms, uint32_t run);
    void FinishRun(uint32_t run);
    // Ends the run as a time-out would, without the notice.
    void EndRunAfterError(uint32_t run);
    // Reports an error raised on the callback thread (not after shutdown).
    void Report(const std::string& message);
    void HandleSysExBlock(TMemoryStream& aStream);

    IHarvestFrontEnd& frontEnd_;
    const TModelState& model_;
    std::atomic<bool> harvesting{false};
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> shuttingDown_{false};
    std::atomic<int32_t> currentPatch{0};
    std::atomic<int> handlersRunning_{0};
    std::atomic<uint32_t> activeRun_{0};
    uint32_t runCounter_ = 0;  // GUI thread only
    // Orders the end of a run against the sends and front-end calls of its
    // steps; never held while sleeping or waiting for another thread.
    std::mutex stepGuard_;
    std::condition_variable runEnded_;   // wakes the pauses of a step
    TMemoryStream* lastSysEx = nullptr;  // valid only inside HandleSysExData, under lock
    TReplyWindow reply_{};
};
