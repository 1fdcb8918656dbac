// The Debian package made by cpack: its metadata (dpkg-deb -I), Depends that
// cover every shared library its binaries load, its contents, and the tools
// run from the root it was extracted into (dpkg-deb -x), never installed.
import test from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync, realpathSync } from 'node:fs';
import path from 'node:path';
import { feed, made, ok, root, run, sampleMedia, scratchDir, skip } from './env.mjs';

// A control field of the package, continuation lines included.
async function field(name) {
    return (await ok('dpkg-deb', ['-f', made.deb, name])).stdout.trim();
}

// The package that owns a library file (a merged /usr lists it under either
// name; alternatives symlinks are followed).
async function owner(file) {
    const names = [file, file.startsWith('/usr/') ? file.slice(4) : `/usr${file}`, realpathSync(file)];
    for (const name of names) {
        const r = await run('dpkg-query', ['-S', name]);
        if (r.status === 0) return r.stdout.split(':')[0];
    }
    assert.fail(`no package owns ${file}`);
}

// "a (>= 1), b | c" as [{ name, op, version }] alternatives per entry.
function parseDepends(text) {
    return text.split(',').map((entry) => entry.split('|').map((alt) => {
        const m = alt.trim().match(/^([a-z0-9.+-]+)(?::[a-z0-9]+)?(?:\s*\(([<>=]+)\s*([^)]+)\))?$/);
        assert.ok(m, `readable dependency: ${alt}`);
        return { name: m[1], op: m[2], version: m[3]?.trim() };
    }));
}

const elfFiles = (dir) => readdirSync(dir, { recursive: true, withFileTypes: true })
    .filter((e) => e.isFile() && readFileSync(path.join(e.parentPath ?? e.path, e.name)).subarray(0, 4)
        .equals(Buffer.from('\x7fELF', 'latin1')))
    .map((e) => path.join(e.parentPath ?? e.path, e.name));

test('package metadata', { skip }, async (t) => {
    const project = JSON.parse(readFileSync(path.join(root, 'package.json'), 'utf8'));
    await t.test('name, version, architecture, maintainer, description', async () => {
        const { stdout: info } = await ok('dpkg-deb', ['-I', made.deb]);
        assert.match(info, /^ Package: media-companions$/m);
        assert.match(info, new RegExp(`^ Version: ${project.version.replace(/\./g, '\\.')}$`, 'm'));
        assert.equal(await field('Architecture'), (await ok('dpkg', ['--print-architecture'])).stdout.trim());
        assert.match(await field('Maintainer'), /<[^>]+@[^>]+>/);
        const description = (await field('Description')).split('\n');
        assert.match(description[0], /media/);
        assert.match(description.slice(1).join(' '), /reelctl .*pixsig .*dragbridge/);
        assert.match(await field('Installed-Size'), /^\d+$/);
        assert.equal(path.basename(made.deb), `media-companions_${project.version}_amd64.deb`);
    });
    await t.test('Depends name the package of every library the binaries load', async () => {
        const depends = parseDepends(await field('Depends'));
        const named = new Set(depends.flat().map((d) => d.name));
        const elves = elfFiles(made.debRoot);
        assert.equal(elves.length, 3, `reelctl, pixsig and the add-on: ${elves.join(', ')}`);
        for (const elf of elves) {
            // The libraries it names itself (theirs are their packages' business),
            // found where ldd finds them: as the loader does, run paths included.
            const { stdout: dynamic } = await ok('readelf', ['-d', elf]);
            const needed = [...dynamic.matchAll(/\(NEEDED\)\s+Shared library: \[([^\]]+)\]/g)].map((m) => m[1]);
            const { stdout } = await ok('ldd', [elf]);
            const found = new Map([...stdout.matchAll(/^\s+(\S+) => (\/\S+) \(0x/gm)].map((m) => [m[1], m[2]]));
            assert.ok(needed.length > 3, dynamic);
            for (const soname of needed) {
                const file = found.get(soname);
                assert.ok(file, `${soname} of ${path.basename(elf)} is found: ${stdout}`);
                const pkg = await owner(file);
                assert.ok(named.has(pkg), `Depends names ${pkg} for ${soname} of ${path.basename(elf)}`);
            }
        }
    });
    await t.test('Depends name libavfilter, which reelctl opens only at run time', async () => {
        const named = parseDepends(await field('Depends')).flat().map((d) => d.name);
        assert.ok(named.some((name) => /^libavfilter\d+$/.test(name)), named.join(', '));
    });
    await t.test('every dependency can be had from the archive this machine uses', async (t) => {
        const probe = await run('apt-cache', ['policy', 'libc6']);
        if (!/Candidate: \S/.test(probe.stdout)) return t.skip('no package lists (apt-get update)');
        for (const alternatives of parseDepends(await field('Depends'))) {
            let satisfied = false;
            for (const d of alternatives) {
                const { stdout } = await run('apt-cache', ['policy', d.name]);
                const versions = [...stdout.matchAll(/(?:Installed|Candidate): (\S+)/g)].map((m) => m[1])
                    .filter((v) => v !== '(none)');
                for (const version of versions) {
                    if (!d.op) { satisfied = true; break; }
                    const op = { '>=': 'ge', '<=': 'le', '=': 'eq', '>>': 'gt', '<<': 'lt' }[d.op];
                    if ((await run('dpkg', ['--compare-versions', version, op, d.version])).status === 0) {
                        satisfied = true;
                        break;
                    }
                }
                if (satisfied) break;
            }
            assert.ok(satisfied, `dependency ${JSON.stringify(alternatives)}`);
        }
        // What dpkg -i plus apt-get -f install would do, only simulated (-s).
        const simulated = await run('apt-get', ['-s', '-o', 'Debug::NoLocking=1', 'install', made.deb]);
        assert.equal(simulated.status, 0, simulated.stdout + simulated.stderr);
        assert.match(simulated.stdout, /^Inst media-companions /m);
        assert.doesNotMatch(simulated.stdout, /^Remv /m);
    });
});

