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
const tools = bin ? { reelctl: path.join(bin, 'reelctl'), pixsig: path.join(bin, 'pixsig') } : {};
// The pixsig whose batch answers the server's are checked against: the
// installed one beside P/lib/node_modules/dragbridge/client when the client
// looks the tools up itself.
const oracle = tools.pixsig ?? path.resolve(path.dirname(clientModule), '../../../../bin/pixsig');
const built = !bin || (existsSync(tools.reelctl) && existsSync(tools.pixsig));
const skip = !built && `the tools are not built in ${bin}`;
const exec = promisify(execFile);

const dir = mkdtempSync(path.join(os.tmpdir(), 'client-test-'));
test.after(() => rmSync(dir, { recursive: true, force: true }));
const at = (name) => path.join(dir, name);

// clip.mp4: 2 s of 640x360 H.264; photo.jpg 800x600, its half-size copy, a
// different picture, a greyscale copy (thumbnails decline it), notvideo.mp4.
if (built) {
    const run = (file, args) => execFileSync(file, args, { stdio: ['ignore', 'ignore', 'inherit'] });
    run('ffmpeg', ['-nostdin', '-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc2=size=640x360:rate=25:duration=2',
        '-c:v', 'libx264', '-preset', 'ultrafast', '-pix_fmt', 'yuv420p', at('clip.mp4')]);
    run('convert', ['-seed', '5', '-size', '800x600', 'plasma:fractal', '-blur', '0x2', '-quality', '92', at('photo.jpg')]);
    run('convert', [at('photo.jpg'), '-resize', '50%', at('half.jpg')]);
    run('convert', ['logo:', '-resize', '800x600!', '-quality', '92', at('other.jpg')]);
    run('convert', [at('photo.jpg'), '-colorspace', 'Gray', at('grey.jpg')]);
    writeFileSync(at('notvideo.mp4'), 'not a movie\n');
}
const imageSize = async (file) => {
    const { stdout } = await exec('vipsheader', ['-f', 'width', file]);
    const { stdout: h } = await exec('vipsheader', ['-f', 'height', file]);
    return [Number(stdout), Number(h)];
};

test('reelctl through the client', { skip }, async (t) => {
    await t.test('probe resolves to the parsed document', async () => {
        const info = await client.probe(at('clip.mp4'), tools);
        assert.deepEqual({ ...info }, { duration: 2, width: 640, height: 360, fps: 25, codec: 'avc1',
                                        hasAudio: false, creationDate: null });
    });
    await t.test('poster writes the JPEG within maxEdge', async () => {
        assert.equal(await client.poster(at('clip.mp4'), at('poster.jpg'), { ...tools, maxEdge: 160 }), undefined);
        assert.deepEqual(await imageSize(at('poster.jpg')), [160, 90]);
    });
    await t.test('frames resolves to the manifest it saved', async () => {
        const manifest = await client.frames(at('clip.mp4'), at('frames'), { ...tools, count: 5, maxEdge: 64 });
        assert.equal(manifest.count, 5);
        assert.deepEqual(manifest.frames.map((f) => f.index), [0, 1, 2, 3, 4]);
        assert.deepEqual(manifest, JSON.parse(readFileSync(at('frames/manifest.json'), 'utf8')));
        assert.deepEqual(await imageSize(at('frames/frame_4.jpg')), [64, 36]);
    });
    await t.test('a path spelled like an option stays a path', async () => {
        const manifest = await client.frames(at('clip.mp4'), '--max', { ...tools, cwd: dir, count: 10, max: 3 });
        assert.equal(manifest.count, 3);
        assert.ok(existsSync(at('--max/frame_2.jpg')));
    });
    await t.test('transcode resolves to the output path', async () => {
        assert.equal(await client.transcode(at('clip.mp4'), at('out.mp4'), tools), at('out.mp4'));
        const { stdout } = await exec('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name', '-of', 'csv=p=0',
            at('out.mp4')]);
        assert.equal(stdout.trim(), 'h264');
    });
    await t.test('failures reject with the exit status and the tool\'s message', async () => {
        await assert.rejects(client.probe(at('none.mp4'), tools),
            { name: 'ToolError', status: 66, message: `input not found: ${at('none.mp4')}`, signal: null });
        const error = await client.poster(at('notvideo.mp4'), at('p2.jpg'), tools).catch((e) => e);
        assert.ok(error instanceof client.ToolError);
        assert.equal(error.status, 65);
        assert.equal(error.stderr, `${error.message}\n`);
        await assert.rejects(client.poster(at('clip.mp4'), at('p3.jpg'), { ...tools, maxEdge: 1.5 }), TypeError);
        await assert.rejects(client.frames(at('clip.mp4'), at('f2'), { ...tools, interval: -1 }), TypeError);
        assert.ok(!existsSync(at('f2')));
    });
    await t.test('an abort signal ends the tool', async () => {
        const controller = new AbortController();
        const running = client.transcode(at('clip.mp4'), at('aborted.mp4'), { ...tools, signal: controller.signal });
        controller.abort();
        await assert.rejects(running, { name: 'AbortError' });
    });
});

test('pixsig queries', { skip }, async () => {
    assert.equal(await client.model(tools), 'vision-fp-r2');
    assert.equal(await client.thumbProtocol(tools), 1);
});

// A server and what it wrote to standard error.
function server(options = {}) {
    const s = new client.PixsigServer({ ...tools, cwd: dir, ...options });
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
            s.request({ path: 'photo.jpg', op: 'thumb' }),
        ]);
        const [photo, t1, other, grey, missing, half, exact, noOut] = results;
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
        assert.deepEqual(noOut.value, { id: noOut.value.id, ok: false, error: 'thumb needs path and out' });
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

    await t.test('a server killed mid-run fails only the requests in flight, then restarts', async () => {
        // A request for a FIFO that nobody writes holds the server in open(2):
        // every request written after it is in flight when the kill comes.
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
        for (const p of inFlight) await assert.rejects(p, { message: /killed by SIGKILL/, signal: 'SIGKILL' });
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
        await new client.PixsigServer(tools).close();  // never started: nothing to wait for
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
        for (const r of results) assert.equal(r.reason.cause?.code, 'ENOENT');
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
