// The peer for the state-push benchmark (bench/deck_vs_peers.sh): a Node `ws`
// server that, on POST /broadcast, sends one prebuilt text of the given size to
// every connected client and then answers, as the Control Deck's command route does.
'use strict';
const http = require('http');
const { WebSocketServer } = require('ws');

const size = Number(process.argv[2] || 4096);
// Shaped like a state message (sorted keys), `size` bytes long.
const message = '{"payload":"' + 'x'.repeat(Math.max(0, size - 29)) + '","type":"state"}';

const server = http.createServer((req, res) => {
  if (req.method === 'POST' && req.url === '/broadcast') {
    req.resume();
    req.on('end', () => {
      for (const client of wss.clients) client.send(message);
      res.writeHead(200, { 'Content-Type': 'application/json', Connection: 'close' });
      res.end('{"ok":true}');
    });
    return;
  }
  res.writeHead(404, { Connection: 'close' });
  res.end();
});
const wss = new WebSocketServer({ server, path: '/ws', perMessageDeflate: false });
server.listen(0, '127.0.0.1', () => console.log('PORT ' + server.address().port));
// Ends with its standard input, so the script that started it never leaves it behind.
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
