// What the PKI library is told by the program: it reads no settings and no variables of ours.
#pragma once

namespace kelvane {

// Names the PKCS#11 module (KELVANE_PKCS11_MODULE, else p11-kit-proxy.so) and the time-stamp
// trust anchors (the file named by KELVANE_TSA_CA, then tsa-ca.pem in the settings folder) to
// the PKI library. Called once at the start, before the first token or time-stamp operation.
void SupplyPkiSettings();

} // namespace kelvane
