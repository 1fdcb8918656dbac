// The same import the way a JavaScript host would write it without pixsig:
// sharp (its default concurrency) makes the 512-pixel thumbnail and the
// 224x224 picture of the print, onnxruntime-node runs the network built from
// pixsig's network file (../featureprint/onnx_model.mjs); every photo is
// started at once and libuv's thread pool runs sharp's work.
//
//   node sharp_import.mjs <node_modules dir> <network file> <out dir> <photo>...
//
// Prints one JSON line: {"photos", "s" (elapsed seconds, model load
// included), "concurrency" (sharp's), "dim"}.
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { buildModel } from '../featureprint/onnx_model.mjs';

const started = performance.now();
const [modules, networkPath, outDir, ...photos] = process.argv.slice(2);
const require = createRequire(path.join(path.resolve(modules), 'x.js'));
const sharp = require('sharp');
const ort = require('onnxruntime-node');
const protobuf = require('protobufjs');

const { bytes, size } = buildModel(fs.readFileSync(networkPath), protobuf);
// onnxruntime's own defaults for threads, as a host would leave them.
const session = await ort.InferenceSession.create(bytes, { executionProviders: ['cpu'] });

async function featurePrint(file) {
    const data = await sharp(file).rotate().resize(size, size, { fit: 'fill' }).removeAlpha().raw().toBuffer();
    const plane = size * size;
    const nchw = new Float32Array(3 * plane);
    for (let p = 0; p < plane; p++)
        for (let c = 0; c < 3; c++) nchw[c * plane + p] = data[p * 3 + c] / 255;
    const out = await session.run({ image: new ort.Tensor('float32', nchw, [1, 3, size, size]) });
    const v = out.pooled.data;
    let sum = 0;
    for (const x of v) sum += x * x;
    const scale = sum > 0 ? 1 / Math.sqrt(sum) : 0;
    return Float32Array.from(v, (x) => x * scale);
}

const thumb = (file, i) => sharp(file).rotate()
    .resize(512, 512, { fit: 'inside', withoutEnlargement: true })
    .jpeg({ quality: 80, optimiseCoding: true })
    .toFile(path.join(outDir, `s${i}.jpg`));

const prints = await Promise.all(photos.map(async (file, i) => (await Promise.all([thumb(file, i), featurePrint(file)]))[1]));
const s = (performance.now() - started) / 1000;
console.log(JSON.stringify({ photos: photos.length, s, concurrency: sharp.concurrency(), dim: prints[0].length }));
