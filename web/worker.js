// The Web Worker's side of the page, appended to the module's script. The page posts
// {id, name, bytes}; the worker converts one file at a time, posts {id, started: true} when it
// begins one and the results when it is done. Nothing leaves the browser.

var moduleReady = new Promise(function (resolve) {
  if (runtimeInitialized) resolve();
  else Module.onRuntimeInitialized = resolve;
});
var jobs = Promise.resolve();

// The longer side of the pictures drawn for the page, in pixels.
var PICTURE_LIMIT = 480;

self.onmessage = function (event) {
  var job = event.data;
  jobs = jobs.then(function () { return moduleReady; }).then(function () { runJob(job); });
};

function runJob(job) {
  self.postMessage({ id: job.id, started: true });
  var result;
  try {
    result = convert(job.name, new Uint8Array(job.bytes));
  } catch (e) {
    result = { failure: String(e) };
  }
  result.id = job.id;
  var transfers = result.output ? [result.output.buffer] : [];
  [result.inputPicture, result.outputPicture].forEach(function (drawn) {
    if (drawn) transfers.push(drawn.rgba.buffer);
  });
  self.postMessage(result, transfers);
}

function text(at, length) {
  return new TextDecoder().decode(HEAPU8.subarray(at, at + length));
}

function picture(fields, first) {
  var at = fields[first], width = fields[first + 1], height = fields[first + 2];
  if (!at) return null;
  return { width: width, height: height, rgba: HEAPU8.slice(at, at + width * height * 4) };
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

function convert(name, bytes) {
  var input = _malloc(Math.max(1, bytes.length));
  if (!input) return { failure: "Not enough memory for a file of " + bytes.length + " bytes." };
  HEAPU8.set(bytes, input);
  var started = performance.now();
  var record = _vdib_web_convert(input, bytes.length);
  var milliseconds = performance.now() - started;
  _free(input);
  try {
    _vdib_web_draw(record, PICTURE_LIMIT);
    // The record's fields, as web/Convert.cpp lays them out (TConversion).
    var first = _vdib_web_fields(record) >> 2;
    var fields = HEAP32.slice(first, first + 14);
    return {
      name: name,
      outputName: outputName(name),
      inputSize: bytes.length,
      width: fields[0],
      height: fields[1],
      bitCount: fields[2],
      compression: fields[3],
      output: fields[4] ? HEAPU8.slice(fields[4], fields[4] + fields[5]) : null,
      report: fields[6] ? text(fields[6], fields[7]) : "",
      inputPicture: picture(fields, 8),
      outputPicture: picture(fields, 11),
      milliseconds: milliseconds
    };
  } finally {
    _vdib_web_release(record);
  }
}
