// quorvane-plot: draws a chart of a quorvane log with gnuplot.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

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

// The whole log, "-" being standard input; nothing when it cannot be read.
std::optional<std::string> readLog(const std::string& path, std::string& error) {
    if (path == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = "cannot read " + path + ": it is a directory";
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    return content.str();
}

int drawChart(const plot::PlotOptions& options) {
    std::string error;
    const auto text = readLog(options.log, error);
    if (!text) {
        return fail(error);
    }
    const plot::ParsedLog log = plot::parseLog(*text);
    if (log.skipped > 0) {
        const bool one = log.skipped == 1;
        std::cerr << "quorvane-plot: skipped " << log.skipped << (one ? " line" : " lines")
                  << " of " << options.log
                  << (one ? " that is not a measurement (line "
                          : " that are not measurements (the first is line ")
                  << log.firstSkippedLine << ")\n";
    }
    if (log.entries.empty()) {
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
    if (!script.ok() || !script.write(plot::gnuplotScript(
                            plot::groupSeries(log.entries, options.unit), options.chart))) {
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
