// Detector geometry on synthetic landmarks, the openness scale, dlib on real photos, the finder's fit.
#include <dlib/image_processing/shape_predictor.h>
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>
#include <functional>

#include "FaceEngineTestSupport.h"
#include "../../tools/FaceData.h"
#include "Face/FaceLandmarkFinder.h"
#include "Face/FaceMotion.h"
#include "Face/LivenessTracker.h"
#include "Face/Settings.h"

namespace {
// 68 points of a plain frontal face centred at `centre` (pixels), eyes `eyeWidth` wide and
// `eyeHeight` high, turned counter-clockwise (y up) by `roll`, the nose moved sideways by `noseShift`.
std::vector<cv::Point2f> syntheticFace(cv::Point2f centre, float scale, float eyeWidth, float eyeHeight,
                                       float roll = 0, float noseShift = 0) {
    std::vector<cv::Point2f> p(68);
    for (int i = 0; i <= 16; ++i) {  // jaw from the image's left to its right
        const double a = M_PI * (1 - i / 16.0);
        p[std::size_t(i)] = {float(std::cos(a)), float(0.2 + 0.9 * std::sin(a))};
    }
    for (int i = 17; i <= 26; ++i) p[std::size_t(i)] = {-0.8f + 0.16f * float(i - 17) + (i > 21 ? 0.1f : 0), -0.45f};
    for (int i = 27; i <= 35; ++i) p[std::size_t(i)] = {noseShift, -0.3f + 0.07f * float(i - 27)};
    p[30] = {noseShift, 0.15f};
    const auto eye = [&](std::size_t first, float cx) {
        const float w = eyeWidth, h = eyeHeight, cy = -0.25f;
        const cv::Point2f pts[6] = {{cx - w / 2, cy}, {cx - w / 6, cy - h / 2}, {cx + w / 6, cy - h / 2},
                                    {cx + w / 2, cy}, {cx + w / 6, cy + h / 2}, {cx - w / 6, cy + h / 2}};
        for (std::size_t k = 0; k < 6; ++k) p[first + k] = pts[k];
    };
    eye(36, -0.4f);
    eye(42, 0.4f);
    for (int i = 48; i < 68; ++i) {
        const double a = 2 * M_PI * (i - 48) / 20.0;
        p[std::size_t(i)] = {float(0.35 * std::cos(a)), float(0.5 + 0.1 * std::sin(a))};
    }
    // Counter-clockwise with y up is clockwise in image rows (y down).
    const float c = std::cos(roll), s = std::sin(roll);
    for (auto& q : p) {
        const cv::Point2f r(c * q.x + s * q.y, -s * q.x + c * q.y);
        q = centre + r * scale;
    }
    return p;
}

const cv::Size frame640(640, 480);
}  // namespace

// The face a scan follows: the largest (earliest on ties), above the width floor, passing the gate.
TEST(FaceGeometryTest, LargestFaceWidthFloorAndQualityGateIncludeTheirBoundaries) {
    const std::vector<NormalizedRect> boxes = {{0, 0, 0.2, 0.2}, {0.5, 0.5, 0.3, 0.3}, {0.1, 0.6, 0.3, 0.3}, {0, 0, 0.1, 0.1}};
    EXPECT_EQ(FaceGeometry::largestFace(boxes), 1);
    EXPECT_EQ(FaceGeometry::largestFace({}), -1);
    EXPECT_TRUE(FaceGeometry::wideEnough({0.3, 0.3, 0.12, 0.2}));
    EXPECT_FALSE(FaceGeometry::wideEnough({0.3, 0.3, 0.1199, 0.2}));
    EXPECT_GE(FaceGeometry::estimateQuality(0.175f, 0.0f, 0.0f), 0.35f);
    EXPECT_LT(FaceGeometry::estimateQuality(0.17f, 0.0f, 0.0f), 0.35f);
    EXPECT_FLOAT_EQ(FaceGeometry::estimateQuality(0.9f, 0.6f, std::nullopt), 0.0f);
    EXPECT_FLOAT_EQ(FaceGeometry::estimateQuality(0.9f, std::nullopt, -0.9f), 0.0f);
}

TEST(FaceGeometryTest, EyeOpennessIsTheMeanRatioOfUsableEyes) {
    const std::vector<cv::Point2f> open = {{0, 0.5f}, {0.1f, 0.4f}, {0.2f, 0.4f}, {0.3f, 0.5f}, {0.2f, 0.6f}, {0.1f, 0.6f}};
    const std::vector<cv::Point2f> half = {{0, 0.5f}, {0.1f, 0.45f}, {0.2f, 0.45f}, {0.3f, 0.5f}, {0.2f, 0.55f}, {0.1f, 0.55f}};
    EXPECT_NEAR(*FaceGeometry::eyeOpenness(open, half), (0.2 / 0.3 + 0.1 / 0.3) / 2, 1e-6);
    // Only the right eye usable (the left has too few points): its ratio alone.
    const std::vector<cv::Point2f> three(open.begin(), open.begin() + 3);
    EXPECT_NEAR(*FaceGeometry::eyeOpenness(three, half), 0.1 / 0.3, 1e-6);
    // A zero-width outline counts as 0; no usable outline gives nothing.
    const std::vector<cv::Point2f> line = {{0.1f, 0.4f}, {0.1f, 0.5f}, {0.1f, 0.6f}, {0.1f, 0.7f}};
    EXPECT_FLOAT_EQ(*FaceGeometry::eyeOpenness(line, {}), 0.0f);
    EXPECT_FALSE(FaceGeometry::eyeOpenness(three, {}).has_value());
}

