// A stand-in for the browser's navigator.serial whose one port reaches a serial device through
// quorel-web-bridge's WebSocket. The tests put it in the page before the page's own scripts
// (see installSerialStandIn in harness.js). It keeps the rules of the browser's ports that a
// page can trip over: one open at a time, open and close only in the right state, close refused
// while a stream is locked, a new readable after a cancel, a lost device erroring both streams
// and firing 'disconnect' at the port and at navigator.serial (with the port as target).
// The page's calls are recorded in window.__serialCalls for the tests to read, and the size of
// each write() in window.__serialWrites.
(function installSerialStandIn(config) {
  'use strict';
  const calls = [];
  window.__serialCalls = calls;
  const writes = [];
  window.__serialWrites = writes;
  const note = (what) => calls.push(what);

  const lostError = () => new DOMException('The device has been lost.', 'NetworkError');

  class SerialPortStandIn extends EventTarget {
    #state = 'closed';           // closed | opening | opened | closing
    #socket = null;
    #readable = null;
    #readController = null;
    #writable = null;
    #fatal = false;
    #bufferSize = 255;
    #acks = [];                  // writes waiting for the bridge's "wrote"
    #signalAcks = [];
    #closed = null;              // resolves when the socket has closed
    #serial;

    constructor(serial) {
      super();
      this.#serial = serial;
      this.onconnect = null;
      this.ondisconnect = null;
    }

    getInfo() {
      note('getInfo');
      return { usbVendorId: 0x1a2b, usbProductId: 0x3c4d };
    }

    get readable() {
      if (this.#state === 'opened' && this.#readable === null && !this.#fatal) {
        const stream = new ReadableStream({
          start: (controller) => { this.#readController = controller; },
          // A cancelled stream is done with; the next look at readable makes a new one.
          cancel: () => {
            if (this.#readable !== stream) return;
            this.#readable = null;
            this.#readController = null;
          },
        });
        this.#readable = stream;
      }
      return this.#readable;
    }

    get writable() {
      if (this.#state === 'opened' && this.#writable === null && !this.#fatal) {
        const stream = new WritableStream({
          write: (chunk) => this.#write(chunk),
          close: () => { if (this.#writable === stream) this.#writable = null; },
          abort: () => { if (this.#writable === stream) this.#writable = null; },
        });
        this.#writable = stream;
      }
      return this.#writable;
    }

    async open(options) {
      if (this.#state !== 'closed') {
        throw new DOMException('The port is already open.', 'InvalidStateError');
      }
      if (options === null || typeof options !== 'object' || !(options.baudRate > 0)) {
        throw new TypeError("Failed to execute 'open' on 'SerialPort': baudRate is required.");
      }
      note({ open: { ...options } });
      this.#state = 'opening';
      this.#fatal = false;
      this.#bufferSize = options.bufferSize || 255;
      const query = new URLSearchParams({ device: config.device });
      for (const name of ['baudRate', 'dataBits', 'stopBits', 'parity', 'flowControl']) {
        if (options[name] !== undefined) query.set(name, String(options[name]));
      }
      const socket = new WebSocket(`${config.url}?${query}`);
      socket.binaryType = 'arraybuffer';
      let closedResolve;
      const closed = new Promise((resolve) => { closedResolve = resolve; });
      const first = new Promise((resolve) => {
        socket.onmessage = (event) => {
          if (typeof event.data === 'string' && (event.data === 'opened' || event.data.startsWith('error'))) {
            resolve(event.data);
          }
        };
        socket.onclose = () => { closedResolve(); resolve('error closed'); };
      });
      const answer = await first;
      if (answer !== 'opened') {
        this.#state = 'closed';
        socket.close();
        await closed;
        throw new DOMException('Failed to open serial port.', 'NetworkError');
      }
      this.#socket = socket;
      this.#closed = closed;
      this.#state = 'opened';
      socket.onmessage = (event) => this.#onMessage(event.data);
      socket.onclose = () => {
        closedResolve();
        if (this.#state === 'opened') this.#lose();
      };
    }

    async setSignals(signals = {}) {
      if (this.#state !== 'opened') {
        throw new DOMException('The port is closed.', 'InvalidStateError');
      }
      const names = ['dataTerminalReady', 'requestToSend', 'break'].filter((n) => signals[n] !== undefined);
      if (names.length === 0) {
        throw new TypeError("Failed to execute 'setSignals' on 'SerialPort': Signals dictionary is empty.");
      }
      note({ setSignals: { ...signals } });
      const answered = new Promise((resolve, reject) => this.#signalAcks.push({ resolve, reject }));
      this.#socket.send(['signals', ...names.map((n) => `${n}=${Boolean(signals[n])}`)].join(' '));
      return answered;
    }

    async getSignals() {
      if (this.#state !== 'opened') {
        throw new DOMException('The port is closed.', 'InvalidStateError');
      }
      return { dataCarrierDetect: false, clearToSend: false, ringIndicator: false, dataSetReady: false };
    }

    async close() {
      if (this.#state !== 'opened') {
        throw new DOMException('The port is already closed.', 'InvalidStateError');
      }
      if (this.#readable !== null && this.#readable.locked) {
        throw new TypeError("Failed to execute 'close' on 'SerialPort': Cannot cancel a locked stream");
      }
      if (this.#writable !== null && this.#writable.locked) {
        throw new TypeError("Failed to execute 'close' on 'SerialPort': Cannot abort a locked stream");
      }
      note('close');
      this.#state = 'closing';
      if (this.#readable !== null) await this.#readable.cancel();
      if (this.#writable !== null) await this.#writable.abort();
      this.#readable = null;
      this.#writable = null;
      this.#socket.close(1000);
      await this.#closed;
      this.#socket = null;
      this.#state = 'closed';
    }

    async forget() {
      note('forget');
    }

    #write(chunk) {
      if (!(chunk instanceof ArrayBuffer) && !ArrayBuffer.isView(chunk)) {
        return Promise.reject(new TypeError('The provided value is not of type (ArrayBuffer or ArrayBufferView).'));
      }
      if (this.#fatal || this.#socket === null) return Promise.reject(lostError());
      const bytes = chunk instanceof ArrayBuffer
        ? new Uint8Array(chunk.slice(0))
        : new Uint8Array(chunk.buffer.slice(chunk.byteOffset, chunk.byteOffset + chunk.byteLength));
      writes.push(bytes.length);
      const done = new Promise((resolve, reject) => this.#acks.push({ resolve, reject }));
      this.#socket.send(bytes);
      return done;
    }

    #onMessage(data) {
      if (typeof data !== 'string') {
        const bytes = new Uint8Array(data);
        // The browser hands on at most bufferSize bytes a read.
        for (let at = 0; at < bytes.length; at += this.#bufferSize) {
          if (this.#readController !== null) this.#readController.enqueue(bytes.slice(at, at + this.#bufferSize));
        }
      } else if (data.startsWith('wrote')) {
        const ack = this.#acks.shift();
        if (ack) ack.resolve();
      } else if (data === 'signals') {
        const ack = this.#signalAcks.shift();
        if (ack) ack.resolve();
      } else if (data === 'lost') {
        this.#lose();
      }
    }

    // The device is gone: both streams fail, and the page hears 'disconnect'.
    #lose() {
      if (this.#fatal) return;
      this.#fatal = true;
      note('lost');
      if (this.#readController !== null) this.#readController.error(lostError());
      this.#readController = null;
      this.#readable = null;
      if (this.#writable !== null) {
        const writer = this.#writable;
        this.#writable = null;
        // An unlocked stream is errored through abort; a locked one through its pending writes.
        if (!writer.locked) writer.abort(lostError()).catch(() => {});
      }
      for (const ack of this.#acks.splice(0)) ack.reject(lostError());
      for (const ack of this.#signalAcks.splice(0)) ack.reject(lostError());
      const onPort = new Event('disconnect', { bubbles: true });
      this.dispatchEvent(onPort);
      if (typeof this.ondisconnect === 'function') this.ondisconnect.call(this, onPort);
      const onSerial = new Event('disconnect', { bubbles: true });
      Object.defineProperty(onSerial, 'target', { value: this });
      this.#serial.dispatchEvent(onSerial);
      if (typeof this.#serial.ondisconnect === 'function') this.#serial.ondisconnect.call(this.#serial, onSerial);
    }
  }

  class SerialStandIn extends EventTarget {
    #port = new SerialPortStandIn(this);
    #granted = false;
    constructor() {
      super();
      this.onconnect = null;
      this.ondisconnect = null;
    }
    async requestPort(options) {
      note({ requestPort: options === undefined ? null : options });
      this.#granted = true;
      return this.#port;
    }
    async getPorts() {
      note('getPorts');
      return this.#granted ? [this.#port] : [];
    }
  }

  Object.defineProperty(Navigator.prototype, 'serial', {
    configurable: true,
    enumerable: true,
    get: (() => { const serial = new SerialStandIn(); return () => serial; })(),
  });
})
