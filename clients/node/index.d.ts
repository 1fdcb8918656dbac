/// <reference types="node" />
// Declarations of the Node client for reelctl and pixsig (dragbridge/client).
import { EventEmitter } from 'events';

/**
 * The `code` of every error the client raises:
 * - `ENOENT`: the input does not exist.
 * - `EACCES`: the input exists but cannot be read.
 * - `UNSUPPORTED`: the input is no video reelctl reads (status 65, or "cannot
 *   create export session"), or no image pixsig reads (not a file, or no
 *   image format by its first bytes).
 * - `DECLINED`: a thumbnail of an image of a kind that is not rendered
 *   (greyscale, CMYK, transparency, more than 8 bits a channel, an exact size
 *   that cannot be drawn); retrying will not help.
 * - `DECODE`: the input is of a kind the tool reads but could not be decoded
 *   (reelctl status 74, "transcode failed" with the output writable; pixsig
 *   "can't decode", "no size for", and failed prints of files that look like
 *   images).
 * - `WRITE`: an output could not be written (reelctl status 72 and 73,
 *   "transcode failed" with the output's folder missing, read-only or full;
 *   pixsig "can't write").
 * - `TIMEOUT`, `ABORTED`: the call's `timeout` passed, its `signal` was
 *   aborted (or the pool destroyed).
 * - `SERVER_DIED`: a pixsig server ended while working on this request.
 * - `USAGE`: bad arguments: every TypeError and RangeError the client raises
 *   before starting anything, and reelctl's status 64.
 * - `UNAVAILABLE`: the tool cannot run: not found, not executable, or shared
 *   libraries missing (the message names them and their Debian packages).
 * - `KILLED`: a signal from elsewhere ended a reelctl run.
 * - `CLOSED`: a request made after the pool's close() or destroy().
 *
 * Codes come from reelctl's exit statuses and the tools' fixed texts, never
 * from a library's wording; where a tool gives only a library's words (feature
 * prints, "transcode failed"), the client looks at the input or output itself.
 */
export type ErrorCode =
    | 'ENOENT' | 'EACCES' | 'UNSUPPORTED' | 'DECLINED' | 'DECODE' | 'WRITE' | 'TIMEOUT' | 'ABORTED'
    | 'SERVER_DIED' | 'USAGE' | 'UNAVAILABLE' | 'KILLED' | 'CLOSED';

export interface ClientSettings {
    /** The folder holding reelctl and pixsig; undefined: found as below. */
    binDir: string | undefined;
}

/**
 * Sets, once for the process, where the tools are: `binDir` (only there),
 * or, when undefined, the default search: beside this package
 * (`prebuilds/linux-x64/bin/`, where the npm package carries them), beside an
 * installed prefix (`P/bin/` for `P/lib/node_modules/dragbridge`), then on
 * `PATH`. Returns the settings in force.
 */
export function configure(settings?: { binDir?: string | undefined }): ClientSettings;

/** Options every call that starts a tool takes. */
export interface RunOptions {
    /** Working directory of the tool; relative paths resolve against it. */
    cwd?: string;
    env?: NodeJS.ProcessEnv;
    /**
     * Aborting ends the tool (SIGTERM; SIGKILL 5 s later if it is still
     * there) and rejects with an AbortError once it has exited.
     */
    signal?: AbortSignal;
    /** Milliseconds: then the tool is ended as for `signal`, rejecting with a TimeoutError. */
    timeout?: number;
}

export interface ReelctlOptions extends RunOptions {
    /** Path of the reelctl executable itself (default: see {@link configure}). */
    reelctl?: string;
}

/** What transcode and frames take beside {@link ReelctlOptions}. */
export interface ProgressOptions {
    /**
     * Called with how far the run is, a fraction from 0 to 1 that never goes
     * back: 0 as the work starts, then at most about ten times a second, and
     * 1 once the result is ready, before the call resolves (never when it
     * fails). Transcode: the movie's time encoded over the duration; frames:
     * samples done over samples. A callback that throws stops the tool; the
     * call then rejects with what it threw.
     */
    onProgress?: (fraction: number) => void;
}

