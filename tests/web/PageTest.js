// The web page in headless Chromium against the native converter:
//
//   node PageTest.js BUILD_WEB_FOLDER NATIVE_BMP2RLE
//
// Files go in through the page's file input, as a user chooses them: first those of
// tests/data/web.tsv under names of their own, then every file of the corpus at once. A file the
// native converter converts must give, in the page, the very bytes it writes, under the name it
// would give them. For any other the page shows the report the converter prints (the module's
// name and offset aside) with its explanation, and either stops there or reduces the picture;
// every reduced download goes back into the page, which must read it as an RLE bitmap of the
// picture's size, write it again byte for byte, and, for a named file of at most 256 colours,
// show every pixel as ImageMagick reads it from the file (over white where it is transparent).
// The page may ask for nothing but its own files. Leaves screenshot.png (desktop) and
// screenshot-320.png (a phone's width) in the build folder. Works in a scratch folder of its own,
// removed at the end.
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
const PAGE_FILES = ["/", "/reports.js", "/page.js", "/bmp2rle.js", "/bmp2rle.wasm"];
const DONE = ["converted", "reduced", "refused"];

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

function imageMagick(args) {
  const run = spawnSync(args[0], args.slice(1), { maxBuffer: 1 << 26 });
  if (run.status !== 0) throw new Error(`${args.join(" ")}: ${run.stderr}`);
  return run.stdout;
}

// Hands `files` to the page's file input and waits for the page to finish them all; returns what
// the page shows for them, in the order given, with the pixels of each first picture when asked.
async function convertInPage(page, files, withPixels) {
  const before = await page.$$eval("li.file", (items) => items.length);
  await (await page.$("#files")).uploadFile(...files);
  await page.waitForFunction(
    (count, done) => {
      const items = [...document.querySelectorAll("li.file")];
      return items.length === count && items.every((item) => done.includes(item.dataset.state));
    },
    { timeout: 300000, polling: 100 },
    before + files.length, DONE);
  const items = await page.$$eval("li.file", (elements, withPixels) => {
    const base64 = (contents) => {
      let text = "";
      for (let i = 0; i < contents.length; i += 0x8000) text += String.fromCharCode(...contents.subarray(i, i + 0x8000));
      return btoa(text);
    };
    return Promise.all(elements.map(async (item) => {
      const link = item.querySelector("a.download");
      const canvas = item.querySelector("canvas");
      const text = (selector) => item.querySelector(selector)?.textContent ?? null;
      return {
        id: Number(item.dataset.id),
        name: item.dataset.name,
        state: item.dataset.state,
        download: link ? link.download : null,
        output: link ? base64(new Uint8Array(await (await fetch(link.href)).arrayBuffer())) : null,
        report: text(".report pre"),
        meaning: text(".report .meaning"),
        size: item.dataset.size,
        pictures: item.querySelectorAll("canvas").length,
        pixels: withPixels && canvas
          ? base64(canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data) : null,
      };
    }));
  }, withPixels);
  return items.sort((a, b) => a.id - b.id).slice(before);
}

// The page's result for `file` against the native converter's; `expected` is the table's download
// name and report, when there is one. A reduced download joins `reduced`.
function compare(item, file, scratch, expected, reduced) {
  const outcome = native(file, scratch);
  const name = item.name;
  if (outcome.exitCode === 0) {
    check(`${name}: converted`, () => assert.strictEqual(item.state, "converted"));
    check(`${name}: bytes`, () => assert.ok(item.output !== null && Buffer.from(item.output, "base64").equals(outcome.output)));
    check(`${name}: pictures`, () => assert.strictEqual(item.pictures, 2));
  } else {
    if (item.report !== null || !expected) {
      check(`${name}: report`, () => assert.strictEqual(withoutModule(item.report || ""), withoutModule(outcome.report)));
      check(`${name}: module`, () => assert.match(item.report || "", /^Exception \w+ in module bmp2rle\.js at [0-9A-F]{8}\.\r\n/));
      check(`${name}: explained`, () => assert.ok(item.meaning));
    }
    check(`${name}: outcome`, () => assert.ok(["reduced", "refused"].includes(item.state)));
    if (item.state === "reduced") reduced.push({ item, file });
  }
  if (expected) {
    const [className, ...text] = expected.report.split(": ");
    const shown = (item.report || "").split("\r\n");
    check(`${name}: download name`, () => assert.strictEqual(item.download, expected.download === "-" ? null : expected.download));
    check(`${name}: report shown`, () => assert.ok(expected.report === "-" ? item.report === null
      : shown[0].startsWith(`Exception ${className} `) && shown[1] === text.join(": ")));
  }
  return outcome;
}

// Every reduced download read back by the page: an RLE bitmap of at most 256 colours, of the
// picture's size, written again to the byte; for a named file of at most 256 colours, every pixel
// (the named files are small enough for the page to draw them at 1:1).
async function readBack(page, reduced, scratch) {
  const files = reduced.map(({ item }, index) => {
    const file = path.join(scratch, `back-${index}`, item.download);
    fs.mkdirSync(path.dirname(file));
    fs.writeFileSync(file, Buffer.from(item.output, "base64"));
    return file;
  });
  const items = await convertInPage(page, files, true);
  reduced.forEach(({ item, file }, i) => {
    const back = items[i], bytes = Buffer.from(item.output, "base64");
    check(`${item.name}: read back`, () => assert.strictEqual(back.state, "converted"));
    check(`${item.name}: written again`, () => assert.strictEqual(back.output, item.output));
    check(`${item.name}: RLE, 256 colours at most`, () => assert.ok([1, 2].includes(bytes.readUInt32LE(30)) && bytes.readUInt16LE(28) <= 8));
    check(`${item.name}: size`, () => assert.strictEqual(back.size, item.size));
    if (file.startsWith(data) || Number(imageMagick(["identify", "-format", "%k", file]).toString()) > 256) return;
    const expected = imageMagick(["convert", file, "-background", "white", "-flatten", "-depth", "8", "rgb:-"]);
    const shown = Buffer.from(back.pixels, "base64").filter((_, at) => at % 4 !== 3);
    check(`${item.name}: every pixel`, () => assert.ok(shown.equals(expected)));
  });
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
    const named = readTable(path.join(data, "web.tsv")).map(([name, source, download, report], index) => {
      const file = path.join(scratch, `named-${index}`, name);
      fs.mkdirSync(path.dirname(file));
      if (source.startsWith("convert ")) imageMagick(source.split(" ").map((arg) => arg.replace(/OUT$/, file)));
      else fs.copyFileSync(path.join(root, source), file);
      return { file, download, report };
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
    const reduced = [];
    named.forEach((entry, i) => {
      const item = namedItems[i];
      check(`${item.name}: busy indicator`, () => assert.ok(statusTexts.some((text) => text.startsWith(`Converting ${item.name}…`))));
      compare(item, entry.file, scratch, entry, reduced);
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
      if (compare(corpusItems[i], file, scratch, null, reduced).exitCode === 0) ++converted;
    });
    await page.reload({ waitUntil: "load" });
    await readBack(page, reduced, scratch);
    console.log(`${named.length} named files and ${corpus.length} corpus files (${converted} converted, ` +
                `${reduced.length} reduced and read back) compared`);

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
