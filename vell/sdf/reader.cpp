// The SDF reader: both forms of an SDF file into a measurement dataset.
//
// ASCII form: keyword header, text data, then the trailer. The data are stored raw first and
// rescaled into phase counts once the trailer has given the phase unit.
// Binary form: an 81-byte little-endian header, then binary values, scaled as they are read.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "vell/platform/byte_order.h"
#include "vell/datafile/parallel.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "vell/platform/thread.h"
#include "vell/sdf/input.h"
#include "vell/sdf/numbers.h"
#include "vell/sdf/plain_window.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/trailer.h"

namespace {

using sdf::input;

// Zresolution of a binary file that gives none.
constexpr double default_zresolution = 7.724609375e-11;
constexpr std::size_t binary_header_size = 81;
constexpr std::size_t type_size[8] = {1, 2, 4, 4, 1, 2, 4, 8};

// A phase count fits the map when it is a signed 32-bit value below the invalid mark. The
// bounds hold for the value before truncation toward zero.
constexpr double fits_low = -2147483649.0;
constexpr double fits_high = 2147483640.0;
constexpr bool fits_phase(double v) { return v > fits_low && v < fits_high; }

// ---- text helpers ---------------------------------------------------------------------------

using sdf::num::load_eight;
using sdf::num::scan_integer;
using sdf::num::trim;

std::string upper(std::string_view s)
{
    std::string u(s);
    for (char& c : u) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return u;
}

// Copies at most `max` characters and a terminator.
void copy_text(char* dst, std::size_t max, std::string_view v)
{
    std::size_t n = std::min(max, v.size());
    std::memcpy(dst, v.data(), n);
    dst[n] = '\0';
}

// ---- headers --------------------------------------------------------------------------------

int32_t header_key(sdf_header& sh, const std::string& key, const std::string& value)
{
    static const char* const type_names[8] = {"UCHAR", "UINTEGER", "ULONGINT", "FLOAT",
                                              "CHAR",  "INTEGER",  "LONGINT",  "DOUBLE"};
    if (key == "MANUFACID") {
        copy_text(sh.ManufacID, 10, value);
    } else if (key == "CREATEDATE") {
        copy_text(sh.CreateDate, 12, value);
    } else if (key == "MODDATE") {
        copy_text(sh.ModDate, 12, value);
    } else if (key == "NUMPOINTS") {
        sh.NumPoints = sdf::num::to_ulong32(value);
    } else if (key == "NUMPROFILES") {
        sh.NumProfiles = sdf::num::to_ulong32(value);
    } else if (key == "XSCALE") {
        sh.Xscale = sdf::num::to_double(value);
    } else if (key == "YSCALE") {
        sh.Yscale = sdf::num::to_double(value);
    } else if (key == "ZSCALE") {
        sh.Zscale = sdf::num::to_double(value);
    } else if (key == "ZRESOLUTION") {
        sh.Zresolution = sdf::num::to_double(value);
    } else if (key == "COMPRESSION") {
        sh.Compression = value == "RRL" || value == "1" ? 1 : 0;
    } else if (key == "CHECKTYPE") {
        sh.CheckType = value == "UINTTRACE" || value == "1" ? 1 : 0;
    } else if (key == "DATATYPE") {
        for (uint8_t t = 0; t < 8; ++t) {
            if (value == type_names[t] || (value.size() == 1 && value[0] == '0' + t)) {
                sh.DataType = t;
                return NO_ERROR;
            }
        }
        return ERR_BAD_PARAM;
    }
    return NO_ERROR;
}

// Keyword lines up to and including the first line that begins with "*".
int32_t read_ascii_header(input& in, sdf_header& sh)
{
    std::string_view line;
    bool ended = false;
    while (in.line(line, ended)) {
        std::string_view t = trim(line);
        bool last = !t.empty() && t.front() == '*';
        t = t.substr(0, t.find(';'));
        std::size_t eq = t.find('=');
        if (eq != std::string_view::npos) {
            int32_t rc = header_key(sh, upper(trim(t.substr(0, eq))), upper(trim(t.substr(eq + 1))));
            if (rc != NO_ERROR)
                return rc;
        }
        if (last)
            return NO_ERROR;
    }
    return ERR_PREMATURE_EOF;
}

using dat_bytes::load_le16;
using dat_bytes::load_le32;
using dat_bytes::load_le64;

int32_t read_binary_header(input& in, sdf_header& sh)
{
    unsigned char h[binary_header_size];
    if (in.read(h, sizeof h) < sizeof h)
        return ERR_PREMATURE_EOF;
    copy_text(sh.ManufacID, 10, std::string_view(reinterpret_cast<const char*>(h + 8), 10));
    copy_text(sh.CreateDate, 12, std::string_view(reinterpret_cast<const char*>(h + 18), 12));
    copy_text(sh.ModDate, 12, std::string_view(reinterpret_cast<const char*>(h + 30), 12));
    sh.NumPoints = load_le16(h + 42);
    sh.NumProfiles = load_le16(h + 44);
    sh.Xscale = std::bit_cast<double>(load_le64(h + 46));
    sh.Yscale = std::bit_cast<double>(load_le64(h + 54));
    sh.Zscale = std::bit_cast<double>(load_le64(h + 62));
    sh.Zresolution = std::bit_cast<double>(load_le64(h + 70));
    sh.Compression = h[78];
    sh.DataType = h[79];
    sh.CheckType = h[80];
    if (sh.DataType > SDF_DOUBLE)
        return ERR_BAD_PARAM;
    if (!(sh.Zresolution > 0))
        sh.Zresolution = default_zresolution;
    return NO_ERROR;
}

// ---- ASCII data -----------------------------------------------------------------------------

// Character classes of the data section.
enum char_class : uint8_t { cc_other, cc_blank, cc_line_feed, cc_comment };

constexpr std::array<uint8_t, 256> make_classes()
{
    std::array<uint8_t, 256> t{};
    for (unsigned char c : {' ', '\t', '\v', '\f', '\r'})
        t[c] = cc_blank;
    t['\n'] = cc_line_feed;
    t[';'] = cc_comment;
    return t;
}
constexpr std::array<uint8_t, 256> classes = make_classes();

inline uint8_t class_of(char c) { return classes[static_cast<unsigned char>(c)]; }

// Text numbers of each data type. A run of up to eight digits (no sign) up to the type's
// short_max is its own value at once; parse(p, e, value, stop) reads any number that starts at
// p (and ends before e at the latest), sets stop to the first character after what it read and
// returns 0, ERR_PREMATURE_EOF for something that is not a number, ERR_CORRUPT_DATA_FILE for
// a number outside its type, or ERR_FP_OVERFLOW for a value that the map cannot hold. The
// value stored is the raw value; `sentinel` is the raw value that marks an invalid point.

using sdf::num::plain_window;

// ULONGINT: read as the C library reads an unsigned long of 32 bits ("-1" is 4294967295, a
// magnitude beyond 32 bits clamps to it). The value keeps its 32 bits; 0xFFFFFFFF, the
// invalid point, is the sentinel.
struct ulong_text {
    static constexpr int32_t sentinel = -1;
    static constexpr int64_t short_max = 99999999;  // every run of up to eight digits
    int32_t operator()(const char* p, const char* e, int32_t& out, const char*& stop) const
    {
        bool negative;
        uint64_t m;
        if (!scan_integer(p, e, negative, m, stop))
            return ERR_PREMATURE_EOF;
        uint32_t v = m > 0xFFFFFFFFu ? 0xFFFFFFFFu : negative ? 0u - static_cast<uint32_t>(m) : static_cast<uint32_t>(m);
        out = static_cast<int32_t>(v);
        return NO_ERROR;
    }
};

// The other integer types: a value in [Lo, Hi]; Hi is the type's invalid point and the
// sentinel.
template <int64_t Lo, int64_t Hi>
struct int_text {
    static constexpr int32_t sentinel = static_cast<int32_t>(Hi);
    static constexpr int64_t short_max = Hi;  // larger runs are for the parser to refuse
    int32_t operator()(const char* p, const char* e, int32_t& out, const char*& stop) const
    {
        bool negative;
        uint64_t m;
        if (!scan_integer(p, e, negative, m, stop))
            return ERR_PREMATURE_EOF;
        int64_t v = negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
        if (v < Lo || v > Hi)
            return ERR_CORRUPT_DATA_FILE;
        out = static_cast<int32_t>(v);
        return NO_ERROR;
    }
};

// FLOAT and DOUBLE: the largest finite value of the type, or NaN, is an invalid point; any
// other value is truncated toward zero and must lie below the invalid mark.
template <class T>
struct float_text {
    static constexpr int32_t sentinel = DAT_INVALID_PHASE;
    static constexpr int64_t short_max = -1;  // none: rounded in the type's precision
    int32_t operator()(const char* p, const char* e, int32_t& out, const char*& stop) const
    {
        const char* t = p;
        while (t < e && class_of(*t) == cc_other)
            ++t;
        stop = t;
        std::string_view token(p, static_cast<std::size_t>(t - p));
        if (token.size() > 1 && token[0] == '+' && (token[1] == '-' || token[1] == '+'))
            return ERR_PREMATURE_EOF;
        std::size_t used = 0;
        T v;
        if constexpr (std::is_same_v<T, float>)
            v = sdf::num::to_float(token, &used);
        else
            v = sdf::num::to_double(token, &used);
        if (used == 0 || used != token.size())
            return ERR_PREMATURE_EOF;
        if (std::isnan(v) || v == std::numeric_limits<T>::max()) {
            out = DAT_INVALID_PHASE;
            return NO_ERROR;
        }
        auto d = static_cast<double>(v);
        if (!fits_phase(d))
            return ERR_FP_OVERFLOW;
        out = static_cast<int32_t>(d);
        return NO_ERROR;
    }
};

// Where the points go: the phase map, allocated up to `room` points so far and grown as values
// arrive, up to its n points. A source of unknown size (a pipe) thus never makes the reader
// allocate the map the header claims before the data are there.
struct map_sink {
    phase_map* map;
    std::size_t n;
    std::size_t room;

