/* libKIVKeycpp: MD5 (RFC 1321) and the gateway's token and device-key
 * derivation. Usable from C and C++.
 *
 * Promises: every function works only on its arguments (no global state), so
 * any of them may run on several threads at once as long as no two threads
 * share one QRD_CTX. Input needs no alignment. The key functions return a
 * NUL-terminated text in a block from malloc that the caller releases with
 * free, or NULL (for invalid input or when memory cannot be had; nothing is
 * leaked then). Nothing here throws. */
#ifndef KIV_CKIVKEY_H
#define KIV_CKIVKEY_H

#include <stdint.h>

#if defined(__GNUC__)
#define KIV_KEY_API __attribute__((visibility("default")))
#else
#define KIV_KEY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* MD5 digest context, owned by the caller. */
typedef struct QRD_CTX {
  uint32_t lo;          /* bytes hashed so far, modulo 2^29 */
  uint32_t hi;          /* bytes hashed so far, divided by 2^29 */
  uint32_t a, b, c, d;  /* chaining state */
  unsigned char buffer[64];  /* input not yet compressed */
  uint32_t block[16];   /* words of the block being compressed */
} QRD_CTX;

/* Starts a digest. */
KIV_KEY_API void QRD_Init(QRD_CTX* ctx);

/* Hashes size more bytes of data; data may be NULL when size is 0. */
KIV_KEY_API void QRD_Update(QRD_CTX* ctx, const void* data, uint32_t size);

/* Writes the 16-byte digest to result and wipes the whole context to zeros;
 * QRD_Init must be called again before the context is reused. */
KIV_KEY_API void QRD_Final(unsigned char result[16], QRD_CTX* ctx);

/* The MD5 of len bytes of data as 32 lower-case hex digits, behind the first
 * prefix_len bytes of prefix when prefix is not NULL and prefix_len is not 0.
 * A len of 0 or less hashes the empty message. Returns NULL when data is NULL
 * while len is positive, when prefix is given with a negative prefix_len, or when memory runs
 * out. */
KIV_KEY_API char* generateCommonKey(const void* data, int len, const char* prefix,
                                    int prefix_len);

/* The device key: prefix (default "C" when prefix is NULL; an empty prefix
 * gives none) and the MD5 of id + "NODEMARKS", or of salt + id + "NODEMARKS"
 * + salt when salt is not empty. A NULL id prints "\n Invalid input!!!" and
 * returns NULL; NULL also when memory runs out or the message would be
 * longer than INT_MAX bytes. */
KIV_KEY_API char* generateDeviceKey(const char* id, const char* salt, const char* prefix);

/* The token: the MD5 of id + "LINKSALT", or of salt + id + salt + "LINKSALT"
 * + salt when salt is not empty. NULL results as for generateDeviceKey. */
KIV_KEY_API char* generateTokenKey(const char* id, const char* salt);

#ifdef __cplusplus
}
#endif

#endif
