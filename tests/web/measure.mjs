// Measures the processor time headless Chromium takes to check a container on the page: every
// process of the browser, from the moment the container is chosen to the verdict.
// Usage: node measure.mjs SITE CONTAINER WORK
import fs from 'node:fs';
import path from 'node:path';
import { Browser, processorTime, serve } from './browser.mjs';

const [site, container, work] = process.argv.slice(2).map((argument) => path.resolve(argument));
fs.mkdirSync(work, { recursive: true });
const server = await serve(site);
const browser = new Browser(path.join(work, 'profile-measure'));
try {
  await browser.open(`http://127.0.0.1:${server.address().port}/`, work);
  await browser.until('document.body.dataset.ready !== undefined', 30);
  const before = processorTime(browser.process.pid);
  const started = Date.now();
  await browser.choose('#pick', container);
  await browser.until("document.querySelector('#verdict.good, #verdict.bad')", 3600);
  const seconds = processorTime(browser.process.pid) - before;
  const verdict = await browser.evaluate("document.getElementById('verdict').firstChild.textContent");
  console.log(`measure: ${verdict}; processor time ${seconds.toFixed(2)} s, ` +
    `wall ${((Date.now() - started) / 1000).toFixed(2)} s`);
} finally {
  await browser.close();
  server.close();
}
