#include <velmora/pipeline.hpp>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <unordered_set>

#include <velmora/model_index.hpp>
#include <velmora/processors.hpp>

#include "encoders/bulk_slices.hpp"
#include "pipeline/pipeline_call.hpp"

namespace velmora {

Pipeline::Pipeline(std::string lang, std::vector<std::string> processors, std::string package,
                   std::optional<std::filesystem::path> model_dir, std::string resources_version,
                   bool verify_checksums, std::vector<std::string> langid_lang_subset)
    : Pipeline(std::move(lang), std::move(processors), std::move(package), {}, false,
               std::move(model_dir), std::move(resources_version), verify_checksums,
               std::move(langid_lang_subset)) {}

Pipeline::Pipeline(std::string lang, std::vector<std::string> processors,
                   std::map<std::string, std::string> processor_packages,
                   std::optional<std::filesystem::path> model_dir, std::string resources_version,
                   bool verify_checksums, std::vector<std::string> langid_lang_subset)
    : Pipeline(std::move(lang), std::move(processors), "default", std::move(processor_packages),
               true, std::move(model_dir), std::move(resources_version), verify_checksums,
               std::move(langid_lang_subset)) {}

Pipeline::Pipeline(std::string lang, std::vector<std::string> processors, std::string package,
                   std::map<std::string, std::string> processor_packages, bool package_is_mapping,
                   std::optional<std::filesystem::path> model_dir, std::string resources_version,
                   bool verify_checksums, std::vector<std::string> langid_lang_subset)
    : language_(std::move(lang)), package_(std::move(package)),
      processor_packages_(std::move(processor_packages)), package_is_mapping_(package_is_mapping),
      model_dir_(std::move(model_dir)), resources_version_(std::move(resources_version)) {
  if (language_.empty()) {
    throw std::invalid_argument("a pipeline language is required");
  }
  if (package_.empty()) {
    throw std::invalid_argument("a pipeline package cannot be empty");
  }
  if (resources_version_.empty()) {
    throw std::invalid_argument("a pipeline resources version cannot be empty");
  }
  processors_.reserve(processors.size());

  std::unordered_set<std::string> requested;
  for (const std::string& name : processors) {
    if (!requested.insert(name).second) {
      throw std::invalid_argument("a processor may only appear once in a pipeline: '" + name + "'");
    }
  }
  for (const auto& [key, value] : processor_packages_) {
    if (!requested.contains(key)) {
      throw std::invalid_argument("package was specified for unrequested processor: '" + key + "'");
    }
    if (value.empty()) {
      throw std::invalid_argument("package for processor '" + key + "' cannot be empty");
    }
  }

  for (const std::string& name : processors) {
    if (model_dir_ && detail::is_registered_processor(name)) {
      std::filesystem::path bundle =
          resolve_model_bundle(*model_dir_, resources_version_, language_, name, package_for(name));
      processors_.push_back(detail::make_processor_from_bundle(
          name, std::move(bundle), verify_checksums, langid_lang_subset));
    } else {
      processors_.push_back(make_processor(name));
    }
  }
  validate_requirements();
  if (const auto shared = detail::stages_sharing_backward_charlm(processors_)) {
    shared_stages_.emplace(shared->first, shared->last);
  }
}

const std::string& Pipeline::package_for(const std::string& processor) const {
  auto found = processor_packages_.find(processor);
  return found == processor_packages_.end() ? package_ : found->second;
}

void Pipeline::validate_requirements() const {
  std::unordered_set<std::string> provided;
  for (const auto& processor : processors_) {
    std::vector<std::string> missing;
    for (const std::string& requirement : processor->requirements()) {
      if (!provided.contains(requirement)) {
        missing.push_back(requirement);
      }
    }
    if (!missing.empty()) {
      std::string message = "processor '" + processor->name() + "' is missing requirements: ";
      for (std::size_t i = 0; i < missing.size(); ++i) {
        message += (i == 0 ? "" : ", ") + missing[i];
      }
      throw ProcessorRequirementsError(message);
    }
    provided.insert(processor->provides().begin(), processor->provides().end());
  }
}

Document Pipeline::process(std::string text) const {
  return process(Document(std::move(text)));
}

Document Pipeline::process(Document document) const {
  const detail::BulkCallScope call_scope;
  detail::PipelineCall call(shared_stages_.has_value());
  for (const auto& processor : processors_) {
    document = processor->process_in_call(std::move(document), call);
  }
  return document;
}

std::vector<Document> Pipeline::process_bulk(std::vector<std::string> texts) const {
  std::vector<Document> documents;
  documents.reserve(texts.size());
  for (std::string& text : texts) {
    documents.emplace_back(std::move(text));
  }
  return process_bulk(std::move(documents));
}

std::vector<Document> Pipeline::process_bulk(std::vector<Document> documents) const {
  const detail::BulkCallScope call_scope;
  detail::PipelineCall call(shared_stages_.has_value());
  for (std::size_t stage = 0; stage < processors_.size(); ++stage) {
    // Between stages; the call's end releases after the last.
    if (stage > 0) {
      detail::end_bulk_stage();
    }
    if (shared_stages_ && stage == shared_stages_->first) {
      std::vector<std::size_t> words;
      words.reserve(documents.size());
      for (const Document& document : documents) {
        words.push_back(document.words().size());
      }
      const std::vector<detail::BatchRange> slices = detail::plan_bulk_slices(words);
      if (slices.size() > 1) {
        // The rows the tagger leaves for the parser live for one slice of
        // the documents; each slice goes through the stages between them
        // before the next starts.
        for (const detail::BatchRange& slice : slices) {
          const auto begin = documents.begin() + static_cast<std::ptrdiff_t>(slice.begin);
          const auto end = documents.begin() + static_cast<std::ptrdiff_t>(slice.end);
          std::vector<Document> part(std::make_move_iterator(begin), std::make_move_iterator(end));
          for (std::size_t shared = stage; shared <= shared_stages_->second; ++shared) {
            part = processors_[shared]->process_bulk_in_call(std::move(part), call);
          }
          std::move(part.begin(), part.end(), begin);
        }
        stage = shared_stages_->second;
        continue;
      }
    }
    documents = processors_[stage]->process_bulk_in_call(std::move(documents), call);
  }
  return documents;
}

} // namespace velmora
