// The text forms of host values, byte for byte as the host's json.dumps writes them.
// The one-line form is that of its default arguments (ASCII only, ", " and ": " separators,
// NaN allowed, circular references refused). The editor form is that of indent=1,
// sort_keys=True, ensure_ascii=False: one item per line, keys in order, every character from
// U+0020 up kept as it is (here in UTF-8). Both walks keep their own stack so that nesting
// depth costs no C stack, and enter the host's recursion accounting once per container, as
// the host's encoders do.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "host/compat.h"
#include "json/document.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vornik::json {
namespace {

using host::Handle;
using host::Ref;

constexpr const char* kRecursionWhere = " while encoding a JSON object";

// Each fresh page written costs a fault, and on a virtual machine the fault costs several times
// what filling the page does: half the time of a large document went there. A large block is
// asked to be backed by 2 MiB pages, one fault where there were 512. Only whole huge pages
// inside the block are advised, so no memory outside it is affected; where the advice is
// refused or unknown the pages are ordinary ones.
void advise_huge_pages(char* block, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr size_t kHugePage = size_t{1} << 21;
  size_t start = reinterpret_cast<uintptr_t>(block) % kHugePage;
  size_t skip = start == 0 ? 0 : kHugePage - start;
  if (size < skip + kHugePage) return;
  size_t whole = (size - skip) / kHugePage * kHugePage;
  (void)madvise(block + skip, whole, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

// A growable byte buffer, held either in C memory or directly in the host str that dumps()
// returns, which saves a second buffer of the document's size and the copy into it. Blocks up
// to 2 MiB grow by realloc, usually in place in the allocator's heap. Past that, realloc would
// move the block out of the heap into fresh ordinary pages, copying it; instead it is replaced
// once by a fresh block of at least 32 MiB, advised before anything touches it. Capacity never
// written costs no memory. A block that large is mapped on its own, so from there realloc
// remaps it rather than copying; the advice is renewed in case it did copy.
// The block is C memory on purpose: realloc remaps large blocks instead of copying them.
// NOLINTBEGIN(cppcoreguidelines-no-malloc)
class Buffer {
 public:
  enum class Storage : uint8_t { kMemory, kHostText };

  explicit Buffer(Storage storage) : storage_(storage) {}
  VORNIK_PINNED(Buffer);
  ~Buffer() {
    if (storage_ == Storage::kMemory) std::free(begin_);
  }

  // Room for at least `n` more bytes; returns where they go. Pair with commit().
  char* reserve(size_t n) {
    if (static_cast<size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  void commit(char* pos) noexcept { pos_ = pos; }

  void append(const char* text, size_t n) {
    char* at = reserve(n);
    std::memcpy(at, text, n);
    pos_ = at + n;
  }
  void put(char c) { *reserve(1) = c, ++pos_; }

  const char* data() const noexcept { return begin_; }
  // Whether a lone surrogate was written in UTF-8 form (the editor form only).
  void note_surrogate() noexcept { surrogate_ = true; }
  bool has_surrogate() const noexcept { return surrogate_; }

  size_t size() const noexcept { return static_cast<size_t>(pos_ - begin_); }

  // For Storage::kHostText: the str holding exactly what was written.
  Ref take_text() {
    Ref text = std::move(text_);
    if (!text) text = host::check(PyUnicode_New(0, 127));
    PyObject* resized = text.release();
    // Shrinking a fresh, unshared str in place; on failure it is left as it was.
    if (PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(size())) < 0) {
      Py_DECREF(resized);
      host::throw_error_set();
    }
    begin_ = pos_ = end_ = nullptr;
    return Ref::steal(resized);
  }

 private:
  static constexpr size_t kFirstBlock = size_t{1} << 16;
  static constexpr size_t kLargeBlock = size_t{1} << 21;
  static constexpr size_t kMappedBlock = size_t{1} << 25;

  void grow(size_t n) {
    size_t used = size();
    auto capacity = static_cast<size_t>(end_ - begin_);
    size_t wanted = std::max({used + n, capacity * 2, kFirstBlock});
    char* grown = nullptr;
    if (begin_ == nullptr) {
      grown = replace(wanted, 0);
    } else if (wanted <= kLargeBlock || capacity >= kMappedBlock) {
      grown = resize(wanted);
      if (wanted > kLargeBlock) advise_huge_pages(grown, wanted);
    } else {
      wanted = std::max(wanted, kMappedBlock);
      grown = replace(wanted, used);
    }
    begin_ = grown;
    pos_ = grown + used;
    end_ = grown + wanted;
  }

  char* resize(size_t wanted) {
    if (storage_ == Storage::kMemory) {
      auto* grown = static_cast<char*>(std::realloc(begin_, wanted));
      if (grown == nullptr) throw std::bad_alloc();
      return grown;
    }
    PyObject* resized = text_.release();
    int status = PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(wanted));
    text_ = Ref::steal(resized);
    host::check_status(status);
    return static_cast<char*>(PyUnicode_DATA(text_.get()));
  }

  // A new block holding the `used` bytes written so far, in place of the current one.
  char* replace(size_t wanted, size_t used) {
    char* fresh = nullptr;
    Ref fresh_text;
    if (storage_ == Storage::kMemory) {
      fresh = static_cast<char*>(std::malloc(wanted));
      if (fresh == nullptr) throw std::bad_alloc();
    } else {
      fresh_text = host::check(PyUnicode_New(static_cast<Py_ssize_t>(wanted), 127));
      fresh = static_cast<char*>(PyUnicode_DATA(fresh_text.get()));
    }
    advise_huge_pages(fresh, wanted);
    if (used > 0) std::memcpy(fresh, begin_, used);
    if (storage_ == Storage::kMemory) {
      std::free(begin_);
    } else {
      text_ = std::move(fresh_text);
    }
    return fresh;
  }

  Storage storage_;
  bool surrogate_ = false;
  Ref text_;
  char* begin_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;
};
// NOLINTEND(cppcoreguidelines-no-malloc)

constexpr char kHexDigits[] = "0123456789abcdef";

// Which characters a string keeps as they are: printable ASCII only, or (the editor form)
// everything from U+0020 up, written in UTF-8.
enum class Form : uint8_t { kAscii, kEditor };

// How each code point below 0x100 is written inside a string: itself (length 1) or its
// escape. The text is padded to 8 bytes so that it is always copied as one 8-byte move.
struct Escape {
  std::array<char, 8> text;
  uint8_t length;
};

constexpr std::array<Escape, 256> make_escapes(Form form) {
  std::array<Escape, 256> table{};
  for (int c = 0; c < 256; ++c) {
    Escape& e = table[static_cast<size_t>(c)];
    e.text = {};
    auto short_escape = [&](char letter) {
      e.text[0] = '\\';
      e.text[1] = letter;
      e.length = 2;
    };
    switch (c) {
      case '"':
        short_escape('"');
        break;
      case '\\':
        short_escape('\\');
        break;
      case '\n':
        short_escape('n');
        break;
      case '\r':
        short_escape('r');
        break;
      case '\t':
        short_escape('t');
        break;
      case '\b':
        short_escape('b');
        break;
      case '\f':
        short_escape('f');
        break;
      default:
        if (c >= 0x20 && (c < 0x7f || (form == Form::kEditor && c == 0x7f))) {
          e.text[0] = static_cast<char>(c);
          e.length = 1;
        } else if (form == Form::kEditor && c >= 0x80) {
          e.text[0] = static_cast<char>(0xc0 | (c >> 6));
          e.text[1] = static_cast<char>(0x80 | (c & 0x3f));
          e.length = 2;
        } else {
          e.text = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xf], 0, 0};
          e.length = 6;
        }
    }
  }
  return table;
}

constexpr std::array<Escape, 256> kAsciiEscapes = make_escapes(Form::kAscii);
constexpr std::array<Escape, 256> kEditorEscapes = make_escapes(Form::kEditor);

// Plain bytes (0x20..0x7e except '"' and '\\', and 0x7f in the editor form) are copied as they are,
// a block of 16 at a time: the block is stored whole and the output advanced by its plain prefix.
constexpr size_t kBlock = 16;

#if defined(__SSE2__)
using Block = __m128i;

inline Block load_block(const uint8_t* text) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
}

