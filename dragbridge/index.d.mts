// Declarations of the add-on as an ES module (index.mjs): the same names.
export * from './index.js';
import * as dragbridge from './index.js';
export default dragbridge;
