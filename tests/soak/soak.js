'use strict';
// One long run of mixed sessions against the local peers, to see memory and descriptors stay flat:
// SSH sessions that connect and close, run checked commands, drive shells, use SFTP (now and then a
// file system closed mid-download) and relay through local and SOCKS forwardings (now and then one
// closed under its connections), transfers, stats and a command at once on an sshd that re-keys often,
// and Telnet logins, a few at a time, round after round. Every minute it prints the process's RSS and
// open descriptors; at the end the start, peak and end of both, and every sample.
//
//   npm run soak                        one hour (the peers must run: tests/peers/peers start)
//   SOAK_MINUTES=5 npm run soak         shorter
//   SOAK_ADDON=/path/quelbar.node       another build of the module
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const peers = require('../js/support/peers');

const addon = process.env.SOAK_ADDON;
const { SshClient, TelnetClient } = addon ? require(path.resolve(addon)) : require('../..');
const MINUTES = Number(process.env.SOAK_MINUTES || 60);
const PARALLEL = 4;
const p = peers.load();

const counts = { connect: 0, exec: 0, shell: 0, sftp: 0, telnet: 0, forwarding: 0, rekey: 0, failed: 0 };

// What the SFTP rounds read, in a directory the test account owns, removed at the end.
const sftpDir = fs.mkdtempSync('/tmp/quelbar-soak-');
const sftpContent = crypto.randomBytes(4 << 20);
fs.writeFileSync(path.join(sftpDir, 'source'), sftpContent);
fs.chmodSync(sftpDir, 0o755);
execFileSync('chown', ['-R', p.user, sftpDir]);
process.on('exit', () => fs.rmSync(sftpDir, { recursive: true, force: true }));
const failures = new Map();

function fail(kind, what) {
  counts.failed++;
  const key = `${kind}: ${what}`;
  failures.set(key, (failures.get(key) || 0) + 1);
}

// Opens an authenticated session; resolves with the client, or null when it failed.
function openSession(port = p.sshd.plain) {
  return new Promise((resolve) => {
    const client = new SshClient();
    let done = false;
    const finish = (value) => { if (!done) { done = true; resolve(value); } };
    client.connect({
      host: p.host, port: String(port), username: p.user, password: p.password,
      knownhostsCallback: (result, fingerprint, key, type, answer) => answer(true),
      keyboardInteractiveCallback: (name, instruction, prompts, respond) => respond([{ text: p.password }]),
      connectCallback: () => finish(client),
      errorCallback: (error) => { fail('session', error.message); finish(null); },
      disconnectCallback: () => finish(null),
    });
  });
}

const rounds = {
  async connect() {
    const client = await openSession();
    if (client) client.close();
  },
  async exec() {
    const client = await openSession();
    if (!client) return;
    await checkedExec('exec', client, 1 + Math.floor(Math.random() * 200000));
    client.close();
  },
  async shell() {
    const client = await openSession();
    if (!client) return;
    await new Promise((resolve) => {
      let output = '';
      const timer = setTimeout(() => { fail('shell', 'no marker'); resolve(); }, 30000);
      client.shell({ term: 'xterm' }, (term) => {
        term.sendData(Buffer.from('echo "mark$((6*7))"; exit\n'));
      }, (data) => { output += data.toString('latin1'); }, () => {
        clearTimeout(timer);
        if (!output.includes('mark42')) fail('shell', 'no marker');
        resolve();
      });
    });
    client.close();
  },
  async sftp() {
    const client = await openSession();
    if (!client) return;
    const [code, sftp] = await new Promise((resolve) => client.sftp((...args) => resolve(args)));
    if (code !== 0) fail('sftp', `open ${code}`);
    else await sftpRound(sftp, counts.sftp % 5 === 4);
    client.close();
  },
  async telnet() {
    const client = new TelnetClient();
    await new Promise((resolve) => {
      let output = '';
      let sent = 0;
      const timer = setTimeout(() => { fail('telnet', 'no marker'); client.close(); }, 30000);
      client.connect({
        host: p.host, port: p.telnet.busybox, username: p.user, password: p.password,
        dataCallback: (data) => {
          output += data.toString('latin1');
          if (sent === 0 && /login: $/.test(output)) { sent = 1; client.send(Buffer.from(`${p.user}\n`)); }
          if (sent <= 1 && /Password: $/.test(output)) { sent = 2; client.send(Buffer.from(`${p.password}\n`)); }
          if (sent <= 2 && /\$ $/.test(output)) { sent = 3; client.send(Buffer.from('echo "mark$((6*7))"; exit\n')); }
        },
        errorCallback: (error) => { clearTimeout(timer); fail('telnet', error.message); resolve(); },
        disconnectCallback: () => {
          clearTimeout(timer);
          if (!output.includes('mark42')) fail('telnet', 'no marker');
          resolve();
        },
      });
    });
  },
  forwarding: forwardingRound,
  rekey: rekeyRound,
};

// Runs a command that writes `size` bytes and checks its status and output.
const checkedExec = (kind, client, size) => new Promise((resolve) => client.exec(
  Buffer.from(`head -c ${size} /dev/zero | tr '\\0' x`),
  (status, output) => resolve(status !== 0 || output.length !== size ? fail(kind, 'wrong output') : null),
  (error) => resolve(fail(kind, error.message))));

