// The Node client (clients/node) against the real reelctl and pixsig.
//   CLIENT_MODULE: the client to test (default clients/node/index.js)
//   TOOLS_BIN:     folder of the tools (default build/bin); empty: the client
//                  finds them itself (beside an installed package, or on PATH)
import test from 'node:test';
import assert from 'node:assert/strict';
import { execFile, execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const clientModule = path.resolve(root, process.env.CLIENT_MODULE ?? 'clients/node/index.js');
const client = createRequire(import.meta.url)(clientModule);
const bin = process.env.TOOLS_BIN ?? path.join(root, 'build/bin');
if (bin) client.configure({ binDir: bin });
// The pixsig whose batch answers the server's are checked against: the
// installed one beside P/lib/node_modules/dragbridge/client when the client
// looks the tools up itself.
const oracle = bin ? path.join(bin, 'pixsig') : path.resolve(path.dirname(clientModule), '../../../../bin/pixsig');
const built = !bin || (existsSync(path.join(bin, 'reelctl')) && existsSync(oracle));
const skip = !built && `the tools are not built in ${bin}`;
const exec = promisify(execFile);

const dir = mkdtempSync(path.join(os.tmpdir(), 'client-test-'));
test.after(() => rmSync(dir, { recursive: true, force: true }));
const at = (name) => path.join(dir, name);

// clip.mp4: 2 s of 640x360 H.264 (long.mp4: 10 s of 1280x720); photo.jpg 800x600, its half-size copy, a
// different picture, a greyscale copy (thumbnails decline it), notvideo.mp4.
if (built) {
    const run = (file, args) => execFileSync(file, args, { stdio: ['ignore', 'ignore', 'inherit'] });
    run('ffmpeg', ['-nostdin', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc2=size=640x360:rate=25:duration=2',
        '-c:v', 'libx264', '-preset', 'ultrafast', '-pix_fmt', 'yuv420p', at('clip.mp4')]);
    run('ffmpeg', ['-nostdin', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc2=size=1280x720:rate=30:duration=10',
        '-c:v', 'libx264', '-preset', 'ultrafast', '-pix_fmt', 'yuv420p', at('long.mp4')]);
    run('convert', ['-seed', '5', '-size', '800x600', 'plasma:fractal', '-blur', '0x2', '-quality', '92', at('photo.jpg')]);
    run('convert', [at('photo.jpg'), '-resize', '50%', at('half.jpg')]);
    run('convert', ['logo:', '-resize', '800x600!', '-quality', '92', at('other.jpg')]);
    run('convert', [at('photo.jpg'), '-colorspace', 'Gray', at('grey.jpg')]);
    writeFileSync(at('notvideo.mp4'), 'not a movie\n');
    writeFileSync(at('cut.jpg'), readFileSync(at('photo.jpg')).subarray(0, 3000));
    // bad.mp4: every picture a keyframe, the one at 2.0 s overwritten with noise.
    run('ffmpeg', ['-nostdin', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc2=size=320x240:rate=25:duration=4',
        '-c:v', 'libx264', '-preset', 'veryfast', '-g', '1', '-pix_fmt', 'yuv420p', at('intra.mp4')]);
    run('bash', ['-c', 'source "$1" && damage_packet "$2" "$3" 51', 'damage',
        path.join(root, 'tools/fixtures/damage.sh'), at('intra.mp4'), at('bad.mp4')]);
}
const imageSize = async (file) => {
    const { stdout } = await exec('vipsheader', ['-f', 'width', file]);
    const { stdout: h } = await exec('vipsheader', ['-f', 'height', file]);
    return [Number(stdout), Number(h)];
};

test('reelctl through the client', { skip }, async (t) => {
    await t.test('probe resolves to the parsed document', async () => {
        const info = await client.probe(at('clip.mp4'));
        assert.deepEqual({ ...info }, { duration: 2, width: 640, height: 360, fps: 25, codec: 'avc1',
                                        hasAudio: false, creationDate: null });
    });
    await t.test('poster writes the JPEG within maxEdge', async () => {
        assert.equal(await client.poster(at('clip.mp4'), at('poster.jpg'), { maxEdge: 160 }), undefined);
        assert.deepEqual(await imageSize(at('poster.jpg')), [160, 90]);
    });
    await t.test('frames resolves to the manifest it saved', async () => {
        const { manifest, skipped } = await client.frames(at('clip.mp4'), at('frames'), { count: 5, maxEdge: 64 });
        assert.deepEqual(skipped, []);
        assert.equal(manifest.count, 5);
        assert.deepEqual(manifest.frames.map((f) => f.index), [0, 1, 2, 3, 4]);
        assert.deepEqual(manifest, JSON.parse(readFileSync(at('frames/manifest.json'), 'utf8')));
        assert.deepEqual(await imageSize(at('frames/frame_4.jpg')), [64, 36]);
    });
    await t.test('a path spelled like an option stays a path', async () => {
        const { manifest } = await client.frames(at('clip.mp4'), '--max', { cwd: dir, count: 10, max: 3 });
        assert.equal(manifest.count, 3);
        assert.ok(existsSync(at('--max/frame_2.jpg')));
    });
    await t.test('transcode resolves to the output path', async () => {
        assert.equal(await client.transcode(at('clip.mp4'), at('out.mp4')), at('out.mp4'));
        const { stdout } = await exec('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name', '-of', 'csv=p=0',
            at('out.mp4')]);
        assert.equal(stdout.trim(), 'h264');
    });
    await t.test('failures reject with the exit status and the tool\'s message', async () => {
        await assert.rejects(client.probe(at('none.mp4')),
            { name: 'ToolError', status: 66, message: `input not found: ${at('none.mp4')}`, signal: null });
        const error = await client.poster(at('notvideo.mp4'), at('p2.jpg')).catch((e) => e);
        assert.ok(error instanceof client.ToolError);
        assert.equal(error.status, 65);
        assert.equal(error.stderr, `${error.message}\n`);
        await assert.rejects(client.poster(at('clip.mp4'), at('p3.jpg'), { maxEdge: 1.5 }), TypeError);
        await assert.rejects(client.frames(at('clip.mp4'), at('f2'), { interval: -1 }), RangeError);
        assert.ok(!existsSync(at('f2')));
    });
    await t.test('an abort signal ends the tool', async () => {
        const controller = new AbortController();
        const running = client.transcode(at('clip.mp4'), at('aborted.mp4'), { signal: controller.signal });
        controller.abort();
        await assert.rejects(running, { name: 'AbortError' });
    });
});

