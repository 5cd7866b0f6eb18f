'use strict';
// Every measure of throughput, memory and latency side by side in one run, printed as one table:
// this module ("ours"; with QUELBAR_BEFORE=path/to/quelbar.node also an earlier build of it), the ssh2
// npm client on a socket with setNoDelay(true), and OpenSSH's client over a ControlMaster connection
// where the measure names it. Each measure runs in interleaved rounds (every client once per round, in
// turn) and reports the median of its rounds. The SFTP small operations are issued all in one tick on one
// file system and timed until the last answer, every answer checked. Two sshds of our own, started from the peers'
// configuration, pin the cipher: aes128-gcm@openssh.com and chacha20-poly1305@openssh.com.
// Usage: npm run bench [-- ROUNDS]   (as root, with the peers running: tests/peers/peers start)
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { performance } = require('node:perf_hooks');
const {
  peers, loadAddon, startSshd, quelbarConnect, quelbarExec, quelbarSftp, ssh2Connect, ssh2Exec, ssh2Sftp,
  median,
} = require('./support');

const ROUNDS = Number(process.argv[2] || 5);
const CIPHERS = ['aes128-gcm@openssh.com', 'chacha20-poly1305@openssh.com'];
const CAT_BYTES = 256 * 1024 * 1024;
const SHELL_BYTES = 64 * 1024 * 1024;
const IDLE_SESSIONS = 200;
const CONNECTS_PER_ROUND = 5;
const ROUND_TRIPS_PER_ROUND = 100;
const SMALL_FILES = 200;
const SMALL_FILE_BYTES = 4096;
// A batch still unanswered after this long is given up: its round counts as this long (a lower bound) and
// the client's later rounds of that measure are skipped, so that a build whose cost grows with the square
// of the count cannot hold the run for many minutes.
const BATCH_LIMIT_MS = 60000;

const ours = { name: 'ours', file: process.env.QUELBAR_ADDON || path.join(__dirname, '..') };
const before = process.env.QUELBAR_BEFORE && { name: 'before', file: path.resolve(process.env.QUELBAR_BEFORE) };
const builds = [ours, before].filter(Boolean);
for (const build of builds) build.addon = loadAddon(build.file);

const seconds = (start) => (performance.now() - start) / 1000;
const megabytesPerSecond = (bytes, elapsed) => bytes / 1e6 / elapsed;

// ---- OpenSSH over a ControlMaster connection -----------------------------------------------------

function opensshMaster(sshd, dir) {
  const options = ['-F', '/dev/null', '-o', 'BatchMode=yes', '-o', 'StrictHostKeyChecking=no',
                   '-o', 'UserKnownHostsFile=/dev/null', '-o', 'LogLevel=ERROR', '-c', sshd.cipher,
                   '-i', peers.clientKeys.ed25519, '-p', String(sshd.port),
                   '-S', path.join(dir, `control-${sshd.port}`)];
  const target = `${peers.user}@${peers.host}`;
  if (spawnSync('ssh', [...options, '-M', '-f', '-N', target], { stdio: 'inherit' }).status !== 0) {
    throw new Error('ssh -M did not start');
  }
  return {
    // The output goes to /dev/null here, on this side.
    run(command) {
      const done = spawnSync('ssh', [...options, target, command], { stdio: ['ignore', 'ignore', 'inherit'] });
      if (done.status !== 0) throw new Error(`ssh ${command}: status ${done.status}`);
    },
    stop: () => spawnSync('ssh', [...options, '-O', 'exit', target], { stdio: 'ignore' }),
  };
}

// ---- the measures, one round of one client each ---------------------------------------------------

async function catOurs(addon, sshd, file) {
  const client = await quelbarConnect(addon, sshd.port);
  const start = performance.now();
  const output = await quelbarExec(client, `cat ${file}`);
  const elapsed = seconds(start);
  client.close();
  if (output.length !== CAT_BYTES) throw new Error(`cat gave ${output.length} bytes`);
  return megabytesPerSecond(CAT_BYTES, elapsed);
}

async function catSsh2(sshd, file) {
  const client = await ssh2Connect(sshd.port, sshd.cipher);
  const start = performance.now();
  const output = await ssh2Exec(client, `cat ${file}`);
  const elapsed = seconds(start);
  client.end();
  if (output.length !== CAT_BYTES) throw new Error(`cat gave ${output.length} bytes`);
  return megabytesPerSecond(CAT_BYTES, elapsed);
}

