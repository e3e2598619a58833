#!/usr/bin/env bash
# Checks a built Kartivo package without installing it on this machine:
#
#     bash packaging/check_package.sh build/kartivo_<version>_amd64.deb
#
# It unpacks the package into a temporary root (dpkg-deb -x), checks the
# control fields and the file list, validates the desktop entries and the
# MIME type, follows every link of the manual, and starts the unpacked
# kartivo in a virtual X display (Xvfb) with a temporary HOME, where it
# saves the options through the real menu and dialog (keys sent by xdotool):
# an installed copy must write ~/.config/kartivo/config.ini, and a copy
# whose ini/ folder is writable must keep using ini/config.ini.
set -euo pipefail

deb=${1:?usage: check_package.sh PACKAGE.deb}
deb=$(realpath "$deb")
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# ---- control fields ----------------------------------------------------------
name=$(basename "$deb")
version=$(dpkg-deb -f "$deb" Version)
[ "$(dpkg-deb -f "$deb" Package)" = kartivo ] || fail "Package is not kartivo"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "Architecture is not amd64"
[ "$name" = "kartivo_${version}_amd64.deb" ] || fail "file name $name is not kartivo_${version}_amd64.deb"
[[ "$version" =~ ^[0-9]+(\.[0-9]+)+$ ]] || fail "Version '$version'"
depends=$(dpkg-deb -f "$deb" Depends)
# Found by dpkg-shlibdeps from the executables, so each comes with a version.
for lib in libc6 'libstdc\+\+6' libqt6core6 libqt6gui6 libqt6widgets6; do
  grep -qE "(^|, )$lib \(>= [^)]+\)" <<<"$depends" || fail "Depends lacks a versioned $lib: $depends"
done
for field in Maintainer Description Section Priority Installed-Size; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "control field $field is empty"
done
pass "control fields (Version $version; Depends: $depends)"

# ---- file list ---------------------------------------------------------------
listing="$work/listing"
dpkg-deb -c "$deb" >"$listing"
has() { grep -qE "^$1 +root/root +[0-9]+ [0-9-]+ [0-9:]+ \./$2\$" "$listing" || fail "package lacks $2 ($1)"; }
programs=(kartivo)
for p in plateview platejoin; do
  grep -q " \./opt/kartivo/$p\$" "$listing" && programs+=("$p")
done
for p in "${programs[@]}"; do
  has '-rwxr-xr-x' "opt/kartivo/$p"
  has 'lrwxrwxrwx' "usr/bin/$p -> /opt/kartivo/$p"
  has '-rw-r--r--' "usr/share/applications/$p.desktop"
  has '-rw-r--r--' "usr/share/icons/hicolor/scalable/apps/$p.svg"
  for size in 16 22 24 32 48 64 128 256; do
    has '-rw-r--r--' "usr/share/icons/hicolor/${size}x${size}/apps/$p.png"
  done
  has '-rw-r--r--' "usr/share/man/man1/$p.1.gz"
done
has 'dr-xr-xr-x' 'opt/kartivo/ini/'
has '-rw-r--r--' 'opt/kartivo/help/index.html'
for f in blank256.png blank256.jpg blank180.jpg; do has '-rw-r--r--' "opt/kartivo/blankimg/$f"; done
has '-rw-r--r--' 'usr/share/mime/packages/kartivo.xml'
# Nothing outside the program folder and /usr/{bin,share}, and no build leftovers.
stray=$(awk '{print $6}' "$listing" | grep -vE '^\./$|^\./opt/$|^\./opt/kartivo/|^\./usr/$|^\./usr/bin/|^\./usr/share/' || true)
[ -z "$stray" ] || fail "unexpected paths: $stray"
! grep -qE '/(test_|bench_|kartivo_manual_shots)' "$listing" || fail "test or build tools in the package"
pass "file list (programs: ${programs[*]})"

