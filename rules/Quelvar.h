/*
** Quelvar: the rules-file library.
**
** Quelvar fetches the rules of one tender from the rules server and answers questions about
** them. The caller creates a handle, gives it the server URL (and, optionally, a proxy), asks it
** to fetch the rules of one project, reads the numbers, certificates and texts of the rules, and
** finally releases the handle.
**
** Conventions shared by every entry point:
**
**   - Every function returns an int result code: QUELVAR_OK (0) on success, otherwise one of the
**     codes below. Nothing is logged, shown or thrown; a failure is its code and nothing else.
**   - A null handle gives QUELVAR_INVALID_ARGUMENT (13), except for QuelvarReleaseHandle.
**   - Variable-length results are read in two calls: first the length (a text getter called with
**     a null buffer, or QuelvarGetCertLen / QuelvarGetFileLen), then the copy into a buffer of at
**     least that many bytes that the caller allocates and frees. Copies never add a terminator:
**     a caller that wants a C string allocates length + 1 zeroed bytes.
**   - Texts are narrow bytes passed through unchanged: the URL and proxy texts as the caller gave
**     them, the document texts as the XML parser delivers them (UTF-8 or whatever the rules
**     server wrote).
**   - The library has no global state, no threads and no callbacks. One handle is used by one
**     thread at a time; separate handles may be used from different threads.
**
** Calling order: QuelvarCreateHandle; QuelvarSetTargetUrl (and QuelvarSetProxy), which may be
** repeated, the last values counting; QuelvarGetRules; after it returned 0, the getters in any
** order; QuelvarReleaseHandle. The answers of the getters are valid only after a QuelvarGetRules
** that returned 0.
*/
#ifndef QUELVAR_H
#define QUELVAR_H

#if defined(__GNUC__)
#define QUELVAR_API __attribute__((visibility("default")))
#else
#define QUELVAR_API
#endif

