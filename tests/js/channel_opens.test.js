'use strict';
// Channel opens of one session are independent: an open whose answer is slow holds back no other,
// and answers that come in any order reach the caller that asked. Against the test sshd with a
// forwarding target that never answers, and against a scripted server that answers opens out of
// order, answers one after its client gave it up, and starts SFTP wrongly.
const assert = require('node:assert');
const { test } = require('node:test');
const fs = require('node:fs');
const net = require('node:net');
const { spawn } = require('node:child_process');
const sleep = require('node:timers/promises').setTimeout;
const { Server } = require('ssh2');
const { SshClient } = require('../..');
const peers = require('./support/peers');
const { plainLogin } = require('./support/ssh_session');
const { closeLeftovers, echoServer, exchange, forward, execText } = require('./support/forwarding');

// What a test made, closed after it also when it fails half-way (it would otherwise hold the file).
const leftovers = new Set();
test.afterEach(() => {
  closeLeftovers();
  for (const made of leftovers) made.close();
  leftovers.clear();
});

// Settles as promise does, or fails after ms: a bound on a wait that would otherwise last as long as
// the server's own connect timeout, not a measure of speed.
const within = (ms, what, promise) => {
  let timer;
  return Promise.race([promise.finally(() => clearTimeout(timer)),
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`${what} waited`)), ms); })]);
};
const until = (what, done) => within(10000, what, (async () => { while (!done()) await sleep(20); })());

// A client logged in to the plain sshd (or where overrides say); `finals` lists its disconnectCallback
// and errorCallback calls.
function login(overrides = {}) {
  const client = new SshClient();
  const finals = [];
  leftovers.add(client);
  return new Promise((resolve, reject) => client.connect({ ...plainLogin(), ...overrides,
    connectCallback: () => resolve({ client, finals }), disconnectCallback: () => finals.push('disconnected'),
    errorCallback: (error) => { reject(error); finals.push(error); } }));
}

// A TCP port on 127.0.0.1 that takes no connection: its listener never accepts and its queue is
// full, so the kernel drops every further SYN and a connect to it waits until it gives up.
async function unansweringPort() {
  const python = spawn('python3', ['-c', `import socket, sys
s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(0); filler = socket.create_connection(s.getsockname())
print(s.getsockname()[1], flush=True); sys.stdin.read()`], { stdio: ['pipe', 'pipe', 'inherit'] });
  leftovers.add({ close: () => python.stdin.end() });
  return Number(await new Promise((resolve) => python.stdout.once('data', resolve)));
}

// A SOCKS5 CONNECT to 127.0.0.1:port through the SOCKS server at socksPort: `reply` settles with the
// reply's status (0 granted), `closed` when the socket closes.
function socksConnect(socksPort, port) {
  const socket = net.connect({ port: socksPort, host: '127.0.0.1' },
    () => socket.write(Buffer.from([5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, port >> 8, port & 255])));
  let received = Buffer.alloc(0);
  const reply = new Promise((resolve) => socket.on('data', (data) => {
    received = Buffer.concat([received, data]);
    if (received.length >= 12) resolve(received[3]);
  }));
  return { reply, closed: new Promise((resolve) => socket.on('close', resolve).on('error', () => {})) };
}

test('an open waiting on a target that never answers holds back no other open, and close ends it',
  async () => {
    const unanswering = await unansweringPort();
    const echo = await echoServer();
    const { client, finals } = await login();
    const socks = await forward(client, 'dynamicPortForwarding', { bindAddress: '127.0.0.1', port: 0 });
    const toEcho = await forward(client, 'localPortForwarding',
      { bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: echo.address().port });
    const waiting = socksConnect(socks.boundPort, unanswering);
    let waitingAnswered = false;
    waiting.reply.then(() => { waitingAnswered = true; });
    await sleep(300); // the waiting open is on its way before the others are asked for

    const [granted, relayed, output, , sftp] = await within(20000, 'an open', Promise.all([
      socksConnect(socks.boundPort, echo.address().port).reply,
      exchange(toEcho.boundPort, 4096),
      execText(client, 'echo beside'),
      new Promise((resolve) => client.shell(undefined, resolve, () => {}, () => {}, undefined)),
      new Promise((resolve) => client.sftp((code, fileSystem) => resolve({ code, fileSystem }))),
    ]));
    const stat = await new Promise((resolve) => sftp.fileSystem.stat('.', resolve));
    assert.deepStrictEqual([granted, relayed.count, output, sftp.code, stat, waitingAnswered],
      [0, 4096, '0:beside\n', 0, 0, false]);

    client.close();
    await within(10000, 'the waiting SOCKS client', waiting.closed);
    await until('close', () => finals.length);
    await sleep(200);
    assert.deepStrictEqual(finals, ['disconnected']);
  });

