// Record codec: the bincode 1.x default layout.
//
// Layout: little-endian fixed-width integers, u64 length before every string
// and list, u32 variant index for every enum, one tag byte (0/1) for an
// optional value, f64 as its 8 IEEE-754 bytes (bit for bit), struct fields in
// declaration order, no header.
//
// Encoding is two-pass: callers first add up the exact length with the
// size_* helpers, then write into a buffer allocated once (see encode()).
// Decoding validates every field as it is read; the first bad field ends the
// decode with an Error whose debug() text is bincode's own.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo::bincode {

// A decoding (or, in principle, encoding) failure.
struct Error {
  enum class Kind : uint8_t {
    kEof,                 // fixed-width field or length cut: Io(Kind(UnexpectedEof))
    kEofBytes,            // a string's announced bytes missing:
                          //   Io(Custom { kind: UnexpectedEof, error: "" })
    kInvalidUtf8,         // InvalidUtf8Encoding(Utf8Error { valid_up_to, error_len })
    kInvalidBool,         // InvalidBoolEncoding(byte)
    kInvalidTag,          // InvalidTagEncoding(tag)
    kCustom,              // Custom("message")
  };
  Kind kind = Kind::kEof;
  uint64_t value = 0;                  // byte / tag / valid_up_to
  std::optional<uint64_t> error_len;   // kInvalidUtf8 only
  std::string message;                 // kCustom only

  static Error eof() { return Error{Kind::kEof, 0, std::nullopt, {}}; }
  static Error eof_bytes() { return Error{Kind::kEofBytes, 0, std::nullopt, {}}; }
  // "invalid value: integer `<index>`, expected variant index 0 <= i < <n>"
  static Error invalid_variant(uint64_t index, uint64_t n);

  // bincode's Debug rendering, e.g. Io(Kind(UnexpectedEof)),
  // InvalidBoolEncoding(2), Custom("invalid value: ...").
  std::string debug() const;

  bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// Rust's Debug rendering of a string: double quotes, with quotes,
// backslashes and control characters escaped.
std::string debug_str(std::string_view s);

// Checks UTF-8 validity the way Rust's str::from_utf8 does and reports the
// same Utf8Error fields on failure.
std::optional<Error> check_utf8(std::string_view bytes);

// ---- Sizes (first pass) ----
inline constexpr size_t kU32 = 4, kU64 = 8, kF64 = 8, kBool = 1, kTag = 1;
inline size_t size_str(std::string_view s) { return 8 + s.size(); }

// Copies n bytes. Names in records are mostly a few bytes long, where a
// call into the library's memcpy costs more than the copy; this does them
// inline with (possibly overlapping) word moves, never touching a byte
// outside [dst, dst + n) or [src, src + n).
inline void copy_bytes(char* dst, const char* src, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  } else {
    std::memcpy(dst, src, n);
  }
}

// ---- Writer (second pass) ----
// Writes into a buffer that the caller sized exactly. REQUIRES: the sum of
// all writes equals the buffer size.
class Writer {
 public:
  explicit Writer(char* out) : p_(out) {}
  void u8(uint8_t v) { *p_++ = static_cast<char>(v); }
  void u32(uint32_t v) { put(v); }
  void u64(uint64_t v) { put(v); }
  void i64(int64_t v) { put(static_cast<uint64_t>(v)); }
  void f64(double v) { uint64_t b; std::memcpy(&b, &v, 8); put(b); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void bytes(std::string_view s) { copy_bytes(p_, s.data(), s.size()); p_ += s.size(); }
  void str(std::string_view s) { u64(s.size()); bytes(s); }
  char* pos() const { return p_; }

 private:
  template <class U>
  void put(U v) {
    // One store: a byte-wise loop through char* would force a reload of p_
    // after every byte (char stores may alias the member).
    if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
    std::memcpy(p_, &v, sizeof(U));
    p_ += sizeof(U);
  }
  char* p_;
};

// Encodes a value with the two passes: `size` gives the exact length,
// `write` writes it. Allocates once.
template <class SizeFn, class WriteFn>
std::string encode_with(SizeFn size, WriteFn write) {
  std::string out;
  // Not resize_and_overwrite: libstdc++ 12 gets the final size wrong when
  // growing an empty string past its inline capacity.
  out.resize(size());
  Writer w(out.data());
  write(w);
  return out;
}

// ---- Reader ----
// Consumes a byte slice field by field. The slice must outlive the reader.
// Bytes left after a complete record are ignored by the callers.
class Reader {
 public:
  explicit Reader(std::string_view in) : p_(in.data()), n_(in.size()) {}

