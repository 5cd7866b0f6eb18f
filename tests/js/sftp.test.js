'use strict';
// SFTP against the local sshd, logged in as the unprivileged test account: every operation checked
// against the real file system, many requests in flight at once and streaming in both directions with
// checksums, each against sshd's internal-sftp and against the stand-alone sftp-server; then closing
// or collecting things in the middle of transfers, or before their start.
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('node:crypto');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');
const { SshClient, FileAttrs, FileReader, FileWriter } = require('../..');
const peers = require('./support/peers');
const { plainLogin, watchLoop, SETTLE_MS } = require('./support/ssh_session');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

const NO_SUCH_FILE = 2;
const PERMISSION_DENIED = 3;
const FAILURE = 4;
const BAD_MESSAGE = 5;  // OpenSSH's word for EINVAL

// A fresh directory that the test account owns, removed when the tests end; files made in it by
// root are handed over too.
const workDirs = [];
test.after(() => {
  for (const dir of workDirs) fs.rmSync(dir, { recursive: true, force: true });
});
function workDir() {
  const dir = fs.mkdtempSync('/tmp/quelbar-sftp-');
  fs.chmodSync(dir, 0o755);
  workDirs.push(dir);
  return dir;
}
function handOver(target) {
  execFileSync('chown', ['-R', peers.load().user, target]);
}

function sha256(data) {
  return crypto.createHash('sha256').update(data).digest('hex');
}

// The servers: sshd's own and the stand-alone program, which runs as a process of its own per
// session and so answers at its own pace; and dropbear, whose channel windows are small (24 KiB),
// with fewer of the tests and a smaller file.
const MiB = 1024 * 1024;
const SERVERS = [
  { name: 'internal-sftp', peer: 'sshd', port: () => peers.load().sshd.plain, bigFile: 256 * MiB },
  { name: 'sftp-server', peer: 'sshd_sftp_server', port: () => peers.load().sshd.sftpServer,
    bigFile: 256 * MiB },
  { name: 'dropbear', peer: 'dropbear', port: () => Number(peers.load().vars.QUELBAR_DROPBEAR_PORT),
    bigFile: 64 * MiB, only: ['one-call', 'listing', 'down and up'] },
];
// Each test of every server that runs it.
function serverTest(server, kind, name, body) {
  if (!server.only || server.only.includes(kind)) test(`${server.name}: ${name}`, body);
}

// A connected client with its file system; ended resolves with the client's final callback.
function openFs(server = SERVERS[0]) {
  const client = new SshClient();
  let end;
  const ended = new Promise((resolve) => { end = resolve; });
  return new Promise((resolve, reject) => {
    client.connect({
      ...plainLogin(),
      port: String(server.port()),
      connectCallback: () => client.sftp((code, sftp) => {
        if (code !== 0) reject(new Error(`sftp failed: ${code}`));
        else resolve({ client, sftp, ended });
      }),
      disconnectCallback: () => end('disconnected'),
      errorCallback: (error) => { end(error); reject(error); },
    });
  });
}

// The processes serving connections to the server (not the listener itself), oldest first; with a
// name, those of that command only. Read from /proc: procps's tools hang under the sanitizer run's
// preloaded runtime.
function servingProcesses(server, name) {
  const read = (file) => { try { return fs.readFileSync(file, 'utf8'); } catch { return ''; } };  // gone meanwhile
  const listener = Number(read(path.join(peers.load().dir, `${server.peer}.pid`)).split('\n')[0]);
  const parentOf = new Map();
  for (const pid of fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry))) {
    // The parent is the second field after the command name, which may hold spaces.
    const stat = read(`/proc/${pid}/stat`);
    if (stat) parentOf.set(Number(pid), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
  }
  const descendants = (pid) => [...parentOf].filter(([, parent]) => parent === pid)
    .flatMap(([child]) => [child, ...descendants(child)]);
  const serving = descendants(listener).sort((a, b) => a - b)
    .filter((pid) => !name || read(`/proc/${pid}/comm`).trim() === name);
  assert.ok(serving.length > 0, `no ${name || 'process'} serves ${server.peer}`);
  return serving;
}

// Kills every process serving a connection to the server, so that each client's connection drops
// without a word.
function killConnections(server) {
  for (const pid of servingProcesses(server)) process.kill(pid, 'SIGKILL');
}

// Calls method(...args, callback) and resolves with the callback's arguments.
function call(sftp, method, ...args) {
  return new Promise((resolve) => sftp[method](...args, (...results) => resolve(results)));
}

// Reads a remote file whole; readStop and readStart around every pauseEvery-th part.
function download(sftp, filePath, { pauseEvery = 0 } = {}) {
  return new Promise((resolve) => {
    const parts = [];
    const events = [];
    let maxPart = 0;
    const reader = sftp.getReader({
      filePath,
      onData(buffer) {
        parts.push(buffer);
        maxPart = Math.max(maxPart, buffer.length);
        if (pauseEvery && parts.length % pauseEvery === 0) {
          reader.readStop();
          setTimeout(() => reader.readStart(), 1);
        }
      },
      onSuccess: () => events.push('success'),
      // A failure closes the handle without onClose.
      onError: (code) => { events.push(`error ${code}`); finish(); },
      onClose: () => { events.push('close'); finish(); },
    });
    const finish = () => setTimeout(() => resolve({ data: Buffer.concat(parts), events, maxPart }),
      SETTLE_MS);
    reader.readStart();
  });
}

