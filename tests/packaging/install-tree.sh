#!/usr/bin/env bash
# Installs the build's Runtime component (what the Debian package holds) into a temporary prefix
# and checks that the installed programs work from there and not from the build tree: shared
# libraries through the run path, libquelvar.so.1 through dlopen beside the program, and the
# language file under share/. Everything stays inside the temporary folder.
#
#   install-tree.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: install-tree.sh BUILD_DIR}
work=$(mktemp -d /tmp/kelvane-install-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" --component Runtime >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }

# What the workstation needs, where the programs and the desktop look for it.
for file in bin/kelvane bin/kelvane-cli lib/libquelvar.so.1 lib/libquarnpki.so.1 lib/libquarnsecretfile.so.1 \
    share/kelvane/lang/1033.lng share/applications/kelvane.desktop \
    share/icons/hicolor/scalable/apps/kelvane.svg share/doc/kelvane/changelog.gz share/doc/kelvane/copyright \
    share/doc/kelvane/Setting.ini.example share/man/man1/kelvane.1.gz share/man/man1/kelvane-cli.1.gz \
    share/metainfo/org.example.kelvane.metainfo.xml share/mime/packages/kelvane.xml; do
  [[ -f $prefix/$file ]] || fail "$file is not installed"
done
# The development tools, the C header and the unversioned library names belong to another component.
for file in bin/kelvane-devserver bin/kelvane-seal bin/kelvane-tender share/man/man1/kelvane-seal.1.gz \
    include/Quelvar.h lib/libquelvar.so lib/libquarnpki.so lib/libquarnsecretfile.so; do
  [[ -e $prefix/$file ]] && fail "$file is installed with the workstation"
done

# The desktop entry starts the installed program by name and names the installed icon.
desktop=$prefix/share/applications/kelvane.desktop
grep -qx 'Exec=kelvane %F' "$desktop" || fail "the desktop entry does not run kelvane with the files"
grep -qx 'MimeType=application/x-kelvane-bidx;' "$desktop" || fail "the desktop entry does not take bid files"
grep -qx 'Icon=kelvane' "$desktop" || fail "the desktop entry does not name the kelvane icon"

# The desktop knows a .bidx file, by name and by its first bytes, and the metainfo is valid.
mime=$work/mime
mkdir -p "$mime/packages" && cp "$prefix/share/mime/packages/kelvane.xml" "$mime/packages/"
update-mime-database "$mime" >/dev/null 2>&1 || fail "update-mime-database refuses kelvane.xml"
grep -q 'application/x-kelvane-bidx:\*\.bidx' "$mime/globs2" || fail "*.bidx is not application/x-kelvane-bidx"
grep -q 'application/x-kelvane-bidx' "$mime/magic" || fail "the .bidx magic is not registered"
appstreamcli validate --no-net "$prefix/share/metainfo/org.example.kelvane.metainfo.xml" >"$work/appstream.log" 2>&1 \
  || fail "appstreamcli: $(cat "$work/appstream.log")"

# Every library resolves, and our own ones from the prefix rather than from the build tree.
for program in bin/kelvane bin/kelvane-cli lib/libquelvar.so.1 lib/libquarnsecretfile.so.1; do
  deps=$(ldd "$prefix/$program" 2>&1)
  grep -q 'not found' <<<"$deps" && fail "$program: $(grep 'not found' <<<"$deps" | tr -s ' \t' ' ')"
  grep -q "$build/" <<<"$deps" && fail "$program loads a library from the build tree"
done
grep -q "$prefix/bin/../lib/libquarnpki.so.1" <<<"$(ldd "$prefix/bin/kelvane-cli")" \
  || fail "kelvane-cli does not take libquarnpki.so.1 from the prefix"

# A program environment of its own: a home folder (settings, working directory) in the temporary
# folder, English texts, no display.
run() {
  env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" LANG=en_US.UTF-8 \
    QT_QPA_PLATFORM=offscreen "$@"
}
mkdir -p "$work/home"

# The English label shows that the language file was found under share/kelvane/lang (the
# built-in texts are Chinese).
out=$(run "$prefix/bin/kelvane-cli" verify "$work/missing.bidx" 2>&1)
grep -q '^Bid file: ' <<<"$out" || fail "kelvane-cli did not read the installed language file: $out"

# open loads libquelvar.so.1 before it looks at the package folder; the folder's absence is then
# the reason it stops, and the loader shows from where the library came.
out=$(run LD_DEBUG=files "$prefix/bin/kelvane-cli" open --project P --package L 2>&1)
grep -q 'could not be loaded' <<<"$out" && fail "kelvane-cli: $(grep -o "the rules library.*" <<<"$out")"
grep -q 'package folder .* does not exist' <<<"$out" || fail "kelvane-cli open stopped early: $(tail -n 3 <<<"$out")"
grep -q "file=$prefix/lib/libquelvar.so.1 .*dynamically loaded" <<<"$out" \
  || fail "libquelvar.so.1 was not loaded from the prefix"

# The window program answers --version and --help without a display and without touching the
# home folder (no working directory made).
out=$(env -i PATH=/usr/bin:/bin HOME="$work/bare" "$prefix/bin/kelvane" --version 2>&1)
[[ $out == "kelvane "[0-9]* ]] || fail "kelvane --version: $out"
env -i PATH=/usr/bin:/bin HOME="$work/bare" "$prefix/bin/kelvane" --help 2>&1 | grep -q 'FILE' \
  || fail "kelvane --help does not show its usage"
[[ -e $work/bare ]] && fail "kelvane --help or --version touched the home folder"

# The window program starts and keeps running: a missing library or plugin ends it at once.
run timeout 3 "$prefix/bin/kelvane" >"$work/kelvane.log" 2>&1
status=$?
[[ $status -eq 124 ]] || fail "kelvane ended with status $status: $(tail -n 5 "$work/kelvane.log")"

((failures == 0)) && echo "the installed tree works" 
exit $((failures > 0))
