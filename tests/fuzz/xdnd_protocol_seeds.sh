#!/usr/bin/env bash
# Seed event scripts for the XDND protocol harness, one file each. A header
# of 6 bytes (resting-position, status, release and finished timeouts in
# steps, operations outside and inside), then 4 bytes per event: kind, then
# its arguments. Kinds: 0 pointer over window (1-4, 0 none), 1 release,
# 2 Escape, 3 time passes, 4 XdndStatus (window, accept flag, action),
# 5 XdndFinished (window, success flag), 6 window destroyed, 7 window back,
# 8 XdndAware version, 9 XdndProxy, 10 selection lost, 11 stop.
set -euo pipefail
out=$1
mkdir -p "$out"
. "$(dirname "$0")/seed_bytes.sh"
hdr="10 10 10 10 1 255"
# Over a target, accepted, moved, released, Finished: a drop.
seed drop $hdr 0 1 0x80 0x80 4 0 1 1 0 1 0 0x90 3 5 0 0 4 0 1 1 1 0 0 0 5 0 1 0
# A proxy (window 2 speaks for window 1), then another target, released unanswered.
seed proxy $hdr 9 1 3 0 0 2 0x10 0x10 4 1 1 1 0 1 0x20 0x20 3 200 0x80 0 1 0 0 0 3 255 0x80 0
# Released while a Status was due; the Status comes late, then Finished fails (v5).
seed release_wait $hdr 0 1 0 0 0 1 5 5 1 0 0 0 4 0 1 2 5 0 0 0
# Escape while dragging; selection lost; a stop.
seed escape $hdr 0 3 0 0 4 2 1 1 2 0 0 0
seed lost $hdr 0 3 0 0 10 0 0 0
seed stop $hdr 0 3 0 0 11 3 0 0
# The target vanishes before and after the drop; it comes back with a new id.
seed vanish $hdr 0 4 0 0 6 3 0 0 7 3 0 0 0 4 0 0 4 3 1 1 1 0 0 0 6 3 0 0
# Garbage Status from strangers and the target; XdndAware falls below 3.
seed garbage $hdr 0 1 0 0 4 250 0xff 0xff 4 0 0xff 0x33 5 0 1 0 8 0 2 0 0 1 0 0 4 0 1 6 1 0 0 0
# Nothing allowed outside: Positions have no action to ask for.
seed no_ops 10 10 10 10 0 0 0 1 0 0 3 20 0 0 1 0 0 0