inline Block make_block(uint64_t low, uint64_t high) {
  return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

inline void store_block(char* at, Block block) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(at), block);
}

// 0xff in each byte of the block that is not plain.
template <Form F>
inline __m128i special_bytes(Block block) {
  // Signed comparison: bytes from 0x80 up are negative, so below 0x20 too.
  __m128i low = _mm_cmplt_epi8(block, _mm_set1_epi8(0x20));
  if constexpr (F == Form::kAscii)
    low = _mm_or_si128(low, _mm_cmpeq_epi8(block, _mm_set1_epi8(0x7f)));
  return _mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('"')),
                                        _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'))));
}

// The number of plain bytes at the start of the block.
template <Form F>
inline unsigned plain_prefix(Block block) {
  auto mask = static_cast<unsigned>(_mm_movemask_epi8(special_bytes<F>(block)));
  return mask == 0 ? 16U : static_cast<unsigned>(std::countr_zero(mask));
}

// Copies the 64 bytes at `text` if they are all plain: long strings (images, program output)
// are mostly long plain runs, and one test for four blocks halves the work on them.
template <Form F>
inline bool copy_plain_run(const uint8_t* text, char* at) {
  Block a = load_block(text);
  Block b = load_block(text + 16);
  Block c = load_block(text + 32);
  Block d = load_block(text + 48);
  __m128i special = _mm_or_si128(_mm_or_si128(special_bytes<F>(a), special_bytes<F>(b)),
                                 _mm_or_si128(special_bytes<F>(c), special_bytes<F>(d)));
  if (_mm_movemask_epi8(special) != 0) return false;
  store_block(at, a);
  store_block(at + 16, b);
  store_block(at + 32, c);
  store_block(at + 48, d);
  return true;
}

// 16 code units narrowed to bytes with saturation: every unit above 0xff becomes 0x00 or 0xff,
// both of which count as special, so the plain prefix of the result is that of the units.
inline Block narrow_block(const Py_UCS2* text) {
  return _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 8)));
}

inline Block narrow_block(const Py_UCS4* text) {
  auto load = [](const Py_UCS4* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  return _mm_packus_epi16(_mm_packs_epi32(load(text), load(text + 4)),
                          _mm_packs_epi32(load(text + 8), load(text + 12)));
}
#else
struct Block {
  uint64_t low;
  uint64_t high;
};

inline Block load_block(const uint8_t* text) {
  Block block;
  std::memcpy(&block.low, text, 8);
  std::memcpy(&block.high, text + 8, 8);
  return block;
}

inline Block make_block(uint64_t low, uint64_t high) {
  return {low, high};
}

inline void store_block(char* at, Block block) {
  std::memcpy(at, &block.low, 8);
  std::memcpy(at + 8, &block.high, 8);
}

// The same test on 8 bytes in a machine word. Borrows and carries between lanes only run
// towards higher lanes, so the lowest flagged lane is always a true one.
template <Form F>
inline unsigned plain_prefix(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  uint64_t control = (word - kOnes * 0x20) & ~word;
  uint64_t high = word;                                   // 0x80 and above
  if constexpr (F == Form::kAscii) high |= word + kOnes;  // 0x7f becomes 0x80
  uint64_t quote = word ^ (kOnes * '"');
  uint64_t backslash = word ^ (kOnes * '\\');
  uint64_t special = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash);
  uint64_t mask = (control | high | special) & kHigh;
  return mask == 0 ? 8U : static_cast<unsigned>(std::countr_zero(mask)) / 8;
}

template <Form F>
inline unsigned plain_prefix(Block block) {
  unsigned plain = plain_prefix<F>(block.low);
  return plain < 8 ? plain : 8 + plain_prefix<F>(block.high);
}
#endif

// The `length` bytes (at most 16) at `text` as the start of a block, zeros after them: a zero
// is special, so the plain prefix never runs past the text. Overlapping loads that stay within
// the text take the place of a byte loop or a call to memcpy.
inline Block load_short(const uint8_t* text, size_t length) {
  if constexpr (std::endian::native != std::endian::little) {
    uint8_t bytes[kBlock] = {};
    std::memcpy(bytes, text, length);
    return load_block(bytes);
  }
  uint64_t low = 0;
  uint64_t high = 0;
  if (length >= 8) {
    std::memcpy(&low, text, 8);
    if (length > 8) {
      uint64_t tail = 0;
      std::memcpy(&tail, text + length - 8, 8);
      high = tail >> (8 * (kBlock - length));
    }
  } else if (length >= 4) {
    uint32_t head = 0;
    uint32_t tail = 0;
    std::memcpy(&head, text, 4);
    std::memcpy(&tail, text + length - 4, 4);
    low = head | (uint64_t{tail} << (8 * (length - 4)));
  } else if (length > 0) {
    size_t middle = length / 2;
    low = text[0] | (uint64_t{text[middle]} << (8 * middle)) |
          (uint64_t{text[length - 1]} << (8 * (length - 1)));
  }
  return make_block(low, high);
}

// Characters handled per reservation: bounds the worst-case room asked for in one go.
constexpr size_t kChunk = 4096;

template <Form F>
inline char* put_escape(char* at, uint32_t c) {
  const Escape& e = F == Form::kAscii ? kAsciiEscapes[c] : kEditorEscapes[c];
  std::memcpy(at, e.text.data(), 8);
  return at + e.length;
}

