// quorvane-plot end to end: a log written by quorvane_sim under an accelerated clock becomes an
// image of the size asked for with the series really drawn, as libpng reads it back; a gap
// breaks the line, and a clock set back starts a line of its own; the axis title stays clear of
// the tick labels; bad input gets a message and an exit status, and leaves nothing behind.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "kit/child_process.h"
#include "kit/shown_line.h"
#include "kit/sim_run.h"

namespace {

using namespace quorvane::testkit;

using Rgb = std::array<int, 3>;

const std::string kPlot = QUORVANE_PLOT_PATH;
const std::string kSim = QUORVANE_SIM_PATH;
constexpr Rgb kFirstSeries{0x00, 0x60, 0xc0};
constexpr Rgb kSecondSeries{0xd0, 0x40, 0x00};

// The chart's pixels, RGB, as libpng reads them.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

// The image of `path`, or nothing, with the reason as a failure of the test.
std::optional<Image> readPng(const std::string& path) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) != 0) {
        png.format = PNG_FORMAT_RGB;
        Image image{static_cast<int>(png.width), static_cast<int>(png.height),
                    std::vector<std::uint8_t>(PNG_IMAGE_SIZE(png))};
        if (png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr) != 0) {
            return image;
        }
    }
    ADD_FAILURE() << path << ": " << png.message;
    return std::nullopt;
}

// Pixels of the colour (each channel within 24 of it, for the edges' blending) in the columns
// from `fromX` to `toX`: how many, and where the leftmost and the rightmost lie.
struct ColourCount {
    int pixels = 0;
    int left = -1;
    int right = -1;
    int spanX() const { return right - left; }
};

ColourCount countColour(const Image& image, const Rgb& colour, int fromX = 0, int toX = 1 << 30) {
    ColourCount count;
    for (int y = 0; y < image.height; ++y) {
        for (int x = std::max(fromX, 0); x < std::min(toX, image.width); ++x) {
            const std::uint8_t* p = &image.rgb[3 * static_cast<std::size_t>(y * image.width + x)];
            if (std::abs(p[0] - colour[0]) <= 24 && std::abs(p[1] - colour[1]) <= 24 &&
                std::abs(p[2] - colour[2]) <= 24) {
                ++count.pixels;
                count.left = count.left < 0 ? x : std::min(count.left, x);
                count.right = std::max(count.right, x);
            }
        }
    }
    return count;
}

// `count` entries of `unit` a minute apart from `from` seconds after 10:00 on 03/01/2026, their
// values going up and down by a degree from `base`.
std::string entries(const char* unit, double base, int count, int from) {
    std::string log;
    for (int i = 0; i < count; ++i) {
        const int t = from + i * 60;
        char line[64];
        std::snprintf(line, sizeof line, "\n%4.1f %s %02d:%02d:%02d 03/01/2026", base + i % 3, unit,
                      10 + t / 3600, t / 60 % 60, t % 60);
        log += line;
    }
    return log;
}

// Draws the log in `dir` with the options into the PNG `name`, and reads the image back.
std::optional<Image> draw(const TempDir& dir, std::vector<std::string> args, const char* name) {
    args.insert(args.begin(), kPlot);
    args.insert(args.end(), {"-o", name});
    const ProgramResult plot = runProgram(args, dir.path());
    EXPECT_EQ(plot.status, 0) << plot.err;
    return readPng(dir.file(name));
}

// A log of a real run: quorvane_sim -l1 under the accelerated clock until it has shown forty
// lines, over a minute of the room drifting.
class PlotFromSim : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        logDir = new TempDir;
        auto sim = startSim(logDir->path(), {"-l1"});
        ASSERT_TRUE(waitForLines(sim, 40)) << sim.output();
        ASSERT_TRUE(sim.stop().has_value()) << "still running after SIGINT";
        logEntries = 0;
        const std::string log = readFile(logDir->file("quorvane.log")).value_or("");
        for (const char c : log) {
            logEntries += c == '\n' ? 1 : 0;
        }
    }
    static void TearDownTestSuite() {
        delete logDir;
        logDir = nullptr;
    }
    void SetUp() override { ASSERT_GE(logEntries, 20) << "the log of the simulated run is short"; }

    static TempDir* logDir;
    static int logEntries;
};

