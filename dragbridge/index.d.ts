/// <reference types="node" />
// Declarations of the dragbridge add-on: file drags out of a host window on
// X11 (or XWayland), and a report of what such a drag offers.

/** Options of {@link start}. */
export interface StartOptions {
    /**
     * The host window: an 8-byte buffer holding its X11 window id in machine
     * byte order. Electron's `BrowserWindow.getNativeWindowHandle()` gives the
     * id in 4 bytes on Linux; widen it first (see docs/host.md), for example
     * `const h = Buffer.alloc(8); h.writeBigUInt64LE(BigInt(w.readUInt32LE(0)));`.
     */
    handle: Buffer;
    /** The files to drag, in order. Entries that cannot name a file are skipped. */
    files: string[];
    /** The drag icon: encoded image data (PNG, JPEG, WebP, SVG, ...). */
    icon: Buffer;
    /** Display width of the icon in pixels; used when width and height are both positive. */
    width?: number;
    /** Display height of the icon in pixels; used when width and height are both positive. */
    height?: number;
}

/**
 * Begins a drag of `files` out of the window `handle`, as if the left button
 * were being dragged at the pointer's current position, with `icon` under the
 * pointer. Returns true once the drag is requested; it then runs on the
 * JavaScript thread's event loop.
 *
 * Throws an `Error` with one of these messages, checked in this order:
 * "Invalid native window handle" (not an 8-byte buffer), "Native window is
 * unavailable" (id 0, no X display, or no such window), "No files to drag",
 * "Invalid drag icon".
 */
export function start(options: StartOptions): boolean;

/** Options of {@link pasteboard}. */
export interface PasteboardOptions {
    /** The files a drag would carry. Entries that cannot name a file are skipped. */
    files: string[];
}

/** The report that {@link pasteboard} returns as JSON text, once parsed. */
export interface PasteboardReport {
    /** Number of pasteboard items: one per usable file (0 when none is usable). */
    items: number;
    /** The file paths read back from the pasteboard's file URLs, in order. */
    files: string[];
    /** The `file://` URLs of the titled-URL list, in drag order ([] when there is none). */
    urlList: string[];
    /** One title per URL of `urlList` (each ""). */
    titles: string[];
    /** Whether the legacy type name reads back the same titled-URL list. */
    sameByName: boolean;
    /** Types of the first item, in the order they are offered. */
    firstTypes: string[];
    /** Types of the second item ([] with fewer than two items). */
    secondTypes: string[];
}

/**
 * Writes what a drag of `files` would offer to a private pasteboard and
 * returns what reads back, as compact JSON text of the shape
 * {@link PasteboardReport} (`JSON.parse` it). Never throws.
 */
export function pasteboard(options: PasteboardOptions): string;