test('pixsig queries', { skip }, async () => {
    assert.equal(await client.model(), 'vision-fp-r2');
    assert.equal(await client.thumbProtocol(), 1);
});

// A server and what it wrote to standard error.
function server(options = {}) {
    const s = new client.PixsigServer({ cwd: dir, ...options });
    s.stderrText = '';
    s.on('stderr', (text) => { s.stderrText += text; });
    return s;
}

test('PixsigServer', { skip }, async (t) => {
    const { stdout } = await exec(oracle, ['photo.jpg', 'half.jpg', 'other.jpg'], { cwd: dir });
    const batch = Object.fromEntries(stdout.trim().split('\n').map((l) => JSON.parse(l)).map((r) => [r.id, r.b64]));

    await t.test('answers are matched to their requests, whatever their kind', async () => {
        const s = server({ maxInFlight: 3 });
        const results = await Promise.allSettled([
            s.print('photo.jpg'), s.thumb({ path: 'photo.jpg', out: 't1.jpg', size: 100 }), s.print('other.jpg'),
            s.thumb({ path: 'grey.jpg', out: 't2.jpg' }), s.print('missing.jpg'), s.print('half.jpg'),
            s.thumb({ path: 'photo.jpg', out: 't3.jpg', width: 50, height: 70 }),
        ]);
        const [photo, t1, other, grey, missing, half, exact] = results;
        assert.equal(photo.value.b64, batch['photo.jpg']);
        assert.equal(other.value.b64, batch['other.jpg']);
        assert.equal(half.value.b64, batch['half.jpg']);
        assert.deepEqual([t1.value.width, t1.value.height], [100, 75]);
        assert.deepEqual([exact.value.width, exact.value.height], [50, 70]);
        assert.deepEqual(await imageSize(at('t3.jpg')), [50, 70]);
        assert.ok(grey.reason instanceof client.PixsigError);
        assert.equal(grey.reason.declined, true);
        assert.equal(missing.reason.declined, false);
        assert.match(missing.reason.message, /missing\.jpg/);
        await assert.rejects(s.request({ path: 'photo.jpg', op: 'thumb' }), { name: 'TypeError', code: 'USAGE' });
        assert.ok(client.cosine(photo.value, half.value) >= client.thresholds.copy);
        assert.ok(client.cosine(photo.value, other.value) < client.thresholds.different);
        assert.equal(client.decodePrint(photo.value).length, 1792);
        await s.close();
        assert.equal(s.stderrText, '');
    });

    await t.test('at most maxInFlight lines are unanswered in the pipe', async () => {
        const s = server({ maxInFlight: 2 });
        let most = 0;
        const all = [];
        for (let i = 0; i < 10; i++) {
            const p = s.thumb({ path: 'photo.jpg', out: `w${i}.jpg`, size: 32 + i });
            all.push(p.then((r) => { most = Math.max(most, s.inFlight); return r; }));
        }
        assert.equal(s.inFlight, 2);
        assert.equal(s.queued, 8);
        const answers = await Promise.all(all);
        assert.deepEqual(answers.map((a) => a.width), [32, 33, 34, 35, 36, 37, 38, 39, 40, 41]);
        assert.ok(most <= 2);
        await s.close();
    });

    await t.test('lines the server would refuse are never sent', { timeout: 120000 }, async () => {
        const s = server();
        // The longest line the server takes (ids count from "1") is answered;
        // one byte more is refused here.
        const room = client.maxLineBytes - Buffer.byteLength(JSON.stringify({ path: '', id: '1' }));
        const longest = s.request({ path: 'x'.repeat(room) });
        await assert.rejects(s.request({ path: 'x'.repeat(room + 1) }), RangeError);
        await assert.rejects(s.request({ path: 5 }), TypeError);
        await assert.rejects(s.request({ path: 'a\ud800.jpg' }), TypeError);
        await assert.rejects(s.request({ path: 'photo.jpg', note: { deep: ['\udc00'] } }), TypeError);
        await assert.rejects(s.request({ path: 'photo.jpg', big: 10n }), TypeError);
        await assert.rejects(s.request(['photo.jpg']), TypeError);
        const answer = await longest;
        assert.equal(answer.ok, false);
        assert.equal(answer.id, '1');
        assert.equal((await s.print('photo.jpg')).b64, batch['photo.jpg']);
        await s.close();
        assert.doesNotMatch(s.stderrText, /bad request line/);
    });

    await t.test('a server killed mid-run fails only the request it worked on; the rest go again', async () => {
        // Killed before it has read anything: the first request written is
        // the one it worked on.
        execFileSync('mkfifo', [at('stuck.fifo')]);
        const s = server({ maxInFlight: 4 });
        const exits = [];
        s.on('exit', (status, signal) => exits.push(signal));
        const inFlight = [s.print('stuck.fifo'), s.print('photo.jpg'),
                          s.thumb({ path: 'photo.jpg', out: 'k1.jpg', size: 40 }), s.print('half.jpg')];
        const waiting = [s.print('photo.jpg'), s.thumb({ path: 'photo.jpg', out: 'k2.jpg', size: 60 }),
                         s.print('other.jpg'), s.print('half.jpg')];
        assert.equal(s.inFlight, 4);
        assert.equal(s.queued, 4);
        const first = s.pid;
        process.kill(first, 'SIGKILL');
        await assert.rejects(inFlight[0], { name: 'ServerDiedError', code: 'SERVER_DIED', message: /killed by SIGKILL/,
                                            signal: 'SIGKILL', status: null });
        const [photo, k1, half] = await Promise.all(inFlight.slice(1));
        assert.equal(photo.b64, batch['photo.jpg']);
        assert.deepEqual([k1.width, k1.height], [40, 30]);
        assert.equal(half.b64, batch['half.jpg']);
        const after = await Promise.all(waiting);
        assert.equal(after[0].b64, batch['photo.jpg']);
        assert.deepEqual([after[1].width, after[1].height], [60, 45]);
        assert.equal(after[2].b64, batch['other.jpg']);
        assert.equal(after[3].b64, batch['half.jpg']);
        assert.equal(s.restarts, 1);
        assert.notEqual(s.pid, first);
        // Killed while idle: the next request starts a new server.
        const idle = s.pid;
        process.kill(idle, 'SIGKILL');
        await new Promise((resolve) => s.once('exit', resolve));
        assert.equal(s.pid, undefined);
        assert.equal((await s.print('photo.jpg')).b64, batch['photo.jpg']);
        assert.equal(s.restarts, 2);
        await s.close();
        assert.deepEqual(exits, ['SIGKILL', 'SIGKILL', null]);
    });

    await t.test('close answers everything accepted, then the server ends with status 0', async () => {
        const s = server({ maxInFlight: 1 });
        const statuses = [];
        s.on('exit', (status) => statuses.push(status));
        const answers = [s.print('photo.jpg'), s.print('half.jpg'), s.thumb({ path: 'photo.jpg', out: 'c.jpg' })];
        const closed = s.close();
        await assert.rejects(s.print('photo.jpg'), /closed/);
        const [a, b, c] = await Promise.all(answers);
        await closed;
        assert.equal(a.b64, batch['photo.jpg']);
        assert.equal(b.b64, batch['half.jpg']);
        assert.equal(c.width, 512);
        assert.deepEqual(statuses, [0]);
        assert.equal(s.pid, undefined);
        await new client.PixsigServer().close();  // never started: nothing to wait for
    });

    await t.test('destroy fails what is unanswered and ends a stuck server', async () => {
        if (!existsSync(at('stuck.fifo'))) execFileSync('mkfifo', [at('stuck.fifo')]);
        const s = server({ maxInFlight: 1 });
        const pending = [s.print('stuck.fifo'), s.print('photo.jpg')];
        const closed = s.close();
        s.destroy();
        for (const p of pending) await assert.rejects(p, /destroyed/);
        await closed;
        assert.equal(s.pid, undefined);
    });

    await t.test('a server that cannot start fails the requests waiting for it', async () => {
        const s = new client.PixsigServer({ pixsig: at('no-such-pixsig'), maxInFlight: 1 });
        const results = await Promise.allSettled([s.print('photo.jpg'), s.print('half.jpg')]);
        for (const r of results) assert.deepEqual([r.reason.code, r.reason.cause?.code], ['UNAVAILABLE', 'ENOENT']);
        await s.close();
    });
});

