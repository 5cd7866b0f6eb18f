'use strict';
// Agent forwarding against the local sshd: what server-side clients (ssh-add, ssh-keygen, a nested
// ssh) see through the forwarded agent, confirmation by script, hostile frames, and stores, clients
// and channels that go away while requests are out.
const test = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');
const { SshAgentStorage, SshClient } = require('../..');
const peers = require('./support/peers');
const { plainLogin } = require('./support/ssh_session');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

// Keys made by ssh-keygen in a folder the server-side account can read.
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quelbar-agent-'));
fs.chmodSync(dir, 0o755);
const KEYS = { rsa: '-t rsa -b 2048', dsa: '-t dsa', p256: '-t ecdsa -b 256', p384: '-t ecdsa -b 384',
  p521: '-t ecdsa -b 521', ed25519: '-t ed25519' };
for (const [name, options] of Object.entries(KEYS)) {
  execFileSync('sh', ['-c', `ssh-keygen -q -N '' -C ${name}@store ${options} -f ${dir}/${name}`]);
  fs.chmodSync(path.join(dir, name), 0o644);
}
execFileSync('sh', ['-c', `ssh-keygen -q -N secret -a 2 -t ed25519 -f ${dir}/encrypted`]);
const key = (name) => fs.readFileSync(path.join(dir, name), 'utf8');
const md5 = (name) => execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f', `${dir}/${name}.pub`])
  .toString().split(' ')[1].slice(4);
test.after(() => fs.rmSync(dir, { recursive: true, force: true }));

function storeOf(names) {
  const storage = new SshAgentStorage();
  for (const name of names) storage.addKey({ privateKey: key(name), publicKey: key(`${name}.pub`) });
  return storage;
}

// Runs a shell script in a shell opened with the agent options (or what a function of that name
// returns: then only the shell holds them); each `run NAME command...` line of it reports the
// command's status and output. With secondShell, it runs in a second shell with the same options,
// opened once the first is ready. Resolves with { steps, completions } at the script's end.
function runInShell(script, agent, { port, onOutput, secondShell } = {}) {
  const file = path.join(dir, `script-${Math.random().toString(36).slice(2)}.sh`);
  fs.writeFileSync(file, [
    'run() { name=$1; shift; out=$("$@" 2>&1 </dev/null); echo "@@$name $? $(printf %s "$out" | base64 -w0)"; }',
    'T=$(mktemp -d)', script, 'rm -rf "$T"'].join('\n'), { mode: 0o644 });
  const p = peers.load();
  const client = new SshClient();
  const completions = [];
  return new Promise((resolve, reject) => {
    let output = '';
    const options = () => ({ ...(typeof agent === 'function' ? agent() : agent),
      onCompleteCallback: (result) => completions.push(result) });
    const shell = () => client.shell({}, (terminal) => {
      terminal.sendData(Buffer.from(`sh ${file}; exit\n`));
    }, (data) => {
      output += data.toString();
      if (onOutput) onOutput(output);
    }, () => {
      client.close();
      const steps = {};
      for (const [, name, status, text] of output.matchAll(/^@@(\S+) (\d+) (\S*)\r?$/gm)) {
        steps[name] = { status: Number(status), out: Buffer.from(text, 'base64').toString() };
      }
      resolve({ steps, completions, client });
    }, options());
    client.connect({
      ...plainLogin(),
      port: String(port || p.sshd.plain),
      errorCallback: reject,
      connectCallback: () => (secondShell ? client.shell({}, shell, null, null, options()) : shell()),
    });
  });
}

const HOP = (name, port, label = `hop-${name}`) => `run ${label} ssh -n -o BatchMode=yes -o LogLevel=ERROR -o StrictHostKeyChecking=no ` +
  `-o UserKnownHostsFile=/dev/null -o IdentitiesOnly=yes -i ${dir}/${name}.pub -p ${port} ` +
  `${peers.load().user}@127.0.0.1 echo hopped`;
