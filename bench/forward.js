'use strict';
// Local forwarding side by side in one run: 512 MiB down (from a source target) and up (to a sink
// that answers its count after our end of stream), and the round trip of a 1-byte request through
// an echo target, for this module, OpenSSH's `ssh -L` and the ssh2 npm client's forwardOut (sockets
// with setNoDelay(true)). Rounds interleave the three; medians are printed with ratios. The targets
// and the measuring client run in a child process of their own, so that the forwarders here (and
// ssh -L) carry only the forwarding. All talk to one sshd started from the peers' configuration with
// its cipher pinned to aes128-gcm@openssh.com.
// Usage: node bench/forward.js   (as root, with the peers running: tests/peers/peers start)
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { spawn } = require('node:child_process');
const { Client } = require('ssh2');
const {
  peers, key, loadAddon, freePort, waitUntilListening, startSshd, median,
} = require('./support');

const CIPHER = 'aes128-gcm@openssh.com';
const BYTES = 512 * 1024 * 1024;
const ROUNDS = 3;
const ROUND_TRIPS = 1000;

// ---- the child: targets and the measuring client ---------------------------------------------------

const DRIVER = `
const net = require('net');
const { performance } = require('perf_hooks');
const BYTES = ${BYTES};
const block = Buffer.alloc(1 << 20, 7);
const listen = (onSocket) => new Promise((resolve) => {
  const server = net.createServer({ noDelay: true, allowHalfOpen: true }, onSocket);
  server.listen(0, '127.0.0.1', () => resolve(server.address().port));
});
const send = (socket, left, done) => {
  while (left > 0) {
    const piece = left >= block.length ? block : block.subarray(0, left);
    left -= piece.length;
    if (!socket.write(piece)) return socket.once('drain', () => send(socket, left, done));
  }
  done();
};
const connect = (port) => new Promise((resolve) => {
  const socket = net.connect({ port, host: '127.0.0.1', noDelay: true }, () => resolve(socket));
});
async function down(port) {
  const socket = await connect(port);
  const start = performance.now();
  let count = 0;
  socket.on('data', (d) => { count += d.length; });
  await new Promise((r) => socket.on('end', r));
  if (count !== BYTES) throw new Error('down: ' + count);
  return performance.now() - start;
}
async function up(port) {
  const socket = await connect(port);
  const start = performance.now();
  let answer = '';
  socket.on('data', (d) => { answer += d; });
  send(socket, BYTES, () => socket.end());
  await new Promise((r) => socket.on('end', r));
  if (answer !== String(BYTES)) throw new Error('up: ' + answer);
  return performance.now() - start;
}
async function roundTrip(port, trips) {
  const socket = await connect(port);
  const one = () => new Promise((r) => { socket.once('data', r); socket.write('x'); });
  for (let i = 0; i < 20; i++) await one();
  const start = performance.now();
  for (let i = 0; i < trips; i++) await one();
  socket.destroy();
  return (performance.now() - start) / trips;
}
(async () => {
  const ports = await Promise.all([
    listen((s) => { s.on('error', () => {}); send(s, BYTES, () => s.end()); }),
    listen((s) => { let n = 0; s.on('data', (d) => { n += d.length; }); s.on('end', () => s.end(String(n))); }),
    listen((s) => s.pipe(s)),
  ]);
  console.log(ports.join(' '));
  for await (const line of require('readline').createInterface({ input: process.stdin })) {
    const [source, sink, echo] = line.split(' ').map(Number);
    console.log([await down(source), await up(sink), await roundTrip(echo, ${ROUND_TRIPS})].join(' '));
  }
})().catch((e) => { console.error(e.message); process.exit(1); });`;

