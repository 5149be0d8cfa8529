// Debian's chromium and Firefox ESR driven by puppeteer-core (chromium over the DevTools
// protocol, Firefox over WebDriver BiDi), as the page's tests and benchmark use them, and the
// page's own ways in: its file inputs, a folder dropped on it, its download.

import { mkdtempSync, readdirSync, readFileSync, rmSync, statSync } from "node:fs";
import { tmpdir } from "node:os";
import { basename, dirname, join, relative, sep } from "node:path";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";

export const BROWSERS = ["chromium", "firefox"];

// Each browser with an empty profile of its own and nothing that would reach the network (which
// is closed where the tests run): no updates, no sync, no telemetry, no remote settings.
function launchOptions(name, profile) {
  if (name === "chromium") {
    const args = ["--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"];
    if (process.getuid?.() === 0) args.push("--no-sandbox");
    return { executablePath: "/usr/bin/chromium", userDataDir: profile, args };
  }
  // puppeteer's profile turns off updates, telemetry and the like. Release builds take another
  // remote-settings server only when told that tests run, which also makes any connection
  // beyond this machine fatal to the browser: a page that asked for one could not pass.
  return {
    browser: "firefox", executablePath: "/usr/bin/firefox-esr", userDataDir: profile,
    extraPrefsFirefox: { "services.settings.server": "data:,#remote-settings-dummy/v1" },
    env: { ...process.env, MOZ_DISABLE_NONLOCAL_CONNECTIONS: "1" },
  };
}

// Opens the page from disk in a fresh profile of the browser named. requests collects every URL
// the page asks for that the browser reports (Firefox reports no file: URL).
export async function openPage(pagePath, name = "chromium") {
  const profile = mkdtempSync(join(tmpdir(), `tunewright-${name}-`));
  const downloads = mkdtempSync(join(tmpdir(), "tunewright-downloads-"));
  const browser = await puppeteer.launch({ headless: true, ...launchOptions(name, profile) });
  const context = await browser.createBrowserContext(
    { downloadBehavior: { policy: "allow", downloadPath: downloads } });
  const page = await context.newPage();
  await page.setViewport({ width: 1000, height: 760 });
  const requests = [];
  page.on("request", (request) => requests.push(request.url()));
  await page.goto(pathToFileURL(pagePath).href);
  await page.waitForFunction(() => document.body.dataset.state === "idle");
  const close = async () => {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
    rmSync(downloads, { recursive: true, force: true });
  };
  return { name, page, requests, downloads, close };
}

// Gives the page files through action, and waits until it has finished them.
export async function give(page, action) {
  await page.evaluate(() => { document.body.dataset.state = "given"; });
  await action();
  await page.waitForFunction(() => document.body.dataset.state === "ready", { timeout: 60000 });
}

// Every file under a folder, by its path from the folder's parent, as a folder picker and a drop
// name them.
function filesUnder(folder) {
  return readdirSync(folder, { recursive: true, withFileTypes: true })
    .filter((entry) => entry.isFile())
    .map((entry) => join(entry.parentPath ?? entry.path, entry.name))
    .map((path) => ({ path, name: relative(dirname(folder), path).split(sep).join("/") }));
}

// Presses the key a person uses on the focused button, and hands paths to the chooser it opens.
// Firefox's remote agent carries out no button's activation on a key it sends (a plain button
// is not clicked either), so there the focused button is clicked.
export async function chooseFromFocused({ name, page }, paths) {
  const chosen = page.waitForFileChooser();
  // A round trip through the page first, so that chromium catches the chooser a key opens at once.
  const focused = await page.evaluate(() => document.activeElement.id);
  await (name === "firefox" ? page.click(`#${focused}`) : page.keyboard.press("Enter"));
  await (await chosen).accept(paths);
}

// Hands a folder to the page's folder input. Firefox's remote agent takes files only, so there
// the input is given the folder's files, and each the path from the folder's parent that
// Firefox's folder picker gives it, before the page sees them.
export async function chooseFolder({ name, page }, folder) {
  const input = await page.$("#folder");
  if (name !== "firefox") {
    await input.uploadFile(folder);
    return;
  }
  const files = filesUnder(folder);
  await page.evaluate((paths) => {
    const folderInput = document.getElementById("folder");
    window.addEventListener("change", (event) => {
      if (event.target !== folderInput) return;
      [...folderInput.files].forEach((file, i) => {
        Object.defineProperty(file, "webkitRelativePath", { value: paths[i] });
      });
    }, { capture: true, once: true });
  }, files.map((file) => file.name));
  await input.uploadFile(...files.map((file) => file.path));
}