const SIGN = (name, label = `sign-${name}`) => `printf message >$T/m; rm -f $T/m.sig; run ${label} sh -c ` +
  `"ssh-keygen -Y sign -f ${dir}/${name}.pub -n file $T/m && ssh-keygen -Y check-novalidate ` +
  `-n file -f ${dir}/${name}.pub -s $T/m.sig <$T/m"`;

// Runs body while the test account also accepts the named keys.
async function withAuthorized(names, body) {
  const p = peers.load();
  const authorized = path.join(p.dir, 'authorized_keys', p.user);
  const original = fs.readFileSync(authorized, 'utf8');
  // Replaced whole by a rename: sshd, serving other tests meanwhile, never reads it half written.
  const replace = (text) => {
    fs.writeFileSync(`${authorized}.new`, text, { mode: 0o644 });
    fs.renameSync(`${authorized}.new`, authorized);
  };
  replace(original + names.map((name) => key(`${name}.pub`)).join(''));
  try {
    return await body();
  } finally {
    replace(original);
  }
}

test('server-side clients list, sign with, add and remove the store\'s keys', async () => {
  const p = peers.load();
  const hops = ['rsa', 'p256', 'p384', 'p521', 'ed25519'];
  // What the store keeps: one record per key, nothing unreadable, exact fingerprints only.
  const storage = () => {
    const store = storeOf(Object.keys(KEYS));
    store.addKey({ privateKey: key('rsa') });
    store.addKey({ privateKey: key('encrypted') });
    store.addKey({ privateKey: key('encrypted'), password: 'wrong' });
    store.removeKey(md5('dsa').toUpperCase());
    store.addKey({ privateKey: key('encrypted'), password: 'secret' });
    store.removeKey(md5('encrypted'));
    return store;
  };
  const result = await withAuthorized(hops, () => runInShell([
    'run list ssh-add -l -E md5', 'run public ssh-add -L',
    ...hops.map((name) => HOP(name, p.sshd.plain)),
    ...Object.keys(KEYS).map((name) => SIGN(name)),
    // The CA key in the agent signs certificates with SHA-1 and SHA-256 RSA signatures.
    `cp ${dir}/ed25519.pub $T/user.pub`,
    'run cert-sha1 sh -c "ssh-keygen -q -U -s ' + dir + '/rsa.pub -t ssh-rsa -I id $T/user.pub && ssh-keygen -L -f $T/user-cert.pub"',
    'run cert-sha256 sh -c "ssh-keygen -q -U -s ' + dir + '/rsa.pub -t rsa-sha2-256 -I id $T/user.pub && ssh-keygen -L -f $T/user-cert.pub"',
    'ssh-keygen -q -N "" -t ecdsa -C added -f $T/added', 'run add ssh-add $T/added',
    'run sign-added sh -c "printf m >$T/n && ssh-keygen -Y sign -f $T/added.pub -n file $T/n"',
    `run remove ssh-add -d ${dir}/p256.pub`, 'run after-remove ssh-add -l -E md5',
    'run remove-all ssh-add -D', 'run empty ssh-add -l',
  ].join('\n'), { storage: storage(), enable: true }));
  const { steps, completions } = result;
  assert.deepStrictEqual(completions, [true]);
  const listed = (text) => text.trim().split('\n').map((line) => line.split(' ')[1].slice(4));
  assert.deepStrictEqual(listed(steps.list.out), Object.keys(KEYS).map(md5));
  assert.deepStrictEqual(steps.public.out.trim().split('\n'),
    Object.keys(KEYS).map((name) => key(`${name}.pub`).trim()));
  for (const name of hops) assert.deepStrictEqual(steps[`hop-${name}`], { status: 0, out: 'hopped' }, name);
  for (const name of Object.keys(KEYS)) assert.match(steps[`sign-${name}`].out, /Good "file" signature/, name);
  assert.match(steps['cert-sha1'].out, /Signing CA: RSA \S+ \(using ssh-rsa\)/);
  assert.match(steps['cert-sha256'].out, /Signing CA: RSA \S+ \(using rsa-sha2-256\)/);
  assert.strictEqual(steps.add.status, 0);
  assert.strictEqual(steps['sign-added'].status, 0);
  assert.strictEqual(steps.remove.status, 0);
  assert.deepStrictEqual(listed(steps['after-remove'].out),
    [...Object.keys(KEYS).filter((name) => name !== 'p256').map(md5), listed(steps['after-remove'].out)[5]]);
  assert.strictEqual(steps['after-remove'].out.split('\n').length, 6);
  assert.match(steps['remove-all'].out, /All identities removed/);
  assert.deepStrictEqual(steps.empty, { status: 1, out: 'The agent has no identities.' });
});

