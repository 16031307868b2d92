#!/bin/sh
# scripts/register-url-handler.sh, run twice in a home of its own: zandorin-auth:// URLs then open
# with the given program, through a desktop entry that desktop-file-validate accepts as it is.
set -eu
repo=$(cd "$(dirname "$0")/../../.." && pwd)
home=$(mktemp -d "${TMPDIR:-/tmp}/zandorin-handler.XXXXXX")
trap 'rm -rf "$home"' EXIT
unset XDG_CURRENT_DESKTOP XDG_DATA_DIRS KDE_FULL_SESSION DESKTOP_SESSION GNOME_DESKTOP_SESSION_ID
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
fail() { echo "FAIL: $*" >&2; exit 1; }

handler="$home/zandorin-auth"
: >"$handler"
chmod 755 "$handler"
for _ in 1 2; do
    bash "$repo/scripts/register-url-handler.sh" "$handler" >/dev/null
done
entry="$XDG_DATA_HOME/applications/zandorin-auth.desktop"
[ "$(grep -c '^Exec=' "$entry")" = 1 ] && grep -qx "Exec=$handler %u" "$entry" ||
    fail "Exec line: $(grep '^Exec=' "$entry")"
default=$(xdg-mime query default x-scheme-handler/zandorin-auth)
[ "$default" = zandorin-auth.desktop ] || fail "default handler: '$default'"
if command -v desktop-file-validate >/dev/null; then
    for file in "$entry" "$repo/resources/zandorin-auth.desktop"; do
        problems=$(desktop-file-validate "$file") && [ -z "$problems" ] || fail "$file: $problems"
    done
fi
echo "1 passed, 0 failed"