inline char* put_u16(char* at, uint32_t unit) {
  at[0] = '\\';
  at[1] = 'u';
  at[2] = kHexDigits[(unit >> 12) & 0xf];
  at[3] = kHexDigits[(unit >> 8) & 0xf];
  at[4] = kHexDigits[(unit >> 4) & 0xf];
  at[5] = kHexDigits[unit & 0xf];
  return at + 6;
}

inline char* put_wide(char* at, uint32_t c) {
  if (c < 0x100) return put_escape<Form::kAscii>(at, c);
  if (c < 0x10000) return put_u16(at, c);
  c -= 0x10000;
  at = put_u16(at, 0xd800 | (c >> 10));
  return put_u16(at, 0xdc00 | (c & 0x3ff));
}

// A character of the editor form in UTF-8. A lone surrogate, which a host str may hold, is
// written in the same three-byte pattern and noted: such text has no valid UTF-8.
inline char* put_utf8(char* at, uint32_t c, bool& surrogate) {
  if (c < 0x100) return put_escape<Form::kEditor>(at, c);
  if (c < 0x800) {
    at[0] = static_cast<char>(0xc0 | (c >> 6));
    at[1] = static_cast<char>(0x80 | (c & 0x3f));
    return at + 2;
  }
  if (c < 0x10000) {
    surrogate |= (c & 0xf800) == 0xd800;
    at[0] = static_cast<char>(0xe0 | (c >> 12));
    at[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    at[2] = static_cast<char>(0x80 | (c & 0x3f));
    return at + 3;
  }
  at[0] = static_cast<char>(0xf0 | (c >> 18));
  at[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
  at[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
  at[3] = static_cast<char>(0x80 | (c & 0x3f));
  return at + 4;
}

template <Form F>
inline char* put_character(char* at, uint32_t c, bool& surrogate) {
  if constexpr (F == Form::kAscii) {
    return put_wide(at, c);
  } else {
    return put_utf8(at, c, surrogate);
  }
}

template <Form F>
void write_latin1(Buffer& out, const uint8_t* text, size_t length) {
  while (length > 0) {
    size_t n = std::min(length, kChunk);
    // 6 bytes per character at worst, plus the overhang of whole-block stores.
    char* at = out.reserve(n * 6 + kBlock);
    const uint8_t* end = text + n;
    while (text < end) {
      auto left = static_cast<size_t>(end - text);
#if defined(__SSE2__)
      if (left >= 4 * kBlock && copy_plain_run<F>(text, at)) {
        text += 4 * kBlock;
        at += 4 * kBlock;
        continue;
      }
#endif
      Block block = left >= kBlock ? load_block(text) : load_short(text, left);
      unsigned plain = plain_prefix<F>(block);
      store_block(at, block);
      at += plain;
      text += plain;
      // A short block's prefix ends at the end of the text at the latest.
      if (plain < kBlock && text < end) at = put_escape<F>(at, *text++);
    }
    out.commit(at);
    length -= n;
  }
}

template <Form F, class Unit>
void write_wide(Buffer& out, const Unit* text, size_t length) {
  while (length > 0) {
    size_t n = std::min(length, kChunk);
    // 12 bytes per character at worst (a surrogate pair), plus the overhang of block stores.
    char* at = out.reserve(n * 12 + kBlock);
    const Unit* end = text + n;
    bool surrogate = false;
#if defined(__SSE2__)
    // Wide strings are mostly ASCII too: one character outside Latin-1 widens the whole str.
    while (static_cast<size_t>(end - text) >= kBlock) {
      Block block = narrow_block(text);
      unsigned plain = plain_prefix<F>(block);
      store_block(at, block);
      at += plain;
      text += plain;
      if (plain < kBlock) at = put_character<F>(at, *text++, surrogate);
    }
#endif
    while (text < end) at = put_character<F>(at, *text++, surrogate);
    out.commit(at);
    if (surrogate) out.note_surrogate();
    length -= n;
  }
}

// Strings other than short plain Latin-1 ones, between quotes.
template <Form F>
[[gnu::noinline]] void write_text(Buffer& out, int kind, const void* data, size_t length) {
  out.put('"');
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      write_latin1<F>(out, static_cast<const uint8_t*>(data), length);
      break;
    case PyUnicode_2BYTE_KIND:
      write_wide<F>(out, static_cast<const Py_UCS2*>(data), length);
      break;
    default:
      write_wide<F>(out, static_cast<const Py_UCS4*>(data), length);
      break;
  }
  out.put('"');
}

// The str's text between quotes, with `before` and `after` (each at most 3 bytes) around it.
// Most strings, keys above all, are short and plain: one block store between the two.
template <Form F = Form::kAscii, size_t B, size_t A>
[[gnu::always_inline]] inline void write_string(Buffer& out, PyObject* text,
                                                const char (&before)[B], const char (&after)[A]) {
  static_assert(B <= 4 && A <= 4);
  if (PyUnicode_READY(text) < 0) host::throw_error_set();
  auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  const void* data = PyUnicode_DATA(text);
  int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND && length <= kBlock) [[likely]] {
    Block block = load_short(static_cast<const uint8_t*>(data), length);
    if (plain_prefix<F>(block) >= length) [[likely]] {
      char* at = out.reserve(kBlock + 8);
      std::memcpy(at, before, B - 1);
      at += B - 1;
      *at = '"';
      store_block(at + 1, block);
      at += length + 1;
      *at = '"';
      std::memcpy(at + 1, after, A - 1);
      out.commit(at + A);
      return;
    }
  }
  if constexpr (B > 1) out.append(before, B - 1);
  write_text<F>(out, kind, data, length);
  if constexpr (A > 1) out.append(after, A - 1);
}

template <Form F = Form::kAscii>
inline void write_string(Buffer& out, PyObject* text) {
  write_string<F>(out, text, "", "");
}

// float.__repr__: the shortest digits that read back as the same double, written
// positionally when the decimal exponent is in -4..15 (with ".0" when there is no fraction),
// otherwise as d.ddde±XX. Returns the length written to `at` (at most 32 bytes).
size_t format_double(double value, char* at) {
  char sci[32];
  // Cannot fail: 32 bytes hold any double in this form.
  const char* sci_end =
      std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  char* start = at;
  if (*p == '-') *at++ = *p++;
  const char* mantissa = p;
  char digits[20];
  size_t count = 0;
  digits[count++] = *p++;
  if (*p == '.') {
    ++p;
    while (*p != 'e') digits[count++] = *p++;
  }
  int exponent = 0;
  std::from_chars(p + 2, sci_end, exponent);
  if (p[1] == '-') exponent = -exponent;
  if (exponent < -4 || exponent > 15) {
    // to_chars writes the exponent as float.__repr__ does: a sign and at least two digits.
    auto n = static_cast<size_t>(sci_end - mantissa);
    std::memcpy(at, mantissa, n);
    return static_cast<size_t>(at - start) + n;
  }
  int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    *at++ = '0';
    *at++ = '.';
    for (int i = point; i < 0; ++i) *at++ = '0';
    std::memcpy(at, digits, count);
    at += count;
  } else if (static_cast<size_t>(point) >= count) {
    std::memcpy(at, digits, count);
    at += count;
    for (size_t i = count; i < static_cast<size_t>(point); ++i) *at++ = '0';
    *at++ = '.';
    *at++ = '0';
  } else {
    std::memcpy(at, digits, static_cast<size_t>(point));
    at += point;
    *at++ = '.';
    std::memcpy(at, digits + point, count - static_cast<size_t>(point));
    at += count - static_cast<size_t>(point);
  }
  return static_cast<size_t>(at - start);
}

