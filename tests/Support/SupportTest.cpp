#include <gtest/gtest.h>

#include <QScopeGuard>

#include <unistd.h>

#include <cstring>
#include <limits>
#include <sstream>

#include "Support/AppPaths.h"
#include "Support/Bytes.h"
#include "Support/DataFolderLock.h"
#include "Support/FileIO.h"
#include "Support/Json.h"
#include "Support/SymmetricKey.h"
#include "TestSupport.h"

using namespace TestSupport;

namespace {
Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }
}  // namespace

TEST(Base64, RoundTripsRfcVectorsAndRejectsMalformedText) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Base64::encode(bytesOf(plain)), encoded);
        EXPECT_EQ(Base64::decode(encoded), bytesOf(plain)) << encoded;
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[std::size_t(i)] = std::uint8_t(i);
    EXPECT_EQ(Base64::decode(Base64::encode(all)), all);

    for (const char* bad : {"Zg", "Zg=", "Z===", "Zm9v=Zg=", "Zm9\n", "Zm-v", "Zg==Zg==", "=Zg="})
        EXPECT_FALSE(Base64::decode(bad).has_value()) << bad;
}

TEST(Uuid, ParsesEitherCaseWritesUpperCaseAndRandomIsVersion4) {
    const auto u = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->toString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(Uuid::parse(u->toString()), u);
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5G",
                            "E621E1F8-C36C-495A-93FC_0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0"})
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    const auto text = Uuid::random().toString();
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
}

TEST(JsonWriter, WritesCompactEscapedOutputInKeyOrderAndRefusesNonFiniteNumbers) {
    JsonWriter w;
    w.beginObject()
        .key("z").string("a/b \"q\" \\ \n\t\x01 ü")
        .key("a").beginArray().integer(-3).boolean(true).number(0.1f).number(0.1).endArray()
        .key("e").beginObject().endObject()
        .key("l").beginArray().endArray()
        .endObject();
    EXPECT_EQ(w.str(),
              "{\"z\":\"a\\/b \\\"q\\\" \\\\ \\n\\t\\u0001 ü\",\"a\":[-3,true,0.1,0.1],\"e\":{},\"l\":[]}");
    // What we write, we read back identically (the reader accepts "\/").
    const auto doc = Json::parse(w.str());
    EXPECT_EQ(doc["z"].get<std::string>(), "a/b \"q\" \\ \n\t\x01 ü");
    JsonWriter b;
    b.beginArray().bytes(Bytes{0xfb, 0xff, 0xff}).bytes(Bytes{}).endArray();
    EXPECT_EQ(b.str(), R"(["+\/\/\/",""])");
    EXPECT_EQ(Json::toBytes(Json::parse(b.str())[0], "b"), (Bytes{0xfb, 0xff, 0xff}));
    // Non-finite numbers are refused instead of writing invalid JSON.
    EXPECT_THROW(JsonWriter().number(std::numeric_limits<float>::quiet_NaN()), JsonError);
    EXPECT_THROW(JsonWriter().number(std::numeric_limits<double>::infinity()), JsonError);
}