#ifdef __cplusplus
class CQuelvar;
extern "C" {
#else
/* The opaque handle. */
typedef struct CQuelvar CQuelvar;
#endif

/* Result codes. */
enum
{
    QUELVAR_OK = 0,
    QUELVAR_NO_MEMORY_FOR_HANDLE = 1, /* QuelvarCreateHandle could not allocate */
    QUELVAR_NOT_A_URL = 2, /* QuelvarSetTargetUrl was given something else */
    QUELVAR_DOWNLOAD_FAILED = 3, /* connection, request or transfer failed; body too large */
    QUELVAR_NO_RULE_ELEMENT = 4, /* no bidenv/source/rules/rule, or not XML at all */
    QUELVAR_NO_M_ELEMENT = 5,
    QUELVAR_M_WITHOUT_TEXT = 6,
    QUELVAR_NO_N_ELEMENT = 7,
    QUELVAR_N_WITHOUT_TEXT = 8,
    QUELVAR_OPENER_COUNT_DIFFERS = 9, /* the number of opener elements is not m */
    QUELVAR_NO_CERT_ELEMENT = 10,
    QUELVAR_NO_PARTICIPATE_ELEMENT = 11,
    QUELVAR_NO_CERT_DATA = 12, /* a cert element or an opener entry without bytes */
    QUELVAR_INVALID_ARGUMENT = 13,
    QUELVAR_NO_RULES = 14, /* no rules record: fetch the rules first */
    QUELVAR_INDEX_OUT_OF_RANGE = 15,
    QUELVAR_LENGTH_DIFFERS = 16,
    QUELVAR_DATA_DIFFERS = 17,
    QUELVAR_CIPHER_SETUP_FAILED = 18,
    QUELVAR_DECRYPT_UPDATE_FAILED = 19,
    QUELVAR_DECRYPT_FINAL_FAILED = 20,
    QUELVAR_NO_MEMORY = 21,
    QUELVAR_NO_OPENTIME_ELEMENT = 22,
    QUELVAR_NO_ORGANIZATION_ELEMENT = 23,
    QUELVAR_EMPTY_BODY = 24, /* empty response, or empty after Base64 decoding */
    QUELVAR_NO_PROJECTNAME_ELEMENT = 25,
    QUELVAR_RULES_NOT_RELEASED = 26, /* the server refused: the rules are not released yet */
    QUELVAR_NO_ENCALOG_ELEMENT = 27,
    QUELVAR_NO_HASHALOG_ELEMENT = 28
};

/*
** Creates a handle and stores it in *handle. The handle starts without rules, without a target
** URL and without a proxy; its receive time-out is 10000 ms.
** Returns 0; 1 when the handle cannot be allocated (*handle is then set to null); 13 when handle
** itself is null.
*/
QUELVAR_API int QuelvarCreateHandle(CQuelvar** handle);

/*
** Frees the handle with its rules record and all its texts. A null handle is ignored.
** Always returns 0.
*/
QUELVAR_API int QuelvarReleaseHandle(CQuelvar* handle);

/*
** Stores url as the rules server URL. A URL is a text that starts with a scheme of letters
** followed by "://". When url is not one, the stored URL is emptied again.
** Returns 0 for a URL; 2 otherwise, also for a null or empty url.
*/
QUELVAR_API int QuelvarSetTargetUrl(CQuelvar* handle, const char* url);

/*
** Makes every later QuelvarGetRules go through the HTTP proxy host:port (the text is host, ":"
** and port, even when port is empty), authenticating with user and password when either is not
** empty. A null text counts as empty. Nothing is tested, and there is no way back to a direct
** connection on this handle.
** Returns 0.
*/
QUELVAR_API int QuelvarSetProxy(
    CQuelvar* handle, const char* host, const char* port, const char* user, const char* password);

/*
** Fetches the rules: posts exactly postLen bytes of postData (normally "projectid=" followed by
** the project number) to the target URL as an HTTP/1.0 form request, Base64-decodes the answer,
** decrypts it and checks the rules document.
**
** The answer's body is read up to its Content-Length; an answer without a Content-Length counts
** as empty, and one that announces more than 16 MiB is refused. The HTTP status is not examined.
** A wait of more than the receive time-out (10000 ms) for data fails the transfer.
**
** Returns 0 when the rules were fetched; 3 when the download failed; 24 when the body is empty;
** 18 to 21 when decryption failed; 26 when the server refused to release the rules; 4 to 12, 22,
** 23, 25, 27 or 28 when the rules document fails its checks; 13 when postData is null while
** postLen is not 0, or postLen is negative.
**
** A failure before the document's rule element was found (3, 4, 18 to 21, 24, 26) keeps the
** rules record of an earlier call; a later failure removes it. Document texts found before a
** failure keep their new values.
*/
QUELVAR_API int QuelvarGetRules(CQuelvar* handle, const char* postData, int postLen);

/*
** Writes the total number of openers (the document's m).
** Returns 0; 14 without rules; 13 for a null argument.
*/
QUELVAR_API int QuelvarGetTotalNum(CQuelvar* handle, int* total);

/*
** Writes the minimum number of openers (the document's n). It is not compared with the total and
** may exceed it.
** Returns 0; 14 without rules; 13 for a null argument.
*/
QUELVAR_API int QuelvarGetMinNum(CQuelvar* handle, int* minimum);

/*
** Writes the number of openers' certificates, which always equals the total.
** Returns 0; 14 without rules; 13 for a null argument.
*/
QUELVAR_API int QuelvarGetCertCount(CQuelvar* handle, int* count);

/*
** Writes the byte length of opener index's certificate: the size of the buffer that QuelvarGetCert
** needs.
** Returns 0; 13 for a negative index or a null argument; 14 without rules; 15 when index is not
** below the total.
*/
QUELVAR_API int QuelvarGetCertLen(CQuelvar* handle, int index, int* length);

/*
** Writes opener index's participation flag (1 when the document says "YES", else 0) to
** *participate, then copies the certificate's bytes, exactly QuelvarGetCertLen of them, into
** buffer. The bytes are the text of the document's cert element, undecoded.
** Returns 0; 13 for a negative index or a null argument; 14 without rules; 15 when index is not
** below the total; 12 when the entry holds no certificate bytes (the flag is written already).
*/
QUELVAR_API int QuelvarGetCert(CQuelvar* handle, int index, unsigned char* buffer, int* participate);

/*
** The five text getters. Each writes the byte length of its text to *length (the value held on
** entry is not read) and, when buffer is not null, copies exactly that many bytes into it without
** a terminator. They do not need rules: on a fresh handle the length is 0, and after a failed
** QuelvarGetRules they give whatever text the document check stored before it stopped.
** Return 0; 13 for a null handle or a null length.
*/
QUELVAR_API int QuelvarGetOpenTime(CQuelvar* handle, char* buffer, int* length);
QUELVAR_API int QuelvarGetOpenOrg(CQuelvar* handle, char* buffer, int* length);
QUELVAR_API int QuelvarGetProjectName(CQuelvar* handle, char* buffer, int* length);
QUELVAR_API int QuelvarGetEncAlgo(CQuelvar* handle, char* buffer, int* length);
QUELVAR_API int QuelvarGetHashAlgo(CQuelvar* handle, char* buffer, int* length);

/*
** Writes the byte length of the decrypted rules document: the size of the buffer that
** QuelvarGetFileData needs.
** Returns 0; 14 without rules; 13 for a null argument.
*/
QUELVAR_API int QuelvarGetFileLen(CQuelvar* handle, long* length);

/*
** Copies the decrypted rules document, exactly QuelvarGetFileLen bytes, into buffer without a
** terminator. These are the bytes that a sealed bid embeds as its rules file.
** Returns 0; 14 without rules; 13 for a null argument.
*/
QUELVAR_API int QuelvarGetFileData(CQuelvar* handle, char* buffer);

/*
** Compares length bytes of data with the decrypted rules document: first the lengths, then the
** bytes.
** Returns 0 when they are equal; 13 when data is null or length is not above 0; 14 without
** rules; 16 when the lengths differ; 17 when the bytes differ.
*/
QUELVAR_API int QuelvarCompareFile(CQuelvar* handle, const char* data, int length);

#ifdef __cplusplus
}
#endif

#endif /* QUELVAR_H */
