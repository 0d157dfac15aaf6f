#!/bin/sh
# Makes screenshot-like picture pairs for the pixelmatch cross-check, as
# 24-bit PNG files named NAME-a.png and NAME-b.png in the folder given
# (default: ./pairs). Needs ImageMagick's convert and the DejaVu fonts.
#   text     a page of text drawn with anti-aliasing, then shifted by half
#            a pixel across and a quarter down, as two machines' renderers differ
#   shapes   circles, lines and rounded boxes, likewise shifted
#   ui-jpeg  a user-interface picture against itself re-encoded as JPEG
#   photo-jpeg  a photograph-like plasma against its JPEG re-encode
#   button   the same user interface with one button recolored
#   equal    two copies of one picture
set -eu

out=${1:-pairs}
mkdir -p "$out"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
mono=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf
[ -f "$font" ] || { echo "make_pairs: $font is missing (fonts-dejavu-core)" >&2; exit 1; }

# Opaque 8-bit RGB, no time stamps, so that the files repeat byte for byte.
save() { convert "$@" -alpha off -define png:exclude-chunks=date,time -depth 8 "PNG24:$last"; }

# text DX DY: the page with its origin moved by (DX, DY) pixels of the
# 4x canvas, a quarter of that in the result. FreeType puts glyphs on whole
# pixels, so the page is drawn four times as large and reduced with a box
# filter, which moves the glyphs by a fraction of a pixel.
text_page() {
    last=$1
    save -size 2560x1440 xc:white -font "$font" -fill '#202020' \
        -draw "translate $2,$3 font-size 112 text 96,192 'Verdicts people trust'" \
        -draw "translate $2,$3 font-size 60 text 96,336 'A pixel matches when its two colors are at most T apart.'" \
        -draw "translate $2,$3 font-size 60 text 96,432 'Anti-aliased pixels are counted apart and never fail a check.'" \
        -fill '#1a5fb4' -draw "translate $2,$3 font-size 52 text 96,560 'https://example.org/docs/verdicts#threshold'" \
        -font "$mono" -fill '#303030' \
        -draw "translate $2,$3 font-size 52 text 96,704 'duvo-compare --threshold 0.1 --antialiasing a.png b.png'" \
        -draw "translate $2,$3 font-size 44 text 96,800 'exit 0: same   exit 1: different   exit 2: could not compare'" \
        -font "$font" -fill '#606060' \
        -draw "translate $2,$3 font-size 36 text 96,920 'Small print at nine pixels: the glyphs are mostly edge.'" \
        -fill '#a51d2d' -draw "translate $2,$3 font-size 80 text 96,1120 'Ærøskøbing 0123456789 (x+y)/2'" \
        -filter box -resize 25%
}

shapes_page() {
    last=$1
    save -size 480x320 xc:'#f6f5f4' -stroke '#241f31' -strokewidth 1.5 -fill none \
        -draw "translate $2,$3 circle 80,80 80,30" \
        -draw "translate $2,$3 line 160,30 300,140" \
        -draw "translate $2,$3 line 160,140 300,36" \
        -strokewidth 3 -draw "translate $2,$3 roundrectangle 320,30 450,130 14,14" \
        -stroke none -fill '#3584e4' -draw "translate $2,$3 ellipse 120,230 70,40 0,360" \
        -fill '#e66100' -draw "translate $2,$3 polygon 250,190 330,290 210,280" \
        -stroke '#26a269' -strokewidth 2 -fill none -draw "translate $2,$3 bezier 340,280 380,170 420,300 460,190"
}

# ui BUTTONCOLOR: a settings panel with a primary button.
ui_page() {
    last=$1
    save -size 520x300 xc:'#ffffff' \
        -fill '#f0f0f0' -draw 'rectangle 0,0 519,44' -fill '#c0bfbc' -draw 'line 0,44 519,44' \
        -font "$font" -fill '#202020' -pointsize 16 -draw "text 16,28 'Settings'" \
        -pointsize 13 -draw "text 24,84 'Threshold'" -draw "text 24,124 'Anti-aliasing'" -draw "text 24,164 'Report'" \
        -fill white -stroke '#9a9996' -draw 'roundrectangle 160,68 480,94 4,4' -draw 'roundrectangle 160,148 480,174 4,4' \
        -stroke none -fill '#505050' -draw "text 170,86 '0.1'" -draw "text 170,166 'report.json'" \
        -fill '#3584e4' -draw 'roundrectangle 160,110 196,132 11,11' -fill white -draw 'circle 185,121 185,112' \
        -fill "$2" -draw 'roundrectangle 360,230 480,266 6,6' \
        -fill white -pointsize 14 -draw "text 392,253 'Compare'"
}

text_page "$out/text-a.png" 0 0
text_page "$out/text-b.png" 2 1
shapes_page "$out/shapes-a.png" 0 0
shapes_page "$out/shapes-b.png" 0.35 0.6
ui_page "$out/button-a.png" '#3584e4'
ui_page "$out/button-b.png" '#26a269'
cp "$out/button-a.png" "$out/ui-jpeg-a.png"
convert "$out/ui-jpeg-a.png" -quality 85 "$out/ui.jpg"
last="$out/ui-jpeg-b.png" && save "$out/ui.jpg"
last="$out/photo-jpeg-a.png" && save -seed 7 -size 640x480 plasma:fractal -blur 0x1
convert "$out/photo-jpeg-a.png" -quality 90 "$out/photo.jpg"
last="$out/photo-jpeg-b.png" && save "$out/photo.jpg"
rm -f "$out/ui.jpg" "$out/photo.jpg"
cp "$out/shapes-a.png" "$out/equal-a.png"
cp "$out/shapes-a.png" "$out/equal-b.png"
echo "pairs in $out: text shapes ui-jpeg photo-jpeg button equal"