// Resolves with the reader's callbacks in order (pushed to `events`, which others may share) and the
// bytes that came; onPart(count) follows each part.
function download(sftp, filePath, events = [], onPart = () => {}) {
  const parts = [];
  return new Promise((resolve) => {
    const end = (event) => {
      events.push(event);
      resolve({ events, content: Buffer.concat(parts) });
    };
    sftp.getReader({
      filePath,
      onData: (buffer) => onPart(parts.push(buffer)),
      onSuccess: () => events.push('success'),
      onError: (code) => end(`error ${code}`),
      onClose: () => end('close'),
    }).readStart();
  });
}

// Writes `content` in 256 KiB chunks without waiting; resolves with the writer's callbacks in order.
function upload(sftp, filePath, content) {
  return new Promise((resolve) => {
    const done = [];
    const writer = sftp.getWriter({ filePath, onSuccess: () => done.push('success'),
      onError: (code) => resolve([`error ${code}`]), onClose: () => resolve(done) });
    for (let at = 0; at < content.length; at += 1 << 18) {
      writer.write({ fileChunk: content.subarray(at, at + (1 << 18)), completionCallback() {} });
    }
    writer.final(() => done.push('final'));
  });
}

// One-call operations, then a download and an upload checked whole; with cutShort the file system is
// closed after the download's first part instead, and every callback must still come once.
async function sftpRound(sftp, cutShort) {
  const source = path.join(sftpDir, 'source');
  const dir = path.join(sftpDir, `d${crypto.randomBytes(6).toString('hex')}`);
  const copy = path.join(dir, 'copy');
  const call = (method, ...args) => new Promise((resolve) => sftp[method](...args, (...results) => resolve(results)));
  const expect = (what, results, wanted) => {
    if (JSON.stringify(results) !== JSON.stringify(wanted)) fail('sftp', `${what}: ${JSON.stringify(results)}`);
  };
  const made = await call('makeDir', dir, 0o755);
  const [statCode, attrs] = await call('stat', source);
  expect('one-call', [made, statCode, attrs.size, await call('realPath', dir), (await call('listDir', dir))[1].length],
    [[], 0, sftpContent.length, [0, dir], 2]);
  const events = [];
  let closed;
  const { content } = await download(sftp, source, events, (count) => {
    if (count === 1 && cutShort) closed = new Promise((resolve) => sftp.close((...args) => resolve(events.push(`closed ${args}`))));
  });
  if (cutShort) {
    await closed;
    return expect('cut short', events, ['error -26', 'closed ']);
  }
  expect('download', [events, content.equals(sftpContent)], [['success', 'close'], true]);
  const uploaded = await upload(sftp, copy, sftpContent);
  expect('upload', [uploaded, fs.existsSync(copy) && fs.readFileSync(copy).equals(sftpContent)],
    [['success', 'final'], true]);
  expect('remove', [await call('removeFile', copy), await call('removeDir', dir)], [[], []]);
  await call('close');
}

// On the sshd that re-keys every 256 KiB or second: two downloads, two uploads and 200 stats at once on one
// file system with a command beside them, each checked whole; a round not ended in a minute fails.
async function rekeyRound() {
  const client = await openSession(p.sshd.rekey);
  if (!client) return;
  const uploads = [0, 1].map((i) => path.join(sftpDir, `r${crypto.randomBytes(6).toString('hex')}-${i}`));
  const work = (async () => {
    const [code, sftp] = await new Promise((resolve) => client.sftp((...args) => resolve(args)));
    if (code !== 0) return fail('rekey', `sftp open ${code}`);
    const source = path.join(sftpDir, 'source');
    const stat = () => new Promise((resolve) => sftp.stat(source, (statCode, attrs) => resolve([statCode, attrs?.size])));
    const [downloads, uploaded, stats] = await Promise.all([
      Promise.all([download(sftp, source), download(sftp, source)]),
      Promise.all(uploads.map((file) => upload(sftp, file, sftpContent))),
      Promise.all(Array.from({ length: 200 }, stat)),
      checkedExec('rekey', client, 1 << 20),
    ]);
    const results = [...downloads.map(({ events, content }) => [events, content.equals(sftpContent)]),
      ...uploaded.map((done, i) => [done, fs.readFileSync(uploads[i]).equals(sftpContent)]),
      stats.filter(([statCode, size]) => statCode !== 0 || size !== sftpContent.length)];
    const wanted = [[['success', 'close'], true], [['success', 'close'], true], [['success', 'final'], true], [['success', 'final'], true], []];
    if (JSON.stringify(results) !== JSON.stringify(wanted)) fail('rekey', JSON.stringify(results).slice(0, 200));
  })();
  let timer;
  const timeout = new Promise((resolve) => { timer = setTimeout(resolve, 60000, true); });
  if (await Promise.race([work.then(() => false, (error) => fail('rekey', error.message)), timeout])) fail('rekey', 'no end in a minute');
  clearTimeout(timer);
  client.close();
  for (const file of uploads) fs.rmSync(file, { force: true });
}

