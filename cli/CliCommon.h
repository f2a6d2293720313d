// Helpers shared by the patchscribe-cli commands: the settings file, option
// parsing and the model table.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/Synth.h"

class IniFile;

// The window's settings file: patchscribe.INI in this executable's folder.
std::string DefaultIniPath();

// A command line split into options and positional arguments.
struct ParsedOptions {
    std::map<std::string, std::string> values;  // "--name VALUE" or "--name=VALUE" (last wins)
    std::vector<std::string> flags;             // "--name" switches, as given
    std::vector<std::string> positional;

    bool Has(const std::string& name) const;  // a value option or a flag was given
    std::optional<std::string> Value(const std::string& name) const;
};

// Parses args against the known options (names with their dashes, e.g.
// "--ini").  Throws UsageError for an unknown option or a value option
// without its value.  "--" ends the options.
ParsedOptions ParseOptions(const std::vector<std::string>& args,
                           const std::vector<std::string>& valueOptions,
                           const std::vector<std::string>& flagOptions = {});

// Throws UsageError unless exactly `count` positional arguments were given.
void RequirePositional(const ParsedOptions& options, size_t count, const char* what);

// --ini FILE when given, the window's settings file otherwise.
std::string IniPathFrom(const ParsedOptions& options);

// The model table as the window loads it at start-up.  Loading only reads the
// settings file.
struct LoadedModels {
    std::unique_ptr<TSynthTable> synths;
    int32_t synthCount = 0;
    std::string lastSynthBank;
    bool checkCategory = true;
    bool checkNumber = true;
    bool checkSonar = true;
    std::vector<std::string> names;  // the model list, in model-list order
};
LoadedModels LoadModels(IniFile& ini);

// The table index of the model that NAME selects: the first list item equal
// to NAME with letter case ignored, then the lowest-numbered model whose name
// equals that item exactly.  -1 when no item matches.
int FindModel(const LoadedModels& models, const std::string& name);
