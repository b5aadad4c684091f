#include "Face/FastDescriptorNet.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "Face/FaceDescriptorNet.h"

namespace {
// ---- kernels ----
// Written with GCC's vector types rather than intrinsics, so that one template serves both
// instruction sets: what a vector operation compiles to is decided by the target of the function
// it is inlined into, and the bodies below are only ever inlined into the entry points marked with
// a target. Nothing else in the program is compiled for AVX, so no AVX copy of a library inline
// function can stand in for the baseline one at link time.
using Vec16 = float __attribute__((vector_size(64)));
using Vec8 = float __attribute__((vector_size(32)));
template <class V>
struct Lanes;
template <>
struct Lanes<Vec16> {
    static constexpr int count = 16;
    using Memory = float __attribute__((vector_size(64), aligned(4), may_alias));
};
template <>
struct Lanes<Vec8> {
    static constexpr int count = 8;
    using Memory = float __attribute__((vector_size(32), aligned(4), may_alias));
};
// A vector's worth of floats in memory, at any float alignment. (A pointer, not a vector value:
// vectors passed by value between functions of different targets would change the ABI.)
template <class V>
[[gnu::always_inline]] inline const typename Lanes<V>::Memory* at(const float* p) {
    return reinterpret_cast<const typename Lanes<V>::Memory*>(p);
}
template <class V>
[[gnu::always_inline]] inline typename Lanes<V>::Memory* at(float* p) {
    return reinterpret_cast<typename Lanes<V>::Memory*>(p);
}

// One tile of a convolution: up to a dozen output pixels (anywhere in the output) by NB vectors of
// output channels, all accumulated in registers. Each step broadcasts one input value per pixel
// against NB weight vectors.
struct TileArgs {
    const float* in;
    const long* inOffsets;  // per pixel, from `in` to its first tap
    long inRow;             // from one row of taps to the next
    int taps, run;          // rows of taps; floats read per row (kernel width × input channels)
    const float* weights;   // [taps][run][NB·lanes]
    const float* bias;      // NB·lanes
    float* out;
    const long* outOffsets;  // per pixel, from `out` (and `residual`) to its channels
    const float* residual;   // added before the ReLU when not null
    bool relu;
};

// The weights of the larger layers do not stay in the caches from one image to the next. Without
// help each layer would wait for them at every page boundary (where the hardware prefetcher stops),
// so the kernel asks for them this many floats ahead; weight buffers have that much slack.
constexpr int prefetchDistance = 4096;

template <class V, int NB, int NP>
[[gnu::always_inline]] inline void convTile(const TileArgs& a) {
    constexpr int lanes = Lanes<V>::count;
    V acc[NP][NB];
    const float* src[NP];
#pragma GCC unroll 16
    for (int p = 0; p < NP; ++p) {
        src[p] = a.in + a.inOffsets[p];
#pragma GCC unroll 4
        for (int b = 0; b < NB; ++b) acc[p][b] = *at<V>(a.bias + b * lanes);
    }
    const float* w = a.weights;
    for (int t = 0; t < a.taps; ++t) {
        for (int i = 0; i < a.run; ++i, w += NB * lanes) {
            V wv[NB];
#pragma GCC unroll 4
            for (int b = 0; b < NB; ++b) {
                wv[b] = *at<V>(w + b * lanes);
                __builtin_prefetch(w + b * lanes + prefetchDistance);
            }
#pragma GCC unroll 16
            for (int p = 0; p < NP; ++p) {
                const float x = src[p][i];
#pragma GCC unroll 4
                for (int b = 0; b < NB; ++b) acc[p][b] += wv[b] * x;
            }
        }
#pragma GCC unroll 16
        for (int p = 0; p < NP; ++p) src[p] += a.inRow;
    }
#pragma GCC unroll 16
    for (int p = 0; p < NP; ++p) {
#pragma GCC unroll 4
        for (int b = 0; b < NB; ++b) {
            V v = acc[p][b];
            if (a.residual) v += *at<V>(a.residual + a.outOffsets[p] + b * lanes);
            if (a.relu) v = v > V{} ? v : V{};
            *at<V>(a.out + a.outOffsets[p] + b * lanes) = v;
        }
    }
}

// Max or average pool ('valid', square); output channels past the input's are zero.
struct PoolArgs {
    const float* in;
    long inRow;
    float* out;
    long outRow;
    int outHeight, outWidth, channels, outChannels, size, stride;
    bool max;
};

template <class V>
[[gnu::always_inline]] inline void pool(const PoolArgs& a) {
    constexpr int lanes = Lanes<V>::count;
    const float scale = 1.0f / float(a.size * a.size);
    for (int y = 0; y < a.outHeight; ++y)
        for (int x = 0; x < a.outWidth; ++x) {
            const float* s = a.in + long(y) * a.stride * a.inRow + long(x) * a.stride * a.channels;
            float* o = a.out + long(y) * a.outRow + long(x) * a.outChannels;
            for (int c = 0; c < a.channels; c += lanes) {
                V v = *at<V>(s + c);
                for (int ky = 0; ky < a.size; ++ky)
                    for (int kx = ky == 0 ? 1 : 0; kx < a.size; ++kx) {
                        const V p = *at<V>(s + ky * a.inRow + kx * a.channels + c);
                        v = a.max ? (p > v ? p : v) : v + p;
                    }
                *at<V>(o + c) = a.max ? v : v * scale;
            }
            for (int c = a.channels; c < a.outChannels; c += lanes) *at<V>(o + c) = V{};
        }
}

template <int NB, int NP>
[[gnu::target("avx512f,avx2,fma")]] void convTileAvx512(const TileArgs& a) {
    convTile<Vec16, NB, NP>(a);
}
template <int NB, int NP>
[[gnu::target("avx2,fma")]] void convTileAvx2(const TileArgs& a) {
    convTile<Vec8, NB, NP>(a);
}
[[gnu::target("avx512f,avx2,fma")]] void poolAvx512(const PoolArgs& a) { pool<Vec16>(a); }
[[gnu::target("avx2,fma")]] void poolAvx2(const PoolArgs& a) { pool<Vec8>(a); }

using ConvFn = void (*)(const TileArgs&);
constexpr int maxTilePixels = 12;  // one general register per pixel
using TileFns = std::array<ConvFn, maxTilePixels>;  // by pixel count − 1

template <int NB, std::size_t... P>
constexpr TileFns avx512Tiles(std::index_sequence<P...>) {
    return {{&convTileAvx512<NB, int(P) + 1>...}};
}
template <int NB, std::size_t... P>
constexpr TileFns avx2Tiles(std::index_sequence<P...>) {
    return {{&convTileAvx2<NB, int(P) + 1>...}};
}

// An instruction set's kernels. Tiles of 1, 2 or 4 output vectors; the most pixels each can take
// keeps its accumulators, weights and the broadcast value in the vector registers (32 with
// AVX-512, 16 with AVX2); 0 where there is no such tile.
struct Kernels {
    int lanes;
    std::array<TileFns, 3> tiles;
    std::array<int, 3> maxPixels;
    void (*pool)(const PoolArgs&);
};

const Kernels& kernelsFor(FastDescriptorNet::Isa isa) {
    static const Kernels avx512{16,
                                {avx512Tiles<1>(std::make_index_sequence<12>{}),
                                 avx512Tiles<2>(std::make_index_sequence<12>{}),
                                 avx512Tiles<4>(std::make_index_sequence<6>{})},
                                {12, 12, 6},
                                &poolAvx512};
    static const Kernels avx2{8,
                              {avx2Tiles<1>(std::make_index_sequence<12>{}), avx2Tiles<2>(std::make_index_sequence<6>{}),
                               TileFns{}},
                              {12, 6, 0},
                              &poolAvx2};
    return isa == FastDescriptorNet::Isa::avx512 ? avx512 : avx2;
}

// ---- the network ----
struct FreeFloats {
    void operator()(float* p) const { std::free(p); }
};
using Floats = std::unique_ptr<float[], FreeFloats>;

// Zeroed and aligned to cache lines, so that vectors of whole channel groups never straddle two.
Floats allocate(std::size_t count) {
    const std::size_t bytes = (count * sizeof(float) + 63) / 64 * 64;
    auto* p = static_cast<float*>(std::aligned_alloc(64, bytes == 0 ? 64 : bytes));
    if (!p) throw std::bad_alloc();
    std::fill(p, p + bytes / sizeof(float), 0.0f);
    return Floats(p);
}

// Channels-last, with `pad` zero pixels all round (only the inside is ever written).
struct Tensor {
    int h, w, c, pad;
    Floats data;
    Tensor(int h_, int w_, int c_, int pad_)
        : h(h_), w(w_), c(c_), pad(pad_), data(allocate(std::size_t(h + 2 * pad) * std::size_t(w + 2 * pad) * std::size_t(c))) {}
    long row() const { return long(w + 2 * pad) * c; }
    float* origin() const { return data.get() + long(pad) * row() + long(pad) * c; }  // pixel (0, 0)
};

struct Conv {
    int vectors = 1, pixels = 1;  // per tile
    int blockWidth = 0, blocks = 0, taps = 0, run = 0;
    long inRow = 0;
    bool relu = false;
    Floats weights, bias;  // weights: [blocks][taps][run][blockWidth]
    std::vector<long> inOffsets, outOffsets;  // per output pixel, row by row
    const TileFns* tiles = nullptr;
};

// Cycles of one tile step (one input value per pixel against its weights) on a core with two FMA
// units of latency 4 and two loads per cycle: the FMAs, the loads or the accumulators' latency.
double stepCycles(int vectors, int pixels) {
    return std::max({vectors * pixels / 2.0, (vectors + pixels) / 2.0, 4.0});
}

// A convolution of `in` into the top-left `outHeight`×`outWidth` pixels of `out`: k×k, 'same' (stride
// 1, padding k/2, which `in`'s border provides) or 'valid'; bias, scale and offset folded into
// the weights as the graph does: (W·x + b)·s + o = (s·W)·x + (s·b + o).
Conv makeConv(const TfjsWeights& weights, const std::string& prefix, int k, int stride, bool same, bool relu,
              const Tensor& in, const Tensor& out, int outHeight, int outWidth, const Kernels& kernels) {
    const int cin = in.c, cout = out.c;
    const auto t = FaceDescriptorNet::convTensors(weights, prefix, cin, cout, k);
    const int pad = same ? k / 2 : 0;
    if (in.pad < pad) throw std::logic_error("descriptor network: input without padding for " + prefix);
    // A 'same' convolution of a single pixel only meets its centre taps; the others see zeros.
    const int k0 = same && in.h == 1 && in.w == 1 ? k / 2 : 0, k1 = k0 == 0 ? k : k0 + 1;
    Conv c;
    c.taps = k1 - k0;
    c.run = c.taps * cin;
    c.inRow = in.row();
    c.relu = relu;

    const int pixelCount = outHeight * outWidth;
    double best = 0;
    for (int n = 0; n < 3; ++n) {
        const int vectors = 1 << n, maxPixels = kernels.maxPixels[std::size_t(n)];
        if (maxPixels == 0 || cout % (vectors * kernels.lanes) != 0) continue;
        const int tiles = (pixelCount + maxPixels - 1) / maxPixels, pixels = (pixelCount + tiles - 1) / tiles;
        const double cost = tiles * (cout / (vectors * kernels.lanes)) * stepCycles(vectors, pixels);
        if (c.tiles == nullptr || cost <= best) {
            best = cost;
            c.vectors = vectors;
            c.pixels = pixels;
            c.tiles = &kernels.tiles[std::size_t(n)];
        }
    }
    if (c.tiles == nullptr) throw std::logic_error("descriptor network: no kernel for " + prefix);
    c.blockWidth = c.vectors * kernels.lanes;
    c.blocks = cout / c.blockWidth;

    c.weights = allocate(std::size_t(c.blocks) * std::size_t(c.taps) * std::size_t(c.run) * std::size_t(c.blockWidth) +
                         prefetchDistance);
    c.bias = allocate(std::size_t(cout));
    float* w = c.weights.get();
    for (int block = 0; block < c.blocks; ++block)
        for (int ky = k0; ky < k1; ++ky)
            for (int kx = k0; kx < k1; ++kx)
                for (int i = 0; i < cin; ++i)
                    for (int j = 0; j < c.blockWidth; ++j) {
                        *w++ = t.foldedWeight(ky, kx, i, block * c.blockWidth + j);
                    }
    for (int o = 0; o < cout; ++o) c.bias[std::size_t(o)] = t.foldedBias(o);

    for (int y = 0; y < outHeight; ++y)
        for (int x = 0; x < outWidth; ++x) {
            c.inOffsets.push_back(long(stride * y - pad + k0) * in.row() + long(stride * x - pad + k0) * cin);
            c.outOffsets.push_back(long(y) * out.row() + long(x) * cout);
        }
    return c;
}

// `residual` has `out`'s shape (or is `out` itself).
void run(const Conv& c, const Tensor& in, Tensor& out, const Tensor* residual) {
    TileArgs a{};
    a.in = in.origin();
    a.inRow = c.inRow;
    a.taps = c.taps;
    a.run = c.run;
    a.relu = c.relu;
    const std::size_t pixelCount = c.inOffsets.size(), step = std::size_t(c.pixels);
    for (int block = 0; block < c.blocks; ++block) {
        a.weights = c.weights.get() + std::size_t(block) * std::size_t(c.taps) * std::size_t(c.run) * std::size_t(c.blockWidth);
        a.bias = c.bias.get() + block * c.blockWidth;
        a.out = out.origin() + block * c.blockWidth;
        a.residual = residual ? residual->origin() + block * c.blockWidth : nullptr;
        for (std::size_t p = 0; p < pixelCount; p += step) {
            a.inOffsets = &c.inOffsets[p];
            a.outOffsets = &c.outOffsets[p];
            (*c.tiles)[std::min(step, pixelCount - p) - 1](a);
        }
    }
}

void runPool(const Kernels& kernels, const Tensor& in, Tensor& out, int size, int stride, bool max) {
    kernels.pool(PoolArgs{in.origin(), in.row(), out.origin(), out.row(), out.h, out.w, in.c, out.c, size, stride, max});
}

int validSize(int in, int k, int stride) { return (in - k) / stride + 1; }

struct Stage {
    Tensor mid, out;  // after the first convolution; the block's result
    Conv first, second;
    bool down;
};
}  // namespace

