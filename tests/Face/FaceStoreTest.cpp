#include <gtest/gtest.h>

#include "Face/FaceAttemptLimit.h"
#include "Face/FaceStore.h"
#include "Support/Json.h"
#include "Support/Logger.h"
#include "TestSupport.h"

using namespace TestSupport;

namespace {
std::vector<FaceProfile> goldenProfiles() {
    FaceProfile a;
    a.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    a.name = "Ada / \"Lovelace\"";
    a.embeddings = {FaceEmbedding{{0.1f, -0.25f, 1e-7f, 3.4028235e38f}}, FaceEmbedding{{}}};
    a.createdAt = 786297600.125;
    FaceProfile b;
    b.id = *Uuid::parse("00000000-0000-4000-8000-000000000001");
    b.name = "Zoë";
    b.createdAt = 0;
    return {a, b};
}
}  // namespace

TEST(EnrollmentFile, WritesTheGoldenFormAndReadsItBack) {
    const auto profiles = goldenProfiles();
    EXPECT_EQ(FaceProfiles::encode(profiles), golden("enrollment.json"));
    EXPECT_EQ(FaceProfiles::decode(golden("enrollment.json")), profiles);
    EXPECT_EQ(FaceProfiles::encode({}), "[]");
    // The golden profiles name no engine (as every profile before engines were named); one that does
    // carries the key, which older readers ignore.
    auto named = profiles;
    named[1].engine = "ResNet128-dlib/raw1";
    const std::string text = FaceProfiles::encode(named);
    EXPECT_NE(text.find(R"("createdAt":0,"engine":"ResNet128-dlib\/raw1"})"), std::string::npos) << text;
    EXPECT_EQ(FaceProfiles::decode(text), named);
}

TEST(EnrollmentFile, ReadsHandWrittenFiles) {
    const auto p = FaceProfiles::decode(golden("enrollment-handwritten.json"));
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].id.toString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(p[0].name, "Müller/Ada\tB");
    EXPECT_EQ(p[0].embeddings[0].vector, (std::vector<float>{1.0f, 0.5f, -2.0f}));
    EXPECT_DOUBLE_EQ(p[0].createdAt, 786297600.5);
}

TEST(EnrollmentFile, AnyBadProfileFailsTheWholeFile) {
    const char* bad[] = {
        R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"A","embeddings":[]}])",  // no createdAt
        R"([{"id":"nope","name":"A","embeddings":[],"createdAt":1}])",
        R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":7,"embeddings":[],"createdAt":1}])",
        R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"A","embeddings":[{"vector":["x"]}],"createdAt":1}])",
        R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"A","embeddings":[{}],"createdAt":1}])",
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"})",
        R"([1])",
    };
    for (const char* text : bad) EXPECT_THROW(FaceProfiles::decode(text), JsonError) << text;
}

TEST(FaceStoreLifecycle, MissingFileIsSilentCorruptFileIsLoggedAndKeptUntilEveryFaceIsRemoved) {
    TempDir dir;
    const auto file = dir / "enrollment.json";
    {
        LogCapture log;
        FaceStore store(file);
        EXPECT_TRUE(store.profiles.empty());
        EXPECT_TRUE(log.lines().empty());
    }
    const std::string corrupt = R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"A","embeddings":[]}])";
    writeText(file, corrupt);
    LogCapture log;
    FaceStore store(file);
    EXPECT_TRUE(store.profiles.empty());
    const auto messages = log.messages("store");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Profile load error: ", 0), 0u) << messages[0];
    EXPECT_EQ(log.lines()[0].level, LogLevel::error);
    EXPECT_EQ(readText(file), corrupt);
    EXPECT_TRUE(store.damaged());

    // An enrolment must not replace it: the faces it holds (repairable by hand) would be gone.
    store.profiles = {goldenProfiles()[0]};
    EXPECT_FALSE(store.save());
    EXPECT_EQ(readText(file), corrupt);
    store.profiles.clear();
    EXPECT_TRUE(store.save()) << "removing every face starts again";
    EXPECT_FALSE(store.damaged());
    store.profiles = goldenProfiles();
    EXPECT_TRUE(store.save());
    EXPECT_TRUE(log.contains("2 profile(s) saved."));
    EXPECT_EQ(readText(file), golden("enrollment.json"));
    EXPECT_EQ(TestSupport::fileMode(file), 0600) << "biometric data is private to the user";

    LogCapture reload;
    FaceStore again(file);
    EXPECT_EQ(again.profiles, goldenProfiles());
    EXPECT_TRUE(reload.contains("2 profile(s) loaded."));
}

