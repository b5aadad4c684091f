#pragma once
// The 128-d ResNet face descriptor (dlib's 29-layer metric network) with the weights of the face-api
// package, run two ways: as an OpenCV dnn graph built here layer by layer (the engine), and as
// plain loops (slow and literal: the test oracle for the graph).
//
// The network: a 7×7 stride-2 'valid' convolution and a 3×3 stride-2 max pool, then residual
// blocks of two 3×3 convolutions (32, 32, 32, ↓64, 64, 64, 64, ↓128, 128, 128, ↓256, 256, 256, ↓256
// channels), a global average and a 256×128 product. Every convolution adds its bias, then a
// per-channel scale and offset. A down block (↓) starts with a stride-2 'valid' convolution; its
// shortcut is a 2×2 stride-2 average pool of its input, with zero channels appended to match, and
// where the pool is one larger than the convolutions' output, that output gets a zero row and column
// at its end. Pools round their size down.
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <cstdint>
#include <vector>

#include "Face/TfjsWeights.h"

namespace FaceDescriptorNet {
inline constexpr int inputSize = 150;
inline constexpr int descriptorSize = 128;
// The shard size of the face-api weights.
inline constexpr std::uintmax_t weightBytes = 6444032;
// Subtracted from the chip's R, G, B before dividing by 255.
inline constexpr double meanR = 122.782, meanG = 117.001, meanB = 104.298;

// The network input of a 150×150 8-bit RGB chip: 1×3×150×150 float, (value − mean) / 255.
cv::Mat inputBlob(const cv::Mat& rgbChip);

// Checks that `weights` has every tensor of the network in its shape; throws FaceModelError.
void checkWeights(const TfjsWeights& weights);

// The plain-loop network. `rgbChip`: 150×150 CV_8UC3 RGB.
std::vector<float> referenceDescriptor(const TfjsWeights& weights, const cv::Mat& rgbChip);
}  // namespace FaceDescriptorNet

// The OpenCV dnn graph. Not safe for concurrent compute() calls.
class DescriptorNetwork {
public:
    // Throws FaceModelError when a tensor is missing or has another shape.
    explicit DescriptorNetwork(const TfjsWeights& weights);
    // `rgbChip`: 150×150 CV_8UC3 RGB. 128 values.
    std::vector<float> compute(const cv::Mat& rgbChip);

private:
    cv::dnn::Net net_;
};
