'use strict';
// Keepalive against an sshd that drops a client which leaves its probes unanswered for a second
// (ClientAliveInterval 1, ClientAliveCountMax 1).
const test = require('node:test');
const assert = require('node:assert');
const peers = require('./support/peers');
const { session, describeError } = require('./support/ssh_session');

const IDLE_MS = 5000;
const UV_EOF = -4095;

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
