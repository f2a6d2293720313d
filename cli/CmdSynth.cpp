// patchscribe-cli synth: the virtual instrument on real virtual ports of the
// MIDI system in use, answering patch-name requests of a model until SIGINT
// or SIGTERM.
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "catalogue/IniFile.h"
#include "catalogue/Synth.h"
#include "cli/CliCommon.h"
#include "cli/Command.h"
#include "cli/DemoInstrument.h"
#include "midi/Midi.h"
#include "midi/RtMidiVirtualPorts.h"
#include "midi/VirtualInstrument.h"

namespace {

constexpr const char* kDefaultPortName = "Patchscribe Synth";

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("Unable to read " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("Unable to read " + path);
    return bytes;
}

// One name per line; CR LF and LF line ends; no name after the last line end.
std::vector<std::string> ReadNames(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    std::vector<std::string> names;
    std::string line;
    for (uint8_t b : bytes) {
        if (b == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            names.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(b));
        }
    }
    if (!line.empty()) {
        if (line.back() == '\r') line.pop_back();
        names.push_back(line);
    }
    return names;
}

// The model the window would start with: the remembered one, else the first
// of the model list, else the defaults.
TSynth ChooseModel(IniFile& ini, const ParsedOptions& options, bool& found) {
    const LoadedModels models = LoadModels(ini);
    found = true;
    if (const auto name = options.Value("--model")) {
        const int index = FindModel(models, *name);
        if (index < 0) {
            found = false;
            return DefaultSynth();
        }
        return (*models.synths)[static_cast<size_t>(index)];
    }
    int index = FindModel(models, models.lastSynthBank);
    if (index < 0 && !models.names.empty()) index = FindModel(models, models.names.front());
    return index < 0 ? DefaultSynth() : (*models.synths)[static_cast<size_t>(index)];
}

int RunSynth(const std::vector<std::string>& args) {
    const ParsedOptions options =
        ParseOptions(args, {"--ini", "--model", "--replay", "--names", "--port-name"});
    RequirePositional(options, 0, "");
    const std::string portName = options.Value("--port-name").value_or(kDefaultPortName);
    if (portName.empty()) throw UsageError{"--port-name needs a name"};

    IniFile ini(IniPathFrom(options));
    bool found = false;
    const TSynth synth = ChooseModel(ini, options, found);
    if (!found) {
        std::fprintf(stderr, "patchscribe-cli synth: no model named '%s'\n",
                     options.Value("--model")->c_str());
        return 2;
    }
    InstrumentModel model = InstrumentFor(synth);
    if (const auto names = options.Value("--names")) model.names = ReadNames(*names);
    std::vector<std::vector<uint8_t>> replay;
    if (const auto file = options.Value("--replay"))
        replay = SplitSysExMessages(ReadFileBytes(*file));

    // Every thread started from here on (the instrument's, RtMidi's, the MIDI
    // system's) inherits the blocked signals; this thread takes them in sigwait.
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quit, nullptr);

    auto instrument = std::make_shared<VirtualInstrument>(model);
    if (options.Has("--replay")) instrument->SetReplay(std::move(replay));
    RtMidiVirtualPorts ports(portName, [instrument](const uint8_t* data, size_t size) {
        instrument->Receive(data, size);
    });
    instrument->SetSender([&ports](const std::vector<uint8_t>& message) {
        try {
            ports.Send(message);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "patchscribe-cli synth: %s\n", e.what());
        }
    });

    std::printf("send-to\t%s\nreceive-from\t%s\n", ports.SendToName().c_str(),
                ports.ReceiveFromName().c_str());
    if (std::fflush(stdout) != 0) return 1;

    int signal = 0;
    while (sigwait(&quit, &signal) != 0) {
    }
    // No reply goes out once the ports start closing.
    instrument->SetSender(nullptr);
    return 0;
}

const CommandRegistrar kSynth{
    "synth",
    "synth [--ini FILE] [--model NAME] [--replay FILE.syx] [--names FILE] [--port-name NAME]",
    &RunSynth};

}  // namespace
