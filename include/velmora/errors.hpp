#pragma once

#include <stdexcept>

namespace velmora {

// Any failure to read or run a converted model bundle.
class ModelBundleError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

#define VELMORA_MODEL_ERROR(Name)                                                                  \
  class Name : public ModelBundleError {                                                           \
  public:                                                                                          \
    using ModelBundleError::ModelBundleError;                                                      \
  }

VELMORA_MODEL_ERROR(TokenizerModelError);
VELMORA_MODEL_ERROR(Seq2SeqModelError);
VELMORA_MODEL_ERROR(MWTModelError);
VELMORA_MODEL_ERROR(POSModelError);
VELMORA_MODEL_ERROR(LemmaModelError);
VELMORA_MODEL_ERROR(DepparseModelError);
VELMORA_MODEL_ERROR(NERModelError);
VELMORA_MODEL_ERROR(SentimentModelError);
VELMORA_MODEL_ERROR(ConstituencyModelError);
VELMORA_MODEL_ERROR(CorefModelError);
VELMORA_MODEL_ERROR(CharLMModelError);
VELMORA_MODEL_ERROR(LangIDModelError);
VELMORA_MODEL_ERROR(MorphSegModelError);

#undef VELMORA_MODEL_ERROR

class WordPieceError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class SubwordError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TransformerError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A processor exists in the registry but was built without a model to run.
class ProcessorNotImplementedError : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

// A pipeline's processors do not satisfy each other's requirements.
class ProcessorRequirementsError : public std::invalid_argument {
public:
  using std::invalid_argument::invalid_argument;
};

namespace detail {

// Malformed JSON text or a JSON value of the wrong shape.
class JsonError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace detail

} // namespace velmora
