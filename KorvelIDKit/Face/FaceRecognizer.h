#pragma once
// Turning a detected face into an embedding, and finding the nearest enrolled profile.
#include <opencv2/core.hpp>

#include <array>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Face/FaceDetector.h"
#include "Face/FaceStore.h"

class DescriptorNetwork;
class TfjsWeights;

class FaceRecognizer {
public:
    virtual ~FaceRecognizer() = default;
    virtual std::string engineName() const = 0;
    virtual float defaultThreshold() const = 0;
    // The embedding of a detected face, or nothing when none can be made. Takes the whole detection
    // (not only the crop) because the descriptor network is fed a chip aligned on the landmarks.
    virtual std::optional<FaceEmbedding> embedding(const DetectedFace& face) = 0;
    // Loads the recogniser's model if that has not happened yet (blocking, once; later calls are
    // cheap) and returns the text to show as the scan's camera error when it cannot be used: it
    // names the file and the setup command. Nothing when the recogniser is ready. Engines without
    // model files keep this default.
    virtual std::optional<std::string> loadError() { return std::nullopt; }
};

// The 128-d ResNet face descriptor (FaceDescriptorNet.h) of a 150×150 chip aligned on the face's 68
// landmarks as dlib aligns its chips (get_face_chip_details(shape, 150, 0.25), extract_image_chip).
// Raw descriptors of all faces lie in a narrow cone, so that at cosine distance 0.30 everybody
// matches everybody; the embedding is therefore the descriptor minus λ·μ, μ being the mean raw
// descriptor of a varied set of faces (descriptorMean, computed by the face-calibrate tool) and
// λ = 0.80, which spreads people apart enough for 0.30 to separate them.
//
// The weights ("face_recognition_model-weights_manifest.json" and the shard it names) are read on
// first use, not at construction. When they are missing or damaged, embedding() gives nothing and
// loadError() gives the reason. Thread-safe; descriptor computations are serialised.
class DescriptorRecognizer final : public FaceRecognizer {
public:
    static constexpr const char* manifestFileName = "face_recognition_model-weights_manifest.json";
    static constexpr int chipSize = 150;
    static constexpr double chipPadding = 0.25;
    static constexpr float calibrationWeight = 0.80f;  // λ
    static const std::array<float, 128> descriptorMean;  // μ

    // `modelDir`: the folder holding the weights.
    explicit DescriptorRecognizer(std::filesystem::path modelDir = defaultModelDir());
    ~DescriptorRecognizer() override;
    DescriptorRecognizer(const DescriptorRecognizer&) = delete;
    DescriptorRecognizer& operator=(const DescriptorRecognizer&) = delete;

    // Names the network and its calibration: embeddings of another calibration are not comparable.
    std::string engineName() const override { return "ResNet128-dlib/mu1"; }
    float defaultThreshold() const override { return 0.30f; }
    // Nothing for a face without 68 landmarks or frame, or when the model cannot be used.
    std::optional<FaceEmbedding> embedding(const DetectedFace& face) override;
    std::optional<std::string> loadError() override;

    // The network's output before calibration (what face-calibrate averages).
    std::optional<std::vector<float>> rawDescriptor(const DetectedFace& face);
    std::optional<std::vector<float>> rawDescriptorOfChip(const cv::Mat& rgbChip);
    // raw − λ·μ.
    static std::vector<float> calibrated(std::span<const float> raw);
    // The aligned 150×150 RGB chip; empty without 68 landmarks or a frame.
    static cv::Mat alignedChip(const DetectedFace& face);
    // The weights once loaded (for the plain-loop network in tests), else null.
    const TfjsWeights* weights();

    // $KORVEL_MODEL_DIR when set, else the folder scripts/setup fills (fixed at build time).
    static std::filesystem::path defaultModelDir();

private:
    bool load();

    std::filesystem::path modelDir_;
    std::once_flag loadOnce_;
    std::optional<std::string> loadError_;
    std::unique_ptr<TfjsWeights> weights_;
    std::unique_ptr<DescriptorNetwork> network_;
    std::mutex computeMutex_;
};

struct BestMatch {
    std::optional<std::string> name;
    float distance = std::numeric_limits<float>::max();
};

namespace FaceMatching {
inline constexpr float noDistance = std::numeric_limits<float>::max();

// Cosine distance in one pass of 32-bit arithmetic, without allocating. Empty vectors, vectors of
// different length and zero vectors are at `noDistance` from everything.
float cosineDistance(std::span<const float> q, std::span<const float> e);

// The nearest embedding over all profiles in list order; on a tie the earlier one wins.
BestMatch bestMatch(const std::vector<FaceProfile>& profiles, const FaceEmbedding& query);
}  // namespace FaceMatching
