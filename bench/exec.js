'use strict';
// exec on an open session, side by side in one run: the round trip of `true` (ROUND_TRIPS times, one
// after the other) and 256 MiB through `cat`, for this module, the ssh2 npm client (socket with
// setNoDelay(true)) and OpenSSH's client over a ControlMaster connection (each `ssh -S` also starts a
// process, shown for reference). All three talk to one sshd started here from the peers'
// configuration with its cipher pinned to aes128-gcm@openssh.com, so that no client can pick another.
// Usage: node bench/exec.js   (as root, with the peers running: tests/peers/peers start)
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { performance } = require('node:perf_hooks');
const { Client } = require('ssh2');
const { SshClient } = require(process.env.QUELBAR_ADDON || path.join(__dirname, '..'));
const peers = require('../tests/js/support/peers').load();

const CIPHER = 'aes128-gcm@openssh.com';
const ROUND_TRIPS = 200;
const WARMUP = 10;
const FILE_BYTES = 256 * 1024 * 1024;
const key = fs.readFileSync(peers.clientKeys.ed25519, 'utf8');

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

async function waitUntilListening(port, child) {
  for (let i = 0; i < 200; i++) {
    if (child.exitCode !== null) throw new Error(`sshd exited with ${child.exitCode}`);
    const open = await new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (open) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error('sshd did not start listening');
}

// The peers' plain sshd with its cipher pinned (sshd keeps the first value it reads for a keyword).
async function startSshd(dir) {
  const config = path.join(dir, 'sshd.conf');
  fs.writeFileSync(config, `Ciphers ${CIPHER}\n` + fs.readFileSync(path.join(peers.dir, 'sshd.conf')));
  const port = await freePort();
  // Its log goes to a file: the OpenSSH runs below block this process, and a pipe left unread
  // would stall sshd.
  const log = fs.openSync(path.join(dir, 'sshd.log'), 'w');
  const child = spawn('/usr/sbin/sshd', ['-D', '-e', '-f', config, '-p', String(port)],
                      { stdio: ['ignore', 'ignore', log] });
  fs.closeSync(log);
  await waitUntilListening(port, child);
  return { port, stop: () => child.kill() };
}

function milliseconds(start) {
  return performance.now() - start;
}

// ---- this module ---------------------------------------------------------------------------------

function quelbarConnect(port) {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
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

// ---- ssh2 ----------------------------------------------------------------------------------------

function ssh2Connect(port) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(port, peers.host);
    sock.setNoDelay(true);
    const client = new Client();
    client.on('ready', () => resolve(client));
    client.on('error', reject);
    client.connect({ sock, username: peers.user, privateKey: key, algorithms: { cipher: [CIPHER] } });
  });
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

// ---- OpenSSH over a ControlMaster connection -------------------------------------------------------

function opensshMaster(port, dir) {
  const control = path.join(dir, 'control');
  const options = ['-F', '/dev/null', '-o', 'BatchMode=yes', '-o', 'StrictHostKeyChecking=no',
                   '-o', 'UserKnownHostsFile=/dev/null', '-o', 'LogLevel=ERROR', '-c', CIPHER,
                   '-i', peers.clientKeys.ed25519, '-p', String(port), '-S', control];
  const target = `${peers.user}@${peers.host}`;
  const started = spawnSync('ssh', [...options, '-M', '-f', '-N', target], { stdio: 'inherit' });
  if (started.status !== 0) throw new Error('ssh -M did not start');
  return {
    run: (command, stdout = 'ignore') => {
      const done = spawnSync('ssh', [...options, target, command], { stdio: ['ignore', stdout, 'inherit'] });
      if (done.status !== 0) throw new Error(`ssh ${command}: status ${done.status}`);
    },
    stop: () => spawnSync('ssh', [...options, '-O', 'exit', target], { stdio: 'ignore' }),
  };
}

// ---- the run -------------------------------------------------------------------------------------

async function roundTrip(exec) {
  for (let i = 0; i < WARMUP; i++) await exec('true');
  const start = performance.now();
  for (let i = 0; i < ROUND_TRIPS; i++) await exec('true');
  return milliseconds(start) / ROUND_TRIPS;
}

async function transfer(exec, file) {
  const start = performance.now();
  const output = await exec(`cat ${file}`);
  const elapsed = milliseconds(start);
  if (output !== undefined && output.length !== FILE_BYTES) {
    throw new Error(`cat gave ${output.length} bytes`);
  }
  return elapsed;
}

function print(title, rows, unit, describe) {
  const ours = rows[0][1];
  console.log(title);
  for (const [name, value] of rows) {
    console.log(`  ${name.padEnd(52)} ${describe(value).padStart(12)} ${unit}   ` +
                `time ratio to libquelbar ${(value / ours).toFixed(2)} (above 1: slower)`);
  }
}

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-bench-exec-'));
  fs.chmodSync(dir, 0o755);
  const file = path.join(dir, 'data');
  fs.writeFileSync(file, crypto.randomBytes(FILE_BYTES), { mode: 0o644 });
  const sshd = await startSshd(dir);
  let master;
  try {
    // A session of this module closes itself once its last request has ended: each phase has its own.
    let quelbar = await quelbarConnect(sshd.port);
    const ssh2 = await ssh2Connect(sshd.port);
    master = opensshMaster(sshd.port, dir);
    const run = (command) => { master.run(command); return Promise.resolve(); };

    const trips = [
      ['libquelbar', await roundTrip((command) => quelbarExec(quelbar, command))],
      ['ssh2 npm client (setNoDelay)', await roundTrip((command) => ssh2Exec(ssh2, command))],
      ['ssh -S (ControlMaster; includes a process start)', await roundTrip(run)],
    ];
    quelbar = await quelbarConnect(sshd.port);
    const cats = [
      ['libquelbar (whole output in one Buffer)', await transfer((c) => quelbarExec(quelbar, c), file)],
      ['ssh2 npm client (chunks joined into one Buffer)', await transfer((c) => ssh2Exec(ssh2, c), file)],
      ['ssh -S host cat file >/dev/null (ControlMaster)', await transfer(run, file)],
    ];
    ssh2.end();

    console.log(`exec on an open session; sshd on ${peers.host}:${sshd.port} with Ciphers ${CIPHER}; ` +
                'one run');
    print(`round trip of \`true\`, mean of ${ROUND_TRIPS}`, trips, 'ms', (ms) => ms.toFixed(2));
    print('256 MiB through `cat`', cats, 'MB/s', (ms) => (FILE_BYTES / 1e6 / (ms / 1000)).toFixed(0));
  } finally {
    if (master) master.stop();
    sshd.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
