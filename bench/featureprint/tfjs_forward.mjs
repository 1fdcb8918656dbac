// Times TensorFlow.js (WASM backend, in Node) running the same network from
// the nsfwjs package to MobilenetV2/Conv_1/Relu6: the median of 50 passes
// over one 224x224 input, after two warm-up passes. Prints one JSON line.
//
//   node bench/featureprint/tfjs_forward.mjs [runs] [backend]
import { forwardOnce, loadModel } from '../../tests/pixsig/tfjs_features.mjs';

const runs = Number(process.argv[2] ?? 50);
const model = await loadModel(process.argv[3] ?? 'wasm');
const { tf } = model;
const input = tf.randomUniform([1, 224, 224, 3], 0, 1, 'float32', 42);
const ms = [];
const cpu = [];
for (let i = 0; i < runs + 2; i++) {
    const before = process.cpuUsage();
    const t = forwardOnce(model, input);
    const used = process.cpuUsage(before);
    if (i >= 2) ms.push(t), cpu.push((used.user + used.system) / 1000);
}
ms.sort((a, b) => a - b);
cpu.sort((a, b) => a - b);
const backend = tf.getBackend();
const threads = backend === 'wasm' && tf.backend().getThreadsCount ? tf.backend().getThreadsCount() : 1;
const median = (v) => Number(v[v.length >> 1].toFixed(3));
console.log(JSON.stringify({ ms: median(ms), cpu_ms: median(cpu), backend, threads }));
