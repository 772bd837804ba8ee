/*
 * QuarnPKI.h: the PKI library of Kelvane (libquarnpki.so).
 *
 * Certificates, hashes, ciphers, Base64, key pairs on PKCS#11 tokens, signed data (CMS),
 * RFC 3161 time-stamps and HTTP POST, behind a C interface that every other library and
 * program of the workstation reaches through this one shared object. It alone owns the
 * process's PKCS#11 context, the tokens it has logged in, and the PIN, chooser and viewer
 * hooks. It knows nothing of the program that loads it: the program registers its prompts as
 * hooks and names the PKCS#11 module and the time-stamp trust anchors (see "Program settings").
 *
 * Conventions, for every call below:
 *   - Success is 1 or a non-null handle. 0 is a failure, QUARNPKI_INVALID_ARGUMENT (-1) a
 *     null, freed or wrong kind of handle or argument; a few calls have codes of their own.
 *   - Handles are opaque `void*`; each kind has one free call, which accepts NULL. A handle
 *     passed to a call of another kind is refused, never misused.
 *   - Every buffer the library hands out (`unsigned char** out`, `char** text`) is allocated
 *     with QuarnPKICryptoAllocMemory and released by the caller with
 *     QuarnPKICryptoFreeMemory. Texts are zero-terminated UTF-8; byte buffers carry one
 *     extra zero byte after their length, so they may be read as text too.
 *   - No C++ exception crosses this interface.
 *   - After a failure QuarnPKIGetLastError gives the reason as text for the caller's log.
 *     It never contains a PIN.
 *
 * Tokens: the PKCS#11 module is p11-kit-proxy.so unless QuarnPKISetPkcs11Module names another.
 * It is loaded on first use; SOFTHSM2_CONF and the other variables must be set before that.
 * Tokens are matched by label. Each token is logged in once, through the PIN prompt, when a
 * private-key operation first needs it, and stays logged in until it is removed or the
 * process ends. A wrong PIN is never retried automatically, and a PIN that a token refused is
 * never sent to that token (label and serial number) again in the process: the message hook
 * is told which token refused it and what the token says of the tries left.
 *
 * Thread safety: every call may be made from any thread; token operations are serialised
 * inside the library. One handle must not be used by two threads at once.
 */
#ifndef KELVANE_QUARNPKI_H
#define KELVANE_QUARNPKI_H

#if defined(_WIN32)
#if defined(QUARNPKI_BUILD)
#define QUARNPKI_API __declspec(dllexport)
#else
#define QUARNPKI_API __declspec(dllimport)
#endif
#else
#define QUARNPKI_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------------------ */

#define QUARNPKI_OK 1
#define QUARNPKI_FAILED 0
#define QUARNPKI_INVALID_ARGUMENT (-1)
/* The token refused the PIN. The library never retries: each attempt costs a try. */
#define QUARNPKI_PIN_INCORRECT (-2)
/* The token is locked after too many wrong PINs. */
#define QUARNPKI_PIN_LOCKED (-3)
/* The token that holds the key is not present (pulled out, or never inserted). */
#define QUARNPKI_TOKEN_ABSENT (-4)
/* The token holds the certificate (and maybe its public key) but not its private key; a
 * token that hides its private keys until login shows it only after the PIN. */
#define QUARNPKI_NO_PRIVATE_KEY (-5)
/* Several certificates match and the chooser may not pick one; the error text says which. */
#define QUARNPKI_CERT_AMBIGUOUS (-6)
/* The operator cancelled a PIN prompt or the certificate chooser. */
#define QUARNPKI_CANCELLED (-18)

/* ---- Numeric identifiers ------------------------------------------------------------ */

#define QUARNPKI_HASH_SM3 4096
#define QUARNPKI_HASH_SHA256 8192

#define QUARNPKI_CIPHER_SM4_CBC 0x2800000
#define QUARNPKI_PADDING_NONE 1
#define QUARNPKI_PADDING_PKCS7 2

