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
# FUZZ_ONLY="name ..." limits the pass to those harnesses; FUZZ_JOBS sets how
# many run side by side (default: one per processor). FUZZ_BUILD names the
# instrumented build folder (default build-fuzz; the test command shares its
# sanitizer build). GUARD_SAMPLE=N replays only N inputs per harness with guard pages,
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

side_by_side() {  # function items...: runs function item for each, FUZZ_JOBS at a time
    local fn=$1 running=0 failed=0
    shift
    for item in "$@"; do
        if ((running >= ${FUZZ_JOBS:-$(nproc)})); then
            wait -n || failed=1
            running=$((running - 1))
        fi
        "$fn" "$item" &
        running=$((running + 1))
    done
    while ((running > 0)); do
        wait -n || failed=1
        running=$((running - 1))
    done
    return $failed
}

corpus_of() {  # name: the corpus this pass runs from and grows
    if [[ -n ${FUZZ_SEED:-} ]]; then echo "$dir/pass/$1"; else echo "$dir/corpus/$1"; fi
}

fuzz_one() {  # harness: one bounded run; its output goes to findings/<name>.log
    local harness=$1 name=${1##*/fuzz_} options=()
    if [[ -n ${FUZZ_SEED:-} ]]; then options=(-seed="$FUZZ_SEED"); fi
    if ! ASAN_OPTIONS=detect_leaks=1 "$harness" "${options[@]}" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2048 -artifact_prefix="$dir/findings/$name-" -print_final_stats=0 \
        "$(corpus_of "$name")" >"$dir/findings/$name.log" 2>&1; then
        echo "fuzz $name: FINDING (see $dir/findings/$name.log)"
        tail -30 "$dir/findings/$name.log"
        return 1
    fi
    echo "== fuzz $name (${seconds}s): $(grep -E '^(Done|#[0-9]+ *DONE)' "$dir/findings/$name.log" | tail -1 || true)"
}

# Seeds and corpora first, one harness after another (seed scripts may make
# the same fixture), then the harnesses FUZZ_JOBS at a time (default: one per
# processor); each keeps its own seed, corpus and log.
harnesses=()
for harness in $dir/bin/fuzz_*; do
    name=${harness##*/fuzz_}
    chosen "$name" || continue
    from=$(seeds "$name")
    corpus=$(corpus_of "$name")
    if [[ -n ${FUZZ_SEED:-} ]]; then rm -rf "$corpus"; fi
    mkdir -p "$corpus"
    find "$from" -maxdepth 1 -type f ! -name .made -exec cp -n {} "$corpus/" \;
    harnesses+=("$harness")
done
status=0
side_by_side fuzz_one "${harnesses[@]}" || status=1

# What the pass reached, replayed once more through the ordinary build's replay
# programs with guard pages after every allocation: AddressSanitizer above
# cannot see a library's hand-written vector code reading past a buffer.
replays=${REPLAY_BUILD:-build}/tests/fuzz
efence=$(ls /usr/lib/libefence.so.0 /usr/lib/x86_64-linux-gnu/libefence.so.0 2>/dev/null | head -1 || true)
guard_one() {  # harness: its corpus (or GUARD_SAMPLE of it) replayed with guard pages
    local name=${1##*/fuzz_} corpus inputs total sample i
    corpus=$(corpus_of "$name")
    if [[ ! -x $replays/replay_$name ]]; then
        echo "== guard pages $name: not run, no $replays/replay_$name (bash tools/build.sh first)"
        return 0
    fi
    mapfile -t inputs < <(find "$corpus" -maxdepth 1 -type f | sort)
    total=${#inputs[@]}
    if [[ -n ${GUARD_SAMPLE:-} ]] && ((total > GUARD_SAMPLE)); then
        sample=()
        for ((i = 0; i < GUARD_SAMPLE; i++)); do sample+=("${inputs[i * total / GUARD_SAMPLE]}"); done
        inputs=("${sample[@]}")
    fi
    if ! printf '%s\0' "${inputs[@]}" | xargs -0 -n 200 bash tests/fuzz/guard_replay.sh \
        "${efence:-/usr/lib/libefence.so.0}" "$replays/replay_$name" >"$dir/findings/$name.guard.log" 2>&1; then
        echo "guard pages $name: FINDING (see $dir/findings/$name.guard.log)"
        grep '^guard_replay' "$dir/findings/$name.guard.log" | tail -20
        return 1
    fi
    echo "== guard pages $name (${#inputs[@]} of $total inputs): clean"
}
side_by_side guard_one "${harnesses[@]}" || status=1
exit $status
