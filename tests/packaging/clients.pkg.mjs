// The Node client's tests again, as installed: the client of the install
// tree finding the tools beside its package, and the one of the Debian
// package's extracted root.
import test from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { made, root, run, skip } from './env.mjs';

const cases = made ? [
    ['install tree', path.join(made.prefix, 'lib/node_modules/dragbridge/client/index.js')],
    ['Debian package', path.join(made.debRoot, 'usr/lib/node_modules/dragbridge/client/index.js')],
] : [];

for (const [name, module] of cases) {
    test(`the client of the ${name} passes the client tests with the tools beside it`, { skip }, async () => {
        const env = { ...process.env, CLIENT_MODULE: module, TOOLS_BIN: '' };
        delete env.NODE_TEST_CONTEXT;  // a test run of its own, reporting as text
        const result = await run(process.execPath, ['--test', path.join(root, 'tests/clients/client.test.mjs')],
                                 { env, cwd: root });
        assert.equal(result.status, 0, result.stdout + result.stderr);
        assert.match(result.stdout, /^# fail 0$/m);
        // The test that leaves the lookup to the client ran, not skipped.
        assert.match(result.stdout, /^ok \d+ - the client finds the tools itself when installed$/m);
    });
}
