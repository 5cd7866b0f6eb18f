'use strict';
// Channel opens of one session are independent: an open whose answer is slow holds back no other,
// and answers that come in any order reach the caller that asked. Against the test sshd with a
// forwarding target that never answers, and against a scripted server that answers opens out of
// order.
const assert = require('node:assert');
const { test } = require('node:test');
const net = require('node:net');
const { spawn } = require('node:child_process');
const { Server, utils } = require('ssh2');
const { SshClient } = require('../..');
const { closeLeftovers, connect, echoServer, exchange, forward, execText } = require('./support/forwarding');

test.afterEach(closeLeftovers);

// Settles with what promise gives, or fails with `what` after ms: a bound on a wait that would
// otherwise last as long as the server's own connect timeout, not a measure of speed.
const within = (ms, what, promise) => {
  let timer;
  return Promise.race([
    promise.finally(() => clearTimeout(timer)),
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`${what} waited`)), ms); }),
  ]);
};

// A TCP port on 127.0.0.1 that takes no connection: its listener never accepts and its queue is
// full, so the kernel drops every further SYN and a connect to it waits until it gives up.
async function unansweringPort() {
  const listener = spawn('python3', ['-c', `
import socket, sys, time
s = socket.socket()
s.bind(('127.0.0.1', 0))
s.listen(0)
print(s.getsockname()[1], flush=True)
sys.stdin.read()
`], { stdio: ['pipe', 'pipe', 'inherit'] });
  const port = await new Promise((resolve) => listener.stdout.once('data', (d) => resolve(Number(d))));
  const fillers = [];
  for (let i = 0; i < 2; i++) {
    const socket = net.connect({ port, host: '127.0.0.1' });
    socket.on('error', () => {});
    fillers.push(socket);
  }
  await new Promise((resolve) => fillers[0].once('connect', resolve));
  return { port, close: () => { fillers.forEach((s) => s.destroy()); listener.stdin.end(); } };
}

// A SOCKS5 CONNECT to 127.0.0.1:port through the SOCKS server at socksPort. Resolves with the reply
// status (0 granted) and the socket; `closed` settles when the socket closes.
function socksConnect(socksPort, port) {
  const socket = net.connect({ port: socksPort, host: '127.0.0.1' });
  socket.on('error', () => {});
  const closed = new Promise((resolve) => socket.on('close', resolve));
  const request = Buffer.from([5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, port >> 8, port & 255]);
  socket.on('connect', () => socket.write(request));
  const reply = new Promise((resolve) => {
    let received = Buffer.alloc(0);
    socket.on('data', (data) => {
      received = Buffer.concat([received, data]);
      if (received.length >= 12) resolve(received[3]);
    });
    socket.on('close', () => resolve(null));
  });
  return { socket, reply, closed };
}

const shellReady = (client) => new Promise((resolve, reject) => {
  client.shell(undefined, (terminal) => { resolve(terminal); }, () => {}, () => {}, undefined);
  setTimeout(() => reject(new Error('no shell')), 60000).unref();
});

test('an open waiting on a target that never answers holds back no other open, and close ends it',
  async () => {
    const blackhole = await unansweringPort();
    const echo = await echoServer();
    const { client, ended } = await connect();
    let finals = 0;
    ended.then(() => { finals++; });
    const socks = await forward(client, 'dynamicPortForwarding', { bindAddress: '127.0.0.1', port: 0 });
    const toEcho = await forward(client, 'localPortForwarding',
      { bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: echo.address().port });

    const waiting = socksConnect(socks.boundPort, blackhole.port);
    let waitingAnswered = false;
    waiting.reply.then(() => { waitingAnswered = true; });
    // The waiting open is on its way before the others are asked for.
    await new Promise((resolve) => setTimeout(resolve, 300));

    const live = socksConnect(socks.boundPort, echo.address().port);
    const [granted, relayed, output, terminal, sftp] = await within(20000, 'an open', Promise.all([
      live.reply,
      exchange(toEcho.boundPort, 4096),
      execText(client, 'echo beside'),
      shellReady(client),
      new Promise((resolve) => client.sftp((code, fs) => resolve({ code, fs }))),
    ]));
    assert.strictEqual(granted, 0);
    assert.strictEqual(relayed.count, 4096);
    assert.strictEqual(output, '0:beside\n');
    assert.ok(terminal);
    assert.strictEqual(sftp.code, 0);
    const attrs = await new Promise((resolve) => sftp.fs.stat('.', (code, a) => resolve({ code, a })));
    assert.strictEqual(attrs.code, 0);
    assert.strictEqual(waitingAnswered, false, 'the target that never answers is still being waited for');

    live.socket.destroy();
    client.close();
    assert.strictEqual(await within(10000, 'close', ended), 'disconnected');
    await within(10000, 'the waiting SOCKS client', waiting.closed);
    await new Promise((resolve) => setTimeout(resolve, 200));
    assert.strictEqual(finals, 1);
    blackhole.close();
    echo.close();
  });

