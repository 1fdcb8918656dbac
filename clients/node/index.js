'use strict';
// A Node.js client for the reelctl and pixsig command-line tools.
//
//   reelctl: probe, poster, frames and transcode each start one reelctl
//   process and resolve to its parsed result, or reject with a ToolError that
//   carries the exit status and the tool's message.
//
//   pixsig: PixsigServer keeps one `pixsig --serve` running, writes requests
//   as they come (at most maxInFlight unanswered lines in the pipe), matches
//   answers to requests by order, restarts the server when it dies (failing
//   only the requests it had been sent) and never writes a line the server
//   would refuse, since a refused line gets no answer and would put every
//   later answer out of step.
//
// The tools are found at the path given in the options, else beside this
// package when it is installed as P/lib/node_modules/dragbridge/client
// (P/bin/<tool>), else on PATH.
const { spawn } = require('child_process');
const { EventEmitter } = require('events');
const fs = require('fs');
const path = require('path');

function toolPath(name, explicit) {
    if (explicit) return explicit;
    const nodeModules = path.dirname(path.dirname(__dirname));
    const lib = path.dirname(nodeModules);
    if (path.basename(nodeModules) === 'node_modules' && path.basename(lib) === 'lib') {
        const file = path.join(path.dirname(lib), 'bin', name);
        if (fs.existsSync(file)) return file;
    }
    return name;
}

// A tool's run that did not succeed: `status` is its exit status (null when
// a signal ended it or it never started), `message` the tool's own last line
// on standard error.
class ToolError extends Error {
    constructor(tool, args, status, signal, stderr, cause) {
        const lines = stderr.split('\n').filter((l) => l !== '');
        let message = lines.length ? lines[lines.length - 1] : '';
        if (!message && cause) message = `${tool}: ${cause.message}`;
        if (!message && signal) message = `${tool} was ended by ${signal}`;
        if (!message) message = `${tool} exited with status ${status}`;
        super(message, cause ? { cause } : undefined);
        this.name = 'ToolError';
        this.tool = tool;
        this.args = args;
        this.status = status;
        this.signal = signal;
        this.stderr = stderr;
    }
}

// Runs a tool to its end; resolves to its standard output and error.
function run(tool, file, args, options = {}) {
    return new Promise((resolve, reject) => {
        let child;
        try {
            child = spawn(file, args, {
                cwd: options.cwd, env: options.env, signal: options.signal,
                stdio: ['ignore', 'pipe', 'pipe'],
            });
        } catch (error) {  // e.g. an argument holding a NUL character
            reject(error);
            return;
        }
        const out = [];
        const err = [];
        let failure = null;
        child.stdout.on('data', (d) => out.push(d));
        child.stderr.on('data', (d) => err.push(d));
        child.on('error', (error) => { failure = error; });
        child.on('close', (status, signal) => {
            const stdout = Buffer.concat(out).toString('utf8');
            const stderr = Buffer.concat(err).toString('utf8');
            if (failure && failure.name === 'AbortError') reject(failure);
            else if (failure || status !== 0)
                reject(new ToolError(tool, args, failure ? null : status, signal, stderr, failure));
            else resolve({ stdout, stderr });
        });
    });
}

// reelctl takes its options wherever they stand, positional arguments
// included: a path spelled like an option is given as ./<name> instead.
const reelctlOptions = new Set(['--max-edge', '--interval', '--count', '--max']);
function positional(name, value) {
    if (typeof value !== 'string') throw new TypeError(`${name} must be a string`);
    return reelctlOptions.has(value) ? `./${value}` : value;
}

function integerOption(args, flag, name, value) {
    if (value === undefined) return;
    if (!Number.isSafeInteger(value)) throw new TypeError(`${name} must be an integer`);
    args.push(flag, String(value));
}

function reelctl(args, options) {
    return run('reelctl', toolPath('reelctl', options && options.reelctl), args, options);
}

function parsed(stdout, what) {
    try {
        return JSON.parse(stdout);
    } catch (error) {
        throw new Error(`reelctl ${what}: unreadable output: ${error.message}`);
    }
}

async function probe(input, options = {}) {
    const { stdout } = await reelctl(['probe', positional('input', input)], options);
    return parsed(stdout, 'probe');
}

async function poster(input, out, options = {}) {
    const args = ['poster', positional('input', input), positional('out', out)];
    integerOption(args, '--max-edge', 'maxEdge', options.maxEdge);
    await reelctl(args, options);
}

async function frames(input, outDir, options = {}) {
    const args = ['frames', positional('input', input), positional('outDir', outDir)];
    if (options.interval !== undefined) {
        if (typeof options.interval !== 'number' || !(options.interval > 0) || !isFinite(options.interval))
            throw new TypeError('interval must be a positive number of seconds');
        args.push('--interval', String(options.interval));
    }
    integerOption(args, '--count', 'count', options.count);
    integerOption(args, '--max', 'max', options.max);
    integerOption(args, '--max-edge', 'maxEdge', options.maxEdge);
    const { stdout } = await reelctl(args, options);
    return parsed(stdout, 'frames');
}

