#!/usr/bin/env bash
# Nothing is lost when kelvane-cli is killed or interrupted. On the demo tender with one large bid
# more (64 MiB), `import` and `open` are killed with SIGKILL at points spread over their run; after
# each kill every bid in the package is byte for byte its source or absent, every opened folder
# holds exactly the bytes of a complete opening, and a rerun (which first removes what the killed
# run left) completes with identical bytes. SIGINT during an opening stops it after the file in
# hand, writes the cancellation's record and exits 1.
#
#   crash-injection.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source_dir=$2
bin=$build/bin
step_limit=120  # seconds for one run; a hung step fails the test

demo=$(mktemp -d /tmp/kelvane-crash.XXXXXX)
# shellcheck source=../../../scripts/lib/demo-tender.sh
source "$source_dir/scripts/lib/demo-tender.sh"
demo_tender_start "$demo" "$bin" > "$demo/setup.log" 2>&1 || { cat "$demo/setup.log"; exit 1; }
trap 'demo_tender_stop; rm -rf "$demo"' EXIT
tender=$DEMO_TENDER project=$DEMO_PROJECT package=$DEMO_PACKAGE

# The large bid, sealed by one of the demo's bidders from content we keep.
bidder=$(find "$tender/bidders" -mindepth 1 -maxdepth 1 -type d | sort | head -n 1)
mkdir -p "$demo/content" "$demo/sealed" "$demo/sources"
head -c $((64 << 20)) /dev/urandom > "$demo/content/large.bin"
"$bin/kelvane-seal" --rules "$tender/rules/$project.xml" --project "$project" --package "$package" \
  --cert "$bidder/bidder.pem" --key "$bidder/bidder.key" --tender-ca "$tender/ca/ca.pem" \
  --output-dir "$demo/sealed" --quiet "$demo/content/large.bin" > /dev/null
mv "$demo/sealed"/*.bidx "$demo/sources/large-bidder_${project}_${package}.bidx"
cp "$tender"/bids/*.bidx "$demo/sources/"

# One workspace per run: settings that point at it.
workspace_for() {
  local here=$1
  mkdir -p "$here/work"
  cp -a "$tender/config" "$here/config"
  sed -i "s|^path=$tender/work/\$|path=$here/work/|" "$here/config/QUARN/rmw/Setting.ini"
  grep -q "^path=$here/work/\$" "$here/config/QUARN/rmw/Setting.ini"
}
cli() {  # cli HERE ARGS...: kelvane-cli on HERE's settings, bounded in time
  local here=$1
  shift
  XDG_CONFIG_HOME=$here/config timeout -k 5 "$step_limit" "$bin/kelvane-cli" --yes "$@"
}
import_all() { cli "$1" import --project "$project" --package "$package" "$demo"/sources/*.bidx; }
open_all() { cli "$1" open --project "$project" --package "$package"; }
# Each opened folder's files, by name relative to Open/<bid>/ with their hashes, one line each.
opened_manifest() {
  local folder=$1
  (cd "$folder" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

# The reference: a run that nobody kills.
reference=$demo/reference
workspace_for "$reference"
start=$(date +%s%N)
import_all "$reference" > "$reference/import.log" 2>&1 || true
import_ms=$((($(date +%s%N) - start) / 1000000))
start=$(date +%s%N)
open_all "$reference" > "$reference/open.log" 2>&1 || { cat "$reference/open.log"; exit 1; }
open_ms=$((($(date +%s%N) - start) / 1000000))
ref_package=$reference/work/$project/$package
mkdir -p "$demo/expected"
opened=0
for folder in "$ref_package"/Open/*/; do
  opened_manifest "$folder" > "$demo/expected/$(basename "$folder")"
  opened=$((opened + 1))
done
((opened == 4)) || { echo "the reference run opened $opened of 4 bids"; cat "$reference/open.log"; exit 1; }
echo "reference: import $import_ms ms, open $open_ms ms, 4 bids opened"

