#!/usr/bin/env bash
# The shipped library exports the KYR functions and nothing else of its own,
# and links the real libusb-1.0. For a cross-built library, NM names the
# target's nm and LDD a command that lists the libraries the target's loader
# resolves.
set -euo pipefail
lib=${1:?library path}
NM=${NM:-nm}
read -r -a LDD <<<"${LDD:-ldd}"
bad=$("$NM" -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | grep -v '^KYR' || true)
if [ -n "$bad" ]; then
  echo "check_exports: $lib exports more than the KYR functions:" >&2
  echo "$bad" | head -20 >&2
  exit 1
fi
count=$("$NM" -D --defined-only "$lib" | awk '$2 == "T" && $3 ~ /^KYR/' | wc -l)
echo "check_exports: $count KYR functions exported"
if [ "$count" -ne 42 ]; then
  echo "check_exports: expected the 42 KYR functions" >&2
  exit 1
fi
if ! "${LDD[@]}" "$lib" | grep 'libusb-1.0.so' >/dev/null; then
  echo "check_exports: $lib does not link the real libusb-1.0" >&2
  exit 1
fi
