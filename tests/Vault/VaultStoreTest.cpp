// The vault on disk: layout, formats, errors, streaming, and failed writes leaving old or new state.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <fstream>
#include <functional>
#include <regex>

#include "SecretStoreFixture.h"
#include "Support/Json.h"
#include "TestSupport.h"
#include "Vault/OpenedCopies.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultKeychain.h"
#include "Vault/VaultStore.h"

namespace fs = std::filesystem;

namespace {
using TestSupport::fileMode, TestSupport::readText, TestSupport::writeText;

Bytes textBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes readBytes(const fs::path& p) { return textBytes(readText(p)); }

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

template <typename E, typename F>
E expectThrow(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "expected an exception";
    throw std::runtime_error("no exception");
}

class VaultStoreTest : public ::testing::Test {
protected:
    void SetUp() override { VaultKeychain::remove(); }
    void TearDown() override { VaultKeychain::remove(); }

    fs::path vaultDir() const { return dir_ / "Vault"; }
    VaultItem add(const std::string& name, std::string_view content) { return store_.addItem(name, textBytes(content)); }
    std::string indexText() const { return readText(store_.indexURL()); }

    TestSupport::TempDir dir_;
    std::shared_ptr<SecretStore> secrets_ = TestSupport::makeTestSecretStore(dir_.path());
    TestSupport::ScopedSecretStore installed_{secrets_};
    TestSupport::FailingFileWriter writer_;
    VaultStore store_{dir_ / "Vault", writer_};
    SymmetricKey passwordKey_ = VaultCrypto::makeKey();
};

TEST_F(VaultStoreTest, InitializeWritesTheHeaderAnEmptyIndexAndTheDeviceKey) {
    EXPECT_EQ(namesIn(vaultDir()), std::vector<std::string>{"blobs"}) << "construction creates only the blobs folder";
    EXPECT_FALSE(store_.isInitialized());
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.unlockWithDeviceKey(); }).code(), VaultError::Code::notInitialized);
    EXPECT_EQ(expectThrow<VaultError>([&] { add("a", "b"); }).code(), VaultError::Code::locked);

    store_.initialize(passwordKey_);
    EXPECT_TRUE(store_.isInitialized() && store_.isUnlocked());
    EXPECT_EQ(indexText(), "[]");

    // {"version":1,"wrappedByDevice":"…","wrappedByPassword":"…"}: two 60-byte boxes, slashes written as \/
    const std::string header = readText(store_.headerURL());
    const std::string b64 = R"(((?:[A-Za-z0-9+=]|\\/){80}))";
    std::smatch m;
    ASSERT_TRUE(std::regex_match(header, m, std::regex(R"(\{"version":1,"wrappedByDevice":")" + b64 +
                                                       R"(","wrappedByPassword":")" + b64 + R"("\})")))
        << header;
    for (std::string copy : {m[1].str(), m[2].str()})
        EXPECT_EQ(Base64::decode(std::regex_replace(copy, std::regex(R"(\\/)"), "/")).value_or(Bytes{}).size(), 60u);
    const auto h = VaultHeader::decode(textBytes(header));
    const auto kek = VaultKeychain::loadDeviceKEK();
    ASSERT_TRUE(kek);
    EXPECT_EQ(VaultCrypto::unwrap(*h.wrappedByDevice, *kek), VaultCrypto::unwrap(*h.wrappedByPassword, passwordKey_));
    EXPECT_EQ(fileMode(store_.headerURL()), 0600);
    EXPECT_EQ(fileMode(store_.indexURL()), 0600);

    // Set up already: nothing changes, the device key included.
    add("kept.txt", "kept");
    const auto index = indexText();
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.initialize(VaultCrypto::makeKey()); }).code(),
              VaultError::Code::alreadyInitialized);
    EXPECT_EQ(readText(store_.headerURL()), header);
    EXPECT_EQ(indexText(), index);
    EXPECT_EQ(VaultKeychain::loadDeviceKEK(), kek);
}

