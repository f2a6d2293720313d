// patchscribe-cli harvest: the window's request button without the window.
// The same run from the same core: the model is applied (mode SysEx, Bank
// Select, Program Change 0), then the bank is walked with the model's pauses,
// block counts, time-out and finishing step.  The list goes to stdout (or a
// file) exactly as the window puts it on the clipboard; progress, notices and
// errors go to stderr.  The settings file is only read.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "catalogue/IniFile.h"
#include "catalogue/IntConv.h"
#include "catalogue/ModelApply.h"
#include "cli/CliCommon.h"
#include "cli/Command.h"
#include "cli/DemoInstrument.h"
#include "cli/EventLoop.h"
#include "cli/HeadlessFrontEnd.h"
#include "harvest/Harvester.h"
#include "midi/LoopbackService.h"
#include "midi/Midi.h"
#include "midi/VirtualInstrument.h"

namespace {

const char* const kUsage =
    "harvest [--ini FILE] [--model NAME] [--in PORT] [--out PORT] [--sonar | --no-sonar] "
    "[--number | --no-number] [--category | --no-category] [--demo | --replay FILE.syx] "
    "[--output FILE]";

const char* const kDemoPortName = "Patchscribe Demo Synth";

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeOut = 3;
constexpr int kExitAborted = 130;

// ---- SIGINT: the first acts as the Cancel button, the second aborts.

std::atomic<int> interrupts{0};
std::atomic<const EventLoop*> interruptLoop{nullptr};

extern "C" void OnInterrupt(int) {
    if (interrupts.fetch_add(1) + 1 >= 2) _exit(kExitAborted);
    if (const EventLoop* loop = interruptLoop.load()) loop->Wake();
}

class InterruptHandler {
public:
    explicit InterruptHandler(const EventLoop& loop) {
        interrupts = 0;
        interruptLoop = &loop;
        struct sigaction sa {};
        sa.sa_handler = &OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, &previous_);
    }
    ~InterruptHandler() {
        sigaction(SIGINT, &previous_, nullptr);
        interruptLoop = nullptr;
    }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    struct sigaction previous_ {};
};

// Keeps SIGINT away from the threads that the MIDI services start (they
// inherit the mask), so that only the main thread handles it.
class InterruptsBlocked {
public:
    InterruptsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    void Unblock() {
        if (unblocked_) return;
        unblocked_ = true;
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
    ~InterruptsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

private:
    sigset_t previous_{};
    bool unblocked_ = false;
};

// ---- Progress on stderr: a line per patch, or one line rewritten in place
// when stderr is a terminal.  Messages and errors interrupt it cleanly.

class Progress {
public:
    Progress() : inPlace_(isatty(STDERR_FILENO) == 1) {}

