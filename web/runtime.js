// Runs inside each instance of the program, before it starts: what the browser side of the
// program's clock, serial line and console share (src/os/*_web.cpp, src/console/console_web.cpp).
// Every wait of the program is one Module.quorelWait: it first hands the bytes the open serial
// lines have gathered to their writers, then ends when its time has passed, when its condition
// holds (checked again at every Module.quorelWake), or, when it may be stopped, at the page's
// Stop. The page gives the timers (Module.quorelTimers); a page that gives none gets the
// window's.

Module.quorelStopped = false;
Module.quorelKeys = [];
Module.quorelWaiters = new Set();
Module.quorelTimers = Module.quorelTimers || {
  set: (ms, callback) => setTimeout(callback, ms),
  clear: (timer) => clearTimeout(timer)
};

// The open lines' senders: each hands what the program wrote to its port's writer.
Module.quorelSenders = new Set();

Module.quorelWait = (ms, ready, stoppable) => new Promise((resolve) => {
  for (const send of Module.quorelSenders) send();
  const done = () => (ready !== null && ready()) || (stoppable && Module.quorelStopped);
  if (done()) {
    resolve();
    return;
  }
  let timer = null;
  const finish = () => {
    Module.quorelWaiters.delete(check);
    if (timer !== null) Module.quorelTimers.clear(timer);
    resolve();
  };
  const check = () => {
    if (done()) finish();
  };
  Module.quorelWaiters.add(check);
  if (Number.isFinite(ms)) timer = Module.quorelTimers.set(Math.max(0, ms), finish);
});

// Something a wait may be waiting for has happened (bytes arrived, a write finished, a key, the
// port lost, Stop).
Module.quorelWake = () => {
  for (const check of Array.from(Module.quorelWaiters)) check();
};

// The page's Stop: the same cancellation as Ctrl-C at a terminal.
Module.quorelStop = () => {
  Module.quorelStopped = true;
  Module.quorelWake();
};

// A key from the page, taken only while the program waits for one.
Module.quorelKeyWaiting = false;
Module.quorelKeyWanted = (waiting) => {
  Module.quorelKeyWaiting = waiting;
  if (Module.quorelOnKeyWanted) Module.quorelOnKeyWanted(waiting);
};
Module.quorelPressKey = (code) => {
  if (!Module.quorelKeyWaiting) return false;
  Module.quorelKeys.push(code);
  Module.quorelWake();
  return true;
};
