'use strict';
// The servers the examples talk to, started on 127.0.0.1 for the length of one example: an OpenSSH
// server that lets the current user in with a fresh key, a tinyproxy HTTP CONNECT proxy, and a
// busybox Telnet server with a password login of its own. Each example runs its body through
// runExample, which gives it a LocalServers, removes everything that was made and stops every
// process that was started, also when the body fails.
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');

const SSHD = '/usr/sbin/sshd';
const TINYPROXY = '/usr/bin/tinyproxy';
const BUSYBOX = '/bin/busybox';

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

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

function requireProgram(file, packageName) {
  if (!fs.existsSync(file)) {
    throw new Error(`this example starts ${file}; install ${packageName} (scripts/setup does) and run it again`);
  }
}

// The MD5 fingerprint of a public key file as the module reports fingerprints: hexadecimal pairs
// joined by ":".
function md5Fingerprint(publicKeyFile) {
  const line = execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f', publicKeyFile], { encoding: 'utf8' });
  return /MD5:([0-9a-f:]+)/.exec(line)[1];
}

class LocalServers {
  constructor(name) {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), `libquelbar-${name}-`));
    this.processes = [];
  }

  file(name, content, mode = 0o600) {
    const file = path.join(this.dir, name);
    if (content !== undefined) fs.writeFileSync(file, content, { mode });
    return file;
  }

  // Starts a program that serves on port and waits until it accepts connections.
  async launch(name, port, command, args) {
    const log = this.file(`${name}.log`);
    const logFd = fs.openSync(log, 'w');
    const child = spawn(command, args, { stdio: ['ignore', logFd, logFd] });
    fs.closeSync(logFd);
    this.processes.push(child);
    for (let i = 0; i < 200; i++) {
      if (child.exitCode !== null) break;
      if (await accepts(port)) return;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    throw new Error(`${name} did not start; its log says:\n${fs.readFileSync(log, 'utf8')}`);
  }

  // An OpenSSH server that lets the current user in with a key made for it. Gives what a client
  // needs: host, port, username, privateKey, the server's known-hosts line and the MD5 fingerprint
  // of its host key.
  async sshd() {
    requireProgram(SSHD, 'openssh-server');
    const user = os.userInfo().username;
    const hostKey = this.file('host_key');
    const clientKey = this.file('client_key');
    for (const key of [hostKey, clientKey]) {
      execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-C', 'libquelbar-example', '-f', key]);
    }
    const authorizedKeys = this.file('authorized_keys', fs.readFileSync(`${clientKey}.pub`));
    const port = await freePort();
    const config = this.file('sshd_config', [
      'ListenAddress 127.0.0.1',
      `HostKey ${hostKey}`,
      'PidFile none',
      'UsePAM no',
      'StrictModes no',
      `AuthorizedKeysFile ${authorizedKeys}`,
      'PubkeyAuthentication yes',
      'PasswordAuthentication no',
      'KbdInteractiveAuthentication no',
      'PermitRootLogin prohibit-password',
      `AllowUsers ${user}`,
      'PrintMotd no',
      'PrintLastLog no',
      'Subsystem sftp internal-sftp',
      '',
    ].join('\n'));
    await this.launch('sshd', port, SSHD, ['-D', '-e', '-f', config, '-p', String(port)]);
    const hostKeyType = fs.readFileSync(`${hostKey}.pub`, 'utf8').split(' ').slice(0, 2).join(' ');
    return {
      host: '127.0.0.1',
      port,
      username: user,
      privateKey: fs.readFileSync(clientKey, 'utf8'),
      knownhostsLine: `[127.0.0.1]:${port} ${hostKeyType}`,
      fingerprint: md5Fingerprint(`${hostKey}.pub`),
      // sshd hands out pseudo-terminals only when it runs as root.
      canOpenShells: process.getuid() === 0,
    };
  }

  // A tinyproxy HTTP CONNECT proxy that lets clients from 127.0.0.1 through.
  async httpProxy() {
    requireProgram(TINYPROXY, 'tinyproxy');
    const port = await freePort();
    const runAs = process.getuid() === 0 ? ['User nobody', 'Group nogroup'] : [];
    const config = this.file('tinyproxy.conf', [
      `Port ${port}`, 'Listen 127.0.0.1', ...runAs, 'Timeout 30', 'Allow 127.0.0.1', '',
    ].join('\n'), 0o644);
    await this.launch('tinyproxy', port, TINYPROXY, ['-d', '-c', config]);
    return { type: 'http', host: '127.0.0.1', port };
  }

  // A busybox Telnet server whose login asks for a password (and only a password) and then runs a
  // shell as the current user.
  async telnetd(password) {
    requireProgram(BUSYBOX, 'busybox-static');
    const login = this.file('login', [
      '#!/bin/sh',
      "printf 'Password: '",
      'stty -echo; read -r answer; stty echo; echo',
      `if [ "$answer" != '${password.replace(/'/g, "'\\''")}' ]; then echo 'Login incorrect'; exit 1; fi`,
      "PS1='$ '; export PS1",
      'exec /bin/sh -i',
      '',
    ].join('\n'), 0o700);
    const port = await freePort();
    await this.launch('telnetd', port, BUSYBOX,
                      ['telnetd', '-F', '-b', '127.0.0.1', '-p', String(port), '-f', '/dev/null', '-l', login]);
    return { host: '127.0.0.1', port };
  }

  stop() {
    for (const child of this.processes) {
      if (child.exitCode === null) child.kill();
    }
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// Runs one example: body(servers) may start what it needs; whatever it started is stopped at the end.
// A failure is printed and makes the process end with status 1.
function runExample(name, body) {
  const servers = new LocalServers(name);
  Promise.resolve()
    .then(() => body(servers))
    .finally(() => servers.stop())
    .catch((error) => {
      console.error(`${name} failed: ${error.message}`);
      process.exitCode = 1;
    });
}

// A line of output or of a listing, indented so that it stands apart from what the example says.
function show(text) {
  for (const line of String(text).replace(/\r/g, '').trimEnd().split('\n')) console.log(`  | ${line}`);
}

module.exports = { runExample, show };
