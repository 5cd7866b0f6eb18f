'use strict';
// A scripted Telnet server on 127.0.0.1 for the Telnet tests: each connection runs a script that sends
// exact bytes, waits for exact bytes from the client, and may end or reset the connection, so that the
// client's negotiation can be checked byte for byte and fed sequences no real server sends.
//
//   const peer = await startScriptPeer(async (conn) => { ... });   // peer.port, peer.close()
//   conn.send(bytes)       writes bytes (Buffer, array of byte values, or latin1 text)
//   conn.expect(bytes)     resolves once the client has sent exactly these next bytes; rejects on others
//   conn.take(n)           resolves with the client's next n bytes
//   conn.until(text)       resolves with everything up to and including text (latin1)
//   conn.end()             ends the stream (FIN); conn.reset() resets it (RST)
//   conn.ended             resolves when the client has closed its side
//
// Run on its own (`node telnet-script-peer.js PORT`) it greets with DO NAWS, DO TTYPE and a TTYPE SEND
// and prints what the client answers, for poking at a client by hand.
const net = require('node:net');

const IAC = 255;
const DONT = 254;
const DO = 253;
const WONT = 252;
const WILL = 251;
const SB = 250;
const SE = 240;
const ECHO = 1;
const TTYPE = 24;
const NAWS = 31;
const NEW_ENVIRON = 39;
const COMPRESS2 = 86;

function toBuffer(bytes) {
  if (Buffer.isBuffer(bytes)) return bytes;
  if (Array.isArray(bytes)) return Buffer.from(bytes);
  return Buffer.from(bytes, 'latin1');
}

// Concatenates byte values, strings (latin1) and Buffers into one Buffer.
function bytes(...parts) {
  return Buffer.concat(parts.map((part) => (typeof part === 'number' ? Buffer.from([part]) : toBuffer(part))));
}

class ScriptedConnection {
  constructor(socket) {
    this.socket = socket;
    this.buffer = Buffer.alloc(0);
    this.waiter = null;
    this.closed = false;
    this.ended = new Promise((resolve) => {
      socket.on('close', () => {
        this.closed = true;
        resolve();
        this.wake();
      });
    });
    socket.on('data', (chunk) => {
      this.buffer = Buffer.concat([this.buffer, chunk]);
      this.wake();
    });
    socket.on('error', () => {});
  }

  wake() {
    if (this.waiter) this.waiter();
  }

  // Resolves with what take() cuts from the buffer once ready() says enough has arrived.
  wait(ready, take, what) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const n = ready(this.buffer);
        if (n >= 0) {
          this.waiter = null;
          const taken = this.buffer.subarray(0, n);
          this.buffer = this.buffer.subarray(n);
          resolve(take(taken));
        } else if (this.closed) {
          this.waiter = null;
          reject(new Error(`the client closed while the peer waited for ${what}; ` +
                           `it had sent ${JSON.stringify(this.buffer.toString('latin1'))}`));
        }
      };
      this.waiter = check;
      check();
    });
  }

  send(data) {
    this.socket.write(toBuffer(data));
  }

  take(n) {
    return this.wait((buffer) => (buffer.length >= n ? n : -1), (taken) => Buffer.from(taken), `${n} bytes`);
  }

  async expect(data) {
    const wanted = toBuffer(data);
    const got = await this.take(wanted.length);
    if (!got.equals(wanted)) {
      throw new Error(`the client sent ${JSON.stringify([...got])}, expected ${JSON.stringify([...wanted])}`);
    }
  }

  until(text) {
    const marker = Buffer.from(text, 'latin1');
    return this.wait((buffer) => {
      const at = buffer.indexOf(marker);
      return at < 0 ? -1 : at + marker.length;
    }, (taken) => Buffer.from(taken), JSON.stringify(text));
  }

  end() {
    this.socket.end();
  }

  reset() {
    this.socket.resetAndDestroy();
  }
}

// Starts a server whose every connection runs script(conn, index). peer.script(index) is the outcome
// of that connection's script: it resolves with what the script returns, or rejects with what it threw
// (the connection is then reset).
function startScriptPeer(script) {
  const connections = [];
  const outcomes = [];
  const outcome = (index) => {
    while (outcomes.length <= index) {
      let settle;
      const promise = new Promise((resolve, reject) => { settle = { resolve, reject }; });
      promise.catch(() => {});
      outcomes.push({ promise, settle });
    }
    return outcomes[index];
  };
  const server = net.createServer((socket) => {
    const conn = new ScriptedConnection(socket);
    const index = connections.push(conn) - 1;
    Promise.resolve()
      .then(() => script(conn, index))
      .then((value) => outcome(index).settle.resolve(value), (err) => {
        if (!socket.destroyed) socket.resetAndDestroy();
        outcome(index).settle.reject(err);
      });
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      resolve({
        port: server.address().port,
        connections,
        script: (index = 0) => outcome(index).promise,
        close() {
          for (const conn of connections) conn.socket.destroy();
          return new Promise((done) => server.close(() => done()));
        },
      });
    });
  });
}

module.exports = {
  startScriptPeer,
  bytes,
  IAC, DONT, DO, WONT, WILL, SB, SE, ECHO, TTYPE, NAWS, NEW_ENVIRON, COMPRESS2,
};

if (require.main === module) {
  const port = Number(process.argv[2] || 0);
  const server = net.createServer((socket) => {
    socket.on('data', (chunk) => console.log(JSON.stringify([...chunk])));
    socket.on('error', () => {});
    socket.write(bytes(IAC, DO, NAWS, IAC, DO, TTYPE, IAC, SB, TTYPE, 1, IAC, SE));
  });
  server.listen(port, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${server.address().port}`));
}
