'use strict';
// Local, remote and dynamic forwarding against the plain sshd, with targets and clients on loopback.
const assert = require('node:assert');
const { test } = require('node:test');
const fs = require('node:fs');
const net = require('node:net');
const http = require('node:http');
const path = require('node:path');
const readline = require('node:readline');
const { spawn, execFile } = require('node:child_process');
const peers = require('./support/peers');
const {
  closeLeftovers, connect, server, echoServer, sinkServer, sourceServer, exchange, patternHash, forward, execText,
} = require('./support/forwarding');

test.afterEach(closeLeftovers);

const MiB = 1 << 20;
const local = (client, hostPort, extra = {}) => forward(client, 'localPortForwarding',
  { bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort, ...extra });
// A target port where nothing listens. Not a freed ephemeral port: a connection to one may get that
// same port as its source and so reach itself.
const NOWHERE = 1;
const openFds = () => fs.readdirSync('/proc/self/fd').length;

test('local forwarding relays both ways, half-closes, and runs beside shells and execs', async () => {
  const { client, ended } = await connect();
  const [echo, sink, source] = await Promise.all([echoServer(), sinkServer(),
                                                  sourceServer(64 * MiB)]);
  const toSink = await local(client, sink.address().port);
  const toSource = await local(client, source.address().port);
  const toEcho = await local(client, echo.address().port);
  assert.ok(toEcho.readyBeforeReturn, 'readyCallback runs inside localPortForwarding');
  assert.ok(toEcho.boundPort > 0);
  assert.strictEqual(toEcho.forwarding.getBindAddress(), '127.0.0.1');

  let shellOutput = '';
  const shellDone = new Promise((resolve) => {
    client.shell(undefined, (terminal) => terminal.sendData(Buffer.from('echo shell-ok; exit\n')),
      (data) => { shellOutput += data; }, resolve);
  });
  const small = patternHash(4096);
  const [up, down, echoes, execs] = await Promise.all([
    exchange(toSink.boundPort, 64 * MiB),
    exchange(toSource.boundPort),
    Promise.all(Array.from({ length: 200 }, () => exchange(toEcho.boundPort, 4096))),
    Promise.all(Array.from({ length: 10 }, (_, i) => execText(client, `echo exec-${i}`))),
    shellDone,
  ]);
  // The sink answers after our EOF: every byte went before it, and the answer came back after it.
  assert.strictEqual(up.text, `${64 * MiB} ${patternHash(64 * MiB)}`);
  assert.deepStrictEqual([down.count, down.sha256], [64 * MiB, patternHash(64 * MiB)]);
  for (const e of echoes) assert.deepStrictEqual([e.count, e.sha256], [4096, small]);
  execs.forEach((text, i) => assert.strictEqual(text, `0:exec-${i}\n`));
  assert.match(shellOutput, /shell-ok/);

  // A refused target closes that client only; a port in use gives no forwarding at all.
  const toNowhere = await local(client, NOWHERE);
  const refused = await exchange(toNowhere.boundPort).catch((error) => error);
  assert.ok(refused instanceof Error || refused.count === 0);
  assert.strictEqual((await local(client, echo.address().port,
                                  { port: toEcho.boundPort })).forwarding, null);

  // A target that goes while its client still sends (and ignores our end of stream): the client's
  // connection ends too, rather than waiting for ever on a channel the server has closed.
  const quitter = await server((socket) => {
    socket.on('error', () => {});
    socket.once('data', () => socket.destroy());
  });
  const toQuitter = await local(client, quitter.address().port);
  await Promise.all(Array.from({ length: 3 }, () => new Promise((resolve) => {
    const socket = net.connect({ port: toQuitter.boundPort, host: '127.0.0.1', allowHalfOpen: true });
    const block = Buffer.alloc(MiB);
    const write = () => {
      while (!socket.destroyed && socket.write(block));
      socket.once('drain', write);
    };
    socket.on('connect', write);
    socket.on('error', () => {});
    socket.on('close', resolve);
  })));

  // Thousands of short connections leave no descriptor and no memory behind.
  const fdsBefore = openFds();
  const rssBefore = process.memoryUsage().rss;
  for (let i = 0; i < 5000; i++) {
    assert.strictEqual((await exchange(toEcho.boundPort, 16)).count, 16);
  }
  await new Promise((r) => setTimeout(r, 200));
  assert.ok(openFds() <= fdsBefore + 2, `${openFds()} descriptors open, ${fdsBefore} before`);
  assert.ok(process.memoryUsage().rss - rssBefore < 32 * MiB);

  toEcho.forwarding.close();
  await toEcho.disconnected;
  assert.deepStrictEqual([toEcho.forwarding.getBindAddress(), toEcho.forwarding.getBindPort()],
                         ['', 0]);
  toEcho.forwarding.close();
  await assert.rejects(exchange(toEcho.boundPort), /ECONNREFUSED/);
  client.close();
  assert.strictEqual(await ended, 'disconnected');
  await Promise.all([toSink.disconnected, toSource.disconnected, toNowhere.disconnected,
                     toQuitter.disconnected]);
  for (const s of [echo, sink, source, quitter]) s.close();
});

