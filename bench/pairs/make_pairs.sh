#!/usr/bin/env bash
# bench/pairs/make_pairs.sh DIR: makes the benchmark picture pairs in DIR with
# ImageMagick, deterministically (fixed seeds), at its default PNG settings so
# that the files look like any encoder's output:
#   fullpage-a.png, fullpage-b.png  a 3446 x 10728 web page screenshot with an
#       alpha channel (text in several sizes, thin lines, boxes, buttons, a
#       photo; mostly opaque), and the same page with a few percent changed
#       (a paragraph recolored, one reflowed, a box moved);
#   photo16-a.png, photo16-b.png    a 16-megapixel 8-bit RGB camera-like
#       picture (smooth shapes, sensor noise) and a slightly edited copy.
# The pictures are large; they are made, never committed.
set -euo pipefail
out=${1:?usage: make_pairs.sh DIR}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
W=3446
H=10728
sans=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
bold=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
serif=/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf
mono=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf

# The page as drawing commands; variant b changes a few things.
page_mvg() {
    awk -v W=$W -v H=$H -v variant="$1" -v sans=$sans -v bold=$bold -v serif=$serif -v mono=$mono '
    function word(  n, s, i) {
        n = 2 + int(rand() * 8); s = ""
        for (i = 0; i < n; i++) s = s substr("etaoinshrdlucmfwypvbgkqjxz", 1 + int(rand() * rand() * 26), 1)
        return s
    }
    # A paragraph of pseudo-words wrapped at width w (an estimate of the glyph
    # advance is enough for a page that only has to look like text).
    function para(x, y, w, size, lines, color, font,   adv, line, l, t, cnt) {
        adv = size * 0.58
        printf "push graphic-context\nfont \"%s\"\nfont-size %d\nfill \"%s\"\n", font, size, color
        for (l = 0; l < lines; l++) {
            line = ""; cnt = 0
            while (length(line) * adv < w - 8 * adv) { t = word(); line = line (cnt++ ? " " : "") t }
            if (l == lines - 1) line = substr(line, 1, int(length(line) * 0.6))
            printf "text %d,%d \"%s\"\n", x, y + l * size * 1.5, line
        }
        printf "pop graphic-context\n"
        return y + lines * size * 1.5 + size
    }
    BEGIN {
        srand(17)
        body = W - 14
        printf "viewbox 0 0 %d %d\n", W, H
        # The page is opaque; a 14-pixel strip at the right stays transparent
        # but for a half-transparent scroll bar.
        printf "fill \"#ffffff\"\nrectangle 0,0 %d,%d\n", body - 1, H - 1
        printf "fill \"rgba(40,40,40,0.45)\"\nroundrectangle %d,%d %d,%d 6,6\n", body + 3, 180, W - 3, 1400
        # Header with navigation buttons.
        printf "fill \"#1f2937\"\nrectangle 0,0 %d,120\n", body - 1
        printf "font \"%s\"\nfont-size 44\nfill \"#f9fafb\"\ntext 60,78 \"Duvo Weekly Review\"\n", bold
        for (i = 0; i < 7; i++) {
            x = 1500 + i * 250
            printf "fill \"#374151\"\nroundrectangle %d,30 %d,90 10,10\n", x, x + 220
            printf "font \"%s\"\nfont-size 24\nfill \"#e5e7eb\"\ntext %d,70 \"%s\"\n", sans, x + 30, word() " " word()
        }
        # Left column: a menu with thin separators.
        printf "fill \"#f3f4f6\"\nrectangle 0,121 640,%d\n", H - 1
        printf "stroke \"#d1d5db\"\nstroke-width 1\nline 640,121 640,%d\nstroke none\n", H - 1
        for (i = 0; i < 120; i++) {
            y = 180 + i * 86
            printf "font \"%s\"\nfont-size 22\nfill \"%s\"\ntext 48,%d \"%s\"\n", sans, (i % 9 == 0) ? "#2563eb" : "#374151", y, word() " " word() " " word()
            printf "stroke \"#e5e7eb\"\nline 32,%d 608,%d\nstroke none\n", y + 30, y + 30
        }
        # Main column: headings, paragraphs, boxes, buttons, a table, a photo.
        y = 220; x0 = 720; w = 2000; block = 0
        while (y < H - 600) {
            block++
            printf "font \"%s\"\nfont-size 40\nfill \"#111827\"\ntext %d,%d \"%s\"\n", bold, x0, y, word() " " word() " " word()
            y += 70
            color = "#1f2937"
            if (variant == "b" && (block == 4 || block == 11)) color = "#b91c1c"
            wrap = w
            if (variant == "b" && block == 7) wrap = w - 260
            y = para(x0, y, wrap, (block % 3 == 0) ? 28 : 20, 6 + block % 5, color, (block % 4 == 1) ? serif : sans)
            if (block % 3 == 1) {
                bx = x0; if (variant == "b" && block == 10) bx = x0 + 180
                printf "fill \"#eff6ff\"\nstroke \"#93c5fd\"\nstroke-width 2\nrectangle %d,%d %d,%d\nstroke none\n", bx, y, bx + w, y + 260
                para(bx + 40, y + 60, w - 80, 18, 4, "#1e3a8a", mono)
                y += 320
            }
            if (block % 3 == 2) {
                for (i = 0; i < 4; i++) {
                    bx = x0 + i * 300
                    printf "fill \"%s\"\nroundrectangle %d,%d %d,%d 14,14\n", (i == 0) ? "#16a34a" : "#e5e7eb", bx, y, bx + 260, y + 72
                    printf "font \"%s\"\nfont-size 26\nfill \"%s\"\ntext %d,%d \"%s\"\n", bold, (i == 0) ? "#ffffff" : "#111827", bx + 36, y + 47, word()
                }
                y += 130
            }
            if (block % 5 == 0) {
                # A table: a grid of one-pixel lines with short cells.
                printf "stroke \"#cbd5e1\"\nstroke-width 1\n"
                for (r = 0; r <= 8; r++) printf "line %d,%d %d,%d\n", x0, y + r * 44, x0 + w, y + r * 44
                for (c = 0; c <= 5; c++) printf "line %d,%d %d,%d\n", x0 + c * 400, y, x0 + c * 400, y + 352
                printf "stroke none\nfont \"%s\"\nfont-size 18\nfill \"#334155\"\n", sans
                for (r = 0; r < 8; r++) for (c = 0; c < 5; c++) printf "text %d,%d \"%s\"\n", x0 + c * 400 + 16, y + r * 44 + 30, word() " " int(rand() * 10000)
                y += 400
            }
            y += 40
        }
        # Right column: cards with small text.
        for (i = 0; i < 24; i++) {
            cy = 220 + i * 430
            printf "fill \"#fafafa\"\nstroke \"#e5e7eb\"\nstroke-width 1\nroundrectangle 2800,%d 3380,%d 12,12\nstroke none\n", cy, cy + 380
            para(2830, cy + 50, 520, 16, 12, "#4b5563", sans)
        }
    }'
}

