#pragma once
// A private virtual KWin, two outputs, own bus. KWin's file capability fails exec in containers, so
// a copy without it runs; a desktop entry authorises the test for KWin's screenshot interface.
#include <QDBusConnection>
#include <QDBusMessage>

#include <fstream>

#include "../common/CompositorDesktop.h"

class KWinDesktop final : public CompositorDesktop {
public:
    KWinDesktop() : CompositorDesktop("kwin", {"kwin_wayland", "dbus-daemon", "weston-terminal"}) {
        if (unavailable) return;
        std::filesystem::create_directories(runtime / "data/applications");
        std::ofstream(runtime / "data/applications/korvel-kwin-test.desktop")
            << "[Desktop Entry]\nType=Application\nName=Korvel KWin test\nExec=" << std::filesystem::read_symlink("/proc/self/exe").string()
            << "\nX-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n";
        const auto kwin = runtime / "kwin_wayland";
        std::filesystem::copy_file(QStandardPaths::findExecutable("kwin_wayland").toStdString(), kwin);
        bus = "unix:path=" + (runtime / "bus").string();
        start("dbus-daemon", {"--session", "--nofork", "--address=" + QString::fromStdString(bus)});
        poll([&] { return std::filesystem::exists(runtime / "bus"); }, 5000);
        compositor_ = start(QString::fromStdString(kwin.string()), {"--virtual", "--width", "1280", "--height", "800", "--output-count", "2",
                                                                    "--socket", "wayland-kwin", "--no-lockscreen", "--no-global-shortcuts"});
        if (!poll([&] { return std::filesystem::exists(runtime / "wayland-kwin"); }, 15000)) unavailable = "kwin_wayland did not start";
    }

    QStringList ownEnvironment() const override {
        auto env = clientEnvironment();
        env.removeIf([](const QString& v) { return v.startsWith("HOME="); });
        return env;
    }

    static QDBusMessage callKWin(const QString& path, const QString& interface, const QString& method, const QVariantList& args) {
        auto message = QDBusMessage::createMethodCall("org.kde.KWin", path, interface, method);
        message.setArguments(args);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    }

    // Activates the weston terminal from inside KWin, as any script of the user could; true once
    // the script runs. Each call loads a script of its own.
    bool activateTerminalFromScript() {
        return runScript("if (String(w.desktopFileName).indexOf('weston') >= 0) { w.minimized = false; workspace.activeClient = w; }");
    }

    // Runs `body` for every window `w`, as any user's script could.
    bool runScript(const std::string& body) {
        const auto file = runtime / ("script" + std::to_string(++scripts_) + ".js");
        std::ofstream(file) << "workspace.clientList().forEach(function (w) { " << body << " });\n";
        const auto loaded = callKWin("/Scripting", "org.kde.kwin.Scripting", "loadScript",
                                     {QString::fromStdString(file.string()), QString("korvel-test-activate-%1").arg(scripts_)});
        if (loaded.type() != QDBusMessage::ReplyMessage) return false;
        const int id = loaded.arguments().value(0).toInt();
        for (const QString& path : {QString("/Scripting/Script%1").arg(id), QString("/%1").arg(id)})
            if (callKWin(path, "org.kde.kwin.Script", "run", {}).type() == QDBusMessage::ReplyMessage) return true;
        return false;
    }

    qint64 compositorPid() const { return compositor_ ? compositor_->processId() : 0; }

    std::string bus;

private:
    // What this program and KWin's clients see: the private runtime folder, bus and display.
    QStringList clientEnvironment() const override {
        const QString rt = QString::fromStdString(runtime.string());
        return {"XDG_RUNTIME_DIR=" + rt, "DBUS_SESSION_BUS_ADDRESS=" + QString::fromStdString(bus), "WAYLAND_DISPLAY=wayland-kwin",
                "XDG_CURRENT_DESKTOP=KDE", "XDG_SESSION_TYPE=wayland", "XDG_DATA_DIRS=" + rt + "/data:/usr/share",
                "XDG_CACHE_HOME=" + rt + "/cache", "HOME=" + rt};
    }

    QProcess* compositor_ = nullptr;
    int scripts_ = 0;
};