test('the client finds the tools itself when installed', { skip: !!bin && 'TOOLS_BIN names the tools' }, async () => {
    const info = await client.probe(at('clip.mp4'));
    assert.equal(info.width, 640);
    const s = new client.PixsigServer({ cwd: dir });
    assert.equal((await s.print('photo.jpg')).dim, 1792);
    await s.close();
    assert.deepEqual(readdirSync(dir).includes('clip.mp4'), true);
});

// What pixsig prints for the sample photos, by batch mode.
let batchPrints = null;
function prints() {
    batchPrints ??= exec(oracle, ['photo.jpg', 'half.jpg', 'other.jpg'], { cwd: dir }).then(({ stdout }) =>
        Object.fromEntries(stdout.trim().split('\n').map((l) => JSON.parse(l)).map((r) => [r.id, r.b64])));
    return batchPrints;
}

// A folder of stand-in tools (each a shell script body), then the real ones again.
function standIns(t, scripts) {
    const folder = mkdtempSync(path.join(dir, 'bin-'));
    for (const [name, body] of Object.entries(scripts))
        writeFileSync(path.join(folder, name), `#!/bin/sh\n${body}\n`, { mode: 0o755 });
    client.configure({ binDir: folder });
    t.after(() => client.configure({ binDir: bin || undefined }));
    return folder;
}

