/*
 * quarn_json: the small JSON builder behind the operation records.
 *
 * A C interface over opaque items. Build an object, add members in the order they must appear,
 * encode it, free it. Member order is kept exactly as added. Strings are UTF-8; a string that is
 * not valid UTF-8 is refused when the item is made, so encoding cannot fail on it later.
 *
 * Ownership: every item made by a quarn_json_new... call belongs to the caller until
 * quarn_json_addobjectitem accepts it (returns 1); from then on the object owns it and the caller
 * must not use or free it again. quarn_json_free frees an object with every item it owns.
 * Encoded texts are freed with quarn_json_freetext. No call throws; failures return 0 or NULL.
 */
#ifndef QUARN_JSON_H
#define QUARN_JSON_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quarn_json quarn_json;

/* Encoding options, combined with |. Without QUARN_JSON_COMPACT the text is indented by two
 * blanks; without QUARN_JSON_UTF8 every character beyond ASCII is written as a \u escape. */
#define QUARN_JSON_COMPACT 0x80000000u
#define QUARN_JSON_UTF8 0x10000000u

/* A new empty object, or NULL when out of memory. */
quarn_json* quarn_json_newobject(void);

/* A number item. Whole numbers in the range of a 64-bit integer are written without a fraction
 * ("1", not "1.0"); NaN and infinities are refused (NULL), since JSON cannot carry them. */
quarn_json* quarn_json_newnumber(double value);

/* A string item from `length` bytes of UTF-8 (a negative length means up to the terminating zero).
 * NULL when the bytes are not valid UTF-8 or `utf8` is NULL. */
quarn_json* quarn_json_newstring(const char* utf8, int length);

/* Appends `item` to `object` under `name` (`nameLength` bytes of UTF-8; negative: up to the zero).
 * Returns 1 when added, and the object owns the item from then on. Returns 0, leaving the item
 * with the caller, when an argument is NULL, `object` is not an object, `item` is the object
 * itself, the name is not valid UTF-8, or the object already has a member of that name. */
int quarn_json_addobjectitem(quarn_json* object, const char* name, int nameLength, quarn_json* item);

/* Serialises `object` into a new zero-terminated text (free it with quarn_json_freetext) and
 * writes its length in bytes, without the terminating zero. Returns 1, or 0 on failure. */
int quarn_json_encode(const quarn_json* object, unsigned int options, char** text, int* length);

/* Frees an item made by this library together with every item it owns. NULL is allowed. */
void quarn_json_free(quarn_json* item);

/* Frees a text made by quarn_json_encode. NULL is allowed. */
void quarn_json_freetext(char* text);

#ifdef __cplusplus
}
#endif

#endif
