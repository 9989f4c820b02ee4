#include "common/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quorvane::tools {

namespace {

constexpr int kCannotStart = 127;

std::vector<char*> argumentPointers(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

}  // namespace

int runProgram(const std::vector<std::string>& argv, int output) {
    std::vector<char*> args = argumentPointers(argv);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    }
    pid_t child = 0;
    const int error = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error != 0 ? -1 : waitForExit(child);
}

int startPiped(const std::vector<std::string>& argv, PipedProgram& started) {
    std::vector<char*> args = argumentPointers(argv);
    std::array<int, 2> output{};
    std::array<int, 2> failure{};  // the child's error number when it cannot run the program
    if (pipe2(output.data(), O_CLOEXEC) != 0) {
        return errno;
    }
    if (pipe2(failure.data(), O_CLOEXEC) != 0) {
        const int error = errno;
        close(output[0]);
        close(output[1]);
        return error;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        // posix_spawn cannot ask for the parent's death to be signalled, hence fork; only
        // async-signal-safe calls from here on.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(kCannotStart);  // the parent died before the request took hold
        }
        dup2(output[1], STDOUT_FILENO);
        for (const int sig : kPassedOn) {
            signal(sig, SIG_DFL);
        }
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(args[0], args.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t n = write(failure[1], &error, sizeof error);
        _exit(kCannotStart);
    }
    const int forkError = errno;
    close(output[1]);
    close(failure[1]);
    if (child < 0) {
        close(output[0]);
        close(failure[0]);
        return forkError;
    }
    int error = 0;
    ssize_t n = 0;
    while ((n = read(failure[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(failure[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        close(output[0]);
        waitForExit(child);
        return error;
    }
    started.pid = child;
    started.output = output[0];
    return 0;
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

TempFile::TempFile(const std::string& suffix, const std::string& directory) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = !directory.empty()               ? directory
                            : tmp != nullptr && *tmp != '\0' ? std::string(tmp)
                                                             : std::string("/tmp");
    // Beside the user's own files it stays out of sight while it lasts.
    std::string pattern =
        dir + (directory.empty() ? "/quorvane-" : "/.quorvane-") + "XXXXXX" + suffix;
    fd_ = mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd_ >= 0) {
        path_ = pattern;
    }
}

TempFile::~TempFile() {
    if (ok()) {
        close(fd_);
        unlink(path_.c_str());
    }
}

bool TempFile::moveTo(const std::string& path, mode_t mode) {
    // The mode goes on the file that was made, whatever its name leads to by now.
    if (fchmod(fd_, mode) != 0 || rename(path_.c_str(), path.c_str()) != 0) {
        return false;
    }
    close(fd_);
    fd_ = -1;
    path_.clear();
    return true;
}

bool TempFile::write(const std::string& content) const {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace quorvane::tools