TEST(FaceGeometryTest, RollIsTheEyeLineAngleAndOpennessIsMeasuredTurnedBack) {
    const NormalizedRect box = FaceGeometry::reportedBox({220, 140, 200, 200}, frame640);
    const auto level = syntheticFace({320, 240}, 100, 0.3f, 0.1f);
    const auto tilted = syntheticFace({320, 240}, 100, 0.3f, 0.1f, 0.3f);
    EXPECT_NEAR(*FaceGeometry::roll(level), 0.0, 1e-5);
    EXPECT_NEAR(*FaceGeometry::roll(tilted), 0.3, 1e-5);
    EXPECT_NEAR(*FaceGeometry::roll(syntheticFace({320, 240}, 100, 0.3f, 0.1f, -0.2f)), -0.2, 1e-5);

    const auto ratio = [&](const std::vector<cv::Point2f>& face, float roll) {
        const auto [l, r] = FaceGeometry::eyeOutlines(face, box, frame640, roll);
        return *FaceGeometry::eyeOpenness(l, r);
    };
    // The box is square in pixels here, so the ratio is the outline's own 0.1 / 0.3.
    EXPECT_NEAR(ratio(level, 0), 1.0 / 3, 1e-4);
    EXPECT_NEAR(ratio(tilted, 0.3f), 1.0 / 3, 1e-4);
    // Without turning back, the tilted outline's bounding box is taller.
    EXPECT_GT(ratio(tilted, 0), 0.43);
}

TEST(FaceGeometryTest, YawFollowsTheNoseBetweenTheFaceSides) {
    EXPECT_NEAR(*FaceGeometry::yaw(syntheticFace({320, 240}, 100, 0.3f, 0.1f), 0.0f), 0.0, 1e-5);
    // Nose halfway to the image's right side of the face (the mean of jaw points 14–16 lies at
    // x = 0.968 here): an offset of half the half-width is tan(yaw) = 0.5 / 1.3.
    const auto turned = syntheticFace({320, 240}, 100, 0.3f, 0.1f, 0, 0.5f * 0.9677f);
    EXPECT_NEAR(*FaceGeometry::yaw(turned, 0.0f), std::atan(0.5 / 1.3), 1e-3);
    // The nose at the very side is a face seen nearly side-on, not beyond it.
    const auto side = syntheticFace({320, 240}, 100, 0.3f, 0.1f, 0, 0.9677f);
    EXPECT_NEAR(*FaceGeometry::yaw(side, 0.0f), std::atan(1 / 1.3), 1e-3);
    EXPECT_LT(*FaceGeometry::yaw(syntheticFace({320, 240}, 100, 0.3f, 0.1f, 0, -0.3f), 0.0f), -0.2);
    // Measured along the eye line: a tilted frontal face is still frontal.
    const auto tilted = syntheticFace({320, 240}, 100, 0.3f, 0.1f, 0.4f);
    EXPECT_NEAR(*FaceGeometry::yaw(tilted, FaceGeometry::roll(tilted)), 0.0, 1e-4);
}

// ---- openness through the face's own motion ----

