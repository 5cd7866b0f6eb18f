'use strict';
// SFTP against a scripted server (tests/peers/sftp-script-server.js) that sends what no real server
// sends: replies of the wrong type or length, sizes that are missing or wrong, short reads, refused
// closes, a subsystem that ends in the middle, a server that stops answering. Every operation answers
// exactly once, the file system and the session go on where they can, and nothing waits past its case.
const test = require('node:test');
const assert = require('node:assert');
const { SshClient } = require('../..');
const { startSftpScriptServer, FILE_SIZE, content } = require('../peers/sftp-script-server');
const { SETTLE_MS } = require('./support/ssh_session');

const SFTP_PROTOCOL = -31;  // the reply could not be read: no status of the server's
const CHANNEL_CLOSED = -26;
const INVAL = -34;
const FAILURE = 4;

let server;
test.before(async () => { server = await startSftpScriptServer(); });
test.after(() => server.close());

function connect() {
  const client = new SshClient();
  let end;
  const ended = new Promise((resolve) => { end = resolve; });
  return new Promise((resolve, reject) => {
    client.connect({
      host: '127.0.0.1',
      port: String(server.port),
      username: 'anyone',
      password: 'anything',
      knownhostsCallback: (result, fingerprint, key, type, done) => done(true),
      connectCallback: () => resolve({ client, ended }),
      disconnectCallback: () => end('disconnected'),
      errorCallback: (error) => { end(error); reject(error); },
    });
  });
}
function openFs(client) {
  return new Promise((resolve) => client.sftp((code, sftp) => resolve(sftp)));
}

// Calls method(...args, callback); resolves with the first call's arguments, and records every call
// in calls (so that a second answer shows).
function call(calls, sftp, method, ...args) {
  return new Promise((resolve) => sftp[method](...args, (...results) => {
    calls.push(method);
    resolve(results);
  }));
}
function exec(client) {
  return new Promise((resolve, reject) => client.exec(Buffer.from('true'),
    (status, output) => resolve([status, output.toString()]), reject));
}

// Starts a reader; resolves once it has given its final word (and a while after, so that a second
// one would show) with what it delivered and every callback.
function download(sftp, filePath, { onStart = () => {} } = {}) {
  return new Promise((resolve) => {
    const parts = [];
    const events = [];
    const finish = () => setTimeout(() => resolve({ data: Buffer.concat(parts), events }), SETTLE_MS);
    const reader = sftp.getReader({
      filePath,
      onData: (buffer) => parts.push(buffer),
      onSuccess: () => events.push('success'),
      onError: (code) => { events.push(`error ${code}`); finish(); },
      onClose: () => { events.push('close'); finish(); },
    });
    reader.readStart();
    onStart(reader);
  });
}
function upload(sftp, filePath) {
  return new Promise((resolve) => {
    const events = [];
    const finish = () => setTimeout(() => resolve(events), SETTLE_MS);
    const writer = sftp.getWriter({
      filePath,
      onSuccess: () => events.push('success'),
      onError: (code) => { events.push(`error ${code}`); finish(); },
      onClose: () => { events.push('close'); finish(); },
    });
    writer.write({ fileChunk: Buffer.alloc(100000, 1), completionCallback: () => events.push('written') });
    writer.final(() => events.push('final'));
  });
}

test('replies of the wrong shape fail their operation alone; its kind and the session go on', async () => {
  const { client, ended } = await connect();
  const sftp = await openFs(client);
  const calls = [];
  const stillWorks = async () => {
    const [code, attrs] = await call(calls, sftp, 'stat', '/ok/file');
    assert.deepStrictEqual([code, attrs.size], [0, FILE_SIZE]);
    assert.deepStrictEqual(await call(calls, sftp, 'realPath', '/ok/x'), [0, '/ok/x']);
    assert.deepStrictEqual(await call(calls, sftp, 'makeDir', '/ok/dir', 0o755), []);
  };

  const [statCode, zero] = await call(calls, sftp, 'stat', '/unexpected/data');
  assert.deepStrictEqual([statCode, zero.size], [SFTP_PROTOCOL, 0]);
  assert.deepStrictEqual(await call(calls, sftp, 'makeDir', '/unexpected/name', 0o755), [SFTP_PROTOCOL]);
  assert.deepStrictEqual(await call(calls, sftp, 'realPath', '/unexpected/attrs'), [SFTP_PROTOCOL, '']);
  assert.deepStrictEqual(await call(calls, sftp, 'listDir', '/unexpected/handle'), [SFTP_PROTOCOL, []]);
  assert.strictEqual((await call(calls, sftp, 'lstat', '/short'))[0], SFTP_PROTOCOL);
  // Statuses are unsigned: the largest is no libssh2 code.
  assert.deepStrictEqual(await call(calls, sftp, 'removeDir', '/status-max'), [0xFFFFFFFF]);
  assert.strictEqual((await call(calls, sftp, 'stat', '/status-max'))[0], 0xFFFFFFFF);
  await stillWorks();
  assert.deepStrictEqual((await download(sftp, '/unexpected/status-ok')).events, [`error ${SFTP_PROTOCOL}`]);
  assert.deepStrictEqual((await download(sftp, '/empty-handle')).events, [`error ${SFTP_PROTOCOL}`]);
  assert.deepStrictEqual(await upload(sftp, '/unexpected/handle'), ['written', `error ${SFTP_PROTOCOL}`]);
  // What cannot be sent is refused before anything is sent.
  assert.deepStrictEqual(await call(calls, sftp, 'removeFile', `/ok/${'x'.repeat(40000)}`), [INVAL]);
  assert.deepStrictEqual(await call(calls, sftp, 'rename', '/ok/a\0b', '/ok/c'), [INVAL]);
  assert.deepStrictEqual((await download(sftp, `/ok/${'y'.repeat(40000)}`)).events, [`error ${INVAL}`]);
  await stillWorks();

  // Sizes are hints: a file is read to its end; a server that sends less than asked in mid-file is
  // read on from there; DATA of no bytes or of more than asked fails the download.
  for (const file of ['/no-size', '/zero-size', '/stat-ok', '/short-reads', '/ok/file']) {
    const { data, events } = await download(sftp, file);
    assert.deepStrictEqual(events, ['success', 'close'], file);
    assert.ok(data.equals(content(0, FILE_SIZE)), file);
  }
  assert.deepStrictEqual((await download(sftp, '/zero-data')).events, [`error ${SFTP_PROTOCOL}`]);
  assert.deepStrictEqual((await download(sftp, '/long-data')).events, [`error ${SFTP_PROTOCOL}`]);

  // A refused close: a download and a listing have answered already; an upload was not kept.
  assert.deepStrictEqual((await download(sftp, '/close-fails')).events, ['success', 'close']);
  assert.strictEqual((await call(calls, sftp, 'listDir', '/close-fails'))[1].length, 2);
  assert.deepStrictEqual(await upload(sftp, '/close-fails'), ['written', `error ${FAILURE}`]);
  await stillWorks();
  assert.deepStrictEqual(await exec(client), [0, 'ok\n']);

  await new Promise((resolve) => setTimeout(resolve, SETTLE_MS));
  assert.strictEqual(calls.length, 19, 'one answer per operation');
  client.close();
  assert.strictEqual(await ended, 'disconnected');
});

