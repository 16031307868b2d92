#!/usr/bin/env bash
# Makes the given executable the user's handler of zandorin-auth:// URLs, through which the
# browser returns the sign-in to the running application. Safe to run again.
# Usage: scripts/register-url-handler.sh <path-to-zandorin-auth>
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <path-to-zandorin-auth>" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
template="$here/../resources/zandorin-auth.desktop"
executable=$(realpath -- "$1")
if [ ! -f "$executable" ] || [ ! -x "$executable" ]; then
    echo "$0: $1 is not an executable file" >&2
    exit 1
fi

# Desktop-entry quoting: a path of plain characters goes as it is; any other is quoted, with
# '"', '`', '$' and '\' escaped inside the quotes, backslashes doubled once more for the
# string value, and '%' doubled for the field codes.
if [[ "$executable" =~ ^[A-Za-z0-9/._+-]+$ ]]; then
    exec_path=$executable
else
    quoted=$(printf '%s' "$executable" | sed -e 's/[\\"`$]/\\&/g' -e 's/\\/\\\\/g' -e 's/%/%%/g')
    exec_path="\"$quoted\""
fi

applications="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
mkdir -p "$applications"
entry="$applications/zandorin-auth.desktop"
# The replacement goes through awk's ENVIRON, which takes it literally.
EXEC_LINE="Exec=$exec_path %u" awk '/^Exec=/ { print ENVIRON["EXEC_LINE"]; next } { print }' \
    "$template" >"$entry.tmp"
mv -f "$entry.tmp" "$entry"

if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database "$applications" || true
fi
xdg-mime default zandorin-auth.desktop x-scheme-handler/zandorin-auth
echo "zandorin-auth:// now opens with $executable"
