#!/usr/bin/env bash
# Runs every test suite of a built tree and fails when any of them fails.
# Usage: scripts/run-tests.sh BUILD_ROOT [DIST VERSION]
set -u
root="$1"
dist="${2:-}"
version="${3:-}"
here="$(cd "$(dirname "$0")" && pwd)"
status=0

echo "=== host tests (native, ASan + UBSan) ==="
ctest --test-dir "$root/host" --output-on-failure -j "$(nproc)" || status=1

echo "=== win64 tests (under wine64 + Xvfb) ==="
"$here/test-win64.sh" "$root/win64" || status=1

echo "=== fuzzers (bounded) ==="
"$here/fuzz.sh" "$root" 20 || status=1

echo "=== i686 product checks ==="
"$here/check-product.sh" "$root/win32" || status=1

if [ -n "$dist" ]; then
  echo "=== release archives ==="
  "$here/check-dist.sh" "$root" "$dist" "$version" || status=1
fi

[ $status -eq 0 ] && echo "ALL TEST SUITES PASSED" || echo "SOME TEST SUITES FAILED"
exit $status
