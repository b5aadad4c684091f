#include "Face/FaceDescriptorNet.h"

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Face/FaceModelError.h"
#include "Face/FastDescriptorNet.h"
#include "Support/Logger.h"

namespace {
using FaceDescriptorNet::Block;
using FaceDescriptorNet::blocks;
using FaceDescriptorNet::ConvTensors;
using FaceDescriptorNet::convTensors;
using FaceDescriptorNet::fcTensor;
using FaceDescriptorNet::stemChannels;
using FaceDescriptorNet::stemKernel;

void requireChip(const cv::Mat& chip) {
    CV_Assert(chip.type() == CV_8UC3 && chip.rows == FaceDescriptorNet::inputSize &&
              chip.cols == FaceDescriptorNet::inputSize);
}

// Index of a filter weight in the HWIO layout of the weights file.
std::size_t hwio(int ky, int kx, int i, int o, int k, int in, int out) {
    return ((std::size_t(ky) * std::size_t(k) + std::size_t(kx)) * std::size_t(in) + std::size_t(i)) * std::size_t(out) +
           std::size_t(o);
}

// ---- plain loops, HWC float tensors ----
struct Tensor {
    int h = 0, w = 0, c = 0;
    std::vector<float> v;
    Tensor() = default;
    Tensor(int h_, int w_, int c_) : h(h_), w(w_), c(c_), v(index(h_, 0, 0), 0.0f) {}
    std::size_t index(int y, int x, int ch) const {
        return (std::size_t(y) * std::size_t(w) + std::size_t(x)) * std::size_t(c) + std::size_t(ch);
    }
    float& at(int y, int x, int ch) { return v[index(y, x, ch)]; }
    float at(int y, int x, int ch) const { return v[index(y, x, ch)]; }
};

// 'same' (stride 1, padded by k/2) or 'valid'; then + bias, · scale + offset, optional ReLU.
Tensor convolve(const Tensor& in, const ConvTensors& t, int k, int stride, bool same, bool relu) {
    const int out = t.filters.shape[3];
    const int pad = same ? k / 2 : 0;
    const int oh = same ? in.h : (in.h - k) / stride + 1, ow = same ? in.w : (in.w - k) / stride + 1;
    Tensor r(oh, ow, out);
    std::vector<double> acc(static_cast<std::size_t>(out));
    for (int y = 0; y < oh; ++y) {
        for (int x = 0; x < ow; ++x) {
            std::fill(acc.begin(), acc.end(), 0.0);
            for (int ky = 0; ky < k; ++ky) {
                const int iy = y * stride + ky - pad;
                if (iy < 0 || iy >= in.h) continue;
                for (int kx = 0; kx < k; ++kx) {
                    const int ix = x * stride + kx - pad;
                    if (ix < 0 || ix >= in.w) continue;
                    for (int i = 0; i < in.c; ++i) {
                        const double value = in.at(iy, ix, i);
                        const float* f = &t.filters.values[hwio(ky, kx, i, 0, k, in.c, out)];
                        for (int o = 0; o < out; ++o) acc[std::size_t(o)] += value * double(f[o]);
                    }
                }
            }
            for (int o = 0; o < out; ++o) {
                const std::size_t oi = std::size_t(o);
                double v = (acc[oi] + t.bias.values[oi]) * t.scale.values[oi] + t.offset.values[oi];
                if (relu && v < 0) v = 0;
                r.at(y, x, o) = float(v);
            }
        }
    }
    return r;
}

Tensor pool(const Tensor& in, int k, int stride, bool isMax) {
    const int oh = (in.h - k) / stride + 1, ow = (in.w - k) / stride + 1;
    Tensor r(oh, ow, in.c);
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x)
            for (int ch = 0; ch < in.c; ++ch) {
                double v = isMax ? -1e300 : 0;
                for (int ky = 0; ky < k; ++ky)
                    for (int kx = 0; kx < k; ++kx) {
                        const double p = in.at(y * stride + ky, x * stride + kx, ch);
                        v = isMax ? std::max(v, p) : v + p;
                    }
                r.at(y, x, ch) = float(isMax ? v : v / (k * k));
            }
    return r;
}

Tensor residual(const TfjsWeights& w, const Block& b, const Tensor& x) {
    const std::string name = b.name;
    Tensor out = convolve(x, convTensors(w, name + "/conv1", b.in, b.out, 3), 3, b.down ? 2 : 1, !b.down, true);
    out = convolve(out, convTensors(w, name + "/conv2", b.out, b.out, 3), 3, 1, true, false);
    Tensor shortcut = b.down ? pool(x, 2, 2, false) : x;
    // The shortcut may be one larger than the convolutions' output (zero row and column at the end)
    // and have fewer channels (zero channels at the end).
    Tensor sum(shortcut.h, shortcut.w, out.c);
    for (int y = 0; y < sum.h; ++y)
        for (int xx = 0; xx < sum.w; ++xx)
            for (int ch = 0; ch < sum.c; ++ch) {
                double v = 0;
                if (y < out.h && xx < out.w) v += out.at(y, xx, ch);
                if (ch < shortcut.c) v += shortcut.at(y, xx, ch);
                sum.at(y, xx, ch) = float(std::max(v, 0.0));
            }
    return sum;
}
}  // namespace

