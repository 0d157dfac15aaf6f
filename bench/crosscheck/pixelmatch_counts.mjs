// pixelmatch's side of the cross-check, run with node from a folder where
// `npm install pixelmatch@8 pngjs` was done (never a dependency of DUVO):
//   node pixelmatch_counts.mjs A.png B.png T...
// prints one line per threshold:
//   threshold T counted N including-aa N
// counted: pixels over the threshold that are not anti-aliasing (pixelmatch's
// default); including-aa: all pixels over the threshold (includeAA).
import fs from 'fs';
import {createRequire} from 'module';
import path from 'path';

// Resolve the packages from the working folder, not from this script's.
const require = createRequire(path.join(process.cwd(), 'noop.js'));
const {PNG} = require('pngjs');
const pixelmatch = (await import(require.resolve('pixelmatch'))).default;

const [a, b, ...thresholds] = process.argv.slice(2);
const img1 = PNG.sync.read(fs.readFileSync(a));
const img2 = PNG.sync.read(fs.readFileSync(b));
const {width, height} = img1;
for (const t of thresholds) {
    const threshold = Number(t);
    const counted = pixelmatch(img1.data, img2.data, null, width, height, {threshold});
    const all = pixelmatch(img1.data, img2.data, null, width, height, {threshold, includeAA: true});
    console.log(`threshold ${threshold} counted ${counted} including-aa ${all}`);
}
