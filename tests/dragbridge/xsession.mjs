// A private X server (Xvfb) for the drag tests, with the windows and tools
// they drive: the bare host window, the GTK drop target, xdotool and xwininfo.
import { execFile, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import zlib from 'node:zlib';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '..', '..');
const run = promisify(execFile);
const python = '/usr/bin/python3';  // Debian's, which has python3-gi

export function loadAddon() {
    const file = process.env.DRAGBRIDGE_ADDON ?? path.join(root, 'build', 'lib', 'dragbridge.node');
    return createRequire(import.meta.url)(file);
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Starts Xvfb on a free display and points this process at it. Resolves to
// { display, stop } or to a reason why no X server could be started.
export async function startX() {
    for (const tool of ['Xvfb', 'xdotool', 'xwininfo']) {
        const found = (process.env.PATH ?? '').split(':').some((d) => existsSync(path.join(d, tool)));
        if (!found) return { reason: `${tool} is not installed (tools/setup.sh installs it)` };
    }
    if (!existsSync(python)) return { reason: `${python} is not installed` };
    // -terminate: the server ends with its last client, so a test run cut short
    // (its helper windows close with it) leaves no server behind.
    const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1024x768x24', '-nolisten', 'tcp',
                        '-terminate'],
                       { stdio: ['ignore', 'ignore', 'pipe', 'pipe'] });
    let stderr = '';
    xvfb.stderr.on('data', (d) => { stderr += d; });
    const display = await new Promise((resolve) => {
        let text = '';
        const timer = setTimeout(() => resolve(null), 10000);
        xvfb.stdio[3].on('data', (d) => {
            text += d;
            if (text.includes('\n')) {
                clearTimeout(timer);
                resolve(`:${text.trim()}`);
            }
        });
        xvfb.on('exit', () => { clearTimeout(timer); resolve(null); });
        xvfb.on('error', () => { clearTimeout(timer); resolve(null); });
    });
    if (!display) {
        xvfb.kill();
        return { reason: `Xvfb did not start: ${stderr.trim().split('\n').pop() ?? ''}` };
    }
    process.env.DISPLAY = display;
    const stop = async () => {
        if (xvfb.exitCode !== null) return;
        const exited = new Promise((resolve) => xvfb.once('exit', resolve));
        xvfb.kill();
        await exited;
    };
    return { display, stop, pid: xvfb.pid };
}

export async function xdotool(...args) {
    await run('xdotool', args.map(String));
}

// The top-level windows whose name is given, as { id, x, y, width, height }.
export async function topLevels(name) {
    const { stdout } = await run('xwininfo', ['-root', '-children']);
    const out = [];
    for (const line of stdout.split('\n')) {
        const m = line.match(/^\s+(0x[0-9a-f]+) "([^"]*)".*?(\d+)x(\d+)\+(-?\d+)\+(-?\d+)/);
        if (m && m[2] === name)
            out.push({ id: Number(m[1]), width: +m[3], height: +m[4], x: +m[5], y: +m[6] });
    }
    return out;
}

export const iconWindows = () => topLevels('dragbridge drag icon');

export async function rootChildren() {
    const { stdout } = await run('xwininfo', ['-root', '-children']);
    const m = stdout.match(/(\d+) child/);
    return m ? Number(m[1]) : 0;
}

// Waits until check() is truthy (polling), or gives up after `limit` ms and
// returns the last value.
export async function until(check, limit = 5000) {
    const end = Date.now() + limit;
    for (;;) {
        const value = await check();
        if (value || Date.now() > end) return value;
        await sleep(25);
    }
}

// A helper program with a window: prints "READY <id>" and further lines.
class Helper {
    constructor(script, geometry) {
        this.proc = spawn(python, [path.join(here, script), ...geometry.map(String)],
                          { stdio: ['pipe', 'pipe', 'pipe'] });
        this.lines = [];
        this.waiters = [];
        let buffer = '';
        this.stderr = '';
        this.proc.stderr.on('data', (d) => { this.stderr += d; });
        this.proc.stdout.on('data', (d) => {
            buffer += d;
            let i;
            while ((i = buffer.indexOf('\n')) >= 0) {
                this.lines.push(buffer.slice(0, i));
                buffer = buffer.slice(i + 1);
                this.waiters.forEach((w) => w());
            }
        });
    }

