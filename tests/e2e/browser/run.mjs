// The Control Deck host driven by a real browser: the host serves the check
// page at http://127.0.0.1:P, the page talks to the API at http://localhost:P
// (another origin, so every non-simple request is preflighted), and this
// harness judges what the page and the browser's network log saw.
//
// node run.mjs <control-deck binary> <work folder holding node_modules>
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { randomBytes, randomUUID } from 'node:crypto';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const [hostBinary, modulesRoot] = process.argv.slice(2).map((a) => a && resolve(a));
if (!hostBinary || !modulesRoot) {
  console.error('usage: node run.mjs <control-deck binary> <work folder holding node_modules>');
  process.exit(2);
}
const { chromium } = createRequire(join(modulesRoot, 'package.json'))('playwright-core');

const here = dirname(fileURLToPath(import.meta.url));
// Guards against hangs only; nothing here measures speed.
const patienceMs = 150000;
const chromiumArgs = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--disable-quic',
];

const work = mkdtempSync(join(modulesRoot, 'run-'));
const dataDir = join(work, 'data');
let host = null;
let context = null;

// What the desktop offers for download, placed as a previous run of the
// desktop application would have left it.
function seedOutbox(name, bytes) {
  const id = randomUUID().toUpperCase();
  mkdirSync(join(dataDir, 'transfers', 'outbox', id), { recursive: true });
  writeFileSync(join(dataDir, 'transfers', 'outbox', id, name), bytes);
  const record = { createdAt: new Date().toISOString().replace(/\.\d+Z$/, 'Z'), id, mime: 'application/octet-stream', name, size: bytes.length };
  writeFileSync(join(dataDir, 'transfers', 'index.json'), JSON.stringify({ inbox: [], outbox: [record] }));
  return id;
}

function startHost() {
  const args = ['--fake-adapters', '--loopback', '--auto-approve', '--port', '0', '--data-dir', dataDir, '--static-dir', join(here, 'page')];
  host = spawn(hostBinary, args, { env: { ...process.env, CONTROL_DECK_TEST_MODE: '1' }, stdio: ['ignore', 'pipe', 'pipe'] });
  host.output = '';
  host.stdout.on('data', (d) => (host.output += d));
  host.stderr.on('data', (d) => (host.output += d));
  host.exited = new Promise((resolve) => host.on('exit', (code, signal) => resolve({ code, signal })));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('control-deck printed no port and code:\n' + host.output)), patienceMs);
    const look = () => {
      const port = /listening on 127\.0\.0\.1:(\d+)/.exec(host.output);
      const code = /^PAIRING_CODE (\d{6})$/m.exec(host.output);
      if (port && code) {
        clearTimeout(timer);
        resolve({ port: Number(port[1]), code: code[1] });
      }
    };
    host.stdout.on('data', look);
    host.exited.then(() => reject(new Error('control-deck ended at start:\n' + host.output)));
  });
}

async function stopHost() {
  if (!host || host.exitCode !== null || host.signalCode !== null) return host && (await host.exited);
  host.kill('SIGTERM');
  const ended = await Promise.race([host.exited, new Promise((r) => setTimeout(() => r(null), 30000))]);
  if (!ended) host.kill('SIGKILL');
  return ended ?? (await host.exited);
}

// The browser's own record of preflights: every OPTIONS request it sent, the
// request it preceded, and the status it got.
function watchPreflights(cdp) {
  const byId = new Map();
  cdp.on('Network.requestWillBeSent', (e) => {
    if (e.request.method === 'OPTIONS') byId.set(e.requestId, { url: e.request.url, headers: e.request.headers, status: null });
  });
  cdp.on('Network.responseReceived', (e) => {
    const entry = byId.get(e.requestId);
    if (entry) entry.status = e.response.status;
  });
  return byId;
}