page() {  # page VARIANT FILE
    page_mvg "$1" > "$tmp/page-$1.mvg"
    # The photo: a smooth fractal, enlarged, with sensor noise.
    convert -seed 5 -size 300x180 plasma:'#6b8e23-#87ceeb' -blur 0x1.5 -resize 1800x1080! \
        -attenuate 0.25 +noise Gaussian "$tmp/photo.png"
    convert -size ${W}x${H} -background none mvg:"$tmp/page-$1.mvg" \
        "$tmp/photo.png" -geometry +760+$((H / 2)) -compose over -composite PNG32:"$2"
}

page a "$out/fullpage-a.png"
page b "$out/fullpage-b.png"

# 4896 x 3264: broad shapes from an enlarged fractal, a vignette, fine noise.
convert -seed 11 -size 612x408 plasma:'#7a5c3a-#9fc5e8' -blur 0x3 -resize 4896x3264! \
    \( -size 4896x3264 radial-gradient:'#ffffff-#505050' \) -compose multiply -composite \
    -attenuate 0.5 +noise Gaussian PNG24:"$out/photo16-a.png"
# The edit: one region brightened, a small patch drawn over.
convert "$out/photo16-a.png" -region 900x600+1800+1200 -modulate 112,105,100 +region \
    -fill '#c0392b' -draw 'circle 700,700 760,760' PNG24:"$out/photo16-b.png"