TEST_F(VaultStoreTest, IndexFormatAndItems) {
    store_.initialize(passwordKey_);
    const VaultItem item = add("notes.txt", "hello");
    EXPECT_EQ(item.blobName, Uuid::parse(item.blobName).value_or(item.id).toString()) << "upper-case UUID text";
    EXPECT_NE(item.blobName, item.id.toString());
    EXPECT_EQ(indexText(), R"([{"id":")" + item.id.toString() + R"(","name":"notes.txt","byteCount":5,"addedAt":)" +
                               Json::formatDouble(item.addedAt) + R"(,"blobName":")" + item.blobName + R"("}])");
    EXPECT_EQ(fs::file_size(store_.blobsDir() / item.blobName), 5u + 28u);
    EXPECT_EQ(store_.decryptedData(item), textBytes("hello"));

    const VaultItem empty = add("empty", "");
    EXPECT_EQ(fs::file_size(store_.blobsDir() / empty.blobName), 28u);
    EXPECT_TRUE(store_.decryptedData(empty).empty());

    const VaultItem again = add("notes.txt", "other");
    EXPECT_NE(again.blobName, item.blobName) << "names are never compared";
    store_.lock();
    EXPECT_EQ(store_.items().size(), 3u) << "listed while locked";
}

TEST_F(VaultStoreTest, ItemsSortNewestFirstAndKeepFileOrderForEqualDates) {
    std::string index = "[";
    for (const auto& [name, at] : {std::pair{"first", 100}, {"second", 100}, {"older", 50}, {"newest", 200}, {"third", 100}})
        index += std::string(index.size() > 1 ? "," : "") + R"({"id":")" + Uuid::random().toString() + R"(","name":")" +
                 name + R"(","byteCount":1,"addedAt":)" + std::to_string(at) + R"(,"blobName":"B"})";
    writeText(store_.indexURL(), index + "]");
    std::vector<std::string> names;
    for (const auto& i : store_.items()) names.push_back(i.name);
    EXPECT_EQ(names, (std::vector<std::string>{"newest", "first", "second", "third", "older"}));
}

TEST_F(VaultStoreTest, ADamagedIndexListsNothingAndIsNeverOverwritten) {
    store_.initialize(passwordKey_);
    const VaultItem item = add("a.txt", "a");
    const std::string missingBlobName =
        R"([{"id":")" + item.id.toString() + R"(","name":"a.txt","byteCount":1,"addedAt":1.5}])";
    const std::string entry = R"({"id":")" + item.id.toString() + R"(","name":"a","byteCount":1,"addedAt":1,"blobName":")";
    const std::string sameID = "[" + entry + item.blobName + "\"}," + entry + Uuid::random().toString() + "\"}]";
    for (const std::string& damaged : {std::string("{}"), std::string("[{]"), missingBlobName, sameID,
                                       std::string(R"([{"id":"nope","name":"a","byteCount":1,"addedAt":1,"blobName":"x"}])")}) {
        writeText(store_.indexURL(), damaged);
        EXPECT_TRUE(store_.items().empty()) << damaged;
        EXPECT_TRUE(store_.listing().indexDamaged) << "an empty list is no empty vault: " << damaged;
        const auto addError = expectThrow<VaultError>([&] { add("b.txt", "b"); });
        EXPECT_EQ(addError.description(), "Storage error: The vault index is damaged. Nothing was changed.");
        const auto removeError = expectThrow<VaultError>([&] { store_.removeItem(item); });
        EXPECT_EQ(removeError.message(), "The vault index is damaged. Nothing was changed.");
        EXPECT_EQ(indexText(), damaged);
        EXPECT_TRUE(fs::exists(store_.blobsDir() / item.blobName)) << "nothing was deleted";
    }
    EXPECT_EQ(namesIn(store_.blobsDir()).size(), 1u) << "no blob was written for the refused adds";
    writeText(dir_ / "copy.txt", "edit");  // a copy with nobody to ask is sealed all the same
    EXPECT_THROW(store_.addFile(dir_ / "copy.txt", {}, {}, true), VaultError);
    EXPECT_EQ(namesIn(store_.blobsDir()).size(), 2u) << "kept, to be listed as recovered";
    fs::remove(store_.indexURL());
    EXPECT_FALSE(store_.listing().indexDamaged) << "a missing index is an empty one";
}

