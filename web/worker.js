// The Web Worker's side of the page, appended to the module's script. The page posts jobs
// {job, row, file, bitCount, dither, background}; the worker runs one at a time, and posts
// {job, started: true} when it begins one and the results when it is done, or {job, skipped: true}
// for one that a newer job of the same list item replaced while it waited. The page's thread
// reads each file and posts its bytes, {job, parts} (ArrayBuffers, one after another) or
// {job, failure}, while this one readies the memory for it: before the job starts when the worker
// is idle, else when it starts. Nothing leaves the browser.

var moduleReady = new Promise(function (resolve) {
  if (runtimeInitialized) resolve();
  else Module.onRuntimeInitialized = resolve;
});
var jobs = Promise.resolve();
var deliveries = {};  // job -> the functions that settle the promise of its bytes
var delivered = {};  // job -> its bytes, come before the job started
var newest = {};  // list item -> its newest job; an older one still waiting is passed over

// The longer side of the pictures drawn for the page, in pixels.
var PICTURE_LIMIT = 480;
// The browser's pixels go into the module in bands of about this many, so that the script never
// holds a second copy of a whole large picture.
var BAND_PIXELS = 1 << 20;
// The file vdib_web_convert is reading (web/WorkerFile.cpp), in parts, for the length of that call.
var inputParts = null;

// TConversion's fields (web/Convert.cpp), in order, and the names of its routes.
var FIELDS = ["width", "height", "bitCount", "compression", "route", "coloursFound", "transparent",
              "output", "outputSize", "report", "reportSize",
              "inputPixels", "inputWidth", "inputHeight", "outputPixels", "outputWidth", "outputHeight"];
var ROUTES = ["refused", "converted", "reduced", "undecoded"];
var DITHERS = ["none", "rle", "full"];

self.onmessage = function (event) {
  var message = event.data;
  if (!message.file) {
    var delivery = deliveries[message.job];
    delete deliveries[message.job];
    if (!delivery) delivered[message.job] = message;
    else if (message.parts) delivery.resolve(message.parts);
    else delivery.reject(new Error(message.failure));
    return;
  }
  newest[message.row] = message.job;
  jobs = jobs.then(function () { return moduleReady; }).then(function () { return runJob(message); });
};

async function runJob(job) {
  if (newest[job.row] !== job.job) {
    delete delivered[job.job];
    self.postMessage({ job: job.job, skipped: true });
    return;
  }
  var result;
  var early = delivered[job.job];
  delete delivered[job.job];
  job.parts = early ? (early.parts ? Promise.resolve(early.parts) : Promise.reject(new Error(early.failure)))
                    : new Promise(function (resolve, reject) { deliveries[job.job] = { resolve: resolve, reject: reject }; });
  self.postMessage({ job: job.job, started: true });
  try {
    result = await convert(job);
  } catch (e) {
    result = { route: "refused", failure: String(e) };
  }
  result.job = job.job;
  var transfers = result.output ? [result.output.buffer] : [];
  [result.inputPicture, result.outputPicture].forEach(function (drawn) {
    if (drawn && transfers.indexOf(drawn.rgba.buffer) < 0) transfers.push(drawn.rgba.buffer);
  });
  self.postMessage(result, transfers);
}

function text(at, length) {
  return new TextDecoder().decode(HEAPU8.subarray(at, at + length));
}

function fieldsOf(record) {
  var first = _vdib_web_fields(record) >> 2, fields = {};
  FIELDS.forEach(function (name, i) { fields[name] = HEAP32[first + i]; });
  return fields;
}

function picture(at, width, height) {
  return at ? { width: width, height: height, rgba: HEAPU8.slice(at, at + width * height * 4) } : null;
}

function outputName(name) {
  var bytes = new TextEncoder().encode(name);
  var at = _malloc(bytes.length + 1);
  HEAPU8.set(bytes, at);
  HEAPU8[at + bytes.length] = 0;
  var result = _vdib_web_output_name(at);
  _free(at);
  return text(result, HEAPU8.indexOf(0, result) - result);
}

