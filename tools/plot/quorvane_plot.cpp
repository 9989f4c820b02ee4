// quorvane-plot: draws a chart of a quorvane log with gnuplot.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/process.h"
#include "plot/chart.h"
#include "plot/log_reader.h"
#include "plot/plot_options.h"

namespace {

using namespace quorvane;

constexpr const char* kProgram = "quorvane-plot";

// Input that has not shown one measurement by then is not a log: reading stops there, so that
// a device that never ends (/dev/zero) cannot keep the program reading for ever.
constexpr std::size_t kMostWithoutEntry = std::size_t{16} << 20;

// Passes the whole log, "-" being standard input, through the reader a piece at a time; a
// message when it cannot be read. A named log is a regular file or a pipe, never a device.
std::optional<std::string> readLog(const std::string& path, plot::LogReader& reader,
                                   const plot::SeriesReducer& series) {
    int fd = STDIN_FILENO;
    if (path != "-") {
        // Opened without waiting, so that no device can hold the program before its type is
        // known; a FIFO is then opened again to wait for its writer.
        for (int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;; flags = O_RDONLY | O_CLOEXEC) {
            fd = open(path.c_str(), flags);
            if (fd < 0) {
                return "cannot read " + path + ": " + std::strerror(errno);
            }
            struct stat info {};
            const bool statted = fstat(fd, &info) == 0;
            if (!statted || !(S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode))) {
                close(fd);
                return "cannot read " + path + ": " +
                       (statted && S_ISDIR(info.st_mode) ? "it is a directory"
                                                         : "it is not a regular file or a pipe");
            }
            if (S_ISREG(info.st_mode) || (flags & O_NONBLOCK) == 0) {
                break;
            }
            close(fd);
        }
    }
    std::vector<char> buffer(std::size_t{1} << 20);
    std::size_t total = 0;
    ssize_t n = 0;
    while ((n = read(fd, buffer.data(), buffer.size())) != 0) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            reader.read(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            total += static_cast<std::size_t>(n);
            if (series.entries() == 0 && total >= kMostWithoutEntry) {
                break;
            }
        }
    }
    if (fd != STDIN_FILENO) {
        close(fd);
    }
    if (n < 0) {
        return "cannot read " + path;
    }
    if (series.entries() == 0 && total >= kMostWithoutEntry) {
        return path + " holds no measurement in its first 16 MiB: not a log";
    }
    reader.finish();
    return std::nullopt;
}

// The mode the image gets: that of an image of this user's own that it replaces, or a new
// file's. Never another user's mode, which in a directory others may write could make root's
// chart theirs to write, and never a set-ID bit.
mode_t imageMode(const struct stat* replaced) {
    if (replaced != nullptr && replaced->st_uid == geteuid()) {
        return replaced->st_mode & 0777;
    }
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Checked before anything is drawn, with the reason, or nothing when `path` may take an image.
// The program may run as root in a directory that others can write: a symbolic link planted at
// the output name is refused, and the image is drawn into a file of its own beside it and then
// renamed into place, so that no file the link, a later one or another name of the same file
// (a hard link) leads to is ever written.
std::optional<std::string> unwritableOutput(const std::string& path, struct stat* existing,
                                            bool* existed) {
    *existed = lstat(path.c_str(), existing) == 0;
    if (!*existed) {
        return std::nullopt;
    }
    if (S_ISLNK(existing->st_mode)) {
        return "cannot write " + path + ": it is a symbolic link";
    }
    if (!S_ISREG(existing->st_mode)) {
        return "cannot write " + path + ": it is not a regular file";
    }
    if (access(path.c_str(), W_OK) != 0) {
        return "cannot write " + path + ": " + std::strerror(errno);
    }
    return std::nullopt;
}

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int drawChart(const plot::PlotOptions& options) {
    plot::SeriesReducer series(options.chart.width, options.unit);
    plot::LogReader reader([&series](const plot::Entry& entry) { series.add(entry); });
    if (const auto error = readLog(options.log, reader, series)) {
        return tools::reportFailure(kProgram, *error);
    }
    if (reader.skipped() > 0) {
        const bool one = reader.skipped() == 1;
        std::cerr << "quorvane-plot: skipped " << reader.skipped() << (one ? " line" : " lines")
                  << " of " << options.log
                  << (one ? " that is not a measurement (line "
                          : " that are not measurements (the first is line ")
                  << reader.firstSkippedLine() << ")\n";
    }
    if (series.entries() == 0) {
        return tools::reportFailure(kProgram,
                                    options.log + " holds no measurements: nothing to draw");
    }

    // Checked here because gnuplot, refused its output file, draws on its standard output.
    // An existing image is not touched before gnuplot has drawn its replacement.
    const std::string& output = options.chart.output;
    struct stat existing {};
    bool existed = false;
    if (const auto error = unwritableOutput(output, &existing, &existed)) {
        return tools::reportFailure(kProgram, *error);
    }
    const std::string directory = directoryOf(output);
    const std::size_t dot = output.rfind('.');
    const std::string suffix =
        dot != std::string::npos && dot > output.rfind('/') + 1 ? output.substr(dot) : "";
    tools::TempFile image(suffix, directory);
    if (!image.ok()) {
        return tools::reportFailure(kProgram,
                                    "cannot write " + output + ": " + std::strerror(errno));
    }

    const tools::TempFile script(".gp");
    if (!script.ok() || !script.write(plot::gnuplotScript(series.finish(), options.chart))) {
        return tools::reportFailure(kProgram, "cannot write a temporary file for gnuplot: " +
                                                  std::string(std::strerror(errno)));
    }
    // gnuplot draws into the file made for the image, and opens nothing in that directory.
    const int status =
        tools::runProgram(plot::gnuplotCommand(script.path(), options.chart), image.fd());
    struct stat drawn {};
    if (status == 0 && fstat(image.fd(), &drawn) == 0 && drawn.st_size > 0) {
        if (!image.moveTo(output, imageMode(existed ? &existing : nullptr))) {
            return tools::reportFailure(kProgram,
                                        "cannot write " + output + ": " + std::strerror(errno));
        }
        return 0;
    }
    if (status == -1) {
        return tools::reportFailure(
            kProgram, "cannot run gnuplot; is it installed? (Debian: apt install gnuplot-nox)");
    }
    return tools::reportFailure(kProgram, "gnuplot did not draw " + output + " (exit status " +
                                              std::to_string(status) + ")");
}

}  // namespace

int main(int argc, char* argv[]) {
    return tools::toolMain(kProgram, plot::kPlotUsage, argc, argv, plot::parsePlotOptions,
                           drawChart);
}
