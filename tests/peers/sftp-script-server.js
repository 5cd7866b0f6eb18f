'use strict';
// An SSH server (the ssh2 package's) whose SFTP subsystem is a raw SFTP version 3 server written here,
// so that it can send what no real server sends; every subsystem asked for is this one. What it answers
// depends on the first path of each request (or the path a handle was opened with):
//   /ok/NAME            a regular file of 100,000 bytes, answered properly
//   /unexpected/TYPE    a reply of the wrong type: data, name, attrs, handle; status-ok: an OPEN answered OK
//   /short              a STATUS of 7 bytes; /status-max a STATUS with code 0xFFFFFFFF
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

const [INIT, VERSION, OPEN, CLOSE, READ, WRITE, LSTAT, FSTAT] = [1, 2, 3, 4, 5, 6, 7, 8];
const [OPENDIR, READDIR, REALPATH, STAT] = [11, 12, 16, 17];
const [STATUS, HANDLE, DATA, NAME, ATTRS] = [101, 102, 103, 104, 105];
const [OK, EOF, FAILURE] = [0, 1, 4];
const FILE_SIZE = 100000;

const u32 = (n) => { const field = Buffer.alloc(4); field.writeUInt32BE(n >>> 0); return field; };
const u64 = (n) => { const field = Buffer.alloc(8); field.writeBigUInt64BE(BigInt(n)); return field; };
const string = (value) => Buffer.concat([u32(Buffer.byteLength(value)), Buffer.from(value)]);
const packet = (type, id, ...fields) => {
  const body = Buffer.concat([Buffer.from([type]), u32(id), ...fields]);
  return Buffer.concat([u32(body.length), body]);
};
// The attributes of a regular file: its permissions, and its size unless that is undefined.
const attrs = (size) => (size === undefined ? Buffer.concat([u32(4), u32(0o100644)])
  : Buffer.concat([u32(5), u64(size), u32(0o100644)]));
const status = (id, code) => packet(STATUS, id, u32(code), string(''), string(''));
// The bytes of a scripted file: each byte its offset modulo 251.
const content = (offset, length) => Buffer.from(Array.from({ length }, (_, i) => (offset + i) % 251));

function wrongReply(kind, id) {
  if (kind === 'data') return packet(DATA, id, string('surprise'));
  if (kind === 'name') return packet(NAME, id, u32(1), string('x'), string('x'), attrs());
  if (kind === 'attrs') return packet(ATTRS, id, attrs(1));
  return kind === 'handle' ? packet(HANDLE, id, string('h0')) : status(id, OK);
}

// One SFTP session on one channel.
function serveSftp(channel) {
  let input = Buffer.alloc(0);
  let nextHandle = 1;
  const handles = new Map();
  const listed = new Set();
  const send = (bytes) => channel.write(bytes);
  const exit = () => { channel.exit(1); channel.end(); };

  const onRequest = (type, id, body) => {
    if (type === INIT) return send(packet(VERSION, 3));
    const n = body.readUInt32BE(0);
    const first = body.toString('latin1', 4, 4 + n);
    const path = [READ, WRITE, CLOSE, READDIR, FSTAT].includes(type) ? handles.get(first) : first;
    if (path === undefined) return send(status(id, FAILURE));
    if (path.startsWith('/silent') || (path === '/close-silent' && type === CLOSE)) return undefined;
    if (path === '/exit') return exit();
    const unexpected = /^\/unexpected\/([a-z-]+)/.exec(path)?.[1];
    if (unexpected && ![OPEN, OPENDIR, CLOSE].includes(type)) return send(wrongReply(unexpected, id));
    if (unexpected === 'status-ok') return send(status(id, OK));
    if (path === '/short') return send(packet(STATUS, id, Buffer.from([0, 0])));
    if (path === '/status-max') return send(status(id, 0xFFFFFFFF));
    if (path === '/stat-ok' && type === STAT) return send(status(id, OK));
    switch (type) {
      case OPEN:
      case OPENDIR: {
        if (path === '/empty-handle') return send(packet(HANDLE, id, string('')));
        const handle = `h${nextHandle++}`;
        handles.set(handle, path);
        return send(packet(HANDLE, id, string(handle)));
      }
      case CLOSE:
        handles.delete(first);
        return send(status(id, path === '/close-fails' ? FAILURE : OK));
      case STAT:
      case LSTAT:
      case FSTAT:
        if (path === '/no-size') return send(packet(ATTRS, id, attrs()));
        return send(packet(ATTRS, id, attrs(path === '/zero-size' ? 0 : FILE_SIZE)));
      case READ: {
        const [offset, length] = [Number(body.readBigUInt64BE(4 + n)), body.readUInt32BE(12 + n)];
        if (path === '/zero-data') return send(packet(DATA, id, string('')));
        if (path === '/long-data') return send(packet(DATA, id, string(content(0, length + 10))));
        if (path === '/exit-mid' && offset >= 65536) return exit();
        if (offset >= FILE_SIZE) return send(status(id, EOF));
        const take = Math.min(length, FILE_SIZE - offset, path === '/short-reads' ? 1000 : length);
        return send(packet(DATA, id, string(content(offset, take))));
      }
      case READDIR:
        if (listed.has(first)) return send(status(id, EOF));
        listed.add(first);
        return send(packet(NAME, id, u32(2), string('a'), string('-rw-r--r-- a'), attrs(1),
          string('b'), string('-rw-r--r-- b'), attrs(2)));
      case REALPATH:
        return send(packet(NAME, id, u32(1), string(path), string(path), attrs()));
      default:  // WRITE, and whatever changes the file system
        return send(status(id, OK));
    }
  };

  channel.on('data', (data) => {
    input = Buffer.concat([input, data]);
    while (input.length >= 4 && input.length >= 4 + input.readUInt32BE(0)) {
      // type, id (an INIT's version) and body
      const [end, request] = [4 + input.readUInt32BE(0), input];
      input = input.subarray(end);
      onRequest(request[4], request.readUInt32BE(5), request.subarray(9, end));
    }
  });
}

// ssh2 drops the leading zero bytes of a generated Ed25519 public key, so about one key in 256 is one
// that it cannot read back: such a key is thrown away.
function hostKey() {
  const key = utils.generateKeyPairSync('ed25519').private;
  return utils.parseKey(key) instanceof Error ? hostKey() : key;
}

// Listens on 127.0.0.1 at a free port; resolves with { port, close() }.
async function startSftpScriptServer() {
  const server = new Server({ hostKeys: [hostKey()] }, (client) => {
    client.on('error', () => {});
    client.on('authentication', (ctx) => ctx.accept());
    client.on('session', (acceptSession) => {
      const session = acceptSession();
      session.on('subsystem', (accept) => serveSftp(accept()));
      session.on('exec', (accept) => { const out = accept(); out.write('ok\n'); out.exit(0); out.end(); });
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { port: server.address().port, close: () => server.close() };
}

module.exports = { startSftpScriptServer, FILE_SIZE, content };
