'use strict';
// Generate and convert SSH keys: `node examples/keys.js`. Makes an Ed25519 key in OpenSSH format and an
// encrypted ECDSA key in PEM format, checks them, derives their public keys, turns a PuTTY key (made by
// puttygen from putty-tools) into an OpenSSH-usable key, and has ssh-keygen confirm each result.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const quelbar = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

function firstLine(text) {
  return text.split('\n')[0];
}

runExample('keys', async (servers) => {
  // ssh-keygen's view of a private key: its public half.
  const sshKeygenPublicKey = (privateKey, passphrase = '') => execFileSync('ssh-keygen',
    ['-y', '-P', passphrase, '-f', servers.file('check', privateKey)], { encoding: 'utf8' }).trim();

  console.log('generateSshKey({ type: "ed", comment }): an Ed25519 key, written in OpenSSH format');
  const ed = quelbar.generateSshKey({ type: 'ed', comment: `${os.userInfo().username}@example` });
  console.log(`  private key: ${firstLine(ed.privateKey)}`);
  console.log(`  public key:  ${ed.publicKey}`);
  console.log(`  validatePrivateKeyFormat: ${quelbar.validatePrivateKeyFormat(ed.privateKey)}, ` +
              `validatePublicKeyFormat: ${quelbar.validatePublicKeyFormat(ed.publicKey)}`);

  console.log('generateSshKey({ type: "ec", curve: "nistp384", encoding: "aes256", password }): PEM, encrypted');
  const ec = quelbar.generateSshKey({ type: 'ec', curve: 'nistp384', encoding: 'aes256', password: 'correct horse' });
  show(ec.privateKey.split('\n').slice(0, 3).join('\n'));
  console.log(`  checkPrivateKeyEncrypted: ${quelbar.checkPrivateKeyEncrypted(ec.privateKey)}`);
  console.log('  checkPrivateKeyEncryptedWithPassword with the right and a wrong password: ' +
              `${quelbar.checkPrivateKeyEncryptedWithPassword(ec.privateKey, 'correct horse')}, ` +
              `${quelbar.checkPrivateKeyEncryptedWithPassword(ec.privateKey, 'wrong')}`);
  const derived = quelbar.generatePublicKeyFromPrivateKey(ec.privateKey, 'correct horse');
  console.log(`  generatePublicKeyFromPrivateKey: ${derived}`);
  console.log(`  ssh-keygen -y finds the same public key: ${sshKeygenPublicKey(ec.privateKey, 'correct horse') === derived}`);

  console.log('a PuTTY key made by puttygen, protected by a password');
  const passwordFile = servers.file('ppk-password', 'putty pass');
  const ppkFile = servers.file('key.ppk');
  execFileSync('puttygen', ['-q', '-t', 'rsa', '-b', '2048', '-C', 'from-puttygen',
                            '--new-passphrase', passwordFile, '-o', ppkFile]);
  const ppk = fs.readFileSync(ppkFile, 'utf8');
  console.log(`  ${firstLine(ppk)}`);
  console.log(`  checkPrivateKeyIsPuttyKey: ${quelbar.checkPrivateKeyIsPuttyKey(ppk)}, ` +
              `checkPuttyKeyIsEncrypted: ${quelbar.checkPuttyKeyIsEncrypted(ppk)}`);
  console.log(`  generateSshKeyFromPuttyKey with a wrong password: ${quelbar.generateSshKeyFromPuttyKey(ppk, 'wrong')}`);
  const converted = quelbar.generateSshKeyFromPuttyKey(ppk, 'putty pass');
  console.log(`  converted, unencrypted: ${firstLine(converted.privateKey)}`);
  console.log(`  its public key: ${converted.publicKey.slice(0, 60)}...`);
  console.log(`  ssh-keygen -y reads the converted key: ${sshKeygenPublicKey(converted.privateKey) === converted.publicKey}`);
  const kept = quelbar.generateSshKeyFromPuttyKey(ppk, 'putty pass', true);
  console.log('  converted again, encrypted with the PuTTY password: ' +
              `checkPrivateKeyEncrypted ${quelbar.checkPrivateKeyEncrypted(kept.privateKey)}, ` +
              `ssh-keygen opens it with that password: ${sshKeygenPublicKey(kept.privateKey, 'putty pass') === converted.publicKey}`);
});
