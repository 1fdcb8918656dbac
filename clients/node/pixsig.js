'use strict';
// pixsig: the one-line queries, and PixsigPool, which keeps N `pixsig
// --serve` processes (one a processor by default) and sends each request to
// the least loaded.
//
// A server answers its lines in order, one at a time, and has no way to
// cancel one: so a request that times out or is aborted after it was written
// ends its server (SIGKILL), and the other requests written to that server are
// sent again to a fresh one. A server that dies by itself fails only the
// request it was working on (the first unanswered), with a ServerDiedError;
// the others are sent again. A request is sent again at most once. Lines the
// server would refuse (and so never answer, putting every later answer out of
// step) are never written: requests are checked and built here.
const { spawn } = require('child_process');
const { EventEmitter } = require('events');
const os = require('os');
const checks = require('./checks');
const { AbortError, PixsigError, ServerDiedError, TimeoutError, printCode, thumbCode, usage } = require('./errors');
const tools = require('./tools');

// The server's longest request line (bytes before the line feed).
const maxLineBytes = 16 * 1024 * 1024;

// A string with a lone UTF-16 surrogate: JSON.stringify escapes it, and the
// server's JSON reader refuses such an escape.
const loneSurrogate = /\p{Cs}/u;

function requestLine(body, id) {
    const line = JSON.stringify({ ...body, id }, (key, value) => {
        if (loneSurrogate.test(key) || (typeof value === 'string' && loneSurrogate.test(value)))
            throw usage(TypeError, 'a request holds a string with a lone UTF-16 surrogate');
        return value;
    });
    if (Buffer.byteLength(line) > maxLineBytes)
        throw usage(RangeError, `a request line is at most ${maxLineBytes} bytes`);
    return line + '\n';
}

async function query(flag, options) {
    const o = checks.runOptions(flag === '--model' ? 'model' : 'thumbProtocol', options, 'pixsig');
    const { stdout } = await tools.run('pixsig', [flag], o);
    return stdout.trim();
}
const model = (options) => query('--model', options);
const thumbProtocol = async (options) => Number(await query('--thumb-protocol', options));

const defaultSize = () => (os.availableParallelism ? os.availableParallelism() : os.cpus().length) || 1;

// One `pixsig --serve` process and the requests written to it, in order.
class Server {
    // handlers: onLine(server, line), onStderr(text), onExit(server, status, signal)
    constructor(slot, file, spawnOptions, handlers) {
        this.slot = slot;
        this.file = file;
        this.sent = [];
        this.blocked = false;   // the pipe is full: wait for 'drain'
        this.stopping = false;  // killed by the pool
        this.ending = false;    // its input is ended (close)
        this.answered = 0;
        this.stderrTail = '';
        this.spawnError = null;
        const child = spawn(file, ['--serve'], { ...spawnOptions, stdio: ['pipe', 'pipe', 'pipe'] });
        this.child = child;
        child.on('error', (error) => { this.spawnError = error; });
        child.stdin.on('error', () => {});  // a dead server: 'close' deals with it
        let pending = '';
        child.stdout.setEncoding('utf8');
        child.stdout.on('data', (chunk) => {
            const lines = (pending + chunk).split('\n');
            pending = lines.pop();
            for (const line of lines) handlers.onLine(this, line);
        });
        child.stderr.setEncoding('utf8');
        child.stderr.on('data', (chunk) => {
            this.stderrTail = (this.stderrTail + chunk).slice(-4096);
            handlers.onStderr(chunk);
        });
        child.on('close', (status, signal) => handlers.onExit(this, status, signal));
    }

    write(entry, onDrain) {
        this.sent.push(entry);
        entry.server = this;
        if (!this.child.stdin.write(entry.line)) {
            this.blocked = true;
            this.child.stdin.once('drain', () => {
                this.blocked = false;
                onDrain();
            });
        }
    }

    kill() {
        if (this.stopping) return;
        this.stopping = true;
        this.child.kill('SIGKILL');
    }

    end() {
        if (this.ending) return;
        this.ending = true;
        this.child.stdin.end();
    }
}

class PixsigPool extends EventEmitter {
    #explicit;
    #spawnOptions;
    #maxInFlight;
    #timeout;
    #slots;
    #started;              // slots that have had a server
    #queue = [];           // accepted, not yet written, in order
    #seq = 0;
    #spawns = 0;
    #halted = false;       // finding out why pixsig cannot run
    #closing = null;
    #finishClose = null;
    #destroyed = false;

    constructor(options) {
        super();
        const o = checks.poolOptions(options, defaultSize());
        this.#explicit = o.pixsig;
        this.#spawnOptions = { cwd: o.cwd, env: o.env };
        this.#maxInFlight = o.maxInFlight;
        this.#timeout = o.timeout;
        this.#slots = new Array(o.size).fill(null);
        this.#started = new Set();
    }

