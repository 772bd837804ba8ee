#!/usr/bin/env bash
# Seals and opens the same file with age, gpg and Kelvane in one run, in the same tmpfs folder,
# and prints a table of MiB/s (input bytes over wall time, whole process for age, gpg and
# kelvane-seal; the library call for Kelvane's opening).
#
#   bench/peers.sh [BIN]        BIN: the build's bin folder (default build/bin)
#   GIB=N bench/peers.sh        the file's size in GiB (default 1)
#
# Installs nothing: it needs the Debian packages age and gnupg, and a build of kelvane-seal,
# kelvane-tender and bidx_bench. Run it under the build lock so that no build competes with it:
#   flock /tmp/kelvane-build.lock bench/peers.sh
#
# Each tool works as it would for a bidder and an opener:
#   age       X25519 recipient (age-keygen), age -d with its identity; no signature
#   gpg       a throwaway key in a temporary GNUPGHOME: ECDSA P-256 signing key with an ECDH P-256
#             encryption subkey, AES-256, SHA-256, no compression; sealing signs and encrypts,
#             opening decrypts and checks the signature
#   Kelvane   kelvane-seal on a throwaway tender (kelvane-tender: 3 openers of whom 2 must take
#             part): archive, AES-256-GCM, the verification code (SM3) and the signature (SHA-256,
#             RSA bidder key); the opening is the library's decryption (bidx_bench --open-peer) of
#             the same file sealed to three software openers, with two of them
# Every timed writer starts right after a file of the input's size was written and removed in the
# same folder (bench/README.md explains why: the memory of this virtual machine), and a plain copy
# of the file is timed the same way as the memory's own cost.
set -euo pipefail

bin=${1:-build/bin}
gib=${GIB:-1}
for tool in age age-keygen gpg; do
  if ! command -v "$tool" > /dev/null; then
    echo "peers.sh needs $tool (Debian packages: age, gnupg)" >&2
    exit 2
  fi
done
for tool in kelvane-seal kelvane-tender bidx_bench; do
  if [[ ! -x $bin/$tool ]]; then
    echo "peers.sh needs $bin/$tool (build it first)" >&2
    exit 2
  fi
done
bin=$(cd "$bin" && pwd)

work=$(mktemp -d /dev/shm/kelvane-peers-XXXXXX)
cleanup() {
  gpgconf --homedir "$work/gnupg" --kill all 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
input=$work/input.bin
head -c $((gib << 30)) /dev/urandom > "$input"
size=$(stat -c %s "$input")

# Writes and removes a file of the input's size, so that the next writer finds memory that was
# freed a moment ago, as every timed writer does here.
prime() {
  cat "$input" > "$work/primer"
  rm -f "$work/primer"
}

# timed OUTPUT COMMAND...: MiB/s of the input's size over the command's wall time; OUTPUT (a file
# or folder the command writes) is removed afterwards unless it is "-" (kept for the opening).
timed() {
  local output=$1 start end
  shift
  prime
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  [[ $output == - ]] || rm -rf "$output"
  awk -v b="$size" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", b / 1048576 / (e - s) }'
}

# Keys and the tender, untimed.
age-keygen -o "$work/age.key" 2> /dev/null
recipient=$(age-keygen -y "$work/age.key")
export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
gpg --batch --quiet --passphrase '' --quick-gen-key 'bench <bench@example.invalid>' nistp256 sign never 2> /dev/null
fingerprint=$(gpg --batch --with-colons --list-keys bench 2> /dev/null | awk -F: '$1 == "fpr" { print $10; exit }')
gpg --batch --quiet --passphrase '' --quick-add-key "$fingerprint" nistp256 encr never 2> /dev/null
gpg --batch --quiet --check-trustdb 2> /dev/null
gpgopts=(--batch --quiet --yes --trust-model always --compress-algo none --cipher-algo AES256 --digest-algo SHA256)
(cd "$work" && "$bin/kelvane-tender" create tender --project P1 --packages L1 --openers 3 --threshold 2 \
  --bids 1 --opening-in 60 > /dev/null)
bidder=$(find "$work/tender/bidders" -mindepth 1 -maxdepth 1 -type d | head -n 1)

copy=$(timed "$work/copy.bin" cp "$input" "$work/copy.bin")

# The tools' own messages (gpg's trust notes, kelvane-seal's path and code) are not the table's.
gpg_seal() {
  gpg "${gpgopts[@]}" -r "$fingerprint" -u "$fingerprint" --sign --encrypt -o "$work/sealed.gpg" "$input" 2> /dev/null
}
gpg_open() {
  gpg "${gpgopts[@]}" -o "$work/opened.bin" --decrypt "$work/sealed.gpg" 2> /dev/null
}
kelvane_seal() {
  "$bin/kelvane-seal" --rules "$work/tender/rules/P1.xml" --project P1 --package L1 --cert "$bidder/bidder.pem" \
    --key "$bidder/bidder.key" --tender-ca "$work/tender/ca/ca.pem" --output-dir "$work/sealed" --quiet "$input" \
    < /dev/null > /dev/null
}

age_seal=$(timed - age -r "$recipient" -o "$work/sealed.age" "$input")
age_open=$(timed "$work/opened.bin" age -d -i "$work/age.key" -o "$work/opened.bin" "$work/sealed.age")
rm -f "$work/sealed.age"
gpg_seal=$(timed - gpg_seal)
gpg_open=$(timed "$work/opened.bin" gpg_open)
rm -f "$work/sealed.gpg"
mkdir "$work/sealed"
kelvane_seal=$(timed "$work/sealed" kelvane_seal)
kelvane_open=$("$bin/bidx_bench" --open-peer "$input" | awk '/^open:/ { print $2 }')

echo "input: $gib GiB of random bytes in $work (tmpfs)"
printf '%-34s %12s %12s\n' "" "seal MiB/s" "open MiB/s"
printf '%-34s %12s %12s\n' "plain copy (cp, the memory's cost)" "$copy" "$copy"
printf '%-34s %12s %12s\n' "age $(age --version)" "$age_seal" "$age_open"
printf '%-34s %12s %12s\n' "gpg $(gpg --version | awk 'NR == 1 { print $3 }')" "$gpg_seal" "$gpg_open"
printf '%-34s %12s %12s\n' "Kelvane (kelvane-seal, library)" "$kelvane_seal" "$kelvane_open"