TEST_F(VaultStoreTest, AnIndexItsReaderWouldRefuseIsNeverWritten) {
    store_.initialize(passwordKey_);
    // Just under the reader's limit, then one more item would cross it.
    const VaultItem one{Uuid::random(), std::string(4000, 'n'), 1, 1.5, Uuid::random().toString()};
    const std::size_t each = VaultIndex::encode({one, one}).size() - VaultIndex::encode({one}).size();
    const std::size_t base = VaultIndex::encode({one}).size() - each;
    std::vector<VaultItem> many((ReadOptions::jsonSizeLimit - base) / each, one);
    for (auto& item : many) item.id = Uuid::random(), item.blobName = Uuid::random().toString();
    writeText(store_.indexURL(), VaultIndex::encode(many));
    ASSERT_EQ(store_.items().size(), many.size());
    const auto before = indexText();
    const auto error = expectThrow<VaultError>([&] { add(one.name, "b"); });
    EXPECT_EQ(error.message(), VaultStore::indexFullMessage);
    EXPECT_EQ(indexText(), before);
    EXPECT_TRUE(namesIn(store_.blobsDir()).empty()) << "the refused file's blob is gone too";
    EXPECT_EQ(store_.items().size(), many.size());
}

TEST_F(VaultStoreTest, BlobsTheIndexDoesNotNameOrNamesTwiceAreNeverLost) {
    store_.initialize(passwordKey_);
    const auto a = add("a.txt", "alpha");
    const std::string olderIndex = indexText();
    const auto b = add("b.txt", "bravo!");
    writeText(store_.indexURL(), olderIndex);  // an older index put back unlists b
    add("c.txt", "c");
    const auto listed = store_.listing().items;
    const auto recovered = std::find_if(listed.begin(), listed.end(), [](const VaultItem& i) { return i.recovered; });
    ASSERT_EQ(listed.size(), 3u);
    ASSERT_NE(recovered, listed.end());
    EXPECT_EQ(recovered->blobName, b.blobName);
    EXPECT_EQ(recovered->name, "Recovered file " + b.blobName.substr(0, 8));
    EXPECT_EQ(store_.decryptedData(*recovered), textBytes("bravo!"));
    EXPECT_EQ(indexText().find(b.blobName), std::string::npos) << "listed, never written to the index";
    // A stray file named like an item's ID would share its ID, and removing it would take the item.
    std::string idName = a.id.toString();
    std::transform(idName.begin(), idName.end(), idName.begin(), ::tolower);
    writeText(store_.blobsDir() / idName, std::string(64, 'x'));
    EXPECT_EQ(store_.listing().items.size(), 3u);

    // Two entries naming one blob are reported; removing one keeps the blob for the other.
    auto entries = VaultIndex::decode(readBytes(store_.indexURL()));
    VaultItem twin = a;
    twin.id = Uuid::random();
    entries.push_back(twin);
    writeText(store_.indexURL(), VaultIndex::encode(entries));
    EXPECT_EQ(store_.listing().sharedBlobs, std::vector<std::string>{a.blobName});
    store_.removeItem(twin);
    EXPECT_EQ(store_.decryptedData(a), textBytes("alpha"));
    store_.removeItem(*recovered);
    EXPECT_FALSE(fs::exists(store_.blobsDir() / b.blobName)) << "a recovered item is removed like any other";

    // Swapped blobs: the entry's size gives the swap away before anything is decrypted.
    const VaultItem c = store_.items().front();
    fs::rename(store_.blobsDir() / a.blobName, dir_ / "held");
    fs::rename(store_.blobsDir() / c.blobName, store_.blobsDir() / a.blobName);
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.decryptedData(a); }).message(), VaultStore::blobMismatchMessage);
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.exportToTemp(a); }).message(), VaultStore::blobMismatchMessage);
}

TEST_F(VaultStoreTest, AHeaderWithoutVersionOrWithoutCopiesIsNotSetUp) {
    store_.initialize(passwordKey_);
    auto h = VaultHeader::decode(readBytes(store_.headerURL()));
    store_.lock();
    writeText(store_.headerURL(), R"({"wrappedByDevice":")" + Base64::encode(*h.wrappedByDevice) + R"(","wrappedByPassword":")" +
                                      Base64::encode(*h.wrappedByPassword) + R"("})");
    EXPECT_FALSE(store_.isInitialized());
    EXPECT_THROW(store_.unlockWithDeviceKey(), VaultError);
    EXPECT_THROW(store_.unlock(passwordKey_), VaultError);
    writeText(store_.headerURL(), R"({"version":1})");
    EXPECT_FALSE(store_.isInitialized());
    writeText(store_.headerURL(), R"({"version":1,"wrappedByPassword":null,"wrappedByDevice":")" +
                                      Base64::encode(*h.wrappedByDevice) + R"("})");
    EXPECT_TRUE(store_.isInitialized()) << "one copy is enough; null counts as absent";
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.unlock(passwordKey_); }).code(), VaultError::Code::notInitialized);
    EXPECT_NO_THROW(store_.unlockWithDeviceKey());
}

