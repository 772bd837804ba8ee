#!/usr/bin/env bash
# Installs the build's packaged components (what the Debian packages kelvane, kelvane-common,
# kelvane-seal, libquelvar1 and libquelvar-dev hold) into a temporary prefix and checks that the
# installed programs work from there and not from the build tree: the private libraries through
# the run path, libquelvar.so.1 through dlopen beside the program, the language file under share/,
# and a C program built against libquelvar with quelvar.pc. Everything stays inside the temporary
# folder.
#
#   install-tree.sh BUILD_DIR
set -uo pipefail
build=${1:?usage: install-tree.sh BUILD_DIR}
work=$(mktemp -d /tmp/kelvane-install-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for component in Runtime Common Seal Library Development; do
  cmake --install "$build" --prefix "$prefix" --component $component >>"$work/install.log" 2>&1 \
    || { cat "$work/install.log"; echo "FAIL: cmake --install --component $component"; exit 1; }
done

# What each package holds, where the programs, the loader, the desktop and pkg-config look for it.
for file in bin/kelvane bin/kelvane-cli share/kelvane/lang/1033.lng share/applications/kelvane.desktop \
    share/icons/hicolor/scalable/apps/kelvane.svg share/doc/kelvane/README.md \
    share/doc/kelvane/Setting.ini.example share/man/man1/kelvane.1.gz share/man/man1/kelvane-cli.1.gz \
    share/metainfo/org.example.kelvane.metainfo.xml share/mime/packages/kelvane.xml \
    lib/kelvane/libquarnpki.so.1 lib/kelvane/libquarnsecretfile.so.1 \
    bin/kelvane-seal share/man/man1/kelvane-seal.1.gz \
    lib/libquelvar.so.1 \
    include/Quelvar.h lib/libquelvar.so; do
  [[ -f $prefix/$file ]] || fail "$file is not installed"
done
for package in kelvane kelvane-common kelvane-seal libquelvar1 libquelvar-dev; do
  for file in copyright changelog.gz; do
    [[ -f $prefix/share/doc/$package/$file ]] || fail "share/doc/$package/$file is not installed"
  done
done
# The development tools are in no package; the private libraries are not in the loader's public
# path and nothing builds against them.
for file in bin/kelvane-devserver bin/kelvane-tender lib/libquarnpki.so.1 lib/libquarnsecretfile.so.1 \
    lib/kelvane/libquarnpki.so lib/kelvane/libquarnsecretfile.so; do
  [[ -e $prefix/$file ]] && fail "$file is installed"
done
soname=$(readelf -d "$prefix/lib/libquelvar.so.1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libquelvar.so.1 ]] || fail "the installed libquelvar.so.1 has the SONAME '$soname'"

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
for program in bin/kelvane bin/kelvane-cli bin/kelvane-seal lib/libquelvar.so.1 lib/kelvane/libquarnsecretfile.so.1; do
  deps=$(ldd "$prefix/$program" 2>&1)
  grep -q 'not found' <<<"$deps" && fail "$program: $(grep 'not found' <<<"$deps" | tr -s ' \t' ' ')"
  grep -q "$build/" <<<"$deps" && fail "$program loads a library from the build tree"
done
for program in bin/kelvane-cli bin/kelvane-seal lib/libquelvar.so.1; do
  grep -q "$prefix/.*lib/kelvane/libquarnpki.so.1" <<<"$(ldd "$prefix/$program")" \
    || fail "$program does not take libquarnpki.so.1 from the prefix's lib/kelvane"
done

# A C program built with quelvar.pc against the installed header and library: the flags name
# the prefix, and the library finds its private neighbour at run time by its own run path.
pcfile=$(find "$prefix/lib" -path '*/pkgconfig/quelvar.pc' -print -quit)
[[ -n $pcfile ]] || fail "quelvar.pc is not installed"
pc() { PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR=$(dirname "$pcfile") pkg-config "$@"; }
flags=$(pc --cflags --libs quelvar 2>&1 | sed "s/ *$//")
[[ $flags == "-I$prefix/include -L$prefix/lib -lquelvar" ]] || fail "pkg-config --cflags --libs quelvar: $flags"
cat >"$work/rules.c" <<'C'
#include <Quelvar.h>
#include <stdio.h>
int main(void)
{
    CQuelvar* handle = NULL;
    if (QuelvarCreateHandle(&handle) != QUELVAR_OK)
        return 1;
    const int set = QuelvarSetTargetUrl(handle, "not a url");
    QuelvarReleaseHandle(handle);
    printf("%d\n", set);
    return 0;
}
C
# shellcheck disable=SC2046
if cc -std=c11 -Wall -Werror -o "$work/rules" "$work/rules.c" $(pc --cflags --libs quelvar) \
    -Wl,-rpath,"$prefix/lib" >"$work/cc.log" 2>&1; then
  out=$(env -i "$work/rules" 2>&1)
  [[ $out == 2 ]] || fail "the program built with quelvar.pc printed '$out', not QUELVAR_NOT_A_URL (2)"
else
  fail "a C program does not build with quelvar.pc: $(cat "$work/cc.log")"
fi

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

# Every program answers --version from the installed tree alone (no LD_LIBRARY_PATH), and the
# window program --help, without a display and without touching the home folder.
for program in kelvane kelvane-cli kelvane-seal; do
  out=$(env -i PATH=/usr/bin:/bin HOME="$work/bare" "$prefix/bin/$program" --version 2>&1)
  [[ $out == "$program "[0-9]* ]] || fail "$program --version: $out"
done
env -i PATH=/usr/bin:/bin HOME="$work/bare" "$prefix/bin/kelvane" --help 2>&1 | grep -q 'FILE' \
  || fail "kelvane --help does not show its usage"
[[ -e $work/bare ]] && fail "a program's --help or --version touched the home folder"

# The window program starts and keeps running: a missing library or plugin ends it at once.
run timeout 3 "$prefix/bin/kelvane" >"$work/kelvane.log" 2>&1
status=$?
[[ $status -eq 124 ]] || fail "kelvane ended with status $status: $(tail -n 5 "$work/kelvane.log")"

((failures == 0)) && echo "the installed tree works" 
exit $((failures > 0))
