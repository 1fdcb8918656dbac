#!/usr/bin/env bash
# Which product code the fuzz harnesses reach: line coverage of each
# harness's corpus, replayed through a clang source-based coverage build.
#   tools/coverage.sh [CORPUS_DIR]
# CORPUS_DIR holds one folder per harness (<CORPUS_DIR>/<name>/); without it
# each harness runs build-fuzz/corpus/<name> when tools/fuzz.sh has grown one,
# else its seeds as tools/fuzz.sh makes them. tests/fuzz/regressions/<name>-*
# always join. Every harness the build has (replay_<name>) is run.
# Builds build-coverage/ (-DCOVERAGE=ON: the replay programs, and the tools
# themselves so that code no harness links still counts, at zero), writes the
# profiles to build-coverage/profiles/ and prints, per harness and over all
# of them, the lines covered per product folder. Slow: not part of the tests.
# Exit status 1 when the build fails or an input ends its replay abnormally
# (its file is named; the other inputs still count).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
corpora=${1:-}
dir=build-coverage
profdata=$(command -v llvm-profdata-14 || command -v llvm-profdata)
cov=$(command -v llvm-cov-14 || command -v llvm-cov)

if [[ ! -f $dir/build.ninja ]]; then
    CC=clang CXX=clang++ cmake -S . -B $dir -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCOVERAGE=ON -DWERROR=ON >/dev/null
fi
targets=$(cmake --build $dir --target help)
mapfile -t harnesses < <(sed -n 's/^replay_\([a-z0-9_]*\): .*/\1/p' <<<"$targets" | sort -u)
tools=()
for target in reelctl pixsig dragbridge; do
    if grep -q "^$target: " <<<"$targets"; then tools+=("$target"); fi
done
cmake --build $dir --target "${harnesses[@]/#/replay_}" "${tools[@]}" -- --quiet >&2

inputs_of() {  # name: the folder whose files the harness replays
    local name=$1 seeds=$dir/seeds/$1
    if [[ -n $corpora ]]; then
        echo "$corpora/$name"
    elif [[ -d build-fuzz/corpus/$name ]]; then
        echo "build-fuzz/corpus/$name"
    else
        if [[ ! -f $seeds/.made ]]; then
            rm -rf "$seeds"
            mkdir -p "$seeds"
            if [[ -f tests/fuzz/${name}_seeds.sh ]]; then
                bash "tests/fuzz/${name}_seeds.sh" "$seeds" >/dev/null
            fi
            touch "$seeds/.made"
        fi
        echo "$seeds"
    fi
}

# replay name program files...: one process per batch of inputs, as the
# fuzzer runs them; a batch that ends abnormally loses its profile, so it is
# replayed file by file to name the input and keep the others' counts.
replay() {
    local name=$1 program=$2 out=$dir/profiles/$1
    shift 2
    local files=("$@") status=0
    for ((i = 0; i < ${#files[@]}; i += 100)); do
        local batch=("${files[@]:i:100}")
        if ! LLVM_PROFILE_FILE="$out/%p.profraw" timeout 900 "$program" "${batch[@]}" \
            >/dev/null 2>>"$out.log"; then
            for file in "${batch[@]}"; do
                if ! LLVM_PROFILE_FILE="$out/%p.profraw" timeout 300 "$program" "$file" \
                    >/dev/null 2>>"$out.log"; then
                    echo "coverage $name: replay ends abnormally on $file" >&2
                    status=1
                fi
            done
        fi
    done
    return $status
}

# The product folders, as path prefixes below the source tree.
folders="platform/media/ platform/frames/ platform/exporter/ platform/thumbnails/
platform/imaging/ platform/pasteboard/ platform/xdnd/statemachine platform/xdnd/selection
reelctl/ pixsig/"

# summary title export.json: the lines covered per product folder.
summary() {
    python3 - "$root" "$1" "$2" "$folders" <<'EOF'
import json, sys
root, title, path, folders = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4].split()
totals = {}
for entry in json.load(open(path))["data"]:
    for f in entry["files"]:
        name = f["filename"]
        if name.startswith(root + "/"):
            name = name[len(root) + 1:]
        for folder in folders:
            if name.startswith(folder):
                lines = f["summary"]["lines"]
                t = totals.setdefault(folder.rstrip("/"), [0, 0])
                t[0] += lines["covered"]
                t[1] += lines["count"]
print(f"== {title}")
for folder in [f.rstrip("/") for f in folders]:
    if folder in totals and totals[folder][1]:
        covered, count = totals[folder]
        print(f"  {folder:<28} {covered:>6} / {count:<6} lines  {100.0 * covered / count:5.1f}%")
EOF
}

status=0
rm -rf $dir/profiles
mkdir -p $dir/profiles
objects=()
for name in "${harnesses[@]}"; do
    program=$dir/tests/fuzz/replay_$name
    from=$(inputs_of "$name")
    mapfile -t files < <({
        if [[ -d $from ]]; then find "$from" -maxdepth 1 -type f ! -name .made; fi
        find tests/fuzz/regressions -maxdepth 1 -type f -name "$name-*"
    } | sort)
    mkdir -p "$dir/profiles/$name"
    echo "coverage $name: ${#files[@]} inputs from $from and tests/fuzz/regressions" >&2
    if ((${#files[@]})); then
        replay "$name" "$program" "${files[@]}" || status=1
    fi
    shopt -s nullglob
    raw=("$dir/profiles/$name"/*.profraw)
    shopt -u nullglob
    if ((${#raw[@]} == 0)); then
        echo "coverage $name: no profile written" >&2
        continue
    fi
    "$profdata" merge -sparse "${raw[@]}" -o "$dir/profiles/$name.profdata"
    "$cov" export -summary-only "$program" -instr-profile="$dir/profiles/$name.profdata" \
        >"$dir/profiles/$name.json"
    summary "harness $name (${#files[@]} inputs)" "$dir/profiles/$name.json"
    objects+=(-object "$program")
done

# All harnesses together, over every product line built into the tools and
# harnesses: code only the tools link (the exporter, the commands) counts too.
shopt -s nullglob
merged=("$dir"/profiles/*.profdata)
shopt -u nullglob
if ((${#merged[@]})); then
    "$profdata" merge -sparse "${merged[@]}" -o "$dir/profiles/all.profdata"
    for target in "${tools[@]}"; do
        if [[ -f $dir/bin/$target ]]; then objects+=(-object "$dir/bin/$target"); fi
        if [[ -f $dir/lib/$target.node ]]; then objects+=(-object "$dir/lib/$target.node"); fi
    done
    # Each harness has its own LLVMFuzzerTestOneInput (and each program its
    # own main): llvm-cov warns of those as mismatched (in all.log); the
    # product code is the same objects in every program.
    "$cov" export -summary-only "${objects[@]:1}" -instr-profile="$dir/profiles/all.profdata" \
        >"$dir/profiles/all.json" 2>"$dir/profiles/all.log"
    summary "all harnesses" "$dir/profiles/all.json"
fi
exit $status