function catOpenssh(master, file) {
  const start = performance.now();
  master.run(`cat ${file}`);
  return Promise.resolve(megabytesPerSecond(CAT_BYTES, seconds(start)));
}

// A raw terminal that reads SHELL_BYTES and says when it has; the time runs from the one write of the
// data to that word. The quotes keep the echoed command line from matching.
const SHELL_COMMAND = `stty raw -echo -iexten; echo RE""ADY; head -c ${SHELL_BYTES} >/dev/null; echo DO""NE; exit\n`;

function timeShellInput(open) {
  return new Promise((resolve, reject) => {
    const data = crypto.randomBytes(SHELL_BYTES);
    let text = '';
    let start = 0;
    open((chunk, send) => {
      text += chunk.toString('latin1');
      if (!start && text.includes('READY')) {
        start = performance.now();
        send(data);
      } else if (start && text.includes('DONE')) {
        resolve(megabytesPerSecond(SHELL_BYTES, seconds(start)));
        text = '';
      }
    }, reject);
  });
}

async function shellOurs(addon, sshd) {
  const client = await quelbarConnect(addon, sshd.port);
  const rate = await timeShellInput((onData) => {
    let terminal;
    client.shell(undefined, (term) => {
      terminal = term;
      term.sendData(Buffer.from(SHELL_COMMAND));
    }, (chunk) => onData(chunk, (data) => terminal.sendData(data)), () => {});
  });
  client.close();
  return rate;
}

async function shellSsh2(sshd) {
  const client = await ssh2Connect(sshd.port, sshd.cipher);
  const rate = await timeShellInput((onData, onError) => {
    client.shell({ term: 'xterm' }, (error, stream) => {
      if (error) return onError(error);
      stream.on('data', (chunk) => onData(chunk, (data) => stream.write(data)));
      stream.write(SHELL_COMMAND);
    });
  });
  client.end();
  return rate;
}

function idleMemory(kind, sshd, addonFile) {
  return new Promise((resolve, reject) => {
    const args = ['--expose-gc', path.join(__dirname, 'idle_sessions.js'), kind, String(sshd.port),
                  sshd.cipher, String(IDLE_SESSIONS)];
    if (addonFile) args.push(addonFile);
    const child = spawn(process.execPath, args, { stdio: ['ignore', 'pipe', 'inherit'] });
    let text = '';
    child.stdout.on('data', (chunk) => { text += chunk; });
    child.on('exit', (status) => (status === 0 ? resolve(Number(text))
      : reject(new Error(`idle sessions of ${kind}: status ${status}`))));
  });
}

async function connectTime(connect, close) {
  const times = [];
  for (let i = 0; i < CONNECTS_PER_ROUND; i++) {
    const start = performance.now();
    const client = await connect();
    times.push(performance.now() - start);
    close(client);
  }
  return median(times);
}

// Milliseconds per round trip of `true`, and this process's CPU time per round trip beside it.
async function roundTrip(exec) {
  for (let i = 0; i < 5; i++) await exec('true');
  const cpu = process.cpuUsage();
  const start = performance.now();
  for (let i = 0; i < ROUND_TRIPS_PER_ROUND; i++) await exec('true');
  const elapsed = performance.now() - start;
  const used = process.cpuUsage(cpu);
  return { ms: elapsed / ROUND_TRIPS_PER_ROUND, cpuMs: (used.user + used.system) / 1000 / ROUND_TRIPS_PER_ROUND };
}

// ---- SFTP small operations -----------------------------------------------------------------------

// `count` operations issued in one tick on a file system of a fresh session of `client`, timed until
// the last one has answered. issue(sftp, i, answer) starts operation i, which calls answer(error) once,
// with null when its result was checked and right. Resolves with { ms, limited }.
async function batch(client, count, issue) {
  const session = await client.open();
  const result = await new Promise((resolve, reject) => {
    let waiting = count;
    let failure = null;
    const start = performance.now();
    const limit = setTimeout(() => resolve({ ms: BATCH_LIMIT_MS, limited: true }), BATCH_LIMIT_MS);
    const answer = (error) => {
      failure ||= error;
      if (--waiting > 0) return;
      clearTimeout(limit);
      if (failure) reject(failure);
      else resolve({ ms: performance.now() - start, limited: false });
    };
    for (let i = 0; i < count; i++) issue(session.sftp, i, answer);
  });
  client.close(session);
  return result;
}

