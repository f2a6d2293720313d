// patchscribe-cli's sub-commands register themselves here.
#pragma once

#include <string>
#include <vector>

using CommandFn = int (*)(const std::vector<std::string>& args);

struct CliCommand {
    const char* name;
    const char* usage;
    CommandFn run;
};

// Used at namespace scope:  static CommandRegistrar reg{"models", "usage...", &RunModels};
struct CommandRegistrar {
    CommandRegistrar(const char* name, const char* usage, CommandFn run);
};

const std::vector<CliCommand>& Commands();

// A usage error: main prints the message and the command's usage, exit 2.
struct UsageError {
    std::string message;
};