/* Certificate string attributes (UTF-8). */
#define QUARNPKI_CERT_SUBJECT 1 /* subject distinguished name, one line */
#define QUARNPKI_CERT_ISSUER 2 /* issuer distinguished name, one line */
#define QUARNPKI_CERT_SERIAL 3 /* serial number, upper-case hex */
#define QUARNPKI_CERT_NOT_BEFORE 5 /* YYYYMMDDhhmmssZ */
#define QUARNPKI_CERT_NOT_AFTER 6 /* YYYYMMDDhhmmssZ */
#define QUARNPKI_CERT_COMMON_NAME 16 /* subject commonName */
#define QUARNPKI_CERT_ORGANIZATION 18 /* subject organizationName */
#define QUARNPKI_CERT_SHA256_FINGERPRINT 20 /* 64 upper-case hex digits of the DER's SHA-256 */
#define QUARNPKI_CERT_TOKEN_LABEL 60 /* label of the token that holds its key pair */
#define QUARNPKI_CERT_TOKEN_OBJECT_LABEL 61 /* label of the certificate object on its token */

/* Certificate integer attributes. */
#define QUARNPKI_CERT_KEY_TYPE 4 /* 1 RSA, 4 EC (SM2 included), -1 unknown */
#define QUARNPKI_CERT_KEY_CURVE 43 /* 7 SM2, 1 P-256, 2 P-384, 3 P-521, 0 other, -1 not EC */
#define QUARNPKI_CERT_KEY_BITS 44 /* size of the key in bits */
#define QUARNPKI_CERT_KEY_USAGE                                                                              \
    45 /* keyUsage bits (digitalSignature 0x80, keyEncipherment 0x20,                                        \
          keyAgreement 0x08, ...), -1 when the extension is absent */

#define QUARNPKI_KEY_TYPE_RSA 1
#define QUARNPKI_KEY_TYPE_EC 4
#define QUARNPKI_CURVE_P256 1
#define QUARNPKI_CURVE_SM2 7

/* Public key forms. */
#define QUARNPKI_PUBLIC_KEY_SPKI_DER 7

/* Device types (QuarnPKICryptoGetType). */
#define QUARNPKI_DEVICE_PSEUDO 1 /* the software device */
#define QUARNPKI_DEVICE_TOKEN 2 /* a PKCS#11 token */
#define QUARNPKI_DEVICE_SOFTWARE_KEY 3 /* the device of a software key pair */

/* Signed-data integer attributes and signature algorithms. */
#define QUARNPKI_SIGNED_ATTACHED 2 /* 1: the content is carried inside, 0: detached */
#define QUARNPKI_SIGNED_ALGORITHM 3 /* one of the algorithms below */
#define QUARNPKI_ALG_ECDSA_SHA256 0
#define QUARNPKI_ALG_SHA256_RSA 2
#define QUARNPKI_ALG_SM2_SM3 25

/* ---- Memory and errors ---------------------------------------------------------------- */

/* Zeroed memory of `size` bytes (0 is allowed); NULL when size is negative or memory is out.
 * Released with QuarnPKICryptoFreeMemory, which wipes it first: decrypted secrets pass
 * through these buffers. */
QUARNPKI_API void* QuarnPKICryptoAllocMemory(int size);
/* Releases memory from QuarnPKICryptoAllocMemory or from any output of this library. NULL is
 * ignored. */
QUARNPKI_API void QuarnPKICryptoFreeMemory(void* p);

/* The reason of the last failure on the calling thread, "" when there is none. The text
 * stays valid until the next call into the library on that thread. */
QUARNPKI_API const char* QuarnPKIGetLastError(void);

/* ---- Devices ---------------------------------------------------------------------------- */

/* The software device, for hashes and ciphers. Free with QuarnPKICryptoFreeDevice. */
QUARNPKI_API void* QuarnPKICryptoGetPseudoDevice(void);
QUARNPKI_API void QuarnPKICryptoFreeDevice(void* device);
/* The device type (QUARNPKI_DEVICE_...), or QUARNPKI_INVALID_ARGUMENT. */
QUARNPKI_API int QuarnPKICryptoGetType(void* device);
/* The serial number of the device (the token's serial number; "pseudo" for the software
 * device). */
