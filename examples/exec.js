'use strict';
// Run commands over SSH: `node examples/exec.js ['command']`. Starts an OpenSSH server of its own,
// trusts its host key through a known-hosts line (no question asked), runs the command given (or a
// few of its own, side by side on one session) and prints each exit status and output. The session
// ends by itself once its last command has reported.
const path = require('node:path');
const { SshClient } = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

const commands = process.argv.length > 2 ? [process.argv.slice(2).join(' ')] : [
  'echo "hello from $(hostname)"',
  'ls /no/such/folder',        // fails: status 2, and the output is what it wrote to standard error
  // Any status but 0 delivers standard error only: "kept" is not part of the output.
  'echo kept; echo "$0 gave up" >&2; exit 7',
];

runExample('exec', async (servers) => {
  const server = await servers.sshd();
  console.log(`started an OpenSSH server on ${server.host}:${server.port}`);
  await new Promise((resolve, reject) => {
    const client = new SshClient();
    client.connect({
      host: server.host,
      port: String(server.port),
      username: server.username,
      privateKey: server.privateKey,
      knownhosts: [server.knownhostsLine],
      knownhostsCallback(result, fingerprint, publicKey, type, done) {
        console.log(`host key ${type} ${fingerprint} matches no known-hosts line (result ${result}): refused`);
        done(false);
      },
      connectCallback() {
        console.log(`connected as ${server.username}; the host key matched the known-hosts line`);
        for (const command of commands) {
          console.log(`running: ${command}`);
          // The command is a Buffer: its bytes go to the server as they are.
          client.exec(Buffer.from(command), (status, output) => {
            const from = status === 0 ? 'standard output' : 'standard error';
            console.log(`[${command}] exited with status ${status}; its ${from}:`);
            show(output);
          }, (error) => {
            console.log(`[${command}] failed: ${error.message}`);
          });
        }
      },
      disconnectCallback() {
        console.log('every command has reported; the session has ended');
        resolve();
      },
      errorCallback: reject,
    });
  });
});
