// A tablet's session as a browser page lives it, against an API on another
// origin. The page only records what it saw in window.deckCheck; the harness
// judges it.
'use strict';

const params = new URLSearchParams(location.search);
const api = params.get('api');
const wsURL = api.replace(/^http/, 'ws');
const code = params.get('code');
const outboxName = params.get('outbox');
// Guards against a hang only; the harness has its own overall limit.
const patienceMs = 60000;

const check = { started: false, done: false, error: null, seen: { pageOrigin: location.origin, apiOrigin: new URL(api).origin } };
window.deckCheck = check;
const seen = check.seen;

function note(line) {
  document.getElementById('log').textContent += line + '\n';
}

async function call(method, path, { token, json, bytes, contentType } = {}) {
  const headers = {};
  if (token) headers.Authorization = 'Bearer ' + token;
  let body;
  if (json !== undefined) {
    headers['Content-Type'] = 'application/json';
    body = JSON.stringify(json);
  } else if (bytes !== undefined) {
    headers['Content-Type'] = contentType;
    body = bytes;
  }
  const response = await fetch(api + path, { method, headers, body, mode: 'cors', cache: 'no-store' });
  const text = await response.text();
  let envelope = null;
  try {
    envelope = JSON.parse(text);
  } catch (_) {
    // Not JSON: kept as text below.
  }
  note(`${method} ${path} -> ${response.status}`);
  return { status: response.status, envelope, text };
}

// Every WebSocket message, in order, and waiters for the ones still to come.
const messages = [];
const waiters = [];

function waitForMessage(label, predicate) {
  const found = messages.find(predicate);
  if (found) return Promise.resolve(found);
  return new Promise((resolve, reject) => {
    const waiter = { predicate, resolve };
    waiters.push(waiter);
    setTimeout(() => {
      if (waiters.includes(waiter)) reject(new Error('no WebSocket message: ' + label));
    }, patienceMs);
  });
}

function openSocket(session) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocket(wsURL + '/ws?session=' + encodeURIComponent(session));
    socket.onopen = () => resolve(socket);
    socket.onerror = () => reject(new Error('WebSocket failed to open'));
    socket.onclose = (event) => {
      seen.socketClosed = { code: event.code, wasClean: event.wasClean };
    };
    socket.onmessage = (event) => {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch (_) {
        message = { unparsable: String(event.data) };
      }
      messages.push(message);
      for (const waiter of [...waiters]) {
        if (waiter.predicate(message)) {
          waiters.splice(waiters.indexOf(waiter), 1);
          waiter.resolve(message);
        }
      }
    };
  });
}

const isState = (m) => m.type === 'state' && m.payload;

