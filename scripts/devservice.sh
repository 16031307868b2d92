#!/usr/bin/env bash
# Starts the local service (devservice/), first installing its npm dependencies from the lock
# file when they are missing or older than it. Arguments go to the server, e.g.
#   scripts/devservice.sh --port 0 --access-token-ttl 60
# stdout carries only the server's "LISTENING <port>" line; everything else goes to stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dir=$(dirname "$here")/devservice
stamp=$dir/node_modules/.installed-from-lock

for tool in node npm; do
    if ! command -v "$tool" >/dev/null; then
        echo "devservice: $tool is missing (scripts/setup.sh installs it)" >&2
        exit 1
    fi
done

needs_install() {
    [ ! -e "$stamp" ] || [ "$dir/package-lock.json" -nt "$stamp" ]
}

if needs_install; then
    # Tests may start several services at once: one installs, the others wait for it.
    exec 9<"$dir/package-lock.json"
    flock 9
    if needs_install; then
        echo "devservice: installing npm dependencies (npm ci)" >&2
        (cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) >&2
        touch "$stamp"
    fi
    exec 9<&-
fi

exec node "$dir/server.mjs" "$@"
