// The page's behaviour: gathers the dropped or chosen files, has the WebAssembly core convert
// each preset and upgrade each project, lists the outcomes and offers the results. build_page.mjs
// inlines it after pako, whose raw deflate the module imports, and puts the module, deflated and
// in base64, into wasmBase64.

const wasmBase64 = "WASM_BASE64";

// The outcomes of the module's convert(), by name and by number, and each one's error line in
// the program's words without the path ("" for none), all as the module gives them. A file that
// cannot be read is the page's own outcome, worded as the program words it.
const OUTCOME = {};
const outcomeNames = [];
const READ_FAILED = -1;
const programErrors = { [READ_FAILED]: "Error 2: Failed to open input file" };
const summaryWords = {
  upgraded: "upgraded",
  alreadyCurrent: "already current",
  unrecognised: "not recognised",
  noChain: "not upgradable to that version",
};
const summaryWord = (number) => summaryWords[outcomeNames[number]] ?? "failed";

// The endings of the names the program takes as presets, and those of them that are projects',
// as the module gives them.
const presetExtensions = [];
const projectExtensions = [];
const endsWithOne = (endings, path) => endings.some((ending) => path.endsWith(ending));
const isPresetName = (path) => endsWithOne(presetExtensions, path);
const isProjectName = (path) => endsWithOne(projectExtensions, path);
// Rows added to the list at a time, so that the page stays responsive on large folders.
const BATCH = 250;
// Files read as one blob.
const READ_GROUP = 64;

const $ = (id) => document.getElementById(id);
let core;
let inputs = [];  // [{path, bytes}] of the last drop or choice, kept to convert again
let passedOver = 0;
let download = null;  // {name, blob} ready for the download button
let runNumber = 0;
// Settles when the run that holds the module lets go of it: one run at a time, as a project's
// upgrade in the module spans many reads.
let moduleFree = Promise.resolve();

// length bytes of the module's memory at pointer, viewed afresh: the memory moves as it grows.
const moduleBytes = (pointer, length) => new Uint8Array(core.memory.buffer, pointer >>> 0, length);

// The raw deflate the module imports (compression_web.cpp), from pako, whose deflate at its
// defaults gives zlib's very bytes, so that a project comes out as the program writes it.
const TOO_LONG = Symbol("inflates past its room");
const compression = {
  // Into exactly outLength bytes, the stream ending there and at the end of its input: 1, else
  // 0. pako inflates into chunks of chunkSize, here one byte more than the room, so that a
  // stream that would give more fills its first chunk and is stopped there.
  inflateRaw(input, inLength, output, outLength) {
    const inflater = new self.pako.Inflate({ raw: true, chunkSize: outLength + 1 });
    let inflated = new Uint8Array(0);
    inflater.onData = (chunk) => {
      if (chunk.length > outLength) throw TOO_LONG;
      inflated = chunk;
    };
    try {
      inflater.push(moduleBytes(input, inLength), true);
    } catch (error) {
      if (error === TOO_LONG) return 0;
      throw error;
    }
    const whole = inflater.ended && inflater.err === 0 && inflater.strm.avail_in === 0;
    if (!whole || inflated.length !== outLength) return 0;
    moduleBytes(output, outLength).set(inflated);
    return 1;
  },
  // Into at most outRoom bytes: their length, or -1 when they do not fit.
  deflateRaw(input, inLength, output, outRoom) {
    const deflated = self.pako.deflateRaw(moduleBytes(input, inLength));
    if (deflated.length > outRoom) return -1;
    moduleBytes(output, deflated.length).set(deflated);
    return deflated.length;
  },
};