// The text json writes for a float, as value or as key: non-finite values by name.
size_t float_text(PyObject* number, char* at) {
  double value = PyFloat_AS_DOUBLE(number);
  if (std::isfinite(value)) return format_double(value, at);
  const char* name = std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity";
  size_t n = std::strlen(name);
  std::memcpy(at, name, n);  // NOLINT(bugprone-not-null-terminated-result): not a C string
  return n;
}

// int.__repr__ of an int or of a subclass (whose own __repr__ json ignores), optionally
// between quotes for a key.
void write_int(Buffer& out, PyObject* number, bool quoted) {
  // Most ints have one internal digit (below 2**30 in magnitude); its value is read in place.
  std::int32_t small = 0;
  if (host::small_int_value(number, small)) [[likely]] {
    char* at = out.reserve(16);
    if (quoted) *at++ = '"';
    at = std::to_chars(at, at + 11, small).ptr;
    if (quoted) *at++ = '"';
    out.commit(at);
    return;
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred()) host::throw_error_set();
    char* at = out.reserve(24);
    if (quoted) *at++ = '"';
    at = std::to_chars(at, at + 21, value).ptr;
    if (quoted) *at++ = '"';
    out.commit(at);
    return;
  }
  // Past 64 bits the host's own conversion applies, including its limit on digits.
  Ref text = host::check(PyLong_Type.tp_repr(number));
  Py_ssize_t size = 0;
  const char* digits = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (digits == nullptr) host::throw_error_set();
  if (quoted) out.put('"');
  out.append(digits, static_cast<size_t>(size));
  if (quoted) out.put('"');
}

void write_float(Buffer& out, PyObject* number, bool quoted) {
  char* at = out.reserve(40);
  if (quoted) *at++ = '"';
  at += float_text(number, at);
  if (quoted) *at++ = '"';
  out.commit(at);
}

template <size_t N>
inline void write_literal(Buffer& out, const char (&text)[N]) {
  out.append(text, N - 1);
}

// The text json writes for a key that is True, False or None; empty for any other key.
inline std::string_view constant_key(PyObject* key) {
  if (key == Py_True) return "\"true\"";
  if (key == Py_False) return "\"false\"";
  if (key == Py_None) return "\"null\"";
  return {};
}

// Where a value is about to be read: its object, usually far from the last one in memory, is
// fetched while the values before it are written.
inline void prefetch(const void* object) {
  __builtin_prefetch(object);
}

// One level further for a value whose object was fetched before: what reading it touches
// next, the table of a dict, the items of a list.
inline void prefetch_inside(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyDict_Type) {
    const char* keys =
        reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(value)->ma_keys);
    prefetch(keys);
    prefetch(keys + 64);
  } else if (type == &PyList_Type) {
    prefetch(reinterpret_cast<PyListObject*>(value)->ob_item);
  }
}

// A key and its value as an encoder holds them while it walks a dict (whether it holds
// references to them is the encoder's own).
struct Pair {
  PyObject* key;
  PyObject* value;
};

// Releases the references `pairs[begin, end)` holds.
void release(const std::vector<Pair>& pairs, Py_ssize_t begin, Py_ssize_t end) noexcept {
  for (Py_ssize_t i = begin; i < end; ++i) {
    Pair pair = pairs[static_cast<size_t>(i)];
    Py_DECREF(pair.key);
    Py_DECREF(pair.value);
  }
}

// What json's default hook raises for everything else.
[[noreturn]] void refuse(PyObject* value) {
  Ref held = Ref::borrow(value);  // the attribute lookups run host code
  Ref type = host::getattr(value, "__class__");
  Ref name = host::getattr(type, "__name__");
  Ref text = host::check(PyObject_Format(name.get(), nullptr));
  host::raise_format(PyExc_TypeError, "Object of type %U is not JSON serializable", text.get());
}

class Encoder {
 public:
  explicit Encoder(Buffer& out) : out_(out) {}
  VORNIK_PINNED(Encoder);
  ~Encoder() {
    while (!stack_.empty()) pop();
  }

  void run(PyObject* value) {
    start(value);
    while (!stack_.empty()) {
      PyObject* next = advance();
      if (next != nullptr) start(next);
    }
  }

 private:
  enum class Kind : uint8_t {
    kSequence,  // a list or tuple as PySequence_Fast gives it, read live by index
    kDict,      // an exact dict: its pairs in pairs_, borrowed from it
    kItems,     // a list of (key, value) pairs from a mapping's items()
    kSnapshot,  // a kDict frame whose pairs were given references before host code could run
    kLive,      // a kDict frame that goes on reading the dict itself, where json reads it live
  };

  // Plain data, so that the stack moves by memcpy; the references it holds are released by
  // pop(), which the destructor calls for what is left on an error.
  struct Frame {
    PyObject* object;     // a reference: the container as met, its identity marks it as open
    PyObject* container;  // what is read: `object`, or a list made from it (a reference too)
    Py_ssize_t position;  // in `container` (for kLive as PyDict_Next counts), or in pairs_ for
                          // kDict and kSnapshot
    Py_ssize_t begin;     // kDict and kSnapshot: the frame's pairs are pairs_[begin, end)
    Py_ssize_t end;
    Kind kind;
  };
  static_assert(std::is_trivially_copyable_v<Frame>);

  // Writes a scalar, or opens a container and pushes its frame.
  [[gnu::always_inline]] void start(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return write_string(out_, value);
    if (type == &PyDict_Type) return open_dict(value);
    if (type == &PyList_Type) return open_sequence(value);
    if (value == Py_None) return write_literal(out_, "null");
    if (value == Py_True) return write_literal(out_, "true");
    if (value == Py_False) return write_literal(out_, "false");
    if (type == &PyLong_Type) return write_int(out_, value, false);
    if (type == &PyFloat_Type) return write_float(out_, value, false);
    start_other(value);
  }

