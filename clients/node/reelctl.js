'use strict';
// reelctl: probe, poster, frames and transcode each start one reelctl process
// and resolve to its parsed result, or reject with a ToolError carrying the
// exit status, the tool's message and a code. frames and transcode take
// onProgress(fraction), fed by reelctl's --progress lines.
const checks = require('./checks');
const { ToolError, inputCode, outputBlocked } = require('./errors');
const tools = require('./tools');

// reelctl takes its options wherever they stand, positional arguments
// included: a path spelled like an option is given as ./<name> instead.
const reelctlOptions = new Set(['--max-edge', '--interval', '--count', '--max', '--progress']);
function positional(name, value) {
    checks.string(name, value);
    return reelctlOptions.has(value) ? `./${value}` : value;
}

// The code of a failed run, from reelctl's exit statuses and fixed texts.
function failureCode(input, out, cwd) {
    return async (status, message) => {
        switch (status) {
            case 64: return 'USAGE';
            case 65: return inputCode(input, cwd, { otherwise: 'UNSUPPORTED' });
            case 66: return 'ENOENT';
            case 72: case 73: return 'WRITE';
            case 74: return 'DECODE';
            case 75:
                if (message === 'cannot create export session') return 'UNSUPPORTED';
                // "transcode failed: <the library's words>"
                return (await outputBlocked(out, cwd)) ? 'WRITE' : 'DECODE';
            default: return 'DECODE';
        }
    };
}

// A line reelctl writes with --progress: how far the run is, from 0 to 1.
const progressLine = /^progress (0|1|0\.\d+)$/;

// The standard-error hook of a call with `onProgress`: --progress is added to
// the arguments, and its lines go to onProgress, never into a message or to
// `onLine` (which gets the others).
function withProgress(args, onProgress, onLine) {
    if (onProgress === undefined) return onLine;
    args.push('--progress');
    return (line) => {
        const m = progressLine.exec(line);
        if (!m) return onLine?.(line);
        onProgress(Number(m[1]));
        return true;
    };
}

function reelctl(args, options, input, out, onLine) {
    return tools.run('reelctl', args, options, { failure: failureCode(input, out, options.cwd), onLine });
}

function parsed(stdout, args) {
    try {
        return JSON.parse(stdout);
    } catch (error) {
        throw new ToolError(`reelctl ${args[0]}: unreadable output: ${error.message}`,
                            { tool: 'reelctl', args, status: 0, code: 'UNAVAILABLE' });
    }
}

async function probe(input, options) {
    const o = checks.runOptions('probe', options, 'reelctl');
    const args = ['probe', positional('input', input)];
    const { stdout } = await reelctl(args, o, input);
    return parsed(stdout, args);
}

async function poster(input, out, options) {
    const o = checks.posterOptions(options);
    const args = ['poster', positional('input', input), positional('out', out)];
    if (o.maxEdge !== undefined) args.push('--max-edge', String(o.maxEdge));
    await reelctl(args, o, input, out);
}

// A line reelctl writes for a frame it could not grab.
const skippedLine = /^frame (\d+) @(\S+)s failed: (.*)$/;

async function frames(input, outDir, options) {
    const o = checks.framesOptions(options);
    const args = ['frames', positional('input', input), positional('outDir', outDir)];
    if (o.interval !== undefined) args.push('--interval', String(o.interval));
    if (o.count !== undefined) args.push('--count', String(o.count));
    if (o.max !== undefined) args.push('--max', o.max === Infinity ? '0' : String(o.max));
    if (o.maxEdge !== undefined) args.push('--max-edge', String(o.maxEdge));
    const skipped = [];
    const onLine = (line) => {
        const m = skippedLine.exec(line);
        if (m) skipped.push({ index: Number(m[1]), time: Number(m[2]), reason: m[3] });
    };
    const hook = withProgress(args, o.onProgress, onLine);
    const { stdout } = await reelctl(args, o, input, undefined, hook);
    return { manifest: parsed(stdout, args), skipped };
}

async function transcode(input, out, options) {
    const o = checks.transcodeOptions(options);
    const args = ['transcode', positional('input', input), positional('out', out)];
    const hook = withProgress(args, o.onProgress);
    const { stdout } = await reelctl(args, o, input, out, hook);
    return stdout.replace(/\n$/, '');
}

module.exports = { probe, poster, frames, transcode };
