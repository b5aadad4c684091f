#include <gtest/gtest.h>

#include <functional>

#include "AppLock/ProtectedAppsStore.h"
#include "Support/Logger.h"
#include "TestSupport.h"

using TestSupport::TempDir;

namespace {
const std::vector<ProtectedApp> goldenApps = {
    {"org.gnome.Nautilus", "Files / Ordner", -1},
    {"firefox-esr", "Firefox \"ESR\" – Web", 0},
    {"kde4-okular", "Okular", 300},
};

struct StoreFixture : ::testing::Test {
    TempDir dir;
    std::filesystem::path file = dir / ProtectedAppsStore::fileName;
    int changes = 0;
    std::unique_ptr<ProtectedAppsStore> open(FileWriter& writer = FileWriter::system()) {
        auto store = std::make_unique<ProtectedAppsStore>(file, writer);
        store->onChange = [this] { ++changes; };
        return store;
    }
};
}  // namespace

TEST_F(StoreFixture, WritesTheExactFileAndReadsItBackInOrder) {
    auto store = open();
    for (const auto& app : goldenApps) store->add(app);
    EXPECT_EQ(TestSupport::readText(file), TestSupport::golden("protected-apps.json"));
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(TestSupport::fileMode(file), 0600);

    // Removing from the middle keeps the others' order, across a reload.
    store->remove("firefox-esr");
    const auto reloaded = open();
    EXPECT_FALSE(reloaded->loadFailed());
    EXPECT_EQ(reloaded->apps(), (std::vector<ProtectedApp>{goldenApps[0], goldenApps[2]}));
}

TEST_F(StoreFixture, ReadsAnyLayoutMemberOrderAndSlashSpelling) {
    TestSupport::writeText(file, TestSupport::golden("protected-apps-handwritten.json"));
    const auto store = open();
    EXPECT_FALSE(store->loadFailed());
    EXPECT_EQ(store->apps(), (std::vector<ProtectedApp>{goldenApps[2], goldenApps[0]}));
}

// (Without the file, as freshly installed: the golden-file case, and the command line's protect
// and unprotect ending at "[]".)
TEST_F(StoreFixture, AnEmptyListIsReadAndWrittenNormally) {
    TestSupport::writeText(file, "[]");
    auto store = open();
    EXPECT_TRUE(store->apps().empty());
    EXPECT_FALSE(store->loadFailed());
    store->add({"a", "A", -1});
    EXPECT_EQ(TestSupport::readText(file), R"([{"bundleIdentifier":"a","name":"A","graceSeconds":-1}])");
    store->remove("a");
    EXPECT_EQ(TestSupport::readText(file), "[]");
}

TEST_F(StoreFixture, ChangesThatMatchNothing) {
    auto store = open();
    store->add({"a", "A", 30});
    const auto before = TestSupport::readText(file);
    changes = 0;

    store->add({"a", "Other name", 0});  // listed already: nothing at all
    EXPECT_EQ(store->apps(), (std::vector<ProtectedApp>{{"a", "A", 30}}));
    EXPECT_EQ(changes, 0);

    store->setGrace(5, "missing");  // not listed: nothing at all
    EXPECT_EQ(changes, 0);

    std::filesystem::remove(file);
    store->remove("missing");  // not listed: still saves and reports
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(TestSupport::readText(file), before);

    store->setGrace(-7, "a");
    EXPECT_EQ(store->app("a")->graceSeconds, -7);
    EXPECT_EQ(changes, 2);
}

TEST_F(StoreFixture, DuplicatesInAFileWrittenElsewhereResolveToTheFirst) {
    TestSupport::writeText(file, R"([{"bundleIdentifier":"a","name":"First","graceSeconds":1},)"
                                 R"({"bundleIdentifier":"a","name":"Second","graceSeconds":2}])");
    auto store = open();
    EXPECT_EQ(store->app("a")->name, "First");
    store->setGrace(9, "a");
    EXPECT_EQ(store->apps()[1].graceSeconds, 2);
    store->remove("a");
    EXPECT_TRUE(store->apps().empty());
}

