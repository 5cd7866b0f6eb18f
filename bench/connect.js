'use strict';
// Connect plus authentication time against the local sshd, side by side in one run: this module,
// OpenSSH's client (`ssh -o BatchMode=yes ... true`, which also opens a session and runs `true`, and the
// same client timed only up to its "Authenticated to" line) and the ssh2 npm client.
// Same server, same ed25519 key; every client uses aes128-gcm@openssh.com (pinned where a client allows
// it; it is libquelbar's first choice).
// Usage: node bench/connect.js [rounds]   (needs the peers: tests/peers/peers start)
const fs = require('fs');
const net = require('net');
const { execFileSync, spawn } = require('child_process');
const { performance } = require('perf_hooks');
const { Client } = require('ssh2');
const { SshClient } = require('..');
const peers = require('../tests/js/support/peers').load();

const ROUNDS = Number(process.argv[2] || 20);
const WARMUP = 2;
const CIPHER = 'aes128-gcm@openssh.com';
const keyFile = peers.clientKeys.ed25519;
const key = fs.readFileSync(keyFile, 'utf8');
const knownHosts = fs.readFileSync(peers.knownHosts, 'utf8').split('\n');
const port = peers.sshd.plain;

function quelbarOnce() {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    const start = performance.now();
    client.connect({
      host: peers.host, port: String(port), username: peers.user, privateKey: key, knownhosts: knownHosts,
      connectCallback() {
        const elapsed = performance.now() - start;
        client.close();
        resolve(elapsed);
      },
      errorCallback: (error) => reject(error),
    });
  });
}

const SSH_OPTIONS = [
  '-F', '/dev/null', '-o', 'BatchMode=yes', '-o', `UserKnownHostsFile=${peers.knownHosts}`,
  '-o', 'StrictHostKeyChecking=yes', '-o', 'IdentitiesOnly=yes', '-c', CIPHER, '-i', keyFile,
  '-p', String(port),
];

// The whole run, `true` on the server included.
function opensshOnce() {
  const start = performance.now();
  execFileSync('ssh', [...SSH_OPTIONS, `${peers.user}@${peers.host}`, 'true'], { stdio: 'ignore' });
  return Promise.resolve(performance.now() - start);
}

// Up to the client's own "Authenticated to" line: connect and authentication alone.
function opensshAuthOnce() {
  return new Promise((resolve, reject) => {
    const start = performance.now();
    const ssh = spawn('ssh', [...SSH_OPTIONS, '-o', 'LogLevel=VERBOSE', '-N', `${peers.user}@${peers.host}`],
                      { stdio: ['ignore', 'ignore', 'pipe'] });
    let text = '';
    ssh.stderr.on('data', (chunk) => {
      text += chunk;
      if (text.includes('Authenticated to')) {
        const elapsed = performance.now() - start;
        ssh.kill();
        ssh.on('exit', () => resolve(elapsed));
      }
    });
    ssh.on('error', reject);
  });
}

function ssh2Once() {
  return new Promise((resolve, reject) => {
    const start = performance.now();
    const sock = net.connect(port, peers.host);
    sock.setNoDelay(true);
    const client = new Client();
    client.on('ready', () => {
      const elapsed = performance.now() - start;
      client.end();
      resolve(elapsed);
    });
    client.on('error', reject);
    client.connect({ sock, username: peers.user, privateKey: key, algorithms: { cipher: [CIPHER] } });
  });
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

async function measure(once) {
  for (let i = 0; i < WARMUP; i++) await once();
  const times = [];
  for (let i = 0; i < ROUNDS; i++) times.push(await once());
  return median(times);
}

(async () => {
  const results = {
    'libquelbar (aes128-gcm@openssh.com, its first choice)': await measure(quelbarOnce),
    [`ssh -o BatchMode=yes ... true (${CIPHER})`]: await measure(opensshOnce),
    [`ssh -N, until "Authenticated to" (${CIPHER})`]: await measure(opensshAuthOnce),
    [`ssh2 npm client (${CIPHER}, noDelay)`]: await measure(ssh2Once),
  };
  const ours = Object.values(results)[0];
  console.log(`connect + authentication, median of ${ROUNDS} runs each, sshd on ${peers.host}:${port}, ` +
              'same ed25519 key');
  for (const [name, ms] of Object.entries(results)) {
    console.log(`  ${name.padEnd(56)} ${ms.toFixed(1).padStart(7)} ms   ratio to libquelbar ${(ms / ours).toFixed(2)}`);
  }
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