test('a subsystem that ends answers everything outstanding once and closes its file system alone', async () => {
  const { client, ended } = await connect();
  // The session stays open while it has a file system open.
  const [sftp, second, third] = [await openFs(client), await openFs(client), await openFs(client)];
  const calls = [];
  const silent = call(calls, sftp, 'realPath', '/silent');
  const { data, events } = await download(sftp, '/exit-mid');
  assert.deepStrictEqual(events, [`error ${CHANNEL_CLOSED}`]);
  assert.ok(data.length > 0 && data.equals(content(0, data.length)));
  assert.deepStrictEqual((await silent)[0], CHANNEL_CLOSED);
  // Closed by its end: its methods do nothing any more.
  assert.strictEqual(sftp.stat('/ok/file', () => assert.fail()), undefined);
  assert.strictEqual(sftp.close(() => assert.fail()), undefined);

  // A one-call operation that meets the end, on a second file system of the session.
  assert.deepStrictEqual((await call(calls, second, 'stat', '/exit'))[0], CHANNEL_CLOSED);
  assert.deepStrictEqual(await exec(client), [0, 'ok\n']);
  assert.strictEqual((await call(calls, third, 'stat', '/ok/file'))[0], 0);
  await new Promise((resolve) => setTimeout(resolve, SETTLE_MS));
  assert.strictEqual(calls.length, 3);
  client.close();
  assert.strictEqual(await ended, 'disconnected');
});

test('a server that stops answering holds up neither fs.close() nor client.close()', async () => {
  const { client, ended } = await connect();
  const [sftp, second, early] = [await openFs(client), await openFs(client), await openFs(client)];
  const calls = [];
  // Closed right after a transfer's failure, while its handle is still being given back: the
  // failure stays the transfer's one answer.
  const afterFailure = await new Promise((resolve) => {
    const events = [];
    early.getReader({ filePath: '/zero-data', onSuccess: () => events.push('success'),
      onError: (code) => {
        events.push(`error ${code}`);
        early.close(() => setTimeout(() => resolve([...events, 'closed']), SETTLE_MS));
      },
      onClose: () => events.push('close') }).readStart();
  });
  assert.deepStrictEqual(afterFailure, [`error ${SFTP_PROTOCOL}`, 'closed']);
  const stat = call(calls, sftp, 'stat', '/silent');
  const reader = download(sftp, '/silent');
  const upload = new Promise((resolve) => {
    const writer = sftp.getWriter({ filePath: '/close-silent', onSuccess: () => calls.push('writer success'),
      onError: (code) => resolve(code), onClose: () => resolve('close') });
    writer.final(() => calls.push('final'));
  });
  await new Promise((resolve) => setTimeout(resolve, SETTLE_MS));
  const closed = await new Promise((resolve) => sftp.close((...args) => resolve(args)));
  assert.deepStrictEqual(closed, []);
  assert.deepStrictEqual([(await stat)[0], (await reader).events, await upload],
    [CHANNEL_CLOSED, [`error ${CHANNEL_CLOSED}`], CHANNEL_CLOSED]);

  const pending = call(calls, second, 'realPath', '/silent');
  const downloaded = download(second, '/close-silent');
  await new Promise((resolve) => setTimeout(resolve, SETTLE_MS));
  client.close();
  assert.strictEqual(await ended, 'disconnected');
  assert.deepStrictEqual(await pending, [CHANNEL_CLOSED, '']);
  // Read whole, its close never answered: the close of the client ends it.
  assert.deepStrictEqual((await downloaded).events, ['success', 'close']);
  assert.deepStrictEqual(calls, ['stat', 'realPath']);
});
