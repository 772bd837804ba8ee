#!/usr/bin/env bash
# libquarnpki.so must export exactly the functions its header declares, under a versioned
# SONAME: nothing of the C++ runtime's templates or of the library's own C++ may leak into the
# processes that load it.
#
#   check_exports.sh LIBRARY QuarnPKI.h
set -euo pipefail
library=${1:?usage: check_exports.sh LIBRARY HEADER}
header=${2:?usage: check_exports.sh LIBRARY HEADER}
expected=$(grep -o '^QUARNPKI_API [^(]*(' "$header" | sed 's/($//' | awk '{print $NF}' | tr -d '*' | sort)
# The version node is listed as an absolute symbol of its own.
actual=$(nm -D --defined-only "$library" | awk '$3 != "QUARNPKI_1" {print $3}' | sed 's/@.*//' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "exports of $library differ from the functions of $header:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
if [[ "$soname" != "libquarnpki.so.1" ]]; then
  echo "SONAME of $library is '$soname', not libquarnpki.so.1"
  exit 1
fi
echo "exactly the $(wc -l <<<"$expected") QuarnPKI exports, SONAME $soname"