    // Called when `room` points are stored: more room, ERR_CORRUPT_DATA_FILE when all n points
    // are already there (more values than points), or ERR_NO_MEM.
    int32_t grow()
    {
        if (room >= n)
            return ERR_CORRUPT_DATA_FILE;
        std::size_t more = std::min(n, std::max(2 * room, min_room));
        void* block = u_realloc(map->data, more * sizeof(int32_t));
        if (block == nullptr)
            return ERR_NO_MEM;
        map->data = static_cast<int32_t*>(block);
        map->count = static_cast<uint32_t>(more);
        room = more;
        return NO_ERROR;
    }
    static constexpr std::size_t min_room = std::size_t{1} << 16;
};

// The characters a round of scan_plain looks at, and how far its numbers may be read past them
// (a number that ends in the window is read eight characters at a time).
constexpr std::ptrdiff_t plain_window_size = 64;
constexpr std::ptrdiff_t plain_reach = plain_window_size + 8;

#ifdef SDF_PLAIN_WINDOW_SSE2
// The values of the runs of a window, every one of one to eight digits, two at a time into out
// (which has room for 32); count is how many there are. False when one of them is beyond the
// type's short_max.
template <class Parse>
inline bool window_values(const char* q, uint64_t starts, uint64_t ends, int32_t* out, std::size_t& count)
{
    auto next = [&](unsigned& shift) {
        auto first = static_cast<unsigned>(std::countr_zero(starts));
        auto last = static_cast<unsigned>(std::countr_zero(ends));
        starts &= starts - 1;
        ends &= ends - 1;
        shift = 8 * (7 - (last - first));
        return load_eight(q + first);
    };
    auto pair = [&](int32_t* o) {
        unsigned sa;
        unsigned sb;
        uint64_t a = next(sa);
        uint64_t b = next(sb);
        sdf::num::two_runs(a, sa, b, sb, o);
    };
    count = sdf::num::bit_count(starts);
    if (count <= 10) {
        // A fixed number of steps without a branch (numbers of six or seven characters give
        // nine or ten a window). The steps past the last run read the window's end and store
        // past its values, in the room that the next values take.
        for (int k = 0; k < 10; k += 2)
            pair(out + k);
    } else {
        int32_t* o = out;
        for (; (starts & (starts - 1)) != 0; o += 2)
            pair(o);
        if (starts != 0)
            pair(o);  // the last run and the window's end
    }
    if constexpr (Parse::short_max < 99999999) {
        for (std::size_t i = 0; i < count; ++i) {
            if (out[i] > Parse::short_max)
                return false;
        }
    }
    return true;
}
#endif

// Numbers in stretches of plain text (digits, blanks and line feeds only), 64 characters at a
// time: the window's digit bits give where every number starts, so that the numbers do not
// wait for each other's ends. Stops before a window with anything else, and before a number
// that reaches the end of its window; line_start tells whether p follows a line feed.
// After a failure p is the start of the number that failed.
template <class Parse>
int32_t scan_plain(const char*& p, const char* e, map_sink& out, std::size_t& count, bool& line_start, Parse parse)
{
    // The count and the map's place in locals: stores of values could otherwise alias them.
    std::size_t n = count;
    int32_t* data = out.map->data;
    const char* q = p;
    int32_t rc = NO_ERROR;
    while (e - q >= plain_reach) {
        uint64_t digits;
        if (!plain_window(q, digits) || ~digits == 0)
            break;
        // A run of digits at the window's end may go on past it: the next round starts there.
        unsigned limit = 64 - static_cast<unsigned>(std::countl_zero(~digits));
        uint64_t starts = digits & ~(digits << 1);
        uint64_t ends = digits & ~(digits >> 1);  // the last digit of each run
        if (limit < 64) {
            starts &= (uint64_t{1} << limit) - 1;
            ends &= (uint64_t{1} << limit) - 1;
        }
#ifdef SDF_PLAIN_WINDOW_SSE2
        if constexpr (Parse::short_max >= 0) {
            // Two numbers at a time when every run is of up to eight digits and the map has
            // room for all of the window's (at most 32): the usual case.
            uint64_t runs = digits & (digits >> 1);
            runs &= runs >> 2;
            runs &= runs >> 4;
            runs &= runs >> 1;  // the first digit of every run of nine or more
            std::size_t found = 0;
            if ((limit < 64 ? runs & ((uint64_t{1} << limit) - 1) : runs) == 0 && out.room - n >= 32 &&
                window_values<Parse>(q, starts, ends, data + n, found)) {
                n += found;
                line_start = q[limit - 1] == '\n';
                q += limit;
                continue;
            }
        }
#endif
        while (starts != 0) {
            auto first = static_cast<unsigned>(std::countr_zero(starts));
            unsigned length = static_cast<unsigned>(std::countr_zero(ends)) - first + 1;
            const char* t = q + first;
            starts &= starts - 1;
            ends &= ends - 1;
            // A run of up to eight digits (no sign in a plain window) is its value at once.
            int32_t value = 0;
            const uint64_t run = length > 8 ? 0 : sdf::num::digits_value(load_eight(t), length);
            if (Parse::short_max >= 0 && length <= 8 && run <= static_cast<uint64_t>(Parse::short_max)) {
                value = static_cast<int32_t>(run);
            } else {
                const char* stop = t;
                rc = parse(t, e, value, stop);
            }
            if (rc == NO_ERROR && n == out.room) {
                rc = out.grow();
                data = out.map->data;
            }
            if (rc != NO_ERROR) {
                q = t;
                break;
            }
            data[n++] = value;
        }
        if (rc != NO_ERROR)
            break;
        line_start = q[limit - 1] == '\n';
        q += limit;
    }
    p = q;
    count = n;
    return rc;
}

// A longer token is no number whatever the buffer could hold.
constexpr std::size_t longest_number = input::default_block;

// How a stretch of the data section ended (see scan_range).
enum class range_end { all, more, star, failed };

// The state of the data section between stretches.
struct scan_state {
    bool line_start = true;  // the next character begins a line
    bool comment = false;    // inside a ";" comment
    std::size_t count = 0;   // values stored
};

// The numbers of the data section in [p, e): numbers separated by white space, ";" starting a
// comment that runs to the end of its line. Returns all when the stretch is used up (p == e);
// more when a number reaches e and may go on after it (p at the number); star at a "*" that
// begins a line, the end of the data (p at the "*"); failed with the code in rc when a token
// is no number or its value does not fit, or there are more values than points (p at the
// token). A token of longest_number characters or more counts as reaching e.
template <class Parse>
range_end scan_range(const char*& p, const char* e, scan_state& st, map_sink& out, Parse parse, int32_t& rc)
{
    const char* plain_from = p;  // where scan_plain is tried next
    while (p < e) {
        if (st.comment) {
            const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)));
            if (lf == nullptr) {
                p = e;
                break;
            }
            st.comment = false;
            p = lf;
        }
        if (p >= plain_from && e - p >= plain_reach) {
            rc = scan_plain(p, e, out, st.count, st.line_start, parse);
            if (rc != NO_ERROR)
                return range_end::failed;
            // It stopped before a window it does not take: that one goes one by one.
            plain_from = p + plain_window_size;
        }
        switch (class_of(*p)) {
        case cc_line_feed:
            st.line_start = true;
            ++p;
            continue;
        case cc_blank:
            st.line_start = false;
            ++p;
            continue;
        case cc_comment:
            st.line_start = false;
            st.comment = true;
            ++p;
            continue;
        default:
            break;
        }
        if (st.line_start && *p == '*')
            return range_end::star;
        int32_t value = 0;
        const char* stop = p;
        rc = parse(p, e, value, stop);
        if (stop == e || static_cast<std::size_t>(stop - p) >= longest_number)
            return range_end::more;
        st.line_start = false;
        uint8_t next = class_of(*stop);
        if (next == cc_other)
            rc = ERR_PREMATURE_EOF;  // a number followed by anything but a separator
        else if (rc == NO_ERROR && st.count == out.room)
            rc = out.grow();
        if (rc != NO_ERROR)
            return range_end::failed;
        out.map->data[st.count++] = value;
        // The separator right away when it is a blank or a line feed, the usual case.
        p = next == cc_comment ? stop : stop + 1;
        st.line_start = next == cc_line_feed;
    }
    return range_end::all;
}

