#!/usr/bin/env bash
# Errors that say what to do. `kelvane-cli check` on the demo tender's workstation (ready: exit 0)
# and on broken copies of it (no settings, a service down, no token, a module that does not load,
# two operator certificates): each exits 1 and names its fault, and no check writes anything.
# Then the commands' own refusals: each carries its reason (the server, the transport's reason,
# the file's), never a bare "failed:".
#
#   check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source_dir=$2
bin=$build/bin
step_limit=90  # seconds for one run; a hung step fails the test

demo=$(mktemp -d /tmp/kelvane-check.XXXXXX)
# shellcheck source=../../../scripts/lib/demo-tender.sh
source "$source_dir/scripts/lib/demo-tender.sh"
demo_tender_start "$demo" "$bin" > "$demo/setup.log" 2>&1 || { cat "$demo/setup.log"; exit 1; }
trap 'demo_tender_stop; rm -rf "$demo"' EXIT
tender=$DEMO_TENDER
# The English texts: the catalogue follows LANG (no locale of that name needs to be installed).
export LANG=en_US.UTF-8
unset LC_ALL LC_MESSAGES
dead=http://127.0.0.1:1  # nothing listens there: the connection is refused at once

failures=0
fail() { echo "FAIL ($1): $2"; failures=$((failures + 1)); }

# Settings of the tender with one line changed.
settings_with() {  # settings_with NAME SED_EXPRESSION
  cp -a "$tender/config" "$demo/$1"
  sed -i "$2" "$demo/$1/QUARN/rmw/Setting.ini"
}
settings_with log-down "s|^url=$DEMO_URL/log\$|url=$dead/log|"
settings_with tsa-down "s|^url=$DEMO_URL/tsa\$|url=$dead/tsa|"
settings_with rules-down "s|^url=$DEMO_URL/rules\$|url=$dead/rules|"
# A token store without tokens, and one with a second operator whose certificate has the same
# label as the first's, so that KELVANE_OPERATOR_CERT=operator names two.
mkdir -p "$demo/no-tokens/store"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$demo/no-tokens/store" \
  > "$demo/no-tokens/softhsm2.conf"
cp -a "$tender/tokens" "$demo/two-operators"
sed -i "s|$tender/tokens|$demo/two-operators|" "$demo/two-operators/softhsm2.conf"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=second operator" \
  -addext keyUsage=critical,digitalSignature -keyout "$demo/second.key" -out "$demo/second.pem" 2> /dev/null
openssl pkcs8 -topk8 -nocrypt -in "$demo/second.key" -out "$demo/second.p8"
openssl x509 -in "$demo/second.pem" -outform DER -out "$demo/second.der"
KELVANE_SOFTHSM_MODULE=$KELVANE_PKCS11_MODULE "$source_dir/tests/fixtures/make-token.sh" \
  "$demo/two-operators/softhsm2.conf" operator-2 135790 ec "$demo/second.p8" "$demo/second.der" 01 operator

# name % exit status % what the report must say (an extended regular expression) % environment
cases=(
  "ready%0%^ready for an opening$%"
  "no-settings%1%no settings file $demo/nowhere/QUARN/rmw/Setting\.ini%XDG_CONFIG_HOME=$demo/nowhere"
  "log-down%1%^FAIL  log service +$dead/log: .*(Couldn't connect|refused)%XDG_CONFIG_HOME=$demo/log-down"
  "tsa-down%1%^FAIL  time-stamp +$dead/tsa: .*(Couldn't connect|refused)%XDG_CONFIG_HOME=$demo/tsa-down"
  "no-token%1%^FAIL  tokens +the PKCS#11 module .* sees 0 tokens: insert%SOFTHSM2_CONF=$demo/no-tokens/softhsm2.conf"
  "bad-module%1%^FAIL  tokens +the PKCS#11 module $demo/none\.so cannot be loaded: .*No such file.* \(KELVANE_PKCS11_MODULE\); check%KELVANE_PKCS11_MODULE=$demo/none.so"
  "two-operators%1%^FAIL  operator +Several operator signing certificates fit; .*several certificates match KELVANE_OPERATOR_CERT=operator%SOFTHSM2_CONF=$demo/two-operators/softhsm2.conf"
)
touch "$demo/before-checks"
for row in "${cases[@]}"; do
  IFS='%' read -r name expected pattern environment <<< "$row"
  before=$failures status=0
  # shellcheck disable=SC2086 # the environment column is one assignment or none
  env $environment timeout -k 5 "$step_limit" "$bin/kelvane-cli" check > "$demo/$name.out" 2>&1 || status=$?
  [[ $status == "$expected" ]] || fail "$name" "exit status $status, not $expected"
  grep -Eq -- "$pattern" "$demo/$name.out" || fail "$name" "the report does not say /$pattern/"
  if ((expected != 0)); then
    grep -q "^not ready for an opening" "$demo/$name.out" || fail "$name" "no verdict"
  fi
  ((failures == before)) || cat "$demo/$name.out"
done
written=$(find "$tender/work" "$tender/config" "$demo"/*-down -newer "$demo/before-checks" | head -n 5)
[[ -z $written ]] || fail "check" "it wrote $written"

# The commands' refusals, each with its reason.
cli() { timeout -k 5 "$step_limit" "$bin/kelvane-cli" "$@"; }
status=0
cli verify "$demo/nonexistent.bidx" > "$demo/verify.out" 2> "$demo/verify.err" || status=$?
[[ $status == 1 ]] || fail "verify" "exit status $status"
grep -q "^kelvane-cli: $demo/nonexistent.bidx: .*No such file" "$demo/verify.err" || fail "verify" "no reason on stderr"

cli --yes import --project "$DEMO_PROJECT" --package "$DEMO_PACKAGE" "$tender"/bids/*.bidx > "$demo/import.out" 2>&1 || true
grep -Eq "Structure check failed: .+" "$demo/import.out" || fail "import" "no structure refusal with its reason"
! grep -Eq "failed: *$" "$demo/import.out" || fail "import" "a bare \"failed:\": $(grep -E 'failed: *$' "$demo/import.out")"

status=0
XDG_CONFIG_HOME=$demo/log-down cli --yes import --project "$DEMO_PROJECT" --package "$DEMO_PACKAGE" \
  "$tender"/bids/*.bidx > /dev/null 2> "$demo/import-log-down.err" || status=$?
[[ $status == 2 ]] || fail "import, log down" "exit status $status"
grep -Eq "not accepted by the log service: the log service at $dead/log gave no answer: .+" \
  "$demo/import-log-down.err" || fail "import, log down" "no reason: $(cat "$demo/import-log-down.err")"

XDG_CONFIG_HOME=$demo/rules-down cli --yes import --project "$DEMO_PROJECT" --package "$DEMO_PACKAGE" \
  "$tender"/bids/*.bidx > "$demo/import-rules-down.out" 2>&1 || true
grep -Eq "$dead/rules: .*(Couldn't connect|refused)" "$demo/import-rules-down.out" ||
  fail "import, rules down" "no server and reason: $(cat "$demo/import-rules-down.out")"

XDG_CONFIG_HOME=$demo/tsa-down cli --yes timestamp > "$demo/timestamp.out" 2>&1 || true
grep -Eq "$dead/tsa: .+" "$demo/timestamp.out" || fail "timestamp" "no authority and reason: $(cat "$demo/timestamp.out")"

((failures == 0)) || exit 1
echo "check: ${#cases[@]} workstations judged; refusals carry their reasons"
