'use strict';
// Key generation time per key type and size: in-process (generateSshKey, which blocks the script thread
// for that long) against ssh-keygen on the same machine, one run each. ssh-keygen's time includes its
// process start, shown on its own line for reference.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const quelbar = require(process.env.QUELBAR_ADDON || path.join(__dirname, '..'));

const cases = [
  { label: 'RSA 2048', options: { type: 'rsa', bits: 2048 }, keygen: ['-t', 'rsa', '-b', '2048'] },
  { label: 'RSA 3072', options: { type: 'rsa', bits: 3072 }, keygen: ['-t', 'rsa', '-b', '3072'] },
  { label: 'RSA 4096', options: { type: 'rsa', bits: 4096 }, keygen: ['-t', 'rsa', '-b', '4096'] },
  { label: 'DSA 1024', options: { type: 'dsa' }, keygen: ['-t', 'dsa'] },
  { label: 'ECDSA P-256', options: { type: 'ec', curve: 'nistp256' }, keygen: ['-t', 'ecdsa', '-b', '256'] },
  { label: 'ECDSA P-384', options: { type: 'ec', curve: 'nistp384' }, keygen: ['-t', 'ecdsa', '-b', '384'] },
  { label: 'ECDSA P-521', options: { type: 'ec', curve: 'nistp521' }, keygen: ['-t', 'ecdsa', '-b', '521'] },
  { label: 'Ed25519', options: { type: 'ed' }, keygen: ['-t', 'ed25519'] },
  {
    label: 'Ed25519, aes256, 16 rounds',
    options: { type: 'ed', encoding: 'aes256', password: 'benchmark', rounds: 16 },
    keygen: ['-t', 'ed25519', '-a', '16'],
    passphrase: 'benchmark',
  },
];

function milliseconds(start) {
  return Number(process.hrtime.bigint() - start) / 1e6;
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-bench-keygen-'));
try {
  const file = path.join(scratch, 'id');
  const sshKeygen = (args) => {
    fs.rmSync(file, { force: true });
    fs.rmSync(`${file}.pub`, { force: true });
    const start = process.hrtime.bigint();
    const result = spawnSync('ssh-keygen', ['-q', ...args, '-f', file], { stdio: 'ignore' });
    if (result.status !== 0) throw new Error(`ssh-keygen ${args.join(' ')} failed`);
    return milliseconds(start);
  };

  console.log(`${'key'.padEnd(28)} ${'in-process ms'.padStart(14)} ${'ssh-keygen ms'.padStart(14)} ${'ratio'.padStart(7)}`);
  for (const c of cases) {
    const start = process.hrtime.bigint();
    const pair = quelbar.generateSshKey(c.options);
    const ours = milliseconds(start);
    if (!pair) throw new Error(`generateSshKey failed for ${c.label}`);
    const theirs = sshKeygen([...c.keygen, '-N', c.passphrase || '']);
    console.log(`${c.label.padEnd(28)} ${ours.toFixed(1).padStart(14)} ${theirs.toFixed(1).padStart(14)} ` +
                `${(ours / theirs).toFixed(2).padStart(7)}`);
  }
  const start = process.hrtime.bigint();
  spawnSync('ssh-keygen', ['-l', '-f', `${file}.pub`], { stdio: 'ignore' });
  console.log(`ssh-keygen process start alone (ssh-keygen -l): ${milliseconds(start).toFixed(1)} ms`);
} finally {
  fs.rmSync(scratch, { recursive: true, force: true });
}