async function transcode(input, out, options = {}) {
    const args = ['transcode', positional('input', input), positional('out', out)];
    const { stdout } = await reelctl(args, options);
    return stdout.replace(/\n$/, '');
}

async function pixsigQuery(flag, options = {}) {
    const { stdout } = await run('pixsig', toolPath('pixsig', options.pixsig), [flag], options);
    return stdout.trim();
}
const model = (options) => pixsigQuery('--model', options);
const thumbProtocol = async (options) => Number(await pixsigQuery('--thumb-protocol', options));

// A feature print's 32-bit floats (the response's "b64": little-endian).
function decodePrint(print) {
    const b64 = typeof print === 'string' ? print : print.b64;
    const bytes = Buffer.from(b64, 'base64');
    const values = new Float32Array(bytes.length >> 2);
    for (let i = 0; i < values.length; i++) values[i] = bytes.readFloatLE(i * 4);
    return values;
}

// Cosine similarity of two prints (decoded or as responses / Base64 text).
function cosine(a, b) {
    const x = a instanceof Float32Array ? a : decodePrint(a);
    const y = b instanceof Float32Array ? b : decodePrint(b);
    if (x.length !== y.length || x.length === 0)
        throw new RangeError(`prints of different lengths (${x.length}, ${y.length})`);
    let dot = 0, xx = 0, yy = 0;
    for (let i = 0; i < x.length; i++) {
        dot += x[i] * y[i];
        xx += x[i] * x[i];
        yy += y[i] * y[i];
    }
    return xx && yy ? dot / Math.sqrt(xx * yy) : 0;
}

// Cosines measured on photos and their copies (see the README): at or above
// `copy` a resized or recompressed copy, at or above `edited` very likely an
// edited one (crop, rotation, mirror), below `different` different pictures.
const thresholds = Object.freeze({ copy: 0.95, edited: 0.8, different: 0.75 });

// A failed pixsig request: the response's "error", and whether the image was
// declined (a kind that is not rendered) rather than unreadable.
class PixsigError extends Error {
    constructor(response) {
        super(response.error);
        this.name = 'PixsigError';
        this.declined = response.declined === true;
        this.response = response;
    }
}

// The server's longest request line (bytes before the line feed).
const maxLineBytes = 16 * 1024 * 1024;

// A string with a lone UTF-16 surrogate: JSON.stringify escapes it, and the
// server's JSON reader refuses such an escape.
const loneSurrogate = /\p{Cs}/u;

class PixsigServer extends EventEmitter {
    #file;
    #spawnOptions;
    #maxInFlight;
    #child = null;
    #blocked = false;      // the pipe is full: wait for 'drain'
    #queue = [];           // accepted, not yet written
    #sent = [];            // written, not yet answered, in order
    #seq = 0;
    #spawns = 0;
    #closing = null;
    #finishClose = null;
    #destroyed = false;

    constructor(options = {}) {
        super();
        this.#file = toolPath('pixsig', options.pixsig);
        this.#spawnOptions = { cwd: options.cwd, env: options.env };
        const max = options.maxInFlight ?? 16;
        if (!Number.isSafeInteger(max) || max < 1) throw new TypeError('maxInFlight must be a positive integer');
        this.#maxInFlight = max;
    }