test('script confirms each request, at once or later; two channels ask separately', async () => {
  const p = peers.load();
  const prompts = [];
  const held = [];
  const signs = [];
  const onPromptCallback = (type, fingerprint, reply) => {
    prompts.push([type, fingerprint]);
    if (prompts.length === 1) reply(false);
    else if (prompts.length === 2) setTimeout(() => { reply(true); reply(false); }, 50);
    else if (prompts.length <= 4) {
      if (held.push(reply) === 2) { held[1](true); setTimeout(() => held[0](true), 50); }
    } else if (type !== 'sign') reply(true);
    // Signatures: allowed at once, refused for the first hop, allowed later for the second.
    else if (signs.push(reply) === 3) setTimeout(() => reply(true), 50);
    else reply(signs.length === 1);
  };
  // A sign request for a key the store does not hold: refused without a question.
  const unknown = path.join(dir, 'sign-unknown.py');
  fs.writeFileSync(unknown, `
import base64, os, socket, struct
string = lambda b: struct.pack('>I', len(b)) + b
blob = base64.b64decode(open('${dir}/p256.pub').read().split()[1])
body = b'\\x0d' + string(blob) + string(b'data') + struct.pack('>I', 0)
s = socket.socket(socket.AF_UNIX); s.connect(os.environ['SSH_AUTH_SOCK'])
s.sendall(struct.pack('>I', len(body)) + body)
print(s.recv(5, socket.MSG_WAITALL)[4])
`, { mode: 0o644 });
  const { steps } = await withAuthorized(['ed25519'], () => runInShell([
    'run denied ssh-add -l', 'run allowed ssh-add -l',
    'run both sh -c "ssh-add -l >/dev/null & ssh-add -l >/dev/null; wait $!"', SIGN('ed25519'),
    HOP('ed25519', p.sshd.plain, 'hop-refused'), HOP('ed25519', p.sshd.plain, 'hop-allowed'),
    `run unknown python3 ${unknown}`,
  ].join('\n'), { storage: storeOf(['ed25519']), enable: true, onPromptCallback }));
  assert.deepStrictEqual(steps.unknown, { status: 0, out: '5' });
  assert.match(steps.denied.out, /agent refused operation/);
  assert.strictEqual(steps.allowed.status, 0);
  assert.strictEqual(steps.both.status, 0);
  assert.strictEqual(steps['sign-ed25519'].status, 0);
  assert.notStrictEqual(steps['hop-refused'].status, 0);
  assert.deepStrictEqual(steps['hop-allowed'], { status: 0, out: 'hopped' });
  const list = ['requestIdentities', ''];
  const sign = ['sign', md5('ed25519')];
  assert.deepStrictEqual(prompts, [list, list, list, list, list, sign, list, sign, list, sign]);
});

