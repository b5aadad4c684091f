// korvel-id-cli as a user runs it: the real program in a temporary data folder, with the test
// desktop's keyring (its items under this process's test prefix).
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <algorithm>

#include "Face/FaceAttemptLimit.h"
#include "Identity/MasterPassword.h"
#include "SecretStoreFixture.h"
#include "Support/DataFolderLock.h"
#include "TestSupport.h"

using namespace TestSupport;

namespace {

struct CliRun {
    int status = -1;
    std::string out, err;
};

class CliTest : public ::testing::Test {
protected:
    TempDir home, work;
    bool ownSecrets = false;

    // `args` go to the program unchanged; with `throughShell` they are a shell command line whose
    // "$0" is the program (for file names that are not UTF-8, which QString cannot carry).
    CliRun cli(const QStringList& args, const std::string& input = {}, bool throughShell = false) {
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", QString::fromStdString(home.path().string()));
        env.insert("KORVEL_SECRET_SERVICE_PREFIX", QString::fromStdString(testServicePrefix()));
        // Tests that keep no secret use the program's own secrets file: a master password another
        // test holds in the shared keyring meanwhile would make their changes ask for it.
        if (ownSecrets) env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvel-test-bus");
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QString::fromStdString(work.path().string()));
        if (throughShell) p.start("/bin/sh", {"-c", args.join(' '), KORVEL_CLI});
        else p.start(KORVEL_CLI, args);
        p.write(input.data(), static_cast<qint64>(input.size()));
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(120'000)) << args.join(' ').toStdString();
        const std::string err = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << args.join(' ').toStdString() << " died:\n" << err;
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(), err};
    }
    std::filesystem::path dataFolder() const { return home.path() / "KorvelID" / "com.korvel.id"; }
};

QJsonArray jsonArray(const std::string& text) { return QJsonDocument::fromJson(QByteArray::fromStdString(text)).array(); }

