// The page's behaviour against a stand-in plug-in whose answers each test
// controls: failing calls, slow calls, missing certificates, odd kinds.
'use strict';

const assert = require('node:assert/strict');
const { after, before, beforeEach, afterEach, describe, it } = require('node:test');

const MockServer = require('./MockServer.js');
const { launch, screenshot, showsText } = require('./Browser.js');

describe('page against a stand-in plug-in', () => {
  let browser;
  let mock;
  let page;
  let pageErrors;
  let dialogs;

  before(async () => {
    browser = await launch();
  });

  after(async () => {
    await browser.close();
  });

  beforeEach(async () => {
    mock = await MockServer.start();
    page = await browser.context.newPage();
    pageErrors = [];
    dialogs = [];
    page.on('pageerror', (error) => pageErrors.push(error.message));
    page.on('dialog', async (dialog) => {
      dialogs.push(dialog.message());
      await dialog.dismiss();
    });
  });

  afterEach(async () => {
    await page.close();
    await mock.close();
    assert.deepEqual(pageErrors, []);
  });

  const apiCalls = (path, method) =>
    mock.state.calls.filter((c) => c.path === path && (!method || c.method === method));


  // Shown once the kinds are loaded; the status may come later.
  async function waitForPage() {
    await page.locator('main').waitFor({ state: 'visible' });
    await page.waitForFunction(() => {
      const pending = document.getElementById('stat-pending');
      return document.querySelector('.status-error') !== null ||
             (pending !== null && pending.textContent.trim() !== '');
    }, null, { timeout: 10000 });
  }

  async function open() {
    await page.goto(mock.url);
    await waitForPage();
  }

  async function waitForCalls(path, count) {
    const deadline = Date.now() + 5000;
    while (apiCalls(path).length < count) {
      if (Date.now() > deadline) {
        throw new Error(`expected ${count} calls of ${path}, got ${apiCalls(path).length}`);
      }
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
  }

  async function waitForDialog() {
    const deadline = Date.now() + 5000;
    while (dialogs.length === 0 && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
  }

  const shows = (selector, text) => showsText(page, selector, text);

  const testButton = () => page.locator('#test-button');
  const connectButton = () => page.locator('#connect-button');

  it('shows the page once the kinds are loaded, with both reads bypassing the cache', async () => {
    await open();
    assert.equal(await page.title(), 'Quelby Cloud plugin');

    const sections = await page.locator('.side-bar .nav-link').allInnerTexts();
    assert.deepEqual(sections.map((s) => s.trim()),
                     ['Destination', 'Options', 'Actions', 'Statistics', 'Anonymization']);
    for (const id of ['destination', 'options', 'actions', 'statistics', 'anonymization']) {
      assert.equal(await page.locator(`section#${id}`).count(), 1, id);
    }
    assert.equal((await page.locator('#anonymization .card-body').innerText()).trim(), 'Soon available.');

    const back = page.getByText('Back to Kestrum Explorer');
    assert.equal(await back.getAttribute('href'), '../../../');

    // jQuery's cache bypass adds a time stamp to the query.
    const requested = [];
    page.on('request', (r) => requested.push(r.url()));
    await page.reload();
    await waitForPage();
    const reads = requested.filter((u) => /\/api\/(status|destinations)\?/.test(u));
    assert.equal(reads.length, 2, requested.join('\n'));
    for (const u of reads) {
      assert.match(u, /[?&]_=\d+/);
    }
    await screenshot(page, 'mock-loaded');
  });

  it('keeps the page hidden behind an alert when the kinds cannot be loaded', async () => {
    mock.state.failing.add('/api/destinations');
    await page.goto(mock.url);
    await waitForDialog();
    assert.deepEqual(dialogs, ['Internal error, cannot load the plugin']);
    assert.equal(await page.locator('main').isVisible(), false);
  });

  it('offers the primary kinds as radio buttons and the others in the partners list', async () => {
    await open();
    const labels = await page.locator('#destination .custom-radio label').allInnerTexts();
    assert.deepEqual(labels, ['Vexa Web publication portal by Quelby', 'Managed Kestrum server by Quelby',
                              'Corvad / Halminet by Quelby (soon)', 'Quelby partners']);

    // The first primary kind is chosen, its parameters show, the list waits for "Quelby partners".
    assert.equal(await page.locator('#form-destination-0').isChecked(), true);
    const select = page.locator('#form-partner');
    assert.equal(await select.isDisabled(), true);
    const options = await select.locator('option').allInnerTexts();
    assert.deepEqual(options, ['Choose your partner...', 'My AI partner (without anonymization) (soon)',
                               'My clinical study with some pharmaceutical firm (soon)']);
    assert.equal(await select.locator('option').first().isDisabled(), true);

    assert.deepEqual(await page.locator('#destination form label.col-form-label').allInnerTexts(),
                     ['Service', 'URL', 'API key']);
    assert.equal(await page.locator('#form-parameter-0').getAttribute('placeholder'),
                 'URL to your instance of Vexa, must start with "https://"');

    // The managed server has a password field.
    await page.locator('label[for="form-destination-1"]').click();
    assert.equal(await page.locator('#form-parameter-4').getAttribute('type'), 'password');
    assert.equal(await page.locator('#form-parameter-2').getAttribute('type'), 'text');

    // Partners: nothing to fill in and no test until one is picked.
    await page.locator('label[for="form-destination-partners"]').click();
    assert.equal(await select.isEnabled(), true);
    assert.equal(await testButton().count(), 0);
    assert.equal(await page.locator('#destination form input.form-control').count(), 0);
    assert.equal(await connectButton().isDisabled(), true);

    await select.selectOption('pharma');
    assert.equal((await testButton().innerText()).trim(), 'Test connection');
    assert.equal(await page.locator('#form-parameter-7').count(), 1);
  });

  it('selects "Quelby partners" at load when no kind is primary', async () => {
    mock.state.destinations = mock.state.destinations.map((d) => Object.assign({}, d, { primary: false }));
    await open();
    assert.equal(await page.locator('#destination .custom-radio').count(), 1);
    assert.equal(await page.locator('#form-destination-partners').isChecked(), true);
    assert.equal(await page.locator('#form-partner').isEnabled(), true);
    assert.equal(await testButton().count(), 0);
    assert.equal(await connectButton().isDisabled(), true);
  });

  it('shows a refused test in red with the reason, sending only what was typed', async () => {
    await open();
    await page.locator('#form-parameter-1').fill('Api-Key abc');
    await testButton().click();

    await page.locator('#test-button.btn-danger').waitFor();
    const text = (await testButton().innerText()).replace(/\s+/g, ' ').trim();
    assert.equal(text, 'Cannot contact server Try again');
    assert.equal(await testButton().locator('.fa-long-arrow-right').count(), 1);
    assert.equal((await page.locator('.test-error').innerText()).trim(), 'No URL was provided');
    assert.equal(await connectButton().isDisabled(), true);
    assert.deepEqual(JSON.parse(apiCalls('/api/test-connection', 'POST')[0].body),
                     { 'api-key': 'Api-Key abc', id: 'vexa' });
    await screenshot(page, 'mock-test-refused');

    // Another service starts over; values typed for the first one stay in the parameters.
    await page.locator('label[for="form-destination-1"]').click();
    assert.equal((await testButton().innerText()).trim(), 'Test connection');
    assert.equal(await page.locator('.test-error').count(), 0);
    await page.locator('#form-parameter-2').fill('https://cloud.kestrum.example/');
    mock.state.failing.add('/api/test-connection');
    await testButton().click();
    await page.locator('#test-button.btn-danger').waitFor();
    assert.equal(await page.locator('.test-error').count(), 0, 'a failed request has no reason to show');
    assert.deepEqual(JSON.parse(apiCalls('/api/test-connection')[1].body),
                     { 'api-key': 'Api-Key abc', Url: 'https://cloud.kestrum.example/', id: 'kestrum-cloud' });
  });

  it('shows the waiting state while the server is contacted, then success enables Connect', async () => {
    await open();
    // Long enough for the checks below on a busy machine.
    mock.state.delays.set('/api/test-connection', 3000);
    await page.locator('label[for="form-destination-2"]').click();
    await testButton().click();

    await page.getByText('Contacting server...').waitFor();
    assert.equal(await testButton().locator('img[src="img/ajax-loader.gif"]').count(), 1);
    assert.equal(await connectButton().isDisabled(), true);
    await screenshot(page, 'mock-test-waiting');

    await page.locator('#test-button.btn-success').waitFor();
    assert.equal((await testButton().innerText()).trim(), 'Success!');
    assert.equal(await connectButton().isEnabled(), true);
    await screenshot(page, 'mock-test-success');
  });

  it('ignores the answer of a test abandoned for another service', async () => {
    await open();
    mock.state.delays.set('/api/test-connection', 1500);
    await page.locator('label[for="form-destination-2"]').click();
    const answered = page.waitForResponse((r) => r.url().endsWith('/api/test-connection'));
    await testButton().click();
    await page.getByText('Contacting server...').waitFor();
    await page.locator('label[for="form-destination-0"]').click();
    await answered;
    await page.waitForTimeout(100);   // let the page handle the late answer
    assert.equal((await testButton().innerText()).trim(), 'Test connection');
    assert.equal(await connectButton().isDisabled(), true);
  });

  it('connects, shows the active server, and disconnects', async () => {
    await open();
    await page.locator('#form-parameter-0').fill('https://a.vexa.example');
    await page.locator('label[for="form-destination-2"]').click();
    await testButton().click();
    await page.locator('#test-button.btn-success').waitFor();
    const statusReads = apiCalls('/api/status').length;
    await connectButton().click();

    await page.getByRole('button', { name: 'Disconnect' }).waitFor();
    assert.deepEqual(JSON.parse(apiCalls('/api/connect', 'POST')[0].body),
                     { Url: 'https://a.vexa.example', id: 'corvad' });
    assert.ok(apiCalls('/api/status').length > statusReads);
    const rows = await page.locator('.connected-server .server-row').allInnerTexts();
    assert.deepEqual(rows.map((r) => r.replace(/\s+/g, ' ').trim()),
                     ['Service Corvad / Halminet by Quelby (soon)', 'URL: https://a.vexa.example']);
    await screenshot(page, 'mock-connected');

    await page.getByRole('button', { name: 'Disconnect' }).click();
    await connectButton().waitFor();
    assert.equal(apiCalls('/api/disconnect', 'POST').length, 1);
    assert.equal((await testButton().innerText()).trim(), 'Test connection');
    assert.equal(await connectButton().isDisabled(), true);
  });

  it('shows the options of the status and saves both, with a red box while saving fails', async () => {
    mock.state.automatedRouting = true;
    await open();
    assert.equal(await page.locator('#option-routing').isChecked(), true);
    assert.equal(await page.locator('#option-deletion').isChecked(), false);
    assert.equal((await page.locator('label[for="option-routing"]').innerText()).trim(),
                 'Automated routing of newly received instances');
    assert.equal((await page.locator('label[for="option-deletion"]').innerText()).trim(),
                 'Automatically remove DICOM files after synchronization');

    // The side bar follows the scrolling.
    await page.evaluate(() => document.getElementById('options').scrollIntoView());
    await page.locator('.side-bar .nav-link.active', { hasText: 'Options' }).waitFor();
    assert.equal(await page.locator('.side-bar .nav-link.active').count(), 1);

    // A choice not applied yet survives the page's own refresh of the status.
    await page.locator('label[for="option-deletion"]').click();
    await page.waitForResponse((r) => /\/api\/status/.test(r.url()));
    await page.waitForTimeout(100);
    assert.equal(await page.locator('#option-deletion').isChecked(), true);
    mock.state.failing.add('/api/options');
    await page.locator('#apply-button').click();
    await page.getByText('Cannot save the options').waitFor();
    await screenshot(page, 'mock-options-failed');

    mock.state.failing.delete('/api/options');
    await page.locator('label[for="option-routing"]').click();
    await page.locator('#apply-button').click();
    await page.getByText('Cannot save the options').waitFor({ state: 'detached' });
    const bodies = apiCalls('/api/options', 'POST').map((c) => JSON.parse(c.body));
    assert.deepEqual(bodies, [{ AutomatedRouting: true, AutomatedDeletion: true },
                              { AutomatedRouting: false, AutomatedDeletion: true }]);
    assert.equal(mock.state.automatedRouting, false);
    assert.equal(mock.state.automatedDeletion, true);
  });

  it('shows the health of the delivery through an outage, refreshing by itself', async () => {
    await open();
    const badge = async (colour, text) => {
      await page.locator(`#delivery-health.badge-${colour}`).waitFor({ timeout: 6000 });
      assert.equal((await page.locator('#delivery-health').innerText()).trim(), text);
    };
    await badge('secondary', 'Not connected');

    const connected = { Connected: true, Health: 'ok', DeliveredInstances: 12, RateMBps: 3.456 };
    Object.assign(mock.state.delivery, connected);
    await badge('success', 'Delivering');
    await shows('#delivery-rate', '3.5 MB/s, 12 delivered');

    Object.assign(mock.state.delivery, { Health: 'retrying', NextRetrySeconds: 6.2, RetryInstances: 30,
      LastError: { Time: '2026-12-09T10:00:00Z', Text: 'HTTP 503 from the destination' } });
    await badge('warning', 'Retrying');
    await shows('#delivery-next', 'Next attempt in 7 s');
    assert.match(await page.locator('#delivery-last-error').innerText(), /HTTP 503 from the destination/);
    await screenshot(page, 'mock-delivery-retrying');

    const refused = { ID: 'i1', SOPInstanceUID: '1.2.3', Reason: 'HTTP 400 from the destination' };
    delete mock.state.delivery.NextRetrySeconds;
    Object.assign(mock.state.delivery, { Health: 'attention', Failed: [refused], FailedCount: 1, RetryInstances: 0 });
    await badge('danger', 'Needs attention');
    assert.equal((await page.locator('.delivery-failed td').allInnerTexts()).join(' | '),
                 '1.2.3 | HTTP 400 from the destination');
    await page.locator('#retry-failed-button').click();
    await page.locator('#delivery-failed').waitFor({ state: 'detached' });
    assert.equal(apiCalls('/api/retry-failed', 'POST').length, 1);

    mock.state.delivery.Health = 'ok';
    await badge('success', 'Delivering');
  });

  it('moves the replay progress bar as the history is read', async () => {
    await open();
    Object.assign(mock.state.delivery, { Connected: true, Health: 'ok', Activity: 'scanning',
                                         Replay: { Scanned: 100, Last: 1000 } });
    await page.locator('#delivery-replay .progress-bar[aria-valuenow="10"]').waitFor({ timeout: 6000 });
    mock.state.delivery.Replay = { Scanned: 600, Last: 1000 };
    await page.locator('#delivery-replay .progress-bar[aria-valuenow="60"]').waitFor({ timeout: 6000 });
    assert.match(await page.locator('#delivery-replay-text').innerText(), /^Replay: 600 of 1000 changes read, about .+ left$/);
    delete mock.state.delivery.Replay;
    await page.locator('#delivery-replay').waitFor({ state: 'detached', timeout: 6000 });
  });

  it('shows why the last connection test failed under the red button', async () => {
    mock.state.delivery.LastTestError = { Time: '2026-12-09T10:00:00Z',
                                          Text: 'cannot connect to a.vexa.example: unknown host' };
    await open();
    await page.locator('#form-parameter-0').fill('https://a.vexa.example');
    await page.locator('#form-parameter-1').fill('Api-Key abc');
    await testButton().click();
    await page.locator('#test-button.btn-danger').waitFor();
    await shows('#test-cause', 'cannot connect to a.vexa.example: unknown host');
    assert.equal(await page.locator('.test-error').count(), 0);
  });

  it('runs each action with an empty POST and reads the status again', async () => {
    await open();
    const actions = [['Replay whole history', '/api/replay'],
                     ['Force synchronization of whole history', '/api/force-replay'],
                     ['Clear the pending synchronizations', '/api/clear-pending']];
    for (const [label, path] of actions) {
      const before = apiCalls('/api/status').length;
      await page.getByRole('button', { name: label }).click();
      await waitForCalls('/api/status', before + 1);
      const calls = apiCalls(path, 'POST');
      assert.equal(calls.length, 1, path);
      assert.equal(calls[0].body, '', path);
    }
    // The replays queued six instances that the clear then dropped.
    await shows('#stat-pending', '0');

    mock.state.failing.add('/api/replay');
    await page.getByRole('button', { name: 'Replay whole history' }).click();
    await waitForDialog();
    assert.deepEqual(dialogs, ['Error during the action']);
  });

  it('reports the statistics, refreshes them, and warns about missing certificates or a broken plug-in', async () => {
    mock.state.hasCertificates = false;
    mock.state.pending = 4;
    mock.state.success = 12;
    mock.state.errors = 1;
    mock.state.bytes = 1.5 * 1048576;
    await open();

    const rows = await page.locator('.statistics-report tr').allInnerTexts();
    assert.deepEqual(rows.map((r) => r.replace(/\s+/g, ' ').trim()), [
      'DICOM instances waiting to be processed: 4',
      'Successfully transfered DICOM instances: 12',
      'Total size of the transfered DICOM instances: 1.5 MB',
      'Errors during transfers (check out the log files): 1']);
    assert.match(await page.locator('.certificates-warning').innerText(), /HttpsCACertificates/);
    assert.equal(await page.locator('.status-error').count(), 0);
    assert.match(await page.locator('.statistics-note').innerText(), /not kept between/);
    await page.locator('#statistics').scrollIntoViewIfNeeded();
    await screenshot(page, 'mock-statistics');

    mock.state.hasCertificates = true;
    mock.state.success = 13;
    await page.getByRole('button', { name: 'Refresh status' }).click();
    await shows('#stat-success', '13');
    assert.equal(await page.locator('.certificates-warning').count(), 0);

    mock.state.failing.add('/api/status');
    await page.getByRole('button', { name: 'Refresh status' }).click();
    await page.locator('.status-error').waitFor();
    assert.match(await page.locator('.status-error').innerText(), /not correctly installed/);
    assert.equal(await page.locator('.certificates-warning').count(), 0);
  });
});
