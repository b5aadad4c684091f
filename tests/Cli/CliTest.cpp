// korvel-id-cli as a user runs it: the real program in a temporary data folder, with the test
// desktop's keyring.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <fstream>

#include "Identity/MasterPassword.h"
#include "Platform/SecretStores.h"
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
    TempDir home;
    TempDir work;

    // `args` go to the program unchanged; with `throughShell` they are a shell command line whose
    // "$0" is the program (for file names that are not UTF-8, which QString cannot carry).
    CliRun cli(const QStringList& args, const std::string& input = {}, bool throughShell = false) {
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", QString::fromStdString(home.path().string()));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QString::fromStdString(work.path().string()));
        if (throughShell) p.start("/bin/sh", {"-c", args.join(' '), KORVEL_CLI});
        else p.start(KORVEL_CLI, args);
        p.write(input.data(), static_cast<qint64>(input.size()));
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(120'000)) << args.join(' ').toStdString();
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
                p.readAllStandardError().toStdString()};
    }
    std::filesystem::path dataFolder() const { return home.path() / "KorvelID" / "com.korvel.id"; }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(work.path() / name, std::ios::binary) << content;
    }
};

QJsonArray jsonArray(const std::string& text) { return QJsonDocument::fromJson(QByteArray::fromStdString(text)).array(); }

TEST_F(CliTest, PasswordAndVaultRoundTrip) {
    // The keyring outlives the test's data folder: start without a master password.
    installDefaultSecretStore();
    MasterPassword::reset();
    ASSERT_EQ(cli({"password", "set", "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(cli({"password", "set", "--password-stdin"}, "another1\n").status, 1);
    EXPECT_EQ(cli({"password", "verify", "--password-stdin"}, "wrong-one\n").status, 1);
    EXPECT_EQ(cli({"password", "set", "--password-stdin"}, "short\n").status, 1);
    ASSERT_EQ(cli({"vault", "setup", "--password-stdin"}, "secret-one\n").status, 0);

    write("small.txt", "hello");
    write("other.bin", "other");
    write("caf\xe9.txt", "latin-1 name");
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

    EXPECT_EQ(cli({"vault", "remove", "other.bin", "--password-stdin"}, "secret-one\n").status, 0);
    EXPECT_EQ(jsonArray(cli({"vault", "list", "--json"}).out).size(), 2);

    // After a change only the new password opens the vault, and every item still decrypts.
    EXPECT_EQ(cli({"password", "change", "--password-stdin"}, "wrong-old\nsecret-two\n").status, 1);
    ASSERT_EQ(cli({"password", "change", "--password-stdin"}, "secret-one\nsecret-two\n").status, 0);
    EXPECT_EQ(cli({"vault", "export", "small.txt", "--to", outDir, "--password-stdin"}, "secret-one\n").status, 1);
    const CliRun exported = cli({"vault", "export", "small.txt", "--to", outDir, "--password-stdin"}, "secret-two\n");
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(readText(out.path() / "small (3).txt"), "hello");

    // Nothing decrypted is left in the data folder.
    EXPECT_TRUE(std::filesystem::is_empty(dataFolder() / "Vault" / "open"));
    MasterPassword::reset();
}

TEST_F(CliTest, UsageErrorsHelpAndSettings) {
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
}

TEST_F(CliTest, ProtectAndUnprotectInstalledApps) {
    std::filesystem::create_directories(home.path() / "applications");
    std::ofstream(home.path() / "applications" / "org.example.Editor.desktop")
        << "[Desktop Entry]\nType=Application\nName=Example Editor\nExec=/bin/true\n";
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

TEST_F(CliTest, ChangesAreRefusedWhileTheApplicationHoldsTheFolder) {
    std::filesystem::create_directories(dataFolder());
    auto held = DataFolderLock::tryAcquire(dataFolder());
    ASSERT_TRUE(held.lock);
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

TEST_F(CliTest, EnrolAndTestWithRecordedVideo) {
    KORVEL_REQUIRE_DATA(data);
    const auto clip = [&](const char* name) { return QString::fromStdString((data / "blink" / name).string()); };
    const CliRun enrolled = cli({"faces", "enroll", "--name", "Franck", "--video", clip("franck_talking_face_noblink_4s.mp4")});
    ASSERT_EQ(enrolled.status, 0) << enrolled.err;
    EXPECT_NE(cli({"faces", "list"}).out.find("Franck\t8 samples"), std::string::npos);

    // The video plays in real time: a slow build sees a few frames a second and may step over a
    // blink, so the scan may run past the default 8 s into the clip's later blinks.
    ASSERT_EQ(cli({"settings", "set", "scanTimeout", "20"}).status, 0);
    const CliRun matched = cli({"faces", "test", "--video", clip("franck_talking_face_blinks_22s.mp4")});
    EXPECT_EQ(matched.status, 0) << matched.out << matched.err;
    EXPECT_NE(matched.out.find("Result: matched Franck"), std::string::npos) << matched.out;
    // The frame table shows the blink that let the scan through, and the summary follows it.
    EXPECT_NE(matched.out.find("  blink\n"), std::string::npos) << matched.out;
    EXPECT_NE(matched.out.find("\nBest distance: 0."), std::string::npos) << matched.out;

    ASSERT_EQ(cli({"faces", "remove", "--all"}).status, 0);
    EXPECT_EQ(readText(dataFolder() / "enrollment.json"), "[]");
    EXPECT_EQ(cli({"faces", "test", "--no-liveness", "--video", clip("franck_talking_face_blinks_22s.mp4")}).status, 1);
}

}  // namespace
