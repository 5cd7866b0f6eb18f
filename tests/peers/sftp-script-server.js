'use strict';
// An SSH server (the ssh2 package's) whose SFTP subsystem is a raw SFTP version 3 server written here,
// so that it can send what no real server sends. What it answers depends on the first path of each
// request (or the path a handle was opened with):
//   /ok/NAME            a regular file of 100,000 bytes (NAME "empty": 0 bytes), answered properly
//   /unexpected/TYPE    a reply of the wrong type: data, name, attrs, handle, status-ok
//   /short              a STATUS of 7 bytes
//   /status-max         a STATUS with code 0xFFFFFFFF
//   /empty-handle       an OPEN answered with a handle of no bytes
//   /no-size            a file whose attributes carry no size; /zero-size one whose size reads 0;
//                       /stat-ok one whose STAT is answered with a STATUS of OK
//   /short-reads        a file read back in parts shorter than asked
//   /zero-data /long-data   a READ answered with DATA of no bytes, or of more than asked
//   /close-fails        a handle whose CLOSE is refused; /close-silent one whose CLOSE is never answered
//   /exit               the subsystem ends at this request; /exit-mid once a read reaches 64 KiB
//   /silent             never answered
// An exec answers "ok\n" and exit status 0, so that a test can see that the session still works.
const { Server, utils } = require('ssh2');

const FXP = {
  INIT: 1, VERSION: 2, OPEN: 3, CLOSE: 4, READ: 5, WRITE: 6, LSTAT: 7, FSTAT: 8, SETSTAT: 9,
  FSETSTAT: 10, OPENDIR: 11, READDIR: 12, REMOVE: 13, MKDIR: 14, RMDIR: 15, REALPATH: 16, STAT: 17,
  RENAME: 18, READLINK: 19, SYMLINK: 20, STATUS: 101, HANDLE: 102, DATA: 103, NAME: 104, ATTRS: 105,
};
const OK = 0;
const EOF = 1;
const FAILURE = 4;
const FILE_SIZE = 100000;
const ATTR_SIZE = 1;
const ATTR_PERMISSIONS = 4;

function packet(type, id, ...fields) {
  const body = Buffer.concat([Buffer.from([type]), u32(id), ...fields]);
  return Buffer.concat([u32(body.length), body]);
}
function u32(value) {
  const buffer = Buffer.alloc(4);
  buffer.writeUInt32BE(value >>> 0);
  return buffer;
}
function u64(value) {
  const buffer = Buffer.alloc(8);
  buffer.writeBigUInt64BE(BigInt(value));
  return buffer;
}
function string(value) {
  const bytes = Buffer.from(value);
  return Buffer.concat([u32(bytes.length), bytes]);
}
function attrs({ size, mode = 0o100644 } = {}) {
  if (size === undefined) return Buffer.concat([u32(ATTR_PERMISSIONS), u32(mode)]);
  return Buffer.concat([u32(ATTR_SIZE | ATTR_PERMISSIONS), u64(size), u32(mode)]);
}
function status(id, code) {
  return packet(FXP.STATUS, id, u32(code), string(''), string(''));
}

// The bytes of a scripted file: each byte its offset modulo 251.
function content(offset, length) {
  return Buffer.from(Array.from({ length }, (_, i) => (offset + i) % 251));
}
function sizeOf(path) {
  return path === '/ok/empty' ? 0 : FILE_SIZE;
}

