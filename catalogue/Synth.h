// Synth bank models: TSynth, the model table and the start-up loader.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class IniFile;

struct TSynth {
    std::string Name;
    std::string Notes;
    std::string RequestMode;
    std::string RequestBytes;
    std::string BankMSB;
    std::string BankLSB;
    std::string Channel;
    std::string NumOfNames;
    int32_t NameStartPos = 0;
    int32_t NameSize = 0;
    std::string Category;
    int32_t CatPos = 0;
    int32_t StartNum = 0;
    int32_t StartPatch = 0;
    int32_t PatchNumFormat = 0;
    int32_t SleepTime = 0;
    int32_t NumSysexBlocks = 0;
    int32_t NameSyxBlk = 0;
    int32_t FontSize = 0;
    int32_t SonarBankMethod = 0;

    bool operator==(const TSynth&) const = default;
};

constexpr int kMaxSynths = 1000;
using TSynthTable = std::array<TSynth, kMaxSynths>;

// The model built from every key's default.
TSynth DefaultSynth();

// Reads model section "Synths<i>" (its twenty keys with their defaults).
TSynth ReadSynth(IniFile& ini, int index);

// "Key=Value" lines of a model in the key order of its settings section
// (integers in decimal, texts as stored).
std::vector<std::string> SynthKeyValueLines(const TSynth& synth);

// What the loader tells its front end, in this order: the three option flags,
// then each model name as it is read.
class ILoadSettingsView {
public:
    virtual ~ILoadSettingsView() = default;
    virtual void SetCheckCategory(bool checked) = 0;
    virtual void SetCheckNumber(bool checked) = 0;
    virtual void SetCheckSonar(bool checked) = 0;
    virtual void AddModelName(const std::string& name) = 0;
};

// Fills lastSynthBank, synthCount and synths (at most kMaxSynths models; the
// rest of a larger Total is ignored, synthCount keeps the value read).
void LoadSettings(IniFile& ini, ILoadSettingsView& view, std::string& lastSynthBank,
                  TSynthTable& synths, int32_t& synthCount);

// The model list order: case-insensitive, byte order breaking ties.
bool ModelNameLess(const std::string& a, const std::string& b);
// Sorts names into the model list order.
void SortModelNames(std::vector<std::string>& names);
// Position of the first name equal to text, letter case ignored; -1 if none.
int FindModelNameIgnoreCase(const std::vector<std::string>& names, const std::string& text);
// Index of the lowest entry below synthCount whose Name equals text exactly; -1 if none.
int FindSynthByName(const TSynthTable& synths, int32_t synthCount, const std::string& text);

// A reply's category byte is read as a signed 8-bit number, so only the
// entries 0 to 127 of a category table can ever be named.
constexpr int32_t kMaxCategories = 128;

// Category names of section `category`: Total, then Cat0 ... Cat<Total-1>
// (at most kMaxCategories of them; a larger Total reads the first 128).
std::vector<std::string> ReadCategoryNames(IniFile& ini, const std::string& category);
