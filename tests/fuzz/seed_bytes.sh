# Sourced by the seed scripts whose inputs are byte strings: seed NAME BYTES...
# writes the bytes (decimal or 0x hex words) to "$out/NAME".
seed() {
    local name=$1
    shift
    python3 -c 'import sys; sys.stdout.buffer.write(bytes(int(v, 0) for v in sys.argv[1:]))' \
        "$@" >"$out/$name"
}
