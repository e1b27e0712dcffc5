'use strict';

// The switches that let public demo tokens through each stage after the
// encoder (whose switch is its --allow-demo-tokens option), as one family of
// environment variables, each set to 1. The build's is also the name of its
// CMake cache option (CMakeLists.txt states it for the build's side). The
// names these had before still work, with a warning, until 0.2.0.

const DEPRECATED_UNTIL = '0.2.0';

const DEMO_TOKEN_SWITCHES = Object.freeze({
  build: Object.freeze({
    name: 'HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_BUILD',
    deprecated: 'HEADER_VALIDATOR_ALLOW_DEMO_TOKENS',
  }),
  package: Object.freeze({
    name: 'HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PACKAGE',
    deprecated: 'HEADER_VALIDATOR_ALLOW_DEMO_PACK',
  }),
  production: Object.freeze({
    name: 'HEADER_VALIDATOR_ALLOW_DEMO_TOKENS_IN_PRODUCTION',
    deprecated: 'HEADER_VALIDATOR_ALLOW_DEMO',
  }),
});

/**
 * Whether the stage's switch is set to 1 in env, under its name or its
 * deprecated one, and what to say when the deprecated one was used.
 * @param {'build' | 'package' | 'production'} stage
 * @param {Record<string, string | undefined>} [env]
 * @returns {{ on: boolean, deprecation: string | undefined }}
 */
function demoSwitch(stage, env = process.env) {
  const { name, deprecated } = DEMO_TOKEN_SWITCHES[stage];
  const old = env[deprecated] === '1';
  return {
    on: env[name] === '1' || old,
    deprecation: old
      ? `${deprecated}=1 is deprecated and stops working in version ${DEPRECATED_UNTIL}: set ${name}=1 instead`
      : undefined,
  };
}

/**
 * For a script that hands its environment to others: says once, through
 * warn, for each of these stages that its deprecated name is used, and passes
 * the switch on under its new name only.
 * @param {('build' | 'package')[]} stages
 * @param {Record<string, string | undefined>} env changed in place
 * @param {(line: string) => void} warn
 */
function renameDeprecatedSwitches(stages, env, warn) {
  for (const stage of stages) {
    const { deprecation } = demoSwitch(stage, env);
    if (deprecation === undefined) continue;
    warn(deprecation);
    const { name, deprecated } = DEMO_TOKEN_SWITCHES[stage];
    env[name] = '1';
    delete env[deprecated];
  }
}

module.exports = { DEMO_TOKEN_SWITCHES, demoSwitch, renameDeprecatedSwitches };
