// The settings file.
//
// Reading: the file is parsed once into a copy held in memory and looked up
// through hash maps; every access first checks (one stat) that the file on
// disk is still the one parsed and parses it again when it is not.
//
// Writing: the new text is the old text with one value replaced or one line
// added, written to a temporary file in the same folder, flushed to disk and
// renamed over the old file, so the settings file is always either the old or
// the new version, never a half-written one.
#include "catalogue/IniFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/IntConv.h"

namespace {

// Positions in the text are 32-bit: a settings file is far smaller.
constexpr size_t kMaxFileSize = 0xFFFFFFF0u;

// Values are read up to this many characters.
constexpr size_t kMaxValueLength = 2047;

unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a == b) return true;  // names are usually written as they are asked for
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(static_cast<unsigned char>(a[i])) != Lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

size_t HashNoCase(std::string_view s, size_t seed = 14695981039346656037ull) {
    size_t h = seed;
    for (char c : s) {
        h ^= Lower(static_cast<unsigned char>(c));
        h *= 1099511628211ull;
    }
    return h;
}

struct NoCaseHash {
    size_t operator()(std::string_view s) const { return HashNoCase(s); }
};
struct NoCaseEqual {
    bool operator()(std::string_view a, std::string_view b) const { return EqualNoCase(a, b); }
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}
bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// One key line.  Positions are offsets into the file text.
struct KeyLine {
    uint32_t nameBegin, nameEnd;
    uint32_t rawBegin, rawEnd;      // the value as written, blanks around it removed
    uint32_t valueBegin, valueEnd;  // the same without one pair of quotes around it
};

// Sections with more keys than this get a hash index at their first lookup;
// smaller ones are scanned (length first), which is faster for the usual
// twenty keys.
constexpr size_t kScanLimit = 48;

struct Section {
    size_t firstKey = 0, endKey = 0;  // the section's key lines in Parsed::keys
    size_t insertAt = 0;              // just past the section's last key line (or header)
    bool needsBreak = false;          // that line is the file's last and has no line break
    // name -> position in Parsed::keys of the first key of that name
    mutable std::unique_ptr<std::unordered_map<std::string_view, size_t, NoCaseHash, NoCaseEqual>>
        index;
};

// One parse of the file.  Everything points into `text`, so a Parsed is
// never copied or moved; it is replaced as a whole.
struct Parsed {
    std::string text;
    std::string lineBreak = "\n";  // the file's own line break, for added lines
    bool endsWithBreak = true;
    std::vector<Section> sections;  // the first section of each name
    std::unordered_map<std::string_view, uint32_t, NoCaseHash, NoCaseEqual> sectionIndex;
    std::vector<KeyLine> keys;  // in file order, grouped by section

    // The section found last: reads usually ask for one section many times.
    mutable std::string lastSectionName;
    mutable int64_t lastSection = -2;  // -2: none asked yet, -1: not in the file

    Parsed() = default;
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;

    std::string_view Name(const KeyLine& k) const {
        return std::string_view(text).substr(k.nameBegin, k.nameEnd - k.nameBegin);
    }

    int64_t FindSection(const std::string& section) const {
        if (lastSection == -2 || section != lastSectionName) {
            const auto s = sectionIndex.find(section);
            lastSection = s == sectionIndex.end() ? int64_t{-1} : int64_t{s->second};
            lastSectionName = section;
        }
        return lastSection;
    }

    // The first key line of the name in the section's first occurrence.
    const KeyLine* Find(const std::string& section, const std::string& key) const {
        const int64_t si = FindSection(section);
        if (si < 0) return nullptr;
        const Section& sec = sections[static_cast<size_t>(si)];
        if (sec.endKey - sec.firstKey > kScanLimit) {
            if (!sec.index) {
                sec.index = std::make_unique<
                    std::unordered_map<std::string_view, size_t, NoCaseHash, NoCaseEqual>>();
                sec.index->reserve(sec.endKey - sec.firstKey);
                for (size_t i = sec.firstKey; i < sec.endKey; ++i)
                    sec.index->try_emplace(Name(keys[i]), i);
            }
            const auto k = sec.index->find(key);
            return k == sec.index->end() ? nullptr : &keys[k->second];
        }
        if (key.empty()) {
            for (size_t i = sec.firstKey; i < sec.endKey; ++i)
                if (keys[i].nameEnd == keys[i].nameBegin) return &keys[i];
            return nullptr;
        }
        const unsigned char first = Lower(static_cast<unsigned char>(key[0]));
        for (size_t i = sec.firstKey; i < sec.endKey; ++i) {
            const KeyLine& k = keys[i];
            if (k.nameEnd - k.nameBegin == key.size() &&
                Lower(static_cast<unsigned char>(text[k.nameBegin])) == first &&
                EqualNoCase(Name(k), key))
                return &k;
        }
        return nullptr;
    }
};

