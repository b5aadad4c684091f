#pragma once
// A Gaussian blur of a still image (used for the frozen, blurred view of locked content).
#include <QImage>

#include <array>

namespace ImageBlur {

// `image` blurred with a Gaussian of standard deviation `radius` logical pixels (three box passes
// each way; edges repeat the border pixels). Radius 0 returns the image as is.
QImage blurred(const QImage& image, double radius);

// The three box widths (odd) whose repeated application approximates a Gaussian of `sigma`.
std::array<int, 3> boxWidths(double sigma);

}  // namespace ImageBlur