TEST(JsonWriter, NeverWritesTextItsReaderRefuses) {
    // Invalid UTF-8: a Latin-1 name, an overlong "/", a surrogate, beyond U+10FFFF, cut short.
    const std::pair<const char*, const char*> cases[] = {
        {"caf\xe9.txt", "caf\xEF\xBF\xBD.txt"},
        {"a\xc0\xaf" "b", "a\xEF\xBF\xBD\xEF\xBF\xBD" "b"},
        {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xf4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"end\xe2\x82", "end\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"ok \xe2\x82\xac \xf0\x9f\x98\x80", "ok \xe2\x82\xac \xf0\x9f\x98\x80"},
    };
    for (const auto& [text, readable] : cases) {
        JsonWriter w;
        w.beginArray().string(text).endArray();
        nlohmann::json doc;
        ASSERT_NO_THROW(doc = Json::parse(w.str())) << text;
        EXPECT_EQ(doc[0].get<std::string>(), readable);
        EXPECT_EQ(Json::isValidUtf8(text), std::string_view(text) == readable);
    }
}

TEST(JsonNumbers, FloatsUseShortestTextThatReadsBackToTheSameFloat) {
    EXPECT_EQ(Json::formatFloat(0.3f), "0.3");
    EXPECT_EQ(Json::formatFloat(0.35f), "0.35");
    EXPECT_EQ(Json::formatFloat(1.0f), "1");
    EXPECT_EQ(Json::formatFloat(-0.0f), "-0.0");
    EXPECT_EQ(Json::formatDouble(8.0), "8");
    // Rounding the decimal to double and then to float lands one step off for these.
    for (const float f : {7.038531e-26f, 1.0000001f, 3.4028235e38f, 1.0e-45f}) {
        const float back = Json::toFloat(Json::parse(Json::formatFloat(f)), "x");
        EXPECT_EQ(std::memcmp(&back, &f, sizeof f), 0) << Json::formatFloat(f);
    }
    // (Any other float through the writer and back: the enrolment file's fuzz target, run by the suite.)
}

TEST(JsonReaders, AreStrictAboutTypesAndRanges) {
    EXPECT_EQ(Json::toInt(Json::parse("2.0"), "k"), 2);
    for (const char* bad : {"2.5", "1e30", "18446744073709551615", "\"2\""})
        EXPECT_THROW(Json::toInt(Json::parse(bad), "k"), JsonError) << bad;
    EXPECT_THROW(Json::toFloat(Json::parse("1e39"), "k"), JsonError);
    EXPECT_THROW(Json::toFloat(Json::parse("true"), "k"), JsonError);
    EXPECT_EQ(Timestamp::unixMillis(Json::toDouble(Json::parse("1e300"), "addedAt")), 8'640'000'000'000'000);
    EXPECT_THROW(Json::toBool(Json::parse("1"), "k"), JsonError);
    EXPECT_THROW(Json::toBytes(Json::parse("\"Zg\""), "k"), JsonError);
    EXPECT_THROW(Json::toUuid(Json::parse("\"nope\""), "k"), JsonError);
    EXPECT_THROW(Json::member(Json::parse("{}"), "k"), JsonError);
    EXPECT_EQ(Json::optionalMember(Json::parse("{\"k\":null}"), "k"), nullptr);
    for (const char* bad : {"", "{", "[1,]", "{\"a\":1,}", "nul", "\"\xff\"", "{\"a\" 1}", "01"})
        EXPECT_THROW(Json::parse(std::string_view(bad)), JsonError) << bad;
}

TEST(JsonReaders, SurviveDeepNesting) {
    std::string deep(200000, '[');
    EXPECT_THROW(Json::parse(deep), JsonError);
    std::string closed = std::string(20000, '[') + std::string(20000, ']');
    EXPECT_NO_THROW(Json::parse(closed));
}

TEST(AtomicFile, ReplacesWholeFileOwnerOnlyAndOnFailureKeepsTheOldFileAndNoTemporaries) {
    TempDir dir;
    const auto file = dir / "state.json";
    writeText(file, "old");
    writeFileAtomically(file, std::string_view("new content"));
    EXPECT_EQ(readText(file), "new content");
    EXPECT_EQ(fileMode(file), 0600);
    const auto longest = dir / std::string(255, 'n');
    writeFileAtomically(longest, std::string_view("a name of 255 bytes"));
    std::filesystem::remove(longest);

    EXPECT_THROW(writeFileAtomically(dir / "missing-folder" / "x.json", std::string_view("data")), FileError);
    // Renaming over a directory fails after the temporary was written: the temporary is removed.
    std::filesystem::create_directory(dir / "taken");
    writeText(dir / "taken" / "keep", "k");
    EXPECT_THROW(writeFileAtomically(dir / "taken", std::string_view("data")), FileError);
    EXPECT_EQ(readText(dir / "taken" / "keep"), "k");
    EXPECT_EQ(readText(file), "new content");
    const auto count = [&] { return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()); };
    EXPECT_EQ(count(), 2) << "state.json and taken/";
    // Nameless until complete (the temporary folder can hold unnamed files): a process killed
    // mid-write leaves nothing, even in a folder nobody tidies.
    FileWriter::system().streamAtomically(dir / "export.bin", [&](const ByteSink& sink) {
        sink(std::span(reinterpret_cast<const std::uint8_t*>("half"), 4));
        EXPECT_EQ(count(), 2);
    });
    EXPECT_EQ(readText(dir / "export.bin"), "half");
}

TEST(ReadWholeFile, RefusesLinksPipesAndOversizeFilesWithoutBlockingOrReadingThem) {
    TempDir dir;
    writeText(dir / "f", std::string("a\0b", 3));
    const auto r = readWholeFile(dir / "f");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.data, Bytes({'a', 0, 'b'}));
    EXPECT_EQ(readWholeFile(dir / "nothing").status, ReadResult::Status::missing);
    EXPECT_EQ(readWholeFile(dir.path()).status, ReadResult::Status::unreadable);

    fs::create_symlink(dir / "f", dir / "link");
    EXPECT_EQ(readWholeFile(dir / "link").status, ReadResult::Status::unreadable);
    EXPECT_TRUE(readWholeFile(dir / "link", {.followLinks = true}).ok());
    fs::create_symlink("/dev/zero", dir / "zero");
    EXPECT_EQ(readWholeFile(dir / "zero", {.followLinks = true}).status, ReadResult::Status::unreadable);

    makeFifo(dir / "pipe");
    ReadResult piped;
    EXPECT_TRUE(finishesWithin([&] { piped = readWholeFile(dir / "pipe"); }, dir / "pipe"));
    EXPECT_EQ(piped.status, ReadResult::Status::unreadable);

    makeSparseFile(dir / "huge", std::uint64_t(1) << 40);
    EXPECT_EQ(readWholeFile(dir / "huge").status, ReadResult::Status::tooLarge);
    EXPECT_EQ(readWholeFile(dir / "f", {.maxBytes = 2}).status, ReadResult::Status::tooLarge);
    EXPECT_TRUE(readWholeFile(dir / "f", {.maxBytes = 3}).ok());
}

