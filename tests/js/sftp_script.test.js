'use strict';
// SFTP against a scripted server (tests/peers/sftp-script-server.js) that sends what no real server
// sends. Every operation answers exactly once, the file system and the session go on where they can,
// and nothing waits past its case.
const test = require('node:test');
const assert = require('node:assert');
const { SshClient } = require('../..');
const { startSftpScriptServer, FILE_SIZE, content } = require('../peers/sftp-script-server');
const { SETTLE_MS, watchLoop } = require('./support/ssh_session');

const [PROTOCOL, CLOSED, INVAL, FAILURE] = [-31, -26, -34, 4];  // libssh2's codes; an SFTP status
const settle = () => new Promise((resolve) => setTimeout(resolve, SETTLE_MS));

let server;
test.before(async () => { server = await startSftpScriptServer(); });
test.after(() => server.close());

// Connects and opens `count` file systems (s.fs). s.call(fs, method, ...args) resolves with the first
// answer, attributes given as their size and a listing as its names; s.end() closes the client, sees it
// end, and a while later checks that no operation has answered twice.
async function session(count, username = 'anyone') {
  const client = new SshClient();
  let end;
  const ended = new Promise((resolve) => { end = resolve; });
  await new Promise((resolve, reject) => client.connect({
    host: '127.0.0.1', port: String(server.port), username, password: 'anything',
    knownhostsCallback: (...args) => args[4](true), connectCallback: resolve,
    disconnectCallback: () => end('disconnected'), errorCallback: (error) => { end(error); reject(error); },
  }));
  const s = { asked: 0, answered: 0, fs: [], codes: [] };
  while (s.fs.length < count) {
    s.fs.push(await new Promise((resolve) => client.sftp((code, fs) => { s.codes.push(code); resolve(fs); })));
  }
  const shown = (v) => (Array.isArray(v) ? v.map((entry) => entry.filename) : v?.size ?? v);
  return Object.assign(s, {
    call: (fs, method, ...args) => new Promise((resolve) => {
      s.asked++;
      fs[method](...args, (...results) => { s.answered++; resolve(results.map(shown)); });
    }),
    exec: () => new Promise((resolve, reject) => client.exec(Buffer.from('true'),
      (status, output) => resolve([status, output.toString()]), reject)),
    end: async () => {
      client.close();
      assert.strictEqual(await ended, 'disconnected');
      await settle();
      assert.strictEqual(s.answered, s.asked, 'one answer per operation');
    },
  });
}

// Runs a reader, or a writer of `upload` bytes; resolves a while after its final word (so that a second
// one would show), and after `onError`'s promise if it gives one, with the bytes read and every callback.
function transfer(fs, filePath, { upload, onError } = {}) {
  return new Promise((resolve) => {
    const [parts, events] = [[], []];
    const finish = () => setTimeout(() => resolve({ data: Buffer.concat(parts), events }), SETTLE_MS);
    const options = { filePath, onData: (part) => parts.push(part), onSuccess: () => events.push('success'),
      onError: async (code) => { events.push(`error ${code}`); await onError?.(); finish(); },
      onClose: () => { events.push('close'); finish(); } };
    if (upload === undefined) return fs.getReader(options).readStart();
    const writer = fs.getWriter(options);
    const completionCallback = () => events.push('wrote');
    if (upload) writer.write({ fileChunk: Buffer.alloc(upload, 1), completionCallback });
    return writer.final(() => events.push('final'));
  });
}

test('replies of the wrong shape fail their operation alone; its kind and the session go on', async () => {
  const s = await session(1);
  const [fs] = s.fs;
  // Rows of the answer wanted, the method and its arguments.
  const ask = async (...rows) => {
    for (const [want, ...call] of rows) assert.deepStrictEqual(await s.call(fs, ...call), want);
  };
  const works = [[[0, FILE_SIZE], 'stat', '/ok/f'], [[0, '/ok/x'], 'realPath', '/ok/x'],
    [[], 'makeDir', '/ok/d', 0]];
  // Statuses are unsigned: the largest is no libssh2 code. What cannot be sent is refused unsent.
  await ask([[PROTOCOL, 0], 'stat', '/unexpected/data'], [[PROTOCOL], 'makeDir', '/unexpected/name', 0],
    [[PROTOCOL, ''], 'realPath', '/unexpected/attrs'], [[PROTOCOL, []], 'listDir', '/unexpected/handle'],
    [[PROTOCOL, 0], 'lstat', '/short'], [[2 ** 32 - 1], 'removeDir', '/status-max'],
    [[2 ** 32 - 1, 0], 'stat', '/status-max'], ...works, [[INVAL], 'removeFile', `/ok/${'x'.repeat(40000)}`],
    [[INVAL], 'rename', '/ok/a\0b', '/ok/c'], ...works);

  // Rows of the callbacks wanted, the path, and the bytes to upload (none: a download).
  const [failed, whole] = [[`error ${PROTOCOL}`], ['success', 'close']];
  for (const [want, path, upload] of [
    // DATA of no bytes or of more than asked fails a download.
    ...['/unexpected/status-ok', '/empty-handle', '/zero-data', '/long-data'].map((path) => [failed, path]),
    [[`error ${INVAL}`], `/ok/${'y'.repeat(40000)}`], [['wrote', ...failed], '/unexpected/handle', 100000],
    // Sizes are hints: a file is read to its end; a server that sends less than asked in mid-file is
    // read on from there.
    ...['/no-size', '/zero-size', '/stat-ok', '/short-reads', '/ok/f'].map((path) => [whole, path]),
    // A refused close: a download has answered already, as has a listing (below); an upload was not kept.
    [whole, '/close-fails'], [['wrote', `error ${FAILURE}`], '/close-fails', 100000],
  ]) {
    const { data, events } = await transfer(fs, path, { upload });
    assert.deepStrictEqual(events, want, path.slice(0, 20));
    if (want === whole) assert.ok(data.equals(content(0, FILE_SIZE)), path);
  }
  await ask([[0, ['a', 'b']], 'listDir', '/close-fails'], ...works);
  assert.deepStrictEqual(await s.exec(), [0, 'ok\n']);
  await s.end();
});

