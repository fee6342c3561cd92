// _engine.cpp -- the decoding engine: programs that turn fixed groups of packed
// bytes into output values and back, run over byte spans without the interpreter lock.
#include "binding.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using u128 = unsigned __int128;

constexpr int64_t MAX_GROUP_BYTES = 4096;
constexpr int64_t MAX_GROUP_VALUES = 4096;

// ---------------------------------------------------------------------------
// Plain C++: text for messages.  Errors of the plain part are C++ exceptions:
// nanobind turns std::invalid_argument into ValueError.

std::string u128_text(u128 value) {
    if (value == 0)
        return "0";
    std::string text;
    while (value) {
        text.push_back(char('0' + unsigned(value % 10)));
        value /= 10;
    }
    std::reverse(text.begin(), text.end());
    return text;
}

[[noreturn]] void fail(const std::string &message) { throw std::invalid_argument(message); }

// ---------------------------------------------------------------------------
// Plain C++: unaligned access.  Every value and stream access goes through a
// fixed-size memcpy: buffers handed in from Python need not be aligned, and
// the compiler turns these into plain moves.

template <typename T>
inline T load(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

template <typename T>
inline void store(uint8_t *p, T v) {
    std::memcpy(p, &v, sizeof(T));
}

inline uint8_t bswap(uint8_t v) { return v; }
inline uint16_t bswap(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t bswap(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t bswap(uint64_t v) { return __builtin_bswap64(v); }

inline uint64_t low_mask(unsigned width) { return width >= 64 ? ~uint64_t(0) : (uint64_t(1) << width) - 1; }

/// Two's-complement extension from bit 63 - `shift`; a shift of 0 leaves `v` as it is.
inline uint64_t sign_extend(uint64_t v, unsigned shift) {
    return uint64_t(int64_t(v << shift) >> shift);
}

// ---------------------------------------------------------------------------
// Plain C++: the program.

struct Piece {
    int64_t src_bit, width, dst, shift;
    bool copy = false;   // the bits of another piece, given to one more value: read, never written
};

enum class Kernel : uint8_t { copy, byteswap, word, generic };

const char *kernel_name(Kernel k) {
    switch (k) {
    case Kernel::copy: return "copy";
    case Kernel::byteswap: return "byteswap";
    case Kernel::word: return "word";
    default: return "generic";
    }
}

/// A piece as the byte-wise reader and writer use it: the bytes it touches
/// gathered into one integer (little-endian for lsb-first, big-endian for
/// msb-first), its bits at `at` in that integer.
struct Slot {
    uint32_t first_byte, bytes, at, shift;
    uint64_t mask;
    uint32_t src_bit, width;
    bool copy;
};

/// A piece of the word kernel: its bits are `(word >> rs) & mask`, the word
/// being the group's first 8 bytes read with byte 0 lowest (lsb-first) or highest.
struct WordPiece {
    uint64_t mask;
    uint32_t rs, sh;
};

/// One piece slot of one step of 8 values in the vector kernel: which bytes
/// of its 16-byte half each 32-bit lane gathers (0x80: none), and the shifts
/// and mask that cut the piece out and put it in place.
struct VectorPiece {
    uint8_t ctrl[32];
    uint32_t rs[8], mask[8], ls[8];
};

struct VectorInverse {
    uint8_t ctrl[32];
};

/// The vector kernel's reading of a program: `period_values` values (a
/// multiple of 8 and of group_values) from `period_bytes` bytes, in `steps`
/// steps of 8; each step loads 16 bytes at each of its two `window` offsets.
struct VectorPlan {
    uint32_t steps = 0, ppv = 0, period_values = 0, period_bytes = 0, reach = 0;
    bool is_signed = false, shifted = false;   // some value sign-extended; some piece shifted into place
    uint32_t shifted_slots = 0;                // bit q: slot q holds a shifted piece
    bool unified = false;                      // every slot of a step gathers the same bytes (one shuffle)
    bool broadcast = false;                    // each step's two windows are one
    std::vector<uint32_t> window;       // per step: offsets of the low and the high 16-byte load
    std::vector<VectorPiece> pieces;    // per step: ppv slots
    std::vector<VectorPiece> encode_pieces;   // the same, before `unify`
    std::vector<uint32_t> sign_shift;   // per step: 8 lanes, 32 - sign bits or 0
    // Encoding: the period in 16-byte chunks, each the OR of the shuffles
    // inverse[op_first[c * V + vec] .. op_first[c * V + vec + 1]) of each
    // step-and-slot vector vec (V = steps * ppv of them).
    uint32_t chunks = 0;
    std::vector<uint32_t> op_first;
    std::vector<VectorInverse> inverse;
};

struct Program;
using DecodeRun = void (*)(const Program &, const uint8_t *buf, size_t buf_len, size_t start, uint8_t *vals,
                           size_t first, size_t step, size_t count);
using EncodeRun = void (*)(const Program &, const uint8_t *vals, size_t first, size_t step, uint8_t *buf,
                           size_t start, size_t count);

struct Program {
    // As given.
    uint32_t group_bytes = 0, group_values = 0, out_bytes = 0;
    bool msb_first = false;
    std::vector<Piece> pieces;
    std::vector<uint32_t> sign_bits;

    // Derived once, at construction.
    Kernel kernel = Kernel::generic;
    std::vector<uint32_t> partial_bytes;   // [r]: bytes that the values < r of a group touch
    std::vector<Slot> slots;               // the pieces ordered by value
    std::vector<uint32_t> value_slots;     // value j owns slots[value_slots[j] .. value_slots[j + 1]]
    std::vector<uint32_t> sign_shift;      // per value: 64 - sign bits, or 0
    uint32_t per_value = 0;                // word kernel: pieces of the value with most
    std::vector<WordPiece> word;           // word kernel: per_value entries per value, padded with empty pieces
    bool wide_pieces = false;              // every piece lies in the 8 bytes from its first byte
    bool copies = false;                   // some piece is a copy: encoding skips it
    VectorPlan vector;                     // empty unless the vector kernel runs
    DecodeRun decode_run = nullptr;
    DecodeRun scalar_decode = nullptr;     // what the vector kernel leaves to scalar code
    EncodeRun encode_run = nullptr;
    EncodeRun scalar_encode = nullptr;     // what the vector kernel leaves to scalar code
    EncodeRun overlap_encode = nullptr;    // for runs of one call that share bytes: every group OR-ed

    /// Bytes that `count` consecutive values occupy from the start of a run.
    u128 byte_count(uint64_t count) const {
        return u128(count / group_values) * group_bytes + partial_bytes[count % group_values];
    }
};

void pick_kernels(Program &p);

/// Checks the fields of `p` (as given) and derives what the kernels read.
void prepare(Program &p, int64_t group_bytes, int64_t group_values, int64_t out_bytes,
             const std::vector<int64_t> &sign_bits) {
    if (group_bytes < 1 || group_bytes > MAX_GROUP_BYTES)
        fail("group_bytes must be between 1 and 4096, not " + std::to_string(group_bytes));
    if (group_values < 1 || group_values > MAX_GROUP_VALUES)
        fail("group_values must be between 1 and 4096, not " + std::to_string(group_values));
    if (out_bytes != 1 && out_bytes != 2 && out_bytes != 4 && out_bytes != 8)
        fail("out_bytes must be 1, 2, 4 or 8, not " + std::to_string(out_bytes));
    p.group_bytes = uint32_t(group_bytes);
    p.group_values = uint32_t(group_values);
    p.out_bytes = uint32_t(out_bytes);
    const int64_t group_bits = 8 * group_bytes, out_bits = 8 * out_bytes;

    // Which piece owns each source bit, and each value's destination bits.
    std::vector<int32_t> owner(size_t(group_bits), -1);
    std::vector<uint64_t> dst_bits(p.group_values, 0);
    std::vector<uint32_t> per_value(p.group_values, 0);
    for (size_t i = 0; i < p.pieces.size(); ++i) {
        const Piece &q = p.pieces[i];
        const std::string where = "pieces[" + std::to_string(i) + "]: ";
        if (q.src_bit < 0)
            fail(where + "src_bit must be >= 0, not " + std::to_string(q.src_bit));
        if (q.width < 1 || q.width > 64)
            fail(where + "width must be between 1 and 64, not " + std::to_string(q.width));
        if (q.dst < 0 || q.dst >= group_values)
            fail(where + "dst must be between 0 and " + std::to_string(group_values - 1) + ", not " +
                 std::to_string(q.dst));
        if (q.shift < 0)
            fail(where + "shift must be >= 0, not " + std::to_string(q.shift));
        if (q.shift > out_bits - q.width)
            fail(where + "shift + width exceeds the " + std::to_string(out_bits) + " bits of an output value");
        if (q.src_bit > group_bits - q.width)
            fail(where + "src_bit + width exceeds the group's " + std::to_string(group_bits) + " bits");
        for (int64_t b = q.src_bit; b < q.src_bit + q.width && !q.copy; ++b) {
            if (owner[size_t(b)] >= 0)
                fail(where + "its source bits overlap those of pieces[" + std::to_string(owner[size_t(b)]) + "]");
            owner[size_t(b)] = int32_t(i);
        }
        uint64_t bits = low_mask(unsigned(q.width)) << q.shift;
        if (dst_bits[size_t(q.dst)] & bits)
            fail(where + "its bits overlap another piece's in value " + std::to_string(q.dst));
        dst_bits[size_t(q.dst)] |= bits;
        ++per_value[size_t(q.dst)];
    }
    for (uint32_t j = 0; j < p.group_values; ++j)
        if (per_value[j] == 0)
            fail("value " + std::to_string(j) + " of the group has no piece");
    // A copy repeats a whole piece, so that writing the original alone restores
    // every bit that the copy reads.
    for (size_t i = 0; i < p.pieces.size(); ++i) {
        const Piece &q = p.pieces[i];
        if (!q.copy)
            continue;
        p.copies = true;
        const bool found = std::any_of(p.pieces.begin(), p.pieces.end(), [&](const Piece &o) {
            return !o.copy && o.src_bit == q.src_bit && o.width == q.width && o.shift == q.shift;
        });
        if (!found)
            fail("pieces[" + std::to_string(i) + "]: a copy must repeat the src_bit, width and shift of a piece "
                 "that is not a copy");
    }
    if (sign_bits.size() != p.group_values)
        fail("sign_bits has " + std::to_string(sign_bits.size()) + " entries, group_values is " +
             std::to_string(p.group_values));
    for (size_t j = 0; j < sign_bits.size(); ++j) {
        if (sign_bits[j] < 0 || sign_bits[j] > out_bits)
            fail("sign_bits[" + std::to_string(j) + "] must be between 0 and " + std::to_string(out_bits) +
                 " (the bits of an output value), not " + std::to_string(sign_bits[j]));
        p.sign_bits.push_back(uint32_t(sign_bits[j]));
    }

    // Bytes of a partial group: value order, not piece order, decides.
    std::vector<uint32_t> end_bit(p.group_values, 0);
    for (const Piece &q : p.pieces)
        end_bit[size_t(q.dst)] = std::max(end_bit[size_t(q.dst)], uint32_t(q.src_bit + q.width));
    p.partial_bytes.assign(p.group_values + 1, 0);
    uint32_t reach = 0;
    for (uint32_t r = 1; r <= p.group_values; ++r) {
        reach = std::max(reach, end_bit[r - 1]);
        p.partial_bytes[r] = (reach + 7) / 8;
    }

    p.value_slots.assign(p.group_values + 1, 0);
    for (uint32_t j = 0; j < p.group_values; ++j)
        p.value_slots[j + 1] = p.value_slots[j] + per_value[j];
    p.slots.assign(p.pieces.size(), Slot{});
    std::vector<uint32_t> fill(p.value_slots.begin(), p.value_slots.end() - 1);
    for (const Piece &q : p.pieces) {
        uint32_t first = uint32_t(q.src_bit / 8), last = uint32_t((q.src_bit + q.width - 1) / 8);
        uint32_t bytes = last - first + 1, in = uint32_t(q.src_bit % 8);
        uint32_t at = p.msb_first ? 8 * bytes - in - uint32_t(q.width) : in;
        p.slots[fill[size_t(q.dst)]++] = Slot{first, bytes, at, uint32_t(q.shift), low_mask(unsigned(q.width)),
                                             uint32_t(q.src_bit), uint32_t(q.width), q.copy};
    }
    // A value's unshifted pieces first: the vector kernel then skips the
    // shift of a slot that holds none but those.
    for (uint32_t j = 0; j < p.group_values; ++j)
        std::stable_sort(p.slots.begin() + p.value_slots[j], p.slots.begin() + p.value_slots[j + 1],
                         [](const Slot &a, const Slot &b) { return a.shift < b.shift; });
    p.wide_pieces = std::all_of(p.slots.begin(), p.slots.end(), [](const Slot &sl) { return sl.bytes <= 8; });
    p.sign_shift.assign(p.group_values, 0);
    for (uint32_t j = 0; j < p.group_values; ++j)
        p.sign_shift[j] = p.sign_bits[j] ? 64 - p.sign_bits[j] : 0;

    // Classification.
    bool identity = p.pieces.size() == p.group_values && p.group_bytes == p.group_values * p.out_bytes;
    for (const Piece &q : p.pieces)
        identity = identity && q.width == out_bits && q.shift == 0 && q.src_bit == out_bits * q.dst;
    for (uint32_t n : p.sign_bits)
        identity = identity && (n == 0 || n == uint32_t(out_bits));
    if (identity)
        p.kernel = p.msb_first && p.out_bytes > 1 ? Kernel::byteswap : Kernel::copy;
    else if (p.group_bytes <= 8)
        p.kernel = Kernel::word;
    else
        p.kernel = Kernel::generic;

    if (p.kernel == Kernel::word) {
        p.per_value = *std::max_element(per_value.begin(), per_value.end());
        p.word.assign(size_t(p.group_values) * p.per_value, WordPiece{0, 0, 0});
        std::vector<uint32_t> used(p.group_values, 0);
        for (const Piece &q : p.pieces) {
            uint32_t rs = p.msb_first ? uint32_t(64 - q.src_bit - q.width) : uint32_t(q.src_bit);
            p.word[size_t(q.dst) * p.per_value + used[size_t(q.dst)]++] =
                WordPiece{low_mask(unsigned(q.width)), rs, uint32_t(q.shift)};
        }
    }
    pick_kernels(p);
}

// ---------------------------------------------------------------------------
// Plain C++: the byte-wise reader and writer.  They touch only the bytes a
// piece covers, so they serve the partial group at the end of a run as well
// as the generic kernel.

inline uint64_t read_slot(const uint8_t *group, const Slot &s, bool msb_first) {
    u128 x = 0;
    const uint8_t *b = group + s.first_byte;
    if (msb_first)
        for (uint32_t i = 0; i < s.bytes; ++i)
            x = (x << 8) | b[i];
    else
        for (uint32_t i = 0; i < s.bytes; ++i)
            x |= u128(b[i]) << (8 * i);
    return uint64_t(x >> s.at) & s.mask;
}

inline void write_slot(uint8_t *group, const Slot &s, bool msb_first, uint64_t bits) {
    u128 x = u128(bits & s.mask) << s.at;
    uint8_t *b = group + s.first_byte;
    if (msb_first)
        for (uint32_t i = 0; i < s.bytes; ++i)
            b[i] |= uint8_t(x >> (8 * (s.bytes - 1 - i)));
    else
        for (uint32_t i = 0; i < s.bytes; ++i)
            b[i] |= uint8_t(x >> (8 * i));
}

/// Decodes the values < `values` of the group at `group` (all its values for a
/// whole group, fewer for the partial one).
template <typename T>
void decode_slots(const Program &p, const uint8_t *group, uint8_t *out, size_t value_stride, uint32_t values) {
    for (uint32_t j = 0; j < values; ++j) {
        uint64_t v = 0;
        for (uint32_t k = p.value_slots[j]; k < p.value_slots[j + 1]; ++k)
            v |= read_slot(group, p.slots[k], p.msb_first) << p.slots[k].shift;
        store<T>(out + j * value_stride, T(sign_extend(v, p.sign_shift[j])));
    }
}

template <typename T>
void encode_slots(const Program &p, const uint8_t *in, size_t value_stride, uint8_t *group, uint32_t values) {
    for (uint32_t j = 0; j < values; ++j) {
        uint64_t v = load<T>(in + j * value_stride);
        for (uint32_t k = p.value_slots[j]; k < p.value_slots[j + 1]; ++k)
            if (!p.slots[k].copy)
                write_slot(group, p.slots[k], p.msb_first, v >> p.slots[k].shift);
    }
}

// ---------------------------------------------------------------------------
// Plain C++: the kernels, one run each.  A run's values go to elements
// `first + i * step` of `vals`; its stream starts at byte `start` of `buf`.
// The caller has checked that every byte and element they touch exists.

/// Reads each piece with one 8-byte load at its first byte while that stays
/// inside the buffer (the piece then lies in the loaded word: callers check
/// `wide_pieces`), else byte by byte.
template <typename T>
void decode_generic(const Program &p, const uint8_t *buf, size_t buf_len, size_t start, uint8_t *vals,
                    size_t first, size_t step, size_t count) {
    const size_t gv = p.group_values, gb = p.group_bytes, vs = step * sizeof(T);
    const size_t groups = count / gv;
    const uint8_t *in = buf + start;
    uint8_t *out = vals + first * sizeof(T);
    size_t g = 0;
    if (p.wide_pieces && buf_len - start >= gb + 8) {
        const size_t fast = std::min(groups, (buf_len - start - gb - 8) / gb + 1);
        for (; g < fast; ++g, in += gb, out += gv * vs)
            for (uint32_t j = 0; j < gv; ++j) {
                uint64_t v = 0;
                for (uint32_t k = p.value_slots[j]; k < p.value_slots[j + 1]; ++k) {
                    const Slot &sl = p.slots[k];
                    uint64_t w = load<uint64_t>(in + sl.first_byte);
                    v |= ((p.msb_first ? bswap(w) >> (64 - 8 * sl.bytes) : w) >> sl.at & sl.mask) << sl.shift;
                }
                store<T>(out + j * vs, T(sign_extend(v, p.sign_shift[j])));
            }
    }
    for (; g < groups; ++g, in += gb, out += gv * vs)
        decode_slots<T>(p, in, out, vs, uint32_t(gv));
    if (count % gv)
        decode_slots<T>(p, in, out, vs, uint32_t(count % gv));
}

template <typename T>
void encode_generic(const Program &p, const uint8_t *vals, size_t first, size_t step, uint8_t *buf, size_t start,
                    size_t count) {
    const size_t gv = p.group_values, gb = p.group_bytes, vs = step * sizeof(T);
    const size_t groups = count / gv;
    const uint8_t *in = vals + first * sizeof(T);
    uint8_t *out = buf + start;
    for (size_t g = 0; g < groups; ++g, out += gb, in += gv * vs)
        encode_slots<T>(p, in, vs, out, uint32_t(gv));
    if (count % gv)
        encode_slots<T>(p, in, vs, out, uint32_t(count % gv));
}

/// Element-wise copy into every `step`-th value; planar frames land here
/// with a step of 2 to 4, which the compiler unrolls when it is a constant.
template <typename T, size_t Step>
void spread(const uint8_t *in, uint8_t *out, size_t step, size_t count) {
    const size_t st = Step ? Step : step;
    for (size_t i = 0; i < count; ++i)
        store<T>(out + i * st * sizeof(T), load<T>(in + i * sizeof(T)));
}

template <typename T, size_t Step>
void gather(const uint8_t *in, uint8_t *out, size_t step, size_t count) {
    const size_t st = Step ? Step : step;
    for (size_t i = 0; i < count; ++i)
        store<T>(out + i * sizeof(T), load<T>(in + i * st * sizeof(T)));
}

template <typename T>
void decode_copy(const Program &, const uint8_t *buf, size_t, size_t start, uint8_t *vals, size_t first,
                 size_t step, size_t count) {
    const uint8_t *in = buf + start;
    uint8_t *out = vals + first * sizeof(T);
    switch (step) {
    case 1: std::memcpy(out, in, count * sizeof(T)); return;
    case 2: return spread<T, 2>(in, out, step, count);
    case 3: return spread<T, 3>(in, out, step, count);
    case 4: return spread<T, 4>(in, out, step, count);
    default: return spread<T, 0>(in, out, step, count);
    }
}

template <typename T>
void encode_copy(const Program &, const uint8_t *vals, size_t first, size_t step, uint8_t *buf, size_t start,
                 size_t count) {
    const uint8_t *in = vals + first * sizeof(T);
    uint8_t *out = buf + start;
    switch (step) {
    case 1: std::memcpy(out, in, count * sizeof(T)); return;
    case 2: return gather<T, 2>(in, out, step, count);
    case 3: return gather<T, 3>(in, out, step, count);
    case 4: return gather<T, 4>(in, out, step, count);
    default: return gather<T, 0>(in, out, step, count);
    }
}

template <typename T>
#ifdef __x86_64__
__attribute__((target_clones("avx2", "default")))
#endif
void decode_byteswap(const Program &, const uint8_t *buf, size_t, size_t start, uint8_t *vals, size_t first,
                     size_t step, size_t count) {
    const uint8_t *in = buf + start;
    uint8_t *out = vals + first * sizeof(T);
    if (step == 1) {   // a loop of its own, which the compiler vectorises
        for (size_t i = 0; i < count; ++i)
            store<T>(out + i * sizeof(T), bswap(load<T>(in + i * sizeof(T))));
        return;
    }
    for (size_t i = 0; i < count; ++i)
        store<T>(out + i * step * sizeof(T), bswap(load<T>(in + i * sizeof(T))));
}

template <typename T>
#ifdef __x86_64__
__attribute__((target_clones("avx2", "default")))
#endif
void encode_byteswap(const Program &, const uint8_t *vals, size_t first, size_t step, uint8_t *buf, size_t start,
                     size_t count) {
    const uint8_t *in = vals + first * sizeof(T);
    uint8_t *out = buf + start;
    if (step == 1) {
        for (size_t i = 0; i < count; ++i)
            store<T>(out + i * sizeof(T), bswap(load<T>(in + i * sizeof(T))));
        return;
    }
    for (size_t i = 0; i < count; ++i)
        store<T>(out + i * sizeof(T), bswap(load<T>(in + i * step * sizeof(T))));
}

/// The group's first `bytes` (< 8) bytes as the word kernel sees them, without
/// reading past them.
template <bool Msb>
inline uint64_t load_short(const uint8_t *p, size_t bytes) {
    uint8_t tmp[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(tmp, p, bytes);
    uint64_t w = load<uint64_t>(tmp);
    return Msb ? bswap(w) : w;
}

/// The word kernel's piece table, copied into locals of fixed size when the
/// shape is a template argument (so that the unrolled loops keep it in registers).
template <unsigned GV, unsigned PPV>
struct WordTable {
    static constexpr unsigned N = GV * PPV;
    uint64_t mask[N];
    uint32_t rs[N], sh[N], ss[GV];
    unsigned gv() const { return GV; }
    unsigned ppv() const { return PPV; }
    explicit WordTable(const Program &p) {
        for (unsigned k = 0; k < N; ++k) {
            mask[k] = p.word[k].mask;
            rs[k] = p.word[k].rs;
            sh[k] = p.word[k].sh;
        }
        for (unsigned j = 0; j < GV; ++j)
            ss[j] = p.sign_shift[j];
    }
};

/// The same table of a shape known only at run time.
template <>
struct WordTable<0, 0> {
    const WordPiece *w;
    const uint32_t *ss;
    unsigned gv_, ppv_;
    unsigned gv() const { return gv_; }
    unsigned ppv() const { return ppv_; }
    explicit WordTable(const Program &p)
        : w(p.word.data()), ss(p.sign_shift.data()), gv_(p.group_values), ppv_(p.per_value) {}
};

template <unsigned GV, unsigned PPV>
inline uint64_t word_value(const WordTable<GV, PPV> &t, unsigned j, uint64_t w) {
    uint64_t v = 0;
    if constexpr (GV == 0) {
        for (unsigned k = j * t.ppv(); k < (j + 1) * t.ppv(); ++k)
            v |= ((w >> t.w[k].rs) & t.w[k].mask) << t.w[k].sh;
        return sign_extend(v, t.ss[j]);
    } else {
        for (unsigned k = j * PPV; k < (j + 1) * PPV; ++k)
            v |= ((w >> t.rs[k]) & t.mask[k]) << t.sh[k];
        return sign_extend(v, t.ss[j]);
    }
}

template <unsigned GV, unsigned PPV>
inline uint64_t word_bits(const WordTable<GV, PPV> &t, unsigned j, uint64_t v) {
    uint64_t w = 0;
    if constexpr (GV == 0) {
        for (unsigned k = j * t.ppv(); k < (j + 1) * t.ppv(); ++k)
            w |= ((v >> t.w[k].sh) & t.w[k].mask) << t.w[k].rs;
    } else {
        for (unsigned k = j * PPV; k < (j + 1) * PPV; ++k)
            w |= ((v >> t.sh[k]) & t.mask[k]) << t.rs[k];
    }
    return w;
}

/// Groups of up to 8 bytes: one 64-bit load per group while 8 bytes remain in
/// the buffer, a short load for the last groups, the byte-wise reader for a
/// partial group.
template <typename T, unsigned GV, unsigned PPV, bool Msb>
void decode_word(const Program &p, const uint8_t *buf, size_t buf_len, size_t start, uint8_t *vals, size_t first,
                 size_t step, size_t count) {
    const WordTable<GV, PPV> t(p);
    const unsigned gv = t.gv();
    const size_t gb = p.group_bytes, vs = step * sizeof(T), groups = count / gv;
    const size_t avail = buf_len - start;
    const size_t fast = avail >= 8 ? std::min(groups, (avail - 8) / gb + 1) : 0;
    const uint8_t *in = buf + start;
    uint8_t *out = vals + first * sizeof(T);
    size_t g = 0;
    for (; g < fast; ++g, in += gb, out += gv * vs) {
        uint64_t w = load<uint64_t>(in);
        if (Msb)
            w = bswap(w);
        for (unsigned j = 0; j < gv; ++j)
            store<T>(out + j * vs, T(word_value(t, j, w)));
    }
    for (; g < groups; ++g, in += gb, out += gv * vs) {
        uint64_t w = load_short<Msb>(in, gb);
        for (unsigned j = 0; j < gv; ++j)
            store<T>(out + j * vs, T(word_value(t, j, w)));
    }
    if (count % gv)
        decode_slots<T>(p, in, out, vs, uint32_t(count % gv));
}

/// Runs of one call that share bytes: every group is OR-ed into the stream.
/// The groups' bytes are collected into whole 8-byte words, each read and
/// written once, so that no load has to wait for an overlapping store.
template <typename T, unsigned GV, unsigned PPV, bool Msb>
void encode_word(const Program &p, const uint8_t *vals, size_t first, size_t step, uint8_t *buf, size_t start,
                 size_t count) {
    const WordTable<GV, PPV> t(p);
    const unsigned gv = t.gv();
    const size_t gb = p.group_bytes, vs = step * sizeof(T), groups = count / gv;
    const unsigned group_bits = unsigned(8 * gb);
    const uint8_t *in = vals + first * sizeof(T);
    uint8_t *out = buf + start;
    u128 acc = 0;   // stream bytes not yet written, the first one lowest
    unsigned fill = 0;
    for (size_t g = 0; g < groups; ++g, in += gv * vs) {
        uint64_t w = 0;
        for (unsigned j = 0; j < gv; ++j)
            w |= word_bits(t, j, uint64_t(load<T>(in + j * vs)));
        if (Msb)
            w = bswap(w);   // the group's bytes in stream order, as for lsb-first
        acc |= u128(w) << fill;
        fill += group_bits;
        if (fill >= 64) {
            store<uint64_t>(out, load<uint64_t>(out) | uint64_t(acc));
            out += 8;
            acc >>= 64;
            fill -= 64;
        }
    }
    for (unsigned i = 0; 8 * i < fill; ++i)
        out[i] |= uint8_t(acc >> (8 * i));
    if (count % gv)
        encode_slots<T>(p, in, vs, buf + start + groups * gb, uint32_t(count % gv));
}

/// Whole groups are stored 8 bytes at a time, each store's bytes past its
/// group rewritten by the next; the first group and the last ones (whose
/// 8 bytes would leave the run's whole groups) are OR-ed byte by byte, so
/// that a neighbouring run's bits in the bytes a run shares with it stay.
template <typename T, unsigned GV, unsigned PPV, bool Msb>
void encode_word_whole(const Program &p, const uint8_t *vals, size_t first, size_t step, uint8_t *buf, size_t start,
                 size_t count) {
    const WordTable<GV, PPV> t(p);
    const unsigned gv = t.gv();
    const size_t gb = p.group_bytes, vs = step * sizeof(T), groups = count / gv;
    const size_t full = groups * gb;
    const size_t whole = full >= 8 ? std::min(groups, (full - 8) / gb + 1) : 0;
    const uint8_t *in = vals + first * sizeof(T);
    uint8_t *out = buf + start;
    size_t g = 0;
    for (; g < groups; ++g, in += gv * vs, out += gb) {
        uint64_t w = 0;
        for (unsigned j = 0; j < gv; ++j)
            w |= word_bits(t, j, uint64_t(load<T>(in + j * vs)));
        if (Msb)
            w = bswap(w);
        if (g > 0 && g < whole) {
            store<uint64_t>(out, w);
        } else {
            for (size_t i = 0; i < gb; ++i)
                out[i] |= uint8_t(w >> (8 * i));
        }
    }
    if (count % gv)
        encode_slots<T>(p, in, vs, out, uint32_t(count % gv));
}

// ---------------------------------------------------------------------------
// Plain C++: the vector kernel.  Eight values at a time: one 16-byte load
// (two when the 8 values span more), then per piece a byte shuffle that
// gathers each value's bytes into a 32-bit lane, a shift and a mask per lane.
// One program-derived table serves every layout whose pieces fit in 4 bytes
// and whose 4 consecutive values lie in 16 bytes; encoding runs the same
// table backwards.  Chosen at run time when the processor has AVX2; the
// scalar kernels are the fallback and finish every run.

constexpr uint32_t VECTOR_MAX_STEPS = 64;
constexpr uint32_t VECTOR_MAX_CHUNKS = 4, VECTOR_MAX_ENCODE_VECTORS = 16;
std::atomic<bool> g_vectorize{true};

bool vector_available();

uint32_t gcd(uint32_t a, uint32_t b) {
    while (b) {
        uint32_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

/// The encoding tables of `v`: for each 16-byte chunk of a period, the
/// shuffles that move lane bytes into it.  A period byte that several lane
/// bytes of one vector share takes one more shuffle per extra byte.
void plan_inverse(VectorPlan &v) {
    const uint32_t chunks = (v.period_bytes + 15) / 16, vectors = v.steps * v.ppv;
    if (chunks > VECTOR_MAX_CHUNKS || vectors > VECTOR_MAX_ENCODE_VECTORS)
        return;
    // Per vector (step, slot), half and period byte: the lane bytes (0..15 of the half) that land there.
    std::vector<std::vector<uint8_t>> from(size_t(vectors) * 2 * 16 * chunks);
    auto sources = [&](uint32_t vec, uint32_t half, uint32_t byte) -> std::vector<uint8_t> & {
        return from[(size_t(vec) * 2 + half) * 16 * chunks + byte];
    };
    for (uint32_t vec = 0; vec < vectors; ++vec)
        for (uint32_t k = 0; k < 8; ++k)
            for (uint32_t t = 0; t < 4; ++t) {
                uint8_t c = v.pieces[vec].ctrl[4 * k + t];
                if (c != 0x80)
                    sources(vec, k / 4, v.window[2 * (vec / v.ppv) + k / 4] + c).push_back(uint8_t(4 * (k % 4) + t));
            }
    v.chunks = chunks;
    v.op_first.assign(size_t(chunks) * vectors + 1, 0);
    for (uint32_t chunk = 0; chunk < chunks; ++chunk) {
        for (uint32_t vec = 0; vec < vectors; ++vec) {
            v.op_first[size_t(chunk) * vectors + vec] = uint32_t(v.inverse.size());
            for (uint32_t pass = 0;; ++pass) {
                VectorInverse inv{};
                bool any = false;
                for (uint32_t half = 0; half < 2; ++half)
                    for (uint32_t byte = 0; byte < 16; ++byte) {
                        const auto &list = sources(vec, half, 16 * chunk + byte);
                        any = any || pass < list.size();
                        inv.ctrl[16 * half + byte] = pass < list.size() ? list[pass] : 0x80;
                    }
                if (!any)
                    break;
                v.inverse.push_back(inv);
            }
        }
    }
    v.op_first.back() = uint32_t(v.inverse.size());
}

/// When each value's pieces lie in 4 bytes, gathers those bytes once per lane
/// for all its slots (one shuffle per step instead of one per slot).
void unify(const Program &p, VectorPlan &v) {
    const uint32_t gv = p.group_values, gb = p.group_bytes;
    std::vector<VectorPiece> pieces = v.pieces;
    for (uint32_t st = 0; st < v.steps; ++st)
        for (uint32_t k = 0; k < 8; ++k) {
            uint32_t i = 8 * st + k, g = i / gv, j = i % gv, lo = UINT32_MAX, hi = 0;
            for (uint32_t q = p.value_slots[j]; q < p.value_slots[j + 1]; ++q) {
                uint32_t bit = g * 8 * gb + p.slots[q].src_bit;
                lo = std::min(lo, bit / 8);
                hi = std::max(hi, (bit + p.slots[q].width + 7) / 8);
            }
            const uint32_t bytes = hi - lo, window = v.window[2 * st + k / 4];
            if (bytes > 4)
                return;
            for (uint32_t q = 0; q < v.ppv; ++q) {
                VectorPiece &vp = pieces[size_t(st) * v.ppv + q];
                for (uint32_t b = 0; b < 4; ++b)
                    vp.ctrl[4 * k + b] =
                        b < bytes ? uint8_t(lo - window + (p.msb_first ? bytes - 1 - b : b)) : uint8_t(0x80);
                if (q >= p.value_slots[j + 1] - p.value_slots[j])
                    continue;   // an empty slot keeps mask 0
                const Slot &sl = p.slots[p.value_slots[j] + q];
                const uint32_t at = g * 8 * gb + sl.src_bit - 8 * lo;   // bits before the piece in the lane's bytes
                vp.rs[k] = p.msb_first ? 8 * bytes - at - sl.width : at;
            }
        }
    v.pieces = std::move(pieces);
    v.unified = true;
}

/// Builds `p.vector`; false (and nothing built) when the layout does not fit.
bool plan_vector(Program &p) {
    if (p.out_bytes > 4 || p.kernel == Kernel::copy || p.kernel == Kernel::byteswap)
        return false;
    const uint32_t gv = p.group_values, gb = p.group_bytes;
    const uint32_t period = 8 / gcd(8, gv) * gv;
    if (period / 8 > VECTOR_MAX_STEPS)
        return false;
    VectorPlan v;
    v.steps = period / 8;
    v.period_values = period;
    v.period_bytes = period / gv * gb;
    for (uint32_t j = 0; j < gv; ++j)
        v.ppv = std::max(v.ppv, p.value_slots[j + 1] - p.value_slots[j]);
    v.window.assign(2 * v.steps, 0);
    v.pieces.assign(size_t(v.steps) * v.ppv, VectorPiece{});
    v.sign_shift.assign(8 * size_t(v.steps), 0);
    // The bytes that lanes [first, last) of step st touch: [lo, hi); false
    // when a piece does not fit in a 32-bit lane.
    auto span = [&](uint32_t st, uint32_t first, uint32_t last, uint32_t &lo, uint32_t &hi) {
        lo = UINT32_MAX, hi = 0;
        for (uint32_t k = first; k < last; ++k) {
            uint32_t i = 8 * st + k, g = i / gv, j = i % gv;
            for (uint32_t q = p.value_slots[j]; q < p.value_slots[j + 1]; ++q) {
                const Slot &sl = p.slots[q];
                uint32_t bit = g * 8 * gb + sl.src_bit;
                if (bit % 8 + sl.width > 32)
                    return false;
                lo = std::min(lo, bit / 8);
                hi = std::max(hi, (bit + sl.width + 7) / 8);
            }
        }
        return true;
    };
    v.broadcast = true;
    for (uint32_t st = 0; st < v.steps; ++st) {
        // One 16-byte load for both halves when the step's 8 values fit in it.
        uint32_t step_lo, step_hi;
        if (!span(st, 0, 8, step_lo, step_hi))
            return false;
        const bool shared = step_hi - step_lo <= 16;
        v.broadcast = v.broadcast && shared;
        for (uint32_t half = 0; half < 2; ++half) {
            uint32_t lo, hi;
            span(st, 4 * half, 4 * half + 4, lo, hi);
            if (shared)
                lo = step_lo;
            else if (hi - lo > 16)
                return false;
            v.window[2 * st + half] = lo;
            v.reach = std::max(v.reach, lo + 16);
            for (uint32_t k = 4 * half; k < 4 * half + 4; ++k) {
                uint32_t i = 8 * st + k, g = i / gv, j = i % gv;
                v.sign_shift[8 * st + k] = p.sign_bits[j] ? 32 - p.sign_bits[j] : 0;
                v.is_signed = v.is_signed || p.sign_bits[j];
                for (uint32_t q = 0; q < v.ppv; ++q) {
                    VectorPiece &vp = v.pieces[size_t(st) * v.ppv + q];
                    std::memset(vp.ctrl + 4 * k, 0x80, 4);
                    vp.rs[k] = vp.mask[k] = vp.ls[k] = 0;
                    if (q >= p.value_slots[j + 1] - p.value_slots[j])
                        continue;   // an empty slot: no bytes, mask 0
                    const Slot &sl = p.slots[p.value_slots[j] + q];
                    uint32_t bit = g * 8 * gb + sl.src_bit, in = bit % 8, bytes = (in + sl.width + 7) / 8;
                    for (uint32_t b = 0; b < bytes; ++b)
                        vp.ctrl[4 * k + b] = uint8_t(bit / 8 - lo + (p.msb_first ? bytes - 1 - b : b));
                    vp.rs[k] = p.msb_first ? 8 * bytes - in - sl.width : in;
                    vp.mask[k] = uint32_t(low_mask(sl.width));
                    vp.ls[k] = sl.shift;
                    v.shifted = v.shifted || sl.shift;
                    if (sl.shift)
                        v.shifted_slots |= 1u << std::min(q, 31u);
                }
            }
        }
    }
    plan_inverse(v);
    v.encode_pieces = v.pieces;   // encoding keeps one gathering per slot: fewer shuffles back
    if (v.ppv > 1)
        unify(p, v);
    p.vector = std::move(v);
    return true;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVELL_ENGINE_AVX2 1

#define AVX2 __attribute__((target("avx2")))

AVX2 inline __m256i load256(const void *p) { return _mm256_loadu_si256(static_cast<const __m256i *>(p)); }

/// Stores the low `sizeof(T)` bytes of each 32-bit lane: 8 values.
template <typename T>
AVX2 inline void store_lanes(uint8_t *out, __m256i v) {
    if constexpr (sizeof(T) == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), v);
    } else if constexpr (sizeof(T) == 2) {
        const __m256i pick = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,   //
                                              0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
        __m256i x = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, pick), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm256_castsi256_si128(x));
    } else {
        const __m256i pick = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,   //
                                              0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        __m256i x = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, pick), _mm256_setr_epi32(0, 4, 1, 1, 1, 1, 1, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm256_castsi256_si128(x));
    }
}

/// One step: 8 values, in 32-bit lanes, from the two windows, `PPV` pieces each.
template <unsigned PPV, bool Signed, unsigned Shifts, bool Broadcast, bool Unified>
AVX2 inline __m256i vector_step(const uint8_t *in, uint32_t lo, uint32_t hi, const __m256i *ctrl, const __m256i *rs,
                                const __m256i *mask, const __m256i *ls, __m256i ss) {
    __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + lo));
    __m256i v = Broadcast ? _mm256_broadcastsi128_si256(low)
                          : _mm256_inserti128_si256(_mm256_castsi128_si256(low),
                                                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + hi)), 1);
    __m256i acc = _mm256_setzero_si256();
    const __m256i gathered = _mm256_shuffle_epi8(v, ctrl[0]);
    for (unsigned q = 0; q < PPV; ++q) {
        const __m256i bytes = Unified || q == 0 ? gathered : _mm256_shuffle_epi8(v, ctrl[q]);
        __m256i x = _mm256_and_si256(_mm256_srlv_epi32(bytes, rs[q]), mask[q]);
        acc = _mm256_or_si256(acc, (Shifts >> q) & 1 ? _mm256_sllv_epi32(x, ls[q]) : x);
    }
    if (Signed)
        acc = _mm256_srav_epi32(_mm256_sllv_epi32(acc, ss), ss);
    return acc;
}

