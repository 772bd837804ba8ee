// Filling an X509_STORE with trust anchors: a file of the workstation's own, or the system's store.
#pragma once

#include <openssl/x509_vfy.h>
#include <string>

namespace kelvane {

// Adds every certificate of the PEM file at path, or the one certificate of a DER file, to store.
// Returns how many were added: 0 when the name is not a regular file, cannot be read or holds no
// certificate. Never blocks on a FIFO.
int AddCertificateFile(X509_STORE* store, const std::string& path);

// Has store trust the system's certificates as X509_STORE_set_default_paths does (the file and the
// folder that SSL_CERT_FILE and SSL_CERT_DIR may name), but reads the system's certificate file,
// about 40 ms for its ~140 certificates, only when a verification looks for an issuer that the
// store does not hold yet; once per store. The folder is looked up by name, as always.
bool AddSystemCertificates(X509_STORE* store);

} // namespace kelvane
