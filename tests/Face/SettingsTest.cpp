#include <gtest/gtest.h>

#include "Face/Settings.h"
#include "TestSupport.h"

using namespace TestSupport;

TEST(SettingsFile, WritesExactlyTheGoldenForm) {
    EXPECT_EQ(Settings{}.requireLiveness, std::optional<bool>(true)) << "a blink is required unless turned off";
    EXPECT_EQ(Settings{}.encode(), golden("settings-default.json"));
    Settings s;
    s.matchThreshold = 0.3f;
    s.scanTimeout = 8.5;
    s.requireLiveness = false;
    EXPECT_EQ(s.encode(), golden("settings-full.json"));
    // (The default record saved with liveness off, and read back, is the blink switch's test.)
}

TEST(SettingsFile, ReadsHandWrittenFilesWithOtherOrderWhitespaceAndUnknownKeys) {
    const auto s = Settings::decode(golden("settings-handwritten.json"));
    EXPECT_EQ(s.matchThreshold, std::optional<float>(0.25f));
    EXPECT_FLOAT_EQ(s.minQuality, 0.4f);
    EXPECT_EQ(s.requiredConsecutiveMatches, 3);
    EXPECT_DOUBLE_EQ(s.scanTimeout, 12.25);
    EXPECT_EQ(s.enrollmentSampleCount, 5);
    EXPECT_EQ(s.requireLiveness, std::optional<bool>(false));
}

TEST(SettingsFile, AnyDecodeFailureGivesTheWholeDefaultRecord) {
    TempDir dir;
    const auto file = dir / "settings.json";
    const Settings defaults;
    EXPECT_EQ(Settings::load(file), defaults) << "missing file";
    const char* broken[] = {
        R"({"requireLiveness": false})",  // required keys missing: liveness stays required
        R"({"minQuality":0.5,"requiredConsecutiveMatches":2,"scanTimeout":8})",
        R"({"minQuality":"0.5","requiredConsecutiveMatches":2,"scanTimeout":8,"enrollmentSampleCount":8})",
        R"({"minQuality":0.5,"requiredConsecutiveMatches":2.5,"scanTimeout":8,"enrollmentSampleCount":8})",
        R"({"minQuality":0.5,"requiredConsecutiveMatches":2,"scanTimeout":8,"enrollmentSampleCount":8,"requireLiveness":"no"})",
        R"({"minQuality":0.5,"requiredConsecutiveMatches":2,"scanTimeout":8,"enrollmentSampleCount":8,"matchThreshold":1e40})",
        R"([1,2])", "", "\xff\xfe", R"({"minQuality":0.5,)",
    };
    const auto turnOff = [](Settings& s) { s.requireLiveness = false; };
    for (const char* text : broken) {
        writeText(file, text);
        EXPECT_EQ(Settings::load(file), defaults) << text;
        // Nor is such a file replaced by a changed default record.
        EXPECT_EQ(Settings::change(file, turnOff), Settings::Change::damaged) << text;
        EXPECT_EQ(readText(file), text);
    }
}

TEST(SettingsFile, RequiredKeysOnlyMeansNoThresholdAndLivenessRequired) {
    const auto s = Settings::decode(R"({"minQuality":0.5,"requiredConsecutiveMatches":1,"scanTimeout":3,"enrollmentSampleCount":4})");
    EXPECT_FALSE(s.matchThreshold.has_value());
    EXPECT_FALSE(s.requireLiveness.has_value());
    EXPECT_TRUE(s.livenessRequired());
    EXPECT_FLOAT_EQ(s.effectiveThreshold(), 0.30f);
    // Absent optionals stay absent when written back.
    EXPECT_EQ(s.encode(), R"({"minQuality":0.5,"requiredConsecutiveMatches":1,"scanTimeout":3,"enrollmentSampleCount":4})");
}

TEST(SettingsFile, SaveFailureIsIgnoredAndDefaultLocationIsTheSupportDirectory) {
    ScopedDataHome home;
    Settings s;
    s.requireLiveness = false;
    s.save();
    EXPECT_EQ(Settings::load(), s);
    EXPECT_TRUE(std::filesystem::exists(home.path() / "KorvelID" / "com.korvel.id.unbundled" / "settings.json"));
    TempDir dir;
    EXPECT_NO_THROW(s.save(dir / "no-such-folder" / "settings.json"));
    std::string error;
    EXPECT_EQ(Settings::change(dir / "no-such-folder" / "settings.json", [](Settings&) {}, &error), Settings::Change::notWritten);
    EXPECT_FALSE(error.empty());
}