  [[gnu::noinline]] void start_other(PyObject* value) {
    if (PyTuple_CheckExact(value)) return open_sequence(value);
    // Subclasses, in the order json tests for them.
    if (PyUnicode_Check(value)) return write_string(out_, value);
    if (PyLong_Check(value)) return write_int(out_, value, false);
    if (PyFloat_Check(value)) return write_float(out_, value, false);
    if (PyList_Check(value) || PyTuple_Check(value)) return open_sequence(value);
    if (PyDict_Check(value)) return open_dict(value);
    refuse(value);
  }

  void open_sequence(PyObject* value) {
    Ref object = Ref::borrow(value);
    guard_.enter(kRecursionWhere);
    Ref made;
    PyObject* items = value;
    if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) {
      detach_dicts();  // iterating a subclass may run host code
      made = host::check(PySequence_Fast(value, "_iterencode_list needs a sequence"));
      items = made.get();
    }
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items);
    if (size == 0) {
      write_literal(out_, "[]");
      guard_.leave();
      return;
    }
    mark(value);
    out_.put('[');
    PyObject** first = PySequence_Fast_ITEMS(items);
    for (Py_ssize_t i = 0; i < std::min(size, kAhead); ++i) prefetch(first[i]);
    push({object.get(), items, 0, 0, 0, Kind::kSequence});
    object.release();
    made.release();
  }

  void open_dict(PyObject* value) {
    Ref object = Ref::borrow(value);
    guard_.enter(kRecursionWhere);
    if (PyDict_GET_SIZE(value) == 0) {
      write_literal(out_, "{}");
      guard_.leave();
      return;
    }
    mark(value);
    out_.put('{');
    if (PyDict_CheckExact(value)) {
      // All pairs read up front, their values fetched together rather than one after another.
      size_t begin = pairs_.size();
      auto size = static_cast<size_t>(PyDict_GET_SIZE(value));
      pairs_.resize(begin + size);
      Pair* pair = pairs_.data() + begin;
      Pair* last = pair + size;
      Py_ssize_t position = 0;
      while (pair < last && PyDict_Next(value, &position, &pair->key, &pair->value)) {
        prefetch(pair->value);
        ++pair;
      }
      auto end = static_cast<Py_ssize_t>(pair - pairs_.data());
      pairs_.resize(static_cast<size_t>(end));
      auto first = static_cast<Py_ssize_t>(begin);
      push({object.get(), value, first, first, end, Kind::kDict});
      object.release();
      return;
    }
    detach_dicts();  // items() of a subclass may run host code
    Ref items = host::check(PyMapping_Items(value));
    push({object.get(), items.get(), 0, 0, 0, Kind::kItems});
    object.release();
    items.release();
  }

  // The next value of the innermost container after writing what precedes it (separator,
  // key), or null after closing the container. The value is borrowed: start() writes it or
  // takes its own reference before any host code can run.
  [[gnu::always_inline]] PyObject* advance() {
    Frame& frame = stack_.back();
    switch (frame.kind) {
      case Kind::kSequence: {
        // Read live, as json does: host code may have changed a list since the last item.
        PyObject* items = frame.container;
        Py_ssize_t size = PySequence_Fast_GET_SIZE(items);
        Py_ssize_t position = frame.position;
        if (position >= size) return close(']');
        PyObject** item = PySequence_Fast_ITEMS(items) + position;
        if (position + kAhead < size) prefetch(item[kAhead]);
        if (position + kAhead / 2 < size) prefetch_inside(item[kAhead / 2]);
        if (position > 0) write_literal(out_, ", ");
        frame.position = position + 1;
        return *item;
      }
      case Kind::kDict:
      case Kind::kSnapshot: {
        if (frame.position == frame.end) return close('}');
        const Pair& pair = pairs_[static_cast<size_t>(frame.position)];
        if (frame.position + 1 < frame.end) prefetch_inside((&pair)[1].value);
        write_key(pair.key, frame.position++ == frame.begin);
        return pair.value;
      }
      case Kind::kItems: {
        PyObject* items = frame.container;
        if (frame.position >= PyList_GET_SIZE(items)) return close('}');
        PyObject* pair = PyList_GET_ITEM(items, frame.position);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
          host::raise(PyExc_ValueError, "items must return 2-tuples");
        }
        write_key(PyTuple_GET_ITEM(pair, 0), frame.position++ == 0);
        return PyTuple_GET_ITEM(pair, 1);
      }
      case Kind::kLive: {
        // A live frame was a kDict frame that had written at least one pair already.
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(frame.container, &frame.position, &key, &value)) return close('}');
        write_key(key, false);
        return value;
      }
    }
    return nullptr;
  }

  PyObject* close(char bracket) {
    out_.put(bracket);
    unmark();
    pop();
    if (detached_ > stack_.size()) detached_ = stack_.size();
    guard_.leave();
    return nullptr;
  }

  void push(const Frame& frame) { stack_.push_back(frame); }

  // Takes the innermost frame off, then releases its references: a release may run host code
  // (finalisers), which by then finds the encoder in order.
  void pop() noexcept {
    Frame frame = stack_.back();
    stack_.pop_back();
    if (frame.kind == Kind::kSnapshot) release(pairs_, frame.begin, frame.end);
    if (frame.kind == Kind::kDict || frame.kind == Kind::kSnapshot || frame.kind == Kind::kLive) {
      pairs_.resize(static_cast<size_t>(frame.begin));
    }
    if (frame.container != frame.object) Py_DECREF(frame.container);
    Py_DECREF(frame.object);
  }

  // Keys are tested in json's order: True and False before int, which they also are.
  [[gnu::always_inline]] void write_key(PyObject* key, bool first) {
    if (Py_IS_TYPE(key, &PyUnicode_Type)) [[likely]] {
      if (first) {
        write_string(out_, key, "", ": ");
      } else {
        write_string(out_, key, ", ", ": ");
      }
      return;
    }
    if (!first) write_literal(out_, ", ");
    write_other_key(key);
    write_literal(out_, ": ");
  }

  [[gnu::noinline]] void write_other_key(PyObject* key) {
    if (PyUnicode_Check(key)) {
      write_string(out_, key);
    } else if (PyFloat_Check(key)) {
      write_float(out_, key, true);
    } else if (std::string_view text = constant_key(key); !text.empty()) {
      out_.append(text.data(), text.size());
    } else if (PyLong_Check(key)) {
      write_int(out_, key, true);
    } else {
      host::raise_format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                         Py_TYPE(key)->tp_name);
    }
  }

  // The pairs of exact dicts are borrowed from the dicts, which is safe only while no host
  // code runs: host code could change a dict and free what its pairs point to. Before anything
  // that may run host code (a subclass's __iter__ or items(), which are also the only places
  // that allocate host containers and so could start a collection and its finalisers), every
  // dict frame on the stack either takes references to its pairs, as json's copy of the items
  // holds them, or, where json reads an exact dict live, goes on from the dict itself after the
  // pairs it has written, so that it sees what host code changes as json does (each frame holds
  // its dict, and what it reads next it reads when it gets there). Finalisers run by a release in
  // pop() only ever find such frames below: an object dies there only if host code dropped it while
  // its frame was open, and that host code found every frame below open too. Frames below
  // `detached_` were already taken care of.
  void detach_dicts() noexcept {
    for (size_t i = detached_; i < stack_.size(); ++i) {
      Frame& frame = stack_[i];
      if (frame.kind != Kind::kDict) continue;
      if constexpr (host::kJsonReadsDictsLive) {
        // Unchanged so far: its position after the pairs written is found by reading them again.
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t j = frame.begin; j < frame.position; ++j) {
          PyDict_Next(frame.container, &position, &key, &value);
        }
        frame.position = position;
        frame.kind = Kind::kLive;
        continue;
      }
      for (Py_ssize_t j = frame.begin; j < frame.end; ++j) {
        const Pair& pair = pairs_[static_cast<size_t>(j)];
        Py_INCREF(pair.key);
        Py_INCREF(pair.value);
      }
      frame.kind = Kind::kSnapshot;
    }
    detached_ = stack_.size();
  }

  // Containers being encoded are the frames on the stack; the shallow ones are scanned, the
  // deep ones also kept in a set so that very deep nesting stays linear.
  static constexpr size_t kScanned = 32;

  void mark(PyObject* value) {
    size_t scanned = std::min(stack_.size(), kScanned);
    bool seen = false;
    for (size_t i = 0; i < scanned && !seen; ++i) seen = stack_[i].object == value;
    if (!seen && stack_.size() > kScanned) seen = deep_.contains(value);
    if (seen) host::raise(PyExc_ValueError, "Circular reference detected");
    if (stack_.size() >= kScanned) deep_.insert(value);
  }

  void unmark() {
    if (stack_.size() > kScanned) deep_.erase(stack_.back().object);
  }

  // How many items ahead of the one written a sequence's items are fetched.
  static constexpr Py_ssize_t kAhead = 4;

  Buffer& out_;
  host::RecursionGuard guard_;
  std::vector<Frame> stack_;
  std::vector<Pair> pairs_;
  size_t detached_ = 0;
  std::unordered_set<PyObject*> deep_;
};

