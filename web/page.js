// The page around the program (appended to quorel-update.js, after its loader QuorelUpdate).
// Each run is a fresh instance of the program, given the port the owner chose and the command
// line the page's controls stand for; its console text goes to the panel unchanged.
(() => {
  'use strict';
  // Loaded outside a page (the release test runs the program under Node): the program alone.
  if (typeof document === 'undefined') return;

  const $ = (id) => document.getElementById(id);
  const run = { state: 'idle', status: null };
  window.quorelRun = run;

  const kTracePath = 'quorel-trace.txt';
  const kConfigPath = 'quorel-config.bin';

  // Timers of a worker: a page's own timers are slowed down to once a second (later once a
  // minute) while its tab is hidden, a worker's are not.
  function makeTimers() {
    try {
      const source =
          'const timers = new Map();' +
          'onmessage = (e) => {' +
          '  const [what, id, ms] = e.data;' +
          '  if (what === "set") {' +
          '    timers.set(id, setTimeout(() => { timers.delete(id); postMessage(id); }, ms));' +
          '  } else {' +
          '    clearTimeout(timers.get(id)); timers.delete(id);' +
          '  }' +
          '};';
      const worker = new Worker(URL.createObjectURL(new Blob([source], { type: 'text/javascript' })));
      const callbacks = new Map();
      let next = 0;
      worker.onmessage = (e) => {
        const callback = callbacks.get(e.data);
        if (callback) {
          callbacks.delete(e.data);
          callback();
        }
      };
      return {
        set(ms, callback) {
          const id = ++next;
          callbacks.set(id, callback);
          worker.postMessage(['set', id, ms]);
          return id;
        },
        clear(id) {
          if (callbacks.delete(id)) worker.postMessage(['clear', id]);
        }
      };
    } catch (e) {
      return { set: (ms, callback) => setTimeout(callback, ms), clear: (id) => clearTimeout(id) };
    }
  }
  const timers = makeTimers();

  // The program, compiled once; every run instantiates it afresh.
  let compiled = null;
  async function programInstance(hooks) {
    if (compiled === null) {
      const response = await fetch('quorel-update.wasm');
      if (!response.ok) throw new Error('quorel-update.wasm: HTTP ' + response.status);
      compiled = await WebAssembly.compile(await response.arrayBuffer());
    }
    const module = compiled;
    return QuorelUpdate(Object.assign({
      quorelTimers: timers,
      instantiateWasm(imports, receive) {
        WebAssembly.instantiate(module, imports).then((instance) => receive(instance, module));
        return {};
      },
      print: (text) => console.log(text),
      printErr: (text) => console.warn(text),
      quorelPrint() {},
      quorelError() {},
      quorelPlanned() {},
      quorelProgress() {},
      quorelOnKeyWanted() {}
    }, hooks));
  }

  // Console bytes as characters, one for one.
  const textOf = (bytes) => {
    let text = '';
    for (let i = 0; i < bytes.length; i += 8192) {
      text += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
    }
    return text;
  };

  function commandLine() {
    const args = ['-s' + $('speed').value];
    if ($('fast').checked) args.push('--fast');
    if ($('identify').checked) args.push('--identify');
    if ($('trace').checked) args.push('--trace', kTracePath);
    if ($('save-config').checked) args.push('--save-config', kConfigPath);
    return args;
  }
  function showCommand() {
    $('command').textContent = 'The same as the terminal program\'s: quorel-update --port PORT ' +
        commandLine().join(' ');
  }

  function formatDuration(ms) {
    const seconds = Math.max(0, Math.round(ms / 1000));
    if (seconds < 60) return seconds + ' s';
    return Math.floor(seconds / 60) + ' min ' + String(seconds % 60).padStart(2, '0') + ' s';
  }

  // The state of one run.
  let current = null;
  let consoleNode = null;
  let plan = null;
  let blocksDone = 0;
  const downloads = [];

  function setRunning(running) {
    for (const id of ['connect', 'speed', 'fast', 'identify', 'trace', 'save-config']) {
      $(id).disabled = running;
    }
    $('stop').disabled = !running;
  }

  function showAnswers(waiting) {
    const text = consoleNode ? consoleNode.data : '';
    const lastLine = text.slice(text.lastIndexOf('\n') + 1);
    const question = waiting && /\(y\/n\)\s*$/.test(lastLine);
    $('yes').hidden = !question;
    $('no').hidden = !question;
    $('key').hidden = !waiting || question;
    $('answer-hint').hidden = !waiting;
    if (waiting) (question ? $('yes') : $('key')).focus();
  }

  function press(code) {
    if (current && current.quorelPressKey(code)) showAnswers(false);
  }

  function showProgress() {
    if (plan === null) return;
    const done = Math.min(blocksDone, plan.total);
    $('progress').max = plan.total;
    $('progress').value = done;
    $('progress-text').textContent = 'Blocks written: ' + done + ' of ' + plan.total +
        ', about ' + formatDuration(plan.leftMs[done]) + ' left';
  }

  function offerFile(linkId, instance, path) {
    const link = $(linkId);
    let data = null;
    try {
      if (instance.FS.analyzePath(path).exists) data = instance.FS.readFile(path);
    } catch (e) {
      data = null;
    }
    if (data === null) return;
    const url = URL.createObjectURL(new Blob([data], { type: 'application/octet-stream' }));
    downloads.push(url);
    link.href = url;
    link.hidden = false;
  }

  function outcomeText(status, flashed) {
    if (flashed) return 'The update completed: the unit was told to flash its new firmware.';
    if (status === 130) return 'The run was stopped.';
    if (status === 1) return 'The run ended (see the panel: identified, refused or declined).';
    return 'The unit was not updated (see the panel for why).';
  }

  async function start(port) {
    for (const url of downloads.splice(0)) URL.revokeObjectURL(url);
    for (const id of ['download-trace', 'download-config', 'download-config-text', 'power-cycle',
                      'outcome', 'progress-row']) {
      $(id).hidden = true;
    }
    $('messages').textContent = '';
    $('console').textContent = '';
    consoleNode = document.createTextNode('');
    $('console').appendChild(consoleNode);
    plan = null;
    blocksDone = 0;
    run.status = null;
    run.state = 'running';
    $('status').textContent = 'Running…';
    setRunning(true);

    let status = null;
    let failure = null;
    let instance = null;
    try {
      instance = await programInstance({
        quorelPort: port,
        quorelPrint(bytes) {
          const panel = $('console');
          const atEnd = panel.scrollTop + panel.clientHeight >= panel.scrollHeight - 4;
          consoleNode.appendData(textOf(bytes));
          if (atEnd) panel.scrollTop = panel.scrollHeight;
        },
        quorelError(line) {
          $('messages').textContent += line + '\n';
        },
        quorelPlanned(total, leftMs) {
          plan = { total: total, leftMs: leftMs };
          $('progress-row').hidden = false;
          showProgress();
        },
        quorelProgress(done) {
          blocksDone = done;
          showProgress();
        },
        quorelOnKeyWanted: showAnswers
      });
      current = instance;
      status = await instance.ccall('quorel_web_run', 'number', ['string'],
                                    [commandLine().join('\n')], { async: true });
    } catch (e) {
      failure = e;
    }
    current = null;
    showAnswers(false);
    if (instance !== null) {
      offerFile('download-trace', instance, kTracePath);
      offerFile('download-config', instance, kConfigPath);
      offerFile('download-config-text', instance, kConfigPath + '.txt');
    }
    const flashed = status === 1 && plan !== null && blocksDone >= plan.total;
    $('power-cycle').hidden = !flashed;
    if (plan !== null) {
      $('progress-text').textContent = 'Blocks written: ' + Math.min(blocksDone, plan.total) +
          ' of ' + plan.total + (flashed ? ', flash command sent' : '');
    }
    if (failure !== null) {
      $('outcome').textContent = 'The updater failed: ' + failure;
      $('status').textContent = 'Failed';
    } else {
      $('outcome').textContent = outcomeText(status, flashed);
      $('status').textContent = 'Exit status ' + status;
    }
    $('outcome').hidden = false;
    setRunning(false);
    run.status = status;
    run.state = 'ended';
  }

  async function connect() {
    if (run.state === 'running') return;
    let port;
    try {
      port = await navigator.serial.requestPort();
    } catch (e) {
      $('status').textContent = 'No port was chosen';
      return;
    }
    await start(port);
  }

  async function showPayload() {
    let text = '';
    const instance = await programInstance({
      quorelPrint(bytes) {
        text += textOf(bytes);
      }
    });
    await instance.ccall('quorel_web_run', 'number', ['string'], ['--version'], { async: true });
    const firmware = /firmware: (.+?) release ([0-9a-f]+)/.exec(text);
    const updater = /^quorel-update (\S+)/.exec(text);
    $('payload').textContent = firmware
        ? 'Firmware release ' + firmware[2] + ' for the ' + firmware[1].trim() +
          (updater ? ' (updater ' + updater[1] + ')' : '')
        : text.trim();
  }

  function checkBrowser() {
    let problem = '';
    if (!window.isSecureContext) {
      problem = 'This page must be opened over https (or from localhost) to reach serial ports.';
    } else if (!('serial' in navigator)) {
      problem = 'This browser cannot reach serial ports (it has no Web Serial). Use Chrome, Edge or ' +
          'Opera on Windows, macOS, Linux or ChromeOS.';
    }
    if (problem) {
      $('unsupported').textContent = problem;
      $('unsupported').hidden = false;
    }
    return !problem;
  }

  function init() {
    showCommand();
    for (const id of ['speed', 'fast', 'identify', 'trace', 'save-config']) {
      $(id).addEventListener('change', showCommand);
    }
    $('connect').addEventListener('click', connect);
    $('stop').addEventListener('click', () => {
      if (current) current.quorelStop();
      $('stop').disabled = true;
    });
    $('yes').addEventListener('click', () => press(0x79));
    $('no').addEventListener('click', () => press(0x6e));
    $('key').addEventListener('click', () => press(0x0d));
    document.addEventListener('keydown', (e) => {
      if (!current || !current.quorelKeyWaiting || e.ctrlKey || e.metaKey || e.altKey) return;
      let code = null;
      if (e.key.length === 1) code = e.key.charCodeAt(0) & 0xff;
      else if (e.key === 'Enter') code = 0x0d;
      else if (e.key === 'Escape') code = 0x1b;
      if (code === null) return;
      e.preventDefault();
      press(code);
    });
    window.addEventListener('beforeunload', (e) => {
      if (run.state !== 'running') return;
      e.preventDefault();
      e.returnValue = '';
    });
    const usable = checkBrowser();
    showPayload().then(() => {
      $('status').textContent = 'Ready';
      $('connect').disabled = !usable;
    }, (e) => {
      $('payload').textContent = 'The updater could not be loaded: ' + e;
      $('status').textContent = 'Not loaded';
    });
  }

  if (document.readyState === 'loading') {
    document.addEventListener('DOMContentLoaded', init);
  } else {
    init();
  }
})();
