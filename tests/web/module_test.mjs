// The page's module (build-web/site/kestrix.js) under node, reading files through its own file
// layer with node's fs: on each container it must find what the native `kx test --json` finds,
// entry by entry (the page test compares the bytes it saves with kx extract's).
// Usage: node module_test.mjs SITE KX WORK FAR_TABLE_CONTAINER
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import fs from 'node:fs';
import {createRequire} from 'node:module';
import path from 'node:path';

const [site, kxProgram, work, farTable] = process.argv.slice(2);
const createKestrix = createRequire(import.meta.url)(path.resolve(site, 'kestrix.js'));
const files = new Map();
let proven = null; // entry index -> the proof the stepwise prover told
const kx = await createKestrix({
  kestrixProven(index, reason, size) {
    assert.ok(!proven.has(index), `entry ${index} is told once`);
    proven.set(index, { status: code(reason), unpacked_size: reason === 0 ? size : null });
  },
  wasmBinary: fs.readFileSync(path.resolve(site, 'kestrix.wasm')),
  kestrixFiles: {
    open(name) {
      try {
        const fd = fs.openSync(name, 'r');
        files.set(fd, fs.fstatSync(fd).size);
        return fd;
      } catch {
        return -1;
      }
    },
    size: (fd) => files.get(fd),
    read(fd, position, length) {
      const bytes = new Uint8Array(length);
      return bytes.subarray(0, fs.readSync(fd, bytes, 0, length, position));
    },
    close(fd) {
      files.delete(fd);
      fs.closeSync(fd);
    },
  },
});

function withText(name, text) {
  const size = kx.lengthBytesUTF8(text) + 1;
  const at = kx._malloc(size);
  kx.stringToUTF8(text, at, size);
  const result = kx[name](at);
  kx._free(at);
  return result;
}
const code = (reason) => kx.UTF8ToString(kx._kx_reason_code(reason));

// What the module finds in the container at `file`: the survey, each entry's status and
// unpacked size as kx test --json gives them.
function moduleTest(file) {
  assert.equal(withText('_kx_open', file), 1, `${file} opens`);
  const survey = JSON.parse(kx.UTF8ToString(kx._kx_survey()));
  const entries = survey.entries.map((entry) => {
    if (entry.reason !== 0) return { status: code(entry.reason), unpacked_size: null };
    const reason = kx._kx_prove(entry.index);
    return { status: code(reason), unpacked_size: reason === 0 ? kx._kx_proven_size() : null };
  });
  // All that the survey passed at once, side by side, a step of a slice at a time: the same
  // proofs, one for each.
  proven = new Map();
  kx._kx_prove_begin();
  while (kx._kx_prove_step(0))
    ;
  const failed = kx._kx_prove_failed();
  const passed = survey.entries.filter((entry) => entry.reason === 0);
  assert.deepEqual(
      passed.map((entry) => proven.get(entry.index)), passed.map((entry) => entries[entry.index]),
      `${file}: the proofs side by side are those one at a time`);
  assert.equal(proven.size, passed.length);
  assert.equal(failed, passed.filter((entry) => entries[entry.index].status !== 'ok').length);
  return { survey, entries };
}

function nativeTest(file) {
  const run = spawnSync(kxProgram, ['test', file, '--json'], { encoding: 'utf8' });
  return JSON.parse(run.stdout);
}

function compare(file, expected) {
  const { survey, entries } = moduleTest(file);
  const native = nativeTest(file);
  assert.deepEqual(
      entries,
      native.entries.map((entry) => ({ status: entry.status, unpacked_size: entry.unpacked_size })),
      `${file}: the module's proofs are kx's`,
  );
  const failed = Object.fromEntries(
      entries.flatMap((entry, index) => (entry.status === 'ok' ? [] : [[index, entry.status]])),
  );
  assert.deepEqual(failed, expected, `${file}: the entries that fail, with their reasons`);
  return survey;
}

// The example: every entry good.
const example = 'examples/example.dz';
const survey = compare(example, {});
assert.equal(survey.good, true);
assert.equal(survey.header.phoneModel, 'KX100');
assert.deepEqual(
    survey.outputs.map((output) => output.name), ['boot.img', 'modem.bin', 'version.txt']);

// A damaged copy: packed data changed in one entry, a sub-file header in another.
const damaged = Buffer.from(fs.readFileSync(example));
const [, modem, modemPiece] = survey.entries;
damaged[modem.offset + 196 + Math.floor(modem.packedSize / 2)] ^= 0x40;
damaged[modemPiece.offset + 30] ^= 1;
const damagedPath = path.join(work, 'damaged.dz');
fs.writeFileSync(damagedPath, damaged);
const damagedSurvey = compare(damagedPath, { 1: 'unpack', 2: 'subfile-header-digest' });
assert.equal(damagedSurvey.good, false);

// The table past 4 GiB, in a sparse file.
assert.ok(fs.statSync(farTable).size > 2 ** 32);
const far = compare(farTable, {});
assert.equal(far.table.verdict, 0);
assert.deepEqual(
    far.outputs.map((output) => [output.name, output.pieces]),
    [['"boot".img', [0]], ['syst\u00e8me.img', [1, 2]]]);

// An index past the entries reads nothing.
assert.equal(code(kx._kx_prove(far.entries.length)), 'read');
assert.equal(kx._kx_reader_open(far.entries.length), 0);
assert.equal(kx._kx_reader_read(), 0);

// A file that is not there.
assert.equal(withText('_kx_open', path.join(work, 'missing.dz')), 0);
assert.match(kx.UTF8ToString(kx._kx_error()), /No such file/);
console.log('module_test: the module proves as kx does: example, damaged copy, table past 4 GiB');
