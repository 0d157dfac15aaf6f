#!/usr/bin/env bash
# bench/folders/make_tree.sh DIR [PAIRS]: DIR/base and DIR/new with PAIRS
# (default 200) screenshot-like 1280 x 720 PNG files each, every tenth pair
# changed (a button recolored and a line of text moved), made with ImageMagick
# at its default PNG settings. The pictures are made, never committed.
set -euo pipefail
dir=${1:?usage: make_tree.sh DIR [PAIRS]}
pairs=${2:-200}
mkdir -p "$dir/base" "$dir/new"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
page() {  # page NUMBER CHANGED OUT
    local n=$1 changed=$2 out=$3 button='#2b6cb0' shift=0
    if [ "$changed" = 1 ]; then button='#c05621'; shift=3; fi
    convert -size 1280x720 xc:white -font "$font" \
        -fill '#f1f3f5' -draw 'rectangle 0,0 1280,64' -fill '#1a202c' -pointsize 22 -draw "text 24,42 'Dashboard $n'" \
        -fill "$button" -draw 'roundrectangle 1080,14 1256,50 8,8' -fill white -pointsize 16 -draw "text 1112,38 'Sign in'" \
        -fill '#2d3748' -pointsize 15 \
        -draw "text 40,$((130 + shift)) 'Revenue for account $n grew by $((n % 17)) percent in the last quarter.'" \
        -draw "text 40,160 'Orders shipped: $((n * 37 % 1000)), returns: $((n * 11 % 90)), open tickets: $((n % 23)).'" \
        -fill '#e2e8f0' -draw 'rectangle 40,200 620,520' -fill '#4299e1' -draw "rectangle 80,$((480 - n % 200)) 140,500" \
        -fill '#48bb78' -draw "rectangle 180,$((400 - n % 150)) 240,500" -fill '#ed8936' -draw 'rectangle 280,350 340,500' \
        -fill none -stroke '#a0aec0' -draw 'line 40,560 1240,560' -stroke none -fill '#718096' -pointsize 13 \
        -draw "text 40,600 'Last updated by job $n. All times are UTC.'" -depth 8 "$out"
}
for ((i = 0; i < pairs; ++i)); do
    name=$(printf 'screen-%03d.png' "$i")
    page "$i" 0 "$dir/base/$name"
    if ((i % 10 == 3)); then page "$i" 1 "$dir/new/$name"; else cp "$dir/base/$name" "$dir/new/$name"; fi
done
