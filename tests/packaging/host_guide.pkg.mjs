// Runs the examples of docs/host.md, in order, against the install tree:
//   ```sh            bash, with the installed tools first on PATH
//   ```js            node, in a project whose node_modules/dragbridge is the installed package
//   ```js module     the same as an ES module (.mjs)
//   ```js x11        the same under Xvfb, with `win` standing for a BrowserWindow
//                    whose getNativeWindowHandle() gives a real X window's 4-byte id
//   ```js electron   syntax only (node --check): Electron is not here
//   ```output        the exact standard output of the example before it
// All examples share one folder holding the sample media.
import test from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, symlinkSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { made, root, run, sampleMedia, scratchDir, skip } from './env.mjs';
import { hostWindow, startX } from '../dragbridge/xsession.mjs';

const guide = readFileSync(path.join(root, 'docs/host.md'), 'utf8');
const blocks = [...guide.matchAll(/^```([a-z]*)(?: ([a-z0-9]+))?\n([\s\S]*?)^```$/gm)].map((m) => ({
    lang: m[1], kind: m[2] ?? '', code: m[3], line: guide.slice(0, m.index).split('\n').length,
}));

test('the host guide has runnable examples of every kind', () => {
    const kinds = new Set(blocks.map((b) => `${b.lang} ${b.kind}`.trim()));
    for (const kind of ['sh', 'js', 'js module', 'js x11', 'js electron', 'output']) assert.ok(kinds.has(kind), kind);
    for (const [i, b] of blocks.entries())
        if (b.lang === 'output') assert.ok(['sh', 'js'].includes(blocks[i - 1]?.lang), `output at line ${b.line} follows an example`);
});

test('the host guide\'s examples run as written', { skip }, async (t) => {
    const dir = await sampleMedia(scratchDir('host-guide'));
    mkdirSync(path.join(dir, 'node_modules'));
    symlinkSync(path.join(made.prefix, 'lib/node_modules/dragbridge'), path.join(dir, 'node_modules/dragbridge'));
    const env = { ...process.env, PATH: `${path.join(made.prefix, 'bin')}:${process.env.PATH}` };
    let x = null;
    let host = null;
    t.after(async () => {
        await host?.close();
        await x?.stop?.();
    });

    let last = null;
    for (const [i, block] of blocks.entries()) {
        const name = `line ${block.line}: ${block.lang} ${block.kind}`.trim();
        if (block.lang === 'output') {
            await t.test(`${name} matches`, () => {
                assert.ok(last, 'the example before it ran');
                assert.equal(last.stdout, block.code);
            });
            continue;
        }
        if (block.lang !== 'sh' && block.lang !== 'js') continue;
        const extension = block.lang === 'sh' ? 'sh' : block.kind === 'module' ? 'mjs' : 'js';
        const file = path.join(dir, `example-${i}.${extension}`);
        await t.test(name, async (t) => {
            last = null;
            if (block.kind === 'electron') {
                writeFileSync(file, block.code);
                const result = await run(process.execPath, ['--check', file]);
                assert.equal(result.status, 0, result.stderr);
                return;
            }
            let code = block.code;
            let runEnv = env;
            if (block.kind === 'x11') {
                if (!x) x = await startX();
                if (x.reason) return t.skip(x.reason);
                if (!host) host = await hostWindow(40, 40, 300, 200);
                code = `const win = { getNativeWindowHandle() { const b = Buffer.alloc(4); ` +
                       `b.writeUInt32LE(${host.id}); return b; } };\n` + code;
                runEnv = { ...env, DISPLAY: x.display };
            }
            writeFileSync(file, code);
            const result = block.lang === 'sh'
                ? await run('bash', ['-eo', 'pipefail', file], { cwd: dir, env: runEnv })
                : await run(process.execPath, [file], { cwd: dir, env: runEnv });
            assert.equal(result.status, 0, result.stdout + result.stderr);
            last = result;
        });
    }
});