TempDir* PlotFromSim::logDir = nullptr;
int PlotFromSim::logEntries = 0;

TEST_F(PlotFromSim, PngOfTheRequestedSizeShowsTheLine) {
    const ProgramResult plot =
        runProgram({kPlot, "-s", "640x400", "-o", "chart.png", "quorvane.log"}, logDir->path());
    ASSERT_EQ(plot.status, 0) << plot.err;
    EXPECT_EQ(plot.err, "");
    EXPECT_EQ(plot.out, "");
    const auto image = readPng(logDir->file("chart.png"));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 640);
    EXPECT_EQ(image->height, 400);
    // The series runs across most of the plot: many pixels of its colour, left to right.
    const ColourCount line = countColour(*image, kFirstSeries);
    EXPECT_GT(line.pixels, 500);
    EXPECT_GT(line.spanX(), 640 / 2);
    EXPECT_EQ(countColour(*image, kSecondSeries).pixels, 0);
}

TEST_F(PlotFromSim, SvgOfTheRequestedSizeHasAPathThroughEveryEntry) {
    const ProgramResult plot =
        runProgram({kPlot, "--size=500x300", "-o", "chart.svg", "quorvane.log"}, logDir->path());
    ASSERT_EQ(plot.status, 0) << plot.err;
    const std::string svg = readFile(logDir->file("chart.svg")).value_or("");
    EXPECT_NE(svg.find("width=\"500\" height=\"300\""), std::string::npos);
    // Every point of the series' paths: each piece of the line begins with M, goes on with L.
    const std::regex path("stroke='rgb\\(  0,  96, 192\\)'  d='([^']*)'");
    long points = 0;
    for (std::sregex_iterator it(svg.begin(), svg.end(), path), end; it != end; ++it) {
        const std::string d = (*it)[1];
        points += std::count(d.begin(), d.end(), 'L') + std::count(d.begin(), d.end(), 'M');
    }
    ASSERT_GT(points, 0);
    EXPECT_GE(points, logEntries);
    EXPECT_NE(svg.find("Temperature (\u00b0C)"), std::string::npos);
}

TEST(PlotUnits, MixedRunsAreSeparateSeriesInTheLastUnitUnlessOneUnitIsAskedFor) {
    const TempDir dir;
    writeFile(dir.file("quorvane.log"), entries("C", 20, 30, 0) + entries("F", 70, 30, 1800));
    const auto runs = draw(dir, {}, "runs.png");
    ASSERT_TRUE(runs);
    EXPECT_GT(countColour(*runs, kFirstSeries).pixels, 200);
    EXPECT_GT(countColour(*runs, kSecondSeries).pixels, 200);
    // One axis, in the unit of the last entry, and the key says what was converted.
    ASSERT_EQ(runProgram({kPlot, "-o", "runs.svg"}, dir.path()).status, 0);
    const std::string svg = readFile(dir.file("runs.svg")).value_or("");
    EXPECT_NE(svg.find("Temperature (\u00b0F)"), std::string::npos);
    EXPECT_NE(svg.find("logged in \u00b0C, shown in \u00b0F"), std::string::npos);

    const auto one = draw(dir, {"-u", "F"}, "one.png");
    ASSERT_TRUE(one);
    const ColourCount line = countColour(*one, kFirstSeries);
    EXPECT_GT(line.pixels, 400);
    EXPECT_GT(line.spanX(), one->width / 2);
    EXPECT_EQ(countColour(*one, kSecondSeries).pixels, 0);

    ASSERT_EQ(runProgram({kPlot, "-u", "K", "-o", "k.svg"}, dir.path()).status, 0);
    EXPECT_NE(readFile(dir.file("k.svg")).value_or("").find("Temperature (K)"), std::string::npos);
}

