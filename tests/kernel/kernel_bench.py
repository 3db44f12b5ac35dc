#!/usr/bin/env python3
"""The kernel bench: pelkar1 against the real ftdi_sio and 8250 drivers of Debian's own kernel.

QEMU (software emulation, no KVM, no network) boots the kernel that linux-image-amd64 depends
on, with an initramfs made here from busybox-static, udev, the kernel's USB modules and the
freshly built pelkar1 with the libraries it loads. The guest has an emulated FT232 on xHCI per
simulated device (ftdi0..ftdi3, bound by ftdi_sio) and a second 16550 (ttyS1, 8250). The far end
of every line is `pelkar1 simulate --wait-reset` on a pseudo-terminal of this machine; the guest
asks for resets, unplugs and plugs on its console (tests/kernel/guest-init.sh) and prints what it
saw, which is judged here.

Usage: kernel_bench.py --pelkar1 PATH --work DIR
  PELKAR_BENCH_CASES    cases to run, comma-separated (default: all)
  PELKAR_BENCH_PENDING  cases run and reported, but whose failure does not fail the bench
                        (default: none)
Exit status: 0 every counted case passed, 1 one failed, 77 skipped (QEMU cannot run here).
"""
import argparse
import json
import os
import random
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time
from pathlib import Path

SKIP = 77
CASES = ["ports", "ftdi", "uart", "pty", "held", "no-access", "four", "unplug", "replug",
         "block-times", "acm-ports", "acm", "acm-unplug", "acm-replug", "acm-stale"]
HOST_ONLY = {"block-times"}  # judged from what another case printed
DEFAULT_PENDING = ""
BLOCKS = 64
ADAPTERS = ["ftdi0", "ftdi1", "ftdi2", "ftdi3"]
SERIALS = {name: "PK%06d" % (i + 1) for i, name in enumerate(ADAPTERS)}
# The kernel's options for the modules the guest needs, by module name. The CDC-ACM cases add
# a USB device made by the guest's own kernel: dummy_hcd is both a host controller and a device
# controller wired to it, the ACM function (usb_f_acm) is the device, cdc-acm the host's driver.
MODULES = {"usb-common": "USB_COMMON", "usbcore": "USB", "xhci-hcd": "USB_XHCI_HCD",
           "xhci-pci": "USB_XHCI_PCI", "usbserial": "USB_SERIAL", "ftdi_sio": "USB_SERIAL_FTDI_SIO",
           "cdc-acm": "USB_ACM", "dummy_hcd": "USB_DUMMY_HCD", "usb_f_acm": "USB_F_ACM"}
# Loaded by the cases themselves, with the gadget's identity as its parameters.
GADGET = ("g_serial", "USB_G_SERIAL")
ACM = {"vendor_id": "1209", "product_id": "0001", "serial": "PKACM001",
       "manufacturer": "Pelkar", "product": "Pelkar1_Gadget"}
BOOT_AND_RUN_LIMIT = 170  # seconds; the whole bench must stay under 3 minutes


def say(text):
    print(text, flush=True)


def skip(why):
    say("SKIPPED: " + why)
    sys.exit(SKIP)


def run(cmd, **kw):
    return subprocess.run(cmd, check=False, capture_output=True, text=True, **kw)


# ---- fetching Debian's kernel and udev, once per build tree --------------------------------

def apt_update():
    sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
    say("kernel bench: apt-get update (the package lists are missing or stale)")
    run(sudo + ["apt-get", "update", "-qq"])


def apt_retry(cmd, cwd=None):
    r = run(cmd, cwd=cwd)
    if r.returncode != 0 or not r.stdout.strip():
        apt_update()
        r = run(cmd, cwd=cwd)
    return r


