// The Worker that runs the library (kestrix.js, kestrix.wasm) on the file the page hands it: it
// reads pieces of the File itself (FileReaderSync, and streams read ahead), so the container is
// never one buffer and nothing leaves the machine. Messages in: {open: File}, {save: output index}.
// Messages out: ready (once the module is loaded), survey, proof (one per entry, as each ends),
// progress, verified, chunk (a saved output's bytes, in order) and saved (whether every piece of it
// proved good), failed.
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
// the page handed over, under the path "container". The library reads each entry's packed data
// in order, 256 KiB at a time, several entries in hand at once.
//
// A large entry is read ahead, between the steps of the library's proof, through a stream of
// its bytes read into buffers of its own that are used again (a BYOB reader): the browser
// gives bytes that way at a fraction of the processor time a FileReaderSync takes for them.
// Each step goes on by kStep bytes of each entry in hand, which takes about as many packed
// bytes, so kAhead bytes read ahead of where each stream stands serve it.
const kStep = 1 << 20;
const kChunk = 2 << 20;
const kAhead = 2 * kStep;
const kStreams = 8;
const kLargeEntry = 4 << 20; // packed bytes
const kDataOffset = 196;     // an entry's packed data follows its header and the header's digest
let streams = [];            // the most recently used first

// Any other read (the header and the table, small entries, the first piece of a large one, a
// stream that fell behind) is read when it is asked. Each FileReaderSync read costs a round to
// the process that holds the file, so it reads slices of 8 MiB, each starting at a multiple of
// 8 MiB, of which the library's reads take their bytes. A few slices are kept: one that is
// needed again and is not kept replaces the one used longest ago. A read across the edge of a
// slice is read as it is asked.
const kSlice = 8 << 20;
const kSlices = 6;
let slices = [];

function readSlice(start, end) {
  return new Uint8Array(fileReader.readAsArrayBuffer(file.slice(start, end)));
}

function readNow(position, end) {
  const start = Math.floor(position / kSlice) * kSlice;
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
}

// Where the packed data of the large entry that holds `position` ends; 0 when none does.
function largeEntryEnd(position) {
  for (const entry of survey ? survey.entries : []) {
    const start = entry.offset + kDataOffset;
    const end = Math.min(start + entry.packedSize, file.size);
    if (entry.packedSize >= kLargeEntry && position >= start && position < end) return end;
  }
  return 0;
}

function openStream(start, end) {
  const reader = file.slice(start, end).stream().getReader({ mode: 'byob' });
  streams.unshift({ next: start, end, reader, chunks: [], buffered: start, spare: [] });
  for (const old of streams.splice(kStreams)) old.reader.cancel().catch(() => {});
}

// The bytes [position, end) of the stream, which holds them; the chunks before them go back.
function take(stream, position, end) {
  while (stream.chunks.length > 0 &&
         stream.chunks[0].start + stream.chunks[0].bytes.length <= position) {
    stream.spare.push(stream.chunks.shift().bytes.buffer);
  }
  stream.next = end;
  const first = stream.chunks[0];
  if (end <= first.start + first.bytes.length) {
    return first.bytes.subarray(position - first.start, end - first.start);
  }
  const bytes = new Uint8Array(end - position);
  for (let at = position; at < end;) {
    const chunk = stream.chunks.find((c) => at < c.start + c.bytes.length);
    const part = chunk.bytes.subarray(
        at - chunk.start, Math.min(end, chunk.start + chunk.bytes.length) - chunk.start);
    bytes.set(part, at - position);
    at += part.length;
  }
  return bytes;
}

// Reads the stream on to kAhead bytes past where it stands, or to its end.
async function readAhead(stream) {
  try {
    while (stream.buffered < stream.end && stream.buffered - stream.next < kAhead) {
      let buffer = stream.spare.pop() || new ArrayBuffer(kChunk);
      const want = Math.min(kChunk, stream.end - stream.buffered);
      let filled = 0;
      while (filled < want) {
        const { value, done } =
            await stream.reader.read(new Uint8Array(buffer, filled, want - filled));
        if (value) buffer = value.buffer;
        if (done) break;
        filled += value.byteLength;
      }
      if (filled < want) stream.end = stream.buffered + filled;
      stream.chunks.push({ start: stream.buffered, bytes: new Uint8Array(buffer, 0, filled) });
      stream.buffered += filled;
    }
  } catch {
    // The file can no longer be read: what is asked past this is read as it is asked.
    stream.end = stream.buffered;
  }
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
    const stream = streams.find(
        (s) => position >= s.next && end <= s.buffered && s.chunks.length > 0 &&
            position >= s.chunks[0].start);
    if (stream) {
      streams.splice(streams.indexOf(stream), 1);
      streams.unshift(stream);
      return take(stream, position, end);
    }
    try {
      const entryEnd = progress.checking ? largeEntryEnd(position) : 0;
      if (entryEnd === 0) return readNow(position, end);
      // The first piece of a large entry, or one its stream has not reached: read now, and the
      // rest streamed from there.
      const behind = streams.findIndex((s) => position >= s.next && position < s.end);
      if (behind >= 0) streams.splice(behind, 1)[0].reader.cancel().catch(() => {});
      const bytes = readSlice(position, end);
      if (end < entryEnd) openStream(end, entryEnd);
      return bytes;
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

async function verify() {
  const entries = survey.entries.filter((entry) => entry.reason === 0);
  progress.total = entries.reduce((sum, entry) => sum + entry.packedSize, 0);
  progress.done = 0;
  progress.started = progress.told = performance.now();
  progress.checking = true;
  try {
    kx._kx_prove_begin();
    do {
      await Promise.all(streams.map(readAhead));
      streams = streams.filter((stream) => stream.next < stream.end);
    } while (kx._kx_prove_step(kStep));
  } finally {
    progress.checking = false;
    for (const stream of streams) stream.reader.cancel().catch(() => {});
    streams = [];
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

// One message at a time, as they come: a check goes on between its steps, and a save waits
// for it.
let handled = Promise.resolve();
onmessage = (event) => {
  handled = handled.then(() => handle(event));
};

async function handle(event) {
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
      await verify();
    } else if ('save' in event.data) {
      save(event.data.save);
    }
  } catch (error) {
    postMessage({ failed: String(error && error.message ? error.message : error) });
  }
}
