'use strict';
// close and garbage collection in every phase of a session: exactly one final callback where one is
// due, never a crash, and a process that ends by itself once its clients are done.
const test = require('node:test');
const assert = require('node:assert');
const net = require('node:net');
const path = require('node:path');
const { spawn } = require('node:child_process');
const peers = require('./support/peers');
const { session, describeError } = require('./support/ssh_session');
const { runChild } = require('./support/child');

const root = path.join(__dirname, '..', '..');
const UV_ECANCELED = -125;

// A listener that never accepts, with its queue full: a connect to it stays in progress.
async function stuckListener() {
  const python = spawn('python3', ['-c', [
    'import socket, sys',
    's = socket.socket()',
    "s.bind(('127.0.0.1', 0))",
    's.listen(0)',
    'print(s.getsockname()[1], flush=True)',
    'sys.stdin.read()',
  ].join('\n')], { stdio: ['pipe', 'pipe', 'inherit'] });
  const port = await new Promise((resolve) => python.stdout.once('data', (d) => resolve(Number(d))));
  const fillers = [];
  for (let i = 0; i < 2; i++) {
    const filler = net.connect(port, '127.0.0.1');
    filler.on('error', () => {});
    fillers.push(filler);
  }
  await new Promise((resolve) => setTimeout(resolve, 100));
  return {
    port,
    close() {
      fillers.forEach((f) => f.destroy());
      python.stdin.end();
    },
  };
}

// A server that accepts and then says nothing: the handshake waits for its banner.
async function silentServer() {
  const sockets = [];
  const server = net.createServer((socket) => {
    sockets.push(socket);
    server.emit('accepted', socket);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    server,
    port: server.address().port,
    close() {
      sockets.forEach((s) => s.destroy());
      server.close();
    },
  };
}

test('close in every phase', async (t) => {
  await t.test('before connect, and twice: nothing happens', () => {
    const { SshClient } = require(root);
    const client = new SshClient();
    client.close();
    client.close();
  });

  await t.test('while resolving: cancelled once the resolution is done', async () => {
    const record = await session({}, { afterConnect: (client) => client.close() });
    assert.deepStrictEqual(record.events, ['error']);
    const error = describeError(record.error);
    assert.strictEqual(error.type, 1);
    assert.strictEqual(error.code, UV_ECANCELED);
    assert.match(error.message, /^Connecting to 127\.0\.0\.1:\d+ was cancelled by close\(\)/);
  });

  await t.test('while the TCP connect is in progress: cancelled', async () => {
    const listener = await stuckListener();
    try {
      const record = await session({ port: String(listener.port) }, {
        afterConnect: (client) => setTimeout(() => client.close(), 300),
      });
      assert.deepStrictEqual(record.events, ['error']);
      assert.strictEqual(record.error.libquelbar_error_code, UV_ECANCELED);
    } finally {
      listener.close();
    }
  });

  await t.test('during the handshake: ends without an error', async () => {
    const silent = await silentServer();
    try {
      const record = await session({ port: String(silent.port) }, {
        afterConnect: (client) => silent.server.once('accepted', () => setTimeout(() => client.close(), 50)),
      });
      assert.deepStrictEqual(record.events, ['disconnected']);
    } finally {
      silent.close();
    }
  });

  await t.test('while the host-key question is open; a late answer is ignored', async () => {
    let client;
    const record = await session({}, {
      beforeConnect: (c) => { client = c; },
      hostKey: (done) => {
        client.close();
        setTimeout(() => done(true), 50);
      },
    });
    assert.deepStrictEqual(record.events, ['hostkey', 'disconnected']);
  });

  await t.test('while authenticating; a late answer is ignored', async () => {
    let client;
    const record = await session({}, {
      beforeConnect: (c) => { client = c; },
      question: (respond) => {
        client.close();
        setTimeout(() => respond([{ text: peers.load().password }]), 50);
      },
    });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'disconnected']);
  });

  await t.test('connected, twice', async () => {
    const record = await session({}, {
      connected: (client) => {
        client.close();
        client.close();
      },
    });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
  });
});

