// The language library: one handle holds the texts of one language file, looked up by key.
// The file format is described in docs/language-files.md.
//
// A handle may be read from several threads at once, but QUARN_Language_LoadLang must not run
// on a handle while another thread reads it: load a new handle and swap it in instead.
#pragma once

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QuarnLanguage* QUARN_LANGUAGE_HANDLE;

// Returns a new, empty handle, or NULL when memory runs out.
QUARN_LANGUAGE_HANDLE QUARN_Language_CreateLanguageHandle(void);

// Reads the language file at path into the handle, replacing what it held.
// Returns 1 when the file was loaded; 0 when it cannot be read or is not a language file
// (the handle then holds nothing); -1 for a NULL handle or path.
int QUARN_Language_LoadLang(QUARN_LANGUAGE_HANDLE handle, const wchar_t* path);

// Writes the value of key into buffer as a zero-terminated text of at most bufferSize - 1
// characters (a longer value is cut), or an empty text when the file has no value for key.
// Returns 1 when the key has a value, 0 when not, -1 for a NULL argument or a buffer size
// below 1 (the buffer is then left untouched).
int QUARN_Language_GetValue(QUARN_LANGUAGE_HANDLE handle, const char* key, wchar_t* buffer, int bufferSize);

// Frees the handle; NULL is ignored.
void QUARN_Language_ReleaseLanguageHandle(QUARN_LANGUAGE_HANDLE handle);

#ifdef __cplusplus
}
#endif
