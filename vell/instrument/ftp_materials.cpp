// The FTP materials file reader, the power-on loader and the magnification map.
#include "vell/instrument/ftp_materials.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "vell/instrument/line_reader.h"
#include "vell/platform/dirs.h"
#include "vell/platform/errors.h"
#include "vell/platform/fields.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"

namespace {

constexpr double TWO_PI = 6.283185307179586;
constexpr int GROW_STEP = 5;
constexpr int MAX_INDEX = std::numeric_limits<int16_t>::max();

struct field_spec {
    const char* name;
    double lo;
    double hi;
};

// Fields 2 to 8 of a material line.
constexpr field_spec fields[7] = {
    {"N", 0.0, 100.0},           {"K", 0.0, 100.0},           {"PCOR", -TWO_PI, TWO_PI},
    {"Disper[0]", -TWO_PI, TWO_PI}, {"Disper[1]", -TWO_PI, TWO_PI}, {"Disper[2]", -TWO_PI, TWO_PI},
    {"Disper[3]", -TWO_PI, TWO_PI},
};

// The table being read: grown in steps of five zero-filled records, always with an all-zero
// record after the last one; released unless handed over.
class table_builder {
public:
    table_builder() = default;
    table_builder(const table_builder&) = delete;
    table_builder& operator=(const table_builder&) = delete;
    ~table_builder() { u_free(table_); }

    bool add(const ftp_material& rec)
    {
        if (count_ + 1 >= capacity_) {
            std::size_t cap = static_cast<std::size_t>(capacity_) + GROW_STEP;
            auto* grown = static_cast<ftp_material*>(u_realloc(table_, cap * sizeof(ftp_material)));
            if (grown == nullptr)
                return false;
            std::memset(static_cast<void*>(grown + capacity_), 0, GROW_STEP * sizeof(ftp_material));
            table_ = grown;
            capacity_ = static_cast<int>(cap);
        }
        table_[count_++] = rec;
        return true;
    }

    ftp_material* release()
    {
        ftp_material* t = table_;
        table_ = nullptr;
        return t;
    }

private:
    ftp_material* table_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

// The error report of one read.
class error_report {
public:
    // Reports one error; true when it was one too many and the read must end.
    bool error(const std::string& message, int line, const std::string* text, const std::string& detail)
    {
        if (errors_ == 0)
            u_log_sink("Error(s) reading FTP materials file:\n");
        ++errors_;
        u_log_sink("\t%s\n", message.c_str());
        if (line > 0) {
            if (text != nullptr)
                u_log_sink("\tError in line %d:\n  %s\n", line, text->c_str());
            else
                u_log_sink("\tError in line %d\n", line);
        }
        if (!detail.empty())
            u_log_sink("\t%s", detail.c_str());
        if (errors_ > FTP_MAX_ERRORS) {
            u_log_sink("Too many errors reading FTP materials file\n");
            return true;
        }
        return false;
    }

private:
    int errors_ = 0;
};

std::size_t skip_blanks(const std::string& s, std::size_t p)
{
    while (p < s.size() && instr::is_blank(s[p]))
        ++p;
    return p;
}

std::size_t word_end(const std::string& s, std::size_t p)
{
    while (p < s.size() && !instr::is_blank(s[p]))
        ++p;
    return p;
}

// A field value: "*" or "?" (not given: +infinity), or a finite number written completely in
// the word and inside [lo, hi]. NaN and infinities written out are not numbers.
bool parse_value(std::string_view w, double lo, double hi, double& v)
{
    if (w == "*" || w == "?") {
        v = std::numeric_limits<double>::infinity();
        return true;
    }
    if (w.size() > 1 && w[0] == '+' && w[1] != '-' && w[1] != '+')
        w.remove_prefix(1);
    double x = 0.0;
    auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), x, std::chars_format::general);
    if (ec != std::errc() || end != w.data() + w.size() || !std::isfinite(x))
        return false;
    if (!(x >= lo && x <= hi))
        return false;
    v = x;
    return true;
}

void copy_text(char* dst, std::size_t capacity, std::string_view text)
{
    std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(dst, text.data(), n);
    dst[n] = '\0';
}

enum class line_result { ok, skipped, fatal };

