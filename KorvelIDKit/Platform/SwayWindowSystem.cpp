#include "Platform/SwayWindowSystem.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QSocketNotifier>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

#include "Platform/DefaultFileManager.h"
#include "Platform/DesktopEntries.h"
#include "Platform/SwayIpc.h"
#include "Support/Logger.h"

namespace fs = std::filesystem;

namespace {
using ConID = std::int64_t;

struct View {
    std::optional<std::string> applicationID;
    std::int64_t pid = 0;
};

// One curtain window as the tree shows it.
struct CurtainView {
    ConID id = 0;
    const CurtainWindow* wanted = nullptr;
    std::string output;
    bool fullscreen = false;
    bool visible = false;
    bool focused = false;
};

std::string text(const QJsonValue& value) { return value.isString() ? value.toString().toStdString() : std::string(); }

// Output names go into commands; anything but the characters real names use is refused.
bool isPlainName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == ':';
    });
}

std::string con(ConID id) { return "[con_id=" + std::to_string(id) + "] "; }
}  // namespace

struct SwayWindowSystem::Impl {
    SwayWindowSystem* owner = nullptr;
    Options options;
    std::string socketPath;
    SwayIpc events, commands;
    std::unique_ptr<QObject> context;  // owns the notifier
    QSocketNotifier* notifier = nullptr;

    std::vector<fs::path> applicationDirs;
    DesktopEntries entries;
    std::int64_t entriesStamp = 0;

    std::map<ConID, View> views;
    std::vector<ConID> order;  // tree order
    std::optional<ConID> focused;
    ConID focusNotAView = 0;
    std::map<std::string, ConID> lastFocused;  // each application's most recently focused window
    std::optional<std::string> lastActivatedID;
    std::vector<CurtainWindow> guarded;
    int restorations = 0;
    DefaultFileManager fileManager;

    ~Impl() { delete notifier; }

    bool usable() const { return events.isOpen() && commands.isOpen(); }

    // ---- identification

    View identify(const QJsonObject& node) {
        View view;
        view.pid = node.value("pid").toInteger();
        if (view.pid > 0 && view.pid == ::getpid()) {
            view.applicationID = ownApplicationID;
            return view;
        }
        entries.rescanIfChanged(applicationDirs, entriesStamp);
        WindowIdentity identity;
        const std::string appID = text(node.value("app_id"));
        if (!appID.empty()) {
            // A Wayland app_id is the application's ID by convention (GTK, Qt with a desktop file
            // name); others use the program's name, which entries often give as StartupWMClass.
            identity.gtkApplicationID = appID;
            identity.wmClass = appID;
        } else {
            const auto x11 = node.value("window_properties").toObject();
            identity.wmClass = text(x11.value("class"));
            identity.wmInstance = text(x11.value("instance"));
        }
        identity.executable = DesktopEntries::executableOf(view.pid);
        view.applicationID = entries.applicationIDFor(identity);
        return view;
    }

    static bool isView(const QJsonObject& node) {
        return node.contains("pid") && (node.contains("app_id") || node.contains("window_properties"));
    }

    // ---- the tree

    template <typename Visit>
    static void walk(const QJsonObject& node, const std::string& output, const Visit& visit) {
        const std::string here = text(node.value("type")) == "output" ? text(node.value("name")) : output;
        visit(node, here);
        for (const char* key : {"nodes", "floating_nodes"})
            for (const auto& child : node.value(key).toArray()) walk(child.toObject(), here, visit);
    }

    std::optional<QJsonObject> readTree() {
        const auto reply = commands.request(SwayIpc::getTree, {});
        if (!reply || !reply->isObject()) return std::nullopt;
        return reply->object();
    }

    // Rebuilds what is known from the tree; applications that vanished meanwhile have quit.
    std::optional<QJsonObject> refresh() {
        auto tree = readTree();
        if (!tree) return std::nullopt;
        std::map<ConID, View> seen;
        std::vector<ConID> seenOrder;
        std::optional<ConID> seenFocus;
        walk(*tree, {}, [&](const QJsonObject& node, const std::string&) {
            if (!isView(node)) return;
            const ConID id = node.value("id").toInteger();
            const auto known = views.find(id);
            seen[id] = known != views.end() ? known->second : identify(node);
            seenOrder.push_back(id);
            if (node.value("focused").toBool()) seenFocus = id;
        });
        std::vector<std::string> before;
        for (const auto& [id, view] : views)
            if (view.applicationID) before.push_back(*view.applicationID);
        views = std::move(seen);
        order = std::move(seenOrder);
        focused = seenFocus;
        std::sort(before.begin(), before.end());
        before.erase(std::unique(before.begin(), before.end()), before.end());
        for (const auto& id : before)
            if (!isRunning(id)) applicationQuit(id);
        return tree;
    }

    bool isRunning(const std::string& applicationID) const {
        return std::any_of(views.begin(), views.end(), [&](const auto& v) { return v.second.applicationID == applicationID; });
    }

