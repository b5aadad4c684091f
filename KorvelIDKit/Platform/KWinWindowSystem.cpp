#include "Platform/KWinWindowSystem.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string_view>

#include "Platform/DefaultFileManager.h"
#include "Platform/DesktopEntries.h"
#include "Support/Logger.h"

namespace fs = std::filesystem;

namespace {
const QString kwinService = QStringLiteral("org.kde.KWin");
const QString objectPath = QStringLiteral("/com/korvel/id/AppLock");
const QString interfaceName = QStringLiteral("com.korvel.id.AppLock");
// The script asks again at once after each answer; this long without a request means it is gone.
constexpr int scriptSilenceMs = 5'000;

struct KWinView {
    std::string id;  // KWin's internal ID
    std::int64_t pid = 0;
    std::optional<std::string> applicationID;
    std::string title;
    bool fullScreen = false, above = false, minimized = false;
    bool away = false;  // a curtain window kept below or off the screen it covers
};

std::string text(const QJsonValue& value) { return value.isString() ? value.toString().toStdString() : std::string(); }
}  // namespace

struct KWinWindowSystem::Impl : QDBusVirtualObject {
    KWinWindowSystem* owner = nullptr;
    Options options;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bool registered = false;
    QString kwinOwner;  // KWin's unique bus name: the only caller listened to
    std::unique_ptr<QTemporaryFile> script;
    bool reported = false;  // the script has spoken since it was loaded
    // Each load has a name of its own: KWin frees an unloaded script only later, and refuses a
    // name still in use.
    QString pluginName;
    int loads = 0;

    std::vector<fs::path> applicationDirs;
    DesktopEntries entries;
    std::int64_t entriesStamp = 0;
    DefaultFileManager fileManager;

    std::vector<KWinView> views;  // KWin's stacking order, bottom first
    std::string activeID;
    std::map<std::string, std::string> lastActive;  // application -> its most recently active window
    std::optional<std::string> lastActivatedID;

    std::vector<CurtainWindow> guarded;
    int restorations = 0;
    bool curtainPlaced = false;  // once active, any later move is a restoration
    QJsonObject pending;  // commands not yet handed to the script
    std::optional<QDBusMessage> waiting;  // the script's standing request
    QTimer idleAnswer;
    QTimer silence;  // a script that stops asking was stopped or unloaded: load it again

    ~Impl() override {
        if (!pluginName.isEmpty()) unload();
        if (registered) bus.unregisterObject(objectPath);
    }

    // ---- D-Bus

