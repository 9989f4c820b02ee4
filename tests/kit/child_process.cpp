#include "kit/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "kit/files.h"

namespace quorvane::testkit {

namespace {

// This process's environment with the launch's entries added; a launch entry replaces one of the
// same name, and a bare name only removes it.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& additions) {
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        merged.emplace_back(*e);
    }
    for (const auto& add : additions) {
        const std::string name = add.substr(0, add.find('=')) + "=";
        std::erase_if(merged, [&name](const std::string& e) { return e.starts_with(name); });
        if (add.size() >= name.size()) {
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

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

bool eventually(const std::function<bool()>& holds, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

ChildProcess::ChildProcess(const ChildSpec& launch) : afterEnd_(launch.afterEnd) {
    std::vector<std::string> args{launch.program};
    args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<std::string> environment = mergedEnvironment(launch.environment);
    std::vector<char*> argv = pointersTo(args);
    std::vector<char*> envp = pointersTo(environment);
    std::array<int, 2> outPipe{-1, -1};
    std::array<int, 2> inPipe{-1, -1};
    if (pipe2(outPipe.data(), O_CLOEXEC) != 0 ||
        (launch.pipeInput && pipe2(inPipe.data(), O_CLOEXEC) != 0)) {
        const int error = errno;
        closeFd(outPipe[0]);
        closeFd(outPipe[1]);
        throwErrno("pipe2", error);
    }
    readFd_ = outPipe[0];
    writeFd_ = inPipe[1];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (launch.pipeInput) {
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    if (launch.keepErrors) {
        posix_spawn_file_actions_adddup2(&actions, errors_.emplace().fd(), STDERR_FILENO);
    }
    if (!launch.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, launch.workingDirectory.c_str());
    }
    // The program must meet signals as a shell would start it: a parent running in the
    // background may have left SIGINT ignored or signals blocked, and both are inherited.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGINT, SIGTERM, SIGPIPE, SIGQUIT, SIGHUP}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeFd(outPipe[1]);
    closeFd(inPipe[0]);
    if (error != 0) {
        reaped_ = true;
        closeOutput();
        closeInput();
        throwErrno("cannot start " + launch.program, error);
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        if (afterEnd_) {
            afterEnd_(pid_);
        }
    }
    closeOutput();
    closeInput();
}

bool ChildProcess::readSome(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (readFd_ < 0 || left.count() <= 0) {
        return false;
    }
    pollfd pfd{readFd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready <= 0) {
        return ready < 0 && errno == EINTR;
    }
    std::array<char, 4096> buffer{};
    const ssize_t n = read(readFd_, buffer.data(), buffer.size());
    if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            closeOutput();
        }
        return readFd_ >= 0;
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

void ChildProcess::closeOutput() {
    closeFd(readFd_);
}

void ChildProcess::writeInput(std::string_view bytes) const {
    // A child that has ended must fail the write, not kill this process with SIGPIPE.
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    int error = writeFd_ < 0 ? EBADF : 0;
    while (!bytes.empty() && error == 0) {
        const ssize_t n = write(writeFd_, bytes.data(), bytes.size());
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
        throwErrno("cannot write to the child's standard input", error);
    }
}

void ChildProcess::closeInput() {
    closeFd(writeFd_);
}

void ChildProcess::sendSignal(int sig) const {
    if (!reaped_) {
        kill(pid_, sig);
    }
}

std::optional<ChildEnd> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readSome(deadline)) {
    }
    int status = 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (reaped_ || !eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, left)) {
        return std::nullopt;
    }
    reaped_ = true;
    if (afterEnd_) {
        afterEnd_(pid_);
    }
    return ChildEnd{WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : 0,
                    WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

std::optional<ChildEnd> ChildProcess::stop(int sig) {
    sendSignal(sig);
    return wait();
}

ProgramResult runProgram(const std::vector<std::string>& argv, const std::filesystem::path& dir) {
    ProgramResult result;
    try {
        ChildProcess child({argv.front(), {argv.begin() + 1, argv.end()}, {}, dir, false, true});
        const auto end = child.wait(std::chrono::minutes(5));
        result = {end ? end->status() : -1, child.output(), child.errors()};
    } catch (const std::runtime_error& e) {
        result = {127, "", e.what()};
    }
    return result;
}

bool onPath(const std::string& name) {
    return runProgram({"sh", "-c", "command -v \"$1\"", "sh", name}).status == 0;
}

}  // namespace quorvane::testkit
