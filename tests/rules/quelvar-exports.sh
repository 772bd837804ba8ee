#!/usr/bin/env bash
# libquelvar.so must export exactly the 18 Quelvar functions: nothing of its static libraries,
# of TinyXML or of the C++ runtime may leak into the workstation's process.
set -euo pipefail
expected="QuelvarCompareFile
QuelvarCreateHandle
QuelvarGetCert
QuelvarGetCertCount
QuelvarGetCertLen
QuelvarGetEncAlgo
QuelvarGetFileData
QuelvarGetFileLen
QuelvarGetHashAlgo
QuelvarGetMinNum
QuelvarGetOpenOrg
QuelvarGetOpenTime
QuelvarGetProjectName
QuelvarGetRules
QuelvarGetTotalNum
QuelvarReleaseHandle
QuelvarSetProxy
QuelvarSetTargetUrl"
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "exports of $1 differ from the 18 Quelvar functions:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exactly the 18 Quelvar exports"
