#include "png_image.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>

namespace quorvane::testing {

namespace {

std::uint32_t bigEndian(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8U) | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

int paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) {
        return a;
    }
    return pb <= pc ? b : c;
}

}  // namespace

std::optional<PngImage> PngImage::decode(const std::string& bytes, std::string& error) {
    if (bytes.size() < 8 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) {
        error = "no PNG signature";
        return std::nullopt;
    }
    PngImage image;
    std::string compressed;
    bool ended = false;
    for (std::size_t offset = 8; offset + 12 <= bytes.size() && !ended;) {
        const std::uint32_t length = bigEndian(bytes, offset);
        const std::string type = bytes.substr(offset + 4, 4);
        if (offset + 12 + length > bytes.size()) {
            error = "chunk " + type + " runs past the end";
            return std::nullopt;
        }
        const std::string data = bytes.substr(offset + 8, length);
        if (type == "IHDR") {
            if (length != 13 || data[8] != 8 || data[10] != 0 || data[11] != 0 || data[12] != 0) {
                error = "unsupported IHDR (need 8 bits, not interlaced)";
                return std::nullopt;
            }
            image.width_ = static_cast<int>(bigEndian(data, 0));
            image.height_ = static_cast<int>(bigEndian(data, 4));
            switch (data[9]) {
                case 0:
                    image.channels_ = 1;
                    break;
                case 2:
                    image.channels_ = 3;
                    break;
                case 6:
                    image.channels_ = 4;
                    break;
                default:
                    error = "unsupported colour type " + std::to_string(int{data[9]});
                    return std::nullopt;
            }
        } else if (type == "IDAT") {
            compressed += data;
        } else if (type == "IEND") {
            ended = true;
        }
        offset += 12 + length;
    }
    if (image.channels_ == 0 || !ended) {
        error = "no IHDR or no IEND";
        return std::nullopt;
    }

    const auto stride =
        static_cast<std::size_t>(image.width_) * static_cast<std::size_t>(image.channels_);
    const auto rows = static_cast<std::size_t>(image.height_);
    std::vector<std::uint8_t> raw((stride + 1) * rows);
    uLongf rawSize = static_cast<uLongf>(raw.size());
    if (uncompress(raw.data(), &rawSize, reinterpret_cast<const Bytef*>(compressed.data()),
                   static_cast<uLong>(compressed.size())) != Z_OK ||
        rawSize != raw.size()) {
        error = "image data does not inflate to its size";
        return std::nullopt;
    }

    image.pixels_.assign(stride * rows, 0);
    const auto bpp = static_cast<std::size_t>(image.channels_);
    for (std::size_t y = 0; y < rows; ++y) {
        const std::uint8_t filter = raw[y * (stride + 1)];
        const std::uint8_t* in = &raw[y * (stride + 1) + 1];
        std::uint8_t* out = &image.pixels_[y * stride];
        const std::uint8_t* up = y > 0 ? &image.pixels_[(y - 1) * stride] : nullptr;
        for (std::size_t i = 0; i < stride; ++i) {
            const int a = i >= bpp ? out[i - bpp] : 0;
            const int b = up != nullptr ? up[i] : 0;
            const int c = (i >= bpp && up != nullptr) ? up[i - bpp] : 0;
            int predicted = 0;
            switch (filter) {
                case 0:
                    break;
                case 1:
                    predicted = a;
                    break;
                case 2:
                    predicted = b;
                    break;
                case 3:
                    predicted = (a + b) / 2;
                    break;
                case 4:
                    predicted = paeth(a, b, c);
                    break;
                default:
                    error = "bad filter type in row " + std::to_string(y);
                    return std::nullopt;
            }
            out[i] = static_cast<std::uint8_t>(in[i] + predicted);
        }
    }
    return image;
}

Rgb PngImage::at(int x, int y) const {
    const auto index = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                        static_cast<std::size_t>(x)) *
                       static_cast<std::size_t>(channels_);
    if (channels_ == 1) {
        return {pixels_[index], pixels_[index], pixels_[index]};
    }
    return {pixels_[index], pixels_[index + 1], pixels_[index + 2]};
}

ColourCount countColour(const PngImage& image, Rgb colour, int tolerance) {
    ColourCount count;
    int left = image.width();
    int right = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const Rgb p = image.at(x, y);
            if (std::abs(p.r - colour.r) <= tolerance && std::abs(p.g - colour.g) <= tolerance &&
                std::abs(p.b - colour.b) <= tolerance) {
                ++count.pixels;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    count.spanX = right >= left ? right - left : 0;
    return count;
}

}  // namespace quorvane::testing
