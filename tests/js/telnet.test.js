'use strict';
// TelnetClient against a scripted peer (exact bytes of every negotiation, byte 255 both ways, faulty
// peers) and against the real busybox and inetutils telnet servers (log in, run commands, resize).
const test = require('node:test');
const assert = require('node:assert');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');
const { execFile } = require('node:child_process');
const { promisify } = require('node:util');
const { TelnetClient } = require('../..');
const peers = require('./support/peers');
const { describeError } = require('./support/ssh_session');
const {
  startScriptPeer, bytes, IAC, DONT, DO, WONT, WILL, SB, SE, ECHO, TTYPE, NAWS, NEW_ENVIRON, COMPRESS2,
} = require('../peers/telnet-script-peer');

const UV_ECONNREFUSED = -os.constants.errno.ECONNREFUSED;
const TELNET_EOVERFLOW = 3;
// Waits this long after a final callback, so that a second one would be seen.
const SETTLE_MS = 100;

const ttypeIs = (name) => bytes(IAC, SB, TTYPE, 0, name, IAC, SE);
const userIs = (name) => bytes(IAC, SB, NEW_ENVIRON, 0, 0, 'USER', 1, name, IAC, SE);
const nawsIs = (cols, rows) => bytes(IAC, SB, NAWS, cols >> 8, cols & 255, rows >> 8, rows & 255, IAC, SE);
const settle = () => new Promise((resolve) => setTimeout(resolve, SETTLE_MS));

// What the four callbacks of one client report, with a way to wait for it.
class Recorder {
  constructor() {
    this.events = [];
    this.waiters = new Set();
  }

  push(event) {
    this.events.push(event);
    for (const waiter of [...this.waiters]) waiter();
  }

  until(predicate) {
    return new Promise((resolve) => {
      const check = () => {
        if (predicate(this)) {
          this.waiters.delete(check);
          resolve();
        }
      };
      this.waiters.add(check);
      check();
    });
  }

  get kinds() { return this.events.map((event) => event.kind); }
  get data() { return Buffer.concat(this.events.filter((e) => e.kind === 'data').map((e) => e.data)); }
  get text() { return this.data.toString('latin1'); }
  get errors() { return this.events.filter((e) => e.kind === 'error').map((e) => e.error); }
  get ended() { return this.events.some((e) => e.kind === 'error' || e.kind === 'disconnect'); }

  callbacks() {
    return {
      connectCallback: () => this.push({ kind: 'connect' }),
      dataCallback: (data) => {
        assert.ok(Buffer.isBuffer(data), 'dataCallback receives a Buffer');
        this.push({ kind: 'data', data });
      },
      errorCallback: (error) => this.push({ kind: 'error', error }),
      disconnectCallback: () => this.push({ kind: 'disconnect' }),
    };
  }
}

// A client towards a scripted peer, recorded.
function connectTo(peer, options = {}) {
  const client = new TelnetClient();
  const record = new Recorder();
  client.connect({ host: '127.0.0.1', port: peer.port, ...record.callbacks(), ...options });
  return { client, record };
}

async function withPeer(script, body) {
  const peer = await startScriptPeer(script);
  try {
    await body(peer);
  } finally {
    await peer.close();
  }
}

test('TelnetClient is made with or without new, and its methods refuse other receivers', () => {
  const made = TelnetClient();
  assert.ok(made instanceof TelnetClient);
  assert.ok(new TelnetClient() instanceof TelnetClient);
  for (const method of ['connect', 'send', 'resize', 'close']) {
    assert.throws(() => TelnetClient.prototype[method].call({}), TypeError);
  }
  // A close without any connection has no callbacks to call, and must simply work.
  made.close();
  made.resize();
  made.send('nothing');
});

