#!/usr/bin/env bash
# Replays inputs through a replay program under valgrind's memcheck, where
# valgrind can run it at all. valgrind 3.19 does not know every instruction of
# newer processors: on some AVX-512 machines it dies with SIGILL in a library
# constructor (libhwy, pulled in by libavcodec) before our code runs. A probe
# run without inputs tells; when it fails, this test is skipped with the
# reason (status 77), and the guard-page replay covers the same overreads.
#   valgrind_replay.sh <replay program> <inputs...>
set -uo pipefail
replay=$1
shift
skip() {
    echo "valgrind replay skipped: $*; the guard-page replay (fuzz_replay) covers reads past a buffer's end"
    exit 77
}
valgrind=$(command -v valgrind) || skip "valgrind is not installed"
"$replay" || { echo "valgrind_replay: $replay fails without valgrind" >&2; exit 2; }
probe=$("$valgrind" -q --error-exitcode=99 "$replay" 2>&1)
status=$?
if ((status != 0)); then
    # Only valgrind's own failure to execute an instruction is a reason to skip;
    # anything else it reports is a finding.
    why=$(grep -m1 -E 'unhandled instruction|Unrecognised instruction|signal 4 \(SIGILL\)' <<<"$probe")
    [[ -n $why ]] && skip "valgrind cannot run $(basename "$replay") on this processor (${why#==*== })"
    echo "$probe" >&2
    exit 1
fi
exec "$valgrind" -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    "$replay" "$@"