def fetch(cache):
    ready = cache / "ready.json"
    if ready.exists():
        return json.loads(ready.read_text())
    if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
        skip("apt-get and dpkg-deb are needed to fetch Debian's kernel")
    r = apt_retry(["apt-cache", "depends", "linux-image-amd64"])
    kernel_pkg = next((line.split(":", 1)[1].strip() for line in r.stdout.splitlines()
                       if line.strip().startswith("Depends:")
                       and "linux-image-" in line), None)
    if not kernel_pkg:
        skip("apt-cache does not know linux-image-amd64 (no package lists)")
    debs = cache / "debs"
    shutil.rmtree(cache, ignore_errors=True)
    debs.mkdir(parents=True)
    for pkg in [kernel_pkg, "udev"]:
        r = apt_retry(["apt-get", "download", pkg], cwd=debs)
        if r.returncode != 0:
            skip("cannot download %s: %s" % (pkg, r.stderr.strip().splitlines()[-1:]))
    root = cache / "root"
    for deb in sorted(debs.glob("*.deb")):
        r = run(["dpkg-deb", "-x", str(deb), str(root)])
        if r.returncode != 0:
            raise SystemExit("dpkg-deb -x %s failed: %s" % (deb, r.stderr))
    kver = kernel_pkg[len("linux-image-"):]
    r = run([busybox(), "depmod", "-b", str(root), kver])
    if r.returncode != 0:
        raise SystemExit("depmod failed: " + r.stderr)
    for deb in debs.glob("*.deb"):
        deb.unlink()  # the unpacked tree is what is kept
    info = {"kernel_package": kernel_pkg, "kernel": kver}
    ready.write_text(json.dumps(info))
    return info


def busybox():
    for path in ["/bin/busybox", "/usr/bin/busybox"]:
        if os.path.exists(path) and "not a dynamic" in run(["ldd", path]).stdout + \
                run(["ldd", path]).stderr:
            return path
    skip("a static busybox is needed (the busybox-static package)")


# ---- the initramfs ---------------------------------------------------------------------------

def module_order(root, kver):
    """The .ko files to load, dependencies first, and the modules built into the kernel."""
    base = root / "lib/modules" / kver
    config = (root / "boot" / ("config-" + kver)).read_text()
    deps = {}
    for line in (base / "modules.dep").read_text().splitlines():
        mod, _, rest = line.partition(":")
        deps[mod] = rest.split()
    by_name = {Path(m).name[:-3].replace("-", "_"): m for m in deps}
    order, builtin = [], []

    def load(mod):
        for d in reversed(deps[mod]):
            load(d)
        if mod not in order:
            order.append(mod)

    def wanted(name, option):
        value = re.search(r"^CONFIG_%s=(.)" % option, config, re.M)
        if value is None:
            raise SystemExit("the kernel has no %s (CONFIG_%s)" % (name, option))
        return value.group(1) == "m"

    for name, option in MODULES.items():
        if wanted(name, option):
            load(by_name[name.replace("-", "_")])
        else:
            builtin.append(name)
    gadget = None
    if wanted(*GADGET):
        gadget = by_name[GADGET[0]]
        for d in reversed(deps[gadget]):
            load(d)
    return order, builtin, gadget


class Cpio:
    """An initramfs in the kernel's newc cpio format, made without root."""

    def __init__(self):
        self.parts = []
        self.ino = 1

    def entry(self, name, mode, data=b"", rdev=(0, 0)):
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
        self.ino += 1
        head = b"070701" + b"".join(b"%08X" % f for f in fields) + name.encode() + b"\0"
        self.parts += [head, b"\0" * (-len(head) % 4), data, b"\0" * (-len(data) % 4)]

    def tree(self, top):
        for dirpath, dirnames, filenames in os.walk(top):
            for name in sorted(dirnames) + sorted(filenames):
                path = Path(dirpath) / name
                rel = str(path.relative_to(top))
                st = os.lstat(path)
                if stat.S_ISLNK(st.st_mode):
                    self.entry(rel, 0o120777, os.readlink(path).encode())
                elif stat.S_ISDIR(st.st_mode):
                    self.entry(rel, 0o040755)
                else:
                    self.entry(rel, 0o100000 | (st.st_mode & 0o7777), path.read_bytes())

    def write(self, path):
        self.entry("TRAILER!!!", 0)
        path.write_bytes(b"".join(self.parts))


def copy_with_libraries(binary, tree, dest, env=None):
    """Copies binary to tree/dest with every library ldd names, at the paths ldd gives."""
    target = tree / dest.lstrip("/")
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(binary, target)
    r = run(["ldd", str(binary)], env=env)
    for line in r.stdout.splitlines():
        if "not found" in line:
            raise SystemExit("%s needs a library this machine lacks: %s" % (binary, line.strip()))
        m = re.search(r"(/\S+) \(0x", line)
        if m:
            lib = tree / m.group(1).lstrip("/")
            if not lib.exists():
                lib.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(os.path.realpath(m.group(1)), lib)