    void applicationQuit(const std::string& applicationID) {
        lastFocused.erase(applicationID);
        if (lastActivatedID == applicationID) lastActivatedID.reset();
        owner->notifyTerminated(applicationID);
    }

    // ---- events

    void drain() {
        if (!events.readAvailable()) {
            Log::auth().error("AppLock: the connection to sway was lost.");
            if (notifier) notifier->setEnabled(false);
            commands.close();
        }
        bool touched = false;
        while (auto message = events.next()) {
            const QJsonObject body = message->body.object();
            if (message->type == SwayIpc::windowEvent) {
                handleWindowEvent(text(body.value("change")), body.value("container").toObject());
                touched = true;
            } else if (message->type == SwayIpc::workspaceEvent) {
                // Another workspace in view may show no window at all: learn the focus afresh.
                if (text(body.value("change")) == "focus") refresh();
                touched = true;
            } else if (message->type == SwayIpc::shutdownEvent) {
                events.close();
                commands.close();
                if (notifier) notifier->setEnabled(false);
            }
        }
        if (touched && !guarded.empty()) keepCurtain();
    }

    void handleWindowEvent(const std::string& change, const QJsonObject& node) {
        const ConID id = node.value("id").toInteger();
        if (change == "close") {
            const auto it = views.find(id);
            if (it == views.end()) return;
            const auto applicationID = it->second.applicationID;
            views.erase(it);
            std::erase(order, id);
            if (focused == id) focused.reset();
            if (applicationID && !isRunning(*applicationID)) applicationQuit(*applicationID);
            return;
        }
        // Sway may report a closed window once more (a scratchpad window "moves" after closing).
        if (!isView(node) || (change != "new" && !views.contains(id))) return;
        if (change == "new") {
            if (!views.contains(id)) order.push_back(id);
            views[id] = identify(node);
        } else if (change == "title" && views[id].applicationID != ownApplicationID) {
            views[id] = identify(node);  // an XWayland window may set its class late
        }
        if (change == "focus") focusChanged(id);
    }

    void focusChanged(ConID id) {
        focused = id;
        const auto& applicationID = views[id].applicationID;
        if (!applicationID) return;
        lastFocused[*applicationID] = id;
        if (applicationID == lastActivatedID) return;
        lastActivatedID = applicationID;
        owner->notifyActivated(*applicationID);
    }

    // ---- the curtain

    // Puts the curtain back when anything moved it: each window full-screen on its output and in
    // view, the key window focused. Judged on the tree as sway has it now, so the events caused by
    // this very correction find nothing to correct.
    void keepCurtain() {
        const auto tree = readTree();
        if (!tree) return;
        std::vector<CurtainView> found;
        std::vector<std::string> outputs;
        walk(*tree, {}, [&](const QJsonObject& node, const std::string& output) {
            if (text(node.value("type")) == "output") outputs.push_back(text(node.value("name")));
            if (!isView(node) || node.value("pid").toInteger() != ::getpid()) return;
            const std::string title = text(node.value("name"));
            for (const auto& wanted : guarded)
                if (wanted.title == title)
                    found.push_back({node.value("id").toInteger(), &wanted, output, node.value("fullscreen_mode").toInt() != 0,
                                     node.value("visible").toBool(), node.value("focused").toBool()});
        });
        if (found.empty()) return;  // not mapped yet: its appearance is an event too
        const auto knownOutput = [&](const std::string& name) {
            return isPlainName(name) && std::find(outputs.begin(), outputs.end(), name) != outputs.end();
        };
        const bool placed = std::all_of(found.begin(), found.end(), [&](const CurtainView& v) {
            return v.fullscreen && v.visible && (v.output == v.wanted->output || !knownOutput(v.wanted->output));
        });
        // Until the key window is mapped, a cover holding the focus keeps the keys from the
        // application as well.
        const auto key = std::find_if(found.begin(), found.end(), [](const CurtainView& v) { return v.wanted->key; });
        const bool focusHeld = key != found.end() ? key->focused
                                                  : std::any_of(found.begin(), found.end(), [](const CurtainView& v) { return v.focused; });
        if (placed && focusHeld) return;
        // Covers first, so each output shows its curtain's workspace; the key window last, so it
        // ends with the focus.
        std::stable_sort(found.begin(), found.end(), [](const CurtainView& a, const CurtainView& b) {
            return !a.wanted->key && b.wanted->key;
        });
        std::string command;
        for (const auto& v : found) {
            if (v.output != v.wanted->output && knownOutput(v.wanted->output))
                command += con(v.id) + "move container to output " + v.wanted->output + "; ";
            command += con(v.id) + "fullscreen enable; " + con(v.id) + "focus; ";
        }
        ++restorations;
        commands.request(SwayIpc::runCommand, QByteArray::fromStdString(command));
    }

    // ---- set-up

    void connect() {
        socketPath = options.socketPath;
        if (socketPath.empty())
            for (const char* name : {"SWAYSOCK", "I3SOCK"})
                if (const char* value = std::getenv(name); value && *value) {
                    socketPath = value;
                    break;
                }
        applicationDirs = options.applicationDirectories ? *options.applicationDirectories
                                                         : DesktopEntries::applicationDirectories();
        entriesStamp = DesktopEntries::directoriesStamp(applicationDirs);
        entries = DesktopEntries::scan(applicationDirs);
        context = std::make_unique<QObject>();
        reconnect();
    }