    void Patch(int position, int total, const std::string* line) {
        std::string text = "[" + std::to_string(position) + "/" + std::to_string(total) + "]";
        if (line) text += " " + *line;
        if (inPlace_) {
            std::fprintf(stderr, "\r%s\033[K", text.c_str());
            lineOpen_ = true;
        } else {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        std::fflush(stderr);
    }

    void Message(const std::string& text) {
        EndLine();
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }

    void EndLine() {
        if (!lineOpen_) return;
        std::fputc('\n', stderr);
        lineOpen_ = false;
    }

private:
    bool inPlace_;
    bool lineOpen_ = false;
};

// ---- The model's side of an apply has nothing to show without a window.

class SilentModelView : public IModelView {
public:
    void SetCategoryBoxVisible(bool) override {}
    void SetSynthTypeFontSize(int) override {}
    void SetNotes(const std::string&) override {}
    void SetSynthTypeCaption(const std::string&) override {}
};

// ---- Options.

struct HarvestArgs {
    std::string iniPath;
    std::optional<std::string> model;
    std::optional<std::string> in;
    std::optional<std::string> out;
    std::optional<bool> sonar, number, category;
    bool demo = false;
    std::optional<std::string> replay;
    std::optional<std::string> output;
};

HarvestArgs ParseHarvestArgs(const std::vector<std::string>& args) {
    const ParsedOptions o =
        ParseOptions(args, {"--ini", "--model", "--in", "--out", "--replay", "--output"},
                     {"--sonar", "--no-sonar", "--number", "--no-number", "--category",
                      "--no-category", "--demo"});
    RequirePositional(o, 0, "");
    HarvestArgs a;
    a.iniPath = IniPathFrom(o);
    a.model = o.Value("--model");
    a.in = o.Value("--in");
    a.out = o.Value("--out");
    a.replay = o.Value("--replay");
    a.output = o.Value("--output");
    // Each option pair: the one given last counts.
    for (const std::string& f : o.flags) {
        if (f == "--sonar" || f == "--no-sonar") a.sonar = f == "--sonar";
        if (f == "--number" || f == "--no-number") a.number = f == "--number";
        if (f == "--category" || f == "--no-category") a.category = f == "--category";
        if (f == "--demo") a.demo = true;
    }
    if (a.demo && a.replay) throw UsageError{"--demo and --replay exclude each other"};
    if ((a.demo || a.replay) && (a.in || a.out))
        throw UsageError{"--in and --out name real ports; --demo and --replay use none"};
    return a;
}

// ---- Ports.

bool IsIndexText(const std::string& text) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A port given on the command line: an index, or a whole name with letter
// case ignored (the first of equal names).  -1 when there is no such port.
int PortFromArgument(const std::vector<std::string>& names, const std::string& text) {
    if (IsIndexText(text)) {
        const int index = std::stoi(text);
        return index < static_cast<int>(names.size()) ? index : -1;
    }
    return FindModelNameIgnoreCase(names, text);
}

// The port the window restores: the remembered name (case ignored, first of
// equals), else the first port.
int RememberedPort(IniFile& ini, const char* key, const std::vector<std::string>& names) {
    const std::string remembered = ini.ReadString("MidiDevices", key, "");
    if (remembered.empty()) return 0;
    const int index = FindModelNameIgnoreCase(names, remembered);
    return index < 0 ? 0 : index;
}

// ---- The recorded dump of --replay.

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return bytes;
}

// ---- Output.

class Output {
public:
    explicit Output(const std::optional<std::string>& path) {
        if (!path) {
            file_ = stdout;
            name_ = "standard output";
            return;
        }
        file_ = std::fopen(path->c_str(), "wb");
        name_ = *path;
        if (!file_) throw std::runtime_error("Unable to write to " + *path);
        owned_ = true;
    }
    ~Output() {
        if (owned_) std::fclose(file_);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // False when the text could not be written out completely.
    bool Write(const std::string& text) {
        const bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
        return std::fflush(file_) == 0 && ok;
    }
    const std::string& Name() const { return name_; }

private:
    FILE* file_ = nullptr;
    std::string name_;
    bool owned_ = false;
};

// ---- The run.

// The ports in use, closed as the window's destroy step closes them (under
// the run's lock) and before the run's handlers go away.
class OpenPorts {
public:
    explicit OpenPorts(THarvester& harvester) : harvester_(harvester) {
        MidiInput().OnMidiInput = [this](int32_t d, uint8_t s, uint8_t d1, uint8_t d2) {
            HandlerScope scope(inHandler_);
            harvester_.HandleMidiInData(d, s, d1, d2);
        };
        MidiInput().OnSysExData = [this](int32_t d, TMemoryStream& s) {
            HandlerScope scope(inHandler_);
            harvester_.HandleSysExData(d, s);
        };
    }
    void OpenInput(int index) {
        in_ = index;
        MidiInput().Open(index);
    }
    void OpenOutput(int index) {
        out_ = index;
        MidiOutput().Open(index);
    }
    ~OpenPorts() { Close(); }
    OpenPorts(const OpenPorts&) = delete;
    OpenPorts& operator=(const OpenPorts&) = delete;

    // Closes the input, lets the handler that is running finish (the last
    // block's handler reports its line's error after the finishing step),
    // then ends the run (later steps send nothing) and closes the output.
    // Returns the first error's message, if any.
    std::optional<std::string> Close() {
        if (closed_) return std::nullopt;
        closed_ = true;
        std::optional<std::string> error;
        auto closeUnderLock = [&](TMidiDevices& set, int index) {
            std::lock_guard<std::mutex> held(harvester_.lock);
            try {
                if (index >= 0) set.Close(index);
            } catch (const std::exception& e) {
                if (!error) error = e.what();
            }
        };
        closeUnderLock(MidiInput(), in_);
        // No handler begins after the input's close; the one running ends
        // soon: a step of an ended run returns without pausing further.
        for (int n = inHandler_.load(); n != 0; n = inHandler_.load()) inHandler_.wait(n);
        harvester_.EndForShutdown();
        closeUnderLock(MidiOutput(), out_);
        MidiInput().OnMidiInput = nullptr;
        MidiInput().OnSysExData = nullptr;
        return error;
    }

private:
    class HandlerScope {
    public:
        explicit HandlerScope(std::atomic<int>& n) : n_(n) { n_.fetch_add(1); }
        ~HandlerScope() {
            n_.fetch_sub(1);
            n_.notify_all();
        }
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;

    private:
        std::atomic<int>& n_;
    };

