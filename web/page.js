// The page: hands each chosen or dropped file to the worker (bmp2rle.js) and shows what comes
// back, one list item a file. A file's controls run it again with other settings; the
// background colour runs again the files that have transparent parts.
"use strict";

const worker = new Worker("bmp2rle.js");
const rows = new Map();  // the job last posted for a list item -> the item
const files = new Map();  // a job whose bytes the worker has not had yet -> its file
let outstanding = 0;  // jobs posted whose results have not come back
const settings = new WeakMap();  // list item -> {file, bitCount, dither}
let nextId = 1;

const status = document.getElementById("status");
const results = document.getElementById("results");
const drop = document.getElementById("drop");
const chooser = document.getElementById("files");
const background = document.getElementById("background");

const COMPRESSIONS = ["no compression", "RLE8", "RLE4", "bit fields"];
const DITHERS = [["none", "Off"], ["rle", "RLE-aware"], ["full", "Full"]];
const VIEWS = [["fit", "Fit"], ["1", "1:1"], ["4", "4×"]];

// The converter's reports with what they mean and what to do (doc/reports.tsv, in reports.js): a
// report matches a row by its exception class and its text, in which NAME stands for a file name,
// N for a number, TEXT for the system's words, XXXXXXXX for an address and \r\n for a line break.
const PLACEHOLDERS = { NAME: ".*", N: "\\d+", TEXT: ".*", XXXXXXXX: "[0-9A-F]{8}" };
const EXPLANATIONS = REPORT_TABLE.split("\n").filter((line) => line && !line.startsWith("#")).slice(1)
  .map((line) => {
    const [className, text, meaning, action] = line.split("\t");
    const pattern = text.split("\\r\\n").map((part) => part.split(/\b(NAME|N|TEXT|XXXXXXXX)\b/)
      .map((piece, i) => i % 2 ? PLACEHOLDERS[piece] : piece.replace(/[.*+?^${}()|[\]\\]/g, "\\$&")).join("")).join("\r\n");
    return { className, text: new RegExp(`^${pattern}$`), line: `${meaning} ${action}` };
  });

// The row's line for a report, as text with `code` marked; empty when no row matches.
function explain(report) {
  const lines = report.replace(/(\r\n)+$/, "").split("\r\n");
  const exception = /^Exception (\w+) in module /.exec(lines[0]);
  const className = exception ? exception[1] : "-";
  const text = (exception ? lines.slice(1) : lines).join("\r\n");
  const row = EXPLANATIONS.find((entry) => entry.className === className && entry.text.test(text));
  return row ? row.line : "";
}

// Text with its `code` parts in code elements.
function withCode(text) {
  return text.split("`").map((part, i) => i % 2 ? element("code", "", part) : document.createTextNode(part));
}

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

function bytes(count) {
  return count.toLocaleString("en") + " bytes";
}

function showBusy() {
  const items = [...results.children];
  const running = items.find((row) => row.dataset.state === "running");
  const waiting = items.filter((row) => row.dataset.state === "waiting").length;
  status.className = running ? "busy" : "";
  status.textContent = running
    ? `Converting ${running.dataset.name}…` + (waiting ? ` (${waiting} more waiting)` : "")
    : "";
}

// Posts the list item's file to the worker with its settings; a result for an earlier job of the
// item is then passed over.
function run(row) {
  const job = nextId++;
  const { file, bitCount, dither } = settings.get(row);
  rows.delete(Number(row.dataset.job));
  rows.set(job, row);
  row.dataset.job = job;
  row.dataset.state = "waiting";
  row.querySelectorAll("input, select").forEach((control) => { control.disabled = true; });
  const color = parseInt(background.value.slice(1), 16);
  files.set(job, file);
  worker.postMessage({ job, row: row.dataset.id, file, bitCount, dither, background: color });
  // A job that the worker starts at once (its module may still be starting) gets its bytes at
  // once; one that waits behind others gets them when it starts, so that the files waiting are
  // not all held in memory.
  if (outstanding++ === 0) deliver(job);
  showBusy();
}

function add(file) {
  const row = element("li", "file");
  row.dataset.id = nextId;
  row.dataset.name = file.name;
  row.append(element("h2", "", file.name), element("p", "facts", "Waiting…"));
  results.append(row);
  // Bit count 0: the converter's own output where it has one, else 256 colours.
  settings.set(row, { file, bitCount: 0, dither: "rle" });
  run(row);
}

function canvasOf(picture, caption) {
  const canvas = element("canvas");
  canvas.width = picture.width;
  canvas.height = picture.height;
  canvas.getContext("2d").putImageData(
    new ImageData(new Uint8ClampedArray(picture.rgba.buffer), picture.width, picture.height), 0, 0);
  canvas.setAttribute("role", "img");
  canvas.setAttribute("aria-label", caption);
  return canvas;
}

