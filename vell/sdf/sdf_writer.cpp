#include "vell/sdf/sdf_writer.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "vell/platform/atomic_file.h"
#include "vell/platform/date.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "vell/sdf/numbers.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/trailer.h"

namespace {

namespace fs = std::filesystem;

// The file is text: CR LF on Windows, LF elsewhere. It is written through a binary stream
// (the temporary file of os::atomic_file), so the line ends are put in here, the trailer's
// too.
#ifdef _WIN32
constexpr std::string_view line_end = "\r\n";
#else
constexpr std::string_view line_end = "\n";
#endif

// Values per line of the data section.
constexpr int values_per_line = 10;

// The data section goes out through one buffer of this size; a line of ten values (at most
// 10 x 11 characters and a line end) always fits behind the flush mark.
constexpr std::size_t data_buffer_size = std::size_t{1} << 20;
constexpr std::size_t data_buffer_slack = 128;

constexpr uint32_t invalid_text_value = 4294967295u;

struct block_release {
    void operator()(char* p) const { u_free(p); }
};

void append_line(std::string& out, std::string_view text)
{
    out.append(text);
    out.append(line_end);
}

// The phase unit of the header in single precision: S x O x W / R.
float phase_unit(const dat_header& header)
{
    float product = header.intf_scale_factor * header.obliquity_factor;
    product = product * header.wavelength_in;
    float r = header.phase_res == 0 ? 4096.0f : 32768.0f;
    return product / r;
}

// Day, month (1-12), year, hour and minute of the current local time as "%02d%02d%04d%02d%02d".
std::string now_text()
{
    std::tm tm{};
    char text[SDF_CREATE_DATE_SIZE];
    if (u_local_time(u_wall_s(), tm))
        std::snprintf(text, sizeof text, "%02d%02d%04d%02d%02d", tm.tm_mday, tm.tm_mon + 1,
                      tm.tm_year + 1900, tm.tm_hour, tm.tm_min);
    else
        std::snprintf(text, sizeof text, "%02d%02d%04d%02d%02d", -1, -1, -1, -1, -1);
    return text;
}

std::string header_lines(const dat_header& header, const phase_map& phase, float unit)
{
    // swinfo.date may fill its 30 characters without a terminator.
    char date[sizeof header.swinfo.date + 1] = {};
    std::memcpy(date, header.swinfo.date, sizeof header.swinfo.date);
    char create_date[SDF_CREATE_DATE_SIZE];
    sdf_create_date(date, create_date);

    char line[160];
    std::string out;
    append_line(out, "aBCR-1.0");
    std::snprintf(line, sizeof line, "ManufacID = TN%d.%d.%d", header.swinfo.vers.maj,
                  header.swinfo.vers.min, header.swinfo.vers.bug);
    append_line(out, line);
    append_line(out, std::string("CreateDate = ") + create_date);
    append_line(out, "ModDate = " + now_text());
    std::snprintf(line, sizeof line, "NumPoints = %u", static_cast<unsigned>(phase.width));
    append_line(out, line);
    std::snprintf(line, sizeof line, "NumProfiles = %u", static_cast<unsigned>(phase.height));
    append_line(out, line);
    append_line(out, "Xscale = " + sdf::num::g12_text(header.lateral_res));
    append_line(out, "Yscale = " + sdf::num::g12_text(header.lateral_res));
    append_line(out, "Zscale = " + sdf::num::g12_text(unit));
    append_line(out, "Zresolution = " + sdf::num::g12_text(unit));
    append_line(out, "Compression = 0");
    append_line(out, "DataType = 2");
    append_line(out, "CheckType = 0");
    append_line(out, "*");
    return out;
}

inline char* put_text(char* p, std::string_view text)
{
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

bool write_all(std::FILE* stream, const char* data, std::size_t size)
{
    return size == 0 || std::fwrite(data, 1, size, stream) == size;
}

// The data offset: the smallest phase value, or 0 when none is negative. Invalid values are
// large and never lower it.
int32_t data_offset(const int32_t* values, std::size_t n)
{
    int32_t m = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (values[i] < m)
            m = values[i];
    return m;
}

// The data section: every value as v - m and a blank, ten to a line; an invalid value (above
// DAT_PHASE_MAX_VALID) as 4294967295.
int32_t write_data(std::FILE* stream, const int32_t* values, std::size_t n, int32_t m)
{
    std::unique_ptr<char, block_release> buffer(
        static_cast<char*>(u_malloc(data_buffer_size + data_buffer_slack)));
    if (!buffer)
        return ERR_NO_MEM;
    char* const start = buffer.get();
    char* const flush_mark = start + data_buffer_size;
    char* p = start;
    int column = 0;
    for (std::size_t i = 0; i < n; ++i) {
        int32_t v = values[i];
        uint32_t text_value = v > DAT_PHASE_MAX_VALID
                                  ? invalid_text_value
                                  : static_cast<uint32_t>(static_cast<int64_t>(v) - m);
        p = std::to_chars(p, p + 10, text_value).ptr;
        *p++ = ' ';
        if (++column == values_per_line) {
            column = 0;
            p = put_text(p, line_end);
            if (p >= flush_mark) {
                if (!write_all(stream, start, static_cast<std::size_t>(p - start)))
                    return ERR_CANT_WRITE_FILE;
                p = start;
            }
        }
    }
    if (column != 0)
        p = put_text(p, line_end);
    if (!write_all(stream, start, static_cast<std::size_t>(p - start)))
        return ERR_CANT_WRITE_FILE;
    return NO_ERROR;
}

int32_t write_file(const char* path, const dat_header& header, const phase_map& phase)
{
    fs::path target;
    if (!os::native_path(path, target))
        return ERR_CANT_CREATE_FILE;
    os::atomic_file file;
    if (!file.open(target))
        return ERR_CANT_CREATE_FILE;
    std::FILE* stream = file.get();

    float unit = phase_unit(header);
    std::string head = header_lines(header, phase, unit);
    if (!write_all(stream, head.data(), head.size()))
        return ERR_CANT_WRITE_FILE;

    std::size_t n = static_cast<std::size_t>(phase.width) * static_cast<std::size_t>(phase.height);
    int32_t m = data_offset(phase.data, n);
    int32_t rc = write_data(stream, phase.data, n, m);
    if (rc != NO_ERROR)
        return rc;

    std::string tail;
    append_line(tail, "*");
    char line[64];
    std::snprintf(line, sizeof line, "Data Offset = %d", static_cast<int>(m));
    append_line(tail, line);
    // The trailer restates the geometry of the data section it follows, so it is taken from
    // the phase map (as the data file writer does): a header whose geometry disagrees with its
    // map would otherwise make a file that contradicts itself.
    auto trailer_header = std::make_unique<dat_header>(header);
    dat_header_set_geometry(trailer_header.get(), nullptr, &phase);  // the trailer has no intensity keys
    sdf::trailer_lines(*trailer_header, tail, line_end);
    append_line(tail, "*");
    if (!write_all(stream, tail.data(), tail.size()))
        return ERR_CANT_WRITE_FILE;
    return file.commit() ? NO_ERROR : ERR_CANT_WRITE_FILE;
}

}  // namespace

int32_t sdf_write_file(const char* path, const dat_header* header, const intensity_map* intensity,
                       const phase_map* phase)
{
    (void)intensity;
    if (header == nullptr || phase == nullptr || phase->data == nullptr)
        return ERR_INVALID_PARAM;
    if (phase->width <= 0 || phase->height <= 0 ||
        static_cast<int64_t>(phase->width) * phase->height > static_cast<int64_t>(phase->count))
        return ERR_INVALID_PARAM;
    try {
        return write_file(path, *header, *phase);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
}

namespace {

int32_t save_dataset(const char* path, const dat_swinfo* swinfo, const void* attributes,
                     const intensity_map* intensity, const phase_map* phase)
{
    if (intensity != nullptr && intensity->data == nullptr)
        intensity = nullptr;
    if (phase != nullptr && phase->data == nullptr)
        phase = nullptr;
    if (intensity == nullptr && phase == nullptr)
        return ERR_INVALID_PARAM;

    auto header = std::make_unique<dat_header>();
    std::memset(header.get(), 0, sizeof(dat_header));
    {
        // The format follows the attributes alone (phase_res, the format 3 area).
        auto probe = std::make_unique<dat_header>();
        std::memset(probe.get(), 0, sizeof(dat_header));
        if (attributes != nullptr)
            std::memcpy(reinterpret_cast<unsigned char*>(probe.get()) + SDF_ATTRIBUTES_OFFSET,
                        attributes, SDF_ATTRIBUTES_SIZE);
        int64_t magic = dat_header_magic(probe.get());
        header->magic_number = magic == -1 ? DAT_MAGIC_FORMAT1 : static_cast<uint32_t>(magic);
        dat_header_set_format(header.get(), header->magic_number);
    }
    if (swinfo != nullptr)
        header->swinfo = *swinfo;
    dat_header_set_geometry(header.get(), intensity, phase);
    if (attributes != nullptr)
        std::memcpy(reinterpret_cast<unsigned char*>(header.get()) + SDF_ATTRIBUTES_OFFSET,
                    attributes, SDF_ATTRIBUTES_SIZE);
    return sdf_write_file(path, header.get(), intensity, phase);
}

}  // namespace

int32_t sdf_save_dataset(const char* path, const dat_swinfo* swinfo, const void* attributes,
                         const intensity_map* intensity, const phase_map* phase)
{
    try {
        return save_dataset(path, swinfo, attributes, intensity, phase);
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEM;
    }
}

char* sdf_create_date(const char* date_text, char* buffer)
{
    if (buffer == nullptr)
        return nullptr;
    if (date_text == nullptr || date_text[0] == '\0') {
        std::string now = now_text();
        std::snprintf(buffer, SDF_CREATE_DATE_SIZE, "%s", now.c_str());
        return buffer;
    }
    int year, month, day, hour, minute;
    u_parse_date(date_text, &year, &month, &day, nullptr, &hour, &minute, nullptr);
    std::snprintf(buffer, SDF_CREATE_DATE_SIZE, "%02d%02d%04d%02d%02d", day, month, year, hour,
                  minute);
    return buffer;
}
