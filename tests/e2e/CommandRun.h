// Runs a program of ours as a child process with its standard output and
// standard error on pipes: its exit status and both texts, byte for byte.
// A child can get extra environment variables and another user id (for a
// read-only installed copy when the tests run as root).
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct CommandSpec {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // KEY=VALUE, replacing the same key of ours
    int uid = -1;                  // >= 0: run as this user (and group gid)
    int gid = -1;
};

struct CommandResult {
    int status = -1;  // exit status; 128 + signal number when killed by a signal
    std::string out;
    std::string err;
    bool hung = false;  // did not end in time and was killed
};

class RunningCommand {
public:
    explicit RunningCommand(const CommandSpec& spec) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> envStrings = MergedEnvironment(spec.env);
        std::vector<char*> envp, args;
        for (std::string& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> argv = spec.argv;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);

        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // Only async-signal-safe calls from here to exec.
            dup2(out[1], 1);
            dup2(err[1], 2);
            const int devnull = open("/dev/null", O_RDONLY);
            if (devnull >= 0) dup2(devnull, 0);
            setpgid(0, 0);  // signals from the terminal reach the test, not the child
            if (spec.uid >= 0) {
                if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(spec.gid)) != 0 ||
                    setuid(static_cast<uid_t>(spec.uid)) != 0)
                    _exit(126);
            }
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
    }
    ~RunningCommand() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
    }
    RunningCommand(const RunningCommand&) = delete;
    RunningCommand& operator=(const RunningCommand&) = delete;

    void Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }

    // Reads until the child's standard error holds `text` (true), or until
    // its output ends or the timeout passes (false).
    bool WaitForErr(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (result_.err.find(text) == std::string::npos) {
            if (!Pump(deadline)) return result_.err.find(text) != std::string::npos;
        }
        return true;
    }
    // The same for standard output.
    bool WaitForOut(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (result_.out.find(text) == std::string::npos) {
            if (!Pump(deadline)) return result_.out.find(text) != std::string::npos;
        }
        return true;
    }

    // Waits for the child to end (killing it when it does not end in time).
    CommandResult Finish(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Pump(deadline)) {
        }
        if (outFd_ >= 0 || errFd_ >= 0) {
            result_.hung = true;
            kill(pid_, SIGKILL);
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFEXITED(status)) result_.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result_.status = 128 + WTERMSIG(status);
        return result_;
    }

    const CommandResult& SoFar() const { return result_; }

private:
    static std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
        std::vector<std::string> env;
        auto keyOf = [](const std::string& kv) { return kv.substr(0, kv.find('=') + 1); };
        for (char** e = environ; *e; ++e) {
            const std::string kv = *e;
            bool replaced = false;
            for (const std::string& x : extra) replaced = replaced || keyOf(x) == keyOf(kv);
            if (!replaced) env.push_back(kv);
        }
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    // Reads what is there; false once both pipes have ended or the deadline passed.
    bool Pump(std::chrono::steady_clock::time_point deadline) {
        if (outFd_ < 0 && errFd_ < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left.count())) <= 0) return true;
        Drain(p[0], outFd_, result_.out);
        Drain(p[1], errFd_, result_.err);
        return true;
    }
    static void Drain(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || p.revents == 0) return;
        char chunk[8192];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            into.append(chunk, static_cast<size_t>(n));
        } else {
            close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    CommandResult result_;
};

// A fresh folder under /tmp, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/patchscribe-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline CommandResult RunCommand(const CommandSpec& spec,
                                std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    RunningCommand c(spec);
    return c.Finish(timeout);
}
