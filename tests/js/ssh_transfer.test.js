'use strict';
// Bulk data both ways under every cipher the transport runs in its own code paths, each pinned by an
// sshd of its own: 64 MiB of random bytes out of exec and into a shell's input arrive whole, checked
// by sha256 on the receiving side.
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { SshClient } = require('../..');
const peers = require('./support/peers');
const { plainLogin } = require('./support/ssh_session');

const BYTES = 64 * 1024 * 1024;
const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');

function connect(port) {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    client.connect({ ...plainLogin(), port: String(port), connectCallback: () => resolve(client),
                     errorCallback: reject });
  });
}

function exec(client, command) {
  return new Promise((resolve, reject) => {
    client.exec(Buffer.from(command), (status, output) => resolve({ status, output }), reject);
  });
}

// A raw terminal that hashes the next BYTES of its input; the data goes in one sendData once the
// terminal is raw. The quotes keep the echoed command line from matching.
function hashShellInput(client, data) {
  return new Promise((resolve) => {
    let text = '';
    let sent = false;
    let terminal;
    client.shell(undefined, (term) => {
      terminal = term;
      term.sendData(Buffer.from(`stty raw -echo -iexten; echo RE""ADY; head -c ${BYTES} | sha256sum; exit\n`));
    }, (chunk) => {
      text += chunk.toString('latin1');
      if (!sent && text.includes('READY')) {
        sent = true;
        terminal.sendData(data);
      }
    }, () => resolve(/([0-9a-f]{64}) {2}-/.exec(text)?.[1]));
  });
}

test('64 MiB out of exec and into a shell arrive whole under each cipher', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-transfer-'));
  fs.chmodSync(dir, 0o755);
  const file = path.join(dir, 'data');
  const data = crypto.randomBytes(BYTES);
  fs.writeFileSync(file, data, { mode: 0o644 });
  const expected = sha256(data);
  try {
    for (const { cipher, mac, port } of peers.load().cipherSshds) {
      await t.test(mac ? `${cipher} with ${mac}` : cipher, async () => {
        const client = await connect(port);
        const { status, output } = await exec(client, `cat ${file}`);
        assert.strictEqual(status, 0);
        assert.strictEqual(output.length, BYTES);
        assert.strictEqual(sha256(output), expected, 'exec output');
        const shellClient = await connect(port);
        assert.strictEqual(await hashShellInput(shellClient, data), expected, 'shell input');
      });
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
