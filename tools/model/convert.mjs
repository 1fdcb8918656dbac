// Converts the MobileNetV2 (width 1.4, 224x224) graph model shipped in the npm
// package nsfwjs (dist/models/mobilenet_v2_mid) into pixsig's compact float32
// network file: the layers from the input through MobilenetV2/Conv_1/Relu6,
// with just what the forward pass needs.
//
//   node tools/model/convert.mjs <model-dir> <out-file>
//
// File layout (little-endian):
//   "PXNET001"                       8 bytes
//   u32 inputSize (224), u32 inputChannels (3)
//   f32 inputScale, f32 inputShift   the graph's x * scale - shift
//   u32 layerCount
//   per layer: u32 kind, i32 input, i32 input2, u32 stride, u32 inChannels,
//              u32 outChannels, u32 relu6
//              then kind 1: f32 weights[3*3*in*out] (HWIO), f32 bias[out]
//                   kind 2: f32 weights[3*3*in] (HWC), f32 bias[in]
//                   kind 3: f32 weights[in*out] (IO), f32 bias[out]
//                   kind 4: nothing (input + input2)
//   "PXNETEND"                       8 bytes
// Layer inputs are layer indices; -1 is the network input. The last layer's
// output is the 7x7x1792 map that pixsig averages into the feature print.
import { createRequire } from 'node:module';
import fs from 'node:fs';
import path from 'node:path';

const require = createRequire(import.meta.url);
const OUTPUT = 'MobilenetV2/Conv_1/Relu6';
const KIND = { conv3x3: 1, depthwise3x3: 2, pointwise: 3, add: 4 };

function fail(message) {
    console.error(`convert: ${message}`);
    process.exit(1);
}

function attrString(node, key) {
    const value = node.attr?.[key]?.s;
    return value === undefined ? undefined : Buffer.from(value, 'base64').toString();
}
function attrList(node, key, field) {
    return (node.attr?.[key]?.list?.[field] ?? []).map((v) =>
        field === 's' ? Buffer.from(v, 'base64').toString() : Number(v));
}

// Dequantised float32 tensors by name, in manifest order over the
// concatenated shards.
function loadWeights(dir, model) {
    const tensors = new Map();
    for (const group of model.weightsManifest) {
        const shards = group.paths.map((p) => {
            const text = require(path.join(dir, `${p}.min.js`));
            if (typeof text !== 'string') fail(`shard ${p} does not export a Base64 string`);
            return Buffer.from(text, 'base64');
        });
        const bytes = Buffer.concat(shards);
        let offset = 0;
        for (const w of group.weights) {
            const count = w.shape.reduce((a, b) => a * b, 1);
            const q = w.quantization;
            if (w.dtype !== 'float32' || !q || q.dtype !== 'uint8')
                fail(`unexpected storage of ${w.name}`);
            if (offset + count > bytes.length) fail(`shards end inside ${w.name}`);
            const values = new Float32Array(count);
            for (let i = 0; i < count; i++) values[i] = bytes[offset + i] * q.scale + q.min;
            offset += count;
            tensors.set(w.name, { shape: w.shape, values });
        }
        if (offset !== bytes.length) fail(`shards hold ${bytes.length - offset} bytes too many`);
    }
    return tensors;
}