    QString introspect(const QString&) const override {
        return QStringLiteral("<interface name=\"com.korvel.id.AppLock\">"
                              "<method name=\"windowsChanged\"><arg name=\"state\" type=\"s\" direction=\"in\"/></method>"
                              "<method name=\"nextCommand\"><arg name=\"command\" type=\"s\" direction=\"out\"/></method>"
                              "</interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != interfaceName) return false;
        if (message.service() != kwinOwner) {
            kwinOwner = bus.interface()->serviceOwner(kwinService).value();
            if (message.service() != kwinOwner) {
                connection.send(message.createErrorReply(QDBusError::AccessDenied, QStringLiteral("Only KWin may call this.")));
                return true;
            }
        }
        if (message.member() == QLatin1String("windowsChanged") && message.arguments().size() == 1) {
            connection.send(message.createReply());
            windowsChanged(message.arguments().at(0).toString().toUtf8());
            return true;
        }
        if (message.member() == QLatin1String("nextCommand")) {
            message.setDelayedReply(true);
            silence.stop();
            if (waiting) answer(QJsonObject{});  // a stale request: the script asked again
            waiting = message;
            if (!pending.isEmpty()) answer(std::exchange(pending, {}));
            else idleAnswer.start(options.standingRequestMs);
            return true;
        }
        return false;
    }

    void answer(const QJsonObject& command) {
        if (!waiting) return;
        idleAnswer.stop();
        const QString body = command.isEmpty() ? QString() : QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact));
        bus.send(waiting->createReply(body));
        waiting.reset();
        silence.start(scriptSilenceMs);
    }

    void send(const QString& key, const QJsonValue& value) {
        pending.insert(key, value);
        if (waiting) answer(std::exchange(pending, {}));
    }

    // ---- what the script reports

    std::optional<std::string> identify(const QJsonObject& w) {
        const std::int64_t pid = w.value("pid").toInteger();
        if (pid > 0 && pid == ::getpid()) return ownApplicationID;
        entries.rescanIfChanged(applicationDirs, entriesStamp);
        WindowIdentity identity;
        // On Wayland KWin's desktop file name is the window's app_id.
        identity.gtkApplicationID = text(w.value("app"));
        identity.wmClass = text(w.value("cls"));
        identity.wmInstance = text(w.value("name"));
        identity.executable = DesktopEntries::executableOf(pid);
        return entries.applicationIDFor(identity);
    }

    const KWinView* view(const std::string& id) const {
        const auto it = std::find_if(views.begin(), views.end(), [&](const KWinView& v) { return v.id == id; });
        return it != views.end() ? &*it : nullptr;
    }

    bool isRunning(const std::string& applicationID) const {
        return std::any_of(views.begin(), views.end(), [&](const KWinView& v) { return v.applicationID == applicationID; });
    }

    void windowsChanged(const QByteArray& state) {
        const auto document = QJsonDocument::fromJson(state);
        if (!document.isObject()) return;
        reported = true;
        const QJsonObject body = document.object();
        std::vector<KWinView> seen;
        for (const auto& item : body.value("windows").toArray()) {
            const QJsonObject w = item.toObject();
            KWinView v{text(w.value("id")), w.value("pid").toInteger(), std::nullopt, text(w.value("title")),
                       w.value("fs").toBool(), w.value("above").toBool(), w.value("minimized").toBool(),
                       w.value("away").toBool()};
            const KWinView* known = view(v.id);
            v.applicationID = known ? known->applicationID : identify(w);
            seen.push_back(std::move(v));
        }
        std::vector<std::string> before;
        for (const auto& v : views)
            if (v.applicationID) before.push_back(*v.applicationID);
        views = std::move(seen);
        activeID = text(body.value("active"));
        std::sort(before.begin(), before.end());
        before.erase(std::unique(before.begin(), before.end()), before.end());
        for (const auto& id : before)
            if (!isRunning(id)) {
                lastActive.erase(id);
                if (lastActivatedID == id) lastActivatedID.reset();
                owner->notifyTerminated(id);
            }
        if (!guarded.empty()) keepCurtain();
        if (const KWinView* active = view(activeID); active && active->applicationID) {
            lastActive[*active->applicationID] = active->id;
            if (active->applicationID != lastActivatedID) {
                lastActivatedID = active->applicationID;
                owner->notifyActivated(*active->applicationID);
            }
        }
    }

    // ---- the curtain

    const KWinView* curtainView(const CurtainWindow& wanted) const {
        const auto it = std::find_if(views.begin(), views.end(), [&](const KWinView& v) {
            return v.pid == ::getpid() && v.title == wanted.title;
        });
        return it != views.end() ? &*it : nullptr;
    }

    const KWinView* keyView() const {
        const auto it = std::find_if(guarded.begin(), guarded.end(), [](const CurtainWindow& w) { return w.key; });
        return it != guarded.end() ? curtainView(*it) : nullptr;
    }

    // Asks the script to put the curtain back when anything moved it: each window above and
    // full-screen, the key window active (or, until it is mapped, a cover).
    void keepCurtain(bool always = false) {
        bool anyShown = false, placed = true, coverActive = false;
        for (const auto& wanted : guarded) {
            const KWinView* v = curtainView(wanted);
            if (!v) continue;
            anyShown = true;
            placed = placed && v->fullScreen && v->above && !v->minimized && !v->away;
            if (!wanted.key && v->id == activeID) coverActive = true;
        }
        // A cover stands in for the key window only until that is mapped: a cover holding the
        // focus while the key window is shown would take typing nowhere.
        const KWinView* key = keyView();
        const bool keyActive = key ? key->id == activeID : coverActive;
        if (!anyShown) return;  // not mapped yet: its appearance is reported too
        if (keyActive) curtainPlaced = true;
        if (!always && placed && keyActive) return;
        if (!always && curtainPlaced) ++restorations;
        QJsonArray windows;
        for (const auto& wanted : guarded) {
            QJsonObject w{{"title", QString::fromStdString(wanted.title)}, {"key", wanted.key}};
            for (QScreen* screen : QGuiApplication::screens())
                if (screen->name().toStdString() == wanted.output) {
                    const QRect g = screen->geometry();
                    w.insert("x", g.x());
                    w.insert("y", g.y());
                    w.insert("width", g.width());
                    w.insert("height", g.height());
                }
            windows.append(w);
        }
        send("curtain", windows);
    }

    // ---- set-up

    bool load() {
        kwinOwner = bus.interface()->serviceOwner(kwinService).value();
        if (kwinOwner.isEmpty()) return false;
        QFile source(QStringLiteral(":/korvel/kwin/korvel-applock.js"));
        if (!source.open(QIODevice::ReadOnly)) return false;
        QByteArray code = source.readAll();
        code.replace("@SERVICE@", bus.baseService().toUtf8());
        code.replace("@PID@", QByteArray::number(::getpid()));
        // KWin reads the file when the script runs; it stays until this object goes.
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        script = std::make_unique<QTemporaryFile>(runtime + QStringLiteral("/korvel-applock-XXXXXX.js"));
        if (!script->open() || script->write(code) != code.size() || !script->flush()) return false;
        if (!pluginName.isEmpty()) unload();
        pluginName = QStringLiteral("korvel-id-applock-%1-%2").arg(::getpid()).arg(++loads);
        const auto loaded = call(QStringLiteral("/Scripting"), QStringLiteral("org.kde.kwin.Scripting"),
                                 QStringLiteral("loadScript"), {script->fileName(), pluginName});
        if (loaded.type() != QDBusMessage::ReplyMessage || loaded.arguments().isEmpty()) return false;
        const int id = loaded.arguments().at(0).toInt();
        if (id < 0) return false;
        // KWin 5 names a script's object /<id>, KWin 6 /Scripting/Script<id>. KWin 5 numbers scripts
        // by how many are loaded, so after an unload the path may name another script: start()
        // runs every loaded script that is not running yet, ours among them.
        for (const QString& path : {QStringLiteral("/Scripting/Script%1").arg(id), QStringLiteral("/%1").arg(id)})
            call(path, QStringLiteral("org.kde.kwin.Script"), QStringLiteral("run"), {});
        return call(QStringLiteral("/Scripting"), QStringLiteral("org.kde.kwin.Scripting"), QStringLiteral("start"), {}).type() ==
               QDBusMessage::ReplyMessage;
    }

    void unload() {
        call(QStringLiteral("/Scripting"), QStringLiteral("org.kde.kwin.Scripting"), QStringLiteral("unloadScript"), {pluginName});
    }

    QDBusMessage call(const QString& path, const QString& interface, const QString& method, const QVariantList& args) {
        auto message = QDBusMessage::createMethodCall(kwinService, path, interface, method);
        message.setArguments(args);
        return bus.call(message, QDBus::Block, 3000);
    }

    void connect() {
        applicationDirs = options.applicationDirectories ? *options.applicationDirectories
                                                         : DesktopEntries::applicationDirectories();
        entriesStamp = DesktopEntries::directoriesStamp(applicationDirs);
        entries = DesktopEntries::scan(applicationDirs);
        idleAnswer.setSingleShot(true);
        QObject::connect(&idleAnswer, &QTimer::timeout, this, [this] { answer(QJsonObject{}); });
        silence.setSingleShot(true);
        QObject::connect(&silence, &QTimer::timeout, this, [this] {
            Log::auth().error("AppLock: the KWin script stopped asking; loading it again.");
            reported = false;
            if (!load()) Log::auth().error("AppLock: KWin did not take the app-lock script.");
        });
        if (!bus.isConnected()) return;
        registered = bus.registerVirtualObject(objectPath, this, QDBusConnection::SingleNode);
        if (!registered) return;
        start();
    }

    void start() {
        reported = false;
        if (!load()) {
            Log::auth().error("AppLock: KWin did not take the app-lock script.");
            return;
        }
        QElapsedTimer clock;
        clock.start();
        while (!reported && clock.elapsed() < options.readyTimeoutMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
};

std::shared_ptr<KWinWindowSystem> KWinWindowSystem::open(Options options) {
    Q_INIT_RESOURCE(kwin);
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    std::shared_ptr<KWinWindowSystem> system(new KWinWindowSystem(std::move(impl)));
    system->d->owner = system.get();
    system->d->connect();
    return system;
}

bool KWinWindowSystem::isKWinWaylandSession() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!desktop || !wayland || !*wayland) return false;
    // A colon-separated list ("KDE" or, on some distributions, "KDE:plasma").
    const std::string_view list(desktop);
    for (std::size_t start = 0; start <= list.size();) {
        const auto end = std::min(list.find(':', start), list.size());
        if (list.substr(start, end - start) == "KDE") return true;
        start = end + 1;
    }
    return false;
}