// The client is reachable only through a WeakRef: garbage collection may take it whenever the module
// lets go of it. The session must go on to its end regardless, and the client must be collectable
// after that end.
const GC_CHILD = String.raw`
const { SshClient } = require(process.env.QUELBAR_ROOT);
const net = require('net');
const phase = process.env.PHASE;
const events = [];
let ref;
let collectedAfterEnd = null;
process.on('exit', () => process.stdout.write(JSON.stringify({ events, collectedAfterEnd })));
function end(what) {
  events.push(what);
  setTimeout(() => {
    gc();
    setTimeout(() => { gc(); collectedAfterEnd = ref.deref() === undefined; }, 20);
  }, 20);
}
// Defined out here so that its timers hold nothing of the callback that calls it: a done or respond
// function that script drops must become garbage.
function collectSoon() {
  setTimeout(() => { gc(); setTimeout(gc, 20); }, 20);
}
function start(port) {
  const client = new SshClient();
  ref = new WeakRef(client);
  client.connect({
    host: '127.0.0.1', port: String(port), username: process.env.QUELBAR_SSH_USER,
    knownhostsCallback(result, fingerprint, key, type, done) {
      events.push('hostkey');
      if (phase === 'hostkey') { gc(); setTimeout(() => { gc(); done(true); }, 20); }
      else if (phase === 'hostkey-dropped') collectSoon();
      else done(true);
    },
    keyboardInteractiveCallback(name, instruction, prompts, respond) {
      events.push('question');
      const answer = () => respond([{ text: process.env.QUELBAR_SSH_PASSWORD }]);
      if (phase === 'question') { gc(); setTimeout(() => { gc(); answer(); }, 20); }
      else if (phase === 'question-dropped') collectSoon();
      else answer();
    },
    connectCallback() {
      events.push('connected');
      gc();
      setTimeout(() => { gc(); ref.deref().close(); }, 20);
    },
    disconnectCallback() { end('disconnected'); },
    errorCallback(error) { end('error ' + error.libquelbar_error_type); },
  });
}
if (phase === 'handshake') {
  // Accepts, lets garbage collection run while the client waits for the banner, then hands the
  // connection over to the real sshd.
  const server = net.createServer((socket) => {
    setTimeout(() => {
      gc();
      const upstream = net.connect(Number(process.env.QUELBAR_SSHD_PORT), '127.0.0.1');
      socket.pipe(upstream).pipe(socket);
      upstream.on('error', () => socket.destroy());
      socket.on('error', () => upstream.destroy());
      server.close();
    }, 50);
  });
  server.listen(0, '127.0.0.1', () => start(server.address().port));
} else {
  start(process.env.QUELBAR_SSHD_PORT);
  if (phase === 'resolving') gc();
}
`;

test('garbage collection in every phase never takes a live session away', async (t) => {
  const connected = ['hostkey', 'question', 'connected', 'disconnected'];
  const phases = {
    resolving: connected,
    handshake: connected,
    hostkey: connected,
    'hostkey-dropped': ['hostkey', 'disconnected'],
    question: connected,
    'question-dropped': ['hostkey', 'question', 'error 2'],
    connected,
  };
  for (const [phase, events] of Object.entries(phases)) {
    await t.test(phase, () => {
      const result = runChild(GC_CHILD, { PHASE: phase });
      assert.deepStrictEqual(result, { events, collectedAfterEnd: true });
    });
  }
});

test('a process whose clients are done, or never connected, ends by itself', () => {
  const result = runChild(String.raw`
    const { SshClient } = require(process.env.QUELBAR_ROOT);
    const idle = new SshClient();
    const events = [];
    process.on('exit', () => process.stdout.write(JSON.stringify(events)));
    const client = new SshClient();
    client.connect({ host: '127.0.0.1', port: process.env.QUELBAR_SSHD_PORT,
      knownhostsCallback(r, f, k, t, done) { done(false); },
      disconnectCallback() { events.push('disconnected'); } });
  `, {});
  assert.deepStrictEqual(result, ['disconnected']);
});

