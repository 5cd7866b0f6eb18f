'use strict';
// Authentication as a person uses it: passwords, keys, keyboard-interactive answered at once or much
// later, the "Password:" question, partial success, "none", and giving up.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const peers = require('./support/peers');
const { session, describeError } = require('./support/ssh_session');

const AUTHENTICATION_FAILED = -18;
const CONNECTED = ['hostkey', 'connected', 'disconnected'];

function key(kind) {
  return fs.readFileSync(peers.load().clientKeys[kind], 'utf8');
}

function ssh2(username, options = {}) {
  return { port: String(peers.load().ssh2ServerPort), username, ...options };
}

test('password and public keys', async (t) => {
  const p = peers.load();
  await t.test('password option alone, on a server that also offers keyboard-interactive', async () => {
    const record = await session({ password: p.password, keyboardInteractiveCallback: undefined });
    assert.deepStrictEqual(record.events, CONNECTED, JSON.stringify(describeError(record.error)));
  });
  for (const kind of ['ed25519', 'ecdsa', 'rsa']) {
    await t.test(`${kind} key`, async () => {
      const record = await session({ privateKey: key(kind) },
                                   { question: () => assert.fail('asked although the key works') });
      assert.deepStrictEqual(record.events, CONNECTED, JSON.stringify(describeError(record.error)));
    });
  }
  await t.test('encrypted key with its passphrase', async () => {
    const record = await session({ privateKey: key('ed25519Encrypted'), passphrase: p.clientKeyPassphrase },
                                 { question: () => assert.fail('asked although the key works') });
    assert.deepStrictEqual(record.events, CONNECTED, JSON.stringify(describeError(record.error)));
  });
  await t.test('encrypted key with a wrong passphrase falls back to the next method', async () => {
    const record = await session({ privateKey: key('ed25519Encrypted'), passphrase: 'wrong' });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
  });
  await t.test('a key the server does not know falls back to the next method', async () => {
    const record = await session({ privateKey: fs.readFileSync(`${p.hostKeys.ed25519}`, 'utf8') });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
  });
});

// Buffers (fs.readFileSync, no encoding) are read as UTF-8; an unreadable key is a refused attempt, named as such.
test('credentials given as Buffers; an unreadable private key', async (t) => {
  const p = peers.load();
  const unreadable = { privateKey: 'not a key' };
  const cases = [
    ['an encrypted key and its passphrase as Buffers', CONNECTED,
     { privateKey: fs.readFileSync(p.clientKeys.ed25519Encrypted), passphrase: Buffer.from(p.clientKeyPassphrase) }],
    ['a password as bytes', CONNECTED, { password: new TextEncoder().encode(p.password) }],
    ['an unreadable key, then a password that works', CONNECTED, { ...unreadable, password: p.password }],
    ['an unreadable key alone', ['hostkey', 'error'], unreadable],
    ['an unreadable key, then a wrong password', ['hostkey', 'error'], { ...unreadable, password: 'wrong' }],
  ];
  for (const [name, events, options] of cases) {
    await t.test(name, async () => {
      const record = await session({ ...options, keyboardInteractiveCallback: undefined });
      const error = describeError(record.error);
      assert.deepStrictEqual(record.events, events, JSON.stringify(error));
      if (error) {
        assert.deepStrictEqual([error.type, error.code], [2, AUTHENTICATION_FAILED], error.message);
        assert.match(error.message, /^Authentication failed .*\(methods the server accepts: /);
        assert.match(error.message, /; the private key was not used: .*Unsupported private key file format$/);
      }
    });
  }
});

test('keyboard-interactive: the server sees one exchange, however late the answer', async (t) => {
  for (const [name, delay] of [['answered at once', null], ['answered a second later', 1000]]) {
    await t.test(name, async () => {
      // kbd-once refuses for good when its first exchange does not carry the right answer.
      const record = await session(ssh2('kbd-once'), {
        question: (respond) => {
          const answer = () => respond([{ text: 'secret' }]);
          delay === null ? answer() : setTimeout(answer, delay);
        },
      });
      assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected'],
                             JSON.stringify(describeError(record.error)));
      assert.deepStrictEqual(record.questions, [
        { name: '', instruction: '', prompts: [{ text: 'Password: ', echo: false }] },
      ]);
    });
  }
  await t.test('two prompts with their names, instruction and echo flags', async () => {
    const record = await session(ssh2('kbd2'), {
      question: (respond) => setTimeout(() => respond([{ text: 'one' }, { text: 'two' }]), 50),
    });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
    assert.deepStrictEqual(record.questions, [{
      name: 'Test server', instruction: 'Please answer',
      prompts: [{ text: 'First: ', echo: true }, { text: 'Second: ', echo: false }],
    }]);
  });
  await t.test('PAM on OpenSSH, answered later', async () => {
    const p = peers.load();
    const record = await session({}, {
      question: (respond) => setTimeout(() => respond([{ text: p.password }]), 300),
    });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
  });
});