// What one read has seen so far.
struct read_state {
    table_builder table;
    error_report report;
    bool heading = false;
    int seen = 0;
    int accepted = 0;
    int32_t fatal = NO_ERROR;
};

line_result fail_line(read_state& st, const std::string& message, int line, const std::string& text,
                      const std::string& detail)
{
    if (st.report.error(message, line, &text, detail)) {
        st.fatal = ERR_FTP_CORRUPT_MATLS_FILE;
        return line_result::fatal;
    }
    return line_result::skipped;
}

line_result fatal_line(read_state& st, const std::string& message, int line, const std::string* text)
{
    st.report.error(message, line, text, std::string());
    st.fatal = ERR_FTP_CORRUPT_MATLS_FILE;
    return line_result::fatal;
}

line_result add_record(read_state& st, const ftp_material& rec)
{
    if (!st.table.add(rec)) {
        u_log_sink("ftp_read_materials failed: %s\n", u_err_name(ERR_NO_MEM));
        st.fatal = ERR_NO_MEM;
        return line_result::fatal;
    }
    return line_result::ok;
}

// A line whose first word (at w) begins with "#": the heading, a skipped "##" line or a
// comment record.
line_result hash_line(read_state& st, const std::string& line, std::size_t w, int number)
{
    std::size_t title = line.find(FTP_MATLS_TITLE);
    if (title != std::string::npos) {
        std::size_t fw = line.find(FTP_MATLS_FORMAT_WORD, title + std::strlen(FTP_MATLS_TITLE));
        int format = 0;
        bool have = false;
        if (fw != std::string::npos) {
            std::size_t p = skip_blanks(line, fw + std::strlen(FTP_MATLS_FORMAT_WORD));
            std::size_t e = word_end(line, p);
            auto [end, ec] = std::from_chars(line.data() + p, line.data() + e, format, 10);
            have = e > p && ec == std::errc() && end == line.data() + e;
        }
        if (!have)
            return fatal_line(st, "Heading is missing a file format specification", number, &line);
        if (format != FTP_MATLS_FORMAT)
            return fatal_line(st, u_format("File format %d is not supported", format), number, &line);
        st.heading = true;
        return line_result::skipped;
    }
    if (w + 1 < line.size() && line[w + 1] == '#')
        return line_result::skipped;
    ftp_material rec{};
    rec.index = -1;
    copy_text(rec.comment, sizeof rec.comment, std::string_view(line).substr(0, FTP_MAX_COMMENT));
    return add_record(st, rec);
}

line_result material_line(read_state& st, const std::string& line, std::size_t w, int number)
{
    ++st.seen;
    ftp_material rec{};
    const char quote = line[w];
    std::size_t close = quote == '"' || quote == '\'' ? line.find(quote, w + 1) : std::string::npos;
    // An empty name is refused too, and so is one holding a zero byte: a material at index 0
    // without a name would read as the table's closing all-zero record.
    if (close == std::string::npos || close == w + 1 || close - w - 1 > static_cast<std::size_t>(FTP_MAX_NAME) ||
        line.find('\0', w + 1) < close) {
        std::string word = line.substr(w, word_end(line, w) - w);
        return fail_line(st, u_format("Invalid %s value \"%s\" (field %d)", "Name", word.c_str(), 1), number,
                         line, u_format("The %s must be quoted text up to %d characters long\n", "Name", FTP_MAX_NAME));
    }
    copy_text(rec.name, sizeof rec.name, std::string_view(line).substr(w + 1, close - w - 1));

    double* const values[7] = {&rec.n, &rec.k, &rec.pcor, &rec.disper[0], &rec.disper[1], &rec.disper[2],
                               &rec.disper[3]};
    std::size_t p = close + 1;
    for (int f = 0; f < 7; ++f) {
        p = skip_blanks(line, p);
        if (p >= line.size() || line[p] == '#')
            return fail_line(st, u_format("Missing %s value (field %d)", fields[f].name, f + 2), number, line,
                             std::string());
        std::size_t e = word_end(line, p);
        std::string word = line.substr(p, e - p);
        if (!parse_value(word, fields[f].lo, fields[f].hi, *values[f]))
            return fail_line(st, u_format("Invalid %s value \"%s\" (field %d)", fields[f].name, word.c_str(), f + 2),
                             number, line,
                             u_format("\tThe %s value must be a number\n\tgreater than or equal to %g and\n"
                                         "\tless than or equal to %g\n",
                                         fields[f].name, fields[f].lo, fields[f].hi));
        p = e;
    }
    p = skip_blanks(line, p);
    if (p < line.size()) {
        if (line[p] != '#') {
            std::string word = line.substr(p, word_end(line, p) - p);
            return fail_line(st, u_format("Unexpected token \"%s\" (field %d)", word.c_str(), 9), number, line,
                             std::string());
        }
        copy_text(rec.comment, sizeof rec.comment, std::string_view(line).substr(p, FTP_MAX_COMMENT));
    }
    if (st.accepted >= MAX_INDEX + 1)
        return fatal_line(st, u_format("More than %d material specs", MAX_INDEX + 1), number, &line);
    rec.index = static_cast<int16_t>(st.accepted);
    line_result r = add_record(st, rec);
    if (r == line_result::ok)
        ++st.accepted;
    return r;
}

}  // namespace

