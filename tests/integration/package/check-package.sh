#!/usr/bin/env bash
# Packs the release tree into the Debian package and checks it: its files against files.txt,
# lintian, the desktop entries, the metainfo and one version throughout. Then, as root, installs
# it with apt, runs the installed application in a private desktop session
# (test_installed.py), purges it and checks that nothing of it is left.
# Usage: check-package.sh <release-build-dir>
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$1" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$build/package" >/dev/null)
debs=("$build"/package/zandorin-auth_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "no single package in $build/package"
deb=${debs[0]}
echo "package: $deb"

diff -u "$here/files.txt" <(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}') ||
    fail "the package's files differ from files.txt"
lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2) ||
    fail "lintian"

tree=$(mktemp -d "${TMPDIR:-/tmp}/zandorin-package.XXXXXX")
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
for entry in usr/share/applications/zandorin-auth.desktop etc/xdg/autostart/zandorin-auth.desktop; do
    problems=$(desktop-file-validate "$tree/$entry") && [ -z "$problems" ] || fail "$entry: $problems"
done
metainfo=$tree/usr/share/metainfo/com.zandorin.auth.metainfo.xml
appstreamcli validate --no-net "$metainfo" >/dev/null || appstreamcli validate --no-net "$metainfo" ||
    fail "metainfo"
version=$(dpkg-deb -f "$deb" Version)
[ "$("$tree/usr/bin/zandorin-auth" --version)" = "ZandorinAuth $version" ] || fail "--version"
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo release is not $version"
# What users get: the provider and the service over HTTPS, the service without a path.
/usr/bin/python3 -c 'import plistlib, sys, re; p = plistlib.load(open(sys.argv[1], "rb"));
sys.exit(not (re.fullmatch(r"https://[^/]+/realms/[^/]+", p["KEYCLOAK_ISSUER"])
              and re.fullmatch(r"https://[^/]+", p["MCP_SERVER_URL"])))' \
    "$tree/usr/share/zandorin-auth/Info.plist" || fail "Info.plist: not the released addresses"

if [ "$(id -u)" -ne 0 ]; then
    echo "not root: installing, running and purging the package skipped"
    exit 0
fi
if dpkg-query -W -f='${db:Status-Status}' zandorin-auth 2>/dev/null | grep -qv not-installed; then
    echo "zandorin-auth is installed on this machine: installing, running and purging skipped"
    exit 0
fi
trap 'apt-get purge -y -qq zandorin-auth >/dev/null 2>&1 || true; rm -rf "$tree"' EXIT
export DEBIAN_FRONTEND=noninteractive
# Recommends are for users; what the checks need is installed already.
apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=120 "$deb" >/dev/null
/usr/bin/python3 "$here/test_installed.py" /usr/bin/zandorin-auth
apt-get purge -y -qq -o DPkg::Lock::Timeout=120 zandorin-auth >/dev/null

# Every file of the package, and every directory of its own, is gone.
while read -r _ _ path; do
    path=${path#.}
    if [ -e "$path" ] && { [ ! -d "$path" ] || [[ "$path" == *zandorin-auth* ]]; }; then
        fail "$path is left after the purge"
    fi
done <"$here/files.txt"
echo "package checks passed"
