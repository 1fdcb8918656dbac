'use strict';
// Every option is checked here, before any process starts: a wrong type is a
// TypeError, a value the tools would not take as meant is a RangeError, each
// naming the option, what it takes and what it got (code 'USAGE').
const { usage } = require('./errors');

function shown(value) {
    if (typeof value === 'string') return JSON.stringify(value);
    if (typeof value === 'bigint') return `${value}n`;
    if (value === null) return 'null';
    if (Array.isArray(value)) return 'an array';
    if (typeof value === 'object') return 'an object';
    if (typeof value === 'function') return 'a function';
    return String(value);
}
const typeError = (name, expected, value) => usage(TypeError, `${name} must be ${expected}; got ${shown(value)}`);
const rangeError = (name, expected, value) => usage(RangeError, `${name} must be ${expected}; got ${shown(value)}`);

function isPlainObject(value) {
    if (value === null || typeof value !== 'object' || Array.isArray(value)) return false;
    const proto = Object.getPrototypeOf(value);
    return proto === Object.prototype || proto === null;
}

// An options object (absent: empty) holding only the keys allowed.
function options(name, value, allowed) {
    if (value === undefined) return {};
    if (!isPlainObject(value)) throw typeError(name, 'an object', value);
    for (const key of Object.keys(value))
        if (!allowed.includes(key))
            throw usage(TypeError, `${name} has no option "${key}" (it takes ${allowed.join(', ')})`);
    return value;
}

function string(name, value) {
    if (typeof value !== 'string' || value === '') throw typeError(name, 'a non-empty string', value);
    if (value.includes('\0')) throw usage(TypeError, `${name} must not hold a NUL character`);
    return value;
}

function integer(name, value, min, max = Number.MAX_SAFE_INTEGER, why = '') {
    if (value === undefined) return undefined;
    if (typeof value !== 'number' || !Number.isInteger(value)) throw typeError(name, 'an integer', value);
    if (value < min || value > max) {
        const range = max === Number.MAX_SAFE_INTEGER ? `of at least ${min}` : `from ${min} to ${max}`;
        throw rangeError(name, `an integer ${range}${why}`, value);
    }
    return value;
}

function boolean(name, value) {
    if (value !== undefined && typeof value !== 'boolean') throw typeError(name, 'a boolean', value);
    return value;
}

// setTimeout fires at once for delays beyond 2^31 - 1 ms.
const maxTimeout = 2 ** 31 - 1;
function timeout(name, value) {
    if (value === undefined) return undefined;
    if (typeof value !== 'number' || Number.isNaN(value)) throw typeError(name, 'a number of milliseconds', value);
    if (!(value > 0 && value <= maxTimeout))
        throw rangeError(name, `a number of milliseconds above 0 and at most ${maxTimeout}`, value);
    return value;
}

function signal(name, value) {
    if (value === undefined) return undefined;
    if (value === null || typeof value !== 'object' || typeof value.aborted !== 'boolean' ||
        typeof value.addEventListener !== 'function')
        throw typeError(name, 'an AbortSignal', value);
    return value;
}

function callback(name, value) {
    if (value !== undefined && typeof value !== 'function') throw typeError(name, 'a function', value);
    return value;
}

function env(name, value) {
    if (value !== undefined && !isPlainObject(value)) throw typeError(name, 'an object', value);
    return value;
}

// What every call that runs a tool takes.
function runOptions(call, value, tool, extra = []) {
    const o = options(`${call} options`, value, ['cwd', 'env', 'signal', 'timeout', tool, ...extra]);
    if (o.cwd !== undefined) string('cwd', o.cwd);
    env('env', o.env);
    signal('signal', o.signal);
    timeout('timeout', o.timeout);
    if (o[tool] !== undefined) string(tool, o[tool]);
    return o;
}

// reelctl's frames: samples closer than a quarter second are dropped, at
// least 3 are taken in count mode, at most `max` (20) are kept.
const minInterval = 0.25;
function framesOptions(value) {
    const o = runOptions('frames', value, 'reelctl', ['interval', 'count', 'max', 'maxEdge', 'onProgress']);
    callback('onProgress', o.onProgress);
    if (o.interval !== undefined) {
        if (typeof o.interval !== 'number' || Number.isNaN(o.interval))
            throw typeError('interval', 'a number of seconds', o.interval);
        if (!(o.interval >= minInterval && o.interval < Infinity))
            throw rangeError('interval', `a finite number of seconds of at least ${minInterval} ` +
                             '(samples closer than that are dropped)', o.interval);
        if (o.count !== undefined) throw usage(TypeError, 'frames takes interval or count, not both');
    }
    integer('count', o.count, 3, undefined, ' (fewer still gives 3 samples)');
    if (o.max !== Infinity) integer('max', o.max, 2, undefined, ', or Infinity for no cap');
    integer('maxEdge', o.maxEdge, 1);
    return o;
}