std::unique_ptr<Parsed> Parse(std::string text) {
    auto p = std::make_unique<Parsed>();
    p->text = std::move(text);
    const std::string_view t = p->text;
    const size_t n = t.size();
    p->endsWithBreak = n == 0 || t[n - 1] == '\n' || t[n - 1] == '\r';
    p->keys.reserve(n / 24 + 8);

    bool breakSeen = false;
    int64_t current = -1;  // section the key lines belong to; -1: none or a repeated one
    size_t pos = 0;
    while (pos < n) {
        size_t end = pos;
        while (end < n && t[end] != '\n' && t[end] != '\r') ++end;
        size_t next = end;
        if (end < n) {
            next = (t[end] == '\r' && end + 1 < n && t[end + 1] == '\n') ? end + 2 : end + 1;
            if (!breakSeen) {
                p->lineBreak.assign(t.substr(end, next - end));
                breakSeen = true;
            }
        }
        const size_t lineStart = pos;
        pos = next;

        size_t b = lineStart;
        while (b < end && IsBlank(t[b])) ++b;
        if (b == end || t[b] == ';') continue;

        if (t[b] == '[') {
            const size_t close = t.substr(0, end).find(']', b + 1);
            if (close != std::string_view::npos) {
                size_t nb = b + 1, ne = close;
                while (nb < ne && IsBlank(t[nb])) ++nb;
                while (ne > nb && IsBlank(t[ne - 1])) --ne;
                const std::string_view name = t.substr(nb, ne - nb);
                const auto [it, added] =
                    p->sectionIndex.try_emplace(name, static_cast<uint32_t>(p->sections.size()));
                if (added) {
                    Section& sec = p->sections.emplace_back();
                    sec.firstKey = sec.endKey = p->keys.size();
                    sec.insertAt = next;
                    sec.needsBreak = next == end;
                    current = it->second;
                } else {
                    current = -1;
                }
                continue;
            }
            // No closing bracket: an ordinary line.
        }

        if (current < 0) continue;
        const size_t eq = t.substr(0, end).find('=', b);
        if (eq == std::string_view::npos) continue;
        size_t ke = eq;
        while (ke > b && IsBlank(t[ke - 1])) --ke;
        size_t vb = eq + 1, ve = end;
        while (vb < ve && IsBlank(t[vb])) ++vb;
        while (ve > vb && IsBlank(t[ve - 1])) --ve;
        const auto u32 = [](size_t v) { return static_cast<uint32_t>(v); };
        KeyLine line{u32(b), u32(ke), u32(vb), u32(ve), u32(vb), u32(ve)};
        if (ve - vb >= 2 && IsQuote(t[vb]) && t[ve - 1] == t[vb]) {
            line.valueBegin = u32(vb + 1);
            line.valueEnd = u32(ve - 1);
        }
        // Sections are never reopened, so a section's keys stay together.
        p->keys.push_back(line);
        Section& sec = p->sections[static_cast<size_t>(current)];
        sec.endKey = p->keys.size();
        sec.insertAt = next;
        sec.needsBreak = next == end;
    }
    return p;
}

// What identifies one version of a file on disk.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    static FileId Of(const struct stat& st) {
        FileId id;
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtime = st.st_mtim;
        id.ctime = st.st_ctim;
        return id;
    }
    bool operator==(const FileId& o) const {
        if (exists != o.exists) return false;
        if (!exists) return true;
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

[[noreturn]] void ThrowWriteError(const std::string& path) {
    throw EIniFileError("Unable to write to " + path);
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> buf(4096);
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return path;
        buf.resize(buf.size() * 2);
    }
    std::string cwd = buf.data();
    if (cwd.empty() || cwd.back() != '/') cwd += '/';
    return cwd + path;
}

