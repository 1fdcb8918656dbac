// Feature prints computed by TensorFlow.js from the nsfwjs graph model itself
// (its own dequantisation and kernels): the reference that pixsig's forward
// pass is checked against, and the peer its speed is compared with.
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const require = createRequire(import.meta.url);
export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const modelDir = path.join(root, 'node_modules/nsfwjs/dist/models/mobilenet_v2_mid');
export const outputNode = 'MobilenetV2/Conv_1/Relu6';

// Loads tfjs with the given backend ('wasm' or 'cpu') and the graph model.
export async function loadModel(backend = 'wasm') {
    const tf = require('@tensorflow/tfjs');
    if (backend === 'wasm') require('@tensorflow/tfjs-backend-wasm');
    await tf.setBackend(backend);
    await tf.ready();
    const model = require(path.join(modelDir, 'model.min.js'));
    const group = model.weightsManifest[0];
    const data = Buffer.concat(
        group.paths.map((p) => Buffer.from(require(path.join(modelDir, `${p}.min.js`)), 'base64')));
    const weightData = data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength);
    const graph = await tf.loadGraphModel(
        tf.io.fromMemory({ modelTopology: model.modelTopology, weightSpecs: group.weights, weightData }));
    const output = model.modelTopology.node.find((n) => n.name.endsWith(outputNode)).name;
    return { tf, graph, output };
}

// The 7x7x1792 map for 224x224 RGB bytes, averaged and scaled to unit length.
export function featurePrint({ tf, graph, output }, rgbBytes) {
    return tf.tidy(() => {
        const input = tf.tensor(Float32Array.from(rgbBytes, (v) => v / 255), [1, 224, 224, 3]);
        const map = graph.execute(input, output);
        const mean = map.mean([1, 2]).squeeze();
        return mean.div(mean.norm()).dataSync();
    });
}

// Time of one forward pass to the output node (no pre- or post-processing).
export function forwardOnce({ tf, graph, output }, input) {
    const start = process.hrtime.bigint();
    const map = graph.execute(input, output);
    map.dataSync();
    map.dispose();
    return Number(process.hrtime.bigint() - start) / 1e6;
}
