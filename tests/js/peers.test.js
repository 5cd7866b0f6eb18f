'use strict';
// The local test peers answer as the integration tests expect: each is reached with a client that is not
// ours (OpenSSH's ssh, sshpass, npm's ssh2 client, a raw telnet exchange), so a fault shows up here first.
const { afterEach, describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { execFile } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { Client } = require('ssh2');
const peers = require('./support/peers').load();

const PROXY_COMMAND = path.join(__dirname, '..', 'peers', 'proxy-command.js');
const HANG_GUARD = { timeout: 60000 };

function run(file, args, { input, env } = {}) {
  return new Promise((resolve) => {
    const settings = { timeout: 30000, env: { ...process.env, ...env } };
    const child = execFile(file, args, settings, (err, stdout, stderr) => {
      resolve({ code: err ? err.code ?? err.signal : 0, stdout, stderr });
    });
    child.stdin.end(input);
  });
}

// OpenSSH's client options: no machine configuration, and only the peers' known_hosts is trusted.
function sshArgs(port, { key = peers.clientKeys.ed25519, batch = true, options = [] } = {}) {
  return [
    '-F', '/dev/null', '-o', `UserKnownHostsFile=${peers.knownHosts}`, '-o', 'GlobalKnownHostsFile=/dev/null',
    '-o', 'StrictHostKeyChecking=yes', '-o', `BatchMode=${batch ? 'yes' : 'no'}`, '-o', 'IdentitiesOnly=yes',
    '-o', 'LogLevel=ERROR', '-o', 'ConnectTimeout=10', '-o', `Port=${port}`,
    ...(key ? ['-i', key] : ['-o', 'PubkeyAuthentication=no']), ...options,
  ];
}

function ssh(port, command, { user = peers.user, host = peers.host, env, ...settings } = {}) {
  return run('ssh', [...sshArgs(port, settings), `${user}@${host}`, command], { env });
}

// sshpass types SECRET at the first prompt that contains PROMPT (sshpass's default: "assword").
function sshWithSecret(secret, port, command, { user = peers.user, prompt = 'assword', ...settings } = {}) {
  const args = sshArgs(port, { ...settings, batch: false });
  return run('sshpass', ['-P', prompt, '-p', secret, 'ssh', ...args, `${user}@${peers.host}`, command]);
}

function viaProxy(kind, proxyPort, credentials = []) {
  const quote = (word) => `'${word.replace(/'/g, "'\\''")}'`;
  const helper = [process.execPath, PROXY_COMMAND, kind, `${peers.host}:${proxyPort}`].map(quote);
  return { options: ['-o', `ProxyCommand=${[...helper, '%h', '%p', ...credentials.map(quote)].join(' ')}`] };
}

function assertAnswered(result, expected, what) {
  assert.equal(result.code, 0, `${what}: exit ${result.code}, stderr: ${result.stderr}`);
  assert.equal(result.stdout, expected, what);
}

function publicKeyBlob(privateKeyFile) {
  return fs.readFileSync(`${privateKeyFile}.pub`, 'utf8').split(' ').slice(0, 2).join(' ');
}

describe('OpenSSH sshd peers', HANG_GUARD, () => {
  it('logs sshtest in by public key on every instance but the partial one', async () => {
    const instances = Object.entries(peers.sshd).filter(([name]) => name !== 'partial');
    const answers = await Promise.all(instances.map(([, port]) => ssh(port, 'echo up')));
    instances.forEach(([name, port], i) => assertAnswered(answers[i], 'up\n', `sshd ${name} on ${port}`));
  });

  it('accepts every client key, the encrypted one with its passphrase', async () => {
    for (const type of ['ecdsa', 'rsa']) {
      assertAnswered(await ssh(peers.sshd.plain, 'echo key', { key: peers.clientKeys[type] }), 'key\n', type);
    }
    const encrypted = await sshWithSecret(peers.clientKeyPassphrase, peers.sshd.plain, 'echo key',
                                          { key: peers.clientKeys.ed25519Encrypted, prompt: 'passphrase' });
    assertAnswered(encrypted, 'key\n', 'encrypted ed25519 key');
  });

  it('logs in by password and by keyboard-interactive, and refuses a wrong password', async () => {
    for (const method of ['password', 'keyboard-interactive']) {
      const settings = { key: null, options: ['-o', `PreferredAuthentications=${method}`] };
      const result = await sshWithSecret(peers.password, peers.sshd.plain, 'echo in', settings);
      assertAnswered(result, 'in\n', method);
    }
    const wrong = await sshWithSecret('not-the-password', peers.sshd.plain, 'true',
                                      { key: null, options: ['-o', 'PreferredAuthentications=password'] });
    assert.notEqual(wrong.code, 0);
  });

  it('takes TEST_* variables and serves sftp', async () => {
    const sent = await ssh(peers.sshd.plain, 'echo $TEST_PEER_VALUE', {
      env: { TEST_PEER_VALUE: 'from-client' },
      options: ['-o', 'SendEnv=TEST_PEER_VALUE'],
    });
    assertAnswered(sent, 'from-client\n', 'AcceptEnv TEST_*');
    const sftp = await run('sftp', ['-b', '-', ...sshArgs(peers.sshd.plain), `${peers.user}@${peers.host}`],
                           { input: `ls ${peers.knownHosts}\n` });
    assert.equal(sftp.code, 0, sftp.stderr);
    assert.match(sftp.stdout, /known_hosts/);
  });

  it('offers all three host keys on the plain port and one on each single-key port', async () => {
    const offered = async (port) => {
      const scan = await run('ssh-keyscan', ['-p', String(port), peers.host]);
      return scan.stdout.split('\n').filter(Boolean).map((line) => line.split(' ').slice(1).join(' ')).sort();
    };
    const blobs = {};
    for (const [type, file] of Object.entries(peers.hostKeys)) blobs[type] = publicKeyBlob(file);
    assert.deepEqual(await offered(peers.sshd.plain), Object.values(blobs).sort());
    for (const type of ['ed25519', 'ecdsa', 'rsa']) {
      assert.deepEqual(await offered(peers.sshd[type]), [blobs[type]], `${type} port`);
    }
  });

  it('wants a key and then the password on the partial port', async () => {
    const keyOnly = await ssh(peers.sshd.partial, 'true');
    assert.equal(keyOnly.code, 255);
    assert.match(keyOnly.stderr, /Permission denied \(password\)/);
    const both = await sshWithSecret(peers.password, peers.sshd.partial, 'echo both',
                                     { options: ['-o', 'PreferredAuthentications=publickey,password'] });
    assertAnswered(both, 'both\n', 'key then password');
  });

  it('refuses a pty on the no-tty port', async () => {
    const forced = await ssh(peers.sshd.noTty, 'true', { options: ['-tt'] });
    assert.match(forced.stderr, /PTY allocation request failed/);
  });

  // Another test run may be using the peers: a second start from their run directory stops nothing of theirs.
  it('keep serving when tests/peers/peers start is run again, which refuses', async () => {
    const started = await run(path.join(__dirname, '..', 'peers', 'peers'), ['start'],
                              { env: { QUELBAR_PEERS_DIR: peers.dir } });
    assert.equal(started.code, 1);
    assert.match(started.stderr, new RegExp(`^peers: peers of an earlier start from ${peers.dir} still run ` +
                                            `\\(pids [0-9 ]+\\); stop them first with\\n.* stop\\n$`));
    assertAnswered(await ssh(peers.sshd.plain, 'echo still'), 'still\n', 'sshd');
  });
});

describe('proxies carry an OpenSSH login to the plain sshd', HANG_GUARD, () => {
  const through = (proxy, host = peers.host) => ssh(peers.sshd.plain, 'echo via', { ...proxy, host });

  it('tinyproxy, plain and with Basic auth; without credentials the auth proxy answers 407', async () => {
    const { port, authPort, user, password } = peers.httpProxy;
    assertAnswered(await through(viaProxy('http', port)), 'via\n', 'tinyproxy');
    const withCredentials = viaProxy('http', authPort, [user, password]);
    assertAnswered(await through(withCredentials), 'via\n', 'tinyproxy with Basic auth');
    const refused = await through(viaProxy('http', authPort));
    assert.notEqual(refused.code, 0);
    assert.match(refused.stderr, /407/);
  });

  it('danted over SOCKS4, SOCKS5 and SOCKS5 with the system password', async () => {
    assertAnswered(await through(viaProxy('socks4', peers.socksPort, [peers.user])), 'via\n', 'SOCKS4');
    const byName = await through(viaProxy('socks5', peers.socksPort), 'localhost');
    assertAnswered(byName, 'via\n', 'SOCKS5, target by name');
    const withPassword = viaProxy('socks5', peers.socksPort, [peers.user, peers.password]);
    assertAnswered(await through(withPassword), 'via\n', 'SOCKS5 user/password');
    const wrong = await through(viaProxy('socks5', peers.socksPort, [peers.user, 'wrong']));
    assert.notEqual(wrong.code, 0);
    assert.match(wrong.stderr, /rejected user/);
  });

  it('the SOCKS4a peer resolves names itself and reaches loopback only', async () => {
    assertAnswered(await through(viaProxy('socks4a', peers.socks4aPort), 'localhost'), 'via\n', 'SOCKS4a');
    assertAnswered(await through(viaProxy('socks4', peers.socks4aPort)), 'via\n', 'SOCKS4 to the 4a peer');
    // A TEST-NET address: the peer must refuse it without trying to connect.
    const proxy = `${peers.host}:${peers.socks4aPort}`;
    const outside = await run(process.execPath, [PROXY_COMMAND, 'socks4', proxy, '192.0.2.1', '22']);
    assert.equal(outside.code, 1);
    assert.match(outside.stderr, /0x5b/);
  });
});

describe('ssh2 scripted server', HANG_GUARD, () => {
  const hostKey = Buffer.from(publicKeyBlob(peers.hostKeys.ed25519).split(' ')[1], 'base64');
  const ADMINISTRATIVELY_PROHIBITED = 1;
  const clients = new Set();
  afterEach(() => {
    for (const client of clients) client.end();
    clients.clear();
  });

  // Resolves once the client is ready; the client is ended after each test.
  function connect(username, settings = {}) {
    const client = new Client();
    clients.add(client);
    const ready = new Promise((resolve, reject) => {
      client.once('ready', () => resolve(client)).once('error', reject);
    });
    client.connect({ host: peers.host, port: peers.ssh2ServerPort, username, readyTimeout: 20000,
                     hostVerifier: (key) => key.equals(hostKey), ...settings });
    return { client, ready };
  }

  function exec(client, command, options = {}) {
    return new Promise((resolve, reject) => {
      client.exec(command, options, (err, stream) => {
        if (err) return reject(err);
        let output = '';
        let code;
        stream.on('data', (data) => (output += data)).on('exit', (status) => (code = status));
        stream.on('close', () => resolve({ output, code }));
        stream.stderr.resume();
      });
    });
  }

  it('answers a keyboard-interactive login from OpenSSH with exec, and refuses a wrong answer', async () => {
    const settings = { user: 'kbd', key: null };
    settings.options = ['-o', 'PreferredAuthentications=keyboard-interactive'];
    assertAnswered(await sshWithSecret('secret', peers.ssh2ServerPort, 'echo x', settings),
                   'ssh2 server got: echo x\n', 'kbd');
    const wrong = await sshWithSecret('wrong', peers.ssh2ServerPort, 'echo x', settings);
    assert.notEqual(wrong.code, 0);
  });

  it('logs "none" in and asks kbd2 two prompts in one round', async () => {
    const none = await connect('none').ready;
    assert.deepEqual(await exec(none, 'uptime'), { output: 'ssh2 server got: uptime\n', code: 0 });

    const rounds = [];
    const kbd2 = connect('kbd2', { tryKeyboard: true });
    kbd2.client.on('keyboard-interactive', (name, instructions, lang, prompts, finish) => {
      rounds.push(prompts);
      finish(['one', 'two']);
    });
    await kbd2.ready;
    assert.deepEqual(rounds, [[{ prompt: 'First: ', echo: true }, { prompt: 'Second: ', echo: false }]]);
  });

  it('refuses every channel to refuse-channel', async () => {
    const client = await connect('refuse-channel').ready;
    await assert.rejects(exec(client, 'true'), (err) => err.reason === ADMINISTRATIVELY_PROHIBITED);
  });

  it('gives maxsessions1 one session at a time', async () => {
    const client = await connect('maxsessions1').ready;
    const shell = await new Promise((resolve, reject) =>
      client.shell(false, (err, stream) => (err ? reject(err) : resolve(stream))));
    await assert.rejects(exec(client, 'true'), /Channel open failure/);
    const closed = new Promise((resolve) => shell.on('close', resolve));
    shell.resume();
    shell.end();
    await closed;
    assert.equal((await exec(client, 'true')).code, 0);
  });

  it('refuses a pty to notty', async () => {
    const client = await connect('notty').ready;
    await assert.rejects(exec(client, 'true', { pty: true }), /pseudo-terminal/);
  });

  it('breaks the transport after logging garbage in', async () => {
    const { client, ready } = connect('garbage');
    const failure = new Promise((resolve) => client.on('error', resolve).on('close', () => resolve(null)));
    await ready;
    assert.match(String(await failure), /packet|MAC|decrypt/i);
  });
});

describe('telnet servers', HANG_GUARD, () => {
  const IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

  // Strips telnet commands from the server's bytes and refuses every option it offers or asks for.
  function telnetText(socket) {
    let pending = Buffer.alloc(0);
    return (chunk) => {
      const bytes = Buffer.concat([pending, chunk]);
      const text = [];
      let i = 0;
      while (i < bytes.length) {
        if (bytes[i] !== IAC) {
          text.push(bytes[i++]);
        } else if (i + 1 >= bytes.length) {
          break;
        } else if (bytes[i + 1] === IAC) {
          text.push(IAC);
          i += 2;
        } else if (bytes[i + 1] >= WILL && bytes[i + 1] <= DONT) {
          if (i + 2 >= bytes.length) break;
          if (bytes[i + 1] === WILL) socket.write(Buffer.from([IAC, DONT, bytes[i + 2]]));
          if (bytes[i + 1] === DO) socket.write(Buffer.from([IAC, WONT, bytes[i + 2]]));
          i += 3;
        } else if (bytes[i + 1] === SB) {
          const end = bytes.indexOf(Buffer.from([IAC, SE]), i + 2);
          if (end < 0) break;
          i = end + 2;
        } else {
          i += 2;
        }
      }
      pending = bytes.subarray(i);
      return Buffer.from(text).toString('latin1');
    };
  }

  // Answers each expected text in turn with its reply; resolves once the last one shows.
  function converse(port, steps) {
    return new Promise((resolve, reject) => {
      const socket = net.connect(port, peers.host);
      const decode = telnetText(socket);
      let seen = '';
      let unmatched = '';
      const failure = (what) => new Error(`telnet on ${port} ${what}; it printed: ${JSON.stringify(seen)}`);
      socket.setTimeout(20000, () => socket.destroy(failure('stalled')));
      socket.on('data', (chunk) => {
        const text = decode(chunk);
        seen += text;
        unmatched += text;
        while (steps.length && steps[0].expect.test(unmatched)) {
          const { reply } = steps.shift();
          unmatched = '';
          if (reply === undefined) {
            socket.destroy();
            return resolve();
          }
          socket.write(reply);
        }
      });
      socket.on('error', reject);
      socket.on('close', () => reject(failure('closed')));
    });
  }

  for (const server of ['busybox', 'inetutils']) {
    it(`${server} telnetd gives a login prompt and logs sshtest in`, async () => {
      await converse(peers.telnet[server], [
        { expect: /login: $/, reply: `${peers.user}\r\n` },
        { expect: /Password: ?$/, reply: `${peers.password}\r\n` },
        { expect: /\$ $/, reply: 'echo tel$((40+2))net; exit\r\n' },
        { expect: /tel42net/ },
      ]);
    });
  }
});