test('a server that refuses forwarding, and a shell without agent options', async () => {
  const p = peers.load();
  const refused = await runInShell('run sock sh -c "echo ${SSH_AUTH_SOCK:-none}"',
    { storage: storeOf(['ed25519']), enable: true }, { port: p.sshd.ecdsa });
  assert.deepStrictEqual(refused.completions, [false]);
  assert.strictEqual(refused.steps.sock.out, 'none');
  // The server is asked once per session; a later shell shares the agent.
  const second = await runInShell('run list ssh-add -l -E md5', { storage: storeOf(['ed25519']), enable: true },
    { secondShell: true });
  assert.deepStrictEqual(second.completions, [true, true]);
  assert.strictEqual(second.steps.list.out.split(' ')[1], `MD5:${md5('ed25519')}`);
  for (const agent of [undefined, { storage: storeOf(['ed25519']), enable: 1 }, { enable: true }]) {
    const plain = await runInShell('run sock sh -c "echo ${SSH_AUTH_SOCK:-none}"', agent);
    assert.strictEqual(plain.steps.sock.out, 'none');
    assert.deepStrictEqual(plain.completions, []);
  }
});

// Frames that a hostile or broken client writes to the agent socket: each gets an answer or only
// its own channel closes, and the agent goes on serving.
test('hostile frames from the server side', async () => {
  const hostile = path.join(dir, 'hostile.py');
  fs.writeFileSync(hostile, `
import os, socket, struct, time
def connect():
    s = socket.socket(socket.AF_UNIX); s.connect(os.environ['SSH_AUTH_SOCK']); return s
def reply(s):
    header = s.recv(4, socket.MSG_WAITALL)
    if len(header) < 4: return 'closed'
    return s.recv(struct.unpack('>I', header)[0], socket.MSG_WAITALL)[0]
s = connect()
s.send(b'\\0\\0'); time.sleep(0.2); s.send(b'\\0\\1\\x0b'); print('split', reply(s))
s.send(b'\\0\\0\\0\\1\\x0b' * 2); print('pipelined', reply(s), reply(s))
s.send(b'\\0\\0\\0\\0'); print('empty', reply(s))
s.send(b'\\0\\0\\0\\1\\xc8'); print('unknown', reply(s))
s.send(b'\\0\\0\\0\\x08\\x0d\\0\\0\\0\\x10abc'); print('short-sign', reply(s))
t = connect(); t.send(b'\\0\\0\\0\\x64' + b'x' * 10); t.close()
u = connect(); u.send(b'\\xff\\xff\\xff\\xff'); print('huge', reply(u))
v = connect(); v.send(b'\\0\\0\\0\\0'); v.close()
# Requests sent on and on while no reply is read: the agent stops taking them once its replies wait.
w = connect(); w.settimeout(3); sent = 0
try:
    while sent < 12 << 20: w.sendall(b'\\0\\0\\0\\1\\xc8' * 13107); sent += 65535
except socket.timeout: pass
print('flood', 'held back' if sent < 12 << 20 else 'all taken')
`, { mode: 0o644 });
  const { steps } = await runInShell(`run hostile python3 ${hostile}\nrun after ssh-add -l -E md5`,
    { storage: storeOf(['ed25519']), enable: true });
  assert.deepStrictEqual(steps.hostile, { status: 0, out:
    'split 12\npipelined 12 12\nempty 5\nunknown 5\nshort-sign 5\nhuge closed\nflood held back' });
  assert.strictEqual(steps.after.out.split(' ')[1], `MD5:${md5('ed25519')}`);
});

