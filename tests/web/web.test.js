// The updater's page in headless Chromium against the simulated unit: the real page, the real
// build and the real simulator, with only navigator.serial standing in (it reaches the unit's
// pseudo-terminal through quorel-web-bridge). The console panel is judged against the terminal
// program's console for the same unit and options, the unit's memory against the payload's
// image files, and the port's opens against the line settings every open must have.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./harness');

const kPrompt = '\nPress a key to exit program';
const kOpen = / dataBits=8 stopBits=1 parity=none flowControl=none$/;
const kSignals = 'signals dataTerminalReady=false requestToSend=false';
// A whole run of the page; on a loaded 2-core machine a full update took over 4 minutes.
const kRunMs = 900000;

// Each case's unit (quorel-sim options) and options (the page's controls, and the same as the
// terminal program's command line), the keys the terminal program reads, and the exit status
// the run ends with.
const kDefaultUnit = [];  // QuorelPro on 042303, records in the oldest layout: converted
const cases = {
  full: { unit: kDefaultUnit, page: { fast: true }, args: ['--fast'], status: 1 },
  ladder: { unit: ['--silent-speeds', '28800,14400'], page: { identify: true }, args: ['--identify'], status: 1 },
  refused: { unit: ['--model', 'base', '--release', '042303'], page: {}, args: [], status: 1 },
  declined: { unit: ['--checksum', '123456'], page: { speed: '1' }, args: ['-s1'], keys: 'n', status: 1 },
  absent: { unit: ['--absent'], page: { speed: '2' }, args: ['-s2'], status: 0 },
  identify: { unit: kDefaultUnit, page: { identify: true }, args: ['--identify'], status: 1 },
};

// The terminal program's runs, one after another while the browser's cases run; each case
// awaits its own. They are the reference, so a run that did not end as the case does (a
// machine so loaded that a reply wait ran out) is run again, up to three times.
const terminal = {};
let previous = Promise.resolve();
for (const [name, c] of Object.entries(cases)) {
  terminal[name] = previous.then(async () => {
    let result;
    for (let attempt = 0; attempt < 3; ++attempt) {
      result = await h.runTerminalProgram(c.unit, c.args, c.keys || '');
      if (result.status === c.status) break;
    }
    assert.strictEqual(result.status, c.status, `the terminal program's ${name} run:\n${result.console}`);
    return result;
  });
  terminal[name].catch(() => {});
  previous = terminal[name].catch(() => {});
}

// Sets the page's controls, presses Connect and answers the questions and the final key as
// answers says, until the run has ended. Gives back what was answered.
async function runPage(page, options, answers = {}, until = null, ready = null) {
  await page.waitForFunction(() => !document.getElementById('connect').disabled, { timeout: 60000 });
  if (ready) await ready(page);
  await page.select('#speed', options.speed || '0');
  for (const box of ['fast', 'identify']) {
    const checked = await page.$eval(`#${box}`, (e) => e.checked);
    if (checked !== Boolean(options[box])) await page.click(`#${box}`);
  }
  await page.click('#connect');
  if (until) await until(page);
  const answered = [];
  const deadline = Date.now() + kRunMs;
  for (;;) {
    const wanted = await page.waitForFunction(() => {
      const shown = (id) => document.getElementById(id).checkVisibility();
      if (window.quorelRun.state === 'ended') return 'ended';
      if (shown('yes') && shown('no')) return 'question';
      if (shown('key')) return 'key';
      return false;
    }, { timeout: Math.max(1, deadline - Date.now()), polling: 50 }).catch(async (error) => {
      throw new Error(`${error.message}; the panel ends:\n${(await panel(page)).slice(-400)}`);
    });
    const what = await wanted.jsonValue();
    if (what === 'ended') break;
    const button = what === 'question' ? answers.question : 'key';
    assert.ok(button, `the page asked a question the case does not answer:\n${await panel(page)}`);
    answered.push(button);
    await page.click(`#${button}`);
    await page.waitForFunction((id) => !document.getElementById(id).checkVisibility() ||
      window.quorelRun.state === 'ended', { timeout: 10000, polling: 50 }, button);
  }
  return answered;
}

// A converting run names the settings copy it keeps (its folder and time differ between the page
// and the terminal program): the path is shown as <copy> on both sides.
const hideCopy = (text) =>
  text.replace(/(Copy of the settings kept in |--restore-config )[^\n]*/g, '$1<copy>');
const panel = async (page) => hideCopy(await page.$eval('#console', (e) => e.textContent));
const run = (page) => page.evaluate(() => ({ ...window.quorelRun }));
const statusText = (page) => page.$eval('#status', (e) => e.textContent.trim());

