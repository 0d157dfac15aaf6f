#!/bin/sh
# The pixelmatch cross-check, run by hand:
#   bench/crosscheck/run.sh BUILD_DIR PIXELMATCH_DIR [PAIRS_DIR]
# BUILD_DIR holds bench/duvo-crosscheck-counts and src/cli/duvo-compare (whose
# nonMatchingPixels with --threshold T --antialiasing is the "tool" column, and
# must equal "ours"); PIXELMATCH_DIR is a scratch
# folder outside the repository where `npm install pixelmatch@8 pngjs` was
# done. The pairs are made in PAIRS_DIR (default: PIXELMATCH_DIR/pairs).
# Prints, per pair and threshold, the exact count (colors differ), and our
# count and pixelmatch's with anti-aliased pixels taken out and with them
# kept in, with our difference from pixelmatch in per cent.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build folder}" && pwd)
pm=$(cd "${2:?pixelmatch folder}" && pwd)
pairs=${3:-$pm/pairs}
counts=$build/bench/duvo-crosscheck-counts
tool=$build/src/cli/duvo-compare
thresholds=${THRESHOLDS:-0 0.01 0.02 0.05 0.1 0.2}

[ -x "$counts" ] || { echo "run.sh: build $counts first" >&2; exit 1; }
[ -d "$pm/node_modules/pixelmatch" ] || { echo "run.sh: no pixelmatch in $pm/node_modules" >&2; exit 1; }
"$here/make_pairs.sh" "$pairs" >/dev/null
echo "pixelmatch $(cd "$pm" && node -p "require('pixelmatch/package.json').version")"

# pct OURS THEIRS: our difference from theirs, in per cent of theirs.
pct() { awk -v o="$1" -v t="$2" 'BEGIN { if (t == 0) print (o == 0 ? "0.00" : "inf"); else printf "%+.2f\n", 100 * (o - t) / t }'; }

printf '%-11s %5s %8s | %8s %8s %8s %7s | %8s %8s %7s\n' pair T exact ours tool pm diff% ours+aa pm+aa diff%
for pair in text shapes ui-jpeg photo-jpeg button equal; do
    a=$pairs/$pair-a.png
    b=$pairs/$pair-b.png
    ours=$("$counts" "$a" "$b" $thresholds)
    theirs=$(cd "$pm" && node "$here/pixelmatch_counts.mjs" "$a" "$b" $thresholds)
    for t in $thresholds; do
        # Both print "threshold T ..." lines; the value of T reads back the same.
        o=$(echo "$ours" | awk -v t="$t" '$2 == t+0 { print $4, $6, $10 }')
        p=$(echo "$theirs" | awk -v t="$t" '$2 == t+0 { print $4, $6 }')
        c=$("$tool" --json --threshold "$t" --antialiasing "$a" "$b" |
            python3 -c 'import json, sys; print(json.load(sys.stdin)["nonMatchingPixels"])')
        set -- $o $p
        printf '%-11s %5s %8s | %8s %8s %8s %7s | %8s %8s %7s\n' "$pair" "$t" "$1" "$3" "$c" "$4" "$(pct "$3" "$4")" \
            "$2" "$5" "$(pct "$2" "$5")"
    done
done
