// The CommonJS entries carry the same declarations.
import hv = require('header-validator');
import errors = require('header-validator/errors');
import fastifyEntry = require('header-validator/fastify');

const check: Promise<boolean> = hv.validateRequestAsync('x', 'ANDROID', 'STORE', 'example.com');
const info: hv.TableInfo = hv.tableInfo();
const same: boolean = hv.HeaderValidatorError === errors.HeaderValidatorError;
const plugin = fastifyEntry.fastifyHeaderValidator;

export { check, info, same, plugin };
