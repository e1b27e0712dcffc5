// ESLint's recommended rules for all JavaScript and TypeScript in the
// repository; formatting is Prettier's job (see .prettierrc.json).
import js from '@eslint/js';
import prettier from 'eslint-config-prettier';
import globals from 'globals';
import tseslint from 'typescript-eslint';

export default tseslint.config(
  { ignores: ['node_modules/', 'build/', 'build-*/', 'bench/results/', 'prebuilds/'] },
  {
    files: ['**/*.js', '**/*.cjs'],
    ...js.configs.recommended,
    languageOptions: { ecmaVersion: 2024, sourceType: 'commonjs', globals: { ...globals.node } },
  },
  {
    files: ['**/*.mjs'],
    ...js.configs.recommended,
    languageOptions: { ecmaVersion: 2024, sourceType: 'module', globals: { ...globals.node } },
  },
  {
    files: ['**/*.ts', '**/*.mts', '**/*.cts'],
    extends: [tseslint.configs.recommended],
    languageOptions: { globals: { ...globals.node } },
  },
  {
    // `import x = require(...)` is how a CommonJS TypeScript consumer imports.
    files: ['**/*.cts'],
    rules: { '@typescript-eslint/no-require-imports': 'off' },
  },
  {
    files: ['**/*.js', '**/*.cjs', '**/*.mjs'],
    rules: { 'no-unused-vars': ['error', { argsIgnorePattern: '^_', caughtErrors: 'none' }] },
  },
  prettier,
  {
    // Prettier wraps code but never strings or comments; those are held to the same width.
    rules: { 'max-len': ['error', { code: 120, ignoreUrls: true, ignoreRegExpLiterals: true }] },
  },
);
