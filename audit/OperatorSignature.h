// The operator's signing certificate and the signatures made with it.
//
// Every operation on a tender's bid files is done in the name of an operator whose signing
// certificate and private key sit on a token. The certificate is held once for the whole
// process; CheckOperatorCert makes sure its private key is reachable before an operation starts,
// and SignOperatorData signs operation records with it.
//
// The messages of this module have no owner window: they go to the prompt registered with
// SetAuditPrompt (the window registers its own, kelvane-cli the terminal's). Without one they are
// dropped.
#pragma once

#include "app/IPrompt.h"

#include <chrono>
#include <string>

// Registers the prompt for this module's messages; null drops them. The prompt must stay valid
// until it is replaced.
void SetAuditPrompt(IPrompt* prompt);

// 1 when an operator certificate whose private key is on a present token is held, else 0 after
// a message. Waits `wait` first (the window calls it right after a command, while a token may
// still be settling); then makes sure the held certificate's key is bound (KeepPrivateKey), and
// when that fails lets the operator choose a certificate through the PKI library's chooser.
int CheckOperatorCert(std::chrono::milliseconds wait = std::chrono::milliseconds(500));

// An independent copy of the held operator certificate (free it with QuarnPKICertFreeCert), or
// null when none was chosen yet. Threads that sign take a copy, so that a new choice on another
// thread never frees a certificate in use.
void* CopyOperatorCert();

// Replaces the held operator certificate by a copy of cert (null clears it). For front ends that
// name the operator's certificate themselves.
void SetOperatorCert(void* cert);

// 1 when the certificate's private key was found on a present token and attached to it, else 0.
int BindPrivateKey(void* cert);

// 1 when the certificate's private key is reachable for a signature, else 0 (no message): the
// key pair bound to it while that key pair's token is present (only the token's presence is
// checked, so a run binds its operator's key once), else the key pair found again on the present
// tokens, which is then bound to it.
int KeepPrivateKey(void* cert);

// The key pair of device whose public key is the certificate's (free it with
// QuarnPKICryptoFreeKeypair), or null.
void* FindKeypairForCert(void* device, void* cert);

// Chooses the signature algorithm for the certificate's key: 2 for RSA, 25 for SM2, otherwise 0
// (ECDSA with SHA-256). Returns 1 when chosen, 0 when the key type cannot be read, -1 without a
// certificate.
int GetSignAlgorithm(void* cert, int* algorithm);

// Signs data with cert into a Base64 text of CMS SignedData; attached carries the data inside the
// signature. Returns 1, or another value on failure (after a message when the private key is
// missing).
int SignOperatorData(bool attached, const std::string& data, void* cert, std::string& signature);

// Base64 of length bytes, in one line, into a zero-terminated buffer of library memory (free it
// with QuarnPKICryptoFreeMemory). Returns 1, or another value on failure.
int EncodeBase64(const unsigned char* data, int length, char** text, int* textLength);

// The fixed message texts, for the callers' tests and for the front ends.
inline constexpr wchar_t kOperatorCancelledText[] = L"您取消了操作，请选择操作人的有效的签名证书";
inline constexpr wchar_t kOperatorInsertCertText[] = L"请插入包含操作人的有效签名证书";
inline constexpr wchar_t kOperatorNoPrivateKeyText[]
    = L"操作人的证书找不到私钥，请插入操作人的证书重新操作！";
// Followed by the library's list of the matching certificates and how to name one.
inline constexpr wchar_t kOperatorAmbiguousText[]
    = L"有多张操作人的签名证书可选，请用 KELVANE_OPERATOR_CERT 指定其中一张：";

namespace kelvane::audit {
// Shows one of this module's messages through the registered prompt: no owner, information icon.
int ShowAuditMessage(const std::wstring& text, const std::wstring& caption);
} // namespace kelvane::audit