    // The next line starting with `prefix` (consumed), or null after `limit` ms.
    async line(prefix, limit = 10000) {
        const take = () => {
            const i = this.lines.findIndex((l) => l.startsWith(prefix));
            return i < 0 ? null : this.lines.splice(i, 1)[0].slice(prefix.length);
        };
        const end = Date.now() + limit;
        for (;;) {
            const found = take();
            if (found !== null || Date.now() > end || this.proc.exitCode !== null) return found;
            await new Promise((resolve) => {
                const t = setTimeout(resolve, 50);
                this.waiters.push(() => { clearTimeout(t); resolve(); });
            });
            this.waiters = [];
        }
    }

    async ready() {
        const id = await this.line('READY ');
        if (id === null) throw new Error(`helper did not start: ${this.stderr}`);
        this.id = Number(id);
        return this;
    }

    async close() {
        if (this.proc.exitCode !== null) return;
        const exited = new Promise((resolve) => this.proc.once('exit', resolve));
        this.proc.stdin.end();
        const t = setTimeout(() => this.proc.kill(), 3000);
        await exited;
        clearTimeout(t);
    }
}

export const hostWindow = (x, y, w, h) => new Helper('host_window.py', [x, y, w, h]).ready();
export const dropTarget = (x, y, w, h) => new Helper('gtk_drop_target.py', [x, y, w, h]).ready();

// An 8-byte native window handle holding an X window id in machine byte order.
export function handleOf(id) {
    const b = Buffer.alloc(8);
    b.writeBigUInt64LE(BigInt(id));
    return b;
}

// A PNG of the given size in one colour (zlib does the deflate; CRC by hand,
// node:zlib has no crc32 before Node 22).
export function png(width, height, rgba = [200, 40, 40, 160]) {
    const table = Array.from({ length: 256 }, (_, n) => {
        let c = n;
        for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
        return c >>> 0;
    });
    const crc = (buf) => {
        let c = 0xffffffff;
        for (const byte of buf) c = table[(c ^ byte) & 0xff] ^ (c >>> 8);
        return (c ^ 0xffffffff) >>> 0;
    };
    const chunk = (type, data) => {
        const len = Buffer.alloc(4);
        len.writeUInt32BE(data.length);
        const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
        const sum = Buffer.alloc(4);
        sum.writeUInt32BE(crc(body));
        return Buffer.concat([len, body, sum]);
    };
    const header = Buffer.alloc(13);
    header.writeUInt32BE(width, 0);
    header.writeUInt32BE(height, 4);
    header[8] = 8;  // bit depth
    header[9] = 6;  // RGBA
    const row = Buffer.concat([Buffer.from([0]), Buffer.from(Array(width).fill(rgba).flat())]);
    const pixels = zlib.deflateSync(Buffer.concat(Array(height).fill(row)));
    return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
                          chunk('IHDR', header), chunk('IDAT', pixels), chunk('IEND', Buffer.alloc(0))]);
}

export function openFds() {
    return readdirSync('/proc/self/fd').length;
}

export function residentKiB() {
    const m = readFileSync('/proc/self/status', 'utf8').match(/VmRSS:\s+(\d+)/);
    return m ? Number(m[1]) : 0;
}

export const silentTarget = (x, y, w, h) =>
    new Helper('host_window.py', [x, y, w, h, '--silent-target']).ready();

export const qtTarget = (x, y, w, h) => new Helper('qt_drop_target.py', [x, y, w, h]).ready();
export const garbageTarget = (x, y, w, h) =>
    new Helper('host_window.py', [x, y, w, h, '--garbage-target']).ready();

