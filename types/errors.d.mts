export * from './errors.js';
