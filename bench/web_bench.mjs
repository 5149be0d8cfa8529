// The browser page's benchmark: its size, and how long a folder of 1,000 presets dropped on it
// (DevTools drag events, as a person drops one) takes until every file is converted, listed
// and the zip is ready to download. Seven rounds in Debian's chromium; medians are reported.
//
//     node bench/web_bench.mjs --page build/web/tunewright.html [--files 1000] [--rounds 7]

import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync, statSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { fileURLToPath } from "node:url";
import { parseArgs } from "node:util";
import { dropPaths, give, openPage } from "../tests/web/browser.mjs";

const { values: args } = parseArgs({ options: {
  page: { type: "string" }, files: { type: "string", default: "1000" },
  rounds: { type: "string", default: "7" } } });
const sizeLimit = 150 * 1024;
const timeLimit = 1000;

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const work = mkdtempSync(join(tmpdir(), "tunewright-web-bench-"));
const library = join(work, "library");
execFileSync("python3", [fileURLToPath(new URL("make_tree.py", import.meta.url)), library,
                         args.files]);
const browser = await openPage(args.page);
const { page } = browser;
const inPage = [];
const overall = [];
let status = "";
try {
  for (let round = 0; round < Number(args.rounds); round++) {
    const started = performance.now();
    await give(page, () => dropPaths(browser, [library]));
    overall.push(performance.now() - started);
    inPage.push(Number(await page.evaluate(() => document.body.dataset.runMs)));
    status = await page.$eval("#status", (line) => line.textContent);
  }
} finally {
  await browser.close();
  rmSync(work, { recursive: true, force: true });
}

const size = statSync(args.page).size;
const ms = (values) => `median ${median(values).toFixed(0)} ms, min ${Math.min(...values)
  .toFixed(0)}, max ${Math.max(...values).toFixed(0)}`;
console.log(`Page: ${size} bytes (${(size / 1024).toFixed(1)} KiB); target under 150 KiB: ${
  size < sizeLimit ? "met" : "NOT MET"}`);
console.log(`Folder of ${args.files} files dropped, ${args.rounds} rounds. The page: ${status}`);
console.log(`  drop to ready, timed by the page:      ${ms(inPage)}`);
console.log(`  drop to ready, timed by the benchmark: ${ms(overall)}`);
console.log(`Target under 1 s, by the benchmark's median: ${
  median(overall) < timeLimit ? "met" : "NOT MET"}`);
