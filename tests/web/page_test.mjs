// The page in a real browser, chromium or Firefox, against the program of the same build: every
// download compared byte for byte with what the program writes, on the bundled examples, on a
// generated library and on the builder's projects; each file's outcome in the program's words; a
// project's audio never read; keyboard use; no request beyond the page itself; and the README's
// screenshot.
//
//     node page_test.mjs --page tunewright.html --program tunewright [--browser firefox]
//                        [--screenshot shot.png]

import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import { cpSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync }
  from "node:fs";
import { tmpdir } from "node:os";
import { basename, join, relative } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { parseArgs } from "node:util";
import { after, before, test } from "node:test";
import { BROWSERS, chooseFolder, chooseFromFocused, defineEntryStandIns, download, dropPaths,
         give, openPage } from "./browser.mjs";

const { values: args } = parseArgs({
  options: { page: { type: "string" }, program: { type: "string" },
             browser: { type: "string", default: "chromium" }, screenshot: { type: "string" } } });
assert.ok(BROWSERS.includes(args.browser), `--browser: one of ${BROWSERS.join(", ")}`);
const sourceDir = fileURLToPath(new URL("../..", import.meta.url));
const examples = join(sourceDir, "examples");
const work = mkdtempSync(join(tmpdir(), "tunewright-page-test-"));
const library = join(work, "library");
let browser;

// Every file under root, by its path relative to root with forward slashes.
function filesUnder(root) {
  const files = new Map();
  for (const entry of readdirSync(root, { recursive: true, withFileTypes: true })) {
    if (entry.isFile()) {
      const path = join(entry.parentPath ?? entry.path, entry.name);
      files.set(relative(root, path).split("\\").join("/"), readFileSync(path));
    }
  }
  return files;
}

// What the program makes of a folder with -r and the options: the files it writes and the
// errors it reports on the folder's files, by path relative to the folder's parent, each error
// with the line that follows it for a project's device, or null.
let nativeRuns = 0;
function native(folder, options = []) {
  const copy = join(work, `native-${++nativeRuns}`);
  cpSync(folder, join(copy, basename(folder)), { recursive: true });
  const originals = new Set(filesUnder(copy).keys());
  const run = spawnSync(args.program, [...options, "-r", basename(folder)],
                        { cwd: copy, encoding: "utf8" });
  assert.equal(run.status, 0, run.stderr);
  const errors = new Map();
  let last = null;
  for (const line of run.stderr.split("\n").filter(Boolean)) {
    if (line.startsWith("  Device: ")) {
      last.device = line.trim();
      continue;
    }
    const [, words, path] = line.match(/^(Error \d: [^:]*): (.*)$/);
    // The program also comes across the outputs it has just written beside the originals.
    const name = path.split("\\").join("/");
    last = { words, device: null };
    if (originals.has(name)) errors.set(name, last);
  }
  const outputs = new Map([...filesUnder(copy)].filter(([path]) => !originals.has(path)));
  return { outputs, errors };
}

// The files the page offered: one as itself, several in a zip.
async function downloaded() {
  const file = await download(browser);
  if (!file.name.endsWith(".zip")) return new Map([[file.name, file.bytes]]);
  const zip = join(work, `download-${Date.now()}.zip`);
  const unpacked = `${zip}.d`;
  writeFileSync(zip, file.bytes);
  execFileSync("unzip", ["-q", zip, "-d", unpacked]);
  return filesUnder(unpacked);
}

// Each row's file and outcome, the outcome's line for a project's device after a newline.
const rows = (page) => page.$$eval("#results tbody tr",
                                   (trs) => trs.map((tr) => [tr.cells[0].textContent,
                                                             tr.cells[1].innerText]));

// The page's downloads and list against the program's run: the same files with the same
// bytes, and for every file the program reported, the same error.
async function assertAsProgram(page, expected, nameOf = (path) => path) {
  const none = await page.$eval("#download", (button) => button.disabled);
  const outputs = none ? new Map() : await downloaded();
  const wanted = new Map([...expected.outputs].map(([path, bytes]) => [nameOf(path), bytes]));
  assert.deepEqual([...outputs.keys()].sort(), [...wanted.keys()].sort());
  for (const [path, bytes] of outputs) assert.ok(bytes.equals(wanted.get(path)), path);
  let reported = 0;
  for (const [path, outcome] of await rows(page)) {
    const error = expected.errors.get(path);
    if (error) {
      reported++;
      const [line, device = null] = outcome.split("\n");
      assert.ok(line.endsWith(`(${error.words})`), `${path}: ${line} for ${error.words}`);
      assert.equal(device, error.device, path);
      if (error.words.includes("Unrecognized")) assert.match(line, /^not recognised/, path);
    }
  }
  assert.equal(reported, expected.errors.size);
}

