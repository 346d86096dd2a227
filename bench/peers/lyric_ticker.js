// The peer for the lyric-clock benchmark (bench/lyric_clock.sh): a Node `ws`
// server that, every 16 ms while it runs, builds one "lyrics.clock" event
// shaped and sized like the Control Deck's (its fields in the same order,
// the playhead moving) and sends that text to every connected client.
'use strict';
const http = require('http');
const { WebSocketServer } = require('ws');

const server = http.createServer((req, res) => {
  res.writeHead(404, { Connection: 'close' });
  res.end();
});
const wss = new WebSocketServer({ server, path: '/ws', perMessageDeflate: false });
const started = Date.now();
setInterval(() => {
  const now = Date.now();
  const elapsed = 1 + (now - started) / 1000;
  const index = Math.floor((elapsed - 1) / 3);
  const text = JSON.stringify({
    name: 'lyrics.clock',
    payload: {
      current: 'Line ' + (index + 1),
      elapsed,
      elapsedAt: now,
      elapsedKnown: true,
      index,
      playing: true,
    },
    type: 'event',
  });
  for (const client of wss.clients) client.send(text);
}, 16);
server.listen(0, '127.0.0.1', () => console.log('PORT ' + server.address().port));
// Ends with its standard input, so the script that started it never leaves it behind.
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
