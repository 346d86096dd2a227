// Time from a command to the last of N clients receiving the state it
// causes, for the Control Deck and for the Node `ws` peer, in one run.
// The peer is started here with the deck's state size.
// Usage: node measure.js <deck port> <pairing code>   (a host that approves pairing by itself)
'use strict';
const http = require('http');
const path = require('path');
const readline = require('readline');
const { spawn } = require('child_process');
const WebSocket = require('ws');

const [deckPort, pairingCode] = process.argv.slice(2);
const ROUNDS = 40;
const WARMUP = 5;
const COUNTS = [1, 10, 100];
const GUARD_MS = 20000;

// Resolves with the answer's "data".
function call(port, method, path, body, token) {
  return new Promise((resolve, reject) => {
    const headers = { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) };
    if (token) headers.Authorization = 'Bearer ' + token;
    const req = http.request({ host: '127.0.0.1', port, path, method, headers }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => (text += chunk));
      res.on('end', () => {
        if (res.statusCode !== 200) return reject(new Error(`${path} ${res.statusCode} ${text}`));
        resolve(JSON.parse(text).data);
      });
    });
    req.on('error', reject);
    req.end(body);
  });
}
const post = (port, path, body, token) => call(port, 'POST', path, body, token);

// Pairs one tablet, opens a session, and turns the periodic statistics
// push off so that only the command's own state reaches the clients.
async function openSession() {
  const paired = await post(deckPort, '/api/pairing/request', JSON.stringify({ code: pairingCode, deviceName: 'Bench' }));
  const opened = await post(deckPort, '/api/session',
    JSON.stringify({ deviceId: paired.deviceId, deviceToken: paired.deviceToken }));
  await call(deckPort, 'PUT', '/api/settings', JSON.stringify({ systemStatsEnabled: false }), opened.session);
  return opened.session;
}

// Opens n clients; resolves once each is open (and, for the deck, holds its first state).
async function openClients(port, n, token) {
  const clients = [];
  for (let i = 0; i < n; i++) {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/ws`, {
      headers: token ? { Authorization: 'Bearer ' + token } : {},
      perMessageDeflate: false,
    });
    ws.waiter = null;
    ws.firstSize = 0;
    ws.on('message', (data) => {
      if (!ws.firstSize) ws.firstSize = data.length;
      if (ws.waiter && String(data).startsWith('{"payload"')) {
        const done = ws.waiter;
        ws.waiter = null;
        done(process.hrtime.bigint());
      }
    });
    await new Promise((resolve, reject) => {
      ws.once('error', reject);
      if (token) ws.once('message', () => resolve());
      else ws.once('open', () => resolve());
    });
    clients.push(ws);
  }
  return clients;
}

async function round(clients, send) {
  const received = clients.map((ws) => new Promise((resolve, reject) => {
    ws.waiter = resolve;
    setTimeout(() => reject(new Error('no state within the guard')), GUARD_MS).unref();
  }));
  const start = process.hrtime.bigint();
  await send();
  const times = await Promise.all(received);
  const last = times.reduce((a, b) => (a > b ? a : b));
  return Number(last - start) / 1e6;
}

function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return { median: at(0.5), p90: at(0.9) };
}

async function measure(port, n, token, send) {
  const clients = await openClients(port, n, token);
  const size = clients[0].firstSize;
  const values = [];
  for (let i = 0; i < WARMUP + ROUNDS; i++) {
    const ms = await round(clients, send);
    if (i >= WARMUP) values.push(ms);
  }
  for (const ws of clients) ws.terminate();
  return { ...summary(values), size };
}

function startPeer(size) {
  const child = spawn(process.execPath, [path.join(__dirname, 'peer_broadcaster.js'), String(size)], {
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  return new Promise((resolve) => {
    readline.createInterface({ input: child.stdout }).once('line', (line) => resolve({ child, port: line.split(' ')[1] }));
  });
}

(async () => {
  const command = JSON.stringify({ type: 'lock_mac' });
  const session = await openSession();
  const probe = await openClients(deckPort, 1, session);
  const size = probe[0].firstSize;
  probe[0].terminate();
  const { child, port: peerPort } = await startPeer(size);
  console.log(`state message: ${size} bytes on both servers`);
  console.log('state push: command answered -> last of N clients holds the new state (ms, ' + ROUNDS + ' rounds)');
  console.log('  N | deck median | deck p90 | ws median | ws p90 | ratio (deck/ws, median)');
  for (const n of COUNTS) {
    const deck = await measure(deckPort, n, session, () => post(deckPort, '/api/command', command, session));
    const peer = await measure(peerPort, n, null, () => post(peerPort, '/broadcast', '{}'));
    const f = (x) => x.toFixed(2).padStart(8);
    console.log(`${String(n).padStart(3)} | ${f(deck.median)}    | ${f(deck.p90)} | ${f(peer.median)}  | ${f(peer.p90)} | ${(deck.median / peer.median).toFixed(2)}`);
  }
  child.stdin.end();
  process.exit(0);
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
