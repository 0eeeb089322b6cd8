#include "document_from_dict.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "document/misc_spacing.hpp"

namespace velmora::python {
namespace {

// The value under `key`, or nothing when the key is missing or maps to None.
std::optional<nb::handle> lookup(nb::handle entry, const char* key) {
  PyObject* value = PyDict_GetItemString(entry.ptr(), key);
  if (value == nullptr || value == Py_None) {
    return std::nullopt;
  }
  return nb::handle(value);
}

bool is_placeholder(nb::handle value) {
  if (!PyUnicode_Check(value.ptr())) {
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  return text != nullptr && size == 1 && text[0] == '_';
}

std::string read_text(nb::handle entry, const char* key) {
  const std::optional<nb::handle> value = lookup(entry, key);
  return value ? convert_str(*value, key) : std::string();
}

// "_" stands for an absent value, as in CoNLL-U.
std::optional<std::string> read_optional_string(nb::handle entry, const char* key) {
  const std::optional<nb::handle> value = lookup(entry, key);
  if (!value) {
    return std::nullopt;
  }
  std::string text = convert_str(*value, key);
  if (text == "_") {
    return std::nullopt;
  }
  return text;
}

std::optional<std::int32_t> read_head(nb::handle entry) {
  const std::optional<nb::handle> value = lookup(entry, "head");
  if (!value || is_placeholder(*value)) {
    return std::nullopt;
  }
  return convert_int32(*value, "head");
}

// Offsets are stored in 32 bits whose all-ones value means "absent", so the
// largest offset kept is one below it; anything larger would come back cut to
// its low bits or as absent.
std::optional<std::uint32_t> read_offset(nb::handle entry, const char* key) {
  const std::optional<nb::handle> value = lookup(entry, key);
  if (!value) {
    return std::nullopt;
  }
  const std::int64_t offset = convert_int64(*value, key);
  if (offset < 0) {
    throw std::invalid_argument(std::string(key) + " cannot be negative");
  }
  if (offset >= std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
    throw std::invalid_argument(std::string(key) + " is out of range");
  }
  return static_cast<std::uint32_t>(offset);
}

std::optional<bool> read_flag(nb::handle entry, const char* key) {
  const std::optional<nb::handle> value = lookup(entry, key);
  if (!value) {
    return std::nullopt;
  }
  return convert_bool(*value, key);
}

std::vector<std::string> read_list(nb::handle entry, const char* key) {
  const std::optional<nb::handle> value = lookup(entry, key);
  if (!value) {
    return {};
  }
  if (PyUnicode_Check(value->ptr())) {
    return {convert_str(*value, key)};
  }
  return convert_str_list(*value, key);
}

struct EntryId {
  std::int32_t first = 0;
  std::optional<std::int32_t> second;
};

EntryId read_id(nb::handle entry) {
  const std::optional<nb::handle> value = lookup(entry, "id");
  if (!value) {
    throw std::invalid_argument("every token entry must contain an id");
  }
  if (PyLong_Check(value->ptr())) {
    return {convert_int32(*value, "id"), std::nullopt};
  }
  const Py_ssize_t length = PyObject_Size(value->ptr());
  if (length < 0) {
    throw nb::python_error();
  }
  if (length == 0 || length > 2) {
    throw std::invalid_argument("an id must be an int or a one/two-element sequence");
  }
  const auto element = [&](Py_ssize_t index) {
    nb::object item = nb::steal(PySequence_GetItem(value->ptr(), index));
    if (!item.is_valid()) {
      throw nb::python_error();
    }
    return convert_int32(item, "id");
  };
  EntryId id{element(0), std::nullopt};
  if (length == 2) {
    id.second = element(1);
  }
  return id;
}

WordInput read_word(nb::handle entry, std::int32_t id, std::optional<std::int32_t> empty_index) {
  WordInput word;
  word.id = id;
  word.empty_index = empty_index;
  word.text = read_text(entry, "text");
  word.lemma = read_optional_string(entry, "lemma");
  word.upos = read_optional_string(entry, "upos");
  word.xpos = read_optional_string(entry, "xpos");
  word.feats = read_optional_string(entry, "feats");
  word.head = read_head(entry);
  word.deprel = read_optional_string(entry, "deprel");
  word.deps = read_optional_string(entry, "deps");
  word.misc = read_optional_string(entry, "misc");
  word.start_char = read_offset(entry, "start_char");
  word.end_char = read_offset(entry, "end_char");
  word.manual_expansion = read_flag(entry, "manual_expansion");
  word.morphemes = read_list(entry, "morphemes");
  return word;
}

TokenInput read_token(nb::handle entry, std::int32_t first, std::int32_t last) {
  TokenInput token;
  token.first_id = first;
  token.last_id = last;
  token.text = read_text(entry, "text");
  token.misc = read_optional_string(entry, "misc");
  token.ner = read_optional_string(entry, "ner");
  token.multi_ner = read_list(entry, "multi_ner");
  token.start_char = read_offset(entry, "start_char");
  token.end_char = read_offset(entry, "end_char");
  token.manual_expansion = read_flag(entry, "manual_expansion");
  token.spaces_before = read_optional_string(entry, "spaces_before").value_or("");
  token.spaces_after = read_optional_string(entry, "spaces_after").value_or(" ");
  detail::extract_spacing(token);
  return token;
}

// Whether the entry after a pair id (first, last) with last > first can be
// that multi-word token's first word. The pair also names an empty word whose
// index exceeds its id (0.1, say, the empty word the coreference resolver
// adds before a sentence's first word), which a word other than `first` or
// another pair follows. Entries that cannot be judged here keep the token
// reading and fail, if at all, where they are read.
bool may_start_token(nb::handle next, std::int32_t first) {
  if (!PyDict_Check(next.ptr())) {
    return true;
  }
  const std::optional<nb::handle> value = lookup(next, "id");
  if (!value) {
    return true;
  }
  if (PyLong_Check(value->ptr())) {
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(value->ptr(), &overflow);
    if (id == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return true;
    }
    return overflow != 0 || id == first;
  }
  return !((PyTuple_Check(value->ptr()) && PyTuple_GET_SIZE(value->ptr()) == 2) ||
           (PyList_Check(value->ptr()) && PyList_GET_SIZE(value->ptr()) == 2));
}

SentenceInput read_sentence(nb::handle sentence) {
  if (!PySequence_Check(sentence.ptr()) || PyUnicode_Check(sentence.ptr())) {
    throw std::invalid_argument("each document sentence must be a sequence");
  }
  SentenceInput record;
  // The multi-word token whose words are still being read, by position.
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t pending = kNone;
  std::int32_t pending_last = 0;
  std::vector<nb::object> entries;
  for (nb::handle entry : nb::iter(sentence)) {
    entries.push_back(nb::borrow(entry));
  }
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const nb::handle entry = entries[e];
    if (!PyDict_Check(entry.ptr())) {
      throw std::invalid_argument("each sentence entry must be a dictionary");
    }
    const EntryId id = read_id(entry);
    if (id.second && (*id.second <= id.first ||
                      (e + 1 < entries.size() && !may_start_token(entries[e + 1], id.first)))) {
      record.empty_words.push_back(read_word(entry, id.first, id.second));
    } else if (id.second) {
      record.tokens.push_back(read_token(entry, id.first, *id.second));
      pending = record.tokens.size() - 1;
      pending_last = *id.second;
    } else {
      WordInput word = read_word(entry, id.first, std::nullopt);
      if (pending != kNone && id.first <= pending_last) {
        record.tokens[pending].words.push_back(std::move(word));
        if (id.first == pending_last) {
          pending = kNone;
        }
      } else {
        TokenInput token = read_token(entry, id.first, id.first);
        word.misc = token.misc;
        token.words.push_back(std::move(word));
        record.tokens.push_back(std::move(token));
        pending = kNone;
      }
    }
  }
  return record;
}

} // namespace

Document document_from_dict(nb::handle sentences, nb::handle text) {
  std::vector<SentenceInput> records;
  const Py_ssize_t count = PyObject_Size(sentences.ptr());
  if (count < 0) {
    throw nb::python_error();
  }
  records.reserve(static_cast<std::size_t>(count));
  for (nb::handle sentence : nb::iter(sentences)) {
    records.push_back(read_sentence(sentence));
  }
  std::string document_text = text.is_none() ? std::string() : convert_str(text, "text");
  return Document(std::move(document_text), std::move(records));
}

} // namespace velmora::python
