// The window in the page: draws what the core (pelkar1_update.wasm) tells it, passes the
// person's actions on, and reaches the chosen port over Web Serial. Every call into the core
// runs alone and in order; a call that shows a message box or a file picker stays suspended
// until the person is done with it.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const hasSerial = 'serial' in navigator;
  const kAskForPort = 'Another port\u2026';

  // --- Calls into the core ---------------------------------------------------------------
  let chain = Promise.resolve();
  let running = false;  // an update runs: "Update" reads "Stop"
  let portsChanged = false;

  function fault(error) {
    console.error('pelkar1_update:', error);
  }

  function enqueue(step) {
    chain = chain.then(step).catch(fault).then(afterCall);
    return chain;
  }

  function call(name, ...args) {
    return enqueue(() => Module.ccall(name, null, args.map(() => 'number'), args, {async: true}));
  }

  // Ports granted or gone during an update are taken in once it has ended.
  function afterCall() {
    if (portsChanged && !running) {
      portsChanged = false;
      call('pelkar_ports_changed');
    }
  }

  // --- The serial port -------------------------------------------------------------------
  const serial = {
    known: [],  // {port, number}: each granted port keeps the number it was first given
    nextNumber: 1,
    port: null,
    reader: null,
    writer: null,
    reading: null,
    writes: Promise.resolve(),
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
      try {
        await entry.port.open(
            {baudRate, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none'});
      } catch (error) {
        fault(error);
        return false;
      }
      this.port = entry.port;
      entry.port.addEventListener('disconnect', () => {
        if (this.port === entry.port) this.lose();
      }, {once: true});
      this.chunks = [];
      this.size = 0;
      this.gone = false;
      this.closing = false;
      this.writer = entry.port.writable.getWriter();
      this.writes = Promise.resolve();
      this.reading = this.readAll(entry.port);
      return true;
    },
    isOpen() {
      return this.port !== null;
    },
    async readAll(port) {
      const reader = port.readable.getReader();
      this.reader = reader;
      try {
        for (;;) {
          const {value, done} = await reader.read();
          if (done) break;
          if (value && value.length) {
            this.chunks.push(value);
            this.size += value.length;
            this.arrived();
          }
        }
      } catch (error) {
        // A failed read: the port is as good as gone.
      } finally {
        reader.releaseLock();
      }
      if (!this.closing) this.lose();
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
    write(bytes) {
      if (!this.writer || this.gone) return false;
      const writer = this.writer;
      this.writes = this.writes.then(() => writer.write(bytes)).catch(() => this.lose());
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
      enqueue(() => {
        this.scheduled = false;
        if (generation !== this.generation || !this.watching) return;
        if (this.size === 0 && !this.gone) return;
        return Module.ccall('pelkar_port_data_arrived', null, [], [], {async: true});
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
      portsChanged = true;
      if (!running) enqueue(() => {});  // takes them in once the calls before it are done
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

  // --- The window ------------------------------------------------------------------------
  const menuButton = $('serial-port');
  const menu = $('port-items');
  const items = [];

  function closeMenu() {
    menu.hidden = true;
    menuButton.setAttribute('aria-expanded', 'false');
  }

  function addAskItem() {
    const ask = document.createElement('li');
    ask.className = 'ask';
    ask.setAttribute('role', 'menuitem');
    ask.textContent = kAskForPort;
    // Straight from the click: the browser opens its chooser only for a person's action.
    ask.addEventListener('click', () => {
      closeMenu();
      serial.ask();
    });
    menu.append(ask);
  }

  const page = {
    held: null,  // the file a picker or a drop gave, until the core takes it
    serial,

    addPortItem(caption) {
      const item = document.createElement('li');
      item.setAttribute('role', 'menuitemcheckbox');
      item.setAttribute('aria-checked', 'false');
      item.textContent = caption;
      const index = items.length;
      item.addEventListener('click', () => {
        closeMenu();
        call('pelkar_port_click', index);
      });
      items.push(item);
      menu.insertBefore(item, menu.querySelector('.ask'));
    },
    clearPortItems() {
      for (const item of items.splice(0)) item.remove();
    },
    setPortTicked(index, ticked) {
      items[index].setAttribute('aria-checked', String(ticked));
    },
    setEnabled(name, enabled) {
      if (name === 'serial-port') {
        menuButton.disabled = !enabled || !hasSerial;
        if (menuButton.disabled) closeMenu();
      } else {
        $(name).disabled = !enabled;
      }
    },
    setUpdateCaption(caption) {
      $('update').textContent = caption;
      running = caption === 'Stop';
    },
    showProgress(units, scale) {
      const share = scale > 0 ? Math.min(1, Math.max(0, units / scale)) : 0;
      $('picture1').firstElementChild.style.width = `${share * 100}%`;
      $('picture1').setAttribute('aria-valuenow', String(Math.round(share * 100)));
    },
    showMessage(text, icon) {
      const box = $('message');
      box.dataset.icon = ['none', 'error', 'information'][icon] || 'none';
      $('message-text').textContent = text;
      return new Promise((resolve) => {
        box.addEventListener('close', () => resolve(), {once: true});
        box.showModal();
        box.querySelector('.ok').focus();
      });
    },
    pickFile(accept) {
      return new Promise((resolve) => {
        const input = document.createElement('input');
        input.type = 'file';
        input.hidden = true;
        if (accept) input.accept = accept;
        let done = false;
        const finish = (file) => {
          if (done) return;
          done = true;
          input.remove();
          if (!file) return resolve(false);
          file.arrayBuffer().then((buffer) => {
            page.held = {name: file.name, bytes: new Uint8Array(buffer)};
            resolve(true);
          }, () => resolve(false));
        };
        input.addEventListener('change', () => finish(input.files[0] || null));
        input.addEventListener('cancel', () => finish(null));
        document.body.append(input);
        input.click();
      });
    },
    offerDownload(name, bytes) {
      const url = URL.createObjectURL(new Blob([bytes], {type: 'application/octet-stream'}));
      const link = document.createElement('a');
      link.href = url;
      link.download = name;
      document.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
    },
  };

  $('message').querySelector('.ok').addEventListener('click', () => $('message').close());

  menuButton.addEventListener('click', () => {
    if (menuButton.disabled) return;
    const open = menu.hidden;
    menu.hidden = !open;
    menuButton.setAttribute('aria-expanded', String(open));
  });
  document.addEventListener('click', (event) => {
    if (!event.target.closest('.menu')) closeMenu();
  });
  $('load-file').addEventListener('click', () => call('pelkar_load_file_click'));
  $('update').addEventListener('click', () => call('pelkar_update_click'));
  $('command1').addEventListener('click', () => call('pelkar_command1_click'));

  // Key preview: every character typed on the page, whatever holds the focus, but not what
  // goes to a message box.
  const keyText = {Enter: '\r', Backspace: '\b', Tab: '\t', Escape: '\x1b'};
  window.addEventListener('keydown', (event) => {
    if ($('message').open || event.isComposing || event.ctrlKey || event.metaKey || event.altKey)
      return;
    const text = keyText[event.key] ?? event.key;
    if (text.length === 0 || [...text].length !== 1) return;  // Shift, F1, ArrowLeft...
    call('pelkar_key_press', text.charCodeAt(0));
  }, true);

  // A file dropped on the page loads as "Load File" would load it.
  const form = $('form1');
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    form.classList.add('drop-target');
  });
  document.addEventListener('dragleave', () => form.classList.remove('drop-target'));
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    form.classList.remove('drop-target');
    const file = event.dataTransfer.files[0];
    if (!file) return;
    file.arrayBuffer().then((buffer) => {
      enqueue(() => {
        page.held = {name: file.name, bytes: new Uint8Array(buffer)};
      });
      call('pelkar_file_dropped');
      enqueue(() => {
        page.held = null;
      });
    }, fault);
  });

  // Leaving mid-update would leave the device half written: the browser asks first.
  window.addEventListener('beforeunload', (event) => {
    if (running) event.preventDefault();
  });
  window.addEventListener('pagehide', () => call('pelkar_form_unload'));

  if (!hasSerial) {
    const notice = $('notice');
    notice.textContent = 'This browser has no Web Serial, so it cannot reach a device: ' +
        'use Chrome or Edge to update. The encoder works here.';
    notice.hidden = false;
  }
  addAskItem();
  serial.listen();

  window.Module = {
    page,
    locateFile: (path) => path,
    onRuntimeInitialized() {
      serial.refresh().then(() => call('pelkar_form_load')).then(() => {
        $('command1').focus({preventScroll: true});  // first in the tab order, as on the desktop
        window.pelkarLoadMs = performance.now();
        document.body.dataset.ready = 'true';
      });
    },
  };
  const script = document.createElement('script');
  script.src = 'pelkar1_update.js';
  document.head.append(script);
})();