test('a subsystem that ends or stops answering holds up nothing and answers everything once', async () => {
  // The session stays open while it has a file system open.
  const s = await session(5);
  const [midway, atOnce, early, silent, last] = s.fs;
  // Ends in a download: everything outstanding answers, and the file system closes itself alone.
  const pending = s.call(midway, 'realPath', '/silent');
  const { data, events } = await transfer(midway, '/exit-mid');
  assert.deepStrictEqual(events, [`error ${CLOSED}`]);
  assert.ok(data.length > 0 && data.equals(content(0, data.length)));
  assert.deepStrictEqual(await pending, [CLOSED, '']);
  // Closed by itself, it answers every later call with the end, on a later turn; close does nothing.
  let returned = false;
  const later = s.call(midway, 'stat', '/ok/f').then((answer) => [returned, ...answer]);
  returned = true;
  assert.deepStrictEqual(await later, [true, CLOSED, 0]);
  assert.strictEqual(midway.close(assert.fail), undefined);
  // A one-call operation that meets the end.
  assert.deepStrictEqual(await s.call(atOnce, 'stat', '/exit'), [CLOSED, 0]);
  assert.deepStrictEqual(await s.exec(), [0, 'ok\n']);
  assert.deepStrictEqual(await s.call(last, 'stat', '/ok/f'), [0, FILE_SIZE]);

  // Closed right after a transfer's failure, while its handle is still being given back: the failure
  // stays the transfer's one answer.
  const onError = () => new Promise((resolve) => early.close(resolve));
  assert.deepStrictEqual((await transfer(early, '/zero-data', { onError })).events, [`error ${PROTOCOL}`]);

  // fs.close() answers what waits, without waiting for a server that has stopped answering.
  const stat = s.call(silent, 'stat', '/silent');
  const [reader, writer] = [transfer(silent, '/silent'), transfer(silent, '/close-silent', { upload: 0 })];
  await settle();
  assert.deepStrictEqual(await new Promise((resolve) => silent.close((...args) => resolve(args))), []);
  assert.deepStrictEqual([await stat, (await reader).events, (await writer).events],
    [[CLOSED, 0], [`error ${CLOSED}`], [`error ${CLOSED}`]]);

  // So does client.close(). A download read whole whose close is never answered ends with it.
  const unanswered = s.call(last, 'realPath', '/silent');
  const downloaded = transfer(last, '/close-silent');
  await settle();
  await s.end();
  assert.deepStrictEqual(await unanswered, [CLOSED, '']);
  assert.deepStrictEqual((await downloaded).events, ['success', 'close']);
});

test('a reply cut short by the channel\'s end or too long to frame fails its file system alone, and the loop goes on', async () => {
  const stop = watchLoop();
  const s = await session(4);
  const [cut, huge, later, other] = s.fs;
  // Cut inside a reply: what waits answers the end, once; then every later call does, on a later turn.
  const waiting = [s.call(cut, 'realPath', '/silent'), transfer(cut, '/silent')];
  assert.deepStrictEqual(await s.call(cut, 'stat', '/cut'), [CLOSED, 0]);
  assert.deepStrictEqual([await waiting[0], (await waiting[1]).events], [[CLOSED, ''], [`error ${CLOSED}`]]);
  assert.deepStrictEqual(await s.call(cut, 'listDir', '/ok'), [CLOSED, []]);
  assert.deepStrictEqual((await transfer(cut, '/ok/f', { upload: 10 })).events, [`error ${CLOSED}`]);
  // A length of about 2 GiB: the file system fails, not the session.
  const silent = s.call(huge, 'stat', '/silent');
  assert.deepStrictEqual(await s.call(huge, 'stat', '/huge'), [CLOSED, 0]);
  assert.deepStrictEqual([await silent, await s.call(huge, 'stat', '/ok/f')], [[CLOSED, 0], [CLOSED, 0]]);
  // Ended with nothing outstanding: the next call hears of it.
  assert.deepStrictEqual(await s.call(later, 'stat', '/exit-later'), [0, 0]);
  await settle();
  assert.deepStrictEqual(await s.call(later, 'realPath', '/ok/x'), [CLOSED, '']);
  assert.deepStrictEqual([await s.call(other, 'stat', '/ok/f'), await s.exec()], [[0, FILE_SIZE], [0, 'ok\n']]);
  await s.end();
  // After the session's end, calls answer the end too.
  assert.deepStrictEqual(await s.call(other, 'stat', '/ok/f'), [CLOSED, 0]);

  // A VERSION cut short fails the SFTP start alone.
  const v = await session(1, 'cut-version');
  assert.deepStrictEqual([v.codes, await v.exec()], [[PROTOCOL], [0, 'ok\n']]);
  await v.end();
  assert.ok(stop() < 1000, 'the event loop never stopped');
});
