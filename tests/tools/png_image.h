// Just enough of PNG to look at a chart: 8-bit grey, RGB or RGBA, not interlaced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::testing {

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

class PngImage {
  public:
    // The decoded image, or nothing with the reason in `error`.
    static std::optional<PngImage> decode(const std::string& bytes, std::string& error);

    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const;

  private:
    int width_ = 0;
    int height_ = 0;
    int channels_ = 0;
    std::vector<std::uint8_t> pixels_;  // rows without their filter bytes
};

// Pixels whose colour is within `tolerance` of `colour` in every channel: how many, and how far
// apart the leftmost and rightmost of them lie.
struct ColourCount {
    int pixels = 0;
    int spanX = 0;
};
ColourCount countColour(const PngImage& image, Rgb colour, int tolerance);

}  // namespace quorvane::testing