QUARNPKI_API int QuarnPKICryptoGetSerialNumber(void* device, char** serial);
/* The token's label ("" for the software device). */
QUARNPKI_API int QuarnPKICryptoGetDeviceLabel(void* device, char** label);
/* Finds a device by type and serial number: a present token (type 2), or the software device
 * (type 1). `flags` 1: the token must be present now (the only value the workstation uses;
 * other values behave the same). Writes a new device handle and returns 1, or 0 when there is
 * none. The device of a software key pair (type 3) cannot be found again: it holds no list of
 * keys, and a software key is attached to its certificate with QuarnPKICertSetCertKeyPair. */
QUARNPKI_API int QuarnPKICryptoFindDevice(int type, const char* serial, int flags, void** device);

/* The labels of the tokens present now, each followed by a line break, in slot order, and their
 * number in `count`. Loads the PKCS#11 module on first use; no session is logged in and no PIN
 * asked. 1, or 0 when the module cannot be loaded (the reason names the module and why) or
 * cannot list its tokens. */
QUARNPKI_API int QuarnPKICryptoListTokens(char** labels, int* count);

/* ---- Hash --------------------------------------------------------------------------------- */

/* A hash on the device: QUARNPKI_HASH_SHA256 (8192) or QUARNPKI_HASH_SM3 (4096). The hash
 * does not keep the device: the device may be freed right after. */
QUARNPKI_API void* QuarnPKICryptoNewHash(void* device, int algorithm);
QUARNPKI_API int QuarnPKICryptoHashUpdate(void* hash, const unsigned char* data, int length);
/* The digest (32 bytes for both algorithms). The hash cannot be updated afterwards. */
QUARNPKI_API int QuarnPKICryptoHashFinal(void* hash, unsigned char** digest, int* length);
QUARNPKI_API void QuarnPKICryptoFreeHash(void* hash);

/* ---- Cipher --------------------------------------------------------------------------- */

/* A cipher handle for QUARNPKI_CIPHER_SM4_CBC (0x2800000) with a 16-byte key and a 16-byte
 * IV; `device` is 0. A new handle decrypts, with PKCS#7 padding. */
QUARNPKI_API void* QuarnPKICryptoGetCipherHandle(
    void* device, int algorithm, const unsigned char* key, int keyLength, const unsigned char* iv);
/* QUARNPKI_PADDING_PKCS7 (2) or QUARNPKI_PADDING_NONE (1). Only before the first update. */
QUARNPKI_API int QuarnPKICryptoCipherSetPadding(void* cipher, int mode);
/* 1 encrypts, 0 decrypts. Only before the first update. */
QUARNPKI_API int QuarnPKICryptoCipherSetEncrypt(void* cipher, int encrypt);
/* Processes `in`; the output (possibly of length 0) is library memory. */
QUARNPKI_API int QuarnPKICryptoCipherUpdate(
    void* cipher, const unsigned char* in, int inLength, unsigned char** out, int* outLength);
/* Finishes: the last block, its padding checked when decrypting. A bad padding or a length
 * that is not a whole number of blocks fails. */
QUARNPKI_API int QuarnPKICryptoCipherFinal(void* cipher, unsigned char** out, int* outLength);
QUARNPKI_API void QuarnPKICryptoFreeCipher(void* cipher);

/* ---- Base64 (standard alphabet, with padding) ---------------------------------------- */

/* `encode` 1 encodes, 0 decodes. `flags` 1: encode into one line; 0: lines of 64 characters
 * ended by "\n". Decoding skips blanks and line breaks and refuses any other character. */
QUARNPKI_API void* QuarnPKICryptoNewBase64(int encode, int flags);
QUARNPKI_API int QuarnPKICryptoBase64Update(
    void* base64, const unsigned char* in, int inLength, unsigned char** out, int* outLength);
/* The rest of the output. Decoding fails on a trailing group that is not a valid end. */
QUARNPKI_API int QuarnPKICryptoBase64Final(void* base64, unsigned char** out, int* outLength);
QUARNPKI_API void QuarnPKICryptoFreeBase64(void* base64);

/* ---- Certificates ------------------------------------------------------------------------ */

