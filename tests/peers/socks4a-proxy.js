'use strict';
// SOCKS4 and SOCKS4a proxy peer (dante refuses 4a): CONNECT only, to loopback targets only; a 4a host name is
// resolved here, by the proxy. The user id is accepted whatever it is and logged.
// Usage: node socks4a-proxy.js PORT
const dns = require('dns');
const net = require('net');

const port = Number(process.argv[2] || process.env.QUELBAR_SOCKS4A_PORT);
const MAX_REQUEST = 1024; // header, user id and host name together
const GRANTED = 0x5a;
const REJECTED = 0x5b;

function log(...args) {
  console.error(new Date().toISOString(), 'socks4a:', ...args);
}

// Returns the parsed request, null while more bytes are needed, or an Error for a request we refuse.
function parseRequest(buf) {
  if (buf.length < 8) return null;
  if (buf[0] !== 4) return new Error(`not SOCKS4 (version byte ${buf[0]})`);
  const userEnd = buf.indexOf(0, 8);
  if (userEnd < 0) return buf.length > MAX_REQUEST ? new Error('request too long') : null;
  const request = {
    command: buf[1],
    port: buf.readUInt16BE(2),
    host: `${buf[4]}.${buf[5]}.${buf[6]}.${buf[7]}`,
    userId: buf.toString('latin1', 8, userEnd),
    length: userEnd + 1,
  };
  // 0.0.0.x with x != 0 announces that a host name follows the user id.
  if (buf[4] === 0 && buf[5] === 0 && buf[6] === 0 && buf[7] !== 0) {
    const hostEnd = buf.indexOf(0, userEnd + 1);
    if (hostEnd < 0) return buf.length > MAX_REQUEST ? new Error('request too long') : null;
    request.host = buf.toString('latin1', userEnd + 1, hostEnd);
    request.byName = true;
    request.length = hostEnd + 1;
  }
  return request;
}

function reply(client, code, port = 0, address = '0.0.0.0') {
  const answer = Buffer.alloc(8);
  answer[1] = code;
  answer.writeUInt16BE(port, 2);
  address.split('.').forEach((octet, i) => (answer[4 + i] = Number(octet)));
  client.write(answer);
}

function isLoopback(address) {
  return net.isIPv4(address) && address.startsWith('127.');
}

function connectTarget(client, request, address, rest) {
  const who = `${client.remoteAddress}:${client.remotePort} user "${request.userId}"`;
  if (!isLoopback(address)) {
    log(who, `refused ${request.host}:${request.port}: ${address} is not a loopback address`);
    reply(client, REJECTED);
    return client.end();
  }
  const target = net.connect({ host: address, port: request.port, allowHalfOpen: true });
  target.setNoDelay(true);
  target.once('error', (err) => {
    log(who, `cannot reach ${request.host}:${request.port}: ${err.message}`);
    reply(client, REJECTED);
    client.end();
  });
  target.once('connect', () => {
    log(who, `connected to ${request.host}:${request.port} (${address})`);
    target.removeAllListeners('error');
    target.on('error', () => client.destroy());
    client.on('error', () => target.destroy());
    reply(client, GRANTED, request.port, address);
    if (rest.length) target.write(rest);
    client.pipe(target);
    target.pipe(client);
    client.resume();
  });
}

function handle(client) {
  let buf = Buffer.alloc(0);
  client.setNoDelay(true);
  client.on('error', (err) => log('client error:', err.message));
  const onEndBeforeRequest = () => client.end();
  client.once('end', onEndBeforeRequest);
  const onData = (chunk) => {
    buf = Buffer.concat([buf, chunk]);
    const request = parseRequest(buf);
    if (request === null) return;
    client.removeListener('data', onData);
    client.removeListener('end', onEndBeforeRequest);
    client.pause();
    if (request instanceof Error || request.command !== 1) {
      log(`refused request from ${client.remoteAddress}:`, request.message || `command ${request.command}`);
      reply(client, REJECTED);
      return client.end();
    }
    const rest = buf.subarray(request.length);
    if (!request.byName) return connectTarget(client, request, request.host, rest);
    dns.lookup(request.host, { family: 4 }, (err, address) => {
      if (!err) return connectTarget(client, request, address, rest);
      log(`cannot resolve ${request.host}: ${err.message}`);
      reply(client, REJECTED);
      client.end();
    });
  };
  client.on('data', onData);
}

const server = net.createServer({ allowHalfOpen: true }, handle);
server.on('error', (err) => {
  log(err.message);
  process.exit(1);
});
server.listen(port, '127.0.0.1', () => log('listening on 127.0.0.1:' + port));
