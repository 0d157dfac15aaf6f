#!/usr/bin/env bash
# bench/folders/peers.sh TREE ODIFF PIXELMATCH_DIR: the peers on a tree that
# make_tree.sh made, as their users would run them on a folder: odiff once
# per pair from a shell loop, and pixelmatch over every pair in one node
# process (PIXELMATCH_DIR: a scratch folder with `npm install pixelmatch
# pngjs`). Prints nothing; time it (hyperfine) against
#   duvo-compare TREE/base TREE/new
set -euo pipefail
tree=${1:?usage: peers.sh TREE ODIFF|pixelmatch PIXELMATCH_DIR}
tool=${2:?}
if [ "$tool" = pixelmatch ]; then
    pm=${3:?the pixelmatch folder}
    cd "$pm"
    node --input-type=module -e "
import fs from 'fs'; import path from 'path';
import pixelmatch from 'pixelmatch'; import { PNG } from 'pngjs';
const tree = process.argv[1];
let changed = 0;
for (const name of fs.readdirSync(path.join(tree, 'base')).sort()) {
  const a = PNG.sync.read(fs.readFileSync(path.join(tree, 'base', name)));
  const b = PNG.sync.read(fs.readFileSync(path.join(tree, 'new', name)));
  const diff = new PNG({width: a.width, height: a.height});
  if (pixelmatch(a.data, b.data, diff.data, a.width, a.height, {threshold: 0.1}) > 0) ++changed;
}
" "$tree"
else
    out=$(mktemp -d)
    for f in "$tree"/base/*.png; do
        name=$(basename "$f")
        "$tool" "$f" "$tree/new/$name" "$out/$name" >/dev/null || true
    done
    rm -rf "$out"
fi
