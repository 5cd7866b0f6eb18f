'use strict';
// Agent forwarding: 1,000 identity lists and 1,000 Ed25519 signatures requested one after another on
// one agent connection by a client on the server side, served by this module's forwarded agent and by
// OpenSSH's ssh-agent forwarded with `ssh -A`. The client times itself; rounds interleave.
// Usage: node bench/agent.js [rounds]   (needs the peers: tests/peers/peers start)
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync, spawn } = require('child_process');
const { SshAgentStorage, SshClient } = require('..');
const peers = require('../tests/js/support/peers').load();

const ROUNDS = Number(process.argv[2] || 5);
const REQUESTS = 1000;
const keyFile = peers.clientKeys.ed25519;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-agent-bench-'));
fs.chmodSync(dir, 0o755);
const client = path.join(dir, 'client.py');
fs.writeFileSync(client, `
import os, socket, struct, time
s = socket.socket(socket.AF_UNIX); s.connect(os.environ['SSH_AUTH_SOCK'])
def ask(body):
    s.sendall(struct.pack('>I', len(body)) + body)
    n = struct.unpack('>I', s.recv(4, socket.MSG_WAITALL))[0]
    return s.recv(n, socket.MSG_WAITALL)
def string(b): return struct.pack('>I', len(b)) + b
answer = ask(b'\\x0b')
blob = answer[9:9 + struct.unpack('>I', answer[5:9])[0]]
start = time.perf_counter()
for _ in range(${REQUESTS}): ask(b'\\x0b')
listed = time.perf_counter()
for _ in range(${REQUESTS}): assert ask(b'\\x0d' + string(blob) + string(b'x' * 64) + struct.pack('>I', 0))[0] == 14
signed = time.perf_counter()
print('@@', (listed - start) * 1000, (signed - listed) * 1000)
`, { mode: 0o644 });

function parse(output) {
  const match = /@@ ([\d.]+) ([\d.]+)/.exec(output);
  if (!match) throw new Error(`no result in: ${output}`);
  return { list: Number(match[1]), sign: Number(match[2]) };
}

function quelbarOnce() {
  return new Promise((resolve, reject) => {
    const storage = new SshAgentStorage();
    storage.addKey({ privateKey: fs.readFileSync(keyFile, 'utf8') });
    const ssh = new SshClient();
    let output = '';
    ssh.connect({
      host: peers.host, port: String(peers.sshd.plain), username: peers.user,
      privateKey: fs.readFileSync(keyFile, 'utf8'), knownhostsCallback: (r, f, k, t, done) => done(true),
      errorCallback: reject,
      connectCallback: () => ssh.shell({}, (terminal) => terminal.sendData(Buffer.from(`python3 ${client}; exit\n`)),
        (data) => { output += data.toString(); },
        () => { ssh.close(); try { resolve(parse(output)); } catch (error) { reject(error); } },
        { storage, enable: true }),
    });
  });
}

function opensshOnce(socket) {
  const output = execFileSync('ssh', ['-F', '/dev/null', '-A', '-o', 'BatchMode=yes', '-o', 'IdentitiesOnly=yes',
    '-o', 'StrictHostKeyChecking=no', '-o', 'UserKnownHostsFile=/dev/null', '-o', 'LogLevel=ERROR',
    '-i', keyFile, '-p', String(peers.sshd.plain), `${peers.user}@${peers.host}`, `python3 ${client}`],
  { env: { ...process.env, SSH_AUTH_SOCK: socket } }).toString();
  return parse(output);
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

async function main() {
  const socket = path.join(dir, 'agent.sock');
  const agent = spawn('ssh-agent', ['-D', '-a', socket], { stdio: 'ignore' });
  try {
    while (!fs.existsSync(socket)) await new Promise((resolve) => setTimeout(resolve, 20));
    execFileSync('ssh-add', ['-q', keyFile], { env: { ...process.env, SSH_AUTH_SOCK: socket } });
    const results = { quelbar: [], openssh: [] };
    for (let round = 0; round < ROUNDS; round++) {
      results.quelbar.push(await quelbarOnce());
      results.openssh.push(opensshOnce(socket));
    }
    for (const kind of ['list', 'sign']) {
      const ours = median(results.quelbar.map((r) => r[kind]));
      const theirs = median(results.openssh.map((r) => r[kind]));
      console.log(`${REQUESTS} ${kind} requests: libquelbar ${ours.toFixed(1)} ms, OpenSSH ssh-agent via ssh -A ` +
        `${theirs.toFixed(1)} ms, ratio ${(ours / theirs).toFixed(2)} (median of ${ROUNDS})`);
    }
  } finally {
    agent.kill();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((error) => { console.error(error); process.exit(1); });
