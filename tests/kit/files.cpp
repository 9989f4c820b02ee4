#include "kit/files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace quorvane::testkit {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throwErrno("mkdtemp " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

WorkingDirectory::WorkingDirectory(const std::filesystem::path& dir)
    : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

WorkingDirectory::~WorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

ScratchFile::ScratchFile() : file_(std::tmpfile()) {
    if (file_ == nullptr) {
        throwErrno("tmpfile");
    }
    // Only the child it is handed to may inherit it, not every child started meanwhile.
    fcntl(fd(), F_SETFD, FD_CLOEXEC);
}

ScratchFile::~ScratchFile() {
    std::fclose(file_);
}

int ScratchFile::fd() const {
    return fileno(file_);
}

std::string ScratchFile::content() const {
    std::string text;
    char chunk[4096];
    off_t at = 0;
    for (ssize_t n = 0; (n = pread(fd(), chunk, sizeof chunk, at)) > 0; at += n) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0 || dup2(file_.fd(), STDOUT_FILENO) < 0) {
        if (saved_ >= 0) {
            close(saved_);
        }
        throwErrno("standard output into a scratch file");
    }
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
}

std::string StdoutCapture::printed() const {
    std::fflush(stdout);
    return written();
}

void throwErrno(const std::string& what, int error) {
    throw std::runtime_error(what + ": " + std::strerror(error));
}

std::string printedBy(const std::function<void()>& print) {
    const StdoutCapture capture;
    print();
    return capture.printed();
}

std::optional<std::string> readFile(const std::filesystem::path& file) {
    // Only a regular file: a log may be a directory, or a device that never ends.
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::istringstream in(readFile(file).value_or(""));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void writeFile(const std::filesystem::path& file, std::string_view content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

}  // namespace quorvane::testkit
