// Drives Orvane's management page in Debian's chromium as a camera owner would, through
// the camera's web server. Run by browser_page.sh inside the sandbox; arguments come from
// the environment: PAGE_URL, PAGE_LOGIN (user:password), ZIPS (directory of the zips),
// SHOTS (directory for screenshots), WORK (a scratch directory), FLASH (the flash package
// directory), LONG_NAME (a package in ZIPS whose names are 40 characters long).
'use strict';
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
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
    // The page asks whether a package without a ui_link serves a page; "no" is a 400.
    if (status && status[1] === '400' && /\/api\/package\/[^/]+\/index\.html$/.test(message.location().url)) return;
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
    // Installed, not running: the row says what to do, the upload offers to do it.
    await row(name).locator('.not-enabled', { hasText: /not enabled: turn the switch On/ }).waitFor();
    await assertText(row(name).locator('.switch-word'), /^Off$/);
    await uploads.locator(`li[data-file="${name}.zip"]`).getByRole('button', { name: `Enable ${name} now` }).waitFor();
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
  // The reason first, in one sentence; the advice after it.
  await assertText(uploads.locator('li[data-file="event_pulse.zip"] [role=status]').first(),
    /^event_pulse is already installed on the other storage \(FLASH\)\. Remove it there first, or install it there\.$/);
  await page.getByLabel('Flash').first().check();

  step('enable hello_counter and see it running with a pid');
  await page.getByRole('switch', { name: 'Enabled: hello_counter' }).check();
  await assertText(row('hello_counter').locator('.switch-word'), /^On$/);
  await assertText(row('hello_counter').locator('.switch-help'), /^Start at boot and keep running$/);
  await row('hello_counter').locator('.badge', { hasText: 'running' }).waitFor();
  await assertText(row('hello_counter').locator('.reason'), /^pid \d+$/);
  assert.ok(await row('hello_counter').locator('.not-enabled').isHidden(), 'the "not enabled" hint of an enabled package');

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
  assert.ok(await page.getByRole('button', { name: 'Import', exact: true }).isDisabled(), 'Import before a file is chosen');
  await page.setInputFiles('#data-file', exported);
  await assertText(page.locator('#data-file-name'), /^hello_counter-data\.zip$/);
  await page.getByRole('button', { name: 'Import', exact: true }).click();
  await assertText(page.locator('#data-list [role=status]'), /^done$/);
  await page.getByRole('button', { name: 'Reload' }).click();
  await assertText(page.locator('#settings-note'), /Valid JSON/);
  assert.match(await settings.inputValue(), /Hi from the test/);

  step('the memory limit is set through the package configurations, keeping the entry\'s other members');
  await row('hello_counter').getByRole('button', { name: 'Manage hello_counter' }).click();
  await page.getByLabel(/New limit in MiB/).fill('128');
  await page.getByRole('button', { name: 'Set limit' }).click();
  await assertText(page.locator('#memory-limit-note'), /^Saved: 128 MiB/);
  const configurations = JSON.parse(execFileSync('camera-sim-ctl', ['get', 'orvane.PackageConfigurations']).toString());
  assert.deepEqual(configurations.hello_counter, { enabled: true, memory_limit_mib: 128 });
  const reported = await page.evaluate(async () => (await (await fetch('api/package/status.cgi?package_name=hello_counter')).json()));
  if ('memory_limit_mib' in reported) {
    await assertText(page.locator('#memory-limit-now'), /^128 MiB$/);
  } else {
    step('(skipped: this Orvane does not report memory_limit_mib)');
  }

  step('a package that crashes at start-up, enabled from its install, shows a crash loop with its reason');
  await page.setInputFiles('#install-files', path.join(zips, 'crashy.zip'));
  await row('crashy').waitFor();
  await row('crashy').locator('.not-enabled').waitFor();
  await uploads.locator('li[data-file="crashy.zip"]').getByRole('button', { name: 'Enable crashy now' }).click();
  await assertText(uploads.locator('li[data-file="crashy.zip"] .offer'), /enabled: it starts within a few seconds/);
  await assertText(row('crashy').locator('.switch-word'), /^On$/);
  assert.ok(await page.getByRole('switch', { name: 'Enabled: crashy' }).isChecked(), 'Enable now turns the switch on');
  await row('crashy').locator('.badge', { hasText: 'crash loop' }).waitFor({ timeout: 30000 });
  await assertText(row('crashy').locator('.reason'), /runs in a row ended within/);
  await assertText(row('crashy').locator('.row-facts'), /last exit code 3/);
  await row('crashy').locator('.not-enabled').waitFor({ state: 'hidden' });
  // crashy has no html/: by now the page has asked, and offers no page to open.
  await assertCount(row('crashy').getByRole('link', { name: /Open the page/ }), 0);
  await assertCount(row('hello_counter').getByRole('link', { name: /Open the page/ }), 1);
  await row('crashy').getByRole('button', { name: 'Manage crashy' }).click();
  await log.locator('.line.err', { hasText: 'cannot open the camera stream' }).first().waitFor();
  await log.locator('.line.orvane', { hasText: 'crash loop' }).first().waitFor();
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({ path: path.join(shots, 'packages.png') });

  step('a page of another web site cannot make the browser remove a package');
  await refusedFromAnotherSite(context, 'crashy');
  await page.reload();
  await page.locator('#packages[data-loaded="true"]').waitFor();
  await row('crashy').waitFor();

  step('with 40-character names, nothing scrolls sideways at 1,024, 1,280 and 1,366 px');
  await page.setInputFiles('#install-files', path.join(zips, `${process.env.LONG_NAME}.zip`));
  await row(process.env.LONG_NAME).waitFor();
  for (const width of [1024, 1280, 1366, 700, 400]) {
    await page.setViewportSize({ width, height: 900 });
    const overflow = await page.evaluate(() => ({
      page: document.documentElement.scrollWidth - document.documentElement.clientWidth,
      table: (({ scrollWidth, clientWidth }) => scrollWidth - clientWidth)(document.querySelector('.table-wrap')),
      // What sticks out, to say where to look.
      beyond: [...document.querySelectorAll('body *')]
        .filter((element) => element.getBoundingClientRect().right > document.documentElement.clientWidth + 0.5)
        .slice(0, 5).map((element) => `${element.tagName}#${element.id}.${element.className}`),
    }));
    assert.deepEqual(overflow, { page: 0, table: 0, beyond: [] }, `sideways overflow at ${width} px`);
    const long = row(process.env.LONG_NAME);
    for (const control of [long.getByRole('switch'), long.getByRole('button', { name: /^Manage / })]) {
      const box = await control.boundingBox();
      assert.ok(box && box.x >= 0 && box.x + box.width <= width, `${control} is off screen at ${width} px`);
    }
  }
  await page.setViewportSize({ width: 1280, height: 900 });
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({ path: path.join(shots, 'management-page.png') });

  await brokenManifest(page, row);

  step('a new version of hello_counter that cannot run gives way to the one it replaced, and its row says so');
  await page.setInputFiles('#install-files', path.join(zips, 'hello_counter_v9.zip'));
  await row('hello_counter').locator('.upgrade', { hasText: /^Rolled back to / }).waitFor({ timeout: 40000 });
  await assertText(row('hello_counter').locator('.upgrade'),
    /^Rolled back to [0-9.]+: version 9\.0\.0 failed \(3 runs in a row ended within 5\.0 s\); its data as before restored\.$/);

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

