// The page's benchmark: the size of what a browser fetches, how long the page takes from
// navigation to a Connect button that works, and a full update's wall time in the page against
// the terminal program, both against a unit with real line timing (quorel-sim --pace), at the
// protocol's pace and with --fast. Prints its figures; judges nothing.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const zlib = require('node:zlib');
const h = require('./harness');

const kLoads = 7;

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

async function pageRun(browser, bridge, unitArgs, fast) {
  const unit = await h.startUnit(unitArgs);
  const page = await h.openPage(browser, bridge, unit.device);
  await page.waitForFunction(() => !document.getElementById('connect').disabled, { timeout: 60000 });
  if (fast) await page.click('#fast');
  const started = process.hrtime.bigint();
  await page.click('#connect');
  // The run's end is its final key: the time the owner takes to press it is not the run's.
  await page.waitForFunction(() => document.getElementById('key').checkVisibility() ||
    window.quorelRun.state === 'ended', { timeout: 900000, polling: 20 });
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  await page.click('#key');
  await page.waitForFunction(() => window.quorelRun.state === 'ended', { timeout: 60000 });
  const status = await page.evaluate(() => window.quorelRun.status);
  const after = await unit.stop();
  await page.close();
  return { seconds, status, flashed: /flashed: yes/.test(after.closing) };
}

async function terminalRun(unitArgs, fast) {
  const started = process.hrtime.bigint();
  // The terminal program reads its final key at end of input at once.
  const result = await h.runTerminalProgram(unitArgs, fast ? ['--fast'] : []);
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  return { seconds, status: result.status, flashed: /flashed: yes/.test(result.unit.closing) };
}

async function main() {
  console.log('page files (as served; gzip -9 for a host that compresses):');
  for (const file of fs.readdirSync(h.siteDir).sort()) {
    const bytes = fs.readFileSync(path.join(h.siteDir, file));
    const packed = zlib.gzipSync(bytes, { level: 9 }).length;
    console.log(`  ${file.padEnd(24)} ${String(bytes.length).padStart(9)} bytes  ${String(packed).padStart(9)} gzip`);
  }

  const bridge = await h.startBridge();
  const browser = await h.launchBrowser();
  try {
    // Load: navigation start to Connect enabled (the program fetched, compiled and asked for
    // the release it carries), each in a fresh page; the bridge sends no caching headers.
    const loads = [];
    const unit = await h.startUnit();
    for (let i = 0; i < kLoads; ++i) {
      const page = await h.openPage(browser, bridge, unit.device);
      await page.waitForFunction(() => !document.getElementById('connect').disabled, { timeout: 60000, polling: 5 });
      loads.push(await page.evaluate(() => performance.now()));
      await page.close();
    }
    await unit.stop();
    console.log(`load to Connect enabled: median ${median(loads).toFixed(0)} ms, ` +
      `min ${Math.min(...loads).toFixed(0)} ms, max ${Math.max(...loads).toFixed(0)} ms (${kLoads} loads)`);

    // A full update: QuorelPro on 042303, records converted, both images, real line timing.
    console.log('full update (QuorelPro 042303, conversion, both images), quorel-sim --pace,');
    console.log('to the final key:');
    console.log('pace        terminal s   page s  page/terminal  status  flashed');
    for (const fast of [false, true]) {
      const native = await terminalRun(['--pace'], fast);
      const web = await pageRun(browser, bridge, ['--pace'], fast);
      console.log(`${(fast ? '--fast' : 'protocol').padEnd(10)} ${native.seconds.toFixed(1).padStart(10)} ` +
        `${web.seconds.toFixed(1).padStart(8)} ${(web.seconds / native.seconds).toFixed(3).padStart(14)} ` +
        `${`${native.status}/${web.status}`.padStart(7)}  ${native.flashed && web.flashed ? 'both' : 'NOT BOTH'}`);
    }
  } finally {
    await browser.close();
    await bridge.stop();
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
