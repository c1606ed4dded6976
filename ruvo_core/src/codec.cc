#include "ruvo_core/src/codec.h"

#include <algorithm>
#include <cstdio>

namespace ruvo::bincode {

namespace {

struct CodeRange {
  uint32_t first;
  uint32_t last;
};

#include "ruvo_core/src/debug_escape_table.inc"

bool must_escape(uint32_t cp) {
  const auto* end = std::end(kEscapedRanges);
  // First range whose last code point is >= cp.
  const auto* it = std::lower_bound(std::begin(kEscapedRanges), end, cp,
                                    [](const CodeRange& r, uint32_t c) { return r.last < c; });
  return it != end && it->first <= cp;
}

bool is_cont(uint8_t b) { return (b & 0xC0) == 0x80; }

// Decodes one code point of well-formed UTF-8 at s[i]; a malformed sequence
// yields U+FFFD for its first byte. Advances i.
uint32_t next_code_point(std::string_view s, size_t& i) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  uint8_t b0 = p[i];
  if (b0 < 0x80) { ++i; return b0; }
  size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
  if (len != 0 && i + len <= n && !check_utf8(s.substr(i, len))) {
    uint32_t cp = b0 & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    i += len;
    return cp;
  }
  ++i;
  return 0xFFFD;
}

void append_unicode_escape(std::string& out, uint32_t cp) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
  out.append(buf, static_cast<size_t>(n));
}

void append_code_point(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

Error Error::invalid_variant(uint64_t index, uint64_t n) {
  return Error{Kind::kCustom, 0, std::nullopt,
               "invalid value: integer `" + std::to_string(index) +
                   "`, expected variant index 0 <= i < " + std::to_string(n)};
}

std::string Error::debug() const {
  switch (kind) {
    case Kind::kEof:
      return "Io(Kind(UnexpectedEof))";
    case Kind::kEofBytes:
      return "Io(Custom { kind: UnexpectedEof, error: \"\" })";
    case Kind::kInvalidUtf8: {
      std::string s = "InvalidUtf8Encoding(Utf8Error { valid_up_to: " + std::to_string(value) +
                      ", error_len: ";
      s += error_len ? "Some(" + std::to_string(*error_len) + ")" : std::string("None");
      s += " })";
      return s;
    }
    case Kind::kInvalidBool:
      return "InvalidBoolEncoding(" + std::to_string(value) + ")";
    case Kind::kInvalidTag:
      return "InvalidTagEncoding(" + std::to_string(value) + ")";
    case Kind::kCustom:
      return "Custom(" + debug_str(message) + ")";
  }
  return "Custom(\"unknown error\")";
}

std::string debug_str(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp = next_code_point(s, i);
    switch (cp) {
      case '\0': out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      default: break;
    }
    if (cp >= 0x20 && cp < 0x7F) {
      out.push_back(static_cast<char>(cp));
    } else if (must_escape(cp)) {
      append_unicode_escape(out, cp);
    } else {
      append_code_point(out, cp);
    }
  }
  out.push_back('"');
  return out;
}

std::optional<Error> check_utf8(std::string_view bytes) {
  const auto* v = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t len = bytes.size();
  size_t index = 0;
  auto fail = [](size_t valid_up_to, std::optional<uint64_t> error_len) {
    return Error{Error::Kind::kInvalidUtf8, valid_up_to, error_len, {}};
  };
  while (index < len) {
    const size_t start = index;
    const uint8_t first = v[index];
    if (first < 0x80) {
      ++index;
      continue;
    }
    // Width by the first byte; C0, C1 and F5..FF never start a sequence.
    const int width = (first >= 0xC2 && first <= 0xDF)   ? 2
                      : (first >= 0xE0 && first <= 0xEF) ? 3
                      : (first >= 0xF0 && first <= 0xF4) ? 4
                                                         : 0;
    if (width == 0) return fail(start, 1);
    // The second byte's range depends on the first (no overlongs, no
    // surrogates, nothing above U+10FFFF).
    if (index + 1 >= len) return fail(start, std::nullopt);
    const uint8_t second = v[index + 1];
    uint8_t lo = 0x80, hi = 0xBF;
    if (first == 0xE0) lo = 0xA0;
    else if (first == 0xED) hi = 0x9F;
    else if (first == 0xF0) lo = 0x90;
    else if (first == 0xF4) hi = 0x8F;
    if (second < lo || second > hi) return fail(start, 1);
    for (int k = 2; k < width; ++k) {
      if (index + k >= len) return fail(start, std::nullopt);
      if (!is_cont(v[index + k])) return fail(start, static_cast<uint64_t>(k));
    }
    index += static_cast<size_t>(width);
  }
  return std::nullopt;
}

}  // namespace ruvo::bincode
