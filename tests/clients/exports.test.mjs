// Every name the declarations of dragbridge and dragbridge/client export
// exists at run time with the declared kind, imported from an ES module and
// required from CommonJS: a package laid out as installed, from the sources.
import test from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, rmSync, symlinkSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { checkExports } from './declared_exports.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const skip = !existsSync(path.join(root, 'build/lib/dragbridge.node')) && 'the add-on is not built in build/lib';

test('declared exports exist at run time, as ES module and as CommonJS', { skip }, async (t) => {
    const project = mkdtempSync(path.join(os.tmpdir(), 'exports-test-'));
    t.after(() => rmSync(project, { recursive: true, force: true }));
    const pkg = path.join(project, 'node_modules/dragbridge');
    mkdirSync(pkg, { recursive: true });
    for (const file of ['index.js', 'index.mjs', 'index.d.ts', 'index.d.mts', 'package.json'])
        symlinkSync(path.join(root, 'dragbridge', file), path.join(pkg, file));
    symlinkSync(path.join(root, 'clients/node'), path.join(pkg, 'client'));

    const results = await checkExports(project, ['dragbridge', 'dragbridge/client'],
                                       [path.join(root, 'node_modules/@types')]);
    for (const [entry, { declared, mismatches }] of Object.entries(results)) {
        assert.deepEqual(mismatches, [], entry);
        const names = declared.map(([name]) => name);
        const want = entry.startsWith('dragbridge/client') ? ['PixsigPool', 'frames', 'configure', 'ServerDiedError']
            : ['start', 'pasteboard'];
        for (const name of want) assert.ok(names.includes(name), `${entry} declares ${name}`);
        assert.equal(names.includes('default'), entry.endsWith('(import)'), `${entry}: a default export`);
    }
});