def make_initramfs(work, root, kver, pelkar1, image, cases):
    tree = work / "initramfs"
    shutil.rmtree(tree, ignore_errors=True)
    for d in ["bin", "sbin", "usr/bin", "dev", "proc", "sys", "tmp", "run", "etc/bench",
              "lib/systemd", "lib/modules"]:
        (tree / d).mkdir(parents=True, exist_ok=True)
    shutil.copy2(busybox(), tree / "bin/busybox")
    os.symlink("busybox", tree / "bin/sh")  # for /init's first line; the rest comes at boot
    shutil.copy2(Path(__file__).with_name("guest-init.sh"), tree / "init")
    os.chmod(tree / "init", 0o755)
    order, builtin, gadget = module_order(root, kver)
    for mod in order + ([gadget] if gadget else []):
        dst = tree / "lib/modules" / kver / mod
        dst.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(root / "lib/modules" / kver / mod, dst)
    (tree / "etc/bench/modules").write_text("".join("%s/%s\n" % (kver, m) for m in order))
    (tree / "etc/bench/gadget").write_text(
        "/lib/modules/%s/%s idVendor=0x%s idProduct=0x%s iSerialNumber=%s iManufacturer=%s "
        "iProduct=%s\n" % (kver, gadget or "built-in", ACM["vendor_id"], ACM["product_id"],
                           ACM["serial"], ACM["manufacturer"], ACM["product"]))
    # udev: the daemon is udevadm under another name; rules, helpers and the hwdb as packaged.
    copy_with_libraries(root / "bin/udevadm", tree, "/bin/udevadm")
    os.symlink("/bin/udevadm", tree / "lib/systemd/systemd-udevd")
    shutil.copytree(root / "lib/udev", tree / "lib/udev", symlinks=True)
    shutil.copytree(root / "etc/udev", tree / "etc/udev", symlinks=True)
    r = run([str(root / "bin/systemd-hwdb"), "update", "--root", str(tree)])
    if r.returncode != 0:
        say("kernel bench: systemd-hwdb update failed: " + r.stderr.strip())
    shutil.rmtree(tree / "lib/udev/hwdb.d", ignore_errors=True)
    copy_with_libraries(pelkar1, tree, "/usr/bin/pelkar1")
    (tree / "etc/passwd").write_text("root:x:0:0:root:/root:/bin/sh\n"
                                     "tech:x:1000:1000:technician:/tmp:/bin/sh\n")
    (tree / "etc/group").write_text("root:x:0:\ntty:x:5:\ndialout:x:20:\ntech:x:1000:\n")
    shutil.copy2(image, tree / "etc/bench/image.bin")
    (tree / "etc/bench/blocks").write_text("%d\n" % BLOCKS)
    cpio = Cpio()
    cpio.entry("dev", 0o040755)
    cpio.entry("dev/console", 0o020600, rdev=(5, 1))  # init's first output goes there
    cpio.tree(tree)
    out = work / "initramfs.cpio"
    cpio.write(out)
    return out, order, builtin


# ---- the far ends and QEMU -------------------------------------------------------------------

class Sim:
    def __init__(self, pelkar1, name, work, com):
        self.name = name
        self.saved = work / ("saved-%s.bin" % name)
        self.log = open(work / ("sim-%s.log" % name), "w")
        args = [str(pelkar1), "simulate", "--wait-reset", "--blocks", str(BLOCKS), "--baud",
                "115200", "--save", str(self.saved)]
        # High numbers keep out of the way of simulated devices others start meanwhile.
        for attempt in [["--com", str(com)], []]:
            self.proc = subprocess.Popen(args + attempt, stdout=subprocess.PIPE, stderr=self.log,
                                         text=True)
            line = self.proc.stdout.readline()
            m = re.search(r"ready on COM\d+ \((/dev/pts/\d+)\)", line)
            if m:
                self.pty = m.group(1)
                return
            self.proc.wait()
        raise SystemExit("the simulated device %s did not start" % name)

    def reset(self):
        try:
            self.saved.unlink()
        except FileNotFoundError:
            pass
        os.kill(self.proc.pid, signal.SIGUSR1)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Qmp:
    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(str(path))
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise SystemExit("QEMU's monitor did not come up")
                time.sleep(0.05)
        self.file = self.sock.makefile("rw")
        self.events = []
        self.file.readline()  # the greeting
        self.command("qmp_capabilities")

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = json.loads(self.file.readline())
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise RuntimeError("%s: %s" % (name, reply["error"].get("desc")))
            return reply

    def wait_event(self, event, device, timeout=10):
        end = time.monotonic() + timeout
        self.sock.settimeout(timeout)
        while time.monotonic() < end:
            for e in self.events:
                if e["event"] == event and e.get("data", {}).get("device") == device:
                    self.events.remove(e)
                    return True
            self.events.append(json.loads(self.file.readline()))
        return False


