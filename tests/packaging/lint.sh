#!/usr/bin/env bash
# The Debian packages of the build, made by scripts/package into a temporary folder and checked
# by scripts/check-package --lint-only: appstreamcli on the metainfo, lintian on every package,
# any error or warning fails.
#
#   lint.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=${1:?usage: lint.sh SOURCE_DIR BUILD_DIR}
build=${2:?usage: lint.sh SOURCE_DIR BUILD_DIR}
work=$(mktemp -d /tmp/kelvane-lint-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
mapfile -t debs < <(KELVANE_BUILD=$build KELVANE_PACKAGE_DIR=$work bash "$source/scripts/package")
bash "$source/scripts/check-package" --lint-only "${debs[@]}"
