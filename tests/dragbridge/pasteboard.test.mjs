import test from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import v8 from 'node:v8';
import vm from 'node:vm';
import { addon, report, titledURLsType } from './addon.mjs';

const keys = ['files', 'firstTypes', 'items', 'sameByName', 'secondTypes', 'titles', 'urlList'];
const empty = {
    items: 0, files: [], urlList: [], titles: [], sameByName: false, firstTypes: [], secondTypes: [],
};

test('the report is compact JSON with exactly seven keys of the right types', () => {
    const text = addon.pasteboard({ files: ['/tmp/a.mov', '/tmp/b.mov'] });
    assert.equal(typeof text, 'string');
    assert.doesNotMatch(text, /\s/);
    const r = JSON.parse(text);
    assert.deepEqual(Object.keys(r).sort(), keys);
    assert.ok(Number.isInteger(r.items) && r.items >= 0);
    assert.equal(typeof r.sameByName, 'boolean');
    for (const k of ['files', 'urlList', 'titles', 'firstTypes', 'secondTypes']) {
        assert.ok(Array.isArray(r[k]), k);
    }
    for (const k of ['files', 'urlList', 'titles', 'firstTypes', 'secondTypes']) {
        for (const v of r[k]) assert.equal(typeof v, 'string', k);
    }
});

test('no usable file gives the empty report and never throws', () => {
    const cases = [
        [], [undefined], [null], [42], ['files'], [{}], [{ files: null }], [{ files: 'a.mov' }],
        [{ files: { 0: '/tmp/a', length: 1 } }], [{ files: [] }], [{ files: [5, '', null, {}, []] }],
        [{ get files() { throw new Error('getter'); } }],
        [new Proxy({}, { get() { throw new Error('proxy'); } })],
    ];
    for (const [i, args] of cases.entries()) {
        assert.deepEqual(report(...args), empty, `case ${i}`);
    }
});

test('non-string, empty and null entries are skipped; order and duplicates stay', () => {
    const r = report({ files: ['/tmp/one.mp4', 5, '', null, '/tmp/two.mp4', '/tmp/one.mp4'] });
    assert.equal(r.items, 3);
    assert.deepEqual(r.files, ['/tmp/one.mp4', '/tmp/two.mp4', '/tmp/one.mp4']);
    assert.deepEqual(r.urlList, ['file:///tmp/one.mp4', 'file:///tmp/two.mp4', 'file:///tmp/one.mp4']);
    assert.deepEqual(r.titles, ['', '', '']);
});

test('entries that name no file are skipped: embedded NUL, lone surrogates', () => {
    const r = report({ files: ['/tmp/a\0/etc/passwd', '/tmp/\uD800x', '/tmp/\uDC00', '/tmp/ok\uFFFD.png'] });
    // Only the real U+FFFD survives; nothing is cut at the NUL.
    assert.deepEqual(r.files, ['/tmp/ok\uFFFD.png']);
    assert.equal(r.items, 1);
});

test('a throwing element is skipped and the others are kept', () => {
    const files = ['/tmp/a', 'placeholder', '/tmp/c'];
    Object.defineProperty(files, 1, { get() { throw new Error('element'); } });
    const r = report({ files });
    assert.deepEqual(r.files, ['/tmp/a', '/tmp/c']);
    // Holes read as undefined and are skipped too.
    assert.deepEqual(report({ files: ['/tmp/a', , '/tmp/c'] }).files, ['/tmp/a', '/tmp/c']);
});

test('a sparse "files" array is read by its real entries, in index order', () => {
    const sparse = (length, entries) => {
        const a = [];
        a.length = length;
        for (const [i, v] of entries) a[i] = v;
        return a;
    };
    // A hole on the array that the prototype fills counts, as reading it does.
    const inherited = sparse(4, [[0, '/tmp/own.mov']]);
    Object.setPrototypeOf(inherited, Object.assign(Object.create(Array.prototype), { 2: '/tmp/inherited.mov', 9: '/tmp/beyond.mov' }));
    const hidden = ['/tmp/a.mov'];
    Object.defineProperty(hidden, 1, { value: '/tmp/hidden.mov', enumerable: false });
    const cases = [
        [sparse(2 ** 32 - 1, [[2 ** 32 - 2, '/tmp/3.mov'], [7, '/tmp/1.mov'], [2 ** 31, '/tmp/2.mov']]),
            ['/tmp/1.mov', '/tmp/2.mov', '/tmp/3.mov']],
        [sparse(2 ** 32 - 1, [[1e6, 5], [2e6, null], [3e6, '']]), []],
        [inherited, ['/tmp/own.mov', '/tmp/inherited.mov']],
        [hidden, ['/tmp/a.mov', '/tmp/hidden.mov']],
    ];
    for (const [i, [files, expected]] of cases.entries()) {
        assert.deepEqual(report({ files }).files, expected, `case ${i}`);
    }
});