namespace {
// A textured "face" (smoothed noise) 640×480 with the synthetic landmarks on it, both moved by `h`.
struct MovedFace {
    cv::Mat frame;
    std::vector<cv::Point2f> landmarks;
};
MovedFace moved(const cv::Mat& texture, const std::vector<cv::Point2f>& landmarks, const cv::Matx33d& h) {
    MovedFace m;
    cv::warpPerspective(texture, m.frame, cv::Mat(h), texture.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
    cv::perspectiveTransform(landmarks, m.landmarks, cv::Mat(h));
    return m;
}
cv::Matx33d about(cv::Point2d c, const cv::Matx33d& m) {
    return cv::Matx33d(1, 0, c.x, 0, 1, c.y, 0, 0, 1) * m * cv::Matx33d(1, 0, -c.x, 0, 1, -c.y, 0, 0, 1);
}
// Smoothed noise to track, with an open-eyed and a closed-eyed face centred on it.
struct TexturedFace {
    cv::Mat texture;
    cv::Point2f centre{320, 240};
    std::vector<cv::Point2f> open, closed;
};
TexturedFace texturedFace(std::uint64_t seed) {
    TexturedFace t;
    t.texture.create(frame640, CV_8UC3);
    cv::RNG(seed).fill(t.texture, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(t.texture, t.texture, cv::Size(0, 0), 2.5);
    t.open = syntheticFace(t.centre, 100, 0.3f, 0.1f);
    t.closed = syntheticFace(t.centre, 100, 0.3f, 0.03f);
    return t;
}
}  // namespace

TEST(FaceMotionTest, APlaneMovedAnyWayNeverReadsClosedAndOnlyLidsMovingOnTheirOwnClose) {
    const auto [texture, centre, open, closed] = texturedFace(3);
    const double rawOpen = 0.1 / 0.3;
    const struct {
        const char* name;
        cv::Matx33d peak;  // the farthest the photo goes
        bool readAtPeak;   // false: changed too much too fast to be read at all
    } motions[] = {
        {"squeezed to 85 %", about(centre, {1, 0, 0, 0, 0.85, 0, 0, 0, 1}), true},
        {"tilted back a little (perspective)", about(centre, {1, 0, 0, 0, 0.9, 0, 0, 0.0003, 1}), true},
        {"turned 25°", about(centre, {std::cos(0.44), -std::sin(0.44), 0, std::sin(0.44), std::cos(0.44), 0, 0, 0, 1}), true},
        {"brought closer", about(centre, {1.3, 0, 0, 0, 1.3, 0, 0, 0, 1}), true},
        {"squeezed to half its height", about(centre, {1, 0, 0, 0, 0.5, 0, 0, 0, 1}), false},
        {"tilted back far", about(centre, {1, 0, 0, 0, 0.6, 0, 0, 0.0012, 1}), false},
    };
    for (const auto& m : motions) {
        SCOPED_TRACE(m.name);
        FaceMotionTracker tracker;
        // Half a second at rest, then out to the peak in six frames and back in six, 50 ms apart.
        for (int i = 0; i <= 22; ++i) {
            const double a = i < 10 ? 0 : 1 - std::abs(i - 16) / 6.0;
            const cv::Matx33d h = cv::Matx33d::eye() * (1 - a) + m.peak * a;
            const MovedFace f = moved(texture, open, h);
            const auto reading = tracker.referenceOpenness(f.frame, f.landmarks, i * 0.05);
            // A fresh view may be read from its first moments on (checked against the frames since
            // it began); past them every frame is read, but for a change too fast to follow.
            if (i * 0.05 >= FaceMotionTracker::recentWindow && (m.readAtPeak || i < 11)) {
                ASSERT_TRUE(reading) << "frame " << i;
            }
            if (i == 16 && !m.readAtPeak) {
                EXPECT_FALSE(reading);
            }
            if (reading) {
                EXPECT_NEAR(*reading, rawOpen, 0.03 * rawOpen) << "frame " << i;
            }
        }
        EXPECT_EQ(tracker.generation(), 1u);
    }
    // After the lids closed on a still face, the reading follows them; landmarks that squeeze while
    // the image does not (a fit that jumped, tracking fooled) are not read at all.
    const std::vector<cv::Point2f> squeezed = moved(texture, open, about(centre, {1, 0, 0, 0, 0.6, 0, 0, 0, 1})).landmarks;
    const struct {
        const char* name;
        const std::vector<cv::Point2f>& landmarks;
        std::optional<double> reading;
    } lids[] = {{"lids closed", closed, 0.03 / 0.3}, {"landmarks squeezed alone", squeezed, std::nullopt}};
    for (const auto& c : lids) {
        SCOPED_TRACE(c.name);
        FaceMotionTracker tracker;
        for (int i = 0; i < 10; ++i) tracker.referenceOpenness(texture, open, i * 0.05);
        const auto reading = tracker.referenceOpenness(texture, c.landmarks, 0.5);
        ASSERT_EQ(reading.has_value(), c.reading.has_value());
        if (c.reading) {
            EXPECT_NEAR(*reading, *c.reading, 0.01);
        }
    }
    // A featureless frame gives nothing to track: unknown, never a value.
    FaceMotionTracker blank;
    const cv::Mat grey(frame640, CV_8UC3, cv::Scalar(90, 90, 90));
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(blank.referenceOpenness(grey, open, i * 0.05));
    EXPECT_FALSE(blank.referenceOpenness(texture, {}, 0.5));
}

// The face above the eye line slides down at once and stays (a print creased at the eyes): the
// renewed anchor keeps its generation only while the brows were well inside the tolerance.
TEST(FaceMotionTest, AnAnchorRenewedWhileTheBrowsSitNearTheToleranceStartsANewGeneration) {
    auto [texture, centre, open, closed] = texturedFace(5);
    const double eyes = 0.8 * 100;  // eye distance of the synthetic face
    const int eyeLine = int(std::lround(centre.y - 0.25 * 100));
    cv::Mat above = texture.rowRange(0, eyeLine);
    above.convertTo(above, -1, 0.3, 0.7 * cv::mean(above)[0]);
    const struct {
        double drift;  // in eye distances
        std::uint64_t generations;
    } cases[] = {{0.6 * FaceMotionTracker::maxVouchingDrift, 1}, {0.05, 2}};
    static_assert(0.05 > FaceMotionTracker::maxVouchingDrift && 0.05 < FaceMotionTracker::maxWitnessDrift);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.drift);
        const int shift = int(std::lround(c.drift * eyes));
        cv::Mat slid = texture.clone();
        texture.rowRange(0, eyeLine - shift).copyTo(slid.rowRange(shift, eyeLine));
        FaceMotionTracker tracker;
        // Half a second at rest, then slid until well past the anchor's lifetime.
        for (int i = 0; i <= 60; ++i) {
            const auto reading = tracker.referenceOpenness(i < 10 ? texture : slid, open, i * 0.05);
            if (i >= 10 && i < 40) {
                EXPECT_TRUE(reading) << "frame " << i;  // within the tolerance: still read
            }
        }
        EXPECT_EQ(tracker.generation(), c.generations);
    }
}

// A talking face, strongest corners at mouth and chin: the map rests on the still face above.
TEST(FaceMotionTest, ATalkingJawDoesNotCarryTheMap) {
    auto [texture, centre, open, closed] = texturedFace(7);
    const int mouthTop = int(centre.y) + 40;  // the synthetic face's mouth spans 0.4 to 0.6 of its scale
    cv::Mat upper = texture.rowRange(0, mouthTop);
    upper.convertTo(upper, -1, 0.3, 0.7 * cv::mean(upper)[0]);  // less contrast above the mouth
    const double rawOpen = 0.1 / 0.3;
    FaceMotionTracker tracker;
    for (int i = 0; i <= 40; ++i) {
        // A syllable every 0.3 s, the jaw dropping by up to 6 pixels (0.075 eye distances).
        const int drop = int(std::lround(3 - 3 * std::cos(2 * M_PI * i / 6.0)));
        cv::Mat frame = texture.clone();
        texture.rowRange(mouthTop, frame640.height - drop).copyTo(frame.rowRange(mouthTop + drop, frame640.height));
        std::vector<cv::Point2f> landmarks = open;
        for (auto& p : landmarks)
            if (p.y > float(mouthTop)) p.y += float(drop);
        const auto reading = tracker.referenceOpenness(frame, landmarks, i * 0.05);
        if (i * 0.05 >= FaceMotionTracker::recentWindow) {
            ASSERT_TRUE(reading) << "frame " << i << ": points span " << tracker.lastCheck().spread << " eye distances";
            EXPECT_NEAR(*reading, rawOpen, 0.03 * rawOpen) << "frame " << i;
        }
    }
    EXPECT_EQ(tracker.generation(), 1u);
}

