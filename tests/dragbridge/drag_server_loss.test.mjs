// The X server going away in the middle of a drag must not end the host
// process (Xlib's default I/O error handling exits); later calls report that
// no window is available. Runs its own Xvfb, which it kills.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { handleOf, hostWindow, iconWindows, loadAddon, png, sleep, startX, until, xdotool }
    from './xsession.mjs';

const x = await startX();
const skip = x.reason ? `no X server for the drag tests: ${x.reason}` : false;
if (skip) console.log(`# SKIP drag tests: ${skip}`);

test('the X server dies during a drag', { skip }, async () => {
    const addon = loadAddon();
    const host = await hostWindow(40, 100, 300, 300);
    try {
        await xdotool('mousemove', 150, 200);
        await xdotool('mousedown', 1);
        const options = { handle: handleOf(host.id), files: ['/tmp/a.txt'], icon: png(16, 16) };
        assert.equal(addon.start(options), true);
        assert.ok(await until(async () => (await iconWindows()).length === 1), 'no drag began');
        await x.stop();
        await sleep(300);  // the loop sees the connection break
        assert.throws(() => addon.start(options), { message: 'Native window is unavailable' });
    } finally {
        host.proc.kill();
        await x.stop();
    }
});
