#!/usr/bin/env bash
# The core's parts are layered, from the top: api, cooling, camera, image,
# ring, usb, platform. A file may include headers of its own part and of the
# parts below it, and the public header (core/include) from anywhere; the
# public header includes no part. Fails when a core file includes a header of
# a higher part, anything of drivers/, sim/, python/ or tests/, or when a
# source sits in core/ outside the parts' folders.
# Includes resolve as the compiler finds them: beside the including file, then
# core/include, core/ and drivers/ (the library's include directories).
set -euo pipefail
cd "$(dirname "$0")/.."

parts=(include platform usb ring image camera cooling api)  # lowest first
rank() {
  local i
  for i in "${!parts[@]}"; do
    if [ "${parts[$i]}" = "$1" ]; then echo "$i"; return; fi
  done
  echo -1
}

bad=0
fail() { echo "check_core_layers: $*" >&2; bad=1; }

while IFS= read -r file; do
  part=${file#core/}
  part=${part%%/*}
  from=$(rank "$part")
  if [ "$from" -lt 0 ]; then
    fail "$file is in no part's folder"
    continue
  fi
  while IFS=: read -r line kind name; do
    target=""
    if [ "$kind" = '"' ] && [ -f "$(dirname "$file")/$name" ]; then
      target=$(realpath -m --relative-to=. "$(dirname "$file")/$name")
    else
      for dir in core/include core drivers; do
        if [ -f "$dir/$name" ]; then target=$(realpath -m --relative-to=. "$dir/$name"); break; fi
      done
    fi
    if [ -z "$target" ]; then
      # Not on the library's include path: a system header, unless it is one
      # of the simulator's, the Python layer's or the tests'.
      for dir in sim python tests/support; do
        if [ -f "$dir/$name" ]; then target="$dir/$name"; fi
      done
      [ -n "$target" ] || continue
    fi
    case $target in
      core/*/*)
        to_part=${target#core/}
        to_part=${to_part%%/*}
        to=$(rank "$to_part")
        if [ "$to" -lt 0 ]; then
          fail "$file:$line includes $target, which is in no part's folder"
        elif [ "$to" -gt "$from" ] || { [ "$part" = include ] && [ "$to_part" != include ]; }; then
          fail "$file:$line ($part) includes $name of the higher part $to_part"
        fi
        ;;
      *) fail "$file:$line includes $name from outside the core ($target)" ;;
    esac
  done < <(awk 'match($0, /^[ \t]*#[ \t]*include[ \t]*[<"][^>"]+[>"]/) {
                  s = substr($0, RSTART, RLENGTH); kind = (s ~ /"/) ? "\"" : "<"
                  sub(/^[^<"]*[<"]/, "", s); sub(/[>"]$/, "", s); print FNR ":" kind ":" s }' "$file")
done < <(find core -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.c' -o -name '*.cc' \) | sort)

if [ "$bad" -ne 0 ]; then exit 1; fi
echo "check_core_layers: every core include goes to its own part, a lower one or the public header"
