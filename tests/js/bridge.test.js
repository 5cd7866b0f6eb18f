'use strict';
// The conversions between script and core values, through a test-only module built from the same
// bridge code as quelbar.node.
const test = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const path = require('node:path');

// Built beside the module under test.
const buildDir = process.env.LIBQUELBAR_ADDON ? path.dirname(process.env.LIBQUELBAR_ADDON)
  : path.join(__dirname, '..', '..', 'build');
const hooksPath = path.join(buildDir, 'bridge_hooks.node');
const hooks = require(hooksPath);

function runChild(source, flags = []) {
  const result = spawnSync(process.execPath, [...flags, '-e', source], { timeout: 20000 });
  return { status: result.status, signal: result.signal, stdout: result.stdout.toString(),
           stderr: result.stderr.toString() };
}

test('values become text only when they are strings', () => {
  for (const value of [22, true, undefined, null, {}, new String('x'), Symbol('s'), () => 'f']) {
    assert.strictEqual(hooks.toStdString(value).length, 0, String(typeof value));
  }
  assert.deepStrictEqual([...hooks.toStdString('a\u0000b')], [0x61, 0, 0x62]);
  assert.strictEqual(hooks.toStdString('h\u00e9llo \u{1f600}').toString(), 'h\u00e9llo \u{1f600}');

  assert.strictEqual(hooks.readInt32(5.7), 5);
  assert.strictEqual(hooks.readInt32(-2), -2);
  for (const value of ['5', undefined, null, {}, true]) assert.strictEqual(hooks.readInt32(value), -1);

  const bytes = Buffer.from('0123456789');
  assert.strictEqual(hooks.toByteString(bytes).toString(), '0123456789');
  assert.strictEqual(hooks.toByteString(new Uint8Array(bytes).subarray(2, 5)).toString(), '234');
  assert.strictEqual(hooks.toByteString('0123').length, 0);
  assert.strictEqual(hooks.toByteString([1, 2]).length, 0);
});

test('property reads never throw into the module', () => {
  const throwing = { get text() { throw new Error('getter'); } };
  assert.strictEqual(hooks.propertyText(throwing), '');
  assert.strictEqual(hooks.propertyText(new Proxy({}, { get() { throw new Error('trap'); } })), '');
  assert.strictEqual(hooks.propertyText(null), '');
  assert.strictEqual(hooks.propertyText({ text: 'ok' }), 'ok');
});

test('error records become Error objects with type and code', () => {
  const error = hooks.errorToJs(2, -18, 'Authentication failed');
  assert.ok(error instanceof Error);
  assert.strictEqual(error.message, 'Authentication failed');
  assert.strictEqual(error.libquelbar_error_type, 2);
  assert.strictEqual(error.libquelbar_error_code, -18);
  const closed = hooks.errorToJs(3, 0, 'Forced to close by user\u0000tail');
  assert.strictEqual(closed.message, 'Forced to close by user');
  assert.strictEqual(closed.libquelbar_error_code, 0);
});

test('a done function decides once; later and re-entrant calls do nothing', () => {
  const decisions = [];
  const done = hooks.decision((accepted) => decisions.push(accepted));
  done(true);       // the continuation calls done(true) again from inside: nothing happens
  done(false);
  assert.deepStrictEqual(decisions, [true]);

  for (const value of [1, 'true', {}, undefined, false]) {
    const seen = [];
    hooks.decision((accepted) => seen.push(accepted))(value);
    assert.deepStrictEqual(seen, [false], String(value));
  }
});

test('a respond function reads one answer per element, whatever the element', () => {
  let answers;
  const released = [];
  const respond = hooks.responder((texts) => { answers = texts; }, () => released.push(1));
  const throwing = { get text() { throw new Error('getter'); } };
  respond([{ text: 'a' }, {}, 'x', null, undefined, { text: 5 }, throwing]);
  assert.deepStrictEqual(answers, ['a', '', '', '', '', '', '']);
  respond([{ text: 'again' }]);
  assert.deepStrictEqual(answers, ['a', '', '', '', '', '', '']);
  assert.deepStrictEqual(released, [1]);

  for (const value of [undefined, {}, 'a', { length: 2, 0: { text: 'x' } }]) {
    hooks.responder((texts) => { answers = texts; })(value);
    assert.deepStrictEqual(answers, [], String(value));
  }
  hooks.responder((texts) => { answers = texts; })(new Array(1e7));
  assert.strictEqual(answers.length, 1024);
});

test('an unanswered respond function is released after garbage collection, not during it', () => {
  const out = runChild(`
    const hooks = require(${JSON.stringify(hooksPath)});
    const events = [];
    (() => { hooks.responder(() => events.push('answered'), () => events.push('released')); })();
    const timer = setInterval(() => {}, 1000);
    gc();
    events.push('after gc');
    setTimeout(() => {
      clearInterval(timer);
      process.stdout.write(events.join(','));
    }, 50);
  `, ['--expose-gc']);
  assert.strictEqual(out.stdout, 'after gc,released', out.stderr);
});

test('a throwing callback reaches uncaughtException and the module goes on', () => {
  const out = runChild(`
    const hooks = require(${JSON.stringify(hooksPath)});
    let calls = 0;
    const caught = [];
    process.on('uncaughtException', (e) => caught.push(e.message));
    const result = hooks.callVoid(() => { calls++; throw new Error('boom' + calls); });
    const errResult = hooks.callError((e) => { throw new Error(e.message + '!'); }, 'bad');
    process.stdout.write(JSON.stringify({ result, errResult, calls, caught }));
  `);
  assert.strictEqual(out.status, 0, out.stderr);
  assert.deepStrictEqual(JSON.parse(out.stdout), {
    result: 'after', errResult: 'after', calls: 2, caught: ['boom1', 'boom2', 'bad!'],
  });
});

test('callbacks that are not functions keep their defaults and never crash', () => {
  for (const value of [undefined, null, 5, 'fn', {}, Symbol('x')]) {
    assert.strictEqual(hooks.callVoid(value), 'after');
    assert.strictEqual(hooks.callError(value, 'x'), 'after');
  }
});
