// The install tree (cmake --install into a scratch prefix, then moved): its
// layout, that nothing in it points back to the build, and that the tools,
// the demo's steps and the add-on run from it.
import test from 'node:test';
import assert from 'node:assert/strict';
import { accessSync, constants, existsSync, lstatSync, readFileSync, readdirSync, realpathSync, statSync,
         symlinkSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { feed, made, ok, root, run, sampleMedia, scratchDir, skip } from './env.mjs';

const prefix = made?.prefix;
const addonDir = prefix && path.join(prefix, 'lib/node_modules/dragbridge');

function walk(dir) {
    const out = [];
    for (const entry of readdirSync(dir, { withFileTypes: true })) {
        const file = path.join(dir, entry.name);
        if (entry.isDirectory()) out.push(...walk(file));
        else out.push(file);
    }
    return out;
}
const isELF = (file) => readFileSync(file).subarray(0, 4).equals(Buffer.from('\x7fELF', 'latin1'));

test('install tree layout', { skip }, async (t) => {
    const files = walk(prefix).map((f) => path.relative(prefix, f)).sort();
    await t.test('holds the tools, the network, the add-on package and the docs', () => {
        const prebuilt = 'lib/node_modules/dragbridge/prebuilds/linux-x64';
        for (const want of ['bin/reelctl', 'bin/pixsig', 'share/pixsig/mobilenet_v2_mid.pxnet',
            'share/pixsig/nsfwjs-LICENSE', `${prebuilt}/dragbridge.node`, `${prebuilt}/bin/reelctl`,
            `${prebuilt}/bin/pixsig`, `${prebuilt}/share/pixsig/mobilenet_v2_mid.pxnet`,
            `${prebuilt}/share/pixsig/nsfwjs-LICENSE`, `${prebuilt}/runtime-packages.json`,
            'lib/node_modules/dragbridge/index.js', 'lib/node_modules/dragbridge/index.mjs',
            'lib/node_modules/dragbridge/index.d.ts', 'lib/node_modules/dragbridge/index.d.mts',
            'lib/node_modules/dragbridge/package.json', 'lib/node_modules/dragbridge/README.md',
            'lib/node_modules/dragbridge/LICENSE', 'lib/node_modules/dragbridge/client/index.js',
            'lib/node_modules/dragbridge/client/index.d.ts', 'share/doc/media-companions/README.md',
            'share/doc/media-companions/host.md', 'share/doc/media-companions/copyright'])
            assert.ok(files.includes(want), `${want} is installed (have: ${files.join(', ')})`);
        // P/bin and P/share/pixsig link into the package, which holds the files
        // (npm pack leaves links out), relatively, so that P can move.
        for (const file of ['bin/reelctl', 'bin/pixsig', 'share/pixsig/mobilenet_v2_mid.pxnet',
            'share/pixsig/nsfwjs-LICENSE']) {
            assert.ok(lstatSync(path.join(prefix, file)).isSymbolicLink(), file);
            assert.equal(realpathSync(path.join(prefix, file)), path.join(realpathSync(prefix), prebuilt, file));
        }
        for (const tool of ['reelctl', 'pixsig'])
            accessSync(path.join(prefix, 'bin', tool), constants.X_OK);
        // The Debian packages of the tools' libraries, for the client to name.
        const packages = JSON.parse(readFileSync(path.join(prefix, prebuilt, 'runtime-packages.json'), 'utf8'));
        assert.match(packages['libvips.so.42'], /^libvips42/);
        assert.match(packages['libavformat.so.59'], /^libavformat59/);
        // The network installed is the one the build converted.
        const built = statSync(path.join(made.build, 'share/pixsig/mobilenet_v2_mid.pxnet')).size;
        assert.equal(statSync(path.join(prefix, 'share/pixsig/mobilenet_v2_mid.pxnet')).size, built);
    });
    await t.test('the package.json is the project version and names the entry and declarations', () => {
        const pkg = JSON.parse(readFileSync(path.join(addonDir, 'package.json'), 'utf8'));
        const project = JSON.parse(readFileSync(path.join(root, 'package.json'), 'utf8'));
        assert.equal(pkg.name, 'dragbridge');
        assert.equal(pkg.version, project.version);
        assert.equal(pkg.main, 'index.js');
        assert.equal(pkg.types, 'index.d.ts');
    });
    await t.test('nothing refers back to the build or source tree', async () => {
        for (const file of walk(prefix)) {
            if (isELF(file)) {
                const { stdout } = await ok('readelf', ['-d', file]);
                for (const [, dirs] of stdout.matchAll(/\((?:RPATH|RUNPATH)\)\s+Library r\w*path: \[([^\]]*)\]/g))
                    for (const d of dirs.split(':'))
                        assert.ok(d.startsWith('/usr/lib/') && !d.startsWith(made.build) && !d.startsWith(root),
                                  `${file}: run path ${d} is a system folder`);
            } else {
                const text = readFileSync(file, 'latin1');
                assert.ok(!text.includes(made.build) && !text.includes(root), `${file} names no build path`);
            }
        }
    });
});

