'use strict';
// Tunnels stdin/stdout through a proxy to HOST:PORT, for OpenSSH's ProxyCommand (the netcat on this machine,
// busybox's, speaks no proxy protocol):
//   node proxy-command.js KIND PROXY_HOST:PROXY_PORT HOST PORT [USER [PASSWORD]]
// KIND is http (CONNECT, Basic auth with USER and PASSWORD), socks4 (HOST an IPv4 address, USER as user
// id), socks4a (HOST a name the proxy resolves) or socks5 (username/password auth when USER is given).
// A refusal ends the process with status 1 and the proxy's answer on stderr.
const net = require('net');

const [kind, proxy, host, portText, user, password = ''] = process.argv.slice(2);
const port = Number(portText);

function fail(message) {
  process.stderr.write(`proxy-command: ${message}\n`);
  process.exit(1);
}

// Hands the handshake exactly the bytes it asks for; what the proxy sent beyond its answer already belongs
// to the tunnel and goes to stdout (rest()).
function reader(socket) {
  let buffered = Buffer.alloc(0);
  let waiting = null;
  let ended = false;
  const settle = () => {
    if (!waiting) return;
    const end = waiting.find(buffered);
    if (end < 0 && ended) fail('the proxy closed the connection mid-handshake');
    if (end < 0) return;
    const { resolve } = waiting;
    waiting = null;
    const taken = buffered.subarray(0, end);
    buffered = buffered.subarray(end);
    resolve(taken);
  };
  socket.on('data', (chunk) => {
    buffered = Buffer.concat([buffered, chunk]);
    if (buffered.length > 64 * 1024) fail('the proxy sent an oversized answer');
    settle();
  });
  socket.on('end', () => {
    ended = true;
    settle();
  });
  return {
    bytes(count) {
      return new Promise((resolve) => {
        waiting = { resolve, find: (buf) => (buf.length >= count ? count : -1) };
        settle();
      });
    },
    through(marker) {
      return new Promise((resolve) => {
        waiting = {
          resolve,
          find: (buf) => {
            const at = buf.indexOf(marker);
            return at < 0 ? -1 : at + marker.length;
          },
        };
        settle();
      });
    },
    rest: () => buffered,
  };
}

async function http(socket, input) {
  const target = `${host}:${port}`;
  let request = `CONNECT ${target} HTTP/1.1\r\nHost: ${target}\r\n`;
  if (user !== undefined) {
    request += `Proxy-Authorization: Basic ${Buffer.from(`${user}:${password}`).toString('base64')}\r\n`;
  }
  socket.write(request + '\r\n');
  const head = (await input.through('\r\n\r\n')).toString('latin1');
  const status = head.split('\r\n')[0];
  if (!/^HTTP\/1\.[01] 2\d\d /.test(status + ' ')) fail(`the proxy refused CONNECT: ${status}`);
}

async function socks4(socket, input, byName) {
  const header = Buffer.alloc(8);
  header[0] = 4;
  header[1] = 1;
  header.writeUInt16BE(port, 2);
  if (byName) {
    header[7] = 1;
  } else {
    if (!net.isIPv4(host)) fail(`SOCKS4 needs an IPv4 address, not ${host}`);
    host.split('.').forEach((octet, i) => (header[4 + i] = Number(octet)));
  }
  const parts = [header, Buffer.from(`${user || ''}\0`)];
  if (byName) parts.push(Buffer.from(`${host}\0`));
  socket.write(Buffer.concat(parts));
  const answer = await input.bytes(8);
  if (answer[1] !== 0x5a) fail(`the proxy refused the SOCKS4 request: code 0x${answer[1].toString(16)}`);
}

async function socks5(socket, input) {
  const method = user === undefined ? 0 : 2;
  socket.write(Buffer.from([5, 1, method]));
  const choice = await input.bytes(2);
  if (choice[1] !== method) fail(`the proxy refused SOCKS5 method ${method}: answer ${choice[1]}`);
  if (method === 2) {
    const name = Buffer.from(user);
    const secret = Buffer.from(password);
    socket.write(Buffer.concat([Buffer.from([1, name.length]), name, Buffer.from([secret.length]), secret]));
    const status = await input.bytes(2);
    if (status[1] !== 0) fail(`the proxy rejected user ${user}`);
  }
  let address;
  if (net.isIPv4(host)) {
    address = Buffer.from([1, ...host.split('.').map(Number)]);
  } else {
    address = Buffer.concat([Buffer.from([3, Buffer.byteLength(host)]), Buffer.from(host)]);
  }
  const portBytes = Buffer.alloc(2);
  portBytes.writeUInt16BE(port);
  socket.write(Buffer.concat([Buffer.from([5, 1, 0]), address, portBytes]));
  const head = await input.bytes(5);
  if (head[1] !== 0) fail(`the proxy refused the SOCKS5 CONNECT: reply ${head[1]}`);
  const addressLength = { 1: 4, 3: 1 + head[4], 4: 16 }[head[3]];
  if (addressLength === undefined) fail(`the proxy answered with address type ${head[3]}`);
  await input.bytes(addressLength - 1 + 2);
}

const handshakes = {
  http,
  socks4: (socket, input) => socks4(socket, input, false),
  socks4a: (socket, input) => socks4(socket, input, true),
  socks5,
};

if (!handshakes[kind] || !proxy || !host || !port) {
  fail('usage: proxy-command.js http|socks4|socks4a|socks5 PROXY_HOST:PROXY_PORT HOST PORT ' +
       '[USER [PASSWORD]]');
}
const colon = proxy.lastIndexOf(':');
const [proxyHost, proxyPort] = [proxy.slice(0, colon), Number(proxy.slice(colon + 1))];
const socket = net.connect({ host: proxyHost, port: proxyPort, allowHalfOpen: true });
socket.setNoDelay(true);
socket.on('error', (err) => fail(`${kind} proxy ${proxy}: ${err.message}`));
socket.once('connect', async () => {
  const input = reader(socket);
  await handshakes[kind](socket, input);
  socket.removeAllListeners('data');
  socket.removeAllListeners('end');
  if (input.rest().length) process.stdout.write(input.rest());
  socket.pipe(process.stdout);
  process.stdin.pipe(socket);
});
