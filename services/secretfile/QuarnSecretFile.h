/*
 * QuarnSecretFile: verifier and decryptor of sealed bid files (.bidx).
 *
 * A sealed bid file carries the bidder's files encrypted under a content key, that key split
 * n-of-m among the tender's openers (each share encrypted to one opener's certificate), the
 * embedded rules file as custom data, and the bidder's signature.
 *
 * Every function returns 0 on success or a failure code of the opening program's decryptor
 * result table (1 out of memory, 2 invalid parameter, ... 35 not enough openers, 59 shares that
 * do not give the sealed key, 64 wrong structure, 65 hash check failed). A null handle gives 2.
 * No C++ exception leaves this library.
 *
 * Variable-length results are read in two calls: with a null buffer the call writes the length
 * into *length; with a buffer, *length must hold the buffer's size (at least that length) and the
 * call fills it and writes the length again.
 *
 * One handle is used by one thread at a time; different handles are independent.
 */
#ifndef KELVANE_QUARN_SECRET_FILE_H
#define KELVANE_QUARN_SECRET_FILE_H

#ifdef __cplusplus
extern "C" {
#endif

#define QUARN_SECRET_FILE_EXPORT __attribute__((visibility("default")))

typedef struct CQuarnFileDecryptor CQuarnFileDecryptor;

/* Opens the bid file at path (UTF-8) and checks its header and trailer. On 0 *handle receives
 * a new handle; on failure *handle is left as it was. 28 when the file does not exist, 7 when it
 * cannot be opened or is not a regular file (a FIFO, a device or a folder is refused at once,
 * without reading), 9/10 for a file that is not a sealed bid file of version 2 (version 1 files
 * give 10), 6 for an unknown algorithm, 13/14/20/53/64 for a damaged structure. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorCreateHandle(
    CQuarnFileDecryptor** handle, const char* path);

/* The folder (UTF-8) that receives the plain content at Decrypt. It is created when missing. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorSetFolder(
    CQuarnFileDecryptor* handle, const char* folder);

/* Reads the whole file once: hashes header and payload and checks the bidder's signature over
 * the digest. Needs no token. 22 signature unreadable, 23 signature wrong, 65 the signed digest
 * is not the file's, 16 read error. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorVerify(CQuarnFileDecryptor* handle);

/* As Verify, and in the same read the SM3 digest of every byte read for it: header, payload,
 * signature and trailer, the very bytes the signature was checked over (the file's verification
 * code, which a file changed or replaced meanwhile cannot alter). *length must hold the size of
 * code, at least 32. When the whole file was read the digest is written to code and its length
 * (32) to *length, whatever the signature check gave; otherwise *length becomes 0. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorVerifyWithCode(
    CQuarnFileDecryptor* handle, unsigned char* code, int* length);

/* The bidder's signing certificate (DER), two calls. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetSignCert(
    CQuarnFileDecryptor* handle, unsigned char* buffer, int* length);

/* The custom data (the embedded rules file: "RULF", 4-byte big-endian length, the rules file),
 * two calls. 27 when the file carries none. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetCustomData(
    CQuarnFileDecryptor* handle, unsigned char* buffer, int* length);

/* 0 when the shares gathered reach the file's threshold, so that Decrypt can go ahead; 35 below
 * it. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetStatus(CQuarnFileDecryptor* handle);

/* Looks for the private key of every opener of the file who has not contributed yet among the
 * tokens present now (matching public objects, no PIN), logs in through the PIN prompt of the PKI
 * library and decrypts that opener's share. Shares accumulate in the handle; an opener counts
 * once however often it is tried. 0 when at least one opener's key was found and every share
 * found was taken; 44 when no token holds an opener's key; 52, 57 or 58 when a share could not be
 * decrypted or does not belong to this file. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorTry(CQuarnFileDecryptor* handle);

/* As Try, with a private key given as PEM or DER bytes instead of the tokens: the key of an opener
 * kept in software (tests, and tenders that hold no tokens). 44 when the key is no opener's. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorTryKey(
    CQuarnFileDecryptor* handle, const unsigned char* key, int length);

/* The openers whose shares are gathered, in the order they contributed. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetCrackerNum(CQuarnFileDecryptor* handle, int* count);
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetCrackerCert(
    CQuarnFileDecryptor* handle, int index, unsigned char* buffer, int* length);

/* The file's threshold: the minimum number of openers. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetMinNum(CQuarnFileDecryptor* handle, int* n);

/* Recovers the content key (35 below the threshold, 59 when the shares do not give the key the
 * file commits to; the keys bind the signer certificate and the custom data, so a copy re-signed
 * by another signer or carrying other custom data gives 59 with every share), then decrypts the
 * payload in one streaming pass into <folder>/<bid file name without extension>/, or "<name> (2)",
 * "<name> (3)" ... when that exists.
 * Everything is written into a hidden staging folder, synced, and renamed only after the whole
 * payload and the signature have been checked: on any failure the folder is left as it was.
 * Payload names that are absolute, contain "..", NUL, control bytes, backslash or colon, or are
 * over-long give 36; a repeated name gives 29; a write error 18. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorDecrypt(CQuarnFileDecryptor* handle);

/* Ends the handle and wipes the shares it gathered. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorReleaseHandle(CQuarnFileDecryptor* handle);

/* The number of openers the file was sealed to (the header's m), whether they contributed or not:
 * with GetOpenerCert it lets the opening program hold the bid's openers to its tender's. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetOpenerNum(CQuarnFileDecryptor* handle, int* m);

/* The certificate (DER) of the header's index-th opener, 0 <= index < m, in the header's order,
 * two calls. 2 for an index out of range. */
QUARN_SECRET_FILE_EXPORT int QuarnSecretFileDecryptorGetOpenerCert(
    CQuarnFileDecryptor* handle, int index, unsigned char* buffer, int* length);

#ifdef __cplusplus
}
#endif

#endif