// One SFTP session on one channel.
function serveSftp(channel) {
  let input = Buffer.alloc(0);
  const handles = new Map();
  let nextHandle = 1;
  const send = (bytes) => channel.write(bytes);
  const exit = () => {
    channel.exit(1);
    channel.end();
  };

  const onRequest = (type, id, body) => {
    const firstString = () => body.subarray(4, 4 + body.readUInt32BE(0)).toString('latin1');
    if (type === FXP.INIT) return send(packet(FXP.VERSION, 3));
    const handlePath = () => handles.get(firstString());
    const path = [FXP.READ, FXP.WRITE, FXP.CLOSE, FXP.READDIR, FXP.FSTAT].includes(type)
      ? handlePath() : firstString();
    if (path === undefined) return send(status(id, FAILURE));
    if (path.startsWith('/silent')) return undefined;
    if (path === '/exit') return exit();
    const unexpected = /^\/unexpected\/([a-z-]+)/.exec(path);
    if (unexpected && type !== FXP.CLOSE && !(type === FXP.OPENDIR || type === FXP.OPEN)) {
      return send(wrongReply(unexpected[1], id));
    }
    if (unexpected && unexpected[1] === 'status-ok') return send(status(id, OK));
    if (path === '/short') return send(packet(FXP.STATUS, id, Buffer.from([0, 0])));
    if (path === '/status-max') return send(status(id, 0xFFFFFFFF));
    if (path === '/stat-ok' && type === FXP.STAT) return send(status(id, OK));
    switch (type) {
      case FXP.OPEN:
      case FXP.OPENDIR: {
        if (path === '/empty-handle') return send(packet(FXP.HANDLE, id, string('')));
        const handle = `h${nextHandle++}`;
        handles.set(handle, path);
        return send(packet(FXP.HANDLE, id, string(handle)));
      }
      case FXP.CLOSE:
        if (path === '/close-silent') return undefined;
        handles.delete(firstString());
        return send(status(id, path === '/close-fails' ? FAILURE : OK));
      case FXP.STAT:
      case FXP.LSTAT:
      case FXP.FSTAT:
        if (path === '/no-size') return send(packet(FXP.ATTRS, id, attrs()));
        return send(packet(FXP.ATTRS, id, attrs({ size: path === '/zero-size' ? 0 : sizeOf(path) })));
      case FXP.READ:
        return read(id, path, Number(body.readBigUInt64BE(4 + body.readUInt32BE(0))),
          body.readUInt32BE(12 + body.readUInt32BE(0)));
      case FXP.WRITE:
        return send(status(id, OK));
      case FXP.READDIR:
        return send(readdir(id, firstString()));
      case FXP.REALPATH:
      case FXP.READLINK:
        return send(packet(FXP.NAME, id, u32(1), string(path), string(path), attrs()));
      default:
        return send(status(id, OK));
    }
  };

  const listed = new Set();
  const readdir = (id, handle) => {
    if (listed.has(handle)) return status(id, EOF);
    listed.add(handle);
    return packet(FXP.NAME, id, u32(2), string('a'), string('-rw-r--r-- a'), attrs({ size: 1 }),
      string('b'), string('-rw-r--r-- b'), attrs({ size: 2 }));
  };

  const read = (id, path, offset, length) => {
    const end = sizeOf(path);
    if (path === '/zero-data') return send(packet(FXP.DATA, id, string('')));
    if (path === '/long-data') return send(packet(FXP.DATA, id, string(content(0, length + 10))));
    if (path === '/exit-mid' && offset >= 65536) return exit();
    if (offset >= end) return send(status(id, EOF));
    const take = Math.min(length, end - offset, path === '/short-reads' ? 1000 : length);
    return send(packet(FXP.DATA, id, string(content(offset, take))));
  };

  channel.on('data', (data) => {
    input = Buffer.concat([input, data]);
    while (input.length >= 4 && input.length >= 4 + input.readUInt32BE(0)) {
      const length = input.readUInt32BE(0);
      const type = input[4];
      const id = type === FXP.INIT ? 0 : input.readUInt32BE(5);
      const body = input.subarray(type === FXP.INIT ? 5 : 9, 4 + length);
      input = input.subarray(4 + length);
      onRequest(type, id, body);
    }
  });
}

function wrongReply(kind, id) {
  switch (kind) {
    case 'data': return packet(FXP.DATA, id, string('surprise'));
    case 'name': return packet(FXP.NAME, id, u32(1), string('x'), string('x'), attrs());
    case 'attrs': return packet(FXP.ATTRS, id, attrs({ size: 1 }));
    case 'handle': return packet(FXP.HANDLE, id, string('h0'));
    default: return status(id, OK);
  }
}

// ssh2 drops the leading zero bytes of a generated Ed25519 public key, so about one key in 256 is one
// that it cannot read back: such a key is thrown away.
function hostKey() {
  for (;;) {
    const key = utils.generateKeyPairSync('ed25519').private;
    if (!(utils.parseKey(key) instanceof Error)) return key;
  }
}

// Listens on 127.0.0.1 at a free port; resolves with { port, close() }.
async function startSftpScriptServer() {
  const server = new Server({ hostKeys: [hostKey()] }, (client) => {
    client.on('error', () => {});
    client.on('authentication', (ctx) => ctx.accept());
    client.on('session', (acceptSession) => {
      const session = acceptSession();
      session.on('subsystem', (accept, reject, info) => {
        if (info.name !== 'sftp') return reject();
        return serveSftp(accept());
      });
      session.on('exec', (accept) => {
        const channel = accept();
        channel.write('ok\n');
        channel.exit(0);
        channel.end();
      });
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { port: server.address().port, close: () => server.close() };
}

module.exports = { startSftpScriptServer, FILE_SIZE, content };
