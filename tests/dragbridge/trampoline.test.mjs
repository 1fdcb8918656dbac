// No C++ exception gets past an export: in the test build of the add-on
// (DRAGBRIDGE_THROW_IN makes an export throw inside), the caller gets
// undefined, never an exception or a crash, and the add-on keeps working.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { handleOf, hostWindow, iconWindows, png, startX, until, xdotool } from './xsession.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const hooksPath = path.resolve(root, process.env.DRAGBRIDGE_TESTHOOKS_ADDON ||
                               'build/tests/dragbridge/dragbridge_testhooks.node');
const missing = existsSync(hooksPath) ? false : `no test build of the add-on at ${hooksPath}`;
const addon = missing ? null : createRequire(import.meta.url)(hooksPath);

function throwingIn(where, fn) {
    process.env.DRAGBRIDGE_THROW_IN = where;
    try {
        return fn();
    } finally {
        delete process.env.DRAGBRIDGE_THROW_IN;
    }
}

test('pasteboard: an exception inside gives undefined', { skip: missing }, () => {
    assert.equal(throwingIn('pasteboard', () => addon.pasteboard({ files: ['/tmp/a.txt'] })), undefined);
    assert.equal(JSON.parse(addon.pasteboard({ files: ['/tmp/a.txt'] })).items, 1);
});

const x = missing ? { reason: missing } : await startX();
describe('start: an exception inside gives undefined', { skip: x.reason || false }, () => {
    let host;
    before(async () => { host = await hostWindow(40, 100, 300, 300); });
    after(async () => {
        await host?.close();
        await x.stop();
    });

    test('and no drag begins; the next start drags', async () => {
        await xdotool('mousemove', 150, 200);
        await xdotool('mousedown', 1);
        const options = { handle: handleOf(host.id), files: ['/tmp/a.txt'], icon: png(16, 16) };
        assert.equal(throwingIn('start', () => addon.start(options)), undefined);
        // The checks before the throw still report as always.
        assert.throws(() => throwingIn('start', () => addon.start({ ...options, files: [] })),
                      { message: 'No files to drag' });
        assert.equal((await iconWindows()).length, 0);
        assert.equal(addon.start(options), true);
        assert.ok(await until(async () => (await iconWindows()).length === 1), 'no drag began');
        await xdotool('mouseup', 1);
        assert.ok(await until(async () => (await iconWindows()).length === 0), 'the drag stayed');
    });
});