// Splitting the data section over several threads: a buffer of at least `least` bytes, at a
// line start, is cut into whole lines, one part per thread.
struct parallel_plan {
    unsigned threads = 1;
    std::size_t least = 0;
    dat_parallel::team* team = nullptr;  // threads that stay for the whole reading, when large
    uint64_t file_size = 0;              // with a team: the size of the file
    std::size_t part = 0;                // with a team: the text of one thread in a round
    std::size_t piece = 0;               // with a team: the buffer of one thread

    // body(i) for i in [0, n) on n threads: the team's when it has n.
    template <class Body>
    void run(unsigned n, const Body& body) const
    {
        if (team != nullptr && team->size() == n)
            team->run(body);
        else
            dat_parallel::run(n, body);
    }
};

// A smaller data section stays on one thread. A large file is read in rounds: every thread of
// the team reads a part of this much text (four times the least, 4 MiB by default) from the
// file on its own, through a buffer of its own.
constexpr std::size_t default_parallel_least = std::size_t{1} << 20;

// One part of a round: a stretch of the file, read and scanned on its own into its own block
// (the first part straight into the map).
struct text_part {
    uint64_t from = 0;   // the slice of the file that the part stands for: [from, to)
    uint64_t to = 0;
    uint64_t begin = 0;  // the part itself, whole lines: [begin, end)
    uint64_t end = 0;
    std::unique_ptr<char[]> text;  // the part's buffer of `piece` bytes
    std::size_t text_size = 0;
    phase_map block{};             // the values of a part after the first; not cleared
    bool clean = false;            // every number read, nothing else met
    std::size_t count = 0;

    text_part() = default;
    text_part(const text_part&) = delete;
    text_part& operator=(const text_part&) = delete;
    ~text_part() { u_free(block.data); }
};

// The last line feed of the n characters at b, or null.
const char* last_line_feed(const char* b, std::size_t n)
{
    for (const char* p = b + n; p > b;)
        if (*--p == '\n')
            return p;
    return nullptr;
}

// Reads one part of a round from the file, in pieces through the part's own buffer: from the
// first line start at or after `from` (the round's start for the first part) up to the first
// line start at or after `to`, where the next part begins. The values go into the part's own
// block, or with `direct` straight into the map from point `at` on. A part is not clean when
// it meets anything but numbers (the end of the data, a bad token), a line longer than a
// piece, the end of the file or a failed read: the one-by-one reading takes over there.
template <class Parse>
void scan_part(text_part& part, std::FILE* file, std::size_t piece, bool first, map_sink* direct, std::size_t at,
               std::size_t points, Parse parse)
{
    part.clean = false;
    part.count = 0;
    part.begin = part.from;
    part.end = part.from;
    if (part.text_size != piece) {
        part.text.reset(new (std::nothrow) char[piece]);
        part.text_size = part.text ? piece : 0;
        if (!part.text)
            return;
    }
    // Room for the values of the slice at one number in two characters (a digit and its
    // separator); the line that crosses its end may bring more, and the block grows then.
    map_sink own{&part.block, points, part.block.count};
    if (direct == nullptr && part.block.count < (part.to - part.from) / 2 + 1) {
        own.room = std::min<std::size_t>(points, static_cast<std::size_t>(part.to - part.from) / 2 + 1);
        void* grown = u_realloc(part.block.data, own.room * sizeof(int32_t));
        if (grown == nullptr)
            return;
        part.block.data = static_cast<int32_t*>(grown);
        part.block.count = static_cast<uint32_t>(own.room);
    }
    map_sink& sink = direct != nullptr ? *direct : own;
    scan_state st;
    st.count = direct != nullptr ? at : 0;

    char* buf = part.text.get();
    uint64_t offset = first ? part.from : part.from - 1;  // the file's place of buf[0]
    std::size_t carry = 0;                                // bytes of an unfinished line at buf[0]
    bool begun = first;
    try {
        for (;;) {
            std::size_t got = 0;
            if (!os::read_at(file, offset + carry, buf + carry, piece - carry, got) || got == 0)
                return;
            const std::size_t n = carry + got;
            const char* b = buf;
            if (!begun) {
                // The part begins after the first line feed at or after from - 1.
                const auto* lf = static_cast<const char*>(std::memchr(buf, '\n', n));
                if (lf == nullptr)
                    return;
                b = lf + 1;
                part.begin = offset + static_cast<uint64_t>(b - buf);
                part.end = part.begin;
                begun = true;
                if (part.begin >= part.to) {
                    part.clean = true;  // a line spans the whole slice: the part is empty
                    return;
                }
            }
            const char* last = last_line_feed(b, static_cast<std::size_t>(buf + n - b));
            if (last == nullptr) {
                if (b < buf + n)
                    return;  // a line longer than a piece, or the end of the file
                offset += n;
                carry = 0;
                continue;
            }
            const char* e = last + 1;
            const bool ends = offset + static_cast<uint64_t>(e - buf) >= part.to;
            if (ends) {
                // The part ends with the line that holds the slice's last byte.
                const char* k = buf + (part.to - 1 - offset);
                e = static_cast<const char*>(std::memchr(k, '\n', static_cast<std::size_t>(e - k))) + 1;
            }
            const char* p = b;
            int32_t rc = NO_ERROR;
            if (scan_range(p, e, st, sink, parse, rc) != range_end::all || st.comment)
                return;
            if (ends) {
                part.end = offset + static_cast<uint64_t>(e - buf);
                break;
            }
            carry = static_cast<std::size_t>(buf + n - e);
            std::memmove(buf, e, carry);
            offset += static_cast<uint64_t>(e - buf);
        }
    } catch (const std::bad_alloc&) {
        return;  // the one-by-one reading reports it
    }
    part.count = st.count - (direct != nullptr ? at : 0);
    part.clean = true;
}

