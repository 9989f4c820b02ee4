#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace quorvane::test {

namespace {

std::string nameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// This process's environment with the launch's entries added; a launch entry replaces one of the
// same name, and a bare name only removes it.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& additions) {
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& add : additions) {
            replaced = replaced || nameOf(add) == nameOf(entry);
        }
        if (!replaced) {
            merged.push_back(entry);
        }
    }
    for (const auto& add : additions) {
        if (add.find('=') != std::string::npos) {
            merged.push_back(add);
        }
    }
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

[[noreturn]] void failInChild(const char* what) {
    // Only async-signal-safe calls between fork and exec.
    const char prefix[] = "child_process: ";
    static_cast<void>(!write(STDERR_FILENO, prefix, sizeof prefix - 1));
    static_cast<void>(!write(STDERR_FILENO, what, std::strlen(what)));
    static_cast<void>(!write(STDERR_FILENO, "\n", 1));
    _exit(127);
}

}  // namespace

ChildProcess::ChildProcess(const ChildSpec& launch) {
    std::vector<std::string> argStrings{launch.program};
    argStrings.insert(argStrings.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<std::string> envStrings = mergedEnvironment(launch.environment);
    std::vector<char*> argv = pointersTo(argStrings);
    std::vector<char*> envp = pointersTo(envStrings);
    const char* dir = launch.workingDirectory.empty() ? nullptr : launch.workingDirectory.c_str();

    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    std::array<int, 2> input{-1, -1};
    if (launch.pipeInput && pipe2(input.data(), O_CLOEXEC) != 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    const int stdinFd = launch.pipeInput ? input[0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int errorFd =
        launch.errorFile.empty()
            ? STDERR_FILENO
            : open(launch.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (stdinFd < 0 || errorFd < 0) {
        const int error = errno;
        for (const int fd : {fds[0], fds[1], stdinFd, input[1], errorFd}) {
            if (fd > STDERR_FILENO) {
                close(fd);
            }
        }
        throw std::runtime_error(std::string("standard input or error: ") + std::strerror(error));
    }

    pid_ = fork();
    if (pid_ < 0) {
        const int error = errno;
        close(fds[0]);
        close(fds[1]);
        close(stdinFd);
        close(input[1]);
        if (errorFd != STDERR_FILENO) {
            close(errorFd);
        }
        throw std::runtime_error(std::string("fork: ") + std::strerror(error));
    }
    if (pid_ == 0) {
        // The program must meet signals as a shell would start it: a parent running in the
        // background may have left SIGINT ignored or signals blocked, and both are inherited.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int sig : {SIGINT, SIGTERM, SIGPIPE, SIGQUIT, SIGHUP}) {
            signal(sig, SIG_DFL);
        }
        if (dup2(stdinFd, STDIN_FILENO) < 0 || dup2(fds[1], STDOUT_FILENO) < 0 ||
            (errorFd != STDERR_FILENO && dup2(errorFd, STDERR_FILENO) < 0)) {
            failInChild("dup2 failed");
        }
        if (dir != nullptr && chdir(dir) != 0) {
            failInChild("chdir failed");
        }
        execve(argv[0], argv.data(), envp.data());
        failInChild("execve failed");
    }
    close(fds[1]);
    close(stdinFd);
    if (errorFd != STDERR_FILENO) {
        close(errorFd);
    }
    readFd_ = fds[0];
    writeFd_ = input[1];
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (readFd_ >= 0) {
        close(readFd_);
    }
    closeInput();
}

bool ChildProcess::readSome(std::chrono::steady_clock::time_point deadline) {
    if (readFd_ < 0) {
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd pfd{readFd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0) {
        return errno == EINTR;
    }
    if (ready == 0) {
        return false;
    }
    std::array<char, 4096> buffer{};
    const ssize_t n = read(readFd_, buffer.data(), buffer.size());
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN;
    }
    if (n == 0) {
        close(readFd_);
        readFd_ = -1;
        return false;
    }
    output_.append(buffer.data(), static_cast<std::size_t>(n));
    return true;
}

bool ChildProcess::readUntil(const std::function<bool(const std::string&)>& done,
                             std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(output_)) {
        if (!readSome(deadline)) {
            return done(output_);
        }
    }
    return true;
}

bool ChildProcess::readToEnd(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readSome(deadline)) {
    }
    return outputClosed();
}

void ChildProcess::writeInput(std::string_view bytes) const {
    // A child that has ended must fail the write, not kill this process with SIGPIPE.
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    int error = 0;
    while (!bytes.empty() && error == 0) {
        const ssize_t n = writeFd_ < 0 ? -1 : write(writeFd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            error = n == 0 ? EIO : errno;
        }
    }
    if (error == EPIPE) {
        const timespec now{};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        throw std::runtime_error(std::string("cannot write to the child's standard input: ") +
                                 std::strerror(error));
    }
}

void ChildProcess::closeInput() {
    if (writeFd_ >= 0) {
        close(writeFd_);
        writeFd_ = -1;
    }
}

void ChildProcess::closeOutput() {
    if (readFd_ >= 0) {
        close(readFd_);
        readFd_ = -1;
    }
}

void ChildProcess::sendSignal(int sig) const {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, sig);
    }
}

std::optional<ChildEnd> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    readToEnd(timeout);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            ChildEnd end;
            end.exited = WIFEXITED(status);
            end.exitCode = end.exited ? WEXITSTATUS(status) : 0;
            end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            return end;
        }
        if (r < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace quorvane::test
