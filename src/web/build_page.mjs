// Makes tunewright.html: page.html with the WebAssembly module, the zip writer (its licence
// kept) and page.js inlined, so that the page is one file that works offline from disk.
//
//     node src/web/build_page.mjs TUNEWRIGHT.WASM OUTPUT.HTML   (from the source tree's root)

import { readFileSync, writeFileSync } from "node:fs";

const [wasmPath, outputPath] = process.argv.slice(2);
if (!outputPath) {
  console.error("usage: build_page.mjs TUNEWRIGHT.WASM OUTPUT.HTML");
  process.exit(2);
}
const read = (path) => readFileSync(path, "utf8");
const zipWriter = "node_modules/client-zip";
const zipVersion = JSON.parse(read(`${zipWriter}/package.json`)).version;

// The zip writer is an ES module; in one inline script with the page's own, its exports
// become plain constants.
const exportList = /export\s*\{([^}]*)\};?\s*$/;
const zipModule = read(`${zipWriter}/index.js`).trim();
if (!exportList.test(zipModule)) throw new Error("client-zip's exports are not where expected");
const zipScript = zipModule.replace(exportList, (_, list) => `const ${list.split(",").map(
  (item) => item.trim().split(/\s+as\s+/).reverse().join(" = ")).join(", ")};`);

const wasm = readFileSync(wasmPath).toString("base64");
const script = [
  `/* client-zip ${zipVersion}\n${read(`${zipWriter}/LICENSE.txt`).trim()}\n*/`,
  zipScript,
  read("src/web/page.js").split("WASM_BASE64").join(wasm),
].join("\n");
// Nothing in the scripts may close the element early.
if (script.includes("</script")) throw new Error("an inlined script contains </script");

const marker = '<script type="module" src="page.js"></script>';
const page = read("src/web/page.html");
if (!page.includes(marker)) throw new Error(`page.html lacks ${marker}`);
const html = page.split(marker).join(`<script type="module">\n${script}\n</script>`);
writeFileSync(outputPath, html);
console.log(`${outputPath}: ${html.length} bytes, of which the module ${wasm.length} in base64`);