/// Stores the steps `r[0 .. 4 / sizeof(T))` as 32 bytes of values: 32-bit
/// lanes narrowed with saturating packs, which the values (masked to their
/// container first when sign-extended) never reach.
template <typename T, bool Signed>
AVX2 inline void store_block(uint8_t *out, const __m256i *r) {
    if constexpr (sizeof(T) == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), r[0]);
    } else if constexpr (sizeof(T) == 2) {
        __m256i a = r[0], b = r[1];
        if (Signed) {
            const __m256i m = _mm256_set1_epi32(0xFFFF);
            a = _mm256_and_si256(a, m);
            b = _mm256_and_si256(b, m);
        }
        __m256i x = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), x);
    } else {
        __m256i a = r[0], b = r[1], c = r[2], d = r[3];
        if (Signed) {
            const __m256i m = _mm256_set1_epi32(0xFF);
            a = _mm256_and_si256(a, m);
            b = _mm256_and_si256(b, m);
            c = _mm256_and_si256(c, m);
            d = _mm256_and_si256(d, m);
        }
        __m256i x = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_packus_epi32(c, d));
        x = _mm256_permutevar8x32_epi32(x, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), x);
    }
}

constexpr unsigned const_gcd(unsigned a, unsigned b) { return b ? const_gcd(b, a % b) : a; }