// -- the editor form --------------------------------------------------------------------------

// The host's order of two str: code point by code point, a prefix before the longer text.
bool text_less(PyObject* a, PyObject* b) noexcept {
  Py_ssize_t length_a = PyUnicode_GET_LENGTH(a);
  Py_ssize_t length_b = PyUnicode_GET_LENGTH(b);
  Py_ssize_t common = std::min(length_a, length_b);
  int kind_a = PyUnicode_KIND(a);
  int kind_b = PyUnicode_KIND(b);
  const void* data_a = PyUnicode_DATA(a);
  const void* data_b = PyUnicode_DATA(b);
  if (kind_a == PyUnicode_1BYTE_KIND && kind_b == PyUnicode_1BYTE_KIND) {
    int order = std::memcmp(data_a, data_b, static_cast<size_t>(common));
    if (order != 0) return order < 0;
  } else {
    for (Py_ssize_t i = 0; i < common; ++i) {
      Py_UCS4 c = PyUnicode_READ(kind_a, data_a, i);
      Py_UCS4 d = PyUnicode_READ(kind_b, data_b, i);
      if (c != d) return c < d;
    }
  }
  return length_a < length_b;
}

// The host's indenting encoder is a nest of generators: json.dumps, the encoder's encode()
// and the outer generator are three frames deep before the first container opens one more.
// Entering the recursion accounting as often first makes deep nesting fail where it fails.
constexpr int kFramesBeforeFirst = 3;
constexpr const char* kEditorRecursionWhere = " while calling a Python object";

// Unpacks `item` into two values as `for key, value in items` does, with its errors.
std::pair<Ref, Ref> unpack_pair(PyObject* item) {
  if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) &&
      PySequence_Fast_GET_SIZE(item) == 2) {
    PyObject** both = PySequence_Fast_ITEMS(item);
    return {Ref::borrow(both[0]), Ref::borrow(both[1])};
  }
  PyObject* iterator = PyObject_GetIter(item);
  if (iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
        PySequence_Check(item) == 0) {
      PyErr_Clear();
      host::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
    }
    host::throw_error_set();
  }
  Ref held = Ref::steal(iterator);
  Ref values[2];
  for (int i = 0; i < 2; ++i) {
    values[i] = Ref::steal(PyIter_Next(iterator));
    if (values[i]) continue;
    if (PyErr_Occurred() != nullptr) host::throw_error_set();
    host::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
  }
  Ref extra = Ref::steal(PyIter_Next(iterator));
  if (extra) host::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (PyErr_Occurred() != nullptr) host::throw_error_set();
  return {std::move(values[0]), std::move(values[1])};
}

// What isinstance() tells of a value that no type check matched: an object may claim a
// class through its __class__ attribute, and the host's encoder goes by that claim.
enum class Claim : uint8_t { kStr, kInt, kFloat, kSequence, kDict, kNone };

Claim claimed_type(PyObject* value) {
  auto is = [value](PyTypeObject* type) {
    return host::check_status(PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type))) != 0;
  };
  if (is(&PyUnicode_Type)) return Claim::kStr;
  if (is(&PyLong_Type)) return Claim::kInt;
  if (is(&PyFloat_Type)) return Claim::kFloat;
  if (is(&PyList_Type) || is(&PyTuple_Type)) return Claim::kSequence;
  if (is(&PyDict_Type)) return Claim::kDict;
  return Claim::kNone;
}

// A value claiming to be a str, int or float: what the host's encoder then does with it,
// which fails as it fails there (the conversion refuses an object that is not one).
void write_claimed(Buffer& out, PyObject* value, Claim claim, bool quoted) {
  if (claim == Claim::kStr) {
    host::raise_format(PyExc_TypeError, "first argument must be a string, not %.80s",
                       Py_TYPE(value)->tp_name);
  }
  PyTypeObject* type = claim == Claim::kInt ? &PyLong_Type : &PyFloat_Type;
  Ref text = host::check(
      PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(type), host::key<"__repr__">(), value));
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (bytes == nullptr) host::throw_error_set();
  if (quoted) out.put('"');
  out.append(bytes, static_cast<size_t>(size));
  if (quoted) out.put('"');
}

