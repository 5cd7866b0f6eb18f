'use strict';
// Runs one SshClient session against the local peers and records what script hears, for the ssh_*
// tests. Each callback can be given its own behaviour; by default the host key is accepted, questions
// are answered with the test account's password and the session is closed once connected.
const { SshClient } = require('../../..');
const peers = require('./peers');

// Waits this long after the final callback, so that a second final callback would be seen.
const SETTLE_MS = 100;

function session(overrides = {}, hooks = {}) {
  const p = peers.load();
  return new Promise((resolve) => {
    const client = new SshClient();
    const record = { events: [], hostKeys: [], questions: [], error: null, client };
    let settled = false;
    const end = () => {
      if (settled) return;
      settled = true;
      setTimeout(() => resolve(record), SETTLE_MS);
    };
    const options = {
      host: p.host,
      port: String(p.sshd.plain),
      username: p.user,
      knownhostsCallback(result, fingerprint, publicKey, type, done) {
        record.events.push('hostkey');
        record.hostKeys.push({ result, fingerprint, publicKey, type });
        (hooks.hostKey || ((answer) => answer(true)))(done, record);
      },
      keyboardInteractiveCallback(name, instruction, prompts, respond) {
        record.events.push('question');
        record.questions.push({ name, instruction, prompts });
        (hooks.question || ((answer) => answer([{ text: p.password }])))(respond, record);
      },
      connectCallback() {
        record.events.push('connected');
        (hooks.connected || ((c) => c.close()))(client, record);
      },
      disconnectCallback() {
        record.events.push('disconnected');
        end();
      },
      errorCallback(error) {
        record.events.push('error');
        record.error = error;
        end();
      },
      ...overrides,
    };
    if (hooks.beforeConnect) hooks.beforeConnect(client, options);
    client.connect(options);
    if (hooks.afterConnect) hooks.afterConnect(client, record);
  });
}

// Options that log in to the plain local sshd as the test account, trusting its host key.
function plainLogin() {
  const p = peers.load();
  return {
    host: p.host,
    port: String(p.sshd.plain),
    username: p.user,
    password: p.password,
    knownhostsCallback: (result, fingerprint, key, type, done) => done(true),
  };
}

// The parts of an Error that script code looks at.
function describeError(error) {
  return error && {
    message: error.message,
    type: error.libquelbar_error_type,
    code: error.libquelbar_error_code,
  };
}

// A 20 ms timer's longest gap, in ms, until the returned function is called: the event loop never
// stands still for a server.
function watchLoop() {
  let [last, longest] = [Date.now(), 0];
  const timer = setInterval(() => {
    longest = Math.max(longest, Date.now() - last);
    last = Date.now();
  }, 20);
  return () => { clearInterval(timer); return longest; };
}

module.exports = { session, plainLogin, describeError, watchLoop, SETTLE_MS };
