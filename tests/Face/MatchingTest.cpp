#include <gtest/gtest.h>

#include <limits>

#include "Face/FaceRecognizer.h"
#include "Face/LivenessTracker.h"
#include "ScriptedCamera.h"

namespace {
constexpr float kMax = std::numeric_limits<float>::max();
using Scripted::profile;
}  // namespace

TEST(CosineDistance, MatchesTheDefinitionAndRejectsDegenerateVectors) {
    const std::vector<float> a{1, 0}, b{0, 1}, c{2, 0}, d{-1, 0};
    EXPECT_FLOAT_EQ(FaceMatching::cosineDistance(a, c), 0.0f);
    EXPECT_FLOAT_EQ(FaceMatching::cosineDistance(a, b), 1.0f);
    EXPECT_FLOAT_EQ(FaceMatching::cosineDistance(a, d), 2.0f);
    EXPECT_EQ(FaceMatching::cosineDistance({}, {}), kMax);
    EXPECT_EQ(FaceMatching::cosineDistance(a, std::vector<float>{1, 0, 0}), kMax);
    EXPECT_EQ(FaceMatching::cosineDistance(a, std::vector<float>{0, 0}), kMax);
    EXPECT_EQ(FaceMatching::cosineDistance(std::vector<float>{0, 0}, std::vector<float>{0, 0}), kMax);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(FaceMatching::cosineDistance(a, std::vector<float>{nan, 1}), kMax);
}

TEST(BestMatch, EmptyStoreAndUnusableEmbeddingsGiveNoName) {
    EXPECT_EQ(FaceMatching::bestMatch({}, FaceEmbedding{{1, 0}}).distance, kMax);
    EXPECT_FALSE(FaceMatching::bestMatch({}, FaceEmbedding{{1, 0}}).name);
    const std::vector<FaceProfile> profiles{profile("Empty", {}), profile("Zero", {{0, 0}})};
    EXPECT_FALSE(FaceMatching::bestMatch(profiles, FaceEmbedding{{1, 0}}).name);
    EXPECT_FALSE(FaceMatching::bestMatch(profiles, FaceEmbedding{{}}).name);
    EXPECT_FALSE(FaceMatching::bestMatch({profile("A", {{1, 0}})}, FaceEmbedding{{0, 0}}).name);
}

TEST(BestMatch, BestSampleOfAnyProfileWinsAndOtherLengthsAreSkipped) {
    const std::vector<FaceProfile> profiles{
        profile("Old engine", {{1, 0, 0}}),        // other length: never matches, search goes on
        profile("Far", {{0, 1}, {-1, 0}}),
        profile("Near", {{0, 1}, {1, 0.1f}}),      // its second sample is the best
    };
    const auto m = FaceMatching::bestMatch(profiles, FaceEmbedding{{1, 0}});
    ASSERT_TRUE(m.name);
    EXPECT_EQ(*m.name, "Near");
    EXPECT_FLOAT_EQ(m.distance, FaceMatching::cosineDistance(std::vector<float>{1, 0}, std::vector<float>{1, 0.1f}));
}

// Through a recogniser: its distance, profiles it cannot adopt never match, and a profile without an
// engine name is taken as its own by the default.
TEST(BestMatch, ByARecognizerOnlyItsOwnProfilesCountAtItsDistance) {
    struct Halving final : FaceRecognizer {
        std::string engineName() const override { return "Half"; }
        float defaultThreshold() const override { return 0.30f; }
        std::optional<FaceEmbedding> embedding(const DetectedFace&) override { return std::nullopt; }
        float distance(std::span<const float> q, std::span<const float> e) const override {
            return FaceMatching::cosineDistance(q, e) / 2;
        }
    } halving;
    FaceProfile mine = profile("Mine", {{1, 0.1f}}), older = profile("Older", {{1, 0.2f}}), other = profile("Other", {{1, 0}});
    mine.engine = "Half";
    other.engine = "Elsewhere";
    const FaceEmbedding q{{1, 0}};
    const auto m = FaceMatching::bestMatch({other, older, mine}, q, halving);
    EXPECT_EQ(m.name, std::optional<std::string>("Mine"));
    EXPECT_FLOAT_EQ(m.distance, FaceMatching::cosineDistance(q.vector, std::vector<float>{1, 0.1f}) / 2);
    EXPECT_EQ(FaceMatching::bestMatch({other, older}, q, halving).name, std::optional<std::string>("Older"));
    EXPECT_FALSE(FaceMatching::bestMatch({other}, q, halving).name);
}

namespace {
std::int64_t blinks(std::initializer_list<float> values) {
    LivenessTracker t;
    for (float v : values) t.update(v);
    return t.blinkCount();
}
}  // namespace

TEST(Liveness, CountsOpenClosedOpenWithHysteresis) {
    EXPECT_EQ(blinks({0.30f, 0.10f, 0.30f}), 1);
    EXPECT_EQ(blinks({0.10f, 0.30f, 0.10f, 0.30f}), 1) << "closed before the first open is ignored";
    EXPECT_EQ(blinks({0.30f, 0.15f, 0.30f}), 0) << "0.15 is above the closing threshold";
    EXPECT_EQ(blinks({0.22f, 0.13f, 0.22f}), 1) << "thresholds are inclusive";
    EXPECT_EQ(blinks({0.2199f, 0.13f, 0.2199f}), 0);
    EXPECT_EQ(blinks({0.3f, 0.1f, 0.3f, 0.1f, 0.3f}), 2);
    EXPECT_EQ(blinks({0.3f, 0.1f, 0.2f, 0.15f, 0.1f, 0.21f, 0.3f}), 1) << "noise between thresholds";
    EXPECT_EQ(blinks({0.3f, 0.1f, std::numeric_limits<float>::quiet_NaN(), 0.3f}), 1);
    EXPECT_EQ(blinks({0.3f, 0.3f, 0.3f}), 0) << "a still photo never blinks";
}