test('100 sessions at once, then closed: all succeed and memory returns near its start', () => {
  const result = runChild(String.raw`
    const fs = require('fs');
    const { SshClient } = require(process.env.QUELBAR_ROOT);
    const key = fs.readFileSync(process.env.QUELBAR_CLIENT_KEY_ED25519, 'utf8');
    const COUNT = 100;
    const ROUNDS = 4;
    const report = { rounds: [] };
    process.on('exit', () => process.stdout.write(JSON.stringify(report)));
    const pause = () => new Promise((resolve) => setTimeout(resolve, 50));
    function memory() {
      gc();
      const { rss, heapUsed } = process.memoryUsage();
      return { rss, heapUsed };
    }
    function round(count) {
      return new Promise((resolve) => {
        const clients = [];
        let connected = 0, ended = 0;
        const failures = [];
        const done = () => { if (++ended === count) resolve({ connected, failures }); };
        // Closed only once every session is up or has failed, so that all of them are connected at
        // once and one failure cannot leave the others open for ever.
        const settle = () => {
          if (connected + failures.length === count) clients.forEach((c) => c.close());
        };
        for (let i = 0; i < count; i++) {
          const client = new SshClient();
          clients.push(client);
          client.connect({
            host: '127.0.0.1', port: process.env.QUELBAR_SSHD_PORT,
            username: process.env.QUELBAR_SSH_USER, privateKey: key,
            knownhostsCallback(r, f, k, t, answer) { answer(true); },
            connectCallback() { ++connected; settle(); },
            disconnectCallback: done,
            errorCallback(error) { failures.push(error.message); settle(); done(); },
          });
        }
      });
    }
    (async () => {
      await round(1);  // libssh2, OpenSSL and the resolver threads are set up once per process
      await pause();
      report.start = memory();
      for (let i = 0; i < ROUNDS; i++) {
        const outcome = await round(COUNT);
        await pause();
        report.rounds.push({ ...outcome, ...memory() });
      }
    })();
  `, {
    // Fixed thresholds, so that freed blocks go back to the system instead of waiting in the
    // allocator's free lists, which would hide a leak or fake one.
    GLIBC_TUNABLES: 'glibc.malloc.mmap_threshold=131072:glibc.malloc.trim_threshold=131072',
  });
  const MB = 1024 * 1024;
  const mb = (bytes) => (bytes / MB).toFixed(1);
  process.stdout.write(`# rss: ${mb(result.start.rss)} MB at the start, ` +
                       `${result.rounds.map((r) => mb(r.rss)).join(', ')} MB after each round; ` +
                       `script heap ${mb(result.start.heapUsed)} MB, then ` +
                       `${result.rounds.map((r) => mb(r.heapUsed)).join(', ')} MB\n`);
  for (const round of result.rounds) {
    assert.deepStrictEqual(round.failures, []);
    assert.strictEqual(round.connected, 100);
  }
  const first = result.rounds[0];
  const last = result.rounds[result.rounds.length - 1];
  // Every client and callback is collected once its session has ended.
  assert.ok(last.heapUsed - result.start.heapUsed < 1 * MB, `script heap grew ${mb(last.heapUsed - result.start.heapUsed)} MB`);
  // What the first round's peak of 100 sessions left allocated (arenas, crypto caches) stays; the
  // rounds after it must not add to it.
  // Under the sanitizers freed memory waits in quarantine: RSS says nothing there.
  if (!/libasan/.test(process.env.LD_PRELOAD || '')) {
    assert.ok(last.rss - first.rss < 8 * MB, `rss grew ${mb(last.rss - first.rss)} MB after the first round`);
    assert.ok(last.rss - result.start.rss < 24 * MB, `rss grew ${mb(last.rss - result.start.rss)} MB`);
  }
});