const char* const FTP_MATLS_SAMPLE_LINE =
    "\"Aluminum\"              023.000000  085.000000  00.035766  00.000000  00.000000  00.000000  00.000000  # 606\n";

const std::string& ftp_materials_help()
{
    static const std::string help = u_format(
        "##\n## Name      = Material name in quotes (up to %d chars)\n## N         = N [%g,%g]\n"
        "## K         = K [%g,%g]\n## PCOR      = Phase Change On Reflection [%g,%g] rad \n"
        "## Disper[0] = Dispersion for 0.8X mag (75mm FOV) [%g,%g] rad \n"
        "## Disper[1] = Dispersion for 1.0X mag (65mm FOV) [%g,%g] rad \n"
        "## Disper[2] = Dispersion for 1.7X mag (35mm FOV) [%g,%g] rad \n"
        "## Disper[3] = Dispersion for 4.0X mag (15mm FOV) [%g,%g] rad \n"
        "## Comment   = Optional comment beginning with '#' (up to %d chars)\n##",
        FTP_MAX_NAME, 0.0, 100.0, 0.0, 100.0, -TWO_PI, TWO_PI, -TWO_PI, TWO_PI, -TWO_PI, TWO_PI, -TWO_PI, TWO_PI,
        -TWO_PI, TWO_PI, FTP_MAX_COMMENT);
    return help;
}

void ftp_free_materials(ftp_material* table) { u_free(table); }

int ftp_material_count(const ftp_material* table)
{
    // Comment records have index -1 and every material a name: the closing record is the first
    // with index 0 and no name.
    int n = 0;
    if (table != nullptr)
        while (table[n].index != 0 || table[n].name[0] != '\0')
            ++n;
    return n;
}

