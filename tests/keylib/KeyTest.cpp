// libKIVKeycpp against RFC 1321 and against OpenSSL's MD5, the derivation
// messages of both key functions, and the library's exports and links.
#include "cKivKey.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ConsoleCapture.h"
#include "ElfSymbols.h"
#include "TestSupport.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using Key = std::unique_ptr<char, FreeDeleter>;

// The reference: OpenSSL's MD5 of the whole message at once.
using kivtest::Md5Hex;

// Ours, with the message fed in the given piece sizes (the rest in one go).
std::string OurMd5(const std::string& message, const std::vector<size_t>& pieces = {}) {
  QRD_CTX ctx;
  QRD_Init(&ctx);
  size_t offset = 0;
  for (size_t piece : pieces) {
    piece = std::min(piece, message.size() - offset);
    QRD_Update(&ctx, message.data() + offset, static_cast<uint32_t>(piece));
    offset += piece;
  }
  QRD_Update(&ctx, message.data() + offset, static_cast<uint32_t>(message.size() - offset));
  unsigned char digest[16];
  QRD_Final(digest, &ctx);
  return kivtest::HexDigits(digest, sizeof digest);
}

std::string KeyText(const Key& key) { return key ? std::string(key.get()) : "<null>"; }

TEST(Md5, Rfc1321Vectors) {
  struct Case {
    const char* message;
    const char* digest;
  } const cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OurMd5(c.message), c.digest) << '"' << c.message << '"';
    Key key(generateCommonKey(c.message, static_cast<int>(std::strlen(c.message)), nullptr, 0));
    EXPECT_EQ(KeyText(key), c.digest) << '"' << c.message << '"';
  }
}

// Every length from 0 to a few thousand bytes, fed in random pieces that
// cross the 64-byte block boundary at every offset, against OpenSSL.
TEST(Md5, MatchesOpenSslFedInRandomPieces) {
  const unsigned seed = 20261208;
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<size_t> pieceSize(0, 200);
  std::string message;
  for (size_t length = 0; length <= 4200; ++length) {
    std::vector<size_t> pieces;
    for (size_t total = 0; total < length; total += pieces.back()) pieces.push_back(pieceSize(random));
    ASSERT_EQ(OurMd5(message, pieces), Md5Hex(message))
        << "length " << length << ", seed " << seed;
    message += static_cast<char>(byte(random));
  }
}

TEST(Md5, FinalWipesTheWholeContext) {
  QRD_CTX ctx;
  QRD_Init(&ctx);
  QRD_Update(&ctx, "some bytes that stay in the buffer", 34);
  unsigned char digest[16];
  QRD_Final(digest, &ctx);
  const QRD_CTX zeros{};
  EXPECT_EQ(std::memcmp(&ctx, &zeros, sizeof ctx), 0);
}

TEST(CommonKey, ZeroOrNegativeLengthHashesTheEmptyMessage) {
  for (int len : {0, -1, -512, INT_MIN}) {
    Key key(generateCommonKey("ignored", len, nullptr, 0));
    EXPECT_EQ(KeyText(key), "d41d8cd98f00b204e9800998ecf8427e") << "len " << len;
  }
  Key key(generateCommonKey(nullptr, 0, nullptr, 0));
  EXPECT_EQ(KeyText(key), "d41d8cd98f00b204e9800998ecf8427e");
}

// Fed in 512-byte pieces inside; the digest is the one of the whole message.
TEST(CommonKey, LongMessageGivesTheWholeMessagesDigest) {
  std::string message;
  for (int i = 0; i < 1300; ++i) message += static_cast<char>('a' + i % 26);
  Key key(generateCommonKey(message.data(), 1300, nullptr, 0));
  EXPECT_EQ(KeyText(key), Md5Hex(message));
}

TEST(CommonKey, PrefixCases) {
  const std::string digits = Md5Hex("abc");
  struct Case {
    const char* prefix;
    int prefixLen;
    std::string expected;
  } const cases[] = {
      {nullptr, 0, digits},
      {nullptr, 5, digits},  // a null prefix writes none, whatever its length
      {nullptr, -3, digits},
      {"", 0, digits},
      {"C", 1, "C" + digits},
      {"XYZ", 2, "XY" + digits},  // exactly prefix_len bytes are used
      {"pre-", 4, "pre-" + digits},
      {"A", -1, "<null>"},  // a negative length for a real prefix is refused
  };
  for (const Case& c : cases) {
    Key key(generateCommonKey("abc", 3, c.prefix, c.prefixLen));
    EXPECT_EQ(KeyText(key), c.expected)
        << (c.prefix ? c.prefix : "(null)") << ", " << c.prefixLen;
  }
}

TEST(CommonKey, NullDataWithPositiveLengthIsRefused) {
  EXPECT_EQ(generateCommonKey(nullptr, 4, nullptr, 0), nullptr);
}

TEST(DeviceKey, GatewayIdentifierWithDefaults) {
  Key key(generateDeviceKey("001A2B3C4D5E", nullptr, nullptr));
  EXPECT_EQ(KeyText(key), "C" + Md5Hex("001A2B3C4D5ENODEMARKS"));
  EXPECT_EQ(std::strlen(key.get()), 33u);
}