/* A certificate from DER, from PEM, or from Base64 text of DER (blanks and line breaks
 * allowed), as the rules document carries them. NULL when the bytes are none of these. */
QUARNPKI_API void* QuarnPKICertNewCert(const unsigned char* data, int length);
/* An independent copy, with the key pair attached to the original if any. */
QUARNPKI_API void* QuarnPKICertDupCert(void* cert);
QUARNPKI_API void QuarnPKICertFreeCert(void* cert);
/* A string attribute (QUARNPKI_CERT_...). 0 when the certificate has no such value (an empty
 * commonName included). `length` (bytes, without the terminator) may be NULL. */
QUARNPKI_API int QuarnPKICertGetCertStringAttribute(void* cert, int attribute, char** value, int* length);
/* An integer attribute: 4 key type, 43 curve, 44 key bits, 45 key usage. */
QUARNPKI_API int QuarnPKICertGetCertIntegerAttribute(void* cert, int attribute, int* value);
/* The certificate's public key; form 7 (DER SubjectPublicKeyInfo) is the only form. */
QUARNPKI_API void* QuarnPKICertGetCertPublicKey(void* cert, int form);
/* The certificate's DER encoding. */
QUARNPKI_API int QuarnPKICertGetCertEncoded(void* cert, unsigned char** der, int* length);

/* The key pair whose private key matches the certificate, on any present token, or the key
 * pair attached with QuarnPKICertSetCertKeyPair while its token is present (only that token's
 * presence is checked, not its objects). Finding it matches public objects (public
 * keys and certificates) and needs no PIN; the token is logged in only when a private-key
 * operation first needs it. `flags` and `usage` are the workstation's flag words
 * (0x10000000, 2 for its operator; 0x40000000, 0x10000001 for openers): every value searches
 * every present token. `device`, when not NULL, limits the search to that device. NULL when
 * no present token holds the key: a certificate without its private key on the token is no
 * key pair. A token that hides its private keys until login cannot tell before the PIN; its
 * key pair is then refused once the token is logged in, and a private-key operation before
 * that fails with QUARNPKI_NO_PRIVATE_KEY. */
QUARNPKI_API void* QuarnPKICertGetCertKeyPair(
    void* cert, unsigned int flags, unsigned int usage, void* device);
/* What the present tokens hold of the certificate, found through public objects without a PIN, to
 * tell an opener ahead of an opening what a token lacks. *found is the best of:
 *   QUARNPKI_CERT_WITH_KEY (3) a token holds its key pair (a token that hides its private keys
 *     until login shows only the public half: the first private-key operation tells);
 *   QUARNPKI_CERT_WITHOUT_KEY (2) a token holds the certificate or its public key but shows that
 *     the private key is missing;
 *   QUARNPKI_CERT_SUBJECT_ONLY (1) a token holds another certificate under the same subject (one
 *     renewed to another key);
 *   QUARNPKI_CERT_NOT_ON_TOKEN (0) no present token holds any of these.
 * From 1 up, `tokenLabel` (may be NULL) receives that token's label and `pinState` (may be NULL)
 * what the token's flags say of its PIN now: QUARNPKI_PIN_STATE_COUNT_LOW (1, a wrong PIN was
 * entered lately), QUARNPKI_PIN_STATE_FINAL_TRY (2, the next wrong PIN locks it),
 * QUARNPKI_PIN_STATE_LOCKED (4), or 0 when it says none of these. 1, or 0 when the module cannot be
 * loaded or cannot list its tokens. */
#define QUARNPKI_CERT_NOT_ON_TOKEN 0
#define QUARNPKI_CERT_SUBJECT_ONLY 1
#define QUARNPKI_CERT_WITHOUT_KEY 2
#define QUARNPKI_CERT_WITH_KEY 3
#define QUARNPKI_PIN_STATE_COUNT_LOW 1
#define QUARNPKI_PIN_STATE_FINAL_TRY 2
#define QUARNPKI_PIN_STATE_LOCKED 4
QUARNPKI_API int QuarnPKICertFindOnTokens(void* cert, int* found, char** tokenLabel, int* pinState);
/* Attaches a key pair to the certificate (a copy of the handle: the caller still frees its
 * own). Signed data made with the certificate then uses that key. 0 when the key pair's
 * public key is not the certificate's. */