test('the "Password:" question after a refused password, and the attempt limit', async (t) => {
  const PASSWORD_QUESTION = { name: '', instruction: '', prompts: [{ text: 'Password:', echo: false }] };
  await t.test('no password option: asked, and the answer is sent as the password', async () => {
    const record = await session(ssh2('password'), { question: (respond) => respond([{ text: 'secret' }]) });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
    assert.deepStrictEqual(record.questions, [PASSWORD_QUESTION]);
  });
  await t.test('a wrong password option: asked again, answered later', async () => {
    const record = await session(ssh2('password', { password: 'wrong' }), {
      question: (respond) => setTimeout(() => respond([{ text: 'secret' }]), 100),
    });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected']);
    assert.deepStrictEqual(record.questions, [PASSWORD_QUESTION]);
  });
  await t.test('three refused passwords end authentication', async () => {
    const record = await session(ssh2('password', { password: 'wrong' }), {
      question: (respond) => respond([{ text: 'still wrong' }]),
    });
    assert.deepStrictEqual(record.events, ['hostkey', 'question', 'question', 'error']);
    const error = describeError(record.error);
    assert.strictEqual(error.type, 2);
    assert.strictEqual(error.code, AUTHENTICATION_FAILED);
    assert.match(error.message, /Authentication failed.*password/);
  });
});

test('partial success: public key, then password', async () => {
  const p = peers.load();
  const record = await session({ port: String(p.sshd.partial), privateKey: key('ed25519'),
                                 password: p.password, keyboardInteractiveCallback: undefined });
  assert.deepStrictEqual(record.events, CONNECTED, JSON.stringify(describeError(record.error)));
});

test('partial success asks for the password when none is given', async () => {
  const p = peers.load();
  const record = await session({ port: String(p.sshd.partial), privateKey: key('ed25519') });
  assert.deepStrictEqual(record.events, ['hostkey', 'question', 'connected', 'disconnected'],
                         JSON.stringify(describeError(record.error)));
});

test('a server that would keep the client authenticating for ever gets one error', async (t) => {
  const cases = {
    // the same key answered "partial success, publickey" again and again
    'key-partial-forever': { privateKey: key('ed25519') },
    // after the password's partial success, a key that cannot be opened: nothing goes to the
    // server, so the last answer on record stays that partial success
    'password-then-key': { password: 'secret', privateKey: key('ed25519Encrypted'), passphrase: 'wrong' },
    // a second round of prompts libssh2 will not take: the server would wait for answers for ever
    'kbd-too-many-later': {},
  };
  for (const [user, options] of Object.entries(cases)) {
    await t.test(user, async () => {
      const record = await session(ssh2(user, options), { question: (respond) => respond([{ text: 'x' }]) });
      assert.strictEqual(record.events.at(-1), 'error', JSON.stringify(record.events));
      assert.strictEqual(record.events.filter((e) => e === 'error' || e === 'disconnected').length, 1);
      assert.strictEqual(record.error.libquelbar_error_type, 2);
    });
  }
});

test('"none" accepted by the server: no question at all', async () => {
  const record = await session(ssh2('none', { password: 'unused' }),
                               { question: () => assert.fail('asked although "none" works') });
  assert.deepStrictEqual(record.events, CONNECTED);
});

test('giving up ends authentication cleanly with one error', async (t) => {
  const cases = {
    'an empty answer list': (respond) => respond([]),
    'an empty answer list, later': (respond) => setTimeout(() => respond([]), 100),
    'not an array': (respond) => respond('secret'),
    'an empty password': (respond) => respond([{ text: '' }]),
  };
  for (const [name, answer] of Object.entries(cases)) {
    await t.test(name, async () => {
      const user = name === 'an empty password' ? 'password' : 'kbd';
      const record = await session(ssh2(user), { question: answer });
      assert.deepStrictEqual(record.events, ['hostkey', 'question', 'error']);
      const error = describeError(record.error);
      assert.strictEqual(error.type, 2);
      assert.strictEqual(error.code, AUTHENTICATION_FAILED);
      assert.match(error.message, /^Authentication cancelled/);
    });
  }
  await t.test('a user the server refuses outright', async () => {
    const record = await session(ssh2('nobody-here'));
    assert.deepStrictEqual(record.events, ['hostkey', 'error']);
    assert.strictEqual(record.error.libquelbar_error_code, AUTHENTICATION_FAILED);
  });
});
