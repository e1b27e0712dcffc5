// The CommonJS entry carries the same declarations.
import hv = require('header-validator');

const check: Promise<boolean> = hv.validateRequestAsync('x', 'ANDROID', 'STORE', 'example.com');
const info: hv.TableInfo = hv.tableInfo();

export { check, info };