    THarvester& harvester_;
    std::atomic<int> inHandler_{0};
    int in_ = -1;
    int out_ = -1;
    bool closed_ = false;
};

int ReportUnknown(const std::string& what) {
    std::fprintf(stderr, "patchscribe-cli harvest: %s\n", what.c_str());
    return kExitUsage;
}

int RunHarvest(const std::vector<std::string>& rawArgs) {
    const HarvestArgs args = ParseHarvestArgs(rawArgs);

    // The pauses of a run are short sleeps; ask the kernel not to stretch
    // them (the threads started from here on inherit the setting).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    IniFile ini(args.iniPath);
    const LoadedModels models = LoadModels(ini);

    // The model: --model as the change handler finds it, else the remembered
    // one, else the first of the list.
    if (models.names.empty()) return ReportUnknown("no model in " + ini.EffectivePath());
    int index = FindModel(models, args.model.value_or(models.lastSynthBank));
    if (index < 0 && args.model) return ReportUnknown("no model named '" + *args.model + "'");
    if (index < 0) index = FindModel(models, models.names.front());
    const TSynth& chosen = (*models.synths)[static_cast<size_t>(index)];
    // The model list's text: the item found, which the chosen model's name equals.
    const std::string modelListText = chosen.Name;

    const HarvestOptions options{args.sonar.value_or(models.checkSonar),
                                 args.number.value_or(models.checkNumber),
                                 args.category.value_or(models.checkCategory)};

    InterruptsBlocked blocked;
    if (args.demo || args.replay) {
        auto instrument = std::make_shared<VirtualInstrument>(InstrumentFor(chosen));
        if (args.replay) instrument->SetReplay(SplitSysExMessages(ReadWholeFile(*args.replay)));
        auto service = std::make_shared<LoopbackService>();
        service->AddDevicePair(kDemoPortName, instrument);
        SetPortService(service);
    }

    // Ports: as given, else as the window restores them.
    const std::vector<std::string> inNames = MidiInput().Devices.Names();
    const std::vector<std::string> outNames = MidiOutput().Devices.Names();
    int inIndex = RememberedPort(ini, "Input", inNames);
    int outIndex = RememberedPort(ini, "Output", outNames);
    if (args.in) {
        inIndex = PortFromArgument(inNames, *args.in);
        if (inIndex < 0) return ReportUnknown("no MIDI input port '" + *args.in + "'");
    }
    if (args.out) {
        outIndex = PortFromArgument(outNames, *args.out);
        if (outIndex < 0) return ReportUnknown("no MIDI output port '" + *args.out + "'");
    }

    Output output(args.output);
    Progress progress;
    EventLoop loop;
    HeadlessFrontEnd frontEnd(loop, options,
                              [&progress](const std::string& text) { progress.Message(text); });
    TModelState state;
    THarvester harvester(frontEnd, state);
    frontEnd.SetHarvester(&harvester);
    harvester.outDeviceIndex = outIndex;

    bool stoppedByError = false;
    bool stoppedBeforeRun = false;  // nothing was requested
    auto fail = [&](const std::string& message) {
        progress.Message(message);
        stoppedByError = true;
    };

    {
        OpenPorts ports(harvester);
        InterruptHandler onInterrupt(loop);
        try {
            ports.OpenInput(inIndex);
            ports.OpenOutput(outIndex);
            SilentModelView view;
            ApplyModel(modelListText, *models.synths, models.synthCount, ini, outIndex, state,
                       view);
        } catch (const std::exception& e) {
            fail(e.what());
            stoppedBeforeRun = true;
        }
        // Every thread of the MIDI system is running now: from here on only
        // this thread takes SIGINT.
        blocked.Unblock();

        if (!stoppedByError) {
            int32_t total = 0;
            if (!TryStrToInt(state.current.NumOfNames, total)) total = 0;
            const int32_t startPatch = state.current.StartPatch;
            int32_t reported = startPatch;
            int handledInterrupts = 0;

            try {
                harvester.SendSysExClick();
            } catch (const std::exception& e) {
                // Nothing was requested: the run ends here.
                fail(e.what());
                stoppedBeforeRun = true;
            }
            if (!stoppedByError && !frontEnd.RunEnded()) {
                loop.Run([&] {
                    // Read the patch count first: the lines of the patches
                    // done by then are queued, and run before reporting.
                    const int32_t done = harvester.CurrentPatch();
                    loop.RunPending();
                    for (; reported < done; ++reported)
                        progress.Patch(reported - startPatch + 1, total,
                                       frontEnd.LineOfPatch(reported));
                    const int pending = interrupts.load();
                    if (pending > handledInterrupts) {
                        handledInterrupts = pending;
                        if (frontEnd.ButtonCaption() == "Cancel") harvester.SendSysExClick();
                    }
                    return !frontEnd.RunEnded();
                });
            }
        }
        if (const std::optional<std::string> error = ports.Close()) fail(*error);
        loop.RunPending();
    }
    progress.EndLine();

    // What the window would have on the clipboard; after a time-out or an
    // error, the lines gathered so far.
    std::string text = frontEnd.Copied() ? frontEnd.Clipboard() : frontEnd.ListText();
    if (stoppedBeforeRun) text.clear();
    if (!output.Write(text)) {
        progress.Message("Unable to write to " + output.Name());
        return kExitError;
    }
    if (frontEnd.TimedOut()) return kExitTimeOut;
    if (stoppedByError || frontEnd.ErrorsReported() > 0 || !frontEnd.Copied()) return kExitError;
    return kExitOk;
}

const CommandRegistrar kHarvest{"harvest", kUsage, &RunHarvest};

}  // namespace