test('terminal type and user name go out only when asked, exactly', async (t) => {
  const noUser = bytes(IAC, SB, NEW_ENVIRON, 0, IAC, SE);
  const cases = [
    { name: 'defaults: xterm, no user', options: {}, answers: [ttypeIs('xterm'), noUser] },
    { name: 'a user and a terminal', options: { username: 'bob', ptyOptions: { term: 'vt100', columns: 1, rows: 1 } },
      answers: [ttypeIs('vt100'), userIs('bob')] },
    { name: 'terminal options without term give an empty type', options: { ptyOptions: { columns: 90, rows: 30 } },
      answers: [ttypeIs(''), noUser] },
    { name: 'a numeric user name reads as none', options: { username: 42, ptyOptions: 'vt52' },
      answers: [ttypeIs('xterm'), noUser] },
  ];
  for (const { name, options, answers } of cases) {
    await t.test(name, () => withPeer(async (conn) => {
      // Nothing comes before the client's own first bytes: no server asked anything yet.
      conn.send('hello');
      await conn.expect('first');
      conn.send(bytes(IAC, DO, TTYPE, IAC, SB, TTYPE, 1, IAC, SE));
      await conn.expect(bytes(IAC, WILL, TTYPE, answers[0]));
      conn.send(bytes(IAC, DO, NEW_ENVIRON, IAC, SB, NEW_ENVIRON, 1, 0, 'USER', IAC, SE));
      await conn.expect(bytes(IAC, WILL, NEW_ENVIRON, answers[1]));
    }, async (peer) => {
      const { client, record } = connectTo(peer, options);
      await record.until((r) => r.text === 'hello');
      client.send(Buffer.from('first'));
      await peer.script(0);
      assert.deepStrictEqual(record.kinds, ['connect', 'data']);
      client.close();
    }));
  }
});

test('without host and port the client goes to localhost, port 23', async (t) => {
  const server = net.createServer((socket) => socket.end('on 23'));
  const listening = await new Promise((resolve) => {
    server.once('error', () => resolve(false));
    server.listen(23, '127.0.0.1', () => resolve(true));
  });
  if (!listening) {
    t.skip('port 23 on 127.0.0.1 is taken or needs privileges');
    return;
  }
  try {
    const client = new TelnetClient();
    const record = new Recorder();
    client.connect(record.callbacks());
    await record.until((r) => r.ended);
    assert.deepStrictEqual(record.kinds, ['connect', 'data', 'disconnect']);
    assert.strictEqual(record.text, 'on 23');
  } finally {
    await new Promise((resolve) => server.close(resolve));
  }
});

test('the server\'s negotiation gets exact answers, and resize sends at once', () => withPeer(async (conn) => {
  conn.send(bytes(IAC, DO, NAWS));
  await conn.expect(bytes(IAC, WILL, NAWS, nawsIs(100, 50)));
  conn.send(bytes(IAC, DO, TTYPE, IAC, SB, TTYPE, 1, IAC, SE));
  await conn.expect(bytes(IAC, WILL, TTYPE, ttypeIs('vt220')));
  conn.send(bytes(IAC, WILL, ECHO, IAC, DO, NEW_ENVIRON, IAC, DO, 200, IAC, WILL, 201));
  await conn.expect(bytes(IAC, DO, ECHO, IAC, WILL, NEW_ENVIRON, IAC, WONT, 200, IAC, DONT, 201));
  conn.send(bytes(IAC, SB, NEW_ENVIRON, 1, 0, 'USER', IAC, SE));
  await conn.expect(userIs('bob'));
  conn.send('resize now');
  // 255 inside a subnegotiation is doubled too.
  await conn.expect(bytes(IAC, SB, NAWS, 1, 44, 0, 255, 255, IAC, SE));
  // A later DO NAWS answers with the size of the options again.
  conn.send(bytes(IAC, DONT, NAWS, IAC, DO, NAWS));
  await conn.expect(bytes(IAC, WONT, NAWS, IAC, WILL, NAWS, nawsIs(100, 50)));
}, async (peer) => {
  const { client, record } = connectTo(peer, {
    username: 'bob', ptyOptions: { term: 'vt220', columns: 100, rows: 50 },
  });
  await record.until((r) => r.text === 'resize now');
  client.resize('wide', 50); // a size that is not two numbers is not sent
  client.resize();
  client.resize(300, 255);
  await peer.script(0);
  client.close();
  assert.deepStrictEqual(record.kinds, ['connect', 'data', 'disconnect']);
}));

