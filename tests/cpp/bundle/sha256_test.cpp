#include "bundle/sha256.hpp"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include <velmora/json.hpp>

#include "test_support.hpp"

namespace {

using velmora::detail::Sha256;

std::string to_hex(const std::array<std::uint8_t, 32>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// Fed in pieces of varying size so that every position inside a 64-byte
// block is crossed; piece 0 means one update with everything.
std::string digest(std::string_view text, bool use_cpu_extensions, std::size_t piece = 0) {
  Sha256 hash(use_cpu_extensions);
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  if (piece == 0) {
    hash.update(bytes, text.size());
  }
  for (std::size_t done = 0; piece != 0 && done < text.size(); piece = (piece * 7 + 13) % 199 + 1) {
    const std::size_t take = std::min(piece, text.size() - done);
    hash.update(bytes + done, take);
    done += take;
  }
  return to_hex(hash.finish());
}

// Both compression paths (the CPU's SHA instructions when this machine has
// them, and the portable one) must give the same digests.
class Sha256Engines : public testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    if (GetParam() && !Sha256::cpu_extensions_available()) {
      GTEST_SKIP() << "this CPU has no SHA instructions";
    }
  }
};

TEST_P(Sha256Engines, PublishedVectors) {
  EXPECT_EQ(digest("", GetParam()),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest("abc", GetParam()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", GetParam()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(digest(std::string(1000000, 'a'), GetParam(), 1),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Digests of every prefix length 0..300 and of the lengths around the block
// and padding boundaries, computed by Python's hashlib.
TEST_P(Sha256Engines, AgreesWithHashlibOnEveryLength) {
  const std::string data =
      velmora::test::read_file(velmora::test::fixture("bundle/sha256/data.bin"));
  const auto digests =
      velmora::detail::load_json(velmora::test::fixture("bundle/sha256/digests.json"));
  ASSERT_GE(digests.as_object().size(), 301u);
  for (const auto& [length, expected] : digests.as_object()) {
    const std::size_t size = std::stoul(length);
    ASSERT_LE(size, data.size());
    EXPECT_EQ(digest(std::string_view(data).substr(0, size), GetParam()), expected.as_string())
        << size;
  }
}

TEST_P(Sha256Engines, AgreesWithHashlibOnSeveralMegabytes) {
  const auto bundle = velmora::test::fixture("bundle/large");
  const std::string data = velmora::test::read_file(bundle / "tensors.bin");
  const std::string expected = velmora::detail::load_json(bundle / "manifest.json")
                                   .at("tensor_file")
                                   .at("sha256")
                                   .as_string();
  ASSERT_GT(data.size(), 5u << 20);
  EXPECT_EQ(digest(data, GetParam()), expected);
  EXPECT_EQ(digest(data, GetParam(), 13), expected);
}

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256Engines, testing::Values(true, false), [](const auto& info) {
  return info.param ? "CpuExtensions" : "Portable";
});

} // namespace
