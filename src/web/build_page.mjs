// Makes tunewright.html: page.html with pako's raw deflate (its licence kept), the WebAssembly
// module (deflated, as pako inflates it: it is less than half as long) and page.js inlined, so
// that the page is one file that works offline from disk.
//
//     node src/web/build_page.mjs TUNEWRIGHT.WASM OUTPUT.HTML   (from the source tree's root)

import { readFileSync, writeFileSync } from "node:fs";
import { deflateRawSync } from "node:zlib";

const [wasmPath, outputPath] = process.argv.slice(2);
if (!outputPath) {
  console.error("usage: build_page.mjs TUNEWRIGHT.WASM OUTPUT.HTML");
  process.exit(2);
}
const read = (path) => readFileSync(path, "utf8");
const deflate = "node_modules/pako";
const deflateVersion = JSON.parse(read(`${deflate}/package.json`)).version;

// pako's browser build defines the global pako, whose inflate and deflate page.js gives the
// module.
const wasm = deflateRawSync(readFileSync(wasmPath), { level: 9 }).toString("base64");
const scripts = [
  `<script>\n/* pako ${deflateVersion}\n${read(`${deflate}/LICENSE`).trim()}\n*/\n` +
    `${read(`${deflate}/dist/pako.min.js`).trim()}\n</script>`,
  `<script type="module">\n${read("src/web/page.js").split("WASM_BASE64").join(wasm)}</script>`,
].join("\n");
// Nothing in the scripts may close their element early.
if (scripts.split("</script").length !== 3) throw new Error("an inlined script holds </script");

const marker = '<script type="module" src="page.js"></script>';
const page = read("src/web/page.html");
if (!page.includes(marker)) throw new Error(`page.html lacks ${marker}`);
const html = page.split(marker).join(scripts);
writeFileSync(outputPath, html);
console.log(`${outputPath}: ${Buffer.byteLength(html)} bytes, of which the module ${wasm.length} ` +
            "deflated in base64");
