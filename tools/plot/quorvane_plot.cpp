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
#include "plot/log_parser.h"
#include "plot/plot_options.h"

namespace {

using namespace quorvane;

constexpr const char* kProgram = "quorvane-plot";

int fail(const std::string& message) {
    return tools::fail(kProgram, message);
}

// Passes the whole log, "-" being standard input, through the reader a piece at a time; a
// message when it cannot be read.
std::optional<std::string> readLog(const std::string& path, plot::LogReader& reader) {
    int fd = STDIN_FILENO;
    if (path != "-") {
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return "cannot read " + path + ": it is a directory";
        }
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return "cannot read " + path + ": " + std::strerror(errno);
        }
    }
    std::vector<char> buffer(std::size_t{1} << 20);
    ssize_t n = 0;
    while ((n = read(fd, buffer.data(), buffer.size())) != 0) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            reader.read(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
    }
    if (fd != STDIN_FILENO) {
        close(fd);
    }
    if (n < 0) {
        return "cannot read " + path;
    }
    reader.finish();
    return std::nullopt;
}

int drawChart(const plot::PlotOptions& options) {
    plot::SeriesReducer series(options.chart.width, options.unit);
    plot::LogReader reader([&series](const plot::Entry& entry) { series.add(entry); });
    if (const auto error = readLog(options.log, reader)) {
        return fail(*error);
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
        return fail(options.log + " holds no measurements: nothing to draw");
    }

    // Checked here because gnuplot, refused its output file, draws on its standard output.
    // An existing image is not truncated before gnuplot has something to put in its place.
    const char* output = options.chart.output.c_str();
    struct stat info {};
    const bool existed = stat(output, &info) == 0;
    const int fd = open(output, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return fail("cannot write " + options.chart.output + ": " + std::strerror(errno));
    }
    close(fd);

    const tools::TempFile script(".gp");
    if (!script.ok() || !script.write(plot::gnuplotScript(series.finish(), options.chart))) {
        return fail("cannot write a temporary file for gnuplot: " +
                    std::string(std::strerror(errno)));
    }
    const int status = tools::runProgram({"gnuplot", script.path()});
    if (status == 0 && stat(output, &info) == 0 && info.st_size > 0) {
        return 0;
    }
    if (!existed) {
        unlink(output);
    }
    if (status == -1) {
        return fail("cannot run gnuplot; is it installed? (Debian: apt install gnuplot-nox)");
    }
    return fail("gnuplot did not draw " + options.chart.output + " (exit status " +
                std::to_string(status) + ")");
}

}  // namespace

int main(int argc, char* argv[]) {
    return tools::toolMain(kProgram, plot::kPlotUsage, argc, argv, plot::parsePlotOptions,
                           drawChart);
}
