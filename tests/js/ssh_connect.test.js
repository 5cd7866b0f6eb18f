'use strict';
// Reaching the SSH server: directly and through every kind of proxy, and each way of failing to.
const test = require('node:test');
const assert = require('node:assert');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const peers = require('./support/peers');
const { session, describeError } = require('./support/ssh_session');

const UV_ECONNREFUSED = -os.constants.errno.ECONNREFUSED;
const UV_ENETUNREACH = -os.constants.errno.ENETUNREACH;
const UV_EOF = -4095;
const UV_EAI_NONAME = -3008;
const UV_EINVAL = -os.constants.errno.EINVAL;
const LIBSSH2_ERROR_REQUEST_DENIED = -32;
const LIBSSH2_ERROR_INVAL = -34;
const LIBSSH2_ERROR_BANNER_RECV = -2;
const CONNECTED = ['hostkey', 'question', 'connected', 'disconnected'];

test('connects directly and through each proxy kind', async (t) => {
  const p = peers.load();
  const routes = {
    direct: {},
    'port given as a number, its fraction dropped': { port: p.sshd.plain + 0.7 },
    // An unknown type is refused (below), so this went through the proxy; a Buffer is read as its text.
    'SOCKS5 in capitals, host a Buffer':
      { host: Buffer.from(p.host), proxy: { type: 'SOCKS5', host: p.host, port: String(p.socksPort) } },
    'HTTP proxy': { proxy: { type: 'http', host: p.host, port: String(p.httpProxy.port) } },
    'HTTP proxy with Basic credentials': {
      proxy: { type: 'http', host: p.host, port: String(p.httpProxy.authPort),
               username: p.httpProxy.user, password: p.httpProxy.password },
    },
    'SOCKS4 proxy': { proxy: { type: 'socks4', host: p.host, port: String(p.socksPort) } },
    'SOCKS5 proxy': { proxy: { type: 'socks5', host: p.host, port: String(p.socksPort) } },
    // The name goes to the proxy, which resolves it.
    'SOCKS4a proxy': { host: 'localhost', proxy: { type: 'socks4', host: p.host, port: p.socks4aPort } },
  };
  for (const [name, options] of Object.entries(routes)) {
    await t.test(name, async () => {
      const record = await session(options);
      assert.deepStrictEqual(record.events, CONNECTED, JSON.stringify(describeError(record.error)));
      assert.strictEqual(record.hostKeys[0].result, 2);
    });
  }
});

test('each failure to reach the server is one errorCallback that says what failed', async (t) => {
  const p = peers.load();
  const [web, silent] = [http.createServer(), net.createServer((socket) => socket.end())];
  for (const server of [web, silent]) await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  // What answers may be no SSH server at all: saying so, with what it sent, beats a key exchange error.
  const notSsh = (port, what) => ({ options: { port: String(port) }, type: 2, code: LIBSSH2_ERROR_BANNER_RECV,
    message: new RegExp(`^The server at 127\\.0\\.0\\.1:${port} does not speak SSH: ${what}`) });
  const cases = [
    { name: 'a web server', ...notSsh(web.address().port, 'it sent "HTTP/1\\.1 400 Bad Request"') },
    // Its login echoes our own version line back, which libssh2 alone takes for the server's.
    { name: 'a Telnet server', ...notSsh(p.telnet.busybox, 'it sent "\\\\xff\\\\xfd\\\\x01') },
    { name: 'a server that closes at once',
      ...notSsh(silent.address().port, 'it closed the connection without sending anything') },
    {
      name: 'a proxy that refuses the tunnel (no credentials)',
      options: { proxy: { type: 'http', host: p.host, port: String(p.httpProxy.authPort) } },
      type: 2, code: LIBSSH2_ERROR_REQUEST_DENIED, message: /HTTP proxy.*407/,
    },
    { name: 'an unknown proxy type', options: { proxy: { type: 'sock5', host: p.host, port: String(p.socksPort) } },
      type: 1, code: UV_EINVAL,
      message: /^The proxy type "sock5" is unknown \(use "http", "socks4" or "socks5"\); nothing was connected$/ },
    {
      name: 'a wrong proxy password',
      options: { proxy: { type: 'http', host: p.host, port: String(p.httpProxy.authPort),
                          username: p.httpProxy.user, password: 'wrong' } },
      type: 2, code: LIBSSH2_ERROR_REQUEST_DENIED, message: /HTTP proxy.*40[17]/,
    },
    {
      name: 'a SOCKS5 proxy whose target refuses',
      options: { port: '1', proxy: { type: 'socks5', host: p.host, port: String(p.socksPort) } },
      type: 2, code: LIBSSH2_ERROR_REQUEST_DENIED, message: /SOCKS5 proxy/,
    },
    {
      name: 'a SOCKS4 proxy whose target refuses',
      options: { port: '1', proxy: { type: 'socks4', host: p.host, port: String(p.socksPort) } },
      type: 2, code: LIBSSH2_ERROR_REQUEST_DENIED, message: /SOCKS4 proxy/,
    },
    {
      name: 'a port that is no number, through a proxy',
      options: { port: 'ssh', proxy: { type: 'http', host: p.host, port: String(p.httpProxy.port) } },
      type: 2, code: LIBSSH2_ERROR_INVAL, message: /port "ssh" is not a number/,
    },
    {
      // The kernel refuses a TCP connection to a multicast address at once; nothing is sent.
      name: 'an unreachable host',
      options: { host: '224.0.0.1' },
      type: 1, code: UV_ENETUNREACH, message: /^Cannot connect to 224\.0\.0\.1:\d+: network is unreachable$/,
    },
    {
      name: 'a refused port',
      options: { port: '1' },
      type: 1, code: UV_ECONNREFUSED, message: /^Cannot connect to 127\.0\.0\.1:1: connection refused$/,
    },
    {
      name: 'a refused proxy port',
      options: { proxy: { type: 'socks5', host: p.host, port: '1' } },
      type: 1, code: UV_ECONNREFUSED, message: /^Cannot connect to SOCKS5 proxy 127\.0\.0\.1:1: connection refused$/,
    },
    {
      // The resolver would take the port modulo 65536 and reach the SSH server after all.
      name: 'a port beyond 65535',
      options: { port: String(p.sshd.plain + 65536) },
      type: 1, code: UV_EINVAL, message: /^The port \d+ is out of range \(0 to 65535\)$/,
    },
    {
      name: 'a port beyond what an int holds',
      options: { port: String(2 ** 32 + p.sshd.plain) },
      type: 1, code: UV_EINVAL, message: /^The port \d+ is out of range \(0 to 65535\)$/,
    },
    {
      // A label longer than 63 bytes fails in the resolver itself, without a query leaving the machine.
      name: 'a name that does not resolve',
      options: { host: `${'x'.repeat(70)}.invalid` },
      type: 1, code: UV_EAI_NONAME, message: /^Cannot resolve the address of x+\.invalid:\d+: unknown node or service$/,
    },
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const record = await session(c.options);
      assert.deepStrictEqual(record.events, ['error']);
      const error = describeError(record.error);
      assert.strictEqual(error.type, c.type, error.message);
      assert.strictEqual(error.code, c.code, error.message);
      assert.match(error.message, c.message);
      assert.ok(record.error instanceof Error);
    });
  }
  web.close();
  silent.close();
});

