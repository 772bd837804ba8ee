#!/usr/bin/env bash
# The demo tender opens with any two of its three openers: for each pair, a token folder that
# holds only those two openers' tokens (and the operator's), a workspace of its own, the bids
# imported and opened through kelvane-cli. Every valid bid must open with every pair; a P-256
# opener whose token key cannot derive fails the pairs that include it.
#
#   opener-pairs.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source_dir=$2
bin=$build/bin
step_limit=90  # seconds for one import or opening; a hung step fails the test

demo=$(mktemp -d /tmp/kelvane-pairs.XXXXXX)
# shellcheck source=../../../scripts/lib/demo-tender.sh
source "$source_dir/scripts/lib/demo-tender.sh"
demo_tender_start "$demo" "$bin" > "$demo/setup.log" 2>&1 || { cat "$demo/setup.log"; exit 1; }
trap 'demo_tender_stop; rm -rf "$demo"' EXIT
tender=$DEMO_TENDER
valid=3  # of the demo's 4 bids, one is tampered

# The token folder of a token, found by its label in the token's object file.
token_folder() {
  local found
  found=$(grep -l -a -F "$1" "$tender"/tokens/store/*/token.object) || { echo "no token $1" >&2; exit 1; }
  dirname "$found"
}

failures=0
for pair in "1 2" "1 3" "2 3"; do
  read -r a b <<<"$pair"
  here=$demo/pair-$a-$b
  mkdir -p "$here/store" "$here/work"
  for label in "opener-$a" "opener-$b" operator; do
    cp -a "$(token_folder "$label")" "$here/store/"
  done
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
    "$here/store" > "$here/softhsm2.conf"
  cp -a "$tender/config" "$here/config"
  sed -i "s|^path=$tender/work/\$|path=$here/work/|" "$here/config/QUARN/rmw/Setting.ini"
  grep -q "^path=$here/work/\$" "$here/config/QUARN/rmw/Setting.ini"

  export SOFTHSM2_CONF=$here/softhsm2.conf XDG_CONFIG_HOME=$here/config
  set +e
  timeout -k 5 "$step_limit" "$bin/kelvane-cli" --yes import --project "$DEMO_PROJECT" --package "$DEMO_PACKAGE" \
    "$tender"/bids/*.bidx > "$here/import.log" 2>&1
  import_status=$?
  timeout -k 5 "$step_limit" "$bin/kelvane-cli" --yes open --project "$DEMO_PROJECT" --package "$DEMO_PACKAGE" \
    > "$here/open.log" 2>&1
  open_status=$?
  set -e
  workspace=$here/work/$DEMO_PROJECT/$DEMO_PACKAGE
  opened=0
  [[ -d $workspace/Open ]] && opened=$(find "$workspace/Open" -mindepth 1 -maxdepth 1 -type d | wc -l)
  echo "openers $a and $b: import $import_status, open $open_status, opened $opened of $valid"
  if [[ $import_status -ne 1 || $open_status -ne 0 || $opened -ne $valid ]]; then
    failures=$((failures + 1))
    echo "--- import"; cat "$here/import.log"; echo "--- open"; cat "$here/open.log"
  fi
done
((failures == 0)) || { echo "$failures of 3 opener pairs did not open every valid bid"; exit 1; }
echo "every pair of openers opened every valid bid"
