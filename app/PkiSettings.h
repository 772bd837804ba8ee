// What the PKI library is told by the program: it reads no settings and no variables of ours.
#pragma once

#include <string>
#include <vector>

namespace kelvane {

// Names the PKCS#11 module (KELVANE_PKCS11_MODULE, else p11-kit-proxy.so) and the time-stamp
// trust anchors (the file named by KELVANE_TSA_CA, then tsa-ca.pem in the settings folder) to
// the PKI library. Called once at the start, before the first token or time-stamp operation.
void SupplyPkiSettings();

// The PKCS#11 module the PKI library is told to load and where that comes from.
std::string Pkcs11ModuleName();

// What the PKCS#11 module shows: whether it loaded (else the loader's reason) and the labels of
// the tokens present. Asks no PIN and logs nothing in.
struct CTokenView
{
    bool loaded = false;
    std::string reason;
    std::vector<std::string> labels;
};
CTokenView ViewTokens();

// One line for the operator: "the PKCS#11 module M (from ...) sees 2 tokens: a, b", or why it
// did not load and what to check.
std::string DescribeTokens(const CTokenView& view);

} // namespace kelvane
