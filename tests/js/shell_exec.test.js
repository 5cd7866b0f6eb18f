'use strict';
// Shells and commands on a session, against the local sshd and the scripted ssh2 server: what the
// remote side sees, what script gets back and in which order, refusals that fail one request or the
// whole session, closing and garbage collection while requests are live.
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');
const { SshClient } = require('../..');
const peers = require('./support/peers');
const { describeError, plainLogin, SETTLE_MS } = require('./support/ssh_session');

const LIBSSH2_ERROR_CHANNEL_FAILURE = -21;
const LIBSSH2_ERROR_CHANNEL_REQUEST_DENIED = -22;
const LIBSSH2_ERROR_SOCKET_NONE = -1;
const LIBSSH2_ERROR_SOCKET_DISCONNECT = -13;
const LIBSSH2_ERROR_INVAL = -34;
const FORCED = { message: 'Forced to close by user', type: 3, code: 0 };

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

// A client with its callbacks recorded. connected resolves once authenticated (rejects on an error
// first); ended resolves with the name of the first disconnectCallback or errorCallback, and
// disconnected once disconnectCallback has come (a refused shell's errorCallback does not end a
// session).
function open(overrides = {}) {
  const p = peers.load();
  const client = new SshClient();
  const events = [];
  const errors = [];
  let end;
  let disconnect;
  const ended = new Promise((resolve) => { end = resolve; });
  const disconnected = new Promise((resolve) => { disconnect = resolve; });
  const connected = new Promise((resolve, reject) => {
    client.connect({
      ...plainLogin(),
      keyboardInteractiveCallback: (name, instruction, prompts, respond) =>
        respond([{ text: p.password }]),
      connectCallback: () => { events.push('connected'); resolve(); },
      disconnectCallback: () => {
        events.push('disconnected');
        end('disconnected');
        disconnect();
      },
      errorCallback: (error) => {
        events.push('error');
        errors.push(describeError(error));
        reject(error);
        end('error');
      },
      ...overrides,
    });
  });
  return connected.then(() => ({ client, events, errors, ended, disconnected }));
}

function onScripted(user) {
  return { port: String(peers.load().ssh2ServerPort), username: user };
}

function exec(client, command) {
  return new Promise((resolve) => {
    client.exec(Buffer.isBuffer(command) ? command : Buffer.from(command),
                (status, output) => resolve({ status, output }),
                (error) => resolve({ error: describeError(error) }));
  });
}

// A shell whose output is collected. until(text) resolves once the output holds text; disconnected
// resolves with the output at disconnectCallback.
function shell(client, terminal) {
  const chunks = [];
  const events = [];
  const waiters = [];
  const output = () => Buffer.concat(chunks).toString();
  let disconnect;
  const disconnected = new Promise((resolve) => { disconnect = resolve; });
  const ready = new Promise((resolve) => {
    client.shell(terminal, (term) => { events.push('ready'); resolve(term); }, (data) => {
      assert.ok(Buffer.isBuffer(data));
      events.push('data');
      chunks.push(data);
      for (const waiter of waiters.splice(0)) {
        if (!waiter(output())) waiters.push(waiter);
      }
    }, () => {
      events.push('disconnected');
      disconnect(output());
    });
  });
  const until = (text) => new Promise((resolve) => {
    const check = (all) => all.includes(text) && (resolve(all), true);
    if (!check(output())) waiters.push(check);
  });
  return { ready, until, disconnected, chunks, events, output };
}

const settle = () => new Promise((resolve) => setTimeout(resolve, SETTLE_MS));

