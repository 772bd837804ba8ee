// Which opener certificates a bidder may seal to: only those that the tender's certificate
// authority issued, that are valid now and whose key may receive a share. A rules document from a
// spoofed rules server or a doctored file could otherwise name an opener whose key the attacker
// holds, and the bid would open for him alone.
#pragma once

#include "OpenSslPtr.h"

#include <openssl/x509.h>
#include <optional>
#include <string>
#include <vector>

namespace kelvane::seal {

// The tender's trust anchors and where they came from (for messages).
struct CTenderAnchors
{
    X509StorePtr store;
    std::string source;
};

// The first of: the file given on the command line, bidder-ca.pem in the settings folder
// ($XDG_CONFIG_HOME/QUARN/rmw, default ~/.config), the file named by KELVANE_BIDDER_CA, the
// system's certificate store. Only that one source is trusted: a tender that hands out its
// authority must not have its openers vouched for by every public authority as well. Every
// certificate in a tender's file is an anchor, an intermediate authority included. On failure
// (a named file that cannot be read or holds no certificate) error says why.
std::optional<CTenderAnchors> LoadTenderAnchors(const std::string& commandLineFile, std::string& error);

// Why the opener certificate (DER, PEM or Base64 text) cannot receive a share, or empty when it
// can: it does not chain to the anchors, is expired or not yet valid, or carries a key usage that
// excludes its key's use (keyEncipherment for RSA, keyAgreement for EC).
std::string OpenerRefusal(const std::vector<unsigned char>& certificate, const CTenderAnchors& anchors);

// The certificate's subject on one line, UTF-8 kept readable; "?" when it cannot be read.
std::string SubjectLine(const std::vector<unsigned char>& certificate);

} // namespace kelvane::seal