// Writes chunks the way a Node stream does: the next one once the last one's completion has come.
function upload(sftp, filePath, chunks, { fileMode = 0o644, waitForCompletion = true } = {}) {
  return new Promise((resolve) => {
    const events = [];
    const writer = sftp.getWriter({
      filePath,
      fileMode,
      onSuccess: () => events.push('success'),
      onError: (code) => { events.push(`error ${code}`); setTimeout(() => resolve(events), SETTLE_MS); },
      onClose: () => { events.push('close'); setTimeout(() => resolve(events), SETTLE_MS); },
    });
    let next = 0;
    const writeNext = () => {
      if (next === chunks.length) {
        writer.final(() => events.push('final'));
        return;
      }
      const chunk = chunks[next++];
      if (waitForCompletion) {
        writer.write({ fileChunk: chunk, completionCallback: writeNext });
      } else {
        writer.write({ fileChunk: chunk, completionCallback: () => {} });
        writeNext();
      }
    };
    writeNext();
  });
}

for (const server of SERVERS) {
  serverTest(server, 'one-call', 'one-call operations agree with the real file system', async () => {
    const dir = workDir();
    const names = ['plain', 'with space', 'ünïcödé ✓', '-dash', 'empty'];
    names.forEach((name, i) => fs.writeFileSync(path.join(dir, name), 'x'.repeat(i * 100)));
    fs.mkdirSync(path.join(dir, 'full'));
    fs.writeFileSync(path.join(dir, 'full', 'inside'), 'y');
    fs.writeFileSync(path.join(dir, 'rootonly'), 'secret');
    handOver(dir);
    fs.chownSync(path.join(dir, 'rootonly'), 0, 0);
    fs.chmodSync(path.join(dir, 'rootonly'), 0o600);
    const { client, sftp, ended } = await openFs(server);
    try {
      for (const name of names) {
        const file = path.join(dir, name);
        const [code, attrs] = await call(sftp, 'stat', file);
        const local = fs.lstatSync(file);
        assert.strictEqual(code, 0, name);
        assert.ok(attrs instanceof FileAttrs);
        assert.deepStrictEqual(
          [attrs.mode, attrs.uid, attrs.gid, attrs.size, attrs.atime, attrs.mtime],
          [local.mode & 0o777, local.uid, local.gid, local.size, Math.floor(local.atimeMs / 1000),
            Math.floor(local.mtimeMs / 1000)], name);
        assert.deepStrictEqual([attrs.isFile(), attrs.isDirectory(), attrs.isSymbolicLink()],
          [true, false, false]);
      }

      // Success calls back with no argument at all; the link is named by the first path.
      const link = path.join(dir, 'link');
      const made = await call(sftp, 'symlink', link, 'with space');
      assert.deepStrictEqual(made, []);
      assert.strictEqual(fs.readlinkSync(link), 'with space');
      assert.deepStrictEqual(await call(sftp, 'readLink', link), [0, 'with space']);
      const [, linkAttrs] = await call(sftp, 'lstat', link);
      assert.deepStrictEqual([linkAttrs.isSymbolicLink(), linkAttrs.isFile(), linkAttrs.mode],
        [true, false, 0o777]);
      const [, targetAttrs] = await call(sftp, 'stat', link);
      assert.strictEqual(targetAttrs.size, 100);
      await call(sftp, 'symlink', path.join(dir, 'dangling'), 'nowhere');
      assert.strictEqual((await call(sftp, 'lstat', path.join(dir, 'dangling')))[0], 0);
      assert.strictEqual((await call(sftp, 'stat', path.join(dir, 'dangling')))[0], NO_SUCH_FILE);

      assert.deepStrictEqual(await call(sftp, 'realPath', '.'), [0, fs.realpathSync('/home/sshtest')]);
      // Longer than the 512 bytes a smaller buffer would take, which failed the whole session.
      const levels = Array.from({ length: 12 }, (_, i) => `${'d'.repeat(60)}${i}`);
      const deep = path.join(dir, ...levels);
      fs.mkdirSync(deep, { recursive: true });
      handOver(path.join(dir, levels[0]));
      assert.deepStrictEqual(await call(sftp, 'realPath', deep), [0, deep]);
      assert.deepStrictEqual(await call(sftp, 'realPath', path.join(dir, 'missing', 'deeper')),
        [NO_SUCH_FILE, '']);
      assert.deepStrictEqual(await call(sftp, 'readLink', path.join(dir, 'plain')), [BAD_MESSAGE, '']);

      // Refusals carry the server's status, and the file system goes on.
      const [statCode, zero] = await call(sftp, 'stat', path.join(dir, 'missing'));
      assert.strictEqual(statCode, NO_SUCH_FILE);
      assert.deepStrictEqual([zero.size, zero.mode, zero.isFile(), zero.isDirectory()], [0, 0, false, false]);
      assert.deepStrictEqual(await call(sftp, 'removeFile', path.join(dir, 'missing')), [NO_SUCH_FILE]);
      assert.deepStrictEqual(await call(sftp, 'makeDir', path.join(dir, 'full'), 0o755), [FAILURE]);
      assert.deepStrictEqual(await call(sftp, 'removeDir', path.join(dir, 'full')), [FAILURE]);
      assert.deepStrictEqual(await call(sftp, 'rename', path.join(dir, 'plain'), path.join(dir, 'empty')),
        [FAILURE]);
      const denied = await download(sftp, path.join(dir, 'rootonly'));
      assert.deepStrictEqual(denied.events, [`error ${PERMISSION_DENIED}`]);
      assert.deepStrictEqual(await call(sftp, 'listDir', path.join(dir, 'missing')), [NO_SUCH_FILE, []]);

      // The mode counts its nine permission bits only.
      assert.deepStrictEqual(await call(sftp, 'chmod', path.join(dir, '-dash'), 0o104751), []);
      assert.strictEqual(fs.statSync(path.join(dir, '-dash')).mode & 0o7777, 0o751);
      assert.deepStrictEqual(await call(sftp, 'makeDir', path.join(dir, 'made'), 0o40700), []);
      assert.strictEqual(fs.statSync(path.join(dir, 'made')).mode & 0o7777, 0o700);
      assert.deepStrictEqual(await call(sftp, 'rename', path.join(dir, 'plain'), path.join(dir, 'moved')), []);
      assert.ok(fs.existsSync(path.join(dir, 'moved')) && !fs.existsSync(path.join(dir, 'plain')));
      assert.deepStrictEqual(await call(sftp, 'removeDir', path.join(dir, 'made')), []);
      assert.deepStrictEqual(await call(sftp, 'removeFile', path.join(dir, 'moved')), []);

      const [listCode, entries] = await call(sftp, 'listDir', dir);
      assert.strictEqual(listCode, 0);
      const byName = new Map(entries.map((entry) => [entry.filename, entry]));
      assert.deepStrictEqual([...byName.keys()].sort(),
        ['.', '..', ...fs.readdirSync(dir)].sort());
      assert.ok(byName.get('link').attrs.isSymbolicLink());
      assert.ok(byName.get('full').attrs.isDirectory());
      assert.strictEqual(byName.get('ünïcödé ✓').attrs.size, 200);
      assert.match(byName.get('-dash').longname, /-dash$/);
    } finally {
      client.close();
      assert.strictEqual(await ended, 'disconnected');
    }
  });

  serverTest(server, 'listing', 'a directory of 10,000 entries is listed whole', async () => {
    const dir = workDir();
    for (let i = 0; i < 10000; i++) fs.writeFileSync(path.join(dir, `entry-${i}`), '');
    handOver(dir);
    const { client, sftp, ended } = await openFs(server);
    const [code, entries] = await call(sftp, 'listDir', dir);
    assert.strictEqual(code, 0);
    assert.strictEqual(entries.length, 10002);
    assert.strictEqual(new Set(entries.map((e) => e.filename)).size, 10002);
    client.close();
    await ended;
  });

  serverTest(server, 'in flight', 'requests in flight at once each get their own answer', async () => {
    const dir = workDir();
    for (let i = 0; i < 200; i++) fs.writeFileSync(path.join(dir, `f${i}`), Buffer.alloc(i * 7));
    const contents = [];
    for (let i = 0; i < 4; i++) {
      contents.push(crypto.randomBytes(3_000_017 + i));
      fs.writeFileSync(path.join(dir, `big${i}`), contents[i]);
    }
    handOver(dir);
    const { client, sftp, ended } = await openFs(server);
    const work = [];
    for (let i = 0; i < 200; i++) {
      work.push(call(sftp, 'stat', path.join(dir, `f${i}`)).then(([code, attrs]) => {
        assert.deepStrictEqual([code, attrs.size], [0, i * 7], `f${i}`);
      }));
      if (i % 4 === 0) {
        work.push(call(sftp, 'chmod', path.join(dir, `f${i}`), 0o600).then((args) => {
          assert.deepStrictEqual(args, []);
          assert.strictEqual(fs.statSync(path.join(dir, `f${i}`)).mode & 0o777, 0o600);
        }));
      }
      if (i % 50 === 0) {
        work.push(call(sftp, 'stat', path.join(dir, `none${i}`)).then(([code]) => {
          assert.strictEqual(code, NO_SUCH_FILE);
        }));
      }
    }
    // Four downloads and four uploads, all at once on the one file system.
    for (let i = 0; i < 4; i++) {
      work.push(download(sftp, path.join(dir, `big${i}`)).then(({ data, events }) => {
        assert.deepStrictEqual(events, ['success', 'close']);
        assert.strictEqual(sha256(data), sha256(contents[i]));
      }));
      const chunks = [];
      for (let at = 0; at < contents[i].length; at += 65536) chunks.push(contents[i].subarray(at, at + 65536));
      work.push(upload(sftp, path.join(dir, `up${i}`), chunks).then((events) => {
        assert.deepStrictEqual(events, ['success', 'final', 'close']);
        assert.strictEqual(sha256(fs.readFileSync(path.join(dir, `up${i}`))), sha256(contents[i]));
      }));
    }
    await Promise.all(work);
    client.close();
    assert.strictEqual(await ended, 'disconnected');
  });

  serverTest(server, 'down and up', `${server.bigFile / MiB} MiB down and up, paused and resumed on the way, arrive whole`, async () => {
    const dir = workDir();
    const size = server.bigFile;
    const content = crypto.randomBytes(size);
    fs.writeFileSync(path.join(dir, 'big'), content);
    fs.writeFileSync(path.join(dir, 'empty'), '');
    handOver(dir);
    const expected = sha256(content);
    const { client, sftp, ended } = await openFs(server);

    const down = await download(sftp, path.join(dir, 'big'), { pauseEvery: 1000 });
    assert.deepStrictEqual(down.events, ['success', 'close']);
    assert.ok(down.maxPart <= 16384);
    assert.strictEqual(sha256(down.data), expected);
    down.data = null;

    const chunks = [];
    for (let at = 0; at < size; at += 1 << 20) chunks.push(content.subarray(at, at + (1 << 20)));
    const events = await upload(sftp, path.join(dir, 'up'), chunks);
    assert.deepStrictEqual(events, ['success', 'final', 'close']);
    assert.strictEqual(sha256(fs.readFileSync(path.join(dir, 'up'))), expected);

    // Chunks written without waiting, and an upload over a longer file, which it truncates.
    const small = [Buffer.from('one '), Buffer.alloc(0), Buffer.from('two '), Buffer.from('three')];
    assert.deepStrictEqual(await upload(sftp, path.join(dir, 'up'), small, { waitForCompletion: false }),
      ['success', 'final', 'close']);
    assert.strictEqual(fs.readFileSync(path.join(dir, 'up'), 'utf8'), 'one two three');
    assert.deepStrictEqual(await upload(sftp, path.join(dir, 'created'), [], { fileMode: 0o640 }),
      ['success', 'final', 'close']);
    assert.deepStrictEqual([fs.statSync(path.join(dir, 'created')).size,
      fs.statSync(path.join(dir, 'created')).mode & 0o777], [0, 0o640]);
    const empty = await download(sftp, path.join(dir, 'empty'));
    assert.deepStrictEqual([empty.events, empty.data.length], [['success', 'close'], 0]);

    client.close();
    assert.strictEqual(await ended, 'disconnected');
  });

  serverTest(server, 'cut short', 'a file cut short while it is read ends with what it had', async () => {
    const dir = workDir();
    const content = crypto.randomBytes(64 * 1024 * 1024);
    const file = path.join(dir, 'shrinking');
    fs.writeFileSync(file, content);
    handOver(dir);
    const { client, sftp, ended } = await openFs(server);
    const result = await new Promise((resolve) => {
      const parts = [];
      const events = [];
      const reader = sftp.getReader({
        filePath: file,
        onData(buffer) {
          if (parts.length === 0) fs.truncateSync(file, 1024 * 1024);
          parts.push(buffer);
        },
        onSuccess: () => events.push('success'),
        onError: (code) => events.push(`error ${code}`),
        onClose: () => { events.push('close'); resolve({ data: Buffer.concat(parts), events }); },
      });
      reader.readStart();
    });
    assert.deepStrictEqual(result.events, ['success', 'close']);
    assert.ok(result.data.length < content.length);
    assert.ok(result.data.equals(content.subarray(0, result.data.length)));
    client.close();
    await ended;
  });
}

