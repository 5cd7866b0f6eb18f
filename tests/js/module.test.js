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
const EXPORTED = ['FileAttrs', 'FileReader', 'FileWriter', 'SshAgentStorage', 'SshCertificate',
  ...KEY_FUNCTIONS, 'SshClient', 'TelnetClient'];
const NEVER_EXPORTED = ['PortForwarding', 'RemoteTerminal', 'FileSystem'];

test('require loads quelbar.node and exports exactly the script classes', () => {
  const quelbar = require(root);
  assert.deepStrictEqual(Object.keys(quelbar).sort(), [...EXPORTED].sort());
  for (const name of NEVER_EXPORTED) assert.strictEqual(quelbar[name], undefined);
  assert.strictEqual(require(process.env.LIBQUELBAR_ADDON || path.join(root, 'build', 'quelbar.node')), quelbar);
});

test('a fresh process loads the module and exits on its own', () => {
  const out = execFileSync(process.execPath, ['-e', `
    const q = require(${JSON.stringify(root)});
    process.stdout.write(typeof q);
  `], { timeout: 20000 });
  assert.strictEqual(out.toString(), 'object');
});

// The engine runs on the main thread's loop only: a worker is told so with an Error instead of having
// its callbacks run on another thread, whichever thread loaded the module first. Each order runs in a
// process of its own, since a process loads the module's file once.
function loadInWorkerAndMain(mainFirst) {
  const out = execFileSync(process.execPath, ['-e', `
    const { Worker } = require('worker_threads');
    const root = ${JSON.stringify(root)};
    const inWorker = () => new Promise((resolve) => {
      const worker = new Worker('try { require(' + JSON.stringify(root) + '); ' +
        'require("worker_threads").parentPort.postMessage("loaded"); } catch (e) { ' +
        'require("worker_threads").parentPort.postMessage(e.message); }', { eval: true });
      worker.on('message', resolve);
    });
    (async () => {
      if (${mainFirst}) require(root);
      const worker = await inWorker();
      const q = require(root);
      new q.SshClient().close();
      process.stdout.write(JSON.stringify({ worker, main: typeof q.SshClient }));
    })();
  `], { timeout: 20000 });
  return JSON.parse(out);
}

test('a worker thread is refused with an Error; the main thread is not affected', () => {
  for (const mainFirst of [false, true]) {
    assert.deepStrictEqual(loadInWorkerAndMain(mainFirst), {
      worker: "libquelbar can only be loaded on Node's main thread, not in a worker thread",
      main: 'function',
    }, `main thread first: ${mainFirst}`);
  }
});
