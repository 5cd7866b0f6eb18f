'use strict';
// An SSH server (the ssh2 package's) whose SFTP subsystem (whatever subsystem is asked for) is a raw SFTP
// version 3 server written here, so that it can send what no real server sends. What it answers depends
// on the first path of each request (or the path its handle was opened with):
//   /ok/NAME            a regular file of 100,000 bytes, answered properly; /silent: never answered
//   /unexpected/TYPE    a reply of the wrong type: data, name, attrs, handle; status-ok: an OPEN answered OK
//   /short /status-max  a STATUS of 7 bytes, or of code 0xFFFFFFFF; /empty-handle: a handle of no bytes
//   /no-size /zero-size /stat-ok   a file whose attributes carry no size, or size 0, or whose STAT says OK
//   /short-reads /zero-data /long-data   READs answered with less than asked, no bytes, or more than asked
//   /close-fails /close-silent   a handle whose CLOSE is refused, or never answered
//   /exit /exit-mid     the subsystem ends at this request, or once a read reaches 64 KiB
//   /exit-later         answered, then the subsystem ends with nothing outstanding
//   /cut /huge          a reply whose length says 100 bytes cut off after 20 by the channel's end, or
//                       one whose length claims about 2 GiB
// A client that logs in as "cut-version" gets a VERSION cut short by the channel's end.
// An exec answers "ok\n" and exit status 0, so that a test can see that the session still works.
const { Server, utils } = require('ssh2');

const [INIT, VERSION, OPEN, CLOSE, READ, WRITE, LSTAT, FSTAT, OPENDIR] = [1, 2, 3, 4, 5, 6, 7, 8, 11];
const [READDIR, REALPATH, STAT, STATUS, HANDLE, DATA, NAME, ATTRS] = [12, 16, 17, 101, 102, 103, 104, 105];
const [OK, EOF, FAILURE, FILE_SIZE] = [0, 1, 4, 100000];  // statuses, and the size of every file

const u32 = (n) => { const field = Buffer.alloc(4); field.writeUInt32BE(n >>> 0); return field; };
const u64 = (n) => { const field = Buffer.alloc(8); field.writeBigUInt64BE(BigInt(n)); return field; };
// An SFTP string; a packet (its id, type and fields) is framed as one.
const string = (value) => Buffer.concat([u32(Buffer.byteLength(value)), Buffer.from(value)]);
const packet = (id, type, ...fields) => string(Buffer.concat([Buffer.from([type]), u32(id), ...fields]));
// The attributes of a regular file: its permissions, and its size unless that is undefined.
const attrs = (size) => Buffer.concat(size === undefined ? [u32(4), u32(0o100644)]
  : [u32(5), u64(size), u32(0o100644)]);
const status = (id, code) => packet(id, STATUS, u32(code), string(''), string(''));
// A packet whose length says 100 bytes, cut off after 20.
const cut = (id, type) => Buffer.concat([u32(100), Buffer.from([type]), u32(id), Buffer.alloc(11)]);
// The bytes of a scripted file: each byte its offset modulo 251.
const content = (offset, length) => Buffer.from(Array.from({ length }, (_, i) => (offset + i) % 251));
// The replies of the wrong type that /unexpected/TYPE gives.
const WRONG = {
  data: [DATA, string('surprise')], name: [NAME, u32(1), string('x'), string('x'), attrs()],
  attrs: [ATTRS, attrs(1)], handle: [HANDLE, string('h0')],
};

// One SFTP session on one channel.
function serveSftp(channel, username) {
  let input = Buffer.alloc(0);
  const listed = new Set();
  const send = (bytes) => channel.write(bytes);
  const exit = () => { channel.exit(1); channel.end(); };

  const onRequest = (type, id, body) => {
    if (type === INIT) return username === 'cut-version' ? (send(cut(3, VERSION)), exit()) : send(packet(3, VERSION));
    const n = body.readUInt32BE(0);
    const first = body.toString('latin1', 4, 4 + n);
    // A handle is its OPEN's request id followed by the path opened.
    const path = [READ, WRITE, CLOSE, READDIR, FSTAT].includes(type) ? first.replace(/^\d+/, '') : first;
    if (path.startsWith('/silent') || (path === '/close-silent' && type === CLOSE)) return undefined;
    if (path === '/exit') return exit();
    if (path === '/exit-later') return (send(status(id, OK)), setTimeout(exit, 50));
    if (path === '/cut') return (send(cut(id, STATUS)), exit());
    if (path === '/huge') return send(Buffer.concat([u32(0x7FFFFFF0), Buffer.from([DATA]), u32(id), Buffer.alloc(64)]));
    const unexpected = /^\/unexpected\/([a-z-]+)/.exec(path)?.[1];
    if (unexpected === 'status-ok') return send(status(id, OK));
    if (unexpected && ![OPEN, OPENDIR, CLOSE].includes(type)) return send(packet(id, ...WRONG[unexpected]));
    if (path === '/short') return send(packet(id, STATUS, Buffer.from([0, 0])));
    if (path === '/status-max') return send(status(id, 0xFFFFFFFF));
    if (path === '/stat-ok' && type === STAT) return send(status(id, OK));
    if (path === '/empty-handle') return send(packet(id, HANDLE, string('')));
    if (type === OPEN || type === OPENDIR) return send(packet(id, HANDLE, string(`${id}${path}`)));
    if (type === CLOSE) return send(status(id, path === '/close-fails' ? FAILURE : OK));
    if ([STAT, LSTAT, FSTAT].includes(type)) {
      const size = path === '/zero-size' ? 0 : FILE_SIZE;
      return send(packet(id, ATTRS, path === '/no-size' ? attrs() : attrs(size)));
    }
    if (type === READ) {
      const [offset, length] = [Number(body.readBigUInt64BE(4 + n)), body.readUInt32BE(12 + n)];
      if (path === '/zero-data') return send(packet(id, DATA, string('')));
      if (path === '/long-data') return send(packet(id, DATA, string(content(0, length + 10))));
      if (path === '/exit-mid' && offset >= 65536) return exit();
      if (offset >= FILE_SIZE) return send(status(id, EOF));
      const take = Math.min(length, FILE_SIZE - offset, path === '/short-reads' ? 1000 : length);
      return send(packet(id, DATA, string(content(offset, take))));
    }
    if (type === READDIR && !listed.has(first)) {
      listed.add(first);
      return send(packet(id, NAME, u32(2), string('a'), string('-rw-r--r-- a'), attrs(1),
        string('b'), string('-rw-r--r-- b'), attrs(2)));
    }
    if (type === READDIR) return send(status(id, EOF));
    if (type === REALPATH) return send(packet(id, NAME, u32(1), string(path), string(path), attrs()));
    return send(status(id, OK));  // WRITE, and whatever changes the file system
  };

  channel.on('data', (data) => {
    input = Buffer.concat([input, data]);
    while (input.length >= 4 && input.length >= 4 + input.readUInt32BE(0)) {
      const end = 4 + input.readUInt32BE(0);
      onRequest(input[4], input.readUInt32BE(5), input.subarray(9, end));  // type, id (INIT: version), body
      input = input.subarray(end);
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
    let username;
    client.on('error', () => {})
      .on('authentication', (ctx) => { username = ctx.username; ctx.accept(); })
      .on('session', (accept) => accept()
        .on('subsystem', (acceptSftp) => serveSftp(acceptSftp(), username))
        .on('exec', (acceptExec) => { const out = acceptExec(); out.write('ok\n'); out.exit(0); out.end(); }));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { port: server.address().port, close: () => server.close() };
}

module.exports = { startSftpScriptServer, FILE_SIZE, content };