struct FastDescriptorNet::Impl {
    const Kernels& kernels;
    Tensor input, stem, pooled;
    Conv stemConv;
    std::vector<Stage> stages;
    std::vector<float> fc;  // [256][128]
    std::array<std::array<float, 256>, 3> inputValues;  // of R, G, B, as FaceDescriptorNet::inputBlob has them

    Impl(const TfjsWeights& weights, Isa isa);
    std::vector<float> compute(const cv::Mat& chip);
};

FastDescriptorNet::Impl::Impl(const TfjsWeights& weights, Isa isa)
    : kernels(kernelsFor(isa)),
      input(FaceDescriptorNet::inputSize, FaceDescriptorNet::inputSize, 3, 0),
      stem(validSize(input.h, FaceDescriptorNet::stemKernel, 2), validSize(input.w, FaceDescriptorNet::stemKernel, 2),
           FaceDescriptorNet::stemChannels, 0),
      pooled(validSize(stem.h, 3, 2), validSize(stem.w, 3, 2), stem.c, 1) {
    stemConv = makeConv(weights, FaceDescriptorNet::stemName, FaceDescriptorNet::stemKernel, 2, false, true, input, stem,
                        stem.h, stem.w, kernels);
    const Tensor* x = &pooled;
    stages.reserve(FaceDescriptorNet::blocks.size());
    for (const auto& b : FaceDescriptorNet::blocks) {
        const std::string name = b.name;
        // A down block's convolutions may come out one smaller than its shortcut pool; the pool
        // then sets the block's size, and its last row and column get no convolution output.
        const int size = b.down ? validSize(x->h, 3, 2) : x->h;
        const int outSize = b.down ? validSize(x->h, 2, 2) : x->h;
        Stage s{Tensor(size, size, b.out, 1), Tensor(outSize, outSize, b.out, 1), {}, {}, b.down};
        s.first = makeConv(weights, name + "/conv1", 3, b.down ? 2 : 1, !b.down, true, *x, s.mid, size, size, kernels);
        // The second convolution has no ReLU of its own, but the block's sum does: run() adds the
        // shortcut before the ReLU.
        s.second = makeConv(weights, name + "/conv2", 3, 1, true, true, s.mid, s.out, size, size, kernels);
        stages.push_back(std::move(s));
        x = &stages.back().out;
    }
    const TfjsTensor& f = FaceDescriptorNet::fcTensor(weights);
    if (x->c != f.shape[0]) throw std::logic_error("descriptor network: fc does not fit");
    fc = f.values;
    for (std::size_t ch = 0; ch < 3; ++ch)
        for (std::size_t v = 0; v < 256; ++v) inputValues[ch][v] = FaceDescriptorNet::inputValue(int(ch), int(v));
}

