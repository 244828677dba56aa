#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/scratch_dir.h"
#include "util/text.h"

namespace packprobe::crypto {
namespace {

std::string Hex(std::string_view bytes) {
  Sha256 digest;
  digest.Update(bytes.data(), bytes.size());
  return Sha256Hex(digest.Finish().value());
}

// Known digests (FIPS 180-2 examples), and input fed in pieces of every
// size giving the digest of the whole.
TEST(Sha256Test, KnownDigestsWholeAndInPieces) {
  EXPECT_EQ(Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string whole = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
  EXPECT_EQ(Hex(text), whole);
  for (std::size_t piece = 1; piece < text.size(); piece += 7) {
    Sha256 digest;
    for (std::size_t at = 0; at < text.size(); at += piece) {
      digest.Update(text.data() + at, std::min(piece, text.size() - at));
    }
    EXPECT_EQ(Sha256Hex(digest.Finish().value()), whole) << piece;
  }
}

}  // namespace
}  // namespace packprobe::crypto