test('keys added from the server side without end hold memory bounded', async () => {
  // 8,000 adds of distinct Ed25519 keys, every fourth with a 200 KB comment.
  const keys = path.join(dir, 'many-keys');
  // Made from random seeds: Node's generateKeyPairSync can deadlock in a collection that runs
  // while a key is exported, and this makes thousands.
  const pkcs8 = Buffer.from('302e020100300506032b657004220420', 'hex');
  fs.writeFileSync(keys, Buffer.concat(Array.from({ length: 8000 }, () => {
    const seed = crypto.randomBytes(32);
    const privateKey = crypto.createPrivateKey({ key: Buffer.concat([pkcs8, seed]), format: 'der', type: 'pkcs8' });
    return Buffer.concat([seed, crypto.createPublicKey(privateKey).export({ format: 'der', type: 'spki' }).subarray(-32)]);
  })));
  fs.chmodSync(keys, 0o644);
  const adder = path.join(dir, 'adder.py');
  fs.writeFileSync(adder, `
import os, socket, struct
string = lambda b: struct.pack('>I', len(b)) + b
keys = open('${keys}', 'rb').read()
s = socket.socket(socket.AF_UNIX); s.connect(os.environ['SSH_AUTH_SOCK'])
answers = {}
for i in range(8000):
    seed, public = keys[i * 64:i * 64 + 32], keys[i * 64 + 32:i * 64 + 64]
    comment = b'c' * 200000 if i % 4 == 0 else b'key %d' % i
    body = b'\\x11' + string(b'ssh-ed25519') + string(public) + string(seed + public) + string(comment)
    s.sendall(struct.pack('>I', len(body)) + body)
    answer = s.recv(5, socket.MSG_WAITALL)[4]
    answers[answer] = answers.get(answer, 0) + 1
print(answers.get(6, 0), answers.get(5, 0))
`, { mode: 0o644 });
  gc();
  const before = process.memoryUsage().rss;
  const { steps } = await runInShell(`run add python3 ${adder}\nrun count sh -c "ssh-add -l | wc -l"`,
    { storage: storeOf([]), enable: true });
  gc();
  const growth = process.memoryUsage().rss - before;
  assert.deepStrictEqual([steps.add.out, steps.count.out], ['1024 6976', '1024']);
  if (!/libasan/.test(process.env.LD_PRELOAD || '')) assert.ok(growth < 64 << 20, `RSS grew by ${growth >> 20} MiB`);
});

test('a store only the shell holds serves to the end, then goes; a client closed while a question is out', async () => {
  // Keys as Buffers of their text; any other kind of privateKey is refused, not read as none.
  const made = () => {
    const storage = new SshAgentStorage();
    storage.addKey({ privateKey: Buffer.from(key('ed25519')), publicKey: Buffer.from(key('ed25519.pub')) });
    assert.throws(() => storage.addKey({ privateKey: 42 }), TypeError);
    weak = new WeakRef(storage);
    return { storage, enable: true };
  };
  let weak;
  const collected = path.join(dir, 'collected');
  const { steps } = await runInShell([
    'run before ssh-add -l -E md5', `while [ ! -e ${collected} ]; do sleep 0.05; done`,
    'run list ssh-add -l -E md5',
  ].join('\n'), made, {
    onOutput: (output) => {
      if (output.includes('@@before') && !fs.existsSync(collected)) {
        gc();
        fs.writeFileSync(collected, '');
      }
    },
  });
  for (const step of [steps.before, steps.list]) assert.strictEqual(step.out.split(' ')[1], `MD5:${md5('ed25519')}`);
  // Let go once the session has ended.
  for (let i = 0; i < 100 && weak.deref(); i++) {
    await new Promise((resolve) => setTimeout(resolve, 50));
    gc();
  }
  assert.strictEqual(weak.deref(), undefined);

  // Asking for confirmation with something that cannot ask is refused, not taken as "allow all".
  assert.throws(() => new SshClient().shell({}, null, null, null,
    { storage: storeOf([]), enable: true, onPromptCallback: 'yes' }), TypeError);

  // The client goes while script holds the answer; the late answer finds nothing.
  const client = new SshClient();
  let late;
  const ended = new Promise((resolve) => {
    client.connect({
      ...plainLogin(),
      disconnectCallback: resolve,
      errorCallback: resolve,
      connectCallback: () => client.shell({}, (terminal) => {
        terminal.sendData(Buffer.from('ssh-add -l\n'));
      }, () => {}, () => {}, {
        storage: storeOf(['ed25519']), enable: true,
        onPromptCallback: (type, fingerprint, reply) => { late = reply; client.close(); },
      }),
    });
  });
  await ended;
  late(true);
});