test('bad options are refused before anything starts', { skip }, async (t) => {
    const started = at('started.log');
    standIns(t, { reelctl: `echo reelctl >> ${started}`, pixsig: `echo pixsig >> ${started}` });
    const pool = new client.PixsigPool({ size: 2, cwd: dir });
    const clip = at('clip.mp4');
    const thumb = (fields) => pool.thumb({ path: 'photo.jpg', out: 'x.jpg', ...fields });
    const cases = [
        [() => client.poster(clip, 'p.jpg', { maxEdge: 0 }), RangeError],
        [() => client.poster(clip, 'p.jpg', { maxEdge: -1 }), RangeError],
        [() => client.poster(clip, 'p.jpg', { maxEdge: 1.5 }), TypeError],
        [() => client.frames(clip, 'f', { count: 1 }), RangeError],
        [() => client.frames(clip, 'f', { interval: 0.1 }), RangeError],
        [() => client.frames(clip, 'f', { interval: 1, count: 5 }), TypeError],
        [() => client.frames(clip, 'f', { max: 1 }), RangeError],
        [() => client.frames(clip, 'f', { cout: 5 }), TypeError],
        [() => client.probe(''), TypeError],
        [() => client.transcode(clip, 'o.mp4', { timeout: 2 ** 31 }), RangeError],
        [() => client.transcode(clip, 'o.mp4', { onProgress: 'log' }), TypeError],
        [() => client.frames(clip, 'f', { onProgress: {} }), TypeError],
        [() => thumb({ size: 0 }), RangeError],
        [() => thumb({ quality: 85 }), RangeError],
        [() => thumb({ quality: '0.8' }), TypeError],
        [() => thumb({ width: 100 }), TypeError],
        [() => thumb({ width: 70000, height: 10 }), RangeError],
        [() => thumb({ width: 10000, height: 10000 }), RangeError],
        [() => thumb({ orientation: 9 }), RangeError],
        [() => pool.request({ path: 'photo.jpg', op: 'thumbnail' }), RangeError],
        [() => pool.request({ path: 'photo.jpg', id: 'mine' }), TypeError],
        [() => pool.print('photo.jpg', { timeout: 0 }), RangeError],
        [() => pool.print('photo.jpg', { signal: 'stop' }), TypeError],
        [async () => new client.PixsigPool({ size: 0 }), RangeError],
    ];
    for (const [call, type] of cases)
        await assert.rejects(call(), (e) => e instanceof type && e.code === 'USAGE', String(call));
    assert.deepEqual(pool.pids, [undefined, undefined]);
    assert.ok(!existsSync(started), 'nothing started');
    await client.probe(clip).catch(() => {});  // the stand-in does record a start
    assert.equal(readFileSync(started, 'utf8'), 'reelctl\n');
});

