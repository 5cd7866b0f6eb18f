'use strict';
// SFTP where real servers make it hard: a server that re-keys every 256 KiB or second while
// downloads, uploads and stats run at once on one file system (every key exchange holds the channel's
// writes back half-way), and dropbear's sftp-server killed while several downloads wait for it. Every
// byte arrives or every transfer answers once, and the event loop never stops.
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { SshClient } = require('../..');
const peers = require('./support/peers');
const { plainLogin } = require('./support/ssh_session');

const MiB = 1024 * 1024;
const sha256 = (data) => crypto.createHash('sha256').update(data).digest('hex');

const dirs = [];
test.after(() => dirs.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true })));
// A directory of the test account's with the given files.
function workDir(files) {
  const dir = fs.mkdtempSync('/tmp/quelbar-sftp-load-');
  dirs.push(dir);
  for (const [name, data] of Object.entries(files)) fs.writeFileSync(path.join(dir, name), data);
  execFileSync('chown', ['-R', peers.load().user, dir]);
  return dir;
}

// A 20 ms timer's longest gap until the returned function is called.
function watchLoop() {
  let [last, longest] = [Date.now(), 0];
  const timer = setInterval(() => {
    longest = Math.max(longest, Date.now() - last);
    last = Date.now();
  }, 20);
  return () => { clearInterval(timer); return longest; };
}

async function openFs(port) {
  const client = new SshClient();
  let end;
  const ended = new Promise((resolve) => { end = resolve; });
  const sftp = await new Promise((resolve, reject) => client.connect({
    ...plainLogin(), port: String(port),
    connectCallback: () => client.sftp((code, fsys) => (code === 0 ? resolve(fsys) : reject(new Error(`sftp ${code}`)))),
    disconnectCallback: () => end('disconnected'),
    errorCallback: (error) => { end(error); reject(error); },
  }));
  const exec = () => new Promise((resolve, reject) => client.exec(Buffer.from('echo alive'),
    (status, output) => resolve(output.toString()), reject));
  return { client, sftp, ended, exec };
}

// Resolves with the bytes read and every callback, once the reader has said its last word.
function download(sftp, filePath) {
  return new Promise((resolve) => {
    const [parts, events] = [[], []];
    const done = () => resolve({ data: Buffer.concat(parts), events });
    sftp.getReader({ filePath, onData: (part) => parts.push(part), onSuccess: () => events.push('success'),
      onError: (code) => { events.push(`error ${code}`); done(); },
      onClose: () => { events.push('close'); done(); } }).readStart();
  });
}

// Writes data in 64 KiB chunks, each once the last one's completion has come, as a Node stream does.
function upload(sftp, filePath, data) {
  return new Promise((resolve) => {
    const events = [];
    const writer = sftp.getWriter({ filePath, onSuccess: () => events.push('success'),
      onError: (code) => { events.push(`error ${code}`); resolve(events); },
      onClose: () => { events.push('close'); resolve(events); } });
    let at = 0;
    const next = () => {
      if (at >= data.length) return writer.final(() => {});
      const chunk = data.subarray(at, at += 64 * 1024);
      return writer.write({ fileChunk: chunk, completionCallback: next });
    };
    next();
  });
}

test('transfers and stats at once under a server that re-keys every 256 KiB arrive whole', async () => {
  const stop = watchLoop();
  const [a, b] = [crypto.randomBytes(20 * MiB), crypto.randomBytes(20 * MiB)];
  const small = {};
  for (let i = 0; i < 200; i++) small[`s${i}`] = Buffer.alloc(i * 3);
  const dir = workDir({ a, b, ...small });
  const { client, sftp, ended } = await openFs(peers.load().sshd.rekey);
  const whole = async (transfer, data, file) => {
    const result = await transfer;
    const events = result.events ?? result;
    assert.deepStrictEqual(events, ['success', 'close'], file);
    assert.strictEqual(sha256(result.data ?? fs.readFileSync(path.join(dir, file))), sha256(data), file);
  };
  for (let run = 0; run < 3; run++) {
    // A download and an upload at once: the download's read requests and the upload's writes are
    // both held back by every key exchange.
    await Promise.all([whole(download(sftp, path.join(dir, 'a')), a, 'a'),
      whole(upload(sftp, path.join(dir, `up${run}`), b), b, `up${run}`)]);
    // Two uploads.
    await Promise.all([whole(upload(sftp, path.join(dir, `x${run}`), a), a, `x${run}`),
      whole(upload(sftp, path.join(dir, `y${run}`), b), b, `y${run}`)]);
    // Two downloads and 200 stats, each its own answer.
    const stats = Object.keys(small).map((name, i) => new Promise((resolve) => sftp.stat(path.join(dir, name),
      (code, attrs) => resolve([code, attrs.size]))).then((answer) => assert.deepStrictEqual(answer, [0, i * 3])));
    await Promise.all([whole(download(sftp, path.join(dir, 'a')), a, 'a'),
      whole(download(sftp, path.join(dir, 'b')), b, 'b'), ...stats]);
  }
  client.close();
  assert.strictEqual(await ended, 'disconnected');
  assert.ok(stop() < 1000, 'the event loop never stopped');
});

// The sftp-server processes serving connections to dropbear.
function dropbearSftpServers() {
  const read = (file) => { try { return fs.readFileSync(file, 'utf8'); } catch { return ''; } };
  const root = Number(read(path.join(peers.load().dir, 'dropbear.pid')).split('\n')[0]);
  const parent = (pid) => { const stat = read(`/proc/${pid}/stat`); return Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]); };
  const descends = (pid) => { for (let p = pid; p > 1; p = parent(p)) if (p === root) return true; return false; };
  return fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry)).map(Number)
    .filter((pid) => read(`/proc/${pid}/comm`).trim() === 'sftp-server' && descends(pid));
}

test('dropbear\'s sftp-server killed under four downloads: each answers once, the session goes on', async () => {
  const stop = watchLoop();
  const data = crypto.randomBytes(8 * MiB);
  const dir = workDir({ big: data });
  const port = Number(peers.load().vars.QUELBAR_DROPBEAR_PORT);
  for (let attempt = 0; attempt < 5; attempt++) {
    const before = new Set(dropbearSftpServers());
    const { client, sftp, ended, exec } = await openFs(port);
    // A second file system keeps the session open once the first has closed itself.
    const second = await new Promise((resolve) => client.sftp((code, fsys) => resolve(fsys)));
    const [victim] = dropbearSftpServers().filter((pid) => !before.has(pid)).sort((x, y) => x - y);
    const answers = [[], [], [], []];
    const downloads = answers.map((list) => download(sftp, path.join(dir, 'big')).then((result) => list.push(result)));
    // Killed a little into the downloads, at a different point each time.
    await new Promise((resolve) => setTimeout(resolve, 5 + attempt * 7));
    process.kill(victim, 'SIGKILL');
    await Promise.all(downloads);
    await new Promise((resolve) => setTimeout(resolve, 50));
    for (const list of answers) {
      assert.strictEqual(list.length, 1);
      const [{ data: got, events }] = list;
      if (events[0] === 'success') assert.strictEqual(sha256(got), sha256(data));
      else assert.deepStrictEqual(events, ['error -26']);
    }
    assert.strictEqual(await exec(), 'alive\n');
    assert.strictEqual(await new Promise((resolve) => second.stat(path.join(dir, 'big'),
      (code, attrs) => resolve(attrs.size))), data.length);
    client.close();
    assert.strictEqual(await ended, 'disconnected');
  }
  assert.ok(stop() < 1000, 'the event loop never stopped');
});
