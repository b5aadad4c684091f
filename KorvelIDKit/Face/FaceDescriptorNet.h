#pragma once
// The 128-d ResNet face descriptor (dlib's 29-layer metric network) with the weights of the face-api
// package, run three ways: by our own AVX-512 or AVX2 kernels (FastDescriptorNet.h, the engine where
// the CPU has them), as an OpenCV dnn graph built here layer by layer (the engine on other CPUs), and
// as plain loops (slow and literal: the test oracle for both).
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

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Face/TfjsWeights.h"

namespace FaceDescriptorNet {
inline constexpr int inputSize = 150;
inline constexpr int descriptorSize = 128;
// The shard size of the face-api weights.
inline constexpr std::uintmax_t weightBytes = 6444032;
// Subtracted from the chip's R, G, B before dividing by 255.
inline constexpr double meanR = 122.782, meanG = 117.001, meanB = 104.298;
// The network's input for an 8-bit `value` of channel `channel` (0 R, 1 G, 2 B).
inline float inputValue(int channel, int value) {
    constexpr double mean[3] = {meanR, meanG, meanB};
    return float((value - mean[channel]) / 255.0);
}

// A residual block: the prefix of its tensors, its channels in and out, and whether it is a down block.
struct Block {
    const char* name;
    int in, out;
    bool down;
};
inline constexpr std::array<Block, 14> blocks = {{{"conv32_1", 32, 32, false},
                                                  {"conv32_2", 32, 32, false},
                                                  {"conv32_3", 32, 32, false},
                                                  {"conv64_down", 32, 64, true},
                                                  {"conv64_1", 64, 64, false},
                                                  {"conv64_2", 64, 64, false},
                                                  {"conv64_3", 64, 64, false},
                                                  {"conv128_down", 64, 128, true},
                                                  {"conv128_1", 128, 128, false},
                                                  {"conv128_2", 128, 128, false},
                                                  {"conv256_down", 128, 256, true},
                                                  {"conv256_1", 256, 256, false},
                                                  {"conv256_2", 256, 256, false},
                                                  {"conv256_down_out", 256, 256, true}}};
inline constexpr int stemChannels = 32, stemKernel = 7;
inline constexpr const char* stemName = "conv32_down";

// One convolution's tensors, checked (throws FaceModelError).
struct ConvTensors {
    const TfjsTensor& filters;  // HWIO
    const TfjsTensor& bias;
    const TfjsTensor& scale;
    const TfjsTensor& offset;

    // The convolution with bias, scale and offset folded in, as the engines run it:
    // (W·x + b)·s + o = (s·W)·x + (s·b + o).
    float foldedWeight(int ky, int kx, int in, int out) const {
        const auto& d = filters.shape;  // k, k, inputs, outputs
        const std::size_t i = ((std::size_t(ky) * std::size_t(d[1]) + std::size_t(kx)) * std::size_t(d[2]) + std::size_t(in)) *
                                  std::size_t(d[3]) + std::size_t(out);
        return filters.values[i] * scale.values[std::size_t(out)];
    }
    float foldedBias(int out) const {
        const auto o = std::size_t(out);
        return bias.values[o] * scale.values[o] + offset.values[o];
    }
};
ConvTensors convTensors(const TfjsWeights& weights, const std::string& prefix, int in, int out, int k);
// The final 256×128 product (input-major).
const TfjsTensor& fcTensor(const TfjsWeights& weights);

// The network input of a 150×150 8-bit RGB chip: 1×3×150×150 float, (value − mean) / 255.
cv::Mat inputBlob(const cv::Mat& rgbChip);

// Checks that `weights` has every tensor of the network in its shape; throws FaceModelError.
void checkWeights(const TfjsWeights& weights);

// The plain-loop network. `rgbChip`: 150×150 CV_8UC3 RGB.
std::vector<float> referenceDescriptor(const TfjsWeights& weights, const cv::Mat& rgbChip);
}  // namespace FaceDescriptorNet

class FastDescriptorNet;

// The network as the application runs it. Not safe for concurrent compute() calls.
class DescriptorNetwork {
public:
    // Our own kernels for AVX-512 or AVX2 + FMA, or the OpenCV graph (any x86-64).
    enum class Engine { avx512, avx2, opencv };
    static bool available(Engine engine);
    static const char* engineName(Engine engine);  // "avx512", "avx2", "opencv"
    // The fastest engine this CPU runs, or the one $KORVEL_DESCRIPTOR_ISA names ("avx512", "avx2",
    // "opencv") when the CPU runs that one.
    static Engine preferredEngine();

    // Throws FaceModelError when a tensor is missing or has another shape.
    explicit DescriptorNetwork(const TfjsWeights& weights);
    // As above; throws std::invalid_argument when this CPU cannot run `engine`.
    DescriptorNetwork(const TfjsWeights& weights, Engine engine);
    ~DescriptorNetwork();
    DescriptorNetwork(const DescriptorNetwork&) = delete;
    DescriptorNetwork& operator=(const DescriptorNetwork&) = delete;

    Engine engine() const { return engine_; }
    // `rgbChip`: 150×150 CV_8UC3 RGB. 128 values.
    std::vector<float> compute(const cv::Mat& rgbChip);

private:
    void buildGraph(const TfjsWeights& weights);

    Engine engine_;
    cv::dnn::Net net_;
    std::unique_ptr<FastDescriptorNet> fast_;
};
