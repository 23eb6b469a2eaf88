#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack from this build,
# checked by lintian and the desktop validators, installed into an empty root
# (as make install does, and as dpkg does and undoes), and run from there
# with nothing of the build folder reachable.
#
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail

build=$(cd "$1" && pwd)
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "cpack"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb="$work/out/zarvion-viewer_${version}_amd64.deb"
[ -f "$deb" ] || { ls "$work/out"; fail "no $deb"; }

step "contents"
dpkg-deb -c "$deb" >"$work/contents"
cat "$work/contents"
# Paths of files and links only, without the leading "."
awk '$1 !~ /^d/ { print $6 }' "$work/contents" | sed 's|^\.||' | sort >"$work/files"
lib=/usr/lib/x86_64-linux-gnu/zarvion/libzarvion.so
for f in /usr/bin/zarvion-viewer /usr/bin/zarvion-dvrsim /usr/bin/zarvion-avi-repair \
  /usr/bin/zarvion-regsvr /usr/bin/zarvion-export "$lib" \
  /usr/share/applications/com.holmvard.ZarvionViewer.desktop \
  /usr/share/metainfo/com.holmvard.ZarvionViewer.metainfo.xml \
  /usr/share/icons/hicolor/48x48/apps/zarvion-viewer.png \
  /usr/share/icons/hicolor/128x128/apps/zarvion-viewer.png \
  /usr/share/icons/hicolor/scalable/apps/zarvion-viewer.svg \
  /usr/share/man/man1/zarvion-viewer.1.gz /usr/share/man/man1/zarvion-dvrsim.1.gz \
  /usr/share/man/man1/zarvion-avi-repair.1.gz /usr/share/man/man1/zarvion-regsvr.1.gz \
  /usr/share/man/man1/zarvion-export.1.gz \
  /usr/share/doc/zarvion-viewer/copyright; do
  grep -qxF "$f" "$work/files" || fail "$f is not in the package"
done
if grep -v '^/usr/' "$work/files"; then fail "files outside /usr"; fi
if awk '$2 != "root/root"' "$work/contents" | grep .; then fail "files not owned by root"; fi

step "control"
dpkg-deb -f "$deb" Package Version Architecture Depends
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version"
depends=$(dpkg-deb -f "$deb" Depends)
for d in fonts-arphic-uming qt6-translations-l10n libqt6widgets6 libavcodec libc6; do
  grep -q "$d" <<<"$depends" || fail "Depends lacks $d"
done

step "lintian"
lintian --fail-on error "$deb" | tee "$work/lintian" ||
  fail "lintian found errors"

step "make install and the package install the same files"
DESTDIR="$work/installed" cmake --install "$build" --prefix /usr --strip >/dev/null
(cd "$work/installed" && find . ! -type d | sed 's|^\.||' | sort) >"$work/installed-files"
diff -u "$work/files" "$work/installed-files" || fail "make install differs from the package"

step "extract into an empty root"
root="$work/root"
dpkg-deb -x "$deb" "$root"
# No path of the build machine in what is installed.
if grep -rlaF "$build" "$root"; then fail "the build folder is named in the files above"; fi
for f in "$root"/usr/bin/* "$root$lib"; do
  if readelf -d "$f" | grep -E 'RPATH|RUNPATH'; then fail "$f has a library search path"; fi
done

step "run from the root"
home="$work/home"
mkdir -p -m 700 "$home"
run() {
  env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen "$@"
}
for p in zarvion-viewer zarvion-dvrsim zarvion-avi-repair zarvion-regsvr zarvion-export; do
  out=$(run "$root/usr/bin/$p" --version)
  [ "$out" = "$p $version" ] || fail "$p --version said '$out'"
done
run "$root/usr/bin/zarvion-viewer" --demo --screenshot "$work/shot.png" --after 2
head -c 8 "$work/shot.png" | od -An -c | grep -q 'P   N   G' || fail "no screenshot"
# The viewer found the installed control and registered it for the user.
grep -qaF "$root$lib" "$home/.config/zarvion/HKEY_CLASSES_ROOT.reg" ||
  fail "the control in the root was not registered"
run "$root/usr/bin/zarvion-regsvr" "$root$lib" | grep -q succeeded || fail "regsvr"

step "desktop entry, metainfo, manual pages"
desktop-file-validate "$root/usr/share/applications/com.holmvard.ZarvionViewer.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/com.holmvard.ZarvionViewer.metainfo.xml"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$work/man-warnings")
  [ -s "$work/man-warnings" ] && { cat "$work/man-warnings"; fail "$page has warnings"; }
  grep -q '^NAME' <<<"$text" || fail "$page does not render"
done

step "dpkg installs, reinstalls and removes it, keeping the user's data"
admin="$work/dpkg/var/lib/dpkg"
mkdir -p "$admin/updates" "$admin/info" "$work/dpkg/home/op/.config/zarvion"
touch "$admin/status"
user_data="$work/dpkg/home/op/.config/zarvion/HKEY_CURRENT_USER.reg"
echo "the user's settings" >"$user_data"
dpkg=(dpkg --root="$work/dpkg" --force-not-root --force-depends --force-script-chrootless
  --log=/dev/null)
# Its dependencies are not in this root: dpkg's complaints about them are no news.
"${dpkg[@]}" -i "$deb" >/dev/null 2>&1 || fail "dpkg -i"
[ -x "$work/dpkg/usr/bin/zarvion-viewer" ] || fail "dpkg did not install"
"${dpkg[@]}" -i "$deb" >/dev/null 2>&1 || fail "dpkg -i over itself"
"${dpkg[@]}" --purge zarvion-viewer >/dev/null || fail "dpkg --purge"
left=$(cd "$work/dpkg" && find . ! -type d ! -path './var/lib/dpkg/*')
[ "$left" = "./home/op/.config/zarvion/HKEY_CURRENT_USER.reg" ] || fail "left behind: $left"
[ "$(cat "$user_data")" = "the user's settings" ] || fail "the user's data changed"
empty=$(cd "$work/dpkg" && find . -mindepth 1 -type d ! -path './var*' ! -path './home*')
[ -z "$empty" ] || fail "folders left behind: $empty"
echo "package test passed"