async function loadCore() {
  const bytes = self.pako.inflateRaw(Uint8Array.from(atob(wasmBase64), (c) => c.charCodeAt(0)));
  const { instance } = await WebAssembly.instantiate(bytes, { env: compression });
  core = instance.exports;
  core._initialize();
  core.start();
  for (let i = 0; i < core.presetExtensionCount(); i++) {
    presetExtensions.push(cString(core.presetExtension(i)));
    if (core.presetExtensionIsProject(i)) projectExtensions.push(presetExtensions[i]);
  }
  for (let number = 0; number < core.outcomeCount(); number++) {
    outcomeNames[number] = cString(core.outcomeName(number));
    OUTCOME[outcomeNames[number]] = number;
    const message = cString(core.outcomeMessage(number)).replace(/: $/, "");
    programErrors[number] = message && `Error ${core.outcomeSeverity(number)}: ${message}`;
  }
}

function cString(pointer) {
  if (pointer === 0) return "";
  const memory = new Uint8Array(core.memory.buffer);
  let end = pointer >>> 0;
  while (memory[end] !== 0) end++;
  return new TextDecoder().decode(memory.subarray(pointer >>> 0, end));
}

function fillTargets() {
  const select = $("target");
  for (let i = 0; i < core.targetCount(); i++) {
    const option = document.createElement("option");
    option.value = String(core.targetId(i));
    option.textContent = `${cString(core.targetName(i))} (${core.targetId(i)})`;
    select.append(option);
  }
}

// The maps for the chosen target, as tunewright -l -v prints them.
function showMaps() {
  $("map-text").textContent = cString(core.parameterMaps(Number($("target").value)));
}

// Converts one file's bytes as the program converts one preset.
function convertOne(bytes, target) {
  const capacity = core.imageCapacity();
  new Uint8Array(core.memory.buffer, core.image(), capacity + 1).set(bytes);
  let number;
  try {
    number = core.convert(bytes.length, target);
  } catch {
    number = OUTCOME.failed;  // the module stopped with a trap
  }
  const result = { outcome: number, detail: programErrors[number] };
  if (number === OUTCOME.upgraded) {
    result.output = new Uint8Array(core.memory.buffer, core.image(), core.resultLength()).slice();
    const what = core.resultIsBank() ? "bank upgraded" : "upgraded";
    const from = cString(core.resultSourceName());
    result.words = `${what} from ${from} to ${cString(core.resultTargetName())}`;
    result.versionCode = core.resultVersionCode();
  } else {
    result.words = refusalWords(number);
  }
  return result;
}

// The words of an outcome other than an upgrade.
function refusalWords(number) {
  if (number !== OUTCOME.noChain) return summaryWord(number);
  return `cannot be upgraded to ${$("target").selectedOptions[0].textContent}`;
}

// Upgrades a project as the program does, its archive read a range at a time; its result is a
// Blob of slices of the original and the module's new bytes, so that its audio is never held.
// null when a newer run takes over.
async function upgradeProject(file, target, run) {
  core.projectStart(file.size, target);
  try {
    for (let length; (length = core.projectNeedLength()) >= 0;) {
      const offset = core.projectNeedOffset();
      const bytes = new Uint8Array(await file.slice(offset, offset + length).arrayBuffer());
      if (run !== runNumber) return null;
      moduleBytes(core.projectRoom(), bytes.length).set(bytes);
      core.projectSupply(bytes.length);
    }
    return projectResult(file);
  } catch (error) {
    // The module stopped with a trap, or the file could not be read.
    if (error instanceof WebAssembly.RuntimeError) {
      return { outcome: OUTCOME.failed, words: "failed", detail: programErrors[OUTCOME.failed] };
    }
    return unreadable;
  } finally {
    try {
      core.projectEnd();
    } catch {
      // a module that stopped on the way may stop again letting go of it
    }
  }
}