test('a download driven from inside another session\'s onData keeps each file its own bytes', async () => {
  const dir = workDir();
  const contents = [crypto.randomBytes(8 << 20), crypto.randomBytes(8 << 20)];
  contents.forEach((content, i) => fs.writeFileSync(path.join(dir, `f${i}`), content));
  handOver(dir);
  const sessions = [await openFs(), await openFs()];
  // While the first reader runs, the second takes one read per readStart, given from inside the
  // first reader's onData: its read runs there, while the first hands out the parts of one read.
  const parts = [[], []];
  const errors = [];
  let closed = 0;
  let last;
  const ended = new Promise((resolve) => { last = resolve; });
  const readers = sessions.map(({ sftp }, i) => sftp.getReader({
    filePath: path.join(dir, `f${i}`),
    onData(buffer) {
      parts[i].push(buffer);
      if (i === 0) readers[1].readStart();
      else if (closed === 0) readers[1].readStop();
    },
    onError: (code) => errors.push(`reader ${i}: ${code}`),
    onClose() {
      if (++closed === 2) last();
      else readers[1].readStart();
    },
  }));
  readers[1].readStart();
  await new Promise((resolve) => setTimeout(resolve, 200));
  readers[0].readStart();
  await ended;
  assert.deepStrictEqual(errors, []);
  parts.forEach((list, i) => assert.strictEqual(sha256(Buffer.concat(list)), sha256(contents[i]), `f${i}`));
  for (const { client, ended: end } of sessions) {
    client.close();
    await end;
  }
});

