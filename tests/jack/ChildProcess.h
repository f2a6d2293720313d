// A child process with its standard output on a pipe, for tests that run
// patchscribe-cli next to the test process.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            throw std::runtime_error("cannot start " + argv[0]);
        }
        out_ = fds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of its output without the line end; false at the end of
    // the output or when nothing comes within the timeout.
    bool ReadLine(std::string& line, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t nl = buffered_.find('\n');
            if (nl != std::string::npos) {
                line = buffered_.substr(0, nl);
                buffered_.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffered_.append(chunk, static_cast<size_t>(n));
        }
    }

    // All output until it ends (or the timeout passes).
    std::string ReadAll(std::chrono::milliseconds timeout) {
        std::string all, line;
        while (ReadLine(line, timeout)) all += line + "\n";
        return all + buffered_;
    }

    // Sends sig and waits up to timeout for the exit; the exit status, or -1
    // when it did not end in time (it is then killed).
    int Stop(int sig, std::chrono::milliseconds timeout) {
        if (sig) kill(pid_, sig);
        return Wait(timeout);
    }

    int Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        for (;;) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
};

inline std::string CliPath() {
    return std::string(PATCHSCRIBE_BIN_DIR) + "/patchscribe-cli";
}

// Runs patchscribe-cli with args to its end; its output, and its exit status in status.
inline std::string RunCli(const std::vector<std::string>& args, int& status) {
    std::vector<std::string> argv{CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv);
    std::string out = child.ReadAll(std::chrono::seconds(20));
    status = child.Wait(std::chrono::seconds(20));
    return out;
}
