# Sourced by scripts/demo and scripts/screenshots: a demo tender on this machine only (loopback).
#
#   demo_tender_start DIR BIN
#     sets up the tender in DIR/tender with BIN/kelvane-tender (3 openers of whom 2 must take part,
#     4 sealed bids of which 1 is tampered, opening time just passed), starts BIN/kelvane-devserver
#     (rules server, time-stamp authority, log service) on a free port, points the tender's settings
#     at it and sources the tender's env (tokens, PINs, settings). Sets DEMO_TENDER, DEMO_URL,
#     DEMO_PROJECT, DEMO_PACKAGE and DEMO_WORKSPACE.
#   demo_tender_stop
#     stops the development services (also run from the EXIT trap that demo_tender_start sets).

DEMO_PROJECT=P2026-001
DEMO_PACKAGE=L1
demo_server_pid=

demo_tender_stop() {
  if [[ -n $demo_server_pid ]]; then
    kill "$demo_server_pid" 2>/dev/null && wait "$demo_server_pid" 2>/dev/null
    demo_server_pid=
  fi
  return 0
}

demo_tender_start() {
  local dir=$1 bin=$2
  DEMO_TENDER=$dir/tender
  DEMO_WORKSPACE=$DEMO_TENDER/work/$DEMO_PROJECT/$DEMO_PACKAGE
  trap demo_tender_stop EXIT

  echo "== setting up the demo tender in $DEMO_TENDER"
  "$bin/kelvane-tender" create "$DEMO_TENDER" --project "$DEMO_PROJECT" --packages "$DEMO_PACKAGE" \
    --openers 3 --threshold 2 --bids 4 --tampered 1 --opening-in -60

  echo "== starting the development services"
  "$bin/kelvane-devserver" --tender "$DEMO_TENDER" --port-file "$dir/port" > "$dir/devserver.out" 2> "$dir/devserver.log" &
  demo_server_pid=$!
  for _ in $(seq 100); do [[ -s $dir/port ]] && break; sleep 0.1; done
  if [[ ! -s $dir/port ]]; then
    echo "the development server did not start:"
    cat "$dir/devserver.log"
    return 1
  fi
  DEMO_URL=http://127.0.0.1:$(cat "$dir/port")
  "$bin/kelvane-tender" point "$DEMO_TENDER" "$DEMO_URL"
  echo "   $DEMO_URL (rules /rules, time-stamps /tsa, log /log)"

  # shellcheck source=/dev/null
  source "$DEMO_TENDER/env"
}