failures=0 kills=0 checked=0
fail() { echo "FAIL ($1): $2"; failures=$((failures + 1)); }

# What must hold in a package folder at any moment, killed or not.
check_package() {
  local label=$1 dir=$2 bid folder name
  for bid in "$dir"/*.bidx; do
    [[ -e $bid ]] || continue
    checked=$((checked + 1))
    cmp -s "$bid" "$demo/sources/$(basename "$bid")" || fail "$label" "$(basename "$bid") differs from its source"
  done
  for folder in "$dir"/Open/*/; do
    [[ -d $folder ]] || continue
    checked=$((checked + 1))
    name=$(basename "$folder")
    name=${name% (*)}
    opened_manifest "$folder" | cmp -s - "$demo/expected/$name" || fail "$label" "Open/$(basename "$folder") is not a whole opening"
  done
}

# Kill points spread over each step's measured duration, from its start to past its end.
points=6
for ((i = 1; i <= points; i++)); do
  for step in import open; do
    here=$demo/kill-$step-$i
    workspace_for "$here"
    dir=$here/work/$project/$package
    duration=$import_ms
    if [[ $step == open ]]; then
      import_all "$here" > /dev/null 2>&1 || true
      duration=$open_ms
    fi
    # Half the points spread over the whole run, half over its last third, where files are written.
    if ((i % 2)); then delay_ms=$((duration * i / points)); else delay_ms=$((duration * (14 + 6 * i / points) / 20)); fi
    if [[ $step == import ]]; then arguments=(import --project "$project" --package "$package" "$demo"/sources/*.bidx)
    else arguments=(open --project "$project" --package "$package"); fi
    XDG_CONFIG_HOME=$here/config "$bin/kelvane-cli" --yes "${arguments[@]}" > "$here/killed.log" 2>&1 &
    pid=$!
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -KILL "$pid" 2>/dev/null && kills=$((kills + 1))
    wait "$pid" 2>/dev/null || true
    check_package "$step killed at $delay_ms ms" "$dir"
    # The rerun: whatever the killed run left is removed, the rest completes.
    import_all "$here" > "$here/rerun-import.log" 2>&1 || true
    open_all "$here" > "$here/rerun-open.log" 2>&1 || fail "$step rerun $i" "open exited $?"
    check_package "$step rerun $i" "$dir"
    leftovers=$(find "$dir" -name '.kvopen-*' -o -name '.kelvane-import-*' | wc -l)
    ((leftovers == 0)) || fail "$step rerun $i" "$leftovers leftovers of the killed run remain"
    for name in "$demo"/expected/*; do
      [[ -d $dir/Open/$(basename "$name") ]] || fail "$step rerun $i" "$(basename "$name") was never opened"
    done
  done
done
echo "kills: $kills at $((points * 2)) points (import and open); files and folders checked: $checked"

# SIGINT while the bids are verified: the run stops after the file in hand.
here=$demo/interrupt
workspace_for "$here"
import_all "$here" > /dev/null 2>&1 || true
XDG_CONFIG_HOME=$here/config "$bin/kelvane-cli" --yes open --project "$project" --package "$package" \
  > "$here/open.log" 2>&1 &
pid=$!
(sleep 90 && kill -KILL "$pid" 2>/dev/null) &
watchdog=$!
sleep 1
kill -INT "$pid" || true
status=0
wait "$pid" || status=$?
kill "$watchdog" 2>/dev/null || true
dir=$here/work/$project/$package
check_package "interrupted" "$dir"
[[ $status -eq 1 ]] || fail "interrupt" "exit status $status, not 1"
grep -q "interrupted" "$here/open.log" || fail "interrupt" "no word of the interrupt"
[[ -z $(find "$dir" -name '.kvopen-*') ]] || fail "interrupt" "a staging folder was left"
curl -s "$DEMO_URL/log/records" | grep -q "开标被中断，开标结束" || fail "interrupt" "no record of the cancellation"

((failures == 0)) || { echo "$failures checks failed"; exit 1; }
echo "nothing was lost"
