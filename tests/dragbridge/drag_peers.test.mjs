// Real drags under a private X server to drop targets other than the GTK 3
// one: a Qt 5 window, a Chromium page whose drop zone reads the dropped
// files, and a target that answers with garbage. Each receives exactly the
// dragged files in order, or the drag ends cleanly and the next one works.
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import {
    chromiumTarget, dropTarget, garbageTarget, handleOf, hostWindow, iconWindows, loadAddon, png,
    qtTarget, sleep, startX, until, xdotool,
} from './xsession.mjs';

const x = await startX();
const skip = x.reason ? `no X server for the drag tests: ${x.reason}` : false;
if (skip) console.log(`# SKIP drag peer tests: ${skip}`);

const addon = skip ? null : loadAddon();
const icon = png(24, 24);
const HOST = { x: 20, y: 20, w: 200, h: 200 };
const GTK = { x: 20, y: 400, w: 200, h: 200 };
const PRESS = { x: 120, y: 120 };
const centre = (r) => ({ x: r.x + Math.floor(r.w / 2), y: r.y + Math.floor(r.h / 2) });

// Real files: the browser reads their bytes.
const folder = '/tmp/dragbridge peers';
const files = ['a b.txt', 'ü #1.txt', 'c%20d.txt'].map((f) => path.join(folder, f));
const urisOf = (list) => list.map((f) => pathToFileURL(path.resolve(f)).href);

let host, gtk;
before(async () => {
    if (skip) return;
    mkdirSync(folder, { recursive: true });
    files.forEach((f, i) => writeFileSync(f, `contents of file ${i}\n`));
    [host, gtk] = await Promise.all([hostWindow(HOST.x, HOST.y, HOST.w, HOST.h),
                                     dropTarget(GTK.x, GTK.y, GTK.w, GTK.h)]);
});

after(async () => {
    if (skip) return;
    await Promise.all([host, gtk].filter(Boolean).map((h) => h.close()));
    await x.stop();
});

// One drag from the host to a point: press, two moves, release.
async function dragTo(p, list = files) {
    await xdotool('mousemove', PRESS.x, PRESS.y);
    await xdotool('mousedown', 1);
    assert.equal(addon.start({ handle: handleOf(host.id), files: list, icon }), true);
    await xdotool('mousemove', p.x - 20, p.y - 20);
    await sleep(80);
    await xdotool('mousemove', p.x, p.y);
    await sleep(200);
    await xdotool('mouseup', 1);
}
const iconGone = (limit = 8000) => until(async () => (await iconWindows()).length === 0, limit);

// The drag still works afterwards: the GTK target gets the files.
async function stillWorks() {
    await dragTo(centre(GTK));
    assert.deepEqual(JSON.parse(await gtk.line('DROP ')), urisOf(files));
    assert.ok(await iconGone());
}

describe('drags to other real peers', { skip }, () => {
    test('a Qt 5 target receives the files in order', async (t) => {
        const R = { x: 300, y: 20, w: 200, h: 200 };
        let qt;
        try {
            qt = await qtTarget(R.x, R.y, R.w, R.h);
        } catch (e) {
            t.skip(`no Qt 5 target: ${e.message.split('\n')[0]} (tools/setup.sh installs python3-pyqt5)`);
            return;
        }
        try {
            for (let i = 0; i < 3; i++) {
                const list = i === 1 ? files.slice().reverse() : files;
                await dragTo(centre(R), list);
                assert.deepEqual(JSON.parse(await qt.line('DROP ')), urisOf(list), `drag ${i}`);
                assert.deepEqual(JSON.parse(await qt.line('FILES ')), list.map((f) => path.resolve(f)));
                assert.ok(await iconGone(), `drag ${i} left its icon`);
            }
            assert.equal(await qt.line('DROP ', 300), null, 'a drop too many');
        } finally {
            await qt.close();
        }
    });

    test('a target answering with garbage gets no drop, and the drag ends cleanly', async () => {
        const R = { x: 300, y: 300, w: 200, h: 200 };
        const junk = await garbageTarget(R.x, R.y, R.w, R.h);
        try {
            await dragTo(centre(R));
            assert.ok(Number(await junk.line('GARBAGE ')) > 0, 'the target was never asked');
            // No Status it sent was a valid acceptance: no Drop, the drag is refused at once.
            assert.ok(await iconGone(1500), 'the drag did not end');
            await stillWorks();
            assert.equal(junk.proc.exitCode, null, 'the garbage target died');
        } finally {
            await junk.close();
        }
    });

    test('a Chromium page\'s drop zone reads the dropped files in order', async (t) => {
        const R = { x: 560, y: 20, w: 440, h: 400 };
        const page = await chromiumTarget(R.x, R.y, R.w, R.h);
        if (page.reason) {
            t.skip(page.reason);
            return;
        }
        try {
            const zone = { x: R.x + 100, y: R.y + 150 };
            await dragTo(zone);
            const got = await page.drop(20000);
            assert.ok(got, `the page received no drop${page.log()}`);
            assert.deepEqual(got.names, files.map((f) => path.basename(f)));
            assert.deepEqual(got.texts, files.map((_, i) => `contents of file ${i}\n`));
            assert.ok(await iconGone());
            await stillWorks();
        } finally {
            await page.close();
        }
    });
});