TEST_F(VaultStoreTest, ExportNamesPermissionsAndLock) {
    store_.initialize(passwordKey_);
    const auto pdf = add("report.final.pdf", "%PDF");
    const auto readme = add("README", "read me");
    const auto odd = add("x.b/../../escape", "odd");  // only a tampered index holds such a name

    const fs::path a = store_.exportToTemp(pdf);
    const fs::path b = store_.exportToTemp(readme);
    const fs::path c = store_.exportToTemp(odd);
    // "KorvelID-" + upper-case UUID text (+ "." + extension)
    const std::string uuid = "KorvelID-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";
    EXPECT_TRUE(std::regex_match(a.filename().string(), std::regex(uuid + "\\.pdf"))) << a;
    EXPECT_TRUE(std::regex_match(b.filename().string(), std::regex(uuid))) << b;
    EXPECT_TRUE(std::regex_match(c.filename().string(), std::regex(uuid))) << c;
    // Where an index name becomes a file name: never a path, a dot name or a control character.
    for (const auto& [name, plain] : std::vector<std::pair<std::string, std::string>>{
             {"../../escaped.txt", ".._.._escaped.txt"}, {"/abs/x", "_abs_x"}, {"..", "_"}, {".", "_"}, {"", "_"},
             {"a\nb\x7f.txt", "a_b_.txt"}, {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},
             {std::string(300, '\x80'), "_"}, {".." + std::string(300, '\x80') + ".", "_"}})  // nothing left after a cut
        EXPECT_EQ(VaultIndex::plainFileName(name), plain) << name;
    EXPECT_EQ(VaultIndex::plainFileName(std::string(300, 'n') + ".pdf"), std::string(251, 'n') + ".pdf");
    for (const auto& p : {a, b, c}) EXPECT_TRUE(p.parent_path() == vaultDir() / "open" && fileMode(p) == 0600) << p;
    EXPECT_EQ(fileMode(vaultDir() / "open"), 0700);
    EXPECT_EQ(readText(a), "%PDF");
    EXPECT_NE(store_.exportToTemp(pdf), a) << "each export is a new copy";
    // Names as long as Linux allows still come out (the atomic writer's temporary name included).
    EXPECT_EQ(readText(store_.exportToTemp(add("a." + std::string(220, 'e'), "long"))), "long");
    EXPECT_EQ(readText(store_.openCopy(add(std::string(255, 'n'), "n")).file), "n");

    store_.lock();
    EXPECT_TRUE(fs::is_directory(vaultDir() / "open") && fs::is_empty(vaultDir() / "open"));
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.exportToTemp(pdf); }).code(), VaultError::Code::locked);
}

