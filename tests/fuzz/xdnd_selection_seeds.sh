#!/usr/bin/env bash
# Seed scripts for the drag's selection server harness, one file each. A
# header of 6 bytes (chunk size - 1, timeout in steps, then the size in 2-byte
# steps of each of 4 types, 255 for a type the data source refuses), then
# 4 bytes per event: kind (0 request, 1 property deleted, 2 time passes,
# 3 nothing), then its arguments: a request's requestor and owner, selection
# and target, property and time; a deletion's requestor and property.
set -euo pipefail
out=$1
mkdir -p "$out"
. "$(dirname "$0")/seed_bytes.sh"
# TARGETS, then a small type whole.
seed targets 63 10 4 4 4 4 0 0 9 0x81 0 1 0 0x83
# A type by INCR read to its end, then a zero-length chunk.
seed incr 3 10 10 2 255 0 0 0 0 0x81 1 0 0x81 0 1 0 0x81 0 1 0 0x81 0 1 0 0x81 0 1 0 0x81 0 1 0 0x81 0
# A stalled INCR given up; refusals: another selection, a stale time, MULTIPLE, a refused type.
seed stalled 0 1 20 20 20 255 0 1 0 0x82 2 200 1 0 0 0 0x80 0x81 0 0 0 0x01 0 0 10 0x81 0 0 3 0x81
# Two requestors interleaved, deletions out of order and on the wrong property.
seed interleaved 1 40 20 20 20 20 0 0 0 0x81 0 1 1 0x83 1 1 0x83 0 1 0 0x81 0 1 0 0x82 0 1 1 0x83 0
