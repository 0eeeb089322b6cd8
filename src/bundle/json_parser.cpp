#include <velmora/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace velmora::detail {
namespace {

// Deep enough for any document the system reads, shallow enough that a
// crafted "[[[[..." cannot exhaust the stack of the recursive descent.
constexpr int kMaxNesting = 512;

// strtod in the "C" locale whatever the host process has set, so a decimal
// comma locale cannot change what a manifest means.
locale_t c_numeric_locale() {
  static const locale_t locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

class Parser {
public:
  explicit Parser(std::string_view text) : text_(text) {}

  JsonValue parse_document() {
    skip_whitespace();
    JsonValue value = parse_value(0);
    skip_whitespace();
    if (pos_ != text_.size()) {
      fail("unexpected trailing data");
    }
    return value;
  }

private:
  [[noreturn]] void fail(std::string_view reason) const { fail_at(reason, pos_); }

  [[noreturn]] static void fail_at(std::string_view reason, std::size_t position) {
    std::string message(reason);
    message += " at JSON byte ";
    message += std::to_string(position);
    throw JsonError(message);
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  bool next_is(char c) const { return !at_end() && peek() == c; }

  void skip_whitespace() {
    while (!at_end()) {
      char c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        return;
      }
      ++pos_;
    }
  }

  void expect(char c) {
    if (!next_is(c)) {
      fail(std::string("expected '") + c + "'");
    }
    ++pos_;
  }

  JsonValue parse_value(int depth) {
    if (at_end()) {
      fail("unexpected end of JSON");
    }
    switch (peek()) {
    case '[':
      return parse_array(depth + 1);
    case '{':
      return parse_object(depth + 1);
    case '"':
      return JsonValue(parse_string());
    case 't':
      return parse_literal("true", JsonValue(true));
    case 'f':
      return parse_literal("false", JsonValue(false));
    case 'n':
      return parse_literal("null", JsonValue());
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return parse_number();
    default:
      fail("unexpected JSON token");
    }
  }

  void check_depth(int depth) const {
    if (depth > kMaxNesting) {
      fail("JSON nesting is too deep");
    }
  }

  JsonValue parse_array(int depth) {
    check_depth(depth);
    ++pos_;
    JsonValue::Array items;
    skip_whitespace();
    if (next_is(']')) {
      ++pos_;
      return JsonValue(std::move(items));
    }
    while (true) {
      skip_whitespace();
      items.push_back(parse_value(depth));
      skip_whitespace();
      if (next_is(']')) {
        ++pos_;
        return JsonValue(std::move(items));
      }
      expect(',');
    }
  }

  JsonValue parse_object(int depth) {
    check_depth(depth);
    ++pos_;
    JsonValue::Object members;
    skip_whitespace();
    if (next_is('}')) {
      ++pos_;
      return JsonValue(std::move(members));
    }
    while (true) {
      skip_whitespace();
      if (!next_is('"')) {
        fail("expected object key");
      }
      std::string key = parse_string();
      skip_whitespace();
      expect(':');
      skip_whitespace();
      JsonValue value = parse_value(depth);
      // Bundle writers sort their keys: a key after the last one goes in at
      // the end without a search (vocabularies run to 100,000 members).
      if (!members.empty() && members.rbegin()->first < key) {
        members.emplace_hint(members.end(), std::move(key), std::move(value));
      } else if (!members.try_emplace(std::move(key), std::move(value)).second) {
        fail("duplicate object key");
      }
      skip_whitespace();
      if (next_is('}')) {
        ++pos_;
        return JsonValue(std::move(members));
      }
      expect(',');
    }
  }

  JsonValue parse_literal(std::string_view word, JsonValue value) {
    if (text_.substr(pos_, word.size()) != word) {
      fail("invalid JSON literal");
    }
    pos_ += word.size();
    return value;
  }

  bool digit_next() const { return !at_end() && peek() >= '0' && peek() <= '9'; }

  void skip_digits() {
    while (digit_next()) {
      ++pos_;
    }
  }

  JsonValue parse_number() {
    const std::size_t start = pos_;
    if (peek() == '-') {
      ++pos_;
      if (at_end()) {
        fail("truncated number");
      }
    }
    if (peek() == '0') {
      ++pos_;
      if (digit_next()) {
        fail("leading zero in number");
      }
    } else if (peek() >= '1' && peek() <= '9') {
      skip_digits();
    } else {
      fail("invalid number");
    }
    bool integral = true;
    if (next_is('.')) {
      ++pos_;
      if (!digit_next()) {
        fail("missing fractional digits");
      }
      skip_digits();
      integral = false;
    }
    if (next_is('e') || next_is('E')) {
      ++pos_;
      if (next_is('+') || next_is('-')) {
        ++pos_;
      }
      if (!digit_next()) {
        fail("missing exponent digits");
      }
      skip_digits();
      integral = false;
    }
    const std::string_view literal = text_.substr(start, pos_ - start);
    if (integral) {
      long long value = 0;
      auto [end, error] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
      if (error == std::errc() && end == literal.data() + literal.size()) {
        return JsonValue(value);
      }
    }
    // Fractions, exponents and integers beyond 64 bits.
    const std::string copy(literal);
    char* end = nullptr;
    const locale_t locale = c_numeric_locale();
    const double value = locale != static_cast<locale_t>(nullptr)
                             ? strtod_l(copy.c_str(), &end, locale)
                             : std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || std::isinf(value) || std::isnan(value)) {
      fail("invalid floating-point number");
    }
    return JsonValue(value);
  }

  // Four hex digits after "\u"; the cursor is on the first of them.
  unsigned parse_hex4() {
    if (text_.size() - pos_ < 4) {
      fail("truncated Unicode escape");
    }
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        fail("invalid Unicode escape");
      }
      value = (value << 4) | digit;
    }
    return value;
  }

  static void append_utf8(std::string& out, unsigned code_point) {
    if (code_point < 0x80) {
      out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
      out += static_cast<char>(0xC0 | (code_point >> 6));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
      out += static_cast<char>(0xE0 | (code_point >> 12));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code_point >> 18));
      out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
  }

  void parse_unicode_escape(std::string& out) {
    const unsigned unit = parse_hex4();
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      fail("unpaired low surrogate");
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (text_.size() - pos_ < 6 || text_[pos_] != '\\' || text_[pos_ + 1] != 'u') {
        fail("missing low surrogate");
      }
      pos_ += 2;
      const unsigned low = parse_hex4();
      if (low < 0xDC00 || low > 0xDFFF) {
        fail("invalid low surrogate");
      }
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      return;
    }
    append_utf8(out, unit);
  }

  std::string parse_string() {
    expect('"');
    std::string out;
    while (true) {
      // Copy the run of plain bytes in one go; most strings have no escapes.
      const std::size_t run_start = pos_;
      while (!at_end()) {
        const auto byte = static_cast<unsigned char>(peek());
        if (byte == '"' || byte == '\\' || byte < 0x20) {
          break;
        }
        ++pos_;
      }
      out.append(text_.data() + run_start, pos_ - run_start);
      if (at_end()) {
        fail("unterminated string");
      }
      const char c = text_[pos_++];
      if (c == '"') {
        return out;
      }
      if (c != '\\') {
        fail("unescaped control character in string");
      }
      if (at_end()) {
        fail("truncated string escape");
      }
      switch (text_[pos_++]) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        parse_unicode_escape(out);
        break;
      default:
        fail("invalid string escape");
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

} // namespace

JsonValue parse_json(std::string_view text) {
  return Parser(text).parse_document();
}

} // namespace velmora::detail
