// patchscribe-cli models / model NAME: the model table as the window loads it.
#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/IniFile.h"
#include "cli/CliCommon.h"
#include "cli/Command.h"

namespace {

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

int RunModels(const std::vector<std::string>& args) {
    const ParsedOptions options = ParseOptions(args, {"--ini"});
    RequirePositional(options, 0, "");
    IniFile ini(IniPathFrom(options));
    for (const std::string& name : LoadModels(ini).names) PrintLine(name);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int RunModel(const std::vector<std::string>& args) {
    const ParsedOptions options = ParseOptions(args, {"--ini"});
    RequirePositional(options, 1, "model NAME");
    const std::string& name = options.positional[0];
    IniFile ini(IniPathFrom(options));
    const LoadedModels models = LoadModels(ini);
    const int index = FindModel(models, name);
    if (index < 0) {
        std::fprintf(stderr, "patchscribe-cli model: no model named '%s'\n", name.c_str());
        return 2;
    }
    const TSynth& synth = (*models.synths)[static_cast<size_t>(index)];
    for (const std::string& line : SynthKeyValueLines(synth)) PrintLine(line);
    if (!synth.Category.empty()) {
        const std::vector<std::string> cats = ReadCategoryNames(ini, synth.Category);
        for (size_t k = 0; k < cats.size(); ++k)
            PrintLine("Cat" + std::to_string(k) + "=" + cats[k]);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

const CommandRegistrar kModels{"models", "models [--ini FILE]", &RunModels};
const CommandRegistrar kModel{"model", "model NAME [--ini FILE]", &RunModel};

}  // namespace
