// The page served by the plug-in inside kestrum-host, talking to the real REST API.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { after, before, describe, it } = require('node:test');

const KestrumHost = require('./KestrumHost.js');
const { launch, screenshot, showsText } = require('./Browser.js');

const skip = KestrumHost.configured() ? false : 'KESTRUM_HOST and QUELBY_PLUGIN are not set (CTest sets them)';

describe('page served by the plug-in in kestrum-host', { skip, concurrency: false }, () => {
  let host;
  let browser;
  let page;
  const pageErrors = [];
  const dialogs = [];

  before(async () => {
    host = await KestrumHost.start();
    browser = await launch();
    page = await browser.context.newPage();
    page.on('pageerror', (error) => pageErrors.push(error.message));
    page.on('dialog', async (dialog) => {
      dialogs.push(dialog.message());
      await dialog.dismiss();
    });
    await page.goto(host.pageUrl);
    await waitForPage();
  });

  // Shown once the kinds are loaded; the status may come later.
  async function waitForPage() {
    await page.locator('main').waitFor({ state: 'visible' });
    await page.waitForFunction(() => {
      const pending = document.getElementById('stat-pending');
      return document.querySelector('.status-error') !== null ||
             (pending !== null && pending.textContent.trim() !== '');
    }, null, { timeout: 10000 });
  }


  after(async () => {
    if (browser) {
      await browser.close();
    }
    if (host) {
      // Kept for a look after a failure.
      fs.mkdirSync(path.join(__dirname, 'output'), { recursive: true });
      fs.writeFileSync(path.join(__dirname, 'output', 'PageHost-host.log'), host.logText());
      const status = await host.stop();
      assert.deepEqual(status, { code: 0, signal: null }, 'kestrum-host did not stop cleanly');
    }
    assert.deepEqual(pageErrors, []);
  });

  const shows = (selector, text) => showsText(page, selector, text);

  const testButton = () => page.locator('#test-button');
  const connectButton = () => page.locator('#connect-button');
  const status = async () => (await fetch(host.base + '/plugins/quelby-cloud/api/status')).json();

  it('loads every file of the page and lists the five kinds', async () => {
    assert.equal(await page.title(), 'Quelby Cloud plugin');
    const sections = await page.locator('.side-bar .nav-link').allInnerTexts();
    assert.deepEqual(sections.map((s) => s.trim()),
                     ['Destination', 'Options', 'Actions', 'Statistics', 'Anonymization']);

    // Every image and style sheet arrived (a broken image has no natural width).
    const brokenImages = await page.$$eval('img', (images) =>
      images.filter((i) => i.complete && i.naturalWidth === 0).map((i) => i.src));
    assert.deepEqual(brokenImages, []);
    const fontLoaded = await page.evaluate(() => document.fonts.check('14px FontAwesome'));
    assert.equal(fontLoaded, true);

    const radios = await page.locator('#destination .custom-radio label').allInnerTexts();
    assert.deepEqual(radios, ['Vexa Web publication portal by Quelby', 'Managed Kestrum server by Quelby',
                              'Corvad / Halminet by Quelby (soon)', 'Quelby partners']);
    const partners = await page.locator('#form-partner option').allInnerTexts();
    assert.deepEqual(partners, ['Choose your partner...', 'My AI partner (without anonymization) (soon)',
                                'My clinical study with some pharmaceutical firm (soon)']);
    assert.deepEqual(await page.locator('#destination form label.col-form-label').allInnerTexts(),
                     ['Service', 'URL', 'API key']);

    // No CA file configured: the certificates warning shows.
    await page.locator('.certificates-warning').waitFor();
    await screenshot(page, 'host-loaded');
  });

  it('shows the refusal of a portal test without URL', async () => {
    await page.locator('label[for="form-destination-0"]').click();
    await testButton().click();
    await page.locator('#test-button.btn-danger').waitFor();
    assert.equal((await page.locator('.test-error').innerText()).trim(), 'No URL was provided');
    assert.equal(await connectButton().isDisabled(), true);

    await page.locator('#form-parameter-0').fill('https://a.quelby.example');
    await page.locator('#form-parameter-1').fill('Bad key');
    await testButton().click();
    await page.locator('.test-error', { hasText: 'The API key is not well formed' }).waitFor();
    await screenshot(page, 'host-test-refused');
  });

  it('tests, connects and disconnects the "corvad" kind', async () => {
    await page.locator('label[for="form-destination-2"]').click();
    assert.equal((await testButton().innerText()).trim(), 'Test connection');
    await testButton().click();
    await page.locator('#test-button.btn-success, #test-button.btn-danger').waitFor();
    assert.equal((await testButton().innerText()).trim(), 'Success!');
    assert.equal(await connectButton().isEnabled(), true);

    await page.locator('#delivery-health.badge-secondary').waitFor();
    await connectButton().click();
    await page.getByRole('button', { name: 'Disconnect' }).waitFor();
    await page.locator('#delivery-health.badge-success', { hasText: 'Delivering' }).waitFor();
    const rows = await page.locator('.connected-server .server-row').allInnerTexts();
    assert.equal(rows[0].replace(/\s+/g, ' ').trim(), 'Service Corvad / Halminet by Quelby (soon)');
    assert.equal((await status()).ActiveServer.Description, 'Corvad / Halminet by Quelby (soon)');
    await screenshot(page, 'host-connected');

    await page.getByRole('button', { name: 'Disconnect' }).click();
    await connectButton().waitFor();
    assert.equal((await status()).ActiveServer, undefined);
  });

  it('applies the options', async () => {
    const before = await status();
    await page.locator('label[for="option-routing"]').click();
    await page.locator('label[for="option-deletion"]').click();
    await page.locator('#apply-button').click();
    const deadline = Date.now() + 5000;
    let after = await status();
    while (after.AutomatedRouting === before.AutomatedRouting && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 50));
      after = await status();
    }
    assert.equal(after.AutomatedRouting, !before.AutomatedRouting);
    assert.equal(after.AutomatedDeletion, !before.AutomatedDeletion);
    assert.equal(await page.locator('.options-error').count(), 0);

    // A new page shows the stored options.
    await page.reload();
    await waitForPage();
    assert.equal(await page.locator('#option-routing').isChecked(), after.AutomatedRouting);
    assert.equal(await page.locator('#option-deletion').isChecked(), after.AutomatedDeletion);
  });

  it('runs the three actions and refreshes the statistics', async () => {
    for (const label of ['Replay whole history', 'Force synchronization of whole history',
                         'Clear the pending synchronizations']) {
      const answer = page.waitForResponse((r) => r.request().method() === 'POST' && /\/api\//.test(r.url()));
      const reread = page.waitForResponse((r) => /\/api\/status\?/.test(r.url()));
      await page.getByRole('button', { name: label }).click();
      assert.equal((await answer).status(), 200, label);
      await reread;
    }
    assert.deepEqual(dialogs, []);

    const reread = page.waitForResponse((r) => /\/api\/status\?/.test(r.url()));
    await page.getByRole('button', { name: 'Refresh status' }).click();
    const current = await (await reread).json();
    await shows('#stat-success', String(current.InstancesSuccess));
    await shows('#stat-size', current.TransferedSizeMB + ' MB');
    await shows('#stat-pending', String(current.InstancesPending));
    await shows('#stat-error', String(current.InstancesError));
    await page.locator('#statistics').scrollIntoViewIfNeeded();
    await screenshot(page, 'host-statistics');
  });

  it('answers 404 and 405 for what it does not serve', async () => {
    const base = host.base + '/plugins/quelby-cloud/app/';
    assert.equal((await fetch(base + 'js/app.js')).status, 404);
    assert.equal((await fetch(base)).status, 404);
    assert.equal((await fetch(base + 'IMG/FAVICON-16X16.PNG')).status, 404);
    assert.equal((await fetch(base + 'index.html', { method: 'POST', body: '' })).status, 405);
    const script = await fetch(base + 'app.js');
    assert.equal(script.status, 200);
    assert.match(script.headers.get('content-type'), /^application\/javascript/);
  });
});
