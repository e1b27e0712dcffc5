'use strict';

// How the encoder names a place in a plain table (host/platform/userType) in
// its messages: plain names as they are, any other name quoted and cut short.
// A message names places, never a token.

const quote = (name) => JSON.stringify(name.length > 64 ? `${name.slice(0, 64)}...` : name);
const segment = (name) => (/^[A-Za-z0-9._:-]{1,64}$/.test(name) ? name : quote(name));
const showPath = (names) => names.map(segment).join('/');

// "a", "a and b", "a, b and c"
function listPaths(paths) {
  const shown = paths.map(showPath);
  return shown.length === 1 ? shown[0] : `${shown.slice(0, -1).join(', ')} and ${shown[shown.length - 1]}`;
}

module.exports = { quote, showPath, listPaths };
