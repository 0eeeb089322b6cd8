// The neural tokenizer of a fixture bundle over any text: well-formed UTF-8
// comes back as a document whose tokens lie inside the text, whatever the
// labels; ill-formed UTF-8 is refused when the document is made.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <velmora/document.hpp>
#include <velmora/tokenizer.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const velmora::TokenizerPlan plan(
      std::filesystem::path(VELMORA_FIXTURE_DIR) / "tokenizer" / "mwt_gated", false);
  // Long inputs only repeat the windows that short ones already cover.
  if (size > 4096) {
    return 0;
  }
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    velmora::Document document(text);
    const velmora::Document result = plan.process(document);
    const std::uint64_t length = result.storage()->text.codepoint_count();
    const velmora::TokenSequence tokens = result.tokens();
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      const velmora::Token token = tokens.at(static_cast<std::int64_t>(t));
      const auto start = token.start_char();
      const auto end = token.end_char();
      if (!start || !end || *start > *end || *end > length || token.text().empty()) {
        std::abort();
      }
    }
    (void)result.to_conll();
    // The batched path may round differently; it must only come through.
    (void)plan.process_bulk({document});
  } catch (const std::invalid_argument&) {
    // Ill-formed UTF-8: no document.
  }
  return 0;
}
