#!/usr/bin/env bash
# Regenerates Kamvero's artwork with ImageMagick:
#   splash.jpg   323 x 245 splash picture (the window draws the word "Kamvero" over it
#                at x=116, y=40, so the top-left stays calm and dark)
#   kamvero.png  64 x 64 application icon, transparent background
#
# The camera lens is drawn once, large (512 x 512), and scaled down for both pictures.
# Usage: ./make-artwork.sh   (writes next to this script)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
if command -v magick >/dev/null 2>&1; then im=(magick); else im=(convert); fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

# Cut a layer to a disc: disc IN OUT RADIUS (centre 256,256 of a 512 canvas).
disc() {
    "${im[@]}" "$1" \( -size 512x512 xc:black -fill white \
        -draw "circle 256,256 256,$((256 - $3))" \) \
        -alpha off -compose CopyOpacity -composite "$2"
}

# ---------------------------------------------------------------- the lens
# Soft shadow under the barrel.
"${im[@]}" -size 512x512 xc:none -fill 'rgba(0,0,0,0.55)' \
    -draw 'circle 262,266 262,24' -blur 0x10 shadow.png

# Barrel: brushed blue-grey metal, lit from the top left.
"${im[@]}" -size 512x512 -define gradient:center=170,150 -define gradient:radii=420,420 \
    radial-gradient:'#5d7088-#0d141e' barrel-fill.png
disc barrel-fill.png barrel.png 240

# Grip ring (dashed stroke looks knurled), chrome rim, dark inner well.
"${im[@]}" -size 512x512 xc:none \
    -fill none -stroke '#070b12' -strokewidth 12 -draw 'stroke-dasharray 5 5 circle 256,256 256,30' \
    -stroke 'rgba(160,190,215,0.35)' -strokewidth 2 -draw 'circle 256,256 256,19' \
    -stroke '#a9bed3' -strokewidth 7 -draw 'circle 256,256 256,58' \
    -stroke 'rgba(255,255,255,0.55)' -strokewidth 2 -draw 'circle 256,256 256,55' \
    -stroke none -fill '#060a12' -draw 'circle 256,256 256,64' \
    rings.png

# Glass: deep blue, brighter off-centre, with a teal coating glow near the edge.
"${im[@]}" -size 512x512 -define gradient:center=225,220 -define gradient:radii=230,230 \
    radial-gradient:'#2f78c0-#03060d' glass-fill.png
disc glass-fill.png glass.png 176
"${im[@]}" -size 512x512 xc:none -fill none -stroke 'rgba(40,210,200,0.55)' -strokewidth 16 \
    -draw 'circle 256,256 256,102' -blur 0x9 coating.png
"${im[@]}" -size 512x512 xc:none -fill none -stroke 'rgba(170,80,220,0.35)' -strokewidth 10 \
    -draw 'arc 120,120 392,392 20,120' -blur 0x7 coating2.png

# Aperture: six iris blades (a hexagon with pinwheel edges), lighter at the rim, and the pupil.
"${im[@]}" -size 512x512 -define gradient:center=256,256 -define gradient:radii=96,96 \
    radial-gradient:'#010205-#112540' iris-fill.png
"${im[@]}" iris-fill.png \( -size 512x512 xc:black -fill white \
    -draw 'polygon 256,164 336,210 336,302 256,348 176,302 176,210' \) \
    -alpha off -compose CopyOpacity -composite iris.png
"${im[@]}" -size 512x512 xc:none -fill none \
    -stroke 'rgba(110,160,220,0.50)' -strokewidth 2 \
    -draw 'polygon 256,164 336,210 336,302 256,348 176,302 176,210' \
    -stroke 'rgba(110,160,220,0.28)' \
    -draw 'line 256,164 299,264  line 336,210 271,297  line 336,302 228,290
           line 256,348 213,248  line 176,302 241,215  line 176,210 284,222' \
    -stroke none -fill '#010205' -draw 'circle 256,256 256,212' \
    blades.png
"${im[@]}" iris.png blades.png -background none -flatten aperture.png

# Highlights: a broad soft reflection top-left, a sharp glint, a small cool one bottom-right.
"${im[@]}" -size 512x512 xc:none -fill 'rgba(255,255,255,0.50)' \
    -draw 'translate 196,186 rotate -40 ellipse 0,0 92,34 0,360' -blur 0x14 shine.png
