#include "cli/CliCommon.h"

#include <algorithm>

#include "catalogue/IniFile.h"
#include "cli/Command.h"

std::string DefaultIniPath() {
    const std::string exe = ExecutablePath();
    const size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) +
           "/patchscribe.INI";
}

bool ParsedOptions::Has(const std::string& name) const {
    return values.count(name) != 0 || std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::optional<std::string> ParsedOptions::Value(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

ParsedOptions ParseOptions(const std::vector<std::string>& args,
                           const std::vector<std::string>& valueOptions,
                           const std::vector<std::string>& flagOptions) {
    const auto known = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    ParsedOptions out;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        if (known(valueOptions, name)) {
            if (eq != std::string::npos) {
                out.values[name] = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                out.values[name] = args[++i];
            } else {
                throw UsageError{"option " + name + " needs a value"};
            }
        } else if (known(flagOptions, name) && eq == std::string::npos) {
            out.flags.push_back(name);
        } else {
            throw UsageError{"unknown option '" + a + "'"};
        }
    }
    return out;
}

void RequirePositional(const ParsedOptions& options, size_t count, const char* what) {
    if (options.positional.size() < count) throw UsageError{std::string("missing ") + what};
    if (options.positional.size() > count)
        throw UsageError{"unexpected argument '" + options.positional[count] + "'"};
}

std::string IniPathFrom(const ParsedOptions& options) {
    return options.Value("--ini").value_or(DefaultIniPath());
}

namespace {
class CollectingView : public ILoadSettingsView {
public:
    explicit CollectingView(LoadedModels& m) : m_(m) {}
    void SetCheckCategory(bool checked) override { m_.checkCategory = checked; }
    void SetCheckNumber(bool checked) override { m_.checkNumber = checked; }
    void SetCheckSonar(bool checked) override { m_.checkSonar = checked; }
    void AddModelName(const std::string& name) override { m_.names.push_back(name); }

private:
    LoadedModels& m_;
};
}  // namespace

LoadedModels LoadModels(IniFile& ini) {
    LoadedModels m;
    m.synths = std::make_unique<TSynthTable>();
    CollectingView view(m);
    LoadSettings(ini, view, m.lastSynthBank, *m.synths, m.synthCount);
    SortModelNames(m.names);
    return m;
}

int FindModel(const LoadedModels& models, const std::string& name) {
    const int item = FindModelNameIgnoreCase(models.names, name);
    if (item < 0) return -1;
    return FindSynthByName(*models.synths, models.synthCount,
                           models.names[static_cast<size_t>(item)]);
}