test('byte 255 crosses both ways doubled on the wire, and only Buffers are sent', () => withPeer(async (conn) => {
  await conn.expect(bytes('a', 13, 0, 'b', 13, 10, 255, 255, 0, 'end'));
  conn.send(bytes('x', IAC, IAC, 'y', IAC, IAC));
  // With the server no longer echoing, the client echoes what it sends.
  conn.send(bytes(IAC, WILL, ECHO, IAC, WONT, ECHO));
  await conn.expect(bytes(IAC, DO, ECHO, IAC, DONT, ECHO));
  conn.send('echo is yours');
  await conn.expect('echoed');
}, async (peer) => {
  const { client, record } = connectTo(peer);
  await record.until((r) => r.kinds.includes('connect'));
  client.send('a string is not sent');
  client.send(Buffer.from('a\rb\n\xff\0end', 'latin1'));
  await record.until((r) => r.text === 'x\xffy\xffecho is yours');
  client.send(new Uint8Array(Buffer.from('echoed')));
  client.send('text');
  await peer.script(0);
  // The local echo of a string is the empty Buffer it sent.
  assert.deepStrictEqual(record.events.slice(-2).map((e) => e.data.toString()), ['echoed', '']);
  client.close();
  // Nothing is sent after close, so nothing is echoed after the final callback either.
  client.send(Buffer.from('typed after close'));
  await settle();
  assert.strictEqual(record.kinds[record.kinds.length - 1], 'disconnect');
}));

test('a password prompt in the first data is answered from the options, once', async (t) => {
  await t.test('answered before the prompt reaches dataCallback', () => withPeer(async (conn) => {
      conn.send('\r\nPassword: ');
    await conn.expect('s3cret\r\n');
    conn.send('welcome');
  }, async (peer) => {
    const { client, record } = connectTo(peer, { password: 's3cret' });
    await peer.script(0);
    await record.until((r) => r.text.endsWith('welcome'));
    client.close();
  }));
  await t.test('not answered in later data, nor in lower case', () => withPeer(async (conn, index) => {
      conn.send(index === 0 ? 'login: ' : 'password: ');
    if (index === 0) {
      await conn.expect('me\r\n');
      conn.send('Password: ');
    }
    await conn.expect('typed\r\n');
  }, async (peer) => {
    for (let index = 0; index < 2; index++) {
      const { client, record } = connectTo(peer, { password: 's3cret' });
      if (index === 0) {
        await record.until((r) => r.text === 'login: ');
        client.send(Buffer.from('me\n'));
      }
      await record.until((r) => /assword: $/.test(r.text));
      client.send(Buffer.from('typed\n'));
      await peer.script(index);
      client.close();
    }
  }));
});

