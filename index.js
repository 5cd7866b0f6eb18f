'use strict';
// LIBQUELBAR_ADDON names another build of the module (the sanitizer build of scripts/test-asan).
module.exports = require(process.env.LIBQUELBAR_ADDON || './build/quelbar.node');
