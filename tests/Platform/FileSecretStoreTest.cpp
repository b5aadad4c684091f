// The file store used when no Secret Service answers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Platform/FileSecretStore.h"
#include "TestSupport.h"

namespace {
using TestSupport::fileMode, TestSupport::readText, TestSupport::TempDir, TestSupport::writeText;

TEST(FileSecretStore, KeepsBinaryValuesAcrossInstancesInAnOwnerOnlyFile) {
    TempDir dir;
    const auto file = dir / "Secrets" / "secrets.json";
    const Bytes salt = {0, 1, 2, 0, 0, 255};
    {
        FileSecretStore store(file);
        EXPECT_EQ(store.kind(), SecretStore::Kind::file);
        EXPECT_EQ(store.lookup("com.korvel.id.master", "salt").status, SecretLookup::Status::notFound);
        EXPECT_FALSE(store.fileExists()) << "a lookup creates nothing";
        ASSERT_TRUE(store.store("com.korvel.id.master", "salt", salt).ok());
        ASSERT_TRUE(store.store("com.korvel.id.master", "verifier", Bytes{7}).ok());
    }
    EXPECT_EQ(fileMode(file), 0600);
    EXPECT_EQ(fileMode(file.parent_path()), 0700);
    EXPECT_EQ(readText(file),
              R"([{"service":"com.korvel.id.master","account":"salt","value":"AAECAAD\/"},)"
              R"({"service":"com.korvel.id.master","account":"verifier","value":"Bw=="}])");

    FileSecretStore again(file);
    EXPECT_EQ(again.lookup("com.korvel.id.master", "salt").value, salt);
    EXPECT_EQ(again.exists("com.korvel.id.master", "verifier").status, SecretLookup::Status::found);
    EXPECT_EQ(again.lookup("com.korvel.id.vault.kek", "salt").status, SecretLookup::Status::notFound);
    ASSERT_TRUE(again.remove("com.korvel.id.master", "salt").ok());
    EXPECT_EQ(again.lookup("com.korvel.id.master", "salt").status, SecretLookup::Status::notFound);
    EXPECT_EQ(again.lookup("com.korvel.id.master", "verifier").value, Bytes{7});
    EXPECT_TRUE(again.remove("com.korvel.id.master", "salt").ok());
}

TEST(FileSecretStore, NarrowsAWiderFolderAndNeverReplacesADamagedFile) {
    TempDir dir;
    const auto folder = dir / "Secrets";
    std::filesystem::create_directories(folder);
    ::chmod(folder.c_str(), 0755);
    const auto file = folder / "secrets.json";
    FileSecretStore store(file);
    ASSERT_TRUE(store.store("s", "a", Bytes{1}).ok());
    EXPECT_EQ(fileMode(folder), 0700);

    for (const char* damaged : {"{", "{}", R"([{"service":"s","account":"a"}])", R"([{"service":"s","account":"a","value":"***"}])"}) {
        writeText(file, damaged);
        const auto r = store.lookup("s", "a");
        EXPECT_EQ(r.status, SecretLookup::Status::error) << damaged;
        EXPECT_EQ(r.reason, "The secret file is damaged.");
        EXPECT_EQ(store.store("s", "b", Bytes{2}).status, SecretWrite::Status::error);
        EXPECT_EQ(store.remove("s", "a").status, SecretWrite::Status::error);
        EXPECT_FALSE(store.allItems());
        EXPECT_EQ(readText(file), damaged) << "the damaged file is left for the user to recover";
    }

    // A huge (sparse) file is damaged too, and read no further than the cap.
    std::filesystem::remove(file);
    TestSupport::makeSparseFile(file, std::uint64_t(1) << 36);
    EXPECT_EQ(store.lookup("s", "a").reason, "The secret file is damaged.");
    EXPECT_EQ(store.store("s", "b", Bytes{2}).status, SecretWrite::Status::error);
    EXPECT_EQ(std::filesystem::file_size(file), std::uint64_t(1) << 36);
}

TEST(FileSecretStore, AFailedWriteKeepsTheOldFileAndSaysWhy) {
    TempDir dir;
    const auto file = dir / "Secrets" / "secrets.json";
    TestSupport::FailingFileWriter writer;
    FileSecretStore store(file, writer);
    ASSERT_TRUE(store.store("s", "a", Bytes{1}).ok());
    const auto before = readText(file);
    writer.shouldFail = [](int, const std::filesystem::path&) { return true; };
    const auto r = store.store("s", "a", Bytes{2});
    EXPECT_EQ(r.status, SecretWrite::Status::error);
    EXPECT_NE(r.reason.find("Injected"), std::string::npos);
    EXPECT_EQ(store.remove("s", "a").status, SecretWrite::Status::error);
    EXPECT_EQ(readText(file), before);
    EXPECT_EQ(store.lookup("s", "a").value, Bytes{1});
}

// Root reads files regardless of their mode: as root (in CI) the store runs as "nobody".
TEST(FileSecretStore, AnUnreadableFileIsAnErrorNotAMissingItem) {
    TempDir dir;
    TestSupport::asUnprivilegedUser(dir.path(), [&] {
        const auto file = dir / "secrets.json";
        FileSecretStore store(file);
        ASSERT_TRUE(store.store("s", "a", Bytes{1}).ok());
        ::chmod(file.c_str(), 0);
        EXPECT_EQ(store.lookup("s", "a").status, SecretLookup::Status::error);
        EXPECT_EQ(store.store("s", "a", Bytes{2}).status, SecretWrite::Status::error);
        ::chmod(file.c_str(), 0600);
        EXPECT_EQ(store.lookup("s", "a").value, Bytes{1});
    });
}

}  // namespace