test('every way a connection ends gives one final callback', async (t) => {
  await t.test('a refused port: errorCallback with the network error', async () => {
    const peer = await startScriptPeer(() => {});
    const port = peer.port;
    await peer.close();
    const { record } = connectTo({ port });
    await record.until((r) => r.ended);
    await settle();
    assert.deepStrictEqual(record.kinds, ['error']);
    const [error] = record.errors;
    assert.ok(error instanceof Error);
    assert.strictEqual(error.libquelbar_error_type, 1);
    assert.strictEqual(error.libquelbar_error_code, UV_ECONNREFUSED);
    assert.strictEqual(error.message, 'connection refused');
  });

  await t.test('a port given as text is that port; a port out of range is refused, never wrapped', () =>
    withPeer((conn) => { conn.end(); }, async (peer) => {
      const { record } = connectTo(peer, { port: String(peer.port) });
      await record.until((r) => r.ended);
      assert.deepStrictEqual(record.kinds, ['connect', 'disconnect']);
      for (const port of [peer.port + 65536, -1, 'no number']) {
        const { record: refused } = connectTo(peer, { port });
        await refused.until((r) => r.ended);
        await settle();
        assert.deepStrictEqual(refused.kinds, ['error'], `port ${port}`);
        assert.strictEqual(refused.errors[0].libquelbar_error_type, 1);
      }
    }));

  await t.test('a peer that ends the stream at once: disconnectCallback', () => withPeer((conn) => {
    conn.end();
  }, async (peer) => {
    const { record } = connectTo(peer);
    await record.until((r) => r.ended);
    await settle();
    assert.deepStrictEqual(record.kinds, ['connect', 'disconnect']);
  }));

  await t.test('a peer that resets at once: one ending, nothing after it', () => withPeer((conn) => {
    conn.reset();
  }, async (peer) => {
    const { record } = connectTo(peer);
    await record.until((r) => r.ended);
    await settle();
    assert.strictEqual(record.events.filter((e) => e.kind !== 'connect').length, 1, record.kinds.join());
  }));

  await t.test('malformed option sequences: warnings only, the session goes on', () => withPeer(async (conn) => {
      conn.send(bytes(
      IAC, SB, TTYPE, IAC, SE, // no command
      IAC, SB, TTYPE, 7, IAC, SE, // unknown command
      IAC, SB, NEW_ENVIRON, 9, IAC, SE, // unknown command
      IAC, SB, NEW_ENVIRON, 1, 1, 1, IAC, SE, // values without names
      IAC, SB, NEW_ENVIRON, 0, 0, 'A', 2, IAC, SE, // ends in ESC
      IAC, SB, 93, 'z', IAC, SE, // ZMP without its NUL
      IAC, SB, 70, 1, IAC, SE, // MSSP without a value
      IAC, SB, IAC, SE, // no option
      IAC, SB, NAWS, 1, IAC, 7, IAC, SE, // stray byte after IAC inside SB
      IAC, WILL, ECHO, IAC, WILL, ECHO, IAC, DONT, TTYPE, IAC, 7,
      'alive'));
    await conn.until('alive?');
    conn.send('yes');
  }, async (peer) => {
    const { client, record } = connectTo(peer);
    await record.until((r) => r.text.endsWith('alive'));
    client.send(Buffer.from('alive?'));
    await record.until((r) => r.text.endsWith('yes'));
    await peer.script(0);
    assert.deepStrictEqual(record.errors, []);
    client.close();
  }));

  await t.test('a close() ends a connection once: not again, nor inside its own disconnectCallback', () =>
    withPeer(async (conn, index) => {
      if (index === 0) conn.end();
      else conn.send('hello');
      await conn.ended;
    }, async (peer) => {
      // The server ends the first connection; a close inside its disconnectCallback and one after report nothing.
      const { client, record } = connectTo(peer, { disconnectCallback: () => {
        client.close();
        record.push({ kind: 'disconnect' });
      } });
      await record.until((r) => r.ended);
      client.close();
      await settle();
      assert.deepStrictEqual(record.kinds, ['connect', 'disconnect']);
      // A second connect on the same object, closed twice.
      client.connect({ host: '127.0.0.1', port: peer.port, ...record.callbacks() });
      await record.until((r) => r.text === 'hello');
      client.close();
      client.close();
      await peer.script(1);
      await settle();
      assert.deepStrictEqual(record.kinds, ['connect', 'disconnect', 'connect', 'data', 'disconnect']);
    }));
});

test('what a hostile server sends reaches script as plain Telnet data, or ends the connection', async (t) => {
  await t.test('compression refused and never inflated; CR NUL arrives as CR, also split between two reads', () => {
    const compressed = zlib.deflateSync('inside'.repeat(50));
    return withPeer(async (conn) => {
      conn.send(bytes(IAC, WILL, COMPRESS2));
      await conn.expect(bytes(IAC, DONT, COMPRESS2));
      // In one segment: a compressed stream nobody agreed to, text after it, and a CR whose NUL comes later.
      conn.send(bytes('before', IAC, SB, COMPRESS2, IAC, SE, compressed, 'after', 'a\r\0b\r\nc\r'));
      await conn.until('next');
      conn.send(bytes('\0d\r', IAC, 241, '\0e\0\r\rEND'));
      await conn.ended;
    }, async (peer) => {
      const { client, record } = connectTo(peer);
      await record.until((r) => r.text.endsWith('c\r'));
      client.send(Buffer.from('next'));
      await record.until((r) => r.text.endsWith('END'));
      client.close();
      assert.deepStrictEqual(record.data, bytes('before', compressed, 'aftera\rb\r\nc\rd\re\0\r\rEND'));
      assert.deepStrictEqual(record.errors, []);
    });
  });

  // libtelnet keeps 16 KiB of a subnegotiation; none of a longer one may pass as text.
  for (const [name, size, tail] of [['20,000 bytes', 20000, bytes(IAC, SE, 'after')], ['unterminated, 50 MB', 50e6, '']]) {
    await t.test(`a subnegotiation of ${name}: a protocol error, and none of it as data`, () => withPeer(async (conn) => {
      conn.send(bytes('before', IAC, SB, NAWS, Buffer.alloc(size, 'n'), tail));
      await conn.ended;
    }, async (peer) => {
      const { record } = connectTo(peer);
      await record.until((r) => r.ended);
      await settle();
      assert.deepStrictEqual([record.kinds, record.text, describeError(record.errors[0])], [['connect', 'data', 'error'], 'before',
        { type: 2, code: TELNET_EOVERFLOW, message: 'The server sent a Telnet subnegotiation longer than 16384 bytes' }]);
    }));
  }
});