async function assertCount(locator, expected) {
  const count = await locator.count();
  assert.equal(count, expected, `${expected} of ${locator}, found ${count}`);
}

// Serves a page on another origin (another host of the loopback network) whose form removes
// NAME through the camera's web server as soon as it loads, with the owner's login at hand:
// Orvane must refuse it, and NAME stays.
async function refusedFromAnotherSite(context, name) {
  const target = new URL(`api/package/remove.cgi?package_name=${name}`, url).href;
  const server = http.createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end(`<!doctype html><form method="POST" action="${target}"></form>
      <script>document.forms[0].submit();</script>`);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.2', resolve));
  const other = await context.newPage();
  try {
    const answered = other.waitForResponse((response) => response.url().startsWith(target.split('?')[0]) && response.status() !== 401);
    await other.goto(`http://127.0.0.2:${server.address().port}/`);
    const answer = await answered;
    assert.equal(answer.status(), 403, 'the cross-site removal reached Orvane and was refused');
    assert.match(await answer.text(), /another web site/);
  } finally {
    await other.close();
    server.close();
  }
  assert.ok(fs.existsSync(path.join(process.env.FLASH, name, 'manifest.json')), `${name} is still installed`);
}

// A package whose manifest.json no longer parses is listed with its error and can still be
// removed. Needs an Orvane whose list carries such entries ("error"); skipped otherwise.
async function brokenManifest(page, row) {
  step('a package with a broken manifest shows its error and can be removed');
  const directory = path.join(process.env.FLASH, 'broken_pkg');
  fs.mkdirSync(directory);
  fs.writeFileSync(path.join(directory, 'manifest.json'), '{"package_name": "broken_pkg", "vendor": ');
  fs.writeFileSync(path.join(directory, 'main.js'), '');
  const list = await page.evaluate(async () => (await fetch('api/package/list.cgi', { cache: 'no-store' })).text());
  let entries = null;
  try {
    entries = JSON.parse(list);
  } catch {
    // An Orvane that inserts manifests as they are: the list is not JSON any more.
  }
  if (!Array.isArray(entries) || !entries.some((entry) => entry && typeof entry.error === 'string')) {
    step('(skipped: this Orvane lists no broken manifest with its "error")');
    fs.rmSync(directory, { recursive: true });
    return;
  }
  await row('broken_pkg').locator('.problem', { hasText: /^Cannot be used: / }).waitFor();
  await page.getByRole('switch', { name: 'Enabled: broken_pkg' }).waitFor();
  await row('broken_pkg').getByRole('button', { name: 'Manage broken_pkg' }).click();
  await page.getByRole('button', { name: 'Remove package…' }).click();
  await page.locator('#remove-dialog').getByRole('button', { name: 'Remove' }).click();
  await row('broken_pkg').waitFor({ state: 'detached' });
  assert.ok(!fs.existsSync(directory), 'the broken package\'s directory is gone');
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
