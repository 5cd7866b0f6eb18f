'use strict';
// Forward ports through SSH: `node examples/forwarding.js`. Starts an OpenSSH server of its own and a
// small TCP service on 127.0.0.1 that answers each line it reads in capitals. A local forwarding
// carries one line to the service and its answer back; then a dynamic forwarding (a SOCKS5 server
// here) is asked once, by a SOCKS5 client written out below, to reach the same service through the
// SSH server. Each step prints what it did.
const net = require('node:net');
const path = require('node:path');
const { SshClient } = require(path.join(__dirname, '..'));
const { runExample } = require('./support/local-servers');

// Answers every line with the line in capitals.
function startService() {
  return new Promise((resolve) => {
    const service = net.createServer((socket) => {
      let pending = '';
      socket.on('data', (data) => {
        pending += data;
        let end;
        while ((end = pending.indexOf('\n')) >= 0) {
          socket.write(`${pending.slice(0, end).toUpperCase()}\n`);
          pending = pending.slice(end + 1);
        }
      });
      socket.on('end', () => socket.end());
    });
    service.listen(0, '127.0.0.1', () => resolve(service));
  });
}

// Reads from socket until the bytes received satisfy done(buffer), which gives what to resolve with.
function readUntil(socket, done) {
  return new Promise((resolve, reject) => {
    let received = Buffer.alloc(0);
    const onData = (data) => {
      received = Buffer.concat([received, data]);
      const result = done(received);
      if (result !== undefined) {
        socket.off('data', onData);
        resolve(result);
      }
    };
    socket.on('data', onData);
    socket.once('error', reject);
    socket.once('end', () => reject(new Error('the connection ended early')));
  });
}

// Sends one line over a connected socket and resolves with the line that comes back.
async function askLine(socket, line) {
  socket.write(`${line}\n`);
  return readUntil(socket, (received) => {
    const end = received.indexOf('\n');
    return end >= 0 ? received.subarray(0, end).toString() : undefined;
  });
}

const connectTo = (port) => new Promise((resolve, reject) => {
  const socket = net.connect(port, '127.0.0.1', () => resolve(socket));
  socket.once('error', reject);
});

// A forwarding of the given kind; resolves once it listens, with it and a promise of its end.
function forward(client, method, options) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${method} did not start listening`)), 10000);
    let ended;
    const end = new Promise((r) => { ended = r; });
    client[method]({
      ...options,
      readyCallback(forwarding) {
        clearTimeout(timer);
        resolve({ forwarding, end });
      },
      disconnectCallback() {
        console.log(`${method} has ended`);
        ended();
      },
    });
  });
}

async function useLocalForwarding(client, servicePort) {
  const { forwarding, end } = await forward(client, 'localPortForwarding', {
    bindAddress: '127.0.0.1', port: 0, host: '127.0.0.1', hostPort: servicePort,
  });
  const port = forwarding.getBindPort();
  console.log(`local forwarding listens on ${forwarding.getBindAddress()}:${port}; the SSH server connects ` +
              `to 127.0.0.1:${servicePort}`);
  const socket = await connectTo(port);
  console.log(`sent "hello through the tunnel", got back "${await askLine(socket, 'hello through the tunnel')}"`);
  socket.end();
  forwarding.close();
  await end;
}

async function useDynamicForwarding(client, servicePort) {
  const { forwarding, end } = await forward(client, 'dynamicPortForwarding', { bindAddress: '127.0.0.1', port: 0 });
  const port = forwarding.getBindPort();
  console.log(`dynamic forwarding (SOCKS) listens on ${forwarding.getBindAddress()}:${port}`);
  const socket = await connectTo(port);
  // SOCKS5: version 5, one method offered, "no authentication" (0).
  socket.write(Buffer.from([5, 1, 0]));
  const method = await readUntil(socket, (r) => (r.length >= 2 ? r[1] : undefined));
  console.log(`SOCKS5 method chosen: ${method === 0 ? 'no authentication' : method}`);
  // CONNECT (1) to a domain name (address type 3): the SSH server resolves it.
  const host = Buffer.from('127.0.0.1');
  socket.write(Buffer.concat([Buffer.from([5, 1, 0, 3, host.length]), host,
                              Buffer.from([servicePort >> 8, servicePort & 255])]));
  const reply = await readUntil(socket, (r) => (r.length >= 10 ? r[1] : undefined));
  console.log(`SOCKS5 CONNECT to ${host}:${servicePort}: ${reply === 0 ? 'granted' : `refused (${reply})`}`);
  console.log(`sent "hello through socks", got back "${await askLine(socket, 'hello through socks')}"`);
  socket.end();
  forwarding.close();
  await end;
}

runExample('forwarding', async (servers) => {
  const server = await servers.sshd();
  const service = await startService();
  const servicePort = service.address().port;
  console.log(`started an OpenSSH server on ${server.host}:${server.port} and a service on 127.0.0.1:${servicePort}`);
  try {
    await new Promise((resolve, reject) => {
      const client = new SshClient();
      client.connect({
        host: server.host,
        port: String(server.port),
        username: server.username,
        privateKey: server.privateKey,
        knownhosts: [server.knownhostsLine],
        knownhostsCallback: (result, fingerprint, publicKey, type, done) => done(false),
        connectCallback() {
          console.log(`connected as ${server.username}`);
          useLocalForwarding(client, servicePort)
            .then(() => useDynamicForwarding(client, servicePort))
            .catch((error) => console.log(`failed: ${error.message}`))
            .finally(() => client.close());
        },
        disconnectCallback() {
          console.log('the session has ended');
          resolve();
        },
        errorCallback: reject,
      });
    });
  } finally {
    service.close();
  }
});