TEST(FaceStoreLifecycle, SaveFailureIsLoggedAndMemoryKeepsTheChange) {
    TempDir dir;
    FailingFileWriter writer;
    writer.shouldFail = [](int, const std::filesystem::path&) { return true; };
    FaceStore store(dir / "enrollment.json", writer);
    FaceProfile p;
    p.name = "Kim";
    store.profiles.push_back(p);
    LogCapture log;
    EXPECT_FALSE(store.save());
    EXPECT_EQ(store.profiles.size(), 1u);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, LogLevel::error);
    EXPECT_EQ(log.lines()[0].message.rfind("Profile save error: ", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));

    // A vector that cannot be written as JSON, or a file too large for its own reader, fails the save.
    writer.shouldFail = nullptr;
    store.profiles[0].embeddings = {FaceEmbedding{{std::numeric_limits<float>::quiet_NaN()}}};
    LogCapture log2;
    store.save();
    EXPECT_EQ(log2.lines().at(0).level, LogLevel::error);
    EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));
    store.profiles[0].embeddings.assign(8000, FaceEmbedding{std::vector<float>(128, 0.1234567f)});
    EXPECT_FALSE(store.save());
    EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));
}

// The failed-scan count: absent means none; anything but our own record locks face unlock until
// the password is accepted, which puts a fresh private record in its place.
TEST(FaceAttemptRecord, PersistsAndTreatsHostileFilesAsLockedOut) {
    TempDir dir;
    FaceAttemptLimit limit(dir.path());
    EXPECT_EQ(limit.failures(), 0);
    limit.recordFailure();
    limit.recordFailure();
    EXPECT_EQ(FaceAttemptLimit(dir.path()).failures(), 2);
    EXPECT_EQ(readText(limit.file()), R"({"failures":2})");
    EXPECT_EQ(fileMode(limit.file()), 0600);

    const auto file = limit.file();
    const auto elsewhere = dir / "elsewhere.json";
    const std::vector<std::pair<const char*, std::function<void()>>> hostile{
        {"cut short", [&] { writeText(file, R"({"failures":)"); }},
        {"negative", [&] { writeText(file, R"({"failures":-1})"); }},
        {"huge", [&] { writeText(file, std::string(1 << 20, ' ')); }},
        {"a link", [&] { writeText(elsewhere, R"({"failures":0})"), std::filesystem::create_symlink(elsewhere, file); }},
        {"a pipe", [&] { makeFifo(file); }},
    };
    for (const auto& [what, make] : hostile) {
        SCOPED_TRACE(what);
        std::filesystem::remove(file);
        make();
        LogCapture log;
        EXPECT_TRUE(limit.lockedOut());
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines()[0].level, LogLevel::error);
        EXPECT_NE(log.lines()[0].message.find("face unlock waits for the password"), std::string::npos);
        limit.recordSuccess();
        EXPECT_TRUE(limit.lockedOut()) << "only the password clears it";
        limit.passwordAccepted();
        EXPECT_EQ(limit.failures(), 0);
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(file)));
    }
    EXPECT_EQ(readText(elsewhere), R"({"failures":0})") << "the link's target is untouched";

    // A record that cannot be written does not give unlimited attempts.
    FailingFileWriter failing;
    failing.shouldFail = [](int, const std::filesystem::path&) { return true; };
    TempDir unwritable;
    FaceAttemptLimit forgetful(unwritable.path(), failing);
    for (int i = 0; i < FaceAttemptLimit::maxFailures; ++i) forgetful.recordFailure();
    EXPECT_TRUE(forgetful.lockedOut());
}
