// The client as an ES module: the CommonJS module's exports, named.
import { createRequire } from 'node:module';

const client = createRequire(import.meta.url)('./index.js');

export const {
    configure, probe, poster, frames, transcode, model, thumbProtocol, PixsigPool, PixsigServer,
    ToolError, ServerDiedError, PixsigError, TimeoutError, AbortError, decodePrint, cosine, thresholds,
    maxLineBytes,
} = client;
export default client;
