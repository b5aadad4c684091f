// TEST ONLY, never shipped or installed: drives a headless GNOME Shell for Korvel ID's tests the way
// a user or a hostile program would (activating windows, typing keys) and reports what the Shell has.
'use strict';

const { Clutter, Gio, GLib, Meta, Shell } = imports.gi;
const Main = imports.ui.main;

const INTERFACE = `
<node>
  <interface name="com.korvel.id.Test">
    <method name="Windows"><arg type="s" direction="out"/></method>
    <method name="InOverview"><arg type="b" direction="out"/></method>
    <method name="Focus"><arg type="s" direction="in" name="wmClass"/></method>
    <method name="Type"><arg type="s" direction="in" name="text"/></method>
    <method name="Key"><arg type="u" direction="in" name="keyval"/></method>
  </interface>
</node>`;

class Driver {
    Windows() {
        const focus = global.display.focus_window;
        return JSON.stringify(global.display.list_all_windows().map(w => ({
            title: w.get_title() || '', wmClass: w.get_wm_class() || '', pid: w.get_pid(),
            focused: w === focus, fullscreen: w.is_fullscreen(), above: w.is_above(), minimized: w.minimized,
            monitor: w.get_monitor(), monitors: global.display.get_n_monitors(),
        })));
    }

    InOverview() {
        return Main.overview.visible;
    }

    Focus(wmClass) {
        const win = global.display.list_all_windows().find(w => w.get_wm_class() === wmClass);
        if (win) win.activate(global.get_current_time());
    }

    Type(text) {
        for (const c of text) this.Key(Clutter.unicode_to_keysym(c.codePointAt(0)));
    }

    Key(keyval) {
        const time = GLib.get_monotonic_time();
        this._keyboard.notify_keyval(time, keyval, Clutter.KeyState.PRESSED);
        this._keyboard.notify_keyval(time + 1000, keyval, Clutter.KeyState.RELEASED);
    }
}

class Extension {
    enable() {
        this._driver = new Driver();
        const seat = Clutter.get_default_backend().get_default_seat();
        this._driver._keyboard = seat.create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
        this._dbus = Gio.DBusExportedObject.wrapJSObject(INTERFACE, this._driver);
        this._dbus.export(Gio.DBus.session, '/com/korvel/id/Test');
        // The Shell starts in the overview, where no application window has the keyboard.
        if (Main.layoutManager._startingUp)
            this._startup = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        else
            Main.overview.hide();
    }

    disable() {
        if (this._startup) Main.layoutManager.disconnect(this._startup);
        this._dbus.unexport();
        this._driver = null;
    }
}

function init() {
    return new Extension();
}