// An unchanged opened copy goes at the end of its time; a changed one, or a file saved beside it,
// stays until the user decides (editors' own leftovers do not count).
TEST_F(VaultStoreTest, OpenedCopiesAreDeletedOnlyWhenNobodyChangedThem) {
    store_.initialize(passwordKey_);
    const auto note = add("../note.txt", "draft");
    OpenedCopies copies;
    const auto opened = store_.openCopy(note);
    EXPECT_EQ(opened.file.filename(), ".._note.txt");
    EXPECT_EQ(opened.file.parent_path().parent_path(), vaultDir() / "open");
    EXPECT_EQ(fileMode(opened.file.parent_path()), 0700);
    EXPECT_EQ(readText(opened.file), "draft");
    const auto id = copies.add(note, opened);
    writeText(opened.file.parent_path() / ".note.txt.swp", "editor state");
    fs::last_write_time(opened.file, fs::last_write_time(opened.file) + std::chrono::seconds(5));  // touched, same content
    EXPECT_FALSE(copies.changes(id));
    EXPECT_TRUE(copies.expire(id));
    EXPECT_FALSE(fs::exists(opened.file));

    // The editor saves after the copy was deleted: the file is back, and it stays.
    writeText(opened.file, "final text");
    EXPECT_EQ(copies.changes(id), opened.file);
    EXPECT_FALSE(copies.expire(id));
    EXPECT_EQ(copies.unasked(), std::vector<OpenedCopies::Id>{id});
    copies.markAsked(id);
    EXPECT_TRUE(copies.unasked().empty()) << "kept for now: not asked again until it changes";
    EXPECT_EQ(copies.changed(), std::vector<OpenedCopies::Id>{id});
    // A "Save As" beside the kept copy asks again, and saving the copy leaves it to be asked about.
    const fs::path final = opened.file.parent_path() / "note-final.txt";
    writeText(final, "final, saved as");
    EXPECT_EQ(copies.unasked(), std::vector<OpenedCopies::Id>{id});
    copies.markAsked(id);
    copies.saved(id, opened.file);
    EXPECT_EQ(copies.changes(id), final);
    EXPECT_EQ(copies.unasked(), std::vector<OpenedCopies::Id>{id});
    copies.saved(id, final);
    EXPECT_FALSE(copies.changes(id));

    // Saved under a new name beside another copy: that file holds the changes.
    const auto other = store_.openCopy(note);
    const auto second = copies.add(note, other);
    const fs::path savedAs = other.file.parent_path() / "note (edited).txt";
    writeText(savedAs, "saved as");
    EXPECT_EQ(copies.changes(second), savedAs);
    copies.discard(second);
    EXPECT_FALSE(fs::exists(other.file.parent_path()));
    store_.lock();
    EXPECT_TRUE(fs::is_empty(vaultDir() / "open"));
}

TEST_F(VaultStoreTest, MissingAndTamperedBlobs) {
    store_.initialize(passwordKey_);
    const auto gone = add("gone.txt", "gone");
    const auto bad = add("bad.txt", std::string(3000, 'x'));
    const auto shortBlob = add("short.txt", "s");
    fs::remove(store_.blobsDir() / gone.blobName);
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.exportToTemp(gone); }).code(), VaultError::Code::itemNotFound);
    store_.removeItem(gone);
    EXPECT_EQ(store_.items().size(), 2u);

    Bytes blob = readBytes(store_.blobsDir() / bad.blobName);
    blob[1500] ^= 1;
    std::ofstream(store_.blobsDir() / bad.blobName, std::ios::binary).write(reinterpret_cast<const char*>(blob.data()), std::streamsize(blob.size()));
    EXPECT_EQ(expectThrow<CryptoError>([&] { store_.exportToTemp(bad); }).code(), CryptoError::Code::corrupted);
    EXPECT_TRUE(namesIn(vaultDir() / "open").empty()) << "a tampered blob leaves no plaintext behind";

    fs::resize_file(store_.blobsDir() / shortBlob.blobName, 27);
    EXPECT_EQ(expectThrow<CryptoError>([&] { store_.decryptedData(shortBlob); }).code(), CryptoError::Code::corrupted);

    // A blob name from a tampered index never reaches outside the blobs folder.
    VaultItem escape = shortBlob;
    escape.blobName = "../vault.json";
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.decryptedData(escape); }).code(), VaultError::Code::itemNotFound);
    store_.removeItem(escape);
    EXPECT_TRUE(fs::exists(store_.headerURL()));
}

TEST_F(VaultStoreTest, AddFileRefusesSourcesItCannotSealWithoutWaitingOrReading) {
    EXPECT_THROW(store_.addFile(dir_ / "missing.txt"), FileError) << "even while locked";
    store_.initialize(passwordKey_);
    EXPECT_THROW(store_.addFile(dir_ / "missing.txt"), FileError);
    EXPECT_THROW(store_.addFile(dir_.path()), FileError);
    EXPECT_THROW(store_.addFile("/dev/zero"), FileError) << "a device would never end";
    TestSupport::makeFifo(dir_ / "pipe");
    EXPECT_TRUE(TestSupport::finishesWithin([&] { EXPECT_THROW(store_.addFile(dir_ / "pipe"), FileError); }, dir_ / "pipe"));
    // Past the cipher's limit for one nonce: refused up front with a reason, not after 64 GiB as
    // "corrupted".
    TestSupport::makeSparseFile(dir_ / "huge.img", VaultStore::maxItemBytes + 1);
    const auto tooLarge = expectThrow<FileError>([&] { store_.addFile(dir_ / "huge.img"); });
    EXPECT_NE(std::string(tooLarge.what()).find("too large"), std::string::npos) << tooLarge.what();
    EXPECT_EQ(indexText(), "[]");
    EXPECT_TRUE(namesIn(store_.blobsDir()).empty());
}