// The parts of the rounds, and the blocks of the last round that still wait to be copied into
// the map: those of parts 1 to pending - 1, each to its place (dest), one after the other.
struct round_parts {
    std::vector<text_part> parts;
    std::vector<std::size_t> dest;
    unsigned pending = 0;

    // Thread t of n copies its share of the waiting values: they follow each other in the map
    // (from dest[1] on), and each thread takes an equal stretch of them.
    void place(unsigned t, unsigned n, map_sink& out) const
    {
        if (pending < 2)
            return;
        const std::size_t total = dest[pending - 1] + parts[pending - 1].count - dest[1];
        std::size_t from = dest[1] + dat_parallel::part_begin(total, n, t);
        const std::size_t to = dest[1] + dat_parallel::part_begin(total, n, t + 1);
        for (unsigned i = 1; i < pending && from < to; ++i) {
            const std::size_t end = dest[i] + parts[i].count;
            if (from >= end)
                continue;
            const std::size_t k = std::min(to, end) - from;
            std::memcpy(out.map->data + from, parts[i].block.data + (from - dest[i]), k * sizeof(int32_t));
            from += k;
        }
    }
    // Copies the waiting blocks on every thread of the team.
    void flush(map_sink& out, const parallel_plan& plan)
    {
        if (pending > 1)
            plan.team->run([&](unsigned t) { place(t, plan.team->size(), out); });
        pending = 0;
    }
};

// One round of the data section on every thread of the team, from the input's place (a line
// start) on; the parts are then taken in file order up to the first one that is not clean,
// where the one-by-one reading takes over (the input is left there, or after the round), so
// that the outcome is that of the one-by-one reading. `resume_at` is where the next round may
// begin after that: past the part that was not clean. The blocks of the parts after the first
// wait to be copied into the map by all threads (see flush) before the next round or the
// one-by-one reading, neither of which runs beside the copying.
template <class Parse>
void scan_round(input& in, scan_state& st, map_sink& out, Parse parse, const parallel_plan& plan, round_parts& rp,
                uint64_t& resume_at)
{
    std::vector<text_part>& parts = rp.parts;
    const uint64_t start = in.position();
    const uint64_t round = std::min<uint64_t>(plan.file_size - start, uint64_t{plan.team->size()} * plan.part);
    // No slice is empty: a round of a few bytes has fewer parts than the team has threads.
    const auto n = static_cast<unsigned>(std::min<uint64_t>(plan.team->size(), round));
    // The last round's blocks are copied (below st.count) before their parts are read anew.
    rp.flush(out, plan);
    plan.team->run([&](unsigned i) {
        if (i < n) {
            parts[i].from = start + dat_parallel::part_begin(static_cast<std::size_t>(round), n, i);
            parts[i].to = start + dat_parallel::part_begin(static_cast<std::size_t>(round), n, i + 1);
            scan_part(parts[i], in.stream(), plan.piece, i == 0, i == 0 ? &out : nullptr, st.count, out.n, parse);
        }
    });
    uint64_t next = start;
    unsigned taken = 0;
    for (; taken < n; ++taken) {
        text_part& part = parts[taken];
        if (!part.clean || part.count > out.room - st.count) {
            resume_at = part.to;
            break;
        }
        rp.dest[taken] = st.count;
        st.count += part.count;
        next = part.end;
    }
    rp.pending = taken;
    in.seek(next);
    st.line_start = true;
}

// The system gives a new block's pages on their first touch, each one cleared first, which
// costs more than the parsing of its values. Touching every page of a large map on every core
// at the start shares all of that work evenly. (The points are written later in any case.)
void touch_pages(phase_map& map, const parallel_plan& plan)
{
    const std::size_t count = map.count;
    if (plan.threads < 2 || count * sizeof(int32_t) < plan.least)
        return;
    constexpr std::size_t page_points = 4096 / sizeof(int32_t);
    int32_t* d = map.data;
    plan.run(plan.threads, [&](unsigned i) {
        std::size_t to = dat_parallel::part_begin(count, plan.threads, i + 1);
        for (std::size_t j = dat_parallel::part_begin(count, plan.threads, i); j < to; j += page_points)
            d[j] = 0;
    });
}

// Ends the data section early at p: the reading goes on after the line that holds p (the data
// are read line by line, and the trailer is read from where they stopped).
int32_t stop_after_line(input& in, const char* p, int32_t rc)
{
    in.consume_to(p);
    std::string_view rest;
    bool ended;
    in.line(rest, ended);
    return rc;
}

// More values than points: the data are rejected, and the reading goes on after the data
// section's "*" line, where the trailer begins.
int32_t skip_surplus(input& in, const char* p)
{
    in.consume_to(p);
    std::string_view line;
    bool ended;
    while (in.line(line, ended) && (line.empty() || line.front() != '*')) {
    }
    return ERR_CORRUPT_DATA_FILE;
}

// The data section, ended by a line that begins with "*". Exactly out.n numbers must come. On
// every outcome the input is left where the trailer's reading begins. A large file is read in
// rounds on every thread of the team (see scan_round); the outcome is the same.
template <class Parse>
int32_t scan_text(input& in, map_sink& out, Parse parse, const parallel_plan& plan)
{
    scan_state st;
    const bool rounds = plan.team != nullptr && in.positioned();
    round_parts rp;
    rp.parts = std::vector<text_part>(rounds ? plan.team->size() : 0);
    rp.dest.assign(rp.parts.size(), 0);
    uint64_t resume_at = 0;  // no round before this place of the file
    for (;;) {
        const bool round_due = rounds && in.position() >= resume_at && plan.file_size > in.position() &&
                               plan.file_size - in.position() >= plan.least;
        if (round_due && st.line_start && !st.comment) {
            scan_round(in, st, out, parse, plan, rp, resume_at);
            if (in.position() >= resume_at)
                continue;
        }
        if (rp.pending > 0)
            rp.flush(out, plan);
        if (in.available() == 0 && !in.fill())
            return ERR_PREMATURE_EOF;
        const char* p = in.begin();
        const char* e = in.end();
        // Where a round may begin again, the one-by-one reading stops at a line start.
        if (rounds && in.position() + in.available() >= resume_at) {
            if (const char* lf = last_line_feed(p, in.available()))
                e = lf + 1;
        }
        int32_t rc = NO_ERROR;
        switch (scan_range(p, e, st, out, parse, rc)) {
        case range_end::all:
            in.consume_to(p);
            continue;
        case range_end::star:
            stop_after_line(in, p, NO_ERROR);
            return st.count == out.n ? NO_ERROR : ERR_CORRUPT_DATA_FILE;
        case range_end::failed:
            // More values than points skip to the end of the data section; the other
            // failures end it after their line.
            if (rc == ERR_CORRUPT_DATA_FILE && st.count == out.n)
                return skip_surplus(in, p);
            return stop_after_line(in, p, rc);
        case range_end::more: {
            // The number reaches the end of the buffer and may go on in the next block.
            auto have = static_cast<std::size_t>(in.end() - p);
            in.consume_to(p);
            if (have >= in.block() || have >= longest_number)
                return stop_after_line(in, in.begin(), ERR_PREMATURE_EOF);  // far too long for a number
            if (!in.fill(have + 1) || in.available() <= have)
                return stop_after_line(in, in.begin(), ERR_PREMATURE_EOF);  // the file ends inside the data
            continue;
        }
        }
    }
}

template <class Parse>
int32_t scan_text_as(input& in, map_sink& phase, int32_t& sentinel, const parallel_plan& plan)
{
    sentinel = Parse::sentinel;
    return scan_text(in, phase, Parse{}, plan);
}

