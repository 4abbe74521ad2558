// The document reader: UTF-8 bytes straight to host objects, with the results and the errors
// of json.loads on the decoded text, without building the decoded text first.
//
// The text is only decoded when something goes wrong: an error position is counted in code
// points of the decoded text, and a file that does not decode must raise UnicodeDecodeError
// whatever else is wrong with it, because json.load decodes the whole file before it parses.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "host/collector.h"
#include "host/compat.h"
#include "host/files.h"
#include "json/document.h"

namespace vornik::json {
namespace {

using host::Ref;

constexpr char kExpectingValue[] = "Expecting value";
constexpr char kExpectingName[] = "Expecting property name enclosed in double quotes";
constexpr char kExpectingColon[] = "Expecting ':' delimiter";
constexpr char kExpectingComma[] = "Expecting ',' delimiter";
constexpr char kTrailingCommaObject[] = "Illegal trailing comma before end of object";
constexpr char kTrailingCommaArray[] = "Illegal trailing comma before end of array";
constexpr char kUnterminated[] = "Unterminated string starting at";
constexpr char kControlCharacter[] = "Invalid control character at";
constexpr char kInvalidEscape[] = "Invalid \\escape";
constexpr char kInvalidUnicodeEscape[] = "Invalid \\uXXXX escape";
constexpr char kExtraData[] = "Extra data";
constexpr char kByteOrderMark[] = "Unexpected UTF-8 BOM (decode using utf-8-sig)";

constexpr char kObjectDepth[] = " while decoding a JSON object from a unicode string";
constexpr char kArrayDepth[] = " while decoding a JSON array from a unicode string";

// A JSON error found while parsing. It stays a C++ value until the parse has unwound, because
// turning it into the host exception needs the decoded text, which only then gets built.
struct SyntaxError {
  const char* message;
  size_t offset;  // in bytes of the undecoded text
};

inline bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}
inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

inline const char* skip_space(const char* p, const char* end) {
  while (p < end && is_space(*p)) ++p;
  return p;
}

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// Flags (in its high bit) the lowest byte of `word` that is below `bound`; bytes above a
// flagged one may be flagged falsely, which is harmless when only the lowest flag is read.
inline uint64_t bytes_below(uint64_t word, uint64_t bound) {
  return (word - kOnes * bound) & ~word & kHighBits;
}

inline bool is_special(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

// The first byte from `p` on that ends a run of string content that can be copied as it is: a
// quote, a backslash, a control character or a byte of a multi-byte sequence. Strings are most
// of a notebook (sources, base64 images), so this loop is where the reader spends its time.
inline const char* find_special(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed comparison: bytes from 0x80 on are negative, so they count as below 0x20 too.
    __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                     _mm_cmplt_epi8(block, space));
    int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      uint64_t hits = bytes_below(word ^ (kOnes * '"'), 1) | bytes_below(word ^ (kOnes * '\\'), 1) |
                      bytes_below(word, 0x20) | (word & kHighBits);
      if (hits != 0) return p + std::countr_zero(hits) / 8;
      p += 8;
    }
  }
  while (p < end && !is_special(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// Decodes the multi-byte sequence at `p` as the host's strict UTF-8 codec accepts it (no
// overlong forms, no encoded surrogates, nothing above U+10FFFF); its length, or 0 if invalid.
inline int decode_sequence(const unsigned char* p, const unsigned char* end, Py_UCS4& out) {
  const unsigned lead = p[0];
  const auto continuation = [](unsigned c) { return (c & 0xC0) == 0x80; };
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) {
    if (end - p < 2 || !continuation(p[1])) return 0;
    out = ((lead & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (lead < 0xF0) {
    if (end - p < 3) return 0;
    const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : 0xBF;
    if (p[1] < low || p[1] > high || !continuation(p[2])) return 0;
    out = ((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    return 3;
  }
  if (lead < 0xF5) {
    if (end - p < 4) return 0;
    const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high || !continuation(p[2]) || !continuation(p[3])) return 0;
    out = ((lead & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    return 4;
  }
  return 0;
}

// The value of four hex digits, or -1.
inline int32_t hex4(const char* p) {
  int32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = p[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return -1;
    }
    value = (value << 4) | digit;
  }
  return value;
}

Ref ascii_str(const char* text, size_t size) {
  Ref str = host::check(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
  std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text, size);
  return str;
}

// Collects the code points of a string that needs unescaping or decoding, in one byte each as
// long as they fit, so that the common case (ASCII with a few escapes) never widens.
class TextBuilder {
 public:
  void clear() {
    narrow_.clear();
    wide_.clear();
    is_wide_ = false;
    narrow_bits_ = 0;
    wide_max_ = 0;
  }

  void append_ascii(const char* text, size_t size) {
    if (!is_wide_) {
      narrow_.append(text, size);
    } else {
      wide_.insert(wide_.end(), reinterpret_cast<const unsigned char*>(text),
                   reinterpret_cast<const unsigned char*>(text) + size);
    }
  }

  void append(Py_UCS4 c) {
    if (!is_wide_) {
      if (c < 0x100) {
        narrow_.push_back(static_cast<char>(c));
        narrow_bits_ |= c;
        return;
      }
      widen();
    }
    wide_.push_back(c);
    wide_max_ = std::max(wide_max_, c);
  }

  Ref finish() const {
    if (!is_wide_) {
      Ref str = host::check(PyUnicode_New(static_cast<Py_ssize_t>(narrow_.size()),
                                          narrow_bits_ < 0x80 ? 0x7F : 0xFF));
      std::memcpy(PyUnicode_1BYTE_DATA(str.get()), narrow_.data(), narrow_.size());
      return str;
    }
    Ref str = host::check(PyUnicode_New(static_cast<Py_ssize_t>(wide_.size()), wide_max_));
    if (wide_max_ < 0x10000) {
      std::copy(wide_.begin(), wide_.end(), PyUnicode_2BYTE_DATA(str.get()));
    } else {
      std::copy(wide_.begin(), wide_.end(), PyUnicode_4BYTE_DATA(str.get()));
    }
    return str;
  }

 private:
  void widen() {
    wide_.assign(reinterpret_cast<const unsigned char*>(narrow_.data()),
                 reinterpret_cast<const unsigned char*>(narrow_.data()) + narrow_.size());
    wide_max_ = narrow_bits_;
    is_wide_ = true;
  }

  std::string narrow_;
  std::vector<Py_UCS4> wide_;
  bool is_wide_ = false;
  Py_UCS4 narrow_bits_ = 0;  // the bits of all narrow code points: >= 0x80 means not ASCII
  Py_UCS4 wide_max_ = 0;
};

// Object keys repeat through a notebook ("cell_type", "metadata", "source"...): each plain
// one is built once per document, and the dict insertions reuse its cached hash.
class KeyCache {
 public:
  KeyCache() = default;
  VORNIK_PINNED(KeyCache);
  ~KeyCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.str);
  }

  Ref get(const char* text, size_t size) {
    if (size > kLongest) return ascii_str(text, size);
    uint32_t hash = 2166136261U;
    for (size_t i = 0; i < size; ++i) {
      hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619U;
    }
    Slot& slot = slots_[hash % kSlots];
    if (slot.str != nullptr && slot.size == size && std::memcmp(slot.text, text, size) == 0) {
      return Ref::borrow(slot.str);
    }
    Ref str = ascii_str(text, size);
    // Interned, so that lookups with the host's own constant texts ("source", "metadata")
    // find the key by identity instead of comparing characters.
    PyObject* interned = str.release();
    PyUnicode_InternInPlace(&interned);
    str = Ref::steal(interned);
    Py_XSETREF(slot.str, str.clone().release());
    // The text stays valid while the cache lives: both belong to one parse.
    slot.text = text;
    slot.size = size;
    return str;
  }

 private:
  static constexpr size_t kSlots = 256;
  static constexpr size_t kLongest = 64;
  struct Slot {
    const char* text = nullptr;
    size_t size = 0;
    PyObject* str = nullptr;
  };
  std::array<Slot, kSlots> slots_{};
};

// An open container: a list gathers its items on the shared item stack and is built at its
// close with its final size; a dict is filled as its members arrive.
struct Frame {
  PyObject* dict;  // owned; null for a list
  PyObject* key;   // owned; the key whose value is being read
  size_t first_item;
};

class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), end_(text.data() + text.size()), p_(begin_) {}
  VORNIK_PINNED(Parser);
  ~Parser() {
    for (PyObject* item : items_) Py_DECREF(item);
    for (Frame& frame : frames_) {
      Py_XDECREF(frame.dict);
      Py_XDECREF(frame.key);
    }
  }

  Ref run() {
    if (end_ - begin_ >= 3 && std::memcmp(begin_, "\xEF\xBB\xBF", 3) == 0) {
      throw SyntaxError{kByteOrderMark, 0};
    }
    p_ = skip_space(p_, end_);
    Ref value = document();
    p_ = skip_space(p_, end_);
    if (p_ != end_) fail(kExtraData, p_);
    return value;
  }

 private:
  [[noreturn]] void fail(const char* message, const char* where) const {
    throw SyntaxError{message, static_cast<size_t>(where - begin_)};
  }

  // Nesting lives on frames_, not on the C stack, so that no depth the host's recursion limit
  // allows can overflow it.
  Ref document() {
    Ref value;
    for (;;) {
      // p_ is at the start of a value, whitespace skipped.
      if (p_ == end_) fail(kExpectingValue, p_);
      switch (*p_) {
        case '{': {
          guard_.enter(kObjectDepth);
          p_ = skip_space(p_ + 1, end_);
          Ref dict = host::check(PyDict_New());
          if (p_ < end_ && *p_ == '}') {
            ++p_;
            guard_.leave();
            value = std::move(dict);
            break;
          }
          frames_.push_back(Frame{dict.release(), nullptr, 0});
          frames_.back().key = member_key().release();
          continue;
        }
        case '[':
          guard_.enter(kArrayDepth);
          p_ = skip_space(p_ + 1, end_);
          if (p_ < end_ && *p_ == ']') {
            ++p_;
            guard_.leave();
            value = host::check(PyList_New(0));
            break;
          }
          frames_.push_back(Frame{nullptr, nullptr, items_.size()});
          continue;
        case '"':
          ++p_;
          value = string();
          break;
        default:
          value = scalar();
          break;
      }
      // A complete value: it goes into the innermost open container, and closing that may
      // complete the next one out.
      for (;;) {
        if (frames_.empty()) return value;
        Frame& frame = frames_.back();
        p_ = skip_space(p_, end_);
        if (frame.dict != nullptr) {
          host::check_status(PyDict_SetItem(frame.dict, frame.key, value.get()));
          Py_CLEAR(frame.key);
          value.reset();
          if (p_ < end_ && *p_ == '}') {
            ++p_;
            value = Ref::steal(std::exchange(frame.dict, nullptr));
            frames_.pop_back();
            guard_.leave();
            continue;
          }
          if (p_ == end_ || *p_ != ',') fail(kExpectingComma, p_);
          after_comma('}', kTrailingCommaObject);
          frame.key = member_key().release();
        } else {
          items_.push_back(value.release());
          if (p_ < end_ && *p_ == ']') {
            ++p_;
            value = close_list(frame.first_item);
            frames_.pop_back();
            guard_.leave();
            continue;
          }
          if (p_ == end_ || *p_ != ',') fail(kExpectingComma, p_);
          after_comma(']', kTrailingCommaArray);
        }
        break;
      }
    }
  }

  // Steps over the comma at p_ and the whitespace after it; where json refuses a comma right
  // before the closing bracket, so does this, at the comma.
  void after_comma(char closing, const char* message) {
    const char* comma = p_;
    p_ = skip_space(p_ + 1, end_);
    if constexpr (host::kJsonRefusesTrailingCommas) {
      if (p_ < end_ && *p_ == closing) fail(message, comma);
    }
  }

  Ref close_list(size_t first) {
    const size_t size = items_.size() - first;
    Ref list = host::check(PyList_New(static_cast<Py_ssize_t>(size)));
    for (size_t i = 0; i < size; ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items_[first + i]);
    }
    items_.resize(first);
    return list;
  }

  // Reads `"key"` and the colon after it; leaves p_ at the value.
  Ref member_key() {
    if (p_ == end_ || *p_ != '"') fail(kExpectingName, p_);
    const char* start = p_ + 1;
    const char* stop = find_special(start, end_);
    Ref key;
    if (stop < end_ && *stop == '"') {
      key = keys_.get(start, static_cast<size_t>(stop - start));
      p_ = stop + 1;
    } else {
      p_ = start;
      key = string_slow(stop);
    }
    p_ = skip_space(p_, end_);
    if (p_ == end_ || *p_ != ':') fail(kExpectingColon, p_);
    p_ = skip_space(p_ + 1, end_);
    return key;
  }

  // p_ is just past the opening quote.
  Ref string() {
    const char* start = p_;
    const char* stop = find_special(start, end_);
    if (stop < end_ && *stop == '"') {
      p_ = stop + 1;
      return ascii_str(start, static_cast<size_t>(stop - start));
    }
    return string_slow(stop);
  }

  // p_ is just past the opening quote; `stop` is the first byte that is not plain ASCII.
  Ref string_slow(const char* stop) {
    Ref str = escaped_ascii(stop);
    if (str) return str;
    return string_general(stop);
  }

  // Most strings that need more than a copy are ASCII with a few escapes of ASCII characters
  // ("\n" ending a source line): those are measured in one pass and then written straight
  // into the new str, without a scratch copy. Anything else (other text, errors) is left to
  // string_general; nothing is consumed then.
  Ref escaped_ascii(const char* stop) {
    escapes_.clear();
    const char* p = stop;
    size_t removed = 0;
    for (;;) {
      if (p == end_ || *p != '\\') {
        if (p == end_ || *p != '"') return {};
        break;
      }
      if (end_ - p < 2) return {};
      char value;
      size_t size = 2;
      switch (p[1]) {
        case '"':
          value = '"';
          break;
        case '\\':
          value = '\\';
          break;
        case '/':
          value = '/';
          break;
        case 'b':
          value = '\b';
          break;
        case 'f':
          value = '\f';
          break;
        case 'n':
          value = '\n';
          break;
        case 'r':
          value = '\r';
          break;
        case 't':
          value = '\t';
          break;
        case 'u': {
          if (end_ - p <= 6) return {};
          const int32_t code = hex4(p + 2);
          if (code < 0 || code >= 0x80) return {};
          value = static_cast<char>(code);
          size = 6;
          break;
        }
        default:
          return {};
      }
      escapes_.push_back(Escape{p, size, value});
      removed += size - 1;
      p = find_special(p + size, end_);
    }
    const char* start = p_;
    Ref str = host::check(
        PyUnicode_New(static_cast<Py_ssize_t>(static_cast<size_t>(p - start) - removed), 127));
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str.get()));
    const char* from = start;
    for (const Escape& escape : escapes_) {
      const auto run = static_cast<size_t>(escape.at - from);
      std::memcpy(out, from, run);
      out += run;
      *out++ = escape.value;
      from = escape.at + escape.size;
    }
    std::memcpy(out, from, static_cast<size_t>(p - from));
    p_ = p + 1;
    return str;
  }

  Ref string_general(const char* stop) {
    const char* quote = p_ - 1;
    text_.clear();
    text_.append_ascii(p_, static_cast<size_t>(stop - p_));
    const char* p = stop;
    for (;;) {
      if (p == end_) fail(kUnterminated, quote);
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"') break;
      if (c < 0x20) fail(kControlCharacter, p);
      if (c >= 0x80) {
        Py_UCS4 code;
        const int size = decode_sequence(reinterpret_cast<const unsigned char*>(p),
                                         reinterpret_cast<const unsigned char*>(end_), code);
        if (size == 0) raise_decode_error();
        text_.append(code);
        p += size;
      } else {
        p = escape(p, quote);
      }
      const char* next = find_special(p, end_);
      text_.append_ascii(p, static_cast<size_t>(next - p));
      p = next;
    }
    p_ = p + 1;
    return text_.finish();
  }

  // Unescapes the escape at `p` (a backslash), with json's checks in json's order; returns the
  // position after it. Positions here are bytes where json counts code points; both give the
  // same verdicts because every byte that is part of a multi-byte sequence fails as a hex digit
  // just as its code point does.
  const char* escape(const char* p, const char* quote) {
    const char* kind = p + 1;
    if (kind == end_) fail(kUnterminated, quote);
    Py_UCS4 code;
    switch (*kind) {
      case '"':
        code = '"';
        break;
      case '\\':
        code = '\\';
        break;
      case '/':
        code = '/';
        break;
      case 'b':
        code = '\b';
        break;
      case 'f':
        code = '\f';
        break;
      case 'n':
        code = '\n';
        break;
      case 'r':
        code = '\r';
        break;
      case 't':
        code = '\t';
        break;
      case 'u': {
        const char* digits = kind + 1;
        // json wants a character after the four digits, even for a string cut short there.
        if (end_ - digits <= 4) fail(kInvalidUnicodeEscape, kind);
        const int32_t value = hex4(digits);
        if (value < 0) fail(kInvalidUnicodeEscape, kind);
        const char* after = digits + 4;
        code = static_cast<Py_UCS4>(value);
        if (Py_UNICODE_IS_HIGH_SURROGATE(code) && end_ - after > 6 && after[0] == '\\' &&
            after[1] == 'u') {
          const int32_t low = hex4(after + 2);
          if (low < 0) fail(kInvalidUnicodeEscape, after + 1);
          if (Py_UNICODE_IS_LOW_SURROGATE(static_cast<Py_UCS4>(low))) {
            code = Py_UNICODE_JOIN_SURROGATES(code, static_cast<Py_UCS4>(low));
            after += 6;
          }
        }
        text_.append(code);
        return after;
      }
      default:
        fail(kInvalidEscape, p);
    }
    text_.append(code);
    return kind + 1;
  }

  // A constant or a number; p_ is at its first byte.
  Ref scalar() {
    const std::string_view rest(p_, static_cast<size_t>(end_ - p_));
    const auto take = [&](std::string_view word) {
      if (!rest.starts_with(word)) return false;
      p_ += word.size();
      return true;
    };
    switch (*p_) {
      case 'n':
      case 't':
      case 'f': {
        const std::array<std::pair<std::string_view, PyObject*>, 3> constants = {
            {{"null", Py_None}, {"true", Py_True}, {"false", Py_False}}};
        for (const auto& [word, constant] : constants) {
          if (take(word)) return Ref::borrow(constant);
        }
        break;
      }
      case 'N':
      case 'I':
      case '-': {
        constexpr std::array<std::pair<std::string_view, double>, 3> kSpecial = {
            {{"NaN", Py_NAN}, {"Infinity", Py_HUGE_VAL}, {"-Infinity", -Py_HUGE_VAL}}};
        for (const auto& [word, value] : kSpecial) {
          if (take(word)) return host::check(PyFloat_FromDouble(value));
        }
        break;
      }
      default:
        break;
    }
    return number();
  }

  // json's number grammar, including its way of leaving a '.' or an 'e' that no digit follows
  // for the caller to refuse.
  Ref number() {
    const char* start = p_;
    const char* p = start;
    const bool negative = *p == '-';
    if (negative && ++p == end_) fail(kExpectingValue, start);
    if (*p >= '1' && *p <= '9') {
      ++p;
      while (p < end_ && is_digit(*p)) ++p;
    } else if (*p == '0') {
      ++p;
    } else {
      fail(kExpectingValue, start);
    }
    const char* integer_end = p;
    bool is_float = false;
    if (end_ - p >= 2 && *p == '.' && is_digit(p[1])) {
      is_float = true;
      p += 2;
      while (p < end_ && is_digit(*p)) ++p;
    }
    if (end_ - p >= 2 && (*p == 'e' || *p == 'E')) {
      const char* mark = p++;
      if (end_ - p >= 2 && (*p == '-' || *p == '+')) ++p;
      while (p < end_ && is_digit(*p)) ++p;
      if (is_digit(p[-1])) {
        is_float = true;
      } else {
        p = mark;
      }
    }
    p_ = p;
    if (is_float) return make_float(start, p);

    const char* digits = negative ? start + 1 : start;
    if (integer_end - digits <= 18) {
      int64_t value = 0;
      for (const char* d = digits; d < integer_end; ++d) value = value * 10 + (*d - '0');
      return host::check(PyLong_FromLongLong(negative ? -value : value));
    }
    // The host's own conversion, so that its limit on digits applies as it does for json.
    std::string copy(start, integer_end);
    return host::check(PyLong_FromString(copy.c_str(), nullptr, 10));
  }

  static Ref make_float(const char* start, const char* stop) {
    double value = 0.0;
    // from_chars rounds correctly but reports overflow and underflow without a value; the
    // host's own conversion gives those the values float() gives them.
    auto [rest, error] = std::from_chars(start, stop, value, std::chars_format::general);
    if (error != std::errc() || rest != stop) {
      std::string copy(start, stop);
      value = PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
      if (value == -1.0 && PyErr_Occurred()) host::throw_error_set();
    }
    return host::check(PyFloat_FromDouble(value));
  }

  // The text is not UTF-8: the codec's own error, as decoding the file would raise it.
  [[noreturn]] void raise_decode_error() const {
    Ref decoded =
        host::check(PyUnicode_DecodeUTF8(begin_, static_cast<Py_ssize_t>(end_ - begin_), "strict"));
    host::raise(PyExc_SystemError, "the reader and the UTF-8 codec disagree on the text");
  }

  const char* begin_;
  const char* end_;
  const char* p_;
  std::vector<PyObject*> items_;  // owned
  std::vector<Frame> frames_;
  struct Escape {
    const char* at;
    size_t size;
    char value;
  };
  std::vector<Escape> escapes_;
  TextBuilder text_;
  KeyCache keys_;
  host::RecursionGuard guard_;
};