KWinWindowSystem::KWinWindowSystem(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

KWinWindowSystem::~KWinWindowSystem() = default;

std::optional<std::string> KWinWindowSystem::frontmostApplicationID() {
    if (const KWinView* v = d->view(d->activeID)) return v->applicationID;
    return std::nullopt;
}

std::vector<RunningApplication> KWinWindowSystem::runningApplications() {
    std::vector<RunningApplication> apps;
    const auto add = [&](const KWinView& v) {
        if (!v.applicationID) return;
        RunningApplication app{*v.applicationID, v.pid};
        if (std::find(apps.begin(), apps.end(), app) == apps.end()) apps.push_back(std::move(app));
    };
    if (const KWinView* active = d->view(d->activeID)) add(*active);
    for (auto it = d->views.rbegin(); it != d->views.rend(); ++it) add(*it);
    return apps;
}

void KWinWindowSystem::hide(const RunningApplication& app) {
    if (app.pid <= 0 || app.pid == ::getpid()) return;
    QJsonArray pids = d->pending.value("minimise").toArray();
    pids.append(static_cast<qint64>(app.pid));
    d->send("minimise", pids);
}

void KWinWindowSystem::activate(const RunningApplication& app) {
    std::string target;
    if (const auto it = d->lastActive.find(app.applicationID); it != d->lastActive.end()) {
        const KWinView* v = d->view(it->second);
        if (v && v->pid == app.pid) target = v->id;
    }
    for (auto it = d->views.rbegin(); target.empty() && it != d->views.rend(); ++it)
        if (it->applicationID == app.applicationID && it->pid == app.pid) target = it->id;
    if (!target.empty()) d->send("activate", QString::fromStdString(target));
}

std::optional<std::string> KWinWindowSystem::defaultFileManagerID() { return d->fileManager.applicationID(); }

WindowControl KWinWindowSystem::windowControl() {
    if (!d->bus.isConnected()) return WindowControl::noDisplay;
    return d->reported ? WindowControl::available : WindowControl::noWindowManager;
}

void KWinWindowSystem::recheckWindowControl() {
    if (d->registered && !d->reported) d->start();
}

void KWinWindowSystem::guardCurtain(const std::vector<CurtainWindow>& windows) {
    d->guarded = windows;
    d->curtainPlaced = false;
    if (windows.empty()) d->send("curtain", QJsonArray{});
    else d->keepCurtain(true);
}

int KWinWindowSystem::curtainRestorations() const { return d->restorations; }

bool KWinWindowSystem::curtainKeyActive() const {
    const KWinView* key = d->keyView();
    return key && key->id == d->activeID;
}

int KWinWindowSystem::scriptLoads() const { return d->loads; }
