// The viewer's cost: processor time of `lep3 view` per camera frame with no browser and
// with 1, 2 and 4 browsers following the picture, and the time from the completion of a
// frame to its picture in each browser's canvas. The emulator runs as a process of its
// own at the camera's rate, so its work is not counted. The library's parser loop polls
// its byte queue and is by far the busiest thread whatever the viewer does; it is shown
// apart, so the viewer's own share can be read.
//
//   npm ci --prefix tests/serve/browser
//   node bench/view_load.mjs --lep3 build/tools/lep3 --sim build/sim/lep3-bridge-sim [--seconds 20]
import { Bridge, chromiumMissing, launchChromium, loadPlaywright, parseArgs, Viewer } from '../tests/serve/browser/harness.mjs';

const args = parseArgs(process.argv.slice(2));
const seconds = Number(args.seconds ?? 20);
const playwright = await loadPlaywright();
if (chromiumMissing() || !playwright) {
  console.error('needs /usr/bin/chromium and playwright-core (npm ci --prefix tests/serve/browser)');
  process.exit(2);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const quantile = (values, q) => {
  const v = [...values].sort((a, b) => a - b);
  return v.length ? v[Math.min(v.length - 1, Math.floor(q * v.length))] : NaN;
};
const sum = (values) => values.reduce((a, b) => a + b, 0);

const bridge = new Bridge(args.sim, 8.7);
await bridge.start();
const viewer = new Viewer(args.lep3, bridge.device);
const url = await viewer.start();
const browser = await launchChromium(playwright);
const status = async () => (await fetch(`${url}api/status`)).json();

await sleep(3000);
const warm = viewer.cpuByThread();
const parser = [...warm.entries()].sort((a, b) => b[1] - a[1])[0][0];

async function measure(pages) {
  await sleep(3000); // pages loaded, streams running
  for (const p of pages) await p.evaluate(() => (window.lep3View.latencies.length = 0));
  const drawnBefore = await Promise.all(pages.map((p) => p.evaluate(() => window.lep3View.framesDrawn)));
  const cpu0 = viewer.cpuByThread();
  const frames0 = (await status()).frames;
  await sleep(seconds * 1000);
  const cpu1 = viewer.cpuByThread();
  const frames = (await status()).frames - frames0;
  let total = 0;
  let loop = 0;
  for (const [tid, t] of cpu1) {
    const used = t - (cpu0.get(tid) ?? 0);
    total += used;
    if (tid === parser) loop = used;
  }
  const drawn = await Promise.all(pages.map((p, i) => p.evaluate(() => window.lep3View.framesDrawn).then((n) => n - drawnBefore[i])));
  const latencies = (await Promise.all(pages.map((p) => p.evaluate(() => window.lep3View.latencies)))).flat();
  return { browsers: pages.length, frames, total: (total * 1000) / frames, own: ((total - loop) * 1000) / frames, drawn, latencies };
}

const rows = [];
const pages = [];
try {
  for (const count of [0, 1, 2, 4]) {
    while (pages.length < count) {
      const page = await (await browser.newContext()).newPage({ viewport: { width: 1280, height: 900 } });
      await page.goto(url);
      pages.push(page);
    }
    rows.push(await measure(pages));
  }
} finally {
  await browser.close();
  await viewer.stop();
  await bridge.close();
}

console.log(`lep3 view, ${seconds} s a row, emulator at 8.7 frames a second; CPU in ms of processor time per frame`);
console.log('browsers  frames  CPU all  parser loop  viewer  viewer per browser  drawn/frame  latency median   p95   max');
const idle = rows[0].own;
for (const r of rows) {
  const perBrowser = r.browsers ? ((r.own - idle) / r.browsers).toFixed(2) : '-';
  const drawn = r.browsers ? (sum(r.drawn) / r.browsers / r.frames).toFixed(2) : '-';
  const lat = (q) => (r.latencies.length ? quantile(r.latencies, q).toFixed(0) : '-');
  console.log(
    [
      String(r.browsers).padStart(8),
      String(r.frames).padStart(6),
      r.total.toFixed(2).padStart(7),
      (r.total - r.own).toFixed(2).padStart(11),
      r.own.toFixed(2).padStart(6),
      perBrowser.padStart(18),
      drawn.padStart(11),
      `${lat(0.5).padStart(11)} ms`,
      lat(0.95).padStart(5),
      lat(1).padStart(5),
    ].join('  '),
  );
}