test('a shell gets its terminal, size, environment and resizes', async (t) => {
  await t.test('terminal type and size as given, and a resize after sendSize', async () => {
    const { client, ended } = await open();
    const s = shell(client, { term: 'vt100', columns: 100, rows: 30 });
    const term = await s.ready;
    term.sendData(Buffer.from('echo "T=$TERM"; stty size\n'));
    await s.until('30 100');
    assert.match(s.output(), /T=vt100/);
    term.sendSize(120, 40);
    term.sendData(Buffer.from('stty size; exit\n'));
    const output = await s.disconnected;
    assert.match(output, /40 120/);
    assert.strictEqual(await ended, 'disconnected');
  });

  await t.test('defaults without terminal options: xterm, 80 columns, 24 rows', async () => {
    const { client, ended } = await open();
    const s = shell(client);
    const term = await s.ready;
    term.sendData(Buffer.from('echo "T=$TERM"; stty size; exit\n'));
    const output = await s.disconnected;
    assert.match(output, /T=xterm\r?\n/);
    assert.match(output, /24 80/);
    assert.deepStrictEqual(s.events.slice(0, 1), ['ready']);
    await ended;
  });

  await t.test('environment variables that AcceptEnv lets through, others skipped', async () => {
    const environmentVariables = [
      { name: 'TEST_ONE', value: 'first value' },
      { name: 'NOT_ACCEPTED', value: 'dropped' },
      { name: 'LC_QUELBAR', value: 'second' },
    ];
    const { client, ended } = await open({ environmentVariables });
    const s = shell(client);
    const term = await s.ready;
    term.sendData(Buffer.from('echo "[$TEST_ONE|$NOT_ACCEPTED|$LC_QUELBAR]"; exit\n'));
    assert.match(await s.disconnected, /\[first value\|\|second\]/);
    await ended;
    const again = await open({ environmentVariables });
    const result = await exec(again.client, 'printf %s "$TEST_ONE/$LC_QUELBAR"');
    assert.deepStrictEqual(result, { status: 0, output: Buffer.from('first value/second') });
    await again.ended;
  });
});

test('the last output of a shell comes before its disconnectCallback, every time', async () => {
  const RUNS = 50;
  const BATCH = 10;
  for (let first = 0; first < RUNS; first += BATCH) {
    await Promise.all(Array.from({ length: BATCH }, async (unused, i) => {
      const { client, ended } = await open();
      const s = shell(client);
      const term = await s.ready;
      term.sendData(Buffer.from(`echo by""e-${first + i}; exit\n`));
      const output = await s.disconnected;
      assert.match(output, new RegExp(`bye-${first + i}`), `run ${first + i}`);
      assert.strictEqual(s.events[s.events.length - 1], 'disconnected');
      assert.strictEqual(await ended, 'disconnected');
    }));
  }
});

