#!/usr/bin/env bash
# Runs every test suite of a built tree and fails when any of them fails.
# Ends with one line per ctest suite: its summary with counts, or why it was
# skipped (a skipped suite is never counted as passed).
# Usage: scripts/run-tests.sh BUILD_ROOT [DIST VERSION]
set -u
root="$1"
dist="${2:-}"
version="${3:-}"
here="$(cd "$(dirname "$0")" && pwd)"
status=0
skipped=()
summary=()

# suite NAME COMMAND...: runs a ctest suite, keeps its summary line.
suite() {
  local name="$1" log rc line
  shift
  log="$(mktemp)"
  "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  line="$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)"
  case $rc in
    0) summary+=("$name: $line") ;;
    77) skipped+=("$name"); summary+=("$name: $(tail -1 "$log")") ;;
    *) status=1; summary+=("$name: FAILED${line:+: $line}") ;;
  esac
  rm -f "$log"
}

echo "=== host tests (native, ASan + UBSan) ==="
suite host ctest --test-dir "$root/host" --output-on-failure -j "$(nproc)"

echo "=== win64 tests (under wine64 + Xvfb) ==="
suite win64 "$here/test-win64.sh" "$root/win64"

echo "=== i686 tests (the product, under 32-bit wine in the i386 root + Xvfb) ==="
suite i686 "$here/test-win32.sh" "$root/win32"

echo "=== fuzzers (bounded) ==="
"$here/fuzz.sh" "$root" 20 || status=1

echo "=== i686 product checks ==="
"$here/check-product.sh" "$root/win32" || status=1

if [ -n "$dist" ]; then
  echo "=== release archives ==="
  "$here/check-dist.sh" "$root" "$dist" "$version" || status=1
fi

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
if [ $status -ne 0 ]; then
  echo "SOME TEST SUITES FAILED"
elif [ ${#skipped[@]} -gt 0 ]; then
  echo "ALL TEST SUITES THAT RAN PASSED; SKIPPED: ${skipped[*]}"
else
  echo "ALL TEST SUITES PASSED"
fi
exit $status