function transcodeOptions(value) {
    const o = runOptions('transcode', value, 'reelctl', ['onProgress']);
    callback('onProgress', o.onProgress);
    return o;
}

function posterOptions(value) {
    const o = runOptions('poster', value, 'reelctl', ['maxEdge']);
    integer('maxEdge', o.maxEdge, 1);
    return o;
}

// The pool's construction options.
function poolOptions(value, defaultSize) {
    const o = options('PixsigPool options', value, ['size', 'maxInFlight', 'timeout', 'pixsig', 'cwd', 'env']);
    if (o.pixsig !== undefined) string('pixsig', o.pixsig);
    if (o.cwd !== undefined) string('cwd', o.cwd);
    env('env', o.env);
    return {
        size: integer('size', o.size, 1, 1024) ?? defaultSize,
        maxInFlight: integer('maxInFlight', o.maxInFlight, 1, 1024) ?? 16,
        timeout: timeout('timeout', o.timeout),
        pixsig: o.pixsig, cwd: o.cwd, env: o.env,
    };
}

// A request's own options; the pool's timeout applies when none is given.
function requestOptions(value, poolTimeout) {
    const o = options('request options', value, ['timeout', 'signal']);
    return { timeout: timeout('timeout', o.timeout) ?? poolTimeout, signal: signal('signal', o.signal) };
}

// The largest exact size the server draws (it declines larger ones): 50
// megapixels, no side beyond what JPEG holds.
const maxExactSide = 65500;
const maxExactPixels = 50_000_000;
const thumbKeys = ['path', 'out', 'size', 'quality', 'transform', 'orientation', 'width', 'height'];

// The request line's object for a thumbnail.
function thumbRequest(value, name = 'thumb request') {
    if (value === undefined) throw typeError(name, 'an object', value);
    const r = options(name, value, [...thumbKeys, 'op']);
    if (r.op !== undefined && r.op !== 'thumb') throw rangeError('op', '"thumb"', r.op);
    const body = { op: 'thumb', path: string('path', r.path), out: string('out', r.out) };
    if (r.size !== undefined) body.size = integer('size', r.size, 1);
    if (r.quality !== undefined) {
        if (typeof r.quality !== 'number' || Number.isNaN(r.quality)) throw typeError('quality', 'a number', r.quality);
        if (!(r.quality > 0 && r.quality <= 1))
            throw rangeError('quality', 'a number above 0 and at most 1 (0.8 for 80%)', r.quality);
        body.quality = r.quality;
    }
    if (r.transform !== undefined) body.transform = boolean('transform', r.transform);
    if (r.orientation !== undefined) body.orientation = integer('orientation', r.orientation, 1, 8);
    if ((r.width === undefined) !== (r.height === undefined))
        throw usage(TypeError, 'width and height come together: give both for an exact size, or neither');
    if (r.width !== undefined) {
        body.width = integer('width', r.width, 1, maxExactSide);
        body.height = integer('height', r.height, 1, maxExactSide);
        if (body.width * body.height > maxExactPixels)
            throw rangeError('width × height', `at most ${maxExactPixels} pixels`, body.width * body.height);
    }
    return body;
}

// The request line's object for request(): a feature print, or with "op"
// "thumb" a thumbnail. The "id" is the client's own.
function request(value) {
    if (!isPlainObject(value)) throw typeError('a request', 'an object', value);
    if (value.op === undefined) {
        options('a feature-print request', value, ['path']);
        return { path: string('path', value.path) };
    }
    if (value.op !== 'thumb') throw rangeError('op', '"thumb", or absent for a feature print', value.op);
    return thumbRequest(value, 'a thumb request');
}

module.exports = {
    options, string, integer, timeout, signal, runOptions, framesOptions, transcodeOptions, posterOptions,
    poolOptions, requestOptions, thumbRequest, request, minInterval,
};
