#!/usr/bin/env bash
# dragbridge start: a real file drag under a private X server (Xvfb), from a
# bare X11 host window onto a GTK 3 drop target, which prints what it receives.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
if [[ ! -f $LIB/dragbridge.node ]]; then
    echo "dragbridge drag: add-on not built, step skipped"
    exit 0
fi
echo "\$ node: dragbridge.start({handle, files: [3 files], icon, width: 48, height: 48}) under Xvfb"
DRAGBRIDGE_ADDON=$LIB/dragbridge.node DEMO_DIR=$DEMO_DIR node --input-type=module -e "
import { dropTarget, handleOf, hostWindow, iconWindows, loadAddon, png, sleep, startX, until, xdotool }
    from '$root/tests/dragbridge/xsession.mjs';
const x = await startX();
if (x.reason) { console.log('dragbridge drag: step skipped: ' + x.reason); process.exit(0); }
const addon = loadAddon();
const host = await hostWindow(40, 100, 300, 300);
const target = await dropTarget(500, 100, 300, 300);
const files = [process.env.DEMO_DIR + '/sample.mp4', '/tmp/a file with spaces.txt', '/tmp/ünïcödé.png'];
await xdotool('mousemove', 150, 200);
await xdotool('mousedown', 1);
let ticks = 0;
const timer = setInterval(() => ticks++, 10);
console.log('start returned', addon.start({ handle: handleOf(host.id), files, icon: png(24, 24), width: 48, height: 48 }));
const [icon] = await until(async () => { const w = await iconWindows(); return w.length && w; });
console.log('drag icon window:', icon.width + 'x' + icon.height, 'at', icon.x + ',' + icon.y, '(pointer at 150,200)');
for (const [px, py] of [[400, 220], [630, 240], [650, 250]]) { await xdotool('mousemove', px, py); await sleep(120); }
await xdotool('mouseup', 1);
const drop = await target.line('DROP ');
clearInterval(timer);
console.log('GTK drop target received:');
for (const uri of JSON.parse(drop)) console.log('  ' + uri);
console.log('JavaScript timer ticks while the drag ran:', ticks);
await until(async () => (await iconWindows()).length === 0);
console.log('icon windows left:', (await iconWindows()).length);
await host.close(); await target.close(); await x.stop();
"