TEST(AtomicWriteLeftovers, OnlyTemporariesOfAtomicWritesAreRemoved) {
    TempDir dir;
    writeFileAtomically(dir / "settings.json", std::string_view("{}"));
    // What a process killed between mkostemp and rename leaves, next to things that must stay.
    const char* leftovers[] = {".settings.json.a1B2c3", ".secrets.json.XyZ789", ".E621E1F8-C36C-495A-93FC-0C247A3E6E5F.Qw3rTy"};
    const char* kept[] = {"settings.json", ".lock", ".settings.json.a1B2c", ".settings.json-a1B2c3", "x.json.a1B2c3"};
    for (const char* name : leftovers) writeText(dir / name, "secret");
    for (const char* name : kept)
        if (!fs::exists(dir / name)) writeText(dir / name, "keep");
    fs::create_directory(dir / ".folder.json.a1B2c3");
    TempDir outside;
    writeText(outside / "target", "outside");
    fs::create_symlink(outside / "target", dir / ".linked.json.a1B2c3");

    EXPECT_EQ(removeAtomicWriteLeftovers(dir.path()), std::size(leftovers));
    for (const char* name : leftovers) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const char* name : kept) EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::is_directory(dir / ".folder.json.a1B2c3"));
    EXPECT_EQ(readText(outside / "target"), "outside");
}

TEST(PrivateFolders, ALinkIsNeverFollowed) {
    TempDir dir, outside;
    writeText(outside / "keep", "k");
    fs::create_symlink(outside.path(), dir / "open");
    EXPECT_THROW(ensurePrivateFolder(dir / "open"), FileError);
    // Inside a real folder: links are removed themselves, folders recursively.
    ensurePrivateFolder(dir / "real");
    EXPECT_EQ(fs::status(dir / "real").permissions() & fs::perms::all, fs::perms::owner_all);
    fs::create_directories(dir / "real" / "sub" / "deeper");
    writeText(dir / "real" / "sub" / "deeper" / "f", "x");
    fs::create_symlink(outside.path(), dir / "real" / "link");
    removeFolderContents(dir / "real");
    EXPECT_TRUE(fs::is_empty(dir / "real"));
    EXPECT_EQ(readText(outside / "keep"), "k");
    // Folders a program left read-only or closed are emptied too, as their owner.
    TempDir own;
    asUnprivilegedUser(own.path(), [&] {
        for (const auto mode : {0555, 0000}) {
            fs::create_directories(own / "unpacked" / "inner");
            writeText(own / "unpacked" / "inner" / "plain.txt", "secret");
            ::chmod((own / "unpacked" / "inner").c_str(), mode_t(mode));
            ::chmod((own / "unpacked").c_str(), mode_t(mode));
            removeFolderContents(own.path());
            EXPECT_TRUE(fs::is_empty(own.path())) << std::oct << mode;
        }
    });
}

TEST(AppPaths, FollowsXdgDataHomeAndTheApplicationIdentifier) {
    ScopedDataHome home;
    AppPaths::setApplicationIdentifier(std::nullopt);
    const auto dir = AppPaths::supportDirectory();
    EXPECT_EQ(dir, home.path() / "KorvelID" / "com.korvel.id.unbundled");
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    EXPECT_EQ(fileMode(dir), 0700);

    {
        AppPaths::setApplicationIdentifier("com.korvel.id");
        const auto unbundled = qScopeGuard([] { AppPaths::setApplicationIdentifier(std::nullopt); });
        EXPECT_EQ(AppPaths::supportDirectory(), home.path() / "KorvelID" / "com.korvel.id");
    }

    // A relative XDG_DATA_HOME is invalid and ignored in favour of ~/.local/share.
    TestSupport::ScopedEnv relative{{"XDG_DATA_HOME", "relative/path"}};
    EXPECT_EQ(AppPaths::dataHome(), std::filesystem::path(std::getenv("HOME")) / ".local" / "share");
}