test('closing readers, writers, the file system or the client mid-transfer ends each once', async () => {
  const dir = workDir();
  fs.writeFileSync(path.join(dir, 'big'), crypto.randomBytes(32 * 1024 * 1024));
  handOver(dir);
  const { client, sftp, ended } = await openFs();

  // A paused reader and a writer between chunks still close their handles.
  const closed = await new Promise((resolve) => {
    const events = [];
    const reader = sftp.getReader({
      filePath: path.join(dir, 'big'),
      onData() {
        if (!events.includes('data')) {
          events.push('data');
          reader.readStop();
          setTimeout(() => reader.close(), 50);
        }
      },
      onSuccess: () => events.push('success'),
      onError: (code) => events.push(`error ${code}`),
      onClose: () => { events.push('close'); setTimeout(() => resolve(events), SETTLE_MS); },
    });
    reader.readStart();
  });
  assert.deepStrictEqual(closed, ['data', 'close']);
  const writerEvents = await new Promise((resolve) => {
    const events = [];
    const writer = sftp.getWriter({
      filePath: path.join(dir, 'partial'),
      fileMode: 0o644,
      onSuccess: () => events.push('success'),
      onError: (code) => events.push(`error ${code}`),
      onClose: () => { events.push('close'); setTimeout(() => resolve(events), SETTLE_MS); },
    });
    writer.write({ fileChunk: Buffer.alloc(4 << 20, 1), completionCallback: () => {
      events.push('written');
      writer.close();
    } });
  });
  assert.deepStrictEqual(writerEvents, ['written', 'close']);
  assert.strictEqual(fs.statSync(path.join(dir, 'partial')).size, 4 << 20);
  assert.strictEqual((await call(sftp, 'stat', path.join(dir, 'big')))[0], 0);

  // Opened before the first one closes: a session whose last request ends closes itself.
  const second = await new Promise((resolve) => client.sftp((code, fsys) => resolve(fsys)));

  // Closing the file system, then the client, with a reader, a writer and one-call operations of
  // every kind in flight: each answers exactly once, the close callback last, and nothing holds the
  // script objects afterwards.
  const collected = new Set();
  const registry = new FinalizationRegistry((name) => collected.add(name));
  const cutOff = (label, fsys, closeIt) => new Promise((resolve) => {
    const events = [];
    const once = (name) => (code) => events.push(`${name} ${code}`);
    const operations = () => {
      fsys.stat(path.join(dir, 'big'), once('stat'));
      fsys.lstat(path.join(dir, 'big'), once('lstat'));
      fsys.listDir(dir, once('listDir'));
      fsys.realPath('.', once('realPath'));
      fsys.readLink(path.join(dir, 'big'), once('readLink'));
      fsys.makeDir(path.join(dir, `d${Math.random()}`), 0o755, once('makeDir'));
      fsys.chmod(path.join(dir, 'big'), 0o644, once('chmod'));
      fsys.removeFile(path.join(dir, 'none'), once('removeFile'));
    };
    const reader = fsys.getReader({
      filePath: path.join(dir, 'big'),
      onData() {
        if (events.includes('data')) return;
        events.push('data');
        reader.readStop();  // mid-transfer, and no further than that, when the close comes
        operations();
        // closeIt queues the operations again just before it closes.
        setImmediate(() => closeIt(() => {
          events.push('closed');
          setTimeout(() => resolve(events), SETTLE_MS);
        }, (event) => events.push(event), operations));
      },
      onSuccess: () => events.push('success'),
      onError: once('reader'),
      onClose: () => events.push('reader close'),
    });
    const writer = fsys.getWriter({ filePath: path.join(dir, 'cut'),
      onSuccess: () => events.push('writer success'), onError: once('writer'),
      onClose: () => events.push('writer close') });
    writer.write({ fileChunk: Buffer.alloc(8 << 20, 2), completionCallback() {} });
    reader.readStart();
    registry.register(reader, `${label} reader`);
    registry.register(writer, `${label} writer`);
  });
  // cutOffCode: what the reader and writer answer, and what those queued just before the end answer
  // when they never ran.
  const checkCutOff = (events, cutOffCode = '-26') => {
    assert.strictEqual(events[0], 'data');
    assert.strictEqual(events.at(-1), 'closed', events.join());
    const answers = events.slice(1, -1).map((event) => event.split(' '));
    const count = (name) => answers.filter(([n]) => n === name).length;
    assert.deepStrictEqual([count('reader'), count('writer')], [1, 1], events.join());
    for (const name of ['stat', 'lstat', 'listDir', 'realPath', 'readLink', 'makeDir', 'chmod',
      'removeFile']) {
      assert.strictEqual(count(name), 2, `${name}: ${events.join()}`);
    }
    for (const who of ['reader', 'writer']) {
      const code = answers.find(([n]) => n === who)[1];
      // A transfer that meets the lost connection itself answers with what its own call found.
      if (cutOffCode === '-26') assert.strictEqual(code, cutOffCode);
      else assert.ok(Number(code) < 0, `${who} ${code}`);
    }
    // Operations queued just before the end may have been answered by then: the rest answer the end.
    for (const [name, code] of answers) {
      assert.ok(code === 'undefined' || Number(code) >= 0 || code === cutOffCode || name === 'reader' ||
        name === 'writer', events.join());
    }
  };
  // The file system closed from inside a listing's callback: that listing has answered already.
  const fsEvents = await cutOff('fs', sftp, (cb, note, operations) => sftp.listDir(dir, (code) => {
    note(`inner ${code}`);
    operations();
    sftp.close(cb);
  }));
  checkCutOff(fsEvents.filter((event) => !event.startsWith('inner')));
  assert.deepStrictEqual(fsEvents.filter((event) => event.startsWith('inner')), ['inner 0']);
  assert.strictEqual(sftp.stat(path.join(dir, 'big'), () => assert.fail()), undefined);
  assert.strictEqual(sftp.getReader({ filePath: 'x' }), undefined);
  checkCutOff(await cutOff('client', second, (cb, note, operations) => {
    operations();
    client.close();
    ended.then(() => cb());
  }));
  assert.strictEqual(await ended, 'disconnected');
  // Its session ended by client.close(): later calls answer -26, once, on a later turn.
  assert.strictEqual((await call(second, 'stat', '.'))[0], -26);

  // The connection lost under the same load: the server's processes for it are killed.
  const lost = await openFs(SERVERS[1]);
  const failure = await cutOff('lost', lost.sftp, (cb, note, operations) => {
    operations();
    killConnections(SERVERS[1]);
    lost.ended.then((error) => {
      note(`session ${error.libquelbar_error_code}`);
      cb();
    });
  });
  const sessionCode = failure.find((event) => event.startsWith('session')).split(' ')[1];
  assert.notStrictEqual(sessionCode, '0');
  checkCutOff(failure.filter((event) => !event.startsWith('session')), sessionCode);
  assert.deepStrictEqual((await call(lost.sftp, 'stat', '.'))[0], Number(sessionCode));
  for (let i = 0; i < 10 && collected.size < 6; i++) {
    gc();
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  assert.strictEqual(collected.size, 6);
});

test('sftp-server killed mid-download, then the whole server stopped: each answers once, in time', async (t) => {
  const dir = workDir();
  const big = path.join(dir, 'big');
  fs.writeFileSync(big, crypto.randomBytes(32 * 1024 * 1024));
  handOver(dir);
  const { client, sftp, ended } = await openFs(SERVERS[1]);
  t.after(() => client.close());  // also when a check fails half-way
  const second = await new Promise((resolve) => client.sftp((code, fileSystem) => resolve(fileSystem)));
  // The first file system's program ends under its download: the download, and an operation that
  // waits, answer -26 once; the session, its other file system and its commands go on.
  const events = [];
  await new Promise((resolve) => {
    const reader = sftp.getReader({
      filePath: big,
      onData() {
        if (events.length) return;
        events.push('data');
        reader.readStop();
        process.kill(servingProcesses(SERVERS[1], 'sftp-server')[0], 'SIGKILL');
        sftp.stat(big, (code) => events.push(`stat ${code}`));
        setTimeout(() => reader.readStart(), 50);
      },
      onSuccess: () => events.push('success'),
      onError: (code) => { events.push(`error ${code}`); setTimeout(resolve, SETTLE_MS); },
      onClose: () => { events.push('close'); resolve(); },
    });
    reader.readStart();
  });
  assert.deepStrictEqual(events.sort(), ['data', 'error -26', 'stat -26']);
  assert.strictEqual((await call(second, 'stat', big))[0], 0);
  assert.strictEqual(await new Promise((resolve, reject) => client.exec(Buffer.from('echo alive'),
    (status, out) => resolve(out.toString()), reject)), 'alive\n');

  // Every process of the connection stopped: client.close() ends the session at once all the same.
  const stopped = servingProcesses(SERVERS[1]);
  stopped.forEach((pid) => process.kill(pid, 'SIGSTOP'));
  try {
    const waiting = call(second, 'realPath', '.');
    await new Promise((resolve) => setTimeout(resolve, SETTLE_MS));
    client.close();
    assert.strictEqual(await ended, 'disconnected');
    assert.deepStrictEqual(await waiting, [-26, '']);
  } finally {
    stopped.forEach((pid) => process.kill(pid, 'SIGCONT'));
  }
});

test('readers and writers script drops go on to their end; the file system goes on', async () => {
  const dir = workDir();
  fs.writeFileSync(path.join(dir, 'big'), crypto.randomBytes(16 * 1024 * 1024));
  handOver(dir);
  const { client, sftp, ended } = await openFs();
  let seen = 0;
  (() => {
    for (let i = 0; i < 4; i++) {
      const reader = sftp.getReader({
        filePath: path.join(dir, 'big'),
        onData: () => { seen++; if (seen % 5 === 0) reader.readStop(); },
        onSuccess() {}, onError() {}, onClose() {},
      });
      reader.readStart();
      const writer = sftp.getWriter({ filePath: path.join(dir, `w${i}`), fileMode: 0o600,
        onSuccess() {}, onError() {}, onClose() {} });
      writer.write({ fileChunk: Buffer.alloc(1 << 20), completionCallback() {} });
    }
  })();
  // Started and dropped at once: the transfer holds its object until its last callback.
  const whole = new Promise((resolve) => {
    let bytes = 0;
    sftp.getReader({
      filePath: path.join(dir, 'big'),
      onData: (buffer) => { bytes += buffer.length; },
      onSuccess() {}, onError() {},
      onClose: () => resolve(bytes),
    }).readStart();
  });
  await new Promise((resolve) => setTimeout(resolve, 50));
  gc();
  await new Promise((resolve) => setTimeout(resolve, 200));
  gc();
  assert.strictEqual(await whole, 16 * 1024 * 1024);
  const [code, attrs] = await call(sftp, 'stat', path.join(dir, 'big'));
  assert.deepStrictEqual([code, attrs.size], [0, 16 * 1024 * 1024]);
  const again = await download(sftp, path.join(dir, 'big'));
  assert.strictEqual(again.data.length, 16 * 1024 * 1024);
  client.close();
  assert.strictEqual(await ended, 'disconnected');
});

test('transfers never started or closed before their start hold nothing; writes complete in order', async (t) => {
  const dir = workDir();
  handOver(dir);
  const { client, sftp: first, ended } = await openFs();
  t.after(() => client.close());  // also when a check fails half-way
  // Unstarted transfers that nothing refers to, while their file system closes, asked from a callback
  // so that garbage collection (by pressure, no gc()) can run before the channel is shut: collected
  // first, a transfer answers nothing, else the close answers it once. The next file system opens
  // first, or the session would close with its last.
  let [sftp, twice] = [first, 0];
  const junk = [];
  for (let round = 0; round < 60; round++) {
    const closing = sftp;
    const [code, next] = await new Promise((resolve) => closing.stat('.', () => {
      const once = () => { let answered = false; return () => { twice += answered; answered = true; }; };
      const [writer, reader] = [once(), once()];
      closing.getWriter({ filePath: path.join(dir, `never-${round}`), onError: writer, onClose: writer });
      closing.getReader({ filePath: '.', onData: reader, onError: reader, onClose: reader });
      client.sftp((...args) => resolve(args));
      closing.close(() => {});
      for (let i = 0; i < 2000; i++) junk[i % 100] = new Array(1000).fill(i);
    }));
    assert.strictEqual(code, 0);
    sftp = next;
  }
  assert.strictEqual(twice, 0);

  // Closed before the first readStart, write or final: what follows starts nothing and takes no hold
  // on the object.
  const collected = new Set();
  const registry = new FinalizationRegistry((name) => collected.add(name));
  assert.strictEqual((() => {
    const reader = sftp.getReader({ filePath: '/etc/hostname', onData() {}, onError() {}, onClose() {} });
    reader.close();
    reader.readStart();
    const writer = sftp.getWriter({ filePath: path.join(dir, 'never'), onError() {}, onClose() {} });
    writer.close();
    registry.register(reader, 'reader');
    registry.register(writer, 'writer');
    writer.final(() => assert.fail());
    return writer.write({ fileChunk: Buffer.from('x'), completionCallback: () => assert.fail() });
  })(), false);
  // Completions in the order of the writes, an empty chunk's too; a write after final is refused and
  // its completion never runs.
  const order = [];
  await new Promise((resolve) => {
    const writer = sftp.getWriter({ filePath: path.join(dir, 'ordered'), onSuccess: () => order.push('success'),
      onError: (code) => order.push(`error ${code}`), onClose: resolve });
    [Buffer.from('a'), Buffer.alloc(0), Buffer.from('b')].forEach((fileChunk, i) =>
      writer.write({ fileChunk, completionCallback: () => order.push(i + 1) }));
    order.push('written');
    writer.final(() => order.push('final'));
    order.push(writer.write({ fileChunk: Buffer.from('c'), completionCallback: () => order.push('late') }));
  });
  assert.deepStrictEqual(order, ['written', false, 1, 2, 3, 'success', 'final']);
  // A file whose size reads 0 is read to its end, as the local file reads (its clock rates move).
  const cpuinfo = await download(sftp, '/proc/cpuinfo');
  const withoutRates = (text) => text.replace(/^cpu MHz.*$/gm, '');
  assert.deepStrictEqual([cpuinfo.events, withoutRates(cpuinfo.data.toString())],
    [['success', 'close'], withoutRates(fs.readFileSync('/proc/cpuinfo', 'utf8'))]);
  assert.throws(() => client.sftp(0), TypeError);
  for (let i = 0; i < 10 && collected.size < 2; i++) {
    gc();
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  assert.deepStrictEqual([...collected].sort(), ['reader', 'writer']);
  client.close();
  assert.strictEqual(await ended, 'disconnected');
});

test('objects script makes itself, and a failed sftp request, are inert', async () => {
  const attrs = new FileAttrs();
  assert.deepStrictEqual([attrs.mode, attrs.uid, attrs.gid, attrs.size, attrs.atime, attrs.mtime],
    [0, 0, 0, 0, 0, 0]);
  assert.strictEqual(attrs.isFile() || attrs.isDirectory() || attrs.isSocket(), false);
  attrs.size = 4096;
  attrs.size = '8192';
  attrs.atime = -1.9;
  attrs.mtime = 2 ** 40;
  attrs.uid = -5;
  attrs.gid = NaN;
  assert.deepStrictEqual([attrs.size, attrs.atime, attrs.mtime, attrs.uid, attrs.gid],
    [4096, -1, 2 ** 31 - 1, 0, 0]);
  new FileReader().readStart();
  new FileReader().close();
  new FileWriter().write({ fileChunk: Buffer.from('x'), completionCallback: () => assert.fail() });
  new FileWriter().final(() => assert.fail());

  const { client, sftp, ended } = await openFs();
  const fake = new sftp.constructor({});
  assert.strictEqual(fake.stat('.', () => assert.fail()), undefined);
  client.close();
  await ended;
  // A client that is not connected cannot start SFTP.
  const idle = new SshClient();
  const [code, inert] = await new Promise((resolve) => idle.sftp((...args) => resolve(args)));
  assert.ok(code < 0);
  assert.strictEqual(inert.getWriter({ filePath: 'x' }), undefined);
});

// Every key exchange holds the channel's writes back half-way: downloads, uploads and stats at once
// on one file system, against a server that re-keys every 256 KiB or second.
test('transfers and stats at once under a server that re-keys every 256 KiB arrive whole', async () => {
  const stop = watchLoop();
  const dir = workDir();
  const [a, b] = [crypto.randomBytes(20 * MiB), crypto.randomBytes(20 * MiB)];
  fs.writeFileSync(path.join(dir, 'a'), a);
  fs.writeFileSync(path.join(dir, 'b'), b);
  for (let i = 0; i < 200; i++) fs.writeFileSync(path.join(dir, `s${i}`), Buffer.alloc(i * 3));
  handOver(dir);
  const { client, sftp, ended } = await openFs({ port: () => peers.load().sshd.rekey });
  const chunks = (data) => Array.from({ length: data.length / 65536 }, (_, i) => data.subarray(i * 65536, (i + 1) * 65536));
  const down = (name, data) => download(sftp, path.join(dir, name)).then(({ data: got, events }) =>
    assert.deepStrictEqual([events, sha256(got)], [['success', 'close'], sha256(data)]));
  const up = (name, data) => upload(sftp, path.join(dir, name), chunks(data)).then((events) =>
    assert.deepStrictEqual([events, sha256(fs.readFileSync(path.join(dir, name)))],
      [['success', 'final', 'close'], sha256(data)]));
  for (let run = 0; run < 3; run++) {
    await Promise.all([down('a', a), up(`up${run}`, b)]);
    await Promise.all([up(`x${run}`, a), up(`y${run}`, b)]);
    await Promise.all([down('a', a), down('b', b), ...Array.from({ length: 200 }, (_, i) =>
      call(sftp, 'stat', path.join(dir, `s${i}`)).then(([code, attrs]) => assert.deepStrictEqual([code, attrs.size], [0, i * 3])))]);
  }
  client.close();
  assert.strictEqual(await ended, 'disconnected');
  assert.ok(stop() < 1000, 'the event loop never stopped');
});

test('dropbear\'s sftp-server killed under four downloads: each answers once, the session goes on', async () => {
  const stop = watchLoop();
  const dir = workDir();
  const data = crypto.randomBytes(8 * MiB);
  fs.writeFileSync(path.join(dir, 'big'), data);
  handOver(dir);
  for (let attempt = 0; attempt < 5; attempt++) {
    const programs = () => { try { return servingProcesses(SERVERS[2], 'sftp-server'); } catch { return []; } };
    const before = new Set(programs());
    const { client, sftp, ended } = await openFs(SERVERS[2]);
    // A second file system keeps the session open once the first has closed itself.
    const second = await new Promise((resolve) => client.sftp((code, fsys) => resolve(fsys)));
    const [victim] = programs().filter((pid) => !before.has(pid));
    const downloads = Array.from({ length: 4 }, () => download(sftp, path.join(dir, 'big')));
    await new Promise((resolve) => setTimeout(resolve, 5 + attempt * 7));  // a different point each time
    process.kill(victim, 'SIGKILL');
    for (const { data: got, events } of await Promise.all(downloads)) {
      if (events[0] === 'success') assert.strictEqual(sha256(got), sha256(data));
      else assert.deepStrictEqual(events, ['error -26']);
    }
    assert.strictEqual((await call(second, 'stat', path.join(dir, 'big')))[1].size, data.length);
    client.close();
    assert.strictEqual(await ended, 'disconnected');
  }
  assert.ok(stop() < 1000, 'the event loop never stopped');
});
