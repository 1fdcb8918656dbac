'use strict';
// The client's errors. Every one carries a stable `code`, so that a host can
// tell what happened without reading texts:
//   ENOENT       the input does not exist
//   EACCES       the input exists but cannot be read
//   UNSUPPORTED  the input is no video (reelctl) / no image (pixsig) it reads
//   DECLINED     a thumbnail of an image of a kind that is not rendered
//   DECODE       the input is of a kind it reads but could not be decoded
//   WRITE        an output could not be written (missing folder, full disk)
//   TIMEOUT      the call's `timeout` passed
//   ABORTED      the call's `signal` was aborted, or the pool destroyed
//   SERVER_DIED  a pixsig server ended while working on this request
//   USAGE        bad arguments (TypeError, RangeError, reelctl's status 64)
//   UNAVAILABLE  the tool cannot run: not found, or shared libraries missing
//   KILLED       a signal from elsewhere ended the tool
//   CLOSED       a request made after close() or destroy()
// Codes come from the tools' exit statuses and fixed texts, and where the
// tools give only a library's words, from looking at the input file here.
const fs = require('fs');
const path = require('path');

// A tool's run that did not succeed: `status` is its exit status (null when
// a signal ended it or it never started), `message` the tool's own last line
// on standard error, or what kept it from running.
class ToolError extends Error {
    constructor(message, { tool, args = [], status = null, signal = null, stderr = '', code, cause, missing,
                           packages } = {}) {
        super(message, cause ? { cause } : undefined);
        this.name = 'ToolError';
        this.code = code;
        this.tool = tool;
        this.args = args;
        this.status = status;
        this.signal = signal;
        this.stderr = stderr;
        // Shared libraries the loader did not find, and their Debian packages.
        if (missing) {
            this.missing = missing;
            this.packages = packages;
        }
    }
}

// A pixsig server that ended while it worked on this request (the first one
// it had not answered): a crash, or a kill from elsewhere. `stderr` is the
// end of what the server wrote to standard error.
class ServerDiedError extends ToolError {
    constructor(message, details) {
        super(message, { ...details, tool: 'pixsig', code: 'SERVER_DIED' });
        this.name = 'ServerDiedError';
    }
}

// A request pixsig answered with "ok" false: the response's "error", and
// whether the image was declined (a kind that is not rendered).
class PixsigError extends Error {
    constructor(response, code) {
        super(response.error);
        this.name = 'PixsigError';
        this.code = code;
        this.declined = response.declined === true;
        this.response = response;
    }
}

class TimeoutError extends Error {
    constructor(message, timeout) {
        super(message);
        this.name = 'TimeoutError';
        this.code = 'TIMEOUT';
        this.timeout = timeout;
    }
}

class AbortError extends Error {
    constructor(message, cause) {
        super(message, cause !== undefined ? { cause } : undefined);
        this.name = 'AbortError';
        this.code = 'ABORTED';
    }
}

// An argument error, raised before anything starts.
function usage(Type, message) {
    const error = new Type(message);
    error.code = 'USAGE';
    return error;
}

// File signatures of the image formats the server's decoders take (libvips
// and its ImageMagick loader): no library kept in this package reads them,
// and the server's own error for an unknown file is free library text.
const imageSignatures = [
    [0, [0xff, 0xd8, 0xff]],                               // JPEG
    [0, [0x89, 0x50, 0x4e, 0x47]],                         // PNG
    [0, 'GIF8'], [0, 'BM'], [0, '8BPS'], [0, '%PDF'],       // GIF, BMP, PSD, PDF
    [0, 'II*\0'], [0, 'MM\0*'],                            // TIFF (and camera raw)
    [0, [0xff, 0x0a]], [4, 'JXL '],                        // JPEG XL
    [0, [0xff, 0x4f, 0xff, 0x51]], [4, 'jP  '],            // JPEG 2000
    [0, [0x76, 0x2f, 0x31, 0x01]],                         // OpenEXR
    [0, '#?RADIANCE'], [0, '#?RGBE'], [0, 'SIMPLE  ='],     // Radiance, FITS
    [0, [0x00, 0x00, 0x01, 0x00]],                         // ICO
];
const heifBrands = new Set(['heic', 'heix', 'hevc', 'heim', 'heis', 'hevm', 'hevs', 'mif1', 'msf1', 'avif',
                            'avis']);

function looksLikeImage(head) {
    const at = (offset, bytes) => {
        const want = typeof bytes === 'string' ? Buffer.from(bytes, 'latin1') : Buffer.from(bytes);
        return head.length >= offset + want.length && head.subarray(offset, offset + want.length).equals(want);
    };
    if (imageSignatures.some(([offset, bytes]) => at(offset, bytes))) return true;
    const text = head.toString('latin1');
    if (text.startsWith('RIFF') && text.slice(8, 12) === 'WEBP') return true;
    if (text.slice(4, 8) === 'ftyp' && heifBrands.has(text.slice(8, 12))) return true;
    if (/^P[1-7Ff]\s/.test(text)) return true;                 // PNM, PFM
    const markup = head.toString('utf8').replace(/^\ufeff/, '');  // SVG
    return /^\s*(<\?xml[^>]*>\s*)?(<!--[\s\S]*?-->\s*)*(<!DOCTYPE[^>]*>\s*)?<svg[\s>]/.test(markup);
}

// What the input file is, as the code of a failure to read it: ENOENT,
// EACCES, UNSUPPORTED (not a file, or no image by its first bytes when
// `image`), else `otherwise`.
async function inputCode(file, cwd, { image = false, otherwise = 'DECODE' } = {}) {
    const full = path.resolve(cwd ?? process.cwd(), file);
    let handle;
    try {
        const stat = await fs.promises.stat(full);
        if (!stat.isFile()) return 'UNSUPPORTED';
        handle = await fs.promises.open(full, 'r');
        if (!image) return otherwise;
        const head = Buffer.alloc(1024);
        const { bytesRead } = await handle.read(head, 0, head.length, 0);
        return looksLikeImage(head.subarray(0, bytesRead)) ? otherwise : 'UNSUPPORTED';
    } catch (error) {
        return error.code === 'EACCES' || error.code === 'EPERM' ? 'EACCES' : 'ENOENT';
    } finally {
        await handle?.close();
    }
}

// Whether an output could not be written for a reason visible from here:
// its folder is missing or read-only, or its file system is full.
async function outputBlocked(file, cwd) {
    const folder = path.dirname(path.resolve(cwd ?? process.cwd(), file));
    try {
        await fs.promises.access(folder, fs.constants.W_OK);
        if (!fs.promises.statfs) return false;  // Node.js before 18.15
        const space = await fs.promises.statfs(folder);
        return space.bavail === 0;
    } catch {
        return true;
    }
}

// The code of a pixsig thumbnail failure, from the renderer's fixed texts.
async function thumbCode(response, request, cwd) {
    const text = response.error ?? '';
    if (response.declined === true) return 'DECLINED';
    if (text.startsWith("can't write ")) return 'WRITE';
    if (text === 'thumb needs path and out') return 'USAGE';
    if (text.startsWith("can't open ") || text.startsWith("can't read "))
        return inputCode(request.path, cwd, { image: true });
    return 'DECODE';  // "no size for", "can't decode"
}

// The code of a failed feature print: its text is the decoder's, so the
// file itself decides.
function printCode(request, cwd) {
    return inputCode(request.path, cwd, { image: true });
}

module.exports = {
    ToolError, ServerDiedError, PixsigError, TimeoutError, AbortError, usage,
    inputCode, outputBlocked, thumbCode, printCode, looksLikeImage,
};
