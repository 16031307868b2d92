#!/usr/bin/env bash
# Sets up, builds and starts the application against the local development configuration.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
builds=${ZANDORIN_BUILD_ROOT:-$root/build}

"$here/setup.sh" run
"$here/build.sh" "$builds/release" -DZANDORIN_UNIT_ONLY=OFF

export ZANDORIN_AUTH_INFO_PLIST="$root/resources/Info.dev.plist"
exec "$builds/release/src/zandorin-auth" "$@"
