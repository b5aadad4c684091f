#include "Platform/GnomeShellWindowSystem.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string_view>
#include <system_error>
#include <utility>

#include "Platform/DefaultFileManager.h"
#include "Platform/DesktopEntries.h"
#include "Support/FileIO.h"
#include "Support/Logger.h"

namespace fs = std::filesystem;

namespace {
const QString shellService = QStringLiteral("org.gnome.Shell");
const QString shellPath = QStringLiteral("/com/korvel/id/Shell");
const QString shellInterface = QStringLiteral("com.korvel.id.Shell");
const QString eventsPath = QStringLiteral("/com/korvel/id/WindowEvents");
const QString eventsInterface = QStringLiteral("com.korvel.id.WindowEvents");
// A Shell busy with an animation answers within a frame or two; a hung one must not hang us.
constexpr int callTimeoutMs = 2000;

// A window as the extension reports it.
struct ShellWindow {
    QString shellID;  // the Shell's application ID ("x.desktop"), empty when it found none
    QString wmClass;  // Wayland app_id or X11 class
    std::int64_t pid = 0;
    bool focused = false;
    bool minimized = false;
};
}  // namespace

// The extension's files are compiled in; a static library must register them itself.
static void initExtensionResources() { Q_INIT_RESOURCE(GnomeShellExtension); }