// A file that exists but cannot be used must never be replaced: a shorter list would silently drop
// protection. Changes stay in memory and are still reported.
TEST_F(StoreFixture, AnUnreadableFileIsNeverOverwritten) {
    struct Case {
        const char* what;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"zero bytes", ""},
        {"truncated", R"([{"bundleIdentifier":"a","name":"A","graceSeconds":1)"},
        {"object at the top", R"({"bundleIdentifier":"a","name":"A","graceSeconds":1})"},
        {"entry not an object", R"([["a","A",1]])"},
        {"missing graceSeconds", R"([{"bundleIdentifier":"a","name":"A"}])"},
        {"grace with a fraction", R"([{"bundleIdentifier":"a","name":"A","graceSeconds":1.5}])"},
        {"grace beyond 64 bits", R"([{"bundleIdentifier":"a","name":"A","graceSeconds":9223372036854775808}])"},
        {"identifier as number", R"([{"bundleIdentifier":7,"name":"A","graceSeconds":1}])"},
        {"second entry bad", R"([{"bundleIdentifier":"a","name":"A","graceSeconds":1},{"bundleIdentifier":"b"}])"},
        {"broken UTF-8", "[{\"bundleIdentifier\":\"a\",\"name\":\"\xC3\",\"graceSeconds\":1}]"},
        {"too large", "[" + std::string(ReadOptions::jsonSizeLimit, ' ') + "]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestSupport::writeText(file, c.content);
        changes = 0;
        LogCapture log;
        auto store = open();
        EXPECT_TRUE(store->apps().empty());
        EXPECT_TRUE(store->loadFailed() && !store->isSaved());
        const auto lines = log.messages("store");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("ProtectedAppsStore: could not read protected-apps.json — keeping protection state, "
                                 "not overwriting. ", 0), 0u) << lines[0];

        store->add({"b", "B", 0});
        store->setGrace(3, "b");
        store->remove("zzz");
        EXPECT_EQ(store->apps(), (std::vector<ProtectedApp>{{"b", "B", 3}}));
        EXPECT_EQ(changes, 3);
        EXPECT_EQ(TestSupport::readText(file), c.content);
    }

    // Neither can a folder, a pipe (which must not block the start) or a link in the file's place;
    // each stays as it is.
    const auto good = dir / "elsewhere.json";
    TestSupport::writeText(good, "[]");
    const std::vector<std::pair<const char*, std::function<void()>>> oddFiles = {
        {"folder", [&] { std::filesystem::create_directory(file); }},
        {"pipe", [&] { TestSupport::makeFifo(file); }},
        {"link", [&] { std::filesystem::create_symlink(good, file); }},
    };
    for (const auto& [what, make] : oddFiles) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(file);
        make();
        const auto type = std::filesystem::symlink_status(file).type();
        auto store = open();
        EXPECT_TRUE(store->loadFailed());
        store->add({"b", "B", 0});
        EXPECT_EQ(std::filesystem::symlink_status(file).type(), type);
    }
    EXPECT_EQ(TestSupport::readText(good), "[]");
}

TEST_F(StoreFixture, FailedWritesKeepTheChangeInMemory) {
    TestSupport::FailingFileWriter writer;
    writer.shouldFail = [](int n, const std::filesystem::path&) { return n == 2; };
    auto store = open(writer);
    store->add({"a", "A", 0});
    const auto first = TestSupport::readText(file);
    store->add({"b", "B", 0});  // this write fails
    EXPECT_FALSE(store->isSaved());
    EXPECT_EQ(store->apps().size(), 2u);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(TestSupport::readText(file), first);
    store->add({"c", "C", 0});  // the next one writes everything
    EXPECT_TRUE(store->isSaved());
    EXPECT_EQ(open()->apps().size(), 3u);
}

TEST_F(StoreFixture, NeverWritesAFileItsOwnReaderRefuses) {
    auto store = open();
    store->add({"a", "A", 0});
    const auto before = TestSupport::readText(file);
    store->add({"b", std::string("bad \xFF name"), 0});
    EXPECT_EQ(store->apps().size(), 2u);
    EXPECT_EQ(TestSupport::readText(file), before);
    EXPECT_FALSE(ProtectedAppsStore::encode(store->apps()));
}
