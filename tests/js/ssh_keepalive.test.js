'use strict';
// Keepalive against an sshd that drops a client which leaves its probes unanswered for a second
// (ClientAliveInterval 1, ClientAliveCountMax 1), and against an sshd whose processes for the session
// are stopped.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const peers = require('./support/peers');
const { session, plainLogin, describeError } = require('./support/ssh_session');

const IDLE_MS = 5000;
const UV_EOF = -4095;
const LIBSSH2_ERROR_TIMEOUT = -9;

function idleSession(options) {
  const p = peers.load();
  return session({ port: String(p.sshd.keepalive), password: p.password,
                   keyboardInteractiveCallback: undefined, ...options },
                 { connected: (client) => setTimeout(() => client.close(), IDLE_MS) });
}

test('keepalive keeps an idle session up', async () => {
  const record = await idleSession({ keepaliveInterval: 1, keepaliveWantReply: 1 });
  assert.deepStrictEqual(record.events, ['hostkey', 'connected', 'disconnected'],
                         JSON.stringify(describeError(record.error)));
});

test('without keepalive the same server drops the idle session, reported as such', async () => {
  const record = await idleSession({});
  assert.deepStrictEqual(record.events, ['hostkey', 'connected', 'error']);
  assert.deepStrictEqual(describeError(record.error), {
    type: 1, code: UV_EOF, message: 'The server closed the connection: end of file',
  });
});

// The shell's pid and those of the sshd processes above it, up to the child of the listening sshd.
function sessionProcesses(shellPid) {
  const listener = Number(fs.readFileSync(path.join(peers.load().dir, 'sshd.pid'), 'latin1').split('\n')[0]);
  const parentOf = (pid) => Number(fs.readFileSync(`/proc/${pid}/stat`, 'latin1').replace(/^.*\) /s, '').split(' ')[1]);
  const pids = [shellPid];
  for (let pid = parentOf(shellPid); pid !== listener; pid = parentOf(pid)) {
    assert.ok(pid > 1, `shell ${shellPid} is not served by the sshd ${listener}`);
    pids.push(pid);
  }
  return pids;
}

// A session with a shell on the plain sshd; resolves with its record once the shell told its pid.
const shellSession = (options) => new Promise((resolve, reject) => session({
  ...plainLogin(), keyboardInteractiveCallback: undefined, keepaliveInterval: 1, ...options,
}, {
  connected: (client, record) => client.shell(undefined, (terminal) => {
    record.terminal = terminal;
    terminal.sendData(Buffer.from('echo "pid=$$="\n'));
  }, (data) => {
    record.output = (record.output || '') + data.toString('latin1');
    const pid = /pid=(\d+)=/.exec(record.output);
    try {
      if (pid && !record.pids) resolve(Object.assign(record, { pids: sessionProcesses(Number(pid[1])) }));
    } catch (error) {
      client.close();
      reject(error);
    }
  }, () => record.events.push('shell ended')),
}));

const signal = (pids, name) => pids.forEach((pid) => { try { process.kill(pid, name); } catch {} });
const until = async (predicate) => { while (!predicate()) await new Promise((r) => setTimeout(r, 50)); };
const ended = (record) => () => record.events.includes('error') || record.events.includes('disconnected');

test('a server that stops answering: with a reply wanted the session ends after 3 keepalives, without one it waits', async () => {
  const [wanting, notWanting] = await Promise.all([shellSession({ keepaliveWantReply: 1 }), shellSession({})]);
  const all = [...wanting.pids, ...notWanting.pids];
  signal(all, 'SIGSTOP');
  try {
    await until(ended(wanting));
    await new Promise((resolve) => setTimeout(resolve, 4000));  // as long again: the other session must still stand
  } finally {
    signal(all, 'SIGCONT');
  }
  assert.deepStrictEqual([wanting.events, describeError(wanting.error), notWanting.events], [
    ['connected', 'shell ended', 'error'], { type: 2, code: LIBSSH2_ERROR_TIMEOUT,
      message: 'The server stopped answering keepalive messages: 3 in a row, 1 s apart, got no reply' }, ['connected']]);
  // The other session goes on once its server does.
  notWanting.terminal.sendData(Buffer.from('echo "still=$((20+22))"\n'));
  await until(() => notWanting.output.includes('still=42'));
  notWanting.client.close();
  await until(ended(notWanting));
  assert.deepStrictEqual(notWanting.events, ['connected', 'shell ended', 'disconnected']);
  signal(wanting.pids, 'SIGTERM');
});
