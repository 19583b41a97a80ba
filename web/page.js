// The page: takes the container the user drops or picks, hands it to the Worker (worker.js),
// shows its header, its table and each entry's verdict as it is proven, and saves outputs, each
// only once every piece of it has proven good.
'use strict';

const $ = (id) => document.getElementById(id);
let worker = null;
let survey = null;
let texts = null;
const proofs = new Map();      // entry index -> {reason, size}
let saving = null;             // the output being saved: {chunk(bytes), resolve(reason), cancel()}
let saves = Promise.resolve(); // one after another: the Worker sends one output at a time
let started = 0;
let busy = false; // the Worker is checking a container or reading an output

const text = (reason) => texts[reason].text;
const hex = (value) => value.toString(16).toUpperCase().padStart(8, '0');
// A count of bytes for people: 512 B, 1.5 KiB, 2.0 MiB, 1.25 GiB.
function size(bytes) {
  if (bytes < 1024) return `${bytes} B`;
  if (bytes < 1048576) return `${(bytes / 1024).toFixed(1)} KiB`;
  if (bytes < 1073741824) return `${(bytes / 1048576).toFixed(1)} MiB`;
  return `${(bytes / 1073741824).toFixed(2)} GiB`;
}

function element(tag, content, className) {
  const node = document.createElement(tag);
  if (content !== undefined) node.textContent = content;
  if (className) node.className = className;
  return node;
}

// A Windows file time (100 ns steps since 1601, as a decimal text) as a UTC date.
function fileTime(value) {
  const ms = BigInt(value) / 10000n - 11644473600000n;
  const date = new Date(Number(ms));
  return isNaN(date) ? 'not a date' :
                       date.toISOString().replace('T', ' ').replace(/\.\d+Z$/, ' UTC');
}

// The Worker starts with the page, so that once the page is loaded it needs no network: a
// container opened while another is still being checked ends that Worker and starts another.
function startWorker() {
  worker = new Worker('worker.js');
  worker.onmessage = (event) => receive(event.data);
  worker.onerror = (event) => fail(event.message || 'the checker could not start');
}

function open(file) {
  if (busy) {
    worker.terminate();
    startWorker();
  }
  if (saving) saving.cancel();
  busy = true;
  survey = null;
  proofs.clear();
  saving = null;
  saves = Promise.resolve();
  started = performance.now();
  $('failed').hidden = true;
  $('result').hidden = true;
  $('verdict').replaceChildren();
  $('verdict').className = 'verdict';
  worker.postMessage({ open: file });
}

function fail(message) {
  busy = false;
  $('failed').textContent = message;
  $('failed').hidden = false;
}

function receive(message) {
  if (message.ready) document.body.dataset.ready = '';
  else if (message.survey) showSurvey(message);
  else if (message.proof) showProof(message.proof);
  else if (message.progress) showProgress(message.progress);
  else if (message.verified) showVerdict(message.verified);
  else if (message.chunk && saving) saving.chunk(message.chunk.bytes);
  else if (message.saved && saving) saving.resolve(message.saved.reason);
  else if (message.failed) fail(message.failed);
}

function showSurvey(message) {
  ({ survey, texts } = message);
  $('title').textContent = message.name;
  const header = survey.header;
  const rows = [
    ['Verdict', header.verdict === 0 ? 'good' : text(header.verdict)],
    ['Version', header.version],
    ['Phone model', header.phoneModel],
    ['Internal name', header.internalName],
    ['Chip', header.chip],
    ['File name', header.fileName],
    ['Sub-files', header.subfileCount],
    ['Created', fileTime(header.creationTime)],
    ['Size', `${size(survey.length)} (${survey.length} bytes)`],
  ];
  $('header').replaceChildren(
      ...rows.flatMap(([name, value]) => [element('dt', name), element('dd', String(value))]));
  const body = $('table').tBodies[0];
  body.replaceChildren(...survey.entries.map((entry) => {
    const row = element('tr');
    row.id = `entry-${entry.index}`;
    const cells = [
      entry.index + 1, entry.type, hex(entry.offset), hex(entry.packedSize),
      entry.outputName || entry.name, entry.pieces ? `${entry.piece}/${entry.pieces}` : '', '',
      entry.reason ? text(entry.reason) : 'checking…'
    ];
    cells.forEach((cell) => row.append(element('td', String(cell))));
    if (entry.reason) row.lastChild.className = 'bad';
    return row;
  }));
  $('progress').value = 0;
  $('progress-text').textContent = '';
  $('save-all').disabled = $('save-folder').disabled = true;
  $('save-folder').hidden = !window.showDirectoryPicker;
  showOutputs();
  $('result').hidden = false;
}

function showProof(proof) {
  proofs.set(proof.index, proof);
  const cells = $(`entry-${proof.index}`).cells;
  cells[6].textContent = proof.reason === 0 ? size(proof.size) : '';
  cells[7].textContent = proof.reason === 0 ? 'good' : text(proof.reason);
  cells[7].className = proof.reason === 0 ? 'good' : 'bad';
}

function showProgress({ done, total, seconds }) {
  $('progress').max = total || 1;
  $('progress').value = done;
  const left = done > 0 && done < total ? Math.ceil((seconds * (total - done)) / done) : 0;
  $('progress-text').textContent =
      `${size(done)} of ${size(total)}` + (left ? `, about ${left} s left` : '');
}

// Why the entry at `index` failed, or 0: its survey's reason or its proof's.
const reasonOf = (entry) => entry.reason || (proofs.get(entry.index) || { reason: 15 }).reason;