test('errors carry a code', { skip }, async () => {
    const s = server();
    const cases = [
        ['missing video', () => client.probe(at('none.mp4')), 'ENOENT'],
        ['not a video', () => client.probe(at('notvideo.mp4')), 'UNSUPPORTED'],
        ['poster into a missing folder', () => client.poster(at('clip.mp4'), at('none/p.jpg')), 'WRITE'],
        ['transcode into a missing folder', () => client.transcode(at('clip.mp4'), at('none/t.mp4')), 'WRITE'],
        ['print of a missing image', () => s.print('missing.jpg'), 'ENOENT'],
        ['print of no image', () => s.print('notvideo.mp4'), 'UNSUPPORTED'],
        ['print of a cut JPEG', () => s.print('cut.jpg'), 'DECODE'],
        ['thumb of a missing image', () => s.thumb({ path: 'missing.jpg', out: 'x.jpg' }), 'ENOENT'],
        ['thumb of no image', () => s.thumb({ path: 'notvideo.mp4', out: 'x.jpg' }), 'UNSUPPORTED'],
        ['thumb of a cut JPEG', () => s.thumb({ path: 'cut.jpg', out: 'x.jpg' }), 'DECODE'],
        ['thumb declined', () => s.thumb({ path: 'grey.jpg', out: 'x.jpg' }), 'DECLINED'],
        ['thumb into a missing folder', () => s.thumb({ path: 'photo.jpg', out: 'none/x.jpg' }), 'WRITE'],
    ];
    for (const [name, call, code] of cases) await assert.rejects(call(), { code }, name);
    await s.close();
});

test('frames resolves with the frames it skipped', { skip }, async () => {
    const { manifest, skipped } = await client.frames(at('bad.mp4'), at('bad-frames'),
                                                      { interval: 0.5, max: Infinity });
    assert.deepEqual(manifest.frames.map((f) => f.index), [0, 1, 2, 3, 5, 6, 7, 8]);
    assert.deepEqual(skipped.map(({ index, time }) => ({ index, time })), [{ index: 4, time: 2 }]);
    assert.match(skipped[0].reason, /\S/);
});

