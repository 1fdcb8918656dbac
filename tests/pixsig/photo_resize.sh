# Sourced by the pixsig fixture scripts: big <out.v> <width> <height> writes
# the photo $src stretched to exactly that size.
big() {
    local w h
    w=$(vipsheader -f width "$src")
    h=$(vipsheader -f height "$src")
    vips resize "$src" "$1" "$(echo "$2 / $w" | bc -l)" --vscale "$(echo "$3 / $h" | bc -l)"
}
