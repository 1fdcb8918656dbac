'use strict';
// Loads the dragbridge add-on and exports its "start" and "pasteboard".
//   installed package: prebuilds/<platform>-<arch>/dragbridge.node beside this file
//   source checkout:   the CMake build's build/lib/dragbridge.node
const fs = require('fs');
const path = require('path');

const prebuilds = path.join(__dirname, 'prebuilds');
if (fs.existsSync(prebuilds)) {
    const target = `${process.platform}-${process.arch}`;
    const file = path.join(prebuilds, target, 'dragbridge.node');
    if (!fs.existsSync(file)) {
        const have = fs.readdirSync(prebuilds).join(', ') || 'none';
        throw new Error(`dragbridge: no prebuilt add-on for ${target} (this package has: ${have})`);
    }
    module.exports = require(file);
} else {
    module.exports = require(path.join(__dirname, '..', 'build', 'lib', 'dragbridge.node'));
}
