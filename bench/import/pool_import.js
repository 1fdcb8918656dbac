'use strict';
// A host's import of a folder through the Node client: for each photo a
// 512-pixel thumbnail and a feature print, every request given to one
// PixsigPool at once (the pool queues them and keeps each server busy).
//
//   node pool_import.js <bin dir> <out dir> <size|default> <photo>...
//
// Prints one JSON line: {"photos", "size" (servers), "s" (elapsed seconds,
// start-up included), "prints"}.
const path = require('path');
const client = require('../../clients/node');

async function main() {
    const started = performance.now();
    const [binDir, outDir, size, ...photos] = process.argv.slice(2);
    client.configure({ binDir });
    const pool = new client.PixsigPool(size === 'default' ? {} : { size: Number(size) });
    const jobs = photos.map(async (file, i) => {
        const [, print] = await Promise.all([
            pool.thumb({ path: file, out: path.join(outDir, `t${i}.jpg`), size: 512 }),
            pool.print(file),
        ]);
        return print;
    });
    const prints = await Promise.all(jobs);
    await pool.close();
    const s = (performance.now() - started) / 1000;
    console.log(JSON.stringify({ photos: photos.length, size: pool.size, s, prints: prints.length }));
}

main().catch((error) => {
    console.error(error);
    process.exit(1);
});