// The forwarding runs in a child whose memory is its own; target and client run here.
function forwardingChild(hostPort) {
  const script = `
    const { SshClient } = require(process.env.QUELBAR_ROOT);
    const client = new SshClient();
    let base = 0;
    let peak = 0;
    setInterval(() => { if (base) peak = Math.max(peak, process.memoryUsage().rss - base); }, 20).unref();
    client.connect({ host: process.env.QUELBAR_PEERS_HOST || '127.0.0.1',
      port: process.env.QUELBAR_SSHD_PORT, username: process.env.QUELBAR_SSH_USER,
      password: process.env.QUELBAR_SSH_PASSWORD, knownhostsCallback: (r, f, k, t, done) => done(true),
      connectCallback: () => client.localPortForwarding({ bindAddress: '127.0.0.1', port: 0,
        host: '127.0.0.1', hostPort: ${hostPort},
        readyCallback: (f) => { base = process.memoryUsage().rss; console.log(f.getBindPort()); } }),
      errorCallback: (e) => { console.error(e.message); process.exit(1); } });
    process.stdin.on('data', () => { console.log(peak); process.exit(0); });`;
  const child = spawn(process.execPath, ['-e', script], {
    env: { ...process.env, ...peers.load().vars, QUELBAR_ROOT: path.resolve(__dirname, '..', '..') },
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  return {
    port: async () => Number((await lines.next()).value),
    peak: async () => { child.stdin.write('report\n'); return Number((await lines.next()).value); },
  };
}

// Writes into socket until it has stalled for a while, and resolves with the count written.
function fillUntilStalled(socket) {
  return new Promise((resolve) => {
    const block = Buffer.alloc(MiB);
    let written = 0;
    let stopped = false;
    const write = () => {
      while (socket.write(block)) written += block.length;
      written += block.length;
      const stalled = setTimeout(() => { stopped = true; resolve(written); }, 1000);
      socket.once('drain', () => {
        clearTimeout(stalled);
        if (!stopped) write();
      });
    };
    write();
  });
}

test('a target or client that reads nothing holds memory bounded, then gets every byte', async (t) => {
  const GiB = 1024 * MiB;
  let targetSocket;
  const target = await server((socket) => {
    targetSocket = socket;
    socket.pause();
    socket.on('error', () => {});  // reset when the forwarding process exits
  });
  const child = forwardingChild(target.address().port);
  const port = await child.port();

  // Upload: the target does not read while the client sends.
  const sender = net.connect({ port, host: '127.0.0.1' });
  sender.on('error', () => {});
  await fillUntilStalled(sender);
  let received = 0;
  const allIn = new Promise((resolve) => targetSocket.on('data', (d) => {
    received += d.length;
    if (received >= GiB) resolve();
  }));
  const sendRest = async () => {
    const block = Buffer.alloc(MiB);
    for (let sent = 0; sent < GiB; sent += MiB) {
      if (!sender.write(block)) await new Promise((r) => sender.once('drain', r));
    }
  };
  targetSocket.resume();
  await Promise.all([sendRest(), allIn]);

  // Download: the client does not read while the target sends.
  sender.pause();
  targetSocket.write(Buffer.alloc(64 * MiB));
  await fillUntilStalled(targetSocket);
  let got = 0;
  const downIn = new Promise((resolve) => sender.on('data', (d) => {
    got += d.length;
    if (got >= 2 * MiB) resolve();
  }));
  sender.resume();
  await downIn;
  const peak = await child.peak();
  t.diagnostic(`peak growth of the forwarding process: ${(peak / MiB).toFixed(1)} MiB`);
  // Under the sanitizers freed memory waits in quarantine: RSS says nothing there.
  if (!/libasan/.test(process.env.LD_PRELOAD || '')) {
    assert.ok(peak < 32 * MiB, `the forwarding process grew by ${(peak / MiB).toFixed(1)} MiB`);
  }
  sender.destroy();
  target.close();
});

test('remote forwarding: two listens at once, each to its own target; a burst; refusal and cancel', async () => {
  const { client, ended } = await connect();
  const [echo, sink] = await Promise.all([echoServer(), sinkServer()]);
  const remote = (hostPort, port = 0) => forward(client, 'remotePortForwarding',
    { bindAddress: '127.0.0.1', port, host: '127.0.0.1', hostPort });
  const [toEcho, toSink, refused] = await Promise.all([
    remote(echo.address().port), remote(sink.address().port), remote(echo.address().port, 1)]);
  assert.ok(toEcho.boundPort > 0 && toSink.boundPort > 0 && toEcho.boundPort !== toSink.boundPort);
  assert.strictEqual(toEcho.forwarding.getBindAddress(), '127.0.0.1');
  assert.strictEqual(refused.forwarding, null, 'a port below 1024 is refused to a plain user');

  const [echoed, counted] = await Promise.all([
    Promise.all(Array.from({ length: 20 }, () => exchange(toEcho.boundPort, 100000))),
    exchange(toSink.boundPort, 8 * MiB),
  ]);
  for (const e of echoed) assert.strictEqual(e.sha256, patternHash(100000));
  assert.strictEqual(counted.text, `${8 * MiB} ${patternHash(8 * MiB)}`);

  // 300 clients at once: channels open faster than a pass accepts them; each is relayed, the loop free.
  let [last, longestGap] = [Date.now(), 0];
  const ticker = setInterval(() => { longestGap = Math.max(longestGap, Date.now() - last); last = Date.now(); }, 20);
  const burst = await Promise.all(Array.from({ length: 300 }, (_, i) => writeAndEnd(toEcho.boundPort, `remote ${i}`)));
  clearInterval(ticker);
  assert.deepStrictEqual(burst.filter((a, i) => a !== `remote ${i}`), []);
  assert.ok(longestGap < 1000, `the loop stood still for ${longestGap} ms`);

  toEcho.forwarding.close();
  await toEcho.disconnected;
  // The cancel went before this exec's open, and the server takes requests in order.
  assert.strictEqual(await execText(client, 'true'), '0:');
  await assert.rejects(exchange(toEcho.boundPort), /ECONNREFUSED/, 'the server stopped listening');
  client.close();
  assert.strictEqual(await ended, 'disconnected');
  await Promise.all([toSink.disconnected, refused.disconnected]);
  echo.close();
  sink.close();
});

test('close() while the server never answers a listen ends every forwarding and the client once',
  async () => {
    const { client, ended } = await connect({ port: String(peers.load().ssh2ServerPort),
                                              username: 'forward-silent' });
    const events = [];
    // The first request goes out and stays unanswered; the second waits for it.
    for (const name of ['first', 'second']) {
      client.remotePortForwarding({
        bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: 9,
        readyCallback: () => events.push(`${name} ready`),
        disconnectCallback: () => events.push(`${name} disconnected`),
      });
    }
    await new Promise((r) => setTimeout(r, 200));
    client.close();
    assert.strictEqual(await ended, 'disconnected');
    await new Promise((r) => setTimeout(r, 100));
    assert.deepStrictEqual(events, ['first disconnected', 'second disconnected']);
  });

const curl = (...args) => new Promise((resolve) => {
  execFile('curl', ['-s', '-S', '--max-time', '20', ...args], (error, stdout, stderr) =>
    resolve(error ? `failed: ${stderr.trim()}` : stdout));
});

// Sends bytes to a SOCKS port and resolves with everything received until the server closes.
const raw = (port, bytes) => new Promise((resolve) => {
  const socket = net.connect({ port, host: '127.0.0.1' }, () => socket.write(bytes));
  const chunks = [];
  socket.on('data', (d) => chunks.push(d));
  socket.on('close', () => resolve(Buffer.concat(chunks)));
  socket.on('error', () => {});
});

test('dynamic forwarding serves SOCKS4, 4a and 5 clients and answers what it cannot do', async () => {
  const { client, ended } = await connect();
  const web = http.createServer((req, res) => res.end(`hello ${req.url}`));
  await new Promise((r) => web.listen(0, '::', r));
  const webPort = web.address().port;
  const socks = await forward(client, 'dynamicPortForwarding',
                              { bindAddress: '127.0.0.1', port: 0 });
  assert.ok(socks.readyBeforeReturn && socks.boundPort > 0);
  const proxy = `127.0.0.1:${socks.boundPort}`;

  const answers = await Promise.all([
    curl('--socks4', proxy, `http://127.0.0.1:${webPort}/4`),
    curl('--socks4a', proxy, `http://localhost:${webPort}/4a`),
    curl('--socks5', proxy, `http://[::1]:${webPort}/5`),
    curl('--socks5-hostname', proxy, `http://localhost:${webPort}/5h`),
    ...Array.from({ length: 40 }, (_, i) => curl('--socks5-hostname', proxy,
                                                 `http://127.0.0.1:${webPort}/p${i}`)),
    execText(client, 'echo beside'),
  ]);
  assert.deepStrictEqual(answers.slice(0, 4), ['hello /4', 'hello /4a', 'hello /5', 'hello /5h']);
  answers.slice(4, 44).forEach((text, i) => assert.strictEqual(text, `hello /p${i}`));
  assert.strictEqual(answers[44], '0:beside\n');

  const port = socks.boundPort;
  const connectTo = (p, command = 1) => Buffer.from([5, command, 0, 1, 127, 0, 0, 1, p >> 8, p & 255]);
  const get = Buffer.from('GET /piped HTTP/1.0\r\n\r\n');
  const [refusedTarget, noMethod, garbage, unsupported, piped, socks4Bind] = await Promise.all([
    raw(port, Buffer.concat([Buffer.from([5, 1, 0]), connectTo(NOWHERE)])),
    raw(port, Buffer.from([5, 1, 2])),
    raw(port, Buffer.from('GET / HTTP/1.1\r\n\r\n')),
    raw(port, Buffer.concat([Buffer.from([5, 1, 0]), connectTo(webPort, 3)])),
    raw(port, Buffer.concat([Buffer.from([5, 1, 0]), connectTo(webPort), get])),
    raw(port, Buffer.from([4, 2, webPort >> 8, webPort & 255, 127, 0, 0, 1, 0])),
  ]);
  assert.strictEqual(refusedTarget.toString('hex'), '0500' + '05010001000000000000');
  assert.strictEqual(noMethod.toString('hex'), '05ff');
  assert.strictEqual(garbage.length, 0);
  assert.strictEqual(unsupported.toString('hex'), '0500' + '05070001000000000000');
  // Greeting, request and data in one write: nothing is lost.
  assert.match(piped.toString(), /^\x05\x00\x05\x00\x00\x01[\s\S]*hello \/piped$/);
  assert.strictEqual(socks4Bind.toString('hex'), '005b000000000000');

  // Clients that never finish their greeting give way, oldest first, once 256 of them wait.
  const idlers = [];
  for (let i = 0; i < 256; i++) {
    const socket = net.connect({ port, host: '127.0.0.1' });
    socket.on('error', () => {});
    await new Promise((r) => socket.on('connect', r));
    socket.write(Buffer.from([5]));
    idlers.push(new Promise((r) => socket.on('close', () => r(i))));
  }
  const late = raw(port, Buffer.concat([Buffer.from([5, 1, 0]), connectTo(webPort), get]));
  assert.strictEqual(await Promise.race(idlers), 0);
  assert.match((await late).toString(), /hello \/piped$/);

  socks.forwarding.close();
  await Promise.all([socks.disconnected, ...idlers]);
  client.close();
  assert.strictEqual(await ended, 'disconnected');
  web.close();
});

// Connects, writes bytes and half-closes at once; resolves with what came back, or 'reset'.
const writeAndEnd = (port, bytes) => new Promise((resolve) => {
  const socket = net.connect({ port, host: '127.0.0.1', allowHalfOpen: true }, () => socket.end(bytes));
  const chunks = [];
  socket.on('data', (d) => chunks.push(d));
  socket.on('error', () => resolve('reset'));
  socket.on('close', (hadError) => { if (!hadError) resolve(Buffer.concat(chunks).toString('latin1')); });
});

test('bursts after failures are all relayed; a forwarding ends on a later turn', async () => {
  const { client, ended } = await connect();
  const echo = await echoServer();
  const toNowhere = await local(client, NOWHERE);
  let inClose = false;
  let endedInClose;
  const toEcho = await local(client, echo.address().port,
                             { disconnectCallback: () => { endedInClose = inClose; } });
  const socks = await forward(client, 'dynamicPortForwarding', { bindAddress: '127.0.0.1', port: 0 });
  const lost = (answers, expected) => answers.filter((a) => a !== expected).length;

  const failed = await Promise.all(Array.from({ length: 300 }, () => writeAndEnd(toNowhere.boundPort, 'x')));
  assert.ok(failed.every((a) => a === 'reset' || a === ''));
  const port = echo.address().port;
  const viaSocks = Buffer.concat([Buffer.from([5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, port >> 8, port & 255]),
                                  Buffer.from('socks')]);
  const [local300, socks300] = await Promise.all([
    Promise.all(Array.from({ length: 300 }, (_, i) => writeAndEnd(toEcho.boundPort, `local ${i}`))),
    Promise.all(Array.from({ length: 300 }, () => writeAndEnd(socks.boundPort, viaSocks))),
  ]);
  assert.strictEqual(local300.filter((a, i) => a !== `local ${i}`).length, 0);
  assert.strictEqual(lost(socks300, '\x05\x00\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00socks'), 0);

  // close() calls back on a later turn; a command started in the same turn keeps the session.
  const inert = new toEcho.forwarding.constructor();
  assert.deepStrictEqual([inert.getBindAddress(), inert.getBindPort(), inert.close()], ['', 0, undefined]);
  toNowhere.forwarding.close();
  socks.forwarding.close();
  await Promise.all([toNowhere.disconnected, socks.disconnected]);
  inClose = true;
  toEcho.forwarding.close();
  const command = execText(client, 'echo kept');
  inClose = false;
  assert.deepStrictEqual([toEcho.forwarding.getBindAddress(), toEcho.forwarding.getBindPort()], ['', 0]);
  assert.strictEqual(await command, '0:kept\n');
  await toEcho.disconnected;
  assert.strictEqual(endedInClose, false);
  assert.strictEqual(await ended, 'disconnected');
  echo.close();
});

test('closing, dropping or losing the session in every phase calls back once and never crashes',
  async () => {
    const { client, ended } = await connect();
    const [echo, source] = await Promise.all([echoServer(), sourceServer(256 * MiB)]);
    // Dropped by script: the forwarding goes on (and keeps the session open meanwhile).
    let dropped = await local(client, echo.address().port);
    const droppedPort = dropped.boundPort;
    const droppedEnd = dropped.disconnected;
    dropped = null;
    global.gc?.();

    // Closed while its connections open, relay, and idle in a SOCKS greeting.
    const busy = await local(client, source.address().port);
    const socks = await forward(client, 'dynamicPortForwarding', { bindAddress: '127.0.0.1',
                                                                   port: 0 });
    const transfers = Array.from({ length: 5 }, () => exchange(busy.boundPort).catch(() => null));
    const idle = raw(socks.boundPort, Buffer.from([5]));
    await new Promise((r) => setTimeout(r, 50));
    busy.forwarding.close();
    socks.forwarding.close();
    await Promise.all([busy.disconnected, socks.disconnected, idle, ...transfers]);
    assert.strictEqual((await exchange(droppedPort, 1000)).count, 1000);

    // The server ends the session in the middle of a transfer: every forwarding hears its end.
    const doomed = await local(client, source.address().port);
    const transfer = exchange(doomed.boundPort).catch(() => null);
    await new Promise((r) => setTimeout(r, 20));
    execText(client, 'kill -9 $PPID').catch(() => {});
    await Promise.all([doomed.disconnected, droppedEnd, transfer]);
    assert.ok((await ended) instanceof Error);
    echo.close();
    source.close();
  });
