'use strict';
// Reach an SSH server through a proxy: `node examples/proxy.js [type://[user:password@]host:port]`,
// type being http, socks4 or socks5 (socks4 with a host name is SOCKS4a). Starts an OpenSSH server of
// its own and, without a proxy given, a tinyproxy HTTP CONNECT proxy; the session's TCP connection
// goes to the proxy, which opens the tunnel to the server; then a command runs as on any session.
const path = require('node:path');
const { SshClient } = require(path.join(__dirname, '..'));
const { runExample, show } = require('./support/local-servers');

function proxyFromArgument(text) {
  const url = new URL(text);
  const type = url.protocol.replace(/:$/, '');
  if (!['http', 'socks4', 'socks5'].includes(type)) throw new Error(`unknown proxy type "${type}"`);
  return {
    type,
    host: url.hostname,
    port: url.port,
    username: decodeURIComponent(url.username),
    password: decodeURIComponent(url.password),
  };
}

runExample('proxy', async (servers) => {
  const server = await servers.sshd();
  console.log(`started an OpenSSH server on ${server.host}:${server.port}`);
  let proxy;
  if (process.argv[2]) {
    proxy = proxyFromArgument(process.argv[2]);
  } else {
    proxy = await servers.httpProxy();
    console.log(`started a tinyproxy HTTP proxy on ${proxy.host}:${proxy.port}`);
  }
  const credentials = proxy.username ? ` as ${proxy.username}` : '';
  console.log(`connecting through the ${proxy.type} proxy at ${proxy.host}:${proxy.port}${credentials}`);
  await new Promise((resolve, reject) => {
    const client = new SshClient();
    client.connect({
      host: server.host,
      port: String(server.port),
      username: server.username,
      privateKey: server.privateKey,
      knownhosts: [server.knownhostsLine],
      proxy: { ...proxy, port: String(proxy.port) },
      connectCallback() {
        console.log('the proxy opened the tunnel; the session stands; running: echo "$SSH_CONNECTION"');
        client.exec(Buffer.from('echo "$SSH_CONNECTION"'), (status, output) => {
          console.log(`status ${status}; the server saw this connection (client address, port, server address, port):`);
          show(output);
        }, reject);
      },
      disconnectCallback() {
        console.log('the session has ended');
        resolve();
      },
      errorCallback: reject,
    });
  });
});