// Skin moving a little on its own loses points every frame: after a jump too fast to follow, the new
// reference's anchor is renewed while not yet read, or its points run out and the motion is lost.
TEST(FaceMotionTest, AFaceWarpingOnItsOwnKeepsItsMapAfterAJump) {
    const auto [texture, centre, open, closed] = texturedFace(9);
    cv::RNG rng(4);
    cv::Mat grid(frame640, CV_32FC2), drift(6, 8, CV_32FC2, cv::Scalar::all(0));
    grid.forEach<cv::Vec2f>([](cv::Vec2f& p, const int* at) { p = cv::Vec2f(float(at[1]), float(at[0])); });
    FaceMotionTracker tracker;
    for (int i = 0; i <= 40; ++i) {
        // From frame 10 on 120 px to the right, and drifting by up to 1.2 px a frame (eyes 80 apart).
        cv::Mat change(drift.size(), CV_32FC2), field, frame;
        rng.fill(change, cv::RNG::UNIFORM, -1.2, 1.2);
        if (i > 10) drift += change;
        cv::resize(drift, field, frame640, 0, 0, cv::INTER_CUBIC);
        const MovedFace f = moved(texture, open, {1, 0, i < 10 ? 0.0 : 120.0, 0, 1, 0, 0, 0, 1});
        cv::remap(f.frame, frame, grid + field, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
        const auto reading = tracker.referenceOpenness(frame, f.landmarks, i * 0.05);
        if (i * 0.05 >= 0.5 + FaceMotionTracker::recentWindow) {
            ASSERT_TRUE(reading) << "frame " << i;
        }
    }
    EXPECT_EQ(tracker.generation(), 2u) << "one new reference, for the jump";
}

TEST(FaceMotionTest, TheScanCountsAFrameClosedOnlyWhenBothReadingsSayClosed) {
    const auto [texture, centre, open, closed] = texturedFace(5);
    const auto face = [](const MovedFace& f) {
        DetectedFace d;
        d.frame = f.frame;
        d.landmarks = f.landmarks;
        const auto [l, r] = FaceGeometry::eyeOutlines(f.landmarks, {0, 0, 1, 1}, {1, 1}, 0);
        d.eyeOpenness = FaceGeometry::eyeOpenness(l, r);
        return d;
    };
    const cv::Matx33d squeeze = about(centre, {1, 0, 0, 0, 0.5, 0, 0, 0, 1});
    auto browsDown = closed;  // lids and brows drawn together, as by a strip of a print turned about the eyes
    for (std::size_t i = 17; i <= 26; ++i) browsDown[i].y += 5;
    const struct {
        const char* name;
        const std::vector<cv::Point2f>* lids;
        bool drawn;  // the lids drawn over the eyes, or only their outline closing on a still image
        bool squeezed;
        std::int64_t blinks;
    } cases[] = {{"a real blink", &closed, true, false, 1},
                 {"a squeezed photo", nullptr, false, true, 0},
                 {"brows lowered with the lids", &browsDown, true, false, 0},
                 {"an outline closing on a still image", &closed, false, false, 0}};
    // Three frames dipped from `dipAt` on, and as many again after `gap` open frames (none: once).
    const auto blinks = [&](const auto& c, int dipAt, int gap) {
        EyeMotionOpennessScale scale;
        LivenessTracker tracker;
        for (int i = 0; i < 40; ++i) {
            const bool dip = (i >= dipAt && i < dipAt + 3) || (gap > 0 && i >= dipAt + 3 + gap && i < dipAt + 6 + gap);
            const auto& lm = dip && c.lids ? *c.lids : open;
            const MovedFace f = moved(texture, lm, dip && c.squeezed ? squeeze : cv::Matx33d::eye());
            for (std::size_t eye : {36, 42})
                if (dip && c.drawn)
                    cv::ellipse(f.frame, cv::fitEllipse(std::vector(open.begin() + long(eye), open.begin() + long(eye) + 6)),
                                cv::Scalar::all(100), cv::FILLED);
            tracker.update(scale.trackerOpenness(face(f), i * 0.05));
        }
        return tracker.blinkCount();
    };
    // The dip a second into the scan, and right after its first frame: a blink as the scan display
    // appears counts, and nothing else does there either. Two quick ones with a single open frame
    // between them count twice: that frame also confirms the first one's last closed frame.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(blinks(c, 20, 0), c.blinks);
        EXPECT_EQ(blinks(c, 1, 0), c.blinks) << "at the start";
        EXPECT_EQ(blinks(c, 20, 1), 2 * c.blinks) << "twice, one open frame apart";
    }
    // The ratio alone (no frame to look at) is never trusted to close.
    EyeMotionOpennessScale blind;
    for (int i = 0; i < 10; ++i) EXPECT_GT(blind.toTrackerScale(i == 8 ? 0.01f : 0.33f, i * 0.05), 0.13f);
}

// ---- the per-scan openness scale ----

TEST(RelativeOpennessScaleTest, ClosingToTwoThirdsOfTheRecentEyesIsABlinkLoweringThemIsNot) {
    RelativeOpennessScale scale;
    LivenessTracker tracker;
    double t = 0;
    const auto feed = [&](float raw) {
        const float y = scale.toTrackerScale(raw, t);
        tracker.update(y);
        t += 0.05;
        return y;
    };
    for (int i = 0; i < 40; ++i) feed(0.33f);
    // Lids lowered to look down (0.72 of open): between the thresholds, nothing happens.
    EXPECT_GT(feed(0.238f), tracker.closeThreshold());
    EXPECT_EQ(tracker.phase(), LivenessTracker::Phase::sawOpen);
    EXPECT_LE(feed(0.20f), tracker.closeThreshold());
    EXPECT_LE(feed(0.19f), tracker.closeThreshold());
    EXPECT_GE(feed(0.33f), tracker.openThreshold());
    EXPECT_EQ(tracker.blinkCount(), 1);
}