test('a path longer than PATH_MAX bytes is dropped; one of PATH_MAX bytes is kept', () => {
    const PATH_MAX = 4096;
    const cases = [
        ['/' + 'p'.repeat(PATH_MAX - 1), true],
        ['/' + '\u00e9'.repeat(PATH_MAX / 2 - 1) + 'x', true],  // 2048 characters, 4096 bytes
        ['/' + 'p'.repeat(PATH_MAX), false],
        ['/' + '\u00e9'.repeat(PATH_MAX / 2), false],  // 2049 characters, 4097 bytes
        ['/' + 'x'.repeat(1e8), false],
    ];
    const r = report({ files: ['/tmp/first', ...cases.map(([path]) => path), '/tmp/last'] });
    const kept = cases.filter(([, keep]) => keep).map(([path]) => path);
    assert.deepEqual(r.files, ['/tmp/first', ...kept, '/tmp/last']);
});

test('one file: its types then the titled-URL type, no second item', () => {
    const r = report({ files: ['/tmp/only.jpg'] });
    assert.equal(r.items, 1);
    assert.deepEqual(r.secondTypes, []);
    assert.equal(r.firstTypes[0], 'text/uri-list');
    assert.equal(r.firstTypes[1], 'text/plain;charset=utf-8');
    assert.equal(r.firstTypes.at(-1), titledURLsType);
    assert.equal(r.firstTypes.indexOf(titledURLsType), r.firstTypes.length - 1);
    assert.deepEqual(r.urlList, ['file:///tmp/only.jpg']);
    assert.deepEqual(r.titles, ['']);
    assert.deepEqual(r.files, ['/tmp/only.jpg']);
    assert.equal(r.sameByName, true);
});

test('two and three files: later items are plain file URLs in drag order', () => {
    const two = report({ files: ['/tmp/1.png', '/tmp/2.png'] });
    assert.equal(two.items, 2);
    assert.deepEqual(two.secondTypes, two.firstTypes.slice(0, -1));
    assert.ok(!two.secondTypes.includes(titledURLsType));
    assert.deepEqual(two.urlList, ['file:///tmp/1.png', 'file:///tmp/2.png']);
    assert.deepEqual(two.titles, ['', '']);
    assert.equal(two.sameByName, true);

    const three = report({ files: ['/tmp/1.png', '/tmp/2.png', '/tmp/3.png'] });
    assert.equal(three.items, 3);
    assert.deepEqual(three.files, ['/tmp/1.png', '/tmp/2.png', '/tmp/3.png']);
    assert.deepEqual(three.urlList, ['file:///tmp/1.png', 'file:///tmp/2.png', 'file:///tmp/3.png']);
    assert.deepEqual(three.titles, ['', '', '']);
});

test('"files" comes from reading the pasteboard, not from the input', () => {
    const r = report({ files: ['clip.mov', './sub/../x.png'] });
    // Relative paths come back absolute, and are not normalised.
    assert.deepEqual(r.files, [path.join(process.cwd(), 'clip.mov'), process.cwd() + '/./sub/../x.png']);
    assert.equal(fileURLToPath(r.urlList[0]), r.files[0]);
    assert.ok(r.urlList[1].endsWith('/./sub/../x.png'), r.urlList[1]);
});

test('spaces, non-ASCII and "%" survive the URL form', () => {
    const paths = [
        '/tmp/with space/a b.mov', '/tmp/100%/50%25.jpg', '/tmp/café/日本語.heic', '/tmp/emoji 🎬.mp4',
        '/tmp/q?x#y.png', "/tmp/sh'ell\"s;&.gif",
    ];
    const r = report({ files: paths });
    assert.deepEqual(r.files, paths);
    assert.equal(r.urlList.length, paths.length);
    for (const [i, url] of r.urlList.entries()) {
        assert.match(url, /^file:\/\/\/[\x21-\x7e]+$/, url);  // percent-encoded ASCII
        assert.doesNotMatch(url, /[?#]/, url);
        assert.equal(fileURLToPath(url), paths[i]);
    }
});

test('a thousand files make a thousand items', () => {
    const files = Array.from({ length: 1000 }, (_, i) => `/tmp/many/${i}.jpg`);
    const r = report({ files });
    assert.equal(r.items, 1000);
    assert.deepEqual(r.files, files);
});

test('nothing piles up over 10,000 calls', (t) => {
    v8.setFlagsFromString('--expose-gc');
    const gc = vm.runInNewContext('gc');
    const files = Array.from({ length: 8 }, (_, i) => `/tmp/leak check/${'x'.repeat(200)}/${i}.mov`);
    for (let i = 0; i < 500; i++) addon.pasteboard({ files });  // warm up
    gc();
    const before = process.memoryUsage().rss;
    for (let i = 0; i < 10000; i++) addon.pasteboard({ files });
    gc();
    const after = process.memoryUsage().rss;
    const growth = (after - before) / 2 ** 20;
    t.diagnostic(`rss before ${(before / 2 ** 20).toFixed(1)} MiB, after ${(after / 2 ** 20).toFixed(1)} MiB`);
    // Keeping even just each call's 4 KiB JSON text would add some 40 MiB;
    // keeping its pasteboard, several times that.
    assert.ok(growth < 16, `resident memory grew by ${growth.toFixed(1)} MiB`);
});
