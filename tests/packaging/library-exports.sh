#!/usr/bin/env bash
# A shared library of the workstation must export exactly its C functions, listed one a line in
# EXPORTS: nothing of its static libraries, of TinyXML, OpenSSL or the C++ runtime may leak into
# the workstation's process. It must also carry its versioned name SONAME, under which the
# programs and the loader find it.
#
#   library-exports.sh LIBRARY EXPORTS SONAME
set -euo pipefail
library=${1:?usage: library-exports.sh LIBRARY EXPORTS SONAME}
exports=${2:?usage: library-exports.sh LIBRARY EXPORTS SONAME}
soname=${3:?usage: library-exports.sh LIBRARY EXPORTS SONAME}
status=0
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sed 's/@.*//' | sort)
if [[ "$actual" != "$(sort "$exports")" ]]; then
  echo "exports of $library differ from the $(wc -l <"$exports") functions of $(basename "$exports"):"
  diff <(sort "$exports") <(echo "$actual") || true
  status=1
fi
name=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [[ "$name" != "$soname" ]]; then
  echo "$library is named \"$name\", not $soname"
  status=1
fi
((status == 0)) && echo "$(basename "$library"): exactly the $(wc -l <"$exports") exports, named $soname"
exit $status
