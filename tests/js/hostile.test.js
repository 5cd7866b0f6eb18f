'use strict';
// Servers that try to crash the client or fill its memory: floods of Telnet negotiations and data,
// servers that never read, SSH floods before the key exchange and during a command. The client runs
// in a fresh node process that reports its callbacks and how far its RSS grew; each case wants no
// crash, one final callback, the right data or error, and growth under 64 MiB.
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const net = require('node:net');
const path = require('node:path');
const { execFile } = require('node:child_process');
const { promisify } = require('node:util');
const { Server, utils } = require('ssh2');
const { sendPacket } = require('ssh2/lib/protocol/utils');
const zlib = require('node:zlib');
const { bytes, IAC, DO, SB, SE, NEW_ENVIRON, COMPRESS2 } = require('../peers/telnet-script-peer');

// Under the sanitizers freed memory waits in quarantine, so RSS says nothing there.
const MAX_GROWTH = /libasan/.test(process.env.LD_PRELOAD || '') ? Infinity : 64 << 20;
const LIBSSH2_ERROR_OUT_OF_BOUNDARY = -41;
const LIBSSH2_ERROR_DECRYPT = -12;
const OVERSIZED = 'The server sent a corrupt or oversized packet: its length is beyond the 35000 bytes an SSH packet may have';
const CORRUPT = 'The server sent a corrupt packet: its length, padding or encryption is not valid';

// Runs body in a fresh node with the module as `lib`; body calls report(events) once its client has
// given its final word. Resolves with { events, growth }, growth being the peak RSS over the RSS
// at the start.
async function inChild(body, port) {
  const script = `
    const lib = require('.');
    const port = Number(process.argv[1]);
    const startRss = process.memoryUsage().rss;
    const events = [];
    // The loop must go on whatever the server sends: the longest gap between ticks of a 20 ms timer.
    let last = Date.now();
    let longestGap = 0;
    setInterval(() => { const now = Date.now(); longestGap = Math.max(longestGap, now - last); last = now; }, 20);
    // Waits, so that a second final callback would be seen.
    const report = () => setTimeout(() => {
      const growth = process.resourceUsage().maxRSS * 1024 - startRss;
      console.log(JSON.stringify({ events, growth, longestGap }));
      process.exit(0);
    }, 300);
    ${body}
  `;
  const { stdout } = await promisify(execFile)(process.execPath, ['-e', script, String(port)], {
    cwd: path.join(__dirname, '..', '..'), timeout: 120000, maxBuffer: 64 << 20,
  });
  return JSON.parse(stdout);
}

// A raw TCP server on 127.0.0.1 whose connections run onConnection(socket); closed after body.
async function withServer(onConnection, body) {
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    onConnection(socket);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    return await body(server.address().port);
  } finally {
    server.close();
  }
}

// Writes chunk again and again while the socket takes it, up to limit bytes; resolves with the bytes
// written once the client stopped taking them for a while (or the limit was reached).
function flood(socket, chunk, limit) {
  return new Promise((resolve) => {
    let sent = 0;
    let stalled;
    const pump = () => {
      clearTimeout(stalled);
      while (!socket.destroyed && sent < limit && socket.write(chunk)) sent += chunk.length;
      if (socket.destroyed || sent >= limit) resolve(sent);
      else stalled = setTimeout(() => resolve(sent), 500);
    };
    socket.on('drain', pump);
    socket.on('close', () => resolve(sent));
    pump();
  });
}

const telnetClient = `
  const client = new lib.TelnetClient();
  const data = [];
  client.connect({ host: '127.0.0.1', port,
    dataCallback: (d) => data.push(d),
    errorCallback: (e) => { events.push('error:' + e.message); report(); },
    disconnectCallback: () => {
      const all = Buffer.concat(data);
      events.push('disconnect', 'callbacks:' + data.length, 'length:' + all.length,
                  'data:' + all.subarray(0, 8).toString('latin1') + '~' + all.subarray(-8).toString('latin1'));
      report();
    } });
`;

