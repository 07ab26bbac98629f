// Renders a Vega-Lite spec to an SVG file, headless: no browser, no canvas, no network.
//
//   node render.mjs PREFIX SPEC.json OUT.svg
//
// PREFIX is the folder where `npm ci` installed this folder's package-lock.json
// (scripts/bootstrap puts it at deps/vega); vega and vega-lite are loaded from there.
import { readFile, writeFile } from "node:fs/promises";
import { createRequire } from "node:module";
import { resolve as absolute } from "node:path";
import { pathToFileURL } from "node:url";

const [prefix, specPath, outPath] = process.argv.slice(2);
if (!outPath) {
  console.error("usage: node render.mjs PREFIX SPEC.json OUT.svg");
  process.exit(2);
}

// Both packages are ES modules; resolve their entry points inside PREFIX, then import them.
const resolve = createRequire(absolute(prefix, "package.json")).resolve;
const load = async (name) => import(pathToFileURL(resolve(name)).href);
const [vega, vegaLite] = await Promise.all([load("vega"), load("vega-lite")]);

const spec = JSON.parse(await readFile(specPath, "utf8"));
const view = new vega.View(vega.parse(vegaLite.compile(spec).spec), { renderer: "none" });
try {
  await writeFile(outPath, await view.toSVG());
} finally {
  view.finalize();
}
