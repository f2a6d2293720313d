#include "TestFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {
void RemoveTree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : ListDir(path)) RemoveTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}
}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/patchscribe-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    // Reachable by the unprivileged user of RunUnprivileged.
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string RunUnprivileged(const std::function<std::string()>& fn) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(fds[0]);
        std::string result;
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            result = "cannot drop to user nobody";
        } else {
            try {
                result = fn();
            } catch (const std::exception& e) {
                result = std::string("exception: ") + e.what();
            } catch (...) {
                result = "unknown exception";
            }
        }
        if (!result.empty() && write(fds[1], result.data(), result.size()) < 0) _exit(3);
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buf[4096];
    ssize_t got;
    while ((got = read(fds[0], buf, sizeof buf)) > 0) result.append(buf, static_cast<size_t>(got));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        result += " (child ended abnormally, status " + std::to_string(status) + ")";
    return result;
}

RunResult RunProgram(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        close(out[1]);
        close(err[1]);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    RunResult r;
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(p, 2, 10000) <= 0) break;  // a hang ends the test instead of blocking it
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const ssize_t got = read(p[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(p[i].fd);
                p[i].fd = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
            }
        }
    }
    for (pollfd& q : p)
        if (q.fd >= 0) close(q.fd);
    int status = 0;
    if (open > 0) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}
