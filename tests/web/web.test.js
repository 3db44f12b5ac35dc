// The page in Debian's Chromium, headless, driven as a technician would, with the simulated
// device (pelkar1 simulate) at the far end of its port. Needs PELKAR1 (the host's pelkar1)
// and PELKAR_WEB_SITE (the web build's site folder); CHROMIUM overrides /usr/bin/chromium.
// PELKAR_WEB_SCREENSHOT names where the picture of a running update goes.
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {chromium} from 'playwright-core';

import {barShare, choosePort, loadFile, message, startDevice as startPelkar1, waitForBar} from './harness.js';
import {startServer} from './serial-bridge.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const pelkar1 = process.env.PELKAR1;
const site = process.env.PELKAR_WEB_SITE;
const standIn = fs.readFileSync(path.join(here, 'serial-standin.js'), 'utf8');
const sampleHex = path.join(here, '..', '..', 'samples', 'demo-firmware.hex');
const kLost = 'The connection to the device was lost. Check the cable and try again.';

let browser;
let server;
let device = null;  // the running simulated device: {process, pty, done}
let work;
let image;  // the sample build, encoded by pelkar1

const startDevice = (...args) => startPelkar1(pelkar1, '--once', ...args);

async function stopDevice() {
  if (!device) return;
  device.process.kill('SIGINT');
  await device.done;
  device = null;
}

// A fresh page with the stand-in's ports: granted ones, and ones the chooser would offer.
async function openPage({serial = {}, webSerial = true} = {}) {
  const context = await browser.newContext({acceptDownloads: true});
  const page = await context.newPage();
  page.on('pageerror', (error) => console.error('page error:', error.message));
  if (webSerial) {
    await page.addInitScript(`window.__serialStandIn = ${JSON.stringify(serial)};`);
    await page.addInitScript(standIn);
  } else {
    // Firefox and Safari have no Web Serial at all.
    await page.addInitScript(() => delete Navigator.prototype.serial);
  }
  const started = Date.now();
  await page.goto(`${server.url}/`);
  await page.waitForSelector('body[data-ready="true"]');
  page.loadMs = Date.now() - started;
  return page;
}

