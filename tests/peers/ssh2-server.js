'use strict';
// Scripted SSH server (npm ssh2) for the cases OpenSSH's sshd cannot be made to show: odd prompts,
// refusals and faults. The user name the client logs in with picks the behaviour (BEHAVIOURS below); an
// unknown name is refused with no methods left. Accepted sessions answer every exec with
// "ssh2 server got: <command>" and exit status 0; a shell echoes what it receives until EOF, then exits 0.
// Usage: node ssh2-server.js PORT HOST_KEY_FILE
const fs = require('fs');
const { Server } = require('ssh2');

const port = Number(process.argv[2] || process.env.QUELBAR_SSH2_SERVER_PORT);
const hostKeyFile = process.argv[3] || process.env.QUELBAR_HOST_KEY_ED25519;

function log(...args) {
  console.error(new Date().toISOString(), ...args);
}

function acceptNone(ctx) {
  if (ctx.method === 'none') return ctx.accept();
  ctx.reject([]);
}

// Keyboard-interactive with one round of PROMPTS; accepted when the answers equal ANSWERS.
function keyboardInteractive(prompts, answers) {
  return (ctx) => {
    if (ctx.method !== 'keyboard-interactive') return ctx.reject(['keyboard-interactive']);
    ctx.prompt(prompts, 'Test server', 'Please answer', (given) => {
      const right = Array.isArray(given) && given.length === answers.length &&
                    given.every((answer, i) => answer === answers[i]);
      log(`${ctx.username}: keyboard-interactive answers ${right ? 'right' : 'wrong'}`);
      right ? ctx.accept() : ctx.reject(['keyboard-interactive']);
    });
  };
}

// Accepts session channels (at most MAXSESSIONS open at once) and their pty, env, exec and shell requests.
function serveSessions({ maxSessions = Infinity, allowPty = true } = {}) {
  return (client, name) => {
    let open = 0;
    client.on('session', (accept, reject) => {
      if (open >= maxSessions) {
        log(`${name}: refusing a session channel, ${open} already open`);
        return reject();
      }
      open++;
      const session = accept();
      session.once('close', () => open--);
      session.on('pty', (accept, reject) => {
        log(`${name}: ${allowPty ? 'granting' : 'refusing'} a pty`);
        allowPty ? accept && accept() : reject && reject();
      });
      session.on('env', (accept) => accept && accept());
      session.on('exec', (accept, reject, info) => {
        log(`${name}: exec ${JSON.stringify(info.command)}`);
        const channel = accept();
        channel.write(`ssh2 server got: ${info.command}\n`);
        channel.exit(0);
        channel.end();
      });
      session.on('shell', (accept) => {
        log(`${name}: shell`);
        const channel = accept();
        channel.on('data', (data) => channel.write(data));
        channel.on('end', () => {
          channel.exit(0);
          channel.end();
        });
      });
    });
  };
}

// Without a 'session' listener ssh2 refuses every channel open as administratively prohibited.
function refuseChannels(client, name) {
  log(`${name}: every channel open will be refused`);
}

// Bytes that cannot be a packet under any negotiated cipher: enough of them that whatever packet length a
// client decrypts from the first block, the packet ends inside them and fails its MAC check.
function sendGarbage(client, name) {
  log(`${name}: sending 64 KiB of garbage in place of a packet, then closing`);
  client._sock.end(Buffer.alloc(64 * 1024, 0xa5));
}

const BEHAVIOURS = {
  none: { auth: acceptNone, ready: serveSessions() },
  kbd: {
    auth: keyboardInteractive([{ prompt: 'Password: ', echo: false }], ['secret']),
    ready: serveSessions(),
  },
  kbd2: {
    auth: keyboardInteractive([{ prompt: 'First: ', echo: true }, { prompt: 'Second: ', echo: false }],
                              ['one', 'two']),
    ready: serveSessions(),
  },
  'refuse-channel': { auth: acceptNone, ready: refuseChannels },
  maxsessions1: { auth: acceptNone, ready: serveSessions({ maxSessions: 1 }) },
  notty: { auth: acceptNone, ready: serveSessions({ allowPty: false }) },
  garbage: { auth: acceptNone, ready: sendGarbage },
};

// ---- Behaviours for the session engine's tests ----------------------------------------------------------
// kbd-once: keyboard-interactive whose first exchange must carry the right answer ("secret"): a wrong or
//   empty one leaves no method, so a client that answers late by starting a new exchange cannot get in.
// password: password authentication only, with "secret".
// end-after-auth: accepts "none", then ends the connection a moment later.
function onlyOnce(prompts, answers) {
  return (ctx) => {
    if (ctx.method !== 'keyboard-interactive') return ctx.reject(['keyboard-interactive']);
    ctx.prompt(prompts, (given) => {
      const right = Array.isArray(given) && given.length === answers.length &&
                    given.every((answer, i) => answer === answers[i]);
      log(`${ctx.username}: keyboard-interactive answers ${right ? 'right' : 'wrong'}, no second try`);
      right ? ctx.accept() : ctx.reject([]);
    });
  };
}

function passwordOnly(password) {
  return (ctx) => {
    if (ctx.method === 'password' && ctx.password === password) return ctx.accept();
    ctx.reject(['password']);
  };
}

function endSoon(client, name) {
  log(`${name}: ending the connection`);
  setTimeout(() => client.end(), 100);
}