def usb_serial(name):
    return {"driver": "usb-serial", "id": name, "bus": "xhci.0", "serial": SERIALS[name],
            "chardev": name + "c"}


def boot(work, info, initramfs, sims, cases, deadline):
    qmp_path = work / "qmp.sock"
    if qmp_path.exists():
        qmp_path.unlink()
    kernel = work.parent / "cache" / "root" / "boot" / ("vmlinuz-" + info["kernel"])
    cmd = ["qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-smp", "1", "-nodefaults",
           "-no-user-config", "-display", "none", "-no-reboot", "-kernel", str(kernel), "-initrd",
           str(initramfs), "-append",
           "console=ttyS0 quiet loglevel=3 panic=-1 bench.cases=" + ",".join(cases),
           "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
           "-chardev", "serial,id=uartc,path=" + sims["uart"].pty, "-serial", "chardev:uartc",
           "-device", "qemu-xhci,id=xhci", "-qmp", "unix:%s,server=on,wait=off" % qmp_path]
    for name in ADAPTERS:
        cmd += ["-chardev", "serial,id=%sc,path=%s" % (name, sims[name].pty)]
        cmd += ["-device", "usb-serial,id=%s,bus=xhci.0,serial=%s,chardev=%sc" % (
            name, SERIALS[name], name)]
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=open(work / "qemu.err", "w"))
    return proc, Qmp(qmp_path, deadline)


def converse(proc, qmp, sims, image, deadline, console_log, saved):
    """Reads the guest's console, does what it asks, and returns its "@@" lines. At the end of
    each case, saved[case] tells which far ends hold an image equal to the one sent."""
    lines = []
    buf = b""
    fd = proc.stdout.fileno()
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 1.0)
        if not ready:
            if proc.poll() is not None:
                break
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        console_log.write(chunk)
        buf += chunk
        while b"\n" in buf:
            raw, buf = buf.split(b"\n", 1)
            line = raw.decode(errors="replace").rstrip("\r")
            at = line.find("@@ ")
            if at < 0:
                continue
            words = line[at + 3:].split(" ")
            lines.append(line[at + 3:])
            if words[0] == "ask":
                answer = act(words[1], words[2], qmp, sims)
                proc.stdin.write((answer + "\n").encode())
                proc.stdin.flush()
            if words[0] == "case" and words[2:] == ["end"]:
                saved[words[1]] = {n: saved_equal(s, image) for n, s in sims.items()}
            if words[0] == "done":
                return lines, True
    return lines, False


def act(what, name, qmp, sims):
    try:
        if what == "reset":
            sims[name].reset()
        elif what == "unplug":
            qmp.command("device_del", id=name)
            if not qmp.wait_event("DEVICE_DELETED", name):
                return "no-event"
        elif what == "plug":
            sims[name].saved.unlink(missing_ok=True)
            qmp.command("device_add", **usb_serial(name))
        return "go"
    except (RuntimeError, OSError) as e:
        return "failed:" + str(e).replace(" ", "_")


# ---- judging ---------------------------------------------------------------------------------

class Seen:
    def __init__(self, lines):
        self.lines = lines

    def case(self, name):
        """The lines between "case NAME begin" and its end."""
        out, inside = [], False
        for line in self.lines:
            if line == "case %s begin" % name:
                inside = True
            elif line == "case %s end" % name:
                inside = False
            elif inside:
                out.append(line)
        return out

    @staticmethod
    def values(lines, key, *words):
        prefix = " ".join((key,) + words) + " "
        return [line[len(prefix):] for line in lines if line.startswith(prefix)]

    def rc(self, lines, name):
        v = self.values(lines, "rc", name)
        return int(v[0]) if v else None

    def records(self, lines, name):
        out = []
        for text in self.values(lines, "json", name):
            try:
                out.append(json.loads(text))
            except ValueError:
                pass
        return out