describe('the page in Chromium', {skip: !pelkar1 || !site ? 'PELKAR1 or PELKAR_WEB_SITE not set' : false}, () => {
  before(async () => {
    work = fs.mkdtempSync(path.join(os.tmpdir(), 'pelkar1-web-'));
    fs.copyFileSync(sampleHex, path.join(work, 'demo-firmware.hex'));
    execFileSync(pelkar1, ['encode', path.join(work, 'demo-firmware.hex')]);
    image = path.join(work, 'demo-firmware.bin');
    browser = await chromium.launch({executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true});
    server = await startServer({siteDir: site, devicePath: () => (device ? device.pty : '/nonexistent')});
  });
  after(async () => {
    await stopDevice();
    if (browser) await browser.close();
    if (server) await server.close();
    fs.rmSync(work, {recursive: true, force: true});
  });

  test('an update against the paced device ends in "Update OK" with the image on the device', async () => {
    const saved = path.join(work, 'saved.bin');
    device = await startDevice('--baud', '115200', '--save', saved);
    const page = await openPage({serial: {granted: [{usbVendorId: 0x0403, usbProductId: 0x6001}]}});
    console.log(`# usable ${page.loadMs} ms after loading began`);
    await choosePort(page, 'USB 0403:6001 #1');
    assert.equal(await page.getAttribute('#port-items li:first-child', 'aria-checked'), 'true');
    await loadFile(page, image);
    await page.locator('#update:not([disabled])').waitFor();

    const started = Date.now();
    await page.click('#update');
    await page.locator('#update:text-is("Stop")').waitFor();
    // Nothing may change under a running update.
    assert.ok(await page.isDisabled('#serial-port'));
    assert.ok(await page.isDisabled('#load-file'));
    await waitForBar(page, 0.45);
    if (process.env.PELKAR_WEB_SCREENSHOT) {
      await page.mouse.move(300, 140);  // no menu item lit by the pointer
      await page.screenshot({path: process.env.PELKAR_WEB_SCREENSHOT, clip: {x: 0, y: 0, width: 420, height: 150}});
    }
    const shown = await message(page);
    const seconds = (Date.now() - started) / 1000;
    assert.deepEqual(shown, {text: 'Update OK', icon: 'information'});
    await page.locator('#update:text-is("Update")').waitFor();
    assert.ok(await page.isEnabled('#serial-port'));
    await device.done;
    device = null;
    assert.ok(fs.readFileSync(saved).equals(fs.readFileSync(image)), 'the device holds the file');
    // The line limit: every byte both ways at 11520 bytes/s (115200 baud, 8N1), against the
    // time from the device's hello to its verdict as the page saw them.
    const traffic = await page.evaluate(async () => (await navigator.serial.getPorts())[0].traffic);
    const limit = (traffic.sent + traffic.received) / 11520;
    const exchange = (traffic.last - traffic.first) / 1000;
    console.log(`# update ${exchange.toFixed(2)} s from hello to verdict (${seconds.toFixed(2)} s from ` +
                `the click to the box), line limit ${limit.toFixed(2)} s (${traffic.sent} + ` +
                `${traffic.received} bytes): ratio ${(exchange / limit).toFixed(3)}`);
    // Loose enough for a busy machine; the ratio above is what to watch.
    assert.ok(exchange < limit * 1.5, `the update took ${exchange} s`);
  });

  test('a device that refuses the image: "Update unsuccessful"', async () => {
    device = await startDevice('--fail');
    const page = await openPage();
    await choosePort(page, 'Serial port #1');
    await loadFile(page, image);
    await page.click('#update');
    const shown = await message(page);
    assert.match(shown.text, /^Update unsuccessful/);
    assert.equal(shown.icon, 'error');
    await page.locator('#update:text-is("Update")').waitFor();
    await stopDevice();
  });

  test('Stop ends the update at once, shows nothing and keeps the bar', async () => {
    device = await startDevice('--baud', '115200');
    const page = await openPage();
    await choosePort(page, 'Serial port #1');
    await loadFile(page, image);
    await page.click('#update');
    await waitForBar(page, 0.2);
    await page.click('#update');
    await page.locator('#update:text-is("Update")').waitFor();
    const kept = await barShare(page);
    assert.ok(kept >= 0.2 && kept < 1, `bar at ${kept}`);
    await page.waitForTimeout(300);
    assert.equal(await page.locator('dialog#message[open]').count(), 0, 'a stop shows nothing');
    assert.equal(await barShare(page), kept);
    assert.ok(await page.isEnabled('#load-file'));
    assert.ok(await page.isEnabled('#serial-port'));
    await device.done;  // the device saw its host leave
    device = null;
  });

  test('the device gone mid-way is told as a lost connection', async () => {
    device = await startDevice('--hangup-after', '40');
    const page = await openPage();
    await choosePort(page, 'Serial port #1');
    await loadFile(page, image);
    await page.click('#update');
    assert.deepEqual(await message(page), {text: kLost, icon: 'error'});
    await page.locator('#update:text-is("Update")').waitFor();
    // The adapter is gone from the granted ports, so it is no longer offered.
    await page.click('#serial-port');
    await page.locator('#port-items li:text-is("Serial port #1")').waitFor({state: 'detached'});
    assert.ok(await page.isDisabled('#load-file'));
    await stopDevice();
  });

  // The line garbling or losing bytes keeps the port: the update goes on to its end. Any
  // other failed read loses it.
  for (const {errors, shown} of [
    {errors: ['FramingError', 'ParityError', 'BreakError', 'BufferOverrunError'],
      shown: {text: 'Update OK', icon: 'information'}},
    {errors: ['UnknownError'], shown: {text: kLost, icon: 'error'}},
  ]) {
    test(`read errors mid-update (${errors.join(', ')}): "${shown.text}"`, async () => {
      const saved = path.join(work, 'saved-errors.bin');
      fs.rmSync(saved, {force: true});
      device = await startDevice('--baud', '115200', '--save', saved);
      const page = await openPage();
      await choosePort(page, 'Serial port #1');
      await loadFile(page, image);
      await page.click('#update');
      for (const [at, error] of errors.entries()) {
        await waitForBar(page, 0.1 + 0.2 * at);
        await page.evaluate(async (name) => (await navigator.serial.getPorts())[0].lineError(name), error);
      }
      assert.deepEqual(await message(page), shown);
      if (shown.text === 'Update OK') {
        await device.done;
        device = null;
        assert.ok(fs.readFileSync(saved).equals(fs.readFileSync(image)), 'the device holds the file');
      }
      await stopDevice();
    });
  }

  test('a port that cannot be opened is told, and nothing starts', async () => {
    const page = await openPage();  // no device behind the port
    await choosePort(page, 'Serial port #1');
    await loadFile(page, image);
    await page.click('#update');
    assert.deepEqual(await message(page), {text: "Can't open port", icon: 'none'});
    assert.equal(await page.textContent('#update'), 'Update');
    assert.ok(await page.isEnabled('#update'));
  });

  test('a refused file is told and loads nothing; a dropped file loads as "Load File" would', async () => {
    const page = await openPage();
    await choosePort(page, 'Serial port #1');
    const short = path.join(work, 'short.bin');
    fs.writeFileSync(short, Buffer.alloc(300, 0x55));
    await loadFile(page, short);
    const shown = await message(page);
    assert.equal(shown.icon, 'error');
    assert.match(shown.text, /short\.bin/);
    assert.ok(await page.isDisabled('#update'));

    const bytes = [...fs.readFileSync(image)];
    const dropped = await page.evaluateHandle((content) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(content)], 'dropped.bin'));
      return transfer;
    }, bytes);
    await page.dispatchEvent('#form1', 'drop', {dataTransfer: dropped});
    await page.locator('#update:not([disabled])').waitFor();
  });

  test('the access code opens a HEX picker; the image is a download equal to pelkar1 encode, then "Kész"', async () => {
    const page = await openPage();
    const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.keyboard.type('Tavik')]);
    assert.equal(await chooser.element().getAttribute('accept'), '.hex');
    const downloaded = page.waitForEvent('download');
    await chooser.setFiles(sampleHex);
    const download = await downloaded;
    assert.equal(download.suggestedFilename(), 'demo-firmware.bin');
    // The download is offered before the box that says it is done.
    assert.deepEqual(await message(page), {text: 'K\u00e9sz', icon: 'none'});
    const got = path.join(work, 'downloaded.bin');
    await download.saveAs(got);
    assert.ok(fs.readFileSync(got).equals(fs.readFileSync(image)));
  });

  test('a port granted in the chooser joins the menu, named by its adapter', async () => {
    const page = await openPage({serial: {granted: [], offered: [{usbVendorId: 0x2341, usbProductId: 0x43}]}});
    await page.click('#serial-port');
    // No port granted yet: one empty item, as on a machine without ports, then the request.
    assert.deepEqual(await page.locator('#port-items li').allInnerTexts(), ['', 'Another port\u2026']);
    await page.click('#port-items li.ask');
    await page.click('#serial-port');
    await page.locator('#port-items li:text-is("USB 2341:0043 #1")').click();
    assert.ok(await page.isEnabled('#load-file'));
  });

  test('without Web Serial: one line says so, the port menu is locked, the encoder works', async () => {
    const page = await openPage({webSerial: false});
    assert.match(await page.textContent('#notice'), /no Web Serial/);
    assert.ok(await page.isVisible('#notice'));
    assert.ok(await page.isDisabled('#serial-port'));
    assert.ok(await page.isDisabled('#load-file'));
    const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.keyboard.type('Tavik')]);
    const downloaded = page.waitForEvent('download');
    await chooser.setFiles(sampleHex);
    assert.equal((await downloaded).suggestedFilename(), 'demo-firmware.bin');
    assert.equal((await message(page)).text, 'K\u00e9sz');
  });
});
