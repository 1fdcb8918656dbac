'use strict';
// Loads the dragbridge add-on built by the project's CMake build
// (build/lib/dragbridge.node); exports its "start" and "pasteboard".
const path = require('path');

module.exports = require(path.join(__dirname, '..', 'build', 'lib', 'dragbridge.node'));