test('hostile Telnet servers', async (t) => {
  await t.test('100,000 empty NEW-ENVIRON SENDs in one write crash nothing', () => withServer((socket) => {
    const send = bytes(IAC, SB, NEW_ENVIRON, 1, IAC, SE);
    socket.end(Buffer.concat([Buffer.from('before'), ...Array(100000).fill(send), Buffer.from('after')]));
    socket.resume();
  }, async (port) => {
    const { events, growth } = await inChild(telnetClient, port);
    assert.deepStrictEqual(events.filter((e) => !e.startsWith('callbacks:')),
                           ['disconnect', 'length:11', 'data:beforeaf~oreafter']);
    assert.ok(growth < MAX_GROWTH, `RSS grew by ${growth >> 20} MiB`);
  }));

  await t.test('a server that sends DO 200 without end and never reads: the client stops reading', () => {
    let sent = 0;
    return withServer(async (socket) => {
      socket.pause();
      sent = await flood(socket, Buffer.concat(Array(20000).fill(bytes(IAC, DO, 200))), 512 << 20);
      // Reads what it was answered at last, and says goodbye.
      socket.resume();
      socket.end('done');
    }, async (port) => {
      const { events, growth } = await inChild(telnetClient, port);
      assert.deepStrictEqual(events.filter((e) => !e.startsWith('callbacks:')),
                             ['disconnect', 'length:4', 'data:done~done']);
      assert.ok(sent < 256 << 20, `the client took ${sent >> 20} MiB without being read`);
      assert.ok(growth < MAX_GROWTH, `RSS grew by ${growth >> 20} MiB`);
    });
  });

  await t.test('close with 32 MiB not yet written: disconnectCallback alone', () => withServer((socket) => {
    socket.pause();
    socket.write('go');
  }, async (port) => {
    const { events } = await inChild(`
      const client = new lib.TelnetClient();
      client.connect({ host: '127.0.0.1', port,
        dataCallback: () => {
          client.send(Buffer.alloc(32 << 20, 'z'));
          client.close();
          report();
        },
        errorCallback: (e) => events.push('error:' + e.message),
        disconnectCallback: () => events.push('disconnect') });
    `, port);
    assert.deepStrictEqual(events, ['disconnect']);
  }));

  await t.test('4 MiB of data bytes 255 arrive whole, in few callbacks', () => withServer((socket) => {
    socket.end(Buffer.concat([Buffer.from('x'), Buffer.alloc(8 << 20, 255), Buffer.from('y')]));
  }, async (port) => {
    const { events, growth } = await inChild(telnetClient, port);
    const callbacks = Number(events.find((e) => e.startsWith('callbacks:')).slice(10));
    assert.deepStrictEqual(events.filter((e) => !e.startsWith('callbacks:')),
                           ['disconnect', `length:${(4 << 20) + 2}`, 'data:x\xff\xff\xff\xff\xff\xff\xff~\xff\xff\xff\xff\xff\xff\xffy']);
    assert.ok(callbacks < 1000, `${callbacks} dataCallbacks`);
    assert.ok(growth < MAX_GROWTH, `RSS grew by ${growth >> 20} MiB`);
  }));

  await t.test('a compression bomb while the first dataCallback is busy: never inflated, taken in small parts', async () => {
    // 1 GiB of zeros deflated to about 1 MiB, as a COMPRESS2 stream nobody agreed to, its bytes 255 doubled.
    const bomb = zlib.deflateSync(Buffer.alloc(1 << 30), { level: 9 });
    const escaped = Buffer.from(bomb.toString('latin1').replaceAll('\xff', '\xff\xff'), 'latin1');
    await withServer((socket) => socket.end(bytes('x', IAC, SB, COMPRESS2, IAC, SE, escaped, 'END')), async (port) => {
      const { events, growth, longestGap } = await inChild(`
        const client = new lib.TelnetClient();
        let length = 0, largest = 0;
        client.connect({ host: '127.0.0.1', port,
          dataCallback: (d) => {
            // Busy while the whole bomb arrives; the loop's gaps are measured from here on.
            if (length === 0) { for (const until = Date.now() + 1500; Date.now() < until;); last = Date.now(); }
            length += d.length;
            largest = Math.max(largest, d.length);
          },
          errorCallback: (e) => { events.push('error:' + e.message); report(); },
          disconnectCallback: () => { events.push('disconnect', length, largest); report(); } });
      `, port);
      assert.deepStrictEqual(events.slice(0, 2), ['disconnect', bomb.length + 4]);
      assert.ok(events[2] <= 256 << 10, `a dataCallback of ${events[2]} bytes`);
      assert.ok(growth < MAX_GROWTH, `RSS grew by ${growth >> 20} MiB`);
      assert.ok(longestGap < 1500, `the loop stood still for ${longestGap} ms`);
    });
  });
});

