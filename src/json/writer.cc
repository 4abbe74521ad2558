// The text form of host values, byte for byte as the host's json.dumps writes it with its
// default arguments (ASCII only, ", " and ": " separators, NaN allowed, circular references
// refused). The walk keeps its own stack so that nesting depth costs no C stack, and it
// enters the host's recursion accounting once per container, as the host's encoder does.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
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
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&&) = delete;
  Buffer& operator=(Buffer&&) = delete;
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
  Ref text_;
  char* begin_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;
};
// NOLINTEND(cppcoreguidelines-no-malloc)

constexpr char kHexDigits[] = "0123456789abcdef";

// How each code point below 0x100 is written inside a string: itself (length 1) or its
// escape. The text is padded to 8 bytes so that it is always copied as one 8-byte move.
struct Escape {
  std::array<char, 8> text;
  uint8_t length;
};

constexpr std::array<Escape, 256> make_escapes() {
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
        if (c >= 0x20 && c < 0x7f) {
          e.text[0] = static_cast<char>(c);
          e.length = 1;
        } else {
          e.text = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xf], 0, 0};
          e.length = 6;
        }
    }
  }
  return table;
}

constexpr std::array<Escape, 256> kEscapes = make_escapes();

// Plain bytes (0x20..0x7e except '"' and '\\') are copied as they are, a block of 16 at a
// time: the block is stored whole and the output advanced by its plain prefix.
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
inline __m128i special_bytes(Block block) {
  // Signed comparison: bytes from 0x80 up are negative, so below 0x20 too.
  return _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(block, _mm_set1_epi8(0x20)),
                                   _mm_cmpeq_epi8(block, _mm_set1_epi8(0x7f))),
                      _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('"')),
                                   _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'))));
}

// The number of plain bytes at the start of the block.
inline unsigned plain_prefix(Block block) {
  auto mask = static_cast<unsigned>(_mm_movemask_epi8(special_bytes(block)));
  return mask == 0 ? 16U : static_cast<unsigned>(std::countr_zero(mask));
}

// Copies the 64 bytes at `text` if they are all plain: long strings (images, program output)
// are mostly long plain runs, and one test for four blocks halves the work on them.
inline bool copy_plain_run(const uint8_t* text, char* at) {
  Block a = load_block(text);
  Block b = load_block(text + 16);
  Block c = load_block(text + 32);
  Block d = load_block(text + 48);
  __m128i special = _mm_or_si128(_mm_or_si128(special_bytes(a), special_bytes(b)),
                                 _mm_or_si128(special_bytes(c), special_bytes(d)));
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
inline unsigned plain_prefix(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  uint64_t control = (word - kOnes * 0x20) & ~word;
  uint64_t high = (word + kOnes) | word;  // 0x7f becomes 0x80; 0x80 and above are set already
  uint64_t quote = word ^ (kOnes * '"');
  uint64_t backslash = word ^ (kOnes * '\\');
  uint64_t special = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash);
  uint64_t mask = (control | high | special) & kHigh;
  return mask == 0 ? 8U : static_cast<unsigned>(std::countr_zero(mask)) / 8;
}

