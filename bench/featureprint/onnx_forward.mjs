// The feature-print network run by onnxruntime-node (CPU execution provider,
// one intra-op thread, graph optimisations on), as a JavaScript host would
// run it: the ONNX graph is built here from pixsig's own network file (same
// weights, same layers, same last map averaged), so both sides compute the
// same function.
//
//   node onnx_forward.mjs <node_modules dir> <network file> [runs] [input.f32 [out.f32]]
//   node onnx_forward.mjs <node_modules dir> <network file> --save <model.onnx>
//
// Prints one JSON line: {"ms": median, "cpu_ms": median processor time,
// "load_ms": session creation}. The input file holds 224x224x3 floats (NHWC);
// the features of the last pass are written to out.f32.
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { buildModel, createSession } from './onnx_model.mjs';

const [modules, networkPath, third, fourth, fifth] = process.argv.slice(2);
const require = createRequire(path.join(path.resolve(modules), 'x.js'));
const protobuf = require('protobufjs');

const network = fs.readFileSync(networkPath);
const { bytes, size, channels } = buildModel(network, protobuf);
if (third === '--save') {
    fs.writeFileSync(fourth, bytes);
    process.exit(0);
}
const runs = Number(third ?? 50);
const ort = require('onnxruntime-node');
const loadStart = performance.now();
const session = await createSession(ort, bytes);
const loadMs = performance.now() - loadStart;

const nhwc = new Float32Array(size * size * 3);
if (fourth) {
    const raw = fs.readFileSync(fourth);
    nhwc.set(new Float32Array(raw.buffer, raw.byteOffset, nhwc.length));
} else {
    for (let i = 0; i < nhwc.length; i++) nhwc[i] = (i * 7919 % 1000) / 1000;
}
const nchw = new Float32Array(nhwc.length);
for (let p = 0; p < size * size; p++)
    for (let c = 0; c < 3; c++) nchw[c * size * size + p] = nhwc[p * 3 + c];
const feeds = { image: new ort.Tensor('float32', nchw, [1, 3, size, size]) };
const ms = [], cpu = [];
let features;
for (let i = 0; i < runs + 2; i++) {
    const before = process.cpuUsage();
    const start = performance.now();
    const result = await session.run(feeds);
    const took = performance.now() - start;
    const used = process.cpuUsage(before);
    features = result.pooled.data;
    if (i >= 2) ms.push(took), cpu.push((used.user + used.system) / 1000);
}
if (fifth) fs.writeFileSync(fifth, Buffer.from(features.buffer, features.byteOffset, channels * 4));
ms.sort((a, b) => a - b);
cpu.sort((a, b) => a - b);
const median = (v) => Number(v[v.length >> 1].toFixed(3));
console.log(JSON.stringify({ ms: median(ms), cpu_ms: median(cpu), load_ms: Number(loadMs.toFixed(2)) }));
