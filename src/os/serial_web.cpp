#include "os/serial_web.h"

#include <emscripten.h>

#include "os/cancel_web.h"

namespace quorel {
namespace {

const char kReportPrefix[] = "quorel-update: cannot open ";

// The chosen port's description: its USB vendor and product numbers when the browser gives
// them.
EM_JS(void, quorel_web_port_label, (char* text, int size), {
  const port = Module.quorelPort;
  let label = 'the port chosen in the browser';
  if (port) {
    const info = port.getInfo();
    if (info && info.usbVendorId !== undefined && info.usbProductId !== undefined) {
      const hex = (n) => n.toString(16).padStart(4, '0');
      label = 'USB ' + hex(info.usbVendorId) + ':' + hex(info.usbProductId);
    }
  } else {
    label = 'no port (none was chosen)';
  }
  stringToUTF8(label, text, size);
});

EM_JS(int, quorel_web_port_chosen, (), { return Module.quorelPort ? 1 : 0; });

// Opens the chosen port at speed. Returns the line's number (above 0), or minus the open
// result's code with the reason in reason. The line starts reading at once: what arrives waits
// in line.chunks.
EM_ASYNC_JS(int, quorel_web_serial_open, (int32_t speed, char* reason, int reasonSize), {
  const fail = (code, text) => {
    stringToUTF8(text, reason, reasonSize);
    return -code;
  };
  const describe = (e) => (e && e.name ? e.name + ': ' + e.message : String(e));
  const port = Module.quorelPort;
  if (!port) return fail(8, 'no port was chosen');
  try {
    await port.open(
        {baudRate: speed, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none'});
  } catch (e) {
    let text = 'the browser cannot open it (' + describe(e) + ')';
    if (e && e.name === 'NetworkError') text += '; another program may be using it';
    if (e && e.name === 'InvalidStateError') text += '; another page may have it open';
    return fail(8, text);
  }
  const shut = async () => {
    try { await port.close(); } catch (ignored) {}
  };
  try {
    await port.setSignals({dataTerminalReady: false, requestToSend: false});
  } catch (e) {
    await shut();
    return fail(4, 'cannot turn DTR and RTS off (' + describe(e) + ')');
  }
  if (!port.readable || !port.writable) {
    await shut();
    return fail(8, 'the browser gives no data streams for it');
  }
  const line = {
    port: port, speed: speed, chunks: [], pending: 0, lost: false, closing: false,
    writer: port.writable.getWriter(), reader: null, writesOut: 0, wireFreeMs: 0,
    outgoing: new Uint8Array(1024), outgoingCount: 0
  };
  // Hands the gathered bytes to the writer in one write(). The browser takes one write at a
  // time, each its own transfer that must complete before the next starts, so a block written
  // one byte a write would take a round trip per byte. The bytes leave in the order written;
  // the time their last bit leaves the PC is reckoned from the line speed, so that a drain
  // waits as a terminal's does.
  line.send = () => {
    if (line.outgoingCount === 0) return;
    const bytes = line.outgoing.slice(0, line.outgoingCount);
    line.outgoingCount = 0;
    if (line.lost) return;
    const now = performance.now();
    line.wireFreeMs = Math.max(line.wireFreeMs, now) + bytes.length * 10 * 1000 / line.speed;
    ++line.writesOut;
    line.writer.write(bytes).then(
        () => {
          --line.writesOut;
          Module.quorelWake();
        },
        () => {
          --line.writesOut;
          line.lose();
        });
  };
  Module.quorelSenders.add(line.send);
  line.lose = () => {
    line.lost = true;
    Module.quorelWake();
  };
  line.onDisconnect = (event) => {
    if (event.target === port) line.lose();
  };
  navigator.serial.addEventListener('disconnect', line.onDisconnect);
  port.addEventListener('disconnect', line.onDisconnect);
  // Errors of the line itself (a break, a framing, parity or overrun error) end one reader
  // only: the port goes on with a new stream. Any other error, or a stream that ends without
  // this program cancelling it, means the port is gone.
  const lineErrors = ['BreakError', 'FramingError', 'ParityError', 'BufferOverrunError'];
  line.reading = (async () => {
    while (!line.closing && !line.lost) {
      const readable = port.readable;
      if (!readable) {
        line.lose();
        break;
      }
      const reader = readable.getReader();
      line.reader = reader;
      let ended = false;
      try {
        for (;;) {
          const result = await reader.read();
          if (result.done) {
            ended = true;
            break;
          }
          if (result.value && result.value.length > 0) {
            line.chunks.push(new Uint8Array(result.value));
            line.pending += result.value.length;
            Module.quorelWake();
          }
        }
      } catch (e) {
        if (!line.closing && !(e && lineErrors.includes(e.name))) line.lose();
      } finally {
        line.reader = null;
        try { reader.releaseLock(); } catch (ignored) {}
      }
      if (ended && !line.closing) line.lose();
    }
  })();
  Module.quorelLines = Module.quorelLines || {};
  Module.quorelNextLine = (Module.quorelNextLine || 0) + 1;
  Module.quorelLines[Module.quorelNextLine] = line;
  return Module.quorelNextLine;
});

// Gathers the bytes for the port's writer. They go out in one write() when the program next
// waits (every wait of the program sends what its lines have gathered first: nothing leaves
// the page before the program gives the browser its turn anyway) or once 1024 bytes are
// gathered.
EM_JS(void, quorel_web_serial_write, (int id, const uint8_t* data, size_t count), {
  const line = Module.quorelLines[id];
  if (!line || line.lost) return;
  let at = 0;
  while (at < count) {
    const take = Math.min(count - at, line.outgoing.length - line.outgoingCount);
    line.outgoing.set(HEAPU8.subarray(data + at, data + at + take), line.outgoingCount);
    line.outgoingCount += take;
    at += take;
    if (line.outgoingCount === line.outgoing.length) line.send();
  }
});

EM_JS(size_t, quorel_web_serial_read, (int id, uint8_t* destination, size_t count), {
  const line = Module.quorelLines[id];
  if (!line) return 0;
  let taken = 0;
  while (taken < count && line.chunks.length > 0) {
    const chunk = line.chunks[0];
    const take = Math.min(count - taken, chunk.length);
    HEAPU8.set(chunk.subarray(0, take), destination + taken);
    taken += take;
    if (take === chunk.length) {
      line.chunks.shift();
    } else {
      line.chunks[0] = chunk.subarray(take);
    }
  }
  line.pending -= taken;
  return taken;
});

EM_JS(size_t, quorel_web_serial_pending, (int id), {
  const line = Module.quorelLines[id];
  return line ? line.pending : 0;
});

EM_JS(int, quorel_web_serial_lost, (int id), {
  const line = Module.quorelLines[id];
  return line && line.lost ? 1 : 0;
});

// Waits until received bytes wait, the port is lost, Stop is pressed or ms have passed.
EM_ASYNC_JS(void, quorel_web_serial_wait, (int id, double ms), {
  const line = Module.quorelLines[id];
  if (!line) return;
  await Module.quorelWait(ms, () => line.pending > 0 || line.lost, true);
});

// Waits until the browser has taken every byte written and their wire time has passed, or the
// port is lost. Stop does not cut it short: the last bytes of a run cut short (the rest of a
// block, the leave command) must still go out. An adapter that has not taken the bytes 2 s
// after their wire time takes none any more: the port is lost.
EM_ASYNC_JS(void, quorel_web_serial_drain, (int id), {
  const line = Module.quorelLines[id];
  if (!line) return;
  line.send();
  const limit = Math.max(0, line.wireFreeMs - performance.now()) + 2000;
  await Module.quorelWait(limit, () => line.writesOut === 0 || line.lost, false);
  if (line.writesOut > 0) line.lose();
  const left = line.wireFreeMs - performance.now();
  if (left > 0 && !line.lost) await Module.quorelWait(left, null, false);
});

// Lets go of the port: output drained, the reader cancelled, both streams released, closed.
EM_ASYNC_JS(void, quorel_web_serial_close, (int id), {
  const line = Module.quorelLines[id];
  if (!line) return;
  delete Module.quorelLines[id];
  Module.quorelSenders.delete(line.send);
  line.closing = true;
  navigator.serial.removeEventListener('disconnect', line.onDisconnect);
  line.port.removeEventListener('disconnect', line.onDisconnect);
  // A step the browser never completes (a failed adapter) is given up after 1 s.
  const settle = (promise) => new Promise((resolve) => {
    const timer = Module.quorelTimers.set(1000, resolve);
    promise.then(() => {}, () => {}).then(() => {
      Module.quorelTimers.clear(timer);
      resolve();
    });
  });
  if (line.reader) await settle(line.reader.cancel());
  await settle(line.reading);
  try { line.writer.releaseLock(); } catch (ignored) {}
  try {
    await settle(line.port.close());
  } catch (ignored) {}
});

class WebSerialLine : public SerialLine {
 public:
  explicit WebSerialLine(int id) : id_(id) {}
  ~WebSerialLine() override {
    DrainOutput();
    quorel_web_serial_close(id_);
  }
  WebSerialLine(const WebSerialLine&) = delete;
  WebSerialLine& operator=(const WebSerialLine&) = delete;

  void Write(const uint8_t* data, size_t count) override {
    quorel_web_serial_write(id_, data, count);
  }
  size_t Read(uint8_t* destination, size_t count) override {
    return quorel_web_serial_read(id_, destination, count);
  }
  size_t BytesPending() override { return quorel_web_serial_pending(id_); }
  void DrainOutput() override { quorel_web_serial_drain(id_); }
  bool Lost() const override { return quorel_web_serial_lost(id_) != 0; }
  // The browser wakes the wait when bytes arrive, so it blocks rather than looks.
  void WaitForInput(uint64_t timeoutNs, Clock&) override {
    quorel_web_serial_wait(id_, static_cast<double>(timeoutNs) / 1e6);
    TakePageStop();
  }
  // The browser has no low-latency setting for a page; it hands bytes on as they come.
  void RequestLowLatency() override {}
  // The browser does not say what rate the adapter applied.
  uint32_t AppliedSpeed() const override { return 0; }

 private:
  int id_;
};

}  // namespace

WebSerialDevices::WebSerialDevices(std::function<void(const std::string&)> reportError)
    : MappedSerialDevices(std::move(reportError)) {}

std::string WebSerialDevices::ListPorts() {
  return "The browser lists the serial ports in its port chooser when you press Connect.\n";
}

std::vector<std::string> WebSerialDevices::PortCandidates() {
  if (quorel_web_port_chosen() == 0) return {};
  return {PathFor(nullptr)};
}

std::string WebSerialDevices::PathFor(const char*) const {
  char label[80] = {};
  quorel_web_port_label(label, sizeof label);
  return label;
}

OpenResult WebSerialDevices::Open(const char* portName, int32_t lineSpeed, int32_t,
                                  std::unique_ptr<SerialLine>* line) {
  line->reset();
  if (portName == nullptr) return kOpenNoName;
  char reason[300] = {};
  const int id = quorel_web_serial_open(lineSpeed, reason, sizeof reason);
  TakePageStop();
  if (id <= 0) {
    Report(kReportPrefix + PathFor(portName) + ": " + reason);
    return static_cast<OpenResult>(-id);
  }
  OpenSucceeded();
  *line = std::make_unique<WebSerialLine>(id);
  return kOpenOk;
}

}  // namespace quorel
