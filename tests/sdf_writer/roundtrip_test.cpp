// Datasets saved with sdf_save_dataset come back from sdf_load_dataset with the same phase
// values and header fields, and the built sdf_to_dat turns the written file into a data file
// that carries them.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vell/platform/byte_order.h"
#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/sdf/sdf.h"
#include "vell/sdf/sdf_writer.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using vptest::TempDir;

constexpr std::size_t attributes_file_offset = 76;  // time_stamp

std::unique_ptr<dat_header> zero_header()
{
    auto h = std::make_unique<dat_header>();
    std::memset(h.get(), 0, sizeof(dat_header));
    return h;
}

unsigned char* attributes_of(dat_header* h)
{
    return reinterpret_cast<unsigned char*>(h) + SDF_ATTRIBUTES_OFFSET;
}

// A dataset as a caller holds it: swinfo, attributes (inside a header record) and phase data.
struct dataset {
    dat_swinfo swinfo{};
    std::unique_ptr<dat_header> attr = zero_header();  // only the attributes part is used
    std::vector<int32_t> values;
    phase_map phase{};

    void set_grid(int16_t width, int16_t height, int16_t org_x = 0, int16_t org_y = 0)
    {
        values.assign(static_cast<std::size_t>(width) * height, 0);
        phase.count = static_cast<uint32_t>(values.size());
        phase.width = width;
        phase.height = height;
        phase.org_x = org_x;
        phase.org_y = org_y;
        phase.data = values.data();
    }

    void sane_unit()
    {
        attr->intf_scale_factor = 0.5f;
        attr->obliquity_factor = 1.0f;
        attr->wavelength_in = 8192.0f * 6.328e-7f / 1000.0f;
        attr->lateral_res = 1.5e-6f;
        attr->num_aperture = 0.3f;
        attr->camera_width = 640;
        attr->camera_height = 480;
    }
};

// What a loaded dataset gives back.
struct loaded {
    int32_t rc = -1;
    dat_swinfo swinfo{};
    std::unique_ptr<dat_header> attr = zero_header();
    phase_map phase{};
    ~loaded() { u_free(phase.data); }
};

std::unique_ptr<loaded> load(const std::string& path)
{
    auto l = std::make_unique<loaded>();
    intensity_map intensity{};
    l->rc = sdf_load_dataset(path.c_str(), &l->swinfo, attributes_of(l->attr.get()), &intensity, &l->phase);
    EXPECT_EQ(intensity.data, nullptr);
    return l;
}

int32_t expected_value(int32_t v) { return v > DAT_PHASE_MAX_VALID ? DAT_INVALID_PHASE : v; }

void expect_values(const dataset& d, const phase_map& got)
{
    ASSERT_EQ(got.width, d.phase.width);
    ASSERT_EQ(got.height, d.phase.height);
    EXPECT_EQ(got.org_x, d.phase.org_x);
    EXPECT_EQ(got.org_y, d.phase.org_y);
    ASSERT_NE(got.data, nullptr);
    int mismatches = 0;
    for (std::size_t i = 0; i < d.values.size() && mismatches < 5; ++i) {
        if (got.data[i] != expected_value(d.values[i])) {
            ++mismatches;
            ADD_FAILURE() << "point " << i << ": saved " << d.values[i] << ", read " << got.data[i];
        }
    }
}