export interface TranscodeOptions extends ReelctlOptions, ProgressOptions {}

export interface PixsigOptions extends RunOptions {
    /** Path of the pixsig executable itself (default: see {@link configure}). */
    pixsig?: string;
}

/** A tool's run that failed, or a tool that cannot run. */
export class ToolError extends Error {
    readonly name: 'ToolError' | 'ServerDiedError';
    readonly code: ErrorCode;
    readonly tool: 'reelctl' | 'pixsig';
    readonly args: string[];
    /**
     * Exit status: 64 usage, 65 unusable media, 66 missing input, 72 JPEG
     * encoding, 73 file writing, 74 poster grab, 75 transcode; null when a
     * signal ended the tool or it could not be started (see `cause`).
     */
    readonly status: number | null;
    readonly signal: NodeJS.Signals | null;
    /**
     * Everything the tool wrote to standard error but its progress lines (a
     * pixsig server: the end of it).
     */
    readonly stderr: string;
    /** `UNAVAILABLE` for missing libraries: their names. */
    readonly missing?: string[];
    /** `UNAVAILABLE` for missing libraries: the Debian packages that have them. */
    readonly packages?: string[];
}

/**
 * A pixsig server that ended while it worked on this request (the first it
 * had not answered): a crash, or a kill from elsewhere. The pool's other
 * requests on that server are sent again to a fresh one.
 */
export class ServerDiedError extends ToolError {
    readonly name: 'ServerDiedError';
    readonly code: 'SERVER_DIED';
    readonly tool: 'pixsig';
}

/** The call's `timeout` passed; the tool or server was ended. */
export class TimeoutError extends Error {
    readonly name: 'TimeoutError';
    readonly code: 'TIMEOUT';
    /** The timeout in milliseconds. */
    readonly timeout: number;
}

/** The call's `signal` was aborted (`cause`: its reason), or the pool destroyed. */
export class AbortError extends Error {
    readonly name: 'AbortError';
    readonly code: 'ABORTED';
}

/** What `reelctl probe` prints. */
export interface ProbeResult {
    /** Seconds. */
    duration: number;
    /** Displayed size (the display matrix applied). */
    width: number;
    height: number;
    /** Average frame rate. */
    fps: number;
    /** Four-character sample-entry code, e.g. "avc1". */
    codec: string;
    hasAudio: boolean;
    /** ISO 8601 UTC, or null. */
    creationDate: string | null;
}

export interface FrameEntry {
    /** Position in the sample-time list; gaps mark frames that could not be grabbed. */
    index: number;
    /** The requested sample time in seconds. */
    time: number;
    /** "frame_<index>.jpg", in the output directory. */
    filename: string;
}

/** The manifest `reelctl frames` prints (and saves as manifest.json). */
export interface FramesManifest {
    duration: number;
    count: number;
    frames: FrameEntry[];
}

/** A sample time whose frame could not be grabbed (a gap in the manifest's indexes). */
export interface SkippedFrame {
    index: number;
    /** Seconds. */
    time: number;
    /** The decoder's reason. */
    reason: string;
}

export interface FramesResult {
    manifest: FramesManifest;
    skipped: SkippedFrame[];
}

export interface PosterOptions extends ReelctlOptions {
    /** Longest side in pixels, an integer of at least 1 (default 1024). */
    maxEdge?: number;
}

interface FramesCommonOptions extends ReelctlOptions, ProgressOptions {
    /**
     * Cap on the number of frames, an integer of at least 2, or Infinity for
     * no cap (default 20). Above the cap, frames are taken evenly from the
     * sample times, the first and the last always included.
     */
    max?: number;
    /** Longest side in pixels, an integer of at least 1 (default 512). */
    maxEdge?: number;
}

