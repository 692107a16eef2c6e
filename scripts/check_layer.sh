#!/usr/bin/env bash
# The Python layer reaches the cameras through the exported interface only:
# of the symbols the camera library defines, the layer's archive leaves
# undefined none but the KYR functions.
set -euo pipefail
layer=${1:?layer archive}
core_objects=${2:?directory of the camera library objects}
core_defined=$(find "$core_objects" -name '*.o' -print0 | xargs -0 nm --defined-only --extern-only |
  awk 'NF == 3 {print $3}' | sort -u)
layer_undefined=$(nm -u "$layer" | awk '{print $NF}' | sort -u)
bad=$(comm -12 <(echo "$core_defined") <(echo "$layer_undefined") | grep -v '^KYR' || true)
if [ -n "$bad" ]; then
  echo "check_layer: $layer uses the camera library beyond the KYR functions:" >&2
  echo "$bad" | head -20 >&2
  exit 1
fi
count=$(comm -12 <(echo "$core_defined") <(echo "$layer_undefined") | grep -c '^KYR' || true)
echo "check_layer: $layer calls $count KYR functions and nothing else of the camera library"
if [ "$count" -eq 0 ]; then
  echo "check_layer: no KYR function found: wrong objects?" >&2
  exit 1
fi
