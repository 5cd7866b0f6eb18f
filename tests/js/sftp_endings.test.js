'use strict';
// SFTP objects at the edges of their lives, against the local sshd: transfers made and never started,
// closed before their start, collected while their file system closes; chunks written in odd orders.
const test = require('node:test');
const assert = require('node:assert');
const { runChild } = require('./support/child');

test('unstarted transfers collected while their file system closes crash nothing', () => {
  // The close is asked from a callback, so that garbage collection can run between it and the step
  // that shuts the channel down; nothing refers to the transfers, and no gc() is called.
  const result = runChild(`
    const { SshClient } = require(process.env.QUELBAR_ROOT);
    const client = new SshClient();
    const ROUNDS = 60;
    let round = 0;
    let twice = 0;
    const junk = [];
    function next(code, sftp) {
      if (code !== 0) throw new Error('sftp: ' + code);
      if (round++ === ROUNDS) return client.close();
      sftp.stat('.', () => {
        // Collected first, a transfer answers nothing; otherwise the close answers it, once.
        const once = () => { let answered = false; return () => { twice += answered; answered = true; }; };
        const [writer, reader] = [once(), once()];
        sftp.getWriter({ filePath: '/tmp/quelbar-never-' + round, onError: writer, onClose: writer });
        sftp.getReader({ filePath: '.', onData: reader, onError: reader, onClose: reader });
        client.sftp(next);  // the session closes itself once its last file system has
        sftp.close(() => {});
        for (let i = 0; i < 2000; i++) junk[i % 100] = new Array(1000).fill(i);
      });
    }
    client.connect({
      host: process.env.QUELBAR_PEERS_HOST, port: process.env.QUELBAR_SSHD_PORT,
      username: process.env.QUELBAR_SSH_USER, password: process.env.QUELBAR_SSH_PASSWORD,
      knownhostsCallback: (result, fingerprint, key, type, done) => done(true),
      connectCallback: () => client.sftp(next),
      disconnectCallback: () => console.log(JSON.stringify({ rounds: round - 1, twice })),
      errorCallback: (error) => { console.error(error); process.exit(2); },
    });`);
  assert.deepStrictEqual(result, { rounds: 60, twice: 0 });
});