// One of the two pictures: the library's drawing fitted to the column, or, zoomed, the file
// itself as the browser shows it at 1:1 or 4×, in a box that scrolls with its neighbour.
function figure(picture, caption, url) {
  const made = element("figure");
  const fitted = picture ? canvasOf(picture, caption) : element("p", "missing", "Nothing to show.");
  made.append(fitted, element("figcaption", "", caption));
  made.zoom = (scale) => {
    made.querySelector(".zoomed")?.remove();
    fitted.hidden = scale !== "fit";
    if (scale === "fit") return;
    const box = element("div", "zoomed");
    const image = element("img");
    image.alt = caption;
    image.onload = () => {
      image.style.width = `${image.naturalWidth * scale}px`;
      image.style.height = `${image.naturalHeight * scale}px`;
    };
    image.onerror = () => box.replaceChildren(element("p", "missing", "Your browser cannot show this file."));
    image.src = url();
    box.append(image);
    made.prepend(box);
  };
  return made;
}

function pictures(row, result, outputUrl) {
  const settingsOf = settings.get(row);
  const original = figure(result.inputPicture, "Original", () => {
    settingsOf.url ??= URL.createObjectURL(settingsOf.file);
    return settingsOf.url;
  });
  const parts = [original];
  if (result.output) parts.push(figure(result.outputPicture, "Result", () => outputUrl));
  const grid = element("div", "pictures");
  grid.append(...parts);
  // The zoomed boxes scroll together.
  grid.addEventListener("scroll", (event) => {
    for (const box of grid.querySelectorAll(".zoomed")) {
      if (box === event.target) continue;
      box.scrollLeft = event.target.scrollLeft;
      box.scrollTop = event.target.scrollTop;
    }
  }, true);
  const view = choice(`view-${row.dataset.id}`, "View", VIEWS, "fit", (scale) => {
    for (const part of parts) part.zoom(scale);
  });
  view.classList.add("view");
  return [view, grid];
}

// A group of radio buttons, or a select for `select`; `change` gets the chosen value.
function choice(name, legend, options, chosen, change, select) {
  const group = element("div", "choice");
  const label = element(select ? "label" : "span", "legend", legend);
  group.append(label);
  if (select) {
    const list = element("select");
    list.name = name;
    for (const [value, text] of options) list.append(new Option(text, value, false, value === chosen));
    list.addEventListener("change", () => change(list.value));
    label.append(" ", list);
    return group;
  }
  group.setAttribute("role", "radiogroup");
  group.setAttribute("aria-label", legend);
  for (const [value, text] of options) {
    const option = element("label");
    const input = element("input");
    input.type = "radio";
    input.name = name;
    input.value = value;
    input.checked = value === chosen;
    input.addEventListener("change", () => change(value));
    option.append(input, " " + text);
    group.append(option);
  }
  return group;
}

function controls(row, result) {
  const chosen = settings.get(row);
  const made = element("div", "controls");
  const bitCount = result.route === "converted" ? result.bitCount : (chosen.bitCount || 8);
  made.append(
    choice(`colours-${row.dataset.id}`, "Colours", [["8", "256 (RLE8)"], ["4", "16 (RLE4)"]], String(bitCount), (value) => {
      chosen.bitCount = Number(value);
      run(row);
    }),
    choice(`dither-${row.dataset.id}`, "Dithering", DITHERS, chosen.dither, (value) => {
      chosen.dither = value;
      run(row);
    }, true));
  if (result.route === "converted") made.querySelector("select").disabled = true;
  return made;
}

function kindOf(result) {
  if (result.decoded) return result.kind || "Picture";
  const facts = [result.kind || "BMP"];
  if (result.bitCount) facts.push(`${result.bitCount} bits`, COMPRESSIONS[result.compression] || `compression ${result.compression}`);
  return facts.join(", ");
}

// What became of the file, in a sentence.
function routeOf(result) {
  const colours = result.output ? new DataView(result.output.buffer).getUint16(28, true) === 4 ? 16 : 256 : 0;
  const exact = result.coloursFound <= colours ? "every pixel keeps its colour" : "its colours were reduced";
  switch (result.route) {
    case "converted":
      return `Converted exactly as the bmp2rle command converts it.`;
    case "reduced":
      return (result.decoded ? `Decoded by your browser and reduced to ${colours} colours` : `Reduced to ${colours} colours`) +
        ` (${colours === 16 ? "RLE4" : "RLE8"}): ${exact}.`;
    default:
      return result.undecodable ? "Not converted: your browser cannot open it either." : "Not converted.";
  }
}