TEST_F(CliTest, PasswordAndVaultRoundTrip) {
    // The keyring outlives the test's data folder: start without a master password (the
    // program's items are this process's, under its test prefix).
    ScopedSecretStore secrets(makeTestSecretStore(home.path()));
    MasterPassword::reset();
    // A line without end is refused after the cap, not read whole; a new password with a NUL never set.
    const CliRun endless = cli({"password", "set", "--password-stdin"}, std::string(std::size_t(16) << 20, 'x'));
    EXPECT_EQ(endless.status, 1);
    EXPECT_NE(endless.err.find("longer than 1024 bytes"), std::string::npos) << endless.err;
    EXPECT_EQ(cli({"password", "set", "--password-stdin"}, std::string("secret\0one\n", 11)).status, 1);
    ASSERT_EQ(cli({"password", "set", "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(cli({"password", "set", "--password-stdin"}, "another1\n").status, 1);
    EXPECT_EQ(cli({"password", "verify", "--password-stdin"}, "wrong-one\n").status, 1);
    EXPECT_EQ(cli({"password", "set", "--password-stdin"}, "short\n").status, 1);
    ASSERT_EQ(cli({"vault", "setup", "--password-stdin"}, "secret-one\n").status, 0);

    // Changes to who can unlock ask for the master password while one is set; tightening does not.
    EXPECT_EQ(cli({"settings", "set", "requireLiveness", "false", "--password-stdin"}, "wrong-one\n").status, 1);
    EXPECT_EQ(cli({"settings", "get", "requireLiveness"}).out, "true (default)\n") << "unchanged";
    EXPECT_EQ(cli({"settings", "set", "requireLiveness", "false", "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(cli({"settings", "set", "requireLiveness", "true"}).status, 0);
    EXPECT_EQ(cli({"settings", "set", "scanTimeout", "600", "--password-stdin"}, "wrong-one\n").status, 1)
        << "a longer scan is more tries for a look-alike";
    EXPECT_EQ(cli({"settings", "set", "scanTimeout", "4"}).status, 0);
    EXPECT_EQ(cli({"faces", "remove", "--all", "--password-stdin"}, "wrong-one\n").status, 1);
    EXPECT_EQ(cli({"faces", "remove", "--all", "--password-stdin"}, "secret-one\n").status, 0);

    writeText(work / "small.txt", "hello");
    writeText(work / "other.bin", "other");
    writeText(work / "caf\xe9.txt", "latin-1 name");
    const CliRun added = cli({"exec \"$0\" vault add small.txt other.bin caf?.txt --password-stdin"}, "secret-one\n", true);
    ASSERT_EQ(added.status, 0) << added.err;

    const QJsonArray items = jsonArray(cli({"vault", "list", "--json"}).out);
    ASSERT_EQ(items.size(), 3);
    for (const auto& v : items) {
        const auto o = v.toObject();
        EXPECT_EQ(o.keys(), (QStringList{"addedAt", "id", "name", "size"}));
        EXPECT_TRUE(o["addedAt"].toString().endsWith('Z'));
        if (o["name"] == "other.bin") {
            EXPECT_EQ(o["size"].toInteger(), 5);
        }
    }

    // Export twice: the second copy gets a numbered name, nothing is overwritten.
    TempDir out;
    const QString outDir = QString::fromStdString(out.path().string());
    EXPECT_EQ(cli({"vault", "export", "small.txt", "--to", outDir, "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(cli({"vault", "export", "small.txt", "--to", outDir, "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(readText(out.path() / "small.txt"), "hello");
    EXPECT_EQ(readText(out.path() / "small (2).txt"), "hello");
    EXPECT_EQ(cli({"vault", "export", "nothing-such", "--to", outDir, "--password-stdin"}, "secret-one\n").status, 1);

    // A name in the index that is a path is written as a plain file name inside --to.
    const auto index = dataFolder() / "Vault" / "index.json";
    std::string indexText = readText(index);
    indexText.replace(indexText.find("\"other.bin\""), 11, "\"..\\/..\\/escaped.txt\"");
    writeText(index, indexText);
    EXPECT_EQ(cli({"vault", "export", "../../escaped.txt", "--to", outDir, "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(readText(out.path() / ".._.._escaped.txt"), "other");
    EXPECT_FALSE(std::filesystem::exists(out.path().parent_path().parent_path() / "escaped.txt"));

    EXPECT_EQ(cli({"vault", "remove", "../../escaped.txt", "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(jsonArray(cli({"vault", "list", "--json"}).out).size(), 2);

    // After a change only the new password opens the vault, and every item still decrypts.
    EXPECT_EQ(cli({"password", "change", "--password-stdin"}, "wrong-old\nsecret-two\n").status, 1);
    ASSERT_EQ(cli({"password", "change", "--password-stdin"}, "secret-one\nsecret-two\n").status, 0);
    EXPECT_EQ(cli({"vault", "export", "small.txt", "--to", outDir, "--password-stdin"}, "secret-one\n").status, 1);
    const CliRun exported = cli({"vault", "export", "small.txt", "--to", outDir, "--password-stdin"}, "secret-two\n");
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(readText(out.path() / "small (3).txt"), "hello");

    // Nothing decrypted went through the data folder.
    EXPECT_FALSE(std::filesystem::exists(dataFolder() / "Vault" / "open"));

    // A damaged index is no empty vault: the list fails, the status says so.
    writeText(index, "[{]");
    const CliRun damaged = cli({"vault", "list"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.err.find("index is damaged"), std::string::npos) << damaged.err;
    EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(cli({"status", "--json"}).out))["vaultIndexDamaged"].toBool());
    MasterPassword::reset();
}

TEST_F(CliTest, UsageErrorsHelpAndSettings) {
    ownSecrets = true;
    for (const QStringList& bad : {QStringList{"bogus"}, {"vault"}, {"vault", "list", "--bogus"}, {"vault", "export", "x"},
                                   {"settings", "set", "minQuality", "1.5"}, {"settings", "set", "scanTimeout", "soon"},
                                   {"settings", "set", "nothing", "1"}, {"faces", "enroll", "--camera", "1", "--video", "x"}})
        EXPECT_EQ(cli(bad).status, 2) << bad.join(' ').toStdString();
    for (const QStringList& help : {QStringList{"--help"}, {"vault", "--help"}, {"vault", "export", "--help"}}) {
        const CliRun r = cli(help);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("Usage: korvel-id-cli"), std::string::npos);
    }

    // The file's format is the settings store's own; here: a value set, read back and reset.
    ASSERT_EQ(cli({"settings", "set", "matchThreshold", "0.25"}).status, 0);
    EXPECT_EQ(cli({"settings", "get", "matchThreshold"}).out, "0.25\n");
    ASSERT_EQ(cli({"settings", "set", "matchThreshold", "default"}).status, 0);
    EXPECT_EQ(cli({"settings", "get", "matchThreshold"}).out, "0.3 (default)\n");
    const std::string all = cli({"settings", "get"}).out;
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 6);
    EXPECT_EQ(QString::fromStdString(all).count(" (default)\n"), 6) << "every untouched value is marked: " << all;
    EXPECT_NE(cli({"status", "--json"}).out.find("\"matchThreshold\": 0.3,"), std::string::npos) << "the float's shortest form";

    // A damaged file is named by get and never replaced by set.
    TestSupport::writeText(dataFolder() / "settings.json", R"({"minQuality":0.5,"requiredConsecutiveMatches":3)");
    EXPECT_NE(cli({"settings", "get"}).err.find("settings.json) is damaged"), std::string::npos);
    EXPECT_EQ(cli({"settings", "set", "scanTimeout", "4"}).status, 1);
    EXPECT_EQ(TestSupport::readText(dataFolder() / "settings.json"), R"({"minQuality":0.5,"requiredConsecutiveMatches":3)");
}

TEST_F(CliTest, ProtectAndUnprotectInstalledApps) {
    ownSecrets = true;
    std::filesystem::create_directories(home.path() / "applications");
    writeText(home / "applications" / "org.example.Editor.desktop", "[Desktop Entry]\nType=Application\nName=Example Editor\nExec=/bin/true\n");
    EXPECT_NE(cli({"apps", "available"}).out.find("org.example.Editor\tExample Editor"), std::string::npos);

    EXPECT_EQ(cli({"apps", "protect", "org.example.Editor"}).status, 0);
    EXPECT_EQ(cli({"apps", "list"}).out, "org.example.Editor\tExample Editor\tuntil quit\n");
    EXPECT_EQ(cli({"apps", "protect", "org.example.Editor", "--grace", "30"}).status, 0);
    EXPECT_EQ(cli({"apps", "list"}).out, "org.example.Editor\tExample Editor\t30 s\n");
    EXPECT_EQ(cli({"apps", "protect", "org.example.Editor", "--grace", "soon"}).status, 2);
    EXPECT_EQ(cli({"apps", "protect", "org.example.Missing"}).status, 1);
    EXPECT_EQ(cli({"apps", "protect", "com.korvel.id"}).status, 1);
    EXPECT_EQ(cli({"apps", "unprotect", "org.example.Editor"}).status, 0);
    EXPECT_EQ(cli({"apps", "unprotect", "org.example.Editor"}).status, 1);
    EXPECT_EQ(readText(dataFolder() / "protected-apps.json"), "[]");
}

TEST_F(CliTest, NamesFromFilesReachTheTerminalWithoutControls) {
    // A desktop entry's name with an escape sequence (retitles the terminal), a C1 CSI, a
    // right-to-left override and a byte that is not UTF-8 (its reader makes it U+FFFD).
    ownSecrets = true;
    std::filesystem::create_directories(home.path() / "applications");
    writeText(home / "applications" / "org.example.Trap.desktop",
              "[Desktop Entry]\nType=Application\nName=Caf\xc3\xa9\x1b]0;owned\x07 \xc2\x9b" "2J\xe2\x80\xae" "exe.\xff!\nExec=/bin/true\n");
    const std::string expected = "Caf\xc3\xa9?]0;owned? ?2J?exe.\xef\xbf\xbd!";
    EXPECT_NE(cli({"apps", "available"}).out.find("org.example.Trap\t" + expected + "\n"), std::string::npos);
    EXPECT_EQ(cli({"apps", "protect", "org.example.Trap"}).out, "Protected " + expected + " (until quit).\n");
    EXPECT_EQ(cli({"apps", "list"}).out, "org.example.Trap\t" + expected + "\tuntil quit\n");
    EXPECT_NE(cli({"status"}).out.find("org.example.Trap (" + expected + ")"), std::string::npos);
    // The stored list written by hand, with the controls escaped as JSON allows.
    writeText(dataFolder() / "protected-apps.json",
              "[{\"bundleIdentifier\":\"org.example.Trap\",\"name\":\"A\\u009b2J\\u0007B\",\"graceSeconds\":-1}]");
    EXPECT_EQ(cli({"apps", "list"}).out, "org.example.Trap\tA?2J?B\tuntil quit\n");
    // Lists that cannot be read are no empty lists.
    TestSupport::writeText(dataFolder() / "protected-apps.json", "[{");
    TestSupport::writeText(dataFolder() / "enrollment.json", "{");
    const auto status = QJsonDocument::fromJson(QByteArray::fromStdString(cli({"status", "--json"}).out)).object();
    EXPECT_TRUE(status["protectedApps"].isNull() && status["enrolledFaces"].isNull());
}

TEST_F(CliTest, ChangesAreRefusedWhileTheApplicationHoldsTheFolder) {
    std::filesystem::create_directories(dataFolder());
    auto held = DataFolderLock::tryAcquire(dataFolder());
    ASSERT_TRUE(held.lock);
    std::filesystem::remove(dataFolder() / DataFolderLock::fileName);  // the holder still holds
    for (const QStringList& change : {QStringList{"settings", "set", "scanTimeout", "5"}, {"faces", "remove", "--all"},
                                      {"apps", "unprotect", "org.example.Editor"},
                                      {"vault", "setup", "--password-stdin"}, {"password", "change", "--password-stdin"}}) {
        const CliRun r = cli(change, "whatever1\n");
        EXPECT_EQ(r.status, 1) << change.join(' ').toStdString();
        EXPECT_NE(r.err.find("Korvel ID is running"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dataFolder() / "settings.json"));
    for (const QStringList& read : {QStringList{"status", "--json"}, {"vault", "list"}, {"settings", "get"}, {"faces", "list"}})
        EXPECT_EQ(cli(read).status, 0) << read.join(' ').toStdString();
    const auto status = QJsonDocument::fromJson(QByteArray::fromStdString(cli({"status", "--json"}).out)).object();
    EXPECT_EQ(status["dataFolder"].toString().toStdString(), dataFolder().string());
    EXPECT_FALSE(status["vaultSetUp"].toBool());
}

// Enrolled from one clip, the no-blink clip is tested: the command says why it let nobody in.
// (A blinking face letting the owner through the same enrolment is the program test's quit.)
TEST_F(CliTest, EnrolAndTestWithRecordedVideo) {
    KORVEL_REQUIRE_DATA(data);
    const QString clip = QString::fromStdString((data / "blink" / "franck_talking_face_noblink_4s.mp4").string());
    ownSecrets = true;
    EXPECT_EQ(cli({"faces", "enroll", "--name", "Franck", "--video", clip}).status, 1) << "no master password yet";
    ASSERT_EQ(cli({"password", "set", "--password-stdin"}, "secret-one\n").status, 0);
    const CliRun enrolled = cli({"faces", "enroll", "--name", "Franck", "--video", clip, "--password-stdin"}, "secret-one\n");
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    EXPECT_NE(cli({"faces", "list"}).out.find("Franck\t8 samples"), std::string::npos);

    ASSERT_EQ(cli({"settings", "set", "scanTimeout", "5"}).status, 0);
    const CliRun still = cli({"faces", "test", "--video", clip});
    EXPECT_EQ(still.status, 1);
    EXPECT_NE(still.out.find("Result: no match: the face matched but never blinked"), std::string::npos) << still.out;
    EXPECT_NE(still.out.find("\nBest distance: 0."), std::string::npos) << still.out;
    EXPECT_EQ(still.out.find("-0.000"), std::string::npos) << still.out;
    // Without the blink it matches, but that diagnostic must not clear the failed scan it follows.
    EXPECT_EQ(cli({"faces", "test", "--no-liveness", "--video", clip}).status, 0);
    EXPECT_EQ(FaceAttemptLimit(dataFolder()).failures(), 1);
}

}  // namespace
