'use strict';
module.exports = require('./build/quelbar.node');
