#!/usr/bin/env bash
# Tests what a host application's developer gets, from a finished build
# folder (default build/), without touching the machine's own packages:
#   1. cmake --install into a scratch prefix, which is then moved elsewhere;
#   2. cpack -G DEB, the package inspected with dpkg-deb and extracted with
#      dpkg-deb -x into a scratch root;
#   3. npm pack of the installed add-on package;
# then tests/packaging/*.pkg.mjs run the tools, the demo steps, the add-on,
# the npm tarball in a scratch project (TypeScript users compiled with tsc),
# the Node client's tests and the host guide's examples against all of that.
#   tools/package_test.sh [BUILD_DIR [TEST_FILE...]]   (default: every tests/packaging/*.pkg.mjs)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
shift || true
tests=("$@")
((${#tests[@]})) || tests=(tests/packaging/*.pkg.mjs)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/package-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

echo "package: install into a scratch prefix"
cmake --install "$build" --prefix "$scratch/installed-here" >/dev/null
mv "$scratch/installed-here" "$scratch/prefix"

echo "package: cpack -G DEB"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/deb/*.deb)
mkdir "$scratch/root"
dpkg-deb -x "$deb" "$scratch/root"

echo "package: npm pack"
(cd "$scratch/prefix/lib/node_modules/dragbridge" &&
    npm pack --pack-destination "$scratch" --loglevel=error >/dev/null)

echo "package: tests"
# The test files side by side, one per processor, where this Node.js can.
side=()
if node --help | grep -q -- --test-concurrency; then side=(--test-concurrency="$(nproc)"); fi
PACKAGE_BUILD=$build PACKAGE_PREFIX=$scratch/prefix PACKAGE_DEB=$deb PACKAGE_ROOT=$scratch/root \
    PACKAGE_TARBALL=$(ls "$scratch"/dragbridge-*.tgz) PACKAGE_SCRATCH=$scratch \
    node --test "${side[@]}" "${tests[@]}"