// The header fields after a round trip: every field with a trailer key as saved, the fields
// without one zero, and the serial number as the trailer carries it: a sys_serial2 above 65535
// comes back, with its low 16 bits in sys_serial; otherwise both end up 0 (the sys_serial line
// is not read, and the lines after the serial number line clear the 16-bit field).
void expect_attributes(const dat_header& saved, const dat_header& got, const std::string& where)
{
    int32_t s2 = saved.sys_serial2;
    int16_t want_serial = s2 > 65535 ? static_cast<int16_t>(s2 & 0xFFFF) : 0;
    int32_t want_serial2 = s2 > 65535 ? s2 : 0;
    for (const dat_field& f : dat_layout()) {
        if (f.offset < attributes_file_offset)
            continue;
        SCOPED_TRACE(where + ": field " + f.name);
        std::string name = f.name;
        if (name == "sys_serial") {
            EXPECT_EQ(got.sys_serial, want_serial);
            continue;
        }
        if (name == "sys_serial2") {
            EXPECT_EQ(got.sys_serial2, want_serial2);
            continue;
        }
        if (f.key == nullptr || f.type == dat_type::reserved) {
            const auto* p = static_cast<const unsigned char*>(dat_field_ptr(&got, f));
            for (std::size_t i = 0; i < f.size; ++i)
                ASSERT_EQ(p[i], 0) << "byte " << i;
            continue;
        }
        switch (f.type) {
        case dat_type::i16:
        case dat_type::i32:
        case dat_type::u32:
            EXPECT_EQ(dat_field_get_int(&got, f), dat_field_get_int(&saved, f));
            break;
        case dat_type::f32: {
            float a = dat_field_get_float(&saved, f);
            float b = dat_field_get_float(&got, f);
            if (std::isnan(a))
                EXPECT_TRUE(std::isnan(b)) << b;
            else
                EXPECT_EQ(std::bit_cast<uint32_t>(b), std::bit_cast<uint32_t>(a)) << a << " read as " << b;
            break;
        }
        case dat_type::text:
            EXPECT_EQ(dat_field_get_text(&got, f), dat_field_get_text(&saved, f));
            break;
        case dat_type::reserved:
            break;
        }
    }
}

void expect_swinfo(const dat_swinfo& saved, const dat_swinfo& got)
{
    EXPECT_EQ(got.type, saved.type);
    EXPECT_EQ(got.vers.maj, saved.vers.maj);
    EXPECT_EQ(got.vers.min, saved.vers.min);
    EXPECT_EQ(got.vers.bug, saved.vers.bug);
    EXPECT_EQ(std::string(got.date, strnlen(got.date, 30)), std::string(saved.date, strnlen(saved.date, 30)));
}

int32_t save(const dataset& d, const std::string& path)
{
    return sdf_save_dataset(path.c_str(), &d.swinfo, attributes_of(d.attr.get()), nullptr, &d.phase);
}

std::string trailer_value(const std::string& text, const std::string& key)
{
    std::size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos)
        return "<missing>";
    at += key.size() + 2;
    std::size_t end = text.find_first_of("\r\n", at);
    return text.substr(at, end - at);
}

// ---- fixed cases ------------------------------------------------------------------------------

TEST(SdfRoundTrip, DataOffsetIsUndoneOnReading)
{
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(4, 1);
    d.values = {-5, 0, 7, DAT_INVALID_PHASE};
    ASSERT_EQ(save(d, dir.str("a.sdf")), NO_ERROR);
    auto l = load(dir.str("a.sdf"));
    ASSERT_EQ(l->rc, NO_ERROR);
    expect_values(d, l->phase);
    expect_attributes(*d.attr, *l->attr, "offset -5");
}

TEST(SdfRoundTrip, ExtremeValuesAndInvalidPoints)
{
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(3, 3, -7, 12);
    d.values = {INT32_MIN, DAT_PHASE_MAX_VALID, 0, -1, 1, 0x7FFFFFF8, 0x7FFFFFF9, 0x7FFFFFFF, INT32_MIN + 1};
    ASSERT_EQ(save(d, dir.str("a.sdf")), NO_ERROR);
    auto l = load(dir.str("a.sdf"));
    ASSERT_EQ(l->rc, NO_ERROR);
    expect_values(d, l->phase);
}

TEST(SdfRoundTrip, ValidValueWhoseTextEqualsTheInvalidMark)
{
    // With a data offset of -8 the valid value 2147483632 is written as 2147483640, the
    // number of the dataset's invalid mark; it is still a valid point.
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(3, 1);
    d.values = {-8, 2147483632, DAT_INVALID_PHASE};
    ASSERT_EQ(save(d, dir.str("a.sdf")), NO_ERROR);
    std::string text = vptest::read_file(dir / "a.sdf");
    ASSERT_NE(text.find("0 2147483640 4294967295 "), std::string::npos);
    auto l = load(dir.str("a.sdf"));
    ASSERT_EQ(l->rc, NO_ERROR);
    expect_values(d, l->phase);
}