TEST(RelativeOpennessScaleTest, TheBaselineIsTheMedianOfThePreviousTwoSecondsOrTheWidestOfTheFirstFrames) {
    RelativeOpennessScale scale;
    // The first frames are measured against the widest so far, this one included, but at most
    // 5 % above the second widest: a blink at the start reads closed against the open eyes before
    // it, and one fit that sprang wide does not make the others read closed.
    EXPECT_NEAR(scale.toTrackerScale(0.30f, 0.0), 0.55 * (1 - 0.464), 1e-6);
    EXPECT_NEAR(scale.toTrackerScale(0.29f, 0.05), 0.55 * (0.29 / 0.30 - 0.464), 1e-5);
    EXPECT_NEAR(scale.toTrackerScale(0.15f, 0.1), 0.55 * (0.15 / 0.30 - 0.464), 1e-5);
    EXPECT_NEAR(scale.toTrackerScale(0.40f, 0.15), 0.55 * (0.40 / 0.315 - 0.464), 1e-5);
    // A scan that starts just before a blink: one open frame, then closing ones. Against the widest
    // they read closed; steadied, the closing frame caps the baseline and they do not.
    for (const auto start : {RelativeOpennessScale::Start::widest, RelativeOpennessScale::Start::steadied}) {
        RelativeOpennessScale blink(start);
        blink.toTrackerScale(0.30f, 0.0);
        blink.toTrackerScale(0.24f, 0.05);
        const float closing = blink.toTrackerScale(0.18f, 0.1);
        if (start == RelativeOpennessScale::Start::widest) {
            EXPECT_NEAR(closing, 0.55 * (0.18 / 0.30 - 0.464), 1e-5);
        } else {
            EXPECT_NEAR(closing, 0.55 * (0.18 / 0.252 - 0.464), 1e-5);
        }
    }
    double t = 0.2;
    for (; t < 3; t += 0.05) scale.toTrackerScale(0.30f, t);
    // Wider eyes half a second later: still measured against the old 0.30.
    for (int i = 0; i < 10; ++i, t += 0.05) scale.toTrackerScale(0.40f, t);
    EXPECT_NEAR(scale.toTrackerScale(0.40f, t), 0.55 * (0.40 / 0.30 - 0.464), 1e-5);
    // Two seconds on, the window holds only the new eyes.
    for (int i = 0; i < 40; ++i, t += 0.05) scale.toTrackerScale(0.40f, t);
    EXPECT_NEAR(scale.toTrackerScale(0.40f, t), 0.55 * (1 - 0.464), 1e-5);
    // Sparse frames (a face seen only now and then) keep using the last few frames, not nothing.
    RelativeOpennessScale sparse;
    for (int i = 0; i < 6; ++i) sparse.toTrackerScale(0.30f, i * 5.0);
    EXPECT_NEAR(sparse.toTrackerScale(0.30f, 40.0), 0.55 * (1 - 0.464), 1e-6);
}

TEST(RelativeOpennessScaleTest, UnusableValuesChangeNothing) {
    RelativeOpennessScale scale;
    // Not a number: between the thresholds, and not remembered.
    EXPECT_FLOAT_EQ(scale.toTrackerScale(std::nanf(""), 0), RelativeOpennessScale::neutral);
    EXPECT_NEAR(scale.toTrackerScale(0.30f, 0.05), 0.55 * (1 - 0.464), 1e-6);
    // Outlines of no height all along: no baseline to compare with.
    RelativeOpennessScale flat;
    for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(flat.toTrackerScale(0.0f, i * 0.05), RelativeOpennessScale::neutral);
    // A clock that jumps back starts over.
    for (int i = 0; i < 50; ++i) scale.toTrackerScale(0.5f, 1 + i * 0.05);
    EXPECT_NEAR(scale.toTrackerScale(0.25f, 0.5), 0.55 * (1 - 0.464), 1e-6);
}

// ---- the dlib detector ----

TEST(FaceDetectorTest, MissingOrDamagedLandmarkModelIsReportedWithFileAndSetupCommand) {
    TestSupport::TempDir dir;
    for (const bool exists : {false, true}) {
        FaceDetector::Options options;
        options.landmarkModel = dir / "shape_predictor_68_face_landmarks.dat";
        if (exists) TestSupport::writeText(options.landmarkModel, std::string(5000, 'x'));
        FaceDetector detector(options);
        const auto error = detector.loadError();
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(error->find(options.landmarkModel.string()), std::string::npos) << *error;
        EXPECT_NE(error->find("scripts/setup"), std::string::npos) << *error;
        EXPECT_FALSE(detector.detect(cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 90, 90))));
        EXPECT_EQ(detector.loadError(), error);
    }
}

