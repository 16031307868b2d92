#!/usr/bin/env bash
# Sets up, builds and runs every test: unit and integration tests on the release tree, the
# Debian package packed from it (installed, run and purged when root), then the unit tests
# again under AddressSanitizer+UBSan and under ThreadSanitizer.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
builds=${ZANDORIN_BUILD_ROOT:-$root/build}
jobs=$(nproc)

"$here/setup.sh" test

echo "== build"
"$here/build.sh" "$builds/release"
echo "== unit and integration tests"
ctest --test-dir "$builds/release" --output-on-failure --timeout 300

echo "== Debian package from the release tree"
"$root/tests/integration/package/check-package.sh" "$builds/release"

echo "== unit tests under AddressSanitizer and UBSan"
BUILD_TYPE=Debug "$here/build.sh" "$builds/asan" -DZANDORIN_UNIT_ONLY=ON \
    -DZANDORIN_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$builds/asan" --output-on-failure --parallel "$jobs" --timeout 300

echo "== unit tests under ThreadSanitizer"
BUILD_TYPE=Debug "$here/build.sh" "$builds/tsan" -DZANDORIN_UNIT_ONLY=ON -DZANDORIN_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$builds/tsan" --output-on-failure --parallel "$jobs" --timeout 300

echo "== all tests passed"
