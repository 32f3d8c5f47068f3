#!/usr/bin/env bash
# check_installed.sh BUILD_DIR DESTDIR HAS_JETREAD
set -euo pipefail
build=$1 dest=$2 jetread=$3
id=example.quillon.Lorvane
fail() { echo "FAIL: $*" >&2; exit 1; }

# Folders are made under the caller's umask; packages are built under 022.
umask 022
rm -rf "$dest"
DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null

expected=(
  usr/bin/lorvane usr/bin/lorvane-controller-sim usr/bin/lorvane-newdb
  usr/share/applications/$id.desktop
  usr/share/doc/lorvane/changelog.gz usr/share/doc/lorvane/copyright
  usr/share/icons/hicolor/48x48/apps/$id.png usr/share/icons/hicolor/scalable/apps/$id.svg
  usr/share/man/man1/lorvane-controller-sim.1.gz usr/share/man/man1/lorvane-newdb.1.gz
  usr/share/man/man1/lorvane.1.gz
  usr/share/metainfo/$id.metainfo.xml
  usr/libexec/lorvane/lorvane-xlsread
)
[ "$jetread" = 1 ] && expected+=(usr/libexec/lorvane/lorvane-jetread)
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$dest" && find . -type f -o -type l | sed 's|^\./||' | sort) ||
  fail "installed files differ from the expected ones"

# Programs 0755, everything else 0644, folders 0755.
while read -r mode path; do
  case $path in
    usr/bin/* | usr/libexec/*) want=755 ;;
    *) want=644 ;;
  esac
  [ "$mode" = "$want" ] || fail "$path has mode $mode, not $want"
done < <(cd "$dest" && find . -type f -printf '%m %P\n')
bad_dirs=$(cd "$dest" && find . -mindepth 1 -type d ! -perm 755)
[ -z "$bad_dirs" ] || fail "folders not 0755: $bad_dirs"

desktop-file-validate "$dest/usr/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$dest/usr/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
grep -qx "Icon=$id" "$dest/usr/share/applications/$id.desktop" || fail "menu entry names another icon"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
  "$dest/usr/share/metainfo/$id.metainfo.xml" || fail "metainfo launches another entry"
gzip -t "$dest"/usr/share/man/man1/*.gz "$dest/usr/share/doc/lorvane/changelog.gz" || fail "broken gzip"

# The installed helper runs from its place and creates a private file.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$dest/usr/bin/lorvane-newdb" "$tmp/cardlist.mdb" >/dev/null || fail "installed lorvane-newdb"
[ "$(stat -c %a "$tmp/cardlist.mdb")" = 600 ] || fail "new database is not 0600"
echo "installed tree OK"
