// Measures the processor time headless Chromium takes to check a container on the page: every
// process of the browser, from the moment the container is chosen to the verdict.
// Usage: node measure.mjs SITE CONTAINER WORK
import fs from 'node:fs';
import path from 'node:path';

import {Browser, serve} from './browser.mjs';

// The processor time, in seconds, that a process and all its descendants have taken so far.
function processorTime(root) {
  const stats = fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name)).flatMap((pid) => {
    try {
      const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
      return [{
        pid: Number(pid),
        parent: Number(fields[1]),
        ticks: Number(fields[11]) + Number(fields[12])
      }];
    } catch {
      return [];
    }
  });
  const inTree = new Set([root]);
  for (let grown = true; grown;) {
    grown = false;
    for (const stat of stats) {
      if (!inTree.has(stat.pid) && inTree.has(stat.parent)) {
        inTree.add(stat.pid);
        grown = true;
      }
    }
  }
  return stats.filter((stat) => inTree.has(stat.pid)).reduce((sum, stat) => sum + stat.ticks, 0) /
      100;
}

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
  const verdict =
      await browser.evaluate("document.getElementById('verdict').firstChild.textContent");
  console.log(
      `measure: ${verdict}; processor time ${seconds.toFixed(2)} s, ` +
      `wall ${((Date.now() - started) / 1000).toFixed(2)} s`);
} finally {
  await browser.close();
  server.close();
}
