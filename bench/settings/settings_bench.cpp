// Loading a 1000-model settings file against one parse of the same file.
//
// LoadSettings reads about 20,000 keys, each of which checks that the file
// is still the one parsed; the baseline reads the file and parses it once.
// Prints the ratio of the two (median of several runs each).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/IniFile.h"
#include "catalogue/Synth.h"

namespace {

class NullView : public ILoadSettingsView {
public:
    void SetCheckCategory(bool) override {}
    void SetCheckNumber(bool) override {}
    void SetCheckSonar(bool) override {}
    void AddModelName(const std::string& name) override { names += name.size(); }
    size_t names = 0;
};

std::string GeneratedFile() {
    std::string t = "; generated: 1000 models\n[LastSelected]\nSynthBank=Model 0500\n";
    t += "[Synths]\nTotal=1000\n";
    for (int i = 0; i < 1000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Model %04d", i);
        t += "\n; model " + std::to_string(i) + "\n[Synths" + std::to_string(i) + "]\n";
        t += std::string("Name=") + name + "\n";
        t += "Notes=Select the user bank on the instrument first\n";
        t += "RequestMode=F0 41 10 42 12 40 00 7F 00 41 F7\n";
        t += "RequestBytes=F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7\n";
        t += "BankMSB=87\nBankLSB=" + std::to_string(i % 128) + "\nChannel=1\nNumOfNames=128\n";
        t += "NameStartPos=11\nNameSize=12\nCategory=Roland\nCatPos=10\nStartNum=1\n";
        t += "StartPatch=0\nPatchNumFormat=0\nSleepTime=120\nNumSysexBlocks=1\nNameSyxBlk=1\n";
        t += "FontSize=12\nSonarBankMethod=1\n";
    }
    t += "[Roland]\nTotal=4\nCat0=Piano\nCat1=Organ\nCat2=Strings\nCat3=Bass\n";
    return t;
}

double Seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    char dir[] = "/tmp/patchscribe-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string path = std::string(dir) + "/patchscribe.INI";
    const std::string text = GeneratedFile();
    std::ofstream(path, std::ios::binary) << text;

    auto synths = std::make_unique<TSynthTable>();
    size_t sink = 0;
    constexpr int kRuns = 101;

    // Warm up the page cache and the allocator.
    for (int i = 0; i < 3; ++i) {
        IniFile ini(path);
        sink += ini.ReadString("Synths", "Total", "").size();
    }

    // One parse: a fresh object reads the file and parses it at its first access.
    const auto parseOnce = [&] {
        IniFile ini(path);
        sink += ini.ReadString("Synths999", "Name", "").size();
    };
    // The start-up's load: the same parse plus 20,000 reads.
    const auto loadOnce = [&] {
        IniFile ini(path);
        NullView view;
        std::string last;
        int32_t count = 0;
        LoadSettings(ini, view, last, *synths, count);
        sink += view.names + static_cast<size_t>(count);
    };
    // Interleaved, so that a busy moment of the machine hits both alike.
    std::vector<double> parseTimes, loadTimes;
    for (int r = 0; r < kRuns; ++r) {
        parseTimes.push_back(Seconds(parseOnce));
        loadTimes.push_back(Seconds(loadOnce));
    }
    const double parse = Median(parseTimes);
    const double load = Median(loadTimes);

    std::printf("settings file: %zu bytes, 1000 models, %d runs each (median)\n", text.size(),
                kRuns);
    std::printf("one parse: %.3f ms, LoadSettings: %.3f ms\n", parse * 1e3, load * 1e3);
    std::printf("settings load ratio: %.2f (goal <= 2.0)\n", load / parse);

    unlink(path.c_str());
    rmdir(dir);
    return sink == 0 ? 1 : 0;
}
