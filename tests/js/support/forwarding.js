'use strict';
// Targets and clients for the forwarding tests, all on loopback: a connected SshClient, TCP servers
// that echo, count or send, and a client that sends, half-closes and collects.
const crypto = require('crypto');
const net = require('net');
const { SshClient } = require('../../..');
const { plainLogin } = require('./ssh_session');

// A client logged in to the plain sshd (or where overrides say); `ended` settles with 'disconnected'
// or the Error.
// What the helpers made, so that a test that fails half-way leaves nothing holding the process
// (its file would otherwise run into its timeout).
const made = { clients: new Set(), servers: new Set() };
function closeLeftovers() {
  for (const client of made.clients) client.close();
  for (const s of made.servers) if (s.listening) s.close();
  made.clients.clear();
  made.servers.clear();
}

function connect(overrides = {}) {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    made.clients.add(client);
    let ended;
    const endedPromise = new Promise((r) => { ended = r; });
    client.connect({
      ...plainLogin(),
      ...overrides,
      connectCallback: () => resolve({ client, ended: endedPromise }),
      disconnectCallback: () => ended('disconnected'),
      errorCallback: (error) => { reject(error); ended(error); },
    });
  });
}

// A TCP server on 127.0.0.1 running onSocket for each connection.
function server(onSocket) {
  return new Promise((resolve) => {
    const s = net.createServer({ noDelay: true, allowHalfOpen: true }, onSocket);
    made.servers.add(s);
    s.listen(0, '127.0.0.1', () => resolve(s));
  });
}

// Echoes what it reads and ends when its client ends.
const echoServer = () => server((socket) => socket.pipe(socket));

// Answers, after its client's end, with the byte count and the sha256 of what it read.
const sinkServer = () => server((socket) => {
  const hash = crypto.createHash('sha256');
  let count = 0;
  socket.on('data', (data) => { count += data.length; hash.update(data); });
  socket.on('end', () => socket.end(`${count} ${hash.digest('hex')}`));
});

// Writes `size` bytes of the pattern into socket, respecting back-pressure, then ends its side.
function sendPattern(socket, size) {
  const block = pattern(1 << 20);
  let left = size;
  const pump = () => {
    while (left > 0) {
      const piece = block.subarray(0, Math.min(left, block.length));
      left -= piece.length;
      if (!socket.write(piece)) return socket.once('drain', pump);
    }
    socket.end();
  };
  pump();
}

// Sends `size` bytes of the pattern, then ends.
function sourceServer(size) {
  return server((socket) => {
    socket.on('error', () => {});
    sendPattern(socket, size);
  });
}

function pattern(size) {
  const buffer = Buffer.alloc(size);
  for (let i = 0; i < size; i++) buffer[i] = (i * 31 + 7) & 0xff;
  return buffer;
}

// Connects to port, sends `size` bytes of the pattern, half-closes, and
// resolves with { count, sha256, text } of everything it received until the other end closed.
function exchange(port, size = 0, host = '127.0.0.1') {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ port, host, noDelay: true });
    const hash = crypto.createHash('sha256');
    const chunks = [];
    let count = 0;
    socket.on('data', (data) => {
      count += data.length;
      hash.update(data);
      if (chunks.length < 16) chunks.push(data);
    });
    socket.on('end', () => resolve({ count, sha256: hash.digest('hex'),
                                     text: Buffer.concat(chunks).toString() }));
    socket.on('error', reject);
    socket.on('connect', () => sendPattern(socket, size));
  });
}

// The sha256 of `size` bytes of the pattern, as exchange() and sourceServer() send them.
function patternHash(size) {
  const hash = crypto.createHash('sha256');
  const block = pattern(1 << 20);
  for (let left = size; left > 0; left -= block.length) {
    hash.update(block.subarray(0, Math.min(left, block.length)));
  }
  return hash.digest('hex');
}

// Calls a forwarding method and resolves with { forwarding, boundPort, readyBeforeReturn,
// disconnected } once readyCallback ran (or with forwarding null after `waitMs` without it).
function forward(client, method, options, waitMs = 2000) {
  return new Promise((resolve) => {
    let returned = false;
    let disconnect;
    const disconnected = new Promise((r) => { disconnect = r; });
    const timer = setTimeout(() => resolve({ forwarding: null, disconnected }), waitMs);
    client[method]({
      ...options,
      readyCallback: (forwarding) => {
        clearTimeout(timer);
        resolve({ forwarding, boundPort: forwarding.getBindPort(), readyBeforeReturn: !returned,
                  disconnected });
      },
      disconnectCallback: () => {
        if (options.disconnectCallback) options.disconnectCallback();
        disconnect();
      },
    });
    returned = true;
  });
}

const execText = (client, command) => new Promise((resolve, reject) => {
  client.exec(Buffer.from(command), (status, output) => resolve(`${status}:${output}`), reject);
});

module.exports = { closeLeftovers, connect, server, echoServer, sinkServer, sourceServer, exchange, patternHash,
                   forward, execText };
