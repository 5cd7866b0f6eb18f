'use strict';
// The session's transport against a misbehaving network: a relay in front of the local sshd that floods
// the client or stops passing bytes. Each case runs in a child process, so that its memory is its own
// and a hang shows as a process that did not end.
const test = require('node:test');
const assert = require('node:assert');
const { runChild } = require('./support/child');

// A relay between the client and the local sshd. flood() stops passing sshd's bytes and sends the
// client junk as fast as the client's socket takes it; freeze() stops passing bytes either way and
// keeps both sockets open, as a server that stopped answering.
const RELAY = String.raw`
const net = require('net');
const { SshClient } = require(process.env.QUELBAR_ROOT);
const relay = { flooded: 0, flood() {}, freeze() {} };
function startRelay(onListening) {
  const server = net.createServer((down) => {
    server.close();
    const up = net.connect(Number(process.env.QUELBAR_SSHD_PORT), '127.0.0.1');
    let frozen = false;
    down.on('data', (d) => { if (!frozen) up.write(d); });
    up.on('data', (d) => { if (!frozen) down.write(d); });
    down.on('error', () => {});
    up.on('error', () => {});
    down.on('close', () => up.destroy());
    relay.freeze = () => { frozen = true; };
    relay.flood = () => {
      frozen = true;
      const junk = Buffer.alloc(1 << 20, 0x5a);
      const pump = () => {
        while (!down.destroyed && down.write(junk, () => { relay.flooded += junk.length; })) {}
      };
      down.on('drain', pump);
      pump();
    };
    relay.end = () => { down.destroy(); up.destroy(); };
  });
  server.listen(0, '127.0.0.1', () => onListening(server.address().port));
}
function connectThrough(port, callbacks) {
  const client = new SshClient();
  client.connect({
    host: '127.0.0.1', port: String(port), username: process.env.QUELBAR_SSH_USER,
    password: process.env.QUELBAR_SSH_PASSWORD,
    knownhostsCallback: (r, f, k, t, done) => done(true),
    keyboardInteractiveCallback: (n, i, p, respond) =>
      respond([{ text: process.env.QUELBAR_SSH_PASSWORD }]),
    ...callbacks,
  });
  return client;
}
`;

const FLOOD_CHILD = RELAY + String.raw`
// Floods for FLOOD_MS while the client waits in PHASE, then closes it; reports how much the relay got
// into the client's socket, how much the client process grew meanwhile, and the final callback.
const FLOOD_MS = 1500;
const phase = process.env.PHASE;
const result = { events: [] };
process.on('exit', () => process.stdout.write(JSON.stringify(result)));
let client;
function floodThenClose() {
  const rssBefore = process.memoryUsage().rss;
  relay.flood();
  setTimeout(() => {
    result.floodedMiB = relay.flooded / 1048576;
    result.rssGrowthMiB = (process.memoryUsage().rss - rssBefore) / 1048576;
    client.close();
  }, FLOOD_MS);
}
startRelay((port) => {
  client = connectThrough(port, {
    knownhostsCallback: (r, f, k, t, done) => {
      if (phase === 'hostkey') {
        globalThis.keptAnswer = done;
        floodThenClose();
      } else {
        done(true);
      }
    },
    connectCallback: () => { result.events.push('connected'); floodThenClose(); },
    disconnectCallback: () => { result.events.push('disconnected'); relay.end(); },
    errorCallback: () => { result.events.push('error'); relay.end(); },
  });
});
`;

test('a server that floods the client cannot make it hold more than a bounded amount', async (t) => {
  for (const [phase, events] of [['hostkey', ['disconnected']], ['idle', ['connected', 'disconnected']]]) {
    await t.test(phase === 'hostkey' ? 'while the host-key question is open' : 'while connected and idle',
                 () => {
      const result = runChild(FLOOD_CHILD, { PHASE: phase });
      assert.deepStrictEqual(result.events, events);
      // Without a bound the relay gets gigabytes through; with it, the held megabyte and the kernel's
      // socket buffers.
      assert.ok(result.floodedMiB < 64, `the relay got ${result.floodedMiB} MiB into the client`);
      assert.ok(result.rssGrowthMiB < 200, `the client grew by ${result.rssGrowthMiB} MiB`);
    });
  }
});

const FROZEN_CHILD = RELAY + String.raw`
// Once a command is running (a later one has completed, so its channel is open), the relay stops
// passing bytes and script closes the client.
const result = { events: [] };
process.on('exit', () => process.stdout.write(JSON.stringify(result)));
const withCommand = process.env.COMMAND === 'yes';
const shell = process.env.COMMAND === 'shell' || process.env.COMMAND === 'shell closed first';
startRelay((port) => {
  const client = connectThrough(port, {
    connectCallback: () => {
      const freezeAndClose = () => { relay.freeze(); client.close(); };
      if (shell) {
        return client.shell({ term: 'xterm', columns: 80, rows: 24 }, (terminal) => {
          result.events.push('shell ready');
          relay.freeze();
          // A shell closed on its own waits for the server's channel close, which never comes.
          if (process.env.COMMAND === 'shell closed first') terminal.close();
          setImmediate(() => client.close());
        }, () => {}, () => result.events.push('shell disconnected'));
      }
      if (!withCommand) return freezeAndClose();
      client.exec(Buffer.from('sleep 30'), () => result.events.push('sleep done'),
                  (e) => result.events.push('sleep error: ' + e.message));
      client.exec(Buffer.from('true'), () => { result.events.push('true done'); freezeAndClose(); },
                  (e) => result.events.push('true error: ' + e.message));
    },
    disconnectCallback: () => { result.events.push('disconnected'); relay.end(); },
    errorCallback: (e) => { result.events.push('error: ' + e.message); relay.end(); },
  });
});
`;

test('close() ends the session when the server has stopped answering', async (t) => {
  await t.test('with a command running', () => {
    const result = runChild(FROZEN_CHILD, { COMMAND: 'yes' });
    assert.deepStrictEqual(result.events,
                           ['true done', 'sleep error: Forced to close by user', 'disconnected']);
  });
  for (const command of ['shell', 'shell closed first']) {
    await t.test(`with a ${command}`, () => {
      const result = runChild(FROZEN_CHILD, { COMMAND: command });
      assert.deepStrictEqual(result.events, ['shell ready', 'shell disconnected', 'disconnected']);
    });
  }
  await t.test('with nothing running', () => {
    const result = runChild(FROZEN_CHILD, { COMMAND: 'no' });
    assert.deepStrictEqual(result.events, ['disconnected']);
  });
});
