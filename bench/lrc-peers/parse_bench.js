// Times the npm LRC parsers over the files of a folder: 2 warm-up passes,
// then the median of 5 timed passes. Prints "<name> MB/s: <figure>" lines.
'use strict';
const fs = require('fs');
const path = require('path');
const clrc = require('clrc');
const { Lrc } = require('lrc-kit');

const folder = process.argv[2];
const names = fs.readdirSync(folder).filter((n) => n.endsWith('.lrc')).sort();
const texts = names.map((n) => fs.readFileSync(path.join(folder, n), 'utf8'));
const bytes = names.reduce((sum, n) => sum + fs.statSync(path.join(folder, n)).size, 0);

const peers = {
  clrc: (text) => clrc.parse(text).length,
  'lrc-kit': (text) => Lrc.parse(text).lyrics.length,
};

for (const [name, parse] of Object.entries(peers)) {
  let lines = 0;
  const pass = () => {
    const start = process.hrtime.bigint();
    for (const text of texts) lines += parse(text);
    return Number(process.hrtime.bigint() - start) / 1e9;
  };
  pass();
  pass();
  const times = [];
  for (let i = 0; i < 5; ++i) times.push(pass());
  times.sort((a, b) => a - b);
  console.log(`${name} MB/s: ${(bytes / 1e6 / times[2]).toFixed(1)} (${lines} lines parsed)`);
}
