#include "common/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quorvane::tools {

namespace {

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

int runProgram(const std::vector<std::string>& argv) {
    std::vector<char*> args = argumentPointers(argv);
    pid_t child = 0;
    if (posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        return -1;
    }
    return waitForExit(child);
}

int startPiped(const std::vector<std::string>& argv, PipedProgram& started) {
    std::vector<char*> args = argumentPointers(argv);
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        return errno;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGINT, SIGTERM, SIGPIPE}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    const int error = posix_spawnp(&child, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (error != 0) {
        close(fds[0]);
        return error;
    }
    started.pid = child;
    started.output = fds[0];
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
    const int fd = mkstemps(pattern.data(), static_cast<int>(suffix.size()));
    if (fd >= 0) {
        close(fd);
        path_ = pattern;
    }
}

TempFile::~TempFile() {
    if (ok()) {
        unlink(path_.c_str());
    }
}

bool TempFile::moveTo(const std::string& path, mode_t mode) {
    if (chmod(path_.c_str(), mode) != 0 || rename(path_.c_str(), path.c_str()) != 0) {
        return false;
    }
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
