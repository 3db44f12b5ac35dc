// The page's script, in four files joined in this order into page.js: the calls into the core
// (this file), the serial channel, files and dialogs, and the window. The core
// (pelkar1_update.wasm) is called one call at a time and in order; a call that shows a message
// box or a file picker stays suspended until the person is done with it.
'use strict';

const $ = (id) => document.getElementById(id);
const hasSerial = 'serial' in navigator;

const core = {
  chain: Promise.resolve(),
  running: false,  // an update runs: "Update" reads "Stop"
  portsChanged: false,
  answering: false,  // the core answers what came from the port: what it draws can wait

  fault(error) {
    console.error('pelkar1_update:', error);
  },
  enqueue(step) {
    this.chain = this.chain.then(step).catch((error) => this.fault(error))
        .then(() => this.afterCall());
    return this.chain;
  },
  call(name, ...args) {
    return this.enqueue(
        () => Module.ccall(name, null, args.map(() => 'number'), args, {async: true}));
  },
  // Ports granted or gone during an update are taken in once it has ended.
  afterCall() {
    if (this.portsChanged && !this.running) {
      this.portsChanged = false;
      this.call('pelkar_ports_changed');
    }
  },
  // Takes them in once the calls before it are done, or once the update has ended.
  takePortsIn() {
    this.portsChanged = true;
    if (!this.running) this.enqueue(() => {});
  },
};