TEST(SdfRoundTrip, DateTextAndVersionComeBack)
{
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(2, 2);
    d.swinfo.type = 3;
    d.swinfo.vers = {9, 5, 2};
    std::memcpy(d.swinfo.date, sdf_date_text("020319951120"), 30);
    ASSERT_EQ(save(d, dir.str("a.sdf")), NO_ERROR);
    std::string text = vptest::read_file(dir / "a.sdf");
    EXPECT_NE(text.find("CreateDate = 020319951120"), std::string::npos);
    EXPECT_NE(text.find("ManufacID = TN9.5.2"), std::string::npos);
    auto l = load(dir.str("a.sdf"));
    ASSERT_EQ(l->rc, NO_ERROR);
    expect_swinfo(d.swinfo, l->swinfo);
    EXPECT_EQ(std::string(l->swinfo.date, 30), "Mar 02 11:20:00 1995          ");
}

TEST(SdfRoundTrip, TrailerGeometryIsThatOfThePhaseMap)
{
    // A header whose geometry was never filled in (or is stale): the trailer restates the
    // map's geometry, so the file agrees with itself and reads back.
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(3, 2, -4, 9);
    d.values = {1, -2, 3, -4, 5, -6};
    auto h = zero_header();
    ASSERT_EQ(dat_header_create(h.get()), NO_ERROR);
    std::memcpy(attributes_of(h.get()), attributes_of(d.attr.get()), SDF_ATTRIBUTES_SIZE);
    h->cn_width = 7;
    h->cn_height = 0;
    h->cn_n_bytes = 1000;
    h->cn_org_x = 11;
    std::string path = dir.str("a.sdf");
    ASSERT_EQ(sdf_write_file(path.c_str(), h.get(), nullptr, &d.phase), NO_ERROR);
    std::string text = vptest::read_file(path);
    EXPECT_EQ(trailer_value(text, "cn_org_x"), "-4");
    EXPECT_EQ(trailer_value(text, "cn_org_y"), "9");
    EXPECT_EQ(trailer_value(text, "cn_width"), "3");
    EXPECT_EQ(trailer_value(text, "cn_height"), "2");
    EXPECT_EQ(trailer_value(text, "cn_n_bytes"), "24");
    // The caller's header is not changed.
    EXPECT_EQ(h->cn_width, 7);
    auto l = load(path);
    ASSERT_EQ(l->rc, NO_ERROR);
    expect_values(d, l->phase);
}

TEST(SdfRoundTrip, EitherLineEndReadsBack)
{
    // A file moved between systems keeps its line ends: LF and CR LF both read back.
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(12, 2);
    for (std::size_t i = 0; i < d.values.size(); ++i)
        d.values[i] = static_cast<int32_t>(i * 7919) - 40000;
    std::strcpy(d.attr->comment, "line ends");
    d.attr->magnification = std::nanf("");
    ASSERT_EQ(save(d, dir.str("a.sdf")), NO_ERROR);
    std::string text = vptest::read_file(dir / "a.sdf");
    std::string lf, crlf;
    for (char c : text) {
        if (c == '\r')
            continue;
        lf.push_back(c);
        if (c == '\n')
            crlf += "\r\n";
        else
            crlf.push_back(c);
    }
    for (const std::string& form : {lf, crlf}) {
        vptest::write_file(dir / "b.sdf", form);
        auto l = load(dir.str("b.sdf"));
        ASSERT_EQ(l->rc, NO_ERROR) << (form.size() == lf.size() ? "LF" : "CR LF");
        expect_values(d, l->phase);
        expect_attributes(*d.attr, *l->attr, form.size() == lf.size() ? "LF" : "CR LF");
    }
}

// ---- sdf_save_dataset ---------------------------------------------------------------------