async function runPage(port, code, uploadPath, outboxName) {
  context = await chromium.launchPersistentContext(join(work, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: chromiumArgs,
  });
  const page = context.pages()[0] ?? (await context.newPage());
  const console_ = [];
  page.on('console', (m) => console_.push(`${m.type()}: ${m.text()}`));
  page.on('pageerror', (e) => console_.push(`pageerror: ${e.message}`));
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  const preflights = watchPreflights(cdp);

  const query = new URLSearchParams({ code, api: `http://localhost:${port}`, outbox: outboxName });
  await page.goto(`http://127.0.0.1:${port}/index.html?${query}`, { timeout: patienceMs });
  await page.setInputFiles('#upload', uploadPath);
  await page.waitForFunction(() => window.deckCheck && window.deckCheck.done, null, { timeout: patienceMs });
  const check = await page.evaluate(() => window.deckCheck);
  return { check, preflights: [...preflights.values()], console: console_ };
}

function checks({ check, preflights }, port, upload, outbox) {
  const s = check.seen;
  const api = `http://localhost:${port}`;
  const preflightFor = (method, path) =>
    preflights.find(
      (p) => p.url.split('?')[0] === api + path && (p.headers['Access-Control-Request-Method'] ?? p.headers['access-control-request-method']) === method,
    );
  const chunkPath = s.upload ? `/api/files/inbox/${s.upload.started.data.id}` : '';
  return [
    ['the page ran to the end', () => assert.equal(check.error, null)],
    ['the page and the API are different origins', () => {
      assert.equal(s.pageOrigin, `http://127.0.0.1:${port}`);
      assert.equal(s.apiOrigin, api);
    }],
    ...[
      ['POST', '/api/pairing/request'],
      ['POST', '/api/session'],
      ['GET', '/api/state'],
      ['POST', '/api/command'],
      ['POST', '/api/files/inbox'],
      ['PUT', chunkPath],
      ['PATCH', s.pairing ? `/api/devices/${s.pairing.envelope.data.deviceId}` : ''],
      ['DELETE', s.offered ? `/api/files/records/outbox/${s.offered.id}` : ''],
    ].map(([method, path]) => [`the browser preflighted ${method} ${path} and it passed`, () => {
      const preflight = preflightFor(method, path);
      assert.ok(preflight, `no preflight seen; seen: ${JSON.stringify(preflights.map((p) => p.url))}`);
      assert.equal(preflight.status, 204);
    }]),
    ['pairing with the printed code is approved at once', () => {
      assert.equal(s.pairing.status, 200);
      assert.equal(s.pairing.envelope.data.status, 'approved');
      assert.match(s.pairing.envelope.data.deviceToken, /^\S{16,}$/);
    }],
    ['a session is opened for the paired device', () => {
      assert.equal(s.session.status, 200);
      assert.equal(s.session.envelope.data.deviceId, s.pairing.envelope.data.deviceId);
      assert.match(s.session.envelope.data.session, /^\S{16,}$/);
    }],
    ['a refusal is readable across origins', () => {
      assert.equal(s.refused.status, 401);
      assert.equal(s.refused.envelope.ok, false);
      assert.equal(s.refused.envelope.error.code, 'unpaired');
    }],
    ['the socket opened with ?session= starts with the state', () => {
      assert.equal(s.firstMessage.type, 'state');
      assert.equal(typeof s.firstMessage.payload.volume, 'number');
      assert.notEqual(s.firstMessage.payload.volume, 0.37);
    }],
    ['set_volume through REST answers and its state push shows the new level', () => {
      assert.equal(s.setVolume.status, 200);
      assert.equal(s.setVolume.envelope.ok, true);
      assert.equal(s.volumePush.payload.volume, 0.37);
    }],
    ['set_mute over the socket answers and is pushed', () => {
      assert.deepEqual({ type: s.muteResult.type, ok: s.muteResult.ok }, { type: 'command_result', ok: true });
      assert.equal(s.mutePush.payload.muted, true);
      assert.deepEqual(s.restState, { status: 200, volume: 0.37, muted: true });
    }],
    ['a long message over the socket is answered whole', () => {
      assert.deepEqual(s.longPing, { type: 'pong', sent: 360000, echoed: 360000, same: true, error: null });
    }],
    ['a one-second timer ends with timer.completed on the socket', () => {
      assert.equal(s.timerStart.status, 200);
      assert.equal(s.timerEvent.name, 'timer.completed');
      assert.deepEqual(s.timerEvent.payload, { id: s.timerStart.envelope.data.id, label: 'Browser tea' });
    }],
    ['the upload went in several chunks and completed', () => {
      assert.ok(s.upload.chunks.length >= 2, `chunks: ${s.upload.chunks.length}`);
      for (const c of s.upload.chunks) assert.equal(c.status, 200, `chunk at ${c.offset}`);
      assert.equal(s.upload.chunks.at(-1).received, upload.bytes.length);
      assert.equal(s.upload.completedStatus, 200);
      assert.equal(s.upload.completed.data.name, upload.name);
      assert.equal(s.upload.completed.data.size, upload.bytes.length);
      assert.ok(s.uploadPush.payload.files.inbox.some((r) => r.name === upload.name));
    }],
    ['the received file is byte for byte the one the browser read', () => {
      const received = readFileSync(join(dataDir, 'inbox', upload.name));
      assert.ok(received.equals(upload.bytes), `received ${received.length} bytes, sent ${upload.bytes.length}`);
    }],
    ['the downloaded file is byte for byte the offered one', () => {
      assert.equal(s.offered.id, outbox.id);
      assert.equal(s.download.status, 200);
      assert.equal(s.download.contentType, 'application/octet-stream');
      const downloaded = Buffer.from(s.download.base64, 'base64');
      assert.equal(s.download.length, outbox.bytes.length);
      assert.ok(downloaded.equals(outbox.bytes), 'the downloaded bytes differ');
    }],
    ['PATCH renames the device', () => {
      assert.equal(s.rename.status, 200);
      const me = s.rename.devices.find((d) => d.id === s.pairing.envelope.data.deviceId);
      assert.equal(me.name, 'Browser check renamed');
      assert.equal(me.connected, true);
    }],
    ['DELETE forgets the offered file', () => {
      assert.equal(s.forget.status, 200);
      assert.equal(s.forget.envelope.data.cleared, true);
      assert.deepEqual(s.forget.outboxAfter, []);
    }],
  ];
}