TEST(TokenKey, GatewayIdentifierWithoutSalt) {
  Key key(generateTokenKey("001A2B3C4D5E", nullptr));
  EXPECT_EQ(KeyText(key), Md5Hex("001A2B3C4D5ELINKSALT"));
  EXPECT_EQ(std::strlen(key.get()), 32u);
}

// The exact message each key function hashes, and the prefix in front.
TEST(DeviceKey, DerivationMessages) {
  struct Case {
    const char* id;
    const char* salt;
    const char* prefix;
    std::string message;
    std::string keyPrefix;
  } const cases[] = {
      {"001A2B3C4D5E", nullptr, nullptr, "001A2B3C4D5ENODEMARKS", "C"},
      {"001A2B3C4D5E", "", nullptr, "001A2B3C4D5ENODEMARKS", "C"},
      {"001A2B3C4D5E", "s4lt", nullptr, "s4lt001A2B3C4D5ENODEMARKSs4lt", "C"},
      {"001A2B3C4D5E", "s4lt", "dev-", "s4lt001A2B3C4D5ENODEMARKSs4lt", "dev-"},
      {"001A2B3C4D5E", nullptr, "", "001A2B3C4D5ENODEMARKS", ""},
      {"", nullptr, nullptr, "NODEMARKS", "C"},
      {"", "xy", "K", "xyNODEMARKSxy", "K"},
  };
  for (const Case& c : cases) {
    Key key(generateDeviceKey(c.id, c.salt, c.prefix));
    EXPECT_EQ(KeyText(key), c.keyPrefix + Md5Hex(c.message)) << c.message;
  }
}

TEST(TokenKey, DerivationMessages) {
  struct Case {
    const char* id;
    const char* salt;
    std::string message;
  } const cases[] = {
      {"001A2B3C4D5E", nullptr, "001A2B3C4D5ELINKSALT"},
      {"001A2B3C4D5E", "", "001A2B3C4D5ELINKSALT"},
      {"001A2B3C4D5E", "s4lt", "s4lt001A2B3C4D5Es4ltLINKSALTs4lt"},
      {"", nullptr, "LINKSALT"},
      {"", "xy", "xyxyLINKSALTxy"},
  };
  for (const Case& c : cases) {
    Key key(generateTokenKey(c.id, c.salt));
    EXPECT_EQ(KeyText(key), Md5Hex(c.message)) << c.message;
  }
}

TEST(KeyFunctions, NullIdentifierPrintsAndReturnsNull) {
  kivtest::ConsoleCapture console;
  char* device = generateDeviceKey(nullptr, "salt", "P");
  char* token = generateTokenKey(nullptr, nullptr);
  const std::string printed = console.Text();
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(token, nullptr);
  EXPECT_EQ(printed, "\n Invalid input!!!\n Invalid input!!!");
}

// Allocation failure: run in a child whose address space is capped just above
// what it already uses, so the message block cannot be had.
TEST(KeyFunctions, AllocationFailureReturnsNull) {
  if (kivtest::kSanitized) GTEST_SKIP() << "sanitizer runtimes cannot run under an address-space cap";
  if (kivtest::UnderEmulator()) GTEST_SKIP() << "qemu-user does not apply an address-space cap";
  const std::string id(64u << 20, 'i');
  auto capAddressSpace = [] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t cap = static_cast<rlim_t>(pages) * 4096u + (16u << 20);
    const rlimit limit{cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
  };
  EXPECT_EXIT(
      {
        capAddressSpace();
        std::_Exit(generateDeviceKey(id.c_str(), nullptr, nullptr) == nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        capAddressSpace();
        std::_Exit(generateTokenKey(id.c_str(), "salt") == nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        capAddressSpace();  // the key block itself (prefix_len + 33 bytes) cannot be had
        std::_Exit(generateCommonKey("x", 1, "P", INT_MAX - 64) == nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

std::string LibraryPath() { return kivtest::BuildDir() + "/keylib/libKIVKeycpp.so"; }

TEST(Library, ExportsExactlyThePublicFunctionsUndecorated) {
  const std::set<std::string> expected = {"QRD_Init",          "QRD_Update",
                                          "QRD_Final",         "generateCommonKey",
                                          "generateDeviceKey", "generateTokenKey"};
  const std::set<std::string> exported = kivtest::ExportedSymbols(LibraryPath());
  EXPECT_EQ(exported, expected);
  EXPECT_EQ(exported.count("body"), 0u);
}

TEST(Library, NeedsOnlyTheCLibrary) {
  for (const std::string& needed : kivtest::NeededLibraries(LibraryPath())) {
    const bool libc = needed.rfind("libc.so", 0) == 0;
    const bool sanitizerRuntime = needed.rfind("libasan.so", 0) == 0 ||
                                  needed.rfind("libubsan.so", 0) == 0 ||
                                  needed.rfind("libtsan.so", 0) == 0;
    EXPECT_TRUE(libc || sanitizerRuntime) << needed;
  }
}

}  // namespace
