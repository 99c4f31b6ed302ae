// The button that the plug-in adds to kestrum-host's explorer.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { after, before, describe, it } = require('node:test');

const KestrumHost = require('./KestrumHost.js');
const { launch, screenshot } = require('./Browser.js');

const skip = KestrumHost.configured() ? false : 'KESTRUM_HOST and QUELBY_PLUGIN are not set (CTest sets them)';

describe('explorer extension in kestrum-host', { skip, concurrency: false }, () => {
  let host;
  let browser;

  before(async () => {
    host = await KestrumHost.start();
    browser = await launch();
  });

  after(async () => {
    if (browser) {
      await browser.close();
    }
    if (host) {
      // Kept for a look after a failure.
      fs.mkdirSync(path.join(__dirname, 'output'), { recursive: true });
      fs.writeFileSync(path.join(__dirname, 'output', 'ExplorerExtension-host.log'), host.logText());
      const status = await host.stop();
      assert.deepEqual(status, { code: 0, signal: null }, 'kestrum-host did not stop cleanly');
    }
  });

  it('adds one button after the lookup result, however often the page shows', async () => {
    const page = await browser.context.newPage();
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    await page.goto(host.explorerUrl);

    const block = page.locator('fieldset#open-dicomweb-client');
    await block.waitFor();

    // Show the lookup page a second time.
    await page.evaluate(() => {
      $(':mobile-pagecontainer').pagecontainer('change', '#lookup', { allowSamePageTransition: true });
    });
    await page.waitForFunction(() => $('#lookup').hasClass('ui-page-active'));
    await page.waitForTimeout(300);

    assert.equal(await page.locator('#open-dicomweb-client').count(), 1);
    assert.equal(await block.evaluate((e) => e.previousElementSibling.id), 'lookup-result');
    assert.equal(await block.evaluate((e) => e.className.split(/\s+/).includes('ui-grid-b')), true);
    assert.equal(await block.locator('.ui-block-a').innerText(), '');

    const button = block.locator('.ui-block-b a');
    assert.equal((await button.innerText()).trim(), 'Configure Quelby Cloud');
    assert.equal(await button.getAttribute('data-role'), 'button');
    assert.equal(await button.getAttribute('data-icon'), 'forward');
    assert.equal(await button.getAttribute('data-theme'), 'a');
    await screenshot(page, 'host-explorer');

    await Promise.all([page.waitForURL(/\/plugins\/quelby-cloud\/app\/index\.html$/), button.click()]);
    await page.locator('main').waitFor({ state: 'visible' });
    assert.equal(await page.title(), 'Quelby Cloud plugin');
    assert.deepEqual(errors, []);
    await page.close();
  });
});
