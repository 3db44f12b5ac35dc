// What the page's suites share: the simulated device, and the page driven as a technician
// would.
import {spawn} from 'node:child_process';

// pelkar1 simulate, once ready: {process, pty, done, log}.
export function startDevice(pelkar1, ...args) {
  return new Promise((resolve, reject) => {
    const child = spawn(pelkar1, ['simulate', ...args], {stdio: ['ignore', 'pipe', 'pipe']});
    let out = '';
    let log = '';
    const done = new Promise((ended) => child.on('exit', ended));
    child.stderr.on('data', (data) => log += data);
    child.stdout.on('data', (data) => {
      out += data;
      const ready = out.match(/Simulated device ready on COM\d+ \((\/dev\/pts\/\d+)\)/);
      if (ready) resolve({process: child, pty: ready[1], done, log: () => log});
    });
    child.on('exit', () => reject(new Error(`the simulated device did not start: ${log}`)));
  });
}

export async function choosePort(page, caption) {
  await page.click('#serial-port');
  await page.click(`#port-items li:text-is("${caption}")`);
}

export async function loadFile(page, file) {
  const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.click('#load-file')]);
  await chooser.setFiles(file);
}

// The message box's text once it is up; dismisses it.
export async function message(page, {timeout = 30000} = {}) {
  const box = page.locator('dialog#message[open]');
  await box.waitFor({timeout});
  const shown = {text: await box.locator('#message-text').innerText(), icon: await box.getAttribute('data-icon')};
  await box.locator('button.ok').click();
  await page.locator('dialog#message[open]').waitFor({state: 'detached'});
  return shown;
}

export const barShare = (page) => page.evaluate(() => {
  const picture = document.getElementById('picture1');
  return picture.firstElementChild.getBoundingClientRect().width / picture.clientWidth;
});

export async function waitForBar(page, share) {
  await page.waitForFunction((wanted) => {
    const picture = document.getElementById('picture1');
    return picture.firstElementChild.getBoundingClientRect().width / picture.clientWidth >= wanted;
  }, share, {polling: 20, timeout: 30000});
}

