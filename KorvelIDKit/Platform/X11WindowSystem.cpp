#include "X11WindowSystem.h"

#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "Platform/DefaultFileManager.h"
#include "Platform/DesktopEntries.h"

// Last: Xlib defines macros (Status, None, Bool, …) that would clash with names in other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {
// Xlib reports protocol errors through one process-wide handler, whose default ends the process.
// Windows of other clients vanish at any moment, so errors on our own connections are expected and
// ignored; errors on anyone else's connection go to the handler that was there before.
std::set<Display*>& ourDisplays() {
    static std::set<Display*> displays;
    return displays;
}
// A lost connection goes through the process-wide I/O error handler too, whose default ends the
// process; for our connections it returns, and the connection's exit handler marks it dead.
XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIOErrorHandler = nullptr;

int ignoreOwnErrors(Display* display, XErrorEvent* event) {
    if (ourDisplays().contains(display)) return 0;
    return previousErrorHandler ? previousErrorHandler(display, event) : 0;
}

int surviveOwnIOErrors(Display* display) {
    if (ourDisplays().contains(display)) return 0;
    return previousIOErrorHandler ? previousIOErrorHandler(display) : 0;
}

void installErrorHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    previousErrorHandler = XSetErrorHandler(ignoreOwnErrors);
    previousIOErrorHandler = XSetIOErrorHandler(surviveOwnIOErrors);
}

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (type && std::string_view(type) == "wayland") || (wayland && *wayland);
}

constexpr long iconicState = 3;        // ICCCM WM_CHANGE_STATE argument
constexpr long sourcePager = 2;        // EWMH source indication: a pager or similar tool
constexpr Window noWindow = 0;

struct WindowInfo {
    std::optional<std::string> applicationID;
    long pid = 0;
};
}  // namespace

struct X11WindowSystem::Impl {
    X11WindowSystem* owner = nullptr;
    Options options;
    Display* dpy = nullptr;
    Window root = noWindow;
    bool dead = false;
    bool hasXRes = false;
    WindowControl control = WindowControl::noDisplay;
    std::unique_ptr<QObject> context;  // owns the notifier; receives queued drains
    QSocketNotifier* notifier = nullptr;
    bool drainQueued = false;

    Atom netActiveWindow = 0, netClientList = 0, netClientListStacking = 0, netSupportingWmCheck = 0,
         netSupported = 0, netWmPid = 0, gtkApplicationID = 0, utf8String = 0, wmChangeState = 0, wmState = 0;

    std::vector<fs::path> applicationDirs;
    DesktopEntries entries;
    std::int64_t entriesStamp = 0;

    std::map<Window, WindowInfo> windows;       // what we know about each listed window
    WindowInfo unkept;                          // infoFor's answer for a window already gone
    std::vector<Window> clients;                // _NET_CLIENT_LIST_STACKING, bottom to top
    std::map<std::string, std::set<Window>> runningWindows;  // each application's listed windows
    std::map<std::string, Window> lastActiveWindow;
    std::optional<std::string> lastActivatedID;
    std::map<Window, SteadyClock::time_point> hiding;  // iconify requested, not yet acted on
    struct Activation {
        Window window;
        SteadyClock::time_point deadline;
        // Another client's request: the window that was active then. Any change away from it means
        // the window manager acted (or chose not to), so the request no longer stands in.
        std::optional<Window> activeBefore;
    };
    std::optional<Activation> activating;  // activation requested, not yet acted on
    Time lastServerTime = CurrentTime;

    DefaultFileManager fileManager;

    std::map<Window, SteadyClock::time_point> iconifiedByUs;  // hide() requests, for restore()

    // Our own curtain windows, kept mapped, on top and in place (guardWindows).
    std::vector<GuardedWindow> guarded;
    std::function<void(bool)> guardCallback;
    QTimer* guardTimer = nullptr;  // the short timer that repairs what no event reported
    int unrepairedChecks = 0;
    bool guardCheckQueued = false;
    bool guardLost = false;

    ~Impl() {
        delete notifier;
        notifier = nullptr;
        if (dpy) {
            XCloseDisplay(dpy);
            ourDisplays().erase(dpy);
        }
    }

    bool usable() const { return dpy && !dead; }

    // ---- properties