test('a server that closes during the handshake ends in one network error', async (t) => {
  for (const [name, greet] of [['after its banner', 'SSH-2.0-Test\r\n']]) {
    await t.test(name, async () => {
      const server = net.createServer((socket) => socket.end(greet));
      await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
      try {
        const record = await session({ port: String(server.address().port) });
        assert.deepStrictEqual(record.events, ['error']);
        assert.deepStrictEqual(describeError(record.error), {
          type: 1, code: UV_EOF,
          message: 'The server closed the connection before the session was set up: end of file',
        });
      } finally {
        server.close();
      }
    });
  }
});

test('a proxy that closes in the middle of its reply is named in the error', async (t) => {
  const replies = { http: 'HTTP/1.1 20', socks4: Buffer.from([0, 90, 0]), socks5: Buffer.from([5]) };
  for (const [type, reply] of Object.entries(replies)) {
    await t.test(type, async () => {
      const proxy = net.createServer((socket) => socket.once('data', () => socket.end(reply)));
      await new Promise((resolve) => proxy.listen(0, '127.0.0.1', resolve));
      try {
        const port = String(proxy.address().port);
        const record = await session({ proxy: { type, host: '127.0.0.1', port } });
        assert.deepStrictEqual(record.events, ['error']);
        assert.deepStrictEqual(describeError(record.error), {
          type: 1, code: UV_EOF,
          message: `The connection through ${type.toUpperCase()} proxy 127.0.0.1:${port} was ` +
                   'closed before the session was set up: end of file',
        });
      } finally {
        proxy.close();
      }
    });
  }
});

test('a server that sends garbage during the handshake ends in one protocol error', async () => {
  const server = net.createServer((socket) => {
    socket.write('SSH-2.0-Test\r\n');
    socket.end(Buffer.alloc(64 * 1024, 0xa5));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    const record = await session({ port: String(server.address().port) });
    assert.deepStrictEqual(record.events, ['error']);
    assert.strictEqual(record.error.libquelbar_error_type, 2, record.error.message);
    assert.match(record.error.message, /^SSH handshake with 127\.0\.0\.1:\d+ failed: .+/);
  } finally {
    server.close();
  }
});

test('connect reads odd options without throwing', async () => {
  const { SshClient } = require('../..');
  const client = new SshClient();
  assert.strictEqual(client.connect(undefined), undefined);
  assert.strictEqual(client.close(), undefined);
  const plain = SshClient();
  assert.ok(plain instanceof SshClient);
  const record = await session({ port: { toString() { throw new Error('no'); } },
                                 knownhosts: 'not a list', environmentVariables: 7,
                                 keepaliveInterval: 'soon' });
  assert.deepStrictEqual(record.events, ['error']);
  assert.throws(() => SshClient.prototype.connect.call({}, {}), TypeError);
});
