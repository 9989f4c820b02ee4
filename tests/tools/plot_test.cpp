// quorvane-plot end to end: a log written by quorvane_sim under an accelerated clock becomes an
// image of the size asked for with the series really drawn; bad input gets a message and an
// exit status, and leaves nothing behind.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "png_image.h"

namespace quorvane::testing {
namespace {

using namespace quorvane::testkit;

const std::string kPlot = QUORVANE_PLOT_PATH;
const std::string kSim = QUORVANE_SIM_PATH;
constexpr Rgb kFirstSeries{0x00, 0x60, 0xc0};
constexpr Rgb kSecondSeries{0xd0, 0x40, 0x00};

// A log of a real run: quorvane_sim -l1 for two seconds at sixty times the speed of the clock,
// so about two simulated minutes of the room drifting.
class PlotFromSim : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        // libfaketime is preloaded directly: the faketime wrapper, stopped by timeout, would
        // leave its shared-memory files behind.
        const ProgramResult run = runProgram(
            {"timeout", "-s", "INT", "2", "env", std::string("LD_PRELOAD=") + QUORVANE_LIBFAKETIME,
             "FAKETIME=@2026-03-01 10:00:00 x60", kSim, "-l1"},
            dir_->path());
        entries_ = 0;
        const std::string log = readFile(dir_->file("quorvane.log")).value_or("");
        for (const char c : log) {
            entries_ += c == '\n' ? 1 : 0;
        }
        ASSERT_EQ(run.status, 124) << "timeout ends the program: " << run.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override { ASSERT_GE(entries_, 20) << "the log of the simulated run is short"; }

    static TempDir* dir_;
    static int entries_;
};

TempDir* PlotFromSim::dir_ = nullptr;
int PlotFromSim::entries_ = 0;

TEST_F(PlotFromSim, PngOfTheRequestedSizeShowsTheLine) {
    const ProgramResult plot =
        runProgram({kPlot, "-s", "640x400", "-o", "chart.png", "quorvane.log"}, dir_->path());
    ASSERT_EQ(plot.status, 0) << plot.err;
    EXPECT_EQ(plot.err, "");
    EXPECT_EQ(plot.out, "");
    std::string error;
    const auto image = PngImage::decode(readFile(dir_->file("chart.png")).value_or(""), error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->width(), 640);
    EXPECT_EQ(image->height(), 400);
    // The series runs across most of the plot: many pixels of its colour, left to right.
    const ColourCount line = countColour(*image, kFirstSeries, 24);
    EXPECT_GT(line.pixels, 500);
    EXPECT_GT(line.spanX, 640 / 2);
    EXPECT_EQ(countColour(*image, kSecondSeries, 24).pixels, 0);
}

TEST_F(PlotFromSim, SvgOfTheRequestedSizeHasAPathThroughEveryEntry) {
    const ProgramResult plot =
        runProgram({kPlot, "--size=500x300", "-o", "chart.svg", "quorvane.log"}, dir_->path());
    ASSERT_EQ(plot.status, 0) << plot.err;
    const std::string svg = readFile(dir_->file("chart.svg")).value_or("");
    EXPECT_NE(svg.find("width=\"500\" height=\"300\""), std::string::npos);
    std::smatch path;
    ASSERT_TRUE(
        std::regex_search(svg, path, std::regex("stroke='rgb\\(  0,  96, 192\\)'  d='([^']*)'")));
    const std::string d = path[1];
    const auto points = std::count(d.begin(), d.end(), 'L') + 1;
    EXPECT_GE(points, entries_);
    EXPECT_NE(svg.find("Temperature (\u00b0C)"), std::string::npos);
}

TEST(PlotUnits, MixedRunsAreSeparateSeriesUnlessOneUnitIsAskedFor) {
    const TempDir dir;
    std::string log;
    for (int i = 0; i < 30; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "\n%4.1f C 10:%02d:00 03/01/2026", 20.0 + i % 3, i);
        log += line;
    }
    for (int i = 30; i < 60; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "\n%4.1f F 10:%02d:00 03/01/2026", 70.0 + i % 4, i);
        log += line;
    }
    writeFile(dir.file("quorvane.log"), log);
    std::string error;

    ASSERT_EQ(runProgram({kPlot, "-o", "runs.png"}, dir.path()).status, 0);
    const auto runs = PngImage::decode(readFile(dir.file("runs.png")).value_or(""), error);
    ASSERT_TRUE(runs) << error;
    EXPECT_GT(countColour(*runs, kFirstSeries, 24).pixels, 200);
    EXPECT_GT(countColour(*runs, kSecondSeries, 24).pixels, 200);

    ASSERT_EQ(runProgram({kPlot, "-u", "F", "-o", "one.png"}, dir.path()).status, 0);
    const auto one = PngImage::decode(readFile(dir.file("one.png")).value_or(""), error);
    ASSERT_TRUE(one) << error;
    const ColourCount line = countColour(*one, kFirstSeries, 24);
    EXPECT_GT(line.pixels, 400);
    EXPECT_GT(line.spanX, one->width() / 2);
    EXPECT_EQ(countColour(*one, kSecondSeries, 24).pixels, 0);

    ASSERT_EQ(runProgram({kPlot, "-u", "K", "-o", "k.svg"}, dir.path()).status, 0);
    EXPECT_NE(readFile(dir.file("k.svg")).value_or("").find("Temperature (K)"), std::string::npos);
}