std::vector<float> FastDescriptorNet::Impl::compute(const cv::Mat& chip) {
    CV_Assert(chip.type() == CV_8UC3 && chip.rows == input.h && chip.cols == input.w);
    float* in = input.origin();
    for (int y = 0; y < input.h; ++y) {
        const auto* row = chip.ptr<cv::Vec3b>(y);
        for (int x = 0; x < input.w; ++x)
            for (std::size_t ch = 0; ch < 3; ++ch) *in++ = inputValues[ch][row[x][int(ch)]];
    }
    run(stemConv, input, stem, nullptr);
    runPool(kernels, stem, pooled, 3, 2, true);
    const Tensor* x = &pooled;
    for (auto& s : stages) {
        run(s.first, *x, s.mid, nullptr);
        if (s.down) {
            // The shortcut (non-negative, being pooled ReLU outputs) goes into the result first;
            // the second convolution then adds itself where it reaches, and the ReLU leaves the
            // rest as it is.
            runPool(kernels, *x, s.out, 2, 2, false);
            run(s.second, s.mid, s.out, &s.out);
        } else {
            run(s.second, s.mid, s.out, x);
        }
        x = &s.out;
    }
    std::vector<double> average(std::size_t(x->c), 0.0);
    for (int y = 0; y < x->h; ++y)
        for (int xx = 0; xx < x->w; ++xx) {
            const float* p = x->origin() + long(y) * x->row() + long(xx) * x->c;
            for (std::size_t ch = 0; ch < average.size(); ++ch) average[ch] += p[ch];
        }
    std::vector<double> sum(FaceDescriptorNet::descriptorSize, 0.0);
    for (std::size_t ch = 0; ch < average.size(); ++ch) {
        const double v = average[ch] / (x->h * x->w);
        const float* f = &fc[ch * sum.size()];
        for (std::size_t o = 0; o < sum.size(); ++o) sum[o] += v * f[o];
    }
    return std::vector<float>(sum.begin(), sum.end());
}

bool FastDescriptorNet::supported(Isa isa) {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (isa == Isa::avx512) return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    (void)isa;
    return false;
#endif
}

FastDescriptorNet::FastDescriptorNet(const TfjsWeights& weights, Isa isa) {
    if (!supported(isa)) throw std::invalid_argument("descriptor kernels: instruction set not available on this CPU");
    impl_ = std::make_unique<Impl>(weights, isa);
}

FastDescriptorNet::~FastDescriptorNet() = default;

std::vector<float> FastDescriptorNet::compute(const cv::Mat& chip) { return impl_->compute(chip); }