struct GnomeShellWindowSystem::Impl {
    // Receives the extension's reports, as method calls on this process's own object.
    struct Events final : QDBusVirtualObject {
        Impl* impl = nullptr;
        QString introspect(const QString&) const override {
            return QStringLiteral(
                "<interface name=\"com.korvel.id.WindowEvents\">"
                "<method name=\"Activated\"><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
                "<arg type=\"u\" direction=\"in\"/></method>"
                "<method name=\"Closed\"><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
                "<arg type=\"u\" direction=\"in\"/></method></interface>");
        }
        bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
            if (message.interface() != eventsInterface) return false;
            const auto args = message.arguments();
            // Only the Shell's own connection speaks for the Shell.
            if (args.size() != 3 || message.service() != impl->shellOwner) {
                connection.send(message.createErrorReply(QDBusError::AccessDenied, {}));
                return true;
            }
            connection.send(message.createReply());
            const ShellWindow window{args[0].toString(), args[1].toString(), args[2].value<uint>(), false, false};
            if (message.member() == QLatin1String("Activated")) impl->activated(window);
            else if (message.member() == QLatin1String("Closed")) impl->closed(window);
            return true;
        }
    };

    GnomeShellWindowSystem* owner = nullptr;
    Options options;
    QDBusConnection bus = QDBusConnection::sessionBus();
    Events events;
    QString shellOwner;  // the unique name that answered our subscription
    bool registered = false;
    std::chrono::steady_clock::time_point nextSubscribe;

    std::vector<fs::path> applicationDirs;
    DesktopEntries entries;
    std::int64_t entriesStamp = 0;
    std::optional<std::string> lastActivatedID;
    std::vector<CurtainWindow> guarded;
    bool hidePending = false;  // a curtain went up while the extension was away
    DefaultFileManager fileManager;

    bool usable() const { return !shellOwner.isEmpty() && bus.isConnected(); }

    QDBusMessage call(const QString& method, const QVariantList& args = {}) {
        auto message = QDBusMessage::createMethodCall(shellService, shellPath, shellInterface, method);
        message.setArguments(args);
        auto reply = bus.call(message, QDBus::Block, callTimeoutMs);
        // The extension was turned off (or the Shell is gone): asked for again by reconnect().
        const auto error = reply.errorName();
        if (error == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
            error == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
            error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")) {
            if (!shellOwner.isEmpty()) Log::auth().error("AppLock: Korvel ID's GNOME Shell extension stopped answering.");
            shellOwner.clear();
        }
        return reply;
    }

    void subscribe() {
        shellOwner.clear();
        if (!bus.isConnected()) return;
        if (!registered) registered = bus.registerVirtualObject(eventsPath, &events);
        if (!registered) return;
        // Our events are accepted from the connection that owns the Shell's name right now.
        const QString shellNow = bus.interface()->serviceOwner(shellService).value();
        const auto reply = call(QStringLiteral("Subscribe"));
        if (reply.type() != QDBusMessage::ReplyMessage) return;
        shellOwner = shellNow;
        lastActivatedID = frontmost();
    }

    std::optional<std::string> identify(const ShellWindow& window) {
        if (window.pid > 0 && window.pid == ::getpid()) return ownApplicationID;
        constexpr std::string_view suffix = ".desktop";
        const std::string shellID = window.shellID.toStdString();
        if (shellID.size() > suffix.size() && shellID.ends_with(suffix)) return shellID.substr(0, shellID.size() - suffix.size());
        entries.rescanIfChanged(applicationDirs, entriesStamp);
        WindowIdentity identity;
        identity.gtkApplicationID = identity.wmClass = window.wmClass.toStdString();
        identity.executable = DesktopEntries::executableOf(window.pid);
        return entries.applicationIDFor(identity);
    }

    // The Shell turns its extensions off while the screen is locked and on again after: without
    // asking again the app lock would stay off from the first screen lock on. Tried at most every
    // two seconds; a curtain that is up is guarded again at once.
    bool reconnect() {
        if (usable()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now < nextSubscribe) return false;
        nextSubscribe = now + std::chrono::seconds(2);
        subscribe();
        if (!usable()) return false;
        Log::auth().info("AppLock: Korvel ID's GNOME Shell extension answers again.");
        if (!guarded.empty()) sendGuard();
        if (std::exchange(hidePending, false)) hideFocused();
        return true;
    }

    // The locked application's windows go out of sight while the curtain is up; unlocking
    // activates it again.
    void hideFocused() {
        for (const auto& w : windows()) {
            const auto id = identify(w);
            if (!w.focused || !id || *id == ownApplicationID) continue;
            minimize({*id, w.pid});
        }
    }

    void sendGuard() {
        QStringList titles, outputs;
        QString key;
        for (const auto& w : guarded) {
            titles << QString::fromStdString(w.title);
            outputs << QString::fromStdString(w.output);
            if (w.key) key = titles.back();
        }
        call(QStringLiteral("GuardCurtain"), {titles, outputs, key});
    }

    // The Shell's application windows, topmost first.
    std::vector<ShellWindow> windows() {
        std::vector<ShellWindow> result;
        if (!reconnect()) return result;
        const auto reply = call(QStringLiteral("Windows"));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return result;
        const auto list = reply.arguments().at(0).value<QDBusArgument>();
        if (list.currentSignature() != QLatin1String("a(ssubb)")) return result;
        list.beginArray();
        while (!list.atEnd()) {
            ShellWindow w;
            uint pid = 0;
            list.beginStructure();
            list >> w.shellID >> w.wmClass >> pid >> w.focused >> w.minimized;
            list.endStructure();
            w.pid = pid;
            result.push_back(std::move(w));
        }
        list.endArray();
        return result;
    }

    std::optional<std::string> frontmost() {
        for (const auto& w : windows())
            if (w.focused) return identify(w);
        return std::nullopt;
    }

    void activated(const ShellWindow& window) {
        const auto applicationID = identify(window);
        if (!applicationID || applicationID == lastActivatedID) return;
        lastActivatedID = applicationID;
        owner->notifyActivated(*applicationID);
    }

    void closed(const ShellWindow& window) {
        const auto applicationID = identify(window);
        if (!applicationID) return;
        for (const auto& w : windows())
            if (identify(w) == applicationID) return;
        if (lastActivatedID == applicationID) lastActivatedID.reset();
        owner->notifyTerminated(*applicationID);
    }

    // The Shell's IDs of the instance's windows, each once.
    std::vector<QString> shellIDsOf(const RunningApplication& app) {
        std::vector<QString> ids;
        for (const auto& w : windows())
            if (w.pid == app.pid && identify(w) == app.applicationID && std::find(ids.begin(), ids.end(), w.shellID) == ids.end())
                ids.push_back(w.shellID);
        return ids;
    }

    void minimize(const RunningApplication& app) {
        for (const auto& id : shellIDsOf(app)) call(QStringLiteral("Minimize"), {id, uint(app.pid)});
    }
};

std::shared_ptr<GnomeShellWindowSystem> GnomeShellWindowSystem::open(Options options) {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    std::shared_ptr<GnomeShellWindowSystem> system(new GnomeShellWindowSystem(std::move(impl)));
    auto& d = *system->d;
    d.owner = system.get();
    d.events.impl = &d;
    d.applicationDirs = d.options.applicationDirectories ? *d.options.applicationDirectories : DesktopEntries::applicationDirectories();
    d.entriesStamp = DesktopEntries::directoriesStamp(d.applicationDirs);
    d.entries = DesktopEntries::scan(d.applicationDirs);
    d.subscribe();
    return system;
}

