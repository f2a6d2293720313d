// patchscribe-cli ports: the MIDI input and output ports, as the window lists them.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CliCommon.h"
#include "cli/Command.h"
#include "midi/Midi.h"

namespace {

void PrintPorts(const char* direction, const TDeviceList& devices) {
    for (int i = 0; i < devices.Count(); ++i)
        std::printf("%s\t%d\t%s\n", direction, i, devices.Strings(i).c_str());
}

int RunPorts(const std::vector<std::string>& args) {
    const ParsedOptions options = ParseOptions(args, {});
    RequirePositional(options, 0, "");
    PrintPorts("in", MidiInput().Devices);
    PrintPorts("out", MidiOutput().Devices);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

const CommandRegistrar kPorts{"ports", "ports", &RunPorts};

}  // namespace