TEST(SdfSaveDataset, NeedsDataInOneMap)
{
    TempDir dir;
    dataset d;
    d.sane_unit();
    std::string path = dir.str("a.sdf");
    EXPECT_EQ(sdf_save_dataset(path.c_str(), &d.swinfo, attributes_of(d.attr.get()), nullptr, nullptr), ERR_INVALID_PARAM);
    phase_map empty_phase{};
    intensity_map empty_intensity{};
    EXPECT_EQ(sdf_save_dataset(path.c_str(), &d.swinfo, attributes_of(d.attr.get()), &empty_intensity, &empty_phase),
              ERR_INVALID_PARAM);
    // Intensity data alone cannot be written: the file carries phase data only.
    std::vector<uint16_t> in(4, 7);
    intensity_map intensity{4, 0, 0, 2, 2, 1, 0, in.data()};
    EXPECT_EQ(sdf_save_dataset(path.c_str(), &d.swinfo, attributes_of(d.attr.get()), &intensity, &empty_phase),
              ERR_INVALID_PARAM);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(SdfSaveDataset, FormatFollowsTheAttributes)
{
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(3, 2, 5, -6);
    std::string path = dir.str("a.sdf");

    ASSERT_EQ(save(d, path), NO_ERROR);
    std::string text = vptest::read_file(path);
    EXPECT_EQ(trailer_value(text, "magic_number"), "2283471727");
    EXPECT_EQ(trailer_value(text, "header_format"), "1");
    EXPECT_EQ(trailer_value(text, "header_size"), "834");
    EXPECT_EQ(trailer_value(text, "cn_org_x"), "5");
    EXPECT_EQ(trailer_value(text, "cn_org_y"), "-6");
    EXPECT_EQ(trailer_value(text, "cn_width"), "3");
    EXPECT_EQ(trailer_value(text, "cn_height"), "2");
    EXPECT_EQ(trailer_value(text, "cn_n_bytes"), "24");

    d.attr->phase_res = 2;
    ASSERT_EQ(save(d, path), NO_ERROR);
    text = vptest::read_file(path);
    EXPECT_EQ(trailer_value(text, "magic_number"), "2283471728");
    EXPECT_EQ(trailer_value(text, "header_format"), "2");
    EXPECT_EQ(trailer_value(text, "header_size"), "834");
    EXPECT_EQ(trailer_value(text, "phase_res"), "2");

    d.attr->phase_res = 1;
    d.attr->format3_area[2000] = 1;
    ASSERT_EQ(save(d, path), NO_ERROR);
    text = vptest::read_file(path);
    EXPECT_EQ(trailer_value(text, "magic_number"), "2283471729");
    EXPECT_EQ(trailer_value(text, "header_format"), "3");
    EXPECT_EQ(trailer_value(text, "header_size"), "4096");

    // The field at 816 lies below the format 3 area and does not count.
    d.attr->format3_area[2000] = 0;
    d.attr->unnamed_816 = 5;
    ASSERT_EQ(save(d, path), NO_ERROR);
    EXPECT_EQ(trailer_value(vptest::read_file(path), "magic_number"), "2283471727");
}

TEST(SdfSaveDataset, SwinfoAndAttributesMayBeAbsent)
{
    TempDir dir;
    dataset d;
    d.set_grid(2, 1);
    d.values = {4, 9};
    std::string path = dir.str("a.sdf");
    ASSERT_EQ(sdf_save_dataset(path.c_str(), nullptr, nullptr, nullptr, &d.phase), NO_ERROR);
    std::string text = vptest::read_file(path);
    EXPECT_NE(text.find("ManufacID = TN0.0.0"), std::string::npos);
    EXPECT_NE(text.find("Zscale =            0"), std::string::npos);
    EXPECT_EQ(trailer_value(text, "magic_number"), "2283471727");
    EXPECT_EQ(trailer_value(text, "time_stamp"), "0");
    EXPECT_EQ(trailer_value(text, "cn_width"), "2");
    EXPECT_EQ(trailer_value(text, "swinfo.date"), "\"\"");

    d.swinfo.vers = {1, 2, 3};
    ASSERT_EQ(sdf_save_dataset(path.c_str(), &d.swinfo, nullptr, nullptr, &d.phase), NO_ERROR);
    EXPECT_NE(vptest::read_file(path).find("ManufacID = TN1.2.3"), std::string::npos);

    d.attr->time_stamp = 77;
    ASSERT_EQ(sdf_save_dataset(path.c_str(), nullptr, attributes_of(d.attr.get()), nullptr, &d.phase), NO_ERROR);
    text = vptest::read_file(path);
    EXPECT_EQ(trailer_value(text, "time_stamp"), "77");
    EXPECT_NE(text.find("ManufacID = TN0.0.0"), std::string::npos);
}

TEST(SdfSaveDataset, ReadsBackWithTheMapsGeometry)
{
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(4, 3, 100, -200);
    for (std::size_t i = 0; i < d.values.size(); ++i)
        d.values[i] = static_cast<int32_t>(i) * 1000 - 5000;
    std::vector<uint16_t> in(4 * 3 * 2, 1);
    intensity_map intensity{24, 1, 2, 4, 3, 2, 9, in.data()};
    std::string path = dir.str("a.sdf");
    ASSERT_EQ(sdf_save_dataset(path.c_str(), &d.swinfo, attributes_of(d.attr.get()), &intensity, &d.phase), NO_ERROR);
    dat_header h{};
    intensity_map in_back{};
    phase_map ph{};
    ASSERT_EQ(sdf_read_file(path.c_str(), &h, &in_back, &ph), NO_ERROR);
    EXPECT_EQ(h.cn_width, 4);
    EXPECT_EQ(h.cn_height, 3);
    EXPECT_EQ(h.cn_org_x, 100);
    EXPECT_EQ(h.cn_org_y, -200);
    EXPECT_EQ(h.cn_n_bytes, 48);
    // The intensity data do not reach the file.
    EXPECT_EQ(h.in_width, 0);
    EXPECT_EQ(h.in_n_bytes, 0);
    EXPECT_EQ(in_back.data, nullptr);
    ASSERT_NE(ph.data, nullptr);
    for (std::size_t i = 0; i < d.values.size(); ++i)
        EXPECT_EQ(ph.data[i], d.values[i]);
    u_free(ph.data);
}

// ---- random datasets ----------------------------------------------------------------------

class random_data {
public:
    explicit random_data(uint32_t seed) : rng_(seed) {}

    uint32_t u32() { return static_cast<uint32_t>(rng_()); }
    int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    float in(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng_); }

    // Any finite single; zero, tiny and huge ones included.
    float finite_float()
    {
        for (;;) {
            float f = std::bit_cast<float>(u32());
            if (std::isfinite(f))
                return f;
        }
    }

    float signed_in(float lo, float hi) { return chance(0.5) ? in(lo, hi) : -in(lo, hi); }

    // Text of 0 to size characters (a full field has no terminator): printable ASCII without
    // the double quote, now and then a tab or a byte above 0x9F.
    void text(char* field, std::size_t size)
    {
        std::memset(field, 0, size);
        std::size_t n = chance(0.2) ? size : static_cast<std::size_t>(between(0, static_cast<int>(size)));
        for (std::size_t i = 0; i < n; ++i) {
            char c;
            if (chance(0.05))
                c = static_cast<char>(between(0xA0, 0xFF));
            else if (chance(0.02))
                c = '\t';
            else
                do
                    c = static_cast<char>(between(0x20, 0x7E));
                while (c == '"');
            field[i] = c;
        }
    }

    int32_t phase_value(int kind)
    {
        if (chance(0.05))
            return between(0, 7) + 0x7FFFFFF8;  // invalid
        switch (kind) {
        case 0: return static_cast<int32_t>(u32() % (uint32_t{DAT_PHASE_MAX_VALID} + 1u + 0x80000000u) + 0x80000000u);
        case 1: return between(-1000, 1000);
        case 2: return static_cast<int32_t>(u32() % (uint32_t{DAT_PHASE_MAX_VALID} + 1u));
        default: return chance(0.5) ? INT32_MIN + between(0, 3) : DAT_PHASE_MAX_VALID - between(0, 3);
        }
    }

private:
    std::mt19937 rng_;
};

