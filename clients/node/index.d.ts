/// <reference types="node" />
// Declarations of the Node client for reelctl and pixsig (dragbridge/client).
import { EventEmitter } from 'events';

/** Options every call that starts a tool takes. */
export interface RunOptions {
    /** Working directory of the tool; relative paths resolve against it. */
    cwd?: string;
    env?: NodeJS.ProcessEnv;
    /** Aborting ends the tool (SIGTERM) and rejects with an AbortError. */
    signal?: AbortSignal;
}

export interface ReelctlOptions extends RunOptions {
    /** Path of the reelctl executable (default: beside the package, else on PATH). */
    reelctl?: string;
}

export interface PixsigOptions extends RunOptions {
    /** Path of the pixsig executable (default: beside the package, else on PATH). */
    pixsig?: string;
}

/** A tool's run that failed: its exit status and its own message. */
export class ToolError extends Error {
    readonly name: 'ToolError';
    readonly tool: 'reelctl' | 'pixsig';
    readonly args: string[];
    /**
     * Exit status: 64 usage, 65 unusable media, 66 missing input, 72 JPEG
     * encoding, 73 file writing, 74 poster grab, 75 transcode; null when a
     * signal ended the tool or it could not be started (see `cause`).
     */
    readonly status: number | null;
    readonly signal: NodeJS.Signals | null;
    /** Everything the tool wrote to standard error. */
    readonly stderr: string;
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

export interface PosterOptions extends ReelctlOptions {
    /** Longest side in pixels (default 1024). */
    maxEdge?: number;
}

export interface FramesOptions extends ReelctlOptions {
    /** Seconds between samples. */
    interval?: number;
    /** Number of evenly spread samples when no interval is given (default 3). */
    count?: number;
    /** Cap on the number of frames (default 20; below 2: no cap). */
    max?: number;
    /** Longest side in pixels (default 512). */
    maxEdge?: number;
}

export function probe(input: string, options?: ReelctlOptions): Promise<ProbeResult>;
/** Writes the poster JPEG to `out`. */
export function poster(input: string, out: string, options?: PosterOptions): Promise<void>;
export function frames(input: string, outDir: string, options?: FramesOptions): Promise<FramesManifest>;
/** Re-encodes `input` into an MPEG-4 movie at `out`; resolves to the output path reelctl printed. */
export function transcode(input: string, out: string, options?: ReelctlOptions): Promise<string>;

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
    /** Longest side in pixels (default 512; never enlarged). */
    size?: number;
    /** JPEG quality from 0 to 1 (default 0.8). */
    quality?: number;
    /** Turn the pixels upright by the orientation instead of tagging it (default false). */
    transform?: boolean;
    /** EXIF orientation 1 to 8 to use instead of the file's. */
    orientation?: number;
    /** Exact size: both width and height, or neither. */
    width?: number;
    height?: number;
}

export interface Thumbnail {
    id: string;
    ok: true;
    width: number;
    height: number;
}

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

/** A request that pixsig answered with "ok" false. */
export class PixsigError extends Error {
    readonly name: 'PixsigError';
    /** The image is of a kind that is not rendered (greyscale, alpha, 16-bit, ...). */
    readonly declined: boolean;
    readonly response: PixsigResponse;
}

export interface PixsigServerOptions {
    pixsig?: string;
    cwd?: string;
    env?: NodeJS.ProcessEnv;
    /** Most request lines written and not yet answered (default 16). */
    maxInFlight?: number;
}

/**
 * One `pixsig --serve` process, started at the first request. Answers come in
 * request order; a server that dies fails the requests it had been sent and is
 * started again for the rest.
 *
 * Events: "exit" (status, signal) each time a server process ends; "stderr"
 * (text) for what it writes to standard error.
 */
export class PixsigServer extends EventEmitter {
    constructor(options?: PixsigServerOptions);
    /** The running server's process id, if one runs. */
    readonly pid: number | undefined;
    /** Requests written to the server and not yet answered. */
    readonly inFlight: number;
    /** Requests waiting to be written. */
    readonly queued: number;
    /** How many times a server was started after the first. */
    readonly restarts: number;
    /**
     * Any request object with a string "path" (its "id" is the client's own);
     * resolves to the response, "ok" false included. Rejects with a TypeError or
     * RangeError, sending nothing, for what the server would refuse (no string
     * path, a lone UTF-16 surrogate, a line over 16 MiB).
     */
    request(fields: { path: string; [key: string]: unknown }): Promise<PixsigResponse>;
    print(path: string): Promise<FeaturePrint>;
    thumb(request: ThumbRequest): Promise<Thumbnail>;
    /** Answers everything accepted, ends the server, resolves when it has exited. */
    close(): Promise<void>;
    /** Kills the server; every unanswered request fails. */
    destroy(): void;
}

/** A print's floats. */
export function decodePrint(print: FeaturePrint | string): Float32Array;
/** Cosine similarity of two prints (1: the same picture). */
export function cosine(a: FeaturePrint | string | Float32Array, b: FeaturePrint | string | Float32Array): number;
/** At or above `copy`: a resized or recompressed copy; at or above `edited`: very likely an edited copy; below `different`: different pictures. */
export const thresholds: { readonly copy: number; readonly edited: number; readonly different: number };
/** The longest request line pixsig takes, in bytes. */
export const maxLineBytes: number;