function startDriver() {
  const child = spawn(process.execPath, ['-e', DRIVER], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const next = async () => (await lines.next()).value.split(' ').map(Number);
  return {
    targets: next,
    measure: async (ports) => { child.stdin.write(`${ports.join(' ')}\n`); return next(); },
    stop: () => child.kill(),
  };
}

// ---- the three forwarders: each maps the driver's target ports to ports of its own -----------------

function quelbarForwarder(sshdPort, targets) {
  return new Promise((resolve, reject) => {
    const client = new (loadAddon().SshClient)();
    client.connect({
      host: peers.host, port: String(sshdPort), username: peers.user, privateKey: key,
      knownhostsCallback: (result, fingerprint, publicKey, type, done) => done(true),
      errorCallback: reject,
      connectCallback: async () => {
        const ports = await Promise.all(targets.map((hostPort) => new Promise((ready) => {
          client.localPortForwarding({ bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort,
            readyCallback: (forwarding) => ready(forwarding.getBindPort()) });
        })));
        resolve({ ports, stop: () => client.close() });
      },
    });
  });
}

async function opensshForwarder(sshdPort, targets) {
  const ports = await Promise.all(targets.map(freePort));
  const forwards = targets.flatMap((target, i) => ['-L', `127.0.0.1:${ports[i]}:127.0.0.1:${target}`]);
  const child = spawn('ssh', ['-F', '/dev/null', '-o', 'BatchMode=yes', '-o', 'StrictHostKeyChecking=no',
    '-o', 'UserKnownHostsFile=/dev/null', '-o', 'LogLevel=ERROR', '-c', CIPHER,
    '-i', peers.clientKeys.ed25519, '-p', String(sshdPort), '-N', ...forwards,
    `${peers.user}@${peers.host}`], { stdio: 'inherit' });
  await Promise.all(ports.map((port) => waitUntilListening(port, child)));
  return { ports, stop: () => child.kill() };
}

function ssh2Forwarder(sshdPort, targets) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(sshdPort, peers.host);
    sock.setNoDelay(true);
    const client = new Client();
    client.on('error', reject);
    client.on('ready', async () => {
      const servers = await Promise.all(targets.map((target) => new Promise((listening) => {
        const server = net.createServer({ noDelay: true, allowHalfOpen: true }, (socket) => {
          client.forwardOut('127.0.0.1', socket.remotePort, '127.0.0.1', target, (error, stream) => {
            if (error) return socket.destroy();
            socket.pipe(stream).pipe(socket);
          });
        });
        server.listen(0, '127.0.0.1', () => listening(server));
      })));
      resolve({ ports: servers.map((s) => s.address().port),
                stop: () => { servers.forEach((s) => s.close()); client.end(); } });
    });
    client.connect({ sock, username: peers.user, privateKey: key, algorithms: { cipher: [CIPHER] } });
  });
}

// ---- the run ---------------------------------------------------------------------------------------

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-bench-forward-'));
  const sshd = await startSshd(dir, CIPHER);
  const driver = startDriver();
  const forwarders = [];
  try {
    const targets = await driver.targets();
    const paths = [
      ['libquelbar localPortForwarding', quelbarForwarder],
      ['ssh -L', opensshForwarder],
      ['ssh2 npm client forwardOut (setNoDelay)', ssh2Forwarder],
    ];
    for (const [name, make] of paths) forwarders.push({ name, ...(await make(sshd.port, targets)) });
    const results = forwarders.map(() => ({ down: [], up: [], rtt: [] }));
    for (let round = 0; round < ROUNDS; round++) {
      for (let i = 0; i < forwarders.length; i++) {
        const [down, up, rtt] = await driver.measure(forwarders[i].ports);
        results[i].down.push(down);
        results[i].up.push(up);
        results[i].rtt.push(rtt);
      }
    }
    const mbps = (ms) => BYTES / 1e6 / (ms / 1000);
    const ours = results[0];
    console.log(`local forwarding; sshd on ${peers.host}:${sshd.port} with Ciphers ${CIPHER}; ` +
                `medians of ${ROUNDS} interleaved rounds`);
    console.log(`  ${''.padEnd(42)} ${'down MB/s'.padStart(10)} ${'up MB/s'.padStart(10)} ` +
                `${'1-byte RTT ms'.padStart(14)}   libquelbar against it (down, up, RTT; above 1: ` +
                'libquelbar better)');
    forwarders.forEach(({ name }, i) => {
      const r = results[i];
      console.log(`  ${name.padEnd(42)} ${mbps(median(r.down)).toFixed(0).padStart(10)} ` +
                  `${mbps(median(r.up)).toFixed(0).padStart(10)} ${median(r.rtt).toFixed(3).padStart(14)}` +
                  `   ${(median(r.down) / median(ours.down)).toFixed(2)}, ` +
                  `${(median(r.up) / median(ours.up)).toFixed(2)}, ` +
                  `${(median(r.rtt) / median(ours.rtt)).toFixed(2)}`);
    });
  } finally {
    forwarders.forEach((f) => f.stop());
    driver.stop();
    sshd.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
