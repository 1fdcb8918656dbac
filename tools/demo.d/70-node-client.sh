#!/usr/bin/env bash
# The Node client (clients/node, shipped as dragbridge/client): reelctl's probe
# and frames as promises, errors with codes, and a pool of two pixsig servers
# answering prints and thumbnails, surviving a kill in the middle.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
src=$DEMO_DIR/sample.mp4
if [[ ! -f $src ]]; then
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=6 \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p "$src"
fi
dir=$DEMO_DIR/client
mkdir -p "$dir"
cd "$dir"
convert -seed 7 -size 1200x900 plasma:fractal -blur 0x2 -quality 92 photo.jpg
convert photo.jpg -resize 40% small.jpg
convert photo.jpg -flop mirrored.jpg
convert logo: -resize 1200x900! other.jpg
echo "\$ node: probe, frames, and a PixsigPool (one server killed once mid-run)"
CLIENT=$root/clients/node/index.js SRC=$src node -e '
const client = require(process.env.CLIENT);
client.configure({ binDir: process.env.BIN });
(async () => {
    const info = await client.probe(process.env.SRC);
    console.log(`probe: ${info.width}x${info.height}, ${info.duration} s, ${info.codec}`);
    const { manifest, skipped } = await client.frames(process.env.SRC, "frames", { count: 4, maxEdge: 200 });
    console.log("frames:", manifest.frames.map((f) => `${f.filename}@${f.time}`).join(" "), `(${skipped.length} skipped)`);
    try { await client.probe("missing.mp4"); }
    catch (e) { console.log(`probe missing.mp4: status ${e.status}, ${e.code}, "${e.message}"`); }

    const server = new client.PixsigPool({ size: 2, maxInFlight: 2 });
    const files = ["photo.jpg", "small.jpg", "mirrored.jpg", "other.jpg"];
    const prints = await Promise.all(files.map((f) => server.print(f)));
    for (const [i, f] of files.entries())
        console.log(`cosine(photo.jpg, ${f}) = ${client.cosine(prints[0], prints[i]).toFixed(4)}`);
    const first = server.pids[0];
    const thumbs = [128, 256, 384].map((size) => server.thumb({ path: "photo.jpg", out: `t${size}.jpg`, size }));
    process.kill(first, "SIGKILL");
    for (const [i, t] of (await Promise.allSettled(thumbs)).entries())
        console.log(`thumb ${i}: ${t.status === "fulfilled" ? `${t.value.width}x${t.value.height}` : `${t.reason.code}: ${t.reason.message}`}`);
    const again = await server.thumb({ path: "photo.jpg", out: "after.jpg", size: 100 });
    console.log(`after the kill: ${again.width}x${again.height} from a new server (restarts: ${server.restarts})`);
    await server.close();
})();
' 
