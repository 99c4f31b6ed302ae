// Runs kestrum-host with the plug-in loaded, on a free loopback port, in a
// temporary folder; stopped with SIGTERM. KESTRUM_HOST and QUELBY_PLUGIN name
// the two build outputs (CTest sets them).
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const START_TIMEOUT_MS = 30000;
const STOP_TIMEOUT_MS = 30000;

function configured() {
  return Boolean(process.env.KESTRUM_HOST && process.env.QUELBY_PLUGIN);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.unref();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function start() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'quelby-host-'));
  const port = await freePort();
  const config = {
    Name: 'BrowserTestHost',
    HttpPort: port,
    DicomPort: 0,   // hosts of parallel tests would meet on the default port
    StorageDirectory: path.join(folder, 'storage'),
    Plugins: [process.env.QUELBY_PLUGIN],
    // The placeholder kinds point at a Kestrum server on this machine's
    // default port: that server is this host.
    HttpConnectTo: [`localhost:8042:127.0.0.1:${port}`]
  };
  fs.writeFileSync(path.join(folder, 'config.json'), JSON.stringify(config, null, 2));

  const log = fs.openSync(path.join(folder, 'host.log'), 'a');
  // No proxy: the host's HTTP client would honour one.
  const env = Object.fromEntries(Object.entries(process.env).filter(([k]) => !/proxy/i.test(k)));
  const child = spawn(process.env.KESTRUM_HOST, [path.join(folder, 'config.json')],
                      { cwd: folder, env, stdio: ['ignore', log, log] });
  let exited = null;
  child.on('exit', (code, signal) => { exited = { code, signal }; });

  const base = `http://127.0.0.1:${port}`;
  const logText = () => fs.readFileSync(path.join(folder, 'host.log'), 'utf8');
  const deadline = Date.now() + START_TIMEOUT_MS;
  for (;;) {
    if (exited) {
      throw new Error(`kestrum-host exited at start (${JSON.stringify(exited)}):\n${logText()}`);
    }
    try {
      const answer = await fetch(base + '/system');
      if (answer.status === 200) {
        break;
      }
    } catch (error) {
      // not listening yet
    }
    if (Date.now() > deadline) {
      child.kill('SIGKILL');
      throw new Error('kestrum-host did not answer /system:\n' + logText());
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }

  return {
    base,
    pageUrl: base + '/plugins/quelby-cloud/app/index.html',
    explorerUrl: base + '/app/explorer.html',
    logText,
    // Resolves with the exit status; the folder is removed.
    stop: () => new Promise((resolve) => {
      const finish = () => {
        fs.closeSync(log);
        fs.rmSync(folder, { recursive: true, force: true });
        resolve(exited);
      };
      if (exited) {
        return finish();
      }
      const timer = setTimeout(() => child.kill('SIGKILL'), STOP_TIMEOUT_MS);
      child.on('exit', () => { clearTimeout(timer); finish(); });
      child.kill('SIGTERM');
    })
  };
}

module.exports = { configured, start };
