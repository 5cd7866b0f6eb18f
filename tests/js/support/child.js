'use strict';
// Runs a script in a child Node process against the local peers, for cases whose memory, garbage
// collection or end of process must be their own. The script finds the module at QUELBAR_ROOT and
// prints its JSON result on exit; a child that does not end by itself fails the test.
const assert = require('node:assert');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const peers = require('./peers');

const root = path.resolve(__dirname, '..', '..', '..');
const CHILD_TIMEOUT_MS = 60000;

function runChild(script, env = {}) {
  const result = spawnSync(process.execPath, ['--expose-gc', '-e', script], {
    env: { ...process.env, ...peers.load().vars, ...env, QUELBAR_ROOT: root },
    timeout: CHILD_TIMEOUT_MS,
    encoding: 'utf8',
  });
  assert.strictEqual(result.signal, null, `the process did not end by itself: ${result.stderr}`);
  assert.strictEqual(result.status, 0, result.stderr);
  return JSON.parse(result.stdout);
}

module.exports = { runChild };