inline unsigned plain_prefix(Block block) {
  unsigned plain = plain_prefix(block.low);
  return plain < 8 ? plain : 8 + plain_prefix(block.high);
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

inline char* put_escape(char* at, uint32_t c) {
  const Escape& e = kEscapes[c];
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
  if (c < 0x100) return put_escape(at, c);
  if (c < 0x10000) return put_u16(at, c);
  c -= 0x10000;
  at = put_u16(at, 0xd800 | (c >> 10));
  return put_u16(at, 0xdc00 | (c & 0x3ff));
}

void write_latin1(Buffer& out, const uint8_t* text, size_t length) {
  while (length > 0) {
    size_t n = std::min(length, kChunk);
    // 6 bytes per character at worst, plus the overhang of whole-block stores.
    char* at = out.reserve(n * 6 + kBlock);
    const uint8_t* end = text + n;
    while (text < end) {
      auto left = static_cast<size_t>(end - text);
#if defined(__SSE2__)
      if (left >= 4 * kBlock && copy_plain_run(text, at)) {
        text += 4 * kBlock;
        at += 4 * kBlock;
        continue;
      }
#endif
      Block block = left >= kBlock ? load_block(text) : load_short(text, left);
      unsigned plain = plain_prefix(block);
      store_block(at, block);
      at += plain;
      text += plain;
      // A short block's prefix ends at the end of the text at the latest.
      if (plain < kBlock && text < end) at = put_escape(at, *text++);
    }
    out.commit(at);
    length -= n;
  }
}

template <class Unit>
void write_wide(Buffer& out, const Unit* text, size_t length) {
  while (length > 0) {
    size_t n = std::min(length, kChunk);
    // 12 bytes per character at worst (a surrogate pair), plus the overhang of block stores.
    char* at = out.reserve(n * 12 + kBlock);
    const Unit* end = text + n;
#if defined(__SSE2__)
    // Wide strings are mostly ASCII too: one character outside Latin-1 widens the whole str.
    while (static_cast<size_t>(end - text) >= kBlock) {
      Block block = narrow_block(text);
      unsigned plain = plain_prefix(block);
      store_block(at, block);
      at += plain;
      text += plain;
      if (plain < kBlock) at = put_wide(at, *text++);
    }
#endif
    while (text < end) at = put_wide(at, *text++);
    out.commit(at);
    length -= n;
  }
}

// Strings other than short plain Latin-1 ones, between quotes.
[[gnu::noinline]] void write_text(Buffer& out, int kind, const void* data, size_t length) {
  out.put('"');
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      write_latin1(out, static_cast<const uint8_t*>(data), length);
      break;
    case PyUnicode_2BYTE_KIND:
      write_wide(out, static_cast<const Py_UCS2*>(data), length);
      break;
    default:
      write_wide(out, static_cast<const Py_UCS4*>(data), length);
      break;
  }
  out.put('"');
}

// The str's text between quotes, with `before` and `after` (each at most 3 bytes) around it.
// Most strings, keys above all, are short and plain: one block store between the two.
template <size_t B, size_t A>
[[gnu::always_inline]] inline void write_string(Buffer& out, PyObject* text,
                                                const char (&before)[B], const char (&after)[A]) {
  static_assert(B <= 4 && A <= 4);
  if (PyUnicode_READY(text) < 0) host::throw_error_set();
  auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  const void* data = PyUnicode_DATA(text);
  int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND && length <= kBlock) [[likely]] {
    Block block = load_short(static_cast<const uint8_t*>(data), length);
    if (plain_prefix(block) >= length) [[likely]] {
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
  write_text(out, kind, data, length);
  if constexpr (A > 1) out.append(after, A - 1);
}

inline void write_string(Buffer& out, PyObject* text) {
  write_string(out, text, "", "");
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
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  Encoder(Encoder&&) = delete;
  Encoder& operator=(Encoder&&) = delete;
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

  struct Pair {
    PyObject* key;
    PyObject* value;
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
    if (frame.kind == Kind::kSnapshot) {
      for (Py_ssize_t i = frame.begin; i < frame.end; ++i) {
        Pair pair = pairs_[static_cast<size_t>(i)];
        Py_DECREF(pair.key);
        Py_DECREF(pair.value);
      }
    }
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
    } else if (key == Py_True) {
      write_literal(out_, "\"true\"");
    } else if (key == Py_False) {
      write_literal(out_, "\"false\"");
    } else if (key == Py_None) {
      write_literal(out_, "\"null\"");
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

void encode(Handle value, Buffer& out) {
  Encoder encoder(out);
  encoder.run(value.get());
}

}  // namespace

void write(host::Handle value, std::string& out) {
  Buffer buffer(Buffer::Storage::kMemory);
  encode(value, buffer);
  out.append(buffer.data(), buffer.size());
}

host::Ref dumps(host::Handle value) {
  Buffer buffer(Buffer::Storage::kHostText);
  encode(value, buffer);
  return buffer.take_text();
}

}  // namespace vornik::json