// Fields that the data's interpretation needs, or that the reader itself derives.
bool is_required_float(const std::string& name)
{
    return name == "intf_scale_factor" || name == "obliquity_factor" || name == "wavelength_in" ||
           name == "num_aperture" || name == "lateral_res";
}

void randomize(dataset& d, random_data& r)
{
    int16_t width = static_cast<int16_t>(r.chance(0.1) ? r.between(1, 400) : r.between(1, 40));
    int16_t height = static_cast<int16_t>(r.chance(0.1) ? r.between(1, 3) : r.between(1, 40));
    d.set_grid(width, height, static_cast<int16_t>(r.u32()), static_cast<int16_t>(r.u32()));
    int kind = r.between(0, 3);
    for (int32_t& v : d.values)
        v = r.phase_value(kind);

    d.swinfo.type = static_cast<int16_t>(r.u32());
    d.swinfo.vers = {static_cast<int16_t>(r.between(-50, 50)), static_cast<int16_t>(r.u32()),
                     static_cast<int16_t>(r.between(0, 99))};
    if (r.chance(0.5)) {
        char create[13];
        std::snprintf(create, sizeof create, "%02d%02d%04d%02d%02d", r.between(1, 28), r.between(1, 12),
                      r.between(1970, 2037), r.between(0, 23), r.between(0, 59));
        std::memcpy(d.swinfo.date, sdf_date_text(create), 30);
    } else {
        r.text(d.swinfo.date, sizeof d.swinfo.date);
    }

    dat_header& a = *d.attr;
    for (const dat_field& f : dat_layout()) {
        if (f.offset < attributes_file_offset)
            continue;
        void* p = dat_field_ptr(&a, f);
        std::string name = f.name;
        if (f.key == nullptr || f.type == dat_type::reserved) {
            // Bytes without a key do not travel; now and then some are set anyway.
            if (r.chance(0.1) && f.size > 0 && f.offset < DAT_FORMAT3_TEST_OFFSET)
                static_cast<unsigned char*>(p)[r.between(0, f.size - 1)] = static_cast<unsigned char>(r.between(1, 255));
            continue;
        }
        switch (f.type) {
        case dat_type::i16:
        case dat_type::i32:
        case dat_type::u32:
            dat_field_set_int(&a, f, static_cast<int32_t>(r.u32()));
            break;
        case dat_type::f32:
            if (is_required_float(name))
                dat_field_set_float(&a, f, r.finite_float());
            else if (r.chance(0.15))
                dat_field_set_float(&a, f, std::nanf(""));
            else if (r.chance(0.03))
                dat_field_set_float(&a, f, r.chance(0.5) ? HUGE_VALF : -HUGE_VALF);
            else
                dat_field_set_float(&a, f, r.chance(0.7) ? r.finite_float() : r.signed_in(-1000.0f, 1000.0f));
            break;
        case dat_type::text:
            r.text(static_cast<char*>(p), f.size);
            break;
        case dat_type::reserved:
            break;
        }
    }
    // A phase unit that is a normal single, so that the reader's rescale factor is exactly 1.
    a.intf_scale_factor = r.signed_in(0.01f, 10.0f);
    a.obliquity_factor = r.signed_in(0.01f, 10.0f);
    a.wavelength_in = r.in(1e-9f, 1e-3f);
    // The serial number: 0, 16-bit, or the full form.
    switch (r.between(0, 3)) {
    case 0: a.sys_serial2 = 0; break;
    case 1: a.sys_serial2 = r.between(1, 65535); break;
    case 2: a.sys_serial2 = r.between(65536, INT32_MAX); break;
    default: break;  // anything, negative included
    }
    a.sys_serial = static_cast<int16_t>(r.u32());
    // Now and then a format 3 header.
    if (r.chance(0.1))
        a.format3_area[r.between(4, 3261)] = static_cast<uint8_t>(r.between(1, 255));
}