test('callbacks may connect again, also from the data of a read', () => withPeer(async (conn, index) => {
  if (index === 0) {
    conn.send(bytes('first', IAC, DO, NAWS, 'read'));
    await conn.ended;
    // The whole read was taken in, and answered, before its data reached script.
    assert.deepStrictEqual(conn.buffer, bytes(IAC, WILL, NAWS, nawsIs(80, 24)));
  } else {
    conn.send('second');
  }
}, async (peer) => {
  const client = new TelnetClient();
  const record = new Recorder();
  const towardsPeer = { host: '127.0.0.1', port: peer.port, ...record.callbacks() };
  const closed = await startScriptPeer(() => {});
  const refusing = closed.port;
  await closed.close();
  client.connect({
    ...towardsPeer,
    port: refusing,
    errorCallback(error) {
      record.push({ kind: 'error', error });
      client.connect({
        ...towardsPeer,
        dataCallback(data) {
          record.push({ kind: 'data', data });
          client.connect(towardsPeer);
        },
      });
    },
  });
  await record.until((r) => r.text === 'firstreadsecond');
  await peer.script(0);
  await peer.script(1);
  assert.deepStrictEqual(record.kinds, ['error', 'connect', 'data', 'connect', 'data']);
  client.close();
}));

// Runs script in a fresh node with garbage collection at hand; resolves with what it prints. The
// peer of the test answers meanwhile, from this process.
async function runCollected(script, port = 0) {
  const { stdout } = await promisify(execFile)(process.execPath, ['--expose-gc', '-e', script, String(port)], {
    cwd: path.join(__dirname, '..', '..'), timeout: 60000,
  });
  return stdout;
}

test('a client nobody refers to keeps its connection until the final callback', async () => {
  // Peer and client in one process, so that the peer acts right after the collections.
  const out = await runCollected(`
    const net = require('node:net');
    const { TelnetClient } = require('.');
    const server = net.createServer((socket) => setImmediate(() => {
      global.gc();
      global.gc();
      socket.write(Buffer.from([255, 253, 31])); // DO NAWS: only a living client answers
      socket.once('data', (answer) => {
        console.log('answered', answer[1] === 251);
        socket.end();
      });
    }));
    server.listen(0, '127.0.0.1', () => {
      new TelnetClient().connect({ host: '127.0.0.1', port: server.address().port,
        errorCallback(e) { console.log('error', e.message); },
        disconnectCallback() { console.log('disconnect'); server.close(); } });
    });
  `);
  assert.strictEqual(out, 'answered true\ndisconnect\n');
});

test('collected after close with writes pending: the cancelled writes touch nothing', () => withPeer(async (conn) => {
  conn.socket.pause(); // leaves the client's big write pending
  conn.send('go');
}, async (peer) => {
  // setImmediate runs before libuv completes the writes that the close cancelled.
  const out = await runCollected(`
    const { TelnetClient } = require('.');
    let client = new TelnetClient();
    client.connect({ host: '127.0.0.1', port: Number(process.argv[1]),
      errorCallback(e) { console.log('error', e.message); },
      disconnectCallback() { console.log('disconnect'); },
      dataCallback() {
        client.send(Buffer.alloc(32 << 20, 'z'));
        client.close();
        client = null;
        setImmediate(() => { global.gc(); console.log('collected'); });
      } });
  `, peer.port);
  assert.strictEqual(out, 'disconnect\ncollected\n');
  await peer.script(0);
}));

test('a collection inside a callback does not take the client away under it', () => withPeer(async (conn) => {
  conn.send('go');
  await conn.take(1);
  conn.reset();
}, async (peer) => {
  // Nothing refers to the client any more when the reset reaches errorCallback, which collects while
  // the client's code is on the stack below it.
  const out = await runCollected(`
    const { TelnetClient } = require('.');
    let client = new TelnetClient();
    client.connect({ host: '127.0.0.1', port: Number(process.argv[1]),
      errorCallback(e) {
        global.gc();
        console.log('error', e.libquelbar_error_code === -${os.constants.errno.ECONNRESET});
        setImmediate(() => { global.gc(); console.log('done'); });
      },
      disconnectCallback() { console.log('disconnect'); },
      dataCallback() {
        client.send(Buffer.from('!'));
        client = null;
      } });
  `, peer.port);
  assert.strictEqual(out, 'error true\ndone\n');
  await peer.script(0);
}));

