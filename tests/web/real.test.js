// The page on Chromium's own serial stack (its device service, its termios set-up, its read
// and write pipes, its udev events) against pseudo-terminals made USB adapters by the udev
// shim (real-serial.js): the simulated device for whole updates, and a far end of the test's
// own (pty-far-end.py) for the channel's rows. Needs PELKAR1 and PELKAR_WEB_SITE, as
// web.test.js does, and root; PELKAR_WEB_REAL_SCREENSHOT names where the picture of a running
// update goes.
import assert from 'node:assert/strict';
import {execFileSync, spawn} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import {after, before, describe, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {chromium} from 'playwright-core';

import {barShare, loadFile, message, startDevice, waitForBar} from './harness.js';
import {kChromium, kChromiumFlags, realStack, realStackMissing, removePolicy, writePolicy} from './real-serial.js';
import {startServer} from './serial-bridge.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const pelkar1 = process.env.PELKAR1;
const site = process.env.PELKAR_WEB_SITE;
const sampleHex = path.join(here, '..', '..', 'samples', 'demo-firmware.hex');
const kLost = 'The connection to the device was lost. Check the cable and try again.';
const missing = !pelkar1 || !site ? 'PELKAR1 or PELKAR_WEB_SITE not set' : realStackMissing();

let browser;
let server;
let stack;
let work;
let image;
const devices = new Set();
let adapters = 0;

// A simulated device behind a new adapter: {device, name, product}.
async function plugDevice(...args) {
  const device = await startDevice(pelkar1, ...args);
  devices.add(device);
  const product = 0x7000 + ++adapters;
  const name = `ttyUSB${adapters}`;
  stack.plug(name, {devname: device.pty, product});
  return {device, name, product};
}

async function stopDevices() {
  for (const device of devices) {
    device.process.kill('SIGKILL');
    await device.done;
  }
  devices.clear();
  stack.pullAll();
}

async function openPage() {
  const context = await browser.newContext({acceptDownloads: true});
  const page = await context.newPage();
  page.on('pageerror', (error) => console.error('page error:', error.message));
  page.on('console', (line) => line.type() === 'error' && console.error('page:', line.text()));
  await page.goto(`${server.url}/`);
  await page.waitForSelector('body[data-ready="true"]');
  return page;
}

// The menu item of the adapter with this product id (the machine may have serial ports of
// its own before it).
const caption = (product) => new RegExp(`^USB 0403:${product.toString(16)} #\\d+$`);
async function choose(page, product) {
  await page.click('#serial-port');
  await page.locator('#port-items li', {hasText: caption(product)}).click();
}
async function menuHas(page, product, present) {
  await page.locator('#port-items li', {hasText: caption(product)})
      .waitFor({state: present ? 'attached' : 'detached', timeout: 5000});
}

// The far end of a pty of the test's own, behind a new adapter.
async function plugFarEnd() {
  const child = spawn('python3', [path.join(here, 'pty-far-end.py')], {stdio: ['pipe', 'pipe', 'inherit']});
  const lines = readline.createInterface({input: child.stdout})[Symbol.asyncIterator]();
  const pty = (await lines.next()).value;
  const product = 0x7000 + ++adapters;
  stack.plug(`ttyUSB${adapters}`, {devname: pty, product});
  const ask = async (op, extra = {}) => {
    child.stdin.write(JSON.stringify({op, ...extra}) + '\n');
    return JSON.parse((await lines.next()).value);
  };
  return {
    product,
    send: (bytes) => ask('send', {hex: Buffer.from(bytes).toString('hex')}),
    drain: async (ms = 200) => Buffer.from((await ask('drain', {ms})).hex, 'hex'),
    line: async () => (await ask('line')).settings,
    hangup: () => ask('hangup'),
    end: () => {
      child.stdin.end();
      child.kill();
    },
  };
}

// The page's channel, driven directly (Module.page.serial), on the adapter with this product
// id, once the page has been told of it.
const channel = (page, product) => ({
  open: () => page.evaluate(async (wanted) => {
    const serial = Module.page.serial;
    for (let tries = 0; tries < 100; ++tries) {
      await serial.refresh();
      const entry = serial.known.find((known) => known.port.getInfo().usbProductId === wanted);
      if (entry) return serial.open(entry.number, 115200);
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
    throw new Error('the adapter never came');
  }, product),
  isOpen: () => page.evaluate(() => Module.page.serial.isOpen()),
  lost: () => page.evaluate(() => Module.page.serial.lost()),
  write: (bytes) => page.evaluate((list) => Module.page.serial.write(new Uint8Array(list)), [...bytes]),
  // What arrives within ms, once something has.
  read: (ms = 300) => page.evaluate(async (wait) => {
    const serial = Module.page.serial;
    await serial.waitReadable(wait);
    await new Promise((resolve) => setTimeout(resolve, 50));
    return [...serial.take(serial.available())];
  }, ms),
  // Once the channel tells the loss, or after a second and a half.
  whenLost: () => page.evaluate(() => new Promise((resolve) => {
    const look = () => (Module.page.serial.lost() ? resolve() : setTimeout(look, 5));
    look();
    setTimeout(resolve, 1500);
  })),
  close: () => page.evaluate(() => Module.page.serial.close()),
});

// The channel contract's rows, as every channel of the product runs them. differs(why, check)
// marks what Chromium does otherwise and the page cannot reach: told, not failed, and told
// again should it come right.
const kConformance = [
  {name: 'open sets 115200 8N1, raw, no flow control', async run({far, port, differs}) {
    assert.equal(await port.open(), true);
    const {xoff, ...line} = await far.line();
    assert.deepEqual(line, {baud: [115200, 115200], dataBits: 8, parity: false, stopBits: 1,
      rtsCts: false, xon: false, raw: true});
    differs('Chromium clears IXON but leaves IXOFF as it found it',
            () => assert.equal(xoff, false, 'IXOFF set'));
  }},
  // A pty's port has no queue out to empty: what it writes is at the far end at once.
  {name: 'open empties both queues before the first read', async run({far, port}) {
    await far.send(Buffer.from('stale in'));
    assert.equal(await port.open(), true);
    await far.send(Buffer.from('fresh'));
    assert.equal(Buffer.from(await port.read()).toString(), 'fresh');
  }},
  {name: 'a failed open leaves nothing open', async run({page, port}) {
    const product = 0x7000 + ++adapters;
    stack.plug(`ttyUSB${adapters}`, {devname: '/nonexistent/tty', product});
    assert.equal(await channel(page, product).open(), false);
    assert.equal(await port.isOpen(), false);
    assert.equal(await port.open(), true, 'another port opens after it');
  }},
  {name: 'writes arrive whole and in order', async run({far, port}) {
    assert.equal(await port.open(), true);
    const sizes = [1, 255, 256, 257, 4, 1000, 2, 4096];
    const sent = [];
    for (const [at, size] of sizes.entries()) {
      const bytes = Buffer.alloc(size, at + 1);
      bytes[0] = 0xF0 + at;
      sent.push(bytes);
      assert.equal(await port.write(bytes), true);
    }
    let got = Buffer.alloc(0);
    const whole = Buffer.concat(sent);
    for (let tries = 0; tries < 20 && got.length < whole.length; ++tries) got = Buffer.concat([got, await far.drain()]);
    assert.ok(got.equals(whole), `${got.length} of ${whole.length} bytes, in order: ${got.equals(whole.subarray(0, got.length))}`);
  }},
  {name: 'a far end that goes away is told as lost within a second', async run({far, port, note}) {
    assert.equal(await port.open(), true);
    await far.send(Buffer.from('here'));
    assert.equal(Buffer.from(await port.read()).toString(), 'here');
    assert.equal(await port.lost(), false);
    // Timed here, from before the hang-up to the page's answer: an upper bound.
    const told = port.whenLost();
    const started = performance.now();
    await far.hangup();
    await told;
    const ms = performance.now() - started;
    note(`told within ${ms.toFixed(1)} ms`);
    assert.ok(ms < 1000, `told after ${ms} ms`);
  }},
  {name: 'close restores what open changed', async run({far, port, differs}) {
    const before = await far.line();
    assert.equal(await port.open(), true);
    await port.close();
    const after = await far.line();
    differs('Chromium leaves the line as its open set it',
            () => assert.deepEqual(after, before));
  }},
];

describe('the page on Chromium\'s serial stack', {skip: missing || false}, () => {
  before(async () => {
    work = fs.mkdtempSync(path.join(os.tmpdir(), 'pelkar1-web-real-'));
    fs.copyFileSync(sampleHex, path.join(work, 'demo-firmware.hex'));
    execFileSync(pelkar1, ['encode', path.join(work, 'demo-firmware.hex')]);
    image = path.join(work, 'demo-firmware.bin');
    stack = realStack(work);
    server = await startServer({siteDir: site, devicePath: () => '/nonexistent'});
    writePolicy(server.url);
    browser = await chromium.launch({executablePath: kChromium, args: kChromiumFlags, env: stack.env});
  });
  after(async () => {
    if (browser) await browser.close();
    removePolicy();
    if (stack) await stopDevices();
    if (server) await server.close();
    fs.rmSync(work, {recursive: true, force: true});
  });

  test('an update ends in "Update OK" with the image on the device', async () => {
    const saved = path.join(work, 'saved.bin');
    const {device, product} = await plugDevice('--once', '--baud', '115200', '--save', saved);
    const page = await openPage();
    await choose(page, product);
    await loadFile(page, image);
    await page.click('#update');
    await page.locator('#update:text-is("Stop")').waitFor();
    await waitForBar(page, 0.45);
    if (process.env.PELKAR_WEB_REAL_SCREENSHOT) {
      await page.mouse.move(300, 140);
      await page.screenshot({path: process.env.PELKAR_WEB_REAL_SCREENSHOT, clip: {x: 0, y: 0, width: 420, height: 150}});
    }
    assert.deepEqual(await message(page), {text: 'Update OK', icon: 'information'});
    await page.locator('#update:text-is("Update")').waitFor();
    await device.done;
    assert.ok(fs.readFileSync(saved).equals(fs.readFileSync(image)), 'the device holds the file');
    await stopDevices();
  });

  test('a device that refuses the image: "Update unsuccessful"', async () => {
    const {product} = await plugDevice('--once', '--fail');
    const page = await openPage();
    await choose(page, product);
    await loadFile(page, image);
    await page.click('#update');
    const shown = await message(page);
    assert.match(shown.text, /^Update unsuccessful/);
    assert.equal(shown.icon, 'error');
    await stopDevices();
  });

  test('the adapter pulled mid-update: a lost connection, and the port leaves the menu', async () => {
    const {device, name, product} = await plugDevice('--once', '--baud', '115200');
    const page = await openPage();
    await choose(page, product);
    await loadFile(page, image);
    await page.click('#update');
    await waitForBar(page, 0.3);
    device.process.kill('SIGKILL');  // the tty goes with its adapter
    stack.pull(name);
    assert.deepEqual(await message(page), {text: kLost, icon: 'error'});
    await page.locator('#update:text-is("Update")').waitFor();
    await page.click('#serial-port');
    await menuHas(page, product, false);
    await stopDevices();
  });

  test('adapters plugged and pulled: the menu follows', async () => {
    const page = await openPage();
    const first = await plugDevice();
    await page.click('#serial-port');
    await menuHas(page, first.product, true);
    const second = await plugDevice();
    await menuHas(page, second.product, true);
    stack.pull(first.name);
    await menuHas(page, first.product, false);
    await menuHas(page, second.product, true);
    stack.plug(first.name, {devname: first.device.pty, product: first.product});
    await menuHas(page, first.product, true);
    await stopDevices();
  });

  // A request that crossed the Stop is still on the line when the port opens again.
  test('Stop, then Update on the same adapter, three times: each update starts afresh', async () => {
    const {product} = await plugDevice('--baud', '115200');
    const page = await openPage();
    await choose(page, product);
    await loadFile(page, image);
    for (let round = 0; round < 3; ++round) {
      await page.click('#update');
      await waitForBar(page, 0.15);
      await page.click('#update');
      await page.locator('#update:text-is("Update")').waitFor();
      const kept = await barShare(page);
      assert.ok(kept >= 0.15 && kept < 1, `bar at ${kept}`);
    }
    await page.click('#update');
    assert.deepEqual(await message(page), {text: 'Update OK', icon: 'information'});
    await stopDevices();
  });

  describe('the channel contract', () => {
    for (const row of kConformance) {
      test(row.name, async (t) => {
        const page = await openPage();
        const far = await plugFarEnd();
        const differs = (why, check) => {
          try {
            check();
            t.diagnostic(`no longer differs: ${why}`);
          } catch (error) {
            t.diagnostic(`differs: ${why} (${error.message.split('\n')[0]})`);
          }
        };
        try {
          await row.run({page, far, port: channel(page, far.product), differs,
            note: (text) => t.diagnostic(text)});
        } finally {
          await channel(page, far.product).close();
          far.end();
          await page.context().close();
          stack.pullAll();
        }
      });
    }
  });
});