test('onProgress gets how far a run is; its lines stay out of results and errors', { skip }, async () => {
    const cases = [
        ['transcode', (onProgress) => client.transcode(at('clip.mp4'), at('p.mp4'), { onProgress }),
         (movie) => movie === at('p.mp4')],
        ['frames', (onProgress) => client.frames(at('bad.mp4'), at('p-frames'), { interval: 0.5, max: Infinity, onProgress }),
         ({ manifest, skipped }) => manifest.count === 8 && skipped.map((f) => f.index).join() === '4'],
        ['a failure', (onProgress) => client.frames(at('clip.mp4'), at('notvideo.mp4/sub'), { onProgress }),
         (error) => error.code === 'WRITE' && error.stderr === `${error.message}\n`],
    ];
    for (const [name, call, expected] of cases) {
        const seen = [];
        const result = await call((f) => seen.push(f)).catch((e) => e);
        assert.ok(expected(result), `${name}: ${result}`);
        assert.ok(seen[0] === 0 && seen.every((f, i) => f <= 1 && (i === 0 || f >= seen[i - 1])), `${name}: ${seen}`);
        assert.equal(seen.at(-1) === 1, !(result instanceof Error), name);
    }
    // A callback that throws stops the tool; the call fails with what it threw.
    const thrown = new Error('no more');
    await assert.rejects(client.transcode(at('long.mp4'), at('thrown.mp4'), { onProgress() { throw thrown; } }),
                         (e) => e === thrown);
});

// Aborted as soon as it starts: nothing left beside out, an earlier export as it was.
test('an aborted transcode leaves nothing behind', { skip }, async () => {
    const folder = mkdtempSync(path.join(dir, 'aborted-'));
    const out = path.join(folder, 'out.mp4');
    for (const earlier of [false, true]) {
        if (earlier) await client.transcode(at('clip.mp4'), out);
        const before = earlier && readFileSync(out);
        const controller = new AbortController();
        await assert.rejects(client.transcode(at('long.mp4'), out, { signal: controller.signal,
                                                                      onProgress: () => controller.abort() }),
                             { code: 'ABORTED' });
        assert.deepEqual(readdirSync(folder), earlier ? ['out.mp4'] : []);
        if (earlier) assert.ok(readFileSync(out).equals(before), 'the earlier export changed');
    }
});

test('a host that exits ends the transcode it started', { skip }, async () => {
    const folder = mkdtempSync(path.join(dir, 'orphan-'));
    const out = path.join(folder, 'out.mp4');
    const host = `const c = require(${JSON.stringify(clientModule)}); if (${JSON.stringify(bin)}) c.configure({ binDir: ${JSON.stringify(bin)} });
c.transcode(${JSON.stringify(at('long.mp4'))}, ${JSON.stringify(out)}, { onProgress: () => process.exit(0) });`;
    await exec(process.execPath, ['-e', host]);
    // reelctl processes writing out, but for zombies: none within a few seconds.
    const running = () => readdirSync('/proc').filter((p) => /^\d+$/.test(p)).filter((p) => {
        try {
            return readFileSync(`/proc/${p}/cmdline`, 'utf8').includes(out) &&
                   !readFileSync(`/proc/${p}/stat`, 'utf8').split(') ').pop().startsWith('Z');
        } catch {
            return false;
        }
    });
    for (const deadline = Date.now() + 5000; running().length && Date.now() < deadline;)
        await new Promise((resolve) => setTimeout(resolve, 50));
    assert.deepEqual(running(), []);
    assert.deepEqual(readdirSync(folder), []);
});

test('a stopped reelctl run gets SIGTERM, then the call fails', { skip }, async (t) => {
    const got = at('got');
    standIns(t, { reelctl: `trap 'echo TERM > ${got}; kill $!; exit 143' TERM\ntouch ${got}.ready\nsleep 60 & wait` });
    const controller = new AbortController();
    const cases = [
        ['abort', { signal: controller.signal }, { name: 'AbortError', code: 'ABORTED' }],
        ['timeout', { timeout: 2000 }, { name: 'TimeoutError', code: 'TIMEOUT', timeout: 2000 }],
    ];
    for (const [name, options, error] of cases) {
        rmSync(got, { force: true });
        rmSync(`${got}.ready`, { force: true });
        const running = client.transcode(at('clip.mp4'), at('t.mp4'), options);
        if (options.signal) {
            while (!existsSync(`${got}.ready`)) await new Promise((resolve) => setTimeout(resolve, 20));
            controller.abort();
        }
        await assert.rejects(running, error, name);
        assert.equal(readFileSync(got, 'utf8'), 'TERM\n', name);
    }
});