async function main() {
  const outbox = { name: 'Desktop notes.bin', bytes: Buffer.concat([Buffer.from(Array.from({ length: 256 }, (_, i) => i)), randomBytes(300 * 1024)]) };
  const upload = { name: 'Bericht für das Tablet.bin', bytes: randomBytes(1100 * 1024) };
  mkdirSync(dataDir, { recursive: true });
  outbox.id = seedOutbox(outbox.name, outbox.bytes);
  const uploadPath = join(work, upload.name);
  writeFileSync(uploadPath, upload.bytes);

  const { port, code } = await startHost();
  let seen;
  try {
    seen = await runPage(port, code, uploadPath, outbox.name);
  } finally {
    if (context) await context.close().catch(() => {});
  }
  const ended = await stopHost();

  let failed = 0;
  const table = checks(seen, port, upload, outbox);
  table.push(['the host stops cleanly on SIGTERM', () => assert.deepEqual(ended, { code: 0, signal: null })]);
  for (const [name, body] of table) {
    try {
      body();
      console.log(`ok - ${name}`);
    } catch (error) {
      failed += 1;
      console.log(`not ok - ${name}\n  ${String(error.message).split('\n').join('\n  ')}`);
    }
  }
  if (failed) {
    console.log('--- what the page saw\n' + JSON.stringify({ ...seen.check, seen: { ...seen.check.seen, download: { ...seen.check.seen.download, base64: '…' } } }, null, 1));
    console.log('--- browser console\n' + seen.console.join('\n'));
    console.log('--- host output\n' + host.output);
  }
  console.log(`${table.length - failed} passed, ${failed} failed`);
  return failed ? 1 : 0;
}

const overall = setTimeout(() => {
  console.error(`browser check did not finish within ${patienceMs * 2} ms`);
  cleanup().finally(() => process.exit(1));
}, patienceMs * 2);

async function cleanup() {
  if (context) await context.close().catch(() => {});
  if (host && host.exitCode === null && host.signalCode === null) host.kill('SIGKILL');
  rmSync(work, { recursive: true, force: true });
}

for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => cleanup().finally(() => process.exit(1)));

main()
  .catch((error) => {
    console.error(String(error.stack || error));
    if (host) console.error('--- host output\n' + host.output);
    return 1;
  })
  .then(async (status) => {
    clearTimeout(overall);
    await cleanup();
    process.exit(status);
  });
