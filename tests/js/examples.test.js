'use strict';
// Every program in examples/ runs as a user would run it, with the servers it starts itself, and the
// ones that take a target from the command line also against the local peers. An example that stops
// working, or no longer does what it says, fails here.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { execFile } = require('node:child_process');
const peers = require('./support/peers');

const examples = path.join(__dirname, '..', '..', 'examples');
const EXAMPLE_TIMEOUT_MS = 120000;

// What each example must print; an example not listed here must still end with status 0.
const expected = {
  'demo.js': [/MD5 fingerprint ([0-9a-f]{2}:){15}[0-9a-f]{2}\n  it is the key the demo gave/, /status 0/,
              /hello from \S+ on a xterm terminal of 100 columns/, /the session has ended\ndone\n$/],
  'exec.js': [/\[echo "hello from \$\(hostname\)"\] exited with status 0; its standard output:\n {2}\| hello from /,
              /\[ls \/no\/such\/folder\] exited with status 2; its standard error:\n {2}\| ls: /,
              /exited with status 7; its standard error:\n {2}\| \S+ gave up\n/, /the session has ended\n$/],
  'shell.js': [/TERM=vt100 size=30 100/, /size now 43 132/, /the session has ended\n$/],
  'telnet.js': [/on a terminal of 30 100\n/, /size now 40 120\n/, /ended the connection after exit\n$/],
  'keys.js': [/BEGIN OPENSSH PRIVATE KEY/, /BEGIN EC PRIVATE KEY/, /right and a wrong password: true, false/,
              /ssh-keygen -y finds the same public key: true/, /wrong password: undefined/,
              /ssh-keygen -y reads the converted key: true/, /opens it with that password: true/],
  'certificate.js': [/key id +alice-laptop/, /type +user certificate/, /serial +42/, /principals +alice, backup/,
                     /critical options force-command=\/usr\/bin\/uptime/, /isValidCertificate\(\) is false/],
  'agent.js': [/agent forwarding accepted: true/, /asks: requestIdentities; allowed/,
               /ssh-add -l lists:\n {2}\| 256 MD5:\S+ agent-example \(ED25519\)/,
               /the same fingerprint as the generated key: true/, /the session has ended\n/],
  'forwarding.js': [/got back "HELLO THROUGH THE TUNNEL"\nlocalPortForwarding has ended\n/,
                    /SOCKS5 method chosen: no authentication\nSOCKS5 CONNECT to 127\.0\.0\.1:\d+: granted\n/,
                    /got back "HELLO THROUGH SOCKS"\ndynamicPortForwarding has ended\nthe session has ended\n$/],
  'sftp.js': [/holds:\n {2}\| dir {2}\.\n {2}\| dir {2}\.\.\n {2}\| file hello\.txt\n/,
              /upload complete: 1048576 bytes in 16 chunks/,
              /downloaded 1048576 bytes; identical to what was uploaded: true/,
              /stat: a file: true, size 1048576, mode 640/, /closed the file system\nthe session has ended\n$/],
  'proxy.js': [/the proxy opened the tunnel/, /status 0; the server saw/, /\| 127\.0\.0\.1 \d+ 127\.0\.0\.1 \d+/],
};

function run(name, args = []) {
  return new Promise((resolve) => {
    execFile(process.execPath, [path.join(examples, name), ...args],
             { timeout: EXAMPLE_TIMEOUT_MS, encoding: 'utf8' },
             (error, stdout, stderr) => resolve({ status: error ? error.code ?? error.signal : 0, stdout, stderr }));
  });
}

function check(result, patterns, what) {
  assert.strictEqual(result.status, 0, `${what} failed:\n${result.stdout}${result.stderr}`);
  for (const pattern of patterns) assert.match(result.stdout, pattern, what);
}

test('every example runs against the servers it starts', async (t) => {
  const names = fs.readdirSync(examples).filter((name) => name.endsWith('.js')).sort();
  assert.deepStrictEqual(Object.keys(expected).filter((name) => !names.includes(name)), [],
                         'an example the test expects is missing');
  const results = await Promise.all(names.map((name) => run(name)));
  for (const [i, name] of names.entries()) {
    await t.test(name, () => check(results[i], expected[name] || [/./], name));
  }
});

test('examples that take their target from the command line reach the local peers', async (t) => {
  const p = peers.load();
  const cases = [
    ['telnet.js', [p.host, p.telnet.busybox, p.user, p.password], expected['telnet.js']],
    ['telnet.js', [p.host, p.telnet.inetutils, p.user, p.password], expected['telnet.js']],
    ['proxy.js', [`socks5://${p.host}:${p.socksPort}`], expected['proxy.js']],
    ['proxy.js', [`socks4://${p.host}:${p.socks4aPort}`], expected['proxy.js']],
    ['proxy.js', [`http://${p.httpProxy.user}:${p.httpProxy.password}@${p.host}:${p.httpProxy.authPort}`],
     [/at \S+ as \S+\n/, ...expected['proxy.js']]],
    ['exec.js', ['echo one-command; exit 3'], [/exited with status 3; its standard error/]],
  ];
  const results = await Promise.all(cases.map(([name, args]) => run(name, args.map(String))));
  for (const [i, [name, args, patterns]] of cases.entries()) {
    await t.test(`${name} ${args.slice(0, 2).join(' ')}`, () => check(results[i], patterns, name));
  }
});
