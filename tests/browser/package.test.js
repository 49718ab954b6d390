// The npm package as a bank's developer takes it: packed from web/, installed
// offline, a TypeScript page (package/page.ts) type-checked with tsc --strict
// and bundled with esbuild, then run in Chromium on the trusted site.
import { execFileSync } from "node:child_process";
import { copyFileSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import assert from "node:assert/strict";
import { after, test } from "node:test";
import { launch } from "./chromium.js";

const HERE = dirname(fileURLToPath(import.meta.url));
const ROOT = join(HERE, "../..");
const work = mkdtempSync(join(tmpdir(), "keyloom-package-"));
after(() => rmSync(work, { recursive: true, force: true }));

const run = (command, args, cwd) => execFileSync(command, args, { cwd, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"] });

test("the packed package installs offline, type-checks strictly, bundles and enrolls in Chromium", async () => {
  const manifest = JSON.parse(readFileSync(join(ROOT, "web/package.json"), "utf8"));
  const project = /project\(keyloom VERSION ([0-9.]+)/.exec(readFileSync(join(ROOT, "CMakeLists.txt"), "utf8"))[1];
  assert.equal(manifest.version, project, "the package's version is the project's");

  const [packed] = JSON.parse(run("npm", ["pack", "--json", "--pack-destination", work, join(ROOT, "web")], work));
  assert.deepEqual(packed.files.map((f) => f.path).sort(), ["README.md", "keyloom.d.ts", "keyloom.js", "keyloom.legacy.js", "package.json"]);

  const page = join(work, "page");
  run("mkdir", [page]);
  writeFileSync(join(page, "package.json"), JSON.stringify({ name: "bank-page", private: true, type: "module" }));
  for (const file of ["page.ts", "tsconfig.json"]) copyFileSync(join(HERE, "package", file), join(page, file));
  run("npm", ["install", "--offline", "--no-audit", "--no-fund", "--ignore-scripts", join(work, packed.filename)], page);
  run(join(HERE, "node_modules/.bin/tsc"), ["-p", "."], page);
  run(join(HERE, "node_modules/.bin/esbuild"), ["page.ts", "--bundle", "--format=esm", "--target=es2022",
    "--outfile=page.js", "--log-level=warning"], page);

  // The demo site's own document loads the bundle in place of its app.js:
  // the document must come from the site's loopback address, or Chromium
  // counts the page as public and holds its WebSocket for the local-network
  // permission; its fetches reach the site's endpoints.
  const site = `http://127.0.0.1:${process.env.KEYLOOM_SITE_PORT}`;
  const tab = await (await launch("en-US")).newPage();
  await tab.route(`${site}/app.js`, (route) =>
    route.fulfill({ contentType: "text/javascript", body: readFileSync(join(page, "page.js")) }));
  await tab.goto(`${site}/?agent=${process.env.KEYLOOM_AGENT_PORT}`);
  await tab.locator("body[data-outcome]").waitFor({ state: "attached", timeout: 240_000 });
  const outcome = JSON.parse(await tab.locator("body").getAttribute("data-outcome"));
  const allDone = ["select", "request", "issue", "envelope", "installSign", "installEncrypt"]
    .flatMap((step) => [`${step}:running`, `${step}:done`]);
  assert.deepEqual(outcome.rsa?.steps, allDone, JSON.stringify(outcome));
  assert.match(outcome.rsa.signing, /^[0-9a-f]+$/);
  const keys = run(process.env.KEYLOOM_BIN, ["key", "verify", "--provider", "Microsoft Enhanced Cryptographic Provider v1.0",
    "--container", outcome.rsa.container]).trim().split("\n").map((line) => JSON.parse(line));
  assert.deepEqual(keys.map((k) => k.certificateMatches), [true, true]);
});