  Result<uint8_t> u8() {
    if (n_ < 1) [[unlikely]] return eof_error();
    uint8_t v = static_cast<uint8_t>(*p_);
    ++p_; --n_;
    return v;
  }
  Result<uint32_t> u32() { return get<uint32_t>(); }
  Result<uint64_t> u64() { return get<uint64_t>(); }
  Result<int64_t> i64() {
    if (n_ < 8) [[unlikely]] return eof_error();
    return static_cast<int64_t>(take<uint64_t>());
  }
  Result<double> f64() {
    if (n_ < 8) [[unlikely]] return eof_error();
    return std::bit_cast<double>(take<uint64_t>());
  }
  Result<bool> boolean() {
    if (n_ < 1) [[unlikely]] return eof_error();
    uint8_t v = static_cast<uint8_t>(*p_);
    ++p_; --n_;
    if (v > 1) [[unlikely]] return byte_error(Error::Kind::kInvalidBool, v);
    return v == 1;
  }
  // Option tag: 0 absent, 1 present, anything else InvalidTagEncoding.
  Result<bool> option_tag() {
    if (n_ < 1) [[unlikely]] return eof_error();
    uint8_t v = static_cast<uint8_t>(*p_);
    ++p_; --n_;
    if (v > 1) [[unlikely]] return byte_error(Error::Kind::kInvalidTag, v);
    return v == 1;
  }
  // Enum variant index, tested against the number of variants n.
  Result<uint32_t> variant(uint32_t n) {
    if (n_ < 4) [[unlikely]] return eof_error();
    uint32_t v = take<uint32_t>();
    if (v >= n) [[unlikely]] return variant_error(v, n);
    return v;
  }
  // A u64 length followed by that many bytes (no UTF-8 check).
  Result<std::string_view> byte_str() {
    if (n_ < 8) [[unlikely]] return eof_error();
    uint64_t len = take<uint64_t>();
    if (len > n_) [[unlikely]] return eof_bytes_error();
    std::string_view s(p_, static_cast<size_t>(len));
    p_ += len; n_ -= len;
    return s;
  }
  // A u64 length followed by that many UTF-8 bytes.
  Result<std::string> str() {
    std::string out;
    if (auto ok = str_into(out); !ok) [[unlikely]] return std::unexpected(std::move(ok).error());
    return out;
  }
  // As str(), but assigns into `out` without temporaries. On failure `out`
  // is left unchanged.
  [[gnu::always_inline]] Result<void> str_into(std::string& out) {
    if (n_ < 8) [[unlikely]] return eof_error();
    uint64_t len = take<uint64_t>();
    if (len > n_) [[unlikely]] return eof_bytes_error();
    const size_t n = static_cast<size_t>(len);
    if (!is_ascii(p_, n) && !is_utf8(std::string_view(p_, n))) [[unlikely]] {
      return utf8_error(std::string_view(p_, n));
    }
    const char* src = p_;
    out.resize(n);
    copy_bytes(out.data(), src, n);
    p_ += n; n_ -= n;
    return {};
  }
  // A u64 element count. Returns the count and the capacity that may be
  // reserved for it: never more than 1 MiB worth of elements of
  // `elem_size` bytes in advance.
  Result<uint64_t> count() { return u64(); }
  static size_t cautious(uint64_t count, size_t elem_size) {
    size_t cap = (1u << 20) / (elem_size ? elem_size : 1);
    return count < cap ? static_cast<size_t>(count) : cap;
  }

  size_t remaining() const { return n_; }

  // Unchecked reads for hot loops that test remaining() themselves.
  // REQUIRES: remaining() >= 4 (take_u32) or 8 (take_u64).
  uint32_t take_u32() { return take<uint32_t>(); }
  uint64_t take_u64() { return take<uint64_t>(); }