// A finished project's outcome in the program's words, the device a refusal is about on a line
// of its own as the program prints it, and an upgrade's result and devices.
function projectResult(file) {
  const number = core.projectOutcome();
  const result = { outcome: number, detail: programErrors[number], words: refusalWords(number) };
  if (core.projectRefusedName() !== 0) {
    const [name, path] = [core.projectRefusedName(), core.projectRefusedPath()].map(cString);
    result.device = `Device: ${name} (${path})`;
  }
  if (number !== OUTCOME.upgraded) return result;
  const parts = [];
  for (let i = 0; i < core.projectPieceCount(); i++) {
    const [offset, length] = [core.projectPieceOffset(i), core.projectPieceLength(i)];
    parts.push(core.projectPieceIsOriginal(i) ? file.slice(offset, offset + length)
      : moduleBytes(core.projectNewBytes() + offset, length).slice());
  }
  result.output = new Blob(parts);
  result.versionCode = core.projectVersionCode();
  const upgraded = [];
  for (let i = 0; i < core.projectDeviceCount(); i++) {
    if (core.projectDeviceSource(i) === 0) continue;  // left as it was
    const [name, from, to] = [core.projectDeviceName(i), core.projectDeviceSource(i),
                              core.projectDeviceTarget(i)].map(cString);
    upgraded.push(`${name} from ${from} to ${to}`);
  }
  result.words = `upgraded: ${upgraded.join("; ")}`;
  return result;
}

// The CRC-32 of a result, taken through the module's image a piece at a time: a Blob (a project)
// is read a piece at a time too.
async function crcOf(content) {
  const piece = core.imageCapacity();
  let crc = 0;
  for (let offset = 0; offset < (content.size ?? content.length); offset += piece) {
    const bytes = content instanceof Blob
      ? new Uint8Array(await content.slice(offset, offset + piece).arrayBuffer())
      : content.subarray(offset, offset + piece);
    moduleBytes(core.image(), bytes.length).set(bytes);
    crc = core.crc32(crc, bytes.length);
  }
  return crc;
}

// The results as one archive of stored entries that keeps their folders: the module writes each
// entry's header and the archive's end, and the archive is a Blob of those and the results, so
// that no result is read whole to be packed (ZIP64 where a number needs it). null when a newer
// run takes over.
async function zipOf(outputs, run) {
  const now = new Date();
  core.zipStart(now.getFullYear(), now.getMonth() + 1, now.getDate(), now.getHours(),
                now.getMinutes(), now.getSeconds());
  const parts = [];
  const encoder = new TextEncoder();
  for (const { name, content } of outputs) {
    const crc = await crcOf(content);
    if (run !== runNumber) return null;
    const nameBytes = encoder.encode(name);
    const fits = nameBytes.length <= core.imageCapacity();
    if (fits) moduleBytes(core.image(), nameBytes.length).set(nameBytes);
    const length = fits ? core.zipEntry(nameBytes.length, content.size ?? content.length, crc)
      : -1;
    if (length < 0) throw new Error(`a name too long for a zip: ${name}`);
    parts.push(moduleBytes(core.zipBytes(), length).slice(), content);
  }
  const length = core.zipFinish();
  parts.push(moduleBytes(core.zipBytes(), length).slice());
  return new Blob(parts);
}

// The upgraded file's path: the version code goes in front of the file name, as the program
// names its outputs, unless the original names are asked for.
function outputPath(path, versionCode) {
  if (document.querySelector("input[name=naming]:checked").value === "original") return path;
  const slash = path.lastIndexOf("/") + 1;
  return `${path.slice(0, slash)}${versionCode}_${path.slice(slash)}`;
}

function row(path, { words, detail, device }) {
  const tr = document.createElement("tr");
  const file = document.createElement("td");
  file.textContent = path;
  const outcome = document.createElement("td");
  outcome.textContent = words;
  if (detail) {
    const small = document.createElement("small");
    small.textContent = ` (${detail})`;
    outcome.append(small);
  }
  if (device) {
    const small = document.createElement("small");
    small.textContent = device;
    outcome.append(document.createElement("br"), small);
  }
  tr.append(file, outcome);
  return tr;
}

const nextTask = () => new Promise((resolve) => setTimeout(resolve, 0));

function setStatus(text, state) {
  $("status").textContent = text;
  document.body.dataset.state = state;
}

