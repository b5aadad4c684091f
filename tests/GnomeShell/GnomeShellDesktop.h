#pragma once
// A private headless GNOME Shell, two monitors, own buses and home, with the shipped extension and
// the never-shipped test driver (korvel-id-test@id.korvel.com: lists and activates windows, types).
#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "../common/CompositorDesktop.h"
#include "Platform/GnomeShellWindowSystem.h"

class GnomeShellDesktop final : public CompositorDesktop {
public:
    static constexpr const char* driverUUID = "korvel-id-test@id.korvel.com";
    static constexpr const char* waylandName = "korvel-wayland";

    explicit GnomeShellDesktop(const std::filesystem::path& sourceDir)
        : CompositorDesktop("gnome", {"gnome-shell", "gnome-screenshot", "gnome-extensions", "gsettings", "gdbus", "dbus-daemon", "foot"}) {
        if (unavailable) return;
        dataHome = runtime / "home/.local/share";
        std::filesystem::create_directories(dataHome / "applications");
        std::filesystem::create_directories(runtime / "home/.config");
        std::error_code ec;
        const auto driver = dataHome / "gnome-shell/extensions" / driverUUID;
        std::filesystem::create_directories(driver, ec);
        for (const char* file : {"metadata.json", "extension.js"})
            std::filesystem::copy_file(sourceDir / driverUUID / file, driver / file, ec);
        // The shipped extension arrives the way the program installs it for a user, replacing a
        // pipe left in its place without waiting on it.
        std::filesystem::create_directories(dataHome / "gnome-shell/extensions" / GnomeShellWindowSystem::extensionUUID);
        ::mkfifo((dataHome / "gnome-shell/extensions" / GnomeShellWindowSystem::extensionUUID / "extension.js").c_str(), 0600);
        if (!GnomeShellWindowSystem::installExtension(dataHome)) {
            unavailable = "the extension could not be installed";
            return;
        }
        writeFile(runtime / "system.conf",
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig><type>system</type><listen>unix:path=" + (runtime / "system_bus").string() +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                  "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n");
        start("dbus-daemon", {"--nofork", "--config-file=" + path("system.conf")});
        start("dbus-daemon", {"--nofork", "--session", "--address=unix:path=" + path("session_bus")});
        poll([&] { return exists("system_bus") && exists("session_bus"); }, 5000);
        run("gsettings", {"set", "org.gnome.shell", "enabled-extensions",
                          QString("['%1', '%2']").arg(GnomeShellWindowSystem::extensionUUID, driverUUID)});
        run("gsettings", {"set", "org.gnome.shell", "welcome-dialog-last-shown-version", "'999'"});
        // The Shell warns a root session with a banner; the screenshots are of the curtain.
        run("gsettings", {"set", "org.gnome.desktop.notifications", "show-banners", "false"});
        // Animations only delay what the tests wait for.
        run("gsettings", {"set", "org.gnome.desktop.interface", "enable-animations", "false"});
        shell_ = start("gnome-shell", {"--headless", "--wayland", "--no-x11", "--wayland-display", waylandName,
                                       "--virtual-monitor", "1280x800", "--virtual-monitor", "1280x800"});
        if (!poll([&] { return driverAnswers(); }, 60000)) unavailable = "gnome-shell did not start with the test driver";
    }

    // Calls the test driver.
    QDBusMessage drive(const QString& method, const QVariantList& args = {}) const {
        auto message = QDBusMessage::createMethodCall("org.gnome.Shell", "/com/korvel/id/Test", "com.korvel.id.Test", method);
        message.setArguments(args);
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
    }
    // Every window the Shell manages, as the driver reports it (JSON objects).
    QJsonArray windows() const {
        const auto reply = drive("Windows");
        if (reply.type() != QDBusMessage::ReplyMessage) return {};
        return QJsonDocument::fromJson(reply.arguments().value(0).toString().toUtf8()).array();
    }

    qint64 shellPid() const { return shell_ ? shell_->processId() : 0; }

    // This program joins the Shell's session bus and display.
    QStringList ownEnvironment() const override {
        return {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + path("session_bus"), "WAYLAND_DISPLAY=" + path(waylandName),
                "XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=GNOME"};
    }

    std::filesystem::path dataHome;

private:
    QString path(const char* name) const { return QString::fromStdString((runtime / name).string()); }
    bool exists(const char* name) const { return std::filesystem::exists(runtime / name); }
    // Asked with gdbus: Qt's connection may only be made once the application object exists.
    bool driverAnswers() const {
        return run("gdbus", {"call", "--session", "--dest", "org.gnome.Shell", "--object-path", "/com/korvel/id/Test",
                             "--method", "com.korvel.id.Test.InOverview"})
            .startsWith("(false,)");
    }

    QStringList clientEnvironment() const override {
        return {"HOME=" + path("home"), "XDG_RUNTIME_DIR=" + path(""), "XDG_DATA_HOME=" + QString::fromStdString(dataHome.string()),
                "XDG_CONFIG_HOME=" + path("home/.config"), "XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=GNOME",
                "WAYLAND_DISPLAY=" + QString(waylandName), "GSETTINGS_BACKEND=keyfile",
                "DBUS_SESSION_BUS_ADDRESS=unix:path=" + path("session_bus"), "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + path("system_bus"),
                "NO_AT_BRIDGE=1"};
    }

    QProcess* shell_ = nullptr;
};