int32_t read_text_values(input& in, uint8_t type, map_sink& phase, int32_t& sentinel, const parallel_plan& plan)
{
    switch (type) {
    case SDF_UCHAR: return scan_text_as<int_text<0, 255>>(in, phase, sentinel, plan);
    case SDF_UINTEGER: return scan_text_as<int_text<0, 65535>>(in, phase, sentinel, plan);
    case SDF_ULONGINT: return scan_text_as<ulong_text>(in, phase, sentinel, plan);
    case SDF_FLOAT: return scan_text_as<float_text<float>>(in, phase, sentinel, plan);
    case SDF_CHAR: return scan_text_as<int_text<-128, 127>>(in, phase, sentinel, plan);
    case SDF_INTEGER: return scan_text_as<int_text<-32768, 32767>>(in, phase, sentinel, plan);
    case SDF_LONGINT: return scan_text_as<int_text<-2147483648LL, 2147483647>>(in, phase, sentinel, plan);
    case SDF_DOUBLE: return scan_text_as<float_text<double>>(in, phase, sentinel, plan);
    default: return ERR_BAD_PARAM;
    }
}

// R of the phase unit.
double phase_divisor(const dat_header& h) { return h.phase_res == 0 ? 4096.0 : 32768.0; }

// The points of the map: round((raw + offset) x f). One pass without branches, so that the
// compiler converts several points at once (kept out of line: inlined into the reader it does
// not); a point that does not fit is noted and reported at the end (the map is dropped then).
[[gnu::noinline]] int32_t rescale_points(int32_t* d, std::size_t count, int32_t offset, int32_t sentinel,
                                         double f)
{
    int32_t overflow = 0;
    if (f == 1.0) {
        // Files of the platform's SDF writer: the point is the sum itself (exact in double
        // precision), and it fits when it is below the invalid mark.
        for (std::size_t i = 0; i < count; ++i) {
            int32_t raw = d[i];
            auto sum = static_cast<int32_t>(static_cast<uint32_t>(raw) + static_cast<uint32_t>(offset));
            overflow |= (sum > DAT_PHASE_MAX_VALID) & (raw != sentinel);
            d[i] = raw == sentinel ? DAT_INVALID_PHASE : sum;
        }
        return overflow != 0 ? ERR_FP_OVERFLOW : NO_ERROR;
    }
    for (std::size_t i = 0; i < count; ++i) {
        int32_t raw = d[i];
        // The sum wraps in 32 bits: the writer's values relative to the minimum may have.
        auto sum = static_cast<int32_t>(static_cast<uint32_t>(raw) + static_cast<uint32_t>(offset));
        double p = static_cast<double>(sum) * f;
        double r = p + (p >= 0 ? 0.5 : -0.5);  // rounded half away from zero by the truncation
        int32_t fits = (r > fits_low) & (r < fits_high);
        auto v = static_cast<int32_t>(fits ? r : 0.0);
        overflow |= (fits ^ 1) & (raw != sentinel);
        d[i] = raw == sentinel ? DAT_INVALID_PHASE : v;
    }
    return overflow != 0 ? ERR_FP_OVERFLOW : NO_ERROR;
}

// Raw values to phase counts: round((raw + offset) x Zscale / u), u as the SDF writer prints
// it (ten significant digits).
int32_t rescale(const dat_header& h, const sdf_header& sh, int32_t offset, int32_t sentinel, phase_map& phase,
                const parallel_plan& plan)
{
    float sow = h.intf_scale_factor * h.obliquity_factor;
    sow = sow * h.wavelength_in;
    double u = static_cast<double>(sow) / phase_divisor(h);
    char text[40];
    std::size_t n = sdf::num::format_g10(u, text);
    u = sdf::num::to_double(std::string_view(text, n));
    // A unit beyond single precision (or not a number) would turn every height into 0 counts.
    if (!std::isfinite(u))
        return ERR_FP_OVERFLOW;
    // A large map is rescaled on every core, each thread its own stretch of points.
    const double f = sh.Zscale / u;
    const std::size_t count = phase.count;
    unsigned threads = count * sizeof(int32_t) >= plan.least ? plan.threads : 1;
    std::array<int32_t, dat_parallel::max_threads> rc{};
    plan.run(threads, [&](unsigned i) {
        std::size_t from = dat_parallel::part_begin(count, threads, i);
        std::size_t to = dat_parallel::part_begin(count, threads, i + 1);
        rc[i] = rescale_points(phase.data + from, to - from, offset, sentinel, f);
    });
    for (int32_t r : rc) {
        if (r != NO_ERROR)
            return r;
    }
    return NO_ERROR;
}

// ---- binary data ----------------------------------------------------------------------------

// Decoders: the value of one little-endian item, false for the type's invalid point.
struct dec_uchar {
    static constexpr std::size_t size = 1;
    bool operator()(const unsigned char* p, double& v) const { v = p[0]; return p[0] != 255; }
};
struct dec_uinteger {
    static constexpr std::size_t size = 2;
    bool operator()(const unsigned char* p, double& v) const { uint16_t x = load_le16(p); v = x; return x != 65535; }
};
struct dec_ulongint {
    static constexpr std::size_t size = 4;
    bool operator()(const unsigned char* p, double& v) const { uint32_t x = load_le32(p); v = x; return x != 0xFFFFFFFFu; }
};
struct dec_float {
    static constexpr std::size_t size = 4;
    bool operator()(const unsigned char* p, double& v) const
    {
        auto x = std::bit_cast<float>(load_le32(p));
        v = x;
        return !std::isnan(x) && x != std::numeric_limits<float>::max();
    }
};
struct dec_char {
    static constexpr std::size_t size = 1;
    bool operator()(const unsigned char* p, double& v) const { auto x = static_cast<int8_t>(p[0]); v = x; return x != 127; }
};
struct dec_integer {
    static constexpr std::size_t size = 2;
    bool operator()(const unsigned char* p, double& v) const { auto x = static_cast<int16_t>(load_le16(p)); v = x; return x != 32767; }
};
struct dec_longint {
    static constexpr std::size_t size = 4;
    bool operator()(const unsigned char* p, double& v) const { auto x = static_cast<int32_t>(load_le32(p)); v = x; return x != 2147483647; }
};
struct dec_double {
    static constexpr std::size_t size = 8;
    bool operator()(const unsigned char* p, double& v) const
    {
        v = std::bit_cast<double>(load_le64(p));
        return !std::isnan(v) && v != std::numeric_limits<double>::max();
    }
};

// Marks a scaled value that does not fit the map; never a phase count (those end at the
// invalid mark 0x7FFFFFF8).
constexpr int32_t scaled_overflow = std::numeric_limits<int32_t>::max();

// One item: each valid value v becomes trunc(v x Zscale / u + 0.5).
template <class Decode>
int32_t scale_item(const unsigned char* p, double zscale, double u)
{
    double v;
    if (!Decode{}(p, v))
        return DAT_INVALID_PHASE;
    double r = v * zscale / u + 0.5;
    return fits_phase(r) ? static_cast<int32_t>(r) : scaled_overflow;
}

// The items [from, to) of p into out; false when one of them does not fit the map.
template <class Decode>
bool scale_items(const unsigned char* p, std::size_t from, std::size_t to, int32_t* out, const std::vector<int32_t>& table,
                 double zscale, double u)
{
    constexpr std::size_t size = Decode::size;
    bool overflow = false;
    p += from * size;
    if (!table.empty()) {
        for (std::size_t j = from; j < to; ++j, p += size) {
            if constexpr (size == 1)
                out[j] = table[p[0]];
            else
                out[j] = table[load_le16(p)];
            overflow |= out[j] == scaled_overflow;
        }
    } else {
        for (std::size_t j = from; j < to; ++j, p += size) {
            out[j] = scale_item<Decode>(p, zscale, u);
            overflow |= out[j] == scaled_overflow;
        }
    }
    return !overflow;
}