test('PixsigPool', { skip }, async (t) => {
    const batch = await prints();
    const pool = (options) => new client.PixsigPool({ cwd: dir, ...options });

    await t.test('a stopped server: the request that times out fails alone, the others are answered', async () => {
        const p = pool({ size: 2 });
        const exits = [];
        p.on('exit', (status, signal) => exits.push(signal));
        const late = p.print('photo.jpg', { timeout: 1500 });                      // server 0
        const others = [p.print('half.jpg'), p.print('other.jpg'),                 // 1, 0 (sent again)
                        p.thumb({ path: 'photo.jpg', out: 's1.jpg', size: 50 })];  // 1
        const stopped = p.pids[0];
        assert.ok(p.pids[1]);
        process.kill(stopped, 'SIGSTOP');
        await assert.rejects(late, { name: 'TimeoutError', code: 'TIMEOUT' });
        const [half, other, thumb] = await Promise.all(others);
        assert.equal(half.b64, batch['half.jpg']);
        assert.equal(other.b64, batch['other.jpg']);
        assert.deepEqual([thumb.width, thumb.height], [50, 38]);
        assert.throws(() => process.kill(stopped, 0), { code: 'ESRCH' });
        assert.deepEqual(exits, ['SIGKILL']);
        await p.close();
    });

    await t.test('an abort ends the server of a written request; one still waiting just fails', async () => {
        const p = pool({ size: 1, maxInFlight: 2 });
        const written = new AbortController();
        const waiting = new AbortController();
        const aborted = p.print('photo.jpg', { signal: written.signal });
        const half = p.print('half.jpg');
        const unsent = p.print('other.jpg', { signal: waiting.signal });
        const last = p.thumb({ path: 'photo.jpg', out: 'a1.jpg', size: 60 });
        assert.deepEqual([p.inFlight, p.queued], [2, 2]);
        waiting.abort();
        await assert.rejects(unsent, { name: 'AbortError', code: 'ABORTED' });
        written.abort('enough');
        await assert.rejects(aborted, { name: 'AbortError', code: 'ABORTED', cause: 'enough' });
        assert.equal((await half).b64, batch['half.jpg']);
        assert.equal((await last).width, 60);
        assert.equal(p.restarts, 1);
        await assert.rejects(p.print('photo.jpg', { signal: AbortSignal.abort() }), { code: 'ABORTED' });
        await p.close();
    });

    await t.test('a request is sent again at most once', async () => {
        const p = pool({ size: 1 });
        const requests = ['photo.jpg', 'half.jpg', 'other.jpg'].map((file) => p.print(file));
        p.once('exit', () => setImmediate(() => process.kill(p.pids[0], 'SIGKILL')));
        process.kill(p.pids[0], 'SIGKILL');
        const [first, second, third] = await Promise.allSettled(requests);
        assert.match(first.reason.message, /while working on photo\.jpg/);
        assert.match(second.reason.message, /while working on half\.jpg/);
        assert.match(third.reason.message, /a second time before answering other\.jpg/);
        for (const r of [first, second, third]) assert.equal(r.reason.code, 'SERVER_DIED');
        assert.equal((await p.print('photo.jpg')).b64, batch['photo.jpg']);
        await p.close();
    });
});