# ---- unpacked: desktop entries, MIME type, man pages, manual links -----------
root="$work/root"
dpkg-deb -x "$deb" "$root"
for entry in "$root"/usr/share/applications/*.desktop; do
  out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate $(basename "$entry"): $out"
  [ -z "$out" ] || fail "desktop-file-validate $(basename "$entry"): $out"
  exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  [ -L "$root/usr/bin/$exe" ] || fail "$(basename "$entry") runs $exe, which is not in /usr/bin"
done
xmllint --noout "$root/usr/share/mime/packages/kartivo.xml" || fail "MIME XML is not well-formed"
mimedb="$work/mime"
mkdir -p "$mimedb/packages"
cp "$root/usr/share/mime/packages/kartivo.xml" "$mimedb/packages/"
update-mime-database "$mimedb" >/dev/null 2>&1 || fail "update-mime-database refused the MIME XML"
grep -q 'application/x-kartivo-project:\*\.kvpd' "$mimedb/globs2" || fail "no *.kvpd glob"
grep -q 'application/x-kartivo-project' "$mimedb/magic" || fail "no magic rule"
if [ -f "$root/usr/share/applications/plateview.desktop" ]; then
  grep -q '^MimeType=application/x-kartivo-project;' "$root/usr/share/applications/plateview.desktop" ||
    fail "plateview does not open project files"
fi
for page in "$root"/usr/share/man/man1/*.1.gz; do
  gzip -t "$page" || fail "$(basename "$page") is not gzip"
  out=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1) || fail "$(basename "$page") does not format"
  [ -z "$out" ] || fail "$(basename "$page"): $out"
done
pass "desktop entries, MIME type and man pages"

help="$root/opt/kartivo/help"
links=0
for page in "$help"/*.html; do
  ids=$(grep -oE ' id="[^"]+"' "$page" | sed 's/ id="\(.*\)"/\1/')
  while IFS= read -r target; do
    links=$((links + 1))
    case "$target" in
      http://* | https://* | mailto:*) continue ;;
      '#'*) grep -qx -- "${target#\#}" <<<"$ids" || fail "$(basename "$page"): no anchor $target" ;;
      *)
        file=${target%%#*}
        [ -f "$(dirname "$page")/$file" ] || fail "$(basename "$page"): $target is not in the package"
        ;;
    esac
  done < <(grep -oE '(href|src)="[^"]*"' "$page" | sed -E 's/^(href|src)="(.*)"$/\2/')
done
[ "$links" -gt 20 ] || fail "the manual has only $links links"
# Every picture the build made is shown somewhere.
for image in "$help"/images/*; do
  grep -q "images/$(basename "$image")" "$help"/*.html || fail "$(basename "$image") is shown nowhere"
done
pass "manual: $links links and pictures resolve"

# ---- settings of an installed copy and of a user's own copy ------------------
# Starts the program folder's kartivo in a virtual display with HOME=$2,
# opens Options from the menu and presses OK (Enter, the default button),
# then waits for the settings file $3 to hold every key.
save_options() {
  local folder=$1 home=$2 expect=$3
  HOME="$home" XDG_CONFIG_HOME='' timeout 120 xvfb-run -a -s '-screen 0 1280x900x24' bash -c '
    set -u
    "$1/kartivo" >"$2/kartivo.out" 2>&1 & pid=$!
    trap "kill $pid 2>/dev/null; wait $pid 2>/dev/null" EXIT
    main=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kartivo") || exit 3
    main=$(head -n1 <<<"$main")
    xdotool windowfocus --sync "$main"
    windows() { xdotool search --onlyvisible --class kartivo 2>/dev/null | wc -l; }
    before=$(windows)
    xdotool key --clearmodifiers alt+o
    # The menu is open when a further window is shown.
    for _ in $(seq 100); do [ "$(windows)" -gt "$before" ] && break; sleep 0.1; done
    xdotool key Return
    dialog=$(timeout 30 xdotool search --sync --onlyvisible --name "^Options\$") || exit 4
    xdotool windowfocus --sync "$(head -n1 <<<"$dialog")" key Return
    # Options writes its keys one by one, ProxyPassword last: the file is
    # complete only once that key is in it.
    for _ in $(seq 200); do grep -qs "^ProxyPassword=" "$3" && exit 0; sleep 0.1; done
    exit 5' _ "$folder" "$home" "$expect"
}

installed="$root/opt/kartivo"
home1="$work/home1"
mkdir -p "$home1"
if save_options "$installed" "$home1" "$home1/.config/kartivo/config.ini"; then
  ls "$installed/ini" | grep -q . && fail "the installed copy wrote into its read-only ini/"
  [ "$(stat -c %a "$home1/.config/kartivo")" = 700 ] || fail "settings folder is not private (0700)"
  [ "$(stat -c %a "$home1/.config")" = 700 ] || fail "made .config without 0700"
  [ "$(stat -c %a "$home1/.config/kartivo/config.ini")" = 600 ] || fail "settings file is not private (0600)"
  grep -q '^ProxyServer=' "$home1/.config/kartivo/config.ini" || fail "settings file lacks the proxy keys"
  pass "installed copy saves to HOME/.config/kartivo/config.ini, readable by its owner only"
else
  fail "installed copy: no settings file under HOME/.config/kartivo ($(cat "$home1/kartivo.out" 2>/dev/null))"
fi

own="$work/own"
cp -a "$installed" "$own"
chmod 0755 "$own/ini"
home2="$work/home2"
mkdir -p "$home2"
if save_options "$own" "$home2" "$own/ini/config.ini"; then
  [ ! -e "$home2/.config/kartivo" ] || fail "a copy with a writable ini/ wrote to HOME/.config"
  pass "a copy with a writable ini/ keeps ini/config.ini"
else
  fail "writable copy: no ini/config.ini ($(cat "$home2/kartivo.out" 2>/dev/null))"
fi

if [ "$failures" -ne 0 ]; then
  echo "check_package: $failures failure(s)" >&2
  exit 1
fi
echo "check_package: $name is sound"
