// Debian's Chromium driven by playwright-core: never a downloaded browser.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const CHROMIUM = process.env.QUELBY_CHROMIUM || '/usr/bin/chromium';
const OUTPUT = path.join(__dirname, 'output');

async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quelby-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1280, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync']
  });
  return {
    context,
    close: async () => {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    }
  };
}

// The whole page, or what the window shows once scrolled (a full capture of a
// scrolled page would draw the fixed bars in its middle).
async function screenshot(page, name) {
  fs.mkdirSync(OUTPUT, { recursive: true });
  // Two frames: scroll handlers and the page's re-rendering have run.
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
  const scrolled = await page.evaluate(() => window.scrollY > 0);
  await page.screenshot({ path: path.join(OUTPUT, name + '.png'), fullPage: !scrolled });
}

// Waits until the element shows the text: the page renders an answer some
// time after the browser received it.
async function showsText(page, selector, text) {
  await page.waitForFunction(([s, t]) => {
    const element = document.querySelector(s);
    return element !== null && element.textContent.trim() === t;
  }, [selector, text], { timeout: 5000 });
}

module.exports = { launch, screenshot, showsText };
