// Small helpers for tests that work with real files.
#pragma once

#include <functional>
#include <string>
#include <vector>

// A fresh folder under /tmp, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
std::vector<std::string> ListDir(const std::string& dir);  // sorted, without . and ..

// Runs fn in a forked child that, when this process runs as root, first
// drops to the unprivileged user nobody (uid/gid 65534), so that file
// permissions apply.  fn returns "" on success or a description of what went
// wrong; an exception counts as a failure too.  Returns fn's result.
std::string RunUnprivileged(const std::function<std::string()>& fn);

// Result of running a program.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal
};
RunResult RunProgram(const std::vector<std::string>& argv);