template <typename T, bool Signed>
AVX2 inline void vector_step_table(const uint8_t *in, const VectorPlan &v, unsigned st, uint8_t *out) {
    __m256i v8 = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + v.window[2 * st]))),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + v.window[2 * st + 1])), 1);
    __m256i acc = _mm256_setzero_si256();
    for (unsigned q = 0; q < v.ppv; ++q) {
        const VectorPiece &vp = v.pieces[size_t(st) * v.ppv + q];
        __m256i x = _mm256_srlv_epi32(_mm256_shuffle_epi8(v8, load256(vp.ctrl)), load256(vp.rs));
        acc = _mm256_or_si256(acc, _mm256_sllv_epi32(_mm256_and_si256(x, load256(vp.mask)), load256(vp.ls)));
    }
    if (Signed) {
        __m256i ss = load256(&v.sign_shift[8 * size_t(st)]);
        acc = _mm256_srav_epi32(_mm256_sllv_epi32(acc, ss), ss);
    }
    store_lanes<T>(out, acc);
}

/// Whole periods of a run with contiguous values, while the loads stay inside
/// the buffer; the rest of the run goes to the scalar kernel.  With the shape
/// a template argument the tables live in registers.
template <typename T, unsigned Steps, unsigned PPV, bool Signed, unsigned Shifts, bool Broadcast, bool Unified>
AVX2 void decode_vector(const Program &p, const uint8_t *buf, size_t buf_len, size_t start, uint8_t *vals,
                        size_t first, size_t step, size_t count) {
    const VectorPlan &v = p.vector;
    size_t periods = 0;
    if (step == 1) {
        const size_t avail = buf_len - start;
        periods = avail >= v.reach ? std::min(count / v.period_values, (avail - v.reach) / v.period_bytes + 1) : 0;
        const uint8_t *in = buf + start;
        uint8_t *out = vals + first * sizeof(T);
        if constexpr (Steps != 0) {
            // A block fills one 32-byte store; `Rounds` periods make whole blocks.
            constexpr unsigned Block = 4 / sizeof(T), Rounds = Block / const_gcd(Block, Steps);
            periods -= periods % Rounds;
            __m256i ctrl[Steps * PPV], rs[Steps * PPV], mask[Steps * PPV], ls[Steps * PPV], ss[Steps];
            for (unsigned k = 0; k < Steps * PPV; ++k) {
                ctrl[k] = load256(v.pieces[k].ctrl);
                rs[k] = load256(v.pieces[k].rs);
                mask[k] = load256(v.pieces[k].mask);
                ls[k] = load256(v.pieces[k].ls);
            }
            for (unsigned st = 0; st < Steps; ++st)
                ss[st] = load256(&v.sign_shift[8 * st]);
            uint32_t window[2 * Steps];
            for (unsigned k = 0; k < 2 * Steps; ++k)
                window[k] = v.window[k];
            const size_t pb = v.period_bytes;
            for (size_t n = 0; n < periods; n += Rounds, in += Rounds * pb) {
                __m256i r[Rounds * Steps];
                for (unsigned round = 0; round < Rounds; ++round)
                    for (unsigned st = 0; st < Steps; ++st)
                        r[round * Steps + st] = vector_step<PPV, Signed, Shifts, Broadcast, Unified>(
                            in + round * pb, window[2 * st], window[2 * st + 1], ctrl + st * PPV, rs + st * PPV,
                            mask + st * PPV, ls + st * PPV, ss[st]);
                for (unsigned b = 0; b < Rounds * Steps; b += Block, out += 32)
                    store_block<T, Signed>(out, r + b);
            }
        } else {
            // Any other shape: the tables are read from the plan at every step.
            for (size_t n = 0; n < periods; ++n, in += v.period_bytes)
                for (unsigned st = 0; st < v.steps; ++st, out += 8 * sizeof(T))
                    vector_step_table<T, Signed>(in, v, st, out);
        }
    }
    const size_t done = periods * v.period_values;
    p.scalar_decode(p, buf, buf_len, start + periods * v.period_bytes, vals, first + done * step, step,
                    count - done);
}