    void reconnect() {
        delete notifier;
        notifier = nullptr;
        events.close();
        commands.close();
        if (!events.connect(socketPath) || !commands.connect(socketPath)) {
            events.close();
            commands.close();
            return;
        }
        const auto subscribed = events.request(SwayIpc::subscribe, R"(["window","workspace","shutdown"])");
        if (!subscribed || !subscribed->object().value("success").toBool()) {
            events.close();
            commands.close();
            return;
        }
        refresh();
        if (focused && views[*focused].applicationID) lastActivatedID = views[*focused].applicationID;
        notifier = new QSocketNotifier(events.descriptor(), QSocketNotifier::Read, context.get());
        QObject::connect(notifier, &QSocketNotifier::activated, context.get(), [this] { drain(); });
        drain();  // events that came with the subscription's reply
    }

    // The instance's windows, the most recently focused first.
    std::vector<ConID> windowsOf(const RunningApplication& app) const {
        std::vector<ConID> result;
        for (const ConID id : order) {
            const auto& view = views.at(id);
            if (view.applicationID == app.applicationID && view.pid == app.pid) result.push_back(id);
        }
        if (const auto it = lastFocused.find(app.applicationID); it != lastFocused.end()) {
            if (const auto at = std::find(result.begin(), result.end(), it->second); at != result.end())
                std::rotate(result.begin(), at, at + 1);
        }
        return result;
    }
};

std::shared_ptr<SwayWindowSystem> SwayWindowSystem::open(Options options) {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    std::shared_ptr<SwayWindowSystem> system(new SwayWindowSystem(std::move(impl)));
    system->d->owner = system.get();
    system->d->connect();
    return system;
}

bool SwayWindowSystem::isSwaySession() {
    const char* socket = std::getenv("SWAYSOCK");
    return socket && *socket;
}

SwayWindowSystem::SwayWindowSystem(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

SwayWindowSystem::~SwayWindowSystem() = default;

std::optional<std::string> SwayWindowSystem::frontmostApplicationID() {
    if (!d->usable()) return std::nullopt;
    // Asked live, as the focus may have moved with its event still on the way; the seats' list is
    // a far smaller answer than the tree.
    if (const auto seats = d->commands.request(SwayIpc::getSeats, {})) {
        const auto seat = seats->array().at(0).toObject();
        const ConID id = seat.value("focus").toInteger();
        if (!d->views.contains(id) && id != d->focusNotAView) {
            d->refresh();
            // A workspace without windows has the focus: no need to read the tree at every look.
            if (!d->views.contains(id)) d->focusNotAView = id;
        }
        d->focused = d->views.contains(id) ? std::optional<ConID>(id) : std::nullopt;
    }
    if (!d->focused) return std::nullopt;
    return d->views[*d->focused].applicationID;
}

std::vector<RunningApplication> SwayWindowSystem::runningApplications() {
    std::vector<RunningApplication> apps;
    if (!d->usable()) return apps;
    const auto add = [&](ConID id) {
        const auto& view = d->views.at(id);
        if (!view.applicationID) return;
        RunningApplication app{*view.applicationID, view.pid};
        if (std::find(apps.begin(), apps.end(), app) == apps.end()) apps.push_back(std::move(app));
    };
    if (d->focused) add(*d->focused);
    for (const ConID id : d->order) add(id);
    return apps;
}

void SwayWindowSystem::hide(const RunningApplication& app) {
    if (!d->usable()) return;
    std::string command;
    for (const ConID id : d->windowsOf(app)) command += con(id) + "move scratchpad; ";
    if (command.empty()) return;
    d->commands.request(SwayIpc::runCommand, QByteArray::fromStdString(command));
    d->refresh();  // sway has moved the focus on by now
}

void SwayWindowSystem::activate(const RunningApplication& app) {
    if (!d->usable()) return;
    const auto windows = d->windowsOf(app);
    if (windows.empty()) return;
    // Focusing a window in the scratchpad shows it again.
    const auto reply = d->commands.request(SwayIpc::runCommand, QByteArray::fromStdString(con(windows.front()) + "focus"));
    if (reply && reply->array().at(0).toObject().value("success").toBool()) d->focused = windows.front();
}

std::optional<std::string> SwayWindowSystem::defaultFileManagerID() { return d->fileManager.applicationID(); }

WindowControl SwayWindowSystem::windowControl() { return d->usable() ? WindowControl::available : WindowControl::noDisplay; }

void SwayWindowSystem::recheckWindowControl() {
    if (!d->usable()) d->reconnect();
}

void SwayWindowSystem::guardCurtain(const std::vector<CurtainWindow>& windows) {
    d->guarded = windows;
    if (!windows.empty() && d->usable()) d->keepCurtain();
}

int SwayWindowSystem::curtainRestorations() const { return d->restorations; }
