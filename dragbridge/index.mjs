// The add-on as an ES module: the CommonJS module's exports, named (Node.js
// cannot see the names of an add-on loaded by require()).
import { createRequire } from 'node:module';

const dragbridge = createRequire(import.meta.url)('./index.js');

export const { start, pasteboard } = dragbridge;
export default dragbridge;
