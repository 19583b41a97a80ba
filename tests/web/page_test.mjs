// The page in headless Chromium, used as a person would: a container chosen in its file input,
// the verdict read off the page (in kx test's words), the outputs saved (downloaded, and into a
// folder) and their bytes compared with what kx extract writes; a damaged copy names each
// failing entry with kx's reason; the page opened again with the server gone; on a phone-sized
// screen nothing runs off the side; the container whose table lies past 4 GiB is read where it
// should be, and one of large entries, read ahead in streams, whole and damaged. Screenshots of
// the results are kept in WORK.
// Usage: node page_test.mjs SITE KX WORK FAR_TABLE_CONTAINER LARGE_ENTRIES_CONTAINER
import assert from 'node:assert/strict';
import {execFileSync, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import {Browser, serve} from './browser.mjs';

const [site, kx, work, far, large] =
    process.argv.slice(2).map((argument) => path.resolve(argument));
const downloads = path.join(work, 'downloads');
const extracted = path.join(work, 'extracted');
fs.rmSync(downloads, { recursive: true, force: true });
fs.rmSync(extracted, { recursive: true, force: true });
fs.mkdirSync(downloads, { recursive: true });
const example = path.resolve('examples/example.dz');
execFileSync(kx, ['extract', example, '-C', extracted, '-q']);

// kx test's verdict and error lines on `file`, without the file's name.
function kxTest(file) {
  const run = spawnSync(kx, ['test', file], { encoding: 'utf8' });
  const verdict = run.stdout.trim().split('\n').pop().replace(`${file}: `, '');
  const errors = run.stderr.trim().split('\n').filter(Boolean).map(
      (line) => line.replace(`kx: ${file}: `, ''));
  return { verdict, errors };
}

const server = await serve(site);
const browser = new Browser(path.join(work, 'profile'));
try {
  await browser.open(`http://127.0.0.1:${server.address().port}/`, downloads);
  await browser.send(
      'Emulation.setDeviceMetricsOverride',
      { width: 1000, height: 900, deviceScaleFactor: 1, mobile: false });
  const verdict = "document.querySelector('#verdict.good, #verdict.bad')";
  // Once loaded, the page needs no network: the server is gone before it is opened again and a
  // file is chosen.
  await browser.until('document.body.dataset.ready !== undefined', 30);
  await browser.until('navigator.serviceWorker.controller !== null', 30);
  server.close();
  server.closeAllConnections();
  const reloaded = browser.event('Page.loadEventFired', 30);
  await browser.send('Page.reload');
  await reloaded;
  await browser.until('document.body.dataset.ready !== undefined', 30);

  // The file input is the first stop of the keyboard.
  await browser.send(
      'Input.dispatchKeyEvent',
      { type: 'keyDown', key: 'Tab', code: 'Tab', windowsVirtualKeyCode: 9 });
  assert.equal(await browser.evaluate('document.activeElement.id'), 'pick');

  // The example: all good, the two-piece output saved whole.
  await browser.choose('#pick', example);
  await browser.until(verdict, 30);
  const good = kxTest(example);
  assert.equal(
      await browser.evaluate("document.getElementById('verdict').textContent"),
      good.verdict.replace(/^OK: /, 'All good: '));
  assert.deepEqual(
      await browser.evaluate(
          "[...document.querySelectorAll('#table tbody tr')].map((row) => row.cells[7].textContent)"),
      ['good', 'good', 'good', 'good']);
  assert.equal(
      await browser.evaluate("document.querySelector('#header dd:nth-of-type(3)').textContent"),
      'KX100');
  const packed = JSON.parse(execFileSync(kx, ['list', example, '--json']))
                     .entries.reduce((sum, entry) => sum + entry.packed_size, 0);
  assert.match(
      await browser.evaluate("document.getElementById('progress-text').textContent"),
      new RegExp(`^${packed} B of ${packed} B `));
  // Three saves asked at once come one after another, each whole.
  let completed = 0;
  const saved = browser.event(
      'Browser.downloadProgress', 30,
      (event) => event.state === 'canceled' || (event.state === 'completed' && ++completed === 3));
  await browser.evaluate(
      "document.querySelectorAll('#outputs button').forEach((button) => button.click())");
  assert.equal((await saved).state, 'completed');
  for (const name of ['boot.img', 'modem.bin', 'version.txt']) {
    assert.ok(
        fs.readFileSync(path.join(downloads, name))
            .equals(fs.readFileSync(path.join(extracted, name))),
        `the saved ${name} holds the bytes kx extract writes`);
  }
  await browser.screenshot(path.join(work, 'page-good.png'));

  // Into a folder (File System Access; the page's private folder stands for the one a person
  // picks): every output that proved good, and nothing else.
  await browser.evaluate(`window.showDirectoryPicker = () => navigator.storage.getDirectory()`);
  const folder = `(async () => {
    const files = {};
    for await (const [name, handle] of (await navigator.storage.getDirectory()).entries()) {
      const bytes = new Uint8Array(await (await handle.getFile()).arrayBuffer());
      files[name] = Array.from(bytes, (byte) => byte.toString(16).padStart(2, '0')).join('');
    }
    return files;
  })()`;
  const saveToFolder = async () => {
    await browser.evaluate(`(async () => {
      const folder = await navigator.storage.getDirectory();
      for await (const name of folder.keys()) await folder.removeEntry(name);
      await document.getElementById('save-folder').onclick();
    })()`);
    return browser.evaluate(folder);
  };
  const extractedHex = (names) => Object.fromEntries(
      names.map((name) => [name, fs.readFileSync(path.join(extracted, name)).toString('hex')]));
  assert.deepEqual(await saveToFolder(), extractedHex(['boot.img', 'modem.bin', 'version.txt']));

  // Damaged copies: the packed data of one entry changed and the header of another; the file
  // cut short. Each fault is named as kx names it, and a failed output cannot be saved. And the
  // table past 4 GiB.
  const [, modem, modemPiece] = JSON.parse(execFileSync(kx, ['list', example, '--json'])).entries;
  const damaged = Buffer.from(fs.readFileSync(example));
  damaged[modem.offset + 196 + Math.floor(modem.packed_size / 2)] ^= 0x40; // its packed data
  damaged[modemPiece.offset + 30] ^= 1; // the second piece's header
  // Large entries, which the page reads ahead in streams: whole; then two changed in their
  // packed data, one deep in it, one early.
  const largeEntries = JSON.parse(execFileSync(kx, ['list', large, '--json'])).entries;
  const [, part2] = largeEntries;
  const last = largeEntries[largeEntries.length - 1];
  const largeDamaged = Buffer.from(fs.readFileSync(large));
  largeDamaged[part2.offset + 196 + Math.floor(part2.packed_size * 3 / 4)] ^= 0x40;
  largeDamaged[last.offset + 196 + Math.floor(last.packed_size / 3)] ^= 0x40;
  const cases = [
    { name: 'damaged.dz', bytes: damaged, faults: 2, disabled: [false, true, false] },
    { name: 'cut.dz', bytes: fs.readFileSync(example).subarray(0, 1000), faults: 1, disabled: [] },
    { name: path.basename(far), faults: 0, disabled: [false, false] },
    { name: path.basename(large), faults: 0, disabled: Array(6).fill(false) },
    {
      name: 'large-damaged.dz',
      bytes: largeDamaged,
      faults: 2,
      disabled: [false, true, false, false, false, true],
    },
  ];
  for (const { name, bytes, faults, disabled } of cases) {
    const file = bytes ? path.join(work, name) : name === path.basename(far) ? far : large;
    if (bytes) fs.writeFileSync(file, bytes);
    await browser.choose('#pick', file);
    await browser.until(
        `${verdict} && document.getElementById('title').textContent === '${name}'`, 30);
    const native = kxTest(file);
    assert.equal(native.errors.length, faults);
    assert.equal(
        await browser.evaluate("document.querySelector('#verdict').firstChild.textContent"),
        native.verdict.replace(/^OK: /, 'All good: '));
    assert.deepEqual(
        await browser.evaluate(
            "[...document.querySelectorAll('#verdict li')].map((item) => item.textContent)"),
        native.errors);
    assert.deepEqual(
        await browser.evaluate(
            "[...document.querySelectorAll('#outputs button')].map((b) => b.disabled)"),
        disabled);
  }
  await browser.choose('#pick', path.join(work, 'damaged.dz'));
  await browser.until(
      `${verdict} && document.getElementById('title').textContent === 'damaged.dz'`, 30);
  assert.deepEqual(await saveToFolder(), extractedHex(['boot.img', 'version.txt']));
  assert.ok(await browser.evaluate(`document.getElementById('failed').hidden`), 'nothing failed');

  // A phone's width: nothing wider than the screen but the table, which scrolls in its own box.
  await browser.send(
      'Emulation.setDeviceMetricsOverride',
      { width: 390, height: 844, deviceScaleFactor: 2, mobile: true });
  assert.ok(await browser.evaluate('document.documentElement.scrollWidth <= 390'));
  await browser.screenshot(path.join(work, 'page-damaged-phone.png'));
} finally {
  await browser.close();
  server.close();
}
console.log(
    `page_test: verdicts, saved bytes and a phone's width as expected; screenshots in ${work}`);
