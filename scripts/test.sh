#!/usr/bin/env bash
# Sets up, builds and runs every test: unit and integration tests on the release tree, the
# Debian package packed from it (installed, run and purged when root), the unit tests again
# under ThreadSanitizer, the application's start and quit under AddressSanitizer+UBSan with
# LeakSanitizer, then, in one clang tree, the unit tests under AddressSanitizer+UBSan, and each
# fuzz target for a few seconds (ZANDORIN_FUZZ_SECONDS).
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

echo "== unit tests under ThreadSanitizer"
BUILD_TYPE=Debug "$here/build.sh" "$builds/tsan" -DZANDORIN_UNIT_ONLY=ON -DZANDORIN_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$builds/tsan" --output-on-failure --parallel "$jobs" --timeout 300

echo "== the application under AddressSanitizer and UBSan: its own quit under LeakSanitizer"
BUILD_TARGET=zandorin-auth "$here/build.sh" "$builds/asan" -DZANDORIN_SANITIZE=address,undefined
# What the libraries below us keep until exit is listed, with the reason, in the suppressions.
# Full stacks at every allocation: Qt has no frame pointers, and the suppressions name its frames.
ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
    LSAN_OPTIONS=suppressions="$root/tests/lsan.supp":print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$builds/asan" -R '^(devservice_packages|app_lifecycle)$' --output-on-failure \
    --timeout 300

fuzz_seconds=${ZANDORIN_FUZZ_SECONDS:-10}
# One clang tree with AddressSanitizer and UBSan serves the unit tests and the fuzz targets.
echo "== unit tests under AddressSanitizer and UBSan, then fuzz targets, ${fuzz_seconds} s each"
"$here/build.sh" "$builds/fuzz" -DZANDORIN_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$builds/fuzz" -L unit --output-on-failure --parallel "$jobs" --timeout 300
for target in "$builds"/fuzz/tests/fuzz/fuzz_*; do
    name=${target##*/fuzz_}
    # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
    work="$builds/fuzz/runs/$name"
    rm -rf "$work" && mkdir -p "$work/corpus"
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/" "$work/corpus" "$root/tests/fuzz/corpus/$name" \
        >"$work/log" 2>&1; then
        tail -n 60 "$work/log"
        echo "fuzz: $name failed; the input is in $work (add it to tests/fuzz/corpus/$name)" >&2
        exit 1
    fi
    echo "$name: $(grep -o 'Done [0-9]* runs' "$work/log" || echo done)"
done

echo "== all tests passed"