TEST(PlotLines, AGapInTheLogBreaksTheLine) {
    const TempDir dir;
    // Half an hour a minute apart, an hour with no entry, and half an hour more: the hole is
    // the middle third of the time axis, and the line must not cross it.
    writeFile(dir.file("quorvane.log"), entries("C", 20, 30, 0) + entries("C", 20, 30, 5400));
    const auto image = draw(dir, {}, "gap.png");
    ASSERT_TRUE(image);
    const ColourCount line = countColour(*image, kFirstSeries);
    ASSERT_GT(line.pixels, 400);
    const int middle = (line.left + line.right) / 2;
    const int sixth = line.spanX() / 6;
    EXPECT_GT(countColour(*image, kFirstSeries, line.left, middle - sixth).pixels, 200);
    EXPECT_EQ(countColour(*image, kFirstSeries, middle - sixth, middle + sixth).pixels, 0);
    EXPECT_GT(countColour(*image, kFirstSeries, middle + sixth, line.right + 1).pixels, 200);
}

// The pieces of the first series' line in an SVG chart, each the x of its points in order.
std::vector<std::vector<double>> linePieces(const std::string& svg) {
    std::vector<std::vector<double>> pieces;
    const std::regex path("stroke='rgb\\(  0,  96, 192\\)'  d='([^']*)'");
    const std::regex point("([ML])([-0-9.]+),");
    for (std::sregex_iterator it(svg.begin(), svg.end(), path), end; it != end; ++it) {
        const std::string d = (*it)[1];
        for (std::sregex_iterator p(d.begin(), d.end(), point); p != end; ++p) {
            if ((*p)[1] == "M" || pieces.empty()) {
                pieces.emplace_back();
            }
            pieces.back().push_back(std::stod((*p)[2]));
        }
    }
    return pieces;
}

TEST(PlotLines, AClockSetBackStartsALineOfItsOwnOverTheSameTimes) {
    // The end of summer time, as the program logs it (02:00 to 03:00 comes twice), and a log
    // that holds a second run whose times overlap the first's: either way the later entries
    // are a line of their own over times the first line already covers, not merged into it.
    const TempDir summer;
    // From twenty-five minutes before 02:00 to ten minutes into the repeated hour, at a
    // thousand times real time: the first entry is before 02:00 unless the program stalls for
    // a second and a half.
    auto sim = startUnderClock(kSim, summer.path(), {"-l60"}, "",
                               {"TZ=Europe/Berlin", "FAKETIME=@2026-10-25 01:35:00 x1000"});
    // The lines are read as they come (a few thousand of them), each once.
    std::size_t lookedAt = 0;
    std::int64_t previous = 0;
    std::int64_t setBackTo = -1;
    const auto tenMinutesIntoTheRepeatedHour = [&](const std::string& out) {
        for (std::size_t next = 0; (next = out.find('\n', lookedAt + 1)) != std::string::npos;
             lookedAt = next) {
            const auto line =
                parseMeasurementLine(std::string_view(out).substr(lookedAt, next - lookedAt));
            if (line) {
                setBackTo = setBackTo < 0 && line->seconds < previous ? line->seconds : setBackTo;
                previous = line->seconds;
            }
        }
        return setBackTo >= 0 && previous >= setBackTo + 11L * 60;
    };
    ASSERT_TRUE(sim.readUntil(tenMinutesIntoTheRepeatedHour))
        << "no clock set back: " << sim.output();
    ASSERT_TRUE(sim.stop().has_value()) << "still running after SIGINT";
    const std::string log = readFile(summer.file("quorvane.log")).value_or("");
    const auto logged = measurementLines(log);
    ASSERT_FALSE(logged.empty());
    ASSERT_NE(logged.front().text.find(" 01:"), std::string::npos)
        << "the log began after the change: " << log;
    ASSERT_NE(log.find(" 02:0", log.find(" 02:59:")), std::string::npos) << "no repeated hour";

    const TempDir overlap;
    writeFile(overlap.file("quorvane.log"), entries("C", 20, 30, 0) + entries("C", 25, 30, 900));

    for (const TempDir* dir : {&summer, &overlap}) {
        ASSERT_EQ(runProgram({kPlot, "-o", "chart.svg"}, dir->path()).status, 0);
        const auto pieces = linePieces(readFile(dir->file("chart.svg")).value_or(""));
        ASSERT_EQ(pieces.size(), 2U);
        for (const auto& piece : pieces) {
            EXPECT_GE(piece.size(), 10U);
            EXPECT_TRUE(std::is_sorted(piece.begin(), piece.end()));
        }
        // The second line lies over the first one's times.
        EXPECT_GT(pieces[1].front(), pieces[0].front());
        EXPECT_LT(pieces[1].front(), pieces[0].back());
    }
}