// Every open has the line settings of the unit's line and is followed by the modem lines
// dropped; every open is closed (or lost) before the next. Gives back the speeds opened.
function checkOpens(log) {
  const speeds = [];
  let open = false;
  for (let i = 0; i < log.length; ++i) {
    if (log[i].startsWith('open')) {
      assert.ok(!open, `an open while the port was open: ${log.join(' | ')}`);
      assert.match(log[i], kOpen);
      assert.strictEqual(log[i + 1], kSignals, `after ${log[i]}`);
      speeds.push(Number(/baudRate=(\d+)/.exec(log[i])[1]));
      open = true;
    } else if (log[i] === 'close' || log[i].startsWith('lost')) {
      open = false;
    }
  }
  assert.ok(!open, `the port was left open: ${log.join(' | ')}`);
  return speeds;
}

// Compares len bytes of memory from unit address at with the file's bytes from offset.
function sameBytes(memory, at, file, offset, len) {
  const image = fs.readFileSync(path.join(h.root, 'data', 'payload', file));
  const a = memory.subarray(at, at + len);
  const b = image.subarray(offset, offset + len);
  assert.strictEqual(b.length, len, `${file} is shorter than expected`);
  const first = a.findIndex((v, i) => v !== b[i]);
  assert.strictEqual(first, -1, `unit memory at ${(at + first).toString(16)} differs from ${file}`);
}

function notFlashed(unit) {
  assert.match(unit.closing, /flashed: no;/);
  assert.doesNotMatch(unit.commands, /F5382/);
}