test('shell output, input and close', async (t) => {
  await t.test('a large output arrives in order, in chunks of at most 16384 bytes', async () => {
    const { client, ended } = await open();
    const s = shell(client);
    const term = await s.ready;
    term.sendData(Buffer.from('stty -echo; seq 1 100000; exit\n'));
    const output = await s.disconnected;
    const expected = Array.from({ length: 100000 }, (unused, i) => `${i + 1}`).join('\r\n');
    assert.ok(output.includes(expected), 'the whole sequence, in order');
    assert.ok(s.chunks.length > 1);
    assert.ok(s.chunks.every((chunk) => chunk.length <= 16384));
    await ended;
  });

  await t.test('what sendData ignores, and close twice and from dataCallback', async () => {
    const { client, ended } = await open();
    const s = shell(client);
    const term = await s.ready;
    term.sendData('echo as-a-string\n');
    term.sendData(Buffer.alloc(0));
    term.sendData(new Uint8Array(Buffer.from('echo as-a-view\n')));
    await s.until('as-a-view\r\n');
    assert.ok(!s.output().includes('as-a-string'));
    let closes = 0;
    client.shell(undefined, (second) => {
      second.sendData(Buffer.from('echo second-shell\n'));
    }, (data) => {
      if (data.toString().includes('second-shell')) {
        term.close();
        term.close();
      }
    }, () => { closes++; });
    await s.disconnected;
    term.sendData(Buffer.from('echo after-close\n'));
    term.sendSize(10, 10);
    term.close();
    client.close();
    await ended;
    await settle();
    assert.strictEqual(s.events.filter((e) => e === 'disconnected').length, 1);
    assert.strictEqual(closes, 1, 'the second shell ends with the client');
  });

  await t.test('input is sent from script\'s memory, whatever script does with it afterwards', async () => {
    const { client, ended } = await open();
    const s = shell(client);
    const term = await s.ready;
    // Memory script can shrink is copied: shrinking it after sendData changes nothing.
    const resizable = new ArrayBuffer(64, { maxByteLength: 1 << 20 });
    const text = Buffer.from('echo shrunk-after""-send\n');
    text.copy(new Uint8Array(resizable));
    term.sendData(new Uint8Array(resizable, 0, text.length));
    resizable.resize(0);
    // A buffer handed away (its memory now another's) or dropped is still sent whole.
    const moved = Buffer.from(`echo moved-after""-send-${'x'.repeat(100000)}\n`);
    term.sendData(moved);
    structuredClone(moved.buffer, { transfer: [moved.buffer] });
    term.sendData(Buffer.from('echo dropped-after""-send; exit\n'));
    gc();
    const output = await s.disconnected;
    assert.match(output, /shrunk-after-send\r\n/);
    assert.match(output, new RegExp(`moved-after-send-x{100000}\r\n`));
    assert.match(output, /dropped-after-send\r\n/);
    await ended;
  });

  await t.test('a terminal whose shell has ended does nothing', async () => {
    const { client, ended } = await open();
    const s = shell(client);
    const term = await s.ready;
    term.sendData(Buffer.from('exit\n'));
    await s.disconnected;
    assert.strictEqual(await ended, 'disconnected', 'the session closes after its last shell');
    assert.strictEqual(term.sendData(Buffer.from('x')), undefined);
    assert.strictEqual(term.sendSize(80, 24), undefined);
    assert.strictEqual(term.close(), undefined);
  });

  await t.test('objects script makes itself are inert', async () => {
    const { client } = await open();
    const s = shell(client);
    const term = await s.ready;
    const Constructor = term.constructor;
    const made = new Constructor();
    const madeWithArgument = new Constructor({});
    assert.strictEqual(Constructor(), undefined);
    for (const inert of [made, madeWithArgument]) {
      inert.sendData(Buffer.from('exit\n'));
      inert.sendSize(1, 1);
      inert.close();
    }
    assert.throws(() => Constructor.prototype.sendData.call({}, Buffer.from('x')), TypeError);
    term.sendData(Buffer.from('echo still-open\n'));
    await s.until('still-open\r\n');
    client.close();
    await s.disconnected;
  });
});

