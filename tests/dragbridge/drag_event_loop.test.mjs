// The host's event loop during drags: the add-on runs on the JavaScript
// thread, so whatever it blocks on freezes the host's whole window. 100 drags
// to a GTK 3 target, a Qt 5 target, a target answering garbage, a window that
// is no target, a target that never answers, and over a target while the X
// server itself stops (SIGSTOP) for a while. The longest stall of the loop
// (perf_hooks.monitorEventLoopDelay, 1 ms resolution) is printed per target;
// the goal is none over 16 ms (one frame at 60 Hz) besides the first drag's
// connection set-up. Asserted is only what no loaded machine can excuse: no
// stall near the drag's timeouts or the X server's stop, i.e. nothing waits
// on a peer. The pointer is driven by one XTest client (no process per step:
// starting one stalls the loop by itself); it also counts the icon windows.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { monitorEventLoopDelay } from 'node:perf_hooks';
import { after, before, describe, test } from 'node:test';

import {
    dropTarget, garbageTarget, handleOf, hostWindow, loadAddon, png, pointerDriver,
    qtTarget, silentTarget, sleep, startX, until,
} from './xsession.mjs';

const x = await startX();
const skip = x.reason ? `no X server for the drag tests: ${x.reason}` : false;
if (skip) console.log(`# SKIP event loop tests: ${skip}`);

const addon = skip ? null : loadAddon();
const icon = png(32, 32);
const HOST = { x: 20, y: 20, w: 200, h: 200 };
const PRESS = { x: 120, y: 120 };
const AREAS = {
    gtk: { x: 300, y: 20, w: 200, h: 200 },
    qt: { x: 560, y: 20, w: 200, h: 200 },
    garbage: { x: 300, y: 300, w: 200, h: 200 },
    plain: { x: 560, y: 300, w: 200, h: 200 },
    silent: { x: 800, y: 300, w: 200, h: 200 },
};
const centre = (r) => ({ x: r.x + Math.floor(r.w / 2), y: r.y + Math.floor(r.h / 2) });
const STOP_MS = 2000;  // how long the X server stops answering

let host, pointer;
const peers = {};
before(async () => {
    if (skip) return;
    pointer = await pointerDriver();
    const area = (name) => [AREAS[name].x, AREAS[name].y, AREAS[name].w, AREAS[name].h];
    [host, peers.gtk, peers.garbage, peers.plain, peers.silent] = await Promise.all([
        hostWindow(HOST.x, HOST.y, HOST.w, HOST.h),
        dropTarget(...area('gtk')), garbageTarget(...area('garbage')),
        hostWindow(...area('plain')), silentTarget(...area('silent')),
    ]);
    peers.qt = await qtTarget(...area('qt')).catch(() => null);
});

after(async () => {
    if (skip) return;
    await Promise.all([host, pointer, ...Object.values(peers)].filter(Boolean).map((h) => h.close()));
    await x.stop();
});

// One drag, its loop delay measured from the press to the end of the drag.
async function drag(to, { stopServer = false } = {}) {
    const h = monitorEventLoopDelay({ resolution: 1 });
    h.enable();
    await pointer.move(PRESS.x, PRESS.y);
    await pointer.down();
    assert.equal(addon.start({ handle: handleOf(host.id), files: ['/tmp/loop/a.txt', '/tmp/loop/b.txt'],
                              icon }), true);
    const p = centre(to);
    await pointer.move(p.x - 20, p.y - 20);
    await sleep(50);
    await pointer.move(p.x, p.y);
    await sleep(100);
    if (stopServer) {
        // Another process wakes the server: were the loop blocked on it,
        // a timer here could not.
        const waker = spawn('sh', ['-c', `sleep ${STOP_MS / 1000}; kill -CONT ${x.pid}`],
                            { stdio: 'ignore' });
        const woken = new Promise((resolve) => waker.once('exit', resolve));
        process.kill(x.pid, 'SIGSTOP');
        await woken;
    }
    await pointer.up();
    const ended = await until(async () => await pointer.iconWindows() === 0, 15000);
    h.disable();
    assert.ok(ended, 'the drag did not end');
    return h.max / 1e6;  // ms
}

describe('the event loop during 100 drags', { skip }, () => {
    test('never waits on a peer or the X server', async (t) => {
        const plan = [
            ['gtk', 30], ['qt', 25], ['garbage', 20], ['plain', 10], ['silent', 10], ['server stopped', 5],
        ];
        const stalls = {};
        let first = null;
        for (const [target, count] of plan) {
            if (target === 'qt' && !peers.qt) {
                t.diagnostic('qt: no Qt 5 target (python3-pyqt5 missing), its drags go to gtk');
            }
            for (let i = 0; i < count; i++) {
                const to = target === 'server stopped' ? AREAS.gtk
                    : target === 'qt' && !peers.qt ? AREAS.gtk : AREAS[target];
                const worst = await drag(to, { stopServer: target === 'server stopped' });
                if (process.env.DRAG_LOOP_TRACE) console.error(target, i, worst);
                if (first === null) {
                    first = worst;  // the first drag opens the add-on's X connection and loads the icon code
                    continue;
                }
                (stalls[target] ??= []).push(worst);
            }
            if (target === 'gtk') while (await peers.gtk.line('DROP ', 10) !== null);
        }
        const figures = Object.entries(stalls).map(([target, list]) => {
            const sorted = [...list].sort((a, b) => a - b);
            return `${target}: ${list.length} drags, longest stall ${sorted.at(-1).toFixed(1)} ms, ` +
                   `median of the per-drag longest ${sorted[sorted.length >> 1].toFixed(1)} ms, ` +
                   `over 16 ms in ${list.filter((v) => v > 16).length}`;
        });
        t.diagnostic(`first drag (connection set-up): longest stall ${first.toFixed(1)} ms`);
        for (const line of figures) t.diagnostic(line);
        console.log(['# event loop stalls per target:', `#   first drag: ${first.toFixed(1)} ms`,
                     ...figures.map((l) => `#   ${l}`)].join('\n'));
        // Nothing blocks on a peer: the shortest timeout is 1.5 s, the server stops for 2 s.
        for (const [target, list] of Object.entries(stalls))
            assert.ok(Math.max(...list) < 1000, `${target}: the loop stalled ${Math.max(...list)} ms`);
    });
});