const unreadable = { outcome: READ_FAILED, words: "failed", detail: programErrors[READ_FAILED] };
const fileCount = (n) => `${n} ${n === 1 ? "file" : "files"}`;

// Converts every input to the chosen target and makes the download, once the run before has
// let go of the module.
async function convertAll(startedAt = performance.now()) {
  const run = ++runNumber;
  const previous = moduleFree;
  let release;
  moduleFree = new Promise((resolve) => { release = resolve; });
  try {
    await previous;
    if (run === runNumber) await convertRun(run, startedAt);
  } finally {
    release();
  }
}

async function convertRun(run, startedAt) {
  const target = Number($("target").value);
  const body = $("results").tBodies[0];
  body.replaceChildren();
  $("results").hidden = inputs.length === 0;
  $("download").disabled = true;
  download = null;
  setStatus(`Converting ${fileCount(inputs.length)}…`, "busy");
  const outputs = [];
  const counts = new Map();
  for (let first = 0; first < inputs.length; first += BATCH) {
    const rows = document.createDocumentFragment();
    for (const input of inputs.slice(first, first + BATCH)) {
      const result = input.file ? await upgradeProject(input.file, target, run)
        : input.bytes ? convertOne(input.bytes, target) : unreadable;
      if (run !== runNumber) return;  // a newer drop or option took over
      const kind = summaryWord(result.outcome);
      counts.set(kind, (counts.get(kind) ?? 0) + 1);
      if (result.output) {
        outputs.push({ name: outputPath(input.path, result.versionCode), content: result.output });
      }
      rows.append(row(input.path, result));
    }
    body.append(rows);
    await nextTask();
    if (run !== runNumber) return;
  }
  if (outputs.length === 1) {
    const name = outputs[0].name.slice(outputs[0].name.lastIndexOf("/") + 1);
    download = { name, blob: new Blob([outputs[0].content]) };
  } else if (outputs.length > 1) {
    // A project changed on disk since it was dropped can no longer be read for its CRC.
    const blob = await zipOf(outputs, run).catch((error) => {
      setStatus(`The zip could not be made: ${error.message}`, "ready");
      return null;
    });
    if (!blob) return;
    download = { name: "upgraded-presets.zip", blob };
  }
  const summary = [...counts].map(([word, n]) => `${n} ${word}`).join(", ");
  const others = passedOver ? `; ${fileCount(passedOver)} not named as presets passed over` : "";
  $("download").textContent = download ? `Download ${download.name}` : "Download";
  $("download").disabled = !download;
  document.body.dataset.runMs = (performance.now() - startedAt).toFixed(1);
  setStatus(`${fileCount(inputs.length)}: ${summary || "none"}${others}. ` +
            (download ? `Ready to download ${download.name}.` : "Nothing to download."), "ready");
}

// Reads the files' first limit bytes: enough to tell that a file is too big. Reading a few
// blobs of many files each, concurrently, costs far less than a read per file; a file that
// cannot be read spoils its blob's read, and then each of its files is read on its own.
async function readAll(files, limit) {
  const part = ({ file }) => (file.size > limit ? file.slice(0, limit) : file);
  const readOne = async ({ path, file }) => {
    try {
      return { path, bytes: new Uint8Array(await part({ file }).arrayBuffer()) };
    } catch {
      return { path, bytes: null };
    }
  };
  const readGroup = async (group) => {
    try {
      const parts = group.map(part);
      const all = new Uint8Array(await new Blob(parts).arrayBuffer());
      let offset = 0;
      return group.map(({ path, file }, i) => {
        const bytes = all.subarray(offset, offset + parts[i].size);
        offset += parts[i].size;
        return { path, bytes };
      });
    } catch {
      return Promise.all(group.map(readOne));
    }
  };
  const groups = [];
  for (let first = 0; first < files.length; first += READ_GROUP) {
    groups.push(readGroup(files.slice(first, first + READ_GROUP)));
  }
  return (await Promise.all(groups)).flat();
}

