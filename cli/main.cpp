// patchscribe-cli: Patchscribe without its window.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cli/Command.h"

namespace {
std::vector<CliCommand>& Registry() {
    static std::vector<CliCommand> commands;
    return commands;
}

void PrintUsage(FILE* to) {
    std::fprintf(to, "usage: patchscribe-cli COMMAND [OPTIONS]\n\ncommands:\n");
    for (const CliCommand& c : Registry()) std::fprintf(to, "  %s\n", c.usage);
}
}  // namespace

CommandRegistrar::CommandRegistrar(const char* name, const char* usage, CommandFn run) {
    Registry().push_back({name, usage, run});
}

const std::vector<CliCommand>& Commands() { return Registry(); }

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string name = argv[1];
    for (const CliCommand& c : Registry()) {
        if (name != c.name) continue;
        std::vector<std::string> args(argv + 2, argv + argc);
        try {
            return c.run(args);
        } catch (const UsageError& e) {
            std::fprintf(stderr, "patchscribe-cli %s: %s\nusage: patchscribe-cli %s\n", c.name,
                         e.message.c_str(), c.usage);
            return 2;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "patchscribe-cli %s: %s\n", c.name, e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "patchscribe-cli: unknown command '%s'\n", name.c_str());
    PrintUsage(stderr);
    return 2;
}