test('package contents', { skip }, async (t) => {
    const { stdout } = await ok('dpkg-deb', ['-c', made.deb]);
    const entries = new Map(stdout.trim().split('\n').map((line) => {
        const parts = line.split(/\s+/);
        const name = parts.slice(5).join(' ').replace(/^\.\//, '').replace(/ -> .*$/, '');  // a link: its target after
        return [name, { mode: parts[0], owner: parts[1] }];
    }));
    await t.test('the tools, the network and the add-on under /usr, owned by root', () => {
        const prebuilt = 'usr/lib/node_modules/dragbridge/prebuilds/linux-x64';
        for (const [file, mode] of [[`${prebuilt}/bin/reelctl`, '-rwxr-xr-x'], [`${prebuilt}/bin/pixsig`, '-rwxr-xr-x'],
            [`${prebuilt}/share/pixsig/mobilenet_v2_mid.pxnet`, '-rw-r--r--'],
            ['usr/bin/reelctl', 'lrwxrwxrwx'], ['usr/bin/pixsig', 'lrwxrwxrwx'],
            ['usr/share/pixsig/mobilenet_v2_mid.pxnet', 'lrwxrwxrwx'],
            [`${prebuilt}/dragbridge.node`, null],
            ['usr/lib/node_modules/dragbridge/client/index.js', '-rw-r--r--'],
            ['usr/share/doc/media-companions/copyright', '-rw-r--r--']]) {
            assert.ok(entries.has(file), `${file} in the package`);
            if (mode) assert.equal(entries.get(file).mode, mode, file);
            assert.equal(entries.get(file).owner, 'root/root', file);
        }
        for (const file of entries.keys()) assert.match(file, /^usr\//);
    });
    await t.test('binaries are stripped and name no build path', async () => {
        for (const elf of elfFiles(made.debRoot)) {
            const { stdout: sections } = await ok('readelf', ['-S', elf]);
            assert.doesNotMatch(sections, /\.debug_info/, `${elf} is stripped`);
            assert.ok(!readFileSync(elf, 'latin1').includes(made.build), `${elf} names no build path`);
        }
    });
});

test('the extracted tools work', { skip }, async (t) => {
    const media = await sampleMedia(scratchDir('deb-media'));
    const bin = path.join(made.debRoot, 'usr/bin');
    const clip = path.join(media, 'clip.mp4');
    await t.test('reelctl probe agrees with ffprobe', async () => {
        const probe = JSON.parse((await ok(path.join(bin, 'reelctl'), ['probe', clip])).stdout);
        const { stdout } = await ok('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-show_entries',
            'stream=width,height:format=duration', '-of', 'json', clip]);
        const peer = JSON.parse(stdout);
        assert.equal(probe.width, peer.streams[0].width);
        assert.equal(probe.height, peer.streams[0].height);
        assert.ok(Math.abs(probe.duration - Number(peer.format.duration)) < 0.1);
        assert.equal(probe.codec, 'avc1');
    });
    await t.test('reelctl frames and transcode', async () => {
        const out = path.join(media, 'frames');
        const manifest = JSON.parse((await ok(path.join(bin, 'reelctl'), ['frames', clip, out, '--count', '4'])).stdout);
        assert.equal(manifest.count, 4);
        assert.deepEqual(readdirSync(out).sort(), ['frame_0.jpg', 'frame_1.jpg', 'frame_2.jpg', 'frame_3.jpg',
            'manifest.json']);
        const movie = path.join(media, 'out.mp4');
        assert.equal((await ok(path.join(bin, 'reelctl'), ['transcode', clip, movie])).stdout, `${movie}\n`);
        const { stdout } = await ok('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name', '-of', 'csv=p=0', movie]);
        assert.deepEqual(stdout.trim().split('\n').sort(), ['aac', 'h264']);
        const missing = await run(path.join(bin, 'reelctl'), ['probe', path.join(media, 'none.mp4')]);
        assert.equal(missing.status, 66);
    });
    await t.test('pixsig prints and thumbnails with the packaged network', async () => {
        assert.equal((await ok(path.join(bin, 'pixsig'), ['--thumb-protocol'])).stdout, '1\n');
        const lines = '{"path":"photo.jpg"}\n{"op":"thumb","path":"photo.jpg","out":"t.jpg","size":64}\n';
        const { stdout } = await feed(path.join(bin, 'pixsig'), ['--serve'], lines, { cwd: media });
        const [print, thumb] = stdout.trim().split('\n').map((l) => JSON.parse(l));
        assert.equal(print.ok, true, JSON.stringify(print));
        assert.equal(print.model, 'vision-fp-r2');
        assert.deepEqual([thumb.width, thumb.height], [64, 48]);
    });
});