/// 8 values of T, zero-extended into 32-bit lanes.
template <typename T>
AVX2 inline __m256i load_lanes(const uint8_t *in) {
    if constexpr (sizeof(T) == 4)
        return load256(in);
    else if constexpr (sizeof(T) == 2)
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)));
    else
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(in)));
}

/// Whole periods of a run with contiguous values, stored in 16-byte chunks:
/// the bytes the last chunk writes past its period belong to the run's next
/// whole groups and are written again later.  The first period ORs in what
/// the stream held, which may be a neighbouring run's bits.
template <typename T, unsigned Steps, unsigned PPV, unsigned Chunks, bool Shifted>
AVX2 void encode_vector(const Program &p, const uint8_t *vals, size_t first, size_t step, uint8_t *buf, size_t start,
                        size_t count) {
    const VectorPlan &v = p.vector;
    const size_t stored = 16 * size_t(v.chunks), whole = count / p.group_values * p.group_bytes;
    size_t periods = 0;
    if (step == 1 && whole >= stored) {
        periods = std::min(count / v.period_values, (whole - stored) / v.period_bytes + 1);
        const uint8_t *in = vals + first * sizeof(T);
        uint8_t *out = buf + start;
        const size_t pb = v.period_bytes;
        // The tables in locals: the stores below may alias any memory, so
        // anything read through `v` would be read again after each of them.
        constexpr unsigned V = Steps * PPV ? Steps * PPV : VECTOR_MAX_ENCODE_VECTORS;
        constexpr unsigned C = Chunks ? Chunks : VECTOR_MAX_CHUNKS;
        const unsigned steps = Steps ? Steps : v.steps, ppv = PPV ? PPV : v.ppv, vectors = steps * ppv;
        const unsigned chunks = Chunks ? Chunks : v.chunks;
        __m256i ls[V], mask[V], rs[V];
        uint32_t op_first[C * V + 1];
        for (unsigned k = 0; k < vectors; ++k) {
            ls[k] = load256(v.encode_pieces[k].ls);
            mask[k] = load256(v.encode_pieces[k].mask);
            rs[k] = load256(v.encode_pieces[k].rs);
        }
        for (unsigned k = 0; k <= chunks * vectors; ++k)
            op_first[k] = v.op_first[k];
        const VectorInverse *inverse = v.inverse.data();
        for (size_t n = 0; n < periods; ++n, out += pb) {
            __m256i acc[C];
            for (unsigned c = 0; c < chunks; ++c)
                acc[c] = _mm256_setzero_si256();
            for (unsigned st = 0; st < steps; ++st, in += 8 * sizeof(T)) {
                const __m256i x = load_lanes<T>(in);
                for (unsigned q = 0; q < ppv; ++q) {
                    const unsigned vec = st * ppv + q;
                    __m256i y = _mm256_and_si256(Shifted ? _mm256_srlv_epi32(x, ls[vec]) : x, mask[vec]);
                    y = _mm256_sllv_epi32(y, rs[vec]);
                    for (unsigned c = 0; c < chunks; ++c)
                        for (uint32_t k = op_first[c * vectors + vec]; k < op_first[c * vectors + vec + 1]; ++k)
                            acc[c] = _mm256_or_si256(acc[c], _mm256_shuffle_epi8(y, load256(inverse[k].ctrl)));
                }
            }
            for (unsigned c = 0; c < chunks; ++c) {
                __m128i chunk = _mm_or_si128(_mm256_castsi256_si128(acc[c]), _mm256_extracti128_si256(acc[c], 1));
                __m128i *at = reinterpret_cast<__m128i *>(out + 16 * c);
                if (n == 0)
                    chunk = _mm_or_si128(chunk, _mm_loadu_si128(at));
                _mm_storeu_si128(at, chunk);
            }
        }
    }
    const size_t done = periods * v.period_values;
    p.scalar_encode(p, vals, first + done * step, step, buf, start + periods * v.period_bytes, count - done);
}