// Defines window.entryStandIns.directory(fullPath, list) in the page: a folder's entry as a drop
// gives it, whose reader hands out its children at most 100 a call, as chromium's does. list()
// gives the children as {name, list} for a folder or {name, file()} for a file.
export async function defineEntryStandIns(page) {
  await page.evaluate(() => {
    const directory = (fullPath, list) => ({
      isFile: false, isDirectory: true, fullPath,
      createReader() {
        let children = null;
        return { readEntries(done, failed) {
          children ??= list().then((all) => all.map((child) => {
            const path = `${fullPath}/${child.name}`;
            return child.list ? directory(path, child.list) : {
              isFile: true, isDirectory: false, fullPath: path,
              file: (got, lost) => child.file().then(got, lost) };
          }));
          children.then((all) => done(all.splice(0, 100)), failed);
        } };
      } });
    window.entryStandIns = { directory };
  });
}

// Drops folders or files on the drop area as a person would. Chromium takes real paths through
// DevTools drag events. Firefox's remote agent drags no files, so there the page is given a drop
// of the same files, read through a scratch file input, with entries for the folders.
export async function dropPaths({ name, page }, paths) {
  const drop = await page.$("#drop");
  if (name !== "firefox") {
    const session = await page.createCDPSession();
    const box = await drop.boundingBox();
    const at = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
    const data = { items: [], files: paths, dragOperationsMask: 1 };
    for (const type of ["dragEnter", "dragOver", "drop"]) {
      await session.send("Input.dispatchDragEvent", { type, ...at, data });
    }
    await session.detach();
    return;
  }
  const files = paths.flatMap((path) => (statSync(path).isDirectory()
    ? filesUnder(path) : [{ path, name: basename(path) }]));
  await defineEntryStandIns(page);
  await page.evaluate(() => {
    const input = Object.assign(document.createElement("input"),
                                { type: "file", multiple: true, hidden: true, id: "dropped" });
    document.body.append(input);
  });
  const input = await page.$("#dropped");
  await input.uploadFile(...files.map((file) => file.path));
  await page.evaluate((names) => {
    const input = document.getElementById("dropped");
    const tree = new Map();  // top-level name: a File, or a Map of children
    [...input.files].forEach((file, i) => {
      const parts = names[i].split("/");
      let level = tree;
      for (const part of parts.slice(0, -1)) {
        if (!level.has(part)) level.set(part, new Map());
        level = level.get(part);
      }
      level.set(parts.at(-1), file);
    });
    input.remove();
    const { directory } = window.entryStandIns;
    const listing = (level) => async () => [...level].map(([childName, child]) => (
      child instanceof Map ? { name: childName, list: listing(child) }
        : { name: childName, file: async () => child }));
    const transfer = new DataTransfer();
    const entries = new Map();
    for (const [topName, top] of tree) {
      transfer.items.add(top instanceof Map ? new File([], topName) : top);
      entries.set(transfer.items[transfer.items.length - 1], top instanceof Map
        ? directory(`/${topName}`, listing(top))
        : { isFile: true, isDirectory: false, fullPath: `/${topName}`,
            file: (got) => got(top) });
    }
    const own = DataTransferItem.prototype.webkitGetAsEntry;
    DataTransferItem.prototype.webkitGetAsEntry = function () { return entries.get(this); };
    const area = document.getElementById("drop");
    try {
      for (const type of ["dragenter", "dragover", "drop"]) {
        area.dispatchEvent(new DragEvent(type, { dataTransfer: transfer, bubbles: true,
                                                 cancelable: true }));
      }
    } finally {
      DataTransferItem.prototype.webkitGetAsEntry = own;
    }
  }, files.map((file) => file.name));
}

// Clicks the download button; the file's name and its bytes, once it is whole (each browser
// writes a download under another name and renames it when done).
export async function download({ page, downloads }) {
  await page.click("#download");
  const partial = (file) => file.endsWith(".crdownload") || file.endsWith(".part");
  for (let tries = 0; tries < 600; tries++) {
    await new Promise((resolve) => setTimeout(resolve, 50));
    const names = readdirSync(downloads);
    if (names.length === 1 && !partial(names[0])) {
      const path = join(downloads, names[0]);
      const bytes = readFileSync(path);
      if (bytes.length === 0) continue;  // Firefox's place holder, before the download moves in
      rmSync(path);
      return { name: names[0], bytes };
    }
  }
  throw new Error(`no download finished: ${readdirSync(downloads).join(", ")}`);
}