int32_t ftp_read_materials(const char* path, ftp_material** table)
{
    const std::string& help = ftp_materials_help();
    if (path == nullptr || path[0] == '\0' || table == nullptr) {
        u_log_sink("ftp_read_materials failed: %s\n", u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(u_open_config_file(path), &std::fclose);
    if (!file) {
        u_log_sink("Cannot open FTP materials file \"%s\"\n", path);
        return ERR_CANT_OPEN_FILE;
    }
    u_log_sink("Reading FTP materials file \"%s\"\n", path);

    read_state st;
    instr::line_reader lines(file.get(), FTP_MAX_LINE);
    std::string line;
    bool too_long = false;
    while (lines.next(line, too_long)) {
        const int number = lines.line_number();
        if (too_long) {
            fatal_line(st, u_format("Line longer than %d characters", FTP_MAX_LINE), number, nullptr);
            break;
        }
        std::size_t w = skip_blanks(line, 0);
        if (w >= line.size())
            continue;
        line_result r;
        if (line[w] == '#') {
            r = hash_line(st, line, w, number);
        } else if (!st.heading) {
            r = fatal_line(st, "Missing heading", 0, nullptr);
        } else {
            r = material_line(st, line, w, number);
        }
        if (r == line_result::fatal)
            break;
    }
    if (st.fatal == NO_ERROR && lines.failed()) {
        u_log_sink("Cannot read FTP materials file \"%s\"\n", path);
        st.fatal = ERR_CANT_READ_FILE;
    }
    if (st.fatal != NO_ERROR)
        return st.fatal;
    if (st.accepted == 0) {
        u_log_sink("No acceptable material specs found\n");
        u_log_sink("File heading (required):\n\n## %s - %s %d\n", FTP_MATLS_TITLE, FTP_MATLS_FORMAT_WORD,
                   FTP_MATLS_FORMAT);
        u_log_sink("Line format description:\n\n%s\n", help.c_str());
        u_log_sink("Sample line:\n\n%s\n", FTP_MATLS_SAMPLE_LINE);
        return ERR_FTP_CORRUPT_MATLS_FILE;
    }
    if (st.accepted < st.seen)
        u_log_sink("Accepted %d of %d material specs\n", st.accepted, st.seen);
    ftp_free_materials(*table);
    *table = st.table.release();
    return NO_ERROR;
}

// ---- slots, loader and magnification map ------------------------------------------------------

namespace {

int32_t load_failed(int32_t rc)
{
    u_log_sink("ftp_load_materials failed: %s\n", u_err_name(rc));
    return rc;
}

}  // namespace

ftp_slot_state* ftp_state_of(const SysInfo* info)
{
    return info != nullptr ? &info->services.get<ftp_slot_state>() : nullptr;
}

ftp_slot_state::~ftp_slot_state() { ftp_free_materials(materials); }

int32_t ftp_load_materials(SysInfo* info)
{
    ftp_slot_state* st = ftp_state_of(info);
    if (st == nullptr)
        return load_failed(ERR_SYS_INFO_NOT_AVAIL);
    if (!info->ftpInfo)
        return load_failed(ERR_FTP_NO_FTP_INFO);
    ftp_free_materials(st->materials);
    st->materials = nullptr;
    st->materialsPath.clear();

    const std::string& name = info->ftpInfo->materialsFile;
    if (name.empty() || name[0] == '\0') {
        u_log_sink("FTP materials file name is NULL\n");
        return ERR_INVALID_PARAM;
    }
    const char* path = name.c_str();
    if (!(name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'))) {
        const char* found = nullptr;
        int32_t rc = u_find_config_file(path, &found);
        if (rc != NO_ERROR || found == nullptr) {
            u_log_sink("Cannot access FTP materials file \"%s\"\n", path);
            u_log_sink("%s\n", u_err_name(rc != NO_ERROR ? rc : ERR_CANT_READ_FILE));
            return ERR_FTP_CANT_READ_MATLS_FILE;
        }
        path = found;
    }
    try {
        st->materialsPath = path;
    } catch (const std::bad_alloc&) {
        return load_failed(ERR_NO_MEM);
    }
    int32_t rc = ftp_read_materials(st->materialsPath.c_str(), &st->materials);
    if (rc != NO_ERROR) {
        u_log_sink("Error reading FTP materials file \"%s\"\n", st->materialsPath.c_str());
        u_log_sink("%s\n", u_err_name(rc));
        return ERR_FTP_CANT_READ_MATLS_FILE;
    }
    return ftp_map_magnifications(info, st);
}

int32_t ftp_map_magnifications(const SysInfo* info, ftp_slot_state* ftp)
{
    if (info == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (ftp == nullptr)
        return ERR_FTP_NO_FTP_INFO;
    for (int8_t& m : ftp->magMap)
        m = -1;
    int n = info->numMags < 0 ? 0 : info->numMags > SB_MAX_MAGS ? SB_MAX_MAGS : info->numMags;
    for (int i = 0; i < n; ++i) {
        const double nom = info->nomMag[i];
        for (int j = 0; j < FTP_NUM_MAGS && ftp->magMap[i] < 0; ++j)
            if (std::fabs(nom - ftp->mags[j]) <= 0.001)
                ftp->magMap[i] = static_cast<int8_t>(j);
        if (ftp->magMap[i] < 0) {
            u_log_sink("Magnification %3.1f is not allowed on an FTP system\n", nom);
            return ERR_FTP_INVALID_MAGNIFICATION;
        }
    }
    return NO_ERROR;
}
