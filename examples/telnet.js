'use strict';
// Log in over Telnet: `node examples/telnet.js [host port username password]`. Without a target it
// starts a busybox Telnet server of its own whose login asks for a password. The client answers a
// "Password:" prompt in the server's first output by itself, from the options; a "login:" prompt, or a
// password prompt that comes later, is answered here. Once logged in it runs a command, resizes the
// terminal, checks the new size and leaves with exit.
const crypto = require('node:crypto');
const os = require('node:os');
const path = require('node:path');
const { TelnetClient } = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

async function target(servers) {
  if (process.argv.length >= 6) {
    const [host, port, username, password] = process.argv.slice(2, 6);
    return { host, port: Number(port), username, password };
  }
  const password = crypto.randomBytes(9).toString('base64');
  const server = await servers.telnetd(password);
  console.log(`started a busybox Telnet server on ${server.host}:${server.port}`);
  return { ...server, username: os.userInfo().username, password };
}

function logIn({ host, port, username, password }) {
  return new Promise((resolve, reject) => {
    const client = new TelnetClient();
    let output = '';
    let chunks = 0;
    let stage = 'login';
    // What comes after the last prompt the example acted on.
    // An answer is <...> at the end of a line. The terminal's echo of the command holds <...>" and so never
    // matches; the prompt may come before the answer when the command was typed ahead of it.
    const answer = /<([^>$]*)>\n/;
    const take = (pattern) => {
      const match = pattern.exec(output);
      if (match) output = output.slice(match.index + match[0].length);
      return match;
    };
    client.connect({
      host,
      port,
      username,
      password,
      ptyOptions: { term: 'vt220', columns: 100, rows: 30 },
      connectCallback() {
        console.log(`connected to ${host}:${port}; logging in as ${username}`);
      },
      dataCallback(data) {
        // Without carriage returns, NULs (a Telnet CR travels as CR NUL) and the terminal's control sequences.
        const text = data.toString('latin1').replace(/\x1b\[[0-9;?]*[A-Za-z]/g, '').replace(/[\r\0]/g, '');
        chunks++;
        if (chunks === 1 && text.includes('Password:')) {
          console.log('the server asked for the password at once: the client answered it from the options');
          stage = 'answered';
        }
        output += text;
        if (stage === 'login' && take(/login: $/)) {
          console.log('the server asked for the user name: sending it');
          client.send(Buffer.from(`${username}\n`));
        } else if (stage === 'login' && take(/Password: $/)) {
          console.log('the server asked for the password: sending it');
          client.send(Buffer.from(`${password}\n`));
          stage = 'answered';
        } else if (stage === 'answered' && take(/[$#] $/)) {
          console.log('logged in; running: echo "$(id -un) on a terminal of $(stty size)"');
          client.send(Buffer.from('echo "<$(id -un) on a terminal of $(stty size)>"\n'));
          stage = 'command';
        } else if (stage === 'command' && take(answer)) {
          show(RegExp.$1);
          console.log('resizing to 120x40 and asking again');
          client.resize(120, 40);
          client.send(Buffer.from('echo "<size now $(stty size)>"; exit\n'));
          stage = 'resized';
        } else if (stage === 'resized' && take(answer)) {
          show(RegExp.$1);
          stage = 'leaving';
        } else if (/Login incorrect/.test(output)) {
          client.close();
          reject(new Error('the server refused the user name or password'));
        }
      },
      disconnectCallback() {
        if (stage !== 'leaving') {
          reject(new Error(`the connection ended before the example was done; the server said:\n${output}`));
          return;
        }
        console.log('the server ended the connection after exit');
        resolve();
      },
      errorCallback: reject,
    });
  });
}

runExample('telnet', async (servers) => {
  await logIn(await target(servers));
});
