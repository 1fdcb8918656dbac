#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#   tools/fuzz.sh [SECONDS_PER_HARNESS]   (default 60)
# Without FUZZ_SEED it explores: each harness's corpus in build-fuzz/corpus/
# grows from run to run. With FUZZ_SEED=N (CI's short pass) every harness
# starts from its seeds alone with that random seed, so a run on another
# machine replays the same inputs as one here (as many as its speed allows).
# Seeds come from the fixture scripts and tests/fuzz/regressions/; crashes are
# written to build-fuzz/findings/. Afterwards every input the pass reached is
# replayed through the ordinary build's replay programs (REPLAY_BUILD, default
# build/) with Electric Fence's guard pages. Exit status 1 when any harness or
# that replay found something.
# FUZZ_ONLY="name ..." limits the pass to those harnesses (a long campaign
# runs a few side by side, one per core). FUZZ_BUILD names the instrumented
# build folder (default build-fuzz; the test command shares its sanitizer
# build). GUARD_SAMPLE=N replays only N inputs per harness with guard pages,
# spread evenly over the sorted corpus: a media input takes seconds there.
# FIXTURE_ROOT names a build's test fixture folder for the seed scripts to
# reuse (they make what is missing there).
# An input running over 30 s counts as a hang: a feature print takes about
# 1.5 s in this instrumented build, so a busy machine does not make one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${FUZZ_BUILD:-build-fuzz}
if [[ ! -f $dir/build.ninja ]]; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
        >/dev/null
fi
cmake --build "$dir" --target fuzzers -- --quiet
mkdir -p "$dir/findings"

seeds() {  # name: the folder of the harness's seed inputs, made once
    local name=$1 out=$dir/seeds/$1
    if [[ ! -f $out/.made ]]; then
        rm -rf "$out" "$out.raw"
        mkdir -p "$out"
        if [[ -f tests/fuzz/${name}_seeds.sh ]]; then
            bash "tests/fuzz/${name}_seeds.sh" "$out" >/dev/null
        fi
        touch "$out/.made"
    fi
    # Inputs that once failed start every run.
    for kept in tests/fuzz/regressions/"$name"-*; do
        if [[ -f $kept ]]; then cp "$kept" "$out/"; fi
    done
    echo "$out"
}

chosen() {  # name: whether FUZZ_ONLY leaves this harness in
    [[ -z ${FUZZ_ONLY:-} || " $FUZZ_ONLY " == *" $1 "* ]]
}

status=0
for harness in $dir/bin/fuzz_*; do
    name=${harness##*/fuzz_}
    chosen "$name" || continue
    from=$(seeds "$name")
    options=()
    if [[ -n ${FUZZ_SEED:-} ]]; then
        corpus=$dir/pass/$name
        rm -rf "$corpus"
        options=(-seed="$FUZZ_SEED")
    else
        corpus=$dir/corpus/$name
    fi
    mkdir -p "$corpus"
    find "$from" -maxdepth 1 -type f ! -name .made -exec cp -n {} "$corpus/" \;
    echo "== fuzz $name (${seconds}s)"
    if ! ASAN_OPTIONS=detect_leaks=1 "$harness" "${options[@]}" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2048 -artifact_prefix="$dir/findings/$name-" -print_final_stats=0 \
        "$corpus" >"$dir/findings/$name.log" 2>&1; then
        echo "fuzz $name: FINDING (see $dir/findings/$name.log)"
        tail -30 "$dir/findings/$name.log"
        status=1
    else
        grep -E '^(Done|#[0-9]+ *DONE)' "$dir/findings/$name.log" | tail -1 || true
    fi
done

# What the pass reached, replayed once more through the ordinary build's replay
# programs with guard pages after every allocation: AddressSanitizer above
# cannot see a library's hand-written vector code reading past a buffer.
replays=${REPLAY_BUILD:-build}/tests/fuzz
efence=$(ls /usr/lib/libefence.so.0 /usr/lib/x86_64-linux-gnu/libefence.so.0 2>/dev/null | head -1 || true)
for harness in $dir/bin/fuzz_*; do
    name=${harness##*/fuzz_}
    chosen "$name" || continue
    if [[ -n ${FUZZ_SEED:-} ]]; then corpus=$dir/pass/$name; else corpus=$dir/corpus/$name; fi
    if [[ ! -x $replays/replay_$name ]]; then
        echo "== guard pages $name: not run, no $replays/replay_$name (bash tools/build.sh first)"
        continue
    fi
    mapfile -t inputs < <(find "$corpus" -maxdepth 1 -type f | sort)
    total=${#inputs[@]}
    if [[ -n ${GUARD_SAMPLE:-} ]] && ((total > GUARD_SAMPLE)); then
        sample=()
        for ((i = 0; i < GUARD_SAMPLE; i++)); do sample+=("${inputs[i * total / GUARD_SAMPLE]}"); done
        inputs=("${sample[@]}")
    fi
    echo "== guard pages $name (${#inputs[@]} of $total inputs)"
    if ! printf '%s\0' "${inputs[@]}" | xargs -0 -n 200 bash tests/fuzz/guard_replay.sh \
        "${efence:-/usr/lib/libefence.so.0}" "$replays/replay_$name" >"$dir/findings/$name.guard.log" 2>&1; then
        echo "guard pages $name: FINDING (see $dir/findings/$name.guard.log)"
        grep '^guard_replay' "$dir/findings/$name.guard.log" | tail -20
        status=1
    fi
done
exit $status