// The bands of rows with dark pixels (the lettering) below the plot's bottom border (the lowest
// row with a dark run across half the image) and between its ends (clear of the temperatures'
// labels on the left), top to bottom.
std::vector<std::pair<int, int>> inkBandsBelowThePlot(const Image& image) {
    const auto dark = [&image](int x, int y) {
        const std::uint8_t* p = &image.rgb[3 * static_cast<std::size_t>(y * image.width + x)];
        return p[0] < 128 && p[1] < 128 && p[2] < 128;
    };
    int border = -1;
    int left = 0;
    int right = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0, run = 0; x < image.width; ++x) {
            run = dark(x, y) ? run + 1 : 0;
            if (run > image.width / 2) {
                border = y;
                left = x - run + 1;
                right = x;
            }
        }
    }
    std::vector<std::pair<int, int>> bands;
    bool inBand = false;
    for (int y = border + 1; y < image.height; ++y) {
        bool ink = false;
        for (int x = left + 1; x < right && !ink; ++x) {
            ink = dark(x, y);
        }
        if (ink && !inBand) {
            bands.emplace_back(y, y);
        }
        if (ink) {
            bands.back().second = y;
        }
        inBand = ink;
    }
    return bands;
}

TEST(PlotAxis, TheTitleKeepsClearOfTwoRowsOfTickLabels) {
    // Three hours across midnight: every label is a time over a date, then the title.
    const TempDir dir;
    std::string log;
    for (int minutes = 0; minutes <= 180; minutes += 2) {
        const int t = 23 * 60 + minutes;
        char line[64];
        std::snprintf(line, sizeof line, "\n20.%d C %02d:%02d:00 03/%02d/2026", minutes % 10,
                      t / 60 % 24, t % 60, t < 24 * 60 ? 1 : 2);
        log += line;
    }
    writeFile(dir.file("quorvane.log"), log);
    const auto image = draw(dir, {}, "midnight.png");
    ASSERT_TRUE(image);
    const auto bands = inkBandsBelowThePlot(*image);
    ASSERT_EQ(bands.size(), 3U) << "the times, the dates and the title, apart";
    // The title is the last band, at most as tall as a line of the lettering.
    EXPECT_LT(bands[2].second - bands[2].first, bands[1].second - bands[0].first);
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
        {"-s", "10x10"}, {"-s", "800"},
        {"-s", "800x"},  {"-s", "800x600x2"},
        {"-s", "axb"},   {"-s"},
        {"-f", "jpg"},   {"-o", "chart.jpg"},
        {"-o", "chart"}, {"-u", "X"},
        {"-u", "CF"},    {"-u"},
        {"--bogus"},     {"a.log", "b.log"},
        {"-o", ""},      {"-o", "a.svg", "-f", "png"},
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
    EXPECT_EQ(runProgram({"ls", dir.path().string()}).out, "quorvane.log\n");
}

