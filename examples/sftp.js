'use strict';
// Move files over SFTP: `node examples/sftp.js`. Starts an OpenSSH server of its own, opens its file
// system, lists a folder, uploads 1 MiB with a FileWriter (one chunk after another, each once the last
// is taken over), downloads it back with a FileReader, compares both ends and reads the remote file's
// attributes. The file system is closed before the session, which then ends by itself.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { SshClient } = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

// Every method answers through a callback: (code, result) as a promise, rejected unless code is 0.
function call(sftp, method, ...args) {
  return new Promise((resolve, reject) => sftp[method](...args, (code, result) => {
    if (code) reject(new Error(`${method} failed with code ${code}`));
    else resolve(result);
  }));
}

function upload(sftp, filePath, data, chunkSize) {
  return new Promise((resolve, reject) => {
    const writer = sftp.getWriter({
      filePath,
      fileMode: 0o640,
      onSuccess: () => console.log('the server has acknowledged every byte'),
      onError: (code) => reject(new Error(`upload failed with code ${code}`)),
      onClose: resolve,
    });
    let offset = 0;
    const writeNext = () => {
      if (offset >= data.length) {
        writer.final(() => console.log(`upload complete: ${data.length} bytes in ${Math.ceil(data.length / chunkSize)} chunks`));
        return;
      }
      const fileChunk = data.subarray(offset, offset + chunkSize);
      offset += chunkSize;
      writer.write({ fileChunk, completionCallback: writeNext });
    };
    writeNext();
  });
}

function download(sftp, filePath) {
  return new Promise((resolve, reject) => {
    const parts = [];
    const reader = sftp.getReader({
      filePath,
      onData: (buffer) => parts.push(buffer),
      onSuccess: () => console.log(`download complete: ${parts.length} parts`),
      onError: (code) => reject(new Error(`download failed with code ${code}`)),
      onClose: () => resolve(Buffer.concat(parts)),
    });
    reader.readStart();
  });
}

runExample('sftp', async (servers) => {
  const server = await servers.sshd();
  console.log(`started an OpenSSH server on ${server.host}:${server.port}`);
  const folder = fs.mkdtempSync(path.join(servers.dir, 'files-'));
  fs.writeFileSync(path.join(folder, 'hello.txt'), 'hello\n');
  const client = new SshClient();
  let ended;
  const sftp = await new Promise((resolve, reject) => {
    ended = new Promise((resolveEnd, rejectEnd) => {
      client.connect({
        host: server.host,
        port: String(server.port),
        username: server.username,
        privateKey: server.privateKey,
        knownhosts: [server.knownhostsLine],
        connectCallback() {
          console.log(`connected as ${server.username}`);
          // The file system keeps the session open until it is closed.
          client.sftp((code, fileSystem) => {
            if (code === 0) resolve(fileSystem);
            else reject(new Error(`the server refused SFTP: code ${code}`));
          });
        },
        disconnectCallback: () => { console.log('the session has ended'); resolveEnd(); },
        errorCallback: (error) => { reject(error); rejectEnd(error); },
      });
    });
  });
  console.log('opened the SFTP file system');

  const entries = await call(sftp, 'listDir', folder);
  console.log(`${folder} holds:`);
  show(entries.map((entry) => `${entry.attrs.isDirectory() ? 'dir ' : 'file'} ${entry.filename}`).sort().join('\n'));

  const data = crypto.randomBytes(1 << 20);
  const remote = path.join(folder, 'random.bin');
  await upload(sftp, remote, data, 64 * 1024);
  const back = await download(sftp, remote);
  console.log(`downloaded ${back.length} bytes; identical to what was uploaded: ${back.equals(data)}`);
  const attrs = await call(sftp, 'stat', remote);
  console.log(`stat: a file: ${attrs.isFile()}, size ${attrs.size}, mode ${(attrs.mode & 0o777).toString(8)}`);

  await new Promise((resolve) => sftp.close(resolve));
  console.log('closed the file system');
  await ended;
});
