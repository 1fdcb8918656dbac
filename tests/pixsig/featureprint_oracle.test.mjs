// pixsig's forward pass against TensorFlow.js running the nsfwjs graph model
// itself (its own dequantisation and kernels) on the same 224x224 pixels:
// the feature prints must agree to a cosine of 0.9999 or more.
//
// Uses build/bin/pixsig, or the program named by $PIXSIG.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { featurePrint, loadModel, root } from './tfjs_features.mjs';

const pixsig = process.env.PIXSIG ?? path.join(root, 'build/bin/pixsig');

// Three different 224x224 8-bit images, written as PNG for pixsig and as raw
// RGB bytes for TensorFlow.js by ImageMagick.
function makeImages(dir) {
    const scenes = {
        plasma: ['-seed', '11', '-size', '224x224', 'plasma:fractal'],
        logo: ['logo:', '-resize', '224x224!'],
        shapes: ['-size', '224x224', 'radial-gradient:orange-teal', '-fill', 'black', '-draw',
                 'circle 80,90 120,140', '-fill', 'white', '-draw', 'rectangle 140,20 210,100'],
    };
    return Object.entries(scenes).map(([name, args]) => {
        const png = path.join(dir, `${name}.png`);
        execFileSync('convert', [...args, '-depth', '8', '-type', 'TrueColor', `PNG24:${png}`]);
        const rgb = execFileSync('convert', [png, '-depth', '8', 'rgb:-'], {
            maxBuffer: 1 << 20,
        });
        assert.equal(rgb.length, 224 * 224 * 3);
        return { name, png, rgb };
    });
}

function printOf(line) {
    const bytes = Buffer.from(line.b64, 'base64');
    assert.equal(bytes.length, 4 * line.dim);
    return new Float32Array(bytes.buffer, bytes.byteOffset, line.dim);
}

test('pixsig feature prints match TensorFlow.js', async () => {
    assert.ok(fs.existsSync(pixsig), `${pixsig} is not built`);
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'pixsig-oracle-'));
    try {
        const images = makeImages(dir);
        const out = execFileSync(pixsig, images.map((i) => i.png)).toString();
        const lines = out.trim().split('\n').map((l) => JSON.parse(l));
        assert.equal(lines.length, images.length);
        const model = await loadModel('wasm');
        const ours = [];
        for (const [k, image] of images.entries()) {
            assert.equal(lines[k].ok, true, JSON.stringify(lines[k]));
            assert.equal(lines[k].dim, 1792);
            const mine = printOf(lines[k]);
            const theirs = featurePrint(model, image.rgb);
            let dot = 0;
            for (let i = 0; i < mine.length; i++) dot += mine[i] * theirs[i];
            assert.ok(dot >= 0.9999, `${image.name}: cosine ${dot}`);
            ours.push(mine);
        }
        // Different images give clearly different prints.
        let dot = 0;
        for (let i = 0; i < 1792; i++) dot += ours[0][i] * ours[1][i];
        assert.ok(dot < 0.95, `plasma and logo: cosine ${dot}`);
    } finally {
        fs.rmSync(dir, { recursive: true, force: true });
    }
});
