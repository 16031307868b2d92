#!/usr/bin/env bash
# Sets up and builds the application, starts the local service on 127.0.0.1:8765 (the address
# resources/Info.dev.plist names), registers the zandorin-auth:// handler and runs the
# application against the service. The service stops when the application ends.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
builds=${ZANDORIN_BUILD_ROOT:-$root/build}
port=8765
app="$builds/release/src/zandorin-auth"

"$here/setup.sh" run
"$here/build.sh" "$builds/release"
"$here/register-url-handler.sh" "$app"

log="$builds/devservice.log"
"$here/devservice.sh" --port "$port" >"$log.out" 2>"$log" &
service=$!
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true' EXIT

# The service prints "LISTENING <port>" once it answers; the first start also installs its
# npm packages.
for _ in $(seq 1 240); do
    if grep -q '^LISTENING ' "$log.out" 2>/dev/null; then
        break
    fi
    if ! kill -0 "$service" 2>/dev/null; then
        echo "run: the local service did not start; see $log" >&2
        tail -n 20 "$log" >&2 || true
        exit 1
    fi
    sleep 0.5
done
if ! grep -q '^LISTENING ' "$log.out"; then
    echo "run: the local service did not answer within two minutes; see $log" >&2
    exit 1
fi
echo "run: local service at http://127.0.0.1:$port (sign in with any name and password)"

export ZANDORIN_AUTH_INFO_PLIST="$root/resources/Info.dev.plist"
"$app" "$@"