/**
 * How frames samples a video of duration d, with m = min(2% of d, 0.1 s):
 * with `interval`, at 0, interval, 2 x interval, ... before d, plus m, d / 2
 * and the end d - m; else `count` times spread evenly from 0 to the end
 * (default, and at least, 3). Sample times closer than 0.25 s to the one kept before are
 * dropped, then `max` caps the number. So `count` is an upper bound: a 1 s
 * video gives at most 4 frames, and more than 20 need `max`.
 */
export type FramesOptions = FramesCommonOptions & (
    | {
          /** Seconds between samples: a finite number of at least 0.25. Not with `count`. */
          interval?: number;
          count?: undefined;
      }
    | {
          interval?: undefined;
          /** Number of evenly spread samples, an integer of at least 3 (default 3). Not with `interval`. */
          count?: number;
      });

export function probe(input: string, options?: ReelctlOptions): Promise<ProbeResult>;
/** Writes the poster JPEG to `out`. */
export function poster(input: string, out: string, options?: PosterOptions): Promise<void>;
/**
 * Writes the frames and manifest.json into `outDir`; resolves to the
 * manifest and the sample times whose frames could not be grabbed (the run
 * still succeeds: every frame may be skipped).
 */
export function frames(input: string, outDir: string, options?: FramesOptions): Promise<FramesResult>;
/**
 * Re-encodes `input` into an MPEG-4 movie at `out`; resolves to the output
 * path reelctl printed. Aborting stops the export at its next packet; the
 * unfinished file is removed and an earlier file at `out` stays as it was.
 */
export function transcode(input: string, out: string, options?: TranscodeOptions): Promise<string>;

/** `pixsig --model`: the feature-print model identifier, "vision-fp-r2". */
export function model(options?: PixsigOptions): Promise<string>;
/** `pixsig --thumb-protocol`: the thumbnail protocol version, 1. */
export function thumbProtocol(options?: PixsigOptions): Promise<number>;

export interface FeaturePrint {
    id: string;
    ok: true;
    model: string;
    /** Number of floats, 1792. */
    dim: number;
    /** The unit-length print: `dim` little-endian 32-bit floats in Base64. */
    b64: string;
}

export interface ThumbRequest {
    /** The source image. */
    path: string;
    /** Where the JPEG thumbnail is written. */
    out: string;
    /** Longest side in pixels, an integer of at least 1 (default 512; never enlarged). */
    size?: number;
    /** JPEG quality above 0 and at most 1 (default 0.8). */
    quality?: number;
    /** Turn the pixels upright by the orientation instead of tagging it (default false). */
    transform?: boolean;
    /** EXIF orientation 1 to 8 to use instead of the file's. */
    orientation?: number;
    /**
     * Exact size, both width and height or neither: integers from 1 to 65500,
     * at most 50 megapixels together. The thumbnail is stretched to it.
     */
    width?: number;
    height?: number;
}

export interface Thumbnail {
    id: string;
    ok: true;
    width: number;
    height: number;
}

/** A request line of `pixsig --serve`: a feature print, or a thumbnail. */
export type PixsigRequest = { path: string; op?: undefined } | (ThumbRequest & { op: 'thumb' });

/** A response line of `pixsig --serve`, as parsed. */
export interface PixsigResponse {
    id: string;
    ok: boolean;
    error?: string;
    declined?: true;
    model?: string;
    dim?: number;
    b64?: string;
    width?: number;
    height?: number;
}

/**
 * A request that pixsig answered with "ok" false. `code`: DECLINED, WRITE,
 * DECODE, or for a file that could not be opened ENOENT, EACCES or
 * UNSUPPORTED (see {@link ErrorCode}).
 */
export class PixsigError extends Error {
    readonly name: 'PixsigError';
    readonly code: 'ENOENT' | 'EACCES' | 'UNSUPPORTED' | 'DECLINED' | 'DECODE' | 'WRITE' | 'USAGE';
    /** The image is of a kind that is not rendered (greyscale, alpha, 16-bit, ...). */
    readonly declined: boolean;
    readonly response: PixsigResponse;
}