function base64(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

async function uploadFile(file, token) {
  const started = await call('POST', '/api/files/inbox', {
    token,
    json: { name: file.name, size: file.size, mime: file.type || 'application/octet-stream' },
  });
  const id = started.envelope.data.id;
  // Chunks below the server's 1 MiB limit, so the file takes several.
  const chunk = 400 * 1024;
  const chunks = [];
  for (let offset = 0; offset < file.size; offset += chunk) {
    const piece = new Uint8Array(await file.slice(offset, offset + chunk).arrayBuffer());
    const put = await call('PUT', `/api/files/inbox/${id}?offset=${offset}`, {
      token,
      bytes: piece,
      contentType: 'application/octet-stream',
    });
    chunks.push({ offset, status: put.status, received: put.envelope && put.envelope.data && put.envelope.data.received });
  }
  const completed = await call('POST', `/api/files/inbox/${id}/complete`, { token });
  return { started: started.envelope, chunks, completed: completed.envelope, completedStatus: completed.status };
}

async function run(file) {
  // Pairing: the host approves at once in test mode.
  const pairing = await call('POST', '/api/pairing/request', {
    json: { code, deviceName: 'Browser check', deviceKind: 'browser' },
  });
  seen.pairing = { status: pairing.status, envelope: pairing.envelope };
  const { deviceId, deviceToken } = pairing.envelope.data;

  const session = await call('POST', '/api/session', { json: { deviceId, deviceToken } });
  seen.session = { status: session.status, envelope: session.envelope };
  const token = session.envelope.data.session;

  const refused = await call('GET', '/api/state', { token: 'not-a-session' });
  seen.refused = { status: refused.status, envelope: refused.envelope };

  const socket = await openSocket(token);
  seen.firstMessage = await waitForMessage('first state', isState);

  // A command through REST; its state push reaches the socket.
  const setVolume = await call('POST', '/api/command', { token, json: { type: 'set_volume', level: 0.37 } });
  seen.setVolume = { status: setVolume.status, envelope: setVolume.envelope };
  seen.volumePush = await waitForMessage('state with volume 0.37', (m) => isState(m) && m.payload.volume === 0.37);

  // A command over the socket.
  socket.send(JSON.stringify({ type: 'command', payload: { type: 'set_mute', muted: true } }));
  seen.muteResult = await waitForMessage('set_mute result', (m) => m.type === 'command_result');
  seen.mutePush = await waitForMessage('state with muted', (m) => isState(m) && m.payload.muted === true);

  // A long message leaves the browser in fragments; its echo must be whole.
  const longText = 'Grüße '.repeat(60000);
  socket.send(JSON.stringify({ type: 'ping', t: longText }));
  const echo = await waitForMessage('answer to the long ping', (m) => m.type === 'pong' || m.type === 'error');
  seen.longPing = { type: echo.type, sent: longText.length, echoed: typeof echo.t === 'string' ? echo.t.length : null, same: echo.t === longText, error: echo.error || null };

  const state = await call('GET', '/api/state', { token });
  seen.restState = { status: state.status, volume: state.envelope.data.volume, muted: state.envelope.data.muted };

  // A short timer ends with an event on the socket.
  const timer = await call('POST', '/api/command', {
    token,
    json: { type: 'start_timer', seconds: 1, label: 'Browser tea' },
  });
  seen.timerStart = { status: timer.status, envelope: timer.envelope };
  const timerId = timer.envelope.data.id;
  seen.timerEvent = await waitForMessage(
    'timer.completed',
    (m) => m.type === 'event' && m.name === 'timer.completed' && m.payload && m.payload.id === timerId,
  );

  seen.upload = await uploadFile(file, token);
  seen.uploadPush = await waitForMessage(
    'state listing the upload',
    (m) => isState(m) && m.payload.files.inbox.some((r) => r.id === seen.upload.started.data.id),
  );

  // Downloading the file the desktop offers.
  const files = await call('GET', '/api/files', { token });
  const offered = files.envelope.data.outbox.find((r) => r.name === outboxName);
  seen.offered = offered || null;
  const download = await fetch(`${api}/api/files/outbox/${offered.id}`, {
    headers: { Authorization: 'Bearer ' + token },
    cache: 'no-store',
  });
  const downloaded = new Uint8Array(await download.arrayBuffer());
  seen.download = {
    status: download.status,
    contentType: download.headers.get('Content-Type'),
    length: downloaded.length,
    base64: base64(downloaded),
  };

  // The remaining methods: PATCH renames this device, DELETE forgets the
  // offered file's record.
  const renamed = await call('PATCH', `/api/devices/${deviceId}`, { token, json: { name: 'Browser check renamed' } });
  const devices = await call('GET', '/api/devices', { token });
  seen.rename = { status: renamed.status, devices: devices.envelope.data };
  const forgotten = await call('DELETE', `/api/files/records/outbox/${offered.id}`, { token });
  const after = await call('GET', '/api/files', { token });
  seen.forget = { status: forgotten.status, envelope: forgotten.envelope, outboxAfter: after.envelope.data.outbox };

  socket.close(1000);
}

document.getElementById('upload').addEventListener('change', (event) => {
  check.started = true;
  run(event.target.files[0])
    .catch((error) => {
      check.error = String((error && error.stack) || error);
      note('error: ' + check.error);
    })
    .finally(() => {
      check.done = true;
    });
});
