// Draws bench/results/ratios.svg from the tables in bench/results/*.md:
// one bar per peer, its wall time over the server's (above 1: the server is
// faster), with gnuplot.
//
// A table takes part when one of its columns is headed "wall ratio" or
// "Wall vs ..."; the server's own rows (ratio 1 by definition) are left out.
// A header such as "wall ratio (pipeline / server)" names the peer, for
// tables whose rows name cases rather than commands.
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import { join, resolve } from 'node:path';

const RESULTS = resolve(new URL('../bench/results', import.meta.url).pathname);
const OURS = /scan_|corvane|find_copies|server/i;

const cells = (line) => line.trim().replace(/\\\|/g, '\u0001').replace(/^\||\|$/g, '').split('|')
  .map((c) => c.replace(/\u0001/g, '|').trim());
const bars = [];
for (const file of readdirSync(RESULTS).filter((f) => f.endsWith('.md')).sort()) {
  let section = file.replace(/\.md$/, '');
  let header = null;
  for (const line of readFileSync(join(RESULTS, file), 'utf8').split('\n')) {
    if (line.startsWith('## ')) section = line.slice(3).replace(/\s*\(.*\)$/, '').trim();
    if (!line.startsWith('|')) { header = null; continue; }
    const row = cells(line);
    if (!header) { header = row; continue; }
    if (row.every((c) => /^:?-+:?$/.test(c))) continue;
    const col = header.findIndex((h) => /wall ratio|wall vs/i.test(h));
    if (col < 0) continue;
    const ratio = parseFloat(row[col]);
    // The row's words before the figures name it ("largest files: ncdu -x -0 -o-");
    // figures with their units ("0.579 s", "0.58×") and asides in brackets are dropped.
    const peer = header[col].match(/\(([^)]+?) \/ [^)]*\)/);
    const label = [...(peer ? [peer[1]] : []), ...row.slice(0, col).filter((c) => !/^[\d.,]+\s*\S*$/.test(c))]
      .join(': ').replace(/`/g, '').replace(/\s*\([^)]*\)/g, '');
    if (!Number.isFinite(ratio) || OURS.test(row.slice(0, 2).join(' ').replace(/find -type|find \|/g, ''))) continue;
    bars.push({ label: `${label} [${section.replace(/^\/tmp\//, '')}]`, ratio });
  }
}
if (bars.length === 0) throw new Error('no ratio tables found in bench/results');

const data = bars.map((b, i) => `${i}\t${b.ratio}\t"${b.label.replace(/"/g, "'")}"`).join('\n') + '\n';
const dataFile = join(RESULTS, 'ratios.tsv');
writeFileSync(dataFile, data);
const height = 120 + bars.length * 26;
// The labels get the room the longest one needs; the bars (and the title
// centred over them) keep theirs.
const labelWidth = 30 + 7.2 * Math.max(...bars.map((b) => b.label.length));
const width = Math.round(labelWidth + 560);
const script = `
set terminal svg size ${width},${height} dynamic noenhanced font "sans,11" background "#ffffff"
set output '${join(RESULTS, 'ratios.svg')}'
set title "Peer wall time / Corvane MCP wall time (above 1: Corvane is faster)"
set style fill solid 0.8 noborder
set boxwidth 0.7
set lmargin at screen ${(labelWidth / width).toFixed(3)}
set xrange [0:*]
set yrange [${bars.length - 0.4}:-0.6]
set ytics nomirror
set grid xtics
set arrow from 1, graph 0 to 1, graph 1 nohead dt 2 lc rgb "#aa0000"
unset key
plot '${dataFile}' using (0.5*$2):1:(0.5*$2):(0.35):ytic(3) with boxxyerror lc rgb "#3a6ea5", \\
     '' using 2:1:(sprintf(" %.2f", $2)) with labels left offset 0.3,0
`;
execFileSync('gnuplot', [], { input: script });
console.log(`bench/results/ratios.svg: ${bars.length} bars`);
