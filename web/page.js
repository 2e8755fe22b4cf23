// The page: hands each chosen or dropped file to the worker (bmp2rle.js) and shows what comes
// back, one list item a file.
"use strict";

const worker = new Worker("bmp2rle.js");
const rows = new Map();  // job id -> its list item
let nextId = 1;

const status = document.getElementById("status");
const results = document.getElementById("results");
const drop = document.getElementById("drop");
const chooser = document.getElementById("files");

const COMPRESSIONS = ["no compression", "RLE8", "RLE4", "bit fields"];

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
  const running = [...rows.values()].find((row) => row.dataset.state === "running");
  const waiting = [...rows.values()].filter((row) => row.dataset.state === "waiting").length;
  status.className = running ? "busy" : "";
  status.textContent = running
    ? `Converting ${running.dataset.name}…` + (waiting ? ` (${waiting} more waiting)` : "")
    : "";
}

async function add(file) {
  const id = nextId++;
  const row = element("li", "file");
  row.dataset.id = id;
  row.dataset.state = "waiting";
  row.dataset.name = file.name;
  row.append(element("h2", "", file.name), element("p", "facts", "Waiting…"));
  results.append(row);
  rows.set(id, row);
  showBusy();
  const contents = await file.arrayBuffer();
  worker.postMessage({ id, name: file.name, bytes: contents }, [contents]);
}

function drawn(picture, caption) {
  const figure = element("figure");
  if (picture) {
    const canvas = element("canvas");
    canvas.width = picture.width;
    canvas.height = picture.height;
    canvas.getContext("2d").putImageData(
      new ImageData(new Uint8ClampedArray(picture.rgba.buffer), picture.width, picture.height), 0, 0);
    canvas.setAttribute("role", "img");
    canvas.setAttribute("aria-label", caption);
    figure.append(canvas);
  }
  figure.append(element("figcaption", "", caption));
  return figure;
}

function show(row, result) {
  row.dataset.state = result.output ? "converted" : "refused";
  const facts = element("p", "facts");
  const fact = (text) => facts.append(element("span", "", text));
  if (result.width) {
    fact(`${result.width} × ${Math.abs(result.height)}` + (result.height < 0 ? " (top row first)" : ""));
    fact(`${result.bitCount} bits`);
    fact(COMPRESSIONS[result.compression] || `compression ${result.compression}`);
  }
  if (result.output) {
    const ratio = (100 * result.output.length / result.inputSize).toFixed(1);
    fact(`${bytes(result.inputSize)} → ${bytes(result.output.length)} (${ratio} %)`);
  } else if (result.inputSize !== undefined) {
    fact(bytes(result.inputSize));
  }
  if (result.milliseconds !== undefined) fact(`${result.milliseconds.toFixed(1)} ms`);

  const parts = [row.firstChild, facts];
  if (result.report || result.failure) parts.push(element("pre", "report", result.report || result.failure));
  if (result.inputPicture || result.outputPicture) {
    const pictures = element("div", "pictures");
    pictures.append(drawn(result.inputPicture, "Input"));
    if (result.output) pictures.append(drawn(result.outputPicture, "Output, read back"));
    parts.push(pictures);
  }
  if (result.output) {
    const link = element("a", "download", `Download ${result.outputName}`);
    link.href = URL.createObjectURL(new Blob([result.output], { type: "image/bmp" }));
    link.download = result.outputName;
    const line = element("p");
    line.append(link);
    parts.push(line);
  }
  row.replaceChildren(...parts);
}

worker.onmessage = (event) => {
  const message = event.data;
  const row = rows.get(message.id);
  if (message.started) {
    row.dataset.state = "running";
    row.querySelector(".facts").textContent = "Converting…";
  } else {
    show(row, message);
  }
  showBusy();
};

function addAll(files) {
  for (const file of files) add(file);
}

chooser.addEventListener("change", () => {
  addAll(chooser.files);
  chooser.value = "";
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
