'use strict';
// docs/api.md documents everything script can reach: every export, and every method of every class the
// module makes, whether script gets the class from the exports (SshClient) or only from a callback
// (RemoteTerminal). Classes are found both at run time and in the native sources, so that a class added
// later fails here until its section is written.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const quelbar = require('../..');
const { SshClient } = quelbar;
const peers = require('./support/peers');
const { plainLogin } = require('./support/ssh_session');

const root = path.join(__dirname, '..', '..');
const reference = fs.readFileSync(path.join(root, 'docs', 'api.md'), 'utf8');

// The text of each "## Name" section, by name.
function sections(markdown) {
  const found = new Map();
  for (const part of markdown.split(/^## /m).slice(1)) {
    found.set(part.slice(0, part.indexOf('\n')).trim(), part);
  }
  return found;
}

function methodsOf(prototype) {
  return Object.getOwnPropertyNames(prototype)
    .filter((name) => name !== 'constructor' && typeof prototype[name] === 'function');
}

// Classes and their methods as the native sources register them: each SetPrototypeMethod belongs to the
// class named above it (NewClass or SetClassName) in the same file.
function classesInSources() {
  const classes = new Map();
  const dir = path.join(root, 'nodejs');
  for (const file of fs.readdirSync(dir).filter((name) => name.endsWith('.cc'))) {
    let current = null;
    const source = fs.readFileSync(path.join(dir, file), 'utf8');
    for (const match of source.matchAll(/(?:NewClass<[^>]*>\(|SetClassName\(Nan::New\()"(\w+)"|SetPrototypeMethod\(\w+, "(\w+)"/g)) {
      if (match[1]) {
        current = match[1];
        classes.set(current, classes.get(current) || []);
      } else {
        assert.ok(current, `${file} registers the method ${match[2]} before any class name`);
        classes.get(current).push(match[2]);
      }
    }
  }
  return classes;
}

// The prototype of the RemoteTerminal that a real shell hands to readyCallback.
function remoteTerminalPrototype() {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    let prototype = null;
    client.connect({
      ...plainLogin(),
      keyboardInteractiveCallback: (name, instruction, prompts, respond) => respond([{ text: plainLogin().password }]),
      connectCallback() {
        client.shell(undefined, (terminal) => {
          prototype = Object.getPrototypeOf(terminal);
          terminal.close();
        });
      },
      disconnectCallback: () => (prototype ? resolve(prototype) : reject(new Error('no shell was opened'))),
      errorCallback: reject,
    });
  });
}

function undocumented(className, methods, bySection) {
  const section = bySection.get(className);
  if (section === undefined) return [`a "## ${className}" section`];
  return methods.filter((method) => !new RegExp(`^### \\S*\\.${method}\\(`, 'm').test(section))
    .map((method) => `${className}: a "### ….${method}(" entry`);
}

test('docs/api.md documents every export and every method of every class', async () => {
  const bySection = sections(reference);
  const missing = [];
  const runtimeClasses = new Map();
  for (const name of Object.keys(quelbar)) {
    const value = quelbar[name];
    const methods = typeof value === 'function' ? methodsOf(value.prototype || {}) : [];
    if (methods.length > 0) {
      runtimeClasses.set(name, methods);
    } else if (!new RegExp(`^#+ \`?${name}\\b`, 'm').test(reference)) {
      missing.push(`a heading for the export ${name}`);
    }
  }
  runtimeClasses.set('RemoteTerminal', methodsOf(await remoteTerminalPrototype()));

  const sourceClasses = classesInSources();
  // The scan must see what run time sees, or it could not be trusted with the classes it alone finds.
  for (const [name, methods] of runtimeClasses) {
    assert.deepStrictEqual([...(sourceClasses.get(name) || [])].sort(), [...methods].sort(),
                           `the native sources' registration of ${name}`);
  }
  for (const [name, methods] of new Map([...sourceClasses, ...runtimeClasses])) {
    missing.push(...undocumented(name, methods, bySection));
  }
  assert.deepStrictEqual(missing, [], 'docs/api.md lacks these');
});

// The README's first example runs as pasted, with its variables pointing at the local sshd.
test("the README's Use example runs as shown", () => {
  const p = peers.load();
  const code = /^## Use\n[^]*?^```js\n([^]*?)^```$/m.exec(fs.readFileSync(path.join(root, 'README.md'), 'utf8'))[1];
  assert.ok(code.includes("require('libquelbar')"));
  const result = spawnSync(process.execPath, ['-e', code.replace("require('libquelbar')", 'require(".")')], {
    cwd: root, encoding: 'utf8', timeout: 30000,
    env: { ...process.env, SSH_HOST: p.host, SSH_PORT: String(p.sshd.plain), SSH_USER: p.user,
           SSH_KEY: p.clientKeys.ed25519, SSH_KNOWN_HOSTS: p.knownHosts },
  });
  assert.strictEqual(result.stderr, '');
  assert.match(result.stdout, new RegExp(`^0 Linux .+\\n0 ${p.user}\\nclosed\\n$`));
});