// The data of a file read by a team: every thread reads its own stretch of the items from the
// file by position, through a buffer of its own, and converts them straight into the map. The
// first failure in file order decides, as in the reading block by block: a value that does not
// fit (ERR_FP_OVERFLOW), the file's end (ERR_PREMATURE_EOF) or a failed read
// (ERR_CANT_READ_FILE). The input is left after the data.
template <class Decode>
int32_t scale_binary_parts(input& in, map_sink& phase, const std::vector<int32_t>& table, double zscale, double u,
                           const parallel_plan& plan)
{
    constexpr std::size_t size = Decode::size;
    const std::size_t n = phase.n;
    const uint64_t base = in.position();
    const unsigned threads = plan.team->size();
    struct failure {
        std::size_t at;  // the first item that failed
        int32_t rc;
    };
    std::array<failure, dat_parallel::max_threads> first{};
    plan.team->run([&](unsigned t) {
        const std::size_t from = dat_parallel::part_begin(n, threads, t);
        const std::size_t to = dat_parallel::part_begin(n, threads, t + 1);
        first[t] = {to, NO_ERROR};
        const std::size_t per = std::max<std::size_t>(plan.piece / size, 1);
        std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[per * size]);
        if (!buf) {
            first[t] = {from, ERR_NO_MEM};
            return;
        }
        for (std::size_t j = from; j < to; j += per) {
            const std::size_t k = std::min(per, to - j);
            std::size_t got = 0;
            const bool ok = os::read_at(in.stream(), base + uint64_t{j} * size, buf.get(), k * size, got);
            const std::size_t whole = std::min(got / size, k);
            int32_t* out = phase.map->data + j;
            if (!scale_items<Decode>(buf.get(), 0, whole, out, table, zscale, u)) {
                first[t] = {j + static_cast<std::size_t>(std::find(out, out + whole, scaled_overflow) - out),
                            ERR_FP_OVERFLOW};
                return;
            }
            if (!ok || whole < k) {
                first[t] = {j + whole, ok ? ERR_PREMATURE_EOF : ERR_CANT_READ_FILE};
                return;
            }
        }
    });
    const failure* worst = nullptr;
    for (unsigned t = 0; t < threads; ++t) {
        if (first[t].rc != NO_ERROR && (worst == nullptr || first[t].at < worst->at))
            worst = &first[t];
    }
    in.seek(base + uint64_t{n} * size);
    return worst != nullptr ? worst->rc : NO_ERROR;
}

// The data in blocks straight from the input buffer, a large block on every core. Types of
// one or two bytes have few values: a large map takes them from a table of every item's
// result.
template <class Decode>
int32_t scale_binary(input& in, map_sink& phase, double zscale, double u, const parallel_plan& plan)
{
    constexpr std::size_t size = Decode::size;
    std::size_t n = phase.n;
    std::vector<int32_t> table;
    if constexpr (size <= 2) {
        constexpr std::size_t items = std::size_t{1} << (8 * size);
        if (n >= items) {
            table.resize(items);
            for (std::size_t x = 0; x < items; ++x) {
                const unsigned char bytes[2] = {static_cast<unsigned char>(x), static_cast<unsigned char>(x >> 8)};
                table[x] = scale_item<Decode>(bytes, zscale, u);
            }
        }
    }
    if (plan.team != nullptr && in.positioned() && phase.room == n)
        return scale_binary_parts<Decode>(in, phase, table, zscale, u, plan);
    std::size_t i = 0;
    while (i < n) {
        if (!in.fill(size) || in.available() < size)
            return ERR_PREMATURE_EOF;
        if (i == phase.room) {
            if (int32_t rc = phase.grow(); rc != NO_ERROR)
                return rc;
        }
        std::size_t k = std::min(phase.room - i, in.available() / size);
        const auto* p = reinterpret_cast<const unsigned char*>(in.begin());
        int32_t* out = phase.map->data + i;
        unsigned threads = k * size >= plan.least ? plan.threads : 1;
        std::array<bool, dat_parallel::max_threads> fits{};
        plan.run(threads, [&](unsigned t) {
            fits[t] = scale_items<Decode>(p, dat_parallel::part_begin(k, threads, t),
                                          dat_parallel::part_begin(k, threads, t + 1), out, table, zscale, u);
        });
        if (!std::all_of(fits.begin(), fits.begin() + threads, [](bool f) { return f; }))
            return ERR_FP_OVERFLOW;
        in.consume(k * size);
        i += k;
    }
    return NO_ERROR;
}

int32_t read_binary_values(input& in, const dat_header& h, const sdf_header& sh, map_sink& phase,
                           const parallel_plan& plan)
{
    float so = h.intf_scale_factor * h.obliquity_factor;
    double u = static_cast<double>(so) * static_cast<double>(h.wavelength_in) / phase_divisor(h);
    // A Zresolution beyond single precision gives an infinite unit: every height would be 0.
    if (!std::isfinite(u))
        return ERR_FP_OVERFLOW;
    switch (sh.DataType) {
    case SDF_UCHAR: return scale_binary<dec_uchar>(in, phase, sh.Zscale, u, plan);
    case SDF_UINTEGER: return scale_binary<dec_uinteger>(in, phase, sh.Zscale, u, plan);
    case SDF_ULONGINT: return scale_binary<dec_ulongint>(in, phase, sh.Zscale, u, plan);
    case SDF_FLOAT: return scale_binary<dec_float>(in, phase, sh.Zscale, u, plan);
    case SDF_CHAR: return scale_binary<dec_char>(in, phase, sh.Zscale, u, plan);
    case SDF_INTEGER: return scale_binary<dec_integer>(in, phase, sh.Zscale, u, plan);
    case SDF_LONGINT: return scale_binary<dec_longint>(in, phase, sh.Zscale, u, plan);
    case SDF_DOUBLE: return scale_binary<dec_double>(in, phase, sh.Zscale, u, plan);
    default: return ERR_BAD_PARAM;
    }
}

// ---- files of other programs (import policy) ------------------------------------------------

// The dialects the import policy knows, by banner.
struct dialect {
    bool known = false;
    bool ascii = false;
    bool iso = false;  // invalid points are the type's smallest value, not its largest
};

dialect dialect_of(const char (&banner)[8])
{
    static constexpr std::string_view names[] = {"aBCR-1.0", "aISO-1.0", "aISO-2.0",
                                                 "bBCR-1.0", "bISO-1.0", "bISO-2.0"};
    std::string_view b(banner, sizeof banner);
    dialect d;
    for (std::string_view n : names) {
        if (b == n) {
            d.known = true;
            d.ascii = n[0] == 'a';
            d.iso = n.substr(1, 3) == "ISO";
        }
    }
    return d;
}

// The type's invalid value in the dialect, as a double (the floating types compare in their
// own precision, see is_invalid_value).
double invalid_value(uint8_t type, bool iso)
{
    switch (type) {
    case SDF_UCHAR: return iso ? 0.0 : 255.0;
    case SDF_UINTEGER: return iso ? 0.0 : 65535.0;
    case SDF_ULONGINT: return iso ? 0.0 : 4294967295.0;
    case SDF_FLOAT: return iso ? -static_cast<double>(std::numeric_limits<float>::max())
                               : static_cast<double>(std::numeric_limits<float>::max());
    case SDF_CHAR: return iso ? -128.0 : 127.0;
    case SDF_INTEGER: return iso ? -32768.0 : 32767.0;
    case SDF_LONGINT: return iso ? -2147483648.0 : 2147483647.0;
    default: return iso ? -std::numeric_limits<double>::max() : std::numeric_limits<double>::max();
    }
}

