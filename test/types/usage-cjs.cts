// The CommonJS entries carry the same declarations.
import hv = require('header-validator');
import errors = require('header-validator/errors');
import fastifyEntry = require('header-validator/fastify');
import expressEntry = require('header-validator/express');

const check: Promise<boolean> = hv.validateRequestAsync('x', 'ANDROID', 'STORE', 'example.com');
const info: hv.TableInfo = hv.tableInfo();
const same: boolean = hv.HeaderValidatorError === errors.HeaderValidatorError;
const plugin = fastifyEntry.fastifyHeaderValidator;
const middleware = expressEntry.authMiddleware({ host: 'example.com' });
const httpErrors: boolean = hv.HeaderValidatorHttpError === expressEntry.HeaderValidatorHttpError;

export { check, info, same, plugin, middleware, httpErrors };