namespace FaceDescriptorNet {

ConvTensors convTensors(const TfjsWeights& w, const std::string& prefix, int in, int out, int k) {
    return {w.tensor(prefix + "/conv/filters", {k, k, in, out}), w.tensor(prefix + "/conv/bias", {out}),
            w.tensor(prefix + "/scale/weights", {out}), w.tensor(prefix + "/scale/biases", {out})};
}

const TfjsTensor& fcTensor(const TfjsWeights& w) { return w.tensor("fc", {256, descriptorSize}); }

cv::Mat inputBlob(const cv::Mat& chip) {
    requireChip(chip);
    const int size[] = {1, 3, inputSize, inputSize};
    cv::Mat blob(4, size, CV_32F);
    for (int ch = 0; ch < 3; ++ch) {
        float* plane = blob.ptr<float>(0, ch);
        for (int y = 0; y < inputSize; ++y) {
            const auto* row = chip.ptr<cv::Vec3b>(y);
            for (int x = 0; x < inputSize; ++x) plane[y * inputSize + x] = inputValue(ch, row[x][ch]);
        }
    }
    return blob;
}

void checkWeights(const TfjsWeights& w) {
    convTensors(w, stemName, 3, stemChannels, stemKernel);
    for (const auto& b : blocks) {
        convTensors(w, std::string(b.name) + "/conv1", b.in, b.out, 3);
        convTensors(w, std::string(b.name) + "/conv2", b.out, b.out, 3);
    }
    fcTensor(w);
}

std::vector<float> referenceDescriptor(const TfjsWeights& w, const cv::Mat& chip) {
    const cv::Mat blob = inputBlob(chip);
    Tensor x(inputSize, inputSize, 3);
    for (int ch = 0; ch < 3; ++ch)
        for (int y = 0; y < inputSize; ++y)
            for (int xx = 0; xx < inputSize; ++xx) x.at(y, xx, ch) = blob.ptr<float>(0, ch)[y * inputSize + xx];
    x = convolve(x, convTensors(w, stemName, 3, stemChannels, stemKernel), stemKernel, 2, false, true);
    x = pool(x, 3, 2, true);
    for (const auto& b : blocks) x = residual(w, b, x);
    const TfjsTensor& fc = fcTensor(w);
    std::vector<double> mean(static_cast<std::size_t>(x.c), 0.0);
    for (int y = 0; y < x.h; ++y)
        for (int xx = 0; xx < x.w; ++xx)
            for (int ch = 0; ch < x.c; ++ch) mean[std::size_t(ch)] += x.at(y, xx, ch);
    std::vector<float> out(descriptorSize);
    for (int o = 0; o < descriptorSize; ++o) {
        double v = 0;
        for (int ch = 0; ch < x.c; ++ch)
            v += mean[std::size_t(ch)] / (x.h * x.w) * fc.values[std::size_t(ch) * descriptorSize + std::size_t(o)];
        out[std::size_t(o)] = float(v);
    }
    return out;
}
}  // namespace FaceDescriptorNet

bool DescriptorNetwork::available(Engine engine) {
    switch (engine) {
    case Engine::avx512: return FastDescriptorNet::supported(FastDescriptorNet::Isa::avx512);
    case Engine::avx2: return FastDescriptorNet::supported(FastDescriptorNet::Isa::avx2);
    case Engine::opencv: return true;
    }
    return false;
}

const char* DescriptorNetwork::engineName(Engine engine) {
    switch (engine) {
    case Engine::avx512: return "avx512";
    case Engine::avx2: return "avx2";
    case Engine::opencv: return "opencv";
    }
    return "?";
}

DescriptorNetwork::Engine DescriptorNetwork::preferredEngine() {
    Engine fastest = Engine::opencv;
    for (const Engine e : {Engine::avx2, Engine::avx512})
        if (available(e)) fastest = e;
    const char* env = std::getenv("KORVEL_DESCRIPTOR_ISA");
    if (!env || !*env) return fastest;
    for (const Engine e : {Engine::avx512, Engine::avx2, Engine::opencv})
        if (std::string_view(env) == engineName(e)) {
            if (available(e)) return e;
            Log::face().info(strprintf("KORVEL_DESCRIPTOR_ISA=%s: not on this CPU; using %s", env, engineName(fastest)));
            return fastest;
        }
    Log::face().info(strprintf("KORVEL_DESCRIPTOR_ISA=%s is not avx512, avx2 or opencv; using %s", env, engineName(fastest)));
    return fastest;
}

DescriptorNetwork::DescriptorNetwork(const TfjsWeights& w) : DescriptorNetwork(w, preferredEngine()) {}

DescriptorNetwork::DescriptorNetwork(const TfjsWeights& w, Engine engine) : engine_(engine) {
    if (!available(engine))
        throw std::invalid_argument(std::string("descriptor engine ") + engineName(engine) + " does not run on this CPU");
    FaceDescriptorNet::checkWeights(w);
    if (engine == Engine::opencv)
        buildGraph(w);
    else
        fast_ = std::make_unique<FastDescriptorNet>(
            w, engine == Engine::avx512 ? FastDescriptorNet::Isa::avx512 : FastDescriptorNet::Isa::avx2);
}