before(async () => {
  execFileSync("python3", [join(sourceDir, "tests/web/make_corpus.py"), library]);
  browser = await openPage(args.page, args.browser);
});

after(async () => {
  await browser?.close();
  rmSync(work, { recursive: true, force: true });
});

test("presets chosen with the keyboard come out as the program writes them", async () => {
  const { page } = browser;
  const expected = native(examples);
  const byName = (path) => basename(path);
  await page.keyboard.press("Tab");
  assert.equal(await page.evaluate(() => document.activeElement.id), "choose-files");
  const choose = (paths) => chooseFromFocused(browser, paths);
  await give(page, () => choose([join(examples, "tavlora/Warm Pad.fxp")]));
  const one = await download(browser);
  assert.equal(one.name, "205_Warm Pad.fxp");
  assert.ok(one.bytes.equals(expected.outputs.get("examples/tavlora/205_Warm Pad.fxp")));
  assert.match(await page.$eval("#results", (table) => table.textContent),
               /upgraded from Tavlora v0\.1\.2 to Tavlora v0\.2\.5/);

  const all = [...filesUnder(examples).keys()].map((path) => join(examples, path));
  await page.focus("#choose-files");
  await give(page, () => choose(all));
  await assertAsProgram(page, expected, byName);
  assert.ok((await page.$eval("[role=status]", (status) => status.textContent))
    .startsWith(`${all.length} files: ${all.length} upgraded.`));
});

test("a library from the folder button or dropped comes out as the program writes it",
     async () => {
  const { page } = browser;
  const expected = native(library);
  assert.ok(expected.outputs.size >= 1000 && expected.errors.size >= 40);
  await give(page, () => chooseFolder(browser, library));
  await assertAsProgram(page, expected);
  await give(page, () => dropPaths(browser, [library]));
  await assertAsProgram(page, expected);
  if (browser.name !== "chromium") return;  // the drop above was read through entries already

  // Without file system handles the page reads a folder through entries, which give at most
  // 100 children a call. Chromium's own entries cannot read a folder dropped by DevTools, so
  // stand-ins over the drop's handles take their place.
  await defineEntryStandIns(page);
  await page.evaluate((rootName) => {
    const handleOf = DataTransferItem.prototype.getAsFileSystemHandle;
    delete DataTransferItem.prototype.getAsFileSystemHandle;
    const listing = (handle) => async () => {
      const children = [];
      for await (const child of (await handle).values()) {
        children.push(child.kind === "directory" ? { name: child.name, list: listing(child) }
          : { name: child.name, file: () => child.getFile() });
      }
      return children;
    };
    DataTransferItem.prototype.webkitGetAsEntry = function () {
      return window.entryStandIns.directory(`/${rootName}`, listing(handleOf.call(this)));
    };
  }, basename(library));
  await give(page, () => dropPaths(browser, [library]));
  await assertAsProgram(page, expected);
  await page.reload();  // chromium's own entries again
  await page.waitForFunction(() => document.body.dataset.state === "idle");
});

test("a target and the original names are taken as -t takes them", async () => {
  const { page } = browser;
  const expected = native(examples, ["-t1000203"]);
  await page.select("#target", "1000203");
  await page.click("input[value=original]");
  await give(page, () => dropPaths(browser, [examples]));
  await assertAsProgram(page, expected, (path) => path.replace(/\/203_([^/]*)$/, "/$1"));
  const outcomes = new Map(await rows(page));
  assert.equal(outcomes.get("examples/tavlora/Deep Bass.fxp"), "already current");
  assert.match(outcomes.get("examples/brisklet/Hall.fxp"),
               /^cannot be upgraded to Tavlora v0\.2\.3/);

  await page.select("#target", "0");
  await page.click("input[value=prefix]");
  await give(page, () => chooseFolder(browser, examples));
  if (args.screenshot) await page.screenshot({ path: args.screenshot, fullPage: true });
});

