#include "Face/FaceRecognizer.h"

#include <dlib/image_transforms/interpolation.h>
#include <dlib/opencv/cv_image.h>

#include <cmath>
#include <cstdlib>

#include "Face/FaceDescriptorNet.h"
#include "Face/FaceModelError.h"
#include "Face/TfjsWeights.h"
#include "Support/Logger.h"

DescriptorRecognizer::DescriptorRecognizer(std::filesystem::path modelDir) : modelDir_(std::move(modelDir)) {}
DescriptorRecognizer::~DescriptorRecognizer() = default;

std::filesystem::path DescriptorRecognizer::defaultModelDir() {
    if (const char* env = std::getenv("KORVEL_MODEL_DIR"); env && *env) return env;
    return KORVEL_MODEL_DIR;
}

bool DescriptorRecognizer::load() {
    std::call_once(loadOnce_, [this] {
        try {
            auto weights = std::make_unique<TfjsWeights>(
                TfjsWeights::load(modelDir_ / manifestFileName, FaceDescriptorNet::weightBytes));
            network_ = std::make_unique<DescriptorNetwork>(*weights);
            weights_ = std::move(weights);
        } catch (const FaceModelError& e) {
            loadError_ = e.what();
        } catch (const std::exception& e) {
            // OpenCV refusing the graph: the weights are not what the network needs.
            loadError_ = FaceModelError(modelDir_ / manifestFileName, e.what()).what();
        }
        if (loadError_) {
            network_.reset();
            Log::face().error(*loadError_);
        }
    });
    return network_ != nullptr;
}

std::optional<std::string> DescriptorRecognizer::loadError() {
    load();
    return loadError_;
}

const TfjsWeights* DescriptorRecognizer::weights() { return load() ? weights_.get() : nullptr; }

cv::Mat DescriptorRecognizer::alignedChip(const DetectedFace& face) {
    if (face.landmarks.size() != 68 || face.frame.empty() || face.frame.type() != CV_8UC3) return {};
    std::vector<dlib::point> parts;
    parts.reserve(face.landmarks.size());
    long left = std::numeric_limits<long>::max(), top = left, right = std::numeric_limits<long>::min(), bottom = right;
    for (const auto& p : face.landmarks) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return {};
        const dlib::point q(std::lround(p.x), std::lround(p.y));
        left = std::min(left, q.x());
        right = std::max(right, q.x());
        top = std::min(top, q.y());
        bottom = std::max(bottom, q.y());
        parts.push_back(q);
    }
    const dlib::full_object_detection shape(dlib::rectangle(left, top, right, bottom), parts);
    const dlib::chip_details details = dlib::get_face_chip_details(shape, chipSize, chipPadding);
    dlib::matrix<dlib::rgb_pixel> chip;
    dlib::extract_image_chip(dlib::cv_image<dlib::bgr_pixel>(face.frame), details, chip);
    if (chip.nr() != chipSize || chip.nc() != chipSize) return {};
    cv::Mat rgb(chipSize, chipSize, CV_8UC3);
    for (int y = 0; y < chipSize; ++y) {
        auto* row = rgb.ptr<cv::Vec3b>(y);
        for (int x = 0; x < chipSize; ++x) {
            const dlib::rgb_pixel& p = chip(y, x);
            row[x] = cv::Vec3b(p.red, p.green, p.blue);
        }
    }
    return rgb;
}

std::optional<std::vector<float>> DescriptorRecognizer::rawDescriptorOfChip(const cv::Mat& chip) {
    if (chip.type() != CV_8UC3 || chip.rows != chipSize || chip.cols != chipSize || !load()) return std::nullopt;
    try {
        std::lock_guard lock(computeMutex_);
        return network_->compute(chip);
    } catch (const std::exception& e) {
        Log::face().error(strprintf("FeaturePrint error: %s", e.what()));
        return std::nullopt;
    }
}

std::optional<std::vector<float>> DescriptorRecognizer::rawDescriptor(const DetectedFace& face) {
    if (!load()) return std::nullopt;
    const cv::Mat chip = alignedChip(face);
    if (chip.empty()) return std::nullopt;
    return rawDescriptorOfChip(chip);
}

namespace {
std::array<float, DescriptorRecognizer::descriptorLength> weighted(const std::array<float, DescriptorRecognizer::descriptorLength>& mean) {
    std::array<float, DescriptorRecognizer::descriptorLength> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = DescriptorRecognizer::offsetWeight * mean[i];
    return out;
}
const std::array<float, DescriptorRecognizer::descriptorLength>& offset() {
    static const auto o = weighted(DescriptorRecognizer::offsetMean);
    return o;
}
const std::array<float, DescriptorRecognizer::descriptorLength>& legacyOffset() {
    static const auto o = weighted(DescriptorRecognizer::legacyMean);
    return o;
}
}  // namespace

std::vector<float> DescriptorRecognizer::legacyEmbedding(std::span<const float> raw) {
    std::vector<float> v(raw.begin(), raw.end());
    if (v.size() == descriptorLength)
        for (std::size_t i = 0; i < v.size(); ++i) v[i] -= legacyOffset()[i];
    return v;
}

std::vector<float> DescriptorRecognizer::rawOfLegacy(std::span<const float> legacy) {
    std::vector<float> v(legacy.begin(), legacy.end());
    if (v.size() == descriptorLength)
        for (std::size_t i = 0; i < v.size(); ++i) v[i] += legacyOffset()[i];
    return v;
}

std::optional<FaceEmbedding> DescriptorRecognizer::embedding(const DetectedFace& face) {
    auto raw = rawDescriptor(face);
    if (!raw) return std::nullopt;
    return embeddingOfRaw(std::move(*raw));
}

float DescriptorRecognizer::offsetDistance(std::span<const float> q, std::span<const float> e,
                                           std::span<const float, descriptorLength> o, float scale) {
    if (q.size() != descriptorLength || e.size() != descriptorLength) return FaceMatching::noDistance;
    // One pass, as cosineDistance, over the moved vectors.
    float dot = 0, qq = 0, ee = 0;
    for (std::size_t i = 0; i < descriptorLength; ++i) {
        const float a = q[i] - o[i], b = e[i] - o[i];
        dot += a * b;
        qq += a * a;
        ee += b * b;
    }
    const float denom = std::sqrt(qq) * std::sqrt(ee);
    if (!(denom > 0)) return FaceMatching::noDistance;
    const float d = scale * (1 - dot / denom);
    return std::isnan(d) ? FaceMatching::noDistance : d;
}

float DescriptorRecognizer::distance(std::span<const float> q, std::span<const float> e) const {
    return offsetDistance(q, e, offset(), distanceScale);
}

bool DescriptorRecognizer::adopt(FaceProfile& profile) const {
    if (profile.engine == currentEngineName) return true;
    if (!profile.engine.empty() && profile.engine != legacyEngineName) return false;
    for (auto& e : profile.embeddings) e.vector = rawOfLegacy(e.vector);
    profile.engine = currentEngineName;
    return true;
}
