// A stand-in for navigator.serial, for tests and the demo only: its ports are the simulated
// device, reached through the bridge's WebSocket (serial-bridge.js). It keeps to what the page
// relies on of Web Serial: getPorts() and requestPort() (which grants the next offered port,
// as a person would in the browser's chooser), open() with the line settings, the readable and
// writable streams, close(), and "disconnect" at the port and at navigator.serial when the
// device goes. window.__serialStandIn may set {bridge, granted, offered} before it runs; each
// port is {usbVendorId, usbProductId} (either may be left out). Each port counts its traffic
// since its last opening (port.traffic: bytes each way, and when the first and last arrived).
(() => {
  const config = Object.assign(
      {bridge: `ws://${location.host}/serial`, granted: [{}], offered: []},
      window.__serialStandIn || {});
  const lost = () => new DOMException('The device has been lost.', 'NetworkError');

  class SerialPort extends EventTarget {
    #info;
    #socket = null;

    constructor(info) {
      super();
      this.#info = info;
    }
    get readable() {
      return null;
    }
    get writable() {
      return null;
    }
    getInfo() {
      return {...this.#info};
    }
    async open(options) {
      if (this.#socket) throw new DOMException('The port is already open.', 'InvalidStateError');
      if (!(options && options.baudRate > 0)) throw new TypeError('A baud rate is required.');
      const socket = new WebSocket(`${config.bridge}?baud=${options.baudRate}`);
      socket.binaryType = 'arraybuffer';
      // Open once the bridge has the port open; a socket that ends first is a port that failed.
      await new Promise((resolve, reject) => {
        socket.onmessage = (event) => event.data === 'open' && resolve();
        socket.onclose = () => reject(new DOMException('Failed to open serial port.', 'NetworkError'));
      });
      this.#socket = socket;
      const traffic = this.traffic = {received: 0, sent: 0, first: null, last: null};
      let closing = false;
      let source = null;  // the controller of the readable stream now given out
      let fatal = false;
      // As in Chromium, a stream that was cancelled or failed with an error the line recovers
      // from is replaced by a new one the next time readable is asked for.
      const fresh = () => new ReadableStream({
        start(controller) {
          source = controller;
        },
        cancel() {
          source = null;
        },
      });
      let readable = fresh();
      Object.defineProperty(this, 'readable', {configurable: true, get: () => {
        if (closing || fatal || !this.#socket) return null;
        if (!source) readable = fresh();
        return readable;
      }});
      // The test's hook: the line reports an error (BreakError, FramingError, ParityError,
      // BufferOverrunError keep the port; any other is fatal).
      this.lineError = (name) => {
        fatal = !['BreakError', 'FramingError', 'ParityError', 'BufferOverrunError'].includes(name);
        source?.error(new DOMException(`The line reported ${name}.`, name));
        source = null;
      };
      socket.onmessage = (event) => {
        traffic.first ??= performance.now();
        traffic.last = performance.now();
        traffic.received += event.data.byteLength;
        source?.enqueue(new Uint8Array(event.data));  // none between a failed reader and the next
      };
      socket.onclose = () => {
        this.#socket = null;
        if (closing) return;
        try {
          source?.error(lost());
        } catch (error) { /* already cancelled */ }
        this.dispatchEvent(new Event('disconnect'));
        serial.forget(this);
      };
      const sink = () => new WritableStream({
        write(chunk) {
          if (socket.readyState !== WebSocket.OPEN) throw lost();
          traffic.sent += chunk.length;
          socket.send(chunk);
        },
        abort() {
          writable = null;
        },
      });
      let writable = sink();
      Object.defineProperty(this, 'writable', {configurable: true, get: () => {
        if (closing || !this.#socket) return null;
        writable ??= sink();
        return writable;
      }});
      this.close = async () => {
        if ((source && readable.locked) || (writable && writable.locked)) {
          throw new DOMException('The port has locked streams.', 'InvalidStateError');
        }
        closing = true;
        socket.close();
        this.#socket = null;
        delete this.close;
        delete this.lineError;
      };
    }
    async close() {
      throw new DOMException('The port is already closed.', 'InvalidStateError');
    }
  }

  class Serial extends EventTarget {
    #granted = config.granted.map((info) => new SerialPort(info));
    #offered = config.offered.map((info) => new SerialPort(info));

    async getPorts() {
      return [...this.#granted];
    }
    async requestPort() {
      if (!navigator.userActivation.isActive) {
        throw new DOMException('Must be handling a user gesture to show a permission request.',
                               'SecurityError');
      }
      const port = this.#offered.shift();
      if (!port) throw new DOMException('No port selected by the user.', 'NotFoundError');
      this.#granted.push(port);
      return port;
    }
    forget(port) {
      this.#granted = this.#granted.filter((granted) => granted !== port);
      this.dispatchEvent(new Event('disconnect'));
    }
  }

  const serial = new Serial();
  Object.defineProperty(Navigator.prototype, 'serial', {get: () => serial, configurable: true});
})();
