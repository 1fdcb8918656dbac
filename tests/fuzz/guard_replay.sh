#!/usr/bin/env bash
# Replays inputs through a replay program with Electric Fence preloaded: every
# allocation then ends at an inaccessible page, so a library's hand-written
# vector code that reads or writes past the end of a buffer we handed it dies
# with SIGSEGV. AddressSanitizer cannot see such accesses (that code is not
# instrumented), and valgrind cannot run on every processor; this runs on any.
#   guard_replay.sh <libefence.so> <replay program> <inputs...>
# All inputs run in one process, as the fuzzer runs them; when that fails,
# each input is run alone to name the one that fails.
set -uo pipefail
efence=$1 replay=$2
shift 2
if [[ ! -r $efence ]]; then
    echo "guard_replay: no Electric Fence library at $efence" >&2
    exit 2
fi
guarded() {
    # Blocks aligned to 16 bytes, as glibc's malloc guarantees on x86-64 (code
    # that relies on it, librsvg's among them, faults on less), so a block ends
    # at its guard page whenever its size is a multiple of 16. Allocations of
    # 0 bytes are legal (the libraries make them). GLib's slice allocator is
    # told to use malloc, so its blocks get guard pages too (its own page
    # allocator also expects more alignment than Electric Fence gives). The
    # banner would only clutter the log.
    EF_ALIGNMENT=16 EF_ALLOW_MALLOC_0=1 EF_DISABLE_BANNER=1 G_SLICE=always-malloc \
        LD_PRELOAD=$efence "$replay" "$@"
}
describe() {  # status -> words
    local st=$1
    if ((st > 128)); then
        local sig
        sig=$(kill -l $((st - 128)) 2>/dev/null || echo $((st - 128)))
        if [[ $sig == SEGV || $sig == BUS ]]; then
            echo "killed by SIG$sig: a read or write outside an allocation"
        else
            echo "killed by SIG$sig"
        fi
    else
        echo "exit status $st"
    fi
}
guarded "$@"
status=$?
if ((status == 0)); then
    echo "guard_replay: $# input(s) replayed with guard pages: clean"
    exit 0
fi
echo "guard_replay: the replay failed ($(describe $status)); inputs one by one:" >&2
alone=0
for input in "$@"; do
    guarded "$input" >/dev/null 2>&1
    st=$?
    if ((st != 0)); then
        echo "guard_replay: $input: $(describe $st)" >&2
        alone=$((alone + 1))
    fi
done
if ((alone == 0)); then
    echo "guard_replay: no input fails alone: the failure needs the inputs together, in this order" >&2
fi
exit 1
