// libKIVKeycpp: MD5 (RFC 1321) and the token and device-key derivation.
//
// Portable code for any byte order and alignment: input words are composed
// byte by byte (compilers turn that into one load where it is safe), counts
// are 32-bit, nothing assumes a 64-bit long. The library uses no C++ runtime
// (no new, no exceptions), so it links against libc alone.
#include "cKivKey.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes fed to the digest in one QRD_Update call by generateCommonKey.
constexpr int kFeedPiece = 512;
constexpr size_t kDigestLength = 16;
constexpr size_t kHexDigits = 2 * kDigestLength;
constexpr char kDeviceLabel[] = "NODEMARKS";
constexpr char kTokenLabel[] = "LINKSALT";
constexpr char kDefaultDevicePrefix[] = "C";

inline uint32_t RotateLeft(uint32_t x, unsigned s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t DecodeLittleEndian(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void EncodeLittleEndian(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// The four auxiliary functions of RFC 1321, in forms with one operation less
// than the textbook ones; G is split into two independent terms that are
// added separately, which shortens the dependency chain through b.
#define KIV_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define KIV_H(x, y, z) ((x) ^ (y) ^ (z))
#define KIV_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define KIV_STEP(f, a, b, c, d, x, t, s) \
  (a) += f((b), (c), (d)) + (x) + (t);   \
  (a) = RotateLeft((a), (s)) + (b)

#define KIV_STEP_G(a, b, c, d, x, t, s)                     \
  (a) += (x) + (t) + ((c) & ~(d));                          \
  (a) += (b) & (d);                                         \
  (a) = RotateLeft((a), (s)) + (b)

}  // namespace

// Compresses size / 64 whole blocks of data (size is a multiple of 64; data
// needs no alignment) into the chaining state; the byte counters are not
// touched. Returns the byte after the last block.
static const unsigned char* body(QRD_CTX* ctx, const unsigned char* data, uint32_t size) {
  uint32_t a = ctx->a, b = ctx->b, c = ctx->c, d = ctx->d;
  uint32_t* x = ctx->block;
  for (; size >= 64; size -= 64, data += 64) {
    // All words are decoded before the steps, so the steps never reload the
    // input (a store to block could otherwise alias it).
    for (int i = 0; i < 16; ++i) x[i] = DecodeLittleEndian(data + 4 * i);
    const uint32_t savedA = a, savedB = b, savedC = c, savedD = d;

    KIV_STEP(KIV_F, a, b, c, d, x[0], 0xd76aa478, 7);
    KIV_STEP(KIV_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    KIV_STEP(KIV_F, c, d, a, b, x[2], 0x242070db, 17);
    KIV_STEP(KIV_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    KIV_STEP(KIV_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    KIV_STEP(KIV_F, d, a, b, c, x[5], 0x4787c62a, 12);
    KIV_STEP(KIV_F, c, d, a, b, x[6], 0xa8304613, 17);
    KIV_STEP(KIV_F, b, c, d, a, x[7], 0xfd469501, 22);
    KIV_STEP(KIV_F, a, b, c, d, x[8], 0x698098d8, 7);
    KIV_STEP(KIV_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    KIV_STEP(KIV_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    KIV_STEP(KIV_F, b, c, d, a, x[11], 0x895cd7be, 22);
    KIV_STEP(KIV_F, a, b, c, d, x[12], 0x6b901122, 7);
    KIV_STEP(KIV_F, d, a, b, c, x[13], 0xfd987193, 12);
    KIV_STEP(KIV_F, c, d, a, b, x[14], 0xa679438e, 17);
    KIV_STEP(KIV_F, b, c, d, a, x[15], 0x49b40821, 22);

    KIV_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
    KIV_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
    KIV_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
    KIV_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
    KIV_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
    KIV_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
    KIV_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
    KIV_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
    KIV_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
    KIV_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
    KIV_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
    KIV_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
    KIV_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
    KIV_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
    KIV_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
    KIV_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

    KIV_STEP(KIV_H, a, b, c, d, x[5], 0xfffa3942, 4);
    KIV_STEP(KIV_H, d, a, b, c, x[8], 0x8771f681, 11);
    KIV_STEP(KIV_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    KIV_STEP(KIV_H, b, c, d, a, x[14], 0xfde5380c, 23);
    KIV_STEP(KIV_H, a, b, c, d, x[1], 0xa4beea44, 4);
    KIV_STEP(KIV_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    KIV_STEP(KIV_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    KIV_STEP(KIV_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    KIV_STEP(KIV_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    KIV_STEP(KIV_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    KIV_STEP(KIV_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    KIV_STEP(KIV_H, b, c, d, a, x[6], 0x04881d05, 23);
    KIV_STEP(KIV_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    KIV_STEP(KIV_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    KIV_STEP(KIV_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    KIV_STEP(KIV_H, b, c, d, a, x[2], 0xc4ac5665, 23);

    KIV_STEP(KIV_I, a, b, c, d, x[0], 0xf4292244, 6);
    KIV_STEP(KIV_I, d, a, b, c, x[7], 0x432aff97, 10);
    KIV_STEP(KIV_I, c, d, a, b, x[14], 0xab9423a7, 15);
    KIV_STEP(KIV_I, b, c, d, a, x[5], 0xfc93a039, 21);
    KIV_STEP(KIV_I, a, b, c, d, x[12], 0x655b59c3, 6);
    KIV_STEP(KIV_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    KIV_STEP(KIV_I, c, d, a, b, x[10], 0xffeff47d, 15);
    KIV_STEP(KIV_I, b, c, d, a, x[1], 0x85845dd1, 21);
    KIV_STEP(KIV_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    KIV_STEP(KIV_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    KIV_STEP(KIV_I, c, d, a, b, x[6], 0xa3014314, 15);
    KIV_STEP(KIV_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    KIV_STEP(KIV_I, a, b, c, d, x[4], 0xf7537e82, 6);
    KIV_STEP(KIV_I, d, a, b, c, x[11], 0xbd3af235, 10);
    KIV_STEP(KIV_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    KIV_STEP(KIV_I, b, c, d, a, x[9], 0xeb86d391, 21);

    a += savedA;
    b += savedB;
    c += savedC;
    d += savedD;
  }
  ctx->a = a;
  ctx->b = b;
  ctx->c = c;
  ctx->d = d;
  return data;
}

#undef KIV_F
#undef KIV_H
#undef KIV_I
#undef KIV_STEP
#undef KIV_STEP_G

namespace {

// Appends n bytes of src at dst and returns the byte after them.
unsigned char* Append(unsigned char* dst, const char* src, size_t n) {
  if (n != 0) std::memcpy(dst, src, n);
  return dst + n;
}

size_t LengthOrZero(const char* text) { return text ? std::strlen(text) : 0; }

// The message parts in order; a part may be NULL (then it is left out).
// Hashes and formats their concatenation with the given prefix; NULL when the
// message would not fit in an int (generateCommonKey's count) or memory runs
// out.
char* HashParts(const char* const* parts, size_t count, const char* prefix, int prefixLen) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t n = LengthOrZero(parts[i]);
    if (n > static_cast<size_t>(INT_MAX) - total) return nullptr;
    total += n;
  }
  // calloc: the message is zero-filled when allocated; one byte at least so
  // that an empty message is not mistaken for an allocation failure.
  auto* message = static_cast<unsigned char*>(std::calloc(total ? total : 1, 1));
  if (!message) return nullptr;
  unsigned char* end = message;
  for (size_t i = 0; i < count; ++i) end = Append(end, parts[i], LengthOrZero(parts[i]));
  char* key = generateCommonKey(message, static_cast<int>(total), prefix, prefixLen);
  std::free(message);
  return key;
}

// A null identifier: the library's one message on standard output.
char* RejectNullId() {
  std::printf("\n Invalid input!!!");
  return nullptr;
}

}  // namespace

extern "C" {

void QRD_Init(QRD_CTX* ctx) {
  ctx->a = 0x67452301;
  ctx->b = 0xefcdab89;
  ctx->c = 0x98badcfe;
  ctx->d = 0x10325476;
  ctx->lo = 0;
  ctx->hi = 0;
}

void QRD_Update(QRD_CTX* ctx, const void* data, uint32_t size) {
  if (size == 0) return;
  const auto* in = static_cast<const unsigned char*>(data);
  const uint32_t savedLo = ctx->lo;
  ctx->lo = (savedLo + size) & 0x1fffffff;
  if (ctx->lo < savedLo) ctx->hi++;
  ctx->hi += size >> 29;

  const uint32_t used = savedLo & 0x3f;
  if (used != 0) {
    const uint32_t available = 64 - used;
    if (size < available) {
      std::memcpy(&ctx->buffer[used], in, size);
      return;
    }
    std::memcpy(&ctx->buffer[used], in, available);
    in += available;
    size -= available;
    body(ctx, ctx->buffer, 64);
  }
  if (size >= 64) {
    in = body(ctx, in, size & ~static_cast<uint32_t>(0x3f));
    size &= 0x3f;
  }
  if (size != 0) std::memcpy(ctx->buffer, in, size);
}

void QRD_Final(unsigned char result[16], QRD_CTX* ctx) {
  uint32_t used = ctx->lo & 0x3f;
  ctx->buffer[used++] = 0x80;
  uint32_t available = 64 - used;
  if (available < 8) {
    std::memset(&ctx->buffer[used], 0, available);
    body(ctx, ctx->buffer, 64);
    used = 0;
    available = 64;
  }
  std::memset(&ctx->buffer[used], 0, available - 8);
  EncodeLittleEndian(&ctx->buffer[56], ctx->lo << 3);
  EncodeLittleEndian(&ctx->buffer[60], ctx->hi);
  body(ctx, ctx->buffer, 64);

  EncodeLittleEndian(&result[0], ctx->a);
  EncodeLittleEndian(&result[4], ctx->b);
  EncodeLittleEndian(&result[8], ctx->c);
  EncodeLittleEndian(&result[12], ctx->d);
  std::memset(ctx, 0, sizeof(*ctx));
}

char* generateCommonKey(const void* data, int len, const char* prefix, int prefix_len) {
  if ((prefix && prefix_len < 0) || (len > 0 && !data)) return nullptr;
  const size_t p = prefix ? static_cast<size_t>(prefix_len) : 0;
  auto* key = static_cast<char*>(std::malloc(p + kHexDigits + 1));
  if (!key) return nullptr;

  QRD_CTX ctx;
  QRD_Init(&ctx);
  const auto* in = static_cast<const unsigned char*>(data);
  while (len > 0) {
    const int piece = len < kFeedPiece ? len : kFeedPiece;
    QRD_Update(&ctx, in, static_cast<uint32_t>(piece));
    in += piece;
    len -= piece;
  }
  unsigned char digest[kDigestLength];
  QRD_Final(digest, &ctx);

  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < kDigestLength; ++i) {
    key[p + 2 * i] = kHex[digest[i] >> 4];
    key[p + 2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  key[p + kHexDigits] = '\0';
  if (p != 0) std::memcpy(key, prefix, p);
  return key;
}

char* generateDeviceKey(const char* id, const char* salt, const char* prefix) {
  if (!id) return RejectNullId();
  const size_t prefixLen = prefix ? std::strlen(prefix) : std::strlen(kDefaultDevicePrefix);
  if (prefixLen > static_cast<size_t>(INT_MAX)) return nullptr;
  const char* usedPrefix = prefix ? prefix : kDefaultDevicePrefix;
  const bool salted = salt && *salt;
  const char* const saltedParts[] = {salt, id, kDeviceLabel, salt};
  const char* const plainParts[] = {id, kDeviceLabel};
  return salted ? HashParts(saltedParts, 4, usedPrefix, static_cast<int>(prefixLen))
                : HashParts(plainParts, 2, usedPrefix, static_cast<int>(prefixLen));
}

char* generateTokenKey(const char* id, const char* salt) {
  if (!id) return RejectNullId();
  const bool salted = salt && *salt;
  const char* const saltedParts[] = {salt, id, salt, kTokenLabel, salt};
  const char* const plainParts[] = {id, kTokenLabel};
  return salted ? HashParts(saltedParts, 5, nullptr, 0) : HashParts(plainParts, 2, nullptr, 0);
}

}  // extern "C"
