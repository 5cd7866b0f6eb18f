'use strict';
// How shells and commands end when their session ends under them or their command ends oddly: the
// server closing right after the output, a dropped connection with requests running, a command killed
// by a signal, a command too long to send. Against the scripted ssh2 server and the local sshd.
const test = require('node:test');
const assert = require('node:assert');
const { SshClient } = require('../..');
const peers = require('./support/peers');
const { describeError, plainLogin, SETTLE_MS } = require('./support/ssh_session');

const LIBSSH2_ERROR_INVAL = -34;
// What the scripted server's shells write before it ends the session (tests/peers/ssh2-server.js).
const ENDING_SHELL_OUTPUT = Buffer.concat([Buffer.from('first line\n'), Buffer.alloc(200 * 1024, 0x41),
                                          Buffer.from('\nLAST LINE\n')]);

const settle = () => new Promise((resolve) => setTimeout(resolve, SETTLE_MS));

// A connected client; every callback, of the session and of what runs on it, lands in one events list.
// ended resolves after the session's first final callback and a pause in which a second would be seen.
function open(server = {}) {
  const client = new SshClient();
  const events = [];
  let end;
  const ended = new Promise((resolve) => { end = resolve; });
  const settleEnd = () => settle().then(end);
  return new Promise((resolve, reject) => {
    client.connect({
      ...plainLogin(),
      connectCallback: () => resolve({ client, events, ended }),
      disconnectCallback: () => { events.push('session disconnected'); settleEnd(); },
      errorCallback: (error) => {
        events.push(`session error: ${error.message}`);
        reject(error);
        settleEnd();
      },
      ...server,
    });
  });
}

function onScripted(user) {
  return { port: String(peers.load().ssh2ServerPort), username: user };
}

// Resolves with { status, output } or { error }; every report also goes into events.
function exec(client, events, command) {
  return new Promise((resolve) => {
    client.exec(Buffer.from(command), (status, output) => {
      events.push(`exec ${status}`);
      resolve({ status, output: output.toString() });
    }, (error) => {
      events.push(`exec error: ${error.message}`);
      resolve({ error: describeError(error) });
    });
  });
}

// A shell whose output is collected; the output counts as one event however many chunks it came in.
function shell(client, events) {
  const chunks = [];
  const ready = new Promise((resolve) => {
    client.shell(undefined, resolve, (data) => {
      if (chunks.length === 0) events.push('shell data');
      chunks.push(data);
    }, () => events.push('shell disconnected'));
  });
  return { ready, output: () => Buffer.concat(chunks) };
}

test('a shell whose session ends gets all its output, then its disconnect, then the session reports',
     async (t) => {
       const endings = {
         // exit status, EOF and CLOSE, then TCP FIN without the server's disconnect message
         'close-fin': /The server closed the connection/,
         // exit status, EOF and CLOSE, then the server's disconnect message
         'close-disconnect': /The server (ended the session|closed the connection)/,
         // the server's disconnect message while the shell's channel is still open
         disconnect: /The server (ended the session|closed the connection)/,
       };
       for (const [user, sessionError] of Object.entries(endings)) {
         await t.test(user, async () => {
           const { client, events, ended } = await open(onScripted(user));
           const s = shell(client, events);
           await ended;
           assert.ok(s.output().equals(ENDING_SHELL_OUTPUT),
                     `${s.output().length} of ${ENDING_SHELL_OUTPUT.length} bytes arrived`);
           assert.strictEqual(events.length, 3, events.join(' | '));
           assert.deepStrictEqual(events.slice(0, 2), ['shell data', 'shell disconnected']);
           assert.match(events[2], /^session (disconnected|error: )/);
           if (events[2] !== 'session disconnected') assert.match(events[2], sessionError);
         });
       }
     });

