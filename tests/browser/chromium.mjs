// Drives Debian's headless Chromium over the DevTools protocol on --remote-debugging-pipe (no npm
// packages): one page, JavaScript evaluation in it, and screenshots.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';

export const CHROMIUM = process.env.RAVELINK_CHROMIUM || '/usr/bin/chromium';

const FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--no-default-browser-check',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--disable-extensions',
  '--hide-scrollbars',
  '--remote-debugging-pipe',
];

export class Browser {
  static async launch() {
    const profile = mkdtempSync(path.join(os.tmpdir(), 'ravelink-chromium-'));
    const child = spawn(CHROMIUM, [...FLAGS, `--user-data-dir=${profile}`, 'about:blank'], {
      stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'],
    });
    const browser = new Browser(child, profile);
    await browser.send('Browser.getVersion').catch((error) => {
      throw new Error(`${CHROMIUM} did not answer on its DevTools pipe: ${error.message}\n${browser.stderr}`);
    });
    return browser;
  }

  constructor(child, profile) {
    this.child = child;
    this.profile = profile;
    this.stderr = '';
    this.nextId = 1;
    this.calls = new Map();
    this.listeners = new Set();
    this.exited = new Promise((resolve) => child.once('exit', resolve));
    child.once('exit', (code, signal) => {
      for (const { reject } of this.calls.values()) reject(new Error(`Chromium exited (${code ?? signal})`));
      this.calls.clear();
    });
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      this.stderr = (this.stderr + text).slice(-20000);
    });
    let pending = '';
    child.stdio[4].setEncoding('utf8');
    child.stdio[4].on('data', (text) => {
      pending += text;
      let end;
      while ((end = pending.indexOf('\0')) >= 0) {
        const message = JSON.parse(pending.slice(0, end));
        pending = pending.slice(end + 1);
        this.dispatch(message);
      }
    });
  }

  dispatch(message) {
    if (message.id !== undefined) {
      const call = this.calls.get(message.id);
      if (!call) return;
      this.calls.delete(message.id);
      if (message.error) call.reject(new Error(`${call.method}: ${message.error.message}`));
      else call.resolve(message.result);
      return;
    }
    for (const listener of this.listeners) listener(message);
  }

  send(method, params = {}, sessionId = undefined) {
    const id = this.nextId++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      this.calls.set(id, { resolve, reject, method });
      this.child.stdio[3].write(`${JSON.stringify(message)}\0`);
    });
  }

  async newPage({ width = 1280, height = 800 } = {}) {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, sessionId);
    await page.send('Page.enable');
    await page.send('Runtime.enable');
    await page.send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: 1, mobile: false });
    return page;
  }

  async close() {
    try {
      await Promise.race([this.send('Browser.close'), new Promise((resolve) => setTimeout(resolve, 3000))]);
    } catch {
      // Already gone.
    }
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 3000);
    await this.exited;
    clearTimeout(timer);
    rmSync(this.profile, { recursive: true, force: true });
  }
}

export class Page {
  constructor(browser, sessionId) {
    this.browser = browser;
    this.sessionId = sessionId;
    this.console = [];
    browser.listeners.add((message) => {
      if (message.sessionId !== sessionId) return;
      if (message.method === 'Runtime.consoleAPICalled') {
        const text = message.params.args.map((a) => a.value ?? a.description ?? '').join(' ');
        this.console.push(`console.${message.params.type}: ${text}`);
      } else if (message.method === 'Runtime.exceptionThrown') {
        const details = message.params.exceptionDetails;
        this.console.push(`exception: ${details.exception?.description ?? details.text}`);
      } else if (message.method === 'Page.loadEventFired') {
        this.onLoad?.();
      }
    });
  }

  send(method, params = {}) {
    return this.browser.send(method, params, this.sessionId);
  }

  async goto(url) {
    const loaded = new Promise((resolve) => {
      this.onLoad = resolve;
    });
    const result = await this.send('Page.navigate', { url });
    if (result.errorText) throw new Error(`navigation to ${url} failed: ${result.errorText}`);
    await loaded;
  }

  /** Evaluates an expression (awaiting a promise result) and returns its value. */
  async evaluate(expression) {
    const result = await this.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (result.exceptionDetails) {
      const details = result.exceptionDetails;
      throw new Error(`in page: ${details.exception?.description ?? details.text}`);
    }
    return result.result.value;
  }

  /** Polls `expression` until it is truthy; fails with what the page logged when it never is. */
  async waitFor(expression, what, timeoutMs = 10000) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
      const value = await this.evaluate(expression);
      if (value) return value;
      if (Date.now() > deadline) {
        throw new Error(`timed out waiting for ${what}\npage console:\n${this.console.join('\n')}`);
      }
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
  }

  async screenshot() {
    const { data } = await this.send('Page.captureScreenshot', { format: 'png' });
    return Buffer.from(data, 'base64');
  }
}
