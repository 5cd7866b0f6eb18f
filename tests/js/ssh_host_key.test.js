'use strict';
// The host-key check: what knownhostsCallback is told, what its answer does, and known-hosts lines.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const { execFileSync } = require('node:child_process');
const peers = require('./support/peers');
const { session } = require('./support/ssh_session');

const NOT_FOUND = 2;
const MISMATCH = 1;

function md5Fingerprint(publicKeyFile) {
  // "256 MD5:aa:bb:... comment (ED25519)"
  const out = execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f', publicKeyFile]).toString();
  return /MD5:([0-9a-f:]+)/.exec(out)[1];
}

function publicKeyText(publicKeyFile) {
  return fs.readFileSync(publicKeyFile, 'utf8').trim().split(/\s+/).slice(0, 2).join(' ');
}

test('knownhostsCallback gets the check result, MD5 fingerprint, key text and type name', async (t) => {
  const p = peers.load();
  for (const [kind, typeName] of [['ed25519', 'ED25519'], ['ecdsa', 'ECDSA'], ['rsa', 'RSA']]) {
    await t.test(kind, async () => {
      const record = await session({ port: String(p.sshd[kind]), knownhosts: [] });
      assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
      const publicKeyFile = `${p.hostKeys[kind]}.pub`;
      assert.deepStrictEqual(record.hostKeys, [{
        result: NOT_FOUND,
        fingerprint: md5Fingerprint(publicKeyFile),
        publicKey: publicKeyText(publicKeyFile),
        type: typeName,
      }]);
      assert.match(record.hostKeys[0].fingerprint, /^([0-9a-f]{2}:){15}[0-9a-f]{2}$/);
    });
  }
});

test('refusing the key ends the session without an error', async () => {
  const record = await session({}, { hostKey: (done) => done(false) });
  assert.deepStrictEqual(record.events, ['hostkey', 'disconnected']);
});

test('a later answer continues the session', async () => {
  const record = await session({}, { hostKey: (done) => setTimeout(() => done(true), 200) });
  assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
});

test('a matching known-hosts line connects without asking', async (t) => {
  const p = peers.load();
  const lines = fs.readFileSync(p.knownHosts, 'utf8').split('\n');
  for (const kind of ['ed25519', 'ecdsa', 'rsa']) {
    await t.test(kind, async () => {
      const record = await session({ port: String(p.sshd[kind]), knownhosts: ['# comment', 7, ...lines] },
                                   { hostKey: () => assert.fail('asked about a known key') });
      assert.deepStrictEqual(record.events, ['question', 'connected', 'disconnected']);
    });
  }
  await t.test('a plain host line matches any port', async () => {
    const key = publicKeyText(`${p.hostKeys.ed25519}.pub`);
    const record = await session({ port: String(p.sshd.ed25519), knownhosts: [`127.0.0.1 ${key}`] },
                                 { hostKey: () => assert.fail('asked about a known key') });
    assert.deepStrictEqual(record.events, ['question', 'connected', 'disconnected']);
  });
});

test('a line with another key of the same type is reported as a mismatch', async () => {
  const p = peers.load();
  const other = `${p.dir}/ssh_host_key_test_other`;
  if (!fs.existsSync(other)) {
    execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-C', '', '-f', other]);
  }
  const line = `[127.0.0.1]:${p.sshd.ed25519} ${publicKeyText(`${other}.pub`)}`;
  const record = await session({ port: String(p.sshd.ed25519), knownhosts: [line] },
                               { hostKey: (done) => done(false) });
  assert.deepStrictEqual(record.events, ['hostkey', 'disconnected']);
  assert.strictEqual(record.hostKeys[0].result, MISMATCH);
  assert.strictEqual(record.hostKeys[0].publicKey, publicKeyText(`${p.hostKeys.ed25519}.pub`));
});
