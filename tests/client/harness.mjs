// Starts and stops the real native ravelink for the client and browser tests.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const REPO_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const BUILD_DIR = process.env.RAVELINK_BUILD_DIR || path.join(REPO_DIR, 'build/linux');
export const PROGRAM = path.join(BUILD_DIR, 'ravelink');
export const PLUGIN_DIR = path.join(BUILD_DIR, 'tests/plugins');
export const HOST = '127.0.0.1';
export const PORT = 7321;

// The `ws` package as Debian installs it (node-ws, scripts/install-deps.sh), outside any
// node_modules folder.
const WS_PACKAGE = '/usr/share/nodejs/ws';
if (!existsSync(WS_PACKAGE)) throw new Error(`${WS_PACKAGE} is missing: run scripts/install-deps.sh (node-ws)`);
export const WsWebSocket = createRequire(import.meta.url)(WS_PACKAGE);

export function plugin(name) {
  const file = path.join(PLUGIN_DIR, `${name}.so`);
  if (!existsSync(file)) throw new Error(`test plug-in ${file} is missing: build the linux preset first`);
  return file;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export function portAnswers(port = PORT) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: HOST, port });
    socket.once('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.once('error', () => resolve(false));
  });
}

/** A TCP port on 127.0.0.1 that nothing listens on right now. */
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, HOST, () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

/**
 * Starts build/linux/ravelink and resolves once 127.0.0.1:7321 accepts connections. Fails clearly
 * when the port is already taken, since the tests would otherwise talk to someone else's server.
 */
export async function startRavelink() {
  if (!existsSync(PROGRAM)) throw new Error(`${PROGRAM} is missing: build the linux preset first`);
  if (await portAnswers()) {
    throw new Error(
      `${HOST}:${PORT} is already taken by another process (another ravelink?); stop it before running these tests`,
    );
  }
  // The build tree's information plug-in, libravelink_info.so, loads by bare name as it does once
  // installed: the loader searches LD_LIBRARY_PATH like the system library directory.
  const env = { ...process.env, LD_LIBRARY_PATH: BUILD_DIR };
  const child = spawn(PROGRAM, [], { stdio: ['ignore', 'ignore', 'pipe'], env });
  let stderr = '';
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (text) => {
    stderr += text;
  });
  let exited = null;
  const exit = new Promise((resolve) => {
    child.once('exit', (code, signal) => {
      exited = { code, signal };
      resolve(exited);
    });
  });
  for (let waited = 0; ; waited += 50) {
    if (exited) {
      throw new Error(`ravelink exited with ${exited.code ?? exited.signal} before listening:\n${stderr}`);
    }
    if (await portAnswers()) break;
    if (waited > 10000) {
      child.kill('SIGKILL');
      throw new Error(`ravelink did not listen on ${HOST}:${PORT} within 10 s:\n${stderr}`);
    }
    await sleep(50);
  }
  return {
    child,
    exit,
    get stderr() {
      return stderr;
    },
    async stop(signal = 'SIGTERM') {
      if (!exited) child.kill(signal);
      return exit;
    },
  };
}
