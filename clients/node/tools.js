'use strict';
// Finding the tools, running one to its end, and saying why one cannot run.
//
// A tool is looked for, in order: in the folder given to configure({binDir})
// (only there), beside this package (prebuilds/<platform>-<arch>/bin/, where
// the npm package carries them), beside an installed prefix when the package
// is P/lib/node_modules/dragbridge (P/bin/), then on PATH. A call's own
// `reelctl` / `pixsig` option names the executable itself.
const { execFile, spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const checks = require('./checks');
const { AbortError, TimeoutError, ToolError } = require('./errors');

const packageRoot = path.dirname(__dirname);
const prebuilt = path.join(packageRoot, 'prebuilds', `${process.platform}-${process.arch}`);

const settings = { binDir: undefined };

// Sets where the tools are, once for the process: { binDir } (a folder
// holding reelctl and pixsig; undefined goes back to the search above).
// Returns the settings in force.
function configure(options) {
    const o = checks.options('configure options', options, ['binDir']);
    if (o.binDir !== undefined) checks.string('binDir', o.binDir);
    if ('binDir' in o) settings.binDir = o.binDir === undefined ? undefined : path.resolve(o.binDir);
    return { ...settings };
}

function isExecutable(file) {
    try {
        fs.accessSync(file, fs.constants.X_OK);
        return fs.statSync(file).isFile();
    } catch {
        return false;
    }
}

// The places searched for a tool, in order.
function places(name, env) {
    if (settings.binDir) return [path.join(settings.binDir, name)];
    const found = [path.join(prebuilt, 'bin', name)];
    const nodeModules = path.dirname(packageRoot);
    const lib = path.dirname(nodeModules);
    if (path.basename(nodeModules) === 'node_modules' && path.basename(lib) === 'lib')
        found.push(path.join(path.dirname(lib), 'bin', name));
    for (const dir of ((env ?? process.env).PATH ?? '').split(path.delimiter))
        if (path.isAbsolute(dir)) found.push(path.join(dir, name));
    return found;
}

// { file, looked }: the executable to start (undefined when none was found)
// and where it was looked for.
function locate(name, explicit, env) {
    if (explicit !== undefined) return { file: explicit, looked: [explicit] };
    const looked = places(name, env);
    return { file: looked.find(isExecutable), looked };
}

// The shared libraries the loader does not find for `file`, by ldd.
function missingLibraries(file) {
    return new Promise((resolve) => {
        execFile('ldd', [file], (error, stdout) => {
            resolve([...(stdout ?? '').matchAll(/^\s*(\S+) => not found$/gm)].map((m) => m[1]));
        });
    });
}

// The Debian packages of the tools' libraries, recorded at build time
// (runtime-packages.json beside the tools' bin/ folder).
function runtimePackages(file) {
    const candidates = [path.join(prebuilt, 'runtime-packages.json')];
    try {
        candidates.unshift(path.join(path.dirname(path.dirname(fs.realpathSync(file))), 'runtime-packages.json'));
    } catch {}
    for (const candidate of candidates) {
        try {
            return JSON.parse(fs.readFileSync(candidate, 'utf8'));
        } catch {}
    }
    return {};
}

// The error of a tool that cannot run (code 'UNAVAILABLE'): not found, not
// executable, or shared libraries missing (with the packages that have them).
async function unavailable(tool, file, looked, details = {}) {
    const fields = { tool, code: 'UNAVAILABLE', ...details };
    if (!file) {
        const dirs = [...new Set(looked.map((f) => path.dirname(f)))];
        const where = settings.binDir ? dirs[0] : `${dirs.slice(0, 2).join(', ')} or on PATH`;
        return new ToolError(`${tool} was not found in ${where}; install the media-companions package, or ` +
                             'give the folder of the tools with configure({ binDir })', fields);
    }
    if (details.cause) return new ToolError(`${tool} cannot run: ${details.cause.message}`, fields);
    const missing = await missingLibraries(file);
    if (!missing.length) {
        const last = (details.stderr ?? '').trim().split('\n').pop();
        return new ToolError(`${tool} cannot run (${file}, status 127)${last ? `: ${last}` : ''}`, fields);
    }
    const known = runtimePackages(file);
    const packages = [...new Set(missing.map((soname) => known[soname]).filter(Boolean))];
    const install = packages.length ? `; on Debian: apt-get install ${packages.join(' ')}` : '';
    fields.missing = missing;
    fields.packages = packages;
    return new ToolError(`${tool} cannot run: the shared libraries ${missing.join(', ')} are missing${install}`,
                         fields);
}

// A tool that started but is gone before its loader ran it.
const loaderFailed = (status) => status === 127;

// How long a tool has between SIGTERM and SIGKILL when it is stopped.
const killGrace = 5000;

// Runs a tool to its end; resolves to { stdout, stderr }. `options`: cwd,
// env, timeout, signal and the tool's own path (checked by the caller).
// `hooks.onLine` gets each line of standard error as it comes, until the
// tool is stopped; a line it returns true for is kept out of `stderr` and
// of the failure's message, and a hook that throws stops the tool and fails
// the call with what it threw. `hooks.failure(status, message)` gives the
// code of a failed run. A timeout or an abort sends SIGTERM (SIGKILL after
// killGrace) and rejects once the tool has exited.
async function run(tool, args, options = {}, hooks = {}) {
    const { file, looked } = locate(tool, options[tool], options.env);
    if (!file) throw await unavailable(tool, file, looked, { args });
    const { signal } = options;
    if (signal?.aborted) throw new AbortError(`${tool} ${args[0]} was aborted`, signal.reason);

    const { status, signal: ended, stdout, stderr, stopped, spawnError } = await new Promise((resolve) => {
        const child = spawn(file, args, { cwd: options.cwd, env: options.env, stdio: ['ignore', 'pipe', 'pipe'] });
        const out = [];
        const err = [];
        let partial = '';
        let stopped = null;
        let spawnError = null;
        let killer = null;
        const stop = (error) => {
            if (stopped) return;
            stopped = error;
            child.kill('SIGTERM');
            killer = setTimeout(() => child.kill('SIGKILL'), killGrace);
        };
        const timer = options.timeout === undefined ? null : setTimeout(
            () => stop(new TimeoutError(`${tool} ${args[0]} took longer than ${options.timeout} ms`, options.timeout)),
            options.timeout);
        const onAbort = () => stop(new AbortError(`${tool} ${args[0]} was aborted`, signal.reason));
        signal?.addEventListener('abort', onAbort, { once: true });
        const take = (line, end) => {
            let taken = false;
            if (!stopped) {
                try {
                    taken = hooks.onLine(line) === true;
                } catch (error) {
                    stop(error);
                }
            }
            if (!taken) err.push(line + end);
        };
        child.stdout.on('data', (d) => out.push(d));
        child.stderr.setEncoding('utf8');
        child.stderr.on('data', (text) => {
            if (!hooks.onLine) return err.push(text);
            const lines = (partial + text).split('\n');
            partial = lines.pop();
            for (const line of lines) take(line, '\n');
        });
        child.on('error', (error) => { spawnError = error; });
        child.on('close', (status, ended) => {
            clearTimeout(timer);
            clearTimeout(killer);
            signal?.removeEventListener('abort', onAbort);
            if (partial && hooks.onLine) take(partial, '');
            resolve({ status, signal: ended, stdout: Buffer.concat(out).toString('utf8'), stderr: err.join(''),
                      stopped, spawnError });
        });
    });
    if (stopped) throw stopped;
    const details = { args, status: spawnError ? null : status, signal: ended, stderr };
    if (spawnError) throw await unavailable(tool, file, looked, { ...details, cause: spawnError });
    if (loaderFailed(status)) throw await unavailable(tool, file, looked, details);
    if (status === 0) return { stdout, stderr };
    const lines = stderr.split('\n').filter((l) => l !== '');
    if (status === null)
        throw new ToolError(`${tool} was ended by ${ended}`, { ...details, tool, code: 'KILLED' });
    const message = lines.length ? lines[lines.length - 1] : `${tool} exited with status ${status}`;
    const code = hooks.failure ? await hooks.failure(status, message) : 'DECODE';
    throw new ToolError(message, { ...details, tool, code });
}

module.exports = { configure, locate, unavailable, loaderFailed, run, killGrace };
