'use strict';
// Drive an interactive shell over SSH: `node examples/shell.js`. Starts an OpenSSH server of its own
// (it must run as root to hand out a pseudo-terminal), opens a shell on a 100x30 vt100 terminal,
// types commands one at a time, waiting for each answer, resizes the terminal, and leaves with exit.
const path = require('node:path');
const { SshClient } = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

// Each step is typed once the marker of the previous answer has come back; the markers are built
// by the shell ("do""ne") so that the echo of the typed line never matches them.
const steps = [
  { type: 'echo "TERM=$TERM size=$(stty size)"; echo "do""ne 1"\n', marker: 'done 1' },
  { resize: [132, 43], type: 'echo "size now $(stty size)"; echo "do""ne 2"\n', marker: 'done 2' },
  { type: 'exit\n' },
];

function printable(text) {
  return text.replace(/\x1b\[[0-9;?]*[A-Za-z]/g, '').replace(/\r/g, '');
}

runExample('shell', async (servers) => {
  const server = await servers.sshd();
  if (!server.canOpenShells) {
    throw new Error('an sshd that does not run as root cannot give a shell a pseudo-terminal: run this as root');
  }
  console.log(`started an OpenSSH server on ${server.host}:${server.port}`);
  await new Promise((resolve, reject) => {
    const client = new SshClient();
    client.connect({
      host: server.host,
      port: String(server.port),
      username: server.username,
      privateKey: server.privateKey,
      knownhosts: [server.knownhostsLine],
      connectCallback() {
        console.log('connected; opening a shell on a vt100 terminal of 100 columns and 30 rows');
        let output = '';
        let terminal = null;
        let next = 0;
        const typeNext = () => {
          const step = steps[next++];
          if (step.resize) {
            console.log(`resizing the terminal to ${step.resize[0]}x${step.resize[1]}`);
            terminal.sendSize(...step.resize);
          }
          console.log(`typing: ${step.type.trimEnd()}`);
          terminal.sendData(Buffer.from(step.type));
        };
        client.shell({ term: 'vt100', columns: 100, rows: 30 }, (ready) => {
          terminal = ready;
          typeNext();
        }, (data) => {
          output += data.toString();
          const step = steps[next - 1];
          if (step.marker && output.includes(`${step.marker}\r\n`)) {
            console.log('the shell answered:');
            show(printable(output).split('\n').filter((line) => !line.includes('do""ne')).join('\n'));
            output = '';
            typeNext();
          }
        }, () => {
          console.log('the shell has ended (after exit); the session closes with its last shell');
        });
      },
      disconnectCallback() {
        console.log('the session has ended');
        resolve();
      },
      errorCallback: reject,
    });
  });
});