// A Chromium window at x,y whose page is one drop zone: each drop's files
// are read by the page (names and text) and posted back here. Resolves to
// { drop(limit), log(), close() }, or to { reason } when Chromium is missing
// or its page never loads.
const dropPage = `<!doctype html><title>chromium drop target</title>
<body style="margin:0"><div id="zone" style="position:fixed;inset:0;background:#8c8">drop here</div>
<script>
const zone = document.getElementById('zone');
zone.addEventListener('dragenter', (e) => e.preventDefault());
zone.addEventListener('dragover', (e) => { e.preventDefault(); e.dataTransfer.dropEffect = 'copy'; });
zone.addEventListener('drop', async (e) => {
    e.preventDefault();
    const files = [...e.dataTransfer.files];
    const texts = await Promise.all(files.map((f) => f.text()));
    fetch('/drop', { method: 'POST', body: JSON.stringify({ names: files.map((f) => f.name), texts }) });
});
fetch('/ready');
</script>`;

export async function chromiumTarget(x, y, w, h) {
    const binary = ['/usr/bin/chromium', '/usr/bin/chromium-browser'].find((f) => existsSync(f));
    if (!binary) return { reason: 'chromium is not installed (tools/setup.sh installs it)' };
    const drops = [];
    let ready = false;
    let wake = () => {};
    const server = http.createServer((rq, rs) => {
        let body = '';
        rq.on('data', (d) => { body += d; });
        rq.on('end', () => {
            if (rq.url === '/ready') ready = true;
            else if (rq.url === '/drop') drops.push(JSON.parse(body));
            rs.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
            rs.end(rq.url === '/' ? dropPage : '');
            wake();
        });
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    const profile = mkdtempSync(path.join(os.tmpdir(), 'dragbridge-chromium-'));
    const url = `http://127.0.0.1:${server.address().port}/`;
    const proc = spawn(binary, [
        '--no-sandbox', `--user-data-dir=${profile}`, '--no-first-run', '--no-default-browser-check',
        '--disable-gpu', '--ozone-platform=x11', '--password-store=basic', '--disable-extensions',
        `--window-position=${x},${y}`, `--window-size=${w},${h}`, `--app=${url}`,
    ], { stdio: ['ignore', 'ignore', 'pipe'] });
    let stderr = '';
    proc.stderr.on('data', (d) => { stderr = (stderr + d).slice(-4000); });
    const waitFor = async (check, limit) => {
        const end = Date.now() + limit;
        while (!check() && Date.now() < end && proc.exitCode === null)
            await new Promise((resolve) => { wake = resolve; setTimeout(resolve, 100); });
        return check();
    };
    const close = async () => {
        if (proc.exitCode === null && proc.signalCode === null) {
            const exited = new Promise((resolve) => proc.once('exit', resolve));
            proc.kill();
            const t = setTimeout(() => proc.kill('SIGKILL'), 5000);
            await exited;
            clearTimeout(t);
        }
        server.close();
        rmSync(profile, { recursive: true, force: true });
    };
    if (!await waitFor(() => ready, 60000)) {
        await close();
        return { reason: `Chromium's page did not load: ${stderr.trim().split('\n').slice(-3).join(' / ')}` };
    }
    await sleep(1000);  // the page is loaded; let the window settle where it was put
    return {
        drop: async (limit = 10000) => (await waitFor(() => drops.length > 0, limit)) ? drops.shift() : null,
        log: () => `; chromium said: ${stderr.trim().split('\n').slice(-5).join(' / ')}`,
        close,
    };
}

// The pointer driven through one long-lived XTest client (pointer_driver.py):
// no process is started per step. Each call resolves once the server has
// carried the command out.
export async function pointerDriver() {
    const helper = await new Helper('pointer_driver.py', []).ready();
    const say = async (command) => {
        helper.proc.stdin.write(`${command}\n`);
        const answer = await helper.line('ok', 30000);
        if (answer === null) throw new Error(`pointer driver: ${command}`);
        return answer.trim();
    };
    return {
        move: (x, y) => say(`move ${x} ${y}`),
        down: () => say('down'),
        up: () => say('up'),
        key: (name) => say(`key ${name}`),
        iconWindows: async () => Number(await say('icons')),
        close: () => helper.close(),
    };
}
