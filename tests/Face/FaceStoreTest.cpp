#include <gtest/gtest.h>

#include <sys/stat.h>

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

TEST(FaceStoreLifecycle, MissingFileIsSilentCorruptFileIsLoggedAndKeptUntilSave) {
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

    store.profiles = goldenProfiles();
    store.save();
    EXPECT_TRUE(log.contains("2 profile(s) saved."));
    EXPECT_EQ(readText(file), golden("enrollment.json"));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "biometric data is private to the user";

    LogCapture reload;
    FaceStore again(file);
    EXPECT_EQ(again.profiles, goldenProfiles());
    EXPECT_TRUE(reload.contains("2 profile(s) loaded."));
}

TEST(FaceStoreLifecycle, ResetWritesAnEmptyArrayAndSameNamesAreKept) {
    TempDir dir;
    FaceStore store(dir / "enrollment.json");
    FaceProfile p;
    p.id = Uuid::random();
    p.name = "Sam";
    store.profiles = {p, p};
    store.profiles[1].id = Uuid::random();
    store.save();
    FaceStore loaded(dir / "enrollment.json");
    ASSERT_EQ(loaded.profiles.size(), 2u);
    EXPECT_EQ(loaded.profiles[0].name, loaded.profiles[1].name);
    loaded.profiles.clear();
    loaded.save();
    EXPECT_EQ(readText(dir / "enrollment.json"), "[]");
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
    store.save();
    EXPECT_EQ(store.profiles.size(), 1u);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, LogLevel::error);
    EXPECT_EQ(log.lines()[0].message.rfind("Profile save error: ", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));

    // A vector that cannot be written as JSON fails the save instead of writing a broken file.
    writer.shouldFail = nullptr;
    store.profiles[0].embeddings = {FaceEmbedding{{std::numeric_limits<float>::quiet_NaN()}}};
    LogCapture log2;
    store.save();
    EXPECT_EQ(log2.lines().at(0).level, LogLevel::error);
    EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));
}