// The walk of the host's indenting encoder with sorted keys: containers are tested for
// truth, sequences iterated, mappings read through sorted(items()), keys converted after
// sorting. Every frame owns what it reads, so host code run by subclasses, by key
// comparisons or by finalisers can change or drop any container without harm.
class EditorEncoder {
 public:
  explicit EditorEncoder(Buffer& out) : out_(out) {}
  VORNIK_PINNED(EditorEncoder);
  ~EditorEncoder() {
    while (!stack_.empty()) pop();
  }

  void run(PyObject* value) {
    for (int i = 0; i < kFramesBeforeFirst; ++i) guard_.enter(kEditorRecursionWhere);
    start(value);
    while (!stack_.empty()) {
      Ref next = advance();
      if (next) start(next.get());
    }
  }

 private:
  enum class Kind : uint8_t {
    kSequence,  // an exact list or tuple, read live by index
    kIterator,  // an iterator over a list or tuple subclass
    kPairs,     // an exact dict with str keys: its pairs, sorted, in pairs_ (references)
    kItems,     // the sorted list of a mapping's items
  };

  struct Frame {
    Ref object;     // the container as met; its identity marks it as open
    Ref container;  // what is read: the object, an iterator or a list of items
    Py_ssize_t position;
    Py_ssize_t begin;  // kPairs: the frame's pairs are pairs_[begin, end)
    Py_ssize_t end;
    Kind kind;
  };

  void start(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return write_string<Form::kEditor>(out_, value);
    if (type == &PyDict_Type) return open_dict(value);
    if (type == &PyList_Type || type == &PyTuple_Type) return open_sequence(value);
    if (value == Py_None) return write_literal(out_, "null");
    if (value == Py_True) return write_literal(out_, "true");
    if (value == Py_False) return write_literal(out_, "false");
    if (PyUnicode_Check(value)) return write_string<Form::kEditor>(out_, value);
    if (PyLong_Check(value)) return write_int(out_, value, false);
    if (PyFloat_Check(value)) return write_float(out_, value, false);
    if (PyList_Check(value) || PyTuple_Check(value)) return open_sequence(value);
    if (PyDict_Check(value)) return open_dict(value);
    start_claimed(value);
  }

  [[gnu::noinline]] void start_claimed(PyObject* value) {
    Ref held = Ref::borrow(value);
    switch (Claim claim = claimed_type(value)) {
      case Claim::kSequence:
        return open_sequence(value);
      case Claim::kDict:
        return open_dict(value);
      case Claim::kNone:
        refuse(value);
      default:
        return write_claimed(out_, value, claim, false);
    }
  }

  // Whether a container is empty, as `not value` tells for a subclass. An empty one is
  // written here; it still took a level of recursion, as the host's generator does.
  bool write_if_empty(PyObject* value, bool exact, Py_ssize_t size, const char (&text)[3]) {
    guard_.enter(kEditorRecursionWhere);
    if (exact ? size != 0 : host::is_true(value)) return false;
    write_literal(out_, text);
    guard_.leave();
    return true;
  }

  void open_sequence(PyObject* value) {
    Ref object = Ref::borrow(value);
    bool exact = PyList_CheckExact(value) || PyTuple_CheckExact(value);
    if (write_if_empty(value, exact, exact ? PySequence_Fast_GET_SIZE(value) : 0, "[]")) return;
    mark(value);
    out_.put('[');
    Ref container = exact ? object.clone() : host::check(PyObject_GetIter(value));
    stack_.push_back({std::move(object), std::move(container), 0, 0, 0,
                      exact ? Kind::kSequence : Kind::kIterator});
  }

  void open_dict(PyObject* value) {
    Ref object = Ref::borrow(value);
    bool exact = PyDict_CheckExact(value);
    if (write_if_empty(value, exact, exact ? PyDict_GET_SIZE(value) : 0, "{}")) return;
    mark(value);
    out_.put('{');
    if (exact && open_str_keys(object)) return;
    // sorted(value.items()): the items compared as tuples, by the host.
    Ref items;
    if (exact) {
      items = host::check(PyDict_Items(value));
    } else {
      Ref view = host::check(PyObject_CallMethodNoArgs(value, host::key<"items">()));
      items = host::check(PySequence_List(view.get()));
    }
    host::check_status(PyList_Sort(items.get()));
    stack_.push_back({std::move(object), std::move(items), 0, 0, 0, Kind::kItems});
  }

