#pragma once

#include <memory>
#include <string>
#include <vector>

#include <velmora/document.hpp>
#include <velmora/errors.hpp>

namespace velmora {

namespace detail {
class PipelineCall;
} // namespace detail

// One registry row: a pipeline stage, the stages that must run before it (in
// the order missing ones are reported), what it adds, and its group.
struct ProcessorSpec {
  std::string name;
  std::vector<std::string> requirements;
  std::vector<std::string> provides;
  std::string module;
};

// `provides` is always the one-element list of the stage's own name.
ProcessorSpec make_processor_spec(std::string name, std::vector<std::string> requirements,
                                  std::string module);

// A pipeline stage. Held through std::shared_ptr; all operations but
// set_requirements are const.
class Processor {
public:
  explicit Processor(ProcessorSpec spec);
  virtual ~Processor();

  const std::string& name() const { return spec_.name; }
  const std::vector<std::string>& requirements() const { return spec_.requirements; }
  const std::vector<std::string>& provides() const { return spec_.provides; }
  const std::string& module() const { return spec_.module; }
  void set_requirements(std::vector<std::string> requirements);

  // True exactly when the stage holds a loaded model.
  virtual bool implemented() const;
  // The base has no model: throws ProcessorNotImplementedError.
  virtual Document process(Document document) const;
  // Runs process on each document, front to back.
  virtual std::vector<Document> process_bulk(std::vector<Document> documents) const;

  // process() and process_bulk() as a stage of one pipeline call: a stage may
  // reuse what an earlier stage of the same call computed (never changing its
  // results). The base runs process() and process_bulk().
  virtual Document process_in_call(Document document, detail::PipelineCall& call) const;
  virtual std::vector<Document> process_bulk_in_call(std::vector<Document> documents,
                                                     detail::PipelineCall& call) const;

protected:
  ProcessorSpec spec_;
};

// The eleven registry rows, built afresh on every call.
std::vector<ProcessorSpec> processor_specs();

// A processor of the registered class `name`, without a model. Throws
// std::invalid_argument "unknown processor: '<name>'".
std::shared_ptr<Processor> make_processor(const std::string& name);

} // namespace velmora
