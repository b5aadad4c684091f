// Korvel ID's app lock inside KWin. It reports every change of the active window (and of the
// window list) to the program's own D-Bus service, and carries out what the program asks in reply
// to a standing request: minimise an application's windows, activate one, keep the lock curtain's
// windows above all others, full-screen on their screens, with the key window active.
// The program fills in SERVICE and PID when it loads the script; the script talks to no one else.
var service = "@SERVICE@";
var ownPid = @PID@;
var path = "/com/korvel/id/AppLock";
var iface = "com.korvel.id.AppLock";
var curtain = [];  // [{title, x, y, width, height, key}]
var polling = false;
var polledAt = 0;
var polls = 0;

// KWin 6 renamed the client API after windows; the same calls under either name.
var kwin6 = typeof workspace.windowList === "function";
function listWindows() { return kwin6 ? workspace.windowList() : workspace.clientList(); }
function currentWindow() { return kwin6 ? workspace.activeWindow : workspace.activeClient; }
function makeActive(w) { if (kwin6) workspace.activeWindow = w; else workspace.activeClient = w; }
function kwinSignal(name) { return workspace[(kwin6 ? "window" : "client") + name]; }

function text(value) {
    return value === undefined || value === null ? "" : String(value);
}

// A curtain window kept below, or not on the screen it was asked to cover (moved to another
// screen while full-screen, say), is out of place although above and full-screen.
function away(w) {
    if (w.pid !== ownPid) return false;
    if (w.keepBelow) return true;
    for (var i = 0; i < curtain.length; ++i) {
        var c = curtain[i];
        if (text(w.caption) !== c.title || !(c.width > 0)) continue;
        var g = w.frameGeometry;
        return g.x !== c.x || g.y !== c.y || g.width !== c.width || g.height !== c.height;
    }
    return false;
}

function windows() {
    var all = listWindows();
    var list = [];
    for (var i = 0; i < all.length; ++i) {
        var w = all[i];
        if (!w.normalWindow && !w.dialog) continue;
        list.push({id: text(w.internalId), pid: w.pid, app: text(w.desktopFileName),
                   cls: text(w.resourceClass), name: text(w.resourceName), title: text(w.caption),
                   minimized: w.minimized, fs: w.fullScreen, above: w.keepAbove, away: away(w)});
    }
    return list;
}

function report() {
    var active = currentWindow();
    callDBus(service, path, iface, "windowsChanged",
             JSON.stringify({active: active ? text(active.internalId) : "", windows: windows()}));
    // A request lost on the way (the program busy past D-Bus's time-out) is asked again.
    if (!polling || Date.now() - polledAt > 30000) poll();
}

function curtainWindow(wanted) {
    var all = listWindows();
    for (var i = 0; i < all.length; ++i)
        if (all[i].pid === ownPid && text(all[i].caption) === wanted.title) return all[i];
    return null;
}

// Puts every curtain window back in place; the key window last, so it ends active.
function keepCurtain() {
    var key = null;
    for (var i = 0; i < curtain.length; ++i) {
        var w = curtainWindow(curtain[i]);
        if (!w) continue;
        if (w.minimized) w.minimized = false;
        if (w.keepBelow) w.keepBelow = false;
        if (!w.keepAbove) w.keepAbove = true;
        if (!w.onAllDesktops) w.onAllDesktops = true;
        var g = w.frameGeometry;
        if (curtain[i].width > 0 && (g.x !== curtain[i].x || g.y !== curtain[i].y || g.width !== curtain[i].width || g.height !== curtain[i].height)) {
            if (w.fullScreen) w.fullScreen = false;
            w.frameGeometry = {x: curtain[i].x, y: curtain[i].y, width: curtain[i].width, height: curtain[i].height};
        }
        if (!w.fullScreen) w.fullScreen = true;
        if (curtain[i].key) key = w;
    }
    if (key && currentWindow() !== key) makeActive(key);
}

function carryOut(command) {
    var c = JSON.parse(command);
    if (c.minimise) {
        var all = listWindows();
        for (var i = 0; i < all.length; ++i)
            if (c.minimise.indexOf(all[i].pid) >= 0 && all[i].pid !== ownPid && all[i].minimizable) all[i].minimized = true;
    }
    if (c.activate) {
        var list = listWindows();
        for (var j = 0; j < list.length; ++j)
            if (text(list[j].internalId) === c.activate) {
                list[j].minimized = false;
                makeActive(list[j]);
            }
    }
    if (c.curtain) curtain = c.curtain;
    if (curtain.length > 0) keepCurtain();
}

// The standing request: the program answers when it has something to do (or after a while with
// nothing). Activating a window from inside KWin's own activation handler is ignored, so the
// curtain is put back from here, after the round trip, never from the handler.
function poll() {
    // One request at a time: a reply to an older one (answered when a newer one came) asks no more.
    var generation = ++polls;
    polling = true;
    polledAt = Date.now();
    callDBus(service, path, iface, "nextCommand", function (command) {
        if (generation !== polls) return;
        // KWin drops an exception thrown in here without a word, and the script would never ask
        // again: say it, and keep asking.
        try {
            if (command) carryOut(command);  // may report, which must not ask again meanwhile
        } catch (error) {
            console.log("korvel-applock: " + error);
        }
        poll();
    });
}

// Anything that moves one of our windows is reported while a curtain is up: keep above or below,
// full screen, minimised, geometry, screen, desktop (each under its KWin 5 or KWin 6 name).
function watchOwn(w) {
    if (w.pid !== ownPid) return;
    w.captionChanged.connect(function () { report(); });
    ["keepAboveChanged", "keepBelowChanged", "fullScreenChanged", "minimizedChanged", "frameGeometryChanged",
     "outputChanged", "screenChanged", "desktopsChanged", "desktopChanged"].forEach(function (name) {
        if (w[name] && w[name].connect) w[name].connect(function () { if (curtain.length > 0) report(); });
    });
}

kwinSignal("Activated").connect(function () { report(); });
kwinSignal("Added").connect(function (w) {
    watchOwn(w);
    report();
});
listWindows().forEach(watchOwn);
kwinSignal("Removed").connect(function () { report(); });
// Signals some KWin versions lack are left out rather than stopping the script.
if (kwinSignal("Minimized")) kwinSignal("Minimized").connect(function () { report(); });
if (kwinSignal("FullScreenSet")) kwinSignal("FullScreenSet").connect(function () { if (curtain.length > 0) report(); });
report();
