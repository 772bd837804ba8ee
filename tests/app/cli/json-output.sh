#!/usr/bin/env bash
# kelvane-cli --json as a script reads it: on the demo tender, `verify`, `import`, `open` and `drill` put
# exactly one JSON document on standard output (progress, questions and errors on standard error),
# with stable English keys in a Chinese session too, each file's checks, status and reason, a
# refused (tampered) and a passed bid, the openers who contributed and ISO 8601 times with their
# zone; the exit statuses are those of the lists.
#
#   json-output.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source_dir=$2
bin=$build/bin
step_limit=120 # seconds for one run; a hung step fails the test

demo=$(mktemp -d /tmp/kelvane-json.XXXXXX)
# shellcheck source=../../../scripts/lib/demo-tender.sh
source "$source_dir/scripts/lib/demo-tender.sh"
demo_tender_start "$demo" "$bin" > "$demo/setup.log" 2>&1 || { cat "$demo/setup.log"; exit 1; }
trap 'demo_tender_stop; rm -rf "$demo"' EXIT
project=$DEMO_PROJECT package=$DEMO_PACKAGE
tampered=$(sed -n 's/^  tampered: //p' "$demo/setup.log")
[[ -n $tampered ]] || { echo "the demo tender names no tampered bid"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME EXPECTED_STATUS ARGS...: kelvane-cli with its standard output in NAME.json.
run() {
  local name=$1 expected=$2 status=0
  shift 2
  timeout -k 5 "$step_limit" "$bin/kelvane-cli" "$@" > "$demo/$name.json" 2> "$demo/$name.err" || status=$?
  ((status == expected)) || fail "$name: exit status $status, not $expected; stderr: $(tail -n 3 "$demo/$name.err")"
  # One document and nothing else: jq reads a stream, so the count says it.
  [[ $(jq -s length "$demo/$name.json" 2> /dev/null) == 1 ]] || fail "$name: standard output is not one JSON document"
}
# expect NAME FILTER WHAT: the jq filter holds on NAME's document.
expect() {
  jq -e "$2" "$demo/$1.json" > /dev/null 2>&1 || fail "$1: $3 ($(jq -c "$2" "$demo/$1.json" 2>&1 | head -c 300))"
}

iso='test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(Z|[+-][0-9]{2}:[0-9]{2})$")'
# What every document has.
common() {
  expect "$1" "(.started | $iso) and (.finished | $iso)" "times in ISO 8601 with their zone"
  expect "$1" ".command == \"$2\" and (.exit_status | type) == \"number\" and (.files | type) == \"array\"" "the run's keys"
  expect "$1" '[.files[] | has("name", "path", "verification_code", "checks", "status", "reason")] | all' "every file's keys"
  expect "$1" '[.files[].checks[] | .result | IN("passed", "failed", "not_run")] | all' "check results"
}

good=$(find "$DEMO_TENDER/bids" -name '*.bidx' ! -name "$tampered" | sort | head -n 1)
# verify: a passed and a failed bid; the same keys in the Chinese session as in the English one.
LANG=zh_CN.UTF-8 run verify-good 0 --json verify "$good"
common verify-good verify
expect verify-good '.files[0] | .status == "passed" and .reason == null and (.verification_code | test("^[0-9A-F]{64}$"))' "a passed bid"
expect verify-good '[.files[0].checks[] | .name + ":" + .result] == ["format:passed", "signature:passed"]' "its checks"
LANG=en_US.UTF-8 run verify-bad 1 --json verify "$DEMO_TENDER/bids/$tampered"
common verify-bad verify
expect verify-bad ".files[0] | .name == \"$tampered\" and .status == \"failed\" and (.reason | length) > 0" "a failed bid with its reason"
expect verify-bad '[.files[0].checks[] | select(.result == "failed") | .reason | length > 0] | any' "the failed check's reason"
jq -c '[paths(scalars) | map(select(type == "string")) | join(".")] | unique' "$demo/verify-good.json" > "$demo/keys-zh"
LANG=en_US.UTF-8 TZ=XST+5:30 run verify-good-en 0 --json verify "$good"
expect verify-good-en '.started | endswith("-05:30")' "the zone's offset"
jq -c '[paths(scalars) | map(select(type == "string")) | join(".")] | unique' "$demo/verify-good-en.json" > "$demo/keys-en"
cmp -s "$demo/keys-zh" "$demo/keys-en" || fail "the keys follow the session's language"

# A hostile file name (quote, backslash, tab, a control character, CJK) comes back as it is.
hostile=$demo/$'q"b\\s\tn\x01\xe6\xa0\x87.bidx'
cp "$good" "$hostile"
LANG=en_US.UTF-8 run verify-hostile 0 --json verify "$hostile"
jq -e --arg path "$hostile" '.files[0].path == $path' "$demo/verify-hostile.json" > /dev/null \
  || fail "verify-hostile: the name does not come back as it is"

# import: 3 bids imported, the tampered one refused by its structure check; nothing but the
# document on standard output although the run writes its progress.
run import 1 --yes --json import --project "$project" --package "$package" "$DEMO_TENDER"/bids/*.bidx
common import import
expect import '[.files[] | select(.status == "imported")] | length == 3' "three bids imported"
expect import "[.files[] | select(.status == \"refused\")] | length == 1 and .[0].name == \"$tampered\"" "the tampered bid refused"
expect import ".files[] | select(.name == \"$tampered\") | (.reason | length) > 0
  and ([.checks[] | .name + \":\" + .result] == [\"open:passed\", \"structure:failed\", \"embedded_rules:not_run\",
    \"rules_comparison:not_run\", \"copy:not_run\"])" "the refusal's checks and reason"
expect import '[.files[] | select(.status == "imported") | .verification_code | test("^[0-9A-F]{64}$")] | all' "the imported bids' codes"
[[ -s $demo/import.err ]] || fail "import: no progress on standard error"

# open, with the tampered bid put in the package folder by hand: the imported bids decrypted, each
# with the openers who contributed and its opening time; the tampered one damaged by its check.
cp "$DEMO_TENDER/bids/$tampered" "$DEMO_WORKSPACE/"
# No display, and a platform asked for that would need one: the record's PDF is made offscreen.
DISPLAY='' WAYLAND_DISPLAY='' QT_QPA_PLATFORM=xcb run open 1 --yes --json open --project "$project" --package "$package"
common open open
expect open '.outcome == "completed" and (.files | length) == 4' "the run and its files"
expect open '[.files[] | select(.status == "decrypted") | (.openers | length) >= 2
  and (.opening_time | test("^[0-9-]{10}T[0-9:]{8}\\+08:00$")) and (.bidder | length) > 0
  and ([.checks[].result] | unique == ["passed"])] | length == 3' "three decrypted, with openers, opening time and bidder"
expect open ".files[] | select(.name == \"$tampered\") | .status == \"damaged\" and .openers == []
  and ([.checks[] | .name + \":\" + .result] | .[1] == \"structure:failed\" and .[5] == \"decryption:not_run\")
  and (.reason | length) > 0" "the tampered bid damaged by its structure check"
expect open '.record | (.json | endswith(".json")) and (.signature | endswith(".p7s")) and (.pdf | endswith(".pdf"))
  and (.sha256 | test("^[0-9a-f]{64}$"))' "the opening record's files and SHA-256"
record_json=$(jq -r '.record.json // empty' "$demo/open.json")
[[ -n $record_json && $(sha256sum < "$record_json" | cut -d' ' -f1) == $(jq -r .record.sha256 "$demo/open.json") ]] \
  || fail "open: the record's SHA-256 is not that of its JSON"
# The printed record holds every bid's verification code (a code is printed in groups, and wraps).
record_text=$(pdftotext -raw "$(jq -r '.record.pdf // empty' "$demo/open.json")" - 2> /dev/null | tr -d ' \n\f')
for code in $(jq -r '.files[].verification_code // empty' "$demo/open.json"); do
  [[ $record_text == *"$code"* ]] || fail "open: the record's PDF lacks the verification code $code"
done
[[ -n $record_text ]] || fail "open: pdftotext does not read the record's PDF"

# drill: every opener of the demo tender ready, the practice bid opened, and the opening can proceed.
run drill 0 --yes --json drill --project "$project"
common drill drill
expect drill '.drill | .outcome == "completed" and .can_proceed and .practice_bid_opened and .ready == .openers_total
  and .ready >= .threshold and (.opening_time | test("\\+08:00$")) and (.verdict | length) > 0' "the drill's verdict"
expect drill '[.drill.openers[] | .present and .certificate_found and .valid_at_opening and .key_present
  and .share_unwrapped and .ready and .reason == null] | all' "every opener ready"

# A command without a document and a command line that cannot be read: exit 2, standard output empty.
status=0
"$bin/kelvane-cli" --json timestamp > "$demo/timestamp.out" 2> /dev/null || status=$?
((status == 2)) && [[ ! -s $demo/timestamp.out ]] || fail "--json timestamp: status $status, output $(head -c 100 "$demo/timestamp.out")"

((failures == 0)) || { echo "$failures checks failed"; exit 1; }
echo "kelvane-cli --json: verify, import, open and drill as expected"
