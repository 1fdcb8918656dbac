// Loads the add-on under test: $DRAGBRIDGE_ADDON, else build/lib/dragbridge.node.
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const addonPath = path.resolve(root, process.env.DRAGBRIDGE_ADDON || 'build/lib/dragbridge.node');
export const addon = createRequire(import.meta.url)(addonPath);

export const titledURLsType = 'dyn.ah62d4rv4gu8zs3pcnzme2641rf4guzdmsv0gn64uqm10c6xenv61a3k';

// The report of `pasteboard`, parsed.
export function report(...args) {
    const text = addon.pasteboard(...args);
    return JSON.parse(text);
}
