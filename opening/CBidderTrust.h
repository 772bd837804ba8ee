// Whether a bidder's signing certificate may sign a bid of this tender. The decryptor proves only
// that the file was signed with the key of the certificate it carries; anyone can make such a
// certificate under any name. A bid counts as the bidder's only when that certificate chains to
// the tender's trust anchors, is valid now and is meant for signatures.
#pragma once

#include <cstddef>
#include <string>

// The file of the bidders' trust anchors: bidder-ca.pem in the settings folder when it exists,
// else the file named by KELVANE_BIDDER_CA; empty when neither is there, and the system store
// decides. A tender that names its own anchors trusts those alone, never also every authority of
// the system store.
std::string BidderAnchorFile();

// True when the certificate (DER) passes; else false with a reason that says what failed, in the
// words of the verification report ("签名证书不受信任：..."). Refused are: bytes that are no
// certificate, a certificate authority's certificate, a key usage without digitalSignature (when
// the certificate states its key usage at all), and a certificate that does not chain to an
// anchor or is outside its validity (or that of a certificate of its chain).
bool IsTrustedBidderCert(const unsigned char* der, size_t length, std::wstring& reason);