// An unencrypted SSH packet of the given payload.
function packet(payload) {
  let padding = 8 - ((5 + payload.length) % 8);
  if (padding < 4) padding += 8;
  const out = Buffer.alloc(5 + payload.length + padding);
  out.writeUInt32BE(1 + payload.length + padding, 0);
  out[4] = padding;
  payload.copy(out, 5);
  return out;
}

function nameList(...names) {
  const text = Buffer.from(names.join(','));
  const length = Buffer.alloc(4);
  length.writeUInt32BE(text.length);
  return Buffer.concat([length, text]);
}

const KEXINIT = packet(Buffer.concat([
  Buffer.from([20]), Buffer.alloc(16, 7),
  nameList('curve25519-sha256'), nameList('ssh-ed25519'),
  nameList('aes128-ctr'), nameList('aes128-ctr'), nameList('hmac-sha2-256'), nameList('hmac-sha2-256'),
  nameList('none'), nameList('none'), nameList(), nameList(), Buffer.from([0, 0, 0, 0, 0]),
]));

// A client that logs in as user and, once connected, runs the script onConnected (by default an
// exec of 'flood'); with closeAfter it closes the client after that many milliseconds.
const FLOOD_EXEC = `client.exec(Buffer.from('flood'), (status, output) => events.push('exec:' + status),
  (e) => events.push('exec error:' + e.libquelbar_error_type + ':' + e.message));`;
const sshClient = (user, { onConnected = FLOOD_EXEC, closeAfter = 0 } = {}) => `
  const client = new lib.SshClient();
  client.connect({ host: '127.0.0.1', port: String(port), username: '${user}', password: 'x',
    knownhostsCallback: (result, fingerprint, key, type, answer) => answer(true),
    connectCallback: () => { events.push('connected'); ${onConnected} },
    errorCallback: (e) => {
      events.push('error:' + e.libquelbar_error_type + ':' + e.libquelbar_error_code + ':' + e.message);
      report();
    },
    disconnectCallback: () => { events.push('disconnect'); report(); } });
  if (${closeAfter}) setTimeout(() => client.close(), ${closeAfter});
`;