QUARNPKI_API int QuarnPKICertSetCertKeyPair(void* cert, void* keypair);

/* ---- Key pairs ------------------------------------------------------------------------- */

/* The device that holds the key pair (a new device handle). */
QUARNPKI_API void* QuarnPKICryptoGetDeviceHandleFromKeypair(void* keypair);
/* The number of key pairs on a token device: its public keys, and certificates without a
 * public-key object, less those whose private key is known to be missing (see
 * QuarnPKICertGetCertKeyPair). Needs no PIN. Other devices have none. */
QUARNPKI_API int QuarnPKICryptoGetKeypairCount(void* device, int* count);
/* Key pair `index` (0 .. count - 1) of the device. */
QUARNPKI_API void* QuarnPKICryptoGetKeypair(void* device, int index);
QUARNPKI_API void* QuarnPKICryptoGetPublicKeyFromKeypair(void* keypair);
/* Non-zero when both public keys are the same key; 0 otherwise (also for bad handles). */
QUARNPKI_API int QuarnPKICryptoPublicKeyEqual(void* publicKey1, void* publicKey2);
/* The public key as DER SubjectPublicKeyInfo. */
QUARNPKI_API int QuarnPKICryptoGetPublicKeyEncoded(void* publicKey, unsigned char** der, int* length);
QUARNPKI_API void QuarnPKICryptoFreeKeypair(void* keypair);
QUARNPKI_API void QuarnPKICryptoFreePublicKey(void* publicKey);

/* A key pair from a private key in PEM or DER (PKCS#8, or the traditional RSA/EC forms),
 * unencrypted. It needs no token and no PIN. */
QUARNPKI_API void* QuarnPKICryptoNewSoftwareKeypair(const unsigned char* key, int length);
/* RSA-OAEP decryption (SHA-256, MGF1 with SHA-256, no label) with the key pair's private key.
 * On a token the RSA operation runs on the token and the padding is checked in software.
 * May prompt for the token's PIN. */
QUARNPKI_API int QuarnPKICryptoKeypairDecrypt(
    void* keypair, const unsigned char* in, int inLength, unsigned char** out, int* outLength);
/* ECDH on P-256 with the key pair's private key and a peer public key (DER
 * SubjectPublicKeyInfo): the raw shared X coordinate, 32 bytes. May prompt for the PIN. */
QUARNPKI_API int QuarnPKICryptoKeypairDeriveSecret(void* keypair, const unsigned char* peerPublicKeyDer,
    int peerLength, unsigned char** out, int* outLength);

/* ---- Certificate choice and display ------------------------------------------------- */

/* Lets the operator choose a certificate. `filterJson` (UTF-8) is an object with the members
 * "UIFlag", "InValidity" (true: valid now), "Type" ("signature": digitalSignature or
 * nonRepudiation in keyUsage; "encryption": keyEncipherment or keyAgreement; "any"),
 * "Method" ("device": certificates on present tokens with a matching key) and "Value"
 * ("any", or a label or SHA-256 fingerprint that the certificate must match); unknown members
 * are ignored. `flags` is 0. On 1 `cert` receives a new certificate handle with its key pair
 * attached. QUARNPKI_CANCELLED (-18) when the operator cancels, 0 when no certificate
 * matches or the chooser finds none that fits, QUARNPKI_CERT_AMBIGUOUS (-6) when the chooser
 * finds several and may not pick one (the error text says which). */
QUARNPKI_API int QuarnPKISelectCert(const char* filterJson, int flags, void** cert);

/* Shows the certificate: the viewer hook when one is registered, else its fields are
 * printed on standard output. `owner` is the owner window or 0. */
QUARNPKI_API int QuarnPKIUIDisplayCert(void* owner, void* cert);

/* ---- Hooks of the program -------------------------------------------------------------- */

