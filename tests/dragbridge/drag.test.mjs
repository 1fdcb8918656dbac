// start: its checks, and real drags under a private X server (Xvfb) from a
// bare X11 host window to a GTK 3 drop target, a window that is no drop
// target, and a target that never answers.
import assert from 'node:assert/strict';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import {
    dropTarget, handleOf, hostWindow, iconWindows, loadAddon, openFds, png, residentKiB,
    rootChildren, silentTarget, sleep, startX, topLevels, until, xdotool,
} from './xsession.mjs';

const x = await startX();
const skip = x.reason ? `no X server for the drag tests: ${x.reason}` : false;
if (skip) console.log(`# SKIP drag tests: ${skip}`);

const addon = skip ? null : loadAddon();
const icon = png(24, 24);
// Screen layout (1024x768): the host on the left, the GTK target top right,
// a window that is no drop target below it.
const HOST = { x: 40, y: 100, w: 300, h: 300 };
const TARGET = { x: 500, y: 100, w: 300, h: 300 };
const PLAIN = { x: 500, y: 450, w: 300, h: 250 };
const PRESS = { x: 150, y: 200 };  // where the button goes down on the host
const overTarget = { x: 650, y: 250 };
const overPlain = { x: 650, y: 575 };

let host, target, plain;
const urisOf = (files) => files.map((f) => pathToFileURL(path.resolve(f)).href);
const files = ['/tmp/drag test/a b.txt', '/tmp/drag test/ü.png', 'notes.txt'];

before(async () => {
    if (skip) return;
    [host, target, plain] = await Promise.all([
        hostWindow(HOST.x, HOST.y, HOST.w, HOST.h),
        dropTarget(TARGET.x, TARGET.y, TARGET.w, TARGET.h),
        hostWindow(PLAIN.x, PLAIN.y, PLAIN.w, PLAIN.h),
    ]);
});

after(async () => {
    if (skip) return;
    await Promise.all([host, target, plain].filter(Boolean).map((h) => h.close()));
    await x.stop();
});

// Presses the button on the host and begins a drag there.
async function press(options = {}) {
    await xdotool('mousemove', PRESS.x, PRESS.y);
    await xdotool('mousedown', 1);
    return addon.start({ handle: handleOf(host.id), files, icon, ...options });
}

// Moves the held pointer to a point (in two steps, as a hand does).
async function moveTo(p) {
    await xdotool('mousemove', p.x - 20, p.y - 20);
    await sleep(80);
    await xdotool('mousemove', p.x, p.y);
    await sleep(150);
}

const release = () => xdotool('mouseup', 1);
const iconGone = () => until(async () => (await iconWindows()).length === 0, 8000);

