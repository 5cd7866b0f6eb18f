'use strict';
// SFTP objects at the edges of their lives, against the local sshd: transfers made and never started,
// closed before their start, collected while their file system closes; chunks written in odd orders.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
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

test('transfers closed before their start, and chunks in odd orders, hold nothing and keep order', () => {
  const result = runChild(`
    const { SshClient } = require(process.env.QUELBAR_ROOT);
    const collected = new Set();
    const registry = new FinalizationRegistry((name) => collected.add(name));
    const client = new SshClient();
    const report = {};
    const dir = '/tmp/quelbar-sftp-order-' + process.pid;
    client.connect({
      host: process.env.QUELBAR_PEERS_HOST, port: process.env.QUELBAR_SSHD_PORT,
      username: process.env.QUELBAR_SSH_USER, password: process.env.QUELBAR_SSH_PASSWORD,
      knownhostsCallback: (result, fingerprint, key, type, done) => done(true),
      connectCallback: () => client.sftp(async (code, sftp) => {
        // Closed before the first readStart, write or final: what follows starts nothing and
        // takes no hold on the object.
        (() => {
          const reader = sftp.getReader({ filePath: '/etc/hostname', onData() {}, onError() {}, onClose() {} });
          reader.close();
          reader.readStart();
          const writer = sftp.getWriter({ filePath: '/tmp/quelbar-never', onError() {}, onClose() {} });
          writer.close();
          report.refusedAfterClose = writer.write({ fileChunk: Buffer.from('x'), completionCallback() {} });
          writer.final(() => { report.finalAfterClose = true; });
          registry.register(reader, 'reader');
          registry.register(writer, 'writer');
        })();
        // Completions in the order of the writes, an empty chunk's too; a write after final is
        // refused and its completion never runs.
        const order = [];
        await new Promise((resolve) => sftp.makeDir(dir, 0o755, resolve));
        await new Promise((resolve) => {
          const writer = sftp.getWriter({ filePath: dir + '/f', onSuccess: () => order.push('success'),
            onError: (c) => order.push('error ' + c), onClose: resolve });
          writer.write({ fileChunk: Buffer.from('a'), completionCallback: () => order.push(1) });
          writer.write({ fileChunk: Buffer.alloc(0), completionCallback: () => order.push(2) });
          writer.write({ fileChunk: Buffer.from('b'), completionCallback: () => order.push(3) });
          order.push('written');
          writer.final(() => order.push('final'));
          report.refusedAfterFinal = writer.write({ fileChunk: Buffer.from('c'), completionCallback: () => order.push('late') });
        });
        report.order = order;
        // A file whose size reads 0 is read to its end.
        report.cpuinfo = await new Promise((resolve) => {
          const parts = [];
          sftp.getReader({ filePath: '/proc/cpuinfo', onData: (b) => parts.push(b), onSuccess() {},
            onError: (c) => resolve('error ' + c), onClose: () => resolve(Buffer.concat(parts).toString()) }).readStart();
        });
        try { client.sftp(0); } catch (error) { report.sftpWithoutFunction = error.constructor.name; }
        await new Promise((resolve) => sftp.removeFile(dir + '/f', () => sftp.removeDir(dir, resolve)));
        for (let i = 0; i < 10 && collected.size < 2; i++) {
          gc();
          await new Promise((resolve) => setTimeout(resolve, 20));
        }
        report.collected = [...collected].sort();
        client.close();
      }),
      disconnectCallback: () => console.log(JSON.stringify(report)),
      errorCallback: (error) => { console.error(error); process.exit(2); },
    });`);
  const { cpuinfo, ...rest } = result;
  assert.deepStrictEqual(rest, {
    refusedAfterClose: false,
    order: ['written', 1, 2, 3, 'success', 'final'],
    refusedAfterFinal: false,
    sftpWithoutFunction: 'TypeError',
    collected: ['reader', 'writer'],
  });
  // Whole, as the local file reads (its clock rates move between reads).
  const withoutRates = (text) => text.replace(/^cpu MHz.*$/gm, '');
  assert.ok(cpuinfo.length > 100);
  assert.strictEqual(withoutRates(cpuinfo), withoutRates(fs.readFileSync('/proc/cpuinfo', 'utf8')));
});
