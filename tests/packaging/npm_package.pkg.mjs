// The add-on's npm tarball (npm pack in the install tree): its contents, an
// install into a fresh scratch project, require() and import from there (every
// declared name there at run time), the tools it carries found by the client,
// and TypeScript users compiled against its declarations with tsc --strict.
import test from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { made, ok, root, run, sampleMedia, scratchDir, skip } from './env.mjs';
import { checkExports } from '../clients/declared_exports.mjs';

const tsc = path.join(root, 'node_modules/.bin/tsc');

// A host project with the tarball installed.
async function hostProject() {
    const dir = scratchDir('host-app');
    writeFileSync(path.join(dir, 'package.json'),
                  JSON.stringify({ name: 'host-app', version: '1.0.0', private: true }));
    await ok('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error', made.tarball],
             { cwd: dir });
    return dir;
}

test('tarball contents', { skip }, async () => {
    const { stdout } = await ok('tar', ['-tzf', made.tarball]);
    const client = ['checks.js', 'errors.js', 'index.d.mts', 'index.d.ts', 'index.js', 'index.mjs', 'pixsig.js',
                    'reelctl.js', 'tools.js'].map((f) => `package/client/${f}`);
    const prebuilt = ['bin/pixsig', 'bin/reelctl', 'dragbridge.node', 'runtime-packages.json',
                      'share/pixsig/mobilenet_v2_mid.pxnet', 'share/pixsig/nsfwjs-LICENSE']
        .map((f) => `package/prebuilds/linux-x64/${f}`);
    assert.deepEqual(stdout.trim().split('\n').sort(), [
        'package/LICENSE', 'package/README.md', ...client, 'package/index.d.mts', 'package/index.d.ts',
        'package/index.js', 'package/index.mjs', 'package/package.json', ...prebuilt,
    ].sort());
});