"${im[@]}" -size 512x512 xc:none \
    -fill 'rgba(255,255,255,0.92)' -draw 'circle 186,180 186,163' \
    -fill 'rgba(255,255,255,0.55)' -draw 'circle 224,158 224,151' \
    -fill 'rgba(150,240,255,0.45)' -draw 'translate 330,330 rotate -40 ellipse 0,0 34,12 0,360' \
    -blur 0x1.2 glint.png

"${im[@]}" shadow.png barrel.png rings.png glass.png coating.png coating2.png \
    aperture.png shine.png glint.png -background none -flatten lens.png

# ---------------------------------------------------------------- the icon
"${im[@]}" lens.png -filter Lanczos -resize 64x64 -strip \
    -define png:exclude-chunks=date,time "$here/kamvero.png"

# ---------------------------------------------------------------- the splash
W=323 H=245

# Night-blue to teal, darkest where the title goes.
"${im[@]}" -size ${W}x${H} xc: -sparse-color Bilinear \
    "0,0 #060d1f  322,0 #0a1a38  0,244 #0a3446  322,244 #14808a" bg.png

# A faint floor grid in perspective, fading out towards the top.
"${im[@]}" -size ${W}x${H} xc:none -stroke 'rgba(120,230,235,0.70)' -strokewidth 1 \
    -draw "$(for x in $(seq 0 18 $W); do printf 'line %d,0 %d,%d ' $x $x $H; done)" \
    -draw "$(for y in $(seq 0 16 $H); do printf 'line 0,%d %d,%d ' $y $W $y; done)" \
    -virtual-pixel transparent \
    -distort Perspective "0,0 130,100  322,0 193,100  0,244 -260,244  322,244 582,244" \
    grid-full.png
"${im[@]}" -size ${W}x${H} gradient:black-white -level 45%,100% -evaluate multiply 0.35 grid-fade.png
"${im[@]}" grid-full.png \( +clone -alpha extract grid-fade.png -compose Multiply -composite \) \
    -alpha off -compose CopyOpacity -composite grid.png

# A teal glow behind the lens.
"${im[@]}" -size ${W}x${H} xc:none -fill 'rgba(40,200,210,0.40)' \
    -draw 'circle 240,160 240,74' -blur 0x28 glow.png

# Motion trail: ghosts of a moving dot with speed streaks, framed by detection corners.
"${im[@]}" -size ${W}x${H} xc:none -stroke none \
    -fill 'rgba(140,235,240,0.06)' -draw 'circle 28,186 28,177' \
    -fill 'rgba(140,235,240,0.10)' -draw 'circle 50,182 50,172' \
    -fill 'rgba(140,235,240,0.16)' -draw 'circle 73,177 73,166' \
    -fill 'rgba(140,235,240,0.24)' -draw 'circle 97,172 97,160' \
    -fill 'rgba(200,250,255,0.75)' -draw 'circle 122,167 122,154' \
    -stroke 'rgba(140,235,240,0.22)' -strokewidth 2 \
    -draw 'line 14,175 96,163  line 20,190 100,178  line 34,198 98,185' \
    trail.png
"${im[@]}" trail.png -blur 0x1 trail-soft.png
"${im[@]}" -size ${W}x${H} xc:none -fill none -stroke 'rgba(110,255,180,0.70)' -strokewidth 2 \
    -draw 'polyline 100,153 100,145 108,145  polyline 136,145 144,145 144,153
           polyline 144,181 144,189 136,189  polyline 108,189 100,189 100,181' \
    corners.png

# Darken the edges a little.
"${im[@]}" -size ${W}x${H} -define gradient:center=200,150 -define gradient:radii=260,230 \
    radial-gradient:'rgba(0,0,0,0)-rgba(0,0,0,0.55)' vignette.png

"${im[@]}" lens.png -filter Lanczos -resize 150x150 lens-small.png

"${im[@]}" bg.png glow.png grid.png trail-soft.png corners.png \
    \( lens-small.png -repage +165+85 \) vignette.png \
    -flatten -strip -quality 90 -sampling-factor 2x2 "$here/splash.jpg"

ls -l "$here/splash.jpg" "$here/kamvero.png"