test('a command whose session ends right after it reports its status and output', async (t) => {
  for (const user of ['close-fin', 'close-disconnect']) {
    await t.test(user, async () => {
      const { client, events, ended } = await open(onScripted(user));
      const result = await exec(client, events, 'report me');
      assert.deepStrictEqual(result, { status: 0, output: 'output of report me\n' });
      await ended;
      assert.strictEqual(events.length, 2, events.join(' | '));
    });
  }

  await t.test('output and EOF, then a dropped connection: no status came, so no success', async () => {
    const { client, events, ended } = await open(onScripted('eof-drop'));
    const result = await exec(client, events, 'cut short');
    assert.strictEqual(result.error?.message, "The connection ended before the command's exit status arrived");
    await ended;
    assert.strictEqual(events.length, 2, events.join(' | '));
  });

  await t.test('a disconnect before the command ends fails it once, with the session', async () => {
    const { client, events, ended } = await open(onScripted('disconnect'));
    const result = await exec(client, events, 'cut short');
    assert.ok(result.error, JSON.stringify(result));
    await ended;
    assert.strictEqual(events.length, 2, events.join(' | '));
    assert.match(events[1], /^session error: /);
  });
});

test('a dropped connection reaches every live request once, before the session reports', async () => {
  const { client, events, ended } = await open(onScripted('drop-later'));
  const s = shell(client, events);
  await s.ready;
  // The shell's read is queued ahead of the command's and meets the dropped connection first.
  const result = await exec(client, events, 'sleep 30');
  await ended;
  assert.strictEqual(events.length, 3, events.join(' | '));
  assert.match(events[2], /^session error: /);
  const sessionError = events[2].slice('session error: '.length);
  assert.strictEqual(result.error.message, sessionError);
  assert.deepStrictEqual(events.slice(0, 2), [`exec error: ${sessionError}`, 'shell disconnected']);
});

test('a command ended by a signal reports 128 plus its number and its standard error', async (t) => {
  const { client, events, ended } = await open();
  const cases = [['KILL', 137], ['TERM', 143], ['XCPU', 255]];  // sshd names XCPU in its own way
  for (const [signal, status] of cases) {
    await t.test(signal, async () => {
      const result = await exec(client, events, `echo partial; echo gone >&2; kill -${signal} $$`);
      assert.deepStrictEqual(result, { status, output: 'gone\n' });
    });
  }
  client.close();
  await ended;
  assert.strictEqual(events.at(-1), 'session disconnected');
});

test('a command too long to send fails alone; the session goes on', async () => {
  const { client, events, ended } = await open();
  const command = `echo ${'x'.repeat(40000)}`;
  const result = await exec(client, events, command);
  assert.strictEqual(result.error.type, 2);
  assert.strictEqual(result.error.code, LIBSSH2_ERROR_INVAL);
  assert.strictEqual(result.error.message, `The command is too long to send (${command.length} bytes)`);
  // Just below libssh2's packet limit still goes.
  const long = await exec(client, events, `echo ${'y'.repeat(30000)} | wc -c`);
  assert.deepStrictEqual(long, { status: 0, output: '30001\n' });
  client.close();
  await ended;
  assert.deepStrictEqual(events, [events[0], 'exec 0', 'session disconnected']);
});

test('close() while the server leaves a channel open unanswered still ends everything once', async () => {
  const { client, events, ended } = await open(onScripted('open-silent'));
  shell(client, events);
  const command = exec(client, events, 'never runs');
  await settle();
  client.close();
  await command;
  await ended;
  assert.deepStrictEqual(events.sort(), ['exec error: Forced to close by user', 'session disconnected',
                                         'shell disconnected']);
});

test('keepalive while a failed session hands a shell its last output slowly', async () => {
  // The session's keepalive timer fires while script takes the shell's last chunks one by one; the
  // session must still reach its final callback.
  const { client, events, ended } = await open({ ...onScripted('disconnect'), keepaliveInterval: 1 });
  const chunks = [];
  client.shell(undefined, () => {}, (data) => {
    chunks.push(data);
    const until = Date.now() + 100;
    while (Date.now() < until);  // a slow consumer
  }, () => events.push('shell disconnected'));
  await ended;
  assert.ok(Buffer.concat(chunks).equals(ENDING_SHELL_OUTPUT));
  assert.strictEqual(events[0], 'shell disconnected');
  assert.match(events[1], /^session (disconnected|error: )/);
});
