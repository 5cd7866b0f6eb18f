'use strict';
// Keepalive against an sshd that drops a client which leaves its probes unanswered for a second
// (ClientAliveInterval 1, ClientAliveCountMax 1), and against an sshd whose processes for the session
// are stopped.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { SshClient } = require('../..');
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

// The pids of the sshd processes that serve one session: from the shell's parent up to the child of
// the listening sshd (whose pid the peers wrote), and the shell itself.
function sessionProcesses(shellPid, listenerPid) {
  const parentOf = (pid) => Number(fs.readFileSync(`/proc/${pid}/stat`, 'latin1').replace(/^.*\) /s, '').split(' ')[1]);
  const pids = [shellPid];
  for (let pid = parentOf(shellPid); pid !== listenerPid; pid = parentOf(pid)) {
    assert.ok(pid > 1, `shell ${shellPid} is not served by the sshd ${listenerPid}`);
    pids.push(pid);
  }
  return pids;
}

// A session with a shell on the plain sshd; resolves once the shell told its pid.
function shellSession(options) {
  const p = peers.load();
  const record = { events: [], output: '' };
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    client.connect({ ...plainLogin(), keepaliveInterval: 1, ...options,
      connectCallback: () => client.shell(undefined, (terminal) => {
        record.terminal = terminal;
        terminal.sendData(Buffer.from('echo "pid=$$="\n'));
      }, (data) => {
        record.output += data.toString('latin1');
        const pid = /pid=(\d+)=/.exec(record.output);
        if (pid && !record.pids) {
          try {
            const listener = Number(fs.readFileSync(path.join(p.dir, 'sshd.pid'), 'latin1').split('\n')[0]);
            record.pids = sessionProcesses(Number(pid[1]), listener);
            resolve(record);
          } catch (error) {
            client.close();
            reject(error);
          }
        }
      }, () => record.events.push('shell ended')),
      errorCallback: (error) => record.events.push(error),
      disconnectCallback: () => record.events.push('disconnected') });
    record.client = client;
  });
}

const signal = (pids, name) => pids.forEach((pid) => { try { process.kill(pid, name); } catch {} });
const ended = (record) => record.events.some((e) => e instanceof Error || e === 'disconnected');
const until = async (predicate) => { while (!predicate()) await new Promise((r) => setTimeout(r, 50)); };

test('a server that stops answering: with a reply wanted the session ends after 3 keepalives, without one it waits', async () => {
  const [wanting, notWanting] = await Promise.all([shellSession({ keepaliveWantReply: 1 }), shellSession({})]);
  const all = [...wanting.pids, ...notWanting.pids];
  signal(all, 'SIGSTOP');
  try {
    await until(() => ended(wanting));
    // As long again for the session that asks for no reply: it must still stand.
    await new Promise((resolve) => setTimeout(resolve, 4000));
  } finally {
    signal(all, 'SIGCONT');
  }
  assert.deepStrictEqual(wanting.events.map((e) => (e instanceof Error ? 'error' : e)), ['shell ended', 'error']);
  assert.deepStrictEqual(describeError(wanting.events[1]), {
    type: 2, code: LIBSSH2_ERROR_TIMEOUT,
    message: 'The server stopped answering keepalive messages: 3 in a row, 1 s apart, got no reply',
  });
  assert.deepStrictEqual(notWanting.events, []);
  // The other session goes on once its server does.
  notWanting.terminal.sendData(Buffer.from('echo "still=$((20+22))"\n'));
  await until(() => notWanting.output.includes('still=42'));
  notWanting.client.close();
  await until(() => ended(notWanting));
  assert.deepStrictEqual(notWanting.events, ['shell ended', 'disconnected']);
  signal(wanting.pids, 'SIGTERM');
});
