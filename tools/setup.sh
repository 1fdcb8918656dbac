#!/usr/bin/env bash
# Installs everything the project needs on a Debian 12 machine (run as root).
# Idempotent and quiet when everything is already there.
#   Debian packages: every tools/deps/*.apt list (one package a line, # comments)
#   npm packages:    package-lock.json at the root, installed with `npm ci`
set -euo pipefail
cd "$(dirname "$0")/.."

wanted=$(cat tools/deps/*.apt | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)
missing=()
for pkg in $wanted; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
# A Node.js from elsewhere (with its own npm) counts as installed.
if command -v node >/dev/null && command -v npm >/dev/null; then
    missing=("${missing[@]/nodejs/}")
else
    missing+=(npm)
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm packages, pinned by the lock file; reinstalled only when the lock changes.
if [[ -f package-lock.json ]]; then
    stamp=node_modules/.lock-stamp
    sum=$(sha256sum package-lock.json | cut -d' ' -f1)
    if [[ ! -f $stamp || "$(cat $stamp)" != "$sum" ]]; then
        echo "setup: installing npm packages"
        npm ci --no-audit --no-fund --loglevel=error >/dev/null
        echo "$sum" >"$stamp"
    fi
fi