def saved_equal(sim, image):
    return sim.saved.exists() and sim.saved.read_bytes() == image.read_bytes()


def judge(seen, saved, figures):
    results = {}

    def result(name, ok, detail):
        results[name] = (ok, detail)

    lines = seen.case("ports")
    if lines:
        try:
            listed = json.loads(seen.values(lines, "portsjson")[0])
        except (IndexError, ValueError):
            listed = []
        usb = [p for p in listed if p.get("adapter")]
        serials = sorted(p["adapter"]["serial"] for p in usb)
        ids = {(p["adapter"]["vendor_id"], p["adapter"]["product_id"]) for p in usb}
        by_id = all(p["adapter"]["by_id"] for p in usb) and len(seen.values(lines, "byid")) == 4
        uarts = sorted(p["port"] for p in listed if 1 <= p["port"] <= 32)
        latency = [p.get("latency_ms") for p in usb]
        ok = (serials == sorted(SERIALS.values()) and ids == {("0403", "6001")} and by_id
              and uarts == [1, 2] and all(isinstance(v, int) for v in latency))
        result("ports", ok, "USB %s %s, by-id links %s, UARTs COM%s, latency_ms %s" % (
            ",".join(sorted("%s:%s" % i for i in ids)), ",".join(serials), by_id, uarts, latency))

    lines = seen.case("ftdi")
    if lines:
        rc = seen.rc(lines, "ftdi")
        rec = seen.records(lines, "ftdi")
        before, during, after = (seen.values(lines, "latency", w)[:1] or ["?"] for w in
                                 ["before", "during", "after"])
        figures["latency"] = (before[0], during[0], after[0])
        secs = rec[0].get("seconds") if rec else None
        figures["ftdi"] = secs
        equal = saved.get("ftdi", {}).get("ftdi0", False)
        ok = rc == 0 and equal and during[0] == "1" and after[0] == before[0]
        result("ftdi", ok, "exit %s, %s s, saved image %s, latency timer %s -> %s -> %s ms" % (
            rc, secs, "equal" if equal else "differs", before[0], during[0], after[0]))
        keys = ("block_ms_median", "block_ms_max")
        have = rec and all(k in rec[0] for k in keys)
        results["block-times"] = (bool(have), ", ".join(
            "%s=%s" % (k, rec[0].get(k, "missing") if rec else "missing") for k in keys))

    for name, sim in [("uart", "uart"), ("pty", None)]:
        lines = seen.case(name)
        if not lines:
            continue
        rc = seen.rc(lines, name)
        rec = seen.records(lines, name)
        secs = rec[0].get("seconds") if rec else None
        figures[name] = secs
        equal = saved.get(name, {}).get(sim, False) if sim else seen.values(
            lines, "saved", "pty") == ["equal"]
        result(name, rc == 0 and equal,
               "exit %s, %s s, saved image %s" % (rc, secs, "equal" if equal else "differs"))

    lines = seen.case("held")
    if lines:
        holder = (seen.values(lines, "holder") or ["?"])[0]
        rc = seen.rc(lines, "held")
        err = " ".join(seen.values(lines, "err", "held"))
        listed = " ".join(seen.values(lines, "ports"))
        try:
            js = json.loads(seen.values(lines, "portsjson")[0])
            holders = [h for p in js if p["port"] == 2 for h in p.get("holders", [])]
        except (IndexError, ValueError, KeyError):
            holders = []
        named = "held by another program (cat, pid %s)" % holder
        ok = (rc == 3 and named in err and "busy (held by cat, pid %s)" % holder in listed
              and any(str(h.get("pid")) == holder for h in holders))
        result("held", ok, "exit %s; update: %s; ports: %s" % (rc, err, listed))

    lines = seen.case("no-access")
    if lines:
        rc = seen.rc(lines, "no-access")
        err = " ".join(seen.values(lines, "err", "no-access"))
        listed = " ".join(seen.values(lines, "ports"))
        ok = rc == 3 and "'dialout'" in err and "no-access" in listed
        result("no-access", ok, "exit %s, mode %s; update: %s; ports: %s" % (
            rc, (seen.values(lines, "mode") or ["?"])[0], err, listed))

    lines = seen.case("four")
    if lines:
        rc = seen.rc(lines, "four")
        rec = seen.records(lines, "four")
        oks = [r.get("result") for r in rec]
        equal = [saved.get("four", {}).get(n, False) for n in ADAPTERS]
        result("four", rc == 0 and oks.count("ok") == 4 and all(equal),
               "exit %s, results %s, saved images equal %s" % (rc, oks, equal))

    lines = seen.case("unplug")
    if lines:
        rc = seen.rc(lines, "unplug")
        rec = seen.records(lines, "unplug")
        ms = int((seen.values(lines, "unplug-ms") or ["-1"])[0])
        kinds = [r.get("result") for r in rec]
        sent = ["%s/%s blocks" % (r.get("blocks"), r.get("blocks_total")) for r in rec]
        midway = all(r.get("blocks", 0) < r.get("blocks_total", 0) for r in rec)
        result("unplug", rc == 3 and "port-lost" in kinds and midway and 0 <= ms < 3000,
               "exit %s, result %s after %s, ended %d ms after the unplug was asked (emulated)" % (
                   rc, kinds, ",".join(sent), ms))

    lines = seen.case("replug")
    if lines:
        rc = seen.rc(lines, "replug")
        rec = seen.records(lines, "replug")
        kinds = [r.get("result") for r in rec]
        notes = seen.values(lines, "note")
        result("replug", rc == 0 and kinds.count("ok") == 2,
               "exit %s, results %s%s" % (rc, kinds, "; " + "; ".join(notes) if notes else ""))

    judge_acm(seen, result)
    return results