std::string DirName(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the whole file; false when it does not exist.  The id is taken from
// the open file and the read is repeated when the file changed meanwhile.
bool ReadWholeFile(const std::string& path, std::string& text, FileId& id) {
    for (int attempt = 0;; ++attempt) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR) return false;
            throw EIniFileError("Unable to read " + path + ": " + std::strerror(errno));
        }
        struct stat before {};
        struct stat after {};
        bool ok = fstat(fd, &before) == 0;
        // Read straight into the text, growing it when the file grew.
        size_t used = 0;
        const size_t expected = ok && before.st_size > 0 ? static_cast<size_t>(before.st_size) : 0;
        text.resize(std::min(expected, kMaxFileSize) + 4096);
        while (ok) {
            if (used == text.size()) text.resize(text.size() * 2);
            const ssize_t got = read(fd, text.data() + used, text.size() - used);
            if (got == 0) break;
            if (got < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            used += static_cast<size_t>(got);
            if (used > kMaxFileSize) {
                close(fd);
                throw EIniFileError("Unable to read " + path + ": the file is too large");
            }
        }
        text.resize(used);
        ok = ok && fstat(fd, &after) == 0;
        const int err = errno;
        close(fd);
        if (!ok) throw EIniFileError("Unable to read " + path + ": " + std::strerror(err));
        id = FileId::Of(after);
        if ((FileId::Of(before) == id && static_cast<off_t>(text.size()) == after.st_size) ||
            attempt >= 5)
            return true;
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

// Replaces `target` by a file holding `text`: a temporary file in the same
// folder, flushed, given the old file's permissions, renamed over the old one.
// `reportPath` is the path named in the error message.
void ReplaceFile(const std::string& target, const std::string& text, const struct stat* old,
                 const std::string& reportPath) {
    static std::atomic<unsigned> counter{0};
    const std::string dir = DirName(target);
    const std::string stem =
        dir + "/." + BaseName(target) + ".tmp" + std::to_string(getpid()) + ".";
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = stem + std::to_string(counter.fetch_add(1));
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) ThrowWriteError(reportPath);

    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    if (ok && old != nullptr) {
        ok = fchmod(fd, old->st_mode & 07777) == 0;
        // Only root can give the file back to another owner.
        if (ok && geteuid() == 0 && (old->st_uid != 0 || old->st_gid != 0))
            ok = fchown(fd, old->st_uid, old->st_gid) == 0;
    }
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        ThrowWriteError(reportPath);
    }
    // Make the rename itself durable.  The new file is in place whatever the
    // result, so a failure here does not undo the write.
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

// Creates the folder and its missing parents.
bool MakeFolders(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (dir.size() > 1) {
        const std::string parent = DirName(dir);
        if (parent != dir && !MakeFolders(parent)) return false;
    }
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// A value as written to a line: quoted when its blanks or quotes would
// otherwise be lost on reading it back.
std::string EncodeValue(const std::string& v) {
    const bool blankEdge = !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()));
    const bool quoted = v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front();
    return (blankEdge || quoted) ? "\"" + v + "\"" : v;
}

void CheckName(const std::string& name, bool isSection) {
    bool ok = !name.empty() && !IsBlank(name.front()) && !IsBlank(name.back()) &&
              name.find_first_of("\r\n") == std::string::npos;
    if (isSection)
        ok = ok && name.find(']') == std::string::npos;
    else
        ok = ok && name.find('=') == std::string::npos && name[0] != ';' && name[0] != '[';
    if (!ok)
        throw std::invalid_argument(std::string("invalid settings ") +
                                    (isSection ? "section" : "key") + " name '" + name + "'");
}

// The text of `p` with [section] key set to value.
std::string Edited(const Parsed& p, const std::string& section, const std::string& key,
                   const std::string& value) {
    const std::string& t = p.text;
    const std::string v = EncodeValue(value);
    const int64_t si = p.FindSection(section);
    if (si >= 0) {
        if (const KeyLine* line = p.Find(section, key))
            return t.substr(0, line->rawBegin) + v + t.substr(line->rawEnd);
        const Section& sec = p.sections[static_cast<size_t>(si)];
        std::string added = sec.needsBreak ? p.lineBreak : std::string();
        added += key + "=" + v + p.lineBreak;
        return t.substr(0, sec.insertAt) + added + t.substr(sec.insertAt);
    }
    std::string out = t;
    if (!p.endsWithBreak) out += p.lineBreak;
    out += "[" + section + "]" + p.lineBreak + key + "=" + v + p.lineBreak;
    return out;
}

}  // namespace

struct IniFile::Impl {
    std::string given;      // as passed to the constructor
    std::string installed;  // its absolute form
    std::string user;       // the per-user copy
    bool useUserCopy = false;

    std::string cachedPath;
    FileId cachedId;
    std::unique_ptr<Parsed> cache;
    int batchDepth = 0;       // open ReadBatch objects
    bool batchValid = false;  // the cache was checked since the batch began

