'use strict';
// SFTP download and upload of 256 MiB side by side in one run, interleaved rounds, medians: this
// module's FileReader and FileWriter, OpenSSH's sftp in batch mode, and the ssh2 npm client's
// fastGet/fastPut and createReadStream/createWriteStream (socket with setNoDelay(true)). Every
// client reads from and writes to local files in the page cache. All talk to one sshd started here
// from the peers' configuration with its cipher pinned to aes128-gcm@openssh.com.
// With QUELBAR_BEFORE=path/to/quelbar.node an earlier build of this module runs beside them.
// Usage: node bench/sftp.js [rounds]   (as root, with the peers running: tests/peers/peers start)
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { performance } = require('node:perf_hooks');
const { pipeline } = require('node:stream/promises');
const { peers, loadAddon, startSshd, quelbarSftp, ssh2Sftp, median } = require('./support');

const CIPHER = 'aes128-gcm@openssh.com';
const FILE_BYTES = 256 * 1024 * 1024;
const ROUNDS = Number(process.argv[2] || 5);
// What a Node file stream reads at a time for the upload; every client gets the same.
const UPLOAD_CHUNK = 64 * 1024;

// ---- this module ---------------------------------------------------------------------------------

function quelbarGet(sftp, remote, local) {
  return new Promise((resolve, reject) => {
    const fd = fs.openSync(local, 'w');
    const reader = sftp.getReader({
      filePath: remote,
      onData: (buffer) => fs.writeSync(fd, buffer),
      onSuccess() {},
      onError: (code) => reject(new Error(`read: ${code}`)),
      // Also keeps the reader referenced: a collected reader ends its transfer.
      onClose: () => { fs.closeSync(fd); resolve(reader); },
    });
    reader.readStart();
  });
}

async function quelbarPut(sftp, local, remote) {
  let finished;
  let failed;
  const done = new Promise((resolve, reject) => { finished = resolve; failed = reject; });
  const writer = sftp.getWriter({
    filePath: remote, fileMode: 0o644,
    onSuccess() {}, onError: (code) => failed(new Error(`write: ${code}`)),
    onClose: () => finished(writer),
  });
  for await (const chunk of fs.createReadStream(local, { highWaterMark: UPLOAD_CHUNK })) {
    await new Promise((resolve) => writer.write({ fileChunk: chunk, completionCallback: resolve }));
  }
  writer.final(() => {});
  await done;
}

// ---- ssh2 ----------------------------------------------------------------------------------------

const ssh2Fast = (method) => (sftp, from, to) =>
  new Promise((resolve, reject) => sftp[method](from, to, (error) => (error ? reject(error) : resolve())));

// ---- OpenSSH's sftp ------------------------------------------------------------------------------

function opensshBatch(port, dir, command) {
  const batch = path.join(dir, 'batch');
  fs.writeFileSync(batch, `${command}\n`);
  const done = spawnSync('sftp', ['-F', '/dev/null', '-o', 'BatchMode=yes',
    '-o', 'StrictHostKeyChecking=no', '-o', 'UserKnownHostsFile=/dev/null', '-o', 'LogLevel=ERROR',
    '-c', CIPHER, '-i', peers.clientKeys.ed25519, '-P', String(port), '-b', batch,
    `${peers.user}@${peers.host}`], { stdio: ['ignore', 'ignore', 'inherit'] });
  if (done.status !== 0) throw new Error(`sftp ${command}: status ${done.status}`);
}

// ---- the run -------------------------------------------------------------------------------------

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-bench-sftp-'));
  fs.chmodSync(dir, 0o755);
  const source = path.join(dir, 'source');
  fs.writeFileSync(source, crypto.randomBytes(FILE_BYTES), { mode: 0o644 });
  const expected = crypto.createHash('sha256').update(fs.readFileSync(source)).digest('hex');
  execFileSync('chown', ['-R', peers.user, dir]);
  const sshd = await startSshd(dir, CIPHER);
  const ours = await quelbarSftp(loadAddon(), sshd.port);
  const before = process.env.QUELBAR_BEFORE &&
    await quelbarSftp(loadAddon(path.resolve(process.env.QUELBAR_BEFORE)), sshd.port);
  const ssh2 = await ssh2Sftp(sshd.port, CIPHER);
  const local = path.join(dir, 'local');
  const remote = path.join(dir, 'remote');
  const clients = [
    ['libquelbar FileReader / FileWriter',
      () => quelbarGet(ours.sftp, source, local), () => quelbarPut(ours.sftp, source, remote)],
    ...(before ? [['libquelbar, the build before',
      () => quelbarGet(before.sftp, source, local), () => quelbarPut(before.sftp, source, remote)]] : []),
    ['OpenSSH sftp -b (get / put)',
      async () => opensshBatch(sshd.port, dir, `get ${source} ${local}`),
      async () => opensshBatch(sshd.port, dir, `put ${source} ${remote}`)],
    ['ssh2 fastGet / fastPut',
      () => ssh2Fast('fastGet')(ssh2.sftp, source, local),
      () => ssh2Fast('fastPut')(ssh2.sftp, source, remote)],
    ['ssh2 createReadStream / createWriteStream',
      () => pipeline(ssh2.sftp.createReadStream(source), fs.createWriteStream(local)),
      () => pipeline(fs.createReadStream(source, { highWaterMark: UPLOAD_CHUNK }),
        ssh2.sftp.createWriteStream(remote))],
  ];
  const times = clients.map(() => ({ down: [], up: [] }));
  const check = (file, what) => {
    const sum = crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
    if (sum !== expected) throw new Error(`${what}: the copy differs`);
    fs.rmSync(file);
  };
  try {
    for (let round = 0; round < ROUNDS; round++) {
      // Each round starts with the next client, so that none always runs in the same place.
      for (let turn = 0; turn < clients.length; turn++) {
        const i = (round + turn) % clients.length;
        const [name, get, put] = clients[i];
        let start = performance.now();
        await get();
        times[i].down.push(performance.now() - start);
        check(local, `${name} download`);
        start = performance.now();
        await put();
        times[i].up.push(performance.now() - start);
        check(remote, `${name} upload`);
      }
    }
  } finally {
    ours.client.close();
    if (before) before.client.close();
    ssh2.client.end();
    sshd.stop();
  }
  console.log(`SFTP, 256 MiB, sshd on ${peers.host}:${sshd.port} with Ciphers ${CIPHER}; ` +
              `median of ${ROUNDS} interleaved rounds`);
  for (const direction of ['down', 'up']) {
    console.log(direction === 'down' ? 'download' : 'upload');
    const ourRate = FILE_BYTES / 1e6 / (median(times[0][direction]) / 1000);
    clients.forEach(([name], i) => {
      const rate = FILE_BYTES / 1e6 / (median(times[i][direction]) / 1000);
      console.log(`  ${name.padEnd(44)} ${rate.toFixed(0).padStart(6)} MB/s   ` +
                  `libquelbar's speed ${(ourRate / rate).toFixed(2)}x this one`);
    });
  }
  fs.rmSync(dir, { recursive: true, force: true });
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
