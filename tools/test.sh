#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   0. the format check: every C++ source as clang-format (.clang-format) has it;
#   1. the normal build (warnings as errors) with all C++ and JavaScript tests
#      (kept fuzz findings replayed with guard pages, and under valgrind where
#      valgrind can run on this processor);
#   2. the packages: install tree, Debian package, npm tarball, Node client;
#   3. one clang build with AddressSanitizer and UndefinedBehaviorSanitizer,
#      instrumented for libFuzzer, running the C++ tests again (but for the
#      `sweep` of every fixture, whose commands the other tests run there);
#   4. from that build, a short, reproducible pass of every libFuzzer harness
#      (FUZZ_SECONDS each, default 20, random seed FUZZ_SEED, default 1), a
#      sample of whose inputs (GUARD_SAMPLE per harness, default 4) is then
#      replayed with guard pages; a finding fails it.
# Each stage's time is printed at the end, also when a stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

times=()
report() {
    echo "== stage times (s)"
    printf '  %s\n' "${times[@]}"
    echo "  total $SECONDS"
}
trap report EXIT
stage() {  # name command...: runs one stage and keeps its time
    local name=$1 t0=$SECONDS
    shift
    echo "== $name"
    "$@"
    times+=("$name $((SECONDS - t0))")
}

format_check() {
    find platform reelctl pixsig dragbridge tests bench clients \( -name '*.cpp' -o -name '*.h' \) \
        -print0 | xargs -0 clang-format --dry-run --Werror
}
tests() {
    ctest --test-dir build --output-on-failure -j"$jobs"
    # A stage that cannot run on this machine says why (CTest lists it as skipped).
    grep -h -E '^valgrind replay skipped' build/Testing/Temporary/LastTest*.log | sort -u || true
}
javascript_tests() {
    local jstests
    mapfile -t jstests < <(ls tests/*/*.test.mjs tests/*/*.test.js 2>/dev/null || true)
    # Test files side by side, one per processor (each drag test runs its own
    # X server), where this Node.js can (its default is one fewer).
    local side=()
    if node --help | grep -q -- --test-concurrency; then side=(--test-concurrency="$jobs"); fi
    if ((${#jstests[@]})); then node --test "${side[@]}" "${jstests[@]}"; fi
}
sanitizer_tests() {
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-san --output-on-failure -j"$jobs" -LE sweep
}
# A reproducible pass: fixed seed, fresh seed corpora, so that a finding here
# is replayed by the same command on any machine. Inputs that once failed are
# also replayed in both builds (tests/fuzz/regressions/).
fuzzing() {
    FUZZ_BUILD=build-san FIXTURE_ROOT=$PWD/build/fixtures FUZZ_SEED=${FUZZ_SEED:-1} \
        GUARD_SAMPLE=${GUARD_SAMPLE:-4} bash tools/fuzz.sh "${FUZZ_SECONDS:-20}"
}

stage setup bash tools/setup.sh
stage format format_check
stage build bash tools/build.sh build
stage tests tests
stage "JavaScript tests" javascript_tests
# What a host developer gets: install tree, Debian package, npm tarball, the
# Node client and the host guide's examples (tools/package_test.sh).
stage packaging bash tools/package_test.sh build
# The sanitizer build shares the first build's generated fixtures.
stage "sanitizer build" env CC=clang CXX=clang++ \
    bash tools/build.sh build-san -DFUZZ=ON -DFIXTURE_DIR="$PWD/build/fixtures"
stage "sanitizer tests" sanitizer_tests
stage "fuzzing (short pass)" fuzzing
