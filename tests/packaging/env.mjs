// What tools/package_test.sh made (scratch prefix, Debian package, its
// extracted root, the npm tarball) and helpers shared by the packaging tests.
import { execFile, spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const env = process.env;
export const made = env.PACKAGE_PREFIX ? {
    build: env.PACKAGE_BUILD,
    prefix: env.PACKAGE_PREFIX,
    deb: env.PACKAGE_DEB,
    debRoot: env.PACKAGE_ROOT,
    tarball: env.PACKAGE_TARBALL,
    scratch: env.PACKAGE_SCRATCH,
} : null;
// Tests skip with this reason when run without tools/package_test.sh.
export const skip = made ? false : 'run by tools/package_test.sh, which installs and packages first';

// A fresh folder inside the scratch area.
export function scratchDir(name) {
    return mkdtempSync(path.join(made.scratch, `${name}-`));
}

const execFileP = promisify(execFile);
// Runs a program; resolves to { status, stdout, stderr } whatever its status.
export async function run(file, args, options = {}) {
    try {
        const { stdout, stderr } = await execFileP(file, args, { maxBuffer: 64 << 20, ...options });
        return { status: 0, stdout, stderr };
    } catch (error) {
        if (typeof error.code !== 'number') throw error;
        return { status: error.code, stdout: error.stdout, stderr: error.stderr };
    }
}

// Like run, but a non-zero status fails with everything the program said.
export async function ok(file, args, options = {}) {
    const result = await run(file, args, options);
    if (result.status !== 0)
        throw new Error(`${file} ${args.join(' ')}: status ${result.status}\n${result.stdout}${result.stderr}`);
    return result;
}

// Sample media in a folder: clip.mp4 (2 s 640x360 H.264 with AAC audio and a
// creation date), photo.jpg (800x600 RGB), half.jpg (its half-size copy),
// other.jpg (a different picture) and grey.jpg (greyscale: thumbnails decline it).
export async function sampleMedia(dir) {
    mkdirSync(dir, { recursive: true });
    const at = (name) => path.join(dir, name);
    await ok('ffmpeg', ['-nostdin', '-v', 'error', '-y',
        '-f', 'lavfi', '-i', 'testsrc2=size=640x360:rate=25:duration=2',
        '-f', 'lavfi', '-i', 'sine=frequency=440:duration=2', '-c:v', 'libx264', '-preset', 'ultrafast',
        '-pix_fmt', 'yuv420p', '-c:a', 'aac', '-shortest',
        '-metadata', 'creation_time=2024-03-01T09:15:00Z', at('clip.mp4')]);
    await ok('convert', ['-seed', '5', '-size', '800x600', 'plasma:fractal', '-blur', '0x2', '-quality', '92',
        at('photo.jpg')]);
    await ok('convert', [at('photo.jpg'), '-resize', '50%', at('half.jpg')]);
    await ok('convert', ['logo:', '-resize', '800x600!', '-quality', '92', at('other.jpg')]);
    await ok('convert', [at('photo.jpg'), '-colorspace', 'Gray', at('grey.jpg')]);
    return dir;
}

// Feeds lines to a program and resolves to { status, stdout, stderr }.
export function feed(file, args, input, options = {}) {
    return new Promise((resolve, reject) => {
        const child = spawn(file, args, { stdio: ['pipe', 'pipe', 'pipe'], ...options });
        let stdout = '', stderr = '';
        child.stdout.on('data', (d) => { stdout += d; });
        child.stderr.on('data', (d) => { stderr += d; });
        child.on('error', reject);
        child.on('close', (status) => resolve({ status, stdout, stderr }));
        child.stdin.end(input);
    });
}