test('hostile SSH servers', async (t) => {
  await t.test('lines before the version line without end', () => withServer((socket) => {
    flood(socket, Buffer.from('this is not a version line\r\n'.repeat(2000)), 1 << 30);
    socket.resume();
  }, async (port) => {
    const { events, longestGap } = await inChild(sshClient('x'), port);
    assert.ok(longestGap < 2000);  // no gap of seconds while the server floods
    assert.strictEqual(events.length, 1, events.join());
    assert.match(events[0], new RegExp(`^error:2:${LIBSSH2_ERROR_OUT_OF_BOUNDARY}:SSH handshake with ` +
                                       '.*: The server sent more than 1024 lines before its SSH version line$'));
  }));

  await t.test('a flood of small messages during the key exchange; close() ends it', () => withServer((socket) => {
    socket.write('SSH-2.0-hostile\r\n');
    const ignore = packet(Buffer.from([2, 0, 0, 0, 0]));
    flood(socket, Buffer.concat(Array(4096).fill(ignore)), 2 ** 40);
    socket.resume();
  }, async (port) => {
    const { events, longestGap } = await inChild(sshClient('x', { closeAfter: 3000 }), port);
    assert.ok(longestGap < 2000);
    assert.deepStrictEqual(events, ['disconnect']);
  }));

  const boundError = (event) => event.startsWith(`error:2:${LIBSSH2_ERROR_OUT_OF_BOUNDARY}:`) &&
                                event.endsWith('The server sent more than 4 MiB of messages that nothing asked for');

  for (const [name, chunk] of [
    ['endless packets of unassigned type 192', packet(Buffer.concat([Buffer.from([192]), Buffer.alloc(999)]))],
    ['a KEXINIT, then KEXINITs without end', KEXINIT],
  ]) {
    await t.test(`before the key exchange ends: ${name}`, () => withServer((socket) => {
      socket.write('SSH-2.0-hostile\r\n');
      socket.write(KEXINIT);
      flood(socket, Buffer.concat(Array(64).fill(chunk)), 1 << 30).then(() => socket.destroy());
      socket.resume();
    }, async (port) => {
      const { events, growth } = await inChild(sshClient('x'), port);
      assert.strictEqual(events.length, 1, events.join());
      assert.ok(boundError(events[0]), events[0]);
      assert.ok(growth < MAX_GROWTH, `RSS grew by ${growth >> 20} MiB`);
    }));
  }

  for (const [name, garbage, code, message] of [
    ['a length beyond any packet', Buffer.alloc(64, 0xff), LIBSSH2_ERROR_OUT_OF_BOUNDARY, OVERSIZED],
    ['a packet of length 0', Buffer.alloc(64), LIBSSH2_ERROR_DECRYPT, CORRUPT],
    ['padding longer than the packet', Buffer.from([0, 0, 0, 12, 200, ...Buffer.alloc(59)]), LIBSSH2_ERROR_DECRYPT, CORRUPT],
  ]) {
    await t.test(`garbage at the key exchange, ${name}: an error that names it`, () => withServer((socket) => {
      socket.resume().write(bytes('SSH-2.0-hostile\r\n', garbage));
    }, async (port) => {
      const { events } = await inChild(sshClient('x'), port);
      assert.match(events.join('|'), new RegExp(`^error:2:${code}:SSH handshake with [^|]*: ${message}$`));
    }));
  }

  // ssh2 drops the leading zero bytes of a generated Ed25519 public key, so about one key in 256 is one
  // that it cannot read back: such a key is thrown away.
  function ed25519HostKey() {
    for (;;) {
      const key = utils.generateKeyPairSync('ed25519').private;
      if (!(utils.parseKey(key) instanceof Error)) return key;
    }
  }

  // An ssh2 server that accepts any login and hands each exec and shell to onExec(channel id, protocol,
  // alive, command or 'shell'), and each global request to onRequest(accept, reject, name, info, client).
  async function withSsh2Server(onExec, body, onRequest = (accept, reject) => reject()) {
    const server = new Server({ hostKeys: [ed25519HostKey()] }, (client) => {
      const alive = { connected: true };
      client.on('error', () => {});
      client.on('close', () => { alive.connected = false; });
      client.on('authentication', (ctx) => ctx.accept());
      client.on('request', (accept, reject, name, info) => onRequest(accept, reject, name, info, client));
      client.on('ready', () => client.on('session', (accept) => {
        const session = accept();
        session.on('pty', (acceptPty) => acceptPty && acceptPty());
        session.on('exec', (acceptExec, reject, info) => onExec(acceptExec().outgoing.id, client._protocol, alive, info.command));
        session.on('shell', (acceptShell) => onExec(acceptShell().outgoing.id, client._protocol, alive, 'shell'));
      }));
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    try {
      return await body(server.address().port);
    } finally {
      server.close();
    }
  }

  await t.test('during a command: replies to no request without end', () => withSsh2Server((id, protocol, alive) => {
    const pump = () => {
      if (!alive.connected) return;
      for (let i = 0; i < 2000; i++) protocol.channelSuccess(id);
      setImmediate(pump);
    };
    pump();
  }, async (port) => {
    const { events, growth } = await inChild(sshClient('x'), port);
    assert.strictEqual(events[0], 'connected');
    const final = events.filter((e) => e.startsWith('error:') || e === 'disconnect');
    assert.strictEqual(final.length, 1, events.join());
    assert.ok(boundError(final[0]), final[0]);
    assert.ok(growth < MAX_GROWTH, `RSS grew by ${growth >> 20} MiB`);
  }));

  await t.test('during a command: a corrupt packet ends the session with an error that names it', () =>
    withSsh2Server((id, protocol) => {
      protocol.channelData(id, Buffer.from('out'));
      protocol._onWrite(Buffer.alloc(64, 0xff));
    }, async (port) => {
      const { events } = await inChild(sshClient('x'), port);
      assert.deepStrictEqual(events, ['connected', `exec error:2:${OVERSIZED}`,
                                      `error:2:${LIBSSH2_ERROR_OUT_OF_BOUNDARY}:${OVERSIZED}`]);
    }));

  await t.test("data after the channel's close: the status and output that arrived", () => withSsh2Server((id, protocol) => {
    protocol.channelData(id, Buffer.from('out'));
    protocol.exitStatus(id, 0);
    protocol.channelClose(id);
    protocol.channelData(id, Buffer.from('late'));
  }, async (port) => {
    const { events, growth } = await inChild(`
      const client = new lib.SshClient();
      client.connect({ host: '127.0.0.1', port: String(port), username: 'x', password: 'x',
        knownhostsCallback: (result, fingerprint, key, type, answer) => answer(true),
        connectCallback: () => client.exec(Buffer.from('late'), (status, output) => {
          events.push('exec:' + status + ':' + output);
          client.close();
        }, (e) => { events.push('exec error:' + e.message); client.close(); }),
        errorCallback: (e) => { events.push('error:' + e.message); report(); },
        disconnectCallback: () => { events.push('disconnect'); report(); } });
    `, port);
    assert.strictEqual(events.length, 2, events.join());
    assert.match(events[0], /^exec:0:out(late)?$/);
    assert.strictEqual(events[1], 'disconnect');
    assert.ok(growth < MAX_GROWTH, `RSS grew by ${growth >> 20} MiB`);
  }));

  await t.test('data packets longer than the client offered arrive whole, on commands and shells', () => {
    // The client offers 32 768 bytes for a command, 16 384 for a shell; each stream fits the first window.
    const sent = Object.fromEntries([['out', 60], ['err', 60], ['shell', 29]].map(([name, count]) =>
      [name, Array.from({ length: count }, (_, i) => crypto.randomBytes([34000, 39000, 16385, 1, 32769][i % 5]))]));
    const digest = (b) => `${b.length}:${crypto.createHash('sha256').update(b).digest('hex')}`;
    return withSsh2Server((id, protocol, alive, command) => {
      for (const piece of sent[command]) {
        command === 'err' ? protocol.channelExtData(id, piece, 1) : protocol.channelData(id, piece);
      }
      protocol.exitStatus(id, command === 'err' ? 1 : 0);
      protocol.channelEOF(id);
      protocol.channelClose(id);
    }, async (port) => {
      const { events, longestGap } = await inChild(sshClient('x', { onConnected: `
        const digest = ${digest};
        let left = 3;
        const done = (event) => { events.push(event); if (--left === 0) client.close(); };
        for (const command of ['out', 'err']) {
          client.exec(Buffer.from(command), (status, output) => done(command + ':' + status + ':' + digest(output)),
                      (e) => done(command + ' error:' + e.message));
        }
        const shell = [];
        client.shell(undefined, () => {}, (data) => shell.push(data), () => done('shell:' + digest(Buffer.concat(shell))));` }),
      port);
      const [out, err, shell] = Object.values(sent).map((pieces) => digest(Buffer.concat(pieces)));
      assert.deepStrictEqual([events[0], ...events.slice(1, 4).sort(), ...events.slice(4)],
                             ['connected', `err:1:${err}`, `out:0:${out}`, `shell:${shell}`, 'disconnect']);
      assert.ok(longestGap < 1000, `the loop stood still for ${longestGap} ms`);
    });
  });

  await t.test("data beyond a channel's window ends the session with a clear error", () => withServer((socket) => {
    socket.pause();  // the forwarding's target reads nothing: the client stops giving window
  }, (targetPort) => withSsh2Server(() => {}, async (port) => {
    const { events } = await inChild(sshClient('x', { onConnected: `
      client.remotePortForwarding({ bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: ${targetPort},
        readyCallback: () => events.push('ready'), disconnectCallback: () => events.push('forwarding ended') });` }),
    port);
    assert.match(events.join('|'),
                 /^connected\|ready\|forwarding ended\|error:2:-24:[^|]*The server sent more data than the channel's window allows$/);
  }, (accept, reject, name, info, client) => {
    accept(info.bindPort || 5000);
    client.forwardOut(info.bindAddr, info.bindPort || 5000, '127.0.0.1', 40000, (err, channel) => {
      channel.on('error', () => {}).write(Buffer.alloc(64 << 20));
      // Once the window has stayed shut for half a second, one packet more than it allows.
      let shut = 0;
      const poll = setInterval(() => {
        if ((shut = channel.outgoing.window === 0 ? shut + 1 : 0) < 5) return;
        clearInterval(poll);
        client._protocol.channelData(channel.outgoing.id, Buffer.alloc(1000, 'x'));
      }, 100);
    });
  })));

  await t.test('messages of type 0 amid output, and a listen answered with no port', () => {
    const requests = [];
    return withSsh2Server((id, protocol) => {
      const typeZero = () => {
        const start = protocol._packetRW.write.allocStart;
        const message = protocol._packetRW.write.alloc(1);
        message[start] = 0;
        sendPacket(protocol, protocol._packetRW.write.finalize(message));
      };
      for (const piece of ['o', 'u', 't']) {
        protocol.channelData(id, Buffer.from(piece));
        for (let i = 0; i < 5; i++) typeZero();
      }
      protocol.exitStatus(id, 0);
      protocol.channelEOF(id);
      protocol.channelClose(id);
    }, async (port) => {
      const { events } = await inChild(sshClient('x', { onConnected: `
        client.remotePortForwarding({ bindAddress: '', port: 0, host: '127.0.0.1', hostPort: 1,
          readyCallback: (f) => events.push('ready:' + f.getBindPort()),
          disconnectCallback: () => events.push('forwarding ended') });
        client.exec(Buffer.from('x'), (status, output) => {
          events.push('exec:' + status + ':' + output);
          setTimeout(() => client.close(), 200);
        }, (e) => { events.push('exec error:' + e.message); client.close(); });` }), port);
      assert.deepStrictEqual(events, ['connected', 'exec:0:out', 'forwarding ended', 'disconnect']);
      assert.deepStrictEqual(requests, ['tcpip-forward', 'cancel-tcpip-forward']);
    }, (accept, reject, name) => {
      requests.push(name);
      if (accept) accept(0xFFFFFFFF);
    });
  });
});
