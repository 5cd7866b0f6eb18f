'use strict';
// What the benchmarks share: an sshd of their own with its cipher pinned (so that no client can pick
// another), the clients' connect and exec in the form each is measured in, and medians.
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { Client } = require('ssh2');
const peers = require('../tests/js/support/peers').load();

const key = fs.readFileSync(peers.clientKeys.ed25519, 'utf8');

// The build measured as "ours"; QUELBAR_ADDON points at another one.
function loadAddon(file = process.env.QUELBAR_ADDON || path.join(__dirname, '..')) {
  return require(file);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// child, when given, is the process that should be listening: its exit ends the wait.
async function waitUntilListening(port, child) {
  for (let i = 0; i < 200; i++) {
    if (child && child.exitCode !== null) {
      throw new Error(`${child.spawnfile} exited with ${child.exitCode}`);
    }
    const open = await new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (open) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`nothing listens on ${port}`);
}

// The peers' plain sshd with its cipher pinned (sshd keeps the first value it reads for a keyword) and
// room for the idle sessions of the memory row.
async function startSshd(dir, cipher) {
  const name = cipher.replace(/@.*/, '');
  const config = path.join(dir, `sshd-${name}.conf`);
  fs.writeFileSync(config, `Ciphers ${cipher}\nMaxStartups 100:30:300\n` +
                   fs.readFileSync(path.join(peers.dir, 'sshd.conf')));
  const port = await freePort();
  // Its log goes to a file: the OpenSSH runs block this process, and a pipe left unread would stall sshd.
  const log = fs.openSync(path.join(dir, `sshd-${name}.log`), 'w');
  const child = spawn('/usr/sbin/sshd', ['-D', '-e', '-f', config, '-p', String(port)],
                      { stdio: ['ignore', 'ignore', log] });
  fs.closeSync(log);
  await waitUntilListening(port, child);
  return { port, cipher, stop: () => child.kill() };
}

function quelbarConnect(addon, port) {
  return new Promise((resolve, reject) => {
    const client = new addon.SshClient();
    client.connect({
      host: peers.host, port: String(port), username: peers.user, privateKey: key,
      knownhostsCallback: (result, fingerprint, publicKey, type, done) => done(true),
      connectCallback: () => resolve(client),
      errorCallback: reject,
    });
  });
}

function quelbarExec(client, command) {
  return new Promise((resolve, reject) => client.exec(Buffer.from(command),
    (status, output) => (status === 0 ? resolve(output) : reject(new Error(`status ${status}`))),
    reject));
}

// Resolves with { client, sftp }: a session of its own with one file system on it.
async function quelbarSftp(addon, port) {
  const client = await quelbarConnect(addon, port);
  return new Promise((resolve, reject) => client.sftp((code, sftp) => (code === 0
    ? resolve({ client, sftp }) : reject(new Error(`sftp: ${code}`)))));
}

function ssh2Connect(port, cipher) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(port, peers.host);
    sock.setNoDelay(true);
    const client = new Client();
    client.on('ready', () => resolve(client));
    client.on('error', reject);
    client.connect({ sock, username: peers.user, privateKey: key, algorithms: { cipher: [cipher] } });
  });
}

async function ssh2Sftp(port, cipher) {
  const client = await ssh2Connect(port, cipher);
  return new Promise((resolve, reject) => client.sftp((error, sftp) => (error ? reject(error)
    : resolve({ client, sftp }))));
}

// Collects the whole output, as exec of this module does.
function ssh2Exec(client, command) {
  return new Promise((resolve, reject) => {
    client.exec(command, (error, stream) => {
      if (error) return reject(error);
      const chunks = [];
      stream.on('data', (chunk) => chunks.push(chunk));
      stream.stderr.resume();
      stream.on('close', (status) => (status === 0 ? resolve(Buffer.concat(chunks))
        : reject(new Error(`status ${status}`))));
    });
  });
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

module.exports = {
  peers, key, loadAddon, freePort, waitUntilListening, startSshd, quelbarConnect, quelbarExec,
  quelbarSftp, ssh2Connect, ssh2Exec, ssh2Sftp, median,
};
