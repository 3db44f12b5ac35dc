// The serial channel: the ports this page was granted, and the one open, reached over Web
// Serial. Arrivals are read into a buffer of the page's own as they come, for the core to take;
// writes go out whole and in order. Uses core (core_calls.js).

// Errors after which Chromium keeps the port open and a new reader goes on: the line garbled a
// byte or lost some. A disconnect or any other error loses the port.
const kLineErrors = ['BreakError', 'FramingError', 'ParityError', 'BufferOverrunError'];
// What a byte the line garbled reads as on a raw POSIX line, and so on the desktop.
const kGarbledByte = 0;

const serial = {
  known: [],  // {port, number}: each granted port keeps the number it was first given
  nextNumber: 1,
  port: null,
  reader: null,
  writer: null,
  reading: null,
  chunks: [],
  size: 0,
  gone: false,
  closing: false,
  watching: false,
  scheduled: false,
  generation: 0,
  waiters: [],

  async refresh() {
    if (!hasSerial) return;
    const now = await navigator.serial.getPorts();
    this.known = this.known.filter((entry) => now.includes(entry.port));
    for (const port of now) {
      if (this.known.some((entry) => entry.port === port) || this.nextNumber > 255) continue;
      this.known.push({port, number: this.nextNumber++});
    }
  },
  granted() {
    return this.known.map(({port, number}) => ({number, ...port.getInfo()}));
  },

  async open(number, baudRate) {
    const entry = this.known.find((known) => known.number === number);
    if (!entry || this.port) return false;
    const port = entry.port;
    try {
      await port.open({baudRate, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none'});
    } catch (error) {
      core.fault(error);
      return false;
    }
    try {
      // Emptied before the first read, so that nothing from before the open (a request that
      // crossed a Stop, say) is taken as the device's: cancelling the stream flushes what the
      // port holds for reading. Its queue out holds nothing of this page's yet, and a tty's
      // close waits for what an earlier program wrote to go: a second flush (aborting the
      // writable stream) would empty nothing, and a device watching the line sees each flush
      // as a host arriving anew.
      await port.readable.cancel();
    } catch (error) {
      core.fault(error);
      await port.close().catch(() => {});
      return false;
    }
    this.port = port;
    port.addEventListener('disconnect', () => {
      if (this.port === port) this.lose();
    }, {once: true});
    this.chunks = [];
    this.size = 0;
    this.gone = false;
    this.closing = false;
    this.writer = port.writable.getWriter();
    this.reading = this.readAll(port);
    return true;
  },
  isOpen() {
    return this.port !== null;
  },
  async readAll(port) {
    for (let stream; !this.closing && (stream = port.readable);) {
      const reader = stream.getReader();
      this.reader = reader;
      try {
        for (;;) {
          const {value, done} = await reader.read();
          if (done) break;
          if (value && value.length) this.push(value);
        }
        break;  // the stream ended: closed, or the port is gone
      } catch (error) {
        if (this.closing || !kLineErrors.includes(error && error.name)) break;
        this.push(new Uint8Array([kGarbledByte]));  // and a new reader goes on
      } finally {
        reader.releaseLock();
      }
    }
    if (!this.closing) this.lose();
  },
  push(bytes) {
    this.chunks.push(bytes);
    this.size += bytes.length;
    this.arrived();
  },
  lose() {
    this.gone = true;
    this.arrived();
  },
  available() {
    return this.size;
  },
  take(count) {
    const out = new Uint8Array(count);
    let at = 0;
    while (at < count) {
      const chunk = this.chunks[0];
      const part = Math.min(chunk.length, count - at);
      out.set(chunk.subarray(0, part), at);
      at += part;
      if (part === chunk.length) this.chunks.shift();
      else this.chunks[0] = chunk.subarray(part);
    }
    this.size -= count;
    return out;
  },
  lost() {
    return this.gone;
  },
  // Straight to the stream, which keeps the order: waiting for each write's promise before the
  // next held every answer back by a turn of the event loop.
  write(bytes) {
    if (!this.writer || this.gone) return false;
    this.writer.write(bytes).catch(() => this.lose());
    return true;
  },
  async close() {
    const port = this.port;
    if (!port) return;
    this.closing = true;
    this.watch(false);
    try {
      if (this.reader) await this.reader.cancel();
    } catch (error) { /* gone already */ }
    await this.reading;
    try {
      // Whatever is still queued was for an exchange that has ended.
      await this.writer.abort();
    } catch (error) { /* gone already */ }
    this.writer.releaseLock();
    try {
      await port.close();
    } catch (error) { /* gone already */ }
    this.port = this.reader = this.writer = this.reading = null;
    this.chunks = [];
    this.size = 0;
  },

  // Bytes or the loss are passed to the core while it watches, one call at a time.
  arrived() {
    for (const wake of this.waiters.splice(0)) wake(true);
    if (!this.watching || this.scheduled) return;
    this.scheduled = true;
    const generation = this.generation;
    core.enqueue(() => {
      this.scheduled = false;
      if (generation !== this.generation || !this.watching) return;
      if (this.size === 0 && !this.gone) return;
      core.answering = true;
      try {
        return Module.ccall('pelkar_port_data_arrived', null, [], [], {async: true});
      } finally {
        core.answering = false;
      }
    });
  },
  watch(on) {
    this.watching = on;
    this.generation++;
    this.scheduled = false;
    if (on && (this.size > 0 || this.gone)) this.arrived();
  },
  waitReadable(ms) {
    if (this.size > 0 || this.gone) return Promise.resolve(true);
    return new Promise((resolve) => {
      this.waiters.push(resolve);
      setTimeout(() => resolve(false), ms);
    });
  },

  listen() {
    if (!hasSerial) return;
    navigator.serial.addEventListener('disconnect', () => this.portsChanged());
    navigator.serial.addEventListener('connect', () => this.portsChanged());
  },
  async portsChanged() {
    await this.refresh();
    core.takePortsIn();
  },
  async ask() {
    try {
      await navigator.serial.requestPort();
    } catch (error) {
      return;  // the chooser was closed without a choice
    }
    await this.portsChanged();
  },
};
