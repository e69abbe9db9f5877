// The harness itself, against a page of its own (fixture/index.html): the bridge opens the
// unit's line at the page's speed as the updater would, so a wrong speed loses the reply; a
// pulled device fails the page's streams and fires 'disconnect' where the page listens.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const h = require('./harness');

test('the bridge and the serial stand-in', async (t) => {
  const bridge = await startBridgeOnFixture();
  const browser = await h.launchBrowser();
  t.after(async () => { await browser.close(); await bridge.stop(); });

  await t.test('a reply at the unit\'s speed arrives; at another speed it is lost', async () => {
    const unit = await h.startUnit();
    const page = await h.openPage(browser, bridge, unit.device);
    assert.deepStrictEqual(await page.evaluate(() => window.exchange(9600, 'E', 1000)), { got: 'Ok', outcome: 'read' });
    assert.deepStrictEqual(await page.evaluate(() => window.exchange(19200, 'E', 1000)), { got: '', outcome: 'read' });
    assert.deepStrictEqual(await bridge.log(unit.device), [
      'open baudRate=9600 dataBits=8 stopBits=1 parity=none flowControl=none',
      'signals dataTerminalReady=false requestToSend=false',
      'close',
      'open baudRate=19200 dataBits=8 stopBits=1 parity=none flowControl=none',
      'signals dataTerminalReady=false requestToSend=false',
      'close',
    ]);
    const after = await unit.stop();
    // The unit heard "E" once: the second went at a speed it does not listen at.
    assert.match(after.closing, /^stopped: 1 commands taken, 1 bytes;/);
    assert.deepStrictEqual(page.problems, []);
  });

  await t.test('a pulled device errors the read and fires disconnect on the port and on navigator.serial', async () => {
    const unit = await h.startUnit();
    const page = await h.openPage(browser, bridge, unit.device);
    const exchange = page.evaluate(() => window.exchange(9600, 'E', 10000));
    // "Ok" comes back before the pull; the read that waits for more fails.
    await new Promise((resolve) => setTimeout(resolve, 1500));
    assert.strictEqual(await bridge.pull(unit.device), '1\n');
    const result = await exchange;
    assert.deepStrictEqual(result, { got: 'Ok', outcome: 'NetworkError: The device has been lost.' });
    assert.deepStrictEqual(await page.evaluate(() => window.events), ['port', 'serial:true']);
    // A port whose device is gone stays open until the page closes it.
    const reopen = await page.evaluate(() => window.port.open({ baudRate: 9600 }).then(() => 'opened', (e) => e.name));
    assert.strictEqual(reopen, 'InvalidStateError');
    await unit.stop();
  });
});

async function startBridgeOnFixture() {
  return h.startBridge(path.join(__dirname, 'fixture'));
}
