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

namespace FaceMatching {
inline constexpr float noDistance = std::numeric_limits<float>::max();

// Cosine distance in one pass of 32-bit arithmetic, without allocating. Empty vectors, vectors of
// different length and zero vectors are at `noDistance` from everything.
float cosineDistance(std::span<const float> q, std::span<const float> e);
}  // namespace FaceMatching

class FaceRecognizer {
public:
    virtual ~FaceRecognizer() = default;
    // Stored with every profile this engine enrols: embeddings of different engines are not comparable.
    virtual std::string engineName() const = 0;
    virtual float defaultThreshold() const = 0;
    // The embedding of a detected face, or nothing when none can be made. Takes the whole detection
    // (not only the crop) because the descriptor network is fed a chip aligned on the landmarks.
    virtual std::optional<FaceEmbedding> embedding(const DetectedFace& face) = 0;
    // How far apart two of this engine's embeddings are, on the scale of the match threshold.
    virtual float distance(std::span<const float> q, std::span<const float> e) const {
        return FaceMatching::cosineDistance(q, e);
    }
    // Brings a stored profile into this engine's form and names it so; false when its embeddings
    // cannot be compared with this engine's (it then never matches). A profile without an engine
    // name was enrolled before profiles carried one, by the engine that precedes this one.
    virtual bool adopt(FaceProfile& profile) const {
        if (!profile.engine.empty() && profile.engine != engineName()) return false;
        profile.engine = engineName();
        return true;
    }
    // Loads the recogniser's model if that has not happened yet (blocking, once; later calls are
    // cheap) and returns the text to show as the scan's camera error when it cannot be used: it
    // names the file and the setup command. Nothing when the recogniser is ready. Engines without
    // model files keep this default.
    virtual std::optional<std::string> loadError() { return std::nullopt; }
};

// The 128-d ResNet face descriptor (FaceDescriptorNet.h) of a 150×150 chip aligned on the face's 68
// landmarks as dlib aligns its chips (get_face_chip_details(shape, 150, 0.25), extract_image_chip).
//
// The embedding is the raw descriptor, as the network gives it. Raw descriptors of all faces lie in
// a narrow cone, so the distance first moves the cone's centre to the origin: it is the cosine
// distance of (q − λ·μ) and (e − λ·μ), times `distanceScale`. μ (offsetMean) is the mean raw
// descriptor of a set of people in which each group of the London set weighs the same, λ = 0.80;
// the scale puts the operating point on the fixed threshold 0.30: there, photos of one person
// taken apart in time are rejected as often as with the previous engine. Both constants come from
// `face-eval photos --fit` (tools/extra-faces/README.md says on which photos and why).
//
// Profiles enrolled by the previous engine ("ResNet128-dlib/mu1", or no engine name) hold
// raw − λ·μ₀, μ₀ being the mean that engine subtracted (legacyMean). Adding λ·μ₀ back gives their
// raw descriptors (to float rounding), so they keep working under today's distance. Their file is
// left as it was; a profile enrolled now names this engine.
//
// The weights ("face_recognition_model-weights_manifest.json" and the shard it names) are read on
// first use, not at construction. When they are missing or damaged, embedding() gives nothing and
// loadError() gives the reason. Thread-safe; descriptor computations are serialised.
class DescriptorRecognizer final : public FaceRecognizer {
public:
    static constexpr const char* manifestFileName = "face_recognition_model-weights_manifest.json";
    static constexpr const char* currentEngineName = "ResNet128-dlib/raw1";
    static constexpr const char* legacyEngineName = "ResNet128-dlib/mu1";
    static constexpr int chipSize = 150;
    static constexpr double chipPadding = 0.25;
    static constexpr std::size_t descriptorLength = 128;
    static constexpr float offsetWeight = 0.80f;  // λ, of today's distance and of the previous engine
    static const std::array<float, descriptorLength> offsetMean;  // μ
    static const float distanceScale;
    static const std::array<float, descriptorLength> legacyMean;  // μ₀

    // `modelDir`: the folder holding the weights.
    explicit DescriptorRecognizer(std::filesystem::path modelDir = defaultModelDir());
    ~DescriptorRecognizer() override;
    DescriptorRecognizer(const DescriptorRecognizer&) = delete;
    DescriptorRecognizer& operator=(const DescriptorRecognizer&) = delete;

    std::string engineName() const override { return currentEngineName; }
    float defaultThreshold() const override { return 0.30f; }
    // Nothing for a face without 68 landmarks or frame, or when the model cannot be used.
    std::optional<FaceEmbedding> embedding(const DetectedFace& face) override;
    float distance(std::span<const float> q, std::span<const float> e) const override;
    bool adopt(FaceProfile& profile) const override;
    std::optional<std::string> loadError() override;

    // The network's output.
    std::optional<std::vector<float>> rawDescriptor(const DetectedFace& face);
    std::optional<std::vector<float>> rawDescriptorOfChip(const cv::Mat& rgbChip);
    // What embedding() makes of a raw descriptor (face-eval computes the raw one once).
    static FaceEmbedding embeddingOfRaw(std::vector<float> raw) { return FaceEmbedding{std::move(raw)}; }
    // The previous engine's embedding of a raw descriptor (raw − λ·μ₀), and back.
    static std::vector<float> legacyEmbedding(std::span<const float> raw);
    static std::vector<float> rawOfLegacy(std::span<const float> legacy);
    // Today's distance for any offset and scale (face-eval compares candidates with it): noDistance
    // unless both are descriptors; `offset` is subtracted from both before the cosine distance.
    static float offsetDistance(std::span<const float> q, std::span<const float> e,
                                std::span<const float, descriptorLength> offset, float scale);
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
// The nearest embedding over all profiles in list order by cosine distance; on a tie the earlier one wins.
BestMatch bestMatch(const std::vector<FaceProfile>& profiles, const FaceEmbedding& query);
// The same by `recognizer`'s distance, over the profiles it can adopt (each in its adopted form).
BestMatch bestMatch(std::vector<FaceProfile> profiles, const FaceEmbedding& query, const FaceRecognizer& recognizer);
}  // namespace FaceMatching