function showVerdict({ seconds }) {
  busy = false;
  const faults = [];
  const header = survey.header;
  if (header.verdict) faults.push(text(header.verdict));
  if (survey.table.verdict) {
    const cut = survey.table.cutShort ?
        ` (the file may be cut short: ${survey.length.toLocaleString('en')} bytes)` :
        '';
    faults.push(text(survey.table.verdict) + cut);
  }
  const failed = survey.entries.filter((entry) => reasonOf(entry) !== 0);
  for (const entry of failed)
    faults.push(`sub-file ${entry.index + 1} (${entry.name}): ${text(reasonOf(entry))}`);
  const count = `${survey.entries.length} sub-file${survey.entries.length === 1 ? '' : 's'}`;
  const verdict = $('verdict');
  if (faults.length === 0) {
    const bytes = [...proofs.values()].reduce((sum, proof) => sum + proof.size, 0);
    verdict.textContent =
        `All good: ${count}, ${bytes.toLocaleString('en')} bytes unpacked and verified`;
    verdict.className = 'verdict good';
  } else {
    const what = [];
    if (header.verdict) what.push('the main header');
    if (survey.table.verdict) what.push('the offset table');
    else if (failed.length) what.push(`${failed.length} of ${count}`);
    verdict.textContent = `FAILED: ${what.join(', ')}`;
    const list = element('ul');
    faults.forEach((fault) => list.append(element('li', fault)));
    verdict.append(list);
    verdict.className = 'verdict bad';
  }
  $('progress-text').textContent +=
      ` (done in ${(seconds || (performance.now() - started) / 1000).toFixed(1)} s)`;
  showOutputs();
}

// Whether every piece of an output has proven good.
const proven = (output) =>
    output.pieces.every((piece) => reasonOf(survey.entries[piece]) === 0 && proofs.has(piece));

function showOutputs() {
  const list = $('outputs');
  list.replaceChildren(...survey.outputs.map((output, index) => {
    const item = element('li');
    const ready = proven(output);
    const button = element('button', `Save ${output.name}`);
    button.type = 'button';
    button.disabled = !ready;
    button.onclick = () => save([index]);
    const bytes =
        output.pieces.reduce((sum, piece) => sum + (proofs.get(piece) || { size: 0 }).size, 0);
    item.append(element('span', `${output.name}${ready ? `, ${size(bytes)}` : ''}`), button);
    return item;
  }));
  const any = survey.outputs.some(proven);
  $('save-all').disabled = $('save-folder').disabled = !any;
}

// Where a saved output's bytes go as they come: kept aside for the browser's download, or
// written to a folder's file through the File System Access API, whose writes land in a file of
// its own until close() puts them at the name. Either is committed only once every piece has
// proven good, and dropped otherwise.
function downloadSink(name) {
  const parts = [];
  return {
    write: async (bytes) => parts.push(bytes),
    async commit() {
      const link = element('a');
      link.href = URL.createObjectURL(new Blob(parts, { type: 'application/octet-stream' }));
      link.download = name;
      document.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    },
    abort: async () => {},
  };
}

async function folderSink(folder, name) {
  const existed = await folder.getFileHandle(name).then(() => true, () => false);
  const writable = await (await folder.getFileHandle(name, { create: true })).createWritable();
  return {
    write: (bytes) => writable.write(bytes),
    commit: () => writable.close(),
    async abort() {
      await writable.abort();
      if (!existed) await folder.removeEntry(name);
    },
  };
}

// Has the Worker read an output, proving each piece, into `sink`; resolves to its reason, or
// to -1 when another container is opened meanwhile.
function saveInto(index, sink) {
  return new Promise((resolve) => {
    let written = Promise.resolve();
    let failure = null;
    saving = {
      chunk: (bytes) => {
        written = written.then(() => sink.write(bytes)).catch((error) => {
          failure = failure || error;
        });
      },
      resolve: async (reason) => {
        await written;
        // A write that failed makes the output's reason "it could not be written".
        let outcome = failure ? 16 : reason;
        try {
          if (outcome === 0) await sink.commit();
          else await sink.abort();
        } catch {
          outcome = outcome || 16;
        }
        resolve(outcome);
      },
      cancel: () => sink.abort().finally(() => resolve(-1)),
    };
    worker.postMessage({ save: index });
  });
}

async function saveOutputs(indexes, folder) {
  for (const index of indexes) {
    const output = survey.outputs[index];
    if (!proven(output)) continue;
    const sink = folder ? await folderSink(folder, output.name) : downloadSink(output.name);
    busy = true;
    const reason = await saveInto(index, sink);
    busy = false;
    if (reason < 0) return;
    if (reason !== 0) fail(`${output.name} was not saved: ${text(reason)}`);
  }
}

function save(indexes, folder) {
  const run = saves.then(() => saveOutputs(indexes, folder));
  saves = run.catch(() => {});
  return run;
}

const all = () => survey.outputs.map((_, index) => index);
$('save-all').onclick = () => save(all());
$('save-folder').onclick = async () => {
  try {
    await save(all(), await window.showDirectoryPicker({ mode: 'readwrite' }));
  } catch (error) {
    if (error.name !== 'AbortError') fail(`The files were not saved: ${error.message}`);
  }
};
$('pick').onchange = (event) => event.target.files[0] && open(event.target.files[0]);
const drop = $('drop');
drop.ondragover = (event) => {
  event.preventDefault();
  drop.classList.add('over');
};
drop.ondragleave = () => drop.classList.remove('over');
drop.ondrop = (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  if (event.dataTransfer.files[0]) open(event.dataTransfer.files[0]);
};
startWorker();
// Kept for use without a network (offline.js); a page opened from a file cannot be.
if ('serviceWorker' in navigator && window.isSecureContext) {
  navigator.serviceWorker.register('offline.js').catch(() => {});
}
