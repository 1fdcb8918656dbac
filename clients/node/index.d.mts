// Declarations of the client as an ES module (index.mjs): the same names.
export * from './index.js';
import * as client from './index.js';
export default client;