test("the builder's projects come out as the program writes them, or are listed as it words them",
     async () => {
  const { page } = browser;
  const fixtures = join(work, "fixtures");
  execFileSync("python3", [join(sourceDir, "tools/make_presets.py"), "project-fixtures", fixtures]);
  const table = JSON.parse(readFileSync(join(fixtures, "fixtures.json"), "utf8"));
  // One folder for each target a fixture is upgraded to (0: the newest).
  for (const target of new Set(table.map((fixture) => fixture.target))) {
    const rowsOf = table.filter((fixture) => fixture.target === target);
    const folder = join(work, `projects-${target}`);
    mkdirSync(folder);
    for (const { file } of rowsOf) cpSync(join(fixtures, file), join(folder, file));
    const expected = native(folder, target ? [`-t${target}`] : []);
    const upgraded = rowsOf.filter(({ outcome }) => outcome === "upgraded");
    assert.equal(expected.outputs.size, upgraded.length);
    await page.select("#target", String(target));
    await give(page, () => chooseFolder(browser, folder));
    await assertAsProgram(page, expected, upgraded.length === 1 ? basename : undefined);
  }
  await page.select("#target", "0");
});

test("a project's audio is never read: neither to upgrade it nor to put it in a zip", async () => {
  const { page } = browser;
  const folder = join(work, "large");
  mkdirSync(folder);
  const song = join(folder, "song.dawproject");
  // The benchmark's song, with 32 MiB of stored audio.
  const write = "import sys, pathlib; sys.path.insert(0, sys.argv[1]); import project_bench; " +
    "project_bench.write_project(pathlib.Path(sys.argv[2]), 32 << 20)";
  execFileSync("python3", ["-c", write, join(sourceDir, "bench"), song]);
  cpSync(join(examples, "tavlora/Warm Pad.fxp"), join(folder, "Warm Pad.fxp"));
  const expected = native(folder);
  // Every read the page makes of a file goes through Blob.arrayBuffer, a slice at a time.
  await page.evaluate(() => {
    const read = Blob.prototype.arrayBuffer;
    window.reads = [];
    Blob.prototype.arrayBuffer = function () {
      window.reads.push(this.size);
      return read.call(this);
    };
  });
  const reads = () => page.evaluate(() => window.reads.splice(0));
  const total = (sizes) => sizes.reduce((a, b) => a + b, 0);

  await page.focus("#choose-files");
  await give(page, () => chooseFromFocused(browser, [song]));
  const upgrade = await reads();
  assert.ok(upgrade.length > 0 && total(upgrade) < 1 << 20, upgrade.join(", "));
  const single = "large/205_song.dawproject";
  await assertAsProgram(page, { outputs: new Map([[single, expected.outputs.get(single)]]),
                                errors: new Map() }, basename);
  // In a zip with another result, the project's CRC is taken a piece at a time.
  await give(page, () => chooseFolder(browser, folder));
  const zipped = await reads();
  assert.ok(total(zipped) > 32 << 20 && Math.max(...zipped) <= 1 << 20);
  await assertAsProgram(page, expected);
});

test("the parameter maps are the program's -l -v, for the target chosen", async () => {
  const { page } = browser;
  const listed = (options) => execFileSync(args.program, ["-l", "-v", ...options],
                                           { encoding: "utf8" });
  await page.click("#maps summary");
  assert.equal(await page.$eval("#map-text", (text) => text.textContent), listed([]));
  await give(page, () => page.select("#target", "1000203"));
  assert.equal(await page.$eval("#map-text", (text) => text.textContent), listed(["-t1000203"]));
  await give(page, () => page.select("#target", "0"));
  assert.equal(await page.$eval("#map-text", (text) => text.textContent), listed([]));
});

test("the page asks for nothing but itself", async () => {
  // blob: and data: URLs carry their bytes and reach nothing (Firefox's own style sheet takes a
  // font from one for the maps' disclosure triangle).
  const own = pathToFileURL(args.page).href;
  const elsewhere = (url) => url !== own && !url.startsWith("blob:") && !url.startsWith("data:");
  assert.deepEqual(browser.requests.filter(elsewhere), []);
  // The recorder hears what the browser asks for, so the list above is the page's whole story.
  // (Firefox goes to a data: URL from a blank page only.)
  const probe = "data:text/html,probe";
  await browser.page.goto("about:blank");
  await browser.page.goto(probe);
  assert.ok(browser.requests.includes(probe), browser.requests.join(", "));
});