test('clients whose callbacks refer to themselves are collected once closed and dropped', async () => {
  const out = await runCollected(`
    const net = require('node:net');
    const { TelnetClient } = require('.');
    const count = 50;
    let collected = 0;
    let closed = 0;
    const registry = new FinalizationRegistry(() => { collected += 1; });
    const server = net.createServer((socket) => { socket.on('error', () => {}); socket.write('hi'); });
    server.listen(0, '127.0.0.1', () => {
      for (let i = 0; i < count; i += 1) {
        const client = new TelnetClient();
        registry.register(client);
        client.connect({ host: '127.0.0.1', port: server.address().port,
          dataCallback() { client.send(Buffer.from('!')); client.close(); },
          disconnectCallback() { client.resize(80, 24); if (++closed === count) collectAll(); } });
      }
    });
    async function collectAll() {
      server.close();
      for (let turn = 0; turn < 10 && collected < count; turn += 1) {
        await new Promise((resolve) => setImmediate(resolve));
        global.gc();
        await new Promise((resolve) => setTimeout(resolve, 10));
      }
      console.log('collected', collected, 'of', count);
    }
  `);
  assert.strictEqual(out, 'collected 50 of 50\n');
});

// Logs in to a real telnet server as the test account, whichever way the server asks, runs commands
// and resizes. Returns what the remote side reported.
async function loginAndProbe(port) {
  const p = peers.load();
  const client = new TelnetClient();
  const record = new Recorder();
  client.connect({
    host: p.host, port, username: p.user, password: p.password,
    ptyOptions: { term: 'vt220', columns: 100, rows: 30 }, ...record.callbacks(),
  });
  const sinceMark = { at: 0 };
  const waitFor = async (pattern) => {
    await record.until((r) => r.ended || pattern.test(r.text.slice(sinceMark.at)));
    assert.ok(!record.ended, `the session ended early: ${JSON.stringify(record.text)}`);
    const match = pattern.exec(record.text.slice(sinceMark.at));
    sinceMark.at = record.text.length;
    return match;
  };
  const first = await waitFor(/(login: |Password: |\$ )$/);
  const answeredByClient = first[1] === 'Password: ' && record.events[1].data.includes('Password:');
  if (first[1] === 'login: ') {
    client.send(Buffer.from(`${p.user}\n`));
    await waitFor(/Password: $/);
  }
  if (!answeredByClient && first[1] !== '$ ') client.send(Buffer.from(`${p.password}\n`));
  await waitFor(/\$ $/);
  client.send(Buffer.from('echo "<T:$TERM>" "<U:$(id -un)>" "<S:$(stty size)>"\n'));
  const before = await waitFor(/<T:([^$>]*)> <U:([^$>]*)> <S:(\d+ \d+)>[^]*\$ $/);
  client.resize(120, 40);
  client.send(Buffer.from('echo "<S:$(stty size)>"; exit\n'));
  const after = await waitFor(/<S:(\d+ \d+)>/);
  await record.until((r) => r.ended);
  await settle();
  return {
    answeredByClient,
    term: before[1], user: before[2], size: before[3], resized: after[1],
    endings: record.events.filter((e) => e.kind === 'error' || e.kind === 'disconnect').map((e) => e.kind),
  };
}

test('logs in to busybox telnetd and inetutils telnetd, runs commands and resizes', async (t) => {
  const p = peers.load();
  await t.test('busybox telnetd (no terminal type negotiation)', async () => {
    const seen = await loginAndProbe(p.telnet.busybox);
    assert.strictEqual(seen.user, p.user);
    assert.strictEqual(seen.size, '30 100');
    assert.strictEqual(seen.resized, '40 120');
    assert.deepStrictEqual(seen.endings, ['disconnect']);
  });
  await t.test('inetutils telnetd under inetd', async () => {
    const seen = await loginAndProbe(p.telnet.inetutils);
    assert.strictEqual(seen.user, p.user);
    assert.strictEqual(seen.term, 'vt220');
    assert.strictEqual(seen.size, '30 100');
    assert.strictEqual(seen.resized, '40 120');
    assert.deepStrictEqual(seen.endings, ['disconnect']);
  });
});
