// What the browser test and the viewer's load measurement share: the bridge emulator and
// lep3 view as processes of their own, and Debian's chromium driven by playwright-core.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readdirSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const CHROMIUM = '/usr/bin/chromium';
// What chromium needs here: no sandbox as root, no GPU, and none of its own network
// traffic, which this machine's closed network refuses.
const CHROMIUM_FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// Exit status ctest reads as "skipped"; CI sets LEP3_REQUIRE_BROWSER, where a missing
// browser is a failure.
export const SKIPPED = process.env.LEP3_REQUIRE_BROWSER ? 1 : 77;

// playwright-core, or null when it is not installed (npm ci in this directory).
export async function loadPlaywright() {
  try {
    return await import('playwright-core');
  } catch {
    return null;
  }
}

export function parseArgs(argv) {
  const args = {};
  for (let i = 0; i < argv.length; i += 2) args[argv[i].replace(/^--/, '')] = argv[i + 1];
  return args;
}

// Resolves with the text once the process's output matches, rejects after the limit or
// when the process ends first.
function waitForOutput(child, pattern, limitMs, what) {
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`${what}: nothing like ${pattern} in ${limitMs} ms:\n${text}`)), limitMs);
    const look = (chunk) => {
      text += chunk;
      const m = text.match(pattern);
      if (m) {
        clearTimeout(timer);
        resolve(m);
      }
    };
    child.stdout.on('data', look);
    child.stderr.on('data', (chunk) => (text += chunk));
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`${what} ended (${code}) before printing ${pattern}:\n${text}`));
    });
  });
}

function ended(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve(child.exitCode);
    else child.once('exit', (code) => resolve(code));
  });
}

// The bridge emulator published in a private directory; stop() takes it away as an
// unplugged bridge goes, start() brings it back at the same path.
export class Bridge {
  constructor(simPath, fps) {
    this.simPath = simPath;
    this.fps = String(fps ?? 8.7);
    this.dir = mkdtempSync(join(tmpdir(), 'lep3-view-browser-'));
    this.device = join(this.dir, 'ttyACM0');
    this.child = null;
  }
  async start() {
    this.child = spawn(this.simPath, ['--path', this.device, '--boot-path', join(this.dir, 'ttyACM1'), '--fps', this.fps], {
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    await waitForOutput(this.child, /running/, 10000, 'the bridge emulator');
  }
  async stop() {
    if (!this.child) return;
    const child = this.child;
    this.child = null;
    child.kill('SIGTERM');
    await ended(child);
  }
  async close() {
    await this.stop();
    rmSync(this.dir, { recursive: true, force: true });
  }
}

// lep3 view on a device, on any free port of 127.0.0.1.
export class Viewer {
  constructor(lep3Path, device, options = []) {
    this.lep3Path = lep3Path;
    this.device = device;
    this.options = options;
  }
  async start() {
    this.child = spawn(this.lep3Path, ['view', '--device', this.device, '--port', '0', ...this.options], {
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    const m = await waitForOutput(this.child, /(http:\/\/\S+)/, 20000, 'lep3 view');
    this.url = m[1];
    return this.url;
  }
  get pid() {
    return this.child.pid;
  }
  // Processor time each of the viewer's threads has used so far, in seconds (user and
  // system), by thread ID.
  cpuByThread() {
    const ticksPerSecond = 100; // USER_HZ on Linux
    const times = new Map();
    for (const tid of readdirSync(`/proc/${this.child.pid}/task`)) {
      try {
        const fields = readFileSync(`/proc/${this.child.pid}/task/${tid}/stat`, 'utf8').split(') ')[1].split(' ');
        times.set(tid, (Number(fields[11]) + Number(fields[12])) / ticksPerSecond);
      } catch {
        // the thread ended meanwhile
      }
    }
    return times;
  }
  async stop() {
    this.child.kill('SIGINT');
    return ended(this.child);
  }
}

export async function launchChromium(playwright) {
  return playwright.chromium.launch({
    executablePath: CHROMIUM,
    args: CHROMIUM_FLAGS.filter((f) => f !== '--headless'),
    headless: true,
  });
}

export function chromiumMissing() {
  return !existsSync(CHROMIUM);
}
