'use strict';
// Loads the dragbridge add-on and exports its "start" and "pasteboard".
//   installed package: prebuilds/<platform>-<arch>/dragbridge.node beside this file
//   source checkout:   the CMake build's build/lib/dragbridge.node
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');

// An add-on the loader cannot link: the error names the shared libraries
// missing (ldd) and the Debian packages that have them, as recorded at build
// time in runtime-packages.json.
function load(file) {
    try {
        return require(file);
    } catch (error) {
        if (error.code !== 'ERR_DLOPEN_FAILED') throw error;
        let listing = '';
        try {
            listing = execFileSync('ldd', [file], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
        } catch {}
        const missing = [...listing.matchAll(/^\s*(\S+) => not found$/gm)].map((m) => m[1]);
        if (!missing.length) throw error;
        let known = {};
        try {
            known = JSON.parse(fs.readFileSync(path.join(path.dirname(file), 'runtime-packages.json'), 'utf8'));
        } catch {}
        const packages = [...new Set(missing.map((soname) => known[soname]).filter(Boolean))];
        const install = packages.length ? `; on Debian: apt-get install ${packages.join(' ')}` : '';
        throw new Error(`dragbridge: the shared libraries ${missing.join(', ')} are missing${install}`,
                        { cause: error });
    }
}

const prebuilds = path.join(__dirname, 'prebuilds');
if (fs.existsSync(prebuilds)) {
    const target = `${process.platform}-${process.arch}`;
    const file = path.join(prebuilds, target, 'dragbridge.node');
    if (!fs.existsSync(file)) {
        const have = fs.readdirSync(prebuilds).join(', ') || 'none';
        throw new Error(`dragbridge: no prebuilt add-on for ${target} (this package has: ${have})`);
    }
    module.exports = load(file);
} else {
    module.exports = load(path.join(__dirname, '..', 'build', 'lib', 'dragbridge.node'));
}