    std::vector<unsigned long> readLongs(Window w, Atom property, Atom type, long maxItems = 1L << 16) {
        std::vector<unsigned long> values;
        Atom actualType = 0;
        int actualFormat = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy, w, property, 0, maxItems, False, type, &actualType, &actualFormat, &count,
                               &remaining, &data) == Success &&
            data && actualType == type && actualFormat == 32 && count > 0) {
            values.resize(count);
            // Format-32 items arrive as C longs.
            std::memcpy(values.data(), data, count * sizeof(unsigned long));
        }
        if (data) XFree(data);
        return values;
    }

    std::string readUtf8(Window w, Atom property) {
        std::string text;
        Atom actualType = 0;
        int actualFormat = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy, w, property, 0, 1024, False, utf8String, &actualType, &actualFormat, &count,
                               &remaining, &data) == Success &&
            data && actualType == utf8String && actualFormat == 8)
            text.assign(reinterpret_cast<const char*>(data), count);
        if (data) XFree(data);
        return text;
    }

    Window activeWindow() {
        const auto v = readLongs(root, netActiveWindow, XA_WINDOW, 1);
        return v.empty() ? noWindow : Window(v.front());
    }

    long clientPid(Window w) {
        if (hasXRes) {
            XResClientIdSpec query{w, XRES_CLIENT_ID_PID_MASK};
            long count = 0;
            XResClientIdValue* ids = nullptr;
            long pid = 0;
            if (XResQueryClientIds(dpy, 1, &query, &count, &ids) == Success) {
                for (long i = 0; i < count && pid <= 0; ++i) pid = XResGetClientPid(&ids[i]);
                XResClientIdsDestroy(count, ids);
            }
            if (pid > 0) return pid;
        }
        const auto v = readLongs(w, netWmPid, XA_CARDINAL, 1);
        return v.empty() ? 0 : long(v.front());
    }

    // ---- identification

    void refreshEntriesIfChanged() {
        if (!entries.rescanIfChanged(applicationDirs, entriesStamp)) return;
        // Installed applications changed: names given before may now resolve differently.
        for (auto& [w, info] : windows) info = identify(w);
    }

    WindowInfo identify(Window w) {
        WindowInfo info;
        info.pid = clientPid(w);
        if (info.pid > 0 && info.pid == long(::getpid())) {
            info.applicationID = ownApplicationID;
            return info;
        }
        WindowIdentity identity;
        identity.gtkApplicationID = readUtf8(w, gtkApplicationID);
        XClassHint hint{nullptr, nullptr};
        if (XGetClassHint(dpy, w, &hint)) {
            if (hint.res_name) identity.wmInstance = hint.res_name;
            if (hint.res_class) identity.wmClass = hint.res_class;
        }
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        identity.executable = DesktopEntries::executableOf(info.pid);
        info.applicationID = entries.applicationIDFor(identity);
        return info;
    }

    const WindowInfo& infoFor(Window w) {
        auto it = windows.find(w);
        if (it == windows.end()) {
            refreshEntriesIfChanged();
            // The server hands a dead client's window IDs to the next client: only the window's
            // own destruction tells that a listed ID now names another program's window.
            if (w != root) XSelectInput(dpy, w, StructureNotifyMask);
            WindowInfo info = identify(w);
            // A window already gone (still listed a moment longer) sends no destruction to
            // forget it by: what it gave is not kept, or its ID's next owner would inherit it.
            XWindowAttributes attributes;
            if (w != root && !XGetWindowAttributes(dpy, w, &attributes)) {
                unkept = std::move(info);
                return unkept;
            }
            it = windows.emplace(w, std::move(info)).first;
        }
        return it->second;
    }

    // ---- front application

    SteadyClock::time_point settleDeadline() const {
        return SteadyClock::now() +
               std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(options.hideSettleSeconds));
    }

    // Requests to the window manager take effect a moment later, but the app lock judges the front
    // application right after making them. A window asked to activate counts as in front until it
    // is (an unlocked application must not lose its every-time grace to the window that was in
    // front behind its curtain). A window asked to iconify is not taken for the front application
    // while it is still active (ending a curtain by hiding must not lock it again at once); once a
    // window not being hidden is active, those requests are settled. Either lasts at most the
    // settle time, for a window manager that ignores the request.
    std::optional<std::string> applicationInFront(Window active) {
        if (activating) {
            if (active == activating->window || SteadyClock::now() >= activating->deadline ||
                (activating->activeBefore && active != *activating->activeBefore))
                activating.reset();
            else
                return infoFor(activating->window).applicationID;
        }
        // Iconified since the request: the window manager has acted, and the window coming back
        // now is the user bringing it back (Alt+Tab after Escape on its curtain).
        std::erase_if(hiding, [&](const auto& entry) { return entry.first != active && isIconic(entry.first); });
        if (active == noWindow) return std::nullopt;
        if (const auto it = hiding.find(active); it != hiding.end()) {
            if (SteadyClock::now() < it->second) return std::nullopt;
            hiding.erase(it);
        } else {
            hiding.clear();
        }
        return infoFor(active).applicationID;
    }

    // ---- events

    void scheduleDrainIfQueued() {
        if (!usable() || drainQueued || XQLength(dpy) == 0) return;
        drainQueued = true;
        QMetaObject::invokeMethod(context.get(), [this] { drain(); }, Qt::QueuedConnection);
    }

    void drain() {
        drainQueued = false;
        while (usable() && XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            if (event.type == PropertyNotify && event.xproperty.window == root) handleRootProperty(event.xproperty);
            else if (event.type == DestroyNotify) handleDestroyed(event.xdestroywindow.window);
            else if (event.type == ClientMessage && event.xclient.message_type == netActiveWindow &&
                     event.xclient.window != root)
                handleActivationRequest(event.xclient.window);
            if (!guarded.empty()) guardEvent(event);
        }
        if (dead && notifier) notifier->setEnabled(false);
    }

    void handleRootProperty(const XPropertyEvent& event) {
        lastServerTime = event.time;
        if (event.atom == netActiveWindow) {
            handleActiveChanged();
            // The window manager moved the focus under a curtain (it lets go of its own grab
            // around that): the curtain takes focus and keyboard back now, not at its next retry.
            if (!guarded.empty()) guardTouched();
        } else if (event.atom == netClientListStacking || event.atom == netClientList) {
            handleClientListChanged();
        } else if (event.atom == netSupportingWmCheck || event.atom == netSupported) {
            checkWindowManager();
        }
    }

    void handleActiveChanged() {
        const Window active = activeWindow();
        // The property passes through None while the window manager switches; only a change to
        // another application is an activation.
        const auto id = applicationInFront(active);
        if (!id) {
            // Nothing (known) in front: the application that was is no longer, and its next
            // activation is one.
            if (active == noWindow || hiding.contains(active)) lastActivatedID.reset();
            return;
        }
        lastActiveWindow[*id] = activating ? activating->window : active;
        if (id == lastActivatedID) return;
        lastActivatedID = id;
        owner->notifyActivated(*id);
    }

    // A task bar, a pager or an application asks the window manager to activate a window (the
    // request reaches every client watching the root window's substructure). The window manager
    // acts on it only after its own work (de-iconifying, an animation): tens of milliseconds in
    // which the window would show and take keys before a curtain. The window counts as in front
    // from the request on, as one asked by this program does.
    void handleActivationRequest(Window w) {
        if (!std::count(clients.begin(), clients.end(), w)) return;  // not a managed top-level window
        // Our own request (activate()) stays until it is carried out; another client's only until
        // the active window changes, so requests the window manager ignores (xdotool on a window
        // that takes no focus, over and over) cannot hide what really comes to the front.
        if (!activating || activating->window != w) activating = Activation{w, settleDeadline(), activeWindow()};
        handleActiveChanged();
    }

    bool isIconic(Window w) {
        const auto state = readLongs(w, wmState, wmState, 1);
        return !state.empty() && state.front() == static_cast<unsigned long>(iconicState);
    }

    std::vector<Window> readClientList() {
        auto list = readLongs(root, netClientListStacking, XA_WINDOW);
        if (list.empty()) list = readLongs(root, netClientList, XA_WINDOW);
        return {list.begin(), list.end()};
    }

    // An application has quit when none of the windows it had at the last look is listed any more,
    // even if a new instance already shows a window (quit and restarted between two looks).
    void handleClientListChanged() {
        clients = readClientList();
        const std::set<Window> listed(clients.begin(), clients.end());
        std::erase_if(windows, [&](const auto& entry) { return !listed.contains(entry.first); });
        std::map<std::string, std::set<Window>> nowRunning;
        for (const Window w : clients)
            if (const auto& id = infoFor(w).applicationID) nowRunning[*id].insert(w);
        std::vector<std::string> gone;
        for (const auto& [id, before] : runningWindows)
            if (std::none_of(before.begin(), before.end(), [&](Window w) { return listed.contains(w); })) gone.push_back(id);
        runningWindows = std::move(nowRunning);
        applicationsQuit(gone);
    }

    // A destroyed window is forgotten at once, before its ID can come back as a new window, and an
    // application whose last window it was has quit.
    void handleDestroyed(Window w) {
        if (isGuarded(w)) guardFailed();
        if (!windows.erase(w)) return;
        std::vector<std::string> gone;
        for (auto it = runningWindows.begin(); it != runningWindows.end();) {
            if (it->second.erase(w) && it->second.empty()) {
                gone.push_back(it->first);
                it = runningWindows.erase(it);
            } else {
                ++it;
            }
        }
        applicationsQuit(gone);
    }

    void applicationsQuit(const std::vector<std::string>& gone) {
        for (const auto& id : gone) {
            lastActiveWindow.erase(id);
            if (lastActivatedID == id) lastActivatedID.reset();
        }
        for (const auto& id : gone) owner->notifyTerminated(id);
    }

    void checkWindowManager() {
        if (!usable()) return;
        control = WindowControl::noWindowManager;
        const auto check = readLongs(root, netSupportingWmCheck, XA_WINDOW, 1);
        if (check.empty()) return;
        const auto self = readLongs(Window(check.front()), netSupportingWmCheck, XA_WINDOW, 1);
        if (self.empty() || self.front() != check.front()) return;  // a stale check window
        const auto supported = readLongs(root, netSupported, XA_ATOM);
        if (std::find(supported.begin(), supported.end(), netActiveWindow) == supported.end()) return;
        control = WindowControl::available;
    }

    // ---- instances

    bool belongsTo(Window w, const RunningApplication& app) {
        const auto& info = infoFor(w);
        return info.applicationID == app.applicationID && info.pid == app.pid;
    }

    // The instance's windows, topmost first.
    std::vector<Window> windowsOf(const RunningApplication& app) {
        clients = readClientList();
        std::vector<Window> result;
        for (auto it = clients.rbegin(); it != clients.rend(); ++it)
            if (belongsTo(*it, app)) result.push_back(*it);
        return result;
    }

    void sendToRoot(Window w, Atom type, long l0, long l1 = 0, long l2 = 0) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = w;
        event.xclient.message_type = type;
        event.xclient.format = 32;
        event.xclient.data.l[0] = l0;
        event.xclient.data.l[1] = l1;
        event.xclient.data.l[2] = l2;
        XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    }

    // ---- guarding our own curtain windows

    bool isGuarded(Window w) const {
        return std::any_of(guarded.begin(), guarded.end(), [&](const GuardedWindow& g) { return Window(g.window) == w; });
    }

    // Events on the guarded windows themselves, and on every top-level window (a window mapped or
    // raised above a curtain, a notification pop-up among them): look at once, after this batch.
    void guardEvent(const XEvent& event) {
        if (event.type == MapNotify && !isGuarded(event.xmap.window)) guardTouched();  // a window shows: as above
        switch (event.type) {
        case UnmapNotify:
        case MapNotify:
        case ConfigureNotify:
        case CirculateNotify:
        case ReparentNotify:
        case VisibilityNotify: queueGuardCheck(); break;
        default: break;
        }
    }

    void guardTouched() {
        if (guardLost || !guardCallback) return;
        const auto callback = guardCallback;
        callback(true);
    }

    void queueGuardCheck() {
        if (guardCheckQueued) return;
        guardCheckQueued = true;
        QMetaObject::invokeMethod(context.get(), [this] {
            guardCheckQueued = false;
            checkGuarded();
        }, Qt::QueuedConnection);
    }

    static bool overlaps(const XWindowAttributes& a, const GuardedWindow& g) {
        return a.x < g.x + g.width && g.x < a.x + a.width + 2 * a.border_width && a.y < g.y + g.height &&
               g.y < a.y + a.height + 2 * a.border_width;
    }

    // Whether a window of anyone else is shown above a guarded window, where it covers it.
    bool somethingAbove() {
        Window rootReturn = noWindow, parent = noWindow;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy, root, &rootReturn, &parent, &children, &count)) return false;
        bool above = false;
        std::optional<unsigned> lowest;  // children are listed bottom to top
        for (unsigned i = 0; i < count && !lowest; ++i)
            if (isGuarded(children[i])) lowest = i;
        for (unsigned i = lowest.value_or(count) + 1; i < count && !above; ++i) {
            if (isGuarded(children[i])) continue;
            XWindowAttributes a;
            if (!XGetWindowAttributes(dpy, children[i], &a) || a.map_state != IsViewable || a.c_class != InputOutput) continue;
            above = std::any_of(guarded.begin(), guarded.end(), [&](const GuardedWindow& g) { return overlaps(a, g); });
        }
        if (children) XFree(children);
        return above;
    }

    void checkGuarded() {
        if (!usable() || guarded.empty() || guardLost) return;
        bool broken = false;
        for (const auto& g : guarded) {
            XWindowAttributes a;
            if (!XGetWindowAttributes(dpy, Window(g.window), &a)) return guardFailed();  // destroyed
            if (a.map_state != IsViewable || a.x != g.x || a.y != g.y || a.width != g.width || a.height != g.height)
                broken = true;
        }
        if (!broken && !somethingAbove()) {
            unrepairedChecks = 0;
            return;
        }
        // A window that stays broken through a few repairs (someone fighting back every time)
        // counts as lost.
        if (++unrepairedChecks > 10) return guardFailed();
        for (const auto& g : guarded) {
            XMapRaised(dpy, Window(g.window));
            XMoveResizeWindow(dpy, Window(g.window), g.x, g.y, unsigned(g.width), unsigned(g.height));
        }
        XSync(dpy, False);
        if (guardCallback) {
            const auto callback = guardCallback;  // may end the guarding
            callback(true);
        }
    }

    void guardFailed() {
        if (guardLost || guarded.empty()) return;
        guardLost = true;
        if (guardTimer) guardTimer->stop();
        if (guardCallback) {
            const auto callback = guardCallback;
            callback(false);
        }
    }

    // ---- set-up

    void connect() {
        if (options.displayName.empty() && isWaylandSession()) {
            control = WindowControl::waylandSession;
            return;
        }
        dpy = XOpenDisplay(options.displayName.empty() ? nullptr : options.displayName.c_str());
        if (!dpy) {
            control = WindowControl::noDisplay;
            return;
        }
        ourDisplays().insert(dpy);
        installErrorHandlers();
        // A lost X server must not end the process: the connection is marked dead and app lock
        // reports window control as unavailable.
        XSetIOErrorExitHandler(dpy, [](Display*, void* self) { static_cast<Impl*>(self)->dead = true; }, this);
        root = XDefaultRootWindow(dpy);
        const auto atom = [this](const char* name) { return XInternAtom(dpy, name, False); };
        netActiveWindow = atom("_NET_ACTIVE_WINDOW");
        netClientList = atom("_NET_CLIENT_LIST");
        netClientListStacking = atom("_NET_CLIENT_LIST_STACKING");
        netSupportingWmCheck = atom("_NET_SUPPORTING_WM_CHECK");
        netSupported = atom("_NET_SUPPORTED");
        netWmPid = atom("_NET_WM_PID");
        gtkApplicationID = atom("_GTK_APPLICATION_ID");
        utf8String = atom("UTF8_STRING");
        wmChangeState = atom("WM_CHANGE_STATE");
        wmState = atom("WM_STATE");
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        hasXRes = XResQueryExtension(dpy, &eventBase, &errorBase) && XResQueryVersion(dpy, &major, &minor) &&
                  (major > 1 || (major == 1 && minor >= 2));
        // Substructure changes: windows mapped or raised above a curtain.
        XSelectInput(dpy, root, PropertyChangeMask | SubstructureNotifyMask);

        applicationDirs = options.applicationDirectories ? *options.applicationDirectories
                                                         : DesktopEntries::applicationDirectories();
        entriesStamp = DesktopEntries::directoriesStamp(applicationDirs);
        entries = DesktopEntries::scan(applicationDirs);

        checkWindowManager();
        handleClientListChanged();
        if (const auto id = applicationInFront(activeWindow())) lastActivatedID = id;

        context = std::make_unique<QObject>();
        notifier = new QSocketNotifier(XConnectionNumber(dpy), QSocketNotifier::Read, context.get());
        QObject::connect(notifier, &QSocketNotifier::activated, context.get(), [this] { drain(); });
        XFlush(dpy);
        scheduleDrainIfQueued();
    }
};

