// The settings file: an INI file read and written key by key, each access
// seeing the file as it is on disk at that moment.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;  // "Unable to write to %s"
};

// One object is used from one thread (the window's, or the CLI's).
class IniFile {
public:
    // path: the settings file's own location (beside the executable).  When
    // its folder cannot be written, reads and writes go to the per-user copy
    // (UserSettingsPath()) once it exists; the first write seeds it with a
    // copy of the file at path.
    explicit IniFile(std::string path);
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def);
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def);
    bool ReadBool(const std::string& section, const std::string& key, bool def);
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteBool(const std::string& section, const std::string& key, bool value);

    // While a ReadBatch on this object exists, its reads see one version of
    // the file: the first read checks the file (and parses it again when it
    // changed), the later ones use that parse without looking at the disk.
    // For a run of reads that belong together, such as loading the model
    // table.  Writes still go to the file at once and are seen by the batch.
    class ReadBatch {
    public:
        explicit ReadBatch(IniFile& ini);
        ~ReadBatch();
        ReadBatch(const ReadBatch&) = delete;
        ReadBatch& operator=(const ReadBatch&) = delete;

    private:
        IniFile& ini_;
    };

    // The path given at construction.
    const std::string& FileName() const;
    // The file that reads and writes use now.
    std::string EffectivePath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The executable's full path with the extension of its file name replaced by
// ".INI" (".INI" appended when the file name has no dot).
std::string SettingsPathFor(const std::string& executablePath);
// The full path of the running executable.
std::string ExecutablePath();
// $XDG_CONFIG_HOME (or ~/.config) + "/patchscribe/patchscribe.INI".
std::string UserSettingsPath();
