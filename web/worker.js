// The Worker that runs the library (kestrix.js, kestrix.wasm) on the file the page hands it: it
// reads slices of the File itself (FileReaderSync), so the container is never one buffer and
// nothing leaves the machine. Messages in: {open: File}, {save: output index}. Messages out:
// ready (once the module is loaded), survey, proof (one per entry, as each ends), progress,
// verified, chunk (a saved output's bytes, in order) and saved (whether every piece of it proved
// good), failed.
'use strict';
importScripts('kestrix.js');

const fileReader = new FileReaderSync();
let file = null;
// How far the check has gone: the packed bytes the library has read of the entries it proves
// (several in hand at once, each read once, in order), told to the page every 100 ms.
const progress = {
  checking: false,
  done: 0,
  total: 0,
  started: 0,
  told: 0
};
let kx = null;
let texts = null;

// The host side of the library's file layer (platform/web_files.cpp): one open file, the one
// the page handed over, under the path "container". Each slice the browser reads costs a round
// to the process that holds the file, so the file is read in slices of 8 MiB, each starting at
// a multiple of 8 MiB, of which the library's reads (256 KiB at a time, in order for each entry)
// take their bytes. The library has several entries in hand at once, so a few slices are kept:
// one that is needed again and is not kept replaces the one used longest ago. A read across the
// edge of a slice is read as it is asked.
const kSlice = 8 << 20;
const kSlices = 6;
let slices = [];

function readSlice(start, end) {
  return new Uint8Array(fileReader.readAsArrayBuffer(file.slice(start, end)));
}

const kestrixFiles = {
  open: (path) => (path === 'container' && file ? 0 : -1),
  size: () => file.size,
  read(id, position, length) {
    const end = Math.min(position + length, file.size);
    if (position >= end) return new Uint8Array(0);
    if (progress.checking) {
      progress.done += end - position;
      tell(Math.min(progress.done, progress.total), false);
    }
    const start = Math.floor(position / kSlice) * kSlice;
    try {
      if (end > start + kSlice) return readSlice(position, end);
      let slice = slices.find((kept) => kept.start === start);
      if (slice) {
        slices.splice(slices.indexOf(slice), 1);
      } else {
        slice = { start, bytes: readSlice(start, Math.min(start + kSlice, file.size)) };
        if (slices.length === kSlices) slices.pop();
      }
      slices.unshift(slice);
      return slice.bytes.subarray(position - start, end - start);
    } catch {
      // The file can no longer be read (moved, changed or taken away): nothing comes.
      slices = [];
      return new Uint8Array(0);
    }
  },
  close() {},
};

// Each entry's proof as the library ends it, several being in hand at once.
function kestrixProven(index, reason, size) {
  postMessage({ proof: { index, reason, size } });
}

const ready = createKestrix({ kestrixFiles, kestrixProven }).then((module) => {
  kx = module;
  texts = [];
  for (let reason = 0; reason <= 16; ++reason) {
    texts.push({
      code: kx.UTF8ToString(kx._kx_reason_code(reason)),
      text: kx.UTF8ToString(kx._kx_reason_text(reason)),
    });
  }
  postMessage({ ready: true });
});

function call(name, path) {
  const size = kx.lengthBytesUTF8(path) + 1;
  const at = kx._malloc(size);
  kx.stringToUTF8(path, at, size);
  const result = kx[name](at);
  kx._free(at);
  return result;
}

let survey = null;

function tell(done, always) {
  const now = performance.now();
  if (!always && now - progress.told < 100) return;
  progress.told = now;
  postMessage(
      { progress: { done, total: progress.total, seconds: (now - progress.started) / 1000 } });
}

function verify() {
  const entries = survey.entries.filter((entry) => entry.reason === 0);
  progress.total = entries.reduce((sum, entry) => sum + entry.packedSize, 0);
  progress.done = 0;
  progress.started = progress.told = performance.now();
  progress.checking = true;
  try {
    kx._kx_prove_good();
  } finally {
    progress.checking = false;
  }
  tell(progress.total, true);
  postMessage({ verified: { seconds: (performance.now() - progress.started) / 1000 } });
}

// Sends an output's bytes to the page a piece at a time, each proven as it is read; the page
// keeps them aside until `saved` says whether all of them proved good.
function save(index) {
  const output = survey.outputs[index];
  let reason = 0;
  for (const piece of output.pieces) {
    if (!kx._kx_reader_open(piece)) reason = 15; // read
    for (let count; reason === 0 && (count = kx._kx_reader_read()) > 0;) {
      const bytes = kx.HEAPU8.slice(kx._kx_buffer(), kx._kx_buffer() + count);
      postMessage({ chunk: { output: index, bytes } }, [bytes.buffer]);
    }
    if (reason === 0) reason = kx._kx_reader_reason();
    if (reason !== 0) break;
  }
  postMessage({ saved: { output: index, reason } });
}

onmessage = async (event) => {
  await ready;
  try {
    if (event.data.open) {
      file = event.data.open;
      slices = [];
      if (!call('_kx_open', 'container')) {
        postMessage({ failed: kx.UTF8ToString(kx._kx_error()) });
        return;
      }
      survey = JSON.parse(kx.UTF8ToString(kx._kx_survey()));
      postMessage({ survey, texts, name: file.name });
      verify();
    } else if ('save' in event.data) {
      save(event.data.save);
    }
  } catch (error) {
    postMessage({ failed: String(error && error.message ? error.message : error) });
  }
};