test('exec reports status and output', async (t) => {
  const { client, ended } = await open();
  const cases = [
    ['status 0 gives standard output', 'echo out; echo err >&2; exit 0', 0, 'out\n'],
    ['another status gives standard error', 'echo out; echo err >&2; exit 3', 3, 'err\n'],
    ['no output', 'true', 0, ''],
    ['a NUL byte ends the command', Buffer.from('echo a\0echo b'), 0, 'a\n'],
  ];
  const results = await Promise.all(cases.map(([, command]) => exec(client, command)));
  for (let i = 0; i < cases.length; i++) {
    const [name, , status, output] = cases[i];
    await t.test(name, () => {
      assert.deepStrictEqual(results[i], { status, output: Buffer.from(output) });
    });
  }
  await t.test('a command given as a string runs the empty command', async () => {
    const result = await new Promise((resolve) => client.exec('echo not-run',
      (status, output) => resolve({ status, output }), (error) => resolve({ error })));
    assert.deepStrictEqual(result, { status: 0, output: Buffer.alloc(0) });
  });
  await t.test('a command that does not exist', async () => {
    const result = await exec(client, 'no-such-command-quelbar');
    assert.strictEqual(result.status, 127);
    assert.match(result.output.toString(), /no-such-command-quelbar: .*not found/);
  });
  await t.test('3 MB written to standard error before standard output ends', async () => {
    const result = await exec(client, 'head -c 3000000 /dev/zero >&2; echo done');
    assert.deepStrictEqual(result, { status: 0, output: Buffer.from('done\n') });
    const failed = await exec(client, 'head -c 3000000 /dev/zero >&2; echo done; exit 1');
    assert.strictEqual(failed.status, 1);
    assert.strictEqual(failed.output.length, 3000000);
  });
  await t.test('64 MB of standard output arrives whole', async () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-exec-'));
    fs.chmodSync(dir, 0o755);
    const file = path.join(dir, 'data');
    const data = crypto.randomBytes(64 * 1024 * 1024);
    fs.writeFileSync(file, data, { mode: 0o644 });
    try {
      const result = await exec(client, `cat ${file}`);
      assert.strictEqual(result.status, 0);
      assert.strictEqual(result.output.length, data.length);
      const digest = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
      assert.strictEqual(digest(result.output), digest(data));
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
  client.close();
  assert.strictEqual(await ended, 'disconnected');
});

test('many requests on one session', async (t) => {
  await t.test('20 commands queued at once each get their own output', async () => {
    const { client, ended } = await open({ environmentVariables: [{ name: 'TEST_N', value: 'n' }] });
    const results = await Promise.all(Array.from({ length: 20 }, (unused, i) =>
      exec(client, i % 2 ? `echo "\${TEST_N}${i}"` : `echo "\${TEST_N}${i}" >&2; exit ${i + 1}`)));
    results.forEach((result, i) => {
      assert.deepStrictEqual(result, i % 2 ? { status: 0, output: Buffer.from(`n${i}\n`) }
        : { status: i + 1, output: Buffer.from(`n${i}\n`) });
    });
    assert.strictEqual(await ended, 'disconnected', 'the session closes after its last command');
  });

  await t.test('a shell and commands side by side', async () => {
    const { client, ended } = await open();
    const s = shell(client);
    const term = await s.ready;
    const commands = Array.from({ length: 5 }, (unused, i) => exec(client, `echo side-${i}`));
    term.sendData(Buffer.from('echo shell-says-hi\n'));
    const results = await Promise.all(commands);
    results.forEach((result, i) => assert.strictEqual(result.output.toString(), `side-${i}\n`));
    await s.until('shell-says-hi\r\n');
    const late = await exec(client, 'echo late');
    assert.strictEqual(late.output.toString(), 'late\n');
    term.sendData(Buffer.from('exit\n'));
    await s.disconnected;
    assert.strictEqual(await ended, 'disconnected');
  });

  await t.test('a command run from the callback of the last one keeps the session', async () => {
    const { client, events, ended } = await open();
    const outputs = [];
    await new Promise((resolve) => {
      const next = (i) => client.exec(Buffer.from(`echo ${i}`), (status, output) => {
        outputs.push(output.toString());
        if (i < 5) next(i + 1); else resolve();
      }, assert.fail);
      next(1);
    });
    assert.deepStrictEqual(outputs, ['1\n', '2\n', '3\n', '4\n', '5\n']);
    assert.strictEqual(await ended, 'disconnected');
    assert.deepStrictEqual(events, ['connected', 'disconnected']);
  });
});

test('refusals', async (t) => {
  await t.test('MaxSessions 1 refuses a second channel and the session goes on', async () => {
    for (const server of [{ port: String(peers.load().sshd.maxSessions1) },
                          onScripted('maxsessions1')]) {
      const { client, events, ended } = await open(server);
      const s = shell(client);
      const term = await s.ready;
      const refused = await exec(client, 'echo second');
      assert.strictEqual(refused.error.type, 2);
      assert.strictEqual(refused.error.code, LIBSSH2_ERROR_CHANNEL_FAILURE);
      assert.match(refused.error.message, /refused a session channel for a command/);
      term.sendData(Buffer.from('still-here\n'));
      await s.until('still-here');
      client.close();
      await s.disconnected;
      assert.strictEqual(await ended, 'disconnected');
      assert.deepStrictEqual(events, ['connected', 'disconnected']);
    }
  });

  await t.test('a refused shell channel reaches errorCallback, the session stays', async () => {
    const { client, events, errors, disconnected } = await open(onScripted('refuse-channel'));
    const ready = [];
    client.shell(undefined, () => ready.push('ready'), () => {}, () => ready.push('disconnected'));
    const refused = await exec(client, 'echo x');
    assert.strictEqual(refused.error.code, LIBSSH2_ERROR_CHANNEL_FAILURE);
    assert.deepStrictEqual(errors.map((e) => [e.type, e.code]), [[2, LIBSSH2_ERROR_CHANNEL_FAILURE]]);
    assert.match(errors[0].message, /refused a session channel for a shell/);
    client.close();
    await disconnected;
    assert.deepStrictEqual(events, ['connected', 'error', 'disconnected']);
    assert.deepStrictEqual(ready, []);
  });

  await t.test('a terminal type too long to send fails that shell alone', async () => {
    const { client, events, errors, disconnected } = await open();
    const s = shell(client, { term: 'x'.repeat(257), columns: 80, rows: 24 });
    assert.deepStrictEqual(errors.map((e) => [e.type, e.code, e.message]),
                           [[2, LIBSSH2_ERROR_INVAL, 'The terminal type is too long (257 bytes; at most 256)']]);
    const longest = shell(client, { term: 'x'.repeat(256), columns: 80, rows: 24 });
    await longest.ready;
    client.close();
    await disconnected;
    assert.deepStrictEqual(events, ['connected', 'error', 'disconnected']);
    assert.deepStrictEqual(s.events, []);
  });

  await t.test('PermitTTY no ends the session with the refusal', async () => {
    for (const server of [{ port: String(peers.load().sshd.noTty) }, onScripted('notty')]) {
      const { client, events, errors, ended } = await open(server);
      const s = shell(client);
      assert.strictEqual(await ended, 'error');
      assert.deepStrictEqual(events, ['connected', 'error']);
      assert.strictEqual(errors[0].type, 2);
      assert.strictEqual(errors[0].code, LIBSSH2_ERROR_CHANNEL_REQUEST_DENIED);
      assert.match(errors[0].message, /pseudo-terminal/);
      await settle();
      assert.deepStrictEqual(s.events, []);
    }
  });

  await t.test('requests before the session is connected and after it has closed', async () => {
    const client = new SshClient();
    const early = await exec(client, 'true');
    assert.strictEqual(early.error.code, LIBSSH2_ERROR_SOCKET_NONE);
    assert.match(early.error.message, /not connected yet/);
    const { client: done, ended } = await open();
    done.close();
    await ended;
    const late = await exec(done, 'true');
    assert.strictEqual(late.error.code, LIBSSH2_ERROR_SOCKET_DISCONNECT);
    const lateShell = shell(done);
    await settle();
    assert.deepStrictEqual(lateShell.events, []);
  });
});

test('close and garbage collection with live requests', async (t) => {
  await t.test('close during sleep 30 gives exactly one Forced to close by user', async () => {
    const { client, events, ended } = await open();
    const reports = [];
    client.exec(Buffer.from('sleep 30'), (status) => reports.push({ status }),
                (error) => reports.push(describeError(error)));
    client.exec(Buffer.from('echo started >&2; sleep 30'), (status) => reports.push({ status }),
                (error) => reports.push(describeError(error)));
    const s = shell(client);
    await s.ready;
    client.close();
    client.close();
    assert.strictEqual(await ended, 'disconnected');
    await settle();
    assert.deepStrictEqual(reports, [FORCED, FORCED]);
    assert.deepStrictEqual(s.events, ['ready', 'disconnected']);
    assert.deepStrictEqual(events, ['connected', 'disconnected']);
  });

  await t.test('close from inside a command callback reports nothing twice', async () => {
    const { client, ended } = await open();
    const reports = [];
    await new Promise((resolve) => client.exec(Buffer.from('echo x'), (status) => {
      reports.push(status);
      client.close();
      resolve();
    }, (error) => reports.push(describeError(error))));
    assert.strictEqual(await ended, 'disconnected');
    await settle();
    assert.deepStrictEqual(reports, [0]);
  });

  await t.test('a collected RemoteTerminal leaves its shell running', async () => {
    const { client, ended } = await open();
    let collected = false;
    const registry = new FinalizationRegistry(() => { collected = true; });
    let disconnected;
    const shellEnded = new Promise((resolve) => { disconnected = resolve; });
    await new Promise((resolve) => client.shell(undefined, (term) => {
      registry.register(term, 'terminal');  // and dropped
      resolve();
    }, () => {}, () => disconnected()));
    for (let i = 0; i < 20 && !collected; i++) {
      gc();
      await new Promise((resolve) => setImmediate(resolve));
    }
    assert.ok(collected, 'the wrapper was collected');
    const still = await exec(client, 'echo alive');
    assert.strictEqual(still.output.toString(), 'alive\n');
    client.close();
    await shellEnded;
    assert.strictEqual(await ended, 'disconnected');
  });
});