describe('start refuses bad options', { skip }, () => {
    const valid = () => ({ handle: handleOf(host.id), files, icon });
    const throws = (options, message) =>
        assert.throws(() => addon.start(options), (e) => e instanceof Error && e.message === message &&
                      e.code === undefined);

    test('a handle that is not an 8-byte buffer', () => {
        for (const handle of [Buffer.alloc(4), Buffer.alloc(16), Buffer.alloc(0), 'handle', 42, null])
            throws({ ...valid(), handle }, 'Invalid native window handle');
        throws(undefined, 'Invalid native window handle');
        assert.throws(() => addon.start(), { message: 'Invalid native window handle' });
        throws({ files, icon }, 'Invalid native window handle');
    });

    test('a window id of 0, of no window, or of a window that was destroyed', async () => {
        throws({ ...valid(), handle: handleOf(0) }, 'Native window is unavailable');
        throws({ ...valid(), handle: handleOf(0x7ffffff0) }, 'Native window is unavailable');
        // A real window's id with high bits set (a foreign pointer, say) names no window.
        throws({ ...valid(), handle: handleOf(BigInt(host.id) + (1n << 32n)) },
               'Native window is unavailable');
        const gone = await hostWindow(10, 10, 50, 50);
        const id = gone.id;
        // While it exists, the checks go on to the files.
        throws({ ...valid(), handle: handleOf(id), files: [] }, 'No files to drag');
        await gone.close();
        await until(async () => (await topLevels('host')).every((w) => w.id !== id));
        throws({ ...valid(), handle: handleOf(id) }, 'Native window is unavailable');
    });

    test('options whose getters throw are read as missing', () => {
        const boom = () => { throw new Error('getter'); };
        throws({ get handle() { return boom(); }, files, icon }, 'Invalid native window handle');
        throws({ ...valid(), get files() { return boom(); } }, 'No files to drag');
        throws({ ...valid(), get icon() { return boom(); } }, 'Invalid drag icon');
    });

    test('no X display at all', () => {
        const display = process.env.DISPLAY;
        process.env.DISPLAY = ':9876';
        try {
            throws(valid(), 'Native window is unavailable');
        } finally {
            process.env.DISPLAY = display;
        }
    });

    test('no usable file comes before a bad icon', () => {
        throws({ ...valid(), files: [], icon: Buffer.alloc(0) }, 'No files to drag');
        throws({ ...valid(), files: [5, '', null, {}], icon: Buffer.alloc(0) }, 'No files to drag');
        throws({ ...valid(), files: 'a.txt' }, 'No files to drag');
    });

    test('huge sparse "files" and over-long paths are judged by their real entries', () => {
        const sparse = (...entries) => {
            const a = [];
            a.length = 2 ** 32 - 1;
            for (const [i, v] of entries) a[i] = v;
            return a;
        };
        // With an empty icon, a usable file shows as the icon's message.
        const cases = [
            [sparse(), 'No files to drag'],
            [sparse([5, 5], [2 ** 32 - 2, null]), 'No files to drag'],
            [['/' + 'p'.repeat(4096), '/' + 'x'.repeat(1e8)], 'No files to drag'],
            [sparse([2 ** 32 - 2, '/tmp/last.txt']), 'Invalid drag icon'],
            [['/' + 'p'.repeat(4095)], 'Invalid drag icon'],
        ];
        for (const [files, message] of cases) throws({ ...valid(), files, icon: Buffer.alloc(0) }, message);
    });

    test('icon bytes that are missing, empty, or not a whole image', () => {
        throws({ ...valid(), icon: Buffer.from('this is not an image') }, 'Invalid drag icon');
        throws({ ...valid(), icon: Buffer.alloc(0) }, 'Invalid drag icon');
        throws({ ...valid(), icon: 'icon.png' }, 'Invalid drag icon');
        throws({ ...valid(), icon: undefined }, 'Invalid drag icon');
        // A PNG whose header is fine but whose pixel data is cut short.
        const whole = png(64, 64);
        throws({ ...valid(), icon: whole.subarray(0, whole.length - 30) }, 'Invalid drag icon');
    });
});

