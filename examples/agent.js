'use strict';
// Forward an agent to the server: `node examples/agent.js`. Starts an OpenSSH server of its own (it must
// run as root to hand out a pseudo-terminal), keeps a freshly generated Ed25519 key in an
// SshAgentStorage, opens a shell that forwards it, and has the server's `ssh-add -l` list the key. Each
// request of the server-side program is shown to script, which lets it through. The private key never
// leaves this process.
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const { SshAgentStorage, SshClient, generateSshKey } = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

runExample('agent', async (servers) => {
  const server = await servers.sshd();
  if (!server.canOpenShells) {
    throw new Error('an sshd that does not run as root cannot give a shell a pseudo-terminal: run this as root');
  }
  console.log(`started an OpenSSH server on ${server.host}:${server.port}`);

  const key = generateSshKey({ type: 'ed', comment: 'agent-example' });
  const storage = new SshAgentStorage();
  storage.addKey({ privateKey: key.privateKey, publicKey: key.publicKey });
  const fingerprint = /MD5:(\S+)/.exec(execFileSync('ssh-keygen', ['-l', '-E', 'md5', '-f',
    servers.file('agent-key.pub', key.publicKey)], { encoding: 'utf8' }))[1];
  console.log(`generated an Ed25519 key for the agent store, MD5 fingerprint ${fingerprint}`);

  const listed = await new Promise((resolve, reject) => {
    const client = new SshClient();
    let output = '';
    client.connect({
      host: server.host,
      port: String(server.port),
      username: server.username,
      privateKey: server.privateKey,
      knownhosts: [server.knownhostsLine],
      connectCallback() {
        console.log('connected; opening a shell that forwards the agent');
        client.shell({}, (terminal) => {
          console.log('typing: ssh-add -l -E md5; exit');
          terminal.sendData(Buffer.from('ssh-add -l -E md5; exit\n'));
        }, (data) => {
          output += data.toString();
        }, () => {
          console.log('the shell has ended (after exit); the session closes with its last shell');
        }, {
          storage,
          enable: true,
          onCompleteCallback(accepted) {
            console.log(`agent forwarding accepted: ${accepted}`);
          },
          onPromptCallback(requestType, keyFingerprint, reply) {
            console.log(`the server's agent client asks: ${requestType}${keyFingerprint ? ` ${keyFingerprint}` : ''}; allowed`);
            reply(true);
          },
        });
      },
      disconnectCallback() {
        console.log('the session has ended');
        resolve(output.replace(/\r/g, '').split('\n').filter((line) => line.includes('MD5:')).join('\n'));
      },
      errorCallback: reject,
    });
  });
  console.log("the server's ssh-add -l lists:");
  show(listed);
  console.log(`the same fingerprint as the generated key: ${listed.includes(`MD5:${fingerprint} `)}`);
});
