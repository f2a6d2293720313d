#include "catalogue/Synth.h"

#include <algorithm>
#include <variant>

#include "catalogue/IniFile.h"

namespace {

// One key of a model section: its name, the field it fills and its default.
struct SynthKey {
    std::string key;
    std::variant<std::string TSynth::*, int32_t TSynth::*> field;
    std::string textDefault;
    int32_t intDefault;
};

// The keys of a model section in the order they are read and listed.
const SynthKey kSynthKeys[] = {
    {"Name", &TSynth::Name, "SC User Patch 1 to 128", 0},
    {"RequestMode", &TSynth::RequestMode, "", 0},
    {"RequestBytes", &TSynth::RequestBytes, "F0 41 10 00 00  25 11 1F 00 00 00 00 00 00 0D 45 F7",
     0},
    {"BankMSB", &TSynth::BankMSB, "87", 0},
    {"BankLSB", &TSynth::BankLSB, "00", 0},
    {"Channel", &TSynth::Channel, "1", 0},
    {"NumOfNames", &TSynth::NumOfNames, "128", 0},
    {"NameStartPos", &TSynth::NameStartPos, "", 11},
    {"NameSize", &TSynth::NameSize, "", 12},
    {"Category", &TSynth::Category, "", 0},
    {"CatPos", &TSynth::CatPos, "", -1},
    {"StartNum", &TSynth::StartNum, "", 0},
    {"StartPatch", &TSynth::StartPatch, "", 0},
    {"PatchNumFormat", &TSynth::PatchNumFormat, "", 0},
    {"SleepTime", &TSynth::SleepTime, "", 120},
    {"NumSysexBlocks", &TSynth::NumSysexBlocks, "", 1},
    {"NameSyxBlk", &TSynth::NameSyxBlk, "", 1},
    {"FontSize", &TSynth::FontSize, "", 12},
    {"SonarBankMethod", &TSynth::SonarBankMethod, "", 1},
    {"Notes", &TSynth::Notes, "", 0},
};

unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool EqualIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return Lower(static_cast<unsigned char>(x)) == Lower(static_cast<unsigned char>(y));
           });
}

}  // namespace

TSynth DefaultSynth() {
    TSynth s;
    for (const SynthKey& k : kSynthKeys) {
        if (auto* text = std::get_if<std::string TSynth::*>(&k.field))
            s.** text = k.textDefault;
        else
            s.*std::get<int32_t TSynth::*>(k.field) = k.intDefault;
    }
    return s;
}

TSynth ReadSynth(IniFile& ini, int index) {
    const std::string section = "Synths" + std::to_string(index);
    TSynth s;
    for (const SynthKey& k : kSynthKeys) {
        if (auto* text = std::get_if<std::string TSynth::*>(&k.field))
            s.** text = ini.ReadString(section, k.key, k.textDefault);
        else
            s.*std::get<int32_t TSynth::*>(k.field) = ini.ReadInteger(section, k.key, k.intDefault);
    }
    return s;
}

std::vector<std::string> SynthKeyValueLines(const TSynth& synth) {
    std::vector<std::string> lines;
    lines.reserve(std::size(kSynthKeys));
    for (const SynthKey& k : kSynthKeys) {
        std::string line = k.key + "=";
        if (auto* text = std::get_if<std::string TSynth::*>(&k.field))
            line += synth.**text;
        else
            line += std::to_string(synth.*std::get<int32_t TSynth::*>(k.field));
        lines.push_back(std::move(line));
    }
    return lines;
}

void LoadSettings(IniFile& ini, ILoadSettingsView& view, std::string& lastSynthBank,
                  TSynthTable& synths, int32_t& synthCount) {
    // The whole table comes from one version of the file.
    IniFile::ReadBatch batch(ini);
    lastSynthBank = ini.ReadString("LastSelected", "SynthBank", "");
    view.SetCheckCategory(ini.ReadBool("LastSelected", "CheckCategory", true));
    view.SetCheckNumber(ini.ReadBool("LastSelected", "CheckNumber", true));
    view.SetCheckSonar(ini.ReadBool("LastSelected", "CheckSonar", true));
    synthCount = ini.ReadInteger("Synths", "Total", 1);
    // The table holds kMaxSynths models; the sections beyond are not read.
    const int32_t loaded = std::min<int32_t>(synthCount, kMaxSynths);
    for (int32_t i = 0; i < loaded; ++i) {
        synths[static_cast<size_t>(i)] = ReadSynth(ini, i);
        view.AddModelName(synths[static_cast<size_t>(i)].Name);
    }
}

bool ModelNameLess(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = Lower(static_cast<unsigned char>(a[i]));
        const unsigned char y = Lower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;  // std::string compares bytes as unsigned char
}

void SortModelNames(std::vector<std::string>& names) {
    std::stable_sort(names.begin(), names.end(), ModelNameLess);
}

int FindModelNameIgnoreCase(const std::vector<std::string>& names, const std::string& text) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (EqualIgnoreCase(names[i], text)) return static_cast<int>(i);
    }
    return -1;
}

int FindSynthByName(const TSynthTable& synths, int32_t synthCount, const std::string& text) {
    const int32_t n = std::min<int32_t>(synthCount, kMaxSynths);
    for (int32_t i = 0; i < n; ++i) {
        if (synths[static_cast<size_t>(i)].Name == text) return i;
    }
    return -1;
}

std::vector<std::string> ReadCategoryNames(IniFile& ini, const std::string& category) {
    IniFile::ReadBatch batch(ini);
    const int32_t total = std::min(ini.ReadInteger(category, "Total", 0), kMaxCategories);
    std::vector<std::string> names;
    for (int32_t k = 0; k < total; ++k)
        names.push_back(ini.ReadString(category, "Cat" + std::to_string(k), ""));
    return names;
}
