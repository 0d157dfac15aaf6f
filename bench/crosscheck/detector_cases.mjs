// Holds the detector's drawn test cases (tests/core/antialias_test.cpp,
// Antialias.DrawnEdgesLinesAndChanges) against pixelmatch's own detector:
// run with node from a folder where `npm install pixelmatch@8` was done,
//   node detector_cases.mjs path/to/tests/core/antialias_test.cpp
// Prints one line per case and exits 1 when pixelmatch decides one
// otherwise than the test expects.
import fs from 'fs';
import {createRequire} from 'module';
import path from 'path';

const require = createRequire(path.join(process.cwd(), 'noop.js'));
const pixelmatch = (await import(require.resolve('pixelmatch'))).default;

// The letters of the test's pictures.
const colors = {k: [0, 0, 0], w: [255, 255, 255], g: [128, 128, 128], d: [64, 64, 64], l: [192, 192, 192],
                r: [255, 0, 0], b: [0, 0, 255]};
const source = fs.readFileSync(process.argv[2], 'utf8');
const table = source.slice(source.indexOf('const Case cases[]'), source.indexOf('for (const Case& c : cases)'));
const entry = /\{"((?:[^"\\]|\\.)*)",\s*\{([^}]*)\},\s*\{([^}]*)\},\s*(\d+),\s*(\d+),\s*(true|false)\}/g;
const rows = list => [...list.matchAll(/"(\w+)"/g)].map(m => m[1]);
let disagreements = 0, cases = 0;
for (const m of table.matchAll(entry)) {
    const [what, a, b, x, y, expected] = [m[1], rows(m[2]), rows(m[3]), +m[4], +m[5], m[6] === 'true'];
    const h = a.length, w = a[0].length;
    const picture = art => {
        const data = new Uint8Array(w * h * 4);
        art.forEach((row, py) => [...row].forEach((ch, px) => data.set([...colors[ch], 255], (py * w + px) * 4)));
        return data;
    };
    const out = new Uint8Array(w * h * 4);
    pixelmatch(picture(a), picture(b), out, w, h, {threshold: 0, aaColor: [255, 255, 0], diffColor: [255, 0, 0]});
    const p = (y * w + x) * 4;
    const antialiased = out[p] === 255 && out[p + 1] === 255 && out[p + 2] === 0;
    ++cases;
    if (antialiased !== expected) ++disagreements;
    console.log(`${antialiased === expected ? 'agree   ' : 'DISAGREE'} pixelmatch ${antialiased} test ${expected}  ${what}`);
}
console.log(`${cases} cases, ${disagreements} disagreements`);
process.exit(disagreements || !cases ? 1 : 0);
