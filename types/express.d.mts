// The ESM entry: the same declarations as the CommonJS one.
export * from './express.js';