TEST(FaceDetectorTest, FindsTheFaceOfAPhotoWithEverythingTheScanNeeds) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    const cv::Mat photo = FaceEngineTest::readImage(data / "faces/london_pairs/london_001/1.jpg");
    const auto face = FaceEngineTest::detector().detect(photo);
    ASSERT_TRUE(face);
    const NormalizedRect& b = face->boundingBox;
    EXPECT_GT(b.width, 0.3);
    EXPECT_LT(b.width, 0.7);
    EXPECT_NEAR(b.x + b.width / 2, 0.5, 0.1);  // the London photos are centred
    ASSERT_EQ(face->landmarks.size(), 68u);
    for (const auto& p : face->landmarks) EXPECT_TRUE(cv::Rect2f(0, 0, 480, 480).contains(p));
    EXPECT_GT(face->quality, 0.35f);
    ASSERT_TRUE(face->roll && face->yaw && face->eyeOpenness);
    EXPECT_LT(std::fabs(*face->roll), 0.2f);
    EXPECT_LT(std::fabs(*face->yaw), 0.25f);
    EXPECT_GT(*face->eyeOpenness, 0.2f);
    EXPECT_LT(*face->eyeOpenness, 0.5f);
    // The crop is the frame's own pixels, cut to the enlarged box.
    const cv::Rect crop = FaceGeometry::cropRect(b, photo.size());
    ASSERT_EQ(face->crop.size(), crop.size());
    EXPECT_EQ(face->crop.data, face->frame(crop).data);
    EXPECT_EQ(face->frame.data, photo.data);
}

TEST(FaceDetectorTest, NoFaceInFramesWithoutOneOrOfAnotherKind) {
    KORVEL_REQUIRE_FACE_MODELS();
    auto& detector = FaceEngineTest::detector();
    EXPECT_FALSE(detector.detect(cv::Mat()));
    EXPECT_FALSE(detector.detect(cv::Mat(240, 320, CV_8UC3, cv::Scalar(40, 120, 200))));
    EXPECT_FALSE(detector.detect(cv::Mat(2, 2, CV_8UC3, cv::Scalar(0, 0, 0))));
    EXPECT_FALSE(detector.detect(cv::Mat(480, 640, CV_16UC3, cv::Scalar(0, 0, 0))));
    cv::Mat noise(240, 320, CV_8UC3);
    cv::randu(noise, 0, 255);
    EXPECT_FALSE(detector.detect(noise));
}

TEST(FaceDetectorTest, ClosedEyeStillsReadClosedAgainstTheirOpenPartner) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    struct Pair { const char *open, *closed; };
    const float closed = LivenessTracker().closeThreshold();  // the closed still must reach it
    const Pair pairs[] = {
        {"franck_f2200_open.png", "franck_f2186_closed.png"},
        {"franck_f2300_open.png", "franck_f2412_closed.png"},
        {"webcam_cap13_f0020_open.png", "webcam_cap13_f0099_closed.png"},
        {"webcam_cap13_f0450_open.png", "webcam_cap13_f0428_closed.png"},
        {"caltech1999_s01_image_0009_open.jpg", "caltech1999_s01_image_0010_closed.jpg"},
        // A 75 px face, the hardest: dlib's outline of these closed lids stays at 0.65 of the open one.
        {"webcam_cap12_f0600_open.png", "webcam_cap12_f0641_closed.png"},
    };
    for (const auto& pair : pairs) {
        const auto open = FaceEngineTest::detector().detect(FaceEngineTest::readImage(data / "blink/closed_eyes" / pair.open));
        const auto shut = FaceEngineTest::detector().detect(FaceEngineTest::readImage(data / "blink/closed_eyes" / pair.closed));
        ASSERT_TRUE(open && shut && open->eyeOpenness && shut->eyeOpenness) << pair.closed;
        RelativeOpennessScale scale;
        for (int i = 0; i < 20; ++i)
            EXPECT_GE(scale.toTrackerScale(*open->eyeOpenness, i * 0.05), LivenessTracker().openThreshold());
        EXPECT_LE(scale.toTrackerScale(*shut->eyeOpenness, 1.0), closed) << pair.closed;
    }
}

// Photos that once fooled the blink path (partly tracked flips and squeezes, jumping fits, folded
// prints, eye strips), through all frames, every other and every other from the second.
TEST(FaceDetectorTest, PhotoDipsThatOnceFooledTheScanNeverBlink) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    using M = FaceData::Motion;
    const struct {
        const char* still;
        M motion;
    } cases[] = {{"london_100/1.jpg", M::tilt},    {"london_114/2.jpg", M::tilt},    {"london_108/2.jpg", M::tilt},
                 {"london_001/1.jpg", M::squeeze}, {"london_096/2.jpg", M::squeeze}, {"london_096/2.jpg", M::turn},
                 {"franck_f2200_open.png", M::foldUpperBack}, {"franck_f2300_open.png", M::eyeStrip},
                 {"caltech1999_s04/2.jpg", M::foldUpperBack}, {"london_020/2.jpg", M::eyeStrip}, {"london_026/2.jpg", M::eyeStrip},
                 {"caltech1999_s06/9.jpg", M::bendAlong}, {"london_172/1.jpg", M::foldLowerBack},
                 {"caltech1999_s02/7.jpg", M::eyeStrip}, {"london_120/2.jpg", M::eyeStrip},
                 {"caltech1999_s10/1.jpg", M::eyeStrip}, {"caltech1999_s10/1.jpg", M::foldNose},
                 {"london_031/1.jpg", M::eyeStrip}};
    const std::vector<fs::path> stills = FaceData::attackStills(data);
    constexpr double fps = 25;
    const float minQuality = Settings{}.minQuality;
    FaceDetector detector(FaceDetector::Options{});  // following faces, as a scan does
#ifdef __SANITIZE_ADDRESS__
    constexpr std::size_t stride = 4;  // memory checks need a few clips; the figures are the normal build's
#else
    constexpr std::size_t stride = 1;
