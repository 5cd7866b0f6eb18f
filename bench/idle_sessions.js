'use strict';
// Memory per idle authenticated session, in a process of its own: the growth of its resident set over
// COUNT sessions opened after a first one (which loads what every session shares), garbage collected
// before each reading. Prints the KiB per session.
// Usage: node --expose-gc bench/idle_sessions.js ours|ssh2 PORT CIPHER COUNT [ADDON]
const { loadAddon, quelbarConnect, ssh2Connect } = require('./support');

const [kind, port, cipher, count, addonFile] = process.argv.slice(2);
const BATCH = 10;

async function residentAfterCollecting() {
  for (let i = 0; i < 3; i++) {
    global.gc();
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return process.memoryUsage().rss;
}

(async () => {
  const addon = kind === 'ours' ? loadAddon(addonFile) : null;
  const connect = kind === 'ours' ? () => quelbarConnect(addon, port) : () => ssh2Connect(port, cipher);
  const sessions = [await connect()];
  const before = await residentAfterCollecting();
  for (let opened = 0; opened < Number(count); opened += BATCH) {
    sessions.push(...await Promise.all(Array.from({ length: BATCH }, connect)));
  }
  await new Promise((resolve) => setTimeout(resolve, 300));
  const after = await residentAfterCollecting();
  process.stdout.write(`${(after - before) / 1024 / Number(count)}\n`);
  for (const session of sessions) (session.close || session.end).call(session);
  process.exit(0);
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
