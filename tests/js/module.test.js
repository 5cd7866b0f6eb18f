'use strict';
// The module as the host sees it: it loads, registers under its name and exports exactly its classes.
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');

// Grows as script classes land; the classes that only the module makes are never exported.
const KEY_FUNCTIONS = [
  'generateSshKey', 'generatePublicKeyFromPrivateKey', 'generateSshKeyFromPuttyKey',
  'checkPrivateKeyEncrypted', 'checkPrivateKeyEncryptedWithPassword', 'checkPublicKeyIsCertificate',
  'checkPrivateKeyIsPuttyKey', 'checkPuttyKeyIsEncrypted', 'validatePublicKeyFormat',
  'validatePrivateKeyFormat',
];
const EXPORTED = ['SshCertificate', ...KEY_FUNCTIONS, 'SshClient', 'TelnetClient'];
const NEVER_EXPORTED = ['PortForwarding', 'RemoteTerminal', 'FileSystem'];

test('require loads quelbar.node and exports exactly the script classes', () => {
  const quelbar = require(root);
  assert.deepStrictEqual(Object.keys(quelbar).sort(), [...EXPORTED].sort());
  for (const name of NEVER_EXPORTED) assert.strictEqual(quelbar[name], undefined);
  assert.strictEqual(require(path.join(root, 'build', 'quelbar.node')), quelbar);
});

test('a fresh process loads the module and exits on its own', () => {
  const out = execFileSync(process.execPath, ['-e', `
    const q = require(${JSON.stringify(root)});
    process.stdout.write(typeof q);
  `], { timeout: 20000 });
  assert.strictEqual(out.toString(), 'object');
});
