#pragma once
// A private headless sway with two outputs, started once for the test program before the Qt
// application connects to it. Sway refuses to run as root, so under root it and the test clients
// run as "nobody", with their own runtime folder and session bus.
#include <QJsonDocument>

#include "../common/CompositorDesktop.h"

class SwayDesktop final : public CompositorDesktop {
public:
    static constexpr uid_t clientUid = 65534;

    SwayDesktop() : CompositorDesktop("sway", {"sway", "swaymsg", "foot", "wtype", "grim", "dbus-run-session", "setpriv", "Xwayland", "xterm"}) {
        if (unavailable) return;
        std::filesystem::create_directories(runtime / "home");
        if (::geteuid() == 0)
            for (const auto& p : {runtime, runtime / "home"}) [[maybe_unused]] int r = ::chown(p.c_str(), clientUid, clientUid);
        const auto config = runtime / "config";
        writeFile(config,
                  "output HEADLESS-1 resolution 1024x768 position 0 0\n"
                  "output HEADLESS-2 resolution 800x600 position 1024 0\n"
                  "default_border none\n"
                  // Xwayland's display, as sway gives it to the programs it starts.
                  "exec sh -c 'echo $DISPLAY > " + (runtime / "x-display").string() + "'\n");
        compositor_ = start("dbus-run-session", {"--", "sway", "-c", QString::fromStdString(config.string())},
                            {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_HEADLESS_OUTPUTS=2", "WLR_RENDERER=pixman"});
        poll([&] {
            for (const auto& entry : std::filesystem::directory_iterator(runtime))
                if (entry.path().filename().string().starts_with("sway-ipc.")) socket = entry.path();
            return !socket.empty();
        }, 10000);
        if (socket.empty() || !std::filesystem::exists(runtime / "wayland-1")) unavailable = "sway did not start";
        // A virtual keyboard that stays for the whole run: sway drops the first key of every new
        // one, so each typing client's first key would be lost without it.
        start("wtype", {"-s", "86400000", ""});
    }

    ~SwayDesktop() override {
        // Sway's own exit lets dbus-run-session end its bus as well; a signal would leave the bus.
        if (!socket.empty()) run("swaymsg", {"exit"});
        if (compositor_) compositor_->waitForFinished(5000);
    }

    QJsonDocument tree() const { return QJsonDocument::fromJson(run("swaymsg", {"-r", "-t", "get_tree"})); }

    QStringList ownEnvironment() const override {
        return {"WAYLAND_DISPLAY=" + QString::fromStdString((runtime / "wayland-1").string()), "XDG_SESSION_TYPE=wayland",
                "SWAYSOCK=" + QString::fromStdString(socket.string())};
    }

    std::filesystem::path socket;

private:
    QStringList clientEnvironment() const override {
        const QString rt = QString::fromStdString(runtime.string());
        QStringList env = {"HOME=" + rt + "/home", "XDG_RUNTIME_DIR=" + rt, "WAYLAND_DISPLAY=wayland-1"};
        if (!socket.empty()) env << "SWAYSOCK=" + QString::fromStdString(socket.string());
        if (const auto x = readFile(runtime / "x-display"); !x.trimmed().isEmpty()) env << "DISPLAY=" + x.trimmed();
        return env;
    }
    std::pair<QString, QStringList> asClient(const QString& program, const QStringList& args,
                                             const QStringList& extraEnvironment) const override {
        auto command = CompositorDesktop::asClient(program, args, extraEnvironment);
        if (::geteuid() != 0) return command;
        return {"setpriv", QStringList{"--reuid", QString::number(clientUid), "--regid", QString::number(clientUid),
                                       "--clear-groups", command.first} + command.second};
    }

    QProcess* compositor_ = nullptr;
};
