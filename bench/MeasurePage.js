// Times conversions in the web page, in headless Chromium (a measurement, not a test):
//
//   node bench/MeasurePage.js BUILD_WEB_FOLDER FILE.bmp [ROUNDS]
//
// Prints, for each round, the conversion time the page shows (the worker's call into the module:
// read, encode, write, all in memory) and the time from handing the file to the page until its
// row is complete (reading the file, the worker's round trip and the two pictures included).
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const { serve, openPage } = require("../tests/web/Browser");

async function main() {
  const [buildFolder, file] = process.argv.slice(2, 4).map((name) => path.resolve(name));
  const rounds = Number(process.argv[4] || 3);
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "bmp2rle-measure-"));
  const server = await serve(buildFolder);
  const { browser, page } = await openPage(server.origin, scratch);
  try {
    for (let round = 1; round <= rounds; ++round) {
      const started = Date.now();
      await (await page.$("#files")).uploadFile(file);
      await page.waitForFunction(
        (count) => document.querySelectorAll('li.file[data-state="converted"], li.file[data-state="refused"]').length === count,
        { timeout: 600000, polling: 50 }, round);
      const whole = Date.now() - started;
      const shown = await page.$eval("li.file:last-child .facts", (facts) => facts.textContent);
      console.log(`round ${round}: ${shown}; until the row was complete ${whole} ms`);
    }
  } finally {
    await browser.close();
    await server.close();
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