// ssh2 drops the leading zero bytes of a generated Ed25519 public key, so about one key in 256 is one
// that it cannot read back: such a key is thrown away.
function hostKey() {
  for (;;) {
    const key = utils.generateKeyPairSync('ed25519').private;
    if (!(utils.parseKey(key) instanceof Error)) return key;
  }
}

// A server that holds every channel open until hold.count of them have arrived (or hold.flush()),
// then answers them last first, refusing direct-tcpip opens to port 1. An exec prints its command; a
// direct-tcpip channel echoes. hold.held counts the opens waiting, hold.closed the direct-tcpip
// channels the client has closed.
async function reorderingServer(hold) {
  const server = new Server({ hostKeys: [hostKey()] }, (client) => {
    client.on('error', () => {});
    client.on('authentication', (ctx) => ctx.accept());
    client.on('ready', () => {
      const held = [];
      hold.flush = () => {
        while (held.length) held.pop()();
        hold.held = 0;
      };
      const holdAnswer = (answer) => {
        held.push(answer);
        hold.held = held.length;
        if (held.length >= hold.count) hold.flush();
      };
      client.on('session', (accept) => holdAnswer(() => {
        accept().on('exec', (acceptExec, rejectExec, info) => {
          const channel = acceptExec();
          channel.end(`ran ${info.command}\n`);
          channel.exit(0);
          channel.close();
        });
      }));
      client.on('tcpip', (accept, reject, info) => holdAnswer(() => {
        if (info.destPort === 1) {
          reject();
          return;
        }
        const channel = accept();
        channel.on('close', () => { hold.closed = (hold.closed || 0) + 1; });
        channel.on('data', (d) => channel.write(d));
        channel.on('end', () => channel.end());
      }));
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return server;
}

function connectTo(port) {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    let end;
    const ended = new Promise((r) => { end = r; });
    client.connect({
      host: '127.0.0.1', port: String(port), username: 'u', password: 'p',
      knownhostsCallback: (result, fp, key, type, done) => done(true),
      connectCallback: () => resolve({ client, ended }),
      disconnectCallback: () => end('disconnected'),
      errorCallback: (error) => { reject(error); end(error); },
    });
  });
}

const execResult = (client, command) => new Promise((resolve) => {
  client.exec(Buffer.from(command), (status, output) => resolve(`${status}:${output}`),
    (error) => resolve(`error:${error.libquelbar_error_code}`));
});

test('answers in any order reach their own callers; 200 mixed opens complete; a given-up open is freed',
  async () => {
    const hold = { count: 3 };
    const server = await reorderingServer(hold);
    const { client, ended } = await connectTo(server.address().port);

    // Three opens: answered last first, the middle one refused.
    const three = [execResult(client, 'first'), null, execResult(client, 'third')];
    const refused = forward(client, 'localPortForwarding',
      { bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: 1 });
    const { boundPort } = await refused;
    three[1] = exchange(boundPort, 10).then((r) => `relayed ${r.count}`, () => 'refused');
    assert.deepStrictEqual(await within(20000, 'three opens', Promise.all(three)),
      ['0:ran first\n', 'refused', '0:ran third\n']);

    // 200 opens at once, half exec, half direct-tcpip, all answered in reverse once all arrived.
    hold.count = 200;
    const echoing = await forward(client, 'localPortForwarding',
      { bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: 7 });
    const all = await within(60000, '200 opens', Promise.all(Array.from({ length: 200 }, (_, i) => (
      i % 2 ? execResult(client, `c${i}`) : exchange(echoing.boundPort, 1000 + i)))));
    all.forEach((result, i) => {
      if (i % 2) assert.strictEqual(result, `0:ran c${i}\n`);
      else assert.strictEqual(result.count, 1000 + i);
    });

    // An open whose request gave up: the request ends at once (the forwarding above keeps the
    // session), and the channel the server confirms later is closed.
    hold.count = Infinity;
    const givingUp = await forward(client, 'localPortForwarding',
      { bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: 7 });
    const socket = net.connect({ port: givingUp.boundPort, host: '127.0.0.1' });
    socket.on('error', () => {});
    const until = (what, done) => within(10000, what, new Promise((resolve) => {
      const poll = () => (done() ? resolve() : setTimeout(poll, 20));
      poll();
    }));
    await until('the open', () => hold.held === 1);
    const closedBefore = hold.closed || 0;
    socket.destroy();
    givingUp.forwarding.close();
    await within(10000, 'the forwarding\'s end', givingUp.disconnected);
    assert.strictEqual(hold.held, 1, 'the open is still unanswered');
    hold.flush();
    await until('the channel\'s close', () => hold.closed === closedBefore + 1);

    client.close();
    assert.strictEqual(await within(10000, 'close', ended), 'disconnected');
    server.close();
  });

// A server whose SFTP subsystem answers INIT with `reply` (raw bytes), or ends the channel when
// reply is null.
async function sftpStartServer(reply) {
  const server = new Server({ hostKeys: [hostKey()] }, (client) => {
    client.on('error', () => {});
    client.on('authentication', (ctx) => ctx.accept());
    client.on('ready', () => client.on('session', (accept) => {
      const session = accept();
      session.on('subsystem', (acceptSubsystem) => {
        const channel = acceptSubsystem();
        channel.once('data', () => (reply ? channel.write(reply) : channel.close()));
      });
      session.on('exec', (acceptExec) => {
        const channel = acceptExec();
        channel.end('still here\n');
        channel.exit(0);
        channel.close();
      });
    }));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return server;
}

const packet = (type, ...fields) => {
  const body = Buffer.concat([Buffer.from([type]), ...fields]);
  const length = Buffer.alloc(4);
  length.writeUInt32BE(body.length);
  return Buffer.concat([length, body]);
};
const u32 = (n) => { const b = Buffer.alloc(4); b.writeUInt32BE(n >>> 0); return b; };

test('an SFTP start answered wrongly fails that file system alone, once', async (t) => {
  const replies = {
    'a STATUS': packet(101, u32(0), u32(4), u32(3), Buffer.from('bad'), u32(0)),
    'a VERSION too short': packet(2, Buffer.from([0, 3])),
    'a VERSION with a cut extension': packet(2, u32(3), u32(100), Buffer.from('pos')),
    'an end of the channel': null,
  };
  for (const [name, reply] of Object.entries(replies)) {
    await t.test(name, async () => {
      const server = await sftpStartServer(reply);
      const { client, ended } = await connectTo(server.address().port);
      const answers = [];
      client.sftp((code) => answers.push(code));
      assert.strictEqual(await within(10000, 'exec', execResult(client, 'x')), '0:still here\n');
      await within(10000, 'the SFTP answer', new Promise((resolve) => {
        const poll = () => (answers.length ? resolve() : setTimeout(poll, 20));
        poll();
      }));
      await new Promise((resolve) => setTimeout(resolve, 100));
      assert.strictEqual(answers.length, 1);
      assert.ok(answers[0] < 0, `code ${answers[0]}`);
      client.close();
      assert.strictEqual(await within(10000, 'close', ended), 'disconnected');
      server.close();
    });
  }
});