test('a tool that cannot run says why', { skip: (!built && skip) || (!existsSync('/usr/bin/cc') && 'no C compiler') },
     async (t) => {
    // Programs that need libgone.so.1, which is nowhere.
    const lib = mkdtempSync(path.join(dir, 'gone-'));
    writeFileSync(path.join(lib, 'gone.c'), 'int gone(void) { return 0; }\n');
    writeFileSync(path.join(lib, 'main.c'), 'int gone(void);\nint main(void) { return gone(); }\n');
    execFileSync('cc', ['-shared', '-fPIC', '-Wl,-soname,libgone.so.1', '-o', path.join(lib, 'libgone.so.1'),
                        path.join(lib, 'gone.c')]);
    const folder = standIns(t, {});
    const packages = JSON.stringify({ 'libgone.so.1': 'libgone1' });
    writeFileSync(path.join(path.dirname(folder), 'runtime-packages.json'), packages);
    for (const tool of ['reelctl', 'pixsig'])
        execFileSync('cc', ['-o', path.join(folder, tool), path.join(lib, 'main.c'), path.join(lib, 'libgone.so.1')]);
    const addon = path.join(lib, 'package/prebuilds', `${process.platform}-${process.arch}`);
    execFileSync('mkdir', ['-p', addon]);
    execFileSync('cc', ['-shared', '-fPIC', '-o', path.join(addon, 'dragbridge.node'), path.join(lib, 'main.c'),
                        path.join(lib, 'libgone.so.1')]);
    writeFileSync(path.join(addon, 'runtime-packages.json'), packages);
    writeFileSync(path.join(lib, 'package/index.js'), readFileSync(path.join(root, 'dragbridge/index.js')));

    const why = /the shared libraries libgone\.so\.1 are missing; on Debian: apt-get install libgone1$/;
    const error = { name: 'ToolError', code: 'UNAVAILABLE', missing: ['libgone.so.1'], packages: ['libgone1'],
                    message: why };
    await assert.rejects(client.probe(at('clip.mp4')), { ...error, tool: 'reelctl' });
    const p = new client.PixsigPool({ size: 2, cwd: dir });
    await assert.rejects(Promise.all([p.print('photo.jpg'), p.print('half.jpg')]), { ...error, tool: 'pixsig' });
    await p.close();
    assert.throws(() => createRequire(import.meta.url)(path.join(lib, 'package/index.js')), { message: why });

    const empty = mkdtempSync(path.join(dir, 'empty-'));
    client.configure({ binDir: empty });
    await assert.rejects(client.probe(at('clip.mp4')),
                         { code: 'UNAVAILABLE', message: new RegExp(`not found in ${empty};`) });
});

// The verdicts of `thresholds` on real photos (Debian's mate-backgrounds) and
// copies made here; the two flower gardens are the package's closest pair of
// different photos (cosine about 0.74).
const mate = '/usr/share/backgrounds/mate/nature';
test('thresholds on real photos', { skip: skip || (!existsSync(path.join(mate, 'Garden.jpg')) && 'no mate-backgrounds') },
    async () => {
        const make = (name, src, ...args) =>
            exec('convert', [path.join(mate, src), '-resize', '1024x1024>', ...args, '-quality', '92', at(name)]);
        await Promise.all([
            make('garden.jpg', 'Garden.jpg'), make('flowers.jpg', 'YellowFlower.jpg'), make('storm.jpg', 'Storm.jpg'),
            make('garden-q50.jpg', 'Garden.jpg', '-quality', '50'),
            make('garden-crop.jpg', 'Garden.jpg', '-gravity', 'center', '-crop', '80%x80%+0+0', '+repage'),
            make('garden-mirror.jpg', 'Garden.jpg', '-flop'),
        ]);
        const { thresholds: t } = client;
        const verdict = (c) => c >= t.copy ? 'copy' : c >= t.edited ? 'edited' : c < t.different ? 'different' : 'unsure';
        const pool = new client.PixsigPool({ size: 1 });
        const print = (name) => pool.print(at(name));
        const cases = [
            ['recompressed at quality 50', 'garden-q50.jpg', ['copy']],
            ['an 80% centre crop', 'garden-crop.jpg', ['copy', 'edited']],
            ['mirrored', 'garden-mirror.jpg', ['copy', 'edited']],
            ['another flower garden', 'flowers.jpg', ['unsure', 'different']],
            ['a storm', 'storm.jpg', ['different']],
        ];
        const garden = await print('garden.jpg');
        for (const [what, file, allowed] of cases) {
            const c = client.cosine(garden, await print(file));
            assert.ok(allowed.includes(verdict(c)), `${what}: ${verdict(c)} at ${c.toFixed(4)}`);
        }
        await pool.close();
    });
