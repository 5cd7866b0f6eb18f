'use strict';
// The ten key functions and SshCertificate as script sees them, checked against ssh-keygen and puttygen.
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// QUELBAR_ADDON points at another build of quelbar.node while developing; the default is the checkout's.
const root = path.join(__dirname, '..', '..');
const addonPath = process.env.QUELBAR_ADDON || root;
const quelbar = require(addonPath);

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-keys-js-'));
test.after(() => fs.rmSync(scratch, { recursive: true, force: true }));

function write(name, content) {
  const file = path.join(scratch, name);
  fs.writeFileSync(file, content, { mode: 0o600 });
  return file;
}

function run(command, args, env) {
  return execFileSync(command, args, { stdio: ['ignore', 'pipe', 'ignore'], env: { ...process.env, ...env } })
    .toString();
}

function keyAndType(line) {
  return line.trim().split(/\s+/).slice(0, 2).join(' ');
}

function sshKeygenPublicKey(privateKey, passphrase = '') {
  return keyAndType(run('ssh-keygen', ['-y', '-P', passphrase, '-f', write('id', privateKey)]));
}

test('key functions throw their texts for empty arguments, and only then', () => {
  const throwing = {
    generatePublicKeyFromPrivateKey: 'First argument cannot be empty.',
    generateSshKeyFromPuttyKey: 'First argument cannot be empty.',
    checkPrivateKeyEncrypted: 'Argument cannot be empty.',
    checkPublicKeyIsCertificate: 'Argument cannot be empty.',
    checkPrivateKeyIsPuttyKey: 'Argument cannot be empty.',
    checkPuttyKeyIsEncrypted: 'Argument cannot be empty.',
    validatePublicKeyFormat: 'Argument cannot be empty.',
    validatePrivateKeyFormat: 'Argument cannot be empty.',
  };
  for (const [name, message] of Object.entries(throwing)) {
    for (const value of [undefined, '', 42, {}, new String('x')]) {
      assert.throws(() => quelbar[name](value), { message }, name);
    }
  }
  assert.throws(() => quelbar.checkPrivateKeyEncryptedWithPassword('', ''), { message: 'Key cannot be empty.' });
  assert.throws(() => quelbar.checkPrivateKeyEncryptedWithPassword('k', 7), { message: 'Password cannot be empty.' });
  assert.strictEqual(quelbar.validatePublicKeyFormat('ssh-ed25519 AAAA c'), true);
  assert.strictEqual(quelbar.validatePrivateKeyFormat('not a key'), false);
  assert.strictEqual(quelbar.checkPrivateKeyEncrypted('garbage'), false);
  assert.strictEqual(quelbar.checkPuttyKeyIsEncrypted('PuTTY-User-Key-File-3: x\nEncryption: none\n'), false);
  assert.strictEqual(quelbar.generatePublicKeyFromPrivateKey('garbage'), undefined);
  assert.strictEqual(quelbar.generateSshKeyFromPuttyKey('garbage', '', true), undefined);
});

test('generateSshKey reads its options and never throws', () => {
  for (const options of [undefined, 'ed', 7, { type: 'ED' }, { type: 'ed448' }]) {
    assert.strictEqual(quelbar.generateSshKey(options), undefined);
  }
  const pair = quelbar.generateSshKey({ type: 'ed', comment: 'me@host' });
  assert.deepStrictEqual(Object.keys(pair).sort(), ['privateKey', 'publicKey']);
  assert.match(pair.publicKey, /^ssh-ed25519 \S+ me@host$/);
  assert.deepStrictEqual(Object.keys(quelbar.generateSshKey({ type: 'ed', includePublicKey: 0 })), ['privateKey']);
  const upper = quelbar.generateSshKey({ type: 'ec', encoding: 'AES256', password: 'pw' });
  assert.strictEqual(quelbar.checkPrivateKeyEncrypted(upper.privateKey), false);
  // Values whose conversion throws read as 0; a negative rounds count asks for an absurd cost and fails.
  const hostile = { type: 'ed', bits: Symbol('b'), rounds: { valueOf() { throw new Error('no'); } } };
  assert.ok(quelbar.generateSshKey(hostile).privateKey);
  assert.strictEqual(quelbar.generateSshKey({ type: 'ed', rounds: -1, encoding: 'aes256', password: 'x' }), undefined);
  assert.strictEqual(quelbar.generateSshKey({ type: 'rsa', bits: 1 << 20 }), undefined);
});

