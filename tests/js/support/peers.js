'use strict';
// Where the local test peers are: the QUELBAR_* variables of the environment, else those in peers.env that
// `tests/peers/peers start` wrote into the run directory ($QUELBAR_PEERS_DIR, else `tests/peers/peers run-dir`).
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

const PEERS_SCRIPT = path.join(__dirname, '..', '..', 'peers', 'peers');

// Reads the `export NAME=value` lines of peers.env; values are bare or in shell single quotes.
function parseEnvFile(text) {
  const vars = {};
  for (const line of text.split('\n')) {
    const match = /^export ([A-Z0-9_]+)=(.*)$/.exec(line);
    if (!match) continue;
    let value = '';
    const raw = match[2];
    for (let i = 0; i < raw.length; i++) {
      if (raw[i] === "'") {
        const close = raw.indexOf("'", i + 1);
        value += raw.slice(i + 1, close < 0 ? raw.length : close);
        i = close < 0 ? raw.length : close;
      } else if (raw[i] === '\\' && i + 1 < raw.length) {
        value += raw[++i];
      } else {
        value += raw[i];
      }
    }
    vars[match[1]] = value;
  }
  return vars;
}

function readVars() {
  const dir = process.env.QUELBAR_PEERS_DIR || execFileSync(PEERS_SCRIPT, ['run-dir'], { encoding: 'utf8' }).trim();
  const file = path.join(dir, 'peers.env');
  let vars = {};
  try {
    vars = parseEnvFile(fs.readFileSync(file, 'utf8'));
  } catch (err) {
    if (err.code !== 'ENOENT') throw err;
  }
  for (const [name, value] of Object.entries(process.env)) {
    if (name.startsWith('QUELBAR_')) vars[name] = value;
  }
  if (!vars.QUELBAR_SSHD_PORT) {
    throw new Error(`the test peers are not running (no ${file} and no QUELBAR_SSHD_PORT): ` +
                    'run tests/peers/peers start as root');
  }
  return vars;
}

function describePeers(vars) {
  const text = (name) => {
    if (vars[name] === undefined) throw new Error(`the test peers' settings lack ${name}`);
    return vars[name];
  };
  const port = (name) => Number(text(name));
  return {
    dir: text('QUELBAR_PEERS_DIR'),
    host: vars.QUELBAR_PEERS_HOST || '127.0.0.1',
    user: text('QUELBAR_SSH_USER'),
    password: text('QUELBAR_SSH_PASSWORD'),
    sshd: {
      plain: port('QUELBAR_SSHD_PORT'),
      partial: port('QUELBAR_SSHD_PARTIAL_PORT'),
      keepalive: port('QUELBAR_SSHD_KEEPALIVE_PORT'),
      ed25519: port('QUELBAR_SSHD_ED25519_PORT'),
      ecdsa: port('QUELBAR_SSHD_ECDSA_PORT'),
      rsa: port('QUELBAR_SSHD_RSA_PORT'),
      maxSessions1: port('QUELBAR_SSHD_MAXSESSIONS1_PORT'),
      noTty: port('QUELBAR_SSHD_NOTTY_PORT'),
      sftpServer: port('QUELBAR_SSHD_SFTP_SERVER_PORT'),
      rekey: port('QUELBAR_SSHD_REKEY_PORT'),
    },
    httpProxy: {
      port: port('QUELBAR_HTTP_PROXY_PORT'),
      authPort: port('QUELBAR_HTTP_PROXY_AUTH_PORT'),
      user: text('QUELBAR_HTTP_PROXY_USER'),
      password: text('QUELBAR_HTTP_PROXY_PASSWORD'),
    },
    socksPort: port('QUELBAR_SOCKS_PORT'),
    socks4aPort: port('QUELBAR_SOCKS4A_PORT'),
    telnet: {
      busybox: port('QUELBAR_TELNET_BUSYBOX_PORT'),
      inetutils: port('QUELBAR_TELNET_INETUTILS_PORT'),
    },
    // One sshd per cipher: [{ cipher, mac (undefined for an AEAD cipher), port }].
    cipherSshds: text('QUELBAR_SSHD_CIPHERS').split(' ').map((entry) => {
      const [algorithms, cipherPort] = entry.split('=');
      const [cipher, mac] = algorithms.split(',');
      return { cipher, mac, port: Number(cipherPort) };
    }),
    ssh2ServerPort: port('QUELBAR_SSH2_SERVER_PORT'),
    knownHosts: text('QUELBAR_KNOWN_HOSTS'),
    hostKeys: {
      ed25519: text('QUELBAR_HOST_KEY_ED25519'),
      ecdsa: text('QUELBAR_HOST_KEY_ECDSA'),
      rsa: text('QUELBAR_HOST_KEY_RSA'),
    },
    clientKeys: {
      ed25519: text('QUELBAR_CLIENT_KEY_ED25519'),
      ecdsa: text('QUELBAR_CLIENT_KEY_ECDSA'),
      rsa: text('QUELBAR_CLIENT_KEY_RSA'),
      ed25519Encrypted: text('QUELBAR_CLIENT_KEY_ED25519_ENCRYPTED'),
    },
    clientKeyPassphrase: text('QUELBAR_CLIENT_KEY_PASSPHRASE'),
    vars,
  };
}

let cached = null;

// The peers' settings; throws an Error that says how to start them when they are not running. A test
// that needs a peer fails without it, never skips: a skip would count as passed.
function load() {
  if (!cached) cached = describePeers(readVars());
  return cached;
}

module.exports = { load };