uint32_t expected_magic(const dat_header& a)
{
    auto probe = zero_header();
    std::memcpy(attributes_of(probe.get()), attributes_of(const_cast<dat_header*>(&a)), SDF_ATTRIBUTES_SIZE);
    return static_cast<uint32_t>(dat_header_magic(probe.get()));
}

#ifdef VP_SDF_TO_DAT
std::string in_quotes(const std::string& s) { return "\"" + s + "\""; }

// Converts the SDF file with the built command and checks the data file: header format and
// geometry, every keyed field, and the big-endian phase block.
void check_conversion(const dataset& d, const std::string& sdf_path, const std::string& dat_path)
{
#ifdef _WIN32
    // The build gives the command's path with forward slashes; cmd.exe needs backslashes and
    // one more pair of quotes around the whole line.
    std::string tool = fs::path(VP_SDF_TO_DAT).make_preferred().string();
    std::string command = "\"" + in_quotes(tool) + " -f " + in_quotes(sdf_path) + " " + in_quotes(dat_path) + " 2>NUL\"";
#else
    std::string command = in_quotes(VP_SDF_TO_DAT) + " -f " + in_quotes(sdf_path) + " " + in_quotes(dat_path) + " 2>/dev/null";
#endif
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::string bytes = vptest::read_file(dat_path);
    uint32_t magic = expected_magic(*d.attr);
    std::size_t header_size = magic == DAT_MAGIC_FORMAT3 ? 4096 : 834;
    std::size_t n = d.values.size();
    ASSERT_EQ(bytes.size(), header_size + 4 * n);
    auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(dat_bytes::load_be32(b + 0), magic);
    EXPECT_EQ(dat_bytes::load_be16(b + 4), magic == DAT_MAGIC_FORMAT1 ? 1 : magic == DAT_MAGIC_FORMAT2 ? 2 : 3);
    EXPECT_EQ(dat_bytes::load_be32(b + 6), header_size);
    EXPECT_EQ(dat_bytes::load_be32(b + 60), 0u);  // no intensity data
    EXPECT_EQ(static_cast<int16_t>(dat_bytes::load_be16(b + 64)), d.phase.org_x);
    EXPECT_EQ(static_cast<int16_t>(dat_bytes::load_be16(b + 66)), d.phase.org_y);
    EXPECT_EQ(dat_bytes::load_be16(b + 68), d.phase.width);
    EXPECT_EQ(dat_bytes::load_be16(b + 70), d.phase.height);
    EXPECT_EQ(dat_bytes::load_be32(b + 72), 4 * n);

    std::vector<uint8_t> packed(DAT_HEADER_PACKED_SIZE, 0);
    std::memcpy(packed.data(), b, std::min(header_size, packed.size()));
    auto got = zero_header();
    dat_header_unpack(std::span<const uint8_t, DAT_HEADER_PACKED_SIZE>(packed.data(), DAT_HEADER_PACKED_SIZE), *got);
    expect_attributes(*d.attr, *got, "data file");

    int mismatches = 0;
    for (std::size_t i = 0; i < n && mismatches < 5; ++i) {
        int32_t v = static_cast<int32_t>(dat_bytes::load_be32(b + header_size + 4 * i));
        if (v != expected_value(d.values[i])) {
            ++mismatches;
            ADD_FAILURE() << "data file point " << i << ": saved " << d.values[i] << ", converted " << v;
        }
    }
}
#endif