Ref decode(std::string_view text) {
  return host::check(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

[[noreturn]] void raise_syntax_error(std::string_view text, bool text_mode, SyntaxError error) {
  Ref doc = decode(text);
  std::string translated;
  if (text_mode && text.find('\r') != std::string_view::npos) {
    // Newline translation changes no value, as a raw CR or LF can only be whitespace, but it
    // moves the error and changes the text json reports; the error is found again on the text
    // json would have seen.
    translated = host::text_mode_newlines(text);
    try {
      Parser(translated).run();
    } catch (const SyntaxError& again) {
      error = again;
      text = translated;
      doc = decode(text);
    }
  }
  const std::string_view before = text.substr(0, error.offset);
  const auto position = std::count_if(before.begin(), before.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  });
  Ref decoder = host::import("json.decoder");
  Ref error_type = host::getattr(decoder, "JSONDecodeError");
  Ref message = host::check(PyUnicode_FromString(error.message));
  Ref pos = host::check(PyLong_FromSsize_t(position));
  Ref exception = host::call(error_type, message, doc, pos);
  PyErr_SetObject(error_type.get(), exception.get());
  host::throw_error_set();
}

// json.load decodes the whole file before it parses: when the text is not UTF-8, that error
// is the one raised, whatever the parse ran into first.
void prefer_decode_error(std::string_view text) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* doc = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  if (doc == nullptr) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  Py_DECREF(doc);
  PyErr_Restore(type, value, traceback);
}

}  // namespace

host::Ref parse(std::string_view text, bool text_mode) {
  try {
    host::CollectorPause pause;
    return Parser(text).run();
  } catch (const SyntaxError& error) {
    raise_syntax_error(text, text_mode, error);
  } catch (const host::ErrorAlreadySet&) {
    prefer_decode_error(text);
    throw;
  }
}

}  // namespace vornik::json