template <typename T, unsigned Steps, unsigned PPV, unsigned Chunks>
void pick_encode_shifted(Program &p) {
    p.encode_run = p.vector.shifted ? &encode_vector<T, Steps, PPV, Chunks, true>
                                    : &encode_vector<T, Steps, PPV, Chunks, false>;
}

/// Encoding shapes (steps, slots, chunks): Mono12p/10p/14p/1p/4p (1, 1, 1),
/// Mono12Packed/Mono10g (1, 2, 1), RGB565p (3, 1, 1), RGB10p32/RGB10p (3, 1, 2).
template <typename T>
void pick_vector_encode(Program &p) {
    const unsigned steps = p.vector.steps, ppv = p.vector.ppv, chunks = p.vector.chunks;
    if (chunks == 0)
        return;
    if (steps == 1 && ppv == 1 && chunks == 1) return pick_encode_shifted<T, 1, 1, 1>(p);
    if (steps == 1 && ppv == 2 && chunks == 1) return pick_encode_shifted<T, 1, 2, 1>(p);
    if (steps == 3 && ppv == 1 && chunks == 1) return pick_encode_shifted<T, 3, 1, 1>(p);
    if (steps == 3 && ppv == 1 && chunks == 2) return pick_encode_shifted<T, 3, 1, 2>(p);
    pick_encode_shifted<T, 0, 0, 0>(p);
}

template <typename T, unsigned Steps, unsigned PPV, bool Signed, unsigned Shifts, bool Unified>
void pick_vector_loads(Program &p) {
    p.decode_run = p.vector.broadcast ? &decode_vector<T, Steps, PPV, Signed, Shifts, true, Unified>
                                      : &decode_vector<T, Steps, PPV, Signed, Shifts, false, Unified>;
}

template <typename T, unsigned Steps, unsigned PPV, bool Signed, unsigned Shifts>
void pick_vector_unified(Program &p) {
    if constexpr (PPV > 1)
        if (p.vector.unified)
            return pick_vector_loads<T, Steps, PPV, Signed, Shifts, true>(p);
    pick_vector_loads<T, Steps, PPV, Signed, Shifts, false>(p);
}

/// The slots that shift their pieces into place, as a template argument.
template <typename T, unsigned Steps, unsigned PPV, bool Signed>
void pick_vector_shifts(Program &p) {
    switch (p.vector.shifted_slots & ((1u << PPV) - 1)) {
    case 0: return pick_vector_unified<T, Steps, PPV, Signed, 0>(p);
    case 1: return pick_vector_unified<T, Steps, PPV, Signed, 1>(p);
    case 2: if constexpr (PPV > 1) return pick_vector_unified<T, Steps, PPV, Signed, 2>(p); else return;
    default: if constexpr (PPV > 1) return pick_vector_unified<T, Steps, PPV, Signed, 3>(p); else return;
    }
}

template <typename T, unsigned Steps, unsigned PPV>
void pick_vector_shape(Program &p) {
    if constexpr (Steps == 0)   // the table-driven loop has no variants
        p.decode_run = p.vector.is_signed ? &decode_vector<T, 0, 0, true, ~0u, false, false>
                                          : &decode_vector<T, 0, 0, false, ~0u, false, false>;
    else if (p.vector.is_signed)
        pick_vector_shifts<T, Steps, PPV, true>(p);
    else
        pick_vector_shifts<T, Steps, PPV, false>(p);
}

template <typename T>
void pick_vector(Program &p) {
    // Steps 1: Mono12p, Mono10p, Mono14p, Mono1p/2p/4p, Packed, g; 3: RGB565p,
    // RGB10p32, RGB10p, RGB12p, Mono10c3p32.
    pick_vector_encode<T>(p);
    const unsigned steps = p.vector.steps, ppv = p.vector.ppv;
    if (steps == 1 && ppv == 1) return pick_vector_shape<T, 1, 1>(p);
    if (steps == 1 && ppv == 2) return pick_vector_shape<T, 1, 2>(p);
    if (steps == 3 && ppv == 1) return pick_vector_shape<T, 3, 1>(p);
    pick_vector_shape<T, 0, 0>(p);
}

#undef AVX2
#endif

// ---------------------------------------------------------------------------
// Plain C++: kernel choice, once per program.

bool vector_available() {
#ifdef KORVELL_ENGINE_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && g_vectorize.load();
#else
    return false;
#endif
}


template <typename T, unsigned GV, unsigned PPV>
void pick_word(Program &p) {
    if (p.msb_first) {
        p.decode_run = &decode_word<T, GV, PPV, true>;
        p.encode_run = &encode_word_whole<T, GV, PPV, true>;
        p.overlap_encode = &encode_word<T, GV, PPV, true>;
    } else {
        p.decode_run = &decode_word<T, GV, PPV, false>;
        p.encode_run = &encode_word_whole<T, GV, PPV, false>;
        p.overlap_encode = &encode_word<T, GV, PPV, false>;
    }
}

template <typename T>
void pick_typed(Program &p) {
    switch (p.kernel) {
    case Kernel::copy:
        p.decode_run = &decode_copy<T>;
        p.encode_run = &encode_copy<T>;
        return;
    case Kernel::byteswap:
        p.decode_run = &decode_byteswap<T>;
        p.encode_run = &encode_byteswap<T>;
        return;
    case Kernel::generic:
        p.decode_run = &decode_generic<T>;
        p.encode_run = &encode_generic<T>;
        return;
    case Kernel::word:
        break;
    }
    // Shapes of the common layouts: Mono12p/Mono4p (2 x 1), RGB565p/RGB10p32/
    // Mono10c3p32 (3 x 1), Mono10p/Mono14p/Mono2p (4 x 1), Mono1p (8 x 1),
    // Mono12Packed/Mono12g (2 x 2), Mono10g (4 x 2).
    const unsigned gv = p.group_values, ppv = p.per_value;
    if (ppv == 1 && gv == 1) return pick_word<T, 1, 1>(p);
    if (ppv == 1 && gv == 2) return pick_word<T, 2, 1>(p);
    if (ppv == 1 && gv == 3) return pick_word<T, 3, 1>(p);
    if (ppv == 1 && gv == 4) return pick_word<T, 4, 1>(p);
    if (ppv == 1 && gv == 6) return pick_word<T, 6, 1>(p);
    if (ppv == 1 && gv == 8) return pick_word<T, 8, 1>(p);
    if (ppv == 2 && gv == 2) return pick_word<T, 2, 2>(p);
    if (ppv == 2 && gv == 4) return pick_word<T, 4, 2>(p);
    pick_word<T, 0, 0>(p);
}

void pick_kernels(Program &p) {
    switch (p.out_bytes) {
    case 1: pick_typed<uint8_t>(p); break;
    case 2: pick_typed<uint16_t>(p); break;
    case 4: pick_typed<uint32_t>(p); break;
    default: pick_typed<uint64_t>(p); break;
    }
    p.scalar_decode = p.decode_run;
    p.scalar_encode = p.encode_run;
    if (!p.overlap_encode)
        p.overlap_encode = p.encode_run;   // copies and byte swaps write every bit; generic code ORs
    if (vector_available() && plan_vector(p)) {
#ifdef KORVELL_ENGINE_AVX2
        switch (p.out_bytes) {
        case 1: pick_vector<uint8_t>(p); break;
        case 2: pick_vector<uint16_t>(p); break;
        default: pick_vector<uint32_t>(p); break;
        }
#endif
    }
    if (p.copies) {
        // Only the byte-wise writer knows to skip a copy; the word and vector
        // tables would OR it in.
        EncodeRun run = p.out_bytes == 1   ? &encode_generic<uint8_t>
                        : p.out_bytes == 2 ? &encode_generic<uint16_t>
                        : p.out_bytes == 4 ? &encode_generic<uint32_t>
                                           : &encode_generic<uint64_t>;
        p.encode_run = p.scalar_encode = p.overlap_encode = run;
    }
}

// ---------------------------------------------------------------------------
// Plain C++: geometry.

struct Geometry {
    uint64_t count, runs, src_offset, src_stride, dst_offset, dst_step, dst_line;
};

/// Refuses a geometry that would touch a byte past `stream_len` or an element
/// past `elements`.  Inputs are below 2**63, so no sum or product here wraps.
void check_geometry(const Program &p, const Geometry &g, const char *stream, uint64_t stream_len, const char *values,
                    uint64_t elements) {
    if (g.runs == 0 || g.count == 0)
        return;
    u128 need = u128(g.src_offset) + u128(g.runs - 1) * g.src_stride + p.byte_count(g.count);
    if (need > stream_len)
        fail(std::string(stream) + " holds " + u128_text(stream_len) + " bytes, the frame needs " + u128_text(need));
    u128 last = u128(g.dst_offset) + u128(g.runs - 1) * g.dst_line + u128(g.count - 1) * g.dst_step;
    if (last >= elements)
        fail(std::string(values) + " holds " + u128_text(elements) + " values, the frame needs " +
             u128_text(last + 1));
}