describe('a real drag', { skip }, () => {
    test('a GTK drop target receives the three file URIs in order', async () => {
        assert.equal(await press({ width: 32, height: 32 }), true);
        // The icon is centred on the pointer at the given size while JavaScript runs on.
        const icons = await until(async () => { const w = await iconWindows(); return w.length && w; });
        assert.deepEqual(icons.map(({ x, y, width, height }) => ({ x, y, width, height })),
                         [{ x: PRESS.x - 16, y: PRESS.y - 16, width: 32, height: 32 }]);
        await moveTo(overTarget);
        const [moved] = await iconWindows();
        assert.deepEqual([moved.x, moved.y], [overTarget.x - 16, overTarget.y - 16]);
        await release();
        const drop = await target.line('DROP ');
        assert.deepEqual(JSON.parse(drop), urisOf(files));
        assert.ok(await iconGone(), 'the icon window stays after the drop');
    });

    test('the icon keeps its own size unless both width and height are positive', async () => {
        const cases = [
            [{ width: 64, height: 0 }, [20, 10]],
            [{ width: NaN, height: 40 }, [20, 10]],
            [{ width: Infinity, height: 40 }, [20, 10]],
            [{ width: '40', height: '40' }, [20, 10]],
            [{ width: 40, height: 30 }, [40, 30]],
            // Absurd sizes are scaled down to 1024 pixels on the longer side.
            [{ width: 1e9, height: 5e8 }, [1024, 512]],
        ];
        for (const [size, [w, h]] of cases) {
            await press({ icon: png(20, 10), ...size });
            const icons = await until(async () => { const i = await iconWindows(); return i.length && i; });
            assert.deepEqual(icons.map((i) => [i.width, i.height, i.x, i.y]),
                             [[w, h, PRESS.x - Math.round(w / 2), PRESS.y - Math.round(h / 2)]],
                             JSON.stringify(size));
            await release();
            assert.ok(await iconGone());
        }
    });

    test('a drop on a window that is no drop target ends the drag and delivers nothing', async () => {
        await press();
        await moveTo(overTarget);  // over the target first: it sees the drag arrive and leave
        await moveTo(overPlain);
        await release();
        assert.ok(await iconGone(), 'the icon window stays after the drop');
        assert.equal(await target.line('DROP ', 700), null);
        // The next drag works as before.
        await press();
        await moveTo(overTarget);
        await release();
        assert.deepEqual(JSON.parse(await target.line('DROP ')), urisOf(files));
        assert.ok(await iconGone());
    });

    test('Escape cancels the drag while the button is still down', async () => {
        await press();
        await moveTo(overTarget);
        assert.equal((await iconWindows()).length, 1);
        await xdotool('key', 'Escape');
        assert.ok(await iconGone(), 'Escape did not end the drag');
        await release();
        assert.equal(await target.line('DROP ', 700), null);
    });

    test('a new start ends the running drag first', async () => {
        await press({ files: ['/tmp/first.txt'] });
        await moveTo(overTarget);
        assert.equal(addon.start({ handle: handleOf(host.id), files: ['/tmp/second.txt'], icon }), true);
        await sleep(100);
        assert.equal((await iconWindows()).length, 1);
        await moveTo({ x: overTarget.x + 30, y: overTarget.y + 30 });
        await release();
        assert.deepEqual(JSON.parse(await target.line('DROP ')), urisOf(['/tmp/second.txt']));
        assert.equal(await target.line('DROP ', 500), null);
        assert.ok(await iconGone());
    });

    test('a target that never answers is given up', async () => {
        const silent = await silentTarget(850, 450, 150, 150);
        try {
            await press();
            await moveTo({ x: 925, y: 525 });
            await release();
            assert.ok(await iconGone(), 'the drag never ended');
        } finally {
            await silent.close();
        }
    });

    test('a target that vanishes mid-drag does not take the host down', async () => {
        const doomed = await dropTarget(850, 450, 150, 150);
        await press();
        await moveTo({ x: 925, y: 525 });
        doomed.proc.kill('SIGKILL');
        await until(async () => doomed.proc.exitCode !== null || doomed.proc.signalCode !== null);
        await moveTo({ x: 930, y: 530 });  // messages to a window that is gone
        await moveTo(overPlain);
        await release();
        assert.ok(await iconGone());
        // Still alive and dragging.
        await press();
        await moveTo(overTarget);
        await release();
        assert.deepEqual(JSON.parse(await target.line('DROP ')), urisOf(files));
        assert.ok(await iconGone());
    });

    test('many files: the list goes over in pieces (INCR) and arrives whole', async () => {
        // About 600 KB of text/uri-list, more than one X request carries.
        const many = Array.from({ length: 3000 }, (_, i) =>
            `/tmp/drag test/a rather long directory name for the transfer/file ${i}.txt`);
        await press({ files: many });
        await moveTo(overTarget);
        await release();
        const got = JSON.parse(await target.line('DROP ', 20000));
        assert.equal(got.length, many.length);
        assert.deepEqual(got, urisOf(many));
        assert.ok(await iconGone());
    });
});

describe('50 drags in a row', { skip }, () => {
    test('leave no X windows, file descriptors or memory behind', async (t) => {
        const one = async (i) => {
            const list = [`/tmp/run/${i}/a.txt`, `/tmp/run/${i}/b.txt`, `/tmp/run/${i}/c.txt`];
            await press({ files: list, width: 48, height: 48 });
            await moveTo(overTarget);
            await release();
            assert.deepEqual(JSON.parse(await target.line('DROP ')), urisOf(list), `drag ${i}`);
            assert.ok(await iconGone(), `drag ${i} left its icon`);
        };
        for (let i = 0; i < 3; i++) await one(i);  // warm-up: libraries, caches
        global.gc?.();
        const before = { fds: openFds(), windows: await rootChildren(), rss: residentKiB() };
        for (let i = 0; i < 50; i++) await one(i);
        await sleep(100);
        global.gc?.();
        const after = { fds: openFds(), windows: await rootChildren(), rss: residentKiB() };
        t.diagnostic(`before ${JSON.stringify(before)} after ${JSON.stringify(after)}`);
        assert.equal(after.fds, before.fds, 'file descriptors leaked');
        assert.equal(after.windows, before.windows, 'X windows left on the server');
        assert.ok(after.rss - before.rss < 8 * 1024,
                  `resident memory grew by ${after.rss - before.rss} KiB over 50 drags`);
    });
});
