// The viewer's page in a real browser: Debian's chromium, headless, against lep3 view and
// the bridge emulator. The page loads and draws frame after frame, the pointer over a
// pixel reads its temperature, a palette change recolours the picture, the FFC button
// reaches the camera, a box dragged and a spot clicked on the picture read their pixels
// live and can be deleted, and an unplugged bridge shows "bridge gone" until it is back.
//
//   node page_test.mjs --lep3 PATH --sim PATH --out DIR
//
// Exits 77 (skipped) without chromium or playwright-core; saves DIR/view-page.png.
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';

import { Bridge, chromiumMissing, launchChromium, loadPlaywright, parseArgs, SKIPPED, Viewer } from './harness.mjs';

const args = parseArgs(process.argv.slice(2));
const playwright = await loadPlaywright();
if (chromiumMissing() || !playwright) {
  console.log(`skipped: ${chromiumMissing() ? 'no /usr/bin/chromium' : 'no playwright-core (npm ci in tests/serve/browser)'}`);
  process.exit(SKIPPED);
}

const LIMIT = 20000;
const step = (text) => console.log(`- ${text}`);

// A fingerprint of what the canvas shows, and whether it holds any colour at all.
function canvasFacts() {
  const c = document.getElementById('frame');
  const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let sum = 0;
  let coloured = 0;
  for (let i = 0; i < data.length; i += 4) {
    sum = (sum * 31 + data[i] + 7 * data[i + 1] + 13 * data[i + 2]) % 1000000007;
    if (data[i] !== data[i + 1] || data[i + 1] !== data[i + 2]) coloured += 1;
  }
  return { sum, coloured, frame: window.lep3View.frame };
}