bool is_invalid_value(double v, uint8_t type, bool iso)
{
    if (std::isnan(v))
        return true;
    if (type == SDF_FLOAT) {
        // A text value is invalid when it rounds to the single-precision mark ("3.4028235e38"
        // is a little above it): within half a unit (2^103) of it, both sides, the mark's odd
        // last digit sending an exact half away from it. No conversion to single precision,
        // which is undefined beyond its range.
        return std::fabs(v - invalid_value(type, iso)) < 0x1p103;
    }
    return v == invalid_value(type, iso);
}

bool equals_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != b[i])
            return false;
    }
    return true;
}

constexpr double import_invalid = std::numeric_limits<double>::quiet_NaN();

// One text token of the data: a decimal or exponent number, or "BAD" / "NaN" in any case.
bool import_token(std::string_view token, uint8_t type, bool iso, double& value)
{
    if (equals_nocase(token, "BAD") || equals_nocase(token, "NAN")) {
        value = import_invalid;
        return true;
    }
    // Only digits, signs, a point and an exponent make a number here (no "inf", no hex).
    for (char c : token) {
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            return false;
    }
    if (token.size() > 1 && token[0] == '+' && (token[1] == '-' || token[1] == '+'))
        return false;
    std::size_t used = 0;
    double v = sdf::num::to_double(token, &used);
    if (used == 0 || used != token.size())
        return false;
    value = is_invalid_value(v, type, iso) ? import_invalid : v;
    return true;
}

// The text data section: numbers separated by white space, ";" starting a comment, ended by a
// line that begins with "*" or by the end of the file after the last point. Exactly n values.
int32_t import_text_values(input& in, uint8_t type, bool iso, std::size_t n, std::vector<double>& values)
{
    std::string_view line;
    bool ended = false;
    while (in.line(line, ended)) {
        if (!line.empty() && line.front() == '*')
            return values.size() == n ? NO_ERROR : ERR_CORRUPT_DATA_FILE;
        line = line.substr(0, line.find(';'));
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && sdf::num::is_space(line[i]))
                ++i;
            std::size_t start = i;
            while (i < line.size() && !sdf::num::is_space(line[i]))
                ++i;
            if (start == i)
                break;
            double v;
            if (!import_token(line.substr(start, i - start), type, iso, v))
                return ERR_PREMATURE_EOF;
            if (values.size() == n)
                return ERR_CORRUPT_DATA_FILE;  // more values than points
            values.push_back(v);
        }
    }
    return values.size() == n ? NO_ERROR : ERR_PREMATURE_EOF;
}

// The binary data: exactly n little-endian items of the type.
int32_t import_binary_values(input& in, uint8_t type, bool iso, std::size_t n, std::vector<double>& values)
{
    const std::size_t size = type_size[type];
    unsigned char item[8];
    for (std::size_t i = 0; i < n; ++i) {
        if (in.read(item, size) < size)
            return ERR_PREMATURE_EOF;
        double v = 0;
        switch (type) {
        case SDF_UCHAR: v = item[0]; break;
        case SDF_UINTEGER: v = load_le16(item); break;
        case SDF_ULONGINT: v = load_le32(item); break;
        case SDF_FLOAT: v = std::bit_cast<float>(load_le32(item)); break;
        case SDF_CHAR: v = static_cast<int8_t>(item[0]); break;
        case SDF_INTEGER: v = static_cast<int16_t>(load_le16(item)); break;
        case SDF_LONGINT: v = static_cast<int32_t>(load_le32(item)); break;
        default: v = std::bit_cast<double>(load_le64(item)); break;
        }
        values.push_back(is_invalid_value(v, type, iso) ? import_invalid : v);
    }
    return NO_ERROR;
}

// The rest of an imported file after its header defaults: the data, the optional trailer, and
// the points as phase counts of the resulting unit.
int32_t import_rest(input& in, bool ascii, bool iso, dat_header& h, const sdf_header& sh, phase_map& phase)
{
    const std::size_t n = static_cast<std::size_t>(sh.NumPoints) * sh.NumProfiles;
    if (n == 0)
        return ERR_PARAM_OUT_OF_RANGE;
    std::vector<double> values;
    values.reserve(std::min<std::size_t>(n, map_sink::min_room));
    int32_t rc = ascii ? import_text_values(in, sh.DataType, iso, n, values)
                       : import_binary_values(in, sh.DataType, iso, n, values);
    if (in.failed())
        return ERR_CANT_READ_FILE;
    if (rc != NO_ERROR)
        return rc;

    // The trailer, when there is one: the platform's keys as usual, any other line ignored.
    int32_t offset = 0;
    int seen = 0;
    if (in.fill())
        sdf::read_trailer(in, &h, &offset, &seen);
    if (in.failed())
        return ERR_CANT_READ_FILE;
    if (seen != SDF_TRAILER_REQUIRED) {
        // Not the platform's header: the unit is Zresolution, whatever partial keys said.
        // ("Data Offset", when given, still applies as the platform reads it.)
        h.intf_scale_factor = 0.5f;
        h.obliquity_factor = 1.0f;
        h.phase_res = 0;
        h.wavelength_in = sdf::num::narrow(8192.0 * sh.Zresolution);
    }
    if (h.cn_width != static_cast<int16_t>(sh.NumPoints) || h.cn_height != static_cast<int16_t>(sh.NumProfiles) ||
        static_cast<uint32_t>(h.cn_n_bytes) != sh.NumPoints * sh.NumProfiles * 4u)
        return ERR_CORRUPT_DATA_FILE;

    // The unit as the dataset states it; a unit that is no positive finite number leaves no
    // count that could hold the heights.
    double u = static_cast<double>(h.intf_scale_factor) * static_cast<double>(h.wavelength_in) *
               static_cast<double>(h.obliquity_factor) / phase_divisor(h);
    if (!(u > 0) || !std::isfinite(u))
        return ERR_FP_OVERFLOW;

    phase.width = static_cast<int16_t>(sh.NumPoints);
    phase.height = static_cast<int16_t>(sh.NumProfiles);
    rc = phase_map_alloc(&phase);
    if (rc != NO_ERROR)
        return rc;
    phase.org_x = h.cn_org_x;
    phase.org_y = h.cn_org_y;
    for (std::size_t i = 0; i < n; ++i) {
        double v = values[i];
        if (std::isnan(v)) {
            phase.data[i] = DAT_INVALID_PHASE;
            continue;
        }
        double p = (v + offset) * sh.Zscale / u;
        double r = p + (p >= 0 ? 0.5 : -0.5);
        if (!fits_phase(r))
            return ERR_FP_OVERFLOW;
        phase.data[i] = static_cast<int32_t>(r);
    }
    return NO_ERROR;
}

// ---- the reader -----------------------------------------------------------------------------

