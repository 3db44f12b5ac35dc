// How close the page comes to the line's limit through Chromium's own serial stack: the
// simulated device paced as a 115200-baud line behind a shim adapter (real-serial.js), one
// Chromium page session, the page's update and a minimal Web Serial host of a few lines taking
// turns. Prints each run's ratio (time from the device's hello to its verdict, against every
// byte both ways at 11520 bytes/s) and the medians. A benchmark, not a test: it fails only
// when a run does not finish.
//
//   PELKAR1=... PELKAR_WEB_SITE=... node bench-speed.js [RUNS]
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

import {chromium} from 'playwright-core';

import {loadFile, message, startDevice} from './harness.js';
import {kChromium, kChromiumFlags, realStack, realStackMissing, removePolicy, writePolicy} from './real-serial.js';
import {startServer} from './serial-bridge.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const pelkar1 = process.env.PELKAR1;
const site = process.env.PELKAR_WEB_SITE;
const runs = Number(process.argv[2] || 5);
const kLineBytesPerSecond = 11520;  // 115200 baud, 8N1

// Counts the traffic at Web Serial's streams, the page's and the minimal host's alike: bytes
// each way, when the first and the last arrived, and how long after a request's arrival its
// answer reaches the stream's sink (the first microtask after the write, which for the page
// runs once the core's call has returned). window.pelkarCount() starts a new count.
function countStreams() {
  const fresh = () => ({sent: 0, received: 0, first: null, last: null, replies: [], calls: []});
  window.pelkarTraffic = fresh();
  window.pelkarCount = () => {
    window.pelkarTraffic = fresh();
  };
  const count = () => window.pelkarTraffic;
  const read = ReadableStreamDefaultReader.prototype.read;
  ReadableStreamDefaultReader.prototype.read = function() {
    return read.call(this).then((result) => {
      if (result.value && result.value.length) {
        count().first ??= performance.now();
        count().last = performance.now();
        count().received += result.value.length;
      }
      return result;
    });
  };
  const write = WritableStreamDefaultWriter.prototype.write;
  WritableStreamDefaultWriter.prototype.write = function(chunk) {
    count().sent += chunk.length;
    const arrived = count().last;
    queueMicrotask(() => count().replies.push(performance.now() - arrived));
    return write.call(this, chunk);
  };
  // And how long the core's call for an arrival takes.
  let module;
  Object.defineProperty(window, 'Module', {configurable: true, get: () => module, set: (value) => {
    module = value;
    let ccall;
    Object.defineProperty(module, 'ccall', {configurable: true, get: () => ccall && ((name, ...rest) => {
      const started = performance.now();
      const result = ccall(name, ...rest);
      if (name === 'pelkar_port_data_arrived') {
        Promise.resolve(result).then(() => count().calls.push(performance.now() - started));
      }
      return result;
    }), set: (value) => {
      ccall = value;
    }});
  }});
}

// The update as few lines of Web Serial can do it: every block answered the moment its
// request arrives.
async function minimalHost(image) {
  const ports = await navigator.serial.getPorts();
  const port = ports.find((candidate) => candidate.getInfo().usbProductId === 0x7777);
  if (!port) throw new Error(`no adapter 0403:7777 among ${JSON.stringify(ports.map((p) => p.getInfo()))}`);
  await port.open({baudRate: 115200});
  await port.readable.cancel();
  const reader = port.readable.getReader();
  const writer = port.writable.getWriter();
  let block = 0;
  for (let done = false; !done;) {
    const {value} = await reader.read();
    for (const byte of value) {
      if (byte === 10) writer.write(new Uint8Array([11]));
      else if (byte === 12) writer.write(image.subarray(256 * block, 256 * ++block));
      else if (byte === 13) writer.write(new Uint8Array(4));
      else if (byte === 14 || byte === 15) done = true;
    }
  }
  reader.releaseLock();
  writer.releaseLock();
  await port.close();
}

const ratio = ({sent, received, first, last}) =>
  (last - first) / 1000 / ((sent + received) / kLineBytesPerSecond);
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const missing = !pelkar1 || !site ? 'PELKAR1 or PELKAR_WEB_SITE not set' : realStackMissing();
if (missing) {
  console.log(`speed benchmark skipped: ${missing}`);
  process.exit(0);
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pelkar1-web-bench-'));
let browser;
let server;
let device;
try {
  fs.copyFileSync(path.join(here, '..', '..', 'samples', 'demo-firmware.hex'), path.join(work, 'demo.hex'));
  execFileSync(pelkar1, ['encode', path.join(work, 'demo.hex')]);
  const image = path.join(work, 'demo.bin');
  const stack = realStack(work);
  device = await startDevice(pelkar1, '--baud', '115200');
  stack.plug('ttyUSB0', {devname: device.pty, product: 0x7777});
  server = await startServer({siteDir: site, devicePath: () => '/nonexistent'});
  writePolicy(server.url);
  browser = await chromium.launch({executablePath: kChromium, args: kChromiumFlags, env: stack.env});
  const page = await browser.newPage();
  await page.addInitScript(countStreams);
  await page.goto(`${server.url}/`);
  await page.waitForSelector('body[data-ready="true"]');
  await page.click('#serial-port');
  await page.locator('#port-items li', {hasText: /^USB 0403:7777 #\d+$/}).click();
  await loadFile(page, image);
  const bytes = [...fs.readFileSync(image)];
  const ratios = {page: [], minimal: []};
  const replies = {page: [], minimal: []};
  const calls = [];
  for (let run = 1; run <= runs; ++run) {
    await page.evaluate(() => window.pelkarCount());
    await page.click('#update');
    const shown = await message(page, {timeout: 60000});
    if (shown.text !== 'Update OK') throw new Error(`the page's update ended in "${shown.text}"`);
    await page.locator('#update:text-is("Update")').waitFor();
    const counted = await page.evaluate(() => window.pelkarTraffic);
    ratios.page.push(ratio(counted));
    replies.page.push(...counted.replies);
    calls.push(...counted.calls);
    await page.evaluate(() => window.pelkarCount());
    await page.evaluate(`(${minimalHost})(new Uint8Array(${JSON.stringify(bytes)}))`);
    const traffic = await page.evaluate(() => window.pelkarTraffic);
    ratios.minimal.push(ratio(traffic));
    replies.minimal.push(...traffic.replies);
    console.log(`run ${run}: page ${ratios.page.at(-1).toFixed(3)}, minimal host ${ratios.minimal.at(-1).toFixed(3)}`);
  }
  console.log(`speed against the line limit, median of ${runs}: page ${median(ratios.page).toFixed(3)}, ` +
              `minimal Web Serial host ${median(ratios.minimal).toFixed(3)}`);
  // From a request's arrival in the script to its answer at the stream: what the page adds.
  const ms = (list) => `median ${median(list).toFixed(2)} ms, 90th ${[...list].sort((a, b) => a - b)[Math.floor(list.length * 0.9)].toFixed(2)} ms`;
  console.log(`answer at the stream: page ${ms(replies.page)}, minimal host ${ms(replies.minimal)}; ` +
              `the core's call for an arrival: ${ms(calls)}`);
} finally {
  if (browser) await browser.close();
  removePolicy();
  if (device) device.process.kill('SIGKILL');
  if (server) await server.close();
  fs.rmSync(work, {recursive: true, force: true});
}