    get size() { return this.#slots.length; }
    /** Process ids of the running servers, by slot (undefined: none runs there). */
    get pids() { return this.#slots.map((s) => s?.child.pid); }
    get inFlight() { return this.#slots.reduce((n, s) => n + (s ? s.sent.length : 0), 0); }
    get queued() { return this.#queue.length; }
    get restarts() { return this.#spawns - this.#started.size; }

    // Sends one request object ({path} for a feature print, or "op" "thumb"
    // with its keys) and resolves to the response, "ok" false included.
    request(fields, options) {
        return this.#submit(() => checks.request(fields), options);
    }

    // A feature print: resolves to {id, ok, model, dim, b64}; rejects with a
    // PixsigError when the image cannot be printed.
    async print(file, options) {
        const body = { path: checks.string('path', file) };
        const response = await this.#submit(() => body, options);
        if (!response.ok) throw new PixsigError(response, await printCode(body, this.#spawnOptions.cwd));
        return response;
    }

    // A thumbnail: resolves to {id, ok, width, height}; rejects with a
    // PixsigError (with `declined`) when none was written.
    async thumb(request, options) {
        const body = checks.thumbRequest(request);
        const response = await this.#submit(() => body, options);
        if (!response.ok) throw new PixsigError(response, await thumbCode(response, body, this.#spawnOptions.cwd));
        return response;
    }

    // Stops taking requests, lets the servers answer every accepted one, ends
    // their input and resolves once they have all exited.
    close() {
        if (!this.#closing) {
            this.#closing = new Promise((resolve) => { this.#finishClose = resolve; });
            this.#pump();
        }
        return this.#closing;
    }

    // Kills every server at once; every unanswered request fails (ABORTED).
    destroy() {
        if (this.#destroyed) return;
        this.#destroyed = true;
        const error = new AbortError('the pixsig pool was destroyed');
        for (const entry of this.#queue.splice(0)) this.#settle(entry, error);
        for (const server of this.#slots) {
            if (!server) continue;
            for (const entry of server.sent.splice(0)) this.#settle(entry, error);
            server.kill();
        }
        this.#maybeClosed();
    }

    #submit(build, options) {
        return new Promise((resolve, reject) => {
            const body = build();
            const { timeout, signal } = checks.requestOptions(options, this.#timeout);
            if (this.#closing || this.#destroyed) {
                const error = new Error(`the pixsig pool is closed (${this.#destroyed ? 'destroyed' : 'closing'})`);
                error.code = 'CLOSED';
                throw error;
            }
            if (signal?.aborted) throw new AbortError('the request was aborted', signal.reason);
            const id = String(++this.#seq);
            const entry = { id, path: body.path, line: requestLine(body, id), resolve, reject, server: null,
                            retried: false,
                            cancel: null, done: false, timer: null, signal, onAbort: null };
            if (timeout !== undefined) {
                entry.timer = setTimeout(() => this.#cancel(entry, new TimeoutError(
                    `pixsig did not answer for ${body.path} within ${timeout} ms`, timeout)), timeout);
            }
            if (signal) {
                entry.onAbort = () => this.#cancel(entry, new AbortError('the request was aborted', signal.reason));
                signal.addEventListener('abort', entry.onAbort, { once: true });
            }
            this.#queue.push(entry);
            this.#pump();
        });
    }

    #settle(entry, error, response) {
        if (entry.done) return;
        entry.done = true;
        clearTimeout(entry.timer);
        if (entry.onAbort) entry.signal.removeEventListener('abort', entry.onAbort);
        if (error) entry.reject(error);
        else entry.resolve(response);
    }

    // A timeout or an abort: a request still waiting here just fails; one
    // already written ends its server and fails once the server has exited.
    #cancel(entry, error) {
        if (entry.done) return;
        if (!entry.server) {
            const waiting = this.#queue.indexOf(entry);
            if (waiting >= 0) this.#queue.splice(waiting, 1);
            this.#settle(entry, error);
            return;
        }
        entry.cancel = error;
        entry.server.kill();
    }

    // The server with room and the fewest unanswered requests; an empty slot
    // gets a new server when every running one is busy.
    #pick() {
        let best = null;
        let free = -1;
        for (const [slot, server] of this.#slots.entries()) {
            if (!server) {
                if (free < 0) free = slot;
                continue;
            }
            if (server.stopping || server.ending || server.blocked || server.sent.length >= this.#maxInFlight)
                continue;
            if (!best || server.sent.length < best.sent.length) best = server;
        }
        if (free >= 0 && (!best || best.sent.length > 0)) return this.#start(free);
        return best;
    }

    #start(slot) {
        const { file, looked } = tools.locate('pixsig', this.#explicit, this.#spawnOptions.env);
        if (!file) {
            this.#unavailable(tools.unavailable('pixsig', file, looked, { args: ['--serve'] }), []);
            return null;
        }
        this.#spawns++;
        this.#started.add(slot);
        const server = new Server(slot, file, this.#spawnOptions, {
            onLine: (s, line) => this.#answer(s, line),
            onStderr: (text) => this.emit('stderr', text),
            onExit: (s, status, signal) => this.#exited(s, status, signal),
        });
        this.#slots[slot] = server;
        return server;
    }

    #pump() {
        if (this.#destroyed || this.#halted) return;
        while (this.#queue.length) {
            const server = this.#pick();
            if (!server) break;
            server.write(this.#queue.shift(), () => this.#pump());
        }
        // Closing: once everything is written, the end of input ends each server.
        if (this.#closing && !this.#queue.length) {
            for (const server of this.#slots) server?.end();
            this.#maybeClosed();
        }
    }

    #maybeClosed() {
        if (this.#finishClose && this.#slots.every((s) => !s) && (this.#destroyed || !this.#queue.length))
            this.#finishClose();
    }

    // pixsig cannot run: everything waiting fails with why.
    #unavailable(explaining, entries) {
        this.#halted = true;
        explaining.then((error) => {
            this.#halted = false;
            for (const entry of [...entries, ...this.#queue.splice(0)]) this.#settle(entry, error);
            this.#maybeClosed();
        });
    }

    // One line from a server: the answer to its first unanswered request.
    #answer(server, line) {
        if (server.outOfStep) return;
        const entry = server.sent[0];
        let response = null;
        try {
            response = JSON.parse(line);
        } catch {}
        if (!entry || !response || response.id !== entry.id) {
            // Out of step: nothing later can be matched. Start afresh.
            server.outOfStep = true;
            if (entry) {
                server.sent.shift();
                this.#settle(entry, entry.cancel ?? new ServerDiedError(
                    `pixsig answered out of step: ${line.slice(0, 200)}`, { args: ['--serve'] }));
            }
            server.kill();
            return;
        }
        server.sent.shift();
        server.answered++;
        this.#settle(entry, entry.cancel, response);
        this.#pump();
    }

    // A server has exited: what it had not answered fails or goes again.
    #exited(server, status, signal) {
        this.#slots[server.slot] = null;
        const entries = server.sent.splice(0);
        for (const entry of entries) entry.server = null;
        this.emit('exit', status, signal);
        if (server.spawnError || (tools.loaderFailed(status) && !server.answered)) {
            const details = { args: ['--serve'], status, signal, stderr: server.stderrTail,
                              cause: server.spawnError ?? undefined };
            this.#unavailable(tools.unavailable('pixsig', server.file, [server.file], details), entries);
            return;
        }
        const how = signal ? `killed by ${signal}` : `status ${status}`;
        const last = server.stderrTail.split('\n').filter((l) => l !== '').pop();
        const died = (entry, what) => new ServerDiedError(
            `pixsig --serve ended (${how}) ${what} ${entry.path}${last ? `: ${last}` : ''}`,
            { args: ['--serve'], status, signal, stderr: server.stderrTail });
        // A server the pool did not stop ended on the request it was working on.
        const culprit = server.stopping ? null : entries[0];
        const again = [];
        for (const entry of entries) {
            if (entry.cancel) this.#settle(entry, entry.cancel);
            else if (entry === culprit) this.#settle(entry, died(entry, 'while working on'));
            else if (entry.retried) this.#settle(entry, died(entry, 'a second time before answering'));
            else {
                entry.retried = true;
                again.push(entry);
            }
        }
        this.#queue.unshift(...again);
        this.#pump();
        this.#maybeClosed();
    }
}

// One `pixsig --serve` (a pool of size 1 unless `size` says otherwise).
class PixsigServer extends PixsigPool {
    constructor(options) {
        super({ size: 1, ...checks.options('PixsigServer options', options, [
            'size', 'maxInFlight', 'timeout', 'pixsig', 'cwd', 'env']) });
    }

    /** The running server's process id, if one runs. */
    get pid() { return this.pids[0]; }
}

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
        throw usage(RangeError, `prints of different lengths (${x.length}, ${y.length})`);
    let dot = 0, xx = 0, yy = 0;
    for (let i = 0; i < x.length; i++) {
        dot += x[i] * y[i];
        xx += x[i] * x[i];
        yy += y[i] * y[i];
    }
    return xx && yy ? dot / Math.sqrt(xx * yy) : 0;
}

// Cosines calibrated on real photos and 21 kinds of copies (docs/host.md,
// bench/featureprint/thresholds.py): at or above `copy` the same picture
// (recompressed, resized or lightly edited), at or above `edited` likely an
// edited copy (crop, rotation, mirror, exposure, watermark: worth showing the
// user), below `different` different pictures; between the two, unsure. No
// pair of different photos measured reached `edited`.
const thresholds = Object.freeze({ copy: 0.9, edited: 0.76, different: 0.7 });

module.exports = { model, thumbProtocol, PixsigPool, PixsigServer, decodePrint, cosine, thresholds, maxLineBytes };
