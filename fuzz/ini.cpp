// Fuzz target: the settings file parser and writer.
//
// The input is a settings file.  Every section and key that a plain
// reference parser finds must read the same through IniFile; then one value
// is written and the new file must differ from the old one only in that
// value (or by one added line or section), reading back what was written.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "catalogue/IniFile.h"

namespace {

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

void Trim(const std::string& t, size_t& b, size_t& e) {
    while (b < e && Blank(t[b])) ++b;
    while (e > b && Blank(t[e - 1])) --e;
}

struct RefKey {
    std::string name;   // as written
    std::string value;  // as read
    size_t rawBegin, rawEnd;
};
struct RefSection {
    std::string name;
    std::map<std::string, RefKey> keys;  // by lower-case name, first wins
};

// A straightforward line-by-line reading of the same rules.
std::map<std::string, RefSection> ReferenceParse(const std::string& t) {
    std::map<std::string, RefSection> sections;
    std::map<std::string, RefSection>::iterator current = sections.end();
    size_t pos = 0;
    while (pos < t.size()) {
        size_t end = t.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = t.size();
        size_t next = end;
        if (end < t.size())
            next = (t[end] == '\r' && end + 1 < t.size() && t[end + 1] == '\n') ? end + 2 : end + 1;
        size_t b = pos, e = end;
        pos = next;
        Trim(t, b, e);
        if (b == e || t[b] == ';') continue;
        if (t[b] == '[') {
            const size_t close = t.find(']', b);
            if (close < end) {
                size_t nb = b + 1, ne = close;
                Trim(t, nb, ne);
                const std::string name = t.substr(nb, ne - nb);
                const std::string low = Lower(name);
                if (sections.count(low)) {
                    current = sections.end();
                } else {
                    current = sections.emplace(low, RefSection{name, {}}).first;
                }
                continue;
            }
        }
        const size_t eq = t.find('=', b);
        if (eq >= end || current == sections.end()) continue;
        size_t kb = b, ke = eq, vb = eq + 1, ve = e;
        Trim(t, kb, ke);
        Trim(t, vb, ve);
        std::string value = t.substr(vb, ve - vb);
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        if (value.size() > 2047) value.resize(2047);
        const std::string name = t.substr(kb, ke - kb);
        current->second.keys.emplace(Lower(name), RefKey{name, value, vb, ve});
    }
    return sections;
}

std::string TempPath() {
    struct stat st {};
    const std::string dir = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    return dir + "/patchscribe-fuzz-ini-" + std::to_string(getpid()) + ".INI";
}

void WriteRaw(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
}

std::string ReadRaw(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) std::abort();
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

bool ValidName(const std::string& n, bool section) {
    if (n.empty() || Blank(n.front()) || Blank(n.back())) return false;
    if (n.find_first_of("\r\n") != std::string::npos) return false;
    if (section) return n.find(']') == std::string::npos;
    return n.find('=') == std::string::npos && n[0] != ';' && n[0] != '[';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = TempPath();
    static const bool removeAtExit = [] {
        std::atexit([] { unlink(path.c_str()); });
        return true;
    }();
    (void)removeAtExit;
    const std::string text(reinterpret_cast<const char*>(data), size);
    WriteRaw(path, text);
    const auto ref = ReferenceParse(text);

    IniFile ini(path);
    // Every key the reference finds, asked for in upper case.
    for (const auto& [low, sec] : ref) {
        for (const auto& [klow, key] : sec.keys) {
            std::string upper = sec.name;
            for (char& c : upper)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (ini.ReadString(upper, key.name, "\x01missing") != key.value) std::abort();
        }
        if (ini.ReadString(sec.name, "no such key here", "d") != "d") std::abort();
    }

    // One write: the value comes from the input's last bytes, the target
    // from its first byte (an existing key, a new key, a new section).
    std::string value = text.substr(text.size() > 24 ? text.size() - 24 : 0);
    for (char& c : value)
        if (c == '\r' || c == '\n') c = '_';
    std::string section = "Fuzz New Section";
    std::string keyName = "FuzzKey";
    const RefKey* existing = nullptr;
    if (!ref.empty() && size > 0) {
        auto it = ref.begin();
        std::advance(it, data[0] % ref.size());
        section = it->second.name;
        if (!it->second.keys.empty() && (data[0] & 0x80) == 0) {
            auto k = it->second.keys.begin();
            std::advance(k, (data[0] >> 1) % it->second.keys.size());
            keyName = k->second.name;
            existing = &k->second;
        } else if (it->second.keys.count(Lower(keyName))) {
            existing = &it->second.keys.at(Lower(keyName));
        }
    }
    if (!ValidName(section, true) || !ValidName(keyName, false)) {
        try {
            ini.WriteString(section, keyName, value);
            std::abort();  // invalid names must be refused
        } catch (const std::invalid_argument&) {
        }
        if (ReadRaw(path) != text) std::abort();
        return 0;
    }
    ini.WriteString(section, keyName, value);
    const std::string after = ReadRaw(path);

    // The change is one stretch: what was removed must be the old value.
    size_t p = 0;
    while (p < text.size() && p < after.size() && text[p] == after[p]) ++p;
    size_t s = 0;
    while (s < text.size() - p && s < after.size() - p &&
           text[text.size() - 1 - s] == after[after.size() - 1 - s])
        ++s;
    const size_t removedBegin = p, removedEnd = text.size() - s;
    if (existing != nullptr) {
        if (removedBegin < removedEnd &&
            (removedBegin < existing->rawBegin || removedEnd > existing->rawEnd))
            std::abort();
    } else if (removedBegin != removedEnd) {
        std::abort();
    }

    // Read back, by this object and by a fresh one; the others are unchanged.
    if (ini.ReadString(section, keyName, "\x01missing") != value) std::abort();
    IniFile fresh(path);
    if (fresh.ReadString(section, keyName, "\x01missing") != value) std::abort();
    const auto ref2 = ReferenceParse(after);
    for (const auto& [low, sec] : ref) {
        const auto it = ref2.find(low);
        if (it == ref2.end()) std::abort();
        for (const auto& [klow, key] : sec.keys) {
            if (low == Lower(section) && klow == Lower(keyName)) continue;
            const auto k = it->second.keys.find(klow);
            if (k == it->second.keys.end() || k->second.value != key.value) std::abort();
        }
    }
    return 0;
}