// ---- Behaviours of servers that would keep a client authenticating for ever -----------------------------
// key-partial-forever: every public key "accepted, further authentication required", publickey again.
// password-then-key: the password "secret" is a partial success that leaves publickey, which no key passes.
// kbd-too-many-later: keyboard-interactive with one prompt, then a second round of 101 prompts.
function keyPartialForever(ctx) {
  if (ctx.method === 'publickey') return ctx.reject(['publickey'], true);
  ctx.reject(['publickey']);
}

function passwordThenKey(ctx) {
  if (ctx.method === 'password' && ctx.password === 'secret') return ctx.reject(['publickey'], true);
  ctx.reject(ctx.method === 'publickey' ? ['publickey'] : ['password']);
}

function keyboardInteractiveTooManyLater(ctx) {
  if (ctx.method !== 'keyboard-interactive') return ctx.reject(['keyboard-interactive']);
  ctx.prompt([{ prompt: 'Password: ', echo: false }], () => {
    const many = Array.from({ length: 101 }, (_, i) => ({ prompt: `Code ${i}: `, echo: true }));
    ctx.prompt(many, () => ctx.reject(['keyboard-interactive']));
  });
}

Object.assign(BEHAVIOURS, {
  'key-partial-forever': { auth: keyPartialForever, ready: serveSessions() },
  'password-then-key': { auth: passwordThenKey, ready: serveSessions() },
  'kbd-too-many-later': { auth: keyboardInteractiveTooManyLater, ready: serveSessions() },
});

Object.assign(BEHAVIOURS, {
  'kbd-once': { auth: onlyOnce([{ prompt: 'Password: ', echo: false }], ['secret']), ready: serveSessions() },
  password: { auth: passwordOnly('secret'), ready: serveSessions() },
  'end-after-auth': { auth: acceptNone, ready: endSoon },
});

// ---- Behaviours for how a session's end meets its shells and commands --------------------------------
// A shell or command writes ENDING_OUTPUT (200 KiB of "A" between two lines, for a shell; one line for a
// command), then the session ends in the way the user name says:
// close-fin: exit status 0, EOF and CLOSE, then TCP FIN without SSH_MSG_DISCONNECT.
// close-disconnect: exit status 0, EOF and CLOSE, then SSH_MSG_DISCONNECT at once.
// disconnect: SSH_MSG_DISCONNECT while the channel is still open.
// drop-later: nothing written; shells and commands run until the TCP connection drops, 300 ms after the
//   first command started.
// eof-drop: a command's output and EOF, then the TCP connection drops: no exit status, no CLOSE.
// open-silent: channel opens are never answered.
// forward-silent: requests to listen (tcpip-forward) are never answered.
const ENDING_SHELL_OUTPUT = Buffer.concat([Buffer.from('first line\n'), Buffer.alloc(200 * 1024, 0x41),
                                          Buffer.from('\nLAST LINE\n')]);

function endWith(ending) {
  return (client, name) => {
    client.on('session', (accept) => {
      const session = accept();
      session.on('pty', (accept) => accept && accept());
      const run = (channel, output) => {
        channel.write(output);
        if (ending === 'disconnect') return client.end();
        if (ending === 'eof-drop') {
          channel.eof();
          return setImmediate(() => client._sock.destroy());
        }
        channel.exit(0);
        channel.end();
        log(`${name}: output written, ending with ${ending}`);
        ending === 'close-fin' ? client._sock.end() : client.end();
      };
      session.on('shell', (accept) => run(accept(), ENDING_SHELL_OUTPUT));
      session.on('exec', (accept, reject, info) => run(accept(), `output of ${info.command}\n`));
    });
  };
}

function dropLater(client, name) {
  client.on('session', (accept) => {
    const session = accept();
    session.on('pty', (accept) => accept && accept());
    session.on('shell', (accept) => accept());
    session.on('exec', (accept) => {
      accept();
      log(`${name}: dropping the connection in 300 ms`);
      setTimeout(() => client._sock.destroy(), 300);
    });
  });
}

Object.assign(BEHAVIOURS, {
  'close-fin': { auth: acceptNone, ready: endWith('close-fin') },
  'close-disconnect': { auth: acceptNone, ready: endWith('close-disconnect') },
  disconnect: { auth: acceptNone, ready: endWith('disconnect') },
  'drop-later': { auth: acceptNone, ready: dropLater },
  'eof-drop': { auth: acceptNone, ready: endWith('eof-drop') },
  'open-silent': { auth: acceptNone, ready: (client) => client.on('session', () => {}) },
  'forward-silent': { auth: acceptNone, ready: (client) => client.on('request', () => {}) },
});

let connections = 0;
const server = new Server({ hostKeys: [fs.readFileSync(hostKeyFile)] }, (client, info) => {
  const id = `#${++connections} ${info.ip}:${info.port}`;
  let user, behaviour;
  log(`${id}: connected (${info.header.versions.software})`);
  client.on('authentication', (ctx) => {
    user = ctx.username;
    behaviour = Object.hasOwn(BEHAVIOURS, user) ? BEHAVIOURS[user] : null;
    log(`${id}: ${ctx.username} tries ${ctx.method}`);
    behaviour ? behaviour.auth(ctx) : ctx.reject([]);
  });
  client.on('ready', () => {
    const name = `${id} ${user}`;
    log(`${name}: authenticated`);
    behaviour.ready(client, name);
  });
  client.on('error', (err) => log(`${id}: ${err.message}`));
  client.on('close', () => log(`${id}: closed`));
});
server.on('error', (err) => {
  log(err.message);
  process.exit(1);
});
server.listen(port, '127.0.0.1', () => log(`ssh2 server listening on 127.0.0.1:${port}`));