/* Asked for a token's PIN. `attemptsLeft` is 1 when the token says the next wrong PIN locks
 * it, -1 when unknown. Write the zero-terminated PIN into `pin` (room for `pinCapacity`
 * bytes) and return 1 when a person gave it, 2 when it comes from a source that gives the
 * same PIN at every ask (a file, a variable); return 0 to cancel, or a negative value when the
 * source cannot be used (the login fails with the reason given by QuarnPKISetHookError, and
 * the message hook is told each distinct reason once). The library wipes the buffer after use. */
typedef int (*QuarnPKIPinPromptHook)(
    void* userData, const char* tokenLabel, int attemptsLeft, char* pin, int pinCapacity);
/* Asked to choose one of `count` certificates (handles owned by the library for the duration
 * of the call). Write the chosen index and return 1, or return 0 to cancel. A chooser that
 * may not choose returns QUARNPKI_CERT_AMBIGUOUS (several fit) or another negative value
 * (none fits, QuarnPKISelectCert fails with 0), with the reason given by
 * QuarnPKISetHookError. */
typedef int (*QuarnPKICertChooserHook)(void* userData, void* const* certs, int count, int* chosen);
/* Asked to show a certificate; returns 1 when it was shown. */
typedef int (*QuarnPKICertViewerHook)(void* userData, void* owner, void* cert);
/* Told something the operator must know (UTF-8, one or more lines): a token that refused a
 * PIN, and whether one more wrong PIN locks it. Never contains a PIN. */
typedef void (*QuarnPKIMessageHook)(void* userData, const char* message);

/* Register a hook; NULL restores the default. Without a PIN prompt there is no PIN: a login
 * is cancelled (QUARNPKI_CANCELLED). Without a chooser the choice is cancelled. Without a
 * viewer the certificate's fields are printed on standard output; without a message hook the
 * message goes to standard error.
 *
 * A PIN that a token refused is not sent to it again. One from a source that repeats itself
 * (the prompt returned 2) leaves the token out, with the reason in QuarnPKIGetLastError. When
 * a person (the prompt returned 1) gives a PIN the token already refused, the message hook is
 * told and the PIN is asked again (three times at most). */
QUARNPKI_API void QuarnPKISetPinPromptHook(QuarnPKIPinPromptHook hook, void* userData);
QUARNPKI_API void QuarnPKISetCertChooserHook(QuarnPKICertChooserHook hook, void* userData);
QUARNPKI_API void QuarnPKISetCertViewerHook(QuarnPKICertViewerHook hook, void* userData);
QUARNPKI_API void QuarnPKISetMessageHook(QuarnPKIMessageHook hook, void* userData);

/* Called by a PIN prompt or chooser hook before it returns a refusal, on the thread that runs
 * the hook: the reason the refused call reports in QuarnPKIGetLastError. */
QUARNPKI_API void QuarnPKISetHookError(const char* reason);
/* Called by a PIN prompt hook before it returns a PIN, on the thread that runs it: where the
 * PIN came from, as messages of a refused PIN name it ("the PIN file /path"). The default is
 * "the PIN prompt". */
QUARNPKI_API void QuarnPKISetPinSource(const char* name);

/* ---- Program settings ------------------------------------------------------------------- */

/* The PKCS#11 module to load (a file name or path); NULL or "" restores p11-kit-proxy.so.
 * Takes effect only before the first token operation: the module is loaded once. */
QUARNPKI_API void QuarnPKISetPkcs11Module(const char* path);
/* The PEM files whose certificates the time-stamp verification trusts, beside the system
 * store; each replaces the earlier list. The files are read at each verification: a missing
 * one adds nothing. 1, or QUARNPKI_INVALID_ARGUMENT for a negative count or a NULL list. */
QUARNPKI_API int QuarnPKISetTimeStampTrustAnchors(const char* const* pemFiles, int count);

/* ---- Signed data (CMS SignedData, DER) ----------------------------------------------- */

/* `mode` 1: a signature is made. */
QUARNPKI_API void* QuarnPKIMsgNewSignedData(int mode);
/* The signer's certificate; its key pair is the one attached to it, else the one found on a
 * present token. `flags` is 0. */