DescriptorNetwork::~DescriptorNetwork() = default;

void DescriptorNetwork::buildGraph(const TfjsWeights& w) {
    using cv::dnn::LayerParams;
    const auto add = [&](const std::string& name, const std::string& type, LayerParams& p,
                         std::initializer_list<int> inputs) {
        p.name = name;
        p.type = type;
        const int id = net_.addLayer(name, type, p);
        int slot = 0;
        for (int from : inputs) net_.connect(from, 0, id, slot++);
        return id;
    };
    const auto conv = [&](const std::string& prefix, int from, int in, int out, int k, int stride, bool same,
                          bool relu) {
        const ConvTensors t = convTensors(w, prefix, in, out, k);
        const int shape[] = {out, in, k, k};
        cv::Mat weights(4, shape, CV_32F), bias(1, out, CV_32F);
        for (int o = 0; o < out; ++o) {
            bias.at<float>(o) = t.foldedBias(o);
            for (int i = 0; i < in; ++i)
                for (int ky = 0; ky < k; ++ky)
                    for (int kx = 0; kx < k; ++kx) weights.ptr<float>(o, i)[ky * k + kx] = t.foldedWeight(ky, kx, i, o);
        }
        LayerParams p;
        p.set("kernel_size", k);
        p.set("num_output", out);
        p.set("stride", stride);
        p.set("pad", same ? k / 2 : 0);
        p.set("bias_term", true);
        p.blobs = {weights, bias};
        int id = add(prefix, "Convolution", p, {from});
        if (relu) {
            LayerParams r;
            id = add(prefix + "/relu", "ReLU", r, {id});
        }
        return id;
    };
    const auto poolLayer = [&](const std::string& name, int from, const char* kind, int k, int stride) {
        LayerParams p;
        p.set("pool", kind);
        p.set("kernel_size", k);
        p.set("stride", stride);
        p.set("pad", 0);
        p.set("ceil_mode", false);
        return add(name, "Pooling", p, {from});
    };

    net_.setInputsNames({"chip"});
    int x = conv(FaceDescriptorNet::stemName, 0, 3, stemChannels, stemKernel, 2, false, true);
    x = poolLayer(std::string(FaceDescriptorNet::stemName) + "/pool", x, "max", 3, 2);
    int size = ((FaceDescriptorNet::inputSize - stemKernel) / 2 + 1 - 3) / 2 + 1;  // spatial size of x
    for (const auto& b : blocks) {
        const std::string name = b.name;
        int out = conv(name + "/conv1", x, b.in, b.out, 3, b.down ? 2 : 1, !b.down, true);
        out = conv(name + "/conv2", out, b.out, b.out, 3, 1, true, false);
        int shortcut = x;
        if (b.down) {
            const int convSize = (size - 3) / 2 + 1, poolSize = (size - 2) / 2 + 1;
            shortcut = poolLayer(name + "/shortcut", x, "ave", 2, 2);
            if (poolSize != convSize) {
                LayerParams p;
                const int pads[] = {0, 0, 0, 0, 0, poolSize - convSize, 0, poolSize - convSize};
                p.set("paddings", cv::dnn::DictValue::arrayInt(pads, 8));
                out = add(name + "/pad", "Padding", p, {out});
            }
            size = poolSize;
        }
        // The sum keeps the first input's channels; the shortcut's missing ones count as zero.
        LayerParams sum;
        sum.set("operation", "sum");
        sum.set("output_channels_mode", "input_0");
        const int added = add(name + "/sum", "Eltwise", sum, {out, shortcut});
        LayerParams r;
        x = add(name + "/relu", "ReLU", r, {added});
    }
    LayerParams avg;
    avg.set("pool", "ave");
    avg.set("global_pooling", true);
    x = add("average", "Pooling", avg, {x});
    const TfjsTensor& fc = fcTensor(w);
    cv::Mat fcWeights(FaceDescriptorNet::descriptorSize, 256, CV_32F);
    for (int o = 0; o < FaceDescriptorNet::descriptorSize; ++o)
        for (int i = 0; i < 256; ++i)
            fcWeights.at<float>(o, i) = fc.values[std::size_t(i) * FaceDescriptorNet::descriptorSize + std::size_t(o)];
    LayerParams p;
    p.set("num_output", FaceDescriptorNet::descriptorSize);
    p.set("bias_term", false);
    p.blobs = {fcWeights};
    add("fc", "InnerProduct", p, {x});
    net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
}

std::vector<float> DescriptorNetwork::compute(const cv::Mat& chip) {
    if (fast_) return fast_->compute(chip);
    net_.setInput(FaceDescriptorNet::inputBlob(chip));
    const cv::Mat out = net_.forward();
    CV_Assert(out.total() == std::size_t(FaceDescriptorNet::descriptorSize) && out.type() == CV_32F);
    return std::vector<float>(out.ptr<float>(), out.ptr<float>() + out.total());
}
