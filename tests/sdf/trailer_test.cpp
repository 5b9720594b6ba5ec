// The key = value trailer: the lines sdf_write_trailer writes, and what sdf_read_trailer makes
// of them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/sdf/sdf.h"
#include "tests/support/test_support.h"

namespace {

using vptest::TempDir;

// Runs sdf_read_trailer over the text; `rest` receives what the reader left in the stream.
int read_text(const std::string& text, dat_header& h, int32_t& offset, std::string* rest = nullptr)
{
    TempDir dir;
    vptest::write_file(dir / "t.txt", text);
    std::FILE* f = std::fopen(dir.str("t.txt").c_str(), "rb");
    EXPECT_NE(f, nullptr);
    int r = sdf_read_trailer(f, &h, &offset);
    if (rest) {
        rest->clear();
        int c;
        while ((c = std::getc(f)) != EOF)
            rest->push_back(static_cast<char>(c));
    }
    std::fclose(f);
    return r;
}

std::string written(const dat_header& h)
{
    TempDir dir;
    std::FILE* f = std::fopen(dir.str("w.txt").c_str(), "wb");
    EXPECT_NE(f, nullptr);
    sdf_write_trailer(f, &h);
    std::fclose(f);
    return vptest::read_file(dir / "w.txt");
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

const std::string required =
    "intf_scale_factor=0.5\nobliquity_factor=1\nwavelength_in=0.5\nnum_aperture=0.25\n"
    "lateral_res=1e-06\ncamera_width=640\ncamera_height=480\nphase_res=0\n";

dat_header fresh()
{
    dat_header h;
    dat_header_create(&h);
    return h;
}

TEST(SdfWriteTrailer, WritesTheLinesInOrderWithTheirFormats)
{
    dat_header h = fresh();
    h.swinfo.type = -3;
    std::memcpy(h.swinfo.date, "Mar 02 11:20:00 1995          ", 30);  // no terminator
    h.cn_width = 3;
    h.cn_n_bytes = 24;
    h.intf_scale_factor = 0.5f;
    h.wavelength_in = 6.328e-7f;
    h.lateral_res = 1.5e-6f;
    h.part_thickness = std::numeric_limits<float>::quiet_NaN();
    h.coords_state = 4000000000u;
    std::strcpy(h.obj_name, "ABC");
    h.fiducials_a[13] = -2.25f;
    std::string text = written(h);
    auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 95u);
    EXPECT_EQ(text.back(), '\n');

    // The keys in their order, as the data set's trailer lists them.
    const char* keys[95] = {
        "magic_number", "header_format", "header_size", "swinfo.type", "swinfo.date", "swinfo.vers.maj",
        "swinfo.vers.min", "swinfo.vers.bug", "cn_org_x", "cn_org_y", "cn_width", "cn_height", "cn_n_bytes",
        "time_stamp", "comment", "source", "intf_scale_factor", "wavelength_in", "num_aperture",
        "obliquity_factor", "magnification", "lateral_res", "acq_type", "intens_avg_cnt", "ramp_cal",
        "sfac_limit", "ramp_gain", "part_thickness", "sw_llc", "target_range", "min_mod", "min_mod_count",
        "phase_res", "min_area", "discon_action", "discon_filter", "connect_order", "sign", "camera_width",
        "camera_height", "sys_type", "sys_board", "sys_serial", "inst_id", "obj_name", "part_name",
        "codev_type", "phase_avg_cnt", "sub_sys_err", "sys_err_file_name", "part_ser_num",
        "refractive_index", "rem_tilt_bias", "rem_fringes", "rem_fringes_mode", "max_area", "setup_type",
        "wrapped", "pre_connect_filter", "wavelength_in_2", "wavelength_fold", "wavelength_in_1",
        "wavelength_in_3", "wavelength_in_4", "wavelen_select", "fda_res", "scan_descr", "n_fiducials_a",
        "fiducials_a[ 0]", "fiducials_a[ 1]", "fiducials_a[ 2]", "fiducials_a[ 3]", "fiducials_a[ 4]",
        "fiducials_a[ 5]", "fiducials_a[ 6]", "fiducials_a[ 7]", "fiducials_a[ 8]", "fiducials_a[ 9]",
        "fiducials_a[10]", "fiducials_a[11]", "fiducials_a[12]", "fiducials_a[13]", "pixel_width",
        "pixel_height", "exit_pupil_diam", "light_level_pct", "coords_state", "coords.x_pos", "coords.y_pos",
        "coords.z_pos", "coords.x_rot", "coords.y_rot", "coords.z_rot", "coherence_mode", "surface_filter"};
    for (int i = 0; i < 95; ++i)
        EXPECT_EQ(lines[i].substr(0, lines[i].find('=')), keys[i]) << "line " << i + 1;

    EXPECT_EQ(lines[0], "magic_number=2283471727");
    EXPECT_EQ(lines[1], "header_format=1");
    EXPECT_EQ(lines[2], "header_size=834");
    EXPECT_EQ(lines[3], "swinfo.type=-3");
    EXPECT_EQ(lines[4], "swinfo.date=\"Mar 02 11:20:00 1995          \"");
    EXPECT_EQ(lines[10], "cn_width=3");
    EXPECT_EQ(lines[12], "cn_n_bytes=24");
    EXPECT_EQ(lines[14], "comment=\"\"");
    EXPECT_EQ(lines[16], "intf_scale_factor=         0.5");
    char expect[40];
    std::snprintf(expect, sizeof expect, "wavelength_in=%12.10g", static_cast<double>(6.328e-7f));
    EXPECT_EQ(lines[17], expect);
    EXPECT_EQ(lines[18], "num_aperture=           0");
    EXPECT_EQ(lines[21], "lateral_res=1.500000053e-06");
    EXPECT_EQ(lines[27], "part_thickness=     1.#QNAN");
    EXPECT_EQ(lines[42], "sys_serial=0");
    EXPECT_EQ(lines[44], "obj_name=\"ABC\"");
    EXPECT_EQ(lines[81], "fiducials_a[13]=       -2.25");
    EXPECT_EQ(lines[86], "coords_state=4000000000");
}

TEST(SdfWriteTrailer, SerialNumberLineCarriesTheFullValueWhenThereIsOne)
{
    dat_header h = fresh();
    h.sys_serial = 1234;
    EXPECT_EQ(lines_of(written(h))[42], "sys_serial=1234");
    h.sys_serial2 = 100000;
    EXPECT_EQ(lines_of(written(h))[42], "sys_serial2=100000");
}

TEST(SdfWriteTrailer, TextFilledToItsSizeIsWrittenWithoutReadingBeyondIt)
{
    dat_header h = fresh();
    std::memset(h.obj_name, 'Q', sizeof h.obj_name);     // 12 characters, no terminator
    std::memset(h.part_name, 'P', sizeof h.part_name);   // the next field
    auto lines = lines_of(written(h));
    EXPECT_EQ(lines[44], "obj_name=\"" + std::string(12, 'Q') + "\"");
}

// Gives every field with a trailer key a distinct value.
void fill_all(dat_header& h)
{
    int i = 0;
    for (const dat_field& f : dat_layout()) {
        if (f.key == nullptr)
            continue;
        ++i;
        switch (f.type) {
        case dat_type::i16: dat_field_set_int(&h, f, -1000 - 37 * i); break;
        case dat_type::i32: dat_field_set_int(&h, f, 123456789 + 1000 * i); break;
        case dat_type::u32: dat_field_set_int(&h, f, 4000000000u + i); break;
        case dat_type::f32: dat_field_set_float(&h, f, static_cast<float>(std::pow(-1.7, i) / 3.0)); break;
        case dat_type::text: {
            std::string t = "text " + std::to_string(i) + " of " + f.key;
            dat_field_set_text(&h, f, t.substr(0, f.size));
            break;
        }
        case dat_type::reserved: break;
        }
    }
    std::memcpy(h.swinfo.date, "Dec 31 23:59:00 1999          ", 30);
    h.wavelength_in = std::numeric_limits<float>::infinity();
    h.pixel_width = 3.4028235e38f;
    h.coords.z_rot = 1.4e-45f;  // the smallest single
    h.sys_serial2 = 0;
}

void expect_same_keyed_fields(const dat_header& a, const dat_header& b)
{
    for (const dat_field& f : dat_layout()) {
        if (f.key == nullptr || std::string(f.key) == "sys_serial" || std::string(f.key) == "sys_serial2")
            continue;
        if (f.type == dat_type::f32) {
            float x = dat_field_get_float(&a, f), y = dat_field_get_float(&b, f);
            if (std::isnan(x))
                EXPECT_TRUE(std::isnan(y)) << f.key;
            else
                EXPECT_EQ(x, y) << f.key;
        } else if (f.type == dat_type::text) {
            EXPECT_EQ(dat_field_get_text(&a, f), dat_field_get_text(&b, f)) << f.key;
        } else {
            EXPECT_EQ(dat_field_get_int(&a, f), dat_field_get_int(&b, f)) << f.key;
        }
    }
}

TEST(SdfTrailerRoundTrip, EveryKeyedFieldReadsBack)
{
    dat_header h{};
    fill_all(h);
    h.sys_serial = 1234;
    dat_header back{};
    int32_t offset = 99;
    int r = read_text("Data Offset = -17\n" + written(h) + "*\n", back, offset);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(offset, -17);
    expect_same_keyed_fields(h, back);
    // sys_serial is written but not read, and the lines after it clear it.
    EXPECT_EQ(back.sys_serial, 0);
    EXPECT_EQ(back.sys_serial2, 0);
    EXPECT_EQ(std::memcmp(back.swinfo.date, h.swinfo.date, 30), 0);
}

TEST(SdfTrailerRoundTrip, FullSerialNumberAlsoSetsTheShortOne)
{
    dat_header h{};
    fill_all(h);
    h.sys_serial2 = 100000;
    dat_header back{};
    int32_t offset;
    ASSERT_EQ(read_text(written(h) + "*\n", back, offset), 0);
    expect_same_keyed_fields(h, back);
    EXPECT_EQ(back.sys_serial2, 100000);
    EXPECT_EQ(back.sys_serial, static_cast<int16_t>(100000 & 0xFFFF));

    // A full serial number that fits 16 bits (which the record never holds: it is 0 then) is
    // moved into the short field by the line after it and cleared by the next one.
    h.sys_serial2 = 500;
    back = dat_header{};
    ASSERT_EQ(read_text(written(h) + "*\n", back, offset), 0);
    EXPECT_EQ(back.sys_serial, 0);
    EXPECT_EQ(back.sys_serial2, 0);
    back = dat_header{};
    ASSERT_NE(read_text("sys_serial2=500\ninst_id=1\n", back, offset), 0);
    EXPECT_EQ(back.sys_serial, 500);
    EXPECT_EQ(back.sys_serial2, 0);
}

TEST(SdfTrailerRoundTrip, NaNIsWrittenAsQnanAndReadBackAsNaN)
{
    dat_header h{};
    fill_all(h);
    h.magnification = std::numeric_limits<float>::quiet_NaN();
    dat_header back{};
    int32_t offset;
    ASSERT_EQ(read_text(written(h) + "*\n", back, offset), 0);
    EXPECT_TRUE(std::isnan(back.magnification));
    // A NaN in a required field makes the trailer one short.
    h.lateral_res = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(read_text(written(h) + "*\n", back, offset), 1);
    EXPECT_TRUE(std::isnan(back.lateral_res));
}

TEST(SdfReadTrailer, CountsTheRequiredKeys)
{
    dat_header h = fresh();
    int32_t offset = 5;
    EXPECT_EQ(read_text(required + "*\n", h, offset), 0);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(h.camera_width, 640);
    EXPECT_EQ(h.num_aperture, 0.25f);
    EXPECT_EQ(h.lateral_res, 1e-6f);

    // Without lateral_res but with camera_width twice: 8 again, complete. The later line wins.
    std::string twice = required;
    twice.replace(twice.find("lateral_res=1e-06\n"), 18, "camera_width=320\n");
    h = fresh();
    EXPECT_EQ(read_text(twice + "*\n", h, offset), 0);
    EXPECT_EQ(h.camera_width, 640);
    EXPECT_EQ(h.lateral_res, 0.0f);

    // One missing: not complete.
    std::string seven = required.substr(0, required.find("phase_res"));
    EXPECT_EQ(read_text(seven + "*\n", h, offset), 1);
    // Nine: not complete either.
    EXPECT_NE(read_text(required + "phase_res=1\n*\n", h, offset), 0);
}

TEST(SdfReadTrailer, QnanInARequiredKeyIsNotCounted)
{
    dat_header h = fresh();
    int32_t offset;
    std::string t = required;
    t.replace(t.find("lateral_res=1e-06"), 17, "lateral_res=     1.#QNAN");
    EXPECT_EQ(read_text(t + "*\n", h, offset), 1);
    EXPECT_TRUE(std::isnan(h.lateral_res));
    t = required;
    t.replace(t.find("num_aperture=0.25"), 17, "num_aperture=-1.#NAN0");
    EXPECT_EQ(read_text(t + "*\n", h, offset), 1);
    EXPECT_TRUE(std::isnan(h.num_aperture));
    // Malformed numbers read as 0 and still count.
    t = required;
    t.replace(t.find("num_aperture=0.25"), 17, "num_aperture=abc");
    EXPECT_EQ(read_text(t + "*\n", h, offset), 0);
    EXPECT_EQ(h.num_aperture, 0.0f);
}

TEST(SdfReadTrailer, HowTheTrailerEnds)
{
    dat_header h = fresh();
    int32_t offset;
    // A last line with a line feed and no "*" line: incomplete.
    EXPECT_NE(read_text(required, h, offset), 0);
    // A last line without a line feed ends it: complete.
    EXPECT_EQ(read_text(required.substr(0, required.size() - 1), h, offset), 0);
    EXPECT_EQ(h.phase_res, 0);
    // Nothing at all, or only the "*" line.
    EXPECT_NE(read_text("", h, offset), 0);
    EXPECT_EQ(read_text("*\n", h, offset), 8);
    // A "*" line without a line feed.
    EXPECT_EQ(read_text(required + "*", h, offset), 0);
    // "*" with anything after it on the line still ends the trailer.
    EXPECT_EQ(read_text(required + "*** end\n", h, offset), 0);
}

TEST(SdfReadTrailer, StopsRightAfterTheStarLine)
{
    dat_header h = fresh();
    int32_t offset;
    std::string rest;
    EXPECT_EQ(read_text(required + "*\ncamera_width=1\nmore\n", h, offset, &rest), 0);
    EXPECT_EQ(rest, "camera_width=1\nmore\n");
    EXPECT_EQ(h.camera_width, 640);
}

TEST(SdfReadTrailer, KeyMatchingAndSeparators)
{
    dat_header h = fresh();
    int32_t offset;
    read_text("wavelength_in_1=2.5\n", h, offset);
    EXPECT_EQ(h.wavelength_in_1, 2.5f);
    EXPECT_EQ(h.wavelength_in, 0.0f);

    h = fresh();
    read_text("camera_width = 640\n", h, offset);
    EXPECT_EQ(h.camera_width, 640);
    h = fresh();
    read_text("camera_width==640\n", h, offset);
    EXPECT_EQ(h.camera_width, 640);
    h = fresh();
    read_text("camera_width\t= \t =640\n", h, offset);
    EXPECT_EQ(h.camera_width, 640);
    h = fresh();
    read_text("camera_width\n", h, offset);  // a key with no value reads 0
    EXPECT_EQ(h.camera_width, 0);

    // Case matters, a leading blank hides the key, and a key must be followed by a separator.
    h = fresh();
    read_text("Camera_width=5\n camera_width=6\ncamera_widthx=7\ncamera_width:8\n", h, offset);
    EXPECT_EQ(h.camera_width, 0);

    h = fresh();
    read_text("Data Offset=-123456\n", h, offset);
    EXPECT_EQ(offset, -123456);
    read_text("Data  Offset=5\n", h, offset);
    EXPECT_EQ(offset, 0);

    h = fresh();
    read_text("fiducials_a[ 3]=1.5\nfiducials_a[12]=-7\n", h, offset);
    EXPECT_EQ(h.fiducials_a[3], 1.5f);
    EXPECT_EQ(h.fiducials_a[12], -7.0f);
}

TEST(SdfReadTrailer, IntegerConversions)
{
    dat_header h = fresh();
    int32_t offset;
    read_text("camera_width=  -12abc\nsource=70000\ntime_stamp=-99\nmin_area=+42\nsign=\n", h, offset);
    EXPECT_EQ(h.camera_width, -12);
    EXPECT_EQ(h.source, static_cast<int16_t>(70000 & 0xFFFF));
    EXPECT_EQ(h.time_stamp, -99);
    EXPECT_EQ(h.min_area, 42);
    EXPECT_EQ(h.sign, 0);

    // Numbers beyond 32 bits clamp as the C conversion does, then keep their low bits.
    read_text("camera_width=99999999999\ntime_stamp=99999999999\nmin_mod=-99999999999\n", h, offset);
    EXPECT_EQ(h.camera_width, -1);  // 0x7FFFFFFF, low 16 bits
    EXPECT_EQ(h.time_stamp, 2147483647);
    EXPECT_EQ(h.min_mod, std::numeric_limits<int32_t>::min());
    read_text("Data Offset=-99999999999\n", h, offset);
    EXPECT_EQ(offset, std::numeric_limits<int32_t>::min());
}

TEST(SdfReadTrailer, DigitConversions)
{
    dat_header h = fresh();
    int32_t offset;
    read_text("magic_number=2283471727\ncoords_state=12x\n", h, offset);
    EXPECT_EQ(h.magic_number, 0x881B036Fu);
    EXPECT_EQ(h.coords_state, 12u);
    read_text("magic_number =   2283471728\n", h, offset);
    EXPECT_EQ(h.magic_number, 0x881B0370u);
    read_text("magic_number=-5\n", h, offset);
    EXPECT_EQ(h.magic_number, 0u);
    read_text("magic_number=+5\n", h, offset);
    EXPECT_EQ(h.magic_number, 0u);
    read_text("coords_state=4294967297\n", h, offset);  // modulo 2^32
    EXPECT_EQ(h.coords_state, 1u);
}

TEST(SdfReadTrailer, FloatingConversions)
{
    dat_header h = fresh();
    int32_t offset;
    read_text("magnification=   12.5\nrefractive_index=1e400\ntarget_range=-1e-400\nexit_pupil_diam=3.4028235e38\n"
              "light_level_pct=3.4028236e38\n", h, offset);
    EXPECT_EQ(h.magnification, 12.5f);
    EXPECT_EQ(h.refractive_index, std::numeric_limits<float>::infinity());
    EXPECT_EQ(h.target_range, 0.0f);
    EXPECT_EQ(h.exit_pupil_diam, std::numeric_limits<float>::max());
    EXPECT_EQ(h.light_level_pct, std::numeric_limits<float>::infinity());  // rounds up
    read_text("magnification=inf\nrefractive_index=-inf\n", h, offset);
    EXPECT_EQ(h.magnification, std::numeric_limits<float>::infinity());
    EXPECT_EQ(h.refractive_index, -std::numeric_limits<float>::infinity());
}

TEST(SdfReadTrailer, TextValues)
{
    dat_header h = fresh();
    int32_t offset;
    read_text("obj_name=\"ABC\"\n", h, offset);
    EXPECT_STREQ(h.obj_name, "ABC");
    read_text("obj_name=ABC\n", h, offset);  // the first character is taken for the quote
    EXPECT_STREQ(h.obj_name, "BC");
    read_text("obj_name=\"A\"BC\"\n", h, offset);
    EXPECT_STREQ(h.obj_name, "A");
    read_text("obj_name=\"\"\n", h, offset);
    EXPECT_STREQ(h.obj_name, "");
    read_text("obj_name=\n", h, offset);
    EXPECT_STREQ(h.obj_name, "");
}

TEST(SdfReadTrailer, TextNeverRunsPastTheFieldOrTheLine)
{
    dat_header h = fresh();
    h.codev_type = 77;  // the field after part_name
    int32_t offset;
    read_text("part_name=\"" + std::string(50, 'x') + "\"\n", h, offset);
    EXPECT_EQ(std::string(h.part_name, 40), std::string(40, 'x'));
    EXPECT_EQ(h.codev_type, 77);
    EXPECT_EQ(dat_field_get_text(&h, *dat_field_by_key("part_name")), std::string(40, 'x'));

    // Without a closing quote the text ends with its line, line end excluded.
    read_text("obj_name=\"AB\ncamera_width=3\n", h, offset);
    EXPECT_STREQ(h.obj_name, "AB");
    EXPECT_EQ(h.camera_width, 3);
    read_text("obj_name=\"CD\r\n", h, offset);
    EXPECT_STREQ(h.obj_name, "CD");
    read_text("obj_name=\"EF", h, offset);
    EXPECT_STREQ(h.obj_name, "EF");
}

TEST(SdfReadTrailer, CarriageReturnLineFeedLines)
{
    dat_header h = fresh();
    int32_t offset;
    std::string crlf;
    for (char c : required + "obj_name=\"XY\"\n*\n") {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    EXPECT_EQ(read_text(crlf, h, offset), 0);
    EXPECT_EQ(h.phase_res, 0);
    EXPECT_EQ(h.camera_height, 480);
    EXPECT_STREQ(h.obj_name, "XY");
}

TEST(SdfReadTrailer, LongLinesAreReadWhole)
{
    dat_header h = fresh();
    int32_t offset;
    // Past character 254 of a long line lies something that looks like a key line; it is part
    // of the comment line, not a line of its own.
    std::string line = "comment=\"" + std::string(245, 'c') + "camera_width=5\n";
    read_text(line + "source=9\n", h, offset);
    EXPECT_EQ(h.camera_width, 0);
    EXPECT_EQ(h.source, 9);
    EXPECT_EQ(std::string(h.comment, 82), std::string(82, 'c'));
    std::string huge = "refractive_index=" + std::string(100000, ' ') + "1.25\n";
    read_text(huge, h, offset);
    EXPECT_EQ(h.refractive_index, 1.25f);
}

TEST(SdfReadTrailer, SerialNumberRule)
{
    dat_header h = fresh();
    int32_t offset;
    // First-part keys leave the serial numbers alone.
    h.sys_serial = 11;
    h.sys_serial2 = 70000;
    read_text("camera_width=1\n", h, offset);
    EXPECT_EQ(h.sys_serial, 11);
    EXPECT_EQ(h.sys_serial2, 70000);
    // A second-part key carries the full value into the short field; above 65535 it stays.
    read_text("inst_id=3\n", h, offset);
    EXPECT_EQ(h.sys_serial, static_cast<int16_t>(70000 & 0xFFFF));
    EXPECT_EQ(h.sys_serial2, 70000);
    EXPECT_EQ(h.inst_id, 3);
    // A line that matches no key does the same; a value that fits 16 bits is cleared.
    h.sys_serial2 = 65535;
    read_text("no key here\n", h, offset);
    EXPECT_EQ(h.sys_serial, -1);
    EXPECT_EQ(h.sys_serial2, 0);
    h.sys_serial2 = -5;
    read_text("sign=1\n", h, offset);
    EXPECT_EQ(h.sys_serial, -5);
    EXPECT_EQ(h.sys_serial2, 0);
    // sys_serial2 itself is read into the 32-bit field.
    read_text("sys_serial2=123456\n", h, offset);
    EXPECT_EQ(h.sys_serial2, 123456);
}

TEST(SdfReadTrailer, ChangesOnlyTheFieldsItMeets)
{
    dat_header h{};
    fill_all(h);
    h.sys_serial2 = 0;
    h.sys_serial = 0;
    dat_header before;
    std::memcpy(&before, &h, sizeof h);
    int32_t offset;
    read_text("camera_width=17\n*\n", h, offset);
    before.camera_width = 17;
    EXPECT_EQ(std::memcmp(&h, &before, sizeof h), 0);
}

TEST(SdfReadTrailer, NullArguments)
{
    int32_t offset = 3;
    EXPECT_NE(sdf_read_trailer(nullptr, nullptr, &offset), 0);
    EXPECT_EQ(offset, 0);
    sdf_write_trailer(nullptr, nullptr);  // nothing happens
}

}  // namespace
