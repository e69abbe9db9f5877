// What the browser tests share: the simulated unit (quorel-sim on a pseudo-terminal), the
// bridge that serves the page and the unit to the browser, headless Chromium with the serial
// stand-in put in the page, and the terminal program run against the same unit for the console
// text the page must show.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const puppeteer = require('puppeteer-core');

const root = path.resolve(__dirname, '..', '..');
// The native programs (quorel-sim, quorel-update, quorel-web-bridge) and the page's folder.
const buildDir = process.env.QUOREL_WEB_NATIVE_BUILD || path.join(root, 'build-webtest');
const siteDir = process.env.QUOREL_WEB_SITE || path.join(root, 'build-web', 'site');
const browserPath = process.env.QUOREL_WEB_BROWSER || '/usr/bin/chromium';
const workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorel-web-'));
// Where the tests keep the page's screenshots.
const screenshotDir = process.env.QUOREL_WEB_SCREENSHOTS || workDir;
fs.mkdirSync(screenshotDir, { recursive: true });

const standInSource = fs.readFileSync(path.join(__dirname, 'serial-stand-in.js'), 'utf8');

function program(name) {
  const file = path.join(buildDir, name);
  if (!fs.existsSync(file)) throw new Error(`${file} is missing: build it first (scripts/test-web.sh does)`);
  return file;
}

// The first line of a child's output that matches pattern, or an error when it ends first or
// takes longer than ms.
function firstLine(child, pattern, ms, what) {
  return new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: child.stdout });
    const timer = setTimeout(() => reject(new Error(`${what} said nothing in ${ms} ms`)), ms);
    lines.on('line', (line) => {
      const found = pattern.exec(line);
      if (found) {
        clearTimeout(timer);
        resolve(found[1]);
      }
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`${what} ended (status ${code}) before it was ready`));
    });
  });
}

function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(child.exitCode);
  return new Promise((resolve) => child.on('exit', (code) => resolve(code)));
}

let unitCount = 0;

// One simulated unit in update mode. stop() ends it and gives back its closing line, its memory
// (000000..06FFFF) and the commands it took.
async function startUnit(args = []) {
  const name = `unit${++unitCount}`;
  const memory = path.join(workDir, `${name}.memory`);
  const transcript = path.join(workDir, `${name}.transcript`);
  const child = spawn(program('quorel-sim'), [...args, '--memory', memory, '--transcript', transcript],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  const device = await firstLine(child, /^device: (.*)$/, 10000, 'quorel-sim');
  return {
    device,
    async stop() {
      child.kill('SIGTERM');
      await exited(child);
      return {
        closing: output.trim().split('\n').pop(),
        memory: fs.readFileSync(memory),
        commands: fs.readFileSync(transcript, 'latin1'),
      };
    },
  };
}

// The terminal program against a unit set up with unitArgs: its console (standard output as
// bytes, one character each), standard error, exit status, and the unit afterwards. Standard
// input holds keys (a closed one reads as end of input).
async function runTerminalProgram(unitArgs, updaterArgs, keys = '') {
  const unit = await startUnit(unitArgs);
  const child = spawn(program('quorel-update'), ['--port', unit.device, ...updaterArgs],
    { stdio: ['pipe', 'pipe', 'pipe'] });
  const out = [];
  const err = [];
  child.stdout.on('data', (chunk) => out.push(chunk));
  child.stderr.on('data', (chunk) => err.push(chunk));
  child.stdin.end(keys);
  const timer = setTimeout(() => child.kill('SIGKILL'), 600000);
  const status = await exited(child);
  clearTimeout(timer);
  return {
    console: Buffer.concat(out).toString('latin1')
      .replace(/(Copy of the settings kept in |--restore-config )[^\n]*/g, '$1<copy>'),
    errors: Buffer.concat(err).toString('latin1'),
    status,
    unit: await unit.stop(),
  };
}

// The bridge serving the page's folder; its url ends in '/'.
async function startBridge(folder = siteDir) {
  const child = spawn(program('quorel-web-bridge'), ['--root', folder], { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = await firstLine(child, /^(http:\/\/127\.0\.0\.1:\d+\/)$/, 10000, 'quorel-web-bridge');
  return {
    url,
    // A new unit's device: whatever an earlier unit on the same path left is forgotten.
    async reset(device) { await fetch(`${url}bridge/reset?device=${encodeURIComponent(device)}`); },
    async pull(device) { return (await fetch(`${url}bridge/pull?device=${encodeURIComponent(device)}`)).text(); },
    // What the page did to the device: open, signals, close, lost, one a line (times left out).
    async log(device) {
      const text = await (await fetch(`${url}bridge/log?device=${encodeURIComponent(device)}`)).text();
      return text.split('\n').filter(Boolean).map((line) => line.replace(/^\d+ /, ''));
    },
    async stop() {
      child.kill('SIGTERM');
      await exited(child);
    },
  };
}

// Headless Chromium from the system; nothing is downloaded.
async function launchBrowser() {
  if (!fs.existsSync(browserPath)) throw new Error(`${browserPath} is missing: scripts/setup.sh --tests installs chromium`);
  const userDataDir = fs.mkdtempSync(path.join(workDir, 'profile-'));
  return puppeteer.launch({
    executablePath: browserPath,
    headless: false,  // the flag below, as given
    userDataDir,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    protocolTimeout: 900000,
  });
}

// A page whose navigator.serial reaches device through the bridge; the page's script errors
// are collected in page.problems.
async function openPage(browser, bridge, device, file = 'index.html') {
  const page = await browser.newPage();
  page.problems = [];
  page.on('pageerror', (error) => page.problems.push(String(error)));
  page.on('requestfailed', (request) => page.problems.push(`failed: ${request.url()}`));
  await page.setViewport({ width: 1100, height: 900 });
  await bridge.reset(device);
  const config = { url: `${bridge.url.replace(/^http/, 'ws')}serial`, device };
  await page.evaluateOnNewDocument(`(${standInSource.trim().replace(/;$/, '')})(${JSON.stringify(config)});`);
  await page.goto(`${bridge.url}${file}`, { waitUntil: 'load' });
  return page;
}

module.exports = {
  root, buildDir, siteDir, workDir, screenshotDir, startUnit, runTerminalProgram, startBridge, launchBrowser, openPage,
};
