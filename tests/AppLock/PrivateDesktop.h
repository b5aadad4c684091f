#pragma once
// A private X server (Xvfb) with the openbox window manager for one test, so that tests which move
// the keyboard focus around cannot disturb, or be disturbed by, tests running beside them on the
// shared test desktop. X clients are started on it with QProcess.
#include <QProcess>
#include <QStandardPaths>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class PrivateDesktop {
public:
    // Every program the test needs; a missing one makes `unavailable` say which.
    explicit PrivateDesktop(const std::vector<std::string>& programs) {
        for (const auto& p : programs)
            if (QStandardPaths::findExecutable(QString::fromStdString(p)).isEmpty()) {
                unavailable = p + " is not installed";
                return;
            }
        auto& xvfb = start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, false);
        std::string number;
        while (number.find('\n') == std::string::npos && xvfb.waitForReadyRead(10000))
            number += xvfb.readAllStandardOutput().toStdString();
        if (number.empty()) {
            unavailable = "Xvfb did not start";
            return;
        }
        display = ":" + number.substr(0, number.find('\n'));
        start("openbox", {"--sm-disable"});
    }

    ~PrivateDesktop() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) stop(**it);
    }

    // Starts a client on this display; it is stopped when the desktop ends.
    QProcess& start(const QString& program, const QStringList& args, bool onDisplay = true) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment(onDisplay));
        process->setProcessChannelMode(onDisplay ? QProcess::ForwardedErrorChannel : QProcess::SeparateChannels);
        process->start(program, args);
        process->waitForStarted(10000);
        processes_.push_back(std::move(process));
        return *processes_.back();
    }

    static void stop(QProcess& process) {
        if (process.state() == QProcess::NotRunning) return;
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }

    // Runs a tool on this display and returns what it printed.
    std::string run(const QString& program, const QStringList& args) const {
        QProcess process;
        process.setProcessEnvironment(environment(true));
        process.start(program, args);
        process.waitForFinished(10000);
        return process.readAllStandardOutput().trimmed().toStdString();
    }

    std::optional<std::string> unavailable;
    std::string display;

private:
    QProcessEnvironment environment(bool onDisplay) const {
        auto env = QProcessEnvironment::systemEnvironment();
        if (onDisplay) env.insert("DISPLAY", QString::fromStdString(display));
        return env;
    }

    std::vector<std::unique_ptr<QProcess>> processes_;
};