def judge_acm(seen, result):
    """The CDC-ACM cases: the gadget's port in the guest, its simulated device in the guest too."""
    lines = seen.case("acm-ports")
    if lines:
        try:
            listed = json.loads(seen.values(lines, "portsjson")[0])
        except (IndexError, ValueError):
            listed = []
        acm = [p for p in listed if p.get("path") == "/dev/ttyACM0"]
        adapter = (acm[0].get("adapter") or {}) if acm else {}
        got = {k: adapter.get(k) for k in ("vendor_id", "product_id", "serial")}
        want = {k: ACM[k] for k in got}
        links = [v.split(" ")[0] for v in seen.values(lines, "byid")
                 if v.endswith(" /dev/ttyACM0")]
        ok = (len(acm) == 1 and got == want and bool(links) and ACM["serial"] in links[0]
              and adapter.get("by_id") == links[0])
        result("acm-ports", ok, "COM%s %s:%s serial %s, by-id %s, latency_ms %s; %s" % (
            acm[0].get("port") if acm else "?", got["vendor_id"], got["product_id"],
            got["serial"], links[0] if links else "none", acm[0].get("latency_ms") if acm else "?",
            " ".join(seen.values(lines, "ports"))))

    for name in ["acm", "acm-stale"]:
        lines = seen.case(name)
        if not lines:
            continue
        rc = seen.rc(lines, name)
        rec = seen.records(lines, name)
        equal = seen.values(lines, "saved", name) == ["equal"]
        err = " ".join(seen.values(lines, "err", name))
        # The stale case counts only where the port really kept the bytes for the next open.
        held = (seen.values(lines, "held") or ["none"])[0] if name == "acm-stale" else "0c0f"
        result(name, rc == 0 and equal and [r.get("result") for r in rec] == ["ok"]
               and held == "0c0f",
               "exit %s, %s s, saved image %s%s%s" % (
                   rc, rec[0].get("seconds") if rec else None, "equal" if equal else "differs",
                   "; bytes held across the close, as a plain reader got them: " + held
                   if name == "acm-stale" else "", "" if rc == 0 else "; update: " + err))

    lines = seen.case("acm-unplug")
    if lines:
        rc = seen.rc(lines, "acm-unplug")
        rec = seen.records(lines, "acm-unplug")
        ms = int((seen.values(lines, "unplug-ms") or ["-1"])[0])
        kinds = [r.get("result") for r in rec]
        sent = ["%s/%s blocks" % (r.get("blocks"), r.get("blocks_total")) for r in rec]
        midway = bool(rec) and all(r.get("blocks", 0) < r.get("blocks_total", 0) for r in rec)
        result("acm-unplug", rc == 3 and "port-lost" in kinds and midway and 0 <= ms < 1000,
               "exit %s, result %s after %s, ended %d ms after the soft disconnect; "
               "device's end: simulate exit %s" % (rc, kinds, ",".join(sent), ms,
                                                   (seen.values(lines, "simrc", "acm-unplug")
                                                    or ["?"])[0]))

    lines = seen.case("acm-replug")
    if lines:
        rc = seen.rc(lines, "acm-replug")
        rec = seen.records(lines, "acm-replug")
        kinds = [r.get("result") for r in rec]
        equal = seen.values(lines, "saved", "acm-replug2") == ["equal"]
        result("acm-replug", rc == 0 and kinds.count("ok") == 2 and equal,
               "exit %s, results %s, second unit's image %s" % (
                   rc, kinds, "equal" if equal else "differs"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pelkar1", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    start = time.monotonic()
    deadline = start + BOOT_AND_RUN_LIMIT
    wanted = [c for c in os.environ.get("PELKAR_BENCH_CASES", ",".join(CASES)).split(",") if c]
    unknown = [c for c in wanted if c not in CASES]
    if unknown:
        raise SystemExit("unknown cases: %s (known: %s)" % (unknown, ",".join(CASES)))
    pending = set(os.environ.get("PELKAR_BENCH_PENDING", DEFAULT_PENDING).split(","))
    if not shutil.which("qemu-system-x86_64"):
        skip("qemu-system-x86_64 is not installed (scripts/install-deps adds it)")
    if run(["qemu-system-x86_64", "--version"]).returncode != 0:
        skip("qemu-system-x86_64 does not run on this machine")
    busybox()

    work = Path(args.work).resolve() / "run"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    info = fetch(work.parent / "cache")
    root = work.parent / "cache" / "root"
    image = work / "image.bin"
    rng = random.Random(1)
    image.write_bytes(bytes(rng.randrange(256) for _ in range(BLOCKS * 256)))
    guest_cases = [c for c in wanted if c not in HOST_ONLY]
    if "block-times" in wanted and "ftdi" not in guest_cases:
        guest_cases.insert(0, "ftdi")
    initramfs, order, builtin = make_initramfs(work, root, info["kernel"], Path(args.pelkar1),
                                               image, guest_cases)
    say("kernel bench: %s (%s); modules %s; built in: %s" % (
        info["kernel_package"], info["kernel"], " ".join(Path(m).name for m in order),
        ", ".join(builtin) or "none"))

    sims, proc = {}, None
    try:
        for i, name in enumerate(ADAPTERS + ["uart"]):
            sims[name] = Sim(Path(args.pelkar1), name, work, 250 + i)
        proc, qmp = boot(work, info, initramfs, sims, guest_cases, deadline)
        saved = {}
        with open(work / "console.log", "wb") as console:
            lines, finished = converse(proc, qmp, sims, image, deadline, console, saved)
    finally:
        if proc is not None:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        for sim in sims.values():
            sim.stop()

    seen = Seen(lines)
    boot_ms = next((line.split()[2] for line in lines if line.startswith("booted")), None)
    figures = {}
    results = judge(seen, saved, figures)
    failed = False
    for case in wanted:
        ok, detail = results.get(case, (False, "no result (the guest did not get to it)"))
        if case in pending:
            verdict = "PASS (pending case: enable it)" if ok else "EXPECTED-LATER (fails)"
        else:
            verdict = "PASS" if ok else "FAIL"
            failed |= not ok
        say("case %-11s %s: %s" % (case, verdict, detail))
    pty_s = figures.get("pty")
    for name in ["ftdi", "uart"]:
        if pty_s and figures.get(name):
            say("ratio %s/pty: %.2f (%.2f s against %.2f s, same guest run)" % (
                name, figures[name] / pty_s, figures[name], pty_s))
    say("guest time per case (ms): " + ", ".join(Seen.values(lines, "time")))
    for note in Seen.values(lines, "note"):
        say("guest note: " + note)
    if not finished:
        failed = True
        say("the guest did not finish within %d s; console in %s" % (
            BOOT_AND_RUN_LIMIT, work / "console.log"))
    say("kernel bench: %.1f s in all (guest booted in %s ms of guest time)" % (
        time.monotonic() - start, boot_ms))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
