#!/bin/sh
# Times duvo-compare against odiff on WebP and TIFF pairs made from a PNG
# pair: lossless and lossy (quality 90) WebP, LZW TIFF. Side by side with
# hyperfine, page cache warm. odiff is not a dependency: give the path of
# its binary (npm's odiff-bin, e.g. node_modules/@odiff/linux-x64/odiff).
#   bench/formats/run.sh A.png B.png ODIFF [DUVO_COMPARE] [FOLDER]
# odiff picks its decoder by extension and takes only ".tiff".
set -eu
a=$1 b=$2 odiff=$3
duvo=${4:-build/src/cli/duvo-compare}
out=${5:-formats-pairs}
mkdir -p "$out"
for side in a b; do
    png=$a; [ "$side" = b ] && png=$b
    [ -f "$out/$side.webp" ] || convert "$png" -define webp:lossless=true "$out/$side.webp"
    [ -f "$out/q$side.webp" ] || convert "$png" -quality 90 "$out/q$side.webp"
    [ -f "$out/$side.tiff" ] || convert "$png" -compress lzw "$out/$side.tiff"
done
for pair in "a.webp b.webp" "qa.webp qb.webp" "a.tiff b.tiff"; do
    set -- $pair
    hyperfine -N -w 3 -r 20 -i "$duvo $out/$1 $out/$2" "$odiff $out/$1 $out/$2"
done