TEST_F(VaultStoreTest, ANameThatIsNotUtf8KeepsItsBytesAndTheIndexStaysReadable) {
    store_.initialize(passwordKey_);
    const std::string latin1 = "caf\xe9 \xff.txt";
    writeText(dir_ / latin1, "old disk");
    const auto item = store_.addFile(dir_ / latin1);
    EXPECT_EQ(item.name, latin1);
    EXPECT_NO_THROW(Json::parse(indexText()));
    const auto second = add("after.txt", "more");
    const auto listed = store_.items();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed.back().name, latin1);
    EXPECT_EQ(store_.decryptedData(listed.back()), textBytes("old disk"));
    store_.removeItem(second);
    EXPECT_EQ(store_.items().size(), 1u);
}

// Files replaced by a pipe, a huge sparse file or a link: nothing waits, runs out or is overwritten.
TEST_F(VaultStoreTest, HostileIndexAndHeaderFilesAreTreatedAsUnreadable) {
    store_.initialize(passwordKey_);
    const auto item = add("a.txt", "a");
    const auto headerText = readText(store_.headerURL());
    const auto indexBefore = readText(store_.indexURL());
    TestSupport::TempDir outside;
    writeText(outside / "index.json", indexText());
    const std::function<void(const fs::path&)> plants[] = {
        [](const fs::path& p) { TestSupport::makeFifo(p); },
        [](const fs::path& p) { TestSupport::makeSparseFile(p, std::uint64_t(1) << 40); },
        [&](const fs::path& p) { fs::create_symlink(outside / "index.json", p); },
        [&](const fs::path& p) { writeText(p, std::string(readText(outside / "index.json"), 1)); },  // cut short
    };
    for (const auto& plant : plants) {
        fs::remove(store_.indexURL());
        plant(store_.indexURL());
        std::vector<VaultItem> listed{item};
        EXPECT_TRUE(TestSupport::finishesWithin([&] { listed = store_.items(); }, store_.indexURL()));
        EXPECT_TRUE(listed.empty());
        EXPECT_TRUE(TestSupport::finishesWithin([&] { EXPECT_THROW(add("b.txt", "b"), VaultError); }, store_.indexURL()));
        EXPECT_TRUE(TestSupport::finishesWithin([&] { EXPECT_THROW(store_.removeItem(item), VaultError); }, store_.indexURL()));
        EXPECT_TRUE(fs::exists(store_.blobsDir() / item.blobName));

        fs::remove(store_.headerURL());
        plant(store_.headerURL());
        bool initialized = true;
        EXPECT_TRUE(TestSupport::finishesWithin([&] { initialized = store_.isInitialized(); }, store_.headerURL()));
        EXPECT_FALSE(initialized);
        // Damaged, not missing: setting up again would replace the device key that opens the files.
        EXPECT_TRUE(TestSupport::finishesWithin([&] {
            EXPECT_TRUE(store_.isDamaged());
            EXPECT_THROW(store_.initialize(passwordKey_), VaultError);
        }, store_.headerURL()));
        fs::remove(store_.headerURL());
        writeText(store_.headerURL(), headerText);
    }
    fs::remove(store_.indexURL());
    writeText(store_.indexURL(), indexBefore);
    fs::remove(store_.headerURL());  // lost while files remain: not a vault that was never set up
    EXPECT_THROW(store_.initialize(passwordKey_), VaultError) << "the index lists a file";
    fs::remove(store_.indexURL());
    EXPECT_THROW(store_.initialize(passwordKey_), VaultError) << "a stored file remains";
    writeText(store_.indexURL(), indexBefore);
    writeText(store_.headerURL(), headerText);
    store_.lock();
    ASSERT_NO_THROW(store_.unlockWithDeviceKey());
    EXPECT_EQ(store_.items().size(), 1u) << "the index and the device key survived every refusal";
    EXPECT_NE(readText(outside / "index.json").find("a.txt"), std::string::npos) << "the link's target is untouched";
}