// ---------------------------------------------------------------------------
// Plain C++: planes into pixels.  A copy program whose runs are the planes of
// one frame (dst_step == runs, dst_line == 1) fills each pixel from all of
// them in one pass: every output byte is written once, in order, instead of
// once per plane with single-element stores.

/// Whether a call interleaves planes, and the kernel exists for its shape.
bool interleaves(const Program &p, const Geometry &g) {
    return p.kernel == Kernel::copy && p.out_bytes <= 4 && g.runs >= 2 && g.runs <= 4 && g.dst_step == g.runs &&
           g.dst_line == 1 && g.count > 0;
}

template <typename T, unsigned R>
void interleave_scalar(const uint8_t *const *planes, uint8_t *out, size_t from, size_t count) {
    for (size_t i = from; i < count; ++i)
        for (unsigned y = 0; y < R; ++y)
            store<T>(out + (i * R + y) * sizeof(T), load<T>(planes[y] + i * sizeof(T)));
}

#ifdef KORVELL_ENGINE_AVX2
/// 16 bytes from each plane make R x 16 bytes of pixels: each output chunk
/// is the OR of one byte shuffle per plane.
template <typename T, unsigned R>
__attribute__((target("avx2"))) void interleave_vector(const uint8_t *const *planes, uint8_t *out, size_t count) {
    constexpr unsigned E = 16 / sizeof(T);   // elements per plane per round
    __m128i ctrl[R][R];
    for (unsigned c = 0; c < R; ++c)
        for (unsigned y = 0; y < R; ++y) {
            alignas(16) uint8_t b[16];
            for (unsigned k = 0; k < 16; ++k) {
                unsigned ob = 16 * c + k, pixel = ob / (R * sizeof(T)), channel = ob % (R * sizeof(T)) / sizeof(T);
                b[k] = channel == y ? uint8_t(pixel * sizeof(T) + ob % sizeof(T)) : 0x80;
            }
            ctrl[c][y] = _mm_load_si128(reinterpret_cast<const __m128i *>(b));
        }
    size_t i = 0;
    for (; i + E <= count; i += E) {
        __m128i in[R];
        for (unsigned y = 0; y < R; ++y)
            in[y] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(planes[y] + i * sizeof(T)));
        for (unsigned c = 0; c < R; ++c) {
            __m128i chunk = _mm_shuffle_epi8(in[0], ctrl[c][0]);
            for (unsigned y = 1; y < R; ++y)
                chunk = _mm_or_si128(chunk, _mm_shuffle_epi8(in[y], ctrl[c][y]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + (i * R + E * c) * sizeof(T)), chunk);
        }
    }
    interleave_scalar<T, R>(planes, out, i, count);
}
#endif

template <typename T, unsigned R>
void interleave(const uint8_t *const *planes, uint8_t *out, size_t count) {
#ifdef KORVELL_ENGINE_AVX2
    if (vector_available())
        return interleave_vector<T, R>(planes, out, count);
#endif
    interleave_scalar<T, R>(planes, out, 0, count);
}

template <typename T>
void interleave_runs(const uint8_t *const *planes, uint8_t *out, unsigned runs, size_t count) {
    switch (runs) {
    case 2: return interleave<T, 2>(planes, out, count);
    case 3: return interleave<T, 3>(planes, out, count);
    default: return interleave<T, 4>(planes, out, count);
    }
}

#ifdef KORVELL_ENGINE_AVX2
/// Values into every third value, the two between kept as they are: the luma
/// of a semiplanar frame written over the placeholders its chroma left.  16
/// bytes of values in make 48 bytes out; the last value is left to scalar
/// code, so no chunk reaches past the run's last element.
template <typename T>
__attribute__((target("avx2"))) void spread3_vector(const uint8_t *in, uint8_t *out, size_t count) {
    constexpr size_t S = sizeof(T), E = 16 / S;   // elements in per round
    __m128i ctrl[3], take[3];
    for (unsigned c = 0; c < 3; ++c) {
        alignas(16) uint8_t b[16], m[16];
        for (unsigned k = 0; k < 16; ++k) {
            const unsigned ob = 16 * c + k, e = ob / S;
            b[k] = e % 3 == 0 ? uint8_t(e / 3 * S + ob % S) : 0x80;
            m[k] = e % 3 == 0 ? 0xFF : 0;
        }
        ctrl[c] = _mm_load_si128(reinterpret_cast<const __m128i *>(b));
        take[c] = _mm_load_si128(reinterpret_cast<const __m128i *>(m));
    }
    size_t i = 0;
    for (; i + E + 1 <= count; i += E) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i * S));
        for (unsigned c = 0; c < 3; ++c) {
            __m128i *at = reinterpret_cast<__m128i *>(out + 3 * i * S + 16 * c);
            _mm_storeu_si128(at, _mm_blendv_epi8(_mm_loadu_si128(at), _mm_shuffle_epi8(y, ctrl[c]), take[c]));
        }
    }
    for (; i < count; ++i)
        store<T>(out + 3 * i * S, load<T>(in + i * S));
}
#endif

/// Decodes a call that `interleaves`.
void decode_interleaved(const Program &p, const Geometry &g, const uint8_t *src, uint8_t *vals) {
    const uint8_t *planes[4];
    for (uint64_t y = 0; y < g.runs; ++y)
        planes[y] = src + g.src_offset + y * g.src_stride;
    uint8_t *out = vals + g.dst_offset * p.out_bytes;
    const unsigned runs = unsigned(g.runs);
    switch (p.out_bytes) {
    case 1: return interleave_runs<uint8_t>(planes, out, runs, size_t(g.count));
    case 2: return interleave_runs<uint16_t>(planes, out, runs, size_t(g.count));
    default: return interleave_runs<uint32_t>(planes, out, runs, size_t(g.count));
    }
}

void decode_frame(const Program &p, const Geometry &g, const uint8_t *src, size_t src_len, uint8_t *vals) {
    if (g.count == 0)
        return;
    if (interleaves(p, g))
        return decode_interleaved(p, g, src, vals);
#ifdef KORVELL_ENGINE_AVX2
    if (p.kernel == Kernel::copy && p.out_bytes == 1 && g.dst_step == 3 && vector_available()) {
        for (uint64_t y = 0; y < g.runs; ++y)
            spread3_vector<uint8_t>(src + g.src_offset + y * g.src_stride, vals + g.dst_offset + y * g.dst_line,
                           size_t(g.count));
        return;
    }
#endif
    for (uint64_t y = 0; y < g.runs; ++y)
        p.decode_run(p, src, src_len, size_t(g.src_offset + y * g.src_stride), vals,
                     size_t(g.dst_offset + y * g.dst_line), size_t(g.dst_step), size_t(g.count));
}

// ---------------------------------------------------------------------------
// Plain C++: semiplanar frames.  Each output line is finished before the next
// is begun: its chroma line decoded into it (the luma slots as placeholders),
// then its luma written over them, so the line is still in the cache for the
// second writer and the frame's memory is written once.

struct Semiplanar {
    uint64_t width, height, down, luma_offset, luma_stride, chroma_offset, chroma_stride;
};

/// The geometries of the two programs' runs, as decode_frame would take them.
Geometry luma_geometry(const Semiplanar &s) {
    return Geometry{s.width, s.height, s.luma_offset, s.luma_stride, 0, 3, 3 * s.width};
}

Geometry chroma_geometry(const Semiplanar &s) {
    return Geometry{3 * s.width, s.height / s.down, s.chroma_offset, s.chroma_stride, 0, 1, 3 * s.width * s.down};
}

/// Where the two chroma channels of a pixel come from when both planes are
/// plain bytes (one pair per two pixels): the byte of the pair for channel 1
/// and for channel 2; false for any other packing.
bool byte_pairs(const Program &luma, const Program &chroma, unsigned &first, unsigned &second) {
    if (luma.kernel != Kernel::copy || luma.out_bytes != 1 || chroma.out_bytes != 1 || chroma.group_bytes != 2 ||
        chroma.group_values != 6 || chroma.pieces.size() != 6)
        return false;
    unsigned from[6] = {9, 9, 9, 9, 9, 9};
    for (const Piece &q : chroma.pieces) {
        if (q.width != 8 || q.shift != 0 || q.src_bit % 8 || from[q.dst] != 9)
            return false;
        from[q.dst] = unsigned(q.src_bit / 8);
    }
    for (uint32_t n : chroma.sign_bits)
        if (n)
            return false;
    first = from[1], second = from[2];
    return first != second && from[4] == first && from[5] == second;
}

/// One line of pixels from a luma line and a line of byte pairs, in one pass:
/// 16 luma bytes and 8 pairs make 48 output bytes, each 16 the OR of two shuffles.
void byte_pair_line_scalar(const uint8_t *y, const uint8_t *c, uint8_t *out, unsigned first, unsigned second,
                           size_t from, size_t width) {
    for (size_t i = from; i < width; ++i) {
        out[3 * i] = y[i];
        out[3 * i + 1] = c[(i & ~size_t(1)) + first];
        out[3 * i + 2] = c[(i & ~size_t(1)) + second];
    }
}

#ifdef KORVELL_ENGINE_AVX2
__attribute__((target("avx2"))) void byte_pair_line(const uint8_t *y, const uint8_t *c, uint8_t *out,
                                                    unsigned first, unsigned second, size_t width) {
    __m128i from_y[3], from_c[3];
    for (unsigned k = 0; k < 3; ++k) {
        alignas(16) uint8_t a[16], b[16];
        for (unsigned j = 0; j < 16; ++j) {
            const unsigned ob = 16 * k + j, pixel = ob / 3, channel = ob % 3;
            a[j] = channel == 0 ? uint8_t(pixel) : 0x80;
            b[j] = channel == 0 ? 0x80 : uint8_t((pixel & ~1u) + (channel == 1 ? first : second));
        }
        from_y[k] = _mm_load_si128(reinterpret_cast<const __m128i *>(a));
        from_c[k] = _mm_load_si128(reinterpret_cast<const __m128i *>(b));
    }
    size_t i = 0;
    for (; i + 16 <= width; i += 16) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i *>(y + i));
        const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c + i));
        for (unsigned k = 0; k < 3; ++k)
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * i + 16 * k),
                             _mm_or_si128(_mm_shuffle_epi8(luma, from_y[k]), _mm_shuffle_epi8(pairs, from_c[k])));
    }
    byte_pair_line_scalar(y, c, out, first, second, i, width);
}
#endif