// Each client's operations in the form measured, every answer checked.
const ourSmallOperations = (addon, port) => ({
  open: () => quelbarSftp(addon, port),
  close: ({ client }) => client.close(),
  stat: (files) => (sftp, i, answer) => sftp.stat(files[i % files.length].path, (code, attrs) =>
    answer(code === 0 && attrs.size === SMALL_FILE_BYTES ? null : new Error(`stat: ${code}, size ${attrs.size}`))),
  download: (files) => (sftp, i, answer) => {
    const parts = [];
    sftp.getReader({
      filePath: files[i].path,
      onData: (buffer) => parts.push(buffer),
      onSuccess() {},
      onError: (code) => answer(new Error(`download: ${code}`)),
      onClose: () => answer(Buffer.concat(parts).equals(files[i].content) ? null : new Error('download: the copy differs')),
    }).readStart();
  },
});

const ssh2SmallOperations = (port, cipher) => ({
  open: () => ssh2Sftp(port, cipher),
  close: ({ client }) => client.end(),
  stat: (files) => (sftp, i, answer) => sftp.stat(files[i % files.length].path, (error, stats) =>
    answer(error || (stats.size === SMALL_FILE_BYTES ? null : new Error(`stat: size ${stats.size}`)))),
  download: (files) => (sftp, i, answer) => sftp.readFile(files[i].path, (error, content) =>
    answer(error || (content.equals(files[i].content) ? null : new Error('download: the copy differs')))),
});

// One client's batches of `count`, a round each; once a batch has reached the limit, the later rounds
// repeat its result without running.
function batches(client, count, issue) {
  let limited = null;
  return async () => {
    if (limited) return limited;
    const result = await batch(client, count, issue);
    if (result.limited) limited = result;
    return result;
  };
}

// SMALL_FILES files of SMALL_FILE_BYTES random bytes each, in a folder that the test account owns.
function makeSmallFiles(dir) {
  fs.mkdirSync(dir, { mode: 0o755 });
  const files = Array.from({ length: SMALL_FILES }, (_, i) => {
    const file = { path: path.join(dir, `f${i}`), content: crypto.randomBytes(SMALL_FILE_BYTES) };
    fs.writeFileSync(file.path, file.content, { mode: 0o644 });
    return file;
  });
  if (spawnSync('chown', ['-R', peers.user, dir]).status !== 0) throw new Error(`chown ${dir} failed`);
  return files;
}

// ---- the run -------------------------------------------------------------------------------------

// Runs every client's measure once per round, the order turning each round; returns the medians.
async function interleave(measures) {
  const samples = Object.fromEntries(Object.keys(measures).map((name) => [name, []]));
  const names = Object.keys(measures);
  for (let round = 0; round < ROUNDS; round++) {
    for (let i = 0; i < names.length; i++) {
      const name = names[(i + round) % names.length];
      samples[name].push(await measures[name]());
    }
  }
  return samples;
}

const medians = (samples, pick = (x) => x) =>
  Object.fromEntries(Object.entries(samples).map(([name, values]) => [name, median(values.map(pick))]));

function forEachBuild(make) {
  return Object.fromEntries(builds.map((build) => [build.name, () => make(build)]));
}

