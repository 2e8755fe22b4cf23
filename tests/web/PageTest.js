// The web page in headless Chromium against the native converter:
//
//   node PageTest.js BUILD_WEB_FOLDER NATIVE_BMP2RLE
//
// Files go in through the page's file input, as a user chooses them: first those of
// tests/data/web.tsv under names of their own, then every file of the corpus at once. Each must
// give, in the page, the very bytes the native converter writes, under the name it would give
// them, or the report it prints (the module's name and offset aside). The page may ask for
// nothing but its own files. Leaves screenshot.png (desktop) and screenshot-320.png (a phone's
// width) in the build folder. Works in a scratch folder of its own, removed at the end.
"use strict";

const assert = require("assert");
const { spawnSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { serve, openPage } = require("./Browser");

const [buildFolder, nativeConverter] = process.argv.slice(2).map((name) => path.resolve(name));
const root = path.resolve(__dirname, "../..");
const data = path.join(root, "tests/data");
const PAGE_FILES = ["/", "/page.js", "/bmp2rle.js", "/bmp2rle.wasm"];

const failures = [];
// Runs one check (a function, or an async one to be awaited) and records its failure.
async function check(what, test) {
  try {
    await test();
  } catch (error) {
    failures.push(`${what}: ${error.message}`);
  }
}

function readTable(file) {
  const lines = fs.readFileSync(file, "utf8").split("\n").filter((line) => line && !line.startsWith("#"));
  return lines.slice(1).map((line) => line.split("\t"));
}

const withoutModule = (report) => report.replace(/in module [^ ]+ at [0-9A-F]{8}/g, "in module - at -");

// What the native converter does with `file`: its output's bytes, or its report.
function native(file, scratch) {
  const output = path.join(scratch, "native-out.bmp");
  const run = spawnSync(nativeConverter, [file, output], { cwd: scratch, encoding: "latin1" });
  const written = fs.existsSync(output) ? fs.readFileSync(output) : null;
  fs.rmSync(output, { force: true });
  return { exitCode: run.status, report: Buffer.from(run.stdout, "latin1").toString("utf8"), output: written };
}

// Hands `files` to the page's file input and waits for the page to finish them all; returns the
// page's list items for them, in the order given.
async function convertInPage(page, files) {
  const before = await page.$$eval("li.file", (items) => items.length);
  await (await page.$("#files")).uploadFile(...files);
  await page.waitForFunction(
    (count) => {
      const items = [...document.querySelectorAll("li.file")];
      return items.length === count && items.every((item) => ["converted", "refused"].includes(item.dataset.state));
    },
    { timeout: 300000, polling: 100 },
    before + files.length);
  const items = await page.$$eval("li.file", (elements) =>
    Promise.all(elements.map(async (item) => {
      const link = item.querySelector("a.download");
      let base64 = null;
      if (link) {
        const contents = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
        let text = "";
        for (let i = 0; i < contents.length; i += 0x8000) text += String.fromCharCode(...contents.subarray(i, i + 0x8000));
        base64 = btoa(text);
      }
      const report = item.querySelector("pre.report");
      return {
        id: Number(item.dataset.id),
        name: item.dataset.name,
        state: item.dataset.state,
        download: link ? link.download : null,
        output: base64,
        report: report ? report.textContent : null,
        pictures: item.querySelectorAll("canvas").length,
      };
    })));
  return items.sort((a, b) => a.id - b.id).slice(before);
}

// The page's result for `file` against the native converter's.
function compare(item, file, scratch, expectedName) {
  const expected = native(file, scratch);
  check(`${item.name}: outcome`, () => assert.strictEqual(item.state, expected.exitCode === 0 ? "converted" : "refused"));
  if (expected.exitCode === 0) {
    check(`${item.name}: bytes`, () => assert.ok(item.output !== null && Buffer.from(item.output, "base64").equals(expected.output)));
    check(`${item.name}: pictures`, () => assert.strictEqual(item.pictures, 2));
    if (expectedName) check(`${item.name}: download name`, () => assert.strictEqual(item.download, expectedName));
  } else {
    check(`${item.name}: report`, () => assert.strictEqual(withoutModule(item.report || ""), withoutModule(expected.report)));
    check(`${item.name}: module`, () => assert.match(item.report || "", /^Exception \w+ in module bmp2rle\.js at [0-9A-F]{8}\.\r\n/));
  }
  return expected;
}

async function run(scratch) {
  const server = await serve(buildFolder);
  const { browser, page, requested } = await openPage(server.origin, scratch);
  try {
    await page.setViewport({ width: 1000, height: 900 });
    await page.keyboard.press("Tab");
    await check("keyboard: the first Tab reaches the file input",
          async () => assert.strictEqual(await page.evaluate(() => document.activeElement.id), "files"));

    // The named files, each in a folder of its own so that names may repeat.
    const named = readTable(path.join(data, "web.tsv")).map(([name, source, expect], index) => {
      const folder = path.join(scratch, `named-${index}`);
      fs.mkdirSync(folder);
      fs.copyFileSync(path.join(root, source), path.join(folder, name));
      return { file: path.join(folder, name), expect };
    });
    // Every text the busy indicator shows, as it changes.
    await page.evaluate(() => {
      const status = document.getElementById("status");
      window.statusTexts = [];
      new MutationObserver(() => window.statusTexts.push(status.textContent))
        .observe(status, { childList: true, characterData: true, subtree: true });
    });
    const namedItems = await convertInPage(page, named.map((entry) => entry.file));
    const statusTexts = await page.evaluate(() => window.statusTexts);
    for (const item of namedItems) {
      check(`${item.name}: busy indicator`, () => assert.ok(statusTexts.some((text) => text.startsWith(`Converting ${item.name}…`))));
    }
    named.forEach((entry, i) => {
      const item = namedItems[i];
      const refused = entry.expect.includes(": ");
      const outcome = compare(item, entry.file, scratch, refused ? null : entry.expect);
      if (refused) {
        check(`${item.name}: report text`, () => assert.strictEqual(outcome.report.split("\r\n").slice(1, 2).join(""),
                                                                   entry.expect.split(": ").slice(1).join(": ")));
        check(`${item.name}: class`, () => assert.match(item.report || "", new RegExp(`^Exception ${entry.expect.split(":")[0]} `)));
      }
    });
    await page.screenshot({ path: path.join(buildFolder, "screenshot.png"), fullPage: true });
    await page.setViewport({ width: 320, height: 640 });
    await check("a phone's width: nothing wider than the page",
          async () => assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 320)));
    await page.screenshot({ path: path.join(buildFolder, "screenshot-320.png"), fullPage: false });

    // The corpus, all at once, in a fresh page.
    await page.setViewport({ width: 1000, height: 900 });
    await page.reload({ waitUntil: "load" });
    const corpus = readTable(path.join(data, "corpus/INDEX.tsv")).map((row) => path.join(data, "corpus", row[0]));
    const corpusItems = await convertInPage(page, corpus);
    let converted = 0;
    corpus.forEach((file, i) => {
      if (compare(corpusItems[i], file, scratch, null).exitCode === 0) ++converted;
    });
    console.log(`${named.length} named files and ${corpus.length} corpus files (${converted} converted) compared`);

    const foreign = requested.filter((url) => !url.startsWith(server.origin + "/") && !url.startsWith("blob:") && !url.startsWith("data:"));
    check("requests: none beyond the page's own server", () => assert.deepStrictEqual(foreign, []));
    const strangers = server.served.filter((name) => !PAGE_FILES.includes(name));
    check("requests: the page's own files only", () => assert.deepStrictEqual(strangers, []));
  } finally {
    await browser.close();
    await server.close();
  }
}

async function main() {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "bmp2rle-page-"));
  try {
    await run(scratch);
  } catch (error) {
    failures.push(`the run itself: ${error.stack}`);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
  for (const failure of failures) console.log(`FAILED ${failure}`);
  console.log(failures.length === 0 ? "web page: all checks passed" : `web page: ${failures.length} checks failed`);
  process.exitCode = failures.length === 0 ? 0 : 1;
}

main();