test('generated keys round trip through ssh-keygen with their passphrase', () => {
  const cases = [
    { type: 'rsa', bits: 2048, encoding: 'aes128', password: 'secret phrase' },
    { type: 'dsa', encoding: 'des3', password: 'secret' },
    { type: 'ec', curve: 'nistp384' },
    { type: 'ed', encoding: 'aes256', password: 'secret', rounds: 8 },
  ];
  for (const options of cases) {
    const pair = quelbar.generateSshKey(options);
    const password = options.password || '';
    assert.strictEqual(sshKeygenPublicKey(pair.privateKey, password), pair.publicKey, options.type);
    assert.strictEqual(quelbar.validatePrivateKeyFormat(pair.privateKey), true);
    assert.strictEqual(quelbar.checkPrivateKeyEncrypted(pair.privateKey), password !== '');
    assert.strictEqual(quelbar.generatePublicKeyFromPrivateKey(pair.privateKey, password), pair.publicKey);
    if (password) {
      assert.strictEqual(quelbar.checkPrivateKeyEncryptedWithPassword(pair.privateKey, password), true);
      assert.strictEqual(quelbar.checkPrivateKeyEncryptedWithPassword(pair.privateKey, 'wrong'), false);
    }
  }
});

test('PuTTY keys convert, encrypted with their own password when asked', () => {
  const passwordFile = write('password', 'secret');
  const ppkFile = path.join(scratch, 'key.ppk');
  run('puttygen', ['-q', '-t', 'ecdsa', '-b', '521', '--new-passphrase', passwordFile, '-o', ppkFile]);
  const ppk = fs.readFileSync(ppkFile, 'utf8');
  const expected = keyAndType(run('puttygen', ['-L', '--old-passphrase', passwordFile, ppkFile]));
  assert.strictEqual(quelbar.checkPrivateKeyIsPuttyKey(ppk), true);
  assert.strictEqual(quelbar.checkPuttyKeyIsEncrypted(ppk), true);
  assert.strictEqual(quelbar.checkPrivateKeyEncryptedWithPassword(ppk, 'secret'), true);
  assert.strictEqual(quelbar.checkPrivateKeyEncryptedWithPassword(ppk, 'Secret'), false);
  assert.strictEqual(quelbar.generateSshKeyFromPuttyKey(ppk, 'wrong'), undefined);

  const plain = quelbar.generateSshKeyFromPuttyKey(ppk, 'secret');
  assert.strictEqual(plain.publicKey, expected);
  assert.strictEqual(sshKeygenPublicKey(plain.privateKey), expected);
  const encrypted = quelbar.generateSshKeyFromPuttyKey(ppk.replace(/\n/g, '\r\n'), 'secret', 1);
  assert.strictEqual(quelbar.checkPrivateKeyEncrypted(encrypted.privateKey), true);
  assert.strictEqual(sshKeygenPublicKey(encrypted.privateKey, 'secret'), expected);
});