// A vault, scratch or blobs folder replaced by a link: nothing empties, chmods or writes its target.
TEST_F(VaultStoreTest, FoldersThatAreLinksAreNeitherEmptiedNorUsed) {
    store_.initialize(passwordKey_);
    const auto item = add("a.txt", "a");
    TestSupport::TempDir outside;
    writeText(outside / "precious", "keep");
    fs::permissions(outside.path(), fs::perms(0755));
    fs::remove_all(vaultDir() / "open");
    fs::create_symlink(outside.path(), vaultDir() / "open");

    store_.lock();
    VaultStore(vaultDir()).removeLeftovers();
    EXPECT_EQ(readText(outside / "precious"), "keep");
    EXPECT_EQ(fs::status(outside.path()).permissions() & fs::perms::all, fs::perms(0755));
    store_.unlock(passwordKey_);
    EXPECT_THROW(store_.exportToTemp(item), FileError);
    EXPECT_EQ(namesIn(outside.path()), std::vector<std::string>{"precious"});

    const std::string stray = Uuid::random().toString();
    writeText(outside / stray, "not ours");
    fs::rename(vaultDir() / "blobs", dir_ / "real-blobs");
    fs::create_symlink(outside.path(), vaultDir() / "blobs");
    EXPECT_EQ(store_.items().size(), 1u);  // the stray file is not listed as recovered
    EXPECT_THROW(store_.removeItem(item), FileError);
    EXPECT_THROW(add("b.txt", "b"), VaultError);
    EXPECT_EQ(namesIn(outside.path()), (std::vector<std::string>{stray, "precious"}));  // UUID text sorts first
    EXPECT_EQ(store_.items().size(), 1u);

    // Folders made earlier with a wider mode are narrowed.
    fs::remove(vaultDir() / "blobs");
    fs::rename(dir_ / "real-blobs", vaultDir() / "blobs");
    fs::permissions(vaultDir(), fs::perms(0755));
    fs::permissions(vaultDir() / "blobs", fs::perms(0755));
    VaultStore again(vaultDir());
    EXPECT_EQ(fileMode(vaultDir()), 0700);
    EXPECT_EQ(fileMode(vaultDir() / "blobs"), 0700);

    fs::create_directory(outside / "open");
    writeText(outside / "open" / "kept", "keep");
    fs::create_symlink(outside.path(), dir_ / "linked");
    VaultStore(dir_ / "linked").lock();
    EXPECT_EQ(readText(outside / "open" / "kept"), "keep");
}

TEST_F(VaultStoreTest, UnlockPathsAndRewrapReplacingOnlyThePasswordCopy) {
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.rewrapForNewPassword(passwordKey_); }).code(), VaultError::Code::locked);
    store_.initialize(passwordKey_);
    const auto item = add("a.txt", "a");
    const auto before = VaultHeader::decode(readBytes(store_.headerURL()));
    const auto newKey = VaultCrypto::makeKey();
    store_.rewrapForNewPassword(newKey);
    const auto after = VaultHeader::decode(readBytes(store_.headerURL()));
    EXPECT_EQ(after.version, before.version);
    EXPECT_EQ(after.wrappedByDevice, before.wrappedByDevice);
    EXPECT_NE(after.wrappedByPassword, before.wrappedByPassword);

    store_.lock();
    EXPECT_EQ(expectThrow<CryptoError>([&] { store_.unlock(passwordKey_); }).description(), "Incorrect password.");
    EXPECT_FALSE(store_.isUnlocked());
    store_.unlock(newKey);
    EXPECT_EQ(store_.decryptedData(item), textBytes("a"));
    store_.lock();
    store_.unlockWithDeviceKey();
    store_.lock();
    ASSERT_TRUE(VaultKeychain::storeDeviceKEK(VaultCrypto::makeKey()));
    EXPECT_EQ(expectThrow<CryptoError>([&] { store_.unlockWithDeviceKey(); }).code(), CryptoError::Code::corrupted);
    VaultKeychain::remove();
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.unlockWithDeviceKey(); }).code(), VaultError::Code::locked);
    store_.unlock(newKey);
    EXPECT_TRUE(store_.isUnlocked()) << "the password path works without the device key";

    writeText(store_.headerURL(), "{");
    EXPECT_EQ(expectThrow<VaultError>([&] { store_.rewrapForNewPassword(newKey); }).code(), VaultError::Code::notInitialized);
}

// --- Failed writes: the old state or the new one, never a mix ---------------------------------

