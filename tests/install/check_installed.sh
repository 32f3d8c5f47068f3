#!/usr/bin/env bash
# check_installed.sh BUILD_DIR DESTDIR HAS_JETREAD VERSION
set -euo pipefail
build=$1 dest=$2 jetread=$3 version=$4
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
# On X11 a dock ties the window to its entry by the window's class, which Qt
# takes from the application name.
grep -qx "StartupWMClass=Lorvane" "$dest/usr/share/applications/$id.desktop" ||
  fail "menu entry names another window class"
gzip -t "$dest"/usr/share/man/man1/*.gz "$dest/usr/share/doc/lorvane/changelog.gz" || fail "broken gzip"

# The installed helper runs from its place and creates a private file.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$dest/usr/bin/lorvane-newdb" "$tmp/cardlist.mdb" >/dev/null || fail "installed lorvane-newdb"
[ "$(stat -c %a "$tmp/cardlist.mdb")" = 600 ] || fail "new database is not 0600"
# Every program answers --help and --version on standard output with status 0
# and starts nothing else: without a display a window could not open.
programs=(usr/bin/lorvane usr/bin/lorvane-newdb usr/bin/lorvane-controller-sim)
programs+=(usr/libexec/lorvane/lorvane-xlsread)
[ "$jetread" = 1 ] && programs+=(usr/libexec/lorvane/lorvane-jetread)
for program in "${programs[@]}"; do
  name=$(basename "$program")
  run() { env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb timeout 20 "$dest/$program" "$@" 2>/dev/null; }
  out=$(run --version) || fail "$name --version exits with $?"
  [ "$out" = "$name $version" ] || fail "$name --version says: $out"
  out=$(run --help) || fail "$name --help exits with $?"
  case $out in [Uu]sage:\ *"$name"*) ;; *) fail "$name --help says: ${out:0:80}" ;; esac
done
echo "installed tree OK"