test('the tools run from the moved prefix', { skip }, async (t) => {
    const media = await sampleMedia(scratchDir('media'));
    const bin = path.join(prefix, 'bin');
    await t.test('pixsig finds its network beside its executable, also through a symlink', async () => {
        assert.equal((await ok(path.join(bin, 'pixsig'), ['--model'])).stdout, 'vision-fp-r2\n');
        const links = scratchDir('links');
        symlinkSync(path.join(bin, 'pixsig'), path.join(links, 'pixsig'));
        for (const pixsig of [path.join(bin, 'pixsig'), path.join(links, 'pixsig')]) {
            const { stdout } = await ok(pixsig, [path.join(media, 'photo.jpg')]);
            const answer = JSON.parse(stdout);
            assert.equal(answer.ok, true, stdout);
            assert.equal(answer.dim, 1792);
        }
    });
    await t.test('serve mode answers prints and thumbnails in order', async () => {
        const lines = [
            { path: 'photo.jpg', id: 'p' },
            { op: 'thumb', id: 't', path: 'photo.jpg', out: 'thumb.jpg', size: 200 },
            { op: 'thumb', id: 'g', path: 'grey.jpg', out: 'grey-thumb.jpg' },
        ].map((l) => JSON.stringify(l)).join('\n') + '\n';
        const { status, stdout } = await feed(path.join(bin, 'pixsig'), ['--serve'], lines, { cwd: media });
        assert.equal(status, 0);
        const answers = stdout.trim().split('\n').map((l) => JSON.parse(l));
        assert.deepEqual(answers.map((a) => a.id), ['p', 't', 'g']);
        assert.equal(answers[0].ok, true);
        assert.deepEqual([answers[1].width, answers[1].height], [200, 150]);
        assert.equal(answers[2].declined, true);
    });
    await t.test('reelctl probes and grabs a poster', async () => {
        const probe = JSON.parse((await ok(path.join(bin, 'reelctl'), ['probe', path.join(media, 'clip.mp4')])).stdout);
        assert.equal(probe.width, 640);
        assert.equal(probe.height, 360);
        assert.equal(probe.hasAudio, true);
        assert.equal(probe.creationDate, '2024-03-01T09:15:00Z');
        const poster = path.join(media, 'poster.jpg');
        await ok(path.join(bin, 'reelctl'), ['poster', path.join(media, 'clip.mp4'), poster, '--max-edge', '320']);
        assert.equal((await ok('vipsheader', ['-f', 'width', poster])).stdout.trim(), '320');
    });
});

test('the demo steps run from the prefix', { skip }, async (t) => {
    const demo = scratchDir('demo');
    const env = { ...process.env, BIN: path.join(prefix, 'bin'),
                  LIB: path.join(addonDir, 'prebuilds/linux-x64'), DEMO_DIR: demo };
    const steps = readdirSync(path.join(root, 'tools/demo.d')).filter((f) => f.endsWith('.sh')).sort();
    assert.ok(steps.length >= 5);
    for (const step of steps) {
        await t.test(step, async () => {
            const result = await run('bash', [path.join(root, 'tools/demo.d', step)], { env, cwd: demo });
            assert.equal(result.status, 0, result.stdout + result.stderr);
            assert.doesNotMatch(result.stdout, /add-on not built/);
        });
    }
    assert.ok(existsSync(path.join(demo, 'poster.jpg')));
    assert.ok(existsSync(path.join(demo, 'transcoded.mp4')));
});

test('the add-on package loads from the prefix', { skip }, () => {
    const require = createRequire(import.meta.url);
    const dragbridge = require(addonDir);
    assert.deepEqual(Object.getOwnPropertyNames(dragbridge).sort(), ['pasteboard', 'start']);
    const report = JSON.parse(dragbridge.pasteboard({ files: ['/tmp/a b.mov', '/tmp/c.png'] }));
    assert.equal(report.items, 2);
    assert.deepEqual(report.files, ['/tmp/a b.mov', '/tmp/c.png']);
    assert.deepEqual(report.urlList, ['file:///tmp/a%20b.mov', 'file:///tmp/c.png']);
    assert.throws(() => dragbridge.start({ handle: Buffer.alloc(4) }), { message: 'Invalid native window handle' });
    const client = require(path.join(addonDir, 'client'));
    for (const name of ['configure', 'probe', 'poster', 'frames', 'transcode', 'PixsigPool', 'PixsigServer'])
        assert.equal(typeof client[name], 'function', name);
});