TEST_F(VaultStoreTest, FailedWritesDuringInitializeAddRemoveAndRewrapKeepTheOldState) {
    for (const char* failing : {"vault.json", "index.json"}) {
        writer_.shouldFail = [failing](int, const fs::path& p) { return p.filename() == failing; };
        EXPECT_THROW(store_.initialize(passwordKey_), FileError) << failing;
        EXPECT_FALSE(store_.isInitialized()) << failing;
        EXPECT_FALSE(store_.isUnlocked()) << failing;
    }
    writer_.shouldFail = nullptr;
    store_.initialize(passwordKey_);
    const auto item = add("a.txt", "a");
    const auto index = indexText();
    const auto header = readText(store_.headerURL());

    writer_.shouldFail = [](int, const fs::path& p) { return p.parent_path().filename() == "blobs"; };
    const auto blobError = expectThrow<VaultError>([&] { add("new.txt", "new"); });
    EXPECT_NE(blobError.description().find("Storage error: Injected write failure"), std::string::npos);
    EXPECT_EQ(indexText(), index);
    EXPECT_EQ(namesIn(store_.blobsDir()), std::vector<std::string>{item.blobName});

    writer_.shouldFail = [](int, const fs::path& p) { return p.filename() == "index.json"; };
    EXPECT_THROW(add("new.txt", "new"), FileError);
    EXPECT_EQ(indexText(), index);
    EXPECT_EQ(namesIn(store_.blobsDir()), std::vector<std::string>{item.blobName}) << "the unlisted blob was removed";
    writeText(dir_ / "copy.txt", "edit");
    EXPECT_THROW(store_.addFile(dir_ / "copy.txt", {}, {}, true), FileError);
    EXPECT_EQ(namesIn(store_.blobsDir()).size(), 2u) << "unless it holds a copy about to be deleted";
    EXPECT_THROW(store_.removeItem(item), FileError);
    EXPECT_EQ(indexText(), index);
    EXPECT_EQ(store_.decryptedData(item), textBytes("a")) << "still listed and still readable";

    writer_.shouldFail = [](int, const fs::path& p) { return p.filename() == "vault.json"; };
    EXPECT_THROW(store_.rewrapForNewPassword(VaultCrypto::makeKey()), FileError);
    EXPECT_EQ(readText(store_.headerURL()), header);
    store_.lock();
    store_.unlock(passwordKey_);
    EXPECT_TRUE(store_.isUnlocked()) << "the old password copy is kept";
}

// Large files stream in the same on-disk format. A write that fails halfway through one (here the
// file-size limit stands in for a full disk): the error reaches the caller and no partial file is left.
TEST_F(VaultStoreTest, LargeFilesStreamAndAWriteFailingHalfwayLeavesNoPartialFile) {
    store_.initialize(passwordKey_);
    const fs::path source = dir_ / "big.bin";
    Bytes content((3u << 20) + 123);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = std::uint8_t((i * 2654435761u) >> 13);
    std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    const auto kept = add("kept.txt", "kept");
    const auto index = indexText();

    struct rlimit unlimited {};
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    struct rlimit small = unlimited;
    small.rlim_cur = (3u << 20) / 2;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);

    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto addError = expectThrow<VaultError>([&] { store_.addFile(source); });
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_NE(addError.description().find("File too large"), std::string::npos) << addError.description();
    EXPECT_EQ(indexText(), index);
    EXPECT_EQ(namesIn(store_.blobsDir()), std::vector<std::string>{kept.blobName});

    const VaultItem item = store_.addFile(source);
    EXPECT_EQ(item.byteCount, std::int64_t(content.size()));
    const Bytes blob = readBytes(store_.blobsDir() / item.blobName);
    EXPECT_EQ(blob.size(), content.size() + 28);
    // One sealed box for the whole file, exactly as a one-shot seal would make it.
    const auto h = VaultHeader::decode(readBytes(store_.headerURL()));
    EXPECT_EQ(VaultCrypto::decrypt(blob, VaultCrypto::unwrap(*h.wrappedByPassword, passwordKey_)), content);
    EXPECT_EQ(store_.decryptedData(item), content);
    EXPECT_EQ(readBytes(store_.exportToTemp(item)), content);

    store_.lock();  // removes that copy
    store_.unlock(passwordKey_);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(store_.exportToTemp(item), FileError);
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_TRUE(namesIn(vaultDir() / "open").empty());
}

}  // namespace