void decode_semiplanar_frame(const Program &luma, const Program &chroma, const Semiplanar &s, const uint8_t *src,
                             size_t src_len, uint8_t *vals) {
    if (s.width == 0 || s.height == 0)
        return;
    unsigned first = 0, second = 0;
    if (s.width % 2 == 0 && byte_pairs(luma, chroma, first, second)) {
        // Whole pairs per line (else the last pixel's pair is partial and the
        // general path below takes it).
#ifdef KORVELL_ENGINE_AVX2
        const bool vector = vector_available();
#endif
        for (uint64_t y = 0; y < s.height; ++y) {
            const uint8_t *yl = src + s.luma_offset + y * s.luma_stride;
            const uint8_t *cl = src + s.chroma_offset + y / s.down * s.chroma_stride;
            uint8_t *row = vals + y * 3 * s.width;
#ifdef KORVELL_ENGINE_AVX2
            if (vector) {
                byte_pair_line(yl, cl, row, first, second, size_t(s.width));
                continue;
            }
#endif
            byte_pair_line_scalar(yl, cl, row, first, second, 0, size_t(s.width));
        }
        return;
    }
    const size_t line = size_t(3 * s.width), line_bytes = line * luma.out_bytes;
#ifdef KORVELL_ENGINE_AVX2
    // Luma of bytes or 16-bit values is spread in 16-byte chunks: straight
    // from the stream for a copy, else from a contiguous line its kernel
    // decodes first (contiguous values take the vector kernel).
    const bool spread = (luma.out_bytes == 1 || luma.out_bytes == 2) && vector_available();
    const bool direct = luma.kernel == Kernel::copy;
    std::vector<uint8_t> scratch(spread && !direct ? size_t(s.width) * luma.out_bytes : 0);
#endif
    for (uint64_t y = 0; y < s.height; ++y) {
        uint8_t *row = vals + y * line_bytes;
        if (y % s.down == 0)
            chroma.decode_run(chroma, src, src_len, size_t(s.chroma_offset + y / s.down * s.chroma_stride), vals,
                              size_t(y * line), 1, line);
        else   // the line above holds the same chroma; its luma is overwritten below
            std::memcpy(row, row - line_bytes, line_bytes);
        const size_t at = size_t(s.luma_offset + y * s.luma_stride);
#ifdef KORVELL_ENGINE_AVX2
        if (spread) {
            const uint8_t *values = src + at;
            if (!direct) {
                luma.decode_run(luma, src, src_len, at, scratch.data(), 0, 1, size_t(s.width));
                values = scratch.data();
            }
            if (luma.out_bytes == 1)
                spread3_vector<uint8_t>(values, row, size_t(s.width));
            else
                spread3_vector<uint16_t>(values, row, size_t(s.width));
            continue;
        }
#endif
        luma.decode_run(luma, src, src_len, at, vals, size_t(y * line), 3, size_t(s.width));
    }
}

void encode_frame(const Program &p, const Geometry &g, const uint8_t *vals, uint8_t *dst) {
    if (g.count == 0)
        return;
    const bool shared = g.runs > 1 && g.src_stride < p.byte_count(g.count);
    const EncodeRun run = shared ? p.overlap_encode : p.encode_run;
    for (uint64_t y = 0; y < g.runs; ++y)
        run(p, vals, size_t(g.dst_offset + y * g.dst_line), size_t(g.dst_step), dst,
                     size_t(g.src_offset + y * g.src_stride), size_t(g.count));
}

// ---------------------------------------------------------------------------
// Binding: Python values gathered into the plain ones above.

/// An int argument (anything with __index__) as a C++ integer; values beyond
/// 64 bits are refused here rather than wrapped.
int64_t int_argument(nb::handle obj, const std::string &name) {
    if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr()))
        throw nb::type_error((name + " must be int, not " + korvell::class_name_of(obj)).c_str());
    nb::object index = nb::steal(PyNumber_Index(obj.ptr()));
    if (!index.is_valid())
        throw nb::python_error();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow)
        fail(name + " is out of range: " + korvell::int_text(index));
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

/// A geometry argument: an int >= `minimum`.
uint64_t geometry_argument(nb::handle obj, const char *name, int64_t minimum) {
    int64_t v = int_argument(obj, name);
    if (v < minimum)
        fail(std::string(name) + " must be >= " + std::to_string(minimum) + ", not " + std::to_string(v));
    return uint64_t(v);
}

/// A list or tuple argument as a tuple of its items: a list is copied first,
/// since reading its items may run code that changes it.
nb::tuple sequence_items(nb::handle obj, const std::string &name, const char *what) {
    if (!PyList_Check(obj.ptr()) && !PyTuple_Check(obj.ptr()))
        throw nb::type_error((name + " must be " + what + ", not " + korvell::class_name_of(obj)).c_str());
    PyObject *items = PySequence_Tuple(obj.ptr());
    if (!items)
        throw nb::python_error();
    return nb::steal<nb::tuple>(items);
}

Program make_program(nb::handle group_bytes, nb::handle group_values, nb::handle pieces, nb::handle msb_first,
                     nb::handle out_bytes, nb::handle sign_bits) {
    Program p;
    int64_t gb = int_argument(group_bytes, "group_bytes");
    int64_t gv = int_argument(group_values, "group_values");
    if (!PyBool_Check(msb_first.ptr()))
        throw nb::type_error(("msb_first must be bool, not " + korvell::class_name_of(msb_first)).c_str());
    p.msb_first = msb_first.ptr() == Py_True;
    int64_t ob = int_argument(out_bytes, "out_bytes");

    nb::tuple piece_items = sequence_items(pieces, "pieces", "a list of (src_bit, width, dst, shift) tuples");
    size_t n = 0;
    for (nb::handle item : piece_items) {
        std::string name = "pieces[" + std::to_string(n++) + "]";
        nb::tuple fields = sequence_items(item, name, "a tuple (src_bit, width, dst, shift)");
        if (nb::len(fields) != 4 && nb::len(fields) != 5)
            fail(name + " must hold 4 ints (src_bit, width, dst, shift) and optionally a bool copy, not " +
                 std::to_string(nb::len(fields)) + " items");
        auto field = [&](Py_ssize_t i) { return nb::handle(PyTuple_GET_ITEM(fields.ptr(), i)); };
        bool copy = false;
        if (nb::len(fields) == 5) {
            if (!PyBool_Check(field(4).ptr()))
                throw nb::type_error((name + ".copy must be bool, not " + korvell::class_name_of(field(4))).c_str());
            copy = field(4).ptr() == Py_True;
        }
        p.pieces.push_back(Piece{int_argument(field(0), name + ".src_bit"), int_argument(field(1), name + ".width"),
                                 int_argument(field(2), name + ".dst"), int_argument(field(3), name + ".shift"),
                                 copy});
    }
    std::vector<int64_t> signs;
    nb::tuple sign_items = sequence_items(sign_bits, "sign_bits", "a list of ints");
    for (nb::handle item : sign_items)
        signs.push_back(int_argument(item, "sign_bits[" + std::to_string(signs.size()) + "]"));
    prepare(p, gb, gv, ob, signs);
    return p;
}

/// A piece as Python spells it: four ints, and True after them for a copy.
nb::tuple piece_tuple(const Piece &q) {
    return q.copy ? nb::make_tuple(q.src_bit, q.width, q.dst, q.shift, true)
                  : nb::make_tuple(q.src_bit, q.width, q.dst, q.shift);
}

nb::tuple pieces_tuple(const Program &p) {
    nb::list items = korvell::new_list();
    for (const Piece &q : p.pieces)
        items.append(piece_tuple(q));
    return nb::tuple(items);
}

nb::tuple sign_bits_tuple(const Program &p) {
    nb::list items = korvell::new_list();
    for (uint32_t n : p.sign_bits)
        items.append(n);
    return nb::tuple(items);
}

std::string program_repr(const Program &p) {
    std::string pieces;
    for (const Piece &q : p.pieces)
        pieces += (pieces.empty() ? "(" : ", (") + std::to_string(q.src_bit) + ", " + std::to_string(q.width) +
                  ", " + std::to_string(q.dst) + ", " + std::to_string(q.shift) + (q.copy ? ", True)" : ")");
    std::string signs;
    for (uint32_t n : p.sign_bits)
        signs += (signs.empty() ? "" : ", ") + std::to_string(n);
    return "Program(group_bytes=" + std::to_string(p.group_bytes) + ", group_values=" +
           std::to_string(p.group_values) + ", pieces=[" + pieces + "], msb_first=" +
           (p.msb_first ? "True" : "False") + ", out_bytes=" + std::to_string(p.out_bytes) + ", sign_bits=[" +
           signs + "])";
}

nb::object program_byte_count(const Program &p, nb::handle count) {
    uint64_t n = geometry_argument(count, "count", 0);
    u128 bytes = p.byte_count(n);
    if (bytes <= u128(INT64_MAX))
        return nb::int_(int64_t(bytes));
    // Beyond 64 bits: the exact value from its two halves.
    nb::object high = nb::int_(uint64_t(bytes >> 64)), low = nb::int_(uint64_t(bytes));
    return (high << nb::int_(64)) | low;
}

nb::tuple program_reduce(nb::handle self) {
    const Program &p = korvell::self_of<Program>(self);
    nb::list pieces, signs;
    for (const Piece &q : p.pieces)
        pieces.append(piece_tuple(q));
    for (uint32_t n : p.sign_bits)
        signs.append(n);
    nb::handle cls((PyObject *) Py_TYPE(self.ptr()));
    return nb::make_tuple(cls, nb::make_tuple(p.group_bytes, p.group_values, pieces, nb::bool_(p.msb_first),
                                              p.out_bytes, signs));
}

// ---------------------------------------------------------------------------
// Binding: buffers.  A view is held for the whole call, so the memory cannot
// be freed or resized while the loops run without the lock.

/// Whether a struct-module format names an object item ('O'), field names
/// (between colons) aside.
bool holds_objects(const char *format) {
    bool in_name = false;
    for (const char *c = format ? format : ""; *c; ++c) {
        if (*c == ':')
            in_name = !in_name;
        else if (*c == 'O' && !in_name)
            return true;
    }
    return false;
}

