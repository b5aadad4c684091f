// Korvel ID's window-system bridge for GNOME Shell. On Wayland no ordinary client may learn which
// window is in front or keep a window above the others, so this extension does both for the app
// lock and nothing else: it reports focus changes and closed windows to the Korvel ID processes that
// subscribed, and keeps a subscriber's own curtain windows above, full-screen, on their monitors and
// focused while they are up. It types no keys, evaluates nothing and touches no other process's
// windows except to minimise or activate an application the subscriber names.
'use strict';

const { Gio, GLib, Meta, Shell } = imports.gi;
const Main = imports.ui.main;

const PATH = '/com/korvel/id/Shell';
const EVENTS_PATH = '/com/korvel/id/WindowEvents';
const EVENTS_INTERFACE = 'com.korvel.id.WindowEvents';
const INTERFACE = `
<node>
  <interface name="com.korvel.id.Shell">
    <method name="Subscribe"/>
    <method name="Windows">
      <arg type="a(ssubb)" direction="out" name="windows"/>
    </method>
    <method name="Minimize">
      <arg type="s" direction="in" name="application"/>
      <arg type="u" direction="in" name="pid"/>
    </method>
    <method name="Activate">
      <arg type="s" direction="in" name="application"/>
      <arg type="u" direction="in" name="pid"/>
    </method>
    <method name="GuardCurtain">
      <arg type="as" direction="in" name="titles"/>
      <arg type="as" direction="in" name="outputs"/>
      <arg type="s" direction="in" name="keyTitle"/>
    </method>
    <property name="Version" type="u" access="read"/>
  </interface>
</node>`;

// What a window is known by: the Shell's application ID (a desktop-entry ID when it found one), the
// Wayland app_id or X11 class, and the process.
function describe(win) {
    const app = Shell.WindowTracker.get_default().get_window_app(win);
    const id = app ? app.get_id() : '';
    return [id.startsWith('window:') ? '' : id, win.get_wm_class() || '', Math.max(0, win.get_pid())];
}

function isApplicationWindow(win) {
    return !win.skip_taskbar && [Meta.WindowType.NORMAL, Meta.WindowType.DIALOG, Meta.WindowType.MODAL_DIALOG]
        .includes(win.get_window_type());
}

function windowsOf(application, pid) {
    return global.display.list_all_windows().filter(w =>
        isApplicationWindow(w) && w.get_pid() === pid && describe(w)[0] === application);
}

class Bridge {
    constructor() {
        this._subscribers = new Map();  // unique bus name -> name watch
        this._guard = null;  // {owner, pid, windows: [{title, output, key}]}
        this._lastReported = null;
        this._signals = [];
        this._pending = 0;
    }

    enable() {
        this._dbus = Gio.DBusExportedObject.wrapJSObject(INTERFACE, this);
        this._dbus.export(Gio.DBus.session, PATH);
        const display = global.display;
        this._connect(display, 'notify::focus-window', () => this._focusChanged());
        this._connect(display, 'window-created', (_d, win) => this._windowCreated(win));
        this._connect(global.workspace_manager, 'active-workspace-changed', () => this._scheduleGuard());
        this._connect(Main.overview, 'showing', () => {
            if (this._guard) this._later(() => Main.overview.hide());
        });
        for (const win of display.list_all_windows()) this._watchWindow(win);
    }

    disable() {
        for (const [object, id] of this._signals) object.disconnect(id);
        this._signals = [];
        for (const watch of this._subscribers.values()) Gio.bus_unwatch_name(watch);
        this._subscribers.clear();
        this._guard = null;
        if (this._pending) GLib.source_remove(this._pending);
        this._pending = 0;
        this._dbus.unexport();
        this._dbus = null;
    }

    get Version() { return 1; }

    SubscribeAsync(_params, invocation) {
        const sender = invocation.get_sender();
        if (!this._subscribers.has(sender)) {
            this._subscribers.set(sender, Gio.bus_watch_name_on_connection(Gio.DBus.session, sender,
                Gio.BusNameWatcherFlags.NONE, null, () => this._unsubscribe(sender)));
        }
        invocation.return_value(null);
    }

    Windows() {
        const focus = global.display.focus_window;
        const stacked = global.display.sort_windows_by_stacking(global.display.list_all_windows());
        return stacked.reverse().filter(isApplicationWindow)
            .map(w => [...describe(w), w === focus, w.minimized]);
    }

