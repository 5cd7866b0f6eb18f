'use strict';
// Read an OpenSSH certificate: `node examples/certificate.js [certificate-file private-key-file]`.
// Without files it makes a CA key and a user key with generateSshKey, has ssh-keygen -s sign the
// user key, and reads that certificate. A certificate is read together with the private key it
// certifies; it is valid only when its CA signature checks out and it certifies that key.
const path = require('node:path');
const fs = require('node:fs');
const { execFileSync } = require('node:child_process');
const quelbar = require(path.join(__dirname, '..'));
const { runExample } = require('./support/local-servers');

function signed(servers) {
  const ca = quelbar.generateSshKey({ type: 'ed', comment: 'example-ca' });
  const user = quelbar.generateSshKey({ type: 'ec', comment: 'alice@example' });
  const caFile = servers.file('ca', ca.privateKey);
  const userFile = servers.file('user', user.privateKey);
  servers.file('user.pub', `${user.publicKey}\n`);
  const command = ['-q', '-s', caFile, '-I', 'alice-laptop', '-n', 'alice,backup', '-z', '42', '-V', '+52w',
                   '-O', 'force-command=/usr/bin/uptime', '-O', 'no-port-forwarding', `${userFile}.pub`];
  console.log(`signing a user key with a CA key: ssh-keygen ${command.join(' ')}`);
  execFileSync('ssh-keygen', command);
  return { certificate: fs.readFileSync(`${userFile}-cert.pub`, 'utf8'), privateKey: user.privateKey };
}

runExample('certificate', async (servers) => {
  const { certificate, privateKey } = process.argv.length >= 4
    ? { certificate: fs.readFileSync(process.argv[2], 'utf8'), privateKey: fs.readFileSync(process.argv[3], 'utf8') }
    : signed(servers);
  console.log(`checkPublicKeyIsCertificate: ${quelbar.checkPublicKeyIsCertificate(certificate)}`);
  const cert = new quelbar.SshCertificate(certificate, privateKey);
  if (!cert.isValidCertificate()) {
    throw new Error('not a valid certificate for this private key (wrong key, bad signature or unreadable)');
  }
  const { validAfter, validBefore } = cert.getValidityPeriod();
  const when = (seconds) => (seconds >= 2 ** 64 - 1 ? 'forever' : new Date(seconds * 1000).toISOString());
  const fields = [
    ['key id', cert.getID()],
    ['type', `${cert.getCertType()} certificate (${cert.getKeyType()})`],
    ['certified key', `${cert.getPubkeyType()}, SHA256 ${cert.getPublicKeyHash('sha256')}`],
    ['signed by', `${cert.getCAType()}, MD5 ${cert.getSignatureKeyHash('md5')}`],
    ['serial', cert.getSerial()],
    ['valid', `from ${when(validAfter)} to ${when(validBefore)}`],
    ['principals', cert.getPrincipals().join(', ')],
    ['critical options', cert.getCriticalOptions().map(({ name, value }) => (value ? `${name}=${value}` : name)).join(', ')],
    ['extensions', cert.getExtensions().join(', ')],
  ];
  console.log('the certificate, as SshCertificate reads it:');
  for (const [name, value] of fields) console.log(`  ${name.padEnd(16)} ${value}`);
  const other = quelbar.generateSshKey({ type: 'ed' });
  console.log('read with a key it does not certify, isValidCertificate() is ' +
              `${new quelbar.SshCertificate(certificate, other.privateKey).isValidCertificate()}`);
});