// A server that holds every channel open until hold.count of them have arrived (or hold.flush()),
// then answers them last first; hold.held lists the opens waiting. It refuses direct-tcpip opens to
// port 1 and echoes on the others (hold.closed counts those the client has closed); an exec prints
// its command; the SFTP subsystem answers INIT with hold.sftpReply (raw bytes), or ends the channel
// when that is null.
async function scriptedServer(hold) {
  const server = new Server({ hostKeys: [fs.readFileSync(peers.load().hostKeys.ed25519)] }, (client) => {
    client.on('error', () => {});
    client.on('authentication', (ctx) => ctx.accept());
    hold.flush = () => { while (hold.held.length) hold.held.pop()(); };
    const holdAnswer = (answer) => {
      hold.held.push(answer);
      if (hold.held.length >= hold.count) hold.flush();
    };
    client.on('session', (accept) => holdAnswer(() => {
      const session = accept();
      session.on('exec', (acceptExec, rejectExec, info) => {
        const channel = acceptExec();
        channel.end(`ran ${info.command}\n`);
        channel.exit(0);
        channel.close();
      });
      session.on('subsystem', (acceptSubsystem) => {
        const channel = acceptSubsystem();
        const reply = hold.sftpReply;
        channel.once('data', () => (reply ? channel.write(reply) : channel.close()));
      });
    }));
    client.on('tcpip', (accept, reject, info) => holdAnswer(() => {
      if (info.destPort === 1) return reject();
      const channel = accept();
      channel.on('close', () => { hold.closed++; });
      channel.on('data', (d) => channel.write(d)).on('end', () => channel.end());
    }));
  });
  leftovers.add(server);
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return server.address().port;
}

const u32 = (n) => Buffer.from([n >>> 24, (n >> 16) & 255, (n >> 8) & 255, n & 255]);
const packet = (type, ...fields) =>
  Buffer.concat([u32(1 + Buffer.concat(fields).length), Buffer.from([type]), ...fields]);

test('answers in any order reach their own callers; 200 mixed opens complete; a given-up open is ' +
  'freed; a wrong SFTP start fails that file system alone, once', async () => {
  const hold = { count: 3, held: [], closed: 0 };
  const port = String(await scriptedServer(hold));
  const { client, finals } = await login({ host: '127.0.0.1', port, username: 'u', password: 'p' });
  const forwardTo = (hostPort) => forward(client, 'localPortForwarding',
    { bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort });

  // Three opens, answered last first, the direct-tcpip one refused.
  const refused = await forwardTo(1);
  const three = [execText(client, 'first'),
    exchange(refused.boundPort, 10).then(() => 'relayed', () => 'refused'), execText(client, 'third')];
  assert.deepStrictEqual(await within(20000, 'three opens', Promise.all(three)),
    ['0:ran first\n', 'refused', '0:ran third\n']);

  // 200 opens at once, half exec, half direct-tcpip, all answered in reverse once all arrived.
  hold.count = 200;
  const echoing = await forwardTo(7);
  const all = await within(60000, '200 opens', Promise.all(Array.from({ length: 200 }, (_, i) => (
    i % 2 ? execText(client, `c${i}`) : exchange(echoing.boundPort, 1000 + i).then((r) => r.count)))));
  assert.deepStrictEqual(all, all.map((_, i) => (i % 2 ? `0:ran c${i}\n` : 1000 + i)));

  // An open whose request gave up: the request ends at once (the forwarding above keeps the
  // session), the open was sent once, and the channel the server confirms later is closed (the
  // 100 channels above too).
  hold.count = Infinity;
  const givingUp = await forwardTo(7);
  const socket = net.connect({ port: givingUp.boundPort, host: '127.0.0.1' }).on('error', () => {});
  await until('the open', () => hold.held.length === 1);
  socket.destroy();
  givingUp.forwarding.close();
  await within(10000, 'the forwarding\'s end', givingUp.disconnected);
  assert.strictEqual(hold.held.length, 1, 'the open is still unanswered, and was sent once');
  hold.flush();
  await until('the channels\' close', () => hold.closed === 101);

  // An SFTP start answered with a STATUS, a VERSION too short, a VERSION whose extension is cut, or
  // the channel's end, each with an exec beside it.
  hold.count = 1;
  const replies = [packet(101, u32(0), u32(4), u32(3), Buffer.from('bad'), u32(0)),
    packet(2, Buffer.from([0, 3])), packet(2, u32(3), u32(100), Buffer.from('pos')), null];
  const answers = replies.map(() => []);
  for (const [i, reply] of replies.entries()) {
    hold.sftpReply = reply;
    const started = new Promise((resolve) => client.sftp((code) => resolve(answers[i].push(code))));
    const [output] = await within(10000, `start ${i}`, Promise.all([execText(client, `x${i}`), started]));
    assert.strictEqual(output, `0:ran x${i}\n`);
  }

  client.close();
  await until('close', () => finals.length);
  await sleep(200);
  assert.deepStrictEqual(finals, ['disconnected']);
  answers.forEach((codes, i) => assert.ok(codes.length === 1 && codes[0] < 0, `start ${i}: ${codes}`));
});