    Minimize(application, pid) {
        for (const win of windowsOf(application, pid)) win.minimize();
    }

    Activate(application, pid) {
        const wins = windowsOf(application, pid);
        if (!wins.length) return;
        wins.sort((a, b) => b.get_user_time() - a.get_user_time());
        Main.activateWindow(wins[0]);
    }

    GuardCurtainAsync([titles, outputs, keyTitle], invocation) {
        const sender = invocation.get_sender();
        if (!titles.length) {
            if (this._guard && this._guard.owner === sender) this._guard = null;
            invocation.return_value(null);
            return;
        }
        // Only the caller's own windows are ever kept above and focused.
        Gio.DBus.session.call('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
            'GetConnectionUnixProcessID', new GLib.Variant('(s)', [sender]), new GLib.VariantType('(u)'),
            Gio.DBusCallFlags.NONE, -1, null, (connection, result) => {
                try {
                    const [pid] = connection.call_finish(result).deepUnpack();
                    this._guard = { owner: sender, pid, windows: titles.map((title, i) => ({ title, output: outputs[i] || '', key: title === keyTitle })) };
                    this._applyGuard();
                    invocation.return_value(null);
                } catch (e) {
                    invocation.return_gerror(e);
                }
            });
    }

    _unsubscribe(sender) {
        const watch = this._subscribers.get(sender);
        if (watch === undefined) return;
        Gio.bus_unwatch_name(watch);
        this._subscribers.delete(sender);
        if (this._guard && this._guard.owner === sender) this._guard = null;
    }

    _connect(object, signal, handler) {
        this._signals.push([object, object.connect(signal, handler)]);
    }

    _emit(method, win) {
        const args = new GLib.Variant('(ssu)', describe(win));
        for (const subscriber of this._subscribers.keys()) {
            Gio.DBus.session.call(subscriber, EVENTS_PATH, EVENTS_INTERFACE, method, args, null,
                Gio.DBusCallFlags.NO_AUTO_START, -1, null, null);
        }
    }

    _focusChanged() {
        const win = global.display.focus_window;
        if (win && win !== this._lastReported) {
            this._lastReported = win;
            this._emit('Activated', win);
        }
        this._scheduleGuard();
    }

    _windowCreated(win) {
        this._watchWindow(win);
        this._scheduleGuard();
    }

    _watchWindow(win) {
        const id = win.connect('unmanaged', () => {
            win.disconnect(id);
            if (this._lastReported === win) this._lastReported = null;
            if (isApplicationWindow(win)) this._emit('Closed', win);
        });
        // A curtain window is recognised by its title, which a client may set after mapping.
        const titled = win.connect('notify::title', () => this._scheduleGuard());
        win.connect('unmanaged', () => win.disconnect(titled));
    }

    _later(callback) {
        GLib.idle_add(GLib.PRIORITY_HIGH, () => {
            callback();
            return GLib.SOURCE_REMOVE;
        });
    }

    // Activating a window from inside the focus change is undone by the change itself: correct it
    // once the Shell is done with the event.
    _scheduleGuard() {
        if (!this._guard || this._pending) return;
        this._pending = GLib.idle_add(GLib.PRIORITY_HIGH, () => {
            this._pending = 0;
            this._applyGuard();
            return GLib.SOURCE_REMOVE;
        });
    }

    _applyGuard() {
        const guard = this._guard;
        if (!guard) return;
        const own = global.display.list_all_windows().filter(w => w.get_pid() === guard.pid);
        const monitors = Meta.MonitorManager.get();
        let key = null;
        for (const wanted of guard.windows) {
            const win = own.find(w => w.get_title() === wanted.title);
            if (!win) continue;
            if (win.minimized) win.unminimize();
            if (!win.is_on_all_workspaces()) win.stick();
            if (!win.is_above()) win.make_above();
            const monitor = monitors.get_monitor_for_connector(wanted.output);
            if (monitor >= 0 && win.get_monitor() !== monitor) win.move_to_monitor(monitor);
            if (!win.is_fullscreen()) win.make_fullscreen();
            if (wanted.key) key = win;
        }
        if (Main.overview.visible) Main.overview.hide();
        if (key && global.display.focus_window !== key) Main.activateWindow(key);
    }
}

class Extension {
    enable() {
        this._bridge = new Bridge();
        this._bridge.enable();
    }

    disable() {
        this._bridge.disable();
        this._bridge = null;
    }
}

function init() {
    return new Extension();
}
