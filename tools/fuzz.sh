#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#   tools/fuzz.sh [SECONDS_PER_HARNESS]   (default 60; CI runs a short pass)
# Seeds come from the fixture scripts and tests/fuzz/regressions/; crashes are
# written to build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=build-fuzz
if [[ ! -f $dir/build.ninja ]]; then
    CC=clang CXX=clang++ cmake -S . -B $dir -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
        >/dev/null
fi
cmake --build $dir --target fuzzers -- --quiet
mkdir -p $dir/findings $dir/seeds

seed_dir() {  # name, fixture script: a corpus folder built from the fixtures
    local name=$1 script=$2 corpus=$dir/corpus/$1
    if [[ ! -d $corpus ]]; then
        bash "$script" "$dir/seeds/$name" >/dev/null
        mkdir -p "$corpus"
        find "$dir/seeds/$name" -type f -size -2M -exec cp {} "$corpus/" \;
    fi
    echo "$corpus"
}

status=0
for harness in $dir/bin/fuzz_*; do
    name=${harness##*/fuzz_}
    case $name in
        probe) corpus=$(seed_dir probe tests/reelctl/probe_fixtures.sh) ;;
        *) corpus=$dir/corpus/$name; mkdir -p "$corpus"
           if [[ -x tests/fuzz/${name}_seeds.sh ]]; then bash tests/fuzz/${name}_seeds.sh "$corpus"; fi ;;
    esac
    # Inputs that once failed start every run.
    for kept in tests/fuzz/regressions/"$name"-*; do
        if [[ -f $kept ]]; then cp "$kept" "$corpus/"; fi
    done
    echo "== fuzz $name (${seconds}s)"
    if ! ASAN_OPTIONS=detect_leaks=1 "$harness" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$dir/findings/$name-" -print_final_stats=0 \
        "$corpus" >"$dir/findings/$name.log" 2>&1; then
        echo "fuzz $name: FINDING (see $dir/findings/$name.log)"
        tail -30 "$dir/findings/$name.log"
        status=1
    else
        grep -E '^(Done|#[0-9]+ *DONE)' "$dir/findings/$name.log" | tail -1 || true
    fi
done
exit $status
