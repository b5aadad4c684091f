#pragma once
// Turning a detected face into an embedding, and finding the nearest enrolled profile.
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Face/FaceDetector.h"
#include "Face/FaceStore.h"

class FaceRecognizer {
public:
    virtual ~FaceRecognizer() = default;
    virtual std::string engineName() const = 0;
    virtual float defaultThreshold() const = 0;
    // The embedding of a detected face, or nothing when none can be made. Takes the whole detection
    // (not only the crop) because the descriptor network is fed a chip aligned on the landmarks.
    virtual std::optional<FaceEmbedding> embedding(const DetectedFace& face) = 0;
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