/// A buffer argument as the programs read and write it: C-contiguous plain
/// numbers or bytes (and writable when asked).
class BufferView {
public:
    void acquire(nb::handle obj, const char *name, bool writable) {
        const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        try {
            buf_.acquire(obj, name, "a buffer (bytes, bytearray, memoryview or a numpy array)", flags);
        } catch (nb::python_error &refused) {
            if (!writable)
                throw;
            // Tell a read-only buffer from one the exporter refuses otherwise.
            Py_buffer probe;
            if (PyObject_GetBuffer(obj.ptr(), &probe, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
                PyErr_Clear();
                throw;
            }
            bool readonly = probe.readonly;
            PyBuffer_Release(&probe);
            if (!readonly)
                throw;
            fail(std::string(name) + " is read-only");
        }
        // The items of an object array are references: raw bits written
        // there would be freed as objects later.
        if (holds_objects(buf_.format()))
            throw nb::type_error((std::string(name) + " holds Python objects; it must hold plain numbers or bytes")
                                     .c_str());
        if (!buf_.c_contiguous())
            fail(std::string(name) + " must be C-contiguous");
    }

    const uint8_t *data() const { return buf_.data(); }
    uint8_t *mutable_data() const { return buf_.data(); }
    size_t bytes() const { return buf_.bytes(); }
    size_t itemsize() const { return buf_.itemsize(); }
    const korvell::HeldBuffer &held() const { return buf_; }

    /// Refuses values whose items are not `out_bytes` wide.
    void require_itemsize(const char *name, uint32_t out_bytes) const {
        if (itemsize() != out_bytes)
            throw nb::type_error((std::string(name) + " must have items of the program's out_bytes (" +
                                  std::to_string(out_bytes) + " bytes), not " + std::to_string(itemsize()) +
                                  "-byte items").c_str());
    }

private:
    korvell::HeldBuffer buf_;
};

/// Refuses a destination that shares memory with the source: the result would
/// depend on the order the loops run in, and the source would change.
void refuse_shared(const BufferView &src, const BufferView &dst) {
    if (korvell::overlap(src.held(), dst.held()))
        fail("src and dst share memory");
}

Geometry gather_geometry(nb::handle count, nb::handle runs, nb::handle src_offset, nb::handle src_stride,
                         nb::handle dst_offset, nb::handle dst_step, nb::handle dst_line) {
    return Geometry{geometry_argument(count, "count", 0),           geometry_argument(runs, "runs", 0),
                    geometry_argument(src_offset, "src_offset", 0), geometry_argument(src_stride, "src_stride", 0),
                    geometry_argument(dst_offset, "dst_offset", 0), geometry_argument(dst_step, "dst_step", 1),
                    geometry_argument(dst_line, "dst_line", 0)};
}

void decode(const Program &p, nb::handle src, nb::handle dst, nb::handle count, nb::handle runs,
            nb::handle src_offset, nb::handle src_stride, nb::handle dst_offset, nb::handle dst_step,
            nb::handle dst_line) {
    Geometry g = gather_geometry(count, runs, src_offset, src_stride, dst_offset, dst_step, dst_line);
    BufferView in, out;
    in.acquire(src, "src", false);
    out.acquire(dst, "dst", true);
    out.require_itemsize("dst", p.out_bytes);
    refuse_shared(in, out);
    check_geometry(p, g, "src", in.bytes(), "dst", out.bytes() / p.out_bytes);
    nb::gil_scoped_release unlocked;
    decode_frame(p, g, in.data(), in.bytes(), out.mutable_data());
}

void encode(const Program &p, nb::handle src, nb::handle dst, nb::handle count, nb::handle runs,
            nb::handle src_offset, nb::handle src_stride, nb::handle dst_offset, nb::handle dst_step,
            nb::handle dst_line) {
    Geometry g = gather_geometry(count, runs, src_offset, src_stride, dst_offset, dst_step, dst_line);
    BufferView in, out;
    in.acquire(src, "src", false);
    in.require_itemsize("src", p.out_bytes);
    out.acquire(dst, "dst", true);
    refuse_shared(in, out);
    check_geometry(p, g, "dst", out.bytes(), "src", in.bytes() / p.out_bytes);
    nb::gil_scoped_release unlocked;
    encode_frame(p, g, in.data(), out.mutable_data());
}

void decode_semiplanar(const Program &luma, const Program &chroma, nb::handle src, nb::handle dst,
                       nb::handle width, nb::handle height, nb::handle down, nb::handle luma_offset,
                       nb::handle luma_stride, nb::handle chroma_offset, nb::handle chroma_stride) {
    Semiplanar s{geometry_argument(width, "width", 0),          geometry_argument(height, "height", 0),
                 geometry_argument(down, "down", 1),            geometry_argument(luma_offset, "luma_offset", 0),
                 geometry_argument(luma_stride, "luma_stride", 0), geometry_argument(chroma_offset, "chroma_offset", 0),
                 geometry_argument(chroma_stride, "chroma_stride", 0)};
    // Far beyond any frame, and small enough that no line or plane size computed from them wraps.
    constexpr uint64_t limit = uint64_t(1) << 48;
    if (s.width > limit || s.height > limit || s.down > limit)
        fail("width, height and down must be at most 2**48");
    if (luma.out_bytes != chroma.out_bytes)
        fail("luma and chroma must have the same out_bytes, not " + std::to_string(luma.out_bytes) + " and " +
             std::to_string(chroma.out_bytes));
    if (s.height % s.down)
        fail("height " + std::to_string(s.height) + " is not a multiple of down (" + std::to_string(s.down) + ")");
    BufferView in, out;
    in.acquire(src, "src", false);
    out.acquire(dst, "dst", true);
    out.require_itemsize("dst", luma.out_bytes);
    refuse_shared(in, out);
    const uint64_t elements = out.bytes() / luma.out_bytes;
    check_geometry(luma, luma_geometry(s), "src", in.bytes(), "dst", elements);
    check_geometry(chroma, chroma_geometry(s), "src", in.bytes(), "dst", elements);
    // The lines that repeat a chroma line reach past the last chroma run's.
    const u128 need = u128(s.height) * 3 * s.width;
    if (need > elements)
        fail("dst holds " + u128_text(elements) + " values, the frame needs " + u128_text(need));
    nb::gil_scoped_release unlocked;
    decode_semiplanar_frame(luma, chroma, s, in.data(), in.bytes(), out.mutable_data());
}

// ---------------------------------------------------------------------------
// Binding: the module.

#define GEOMETRY_DOC                                                                  \
    "Run y holds ``count`` values, from stream byte ``src_offset + y * src_stride``;\n" \
    "value i of run y is element ``dst_offset + y * dst_line + i * dst_step`` of the\n" \
    "values array.  Every byte and element is checked before anything is touched;\n"   \
    "the loops run without the interpreter lock."
#define SIG_TAIL                                                                             \
    ", *, count: int, runs: int = 1, src_offset: int = 0, src_stride: int = 0, dst_offset: int = 0, " \
    "dst_step: int = 1, dst_line: int = 0) -> None"

const char *const DECODE_DOC = "Decodes ``runs`` runs of ``src`` (any C-contiguous buffer, read as bytes)\n"
                               "into ``dst`` (a writable C-contiguous array of out_bytes items).\n\n" GEOMETRY_DOC;
const char *const ENCODE_DOC =
    "Encodes values of ``src`` (a C-contiguous array of out_bytes items) into\n"
    "``dst`` (a writable buffer of bytes that the caller zero-filled).  Each value\n"
    "gives its pieces ``(v >> shift) & (2**width - 1)``; its other bits are ignored,\n"
    "and so are the values of copied pieces.\n"
    "The bytes of a run's first group and of its partial last group are OR-ed, so\n"
    "runs that share a byte keep each other's bits (as do runs of one call whose\n"
    "bytes overlap, which are OR-ed throughout); the run's other whole groups may\n"
    "be written whole, their padding bits as 0.  Bytes outside the runs are never\n"
    "written.\n\n" GEOMETRY_DOC;

void bind_program(nb::module_ &m) {
    nb::class_<Program>(m, "Program", nb::is_final(),
                        "How one group of ``group_bytes`` stream bytes turns into ``group_values``\n"
                        "output values of ``out_bytes`` each: value ``dst`` is the OR of\n"
                        "``bits(src_bit, width) << shift`` over its pieces, then sign-extended\n"
                        "from bit ``sign_bits[dst] - 1`` where that is not 0.  Immutable.\n\n"
                        "A piece with a fifth field True is a copy: it repeats the src_bit, width\n"
                        "and shift of a piece that is not, for one more value (a chroma sample\n"
                        "that several pixels share).  Decoding reads it; encoding writes only\n"
                        "the original, so the values a copy fills must agree (the caller checks).")
        .def("__init__",
             [](Program *self, nb::handle group_bytes, nb::handle group_values, nb::handle pieces,
                nb::handle msb_first, nb::handle out_bytes, nb::handle sign_bits) {
                 new (self) Program(make_program(group_bytes, group_values, pieces, msb_first, out_bytes, sign_bits));
             },
             "group_bytes"_a.none(), "group_values"_a.none(), "pieces"_a.none(), "msb_first"_a.none(),
             "out_bytes"_a.none(), "sign_bits"_a.none(),
             nb::sig("def __init__(self, group_bytes: int, group_values: int, "
                     "pieces: list[tuple[int, int, int, int] | tuple[int, int, int, int, bool]], msb_first: bool, out_bytes: int, "
                     "sign_bits: list[int]) -> None"))
        .def_prop_ro("group_bytes", [](const Program &p) { return p.group_bytes; },
                     nb::sig("def group_bytes(self) -> int"), "Bytes of one group of the stream.")
        .def_prop_ro("group_values", [](const Program &p) { return p.group_values; },
                     nb::sig("def group_values(self) -> int"), "Values one group yields.")
        .def_prop_ro("pieces", &pieces_tuple,
                     nb::sig("def pieces(self) -> tuple[tuple[int, int, int, int] | tuple[int, int, int, int, bool], ...]"),
                     "The (src_bit, width, dst, shift) pieces, as given; a copy with True after them.")
        .def_prop_ro("msb_first", [](const Program &p) { return p.msb_first; },
                     nb::sig("def msb_first(self) -> bool"),
                     "Whether bit 0 of a group is the msb of its byte 0 (else the lsb).")
        .def_prop_ro("out_bytes", [](const Program &p) { return p.out_bytes; },
                     nb::sig("def out_bytes(self) -> int"), "Bytes of one output value: 1, 2, 4 or 8.")
        .def_prop_ro("sign_bits", &sign_bits_tuple, nb::sig("def sign_bits(self) -> tuple[int, ...]"),
                     "Per value: the bits to sign-extend from, or 0.")
        .def_prop_ro("kernel", [](const Program &p) { return kernel_name(p.kernel); },
                     nb::sig("def kernel(self) -> str"),
                     "The loop chosen for whole groups: \"copy\", \"byteswap\", \"word\" or \"generic\".")
        .def_prop_ro("_vectorized", [](const Program &p) { return !p.vector.window.empty(); },
                     nb::sig("def _vectorized(self) -> bool"),
                     "Whether whole periods of contiguous values go through the vector kernel.")
        .def("byte_count", &program_byte_count, "count"_a.none(), nb::sig("def byte_count(self, count: int) -> int"),
             "Bytes that ``count`` consecutive values occupy from the start of a run.")
        .def("__repr__", &program_repr, nb::sig("def __repr__(self) -> str"))
        .def("__reduce__", &program_reduce, nb::sig("def __reduce__(self) -> tuple[type[Program], tuple[object, ...]]"));
}

void bind_functions(nb::module_ &m) {
    m.def("_vectorize", [](bool enabled) { return g_vectorize.exchange(enabled); }, "enabled"_a,
          nb::sig("def _vectorize(enabled: bool) -> bool"),
          "Whether programs made from now on may use the vector kernel; returns the previous\n"
          "setting (for tests of the scalar kernels).");
    m.def("decode", &decode, "program"_a, "src"_a.none(), "dst"_a.none(), nb::kw_only(), "count"_a.none(),
          "runs"_a.none() = 1, "src_offset"_a.none() = 0, "src_stride"_a.none() = 0, "dst_offset"_a.none() = 0,
          "dst_step"_a.none() = 1, "dst_line"_a.none() = 0,
          nb::sig("def decode(program: Program, src: typing_extensions.Buffer, dst: typing_extensions.Buffer" SIG_TAIL),
          DECODE_DOC);
    m.def("decode_semiplanar", &decode_semiplanar, "luma"_a, "chroma"_a, "src"_a.none(), "dst"_a.none(),
          nb::kw_only(), "width"_a.none(), "height"_a.none(), "down"_a.none() = 1, "luma_offset"_a.none() = 0,
          "luma_stride"_a.none(), "chroma_offset"_a.none(), "chroma_stride"_a.none(),
          nb::sig("def decode_semiplanar(luma: Program, chroma: Program, src: typing_extensions.Buffer, "
                  "dst: typing_extensions.Buffer, *, width: int, height: int, down: int = 1, luma_offset: int = 0, "
                  "luma_stride: int, chroma_offset: int, chroma_stride: int) -> None"),
          "Decodes a frame of a luma plane and a plane of chroma lines into ``dst``, ``height``\n"
          "lines of ``3 * width`` values.  Line y is what ``decode`` gives for chroma line\n"
          "``y // down`` (``3 * width`` values, from byte ``chroma_offset + y // down *\n"
          "chroma_stride``) with every third value, from the first, replaced by the\n"
          "``width`` values of luma line y (from byte ``luma_offset + y * luma_stride``).\n"
          "Every byte and element is checked before anything is touched; the loops run\n"
          "without the interpreter lock.");
    m.def("encode", &encode, "program"_a, "src"_a.none(), "dst"_a.none(), nb::kw_only(), "count"_a.none(),
          "runs"_a.none() = 1, "src_offset"_a.none() = 0, "src_stride"_a.none() = 0, "dst_offset"_a.none() = 0,
          "dst_step"_a.none() = 1, "dst_line"_a.none() = 0,
          nb::sig("def encode(program: Program, src: typing_extensions.Buffer, dst: typing_extensions.Buffer" SIG_TAIL),
          ENCODE_DOC);
}

} // namespace

NB_MODULE(_engine, m) {
    m.doc() = "The decoding engine: programs that turn fixed groups of packed bytes into\n"
              "output values and back, run over byte spans without the interpreter lock.";
    bind_program(m);
    bind_functions(m);
}