  // Takes the pairs of an exact dict whose keys are all exact str, sorted by key as the host
  // sorts them (distinct keys, so the values never take part); false for other keys.
  bool open_str_keys(Ref& object) {
    PyObject* dict = object.get();
    size_t begin = pairs_.size();
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) {
        pairs_.resize(begin);
        return false;
      }
      if (PyUnicode_READY(key) < 0) {
        pairs_.resize(begin);
        host::throw_error_set();
      }
      pairs_.push_back({key, value});
    }
    for (size_t i = begin; i < pairs_.size(); ++i) {
      Py_INCREF(pairs_[i].key);
      Py_INCREF(pairs_[i].value);
    }
    std::sort(pairs_.begin() + static_cast<std::ptrdiff_t>(begin), pairs_.end(),
              [](const Pair& a, const Pair& b) { return text_less(a.key, b.key); });
    auto first = static_cast<Py_ssize_t>(begin);
    auto end = static_cast<Py_ssize_t>(pairs_.size());
    stack_.push_back({std::move(object), Ref(), first, first, end, Kind::kPairs});
    return true;
  }

  // The next value of the innermost container after writing what precedes it, or null after
  // closing the container.
  Ref advance() {
    Frame& frame = stack_.back();
    switch (frame.kind) {
      case Kind::kSequence: {
        PyObject* items = frame.container.get();
        if (frame.position >= PySequence_Fast_GET_SIZE(items)) return close(']');
        Ref item = Ref::borrow(PySequence_Fast_ITEMS(items)[frame.position]);
        next_line(frame.position++ == 0);
        return item;
      }
      case Kind::kIterator: {
        Ref item = Ref::steal(PyIter_Next(frame.container.get()));
        if (!item) {
          if (PyErr_Occurred() != nullptr) host::throw_error_set();
          return close(']');
        }
        next_line(frame.position++ == 0);
        return item;
      }
      case Kind::kPairs: {
        if (frame.position == frame.end) return close('}');
        Pair pair = pairs_[static_cast<size_t>(frame.position)];
        next_line(frame.position++ == frame.begin);
        write_string<Form::kEditor>(out_, pair.key, "", ": ");
        return Ref::borrow(pair.value);
      }
      case Kind::kItems: {
        PyObject* items = frame.container.get();
        if (frame.position >= PyList_GET_SIZE(items)) return close('}');
        auto [key, value] = unpack_pair(PyList_GET_ITEM(items, frame.position));
        bool first = frame.position++ == 0;
        write_key(key.get(), first);
        return std::move(value);
      }
    }
    return nullptr;
  }

  // The separator before an item and the indent of its line.
  void next_line(bool first) {
    size_t depth = stack_.size();
    char* at = out_.reserve(depth + 2);
    if (!first) *at++ = ',';
    *at++ = '\n';
    std::memset(at, ' ', depth);
    out_.commit(at + depth);
  }

  // A key other than an exact str, converted as json converts it, then its line.
  void write_key(PyObject* key, bool first) {
    bool is_text = PyUnicode_Check(key);
    bool is_float = !is_text && PyFloat_Check(key);
    if (!is_text && !is_float && key != Py_True && key != Py_False && key != Py_None &&
        !PyLong_Check(key)) {
      Ref held = Ref::borrow(key);  // the checks and attribute lookups run host code
      Claim claim = claimed_type(key);
      if (claim == Claim::kStr || claim == Claim::kInt || claim == Claim::kFloat) {
        next_line(first);
        write_claimed(out_, key, claim, true);
        return write_literal(out_, ": ");
      }
      Ref type = host::getattr(key, "__class__");
      Ref name = host::getattr(type, "__name__");
      Ref text = host::check(PyObject_Format(name.get(), nullptr));
      host::raise_format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %U",
                         text.get());
    }
    next_line(first);
    if (is_text) {
      write_string<Form::kEditor>(out_, key);
    } else if (is_float) {
      write_float(out_, key, true);
    } else if (std::string_view text = constant_key(key); !text.empty()) {
      out_.append(text.data(), text.size());
    } else {
      write_int(out_, key, true);
    }
    write_literal(out_, ": ");
  }

  Ref close(char bracket) {
    size_t depth = stack_.size() - 1;
    char* at = out_.reserve(depth + 2);
    *at++ = '\n';
    std::memset(at, ' ', depth);
    at[depth] = bracket;
    out_.commit(at + depth + 1);
    unmark();
    pop();
    guard_.leave();
    return nullptr;
  }

  // Takes the innermost frame off, then releases its references: a release may run host code
  // (finalisers), which by then finds the encoder in order.
  void pop() noexcept {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    if (frame.kind == Kind::kPairs) {
      release(pairs_, frame.begin, frame.end);
      pairs_.resize(static_cast<size_t>(frame.begin));
    }
  }

  // Open containers are the frames on the stack; the shallow ones are scanned, the deep ones
  // also kept in a set so that very deep nesting stays linear.
  static constexpr size_t kScanned = 32;

  void mark(PyObject* value) {
    size_t scanned = std::min(stack_.size(), kScanned);
    bool seen = false;
    for (size_t i = 0; i < scanned && !seen; ++i) seen = stack_[i].object.get() == value;
    if (!seen && stack_.size() > kScanned) seen = deep_.contains(value);
    if (seen) host::raise(PyExc_ValueError, "Circular reference detected");
    if (stack_.size() >= kScanned) deep_.insert(value);
  }

  void unmark() {
    if (stack_.size() > kScanned) deep_.erase(stack_.back().object.get());
  }

  Buffer& out_;
  host::RecursionGuard guard_;
  std::vector<Frame> stack_;
  std::vector<Pair> pairs_;
  std::unordered_set<PyObject*> deep_;
};

void encode(Handle value, Buffer& out) {
  Encoder encoder(out);
  encoder.run(value.get());
}

}  // namespace

host::Ref dumps(host::Handle value) {
  Buffer buffer(Buffer::Storage::kHostText);
  encode(value, buffer);
  return buffer.take_text();
}

namespace {

// The editor form's text as UTF-8, with lone surrogates in their three-byte pattern.
void encode_editor(Handle value, Buffer& out) {
  EditorEncoder encoder(out);
  encoder.run(value.get());
}

Ref decode_editor(const Buffer& buffer) {
  return host::check(PyUnicode_DecodeUTF8(buffer.data(), static_cast<Py_ssize_t>(buffer.size()),
                                          buffer.has_surrogate() ? "surrogatepass" : nullptr));
}

// Nesting past which a document is left to json on hosts whose walk differs: far deeper than
// any notebook, and shallow enough to check without a recursion guard.
constexpr int kPlainDepth = 100;

// Whether `value` holds only exact dicts with str keys, lists, str, int, float, bool and None,
// nested at most kPlainDepth deep: a document whose editor form no host code can change.
bool plain_document(PyObject* value, int depth = 0) {
  if (depth > kPlainDepth) return false;
  if (value == Py_None || PyBool_Check(value) || PyUnicode_CheckExact(value) ||
      PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
    return true;
  }
  if (PyList_CheckExact(value)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
      if (!plain_document(PyList_GET_ITEM(value, i), depth + 1)) return false;
    }
    return true;
  }
  if (PyDict_CheckExact(value)) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(value, &position, &key, &item)) {
      if (!PyUnicode_CheckExact(key) || !plain_document(item, depth + 1)) return false;
    }
    return true;
  }
  return false;
}

// The host's own json.dumps(value, indent=1, sort_keys=True, ensure_ascii=False): the walk, the
// text and every error exactly as this host's json gives them.
Ref hosts_editor_text(Handle value) {
  Ref json = host::import("json");
  Ref dumps = host::getattr(json, "dumps");
  Ref positional = host::check(PyTuple_Pack(1, value.get()));
  Ref keywords = host::check(
      Py_BuildValue("{s:i,s:O,s:O}", "indent", 1, "sort_keys", Py_True, "ensure_ascii", Py_False));
  return host::check(PyObject_Call(dumps.get(), positional.get(), keywords.get()));
}

bool native_walk(Handle value) {
  return host::kEditorWalkIsJsons || plain_document(value.get());
}

}  // namespace

host::Ref dumps_editor(host::Handle value) {
  if (!native_walk(value)) return hosts_editor_text(value);
  Buffer buffer(Buffer::Storage::kMemory);
  encode_editor(value, buffer);
  return decode_editor(buffer);
}

void write_editor_file(host::Handle path, host::Handle value) {
  if (!native_walk(value)) {
    Ref text = hosts_editor_text(value);
    Ref bytes = host::check(PyUnicode_AsUTF8String(text.get()));
    std::string data(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    data.push_back('\n');
    replace_file(path, {data.data(), data.size()});
    return;
  }
  Buffer buffer(Buffer::Storage::kMemory);
  encode_editor(value, buffer);
  if (buffer.has_surrogate()) {
    // Not text a UTF-8 file can hold: the host's own encoding error, with its position.
    Ref text = decode_editor(buffer);
    host::check(PyUnicode_AsUTF8String(text.get()));
  }
  buffer.put('\n');
  replace_file(path, {buffer.data(), buffer.size()});
}

}  // namespace vornik::json
