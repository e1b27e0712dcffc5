// The ESM entry: the same declarations as the CommonJS one, plus the default
// export (the whole CommonJS module object).
import * as headerValidator from './index.js';

export * from './index.js';
export default headerValidator;
