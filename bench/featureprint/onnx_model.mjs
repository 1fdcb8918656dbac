// pixsig's network file (layout in tools/model/convert.mjs) as an ONNX graph
// for onnxruntime: the same weights and layers, in NCHW, ending in the mean of
// the last map over its positions ("pooled", 1 x channels x 1 x 1). Takes the
// protobufjs module (installed by the benchmark, not by the project).
// The part of the ONNX schema this graph uses.
const schema = `
syntax = "proto3";
package onnx;
message AttributeProto { string name = 1; float f = 2; int64 i = 3; repeated int64 ints = 8; int32 type = 20; }
message TensorProto { repeated int64 dims = 1; int32 data_type = 2; string name = 8; bytes raw_data = 9; }
message NodeProto { repeated string input = 1; repeated string output = 2; string name = 3; string op_type = 4; repeated AttributeProto attribute = 5; }
message Dimension { int64 dim_value = 1; }
message TensorShapeProto { repeated Dimension dim = 1; }
message TensorType { int32 elem_type = 1; TensorShapeProto shape = 2; }
message TypeProto { TensorType tensor_type = 1; }
message ValueInfoProto { string name = 1; TypeProto type = 2; }
message GraphProto { repeated NodeProto node = 1; string name = 2; repeated TensorProto initializer = 5; repeated ValueInfoProto input = 11; repeated ValueInfoProto output = 12; }
message OperatorSetIdProto { string domain = 1; int64 version = 2; }
message ModelProto { int64 ir_version = 1; string producer_name = 2; GraphProto graph = 7; repeated OperatorSetIdProto opset_import = 8; }
`;

export function buildModel(file, protobuf) {
    const words = new DataView(file.buffer, file.byteOffset, file.byteLength);
    let at = 8;
    const u32 = () => { const v = words.getUint32(at, true); at += 4; return v; };
    const i32 = () => { const v = words.getInt32(at, true); at += 4; return v; };
    const f32 = () => { const v = words.getFloat32(at, true); at += 4; return v; };
    const floats = (n) => { const v = new Float32Array(file.buffer.slice(file.byteOffset + at, file.byteOffset + at + 4 * n)); at += 4 * n; return v; };
    const size = u32();
    u32();
    const scale = f32(), shift = f32();
    const count = u32();
    const nodes = [], initializer = [];
    const tensor = (name, dims, values) => {
        initializer.push({ name, dims, data_type: 1, raw_data: Buffer.from(values.buffer, values.byteOffset, values.byteLength) });
        return name;
    };
    const ints = (name, v) => ({ name, ints: v, type: 7 });
    const int = (name, v) => ({ name, i: v, type: 2 });
    tensor('scale', [], new Float32Array([scale]));
    tensor('shift', [], new Float32Array([shift]));
    tensor('zero', [], new Float32Array([0]));
    tensor('six', [], new Float32Array([6]));
    nodes.push({ op_type: 'Mul', input: ['image', 'scale'], output: ['scaled'] });
    nodes.push({ op_type: 'Sub', input: ['scaled', 'shift'], output: ['normalised'] });
    const shapes = [];
    const nameOf = (k) => (k < 0 ? 'normalised' : `l${k}`);
    for (let n = 0; n < count; n++) {
        const kind = u32(), input = i32(), input2 = i32(), stride = u32(), cin = u32(), cout = u32(), relu6 = u32();
        const [h, w, c] = input < 0 ? [size, size, 3] : shapes[input];
        if (kind === 4) {
            nodes.push({ op_type: 'Add', input: [nameOf(input), nameOf(input2)], output: [nameOf(n)] });
            shapes.push([h, w, c]);
            continue;
        }
        const k = kind === 3 ? 1 : 3;
        const raw = floats(kind === 1 ? 9 * cin * cout : kind === 2 ? 9 * cin : cin * cout);
        const bias = floats(cout);
        // OIHW from the file's HWIO (depthwise: HW x channel).
        const group = kind === 2 ? cin : 1;
        const perGroup = kind === 2 ? 1 : cin;
        const oihw = new Float32Array(cout * perGroup * k * k);
        for (let o = 0; o < cout; o++)
            for (let i = 0; i < perGroup; i++)
                for (let t = 0; t < k * k; t++)
                    oihw[(o * perGroup + i) * k * k + t] = kind === 2 ? raw[t * cin + o] : raw[(t * cin + i) * cout + o];
        const oh = Math.ceil(h / stride), ow = Math.ceil(w / stride);
        const padH = k === 1 ? 0 : Math.max((oh - 1) * stride + 3 - h, 0);
        const padW = k === 1 ? 0 : Math.max((ow - 1) * stride + 3 - w, 0);
        const pads = [padH >> 1, padW >> 1, padH - (padH >> 1), padW - (padW >> 1)];
        const out = relu6 ? `c${n}` : nameOf(n);
        nodes.push({
            op_type: 'Conv',
            input: [nameOf(input), tensor(`w${n}`, [cout, perGroup, k, k], oihw), tensor(`b${n}`, [cout], bias)],
            output: [out],
            attribute: [ints('kernel_shape', [k, k]), ints('strides', [stride, stride]), ints('pads', pads), int('group', group)],
        });
        if (relu6) nodes.push({ op_type: 'Clip', input: [out, 'zero', 'six'], output: [nameOf(n)] });
        shapes.push([oh, ow, cout]);
    }
    nodes.push({ op_type: 'GlobalAveragePool', input: [nameOf(count - 1)], output: ['pooled'] });
    const channels = shapes[count - 1][2];
    const info = (name, dims) => ({ name, type: { tensor_type: { elem_type: 1, shape: { dim: dims.map((d) => ({ dim_value: d })) } } } });
    const root = protobuf.parse(schema, { keepCase: true }).root;
    const Model = root.lookupType('onnx.ModelProto');
    const model = {
        ir_version: 8,
        producer_name: 'pixsig-bench',
        opset_import: [{ domain: '', version: 13 }],
        graph: {
            name: 'featureprint',
            node: nodes.map((node, i) => ({ name: `n${i}`, ...node })),
            initializer,
            input: [info('image', [1, 3, size, size])],
            output: [info('pooled', [1, channels, 1, 1])],
        },
    };
    return { bytes: Model.encode(Model.fromObject(model)).finish(), size, channels };
}


// The session a JavaScript host would make for it: CPU execution provider,
// one intra-op and one inter-op thread, sequential, all graph optimisations.
export function createSession(ort, bytes) {
    return ort.InferenceSession.create(bytes, {
        executionProviders: ['cpu'],
        intraOpNumThreads: 1,
        interOpNumThreads: 1,
        executionMode: 'sequential',
        graphOptimizationLevel: 'all',
    });
}