// Reads the files concurrently, keeping those named as presets, then converts them. A project is
// kept as its File, which its upgrade reads a range at a time.
async function take(files, startedAt) {
  runNumber++;
  setStatus("Reading files…", "busy");
  const presets = files.filter(({ path }) => isPresetName(path));
  passedOver = files.length - presets.length;
  const projects = presets.filter(({ path }) => isProjectName(path));
  const images = presets.filter(({ path }) => !isProjectName(path));
  inputs = [...await readAll(images, core.imageCapacity() + 1), ...projects];
  inputs.sort((a, b) => (a.path < b.path ? -1 : a.path > b.path ? 1 : 0));
  await convertAll(startedAt);
}

// Folder walks, newest interface first. Each gives [{path, file}].
async function walkHandle(handle, prefix, out) {
  const path = prefix + handle.name;
  if (handle.kind === "file") {
    out.push({ path, file: await handle.getFile() });
    return;
  }
  const children = [];
  for await (const child of handle.values()) children.push(walkHandle(child, `${path}/`, out));
  await Promise.all(children);
}

async function walkEntry(entry, out) {
  const path = entry.fullPath.replace(/^\//, "");
  if (entry.isFile) {
    out.push({ path, file: await new Promise((resolve, reject) => entry.file(resolve, reject)) });
    return;
  }
  // readEntries gives at most 100 entries a call: call it until it gives none.
  const reader = entry.createReader();
  const children = [];
  for (;;) {
    const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (batch.length === 0) break;
    for (const child of batch) children.push(walkEntry(child, out));
  }
  await Promise.all(children);
}

async function filesFromDrop(dataTransfer) {
  // Everything a drop offers must be asked for before the event returns.
  const items = [...dataTransfer.items].filter((item) => item.kind === "file").map((item) => ({
    handle: item.getAsFileSystemHandle ? item.getAsFileSystemHandle() : null,
    entry: item.webkitGetAsEntry ? item.webkitGetAsEntry() : null,
    file: item.getAsFile(),
  }));
  const out = [];
  await Promise.all(items.map(async ({ handle, entry, file }) => {
    const resolved = handle ? await handle.catch(() => null) : null;
    if (resolved) return walkHandle(resolved, "", out);
    if (entry) return walkEntry(entry, out);
    if (file) out.push({ path: file.name, file });
  }));
  return out;
}

function setUp() {
  $("files").accept = presetExtensions.join(",");
  const drop = $("drop");
  drop.addEventListener("dragover", (event) => {
    event.preventDefault();
    drop.classList.add("over");
  });
  drop.addEventListener("dragleave", () => drop.classList.remove("over"));
  drop.addEventListener("drop", (event) => {
    event.preventDefault();
    drop.classList.remove("over");
    const startedAt = performance.now();
    filesFromDrop(event.dataTransfer).then(
      (files) => take(files, startedAt),
      (error) => setStatus(`The dropped files could not be read: ${error.message}`, "ready"));
  });
  $("choose-files").addEventListener("click", () => $("files").click());
  $("choose-folder").addEventListener("click", () => $("folder").click());
  for (const id of ["files", "folder"]) {
    $(id).addEventListener("change", (event) => {
      const startedAt = performance.now();
      const files = [...event.target.files].map((file) => (
        { path: file.webkitRelativePath || file.name, file }));
      event.target.value = "";
      take(files, startedAt);
    });
  }
  $("target").addEventListener("change", () => {
    showMaps();
    convertAll();
  });
  for (const radio of document.querySelectorAll("input[name=naming]")) {
    radio.addEventListener("change", () => convertAll());
  }
  $("download").addEventListener("click", () => {
    const link = document.createElement("a");
    link.href = URL.createObjectURL(download.blob);
    link.download = download.name;
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  });
}

loadCore().then(() => {
  fillTargets();
  showMaps();
  setUp();
  setStatus("Ready: drop presets or choose them.", "idle");
}, (error) => setStatus(`This browser cannot run the converter: ${error}`, "broken"));