// Titles and output names are the user's text, never gnuplot's: none of them may end a command
// (a newline, then "!" runs a shell), end a quoted string, or fail to draw. Each chart is drawn
// whole, at exactly the name given, and nothing else appears in the directory. Whatever bytes a
// title holds, the SVG is well-formed XML, as a real parser reads it.
TEST(PlotUserText, NoCharacterOfATitleOrAnOutputNameIsGnuplotSyntax) {
    const std::vector<std::string> nasty{
        "Room\n!touch PWNED\n",
        "'",
        "''",
        "'Room",
        "a'; system('touch PWNED'); '",
        "\"; system(\"touch PWNED\"); \"",
        "`touch PWNED`",
        "$(touch PWNED)",
        "@ARG1 \\ \\n %s %n {/Symbol a}^2_x &amp; <b>",
        "line\r!touch PWNED\rend\t\x01\x7f",
        "Zimmer \xC3\xA4 \xE2\x84\x83",
        "K\374che \x80\xff",  // Latin-1, and bytes that are no text
        "\xC2\x85 \xEF\xBF\xBE \xED\xA0\x80 \xC0\xAF \xF4\x90\x80\x80",  // what XML cannot hold
    };
    const TempDir dir;
    writeFile(dir.file("quorvane.log"), entries("C", 21.0, 5, 0));
    for (const std::string& text : nasty) {
        SCOPED_TRACE(testing::PrintToString(text));
        std::string output = text + ".png";
        std::replace(output.begin(), output.end(), '/', '_');  // a name, not a path
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{kPlot, "-t", text, "-o", "titled.svg"},
              std::vector<std::string>{kPlot, "-t", "Room", "-o", output}}) {
            const ProgramResult plot = runProgram(args, dir.path());
            EXPECT_EQ(plot.status, 0) << plot.err;
            EXPECT_EQ(plot.err, "");
            if (args.back() == "titled.svg") {
                const ProgramResult xml =
                    runProgram({QUORVANE_XMLLINT, "--noout", "titled.svg"}, dir.path());
                EXPECT_EQ(xml.status, 0) << xml.err;
            } else {
                EXPECT_TRUE(readPng(dir.file(args.back())).has_value());
            }
            EXPECT_FALSE(readFile(dir.file("PWNED")).has_value()) << "gnuplot ran a command";
            std::filesystem::remove(dir.file(args.back()));
        }
    }
    // A Latin-1 title is shown as the letters it means, in the SVG and on the PNG alike.
    ASSERT_EQ(runProgram({kPlot, "-t", "K\374che", "-o", "titled.svg"}, dir.path()).status, 0);
    EXPECT_NE(readFile(dir.file("titled.svg")).value_or("").find(">K\u00fcche<"),
              std::string::npos);
    EXPECT_TRUE(draw(dir, {"-t", "K\374che"}, "titled.png").has_value());
    for (const char* chart : {"titled.svg", "titled.png"}) {
        std::filesystem::remove(dir.file(chart));
    }
    EXPECT_EQ(runProgram({"ls", "-A", dir.path().string()}).out, "quorvane.log\n");
}