#endif
    for (std::size_t k = 0; k < std::size(cases); k += stride) {
        const auto& c = cases[k];
        SCOPED_TRACE(std::string(c.still) + ", " + FaceData::motionName(c.motion));
        const auto at = std::find_if(stills.begin(), stills.end(), [&](const fs::path& p) { return p.string().ends_with(c.still); });
        ASSERT_NE(at, stills.end());
        const cv::Mat photo = FaceEngineTest::readImage(*at);
        const auto lines = FaceData::isFolded(c.motion) ? FaceData::faceLines(detector, photo) : std::nullopt;
        const auto frames = FaceData::attackClip(photo, c.motion, unsigned(at - stills.begin()), fps, lines);
        detector.forgetFace();
        std::vector<std::optional<DetectedFace>> faces;
        for (const cv::Mat& frame : frames) faces.push_back(detector.detect(frame));
        // The last: a scan that starts as the first dip begins (its clips rest for 0.4 s first).
        for (const auto& [first, step] : {std::pair{0, 1}, {0, 2}, {1, 2}, {int(std::lround(0.4 * fps)), 1}}) {
            EyeMotionOpennessScale scale;
            LivenessTracker tracker;
            for (std::size_t i = std::size_t(first); i < faces.size(); i += std::size_t(step))
                if (faces[i] && faces[i]->quality >= minQuality)
                    tracker.update(scale.trackerOpenness(*faces[i], double(i) / fps));
            EXPECT_EQ(tracker.blinkCount(), 0) << "every " << step << " from frame " << first;
        }
    }
}

// ---- the finder's own landmark fit against dlib::shape_predictor ----

namespace {
// Grey stills of the blink clips (open and closed eyes) and photos of several people.
std::vector<cv::Mat> realGreyFrames(const std::filesystem::path& data) {
    std::vector<cv::Mat> frames;
    for (const char* still : {"blink/closed_eyes/franck_f2200_open.png", "blink/closed_eyes/franck_f2186_closed.png",
                              "blink/closed_eyes/webcam_cap13_f0020_open.png", "blink/closed_eyes/webcam_cap13_f0099_closed.png",
                              "faces/dev/debruine_lisa/1.jpg", "faces/dev/caltech1999_s04/2.jpg",
                              "faces/london_pairs/london_001/1.jpg", "faces/london_pairs/london_010/2.jpg"}) {
        frames.emplace_back();
        cv::cvtColor(FaceEngineTest::readImage(data / still), frames.back(), cv::COLOR_BGR2GRAY);
    }
    return frames;
}

double worstDistance(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    if (a.size() != b.size()) return INFINITY;
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, double(cv::norm(a[i] - b[i])));
    return worst;
}

// Runs `check(own, dlib)`: the finder's own fit and dlib::shape_predictor, in each build this CPU runs.
template <class Check>
void withOwnAndDlibFit(Check check) {
    for (const bool avx2 : {false, true}) {
        if (avx2 && !FaceLandmarkFinders::avx2Available()) continue;
        std::string error;
        const auto own = FaceLandmarkFinders::make(FaceDetector::defaultLandmarkModel(), error, avx2);
        const auto dlib = FaceLandmarkFinders::makeWithDlibPredictor(FaceDetector::defaultLandmarkModel(), error, avx2);
        ASSERT_TRUE(own && dlib) << error;
        ASSERT_STREQ(own->instructionSet(), dlib->instructionSet());
        SCOPED_TRACE(own->instructionSet());
        check(*own, *dlib);
    }
}
}  // namespace

TEST(FaceLandmarkFinderTest, OwnFitGivesDlibsLandmarksInBothBuilds) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    const std::vector<cv::Mat> frames = realGreyFrames(data);
    withOwnAndDlibFit([&](FaceLandmarkFinder& own, FaceLandmarkFinder& dlib) {
        std::size_t faces = 0;
        double worst = 0;
        for (const cv::Mat& gray : frames) {
            for (const cv::Rect2d& box : own.faces(gray)) {
                ++faces;
                for (const bool coarse : {true, false}) {
                    worst = std::max(worst, worstDistance(own.landmarks(gray, box, coarse), dlib.landmarks(gray, box, coarse)));
                    // As the detector fits: on the face's region enlarged to about 400 px (where dlib's
                    // fit reads the whole region enlarged by cv::resize).
                    worst = std::max(worst, worstDistance(FaceLandmarkFinders::subpixelLandmarks(own, gray, box, coarse),
                                                          FaceLandmarkFinders::subpixelLandmarks(dlib, gray, box, coarse)));
                }
            }
        }
        EXPECT_GE(faces, frames.size() - 1);
        EXPECT_LE(worst, 1e-3) << "over " << faces << " faces";
    });
}

TEST(FaceLandmarkFinderTest, BoxesOverTheEdgeOrTinyFitAsDlibDoes) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    cv::Mat gray;
    cv::cvtColor(FaceEngineTest::readImage(data / "blink/closed_eyes/webcam_cap13_f0020_open.png"), gray,
                 cv::COLOR_BGR2GRAY);
    withOwnAndDlibFit([&](FaceLandmarkFinder& own, FaceLandmarkFinder& dlib) {
        const double w = gray.cols, h = gray.rows;
        const cv::Rect2d boxes[] = {
            {-60, -40, 150, 150},          // over the top-left corner
            {w - 70, h / 2, 140, 140},     // half off the right edge
            {w + 10, h + 10, 100, 100},    // wholly outside: every feature pixel reads 0
            {-w, -h, 3 * w, 3 * h},        // far larger than the frame
            {w / 2, h / 2, 1, 1},          // one pixel
            {w / 2, h / 2, 0.4, 0.4},      // rounds to an empty rectangle
            {3, 3, 2, 30},                 // thin, at the corner
        };
        for (const cv::Rect2d& box : boxes) {
            for (const bool coarse : {true, false}) {
                const auto a = own.landmarks(gray, box, coarse), b = dlib.landmarks(gray, box, coarse);
                ASSERT_EQ(a.size(), 68u) << box;
                EXPECT_EQ(a, b) << box << (coarse ? " coarse" : " full");
            }
        }
        // Unusable input gives nothing, as before.
        EXPECT_TRUE(own.landmarks(gray, {10, 10, 0, 50}).empty());
        EXPECT_TRUE(own.landmarks(cv::Mat(), {10, 10, 50, 50}).empty());
        EXPECT_TRUE(own.landmarks(cv::Mat(100, 100, CV_8UC3), {10, 10, 50, 50}).empty());
    });
}

