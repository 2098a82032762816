// Drives Orvane's management page in Debian's chromium as a camera owner would, through
// the camera's web server. Run by browser_page.sh inside the sandbox; arguments come from
// the environment: PAGE_URL, PAGE_LOGIN (user:password), ZIPS (directory of the zips),
// SHOTS (directory for screenshots).
'use strict';
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const { chromium } = require('playwright-core');

const url = process.env.PAGE_URL;
const [username, password] = process.env.PAGE_LOGIN.split(':');
const zips = process.env.ZIPS;
const shots = process.env.SHOTS;

const step = (text) => console.log(`-- ${text}`);

async function main() {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const context = await browser.newContext({ httpCredentials: { username, password }, acceptDownloads: true,
    viewport: { width: 1400, height: 900 } });
  const page = await context.newPage();
  page.setDefaultTimeout(20000);

  // Every console error and uncaught exception fails the run, but for the status of an
  // answer the scenario provokes on purpose.
  const expectedStatuses = new Set();
  const consoleErrors = [];
  page.on('console', (message) => {
    if (message.type() !== 'error') return;
    const status = /status of (\d+)/.exec(message.text());
    if (status && expectedStatuses.has(Number(status[1]))) return;
    consoleErrors.push(`${message.text()} (${message.location().url})`);
  });
  page.on('pageerror', (error) => consoleErrors.push(`uncaught: ${error.message}`));

  step('log in and open the page');
  await page.goto(url);
  await page.locator('#packages[data-loaded="true"]').waitFor();

  step('install the Node.js runtime from the system section');
  await assertText(page.locator('#node-state'), /not installed yet/);
  await page.getByRole('button', { name: 'Install Node.js' }).click();
  await assertText(page.locator('#node-state'), /^installed$/);

  const row = (name) => page.locator(`#packages tbody tr[data-name="${name}"]`);
  const uploads = page.locator('#install-list');

  step('install both examples, one of them large, and see the progress bar move');
  await page.evaluate(() => {
    window.progressSeen = [];
    new MutationObserver((changes) => {
      for (const change of changes) {
        const bar = change.target;
        if (bar.tagName === 'PROGRESS') window.progressSeen.push([bar.closest('li').dataset.file, bar.value, bar.max]);
      }
    }).observe(document.getElementById('install-list'), { subtree: true, attributes: true, attributeFilter: ['value'] });
  });
  // Uploads held to 16 MiB/s, so that the large one lasts about a second however fast the machine.
  const cdp = await page.context().newCDPSession(page);
  const throttle = (uploadThroughput) => cdp.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput });
  await throttle(16 * 1024 * 1024);
  await page.setInputFiles('#install-files', [path.join(zips, 'hello_counter.zip'), path.join(zips, 'event_pulse.zip')]);
  for (const name of ['hello_counter', 'event_pulse']) {
    await assertText(uploads.locator(`li[data-file="${name}.zip"] [role=status]`), /^done$/);
    await row(name).waitFor();
  }
  await throttle(-1);
  const moving = await page.evaluate(() => window.progressSeen.filter(([file, value, max]) =>
    file === 'hello_counter.zip' && value > 0 && value < max).length);
  assert.ok(moving >= 2, `the progress bar of the large zip showed ${moving} values between empty and full`);
  await assertText(uploads.locator('li[data-file="hello_counter.zip"] .numbers'), /MiB of .*MiB, .*\/s$/);

  step('installing event_pulse again onto the SD card is refused in words');
  expectedStatuses.add(409);
  await page.getByLabel('SD card').first().check();
  await page.setInputFiles('#install-files', path.join(zips, 'event_pulse.zip'));
  await assertText(uploads.locator('li[data-file="event_pulse.zip"] [role=status]').first(),
    /already installed on the other storage.*Orvane: "Http API: install package\(s\) error \[event_pulse\.zip\]: event_pulse is already installed on the other storage \(FLASH\)/);
  await page.getByLabel('Flash').first().check();

  step('enable hello_counter and see it running with a pid');
  await page.getByRole('switch', { name: 'Enabled: hello_counter' }).check();
  await row('hello_counter').locator('.badge', { hasText: 'running' }).waitFor();
  await assertText(row('hello_counter').locator('.reason'), /^pid \d+$/);

  step('open its page');
  const [popup] = await Promise.all([context.waitForEvent('page'), row('hello_counter').getByRole('link', { name: /Open the page/ }).click()]);
  await popup.waitForLoadState();
  assert.match(await popup.title() + await popup.textContent('body'), /counter/i);
  await popup.close();

  step('see its log lines arrive');
  await row('hello_counter').getByRole('button', { name: 'Manage hello_counter' }).click();
  const log = page.locator('#log-lines');
  await log.locator('.line.orvane', { hasText: /started/ }).first().waitFor();
  await log.locator('.line.out', { hasText: /listening on port/ }).first().waitFor();

  step('settings: invalid JSON is refused in the page, valid JSON is saved and delivered');
  const settings = page.getByLabel(/Settings \(JSON\)/);
  await settings.fill('{"greeting": "Hi from the test",');
  await assertText(page.locator('#settings-note'), /Not valid JSON/);
  assert.ok(await page.locator('#settings-save').isDisabled(), 'Save stays disabled while the JSON is invalid');
  await settings.fill('{"greeting": "Hi from the test"}');
  await page.locator('#settings-save').click();
  await assertText(page.locator('#settings-note'), /^Saved/);
  await log.locator('.line.out', { hasText: 'settings reloaded' }).waitFor();
  await page.screenshot({ path: path.join(shots, 'package-detail.png'), fullPage: true });

  step('export the data, then import it into event_pulse');
  const [download] = await Promise.all([page.waitForEvent('download'), page.getByRole('link', { name: 'Export data' }).click()]);
  assert.equal(download.suggestedFilename(), 'hello_counter-data.zip');
  const exported = path.join(process.env.WORK, 'hello_counter-data.zip');
  await download.saveAs(exported);
  assert.match(execFileSync('unzip', ['-Z1', exported]).toString(), /^settings\.json$/m);
  await row('event_pulse').getByRole('button', { name: 'Manage event_pulse' }).click();
  await page.locator('#detail[data-name="event_pulse"]').waitFor();
  await page.setInputFiles('#data-file', exported);
  await page.getByRole('button', { name: 'Import', exact: true }).click();
  await assertText(page.locator('#data-list [role=status]'), /^done$/);
  await page.getByRole('button', { name: 'Reload' }).click();
  await assertText(page.locator('#settings-note'), /Valid JSON/);
  assert.match(await settings.inputValue(), /Hi from the test/);

  step('a package that crashes at start-up shows a crash loop with its reason');
  await page.setInputFiles('#install-files', path.join(zips, 'crashy.zip'));
  await row('crashy').waitFor();
  await page.getByRole('switch', { name: 'Enabled: crashy' }).check();
  await row('crashy').locator('.badge', { hasText: 'crash loop' }).waitFor({ timeout: 30000 });
  await assertText(row('crashy').locator('.reason'), /runs in a row ended within/);
  await assertText(row('crashy').locator('td[data-label="Last exit"]'), /code 3/);
  await row('crashy').getByRole('button', { name: 'Manage crashy' }).click();
  await log.locator('.line.err', { hasText: 'cannot open the camera stream' }).first().waitFor();
  await log.locator('.line.orvane', { hasText: 'crash loop' }).first().waitFor();
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({ path: path.join(shots, 'packages.png') });

  step('remove event_pulse after confirming its name, and see its row go');
  await row('event_pulse').getByRole('button', { name: 'Manage event_pulse' }).click();
  await page.getByRole('button', { name: 'Remove package…' }).click();
  await assertText(page.locator('#remove-dialog h2'), /Remove Event pulse \(event_pulse\)\?/);
  await page.locator('#remove-dialog').getByRole('button', { name: 'Remove' }).click();
  await row('event_pulse').waitFor({ state: 'detached' });
  assert.ok(await page.locator('#detail').isHidden(), 'the panel of a removed package closes');

  await page.screenshot({ path: path.join(shots, 'final.png'), fullPage: true });
  assert.deepEqual(await page.locator('#errors li').allTextContents(), [], 'errors shown by the page');
  assert.deepEqual(consoleErrors, [], 'JavaScript errors in the console');
  await browser.close();
}

async function assertText(locator, pattern) {
  await locator.waitFor();
  const deadline = Date.now() + 20000;
  let text;
  while (!pattern.test(text = (await locator.textContent()).trim())) {
    if (Date.now() > deadline) assert.fail(`expected ${pattern}, the page shows "${text}"`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