function convert(dir, outFile) {
    const model = require(path.join(dir, 'model.min.js'));
    const nodes = model.modelTopology?.node;
    if (!Array.isArray(nodes)) fail('model.min.js holds no graph');
    const tensors = loadWeights(dir, model);
    const byName = new Map(nodes.map((n) => [n.name, n]));
    const tensor = (name) => tensors.get(name) ?? fail(`no weights for ${name}`);
    const scalar = (name) => {
        const t = tensor(name);
        if (t.values.length !== 1) fail(`${name} is not a scalar`);
        return t.values[0];
    };

    // The graph's input normalisation: Mul(y, input) then Sub(., y).
    const mul = nodes.find((n) => n.op === 'Mul' && n.input.includes('input'));
    if (!mul) fail('no input Mul');
    const sub = nodes.find((n) => n.op === 'Sub' && n.input[0] === mul.name);
    if (!sub) fail('no input Sub');
    const inputScale = scalar(mul.input.find((i) => i !== 'input'));
    const inputShift = scalar(sub.input[1]);

    // Layers in graph order from the normalised input to the output node.
    const index = new Map([[sub.name, -1]]);
    const layers = [];
    let outputName;
    for (const node of nodes) {
        if (!['_FusedConv2D', 'FusedDepthwiseConv2dNative', 'AddV2'].includes(node.op)) continue;
        const inputs = node.input.filter((i) => !i.startsWith('^'));
        if (!index.has(inputs[0])) continue;  // not on the path from the input
        const layer = { input: index.get(inputs[0]), input2: -1, stride: 1, relu6: 0 };
        if (node.op === 'AddV2') {
            if (!index.has(inputs[1])) fail(`${node.name}: unknown operand`);
            Object.assign(layer, { kind: KIND.add, input2: index.get(inputs[1]) });
        } else {
            const strides = attrList(node, 'strides', 'i');
            const dilations = attrList(node, 'dilations', 'i');
            const fused = attrList(node, 'fused_ops', 's');
            if (attrString(node, 'padding') !== 'SAME') fail(`${node.name}: padding not SAME`);
            if (attrString(node, 'data_format') !== 'NHWC') fail(`${node.name}: not NHWC`);
            if (dilations.some((d) => d !== 1)) fail(`${node.name}: dilated`);
            if (strides[1] !== strides[2]) fail(`${node.name}: uneven strides`);
            if (fused[0] !== 'BiasAdd' || fused.length > 2 || (fused[1] && fused[1] !== 'Relu6'))
                fail(`${node.name}: unexpected fused ops ${fused}`);
            const w = tensor(inputs[1]);
            const b = tensor(inputs[2]);
            const [kh, kw, cin, cout] = w.shape;
            layer.stride = strides[1];
            layer.relu6 = fused[1] === 'Relu6' ? 1 : 0;
            if (node.op === 'FusedDepthwiseConv2dNative') {
                if (kh !== 3 || kw !== 3 || cout !== 1) fail(`${node.name}: not 3x3 depthwise`);
                Object.assign(layer, { kind: KIND.depthwise3x3, cin, cout: cin });
            } else if (kh === 1 && kw === 1) {
                if (layer.stride !== 1) fail(`${node.name}: strided 1x1`);
                Object.assign(layer, { kind: KIND.pointwise, cin, cout });
            } else if (kh === 3 && kw === 3) {
                Object.assign(layer, { kind: KIND.conv3x3, cin, cout });
            } else {
                fail(`${node.name}: unsupported kernel ${kh}x${kw}`);
            }
            if (b.values.length !== layer.cout) fail(`${node.name}: bias size`);
            layer.weights = w.values;
            layer.bias = b.values;
        }
        index.set(node.name, layers.length);
        layers.push(layer);
        if (node.name.endsWith(OUTPUT)) {
            outputName = node.name;
            break;
        }
    }
    if (!outputName) fail(`no ${OUTPUT} on the path from the input`);
    if (!byName.has(outputName)) fail('internal: output missing');

    const parts = [];
    const u32 = (...v) => parts.push(Buffer.from(new Uint32Array(v).buffer));
    const i32 = (...v) => parts.push(Buffer.from(new Int32Array(v).buffer));
    const f32 = (arr) => parts.push(Buffer.from(Float32Array.from(arr).buffer));
    parts.push(Buffer.from('PXNET001'));
    u32(224, 3);
    f32([inputScale, inputShift]);
    u32(layers.length);
    for (const l of layers) {
        u32(l.kind);
        i32(l.input, l.input2);
        u32(l.stride, l.cin ?? 0, l.cout ?? 0, l.relu6);
        if (l.weights) {
            f32(l.weights);
            f32(l.bias);
        }
    }
    parts.push(Buffer.from('PXNETEND'));
    fs.mkdirSync(path.dirname(outFile), { recursive: true });
    const tmp = `${outFile}.tmp`;
    fs.writeFileSync(tmp, Buffer.concat(parts));
    fs.renameSync(tmp, outFile);
    const counts = layers.reduce((c, l) => ((c[l.kind] = (c[l.kind] ?? 0) + 1), c), {});
    console.log(`convert: ${layers.length} layers (${JSON.stringify(counts)}) -> ${outFile}`);
}

if (process.argv.length !== 4) fail('usage: node convert.mjs <model-dir> <out-file>');
convert(path.resolve(process.argv[2]), path.resolve(process.argv[3]));