const bridge = new Bridge(args.sim);
await bridge.start();
let viewer = new Viewer(args.lep3, bridge.device);
const browser = await launchChromium(playwright);
let failed = false;
try {
  const url = await viewer.start();
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  const problems = [];
  page.on('pageerror', (e) => problems.push(e.message));
  // The content policy's refusals: the page must need nothing but its own files.
  page.on('console', (m) => /Content Security Policy/.test(m.text()) && problems.push(m.text()));

  step(`the page at ${url} loads and draws frames`);
  await page.goto(url);
  await page.waitForFunction(() => window.lep3View.framesDrawn >= 3, null, { timeout: LIMIT });
  await page.waitForFunction(() => document.querySelector('#settings tbody tr'), null, { timeout: LIMIT });
  assert.match(await page.textContent('#status'), /link up/);

  step('the picture changes from frame to frame');
  const first = await page.evaluate(canvasFacts);
  await page.waitForFunction((n) => window.lep3View.frame > n, first.frame, { timeout: LIMIT });
  const second = await page.evaluate(canvasFacts);
  assert.notEqual(second.sum, first.sum, 'two frames drew the same picture');

  step('the pointer over a pixel reads its temperature');
  const box = await page.locator('#frame').boundingBox();
  const at = (x, y) => [box.x + ((x + 0.5) / 160) * box.width, box.y + ((y + 0.5) / 120) * box.height];
  await page.mouse.move(...at(80, 60));
  await page.waitForFunction(() => /at \(80, 60\)/.test(document.getElementById('pointer').value), null, {
    timeout: LIMIT,
  });
  // The text and the reading it shows, taken together: the next frame brings a new one.
  const { shown, reading } = await page.evaluate(() => ({
    shown: document.getElementById('pointer').value,
    reading: window.lep3View.pointer,
  }));
  assert.equal(reading.x, 80);
  assert.equal(reading.y, 60);
  const truth = await (await fetch(`${url}api/temperature?x=80&y=60&frame=${reading.frame}`)).json();
  assert.equal(shown, `${truth.celsius.toFixed(2)} °C at (80, 60)`);

  step('the hottest spot reads the maximum the page marks');
  const spots = await page.evaluate(() => window.lep3View.spots);
  await page.mouse.move(...at(spots.max.x, spots.max.y));
  await page.waitForFunction((m) => document.getElementById('pointer').value.endsWith(`at (${m.x}, ${m.y})`), spots.max, {
    timeout: LIMIT,
  });
  const hottest = await (await fetch(`${url}api/temperature?x=${spots.max.x}&y=${spots.max.y}&frame=${spots.frame}`)).json();
  assert.equal(hottest.celsius, spots.max.celsius);

  step('switching the palette recolours the picture');
  assert.ok((await page.evaluate(canvasFacts)).coloured > 0, 'ironblack drew no colour');
  await page.selectOption('#palette', 'whitehot');
  const switched = await page.evaluate(() => window.lep3View.framesDrawn);
  await page.waitForFunction((n) => window.lep3View.framesDrawn >= n + 2, switched, { timeout: LIMIT });
  // The minimum and maximum are marked in colour over the picture: look past them.
  const grey = await page.evaluate(() => {
    const { spots, palette } = window.lep3View;
    const c = document.getElementById('frame');
    const k = c.width / 160;
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    const marked = (x, y) =>
      [spots.min, spots.max].some((s) => Math.hypot(x - (s.x + 0.5) * k, y - (s.y + 0.5) * k) < 5 * k);
    let coloured = 0;
    for (let i = 0; i < d.length; i += 4) {
      const x = (i / 4) % c.width;
      const y = Math.floor(i / 4 / c.width);
      if ((d[i] !== d[i + 1] || d[i + 1] !== d[i + 2]) && !marked(x, y)) coloured += 1;
    }
    return { coloured, palette };
  });
  assert.equal(grey.palette, 'whitehot');
  assert.equal(grey.coloured, 0, 'whitehot drew colours');
  await page.selectOption('#palette', 'ironblack');

  step('the FFC button reaches the camera');
  await page.click('#ffc');
  await page.waitForFunction(() => document.getElementById('action-note').value === 'flat-field correction done', null, {
    timeout: LIMIT,
  });

  step('a box dragged and a spot clicked on the picture are listed with their readings');
  await page.mouse.move(...at(20, 30));
  await page.mouse.down();
  await page.mouse.move(...at(35, 40), { steps: 4 });
  await page.mouse.move(...at(50, 50), { steps: 4 });
  await page.mouse.up();
  await page.mouse.click(...at(70, 65));
  await page.waitForFunction(() => document.querySelectorAll('#region-list tbody tr').length === 2, null, {
    timeout: LIMIT,
  });
  const regions = await page.evaluate(() => window.lep3View.regions);
  assert.deepEqual(
    regions.map((r) => [r.name, r.kind, r.x0, r.y0, r.x1, r.y1, r.pixels]),
    [
      ['box1', 'box', 20, 30, 50, 50, 31 * 21],
      ['spot1', 'spot', 70, 65, 70, 65, 1],
    ],
  );
  // The spot reads its pixel of the frame the page shows, as the list does.
  const listed = await page.evaluate(() => ({
    regions: window.lep3View.regions,
    frame: window.lep3View.frame,
    text: document.querySelector('#region-list tr[data-name=spot1] .max').textContent,
  }));
  const spotTruth = await (await fetch(`${url}api/temperature?x=70&y=65&frame=${listed.frame}`)).json();
  assert.equal(listed.regions[1].max_c, spotTruth.celsius);
  assert.match(listed.text, /^-?\d+\.\d\d °C$/);
  const boxed = listed.regions[0];
  assert.ok(boxed.min_c <= boxed.mean_c && boxed.mean_c <= boxed.max_c, JSON.stringify(boxed));

  step('an alarm on the box shows on the page; deleting the box leaves the spot');
  const alarm = await fetch(`${url}api/alarms`, { method: 'POST', body: 'box1>-90C' });
  assert.equal(alarm.status, 201);
  await page.waitForSelector('#alarm:not([hidden])', { timeout: LIMIT });
  assert.match(await page.textContent('#alarm'), /box1>-90C/);
  await fetch(`${url}api/alarms/${(await alarm.json()).id}`, { method: 'DELETE' });
  await page.waitForSelector('#alarm', { state: 'hidden', timeout: LIMIT });
  await page.click('#region-list tr[data-name=box1] button');
  await page.waitForFunction(() => window.lep3View.regions.map((r) => r.name).join() === 'spot1', null, {
    timeout: LIMIT,
  });
  assert.equal(await page.locator('#region-list tbody tr').count(), 1);

  step('an unplugged bridge shows "bridge gone" and the page resumes when it is back');
  const before = await page.evaluate(() => window.lep3View.framesDrawn);
  await bridge.stop();
  await page.waitForSelector('#banner:not([hidden])', { timeout: LIMIT });
  await page.waitForFunction(() => /bridge gone/.test(document.getElementById('banner').textContent), null, {
    timeout: LIMIT,
  });
  assert.match(await page.textContent('#status'), /bridge gone/);
  // Clicked in the page: a click by the mouse would scroll the canvas from where at() finds it.
  await page.evaluate(() => document.getElementById('reload-settings').click());
  await page.waitForFunction(() => /bridge is gone/.test(document.getElementById('action-note').value), null, {
    timeout: LIMIT,
  });
  await bridge.start();
  await page.waitForSelector('#banner', { state: 'hidden', timeout: LIMIT });
  await page.waitForFunction((n) => window.lep3View.framesDrawn > n + 3, before, { timeout: LIMIT });
  assert.match(await page.textContent('#status'), /link up.*reconnects 1/);
  // The settings are read again by themselves once the bridge is back.
  await page.waitForFunction(() => document.getElementById('action-note').value === '', null, { timeout: LIMIT });

  await page.mouse.move(...at(80, 60));
  await page.waitForFunction(() => /at \(80, 60\)/.test(document.getElementById('pointer').value), null, {
    timeout: LIMIT,
  });
  mkdirSync(args.out, { recursive: true });
  const screenshot = join(args.out, 'view-page.png');
  await page.screenshot({ path: screenshot });
  step(`screenshot: ${screenshot}`);

  const latencies = (await page.evaluate(() => window.lep3View.latencies)).sort((a, b) => a - b);
  const pick = (q) => latencies[Math.min(latencies.length - 1, Math.floor(q * latencies.length))].toFixed(0);
  step(`frame completion to picture on screen: median ${pick(0.5)} ms, 95th percentile ${pick(0.95)} ms over ${latencies.length} frames`);
  assert.deepEqual(problems, [], 'errors in the page');

  step('bound off loopback, the page in the printed address (with its token) draws frames and its colour bar');
  assert.equal(await viewer.stop(), 0);
  viewer = new Viewer(args.lep3, bridge.device, ['--bind', '0.0.0.0']);
  const tokenUrl = await viewer.start();
  assert.match(tokenUrl, /\?token=[0-9a-f]{32}$/);
  const tokenPage = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  tokenPage.on('pageerror', (e) => problems.push(e.message));
  tokenPage.on('console', (m) => /Content Security Policy/.test(m.text()) && problems.push(m.text()));
  await tokenPage.goto(tokenUrl);
  await tokenPage.waitForFunction(() => window.lep3View.framesDrawn >= 3, null, { timeout: LIMIT });
  await tokenPage.waitForFunction(() => document.querySelector('#settings tbody tr'), null, { timeout: LIMIT });
  await tokenPage.waitForFunction(
    () => {
      const bar = document.getElementById('bar');
      return bar.getContext('2d').getImageData(0, 0, bar.width, bar.height).data.some((v, i) => i % 4 === 3 && v > 0);
    },
    null,
    { timeout: LIMIT },
  );
  assert.equal((await fetch(tokenUrl.replace(/\?token=.*/, 'api/status'))).status, 401);
  assert.deepEqual(problems, [], 'errors in the page');
} catch (e) {
  failed = true;
  console.error(e);
} finally {
  await browser.close();
  const status = await viewer.stop();
  await bridge.close();
  if (status !== 0) {
    console.error(`lep3 view ended with status ${status}`);
    failed = true;
  }
}
console.log(failed ? 'browser test: failed' : 'browser test: passed');
process.exit(failed ? 1 : 0);