    // The folder of the settings file refuses writes: reads and writes go
    // to the per-user copy.  A folder that is missing altogether does not
    // count; a write there fails with its error.
    void CheckFolder() {
        const std::string dir = DirName(installed);
        if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0) {
            useUserCopy = false;
        } else {
            useUserCopy = errno == EACCES || errno == EROFS || errno == EPERM;
        }
    }

    // The file reads use now, with its state on disk.
    std::string ReadPath(struct stat& st, bool& exists) const {
        if (useUserCopy && stat(user.c_str(), &st) == 0) {
            exists = true;
            return user;
        }
        exists = stat(installed.c_str(), &st) == 0;
        return installed;
    }

    const Parsed& Current() {
        if (batchDepth > 0 && batchValid && cache) return *cache;
        struct stat st {};
        bool exists = false;
        const std::string path = ReadPath(st, exists);
        const FileId id = exists ? FileId::Of(st) : FileId{};
        if (!cache || path != cachedPath || !(id == cachedId)) Load(path);
        batchValid = batchDepth > 0;
        return *cache;
    }

    void Load(const std::string& path) {
        std::string text;
        FileId id;
        if (!ReadWholeFile(path, text, id)) id = FileId{};
        cache = Parse(std::move(text));
        cachedPath = path;
        cachedId = id;
    }

    void Write(const std::string& section, const std::string& key, const std::string& value) {
        CheckName(section, true);
        CheckName(key, false);
        CheckFolder();
        std::string target = useUserCopy ? user : installed;
        if (value.find_first_of("\r\n") != std::string::npos) ThrowWriteError(target);

        // The file that the new text is based on: the target itself, or the
        // installed file when a per-user copy is about to be seeded from it.
        struct stat st {};
        const bool targetExists = stat(target.c_str(), &st) == 0;
        if (useUserCopy && !targetExists) {
            if (!MakeFolders(DirName(user))) ThrowWriteError(user);
            Load(installed);
        } else {
            Load(target);
        }

        // A symbolic link stays in place; the file it points to is replaced.
        std::string file = target;
        struct stat lst {};
        if (lstat(target.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
            if (char* real = realpath(target.c_str(), nullptr)) {
                file = real;
                std::free(real);
            }
        }
        if (targetExists && faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)
            ThrowWriteError(target);

        std::string text = Edited(*cache, section, key, value);
        if (text.size() > kMaxFileSize) ThrowWriteError(target);
        ReplaceFile(file, text, targetExists ? &st : nullptr, target);
        cache = Parse(std::move(text));
        cachedPath = target;
        struct stat now {};
        cachedId = stat(target.c_str(), &now) == 0 ? FileId::Of(now) : FileId{};
    }
};

IniFile::IniFile(std::string path) : impl_(std::make_unique<Impl>()) {
    impl_->given = std::move(path);
    impl_->installed = Absolute(impl_->given);
    impl_->user = UserSettingsPath();
    impl_->CheckFolder();
}

IniFile::~IniFile() = default;

IniFile::ReadBatch::ReadBatch(IniFile& ini) : ini_(ini) {
    ++ini_.impl_->batchDepth;
}

IniFile::ReadBatch::~ReadBatch() {
    if (--ini_.impl_->batchDepth == 0) ini_.impl_->batchValid = false;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) {
    const Parsed& p = impl_->Current();
    const KeyLine* line = p.Find(section, key);
    if (line == nullptr) return def;
    const size_t len = std::min<size_t>(line->valueEnd - line->valueBegin, kMaxValueLength);
    return p.text.substr(line->valueBegin, len);
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) {
    const Parsed& p = impl_->Current();
    const KeyLine* line = p.Find(section, key);
    if (line == nullptr) return def;
    const size_t len = std::min<size_t>(line->valueEnd - line->valueBegin, kMaxValueLength);
    return StrToIntDef(std::string_view(p.text).substr(line->valueBegin, len), def);
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
    impl_->Write(section, key, value);
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    impl_->Write(section, key, value ? "1" : "0");
}

const std::string& IniFile::FileName() const {
    return impl_->given;
}

std::string IniFile::EffectivePath() const {
    struct stat st {};
    bool exists = false;
    return impl_->ReadPath(st, exists);
}

std::string SettingsPathFor(const std::string& executablePath) {
    const size_t slash = executablePath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = executablePath.rfind('.');
    if (dot == std::string::npos || dot < nameStart) return executablePath + ".INI";
    return executablePath.substr(0, dot) + ".INI";
}

std::string ExecutablePath() {
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            throw std::runtime_error(std::string("Unable to find the executable: ") +
                                     std::strerror(errno));
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

std::string UserSettingsPath() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string h = home != nullptr ? home : "";
        if (h.empty()) {
            if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
                h = pw->pw_dir;
        }
        base = h + "/.config";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/patchscribe/patchscribe.INI";
}
