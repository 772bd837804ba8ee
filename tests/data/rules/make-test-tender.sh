#!/usr/bin/env bash
# Writes the tender folder tender/ used by the tests that need a fixed one (the C test of
# libquelvar.so): tender.json and rules/KV-TEST-001.xml with two openers whose certificates are
# fresh self-signed P-256 certificates, as Base64 of their DER on one line. Run it again to
# replace them; the tests read whatever it wrote.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cert() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" \
    -subj "/CN=$1/O=Kelvane test openers" -days 36500 -outform DER -out "$work/cert.der" 2>/dev/null
  base64 -w0 "$work/cert.der"
}

mkdir -p tender/rules
cat > tender/tender.json <<JSON
{
  "project": "KV-TEST-001",
  "packages": ["01"],
  "projectName": "Harbour dredging",
  "organisation": "Port authority",
  "openingTime": "2026-12-08T09:30:00+08:00",
  "releaseTime": "2020-01-01T00:00:00Z",
  "m": 2,
  "n": 1
}
JSON
cat > tender/rules/KV-TEST-001.xml <<XML
<?xml version="1.0" encoding="UTF-8"?>
<bidenv>
  <source>
    <projectname>Harbour dredging</projectname>
    <opentime>2026-12-08 09:30:00</opentime>
    <organization>Port authority</organization>
    <encalog>SM4</encalog>
    <hashalog>SM3</hashalog>
    <rules>
      <rule>
        <m>2</m>
        <n>1</n>
        <openers>
          <opener>
            <cert>$(cert "Opener One")</cert>
            <participate>YES</participate>
          </opener>
          <opener>
            <participate>NO</participate>
            <cert>$(cert "Opener Two")</cert>
          </opener>
        </openers>
      </rule>
    </rules>
  </source>
</bidenv>
XML
