#!/usr/bin/env bash
# Draws halvern's icon, a white "h" on a blue tile with rounded corners, in two sizes (32 and 16
# pixels, 32-bit colour with alpha) and writes it as a Windows .ico file. Only bash and printf:
# the .ico beside this script (packaging/windows/halvern.ico) is its output, committed so that a
# build needs nothing more; ci_windows.sh checks that the two still agree.
#   packaging/windows/make_icon.sh OUT.ico
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUT.ico" >&2; exit 2; }
out=$1

# Little-endian fields as printf escapes.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }

# The colour of pixel X,Y (from the top left) of the SIZE-pixel image, as B G R A escapes. The
# drawing is made on a 32-pixel grid; the small image samples it at every other pixel.
pixel() {
  local size=$1 x=$2 y=$3 r=4
  local gx=$((x * 32 / size)) gy=$((y * 32 / size))
  # Outside the rounded corners: transparent.
  local cx=-1 cy=-1
  [ $gx -lt $r ] && cx=$((r - gx)); [ $gx -gt $((31 - r)) ] && cx=$((gx - 31 + r))
  [ $gy -lt $r ] && cy=$((r - gy)); [ $gy -gt $((31 - r)) ] && cy=$((gy - 31 + r))
  if [ $cx -ge 0 ] && [ $cy -ge 0 ] && [ $((cx * cx + cy * cy)) -gt $((r * r)) ]; then
    printf '\\x00\\x00\\x00\\x00'; return
  fi
  # The "h": a stem, the shoulder and the right leg.
  if { [ $gx -ge 8 ] && [ $gx -le 12 ] && [ $gy -ge 5 ] && [ $gy -le 26 ]; } ||
     { [ $gx -ge 8 ] && [ $gx -le 23 ] && [ $gy -ge 13 ] && [ $gy -le 17 ]; } ||
     { [ $gx -ge 19 ] && [ $gx -le 23 ] && [ $gy -ge 13 ] && [ $gy -le 26 ]; }; then
    printf '\\xff\\xff\\xff\\xff'
  else
    printf '\\xa8\\x5f\\x1f\\xff'  # blue, #1F5FA8
  fi
}

# One image: the bitmap header (its height counts the colour rows and the mask rows), the colour
# rows from the bottom up, then the transparency mask (all zero: the alpha channel decides), each
# mask row padded to four bytes.
image() {
  local size=$1 x y
  local mask_row=$(((size + 31) / 32 * 4))
  printf "$(le32 40)$(le32 "$size")$(le32 $((size * 2)))$(le16 1)$(le16 32)$(le32 0)"
  printf "$(le32 $((size * size * 4 + mask_row * size)))$(le32 0)$(le32 0)$(le32 0)$(le32 0)"
  for ((y = size - 1; y >= 0; y--)); do
    row=""
    for ((x = 0; x < size; x++)); do row+=$(pixel "$size" "$x" "$y"); done
    printf "$row"
  done
  head -c $((mask_row * size)) /dev/zero
}

sizes=(32 16)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in "${sizes[@]}"; do image "$size" >"$tmp/$size.bmp"; done
# The directory: one entry per image (width, height, no palette, 1 plane, 32 bits, its length and
# where it starts), the images after it.
offset=$((6 + 16 * ${#sizes[@]}))
{
  printf "$(le16 0)$(le16 1)$(le16 ${#sizes[@]})"
  for size in "${sizes[@]}"; do
    length=$(wc -c <"$tmp/$size.bmp")
    printf "$(printf '\\x%02x\\x%02x' "$size" "$size")\\x00\\x00$(le16 1)$(le16 32)$(le32 "$length")$(le32 "$offset")"
    offset=$((offset + length))
  done
  for size in "${sizes[@]}"; do cat "$tmp/$size.bmp"; done
} >"$out"