namespace {
// A small model in dlib's format: one cascade of depth-1 trees over two feature pixels.
struct TinyModel {
    dlib::matrix<float, 0, 1> shape = dlib::zeros_matrix<float>(136, 1);
    std::vector<std::vector<dlib::impl::regression_tree>> forests{1};
    std::vector<std::vector<unsigned long>> anchors{{30, 8}};
    std::vector<std::vector<dlib::vector<float, 2>>> deltas{{{0.0f, 0.0f}, {0.0f, 0.0f}}};

    TinyModel() {
        for (long i = 0; i < 68; ++i) {
            shape(2 * i) = 0.2f + 0.6f * float(i % 9) / 8;
            shape(2 * i + 1) = 0.2f + 0.6f * float(i / 9) / 7;
        }
        for (const float thresh : {-0.5f, 4.5f, 20.0f}) {
            dlib::impl::regression_tree tree;
            tree.splits = {{0, 1, thresh}};
            tree.leaf_values = {dlib::matrix<float, 0, 1>(dlib::uniform_matrix<float>(136, 1, 0.01f)),
                                dlib::matrix<float, 0, 1>(dlib::uniform_matrix<float>(136, 1, -0.02f))};
            forests[0].push_back(tree);
        }
    }
    void write(const std::filesystem::path& file) const {
        std::ofstream out(file, std::ios::binary);
        dlib::serialize(1, out);
        dlib::serialize(shape, out);
        dlib::serialize(forests, out);
        dlib::serialize(anchors, out);
        dlib::serialize(deltas, out);
    }
};
}  // namespace

TEST(FaceLandmarkFinderTest, DamagedModelsAreRefusedBeforeAnyFit) {
    TestSupport::TempDir dir;
    const std::filesystem::path file = dir / "model.dat";
    // Pixels outside the image read 0: at the right edge the second tree sees 5 − 0 > 4.5.
    const cv::Mat gray(200, 200, CV_8UC1, cv::Scalar(5));
    for (const bool avx2 : {false, true}) {
        if (avx2 && !FaceLandmarkFinders::avx2Available()) continue;
        std::string error;
        // Intact, it fits, and as dlib does.
        TinyModel().write(file);
        const auto own = FaceLandmarkFinders::make(file, error, avx2);
        const auto dlib = FaceLandmarkFinders::makeWithDlibPredictor(file, error, avx2);
        ASSERT_TRUE(own && dlib) << error;
        for (const cv::Rect2d box : {cv::Rect2d(20, 30, 150, 140), cv::Rect2d(150, 50, 100, 100), cv::Rect2d(-50, 120, 100, 100)}) {
            EXPECT_EQ(own->landmarks(gray, box), dlib->landmarks(gray, box));
            EXPECT_EQ(own->landmarks(gray, box, true), dlib->landmarks(gray, box, true));
        }
        const std::vector<std::function<void(TinyModel&)>> damages = {
            [](TinyModel& m) { m.forests[0][1].splits[0].idx2 = 2; },  // a third pixel that is not there
            [](TinyModel& m) { m.anchors[0][1] = 68; },
            [](TinyModel& m) { m.forests[0][2].leaf_values[1].set_size(135); },
            [](TinyModel& m) { m.forests[0][0].leaf_values.push_back(m.forests[0][0].leaf_values[0]); },
            [](TinyModel& m) { m.forests[0][1].splits.push_back(m.forests[0][1].splits[0]); },
            [](TinyModel& m) { m.deltas[0].pop_back(); },
            [](TinyModel& m) { m.anchors.push_back(m.anchors[0]); },
            [](TinyModel& m) { m.shape.set_size(134); },
            [](TinyModel& m) { m.forests[0].clear(); },
            // Values no trained model has, which would turn the fit's points into NaN or overflow.
            [](TinyModel& m) { m.forests[0][1].leaf_values[0](3) = std::nanf(""); },
            [](TinyModel& m) { m.deltas[0][1] = {1e30f, 0.0f}; },
            [](TinyModel& m) { m.forests[0][2].splits[0].thresh = INFINITY; },
        };
        for (std::size_t i = 0; i < damages.size(); ++i) {
            TinyModel model;
            damages[i](model);
            model.write(file);
            EXPECT_FALSE(FaceLandmarkFinders::make(file, error, avx2)) << "damage " << i;
            EXPECT_FALSE(error.empty()) << "damage " << i;
        }
        // Cut short anywhere in the trees.
        TinyModel().write(file);
        const std::string whole = TestSupport::readText(file);
        for (const std::size_t length : {std::size_t(0), std::size_t(30), whole.size() / 2, whole.size() - 3}) {
            TestSupport::writeText(file, whole.substr(0, length));
            EXPECT_FALSE(FaceLandmarkFinders::make(file, error, avx2)) << length;
        }
        // A length far beyond the file is refused before anything that size is allocated.
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            dlib::serialize(1, out);
            dlib::serialize(TinyModel().shape, out);
            dlib::serialize(1ul, out);
            dlib::serialize(1ul << 40, out);
        }
        EXPECT_FALSE(FaceLandmarkFinders::make(file, error, avx2));
        // A pipe in the model's place is refused at once instead of blocking the open.
        std::filesystem::remove(file);
        TestSupport::makeFifo(file);
        EXPECT_FALSE(FaceLandmarkFinders::make(file, error, avx2));
        EXPECT_FALSE(error.empty());
        std::filesystem::remove(file);
    }
}
