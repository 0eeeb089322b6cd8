#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include "velmora/text.hpp"

namespace velmora::detail {
namespace {

[[noreturn]] void throw_icu(const char* what, UErrorCode status) {
  throw std::runtime_error(std::string(what) + u_errorName(status));
}

// ICU reports a failed allocation by leaving a string bogus or with
// U_MEMORY_ALLOCATION_ERROR; it leaves here as the standard failure.
void require_allocated(const icu::UnicodeString& text, UErrorCode status) {
  if (text.isBogus() || status == U_MEMORY_ALLOCATION_ERROR) {
    throw std::bad_alloc();
  }
}

} // namespace

std::string unicode_nfkc_casefold_nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  if (U_FAILURE(status) || nfkc == nullptr) {
    throw_icu("ICU could not initialize the NFKC normalizer: ", status);
  }
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) {
    throw_icu("ICU could not initialize the NFC normalizer: ", status);
  }
  // ICU counts in 32 bits; a longer text would be cut silently, so refuse it.
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("text is too long for Unicode normalization");
  }
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  require_allocated(source, status);
  icu::UnicodeString composed;
  nfkc->normalize(source, composed, status);
  require_allocated(composed, status);
  if (U_FAILURE(status)) {
    throw_icu("ICU NFKC normalization failed: ", status);
  }
  composed.foldCase(0);
  require_allocated(composed, status);
  icu::UnicodeString result;
  nfc->normalize(composed, result, status);
  require_allocated(result, status);
  if (U_FAILURE(status)) {
    throw_icu("ICU NFC normalization failed: ", status);
  }
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  result.toUTF8(sink);
  return out;
}

} // namespace velmora::detail