// What the file is, by its first bytes.
function kindOf(bytes) {
  function starts(signature, at) {
    for (var i = 0; i < signature.length; ++i) if (bytes[(at || 0) + i] !== signature.charCodeAt(i)) return false;
    return true;
  }
  if (starts("BM")) return "BMP";
  if (starts("\x89PNG")) return "PNG";
  if (starts("\xFF\xD8\xFF")) return "JPEG";
  if (starts("GIF8")) return "GIF";
  if (starts("RIFF") && starts("WEBP", 8)) return "WebP";
  if (starts("ftypavi", 4)) return "AVIF";
  return "";
}

// The picture as the browser decodes it (a GIF's first frame), drawn on a canvas of its size;
// null when the browser cannot. The values are the file's own, with no colour management, as a
// BMP holds them.
async function decodeInBrowser(file) {
  var bitmap;
  try {
    bitmap = await createImageBitmap(file, { premultiplyAlpha: "none", colorSpaceConversion: "none" });
  } catch (e) {
    return null;
  }
  try {
    var canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    var context = canvas.getContext("2d", { willReadFrequently: true });
    context.drawImage(bitmap, 0, 0);
    return context;
  } finally {
    bitmap.close();
  }
}

// Copies the canvas's RGBA pixels into the module's picture at `at`, rows from the top.
function copyPixels(context, at) {
  var width = context.canvas.width, height = context.canvas.height;
  var rows = Math.max(1, Math.floor(BAND_PIXELS / width));
  for (var y = 0; y < height; y += rows) {
    HEAPU8.set(context.getImageData(0, y, width, Math.min(rows, height - y)).data, at + y * width * 4);
  }
}

async function convert(job) {
  var timings = {}, lap = performance.now();
  function mark(phase) {
    var now = performance.now();
    timings[phase] = (timings[phase] || 0) + now - lap;
    lap = now;
  }
  // The library's streams count in 32 bits, and the module's memory ends at 2 GiB anyway.
  if (job.file.size > 0x7FFFFFFF) throw new Error("This page takes files of less than 2 GiB.");
  _vdib_web_prepare(job.file.size);
  mark("prepare");
  var parts = (await job.parts).map(function (part) { return new Uint8Array(part); });
  mark("read");
  var kind = kindOf(parts[0] || new Uint8Array(0)), record;
  inputParts = parts;
  try {
    record = _vdib_web_convert(job.file.size, job.bitCount, DITHERS.indexOf(job.dither));
  } finally {
    inputParts = parts = null;
  }
  mark("convert");
  try {
    var fields = fieldsOf(record), decoded = false;
    if (ROUTES[fields.route] === "undecoded") {
      var context = await decodeInBrowser(job.file);
      mark("decode");
      if (context) {
        decoded = true;
        var at = _vdib_web_decoded_picture(record, context.canvas.width, context.canvas.height);
        if (at) {
          copyPixels(context, at);
          mark("decode");
          _vdib_web_reduce_decoded(record, job.background, job.bitCount, DITHERS.indexOf(job.dither));
          mark("convert");
        }
      }
    }
    _vdib_web_draw(record, PICTURE_LIMIT);
    fields = fieldsOf(record);
    var route = ROUTES[fields.route];
    var result = {
      name: job.file.name,
      outputName: outputName(job.file.name),
      kind: kind,
      inputSize: job.file.size,
      route: route === "undecoded" ? "refused" : route,
      decoded: decoded,  // by the browser
      undecodable: route === "undecoded",  // by the reader and the browser
      width: fields.width,
      height: fields.height,
      bitCount: fields.bitCount,
      compression: fields.compression,
      coloursFound: fields.coloursFound,
      transparent: fields.transparent !== 0,
      output: fields.output ? HEAPU8.slice(fields.output, fields.output + fields.outputSize) : null,
      report: fields.report ? text(fields.report, fields.reportSize) : "",
      inputPicture: picture(fields.inputPixels, fields.inputWidth, fields.inputHeight),
      outputPicture: null,
      timings: timings
    };
    // A conversion's output holds the input's very pixels, drawn once for both.
    result.outputPicture = fields.outputPixels === fields.inputPixels ? result.inputPicture
                           : picture(fields.outputPixels, fields.outputWidth, fields.outputHeight);
    mark("draw");
    return result;
  } finally {
    _vdib_web_release(record);
  }
}