// Forwarding: a local and a SOCKS forwarding on one session relay a batch of connections that each
// write, half-close and check the echo; every third round a forwarding is closed while its
// connections still run (those may be cut short, but each must end).
const echoPort = new Promise((resolve) => {
  const server = net.createServer({ allowHalfOpen: true }, (socket) => socket.on('error', () => {}).pipe(socket));
  server.listen(0, '127.0.0.1', () => { server.unref(); resolve(server.address().port); });
});

// Resolves with the forwarding, its port and a promise of its end; null when it is not ready in 5 s.
function forward(client, method, hostPort) {
  let end;
  const done = new Promise((resolve) => { end = resolve; });
  return new Promise((resolve) => {
    client[method]({ bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort, disconnectCallback: () => end(),
                     readyCallback: (forwarding) => resolve({ forwarding, port: forwarding.getBindPort(), done }) });
    setTimeout(() => resolve(null), 5000);
  });
}

// Writes text (after prefix) and half-closes; resolves with what came back, or null on a reset.
function relay(port, prefix, text) {
  return new Promise((resolve) => {
    const socket = net.connect({ port, host: '127.0.0.1', allowHalfOpen: true }, () => socket.end(Buffer.concat([prefix, Buffer.from(text)])));
    const chunks = [];
    socket.on('data', (d) => chunks.push(d));
    socket.on('error', () => resolve(null));
    socket.on('close', (hadError) => { if (!hadError) resolve(Buffer.concat(chunks).toString('latin1')); });
  });
}

async function forwardingRound() {
  const port = await echoPort;
  const client = await openSession();
  if (!client) return;
  const cutShort = counts.forwarding % 3 === 2;
  const [local, socks] = await Promise.all([forward(client, 'localPortForwarding', port),
    forward(client, 'dynamicPortForwarding', port)]);
  if (!local || !socks) {
    fail('forwarding', 'no readyCallback');
    return client.close();
  }
  // SOCKS 5 without authentication, a CONNECT to the echo server; the reply binds no address.
  const greeting = Buffer.from([5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, port >> 8, port & 255]);
  const socksReply = '\x05\x00\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00';
  const relays = [[local.port, Buffer.alloc(0), ''], [socks.port, greeting, socksReply]].flatMap(([at, prefix, reply]) =>
    Array.from({ length: 20 }, (_, i) => {
      const text = `payload ${i} `.repeat(1 + Math.floor(Math.random() * 4000));
      return relay(at, prefix, text).then((answer) => [answer, reply + text]);
    }));
  if (cutShort) setTimeout(() => local.forwarding.close(), 5);
  for (const [answer, expected] of await Promise.all(relays)) {
    if (answer !== expected && !(cutShort && (answer === null || expected.startsWith(answer)))) {
      fail('forwarding', 'wrong echo');
    }
  }
  local.forwarding.close();
  socks.forwarding.close();
  await Promise.all([local.done, socks.done]);
  client.close();
}

function openDescriptors() {
  return fs.readdirSync('/proc/self/fd').length;
}

async function main() {
  const kinds = Object.keys(rounds);
  const endAt = Date.now() + MINUTES * 60000;
  const samples = [];
  const sample = () => {
    const s = { minute: samples.length, rss: process.memoryUsage().rss, fds: openDescriptors(), ...counts };
    samples.push(s);
    const done = Object.keys(rounds).map((kind) => `${s[kind]} ${kind}`).join(', ');
    console.log(`minute ${s.minute}: rss ${(s.rss / 1048576).toFixed(1)} MiB, ${s.fds} descriptors, ${done}, ` +
                `${s.failed} failed`);
  };
  sample();
  const timer = setInterval(sample, 60000);
  let next = 0;
  const worker = async () => {
    while (Date.now() < endAt) {
      const kind = kinds[next++ % kinds.length];
      await rounds[kind]();
      counts[kind]++;
    }
  };
  await Promise.all(Array.from({ length: PARALLEL }, worker));
  clearInterval(timer);
  global.gc?.();
  await new Promise((resolve) => setTimeout(resolve, 1000));
  sample();
  const mib = (bytes) => `${(bytes / 1048576).toFixed(1)} MiB`;
  const peak = samples.reduce((a, b) => (b.rss > a.rss ? b : a));
  const peakFds = Math.max(...samples.map((s) => s.fds));
  const first = samples[0];
  const last = samples[samples.length - 1];
  console.log(`soak: rss start ${mib(first.rss)}, peak ${mib(peak.rss)} (minute ${peak.minute}), end ${mib(last.rss)}; ` +
              `descriptors start ${first.fds}, peak ${peakFds}, end ${last.fds}`);
  console.log(`soak: each minute and at the end, rss (MiB) and descriptors: ${samples.map((s) => `${(s.rss / 1048576).toFixed(1)}/${s.fds}`).join(' ')}`);
  for (const [what, n] of failures) console.log(`  failed ${n}x: ${what}`);
  process.exitCode = counts.failed > 0 || last.fds > first.fds + 2 ? 1 : 0;
}

main();