TEST(SdfRoundTrip, RandomDatasets)
{
    TempDir dir;
    const uint32_t base_seed = 20240611;
    for (uint32_t round = 0; round < 300; ++round) {
        uint32_t seed = base_seed + round;
        SCOPED_TRACE("seed " + std::to_string(seed));
        random_data r(seed);
        dataset d;
        randomize(d, r);
        std::string path = dir.str("r.sdf");
        ASSERT_EQ(save(d, path), NO_ERROR);

        auto l = load(path);
        ASSERT_EQ(l->rc, NO_ERROR);
        expect_values(d, l->phase);
        expect_swinfo(d.swinfo, l->swinfo);
        expect_attributes(*d.attr, *l->attr, "loaded");

        // The format and the geometry, which lie before the attributes.
        auto h = zero_header();
        intensity_map intensity{};
        phase_map phase{};
        ASSERT_EQ(sdf_read_file(path.c_str(), h.get(), &intensity, &phase), NO_ERROR);
        u_free(phase.data);
        uint32_t magic = expected_magic(*d.attr);
        EXPECT_EQ(h->magic_number, magic);
        EXPECT_EQ(h->header_format, magic == DAT_MAGIC_FORMAT1 ? 1 : magic == DAT_MAGIC_FORMAT2 ? 2 : 3);
        EXPECT_EQ(h->header_size, magic == DAT_MAGIC_FORMAT3 ? 4096 : 834);
        EXPECT_EQ(h->cn_width, d.phase.width);
        EXPECT_EQ(h->cn_height, d.phase.height);
        EXPECT_EQ(h->cn_n_bytes, 4 * d.phase.width * d.phase.height);

#ifdef VP_SDF_TO_DAT
        if (round % 6 == 0)
            check_conversion(d, path, dir.str("r.dat"));
#endif
        if (HasFailure())
            break;
    }
}

#ifdef VP_SDF_TO_DAT
TEST(SdfRoundTrip, ConvertedFileCarriesTheValues)
{
    TempDir dir;
    dataset d;
    d.sane_unit();
    d.set_grid(4, 2, 3, 4);
    d.values = {-5, 0, 7, DAT_INVALID_PHASE, INT32_MIN, DAT_PHASE_MAX_VALID, 0x7FFFFFFF, 123456};
    ASSERT_EQ(save(d, dir.str("a.sdf")), NO_ERROR);
    check_conversion(d, dir.str("a.sdf"), dir.str("a.dat"));
    std::string bytes = vptest::read_file(dir / "a.dat");
    ASSERT_EQ(bytes.size(), 834u + 32u);
    // -5, 0, 7 and the invalid mark, big-endian.
    EXPECT_EQ(bytes.substr(834, 16), std::string("\xFF\xFF\xFF\xFB\x00\x00\x00\x00\x00\x00\x00\x07\x7F\xFF\xFF\xF8", 16));
}
#endif

}  // namespace
