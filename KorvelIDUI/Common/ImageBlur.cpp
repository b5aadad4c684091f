#include "Common/ImageBlur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// One box pass along a line of `count` pixels, `stride` apart, into `out` (contiguous), each channel
// of the 32-bit pixel separately.
void boxLine(const std::uint32_t* in, std::uint32_t* out, int count, int stride, int half) {
    const int width = 2 * half + 1;
    int sum[4] = {0, 0, 0, 0};
    auto add = [&](std::uint32_t px, int sign) {
        for (int c = 0; c < 4; ++c) sum[c] += sign * static_cast<int>((px >> (8 * c)) & 0xff);
    };
    auto at = [&](int i) { return in[static_cast<std::ptrdiff_t>(std::clamp(i, 0, count - 1)) * stride]; };
    for (int i = -half; i <= half; ++i) add(at(i), 1);
    for (int i = 0; i < count; ++i) {
        std::uint32_t px = 0;
        for (int c = 0; c < 4; ++c) px |= static_cast<std::uint32_t>((sum[c] + width / 2) / width) << (8 * c);
        out[i] = px;
        add(at(i + half + 1), 1);
        add(at(i - half), -1);
    }
}

void boxPass(QImage& image, std::vector<std::uint32_t>& scratch, int half, bool horizontal) {
    const int w = image.width();
    const int h = image.height();
    auto* bits = reinterpret_cast<std::uint32_t*>(image.bits());
    const int stride = image.bytesPerLine() / 4;
    const int lines = horizontal ? h : w;
    const int count = horizontal ? w : h;
    const int step = horizontal ? 1 : stride;
    scratch.resize(static_cast<std::size_t>(count));
    for (int l = 0; l < lines; ++l) {
        std::uint32_t* line = horizontal ? bits + static_cast<std::ptrdiff_t>(l) * stride : bits + l;
        boxLine(line, scratch.data(), count, step, half);
        for (int i = 0; i < count; ++i) line[static_cast<std::ptrdiff_t>(i) * step] = scratch[static_cast<std::size_t>(i)];
    }
}

}  // namespace

std::array<int, 3> ImageBlur::boxWidths(double sigma) {
    // Ideal width of three equal boxes, then a mix of the two nearest odd widths.
    const double ideal = std::sqrt(12 * sigma * sigma / 3 + 1);
    int lower = static_cast<int>(std::floor(ideal));
    if (lower % 2 == 0) --lower;
    lower = std::max(lower, 1);
    const int upper = lower + 2;
    const double m = std::round((12 * sigma * sigma - 3.0 * lower * lower - 12.0 * lower - 9) / (-4.0 * lower - 4));
    std::array<int, 3> widths{};
    for (int i = 0; i < 3; ++i) widths[static_cast<std::size_t>(i)] = i < m ? lower : upper;
    return widths;
}

QImage ImageBlur::blurred(const QImage& image, double radius) {
    if (radius <= 0 || image.isNull()) return image;
    const double dpr = image.devicePixelRatio();
    double sigma = radius * dpr;
    // Wide blurs lose nothing at half resolution and cost a quarter.
    const bool halve = sigma >= 4 && image.width() > 8 && image.height() > 8;
    QImage work = (halve ? image.scaled(image.size() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) : image)
                      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (halve) sigma /= 2;
    std::vector<std::uint32_t> scratch;
    for (int width : boxWidths(sigma)) {
        boxPass(work, scratch, (width - 1) / 2, true);
        boxPass(work, scratch, (width - 1) / 2, false);
    }
    if (halve) work = work.scaled(image.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    work.setDevicePixelRatio(dpr);
    return work;
}