  // Error paths stay out of line so that the success paths inline small.
  [[gnu::cold, gnu::noinline]] static std::unexpected<Error> eof_error() {
    return std::unexpected(Error::eof());
  }
  [[gnu::cold, gnu::noinline]] static std::unexpected<Error> eof_bytes_error() {
    return std::unexpected(Error::eof_bytes());
  }
  [[gnu::cold, gnu::noinline]] static std::unexpected<Error> byte_error(Error::Kind k, uint8_t v) {
    return std::unexpected(Error{k, v, std::nullopt, {}});
  }
  [[gnu::cold, gnu::noinline]] static std::unexpected<Error> variant_error(uint32_t v, uint32_t n) {
    return std::unexpected(Error::invalid_variant(v, n));
  }
  [[gnu::cold, gnu::noinline]] static std::unexpected<Error> utf8_error(std::string_view s) {
    return std::unexpected(*check_utf8(s));
  }

 private:
  static bool is_utf8(std::string_view s) { return !check_utf8(s).has_value(); }
  static bool is_ascii(const char* p, size_t n) {
    uint8_t acc = 0;
    for (size_t i = 0; i < n; ++i) acc |= static_cast<uint8_t>(p[i]);
    return acc < 0x80;
  }
  // REQUIRES: n_ >= sizeof(U).
  template <class U>
  U take() {
    U v;
    std::memcpy(&v, p_, sizeof(U));
    if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
    p_ += sizeof(U); n_ -= sizeof(U);
    return v;
  }
  template <class U>
  Result<U> get() {
    if (n_ < sizeof(U)) [[unlikely]] return eof_error();
    return take<U>();
  }
  const char* p_;
  size_t n_;
};

// Propagates a decoding error out of the enclosing function:
//   RUVO_TRY(auto x, r.u64());
#define RUVO_CONCAT_INNER(a, b) a##b
#define RUVO_CONCAT(a, b) RUVO_CONCAT_INNER(a, b)
#define RUVO_TRY_IMPL(tmp, decl, expr)              \
  auto tmp = (expr);                                \
  if (!tmp) return std::unexpected(tmp.error());    \
  decl = std::move(*tmp)
#define RUVO_TRY(decl, expr) RUVO_TRY_IMPL(RUVO_CONCAT(ruvo_try_, __LINE__), decl, expr)
// The same for steps that produce no value (Result<void>):
//   RUVO_CHECK(r.str_into(name));
#define RUVO_CHECK(expr)                                          \
  do {                                                            \
    if (auto ruvo_check_ = (expr); !ruvo_check_) [[unlikely]]     \
      return std::unexpected(std::move(ruvo_check_).error());     \
  } while (0)

// ---- Fixed-width big-endian helpers for keys and counters ----
// Whole-word loads and stores: a key holds several of these, and a
// byte-at-a-time loop is not turned into one move by the compiler.
inline uint64_t to_be(uint64_t v) { return std::endian::native == std::endian::little ? std::byteswap(v) : v; }
inline uint32_t to_be(uint32_t v) { return std::endian::native == std::endian::little ? std::byteswap(v) : v; }
// REQUIRES: p points at 8 writable bytes.
inline void store_u64_be(char* p, uint64_t v) {
  v = to_be(v);
  std::memcpy(p, &v, 8);
}
inline void put_u64_be(std::string& out, uint64_t v) {
  char b[8];
  store_u64_be(b, v);
  out.append(b, 8);
}
inline void put_u32_be(std::string& out, uint32_t v) {
  v = to_be(v);
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}
inline std::string u64_be(uint64_t v) { std::string s; put_u64_be(s, v); return s; }
// REQUIRES: p points at 8 readable bytes.
inline uint64_t get_u64_be(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return to_be(v);
}
// Returns the value when `s` is exactly 8 bytes long.
inline std::optional<uint64_t> read_u64_be(std::string_view s) {
  if (s.size() != 8) return std::nullopt;
  return get_u64_be(s.data());
}

}  // namespace ruvo::bincode
