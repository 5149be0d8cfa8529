// Makes tunewright.html: page.html with the zip writer (its licence kept), the WebAssembly
// module and page.js inlined, so that the page is one file that works offline from disk.
//
//     node src/web/build_page.mjs TUNEWRIGHT.WASM OUTPUT.HTML   (from the source tree's root)

import { readFileSync, writeFileSync } from "node:fs";

const [wasmPath, outputPath] = process.argv.slice(2);
if (!outputPath) {
  console.error("usage: build_page.mjs TUNEWRIGHT.WASM OUTPUT.HTML");
  process.exit(2);
}
const read = (path) => readFileSync(path, "utf8");
const zipWriter = "node_modules/fflate";
const zipVersion = JSON.parse(read(`${zipWriter}/package.json`)).version;

// fflate's browser build defines the global fflate, which page.js takes zipSync from.
const wasm = readFileSync(wasmPath).toString("base64");
const scripts = [
  `<script>\n/* fflate ${zipVersion}\n${read(`${zipWriter}/LICENSE`).trim()}\n*/\n` +
    `${read(`${zipWriter}/umd/index.js`).trim()}\n</script>`,
  `<script type="module">\n${read("src/web/page.js").split("WASM_BASE64").join(wasm)}</script>`,
].join("\n");
// Nothing in the scripts may close their element early.
if (scripts.split("</script").length !== 3) throw new Error("an inlined script holds </script");

const marker = '<script type="module" src="page.js"></script>';
const page = read("src/web/page.html");
if (!page.includes(marker)) throw new Error(`page.html lacks ${marker}`);
const html = page.split(marker).join(scripts);
writeFileSync(outputPath, html);
console.log(`${outputPath}: ${Buffer.byteLength(html)} bytes, of which the module ${wasm.length} in base64`);
