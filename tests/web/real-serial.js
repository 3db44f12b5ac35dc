// Chromium's own Web Serial, on a machine without serial adapters: the udev shim
// (udev-shim.c) makes the test's pseudo-terminals USB adapters that Chromium lists, opens and
// sees come and go, and the machine policy SerialAllowAllPortsForUrls grants them to the page
// without a chooser. Needs root (the policy lives under /etc) and a C compiler.
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const kPolicyDir = '/etc/chromium/policies/managed';
const kPolicyFile = path.join(kPolicyDir, 'pelkar1-web-tests.json');
export const kChromium = process.env.CHROMIUM || '/usr/bin/chromium';
// As on every machine here: without them Chromium keeps reaching for the closed network.
export const kChromiumFlags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
  '--no-first-run', '--disable-background-networking', '--disable-component-update',
  '--disable-sync'];

// Why the real stack cannot be used here, or null.
export function realStackMissing() {
  if (os.platform() !== 'linux') return 'not Linux';
  if (process.getuid() !== 0) return 'not root (the serial policy is written under /etc)';
  try {
    execFileSync('cc', ['--version'], {stdio: 'ignore'});
  } catch {
    return 'no C compiler for the udev shim';
  }
  return realUdev() ? null : 'Chromium does not load libudev.so.1';
}

// The system's libudev, as Chromium's loader finds it.
function realUdev() {
  const binary = fs.existsSync('/usr/lib/chromium/chromium') ? '/usr/lib/chromium/chromium' : kChromium;
  try {
    const found = execFileSync('ldd', [binary], {encoding: 'utf8'}).match(/libudev\.so\.1 => (\S+)/);
    return found ? fs.realpathSync(found[1]) : null;
  } catch {
    return null;
  }
}

// Builds the shim into dir/lib and makes dir/ports its adapters' folder. Returns what to
// launch Chromium with, and plug/pull for the adapters.
export function realStack(dir) {
  const lib = path.join(dir, 'lib');
  const ports = path.join(dir, 'ports');
  fs.mkdirSync(lib, {recursive: true});
  fs.mkdirSync(ports, {recursive: true});
  // The real library by its full path as the shim's dependency, so that whatever the shim does
  // not define is found there (a stub that carries only that name links it so).
  const real = realUdev();
  const stub = path.join(lib, 'stub.so');
  const version = path.join(lib, 'libudev.map');
  fs.writeFileSync(version, 'LIBUDEV_183 { global: udev_*; local: *; };\n');
  execFileSync('cc', ['-shared', '-o', stub, `-Wl,-soname,${real}`, '-x', 'c', '/dev/null']);
  execFileSync('cc', ['-shared', '-fPIC', '-fvisibility=hidden', '-O2', '-Wall', '-Wextra',
    '-Werror', '-o', path.join(lib, 'libudev.so.1'), path.join(here, 'udev-shim.c'),
    `-Wl,--version-script=${version}`, '-Wl,-soname,libudev.so.1', '-Wl,--no-as-needed', stub,
    '-ldl']);
  return {
    env: {...process.env, LD_LIBRARY_PATH: [lib, process.env.LD_LIBRARY_PATH].filter(Boolean).join(':'),
      PELKAR_UDEV_PORTS: ports},
    // An adapter plugged in: moved into the folder whole, so the shim reads it complete.
    plug(name, {devname, vendor = 0x0403, product = 0x6001, serial = 'PK' + name}) {
      const hex = (n) => n.toString(16).padStart(4, '0');
      const temporary = path.join(ports, `.${name}`);
      fs.writeFileSync(temporary, `DEVNAME=${devname}\nID_VENDOR_ID=${hex(vendor)}\n` +
                       `ID_MODEL_ID=${hex(product)}\nID_SERIAL_SHORT=${serial}\n`);
      fs.renameSync(temporary, path.join(ports, name));
    },
    pull(name) {
      fs.rmSync(path.join(ports, name), {force: true});
    },
    pullAll() {
      for (const name of fs.readdirSync(ports)) fs.rmSync(path.join(ports, name), {force: true});
    },
  };
}

// The page's origin may open every port without a chooser, until removePolicy().
let madeDirs = [];
export function writePolicy(origin) {
  madeDirs = [];
  for (let dir = kPolicyDir; !fs.existsSync(dir); dir = path.dirname(dir)) madeDirs.push(dir);
  fs.mkdirSync(kPolicyDir, {recursive: true});
  fs.writeFileSync(kPolicyFile, JSON.stringify({
    SerialAllowAllPortsForUrls: [origin],
  }));
  process.once('exit', removePolicy);  // should the run end before it removes it
}
export function removePolicy() {
  fs.rmSync(kPolicyFile, {force: true});
  // The folders too, when the test made them.
  for (const dir of madeDirs.splice(0)) fs.rmSync(dir, {recursive: true, force: true});
}
