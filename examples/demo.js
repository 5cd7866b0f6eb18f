'use strict';
// The module at work in one command (`npm run demo`): the demo starts an OpenSSH server of its own on
// 127.0.0.1 with fresh keys, connects to it, shows the server's host-key fingerprint, runs a command,
// opens a shell, sends it a line, prints what comes back, and closes. Everything it makes lives in a
// temporary folder that it removes at the end.
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { SshClient } = require(path.join(__dirname, '..'));

const SSHD = '/usr/sbin/sshd';

function say(text) {
  console.log(text);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function keygen(file) {
  execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-C', 'libquelbar-demo', '-f', file]);
}

// An sshd that lets the current user in with the demo's key only.
async function startServer(dir, user) {
  keygen(path.join(dir, 'host_key'));
  keygen(path.join(dir, 'client_key'));
  fs.copyFileSync(path.join(dir, 'client_key.pub'), path.join(dir, 'authorized_keys'));
  const port = await freePort();
  const config = path.join(dir, 'sshd_config');
  fs.writeFileSync(config, [
    'ListenAddress 127.0.0.1',
    `HostKey ${path.join(dir, 'host_key')}`,
    'PidFile none',
    'UsePAM no',
    'StrictModes no',
    `AuthorizedKeysFile ${path.join(dir, 'authorized_keys')}`,
    'PubkeyAuthentication yes',
    'PasswordAuthentication no',
    'KbdInteractiveAuthentication no',
    'PermitRootLogin prohibit-password',
    `AllowUsers ${user}`,
    'PrintMotd no',
    'PrintLastLog no',
    '',
  ].join('\n'));
  const log = path.join(dir, 'sshd.log');
  const logFd = fs.openSync(log, 'w');
  const sshd = spawn(SSHD, ['-D', '-e', '-f', config, '-p', String(port)],
                     { stdio: ['ignore', 'ignore', logFd] });
  fs.closeSync(logFd);
  for (let i = 0; i < 100; i++) {
    if (sshd.exitCode !== null) break;
    const listening = await new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (listening) return { port, stop: () => sshd.kill() };
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  sshd.kill();
  throw new Error(`sshd did not start; its log says:\n${fs.readFileSync(log, 'utf8')}`);
}

// The MD5 fingerprint as the module reports it: hexadecimal pairs joined by ":".
function expectedFingerprint(dir) {
  const line = execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f', path.join(dir, 'host_key.pub')],
                            { encoding: 'utf8' });
  return /MD5:([0-9a-f:]+)/.exec(line)[1];
}

// Shell output without the terminal's control sequences, one line per line.
function printable(text) {
  return text.replace(/\x1b\[[0-9;?]*[A-Za-z]/g, '').replace(/\r/g, '');
}

function runSession(port, user, dir) {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    const expected = expectedFingerprint(dir);
    client.connect({
      host: '127.0.0.1',
      port: String(port),
      username: user,
      privateKey: fs.readFileSync(path.join(dir, 'client_key'), 'utf8'),
      knownhostsCallback(result, fingerprint, publicKey, type, done) {
        say(`host key: ${type}, MD5 fingerprint ${fingerprint}`);
        say(fingerprint === expected ? '  it is the key the demo gave its server: accepted'
          : '  it is NOT the key the demo gave its server: refused');
        done(fingerprint === expected);
      },
      connectCallback() {
        say(`connected and authenticated as ${user}`);
        const command = 'uname -sr; echo "logged in as $(id -un), home $HOME"';
        say(`running: ${command}`);
        client.exec(Buffer.from(command),
          (status, output) => {
            say(`it finished with status ${status} and printed:`);
            for (const line of output.toString().trimEnd().split('\n')) say(`  | ${line}`);
            if (process.getuid() === 0) {
              openShell(client);
            } else {
              // sshd must run as root to hand out a terminal; the session then ends by itself.
              say('(no shell: an sshd that does not run as root cannot give it a pseudo-terminal; ' +
                  'run the demo as root to see one)');
            }
          },
          (error) => reject(error));
      },
      disconnectCallback() {
        say('the session has ended');
        resolve();
      },
      errorCallback: reject,
    });
  });
}

function openShell(client) {
  let output = '';
  client.shell({ term: 'xterm', columns: 100, rows: 30 }, (terminal) => {
    say('shell ready; sending: echo "hello from $0 on a $TERM terminal of $(tput cols) columns"');
    terminal.sendData(Buffer.from('echo "hello from $0 on a $TERM terminal of $(tput cols) columns"; exit\n'));
  }, (data) => {
    output += data.toString();
  }, () => {
    say('the shell sent back:');
    const lines = printable(output).split('\n').filter((line) => line.trim() !== '');
    for (const line of lines) say(`  | ${line}`);
    say('the shell has closed; closing the client');
    client.close();
  });
}

(async () => {
  if (!fs.existsSync(SSHD)) {
    throw new Error(`the demo starts an OpenSSH server (${SSHD}); install openssh-server ` +
                    '(scripts/setup does) and run it again');
  }
  const user = os.userInfo().username;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'libquelbar-demo-'));
  let server;
  try {
    server = await startServer(dir, user);
    say(`started an OpenSSH server of the demo's own on 127.0.0.1:${server.port}`);
    await runSession(server.port, user, dir);
  } finally {
    if (server) server.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  say('done');
})().catch((error) => {
  console.error(`demo failed: ${error.message}`);
  process.exitCode = 1;
});
