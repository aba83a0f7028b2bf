#!/usr/bin/env bash
# Keeps the code layered without circles: fails when a source file includes a header of a level
# above its own, or of another folder on its own level.
#   scripts/check_layers.sh [SOURCE_DIR]    (default: the tree this script belongs to)
#
# Levels, lowest first. A file may include headers of its own folder and of every lower level:
#   0  platform                   the operating system: one file per system and concern
#   1  serial                     the serial port; it wakes its reader through a callback it is given
#   2  cmbs                       the protocol: frames, receive path, link control, elements
#   3  session                    port discovery, the session, the product table, shared console texts;
#                                 it calls nothing above it: a command registers the answer
#                                 handlers it needs with the session
#   4  update params tracer       the commands; none includes another
#   5  station                    the servicing station: the runs over many repeaters, the watch,
#                                 the stop table, the hooks
#   6  app extcap trace_reader    the programs: halvern's command line, the capture interface, the
#                                 trace reader; none includes another
# tests/ bench/ fuzz/ sim/ may include anything, and nothing above includes them.
# Every other folder that holds C++ sources must be given a level here; build trees are skipped.
set -euo pipefail

root=${1:-"$(dirname "$0")/.."}
cd "$root"

declare -A level=(
  [platform]=0
  [serial]=1
  [cmbs]=2
  [session]=3
  [update]=4 [params]=4 [tracer]=4
  [station]=5
  [app]=6 [extcap]=6 [trace_reader]=6
  [tests]=7 [bench]=7 [fuzz]=7 [sim]=7
)
exempt=" tests bench fuzz sim "
sources='.*\.\(h\|hh\|hpp\|c\|cc\|cpp\|cxx\|inc\)'

failures=0
fail() {
  echo "check_layers: $*" >&2
  failures=$((failures + 1))
}

# Top-level folders with C++ sources, build trees (a CMakeCache.txt) and hidden folders left out.
folders=()
for dir in */; do
  dir=${dir%/}
  [ -f "$dir/CMakeCache.txt" ] && continue
  [ -n "$(find "$dir" -regex "$sources" -print -quit)" ] || continue
  if [ -z "${level[$dir]+set}" ]; then
    fail "$dir/ holds C++ sources but has no level: give it one in scripts/check_layers.sh"
    continue
  fi
  folders+=("$dir")
done

# Sets target to the folder a header lies in: the first part of its path, a relative path resolved
# from the including file's folder. Empty for a header beside the including file or outside the tree.
header_folder() {
  local file=$1 header=$2 path
  target=""
  case "$header" in
    ./* | ../*) path=$(realpath -m --relative-to=. "$(dirname "$file")/$header") ;;
    */*) path=$header ;;
    *) return 0 ;;
  esac
  case "$path" in
    ../* | /*) return 0 ;;
  esac
  target=${path%%/*}
}

for dir in "${folders[@]}"; do
  [[ $exempt == *" $dir "* ]] && continue
  # FILE:LINE:TEXT of every include line of the folder's sources.
  while IFS= read -r found; do
    file=${found%%:*} rest=${found#*:}
    line_no=${rest%%:*} line=${rest#*:}
    [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"\<]([^\"\>]+)[\"\>] ]] || continue
    header=${BASH_REMATCH[1]}
    header_folder "$file" "$header"
    [ -n "$target" ] && [ "$target" != "$dir" ] && [ -n "${level[$target]+set}" ] || continue
    if ((level[$target] >= level[$dir])); then
      fail "$file:$line_no includes $header: $dir/ (level ${level[$dir]}) may include only its own" \
        "folder and levels below ${level[$dir]}, not $target/ (level ${level[$target]})"
    fi
  done < <(find "$dir" -type f -regex "$sources" -print0 | sort -z |
    xargs -0 -r grep -HnE '^[[:space:]]*#[[:space:]]*include' || true)
done

if ((failures > 0)); then
  echo "check_layers: $failures finding(s) against the layer order" >&2
  exit 1
fi
echo "check_layers: every include points down the layers"