int32_t read_file(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase,
                  sdf_header& sh, std::size_t block, parallel_plan plan, const sdf_read_options& options)
{
    const bool import = options.policy == SDF_POLICY_IMPORT;
    if (header == nullptr || phase == nullptr)
        return ERR_INVALID_PARAM;
    dat_header_create(header);
    map_clear(intensity);
    map_clear(phase);

    os::fs::path native;
    if (path == nullptr || !os::native_path(path, native) || os::kind_of(native) == os::file_kind::directory)
        return ERR_CANT_OPEN_FILE;
    std::FILE* f = os::open_file(native, "rb");
    if (f == nullptr)
        return ERR_CANT_OPEN_FILE;
    uint64_t file_size = 0;
    bool sized = os::file_size(native, file_size);
    // A small file gets a block of its own size: reading it costs no more memory than it holds.
    if (block == 0)
        block = input::default_block;
    if (sized && file_size < block)
        block = std::min(block, std::max<std::size_t>(static_cast<std::size_t>(file_size) + 1, 4096));
    input in(f, true, block, sized);

    // The first byte tells the forms apart; the banner plays no further part.
    in.fill(sizeof sh.banner);
    std::memcpy(sh.banner, in.begin(), std::min(sizeof sh.banner, in.available()));
    bool ascii = in.available() > 0 && (*in.begin() | 0x20) == 'a';
    dialect dia;
    if (import) {
        dia = dialect_of(sh.banner);
        if (!dia.known) {
            std::string shown(sh.banner, std::min(sizeof sh.banner, in.available()));
            for (char& c : shown)
                c = c >= ' ' && c <= '~' ? c : '?';
            u_log_sink("sdf_read_file failed: the banner \"%s\" is none of the SDF dialects this reader knows: %s\n",
                       shown.c_str(), u_err_name(ERR_NOT_A_DATA_FILE));
            return ERR_NOT_A_DATA_FILE;
        }
        ascii = dia.ascii;
    }

    int32_t rc = ascii ? read_ascii_header(in, sh) : read_binary_header(in, sh);
    if (rc != NO_ERROR)
        return in.failed() ? ERR_CANT_READ_FILE : rc;
    // Other programs write Zresolution -1 (or 0) for "not stated": the binary form's value then.
    if (import && !(sh.Zresolution > 0))
        sh.Zresolution = default_zresolution;

    header->intf_scale_factor = 0.5f;
    header->obliquity_factor = 1.0f;
    header->phase_res = 0;
    if (!(sh.Xscale == sh.Yscale))
        return ERR_BAD_PARAM;
    // With the defaults above the phase unit is Zresolution.
    header->wavelength_in = sdf::num::narrow(8192.0 * sh.Zresolution);
    if (sh.NumPoints > 0) {
        header->pixel_width = sdf::num::narrow(sh.Xscale / sh.NumPoints);
        header->pixel_height = header->pixel_width;
    }
    header->lateral_res = sdf::num::narrow(sh.Xscale);
    header->camera_width = 0;
    header->camera_height = 0;

    if (sh.NumPoints > SDF_MAX_DIMENSION || sh.NumProfiles > SDF_MAX_DIMENSION)
        return ERR_DATASET_DIM_TOO_LARGE;
    auto width = static_cast<int16_t>(sh.NumPoints);
    auto height = static_cast<int16_t>(sh.NumProfiles);
    header->cn_width = width;
    header->cn_height = height;
    // At most 32767 x 32767 x 4 bytes: fits 32 bits unsigned, as the data file writer reads it.
    header->cn_n_bytes = static_cast<int32_t>(sh.NumPoints * sh.NumProfiles * 4u);
    header->cn_org_x = 0;
    header->cn_org_y = 0;
    std::memcpy(header->swinfo.date, sdf_date_text(sh.CreateDate), sizeof header->swinfo.date);

    // The map is allocated no larger than the source can fill: a binary file too short for
    // the points it announces fails before, a text number takes at least a digit and a
    // separator, and a source of unknown size (a pipe) starts small; the map grows as values
    // arrive.
    uint64_t points = uint64_t{sh.NumPoints} * sh.NumProfiles;
    uint64_t left = sized && file_size >= in.position() ? file_size - in.position() : 0;
    if (!ascii && points > 0 && sized && left < points * type_size[sh.DataType])
        return ERR_PREMATURE_EOF;
    if (import)
        return import_rest(in, ascii, dia.iso, *header, sh, *phase);
    uint64_t room = points;
    if (!sized)
        room = std::min<uint64_t>(points, map_sink::min_room);
    else if (ascii)
        room = std::min<uint64_t>(points, left / 2 + 1);

    phase->width = width;
    phase->height = height;
    if (room == points) {
        rc = phase_map_alloc(phase);
    } else {
        phase->data = static_cast<int32_t*>(u_malloc(static_cast<std::size_t>(room) * sizeof(int32_t)));
        phase->count = static_cast<uint32_t>(room);
        rc = phase->data == nullptr ? ERR_NO_MEM : NO_ERROR;
    }
    if (rc != NO_ERROR)
        return rc;
    // A large file is read in many rounds on every core: by threads that stay to the end.
    std::optional<dat_parallel::team> team;
    if (plan.threads > 1 && sized && file_size >= 2 * plan.least) {
        team.emplace(plan.threads);
        plan.team = &*team;
        plan.file_size = file_size;
        plan.part = 4 * plan.least;
        plan.piece = block;
    }
    if (ascii && room == points)
        touch_pages(*phase, plan);
    map_sink sink{phase, static_cast<std::size_t>(points), static_cast<std::size_t>(room)};

    if (!ascii) {
        rc = read_binary_values(in, *header, sh, sink, plan);
        return in.failed() && rc != NO_ERROR ? ERR_CANT_READ_FILE : rc;
    }

    // The data's result is kept; the trailer is read from where the data stopped, so that a
    // file cut inside its data, or with a token that is no number, reports the fields that its
    // trailer lacks.
    int32_t sentinel = DAT_INVALID_PHASE;
    int32_t data_rc = read_text_values(in, sh.DataType, sink, sentinel, plan);
    if (in.failed())
        return ERR_CANT_READ_FILE;
    if (data_rc == ERR_NO_MEM)
        return data_rc;
    int32_t offset = 0;
    if (sdf::read_trailer(in, header, &offset) != 0) {
        if (in.failed())
            return ERR_CANT_READ_FILE;
        std::fputs("Missing required fields.\n", stdout);
        std::fflush(stdout);
        return ERR_CORRUPT_DATA_FILE;
    }
    if (data_rc != NO_ERROR)
        return data_rc;
    phase->org_x = header->cn_org_x;
    phase->org_y = header->cn_org_y;
    // The trailer may restate the geometry; it must agree with the data read.
    if (header->cn_width != width || header->cn_height != height ||
        static_cast<uint32_t>(header->cn_n_bytes) != sh.NumPoints * sh.NumProfiles * 4u)
        return ERR_CORRUPT_DATA_FILE;
    return rescale(*header, sh, offset, sentinel, *phase, plan);
}

}  // namespace

int32_t sdf::read_file_in_blocks(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase,
                                 sdf_header* sdf, std::size_t block, unsigned threads, std::size_t parallel_least,
                                 const sdf_read_options* options)
{
    const sdf_read_options platform{};
    parallel_plan plan;
    plan.threads = threads != 0 ? std::min(threads, dat_parallel::max_threads) : dat_parallel::cores();
    plan.least = parallel_least != 0 ? parallel_least : default_parallel_least;
    sdf_header local{};
    sdf_header& sh = sdf != nullptr ? *sdf : local;
    sh = sdf_header{};
    int32_t rc;
    try {
        rc = read_file(path, header, intensity, phase, sh, block, plan, options != nullptr ? *options : platform);
    } catch (const std::bad_alloc&) {
        rc = ERR_NO_MEM;
    }
    if (rc != NO_ERROR && phase != nullptr && phase->data != nullptr) {
        u_free(phase->data);
        map_clear(phase);
    }
    return rc;
}

int32_t sdf_read_file_ex(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase,
                         sdf_header* sdf)
{
    return sdf::read_file_in_blocks(path, header, intensity, phase, sdf, 0);
}

int32_t sdf_read_file_ex(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase,
                         sdf_header* sdf, const sdf_read_options& options)
{
    return sdf::read_file_in_blocks(path, header, intensity, phase, sdf, 0, 0, 0, &options);
}

int32_t sdf_read_file(const char* path, dat_header* header, intensity_map* intensity, phase_map* phase)
{
    return sdf_read_file_ex(path, header, intensity, phase, nullptr);
}

int32_t sdf_load_dataset(const char* path, dat_swinfo* swinfo, void* attributes, intensity_map* intensity,
                         phase_map* phase)
{
    std::unique_ptr<dat_header> header;
    try {
        header = std::make_unique<dat_header>();
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
    int32_t rc = sdf_read_file(path, header.get(), intensity, phase);
    if (rc != NO_ERROR)
        return rc;
    if (swinfo == nullptr || attributes == nullptr)
        return ERR_INVALID_PARAM;
    *swinfo = header->swinfo;
    std::memcpy(attributes, reinterpret_cast<const unsigned char*>(header.get()) + SDF_ATTRIBUTES_OFFSET,
                SDF_ATTRIBUTES_SIZE);
    return NO_ERROR;
}
