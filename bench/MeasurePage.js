// Times the first conversion of a file in a fresh web page, in headless Chromium, against a native
// command on the same file (a measurement, not a test):
//
//   node bench/MeasurePage.js BUILD_WEB_FOLDER FILE [ROUNDS [SETTINGS]] [-- COMMAND...]
//
// Each round runs COMMAND once, with IN and OUT among its arguments standing for FILE and an
// output file (put at its end when it names neither; by default build/bin/bmp2rle, the native
// converter; build/bin/ReduceImage IN OUT 8 rle 1 rle for the reduction), and then loads the page afresh (a new worker with new memory) and hands it FILE, so that both meet
// the machine in the same state. For the page it prints the time from the file input's change to
// the file's row being complete, as the page itself measures it, and the worker's phases: reading
// the file, converting in the module, decoding in the browser, drawing the pictures. SETTINGS
// (JSON, e.g. '{"bitCount":4,"dither":"full"}') sets the file's controls after the first
// conversion, one run each, and times the last run instead. Ends with the medians and the best
// times, and their ratios.
"use strict";

const { spawnSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { serve, openPage } = require("../tests/web/Browser");

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// Resolves, inside the page, to the milliseconds from the file input's change to the row's
// completion and the worker's phases; with `change` ({bitCount} or {dither}), from setting the
// first row's control so, or to null when it is set so already.
function timeInPage(page, change) {
  return page.evaluate((change) => new Promise((resolve) => {
    let started = 0;
    const finished = new MutationObserver(() => {
      const row = document.querySelector("li.file");
      if (!started || !row || !["converted", "reduced", "refused"].includes(row.dataset.state)) return;
      finished.disconnect();
      resolve({ whole: performance.now() - started, phases: JSON.parse(row.dataset.timings || "{}") });
    });
    if (!change) {
      document.getElementById("files").addEventListener("change", () => { started = performance.now(); }, { capture: true });
    } else {
      const row = document.querySelector("li.file");
      const control = change.bitCount ? row.querySelector(`input[name^="colours"][value="${change.bitCount}"]`)
                                      : row.querySelector("select");
      if (change.bitCount ? control.checked : control.value === change.dither) return resolve(null);
      started = performance.now();
      if (change.bitCount) {
        control.click();
      } else {
        control.value = change.dither;
        control.dispatchEvent(new Event("change"));
      }
    }
    finished.observe(document.getElementById("results"), { subtree: true, attributes: true, childList: true });
  }), change);
}

async function main() {
  const separator = process.argv.indexOf("--");
  const args = process.argv.slice(2, separator < 0 ? undefined : separator);
  const [buildFolder, file] = args.slice(0, 2).map((name) => path.resolve(name));
  const rounds = Number(args[2] || 5);
  const rerun = args[3] ? JSON.parse(args[3]) : null;
  const command = separator < 0 ? [path.resolve(__dirname, "../build/bin/bmp2rle")] : process.argv.slice(separator + 1);
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "bmp2rle-measure-"));
  const server = await serve(buildFolder);
  const { browser, page } = await openPage(server.origin, scratch);
  const natives = [], wholes = [];
  try {
    for (let round = 1; round <= rounds; ++round) {
      const output = path.join(scratch, "native.bmp");
      const began = process.hrtime.bigint();
      const args = command.includes("IN") || command.includes("OUT") ? command.map((arg) => ({ IN: file, OUT: output })[arg] ?? arg)
                                           : [...command, file, output];
      const native = spawnSync(args[0], args.slice(1), { stdio: "ignore" });
      natives.push(Number(process.hrtime.bigint() - began) / 1e6);
      fs.rmSync(output, { force: true });
      if (native.status !== 0) console.log(`${command.join(" ")} ended with ${native.status}`);

      await page.goto(server.origin + "/", { waitUntil: "load" });
      const first = timeInPage(page, null);
      await (await page.$("#files")).uploadFile(file);
      let timing = await first;
      // One control at a time, each run to its end; the last that changes is timed.
      for (const change of rerun ? [{ dither: rerun.dither }, { bitCount: rerun.bitCount }] : []) {
        if (change.dither || change.bitCount) timing = (await timeInPage(page, change)) ?? timing;
      }
      const { whole, phases } = timing;
      wholes.push(whole);
      const shown = Object.entries(phases).map(([phase, time]) => `${phase} ${time.toFixed(0)}`).join(", ");
      console.log(`round ${round}: native ${natives.at(-1).toFixed(0)} ms; page ${whole.toFixed(0)} ms (${shown})`);
    }
  } finally {
    await browser.close();
    await server.close();
    fs.rmSync(scratch, { recursive: true, force: true });
  }
  for (const [what, pick] of [[`median of ${rounds}`, median], ["best", (values) => Math.min(...values)]]) {
    const [native, inPage] = [pick(natives), pick(wholes)];
    console.log(`${what}: native ${native.toFixed(0)} ms, page ${inPage.toFixed(0)} ms, ${(inPage / native).toFixed(1)} × native`);
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
