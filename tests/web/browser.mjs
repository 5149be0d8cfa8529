// Debian's chromium driven by playwright-core, as the page's tests and benchmark use it, and the
// page's own ways in: its file inputs, a real folder drop, its download.

import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { pathToFileURL } from "node:url";
import { chromium } from "playwright-core";

// Opens the page from disk in a fresh profile. requests collects every URL the page asks for.
export async function openPage(pagePath) {
  const profile = mkdtempSync(join(tmpdir(), "tunewright-chromium-"));
  const args = ["--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync"];
  if (process.getuid?.() === 0) args.push("--no-sandbox");
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium", args, headless: true, acceptDownloads: true,
    viewport: { width: 1000, height: 760 } });
  const page = context.pages()[0] ?? await context.newPage();
  const requests = [];
  context.on("request", (request) => requests.push(request.url()));
  // Catching file choosers from the start: turned on only while waiting for one, the catching
  // can come too late for the key press that opens it.
  page.on("filechooser", () => {});
  await page.goto(pathToFileURL(pagePath).href);
  await page.waitForFunction(() => document.body.dataset.state === "idle");
  const close = async () => {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  };
  return { context, page, requests, close };
}

// Gives the page files through action, and waits until it has finished them.
export async function give(page, action) {
  await page.evaluate(() => { document.body.dataset.state = "given"; });
  await action();
  await page.waitForFunction(() => document.body.dataset.state === "ready", null,
                             { timeout: 60000 });
}

// Drops a folder or files on the drop area with DevTools drag events, as a person would.
export async function dropPaths(context, page, paths) {
  const session = await context.newCDPSession(page);
  const box = await page.locator("#drop").boundingBox();
  const at = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  const data = { items: [], files: paths, dragOperationsMask: 1 };
  for (const type of ["dragEnter", "dragOver", "drop"]) {
    await session.send("Input.dispatchDragEvent", { type, ...at, data });
  }
  await session.detach();
}

// Clicks the download button; the file's suggested name and its bytes.
export async function download(page) {
  const [file] = await Promise.all([page.waitForEvent("download"), page.click("#download")]);
  return { name: file.suggestedFilename(), bytes: readFileSync(await file.path()) };
}