TEST(PlotInput, JunkLinesAreSkippedAndCounted) {
    const TempDir dir;
    writeFile(dir.file("quorvane.log"),
              "\n21.0 C 10:00:00 03/01/2026\nnoise\n21.5 C 10:00:02 03/01/2026\n21.4 C 10:0"
              "\n21.6 C 10:00:04 03/01/2026");
    const ProgramResult plot = runProgram({kPlot, "-o", "chart.svg"}, dir.path());
    EXPECT_EQ(plot.status, 0);
    EXPECT_EQ(plot.err,
              "quorvane-plot: skipped 2 lines of quorvane.log that are not measurements (the "
              "first is line 3)\n");
}

TEST(PlotInput, NothingToDrawIsAnErrorAndLeavesNoImage) {
    struct Case {
        const char* name;
        const char* content;  // nullptr: no log at all
        const char* message;
    };
    const Case cases[] = {
        {"missing", nullptr, "cannot read quorvane.log: No such file or directory"},
        {"empty", "", "quorvane.log holds no measurements"},
        {"junk only", "\nError opening log file\nhello", "quorvane.log holds no measurements"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        if (c.content != nullptr) {
            writeFile(dir.file("quorvane.log"), c.content);
        }
        const ProgramResult plot = runProgram({kPlot}, dir.path());
        EXPECT_EQ(plot.status, 1);
        EXPECT_NE(plot.err.find(c.message), std::string::npos) << plot.err;
        EXPECT_EQ(readFile(dir.file("quorvane.png")).value_or(""), "");
        EXPECT_NE(runProgram({"test", "-e", dir.file("quorvane.png")}).status, 0);
    }
}

TEST(PlotInput, AnOutputThatCannotBeWrittenIsAnError) {
    const TempDir dir;
    writeFile(dir.file("quorvane.log"), "\n21.0 C 10:00:00 03/01/2026");
    const ProgramResult plot = runProgram({kPlot, "-o", "no/such/dir.png"}, dir.path());
    EXPECT_EQ(plot.status, 1);
    EXPECT_NE(plot.err.find("cannot write no/such/dir.png"), std::string::npos) << plot.err;
    // A single entry still makes a chart (gnuplot would otherwise see an empty range).
    const ProgramResult single = runProgram({kPlot, "-o", "one.png"}, dir.path());
    EXPECT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(single.err, "");
}

TEST(PlotCommandLine, BadOptionsAreRefusedWithAMessage) {
    const std::vector<std::vector<std::string>> bad{
        {"-s", "10x10"},
        {"-s", "800"},
        {"-s", "800x"},
        {"-s", "800x600x2"},
        {"-s", "axb"},
        {"-s"},
        {"-f", "jpg"},
        {"-o", "chart.jpg"},
        {"-o", "chart"},
        {"-o", "a.svg", "-f", "png"},
        {"-u", "X"},
        {"-u", "CF"},
        {"-u"},
        {"--bogus"},
        {"a.log", "b.log"},
        {"-o", ""},
    };
    const TempDir dir;
    writeFile(dir.file("quorvane.log"), "\n21.0 C 10:00:00 03/01/2026");
    for (const auto& args : bad) {
        std::vector<std::string> argv{kPlot};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProgramResult result = runProgram(argv, dir.path());
        SCOPED_TRACE(args.front() + " " + args.back());
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.err.starts_with("quorvane-plot: ")) << result.err;
    }
    EXPECT_EQ(runProgram({"ls", dir.path()}).out, "quorvane.log\n");
}

}  // namespace
}  // namespace quorvane::testing
