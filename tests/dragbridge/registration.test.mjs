import test from 'node:test';
import assert from 'node:assert/strict';
import { addon, addonPath } from './addon.mjs';

test('the add-on exports exactly "start" and "pasteboard" as functions', () => {
    assert.deepEqual(Object.getOwnPropertyNames(addon).sort(), ['pasteboard', 'start']);
    assert.equal(typeof addon.start, 'function');
    assert.equal(typeof addon.pasteboard, 'function');
});

test('process.dlopen loads it into a fresh exports object too', () => {
    const module = { exports: {} };
    process.dlopen(module, addonPath);
    assert.deepEqual(Object.getOwnPropertyNames(module.exports).sort(), ['pasteboard', 'start']);
    assert.equal(typeof JSON.parse(module.exports.pasteboard({ files: ['/tmp/x'] })).items, 'number');
});

test('the package entry loads the built add-on', { skip: process.env.DRAGBRIDGE_ADDON && 'DRAGBRIDGE_ADDON names another build' }, async () => {
    const { createRequire } = await import('node:module');
    const require = createRequire(import.meta.url);
    const entry = require('../..');
    assert.deepEqual(Object.getOwnPropertyNames(entry).sort(), ['pasteboard', 'start']);
    assert.equal(entry.pasteboard, addon.pasteboard);
});
