// The whole scan on real recordings: the real detector and recogniser, a video file as the camera.
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <regex>

#include "Face/AuthEngine.h"
#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"
#include "Platform/VideoFileSource.h"
#include "Support/Logger.h"
#include "TestSupport.h"
#include "../../tools/FaceData.h"

namespace fs = std::filesystem;
using S = ScanStatus;

namespace {

std::unique_ptr<AuthEngine> makeEngine(FaceStore& store, const fs::path& video, VideoFileSource::Options playback,
                                       Settings settings, bool smallFaces = false) {
    FaceDetector::Options detection;
    detection.upsampleWhenNothingFound = smallFaces;  // the webcam clips show faces of 65–80 px
    return std::make_unique<AuthEngine>(store, std::make_unique<FaceDetector>(detection),
                                        std::make_unique<DescriptorRecognizer>(), std::move(settings),
                                        VideoFileSource::factory(video, playback));
}

// Franck enrolled from the clip in which he talks without blinking; made once for all tests.
struct Enrolment {
    std::vector<EnrollmentEvent> events;
    std::optional<FaceProfile> profile;
};

const Enrolment& franckEnrolment(const fs::path& data) {
    static const Enrolment enrolment = [&] {
        Enrolment e;
        TestSupport::TempDir dir;
        FaceStore store(dir / "enrollment.json");
        auto engine = makeEngine(store, data / "blink" / "franck_talking_face_noblink_4s.mp4", {.loop = true}, Settings{});
        engine->enroll("Franck", [&](const EnrollmentEvent& event) { e.events.push_back(event); });
        if (!e.events.empty() && e.events.back().kind == EnrollmentEvent::Kind::finished) e.profile = e.events.back().profile;
        return e;
    }();
    return enrolment;
}

class ScanVideoTest : public ::testing::Test {
protected:
    void TearDown() override {
        engine.reset();
        EXPECT_TRUE(TestSupport::cameraOff());
    }

    // Franck enrolled, then one scan of `video`.
    AuthResult scan(const fs::path& data, const fs::path& video, VideoFileSource::Options playback, Settings settings,
                    bool smallFaces = false) {
        const Enrolment& enrolment = franckEnrolment(data);
        if (!enrolment.profile) {
            ADD_FAILURE() << "enrolment failed: " << (enrolment.events.empty() ? "no event" : enrolment.events.back().message);
            return AuthResult::noFace();
        }
        store.profiles = {*enrolment.profile};
        engine = makeEngine(store, video, playback, std::move(settings), smallFaces);
        return engine->authenticate([this](const ScanStatus& s) { statuses.push_back(s); });
    }

    static Settings withLiveness(bool on, double window) {
        Settings s;
        s.requireLiveness = on;
        s.scanTimeout = window;
        return s;
    }

    // The blink count of the "Match: Franck (distance …, blinks N)" line; -1 without one.
    int loggedBlinks() const {
        static const std::regex line("Match: Franck \\(distance [0-9.]+, blinks ([0-9]+)\\)");
        std::smatch m;
        for (const auto& message : log.messages("auth"))
            if (std::regex_match(message, m, line)) return std::stoi(m[1]);
        return -1;
    }

