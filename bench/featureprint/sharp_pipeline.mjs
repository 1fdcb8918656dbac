// Feature prints the way a JavaScript host would make them without pixsig:
// sharp (one thread) decodes, turns the image upright by its EXIF orientation
// and squashes it to 224x224; onnxruntime-node (one thread) runs the same
// network as pixsig (built from its network file by onnx_forward.mjs); the
// print is the unit-length mean of the last map.
//
//   node sharp_pipeline.mjs <node_modules dir> <network file> <image>...
//
// Prints one JSON line: {"images": count, "steady_s": seconds for all images
// after the first (start-up, model load and the first image excluded),
// "steady_cpu_s": the processor time of those, "first_s": start-up to the
// first print, "dim": print length}.
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { buildModel, createSession } from './onnx_model.mjs';

const started = performance.now();
const [modules, networkPath, ...images] = process.argv.slice(2);
const require = createRequire(path.join(path.resolve(modules), 'x.js'));
const sharp = require('sharp');
const ort = require('onnxruntime-node');
const protobuf = require('protobufjs');
sharp.concurrency(1);
sharp.cache(false);

const { bytes, size } = buildModel(fs.readFileSync(networkPath), protobuf);
const session = await createSession(ort, bytes);

async function featurePrint(file) {
    const { data } = await sharp(file, { failOn: 'error' })
        .rotate()
        .resize(size, size, { fit: 'fill' })
        .flatten({ background: '#ffffff' })
        .toColourspace('srgb')
        .removeAlpha()
        .raw()
        .toBuffer({ resolveWithObject: true });
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

let dim = 0;
const first = await featurePrint(images[0]);
dim = first.length;
const firstS = (performance.now() - started) / 1000;
const steadyStart = performance.now();
const cpuStart = process.cpuUsage();
for (const file of images.slice(1)) await featurePrint(file);
const steadyS = (performance.now() - steadyStart) / 1000;
const used = process.cpuUsage(cpuStart);
const steadyCpuS = (used.user + used.system) / 1e6;
console.log(JSON.stringify({ images: images.length, steady_s: steadyS, steady_cpu_s: steadyCpuS, first_s: firstS, dim }));