// quorvane-plot may run as root in a directory others can write. A symbolic link planted at the
// output name is refused and its target left alone; an image already there is replaced whole,
// another name of it left alone; the image gets the mode of the user's own image it replaces,
// or a new file's, never another user's and never a set-ID bit; no temporary file stays behind,
// drawn or not.
TEST(PlotOutput, APlantedLinkIsRefusedAndAnImageIsReplacedWhole) {
    const TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(01777));
    writeFile(dir.file("quorvane.log"), entries("C", 21.0, 5, 0));
    writeFile(dir.file("precious"), "root's own");
    for (const char* target : {"precious", "missing"}) {
        SCOPED_TRACE(target);
        std::filesystem::create_symlink(target, dir.file("quorvane.png"));
        const ProgramResult plot = runProgram({kPlot}, dir.path());
        EXPECT_EQ(plot.status, 1);
        EXPECT_EQ(plot.err, "quorvane-plot: cannot write quorvane.png: it is a symbolic link\n");
        EXPECT_TRUE(std::filesystem::is_symlink(dir.file("quorvane.png")));
        std::filesystem::remove(dir.file("quorvane.png"));
    }
    EXPECT_EQ(readFile(dir.file("precious")), "root's own");
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));

    // A FIFO at the output name is no image either: it is neither written nor waited on.
    ASSERT_EQ(runProgram({"mkfifo", dir.file("fifo.png")}).status, 0);
    const ProgramResult fifo = runProgram({"timeout", "20", kPlot, "-o", "fifo.png"}, dir.path());
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(fifo.err, "quorvane-plot: cannot write fifo.png: it is not a regular file\n");
    std::filesystem::remove(dir.file("fifo.png"));

    const mode_t mask = umask(0);
    umask(mask);
    const mode_t fresh = 0666 & ~mask;
    struct Case {
        const char* name;
        bool others;  // another user's file (nobody's): only root can make one
        mode_t mode;
        mode_t drawn;
    };
    const Case cases[] = {
        {"the user's own", false, 0640, 0640},
        {"the user's own, set-ID", false, 06755, 0755},
        {"another user's, set-ID and writable by all", true, 06777, fresh},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.others && geteuid() != 0) {
            continue;
        }
        writeFile(dir.file("chart.png"), "an old chart");
        ASSERT_EQ(chmod(dir.file("chart.png").c_str(), c.mode), 0);
        if (c.others) {
            ASSERT_EQ(chown(dir.file("chart.png").c_str(), 65534, 65534), 0);
        }
        ASSERT_EQ(runProgram({"ln", dir.file("chart.png"), dir.file("second-name")}).status, 0);
        const ProgramResult plot = runProgram({kPlot, "-o", "chart.png"}, dir.path());
        EXPECT_EQ(plot.status, 0) << plot.err;
        EXPECT_TRUE(readPng(dir.file("chart.png")).has_value());
        struct stat drawn {};
        ASSERT_EQ(stat(dir.file("chart.png").c_str(), &drawn), 0);
        EXPECT_EQ(drawn.st_mode & 07777, c.drawn);
        EXPECT_EQ(drawn.st_uid, geteuid());
        EXPECT_EQ(readFile(dir.file("second-name")), "an old chart")
            << "the other name is left alone";
        EXPECT_EQ(runProgram({"ls", "-A", dir.path().string()}).out,
                  "chart.png\nprecious\nquorvane.log\nsecond-name\n");
        std::filesystem::remove(dir.file("second-name"));
    }
}

// A log that never ends and holds no line (a device such as /dev/zero) cannot keep the program
// reading: a named device is refused, and a pipe gives up after 16 MiB without a measurement.
// A named FIFO is still read, waiting for its writer.
TEST(PlotInput, InputThatNeverEndsIsRefusedOrGivenUp) {
    const TempDir dir;
    for (const char* device : {"/dev/zero", "/dev/urandom"}) {
        const ProgramResult plot = runProgram({"timeout", "20", kPlot, device}, dir.path());
        EXPECT_EQ(plot.status, 1) << device;
        EXPECT_EQ(plot.err, std::string("quorvane-plot: cannot read ") + device +
                                ": it is not a regular file or a pipe\n");
    }
    const ProgramResult piped =
        runProgram({"timeout", "20", "sh", "-c", "exec \"$0\" - </dev/zero", kPlot}, dir.path());
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.err, "quorvane-plot: - holds no measurement in its first 16 MiB: not a log\n");

    writeFile(dir.file("quorvane.log"), entries("C", 21.0, 5, 0));
    // The FIFO is there before the program starts; its writer comes a moment later.
    const ProgramResult fifo = runProgram(
        {"timeout", "20", "sh", "-c",
         "mkfifo f && { (sleep 0.5; cat quorvane.log >f) & exec \"$0\" f -o f.svg; }", kPlot},
        dir.path());
    EXPECT_EQ(fifo.status, 0) << fifo.err;
    EXPECT_TRUE(readFile(dir.file("f.svg")).value_or("").find("<svg") != std::string::npos);
    EXPECT_EQ(runProgram({kPlot, "."}, dir.path()).err,
              "quorvane-plot: cannot read .: it is a directory\n");
}

}  // namespace
