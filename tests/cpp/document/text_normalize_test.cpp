#include <algorithm>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "text_python_peer.hpp"
#include "velmora/text.hpp"

namespace velmora {
namespace {

using detail::unicode_nfkc_casefold_nfc;

TEST(TextNormalize, CompatibilityFormsFoldToPlainLetters) {
  EXPECT_EQ(unicode_nfkc_casefold_nfc("\xEF\xBC\xA6\xEF\xBD\x95\xEF\xBD\x8C\xEF\xBD\x8C"), "full");
  EXPECT_EQ(unicode_nfkc_casefold_nfc("\xEF\xAC\x81"), "fi");
  EXPECT_EQ(unicode_nfkc_casefold_nfc("Stra\xC3\x9F"
                                      "e"),
            "strasse");
  EXPECT_EQ(unicode_nfkc_casefold_nfc(""), "");
  // Folding U+0390 gives U+03B9 U+0308 U+0301, which NFC composes back.
  EXPECT_EQ(unicode_nfkc_casefold_nfc("\xCE\x90"), "\xCE\x90");
}

constexpr const char* kNormalizePeer = R"PY(
import random, sys, unicodedata
assigned = [chr(cp) for cp in range(0x110000)
            if unicodedata.category(chr(cp)) not in ("Cn", "Cs")]
marks = [c for c in assigned if unicodedata.category(c) == "Mn"][:400]
rng = random.Random(11)
def expected(s):
    return unicodedata.normalize("NFC", unicodedata.normalize("NFKC", s).casefold())
cases = list(assigned)
for _ in range(30000):
    cases.append("".join(rng.choice(assigned if rng.random() < 0.7 else marks)
                         for _ in range(rng.randint(1, 8))))
with open(sys.argv[1], "w") as out:
    for s in cases:
        out.write(f"{s.encode().hex()} {expected(s).encode().hex()}\n")
)PY";

TEST(TextNormalize, MatchesPythonUnicodedata) {
  VELMORA_REQUIRE_PYTHON_UNICODE15(python);
  const auto lines = test::run_peer(python, kNormalizePeer);
  ASSERT_GT(lines.size(), 150000u);
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string input, expected;
    fields >> input >> expected;
    ASSERT_EQ(unicode_nfkc_casefold_nfc(test::from_hex(input)), test::from_hex(expected)) << input;
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// The process's data segment in bytes.
rlim_t data_size() {
  std::ifstream status("/proc/self/status");
  std::string field;
  while (status >> field) {
    if (field == "VmData:") {
      rlim_t kilobytes = 0;
      status >> kilobytes;
      return kilobytes << 10;
    }
  }
  return 0;
}

// Memory ICU cannot get ends as the standard allocation failure: the UTF-16
// copy of a 64 MB text does not fit in the 32 MB left to the process. (The
// sanitizer's allocator aborts on a refused allocation instead.)
TEST(TextNormalize, MemoryItCannotGetIsAnAllocationFailure) {
  const std::string text(std::size_t{64} << 20, 'a');
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_DATA, &before), 0);
  const rlim_t used = data_size();
  ASSERT_GT(used, 0u);
  rlimit bounded = before;
  bounded.rlim_cur = std::min(before.rlim_max, used + (rlim_t{32} << 20));
  ASSERT_EQ(setrlimit(RLIMIT_DATA, &bounded), 0);
  EXPECT_THROW(unicode_nfkc_casefold_nfc(text), std::bad_alloc);
  setrlimit(RLIMIT_DATA, &before);
  EXPECT_EQ(unicode_nfkc_casefold_nfc("Ab"), "ab");
}
#endif

} // namespace
} // namespace velmora
