// The app-lock script under KWin 6's names (windowList, activeWindow, window* signals), which the
// virtual KWin of the test desktop (5.27) cannot show: a stand-in workspace records what it does.
// Usage: node kwin6-api.test.js <korvel-applock.js>
"use strict";
const fs = require("fs");
const vm = require("vm");
const assert = require("assert");

const signal = () => { const handlers = []; return {connect: (h) => handlers.push(h), fire: (...a) => handlers.forEach((h) => h(...a))}; };
const win = (id, pid, caption) => ({internalId: id, pid, caption, desktopFileName: "alpha", resourceClass: "alpha",
    resourceName: "alpha", normalWindow: true, minimizable: true, minimized: false, fullScreen: false, keepAbove: false,
    frameGeometry: {x: 0, y: 0, width: 10, height: 10}, captionChanged: signal(), keepBelowChanged: signal()});
const app = win("{1}", 500, "Alpha"), curtain = win("{2}", 42, "Korvel ID 1");
const workspace = {windowList: () => [app, curtain], activeWindow: app, windowActivated: signal(), windowAdded: signal(), windowRemoved: signal()};
const calls = [];
let commands = [JSON.stringify({minimise: [500, 42], curtain: [{title: "Korvel ID 1", x: 0, y: 0, width: 800, height: 600, key: true}]})];
const callDBus = (...args) => {
    calls.push(args);
    if (args[3] === "nextCommand" && commands.length) args[4](commands.shift());
};
const source = fs.readFileSync(process.argv[2], "utf8").replace("@SERVICE@", ":1.7").replace("@PID@", "42");
vm.runInNewContext(source, {workspace, callDBus, JSON, Date});

const reports = calls.filter((c) => c[3] === "windowsChanged").map((c) => JSON.parse(c[4]));
assert.ok(reports.length >= 1, "the window list is reported at start");
assert.deepStrictEqual(reports[0].windows.map((w) => w.id), ["{1}", "{2}"]);
assert.strictEqual(app.minimized, true, "the locked app is minimised");
assert.strictEqual(curtain.minimized, false, "never the program's own windows");
assert.ok(curtain.keepAbove && curtain.fullScreen, "the curtain is kept above and full-screen");
assert.strictEqual(JSON.stringify(curtain.frameGeometry), JSON.stringify({x: 0, y: 0, width: 800, height: 600}));
assert.strictEqual(workspace.activeWindow, curtain, "and its key window made active");
const before = calls.length;
workspace.windowActivated.fire(app);
assert.ok(calls.slice(before).some((c) => c[3] === "windowsChanged"), "an activation is reported");
const moved = calls.length;
curtain.keepBelow = true;
curtain.keepBelowChanged.fire();
const last = calls.slice(moved).filter((c) => c[3] === "windowsChanged").map((c) => JSON.parse(c[4])).pop();
assert.ok(last && last.windows[1].away, "a curtain window kept below is reported out of place");
console.log("kwin6-api: ok");
