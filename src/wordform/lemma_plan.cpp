// Loading a lemma bundle, and the plan's public face.

#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include <velmora/json.hpp>

#include "encoders/bulk_slices.hpp"
#include "encoders/model_call.hpp"
#include "wordform/lemma_impl.hpp"

namespace velmora {
namespace {

using detail::JsonValue;

// Absent and null both mean false.
bool optional_flag(const JsonValue& object, std::string_view key, const std::string& context) {
  const JsonValue* value = object.find(key);
  if (value == nullptr || value->is_null()) {
    return false;
  }
  return value->as_bool(context);
}

} // namespace

LemmaPlan::Impl::Impl(std::filesystem::path bundle_path, bool verify_checksums)
    : bundle(std::make_shared<ModelBundle>(bundle_path, verify_checksums)) {
  if (bundle->processor() != "lemma") {
    throw LemmaModelError("expected a lemma bundle, got '" + bundle->processor() + "'");
  }
  const JsonValue assets = detail::parse_json(bundle->assets_json());
  const JsonValue& config = assets.at("config", "assets");
  dict_only = optional_flag(config, "dict_only", "assets.config.dict_only");
  ensemble_dict = optional_flag(config, "ensemble_dict", "assets.config.ensemble_dict");
  pos = optional_flag(config, "pos", "assets.config.pos");
  // A top-level setting overrides the one of the model configuration.
  const JsonValue* top_caseless = assets.find("caseless");
  if (top_caseless != nullptr && !top_caseless->is_null()) {
    caseless = top_caseless->as_bool("assets.caseless");
  } else {
    caseless = optional_flag(config, "caseless", "assets.config.caseless");
  }

  const JsonValue::Object& tags = assets.at("pos_dict", "assets").as_object("assets.pos_dict");
  pos_dict.max_load_factor(1.0F);
  pos_dict.reserve(tags.size());
  for (const auto& [tag, entries] : tags) {
    const std::string context = "assets.pos_dict." + tag;
    Lemmas& lemmas = pos_dict[tag];
    lemmas.max_load_factor(1.0F);
    const JsonValue::Object& members = entries.as_object(context);
    lemmas.reserve(members.size());
    for (const auto& [form, lemma] : members) {
      if (!lemma.is_null()) {
        lemmas.emplace(form, lemma.as_string(context));
      }
    }
  }

  if (!dict_only) {
    seq2seq = std::make_unique<Seq2SeqPlan>(std::move(bundle_path), verify_checksums);
    if (seq2seq->uses_pos() != pos) {
      throw LemmaModelError("lemma config and seq2seq POS settings disagree");
    }
  }
}

LemmaPlan::LemmaPlan(std::filesystem::path bundle_path, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_path), verify_checksums);
  } catch (const detail::JsonError& error) {
    throw LemmaModelError(error.what());
  }
}

LemmaPlan::~LemmaPlan() = default;
LemmaPlan::LemmaPlan(LemmaPlan&& other) noexcept = default;
LemmaPlan& LemmaPlan::operator=(LemmaPlan&& other) noexcept = default;

const LemmaPlan::Impl& LemmaPlan::impl() const {
  if (!impl_) {
    throw LemmaModelError("lemma plan has been moved from");
  }
  return *impl_;
}

const ModelBundle& LemmaPlan::bundle() const {
  return *impl().bundle;
}

bool LemmaPlan::uses_pos() const {
  return impl().pos;
}

std::string LemmaPlan::lemmatize(const std::string& word,
                                 const std::optional<std::string>& upos) const {
  const Impl& plan = impl();
  return detail::model_call<LemmaModelError>([&] { return plan.lemmatize(word, upos); });
}

Document LemmaPlan::process(Document document) const {
  std::vector<Document> one;
  one.push_back(std::move(document));
  return std::move(process_bulk(std::move(one)).front());
}

std::vector<Document> LemmaPlan::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope bulk_call;
  const Impl& plan = impl();
  std::vector<WordSequence> sequences;
  sequences.reserve(documents.size());
  std::size_t total = 0;
  for (const Document& document : documents) {
    total += sequences.emplace_back(document.words()).size();
  }
  // The words in slices, written only once every word has its lemma; the
  // lemmas are reserved once for the whole call, as growing them slice by
  // slice would copy them again.
  std::vector<std::string> lemmas;
  lemmas.reserve(total);
  detail::WordCursor cursor(sequences);
  detail::model_call<LemmaModelError>([&] {
    while (!cursor.done()) {
      std::vector<std::string> texts;
      std::vector<std::optional<std::string>> tags;
      for (const Word& word : cursor.next_slice()) {
        texts.push_back(word.text());
        tags.push_back(word.upos());
      }
      std::vector<std::string> slice = plan.lemmatize_batch(texts, tags);
      std::move(slice.begin(), slice.end(), std::back_inserter(lemmas));
    }
  });
  std::size_t next = 0;
  for (const WordSequence& words : sequences) {
    for (std::uint64_t i = 0; i < words.size(); ++i) {
      words.at(static_cast<std::int64_t>(i)).set_lemma(lemmas[next++]);
    }
  }
  return documents;
}

} // namespace velmora
