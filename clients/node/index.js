'use strict';
// A Node.js client for the reelctl and pixsig command-line tools.
//
//   reelctl: probe, poster, frames and transcode each start one reelctl
//   process and resolve to its parsed result (frames: the manifest and the
//   frames it skipped), or reject with a ToolError carrying the exit status,
//   the tool's message and a code. frames and transcode tell onProgress how
//   far they are.
//
//   pixsig: PixsigPool keeps N `pixsig --serve` processes (one a processor
//   by default), sends each request to the least loaded, and takes a timeout
//   and an AbortSignal per request; PixsigServer is a pool of one.
//
// Options are checked before anything starts (TypeError, RangeError). Every
// error carries a stable `code` (errors.js). configure({binDir}) says where
// the tools are; by default they are found beside this package, then beside
// an installed prefix, then on PATH (tools.js).
const { configure } = require('./tools');
const { probe, poster, frames, transcode } = require('./reelctl');
const { model, thumbProtocol, PixsigPool, PixsigServer, decodePrint, cosine, thresholds, maxLineBytes } =
    require('./pixsig');
const { ToolError, ServerDiedError, PixsigError, TimeoutError, AbortError } = require('./errors');

module.exports = {
    configure, probe, poster, frames, transcode, model, thumbProtocol, PixsigPool, PixsigServer,
    ToolError, ServerDiedError, PixsigError, TimeoutError, AbortError, decodePrint, cosine, thresholds,
    maxLineBytes,
};
