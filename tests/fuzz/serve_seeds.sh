#!/usr/bin/env bash
# Seed request lines for the serve harness, one file each. The images they
# name (small.jpg, small.png, alpha.png, gray.png, truncated.jpg) and a named
# pipe nobody writes to (fifo) are made by the harness in its own working
# folder.
set -euo pipefail
out=$1
mkdir -p "$out"
n=0
seed() { n=$((n + 1)); printf '%s' "$1" >"$out/line$n"; }
seed '{"path":"small.jpg","id":"fp"}'
seed '{"path":"small.png"}'
seed '{"path":"missing.jpg","id":"miss"}'
seed '{"path":"truncated.jpg","id":"t"}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","id":"th","size":16}'
seed '{"op":"thumb","path":"small.png","out":"o.jpg","width":9,"height":5,"quality":0.3}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","transform":true,"orientation":6,"size":1e3}'
seed '{"op":"thumb","path":"alpha.png","out":"o.jpg","id":"dec"}'
seed '{"op":"thumb","path":"gray.png","out":"o.jpg"}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","width":-1,"height":9223372036854775807}'
seed '{"op":"thumb","path":"small.jpg"}'
seed '{"path":5}'
seed '{}'
seed '[1,2]'
seed 'this is not json'
seed $'{"path":"small.jpg","id":"caf\xc3\xa9 \xff"}\r'
seed '{"path":"small.jpg","id":7,"op":null}'
# Feature prints of each kind of image the folder holds.
seed '{"path":"alpha.png","id":"flattened"}'
seed '{"path":"gray.png"}'
seed '{"path":"small.jpg]"}'
seed '{"path":"","id":"empty"}'
# Thumbnail requests at the edges of their keys.
seed '{"op":"thumb","path":"small.jpg","out":"","id":"unwritable"}'
seed '{"op":"thumb","path":"small.png","out":"o.jpg","width":100000,"height":100000}'
seed '{"op":"thumb","path":"small.png","out":"o.jpg","width":7000,"height":7001}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","width":3.0,"height":2.5,"size":1e300}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","size":18446744073709551615,"orientation":-3}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","size":0}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","quality":"high","transform":1}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","orientation":8,"transform":false}'
seed '{"op":"thumb","path":"truncated.jpg","out":"o.jpg"}'
seed '{"op":"thumb","path":"missing.jpg","out":"o.jpg"}'
seed '{"op":"thumb","path":"","out":"o.jpg"}'
seed '{"op":"thumb","out":"o.jpg"}'
seed '{"op":"thumbs","path":"small.png","id":"other op"}'
# Duplicate keys (the last counts), values nested under ignored and kept
# keys, numbers of every kind, and what the parser skips.
deep=$(printf '[%.0s' {1..2000})$(printf ']%.0s' {1..2000})
seed '{"path":5,"path":"small.jpg","id":"dup"}'
seed '{"path":"small.jpg","path":[1]}'
seed '{"path":"small.jpg","id":"a","id":{"id":"b"}}'
seed '{"op":"thumb","path":"small.jpg","out":"o.jpg","size":"big","size":24,"x":{"width":3,"height":3}}'
seed '{"op":"thumb","op":"thumbs","path":"small.jpg","out":"o.jpg"}'
seed '{"op":"thumb","path":"small.png","out":"o.jpg","width":-0,"height":1E1,"size":-9223372036854775808,"n":[1.5e-400,-1,0.0]}'
seed "{\"path\":\"small.png\",\"deep\":$deep,\"id\":\"after deep\"}"
seed "$deep"
seed "{\"path\":\"small.png\",\"deep\":${deep%]}}"
seed "{\"path\":\"small.jpg\",\"list\":[$(printf '0,%.0s' {1..2000})0]}"
seed '{"path":"small.jpg","x":[[]]]}'
seed '{"path":"small\u002ejpg","id":"\ud83c\udfac","x":"\ud800"}'
seed $'\xef\xbb\xbf{"path":"small.jpg","id":"bom"}'
seed '{"path":"small.jpg","x":1e400}'
# Names that are no regular file, or that hold a NUL byte.
seed '{"path":"fifo","id":"pipe"}'
seed '{"op":"thumb","path":"fifo","out":"o.jpg"}'
seed '{"path":".","id":"folder"}'
seed '{"op":"thumb","path":".","out":"o.jpg"}'
seed '{"path":"small.jpg\u0000x.png","id":"nul"}'
seed '{"op":"thumb","path":"small.jpg\u0000.png","out":"o.jpg"}'
seed '{"op":"thumb","path":"small.jpg","out":"small.png\u0000.jpg"}'