std::shared_ptr<X11WindowSystem> X11WindowSystem::open(Options options) {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    std::shared_ptr<X11WindowSystem> system(new X11WindowSystem(std::move(impl)));
    system->d->owner = system.get();
    system->d->connect();
    return system;
}

X11WindowSystem::X11WindowSystem(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

X11WindowSystem::~X11WindowSystem() = default;

std::optional<std::string> X11WindowSystem::frontmostApplicationID() {
    if (!d->usable()) return std::nullopt;
    auto id = d->applicationInFront(d->activeWindow());
    d->scheduleDrainIfQueued();
    return id;
}

std::vector<RunningApplication> X11WindowSystem::runningApplications() {
    if (!d->usable()) return {};
    d->clients = d->readClientList();
    std::vector<RunningApplication> apps;
    for (auto it = d->clients.rbegin(); it != d->clients.rend(); ++it) {
        const auto& info = d->infoFor(*it);
        if (!info.applicationID) continue;
        RunningApplication app{*info.applicationID, info.pid};
        if (std::find(apps.begin(), apps.end(), app) == apps.end()) apps.push_back(std::move(app));
    }
    d->scheduleDrainIfQueued();
    return apps;
}

void X11WindowSystem::hide(const RunningApplication& app) {
    if (!d->usable()) return;
    const auto deadline = d->settleDeadline();
    for (const Window w : d->windowsOf(app)) {
        // XIconifyWindow's request (ICCCM WM_CHANGE_STATE to the root window), spelled out so the
        // screen number plays no part.
        d->sendToRoot(w, d->wmChangeState, iconicState);
        d->hiding[w] = deadline;
        d->iconifiedByUs[w] = SteadyClock::now();
        if (d->activating && d->activating->window == w) d->activating.reset();
    }
    XFlush(d->dpy);
    d->scheduleDrainIfQueued();
}

void X11WindowSystem::activate(const RunningApplication& app) {
    if (!d->usable()) return;
    const auto windows = d->windowsOf(app);
    if (windows.empty()) return;
    Window target = windows.front();
    if (const auto it = d->lastActiveWindow.find(app.applicationID);
        it != d->lastActiveWindow.end() && std::find(windows.begin(), windows.end(), it->second) != windows.end())
        target = it->second;
    d->hiding.erase(target);
    d->activating = Impl::Activation{target, d->settleDeadline(), std::nullopt};
    d->sendToRoot(target, d->netActiveWindow, sourcePager, long(d->lastServerTime), 0);
    XFlush(d->dpy);
    d->scheduleDrainIfQueued();
}

void X11WindowSystem::restore(const RunningApplication& app) {
    if (!d->usable()) return;
    for (const Window w : d->windowsOf(app)) {
        if (!d->iconifiedByUs.erase(w)) continue;
        // Mapping an iconified client window asks the window manager to show it again (ICCCM).
        d->hiding.erase(w);
        XMapWindow(d->dpy, w);
    }
    XFlush(d->dpy);
    d->scheduleDrainIfQueued();
}

bool X11WindowSystem::guardWindows(std::vector<GuardedWindow> windows, std::function<void(bool)> disturbed) {
    if (!d->usable()) return false;
    for (const auto& g : d->guarded)
        if (std::none_of(windows.begin(), windows.end(), [&](const GuardedWindow& n) { return n.window == g.window; }))
            XSelectInput(d->dpy, Window(g.window), NoEventMask);
    d->guarded = std::move(windows);
    d->guardCallback = std::move(disturbed);
    d->unrepairedChecks = 0;
    d->guardLost = false;
    if (d->guarded.empty()) {
        d->guardCallback = nullptr;
        if (d->guardTimer) d->guardTimer->stop();
        XFlush(d->dpy);
        return true;
    }
    for (const auto& g : d->guarded) XSelectInput(d->dpy, Window(g.window), StructureNotifyMask | VisibilityChangeMask);
    if (!d->guardTimer) {
        d->guardTimer = new QTimer(d->context.get());
        QObject::connect(d->guardTimer, &QTimer::timeout, d->context.get(), [impl = d.get()] { impl->checkGuarded(); });
    }
    d->guardTimer->start(guardInterval);
    XFlush(d->dpy);
    d->scheduleDrainIfQueued();
    return true;
}

std::optional<std::string> X11WindowSystem::defaultFileManagerID() { return d->fileManager.applicationID(); }

WindowControl X11WindowSystem::windowControl() {
    if (d->dpy && d->dead) return WindowControl::noDisplay;
    return d->control;
}

void X11WindowSystem::recheckWindowControl() {
    d->checkWindowManager();
    if (d->usable()) d->scheduleDrainIfQueued();
}

std::optional<std::string> X11WindowSystem::applicationIDOfWindow(unsigned long window) {
    if (!d->usable() || window == noWindow) return std::nullopt;
    auto id = d->infoFor(Window(window)).applicationID;
    d->scheduleDrainIfQueued();
    return id;
}
