#pragma once
// What the private Wayland desktops share: a private runtime folder, clients started with its
// environment and stopped when it ends, and the test program joining as a native Wayland client.
#include <QColor>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CompositorDesktop {
public:
    virtual ~CompositorDesktop() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) stop(**it);
        std::error_code ec;
        if (!runtime.empty()) std::filesystem::remove_all(runtime, ec);
    }

    // A client of the compositor, stopped when the desktop ends.
    QProcess* start(const QString& program, const QStringList& args, const QStringList& extraEnvironment = {}) {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        const auto [launcher, arguments] = asClient(program, args, extraEnvironment);
        process->start(launcher, arguments);
        process->waitForStarted(10000);
        processes_.push_back(std::move(process));
        return processes_.back().get();
    }

    // Runs a client to its end and returns what it printed.
    QByteArray run(const QString& program, const QStringList& args, int timeoutMs = 10000) const {
        QProcess process;
        const auto [launcher, arguments] = asClient(program, args, {});
        process.start(launcher, arguments);
        process.waitForFinished(timeoutMs);
        return process.readAllStandardOutput();
    }

    static void stop(QProcess& process) {
        if (process.state() == QProcess::NotRunning) return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }

    static QString readFile(const std::filesystem::path& path) {
        QFile file(QString::fromStdString(path.string()));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // Readable by the clients, which may run as another user.
    static void writeFile(const std::filesystem::path& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f) return;
        std::fputs(text.c_str(), f);
        std::fclose(f);
        ::chmod(path.c_str(), 0644);
    }

    // Installed applications "korvel-alpha" (the protected one) and "korvel-files", both foot
    // terminals, in `folder`.
    static void writeTerminalEntries(const std::filesystem::path& folder) {
        std::filesystem::create_directories(folder);
        for (const std::string id : {"korvel-alpha", "korvel-files"})
            writeFile(folder / (id + ".desktop"), "[Desktop Entry]\nType=Application\nName=" + id + "\nExec=foot --app-id " + id + "\n");
    }

    // A foot terminal under the application ID running its own command (a client user's login shell
    // may end at once); with `typed`, what is typed into it goes, raw, into that file.
    QProcess* startTerminal(const QString& appID, const std::filesystem::path& typed = {}) {
        const QString command =
            typed.empty() ? QString("cat") : QString("stty raw -echo; cat > '%1'").arg(QString::fromStdString(typed.string()));
        return start("foot", {"--app-id", appID, "-o", "colors.background=ffffff", "--", "sh", "-c", command});
    }

    // Waits without an event loop (before the application exists).
    static bool poll(const std::function<bool()>& done, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return done();
    }

    // What this program sets ("NAME=value") to join the desktop as a client.
    virtual QStringList ownEnvironment() const = 0;
    // Makes this program a native Wayland client of the desktop (before the application exists).
    void join() const {
        for (const QString& variable : ownEnvironment()) {
            const auto at = variable.indexOf('=');
            ::setenv(variable.left(at).toUtf8().constData(), variable.mid(at + 1).toUtf8().constData(), 1);
        }
        ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    }

    std::optional<std::string> unavailable;
    std::filesystem::path runtime;

protected:
    CompositorDesktop(const char* name, std::initializer_list<const char*> tools) {
        for (const char* p : tools)
            if (QStandardPaths::findExecutable(p).isEmpty()) {
                unavailable = std::string(p) + " is not installed";
                return;
            }
        std::string folder = "/tmp/korvel-" + std::string(name) + ".XXXXXX";
        if (!::mkdtemp(folder.data())) {
            unavailable = "no temporary folder";
            return;
        }
        runtime = folder;
        ::chmod(runtime.c_str(), 0700);
    }

    // The environment the desktop's clients start with, and nothing else.
    virtual QStringList clientEnvironment() const = 0;
    virtual std::pair<QString, QStringList> asClient(const QString& program, const QStringList& args,
                                                     const QStringList& extraEnvironment) const {
        return {"env", QStringList{"-i", "PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8"} + clientEnvironment() +
                           extraEnvironment + QStringList{program} + args};
    }

private:
    std::vector<std::unique_ptr<QProcess>> processes_;
};

// The curtain's dark backdrop at every probe of a screenshot.
inline bool showsCurtain(const QImage& shot, const QList<QPoint>& probes) {
    return !shot.isNull() && std::all_of(probes.begin(), probes.end(), [&](QPoint at) {
        const QColor c = shot.pixelColor(at);
        return c.lightness() < 50 && c.blue() >= c.red();
    });
}