test('installed into a scratch project', { skip }, async (t) => {
    const dir = await hostProject();
    const node = (code, env = process.env) => ok(process.execPath, ['-e', code], { cwd: dir, env });
    await t.test("require('dragbridge') loads the prebuilt add-on", async () => {
        const { stdout } = await node(`
            const dragbridge = require('dragbridge');
            const report = JSON.parse(dragbridge.pasteboard({ files: ['/tmp/x y.png'] }));
            let message;
            try { dragbridge.start({ handle: Buffer.alloc(4), files: ['/tmp/x'], icon: Buffer.alloc(1) }); }
            catch (e) { message = e.message; }
            console.log(JSON.stringify({ names: Object.getOwnPropertyNames(dragbridge).sort(),
                                         files: report.files, message,
                                         file: require.resolve('dragbridge') }));`);
        const result = JSON.parse(stdout);
        assert.deepEqual(result.names, ['pasteboard', 'start']);
        assert.deepEqual(result.files, ['/tmp/x y.png']);
        assert.equal(result.message, 'Invalid native window handle');
        assert.equal(result.file, path.join(dir, 'node_modules/dragbridge/index.js'));
    });
    await t.test('an ES module imports it too, named exports included', async () => {
        const { stdout } = await ok('node', ['--input-type=module', '-e',
            "import dragbridge, { pasteboard } from 'dragbridge'; import { probe } from 'dragbridge/client';" +
            'console.log(typeof dragbridge.pasteboard, typeof pasteboard, typeof probe);'], { cwd: dir });
        assert.equal(stdout, 'function function function\n');
    });
    await t.test('every declared name is there at run time, imported and required', async () => {
        const results = await checkExports(dir, ['dragbridge', 'dragbridge/client'],
                                           [path.join(root, 'node_modules/@types')]);
        for (const [entry, { declared, mismatches }] of Object.entries(results)) {
            assert.ok(declared.length >= 2, entry);
            assert.deepEqual(mismatches, [], entry);
        }
    });
    await t.test("require('dragbridge/client') finds the tools the package carries", async () => {
        const media = await sampleMedia(scratchDir('npm-media'));
        const env = { ...process.env, PATH: '/nonexistent' };
        const { stdout } = await node(`
            const client = require('dragbridge/client');
            (async () => {
                const probe = await client.probe(${JSON.stringify(path.join(media, 'clip.mp4'))});
                const server = new client.PixsigServer();
                const print = await server.print(${JSON.stringify(path.join(media, 'photo.jpg'))});
                await server.close();
                console.log(JSON.stringify({ width: probe.width, dim: print.dim }));
            })();`, env);
        assert.deepEqual(JSON.parse(stdout), { width: 640, dim: 1792 });
    });
    await t.test('a tool that is not where it is configured to be rejects saying where it looked', async () => {
        const { stdout } = await ok(process.execPath, ['-e', `
            const client = require('dragbridge/client');
            client.configure({ binDir: '/nonexistent' });
            client.probe('x.mp4').catch((e) =>
                console.log(JSON.stringify({ name: e.name, status: e.status, code: e.code, message: e.message })));`],
            { cwd: dir });
        assert.deepEqual(JSON.parse(stdout), { name: 'ToolError', status: null, code: 'UNAVAILABLE', message:
            'reelctl was not found in /nonexistent; install the media-companions package, or give the folder ' +
            'of the tools with configure({ binDir })' });
    });

    const user = `
import { pasteboard, start, PasteboardReport, StartOptions } from 'dragbridge';
import { cosine, ErrorCode, frames, PixsigError, PixsigPool, PixsigServer, probe, ServerDiedError, thresholds,
         TimeoutError, ToolError, transcode } from 'dragbridge/client';

const report: PasteboardReport = JSON.parse(pasteboard({ files: ['/tmp/a.mov'] }));
const items: number = report.items;
const first: string[] = report.firstTypes;

export function drag(native: Buffer, icon: Buffer, files: string[]): boolean {
    const handle = Buffer.alloc(8);
    handle.writeBigUInt64LE(BigInt(native.readUInt32LE(0)));
    const options: StartOptions = { handle, files, icon, width: 48, height: 48 };
    return start(options);
}

export async function main(): Promise<void> {
    const info = await probe('clip.mp4');
    const size: string = \`\${info.width}x\${info.height}\`;
    const date: string | null = info.creationDate;
    const { manifest, skipped } = await frames('clip.mp4', 'out', { count: 5, maxEdge: 256, max: Infinity });
    const names: string[] = manifest.frames.map((f) => f.filename);
    const reasons: string[] = skipped.map((s) => \`\${s.index} @\${s.time}: \${s.reason}\`);
    const movie: string = await transcode('clip.mp4', 'out.mp4', { onProgress: (f: number) => console.log(f) });
    const server = new PixsigServer({ maxInFlight: 4 });
    const [a, b] = await Promise.all([server.print('a.jpg'), server.print('b.jpg')]);
    const copy: boolean = cosine(a, b) >= thresholds.copy;
    try {
        const thumb = await server.thumb({ path: 'a.jpg', out: 'a-thumb.jpg', size: 256 });
        const area: number = thumb.width * thumb.height;
    } catch (error) {
        if (error instanceof PixsigError && error.declined) console.log(error.message);
        if (error instanceof ToolError && error.status === 66) console.log(error.stderr);
    }
    const pool = new PixsigPool({ size: 2, timeout: 5000 });
    try {
        await pool.print('c.jpg', { signal: AbortSignal.timeout(1000), timeout: 2000 });
    } catch (error) {
        const code: ErrorCode | undefined = (error as { code?: ErrorCode }).code;
        if (error instanceof ServerDiedError) console.log(error.status, error.signal, error.stderr);
        if (error instanceof TimeoutError) console.log(error.timeout, code);
    }
    await pool.close();
    server.on('exit', (status: number | null, signal: string | null) => {});
    await server.close();
    console.log(items, first, size, date, names, reasons, movie, copy);
}
`;
    const wrong = `
import { pasteboard, start } from 'dragbridge';
import { frames, PixsigServer, transcode } from 'dragbridge/client';
start({ handle: 'window', files: ['/tmp/a'], icon: Buffer.alloc(1) });
const text: number = pasteboard({ files: ['/tmp/a'] });
new PixsigServer().request({ id: 'no path' });
frames('clip.mp4', 'out', { interval: 1, count: 5 });
transcode('clip.mp4', 'out.mp4', { onProgress: (fraction: string) => fraction });
`;
    for (const resolution of ['node16', 'node10']) {
        await t.test(`a TypeScript user compiles with tsc --noEmit --strict (moduleResolution ${resolution})`, async () => {
            const src = path.join(dir, `ts-${resolution}`);
            mkdirSync(src);
            writeFileSync(path.join(src, 'user.ts'), user);
            writeFileSync(path.join(src, 'tsconfig.json'), JSON.stringify({
                compilerOptions: {
                    strict: true, noEmit: true, target: 'es2022', skipLibCheck: false,
                    module: resolution === 'node16' ? 'node16' : 'commonjs', moduleResolution: resolution,
                    typeRoots: [path.join(root, 'node_modules/@types')], types: ['node'],
                },
                files: ['user.ts'],
            }));
            await ok(tsc, ['-p', src]);
        });
    }
    await t.test('wrong uses do not compile', async () => {
        const src = path.join(dir, 'ts-wrong');
        mkdirSync(src);
        writeFileSync(path.join(src, 'user.ts'), wrong);
        const result = await run(tsc, ['--noEmit', '--strict', '--module', 'node16', '--moduleResolution', 'node16',
            '--typeRoots', path.join(root, 'node_modules/@types'), '--types', 'node', path.join(src, 'user.ts')]);
        assert.notEqual(result.status, 0);
        const lines = result.stdout.split('\n').filter((l) => /error TS/.test(l)).map((l) => l.match(/\((\d+),/)[1]);
        assert.deepEqual(lines, ['4', '5', '6', '7', '8'], result.stdout);
    });
    await t.test('an ES-module TypeScript user (nodenext, "type": "module") compiles strictly and runs', async () => {
        const src = path.join(dir, 'ts-esm');
        mkdirSync(src);
        writeFileSync(path.join(src, 'package.json'), JSON.stringify({ type: 'module' }));
        writeFileSync(path.join(src, 'user.ts'), `
import dragbridge, { pasteboard, type PasteboardReport } from 'dragbridge';
import client, { configure, PixsigPool, type ErrorCode, type FramesResult } from 'dragbridge/client';

const report: PasteboardReport = JSON.parse(pasteboard({ files: [''] }));
const pool = new PixsigPool({ size: 2, timeout: 1000 });
const code: ErrorCode = 'TIMEOUT';
const skipped = (result: FramesResult): number => result.skipped.length;
console.log(report.items, typeof dragbridge.start, typeof client.probe, pool.size, code, configure().binDir ?? 'search',
            skipped({ manifest: { duration: 1, count: 0, frames: [] }, skipped: [] }));
`);
        writeFileSync(path.join(src, 'tsconfig.json'), JSON.stringify({
            compilerOptions: {
                strict: true, target: 'es2022', module: 'nodenext', moduleResolution: 'nodenext', outDir: 'out',
                typeRoots: [path.join(root, 'node_modules/@types')], types: ['node'],
            },
            files: ['user.ts'],
        }));
        await ok(tsc, ['-p', src]);
        const { stdout } = await ok(process.execPath, [path.join(src, 'out/user.js')], { cwd: src });
        assert.equal(stdout, '0 function function 2 TIMEOUT search 0\n');
    });
});