TEST(DataFolderLock, OneHolderAtATimeAndTheHolderIsNamed) {
    TempDir dir;
    auto first = DataFolderLock::tryAcquire(dir.path());
    ASSERT_TRUE(first.lock) << first.error;
    // flock conflicts between open file descriptions, so a second attempt in this process stands in
    // for another process.
    const auto second = DataFolderLock::tryAcquire(dir.path());
    EXPECT_FALSE(second.lock);
    EXPECT_EQ(second.holder, ::getpid());
    EXPECT_EQ(DataFolderLock::holder(dir.path()), ::getpid());
    // Deleting the lock file under the holder frees nothing.
    fs::remove(dir.path() / DataFolderLock::fileName);
    EXPECT_FALSE(DataFolderLock::tryAcquire(dir.path()).lock);
    EXPECT_TRUE(DataFolderLock::holder(dir.path()).has_value());

    first.lock.reset();
    EXPECT_FALSE(DataFolderLock::holder(dir.path()).has_value());
    EXPECT_TRUE(DataFolderLock::tryAcquire(dir.path()).lock);

    // A link planted in place of the lock file is not followed.
    TempDir other;
    fs::remove(dir.path() / DataFolderLock::fileName);
    fs::create_symlink(other.path() / "target", dir.path() / DataFolderLock::fileName);
    const auto linked = DataFolderLock::tryAcquire(dir.path());
    EXPECT_FALSE(linked.lock);
    EXPECT_FALSE(fs::exists(other.path() / "target"));

    // Nor is a hard link to another file truncated to hold our PID; only the lock's holder tidies.
    fs::remove(dir.path() / DataFolderLock::fileName);
    writeText(other.path() / "notes.txt", "important");
    fs::create_hard_link(other.path() / "notes.txt", dir.path() / DataFolderLock::fileName);
    EXPECT_FALSE(DataFolderLock::tryAcquire(dir.path()).lock);
    EXPECT_EQ(readText(other.path() / "notes.txt"), "important");
    EXPECT_FALSE(DataFolderLock::heldHere());
    fs::remove(dir.path() / DataFolderLock::fileName);
    if (::chown(dir.path().c_str(), 65534, 65534) == 0) {  // root: another user's folder is not used
        EXPECT_FALSE(DataFolderLock::tryAcquire(dir.path()).lock);
        ASSERT_EQ(::chown(dir.path().c_str(), ::geteuid(), ::getegid()), 0);
    }
    {
        const auto held = DataFolderLock::tryAcquire(dir.path());
        EXPECT_TRUE(held.lock && DataFolderLock::heldHere());
    }
    EXPECT_FALSE(DataFolderLock::heldHere());
}

TEST(SecretHygiene, MovingAPasswordLeavesNoCopyInTheSourceString) {
    // Short passwords live inside the string object itself, where a plain move leaves them.
    for (std::string typed : {std::string("hunter2"), std::string(40, 'p')}) {
        std::string source = typed;
        SecretString held(std::move(source));
        EXPECT_EQ(held.str(), typed);
        EXPECT_EQ(std::string_view(source.data(), source.capacity()).find_first_not_of('\0'), std::string_view::npos);
        SecretString moved(std::move(held));
        EXPECT_EQ(moved.str(), typed);
        EXPECT_EQ(std::string_view(held.str().data(), held.str().capacity()).find_first_not_of('\0'), std::string_view::npos);
    }
}

TEST(SecretHygiene, ALongLivedKeyIsLeftOutOfCoreDumps) {
    const SymmetricKey key = SymmetricKey::random();
    ProtectedKey held(key);
    EXPECT_EQ(held.key(), key);
    // The mapping holding the key carries the kernel's "dd" (do not dump) flag.
    const auto address = reinterpret_cast<std::uintptr_t>(held.key().bytes().data());
    const std::string smaps = readText("/proc/self/smaps");
    std::istringstream lines(smaps);
    bool inMapping = false, found = false;
    for (std::string line; std::getline(lines, line);) {
        std::uintptr_t from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2 && line.find(':') > line.find(' ')) {
            inMapping = from <= address && address < to;
            continue;
        }
        if (inMapping && line.starts_with("VmFlags:")) {
            found = true;
            EXPECT_NE(line.find(" dd"), std::string::npos) << line;
            // Locked only where RLIMIT_MEMLOCK allows (and not under ASan, whose mlock does nothing).
            if (line.find(" lo") != std::string::npos) {
                EXPECT_TRUE(held.isLocked());
            }
        }
    }
    EXPECT_TRUE(found);
}
