#include <cmath>

#include "Face/FaceRecognizer.h"

namespace FaceMatching {

float cosineDistance(std::span<const float> q, std::span<const float> e) {
    if (q.empty() || e.size() != q.size()) return noDistance;
    float dot = 0, qq = 0, ee = 0;
    for (std::size_t i = 0; i < q.size(); ++i) {
        dot += q[i] * e[i];
        qq += q[i] * q[i];
        ee += e[i] * e[i];
    }
    const float denom = std::sqrt(qq) * std::sqrt(ee);
    // A NaN denominator (NaN in a stored vector) must not match either.
    if (!(denom > 0)) return noDistance;
    const float d = 1 - dot / denom;
    return std::isnan(d) ? noDistance : d;
}

namespace {
template <class Distance>
BestMatch nearest(const std::vector<FaceProfile>& profiles, const FaceEmbedding& query, Distance&& distance) {
    BestMatch best;
    for (const auto& profile : profiles) {
        for (const auto& e : profile.embeddings) {
            const float d = distance(query.vector, e.vector);
            if (d < best.distance) {
                best.distance = d;
                best.name = profile.name;
            }
        }
    }
    return best;
}
}  // namespace

BestMatch bestMatch(const std::vector<FaceProfile>& profiles, const FaceEmbedding& query) {
    return nearest(profiles, query, [](std::span<const float> q, std::span<const float> e) { return cosineDistance(q, e); });
}

BestMatch bestMatch(std::vector<FaceProfile> profiles, const FaceEmbedding& query, const FaceRecognizer& recognizer) {
    for (auto& p : profiles)
        if (!recognizer.adopt(p)) p.embeddings.clear();
    return nearest(profiles, query,
                   [&](std::span<const float> q, std::span<const float> e) { return recognizer.distance(q, e); });
}
}  // namespace FaceMatching