test('SshCertificate getters equal what ssh-keygen -L prints', () => {
  const ca = path.join(scratch, 'ca');
  const user = path.join(scratch, 'user');
  run('ssh-keygen', ['-q', '-N', '', '-t', 'ecdsa', '-f', ca]);
  run('ssh-keygen', ['-q', '-N', '', '-t', 'ed25519', '-f', user]);
  run('ssh-keygen', ['-q', '-s', ca, '-I', 'the id', '-n', 'alice,bob', '-O', 'force-command=/bin/true',
                     '-O', 'no-pty', '-V', '20240101000000:forever', '-z', '18446744073709551615', `${user}.pub`],
      { TZ: 'UTC' });
  const certificate = fs.readFileSync(`${user}-cert.pub`, 'utf8');
  const listing = run('ssh-keygen', ['-L', '-f', `${user}-cert.pub`], { TZ: 'UTC' });
  const cert = new quelbar.SshCertificate(certificate, fs.readFileSync(user, 'utf8'));
  assert.strictEqual(cert.isValidCertificate(), true);
  assert.match(listing, new RegExp(`Type: ${cert.getKeyType()} ${cert.getCertType()} certificate`));
  assert.strictEqual(cert.getPubkeyType(), 'ssh-ed25519');
  assert.strictEqual(cert.getCAType(), 'ecdsa-sha2-nistp256');
  assert.match(listing, new RegExp(`Key ID: "${cert.getID()}"`));
  assert.strictEqual(cert.getSerial(), 18446744073709551615);
  assert.deepStrictEqual(cert.getValidityPeriod(),
                         { validAfter: Date.UTC(2024, 0, 1) / 1000, validBefore: 2 ** 64 - 1 });
  assert.match(listing, /Valid: after 2024-01-01T00:00:00/);
  assert.deepStrictEqual(cert.getPrincipals(), ['alice', 'bob']);
  assert.deepStrictEqual(cert.getCriticalOptions(), [{ name: 'force-command', value: '/bin/true' }]);
  assert.deepStrictEqual(cert.getExtensions(),
                         ['permit-X11-forwarding', 'permit-agent-forwarding', 'permit-port-forwarding',
                          'permit-user-rc']);
  const md5 = (file) => run('ssh-keygen', ['-l', '-E', 'md5', '-f', file]).split(/\s+/)[1].slice(4);
  assert.strictEqual(cert.getPublicKeyHash('md5'), md5(`${user}.pub`));
  assert.strictEqual(cert.getSignatureKeyHash('md5'), md5(`${ca}.pub`));
  const sha256 = Buffer.from(cert.getPublicKeyHash('sha256').replace(/:/g, ''), 'hex').toString('base64');
  assert.match(listing, new RegExp(`ED25519-CERT SHA256:${sha256.replace(/=+$/, '').replace(/[+/]/g, '\\$&')}`));
  assert.strictEqual(cert.getPublicKeyHash('SHA256'), '');
  assert.strictEqual(cert.getPublicKeyHash(), '');
  assert.strictEqual(quelbar.checkPublicKeyIsCertificate(certificate), true);
  assert.strictEqual(quelbar.checkPublicKeyIsCertificate(fs.readFileSync(`${user}.pub`, 'utf8')), false);

  const wrongKey = new quelbar.SshCertificate(certificate, fs.readFileSync(ca, 'utf8'));
  assert.strictEqual(wrongKey.isValidCertificate(), false);
  assert.strictEqual(wrongKey.getID(), '');
  assert.deepStrictEqual(wrongKey.getPrincipals(), []);
  assert.deepStrictEqual(wrongKey.getValidityPeriod(), { validAfter: 0, validBefore: 0 });
  assert.strictEqual(quelbar.SshCertificate(certificate, ''), undefined);
  assert.throws(() => quelbar.SshCertificate.prototype.getID.call({}), TypeError);
});

// OpenSSL's PEM readers ask on the terminal for a missing passphrase. Run under a real pseudo-terminal:
// a prompt would show in the output and hang the child until the timeout.
test('a missing passphrase never prompts on the terminal', () => {
  const key = path.join(scratch, 'prompt');
  run('ssh-keygen', ['-q', '-t', 'rsa', '-b', '2048', '-m', 'PEM', '-N', 'secret', '-f', key]);
  run('ssh-keygen', ['-q', '-t', 'ecdsa', '-m', 'PKCS8', '-N', 'secret', '-f', `${key}8`]);
  const source = `
    const q = require(${JSON.stringify(addonPath)});
    const fs = require('fs');
    for (const file of [${JSON.stringify(key)}, ${JSON.stringify(`${key}8`)}]) {
      const text = fs.readFileSync(file, 'utf8');
      if (q.generatePublicKeyFromPrivateKey(text) !== undefined) throw new Error('read without passphrase');
      if (q.checkPrivateKeyEncryptedWithPassword(text, 'wrong')) throw new Error('wrong passphrase accepted');
      new q.SshCertificate('ssh-ed25519-cert-v01@openssh.com AAAA', text);
    }
    console.log('finished');`;
  const script = write('prompt.js', source);
  const result = spawnSync('script', ['-qec', `${process.execPath} ${script}`, '/dev/null'],
                           { timeout: 30000, stdio: ['pipe', 'pipe', 'pipe'] });
  const output = result.stdout.toString();
  assert.doesNotMatch(output, /pass ?phrase/i);
  assert.match(output, /finished/);
  assert.strictEqual(result.status, 0);
});
