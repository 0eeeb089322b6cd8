#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/processor.hpp>

namespace velmora {

// An ordered, validated chain of processors, each built over the bundle that
// the model directory's index names for it (or without a model when no model
// directory is given). Immutable after construction.
class Pipeline {
public:
  // One package for every processor.
  Pipeline(std::string lang, std::vector<std::string> processors, std::string package,
           std::optional<std::filesystem::path> model_dir, std::string resources_version,
           bool verify_checksums, std::vector<std::string> langid_lang_subset);
  // A package per processor; the others use "default".
  Pipeline(std::string lang, std::vector<std::string> processors,
           std::map<std::string, std::string> processor_packages,
           std::optional<std::filesystem::path> model_dir, std::string resources_version,
           bool verify_checksums, std::vector<std::string> langid_lang_subset);
  Pipeline(std::string lang, std::vector<std::string> processors, std::string package,
           std::map<std::string, std::string> processor_packages, bool package_is_mapping,
           std::optional<std::filesystem::path> model_dir, std::string resources_version,
           bool verify_checksums, std::vector<std::string> langid_lang_subset);

  const std::string& language() const { return language_; }
  const std::string& package() const { return package_; }
  const std::map<std::string, std::string>& processor_packages() const {
    return processor_packages_;
  }
  bool package_is_mapping() const { return package_is_mapping_; }
  const std::optional<std::filesystem::path>& model_dir() const { return model_dir_; }
  const std::string& resources_version() const { return resources_version_; }
  const std::vector<std::shared_ptr<Processor>>& processors() const { return processors_; }

  const std::string& package_for(const std::string& processor) const;
  // Throws ProcessorRequirementsError for the first processor whose
  // requirements are not provided by the processors before it.
  void validate_requirements() const;

  Document process(std::string text) const;
  Document process(Document document) const;
  std::vector<Document> process_bulk(std::vector<std::string> texts) const;
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

private:
  std::string language_;
  std::string package_;
  std::map<std::string, std::string> processor_packages_;
  bool package_is_mapping_;
  std::optional<std::filesystem::path> model_dir_;
  std::string resources_version_;
  std::vector<std::shared_ptr<Processor>> processors_;
  // The stages from a tagger to a parser whose backward character models
  // are the same: one run serves both within a call, and process_bulk runs
  // those stages a slice of its documents at a time (decided at load).
  std::optional<std::pair<std::size_t, std::size_t>> shared_stages_;
};

} // namespace velmora
