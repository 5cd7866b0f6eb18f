'use strict';
// SFTP objects at the edges of their lives, in a child process against the local sshd: transfers
// never started, collected while their file system closes or closed before their start; chunks
// written in odd orders; a file without a size.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const { runChild } = require('./support/child');

test('transfers never started or closed first hold nothing, writes complete in order, /proc reads whole', () => {
  const result = runChild(`
    const { SshClient } = require(process.env.QUELBAR_ROOT);
    const client = new SshClient();
    const collected = new Set();
    const registry = new FinalizationRegistry((name) => collected.add(name));
    const report = { rounds: 0, twice: 0 };
    const junk = [];
    // Unstarted transfers that nothing refers to, while their file system closes: the close is asked
    // from a callback, so that garbage collection (by pressure, no gc()) can run between it and the
    // step that shuts the channel down. Collected first, a transfer answers nothing; otherwise the
    // close answers it, once.
    function churn(code, sftp) {
      if (code !== 0) throw new Error('sftp: ' + code);
      if (report.rounds === 60) return edges(sftp);
      sftp.stat('.', () => {
        const once = () => { let answered = false; return () => { report.twice += answered; answered = true; }; };
        const [writer, reader] = [once(), once()];
        sftp.getWriter({ filePath: '/tmp/quelbar-never-' + report.rounds++, onError: writer, onClose: writer });
        sftp.getReader({ filePath: '.', onData: reader, onError: reader, onClose: reader });
        client.sftp(churn);  // the session closes itself once its last file system has
        sftp.close(() => {});
        for (let i = 0; i < 2000; i++) junk[i % 100] = new Array(1000).fill(i);
      });
    }
    async function edges(sftp) {
      // Closed before the first readStart, write or final: what follows starts nothing and takes no
      // hold on the object.
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
      // Completions in the order of the writes, an empty chunk's too; a write after final is refused
      // and its completion never runs.
      const dir = '/tmp/quelbar-sftp-order-' + process.pid;
      const order = [];
      await new Promise((resolve) => sftp.makeDir(dir, 0o755, resolve));
      await new Promise((resolve) => {
        const writer = sftp.getWriter({ filePath: dir + '/f', onSuccess: () => order.push('success'),
          onError: (c) => order.push('error ' + c), onClose: resolve });
        [Buffer.from('a'), Buffer.alloc(0), Buffer.from('b')].forEach((fileChunk, i) =>
          writer.write({ fileChunk, completionCallback: () => order.push(i + 1) }));
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
    }
    client.connect({
      host: process.env.QUELBAR_PEERS_HOST, port: process.env.QUELBAR_SSHD_PORT,
      username: process.env.QUELBAR_SSH_USER, password: process.env.QUELBAR_SSH_PASSWORD,
      knownhostsCallback: (result, fingerprint, key, type, done) => done(true),
      connectCallback: () => client.sftp(churn),
      disconnectCallback: () => console.log(JSON.stringify(report)),
      errorCallback: (error) => { console.error(error); process.exit(2); },
    });`);
  const { cpuinfo, ...rest } = result;
  assert.deepStrictEqual(rest, {
    rounds: 60, twice: 0, refusedAfterClose: false, order: ['written', 1, 2, 3, 'success', 'final'],
    refusedAfterFinal: false, sftpWithoutFunction: 'TypeError', collected: ['reader', 'writer'],
  });
  // Whole, as the local file reads (its clock rates move between reads).
  const withoutRates = (text) => text.replace(/^cpu MHz.*$/gm, '');
  assert.ok(cpuinfo.length > 100);
  assert.strictEqual(withoutRates(cpuinfo), withoutRates(fs.readFileSync('/proc/cpuinfo', 'utf8')));
});
