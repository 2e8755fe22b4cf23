// What the page's test and measurement share: a static server over the page's folder on
// 127.0.0.1, which records every request it gets, and headless Chromium with a fresh profile in
// the caller's scratch folder, which records every request the page makes.
"use strict";

const fs = require("fs");
const http = require("http");
const path = require("path");
const puppeteer = require("puppeteer-core");

const TYPES = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".wasm": "application/wasm" };

// Serves the files of `folder` named by TYPES; anything else is 404. Resolves to {origin, served,
// close}, `served` being the paths asked for, in order.
function serve(folder) {
  const served = [];
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, "http://x").pathname);
    served.push(name);
    const file = path.join(folder, name === "/" ? "index.html" : path.normalize(name));
    const type = TYPES[path.extname(file)];
    if (!type || !file.startsWith(folder + path.sep) || !fs.existsSync(file)) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "Content-Type": type });
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => {
    server.listen(0, "127.0.0.1", () => {
      resolve({
        origin: `http://127.0.0.1:${server.address().port}`,
        served,
        close: () => new Promise((done) => server.close(done)),
      });
    });
  });
}

// Opens the page at `origin` in a new headless Chromium. Every request the page or its worker
// makes is recorded in `requested`; one for another origin is refused.
async function openPage(origin, scratch) {
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    headless: "new",
    userDataDir: fs.mkdtempSync(path.join(scratch, "profile-")),
    args: ["--no-sandbox", "--headless=new", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
  const page = await browser.newPage();
  const requested = [];
  await page.setRequestInterception(true);
  page.on("request", (request) => {
    const url = request.url();
    requested.push(url);
    if (url.startsWith(origin + "/") || url.startsWith("data:") || url.startsWith("blob:" + origin)) request.continue();
    else request.abort();
  });
  await page.goto(origin + "/", { waitUntil: "load" });
  return { browser, page, requested };
}

module.exports = { serve, openPage };
