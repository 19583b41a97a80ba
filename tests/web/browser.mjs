// A small driver of Debian's headless Chromium for the page's tests: the page served from a
// folder on 127.0.0.1, the browser spoken to over its DevTools pipe (file descriptors 3 and 4,
// one JSON message ending in a zero byte each way). Nothing is fetched from the network.
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const types = {
  '.html': 'text/html',
  '.js': 'text/javascript',
  '.css': 'text/css',
  '.wasm': 'application/wasm'
};

// Serves the files of `folder`; resolves to the server, listening on a free port.
export function serve(folder) {
  const server = http.createServer((request, response) => {
    const name = path.join(
        folder, path.normalize(decodeURIComponent(new URL(request.url, 'http://x').pathname)));
    const file = name.endsWith('/') ? path.join(name, 'index.html') : name;
    if (!file.startsWith(folder) || !fs.existsSync(file)) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(
        200, { 'content-type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

export class Browser {
  constructor(profile) {
    this.process = spawn(
        'chromium-headless-shell',
        [
          '--remote-debugging-pipe', '--no-sandbox', '--disable-gpu', '--no-first-run',
          `--user-data-dir=${profile}`, 'about:blank'
        ],
        { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
    this.next = 1;
    this.waiting = new Map();
    this.listeners = [];
    let pending = '';
    this.process.stdio[4].on('data', (data) => {
      pending += data.toString();
      for (let end; (end = pending.indexOf('\0')) >= 0; pending = pending.slice(end + 1)) {
        const message = JSON.parse(pending.slice(0, end));
        const call = this.waiting.get(message.id);
        if (call) {
          this.waiting.delete(message.id);
          if (message.error) call.reject(new Error(`${call.method}: ${message.error.message}`));
          else call.resolve(message.result);
        } else {
          this.listeners.forEach((listener) => listener(message));
        }
      }
    });
  }

  send(method, params = {}, sessionId = this.session) {
    const id = this.next++;
    this.process.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + '\0');
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject, method }));
  }

  // The first event named `method` for which `test` holds, or a failure after `seconds`.
  event(method, seconds, test = () => true) {
    return new Promise((resolve, reject) => {
      const timer =
          setTimeout(() => reject(new Error(`no ${method} in ${seconds} s`)), seconds * 1000);
      const listener = (message) => {
        if (message.method !== method || !test(message.params)) return;
        clearTimeout(timer);
        this.listeners = this.listeners.filter((other) => other !== listener);
        resolve(message.params);
      };
      this.listeners.push(listener);
    });
  }

  // Opens a tab on `url`, its downloads going to `downloads`.
  async open(url, downloads) {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' }, undefined);
    this.session =
        (await this.send('Target.attachToTarget', { targetId, flatten: true }, undefined))
            .sessionId;
    await this.send(
        'Browser.setDownloadBehavior',
        { behavior: 'allow', downloadPath: downloads, eventsEnabled: true }, undefined);
    await this.send('Page.enable');
    const loaded = this.event('Page.loadEventFired', 30);
    await this.send('Page.navigate', { url });
    await loaded;
  }

  async evaluate(expression) {
    const { result, exceptionDetails } = await this.send(
        'Runtime.evaluate',
        { expression, returnByValue: true, awaitPromise: true, userGesture: true });
    if (exceptionDetails)
      throw new Error(`${expression}: ${exceptionDetails.exception?.description}`);
    return result.value;
  }

  // Waits until `expression` is true in the page.
  async until(expression, seconds) {
    for (const end = Date.now() + seconds * 1000; Date.now() < end;) {
      if (await this.evaluate(expression)) return;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    throw new Error(`not within ${seconds} s: ${expression}`);
  }

  // Chooses `file` in the page's file input, as a person picking it would.
  async choose(selector, file) {
    const { root } = await this.send('DOM.getDocument');
    const { nodeId } = await this.send('DOM.querySelector', { nodeId: root.nodeId, selector });
    await this.send('DOM.setFileInputFiles', { nodeId, files: [file] });
  }

  async screenshot(file) {
    const { data } =
        await this.send('Page.captureScreenshot', { format: 'png', captureBeyondViewport: true });
    fs.writeFileSync(file, Buffer.from(data, 'base64'));
  }

  close() {
    const ended = new Promise((resolve) => this.process.once('exit', resolve));
    this.send('Browser.close', {}, undefined).catch(() => {});
    return ended;
  }
}