test('the page in a browser', { timeout: 3600000 }, async (t) => {
  const bridge = await h.startBridge();
  const browser = await h.launchBrowser();
  t.after(async () => { await browser.close(); await bridge.stop(); });

  // One unit, one page; gives back the page, its answers and the unit once it has stopped.
  // ready runs once the page can be used, until once Connect was pressed.
  async function onPage(c, answers, until = null, ready = null) {
    const unit = await h.startUnit(c.unit);
    const page = await h.openPage(browser, bridge, unit.device);
    try {
      const answered = await runPage(page, c.page, answers, until && ((p) => until(p, unit)), ready);
      return { page, answered, unit: await unit.stop(), log: await bridge.log(unit.device) };
    } catch (error) {
      await unit.stop();
      await page.close();
      throw error;
    }
  }

  await t.test('a full update with conversion shows the terminal program\'s console and flashes the payload', async () => {
    const before = (page) => page.screenshot({ path: path.join(h.screenshotDir, 'web-page-before.png') });
    const { page, answered, unit: after, log } = await onPage(cases.full, {}, null, before);
    await page.screenshot({ path: path.join(h.screenshotDir, 'web-page-after.png'), fullPage: true });
    const native = await terminal.full;

    assert.match(native.console, /\nSending SW update\.\.+\nSending HW update\.\.+\nVerifying\.\./);
    assert.strictEqual(await panel(page), native.console);
    assert.deepStrictEqual(answered, ['key']);
    assert.deepStrictEqual(await run(page), { state: 'ended', status: 1 });
    assert.strictEqual(await statusText(page), 'Exit status 1');
    assert.strictEqual(await page.$eval('#progress', (e) => e.value === e.max && e.max > 0), true);

    // The unit: both images where they belong, the converted configuration as the terminal
    // program wrote it into the same unit, the flash command last.
    sameBytes(after.memory, 0, 'sw_image.bin', 0, 0x4000);
    sameBytes(after.memory, 0x8000, 'sw_image.bin', 0x8000, 0x20732 - 0x8000);
    sameBytes(after.memory, 0x40000, 'hw_image.bin', 0, 0x2C01E);
    assert.ok(after.memory.subarray(0x4000, 0x8000).equals(native.unit.memory.subarray(0x4000, 0x8000)),
      'the configuration region differs from the terminal program\'s');
    assert.ok(!after.memory.subarray(0x4000, 0x8000).equals(Buffer.alloc(0x4000)), 'no configuration written');
    assert.match(after.closing, /flashed: yes/);
    assert.match(after.commands, /F5382\n$/);

    // The port: first contact at 9600, the configuration at 14400, the download at 28800.
    const speeds = checkOpens(log);
    assert.strictEqual(speeds[0], 9600);
    assert.deepStrictEqual([...new Set(speeds)].sort((a, b) => a - b), [9600, 14400, 28800]);
    // The blocks reach the port a block or so a write, not a byte a write: every write() is
    // a transfer of its own, and a byte a write made the page four times slower than the
    // terminal program. The update is some 300 KB.
    const writes = await page.evaluate(() => window.__serialWrites);
    const written = writes.reduce((sum, n) => sum + n, 0);
    assert.ok(written > 250000 && written > 32 * writes.length,
      `${written} bytes in ${writes.length} writes`);
    // The run's record is offered, and it is the record of this run.
    const trace = await page.$eval('#download-trace', async (e) => (e.checkVisibility() ? (await fetch(e.href)).text() : ''));
    assert.match(trace, /F5382/);
    assert.deepStrictEqual(page.problems, []);
    await page.close();
  });

  await t.test('the speed ladder steps down past the speeds the unit does not hear', async () => {
    const r = await onPage(cases.ladder, {});
    const native = await terminal.ladder;
    assert.strictEqual(await panel(r.page), native.console);
    assert.deepStrictEqual(await run(r.page), { state: 'ended', status: 1 });
    // 9600 for first contact; 28800 and 14400 tried and given up; 9600 again.
    const speeds = checkOpens(r.log);
    assert.deepStrictEqual(speeds, [9600, 28800, 14400, 9600]);
    // Each step down was told to the unit at the speed it was on.
    assert.match(r.unit.commands, /\n[\d.]+ 9600 B028800\n(.*\n)*[\d.]+ 28800 B014400\n(.*\n)*[\d.]+ 14400 B009600\n/);
    assert.match(r.unit.commands, /\n[\d.]+ 9600 X\n$/);
    notFlashed(r.unit);
    await r.page.close();
  });

  await t.test('a unit of the other model is refused', async () => {
    const r = await onPage(cases.refused, {});
    const native = await terminal.refused;
    assert.strictEqual(await panel(r.page), native.console);
    assert.match(native.console, /is for a QuorelPro|other model|QuorelPro/);
    assert.deepStrictEqual(await run(r.page), { state: 'ended', status: 1 });
    assert.deepStrictEqual(r.answered, ['key']);
    assert.doesNotMatch(r.unit.commands, / D/);
    notFlashed(r.unit);
    await r.page.close();
  });

  await t.test('the question declined ends the run with nothing written', async () => {
    const r = await onPage(cases.declined, { question: 'no' });
    const native = await terminal.declined;
    assert.match(native.console, /\(y\/n\)/);
    assert.strictEqual(await panel(r.page), native.console);
    assert.deepStrictEqual(r.answered, ['no', 'key']);
    assert.deepStrictEqual(await run(r.page), { state: 'ended', status: 1 });
    assert.doesNotMatch(r.unit.commands, / D|F5382/);
    // -s1: the negotiated speed is 14400.
    assert.ok(checkOpens(r.log).includes(14400));
    assert.ok(!checkOpens(r.log).includes(28800));
    await r.page.close();
  });

  await t.test('no unit: the page says what the terminal program says', async () => {
    const r = await onPage(cases.absent, {});
    const native = await terminal.absent;
    assert.match(native.console, /Quorel not in update mode/);
    assert.strictEqual(await panel(r.page), native.console);
    assert.deepStrictEqual(await run(r.page), { state: 'ended', status: 0 });
    assert.strictEqual(await statusText(r.page), 'Exit status 0');
    await r.page.close();
  });

  await t.test('Identify only reads, writes nothing and ends with X', async () => {
    const r = await onPage(cases.identify, {});
    const native = await terminal.identify;
    assert.strictEqual(await panel(r.page), native.console);
    assert.deepStrictEqual(await run(r.page), { state: 'ended', status: 1 });
    assert.doesNotMatch(r.unit.commands, / D|F5382| J|\d T\n| K\n/);
    assert.match(r.unit.commands, / X\n$/);
    assert.match(r.unit.closing, /flashed: no; left update mode: yes/);
    await r.page.close();
  });

  // The download under way: the given number of blocks written.
  const downloading = (blocks) => (page) => page.waitForFunction(
    (n) => Number(document.getElementById('progress').value) >= n, { timeout: kRunMs, polling: 50 }, blocks);

  await t.test('Stop mid-download completes the block, sends X and does not flash', async () => {
    const r = await onPage(cases.full, {}, async (page) => {
      await downloading(30)(page);
      await page.click('#stop');
    });
    const native = await terminal.full;
    const text = await panel(r.page);
    const ending = '\nInterrupted. The unit was not flashed. Update exiting\n';
    assert.ok(text.endsWith(ending), `the panel ends:\n${text.slice(-300)}`);
    const before = text.slice(0, -ending.length);
    assert.ok(before.includes('Sending SW update..'));
    assert.strictEqual(native.console.slice(0, before.length), before);
    assert.deepStrictEqual(await run(r.page), { state: 'ended', status: 130 });
    assert.deepStrictEqual(r.answered, []);
    assert.match(r.unit.commands, / X\n$/);
    assert.match(r.unit.closing, /flashed: no; left update mode: yes/);
    checkOpens(r.log);
    await r.page.close();
  });

  await t.test('an adapter gone mid-download ends the run without the flash', async () => {
    const r = await onPage(cases.full, {}, async (page, unit) => {
      await downloading(30)(page);
      assert.strictEqual(await bridge.pull(unit.device), '1\n');
    });
    const native = await terminal.full;
    const text = await panel(r.page);
    const ending = /\nThe serial port stopped working during the [\w ]+ \(block at [0-9A-F]{6}\)\.\nThe unit was not flashed\. Update exiting\n\nPress a key to exit program$/;
    assert.match(text, ending);
    const before = text.replace(ending, '');
    assert.ok(before.includes('Sending SW update..'));
    assert.strictEqual(native.console.slice(0, before.length), before);
    assert.deepStrictEqual(await run(r.page), { state: 'ended', status: 0 });
    assert.ok((await r.page.evaluate(() => window.__serialCalls)).includes('lost'));
    assert.ok(r.log.includes('lost (pulled)'));
    notFlashed(r.unit);
    await r.page.close();
  });
});