function printTable(rows) {
  const columns = ['ours', ...(before ? ['before'] : []), 'ssh2', 'OpenSSH'];
  const decimals = { ms: 2, x: 1 };
  const format = (value, unit) => (value === undefined ? '-' : `${value.toFixed(decimals[unit] ?? 0)} ${unit}`);
  const ratio = (a, b) => (a === undefined || b === undefined ? '-' : (a / b).toFixed(2));
  const header = ['measure', ...columns, 'ours/ssh2', 'ours/OpenSSH', ...(before ? ['ours/before'] : [])];
  const lines = rows.map(({ measure, unit, values, note }) => [
    measure, ...columns.map((column) => format(values[column], unit)),
    ratio(values.ours, values.ssh2), ratio(values.ours, values.OpenSSH),
    ...(before ? [ratio(values.ours, values.before)] : []),
  ].concat(note ? [note] : []));
  console.log(`| ${header.join(' | ')} |`);
  console.log(`|${header.map(() => '---').join('|')}|`);
  for (const line of lines) console.log(`| ${line.join(' | ')} |`);
}

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-bench-'));
  fs.chmodSync(dir, 0o755);
  const file = path.join(dir, 'data');
  fs.writeFileSync(file, crypto.randomBytes(CAT_BYTES), { mode: 0o644 });
  const sshds = [];
  const masters = [];
  const rows = [];
  try {
    for (const cipher of CIPHERS) sshds.push(await startSshd(dir, cipher));
    for (const sshd of sshds) {
      const master = opensshMaster(sshd, dir);
      masters.push(master);
      const cipher = sshd.cipher.replace(/@.*/, '');
      const cats = await interleave({
        ...forEachBuild((build) => catOurs(build.addon, sshd, file)),
        ssh2: () => catSsh2(sshd, file),
        OpenSSH: () => catOpenssh(master, file),
      });
      rows.push({ measure: `exec \`cat\` 256 MiB, ${cipher}`, unit: 'MB/s', values: medians(cats) });
      const shells = await interleave({
        ...forEachBuild((build) => shellOurs(build.addon, sshd)),
        ssh2: () => shellSsh2(sshd),
      });
      rows.push({ measure: `shell input 64 MiB in one write, ${cipher}`, unit: 'MB/s', values: medians(shells) });
    }

    const [gcm] = sshds;
    const memory = await interleave({
      ...forEachBuild((build) => idleMemory('ours', gcm, build.file)),
      ssh2: () => idleMemory('ssh2', gcm),
    });
    rows.push({ measure: `memory per idle session (${IDLE_SESSIONS} in one process)`, unit: 'KiB', values: medians(memory) });

    const connects = await interleave({
      ...forEachBuild((build) => connectTime(() => quelbarConnect(build.addon, gcm.port), (c) => c.close())),
      ssh2: () => connectTime(() => ssh2Connect(gcm.port, gcm.cipher), (c) => c.end()),
    });
    rows.push({ measure: 'connect + authenticate', unit: 'ms', values: medians(connects) });

    // A session of this module closes itself once its last request has ended: each round has its own.
    const trips = await interleave({
      ...forEachBuild(async (build) => {
        const client = await quelbarConnect(build.addon, gcm.port);
        const result = await roundTrip((command) => quelbarExec(client, command));
        client.close();
        return result;
      }),
      ssh2: async () => {
        const client = await ssh2Connect(gcm.port, gcm.cipher);
        const result = await roundTrip((command) => ssh2Exec(client, command));
        client.end();
        return result;
      },
    });
    rows.push({ measure: 'exec `true` round trip', unit: 'ms', values: medians(trips, (t) => t.ms) });
    rows.push({ measure: '  CPU of this process per round trip', unit: 'ms', values: medians(trips, (t) => t.cpuMs) });

    const files = makeSmallFiles(path.join(dir, 'small'));
    const smallClients = {
      ...Object.fromEntries(builds.map((build) => [build.name, ourSmallOperations(build.addon, gcm.port)])),
      ssh2: ssh2SmallOperations(gcm.port, gcm.cipher),
    };
    const smallRow = async (measure, count, operation) => {
      const samples = await interleave(Object.fromEntries(Object.entries(smallClients).map(([name, client]) =>
        [name, batches(client, count, client[operation](files))])));
      const limited = Object.keys(samples).filter((name) => samples[name].some((result) => result.limited));
      const note = limited.length ? `${limited.join(', ')}: stopped at ${BATCH_LIMIT_MS / 1000} s, a lower bound` : undefined;
      const values = medians(samples, (result) => result.ms);
      rows.push({ measure, unit: 'ms', values, note });
      return { values, note };
    };
    await smallRow('SFTP 3,000 stats at once', 3000, 'stat');
    await smallRow(`SFTP ${SMALL_FILES} downloads of 4 KiB files at once`, SMALL_FILES, 'download');
    const thousand = await smallRow('SFTP 1,000 stats at once', 1000, 'stat');
    const tenThousand = await smallRow('SFTP 10,000 stats at once', 10000, 'stat');
    rows.push({
      measure: '  growth: 10,000 stats / 1,000 stats', unit: 'x', note: tenThousand.note,
      values: Object.fromEntries(Object.keys(smallClients).map((name) =>
        [name, tenThousand.values[name] / thousand.values[name]])),
    });

    console.log(`one run, ${ROUNDS} interleaved rounds, medians; sshd ${spawnSync('ssh', ['-V'], { encoding: 'utf8' }).stderr.trim()} ` +
                `on ${peers.host}; ssh2 with setNoDelay(true); OpenSSH: ssh over a ControlMaster connection`);
    printTable(rows);
  } finally {
    for (const master of masters) master.stop();
    for (const sshd of sshds) sshd.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
})().catch((error) => {
  console.error(error.stack);
  process.exit(1);
});