function show(row, result) {
  row.dataset.state = result.route;
  row.dataset.transparent = result.transparent ? "yes" : "no";
  if (result.width) row.dataset.size = `${result.width}x${Math.abs(result.height)}`;
  const facts = element("p", "facts");
  const fact = (text) => facts.append(element("span", "", text));
  if (result.width) {
    fact(kindOf(result));
    fact(`${result.width} × ${Math.abs(result.height)}` + (result.height < 0 ? " (top row first)" : ""));
  }
  if (result.inputSize !== undefined) fact(bytes(result.inputSize));
  if (result.coloursFound) {
    fact(`${result.coloursFound.toLocaleString("en")} colour${result.coloursFound === 1 ? "" : "s"}` +
         (result.transparent ? ", some transparent" : ""));
  }

  const parts = [row.firstChild, facts];
  // A report of bmp2rle's own reader matters for BMP files; for another kind of picture that the
  // browser decoded, "Is not Bitmap File." says nothing new.
  const report = result.report || result.failure;
  if (report && !(result.decoded && result.output && result.kind && result.kind !== "BMP")) {
    const box = element("div", result.output ? "report went-on" : "report");
    box.append(element("pre", "", report));
    const meaning = result.report ? explain(result.report) : "";
    if (meaning) {
      const line = element("p", "meaning");
      line.append(...withCode(meaning));
      box.append(line);
    }
    parts.push(box);
  }
  parts.push(element("p", "route", routeOf(result)));
  if (result.output) parts.push(controls(row, result));

  const chosen = settings.get(row);
  if (chosen.outputUrl) URL.revokeObjectURL(chosen.outputUrl);
  const outputUrl = chosen.outputUrl = result.output ? URL.createObjectURL(new Blob([result.output], { type: "image/bmp" })) : null;
  if (result.inputPicture || result.outputPicture) parts.push(...pictures(row, result, outputUrl));
  if (result.output) {
    const out = element("p", "facts");
    const ratio = (100 * result.output.length / result.inputSize).toFixed(1);
    out.append(element("span", "", `Output ${bytes(result.output.length)}, ${ratio} % of the input`));
    if (result.output.length > result.inputSize) {
      out.append(element("span", "larger", "larger than the input: run-length coding does not pay for this picture"));
    }
    const total = Object.values(result.timings).reduce((sum, time) => sum + time, 0);
    out.append(element("span", "", `${total.toFixed(0)} ms`));
    const link = element("a", "download", `Download ${result.outputName}`);
    link.href = outputUrl;
    link.download = result.outputName;
    const line = element("p");
    line.append(link);
    parts.push(out, line);
  }
  if (result.timings) row.dataset.timings = JSON.stringify(result.timings);
  row.replaceChildren(...parts);
}

// The file's bytes, read in a few parts at once, which the browser serves faster than one.
async function deliver(job) {
  const file = files.get(job);
  files.delete(job);
  try {
    const partSize = Math.max(1 << 20, Math.ceil(file.size / 4));
    const reads = [];
    for (let at = 0; at < file.size; at += partSize) reads.push(file.slice(at, at + partSize).arrayBuffer());
    const parts = await Promise.all(reads);
    worker.postMessage({ job, parts }, parts);
  } catch (error) {
    worker.postMessage({ job, failure: String(error) });
  }
}

worker.onmessage = (event) => {
  const message = event.data;
  if (message.started && files.has(message.job)) deliver(message.job);
  if (!message.started) --outstanding;
  if (message.skipped) files.delete(message.job);
  const row = rows.get(message.job);
  if (!row) return;
  if (message.started) {
    row.dataset.state = "running";
    const facts = row.querySelector(".facts");
    if (facts && facts.textContent === "Waiting…") facts.textContent = "Converting…";
  } else {
    rows.delete(message.job);
    show(row, message);
  }
  showBusy();
};

function addAll(list) {
  for (const file of list) add(file);
}

chooser.addEventListener("change", () => {
  addAll(chooser.files);
  chooser.value = "";
});
background.addEventListener("change", () => {
  for (const row of results.querySelectorAll('li.file[data-transparent="yes"]')) run(row);
});
for (const type of ["dragenter", "dragover"]) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    drop.classList.add("over");
  });
}
document.addEventListener("dragleave", (event) => {
  if (!event.relatedTarget) drop.classList.remove("over");
});
document.addEventListener("drop", (event) => {
  event.preventDefault();
  drop.classList.remove("over");
  addAll(event.dataTransfer.files);
});
