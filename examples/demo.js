'use strict';
// The module at work in one command (`npm run demo`): the demo starts an OpenSSH server of its own on
// 127.0.0.1 with fresh keys, connects to it, shows the server's host-key fingerprint, runs a command,
// opens a shell, sends it a line, prints what comes back, and closes. Everything it makes lives in a
// temporary folder that it removes at the end.
const path = require('node:path');
const { SshClient } = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

// Shell output without the terminal's control sequences.
function printable(text) {
  return text.replace(/\x1b\[[0-9;?]*[A-Za-z]/g, '').replace(/\r/g, '');
}

function runSession(server) {
  return new Promise((resolve, reject) => {
    const client = new SshClient();
    client.connect({
      host: server.host,
      port: String(server.port),
      username: server.username,
      privateKey: server.privateKey,
      knownhostsCallback(result, fingerprint, publicKey, type, done) {
        console.log(`host key: ${type}, MD5 fingerprint ${fingerprint}`);
        const expected = fingerprint === server.fingerprint;
        console.log(expected ? '  it is the key the demo gave its server: accepted'
          : '  it is NOT the key the demo gave its server: refused');
        done(expected);
      },
      connectCallback() {
        console.log(`connected and authenticated as ${server.username}`);
        const command = 'uname -sr; echo "logged in as $(id -un), home $HOME"';
        console.log(`running: ${command}`);
        client.exec(Buffer.from(command), (status, output) => {
          console.log(`it finished with status ${status} and printed:`);
          show(output);
          if (server.canOpenShells) {
            openShell(client);
          } else {
            // The session ends by itself once its last command is done.
            console.log('(no shell: an sshd that does not run as root cannot give it a pseudo-terminal; ' +
                        'run the demo as root to see one)');
          }
        }, reject);
      },
      disconnectCallback() {
        console.log('the session has ended');
        resolve();
      },
      errorCallback: reject,
    });
  });
}

function openShell(client) {
  let output = '';
  client.shell({ term: 'xterm', columns: 100, rows: 30 }, (terminal) => {
    console.log('shell ready; sending: echo "hello from $0 on a $TERM terminal of $(tput cols) columns"');
    terminal.sendData(Buffer.from('echo "hello from $0 on a $TERM terminal of $(tput cols) columns"; exit\n'));
  }, (data) => {
    output += data.toString();
  }, () => {
    console.log('the shell sent back:');
    show(printable(output).split('\n').filter((line) => line.trim() !== '').join('\n'));
    console.log('the shell has closed; closing the client');
    client.close();
  });
}

runExample('demo', async (servers) => {
  const server = await servers.sshd();
  console.log(`started an OpenSSH server of the demo's own on 127.0.0.1:${server.port}`);
  await runSession(server);
  console.log('done');
});