QUARNPKI_API int QuarnPKIMsgSignedDataSetSignCert(void* signedData, void* cert, int flags);
/* Attribute 2 (QUARNPKI_SIGNED_ATTACHED): 1 carries the content inside the message.
 * Attribute 3 (QUARNPKI_SIGNED_ALGORITHM): 2, 25 or 0; it must fit the key.
 * `reserved` is 0. */
QUARNPKI_API int QuarnPKIMsgSignedDataSetIntegerAttribute(
    void* signedData, int attribute, int reserved, int value);
/* The three pieces joined in order are the DER encoding of the message. Each yields a buffer,
 * possibly of length 0. The final call signs (and may prompt for the token's PIN); it fails
 * with QUARNPKI_NO_PRIVATE_KEY when the signer's token holds the certificate without its key. */
QUARNPKI_API int QuarnPKIMsgSignedDataSignInit(void* signedData, unsigned char** out, int* outLength);
QUARNPKI_API int QuarnPKIMsgSignedDataSignUpdate(
    void* signedData, const unsigned char* in, int inLength, unsigned char** out, int* outLength);
QUARNPKI_API int QuarnPKIMsgSignedDataSignFinal(void* signedData, unsigned char** out, int* outLength);
QUARNPKI_API void QuarnPKIMsgFreeSignedData(void* signedData);

/* ---- HTTP --------------------------------------------------------------------------------- */

/* POSTs `body` to `url` (http or https only) with the header lines given ("Name:value"). The
 * proxy is the environment's (http_proxy, https_proxy); the hosts in no_proxy and loopback
 * always go direct. On 1, `status` holds the HTTP status (whatever it is), `responseHeaders`
 * (may be NULL) the response's header lines, and `response` the body. The body is capped at
 * 16 MiB: a longer one fails. A connection that cannot be made, or an exchange that outlasts
 * the time-outs, fails. */
QUARNPKI_API int QuarnPKICryptoHttpPost(const char* url, const char** headers, int headerCount,
    const unsigned char* body, int bodyLength, int* status, char** responseHeaders, unsigned char** response,
    int* responseLength);
/* Time-outs of every later exchange in the process, in milliseconds (defaults 10000 to
 * connect, 30000 for the whole exchange). A value of 0 or less keeps the current one. */
QUARNPKI_API void QuarnPKICryptoSetHttpTimeouts(int connectMs, int totalMs);

/* ---- Time-stamps (RFC 3161) ------------------------------------------------------------ */

QUARNPKI_API void* QuarnPKIMsgNewTimeStamp(void);
QUARNPKI_API int QuarnPKIMsgTimeStampSetTSA(void* timeStamp, const char* url);
/* The digest algorithm of the imprint: 8192 (SHA-256) or 4096 (SM3). */
QUARNPKI_API int QuarnPKIMsgTimeStampSetHashAlgorithm(void* timeStamp, int algorithm);
/* The digest; its length must fit the algorithm. */
QUARNPKI_API int QuarnPKIMsgTimeStampSetMessageImprint(
    void* timeStamp, const unsigned char* digest, int length);
/* Sends a request with a fresh nonce that asks for the authority's certificate, and reads the
 * answer. On 1, `status` is the response's PKIStatus. A granted response (0 or 1) is accepted
 * only when it is verified: imprint and nonce as asked, a valid signature, and an authority
 * certificate with the timeStamping usage that chains to the trust anchors (the files named
 * with QuarnPKISetTimeStampTrustAnchors, the system store); otherwise the call fails with the
 * reason in QuarnPKIGetLastError. A refused response (2 and above) returns 1 with its status
 * and yields neither time nor token. */
QUARNPKI_API int QuarnPKIMsgTimeStampGetResponse(void* timeStamp, int* status);
/* The verified time as YYYYMMDDhhmmssZ (UTC; a fraction of a second is dropped). */
QUARNPKI_API int QuarnPKIMsgTimeStampGetTime(void* timeStamp, char** time);
/* The verified time-stamp token (DER ContentInfo). */
QUARNPKI_API int QuarnPKIMsgTimeStampGetTimeStampToken(void* timeStamp, unsigned char** token, int* length);
QUARNPKI_API void QuarnPKIMsgFreeTimeStamp(void* timeStamp);

#ifdef __cplusplus
}
#endif

#endif