    get pid() { return this.#child ? this.#child.pid : undefined; }
    get inFlight() { return this.#sent.length; }
    get queued() { return this.#queue.length; }
    get restarts() { return Math.max(0, this.#spawns - 1); }

    // Sends one request object (it needs a string "path"; "id" is set by the
    // client) and resolves to the response object, "ok" false included.
    request(fields) {
        return new Promise((resolve, reject) => {
            if (this.#closing || this.#destroyed) throw new Error('PixsigServer is closed');
            if (fields === null || typeof fields !== 'object' || Array.isArray(fields))
                throw new TypeError('a request is an object');
            if (typeof fields.path !== 'string') throw new TypeError('a request needs a string "path"');
            const id = String(++this.#seq);
            const body = {};
            for (const [key, value] of Object.entries(fields))
                if (key !== 'toJSON' && key !== 'id') body[key] = value;
            body.id = id;
            const line = JSON.stringify(body, (key, value) => {
                if (loneSurrogate.test(key) || (typeof value === 'string' && loneSurrogate.test(value)))
                    throw new TypeError('a request holds a string with a lone UTF-16 surrogate');
                return value;
            });
            if (Buffer.byteLength(line) > maxLineBytes)
                throw new RangeError(`a request line is at most ${maxLineBytes} bytes`);
            this.#queue.push({ id, line: line + '\n', resolve, reject });
            this.#pump();
        });
    }

    // A feature print: resolves to {id, ok, model, dim, b64}; rejects with a
    // PixsigError when the image cannot be printed.
    async print(file) {
        const response = await this.request({ path: file });
        if (!response.ok) throw new PixsigError(response);
        return response;
    }

    // A thumbnail: resolves to {id, ok, width, height}; rejects with a
    // PixsigError (with `declined`) when none was written.
    async thumb(options) {
        if (options === null || typeof options !== 'object') throw new TypeError('thumb takes an options object');
        const response = await this.request({ ...options, op: 'thumb' });
        if (!response.ok) throw new PixsigError(response);
        return response;
    }

    // Stops taking requests, lets the server answer every accepted one, ends
    // its input and resolves once it has exited.
    close() {
        if (!this.#closing) {
            this.#closing = new Promise((resolve) => { this.#finishClose = resolve; });
            if (this.#destroyed) this.#finishClose();
            else this.#pump();
        }
        return this.#closing;
    }

    // Kills the server at once; every unanswered request fails.
    destroy() {
        if (this.#destroyed) return;
        this.#destroyed = true;
        const error = new Error('PixsigServer was destroyed');
        for (const entry of this.#queue.splice(0)) entry.reject(error);
        for (const entry of this.#sent.splice(0)) entry.reject(error);
        if (this.#child) this.#child.kill('SIGKILL');
        else if (this.#finishClose) this.#finishClose();
    }

    #pump() {
        if (this.#destroyed) return;
        while (this.#queue.length && this.#sent.length < this.#maxInFlight && !this.#blocked) {
            if (!this.#child) this.#start();
            const entry = this.#queue.shift();
            this.#sent.push(entry);
            if (!this.#child.stdin.write(entry.line)) {
                this.#blocked = true;
                const child = this.#child;
                child.stdin.once('drain', () => {
                    if (child !== this.#child) return;
                    this.#blocked = false;
                    this.#pump();
                });
            }
        }
        // Closing: once everything is written, the end of input ends the server.
        if (this.#closing && !this.#queue.length) {
            if (this.#child) {
                if (!this.#child.stdin.writableEnded) this.#child.stdin.end();
            } else {
                this.#finishClose();
            }
        }
    }

    #start() {
        const child = spawn(this.#file, ['--serve'], { ...this.#spawnOptions, stdio: ['pipe', 'pipe', 'pipe'] });
        this.#child = child;
        this.#blocked = false;
        this.#spawns++;
        let spawnError = null;
        let stderrTail = '';
        let pending = '';
        child.on('error', (error) => { spawnError = error; });
        child.stdin.on('error', () => {});  // a dead server: 'close' below deals with it
        child.stdout.setEncoding('utf8');
        child.stdout.on('data', (chunk) => {
            pending += chunk;
            let start = 0;
            let end;
            while ((end = pending.indexOf('\n', start)) !== -1) {
                this.#answer(child, pending.slice(start, end));
                start = end + 1;
            }
            pending = pending.slice(start);
        });
        child.stderr.setEncoding('utf8');
        child.stderr.on('data', (chunk) => {
            stderrTail = (stderrTail + chunk).slice(-4096);
            this.emit('stderr', chunk);
        });
        child.on('close', (status, signal) => {
            if (child !== this.#child) return;
            this.#child = null;
            this.#blocked = false;
            const last = stderrTail.split('\n').filter((l) => l !== '').pop();
            const how = spawnError ? spawnError.message : signal ? `killed by ${signal}` : `status ${status}`;
            const error = new Error(`pixsig --serve ended (${how}) before answering${last ? `: ${last}` : ''}`,
                                    spawnError ? { cause: spawnError } : undefined);
            error.status = spawnError ? null : status;
            error.signal = signal;
            for (const entry of this.#sent.splice(0)) entry.reject(error);
            // A server that could not be started at all fails what waits too.
            if (spawnError) for (const entry of this.#queue.splice(0)) entry.reject(error);
            this.emit('exit', status, signal);
            if (this.#destroyed) {
                if (this.#finishClose) this.#finishClose();
                return;
            }
            this.#pump();  // a new server for what still waits, or the end of close()
        });
    }

    #answer(child, line) {
        if (child !== this.#child || child.outOfStep) return;
        const entry = this.#sent.shift();
        let response = null;
        try {
            response = JSON.parse(line);
        } catch {}
        if (!entry || !response || response.id !== entry.id) {
            // Out of step: nothing later can be matched. Start afresh.
            if (entry) entry.reject(new Error(`pixsig answered out of step: ${line.slice(0, 200)}`));
            child.outOfStep = true;
            child.kill('SIGKILL');
            return;
        }
        entry.resolve(response);
        this.#pump();
    }
}

module.exports = {
    probe, poster, frames, transcode, model, thumbProtocol,
    PixsigServer, PixsigError, ToolError, decodePrint, cosine, thresholds, maxLineBytes,
};