bool GnomeShellWindowSystem::isGnomeSession() {
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    if (!desktops) return false;
    for (const auto& name : QString::fromUtf8(desktops).split(':'))
        if (name.compare(QLatin1String("GNOME"), Qt::CaseInsensitive) == 0) return true;
    return false;
}

bool GnomeShellWindowSystem::installExtension(const fs::path& dataHome) {
    initExtensionResources();
    fs::path base = dataHome;
    if (base.empty()) {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        if (xdg && *xdg == '/') base = xdg;
        else if (home && *home == '/') base = fs::path(home) / ".local/share";
        else return false;
    }
    const fs::path folder = base / "gnome-shell/extensions" / extensionUUID;
    std::error_code ec;
    // Nothing is written through a link someone put in the way.
    for (fs::path p = folder; p != base && p.has_relative_path(); p = p.parent_path())
        if (fs::is_symlink(fs::symlink_status(p, ec))) return false;
    fs::create_directories(folder, ec);
    if (ec) return false;
    const QString from = QStringLiteral(":/gnome-shell/") + extensionUUID + '/';
    for (const char* name : {"metadata.json", "extension.js"}) {
        QFile shipped(from + name);
        if (!shipped.open(QIODevice::ReadOnly)) return false;
        const QByteArray content = shipped.readAll();
        const auto target = QString::fromStdString((folder / name).string());
        if (fs::is_symlink(fs::symlink_status(folder / name, ec))) return false;
        // Never blocks on a pipe left in its place; anything unreadable is simply replaced.
        const auto current = readWholeFile(folder / name, {.maxBytes = 1 << 20});
        if (current.ok() && QByteArrayView(current.data.data(), qsizetype(current.data.size())) == content) continue;
        QSaveFile out(target);
        if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit()) return false;
    }
    return true;
}

GnomeShellWindowSystem::GnomeShellWindowSystem(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

GnomeShellWindowSystem::~GnomeShellWindowSystem() {
    if (d->registered) d->bus.unregisterObject(eventsPath);
}

std::optional<std::string> GnomeShellWindowSystem::frontmostApplicationID() { return d->frontmost(); }

std::vector<RunningApplication> GnomeShellWindowSystem::runningApplications() {
    std::vector<RunningApplication> apps;
    const auto all = d->windows();
    // The focused window's application first, then the stacking order.
    std::vector<const ShellWindow*> ordered;
    for (const auto& w : all)
        if (w.focused) ordered.push_back(&w);
    for (const auto& w : all) ordered.push_back(&w);
    for (const auto* w : ordered) {
        const auto id = d->identify(*w);
        if (!id) continue;
        RunningApplication app{*id, w->pid};
        if (std::find(apps.begin(), apps.end(), app) == apps.end()) apps.push_back(std::move(app));
    }
    return apps;
}

void GnomeShellWindowSystem::hide(const RunningApplication& app) { d->minimize(app); }

void GnomeShellWindowSystem::activate(const RunningApplication& app) {
    const auto ids = d->shellIDsOf(app);
    if (!ids.empty()) d->call(QStringLiteral("Activate"), {ids.front(), uint(app.pid)});
}

std::optional<std::string> GnomeShellWindowSystem::defaultFileManagerID() { return d->fileManager.applicationID(); }

WindowControl GnomeShellWindowSystem::windowControl() {
    return d->usable() ? WindowControl::available : WindowControl::gnomeExtensionMissing;
}

void GnomeShellWindowSystem::recheckWindowControl() {
    if (!d->usable()) d->subscribe();
}

void GnomeShellWindowSystem::guardCurtain(const std::vector<CurtainWindow>& windows) {
    const bool goesUp = !windows.empty() && d->guarded.empty();
    if (!d->reconnect()) {
        // Sent, and the app hidden, once the extension answers again.
        d->hidePending = !windows.empty() && (d->hidePending || goesUp);
        d->guarded = windows;
        return;
    }
    if (goesUp) d->hideFocused();
    d->guarded = windows;
    d->sendGuard();
}