/** A request's own options. */
export interface RequestOptions {
    /**
     * Milliseconds from the call (default: the pool's `timeout`, else none).
     * A request still waiting in the client just fails; one already written
     * ends its server (the protocol cannot cancel one request), whose other
     * requests are sent again. Rejects with a TimeoutError.
     */
    timeout?: number;
    /** Aborting fails the request with an AbortError, as a timeout would. */
    signal?: AbortSignal;
}

export interface PixsigPoolOptions {
    /** Number of servers, an integer from 1 to 1024 (PixsigPool: `os.availableParallelism()`; PixsigServer: 1). */
    size?: number;
    /** Most request lines written to one server and not yet answered, 1 to 1024 (default 16). */
    maxInFlight?: number;
    /** Default timeout of each request in milliseconds (default none). */
    timeout?: number;
    /** Path of the pixsig executable itself (default: see {@link configure}). */
    pixsig?: string;
    /** Working directory of the servers; relative paths in requests resolve against it. */
    cwd?: string;
    env?: NodeJS.ProcessEnv;
}

/**
 * `size` `pixsig --serve` processes, started as requests need them. Each
 * request goes to the server with the fewest unanswered requests; its answer
 * comes in its own promise. A server that ends by itself fails only the
 * request it was working on (ServerDiedError); its other requests are sent
 * again to a fresh server, each at most once, and the server is started
 * again when needed.
 *
 * Every request is checked before it is sent: a TypeError or RangeError
 * (code USAGE) for options pixsig would not take as meant, and for what it
 * would refuse without an answer (no string path, a lone UTF-16 surrogate, a
 * line over 16 MiB).
 *
 * Events: "exit" (status, signal) each time a server process ends; "stderr"
 * (text) for what a server writes to standard error.
 */
export class PixsigPool extends EventEmitter {
    constructor(options?: PixsigPoolOptions);
    readonly size: number;
    /** Process ids of the running servers, by slot (undefined: none runs there). */
    readonly pids: Array<number | undefined>;
    /** Requests written to a server and not yet answered. */
    readonly inFlight: number;
    /** Requests waiting to be written. */
    readonly queued: number;
    /** How many servers were started again after one had ended. */
    readonly restarts: number;
    /** Resolves to the response, "ok" false included. */
    request(fields: PixsigRequest, options?: RequestOptions): Promise<PixsigResponse>;
    /** Rejects with a PixsigError when the image cannot be printed. */
    print(path: string, options?: RequestOptions): Promise<FeaturePrint>;
    /** Rejects with a PixsigError (`declined`, `code`) when no thumbnail was written. */
    thumb(request: ThumbRequest, options?: RequestOptions): Promise<Thumbnail>;
    /** Answers everything accepted, ends the servers, resolves when they have exited. */
    close(): Promise<void>;
    /** Kills the servers; every unanswered request fails with an AbortError. */
    destroy(): void;
}

/** One `pixsig --serve` process: a PixsigPool of size 1. */
export class PixsigServer extends PixsigPool {
    /** The running server's process id, if one runs. */
    readonly pid: number | undefined;
}

/** A print's floats. */
export function decodePrint(print: FeaturePrint | string): Float32Array;
/** Cosine similarity of two prints (1: the same picture). */
export function cosine(a: FeaturePrint | string | Float32Array, b: FeaturePrint | string | Float32Array): number;
/** Cosines calibrated on real photos: at or above `copy` (0.9) the same picture, recompressed, resized or lightly edited; at or above `edited` (0.76) likely an edited copy (crop, rotation, mirror, exposure, watermark); below `different` (0.7) different pictures; between, unsure. */
export const thresholds: { readonly copy: number; readonly edited: number; readonly different: number };
/** The longest request line pixsig takes, in bytes. */
export const maxLineBytes: number;