    TestSupport::TempDir dir;
    FaceStore store{dir / "enrollment.json"};
    std::unique_ptr<AuthEngine> engine;
    std::vector<ScanStatus> statuses;
    LogCapture log;
};

TEST_F(ScanVideoTest, BlinkingFaceIsMatched) {
    KORVEL_REQUIRE_DATA(data);
    // 8.5 s in: four blinks within 3 s and one at 7 s fall inside the window. The memory checks
    // look at about four frames a second: played at a fifth of its speed, the same 4 s of video.
#ifdef __SANITIZE_ADDRESS__
    constexpr double window = 20, speed = 0.2;
#else
    constexpr double window = 8, speed = 1;
#endif
    const AuthResult result = scan(data, data / "blink" / "franck_talking_face_blinks_22s.mp4",
                                   {.startOffset = 8.5, .speed = speed}, withLiveness(true, window));
    ASSERT_EQ(result.kind, AuthResult::Kind::matched) << ::testing::PrintToString(result);
    EXPECT_EQ(result.name, "Franck");
    EXPECT_LE(result.distance, Settings::fallbackThreshold);
    EXPECT_GE(loggedBlinks(), 1) << ::testing::PrintToString(log.messages("auth"));
}

TEST_F(ScanVideoTest, TalkingFaceWithoutBlinkIsRejectedAsPossibleSpoof) {
    KORVEL_REQUIRE_DATA(data);
    const AuthResult result = scan(data, data / "blink" / "franck_talking_face_noblink_4s.mp4", {}, withLiveness(true, 3));
    ASSERT_EQ(result.kind, AuthResult::Kind::noMatch) << ::testing::PrintToString(result);
    ASSERT_TRUE(result.bestDistance);
    EXPECT_LE(*result.bestDistance, Settings::fallbackThreshold);  // it is Franck, but he never blinked
    EXPECT_TRUE(log.contains("Identity matched but no blink detected \u2014 rejected (possible spoof)."));
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), S::needBlink()), statuses.end());
}

// A photo of Franck matches him but never blinks: held still, or folded across the face with the
// upper part flapped (once counted as blinks). Planar dips are the detector tests' own.
TEST_F(ScanVideoTest, PhotoHeldToTheCameraIsNeverMatched) {
    KORVEL_REQUIRE_DATA(data);
    cv::VideoCapture clip((data / "blink" / "franck_talking_face_noblink_4s.mp4").string(), cv::CAP_FFMPEG);
    cv::Mat photo;
    ASSERT_TRUE(clip.read(photo));
    const cv::Mat still = cv::imread((data / "blink" / "closed_eyes" / "franck_f2200_open.png").string());
    FaceDetector detector;
    const auto lines = FaceData::faceLines(detector, still);
    ASSERT_TRUE(lines);
    const struct {
        const char* name;
        const cv::Mat& photo;
        std::optional<FaceData::Motion> motion;
        unsigned seed;
        double fps, window;
    } cases[] = {{"held still", photo, std::nullopt, 0, 24, 3},
                 {"folded", still, FaceData::Motion::foldUpperBack, 1, 25, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<cv::Mat> frames;
        if (c.motion) frames = FaceData::attackClip(c.photo, *c.motion, c.seed, c.fps, lines);
        else frames.assign(24 * 4, c.photo);
        const fs::path attack = dir / (std::string(c.name) + ".avi");
        cv::VideoWriter writer(attack.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), c.fps, frames.front().size());
        ASSERT_TRUE(writer.isOpened());
        for (const auto& f : frames) writer.write(f);
        writer.release();

        log.clear();
        const AuthResult result = scan(data, attack, {}, withLiveness(true, c.window));
        EXPECT_EQ(result.kind, AuthResult::Kind::noMatch) << ::testing::PrintToString(result);
        EXPECT_TRUE(log.contains("Identity matched but no blink detected \u2014 rejected (possible spoof)."));
        engine.reset();
    }
}

TEST_F(ScanVideoTest, AnotherPersonIsNotMatched) {
    KORVEL_REQUIRE_DATA(data);
    // Without liveness a single matching frame would approve, so no frame may come close.
    const AuthResult result = scan(data, data / "blink" / "webcam_cap13_30s.mp4", {.startOffset = 6},
                                   withLiveness(false, 3), /*smallFaces=*/true);
    ASSERT_EQ(result.kind, AuthResult::Kind::noMatch) << ::testing::PrintToString(result);
    ASSERT_TRUE(result.bestDistance) << "no face of the other person was compared";
    EXPECT_GT(*result.bestDistance, Settings::fallbackThreshold);
}

}  // namespace
