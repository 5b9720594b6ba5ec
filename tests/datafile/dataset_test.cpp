#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "vell/datafile/dataset.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"

namespace {

using packed = std::array<uint8_t, DAT_HEADER_PACKED_SIZE>;

packed pack(const dat_header& h)
{
    packed out{};
    out.fill(0xEE);
    dat_header_pack(h, out);
    return out;
}

dat_header fresh()
{
    dat_header h;
    std::memset(&h, 0x5A, sizeof h);
    EXPECT_EQ(dat_header_create(&h), NO_ERROR);
    return h;
}

uint32_t be32(const packed& p, std::size_t off)
{
    return (uint32_t{p[off]} << 24) | (uint32_t{p[off + 1]} << 16) | (uint32_t{p[off + 2]} << 8) | p[off + 3];
}
uint16_t be16(const packed& p, std::size_t off) { return static_cast<uint16_t>((p[off] << 8) | p[off + 1]); }
uint32_t le32(const packed& p, std::size_t off)
{
    return (uint32_t{p[off + 3]} << 24) | (uint32_t{p[off + 2]} << 16) | (uint32_t{p[off + 1]} << 8) | p[off];
}
uint16_t le16(const packed& p, std::size_t off) { return static_cast<uint16_t>((p[off + 1] << 8) | p[off]); }
uint32_t bits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

TEST(DatHeaderCreate, FreshHeaderIsFormatOneAndAllZeroOtherwise)
{
    dat_header h = fresh();
    EXPECT_EQ(h.magic_number, 0x881B036Fu);
    EXPECT_EQ(h.header_format, 1);
    EXPECT_EQ(h.header_size, 834);
    packed p = pack(h);
    EXPECT_EQ(be32(p, 0), 0x881B036Fu);
    EXPECT_EQ(be16(p, 4), 1);
    EXPECT_EQ(be32(p, 6), 834u);
    for (std::size_t i = 10; i < p.size(); ++i)
        ASSERT_EQ(p[i], 0) << "byte " << i;
    EXPECT_EQ(dat_header_create(nullptr), ERR_INVALID_PARAM);
}

TEST(DatHeaderMagic, ChoosesFormatFromContents)
{
    EXPECT_EQ(dat_header_magic(nullptr), -1);
    dat_header h = fresh();
    h.phase_res = 1;
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B036F});
    h.phase_res = 2;
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B0370});
    h.phase_res = 3;
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B0370});
    h.phase_res = -5;  // signed comparison
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B036F});

    // File offsets 834..837 lie below the test offset; 838 is the first that counts.
    h = fresh();
    h.format3_area[3] = 1;
    h.unnamed_816 = 0x7FFF;
    h.reserved_818[15] = 9;
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B036F});
    h.format3_area[4] = 1;
    h.phase_res = 2;
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B0371});
    h = fresh();
    h.format3_area[3261] = 0x80;
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B0371});
    h = fresh();
    h.record_tail[1] = 1;  // last byte of the 4098-byte record
    EXPECT_EQ(dat_header_magic(&h), int64_t{0x881B0371});
}

TEST(DatHeaderMagic, FormatAndSizeFollowTheMagicNumber)
{
    dat_header h = fresh();
    dat_header_set_format(&h, 0x881B0370u);
    EXPECT_EQ(h.header_format, 2);
    EXPECT_EQ(h.header_size, 834);
    dat_header_set_format(&h, 0x881B0371u);
    EXPECT_EQ(h.header_format, 3);
    EXPECT_EQ(h.header_size, 4096);
    dat_header_set_format(&h, 0x12345678u);
    EXPECT_EQ(h.header_format, 0);
    EXPECT_EQ(h.header_size, 0);
    EXPECT_EQ(dat_header_size_for(0x881B036Fu), 834);
    EXPECT_EQ(dat_header_size_for(0u), 0);
}

// Every field set through the struct members; the packed bytes are checked at the file offsets
// of the binary header layout.
TEST(DatHeaderPack, FieldsLandAtTheirFileOffsetsInTheirByteOrder)
{
    dat_header h = fresh();
    h.magic_number = 0x881B0371u;
    h.header_format = 3;
    h.header_size = 4096;
    h.swinfo.type = 0x0102;
    std::memcpy(h.swinfo.date, "Mar 02 11:20:00 1995          ", 30);
    h.swinfo.vers.maj = 7;
    h.swinfo.vers.min = 8;
    h.swinfo.vers.bug = -9;
    h.in_org_x = 11;
    h.in_org_y = 12;
    h.in_width = 13;
    h.in_height = 14;
    h.in_n_frames = 15;
    h.in_aux = 16;
    h.in_n_bytes = 0x01020304;
    h.cn_org_x = 21;
    h.cn_org_y = 22;
    h.cn_width = 23;
    h.cn_height = 24;
    h.cn_n_bytes = 0x0A0B0C0D;
    h.time_stamp = 1;
    std::strcpy(h.comment, "a comment");
    h.source = 3;
    h.intf_scale_factor = 0.5f;
    h.wavelength_in = 6.328e-7f;
    h.num_aperture = 0.3f;
    h.obliquity_factor = 1.0f;
    h.magnification = 10.0f;
    h.lateral_res = 1e-6f;
    h.acq_type = 31;
    h.intens_avg_cnt = 32;
    h.ramp_cal = 33;
    h.sfac_limit = 34;
    h.ramp_gain = 35;
    h.part_thickness = 2.5f;
    h.sw_llc = 36;
    h.target_range = 0.25f;
    h.min_mod = 0x11223344;
    h.min_mod_count = -2;
    h.phase_res = 1;
    h.min_area = 41;
    h.discon_action = 42;
    h.discon_filter = 4.5f;
    h.connect_order = 43;
    h.sign = -1;
    h.camera_width = 640;
    h.camera_height = 480;
    h.sys_type = 44;
    h.sys_board = 45;
    h.sys_serial = 0x1234;
    h.inst_id = 46;
    std::strcpy(h.obj_name, "10x");
    std::strcpy(h.part_name, "part");
    h.codev_type = 51;
    h.phase_avg_cnt = 52;
    h.sub_sys_err = 53;
    std::strcpy(h.part_ser_num, "SN-1");
    h.refractive_index = 1.5f;
    h.rem_tilt_bias = 54;
    h.rem_fringes = 55;
    h.max_area = 56;
    h.setup_type = 57;
    h.wrapped = 58;
    h.pre_connect_filter = 5.5f;
    h.wavelength_in_2 = 2.0f;
    h.wavelength_fold = 59;
    h.wavelength_in_1 = 1.0f;
    h.wavelength_in_3 = 3.0f;
    h.wavelength_in_4 = 4.0f;
    std::strcpy(h.wavelen_select, "w");
    h.fda_res = 61;
    std::strcpy(h.scan_descr, "scan");
    h.n_fiducials_a = 14;
    for (int i = 0; i < 14; ++i)
        h.fiducials_a[i] = static_cast<float>(i) + 0.5f;
    h.pixel_width = 7.0f;
    h.pixel_height = 8.0f;
    h.exit_pupil_diam = 9.0f;
    h.light_level_pct = 10.0f;
    h.coords_state = 1;
    h.coords.x_pos = 1.0f;
    h.coords.y_pos = 2.0f;
    h.coords.z_pos = 3.0f;
    h.coords.x_rot = 4.0f;
    h.coords.y_rot = 5.0f;
    h.coords.z_rot = 6.0f;
    h.coherence_mode = 0x0102;
    h.surface_filter = 0x0304;
    std::strcpy(h.sys_err_file_name, "sys.err");
    h.rem_fringes_mode = 62;
    h.sys_serial2 = 0x00012345;
    h.unnamed_816 = 0x0506;
    h.reserved_208[0] = 0xA1;
    h.reserved_304[15] = 0xA2;
    h.reserved_736[0] = 0xA3;
    h.reserved_802[13] = 0xA4;
    h.reserved_818[0] = 0xA5;

    packed p = pack(h);
    EXPECT_EQ(be32(p, 0), 0x881B0371u);
    EXPECT_EQ(be16(p, 4), 3);
    EXPECT_EQ(be32(p, 6), 4096u);
    EXPECT_EQ(be16(p, 10), 0x0102);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[12]), 30), "Mar 02 11:20:00 1995          ");
    EXPECT_EQ(be16(p, 42), 7);
    EXPECT_EQ(be16(p, 44), 8);
    EXPECT_EQ(be16(p, 46), 0xFFF7);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(be16(p, 48 + 2 * i), 11 + i);
    EXPECT_EQ(be32(p, 60), 0x01020304u);
    EXPECT_EQ(be16(p, 64), 21);
    EXPECT_EQ(be16(p, 66), 22);
    EXPECT_EQ(be16(p, 68), 23);
    EXPECT_EQ(be16(p, 70), 24);
    EXPECT_EQ(be32(p, 72), 0x0A0B0C0Du);
    EXPECT_EQ(be32(p, 76), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&p[80]), "a comment");
    EXPECT_EQ(be16(p, 162), 3);
    EXPECT_EQ(be32(p, 164), bits(0.5f));
    EXPECT_EQ(be32(p, 168), bits(6.328e-7f));
    EXPECT_EQ(be32(p, 172), bits(0.3f));
    EXPECT_EQ(be32(p, 176), bits(1.0f));
    EXPECT_EQ(be32(p, 180), bits(10.0f));
    EXPECT_EQ(be32(p, 184), bits(1e-6f));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(be16(p, 188 + 2 * i), 31 + i);
    EXPECT_EQ(be32(p, 198), bits(2.5f));
    EXPECT_EQ(be16(p, 202), 36);
    EXPECT_EQ(be32(p, 204), bits(0.25f));
    EXPECT_EQ(p[208], 0xA1);
    EXPECT_EQ(be32(p, 210), 0x11223344u);
    EXPECT_EQ(be32(p, 214), 0xFFFFFFFEu);
    EXPECT_EQ(be16(p, 218), 1);
    EXPECT_EQ(be32(p, 220), 41u);
    EXPECT_EQ(be16(p, 224), 42);
    EXPECT_EQ(be32(p, 226), bits(4.5f));
    EXPECT_EQ(be16(p, 230), 43);
    EXPECT_EQ(be16(p, 232), 0xFFFF);
    EXPECT_EQ(be16(p, 234), 640);
    EXPECT_EQ(be16(p, 236), 480);
    EXPECT_EQ(be16(p, 238), 44);
    EXPECT_EQ(be16(p, 240), 45);
    EXPECT_EQ(be16(p, 242), 0x1234);
    EXPECT_EQ(be16(p, 244), 46);
    EXPECT_STREQ(reinterpret_cast<const char*>(&p[246]), "10x");
    EXPECT_STREQ(reinterpret_cast<const char*>(&p[258]), "part");
    EXPECT_EQ(be16(p, 298), 51);
    EXPECT_EQ(be16(p, 300), 52);
    EXPECT_EQ(be16(p, 302), 53);
    EXPECT_EQ(p[319], 0xA2);
    EXPECT_STREQ(reinterpret_cast<const char*>(&p[320]), "SN-1");
    EXPECT_EQ(be32(p, 360), bits(1.5f));
    EXPECT_EQ(be16(p, 364), 54);
    EXPECT_EQ(be16(p, 366), 55);
    EXPECT_EQ(be32(p, 368), 56u);
    EXPECT_EQ(be16(p, 372), 57);
    EXPECT_EQ(be16(p, 374), 58);
    EXPECT_EQ(be32(p, 376), bits(5.5f));
    EXPECT_EQ(be32(p, 380), bits(2.0f));
    EXPECT_EQ(be16(p, 384), 59);
    EXPECT_EQ(be32(p, 386), bits(1.0f));
    EXPECT_EQ(be32(p, 390), bits(3.0f));
    EXPECT_EQ(be32(p, 394), bits(4.0f));
    EXPECT_STREQ(reinterpret_cast<const char*>(&p[398]), "w");
    EXPECT_EQ(be16(p, 406), 61);
    EXPECT_STREQ(reinterpret_cast<const char*>(&p[408]), "scan");
    EXPECT_EQ(be16(p, 428), 14);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(be32(p, 430 + 4 * i), bits(static_cast<float>(i) + 0.5f)) << i;
    EXPECT_EQ(be32(p, 486), bits(7.0f));
    EXPECT_EQ(be32(p, 490), bits(8.0f));
    EXPECT_EQ(be32(p, 494), bits(9.0f));
    EXPECT_EQ(be32(p, 498), bits(10.0f));
    EXPECT_EQ(p[502], 1);  // little-endian
    EXPECT_EQ(le32(p, 502), 1u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(le32(p, 506 + 4 * i), bits(static_cast<float>(i + 1))) << i;
    EXPECT_EQ(le16(p, 530), 0x0102);
    EXPECT_EQ(le16(p, 532), 0x0304);
    EXPECT_STREQ(reinterpret_cast<const char*>(&p[534]), "sys.err");
    EXPECT_EQ(be16(p, 734), 62);
    EXPECT_EQ(p[736], 0xA3);
    EXPECT_EQ(le32(p, 798), 0x00012345u);
    EXPECT_EQ(p[815], 0xA4);
    EXPECT_EQ(be16(p, 816), 0x0506);
    EXPECT_EQ(p[818], 0xA5);
}

TEST(DatHeaderPack, FormatThreeUnitsGoBigEndianOtherBytesUnchanged)
{
    dat_header h = fresh();
    auto put32 = [&](std::size_t file_off, uint32_t v) { std::memcpy(&h.format3_area[file_off - 834], &v, 4); };
    auto put16 = [&](std::size_t file_off, uint16_t v) { std::memcpy(&h.format3_area[file_off - 834], &v, 2); };
    put16(838, 0x0102);
    put32(842, 0x0A0B0C0D);
    put32(866, 0x11121314);
    put16(1384, 0x2122);
    put32(1450, 0x31323334);
    put32(1214, 0x41424344);
    // Bytes that belong to no unit keep their order.
    h.format3_area[834 - 834] = 0x01;
    h.format3_area[835 - 834] = 0x02;
    h.format3_area[870 - 834] = 0x71;
    h.format3_area[871 - 834] = 0x72;
    h.format3_area[1454 - 834] = 0x81;
    h.format3_area[1455 - 834] = 0x82;
    h.format3_area[4095 - 834] = 0x99;

    packed p = pack(h);
    EXPECT_EQ(be16(p, 838), 0x0102);
    EXPECT_EQ(be32(p, 842), 0x0A0B0C0Du);
    EXPECT_EQ(be32(p, 866), 0x11121314u);
    EXPECT_EQ(be16(p, 1384), 0x2122);
    EXPECT_EQ(be32(p, 1450), 0x31323334u);
    EXPECT_EQ(be32(p, 1214), 0x41424344u);
    EXPECT_EQ(p[834], 0x01);
    EXPECT_EQ(p[835], 0x02);
    EXPECT_EQ(p[870], 0x71);
    EXPECT_EQ(p[871], 0x72);
    EXPECT_EQ(p[1454], 0x81);
    EXPECT_EQ(p[1455], 0x82);
    EXPECT_EQ(p[4095], 0x99);

}

TEST(DatHeaderPack, UnpackRestoresTheRecord)
{
    dat_header h = fresh();
    std::vector<uint8_t> raw(sizeof h);
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(i * 37 + 11);
    std::memcpy(&h, raw.data(), sizeof h);
    packed p = pack(h);
    dat_header back;
    dat_header_unpack(p, back);
    // Compare field by field through the packed form (the record's alignment gaps carry nothing).
    EXPECT_EQ(pack(back), p);
    EXPECT_EQ(back.time_stamp, h.time_stamp);
    EXPECT_EQ(back.coords_state, h.coords_state);
    EXPECT_EQ(std::memcmp(back.format3_area, h.format3_area, sizeof h.format3_area), 0);
    EXPECT_EQ(std::memcmp(back.record_tail, h.record_tail, 2), 0);
}

TEST(DatLayout, TableCarriesTheTrailerKeys)
{
    int keyed = 0;
    for (const dat_field& f : dat_layout())
        keyed += f.key != nullptr;
    // The trailer's keys in their written order; one line is sys_serial2 or sys_serial.
    const std::vector<std::string> trailer = {
        "magic_number", "header_format", "header_size", "swinfo.type", "swinfo.date",
        "swinfo.vers.maj", "swinfo.vers.min", "swinfo.vers.bug", "cn_org_x", "cn_org_y",
        "cn_width", "cn_height", "cn_n_bytes", "time_stamp", "comment", "source",
        "intf_scale_factor", "wavelength_in", "num_aperture", "obliquity_factor", "magnification",
        "lateral_res", "acq_type", "intens_avg_cnt", "ramp_cal", "sfac_limit", "ramp_gain",
        "part_thickness", "sw_llc", "target_range", "min_mod", "min_mod_count", "phase_res",
        "min_area", "discon_action", "discon_filter", "connect_order", "sign", "camera_width",
        "camera_height", "sys_type", "sys_board", "sys_serial2", "sys_serial", "inst_id",
        "obj_name", "part_name", "codev_type", "phase_avg_cnt", "sub_sys_err",
        "sys_err_file_name", "part_ser_num", "refractive_index", "rem_tilt_bias", "rem_fringes",
        "rem_fringes_mode", "max_area", "setup_type", "wrapped", "pre_connect_filter",
        "wavelength_in_2", "wavelength_fold", "wavelength_in_1", "wavelength_in_3",
        "wavelength_in_4", "wavelen_select", "fda_res", "scan_descr", "n_fiducials_a",
        "fiducials_a[ 0]", "fiducials_a[ 1]", "fiducials_a[ 2]", "fiducials_a[ 3]",
        "fiducials_a[ 4]", "fiducials_a[ 5]", "fiducials_a[ 6]", "fiducials_a[ 7]",
        "fiducials_a[ 8]", "fiducials_a[ 9]", "fiducials_a[10]", "fiducials_a[11]",
        "fiducials_a[12]", "fiducials_a[13]", "pixel_width", "pixel_height", "exit_pupil_diam",
        "light_level_pct", "coords_state", "coords.x_pos", "coords.y_pos", "coords.z_pos",
        "coords.x_rot", "coords.y_rot", "coords.z_rot", "coherence_mode", "surface_filter"};
    for (const std::string& key : trailer) {
        const dat_field* k = dat_field_by_key(key);
        ASSERT_NE(k, nullptr) << key;
        EXPECT_NE(k->type, dat_type::reserved) << key;
    }
    EXPECT_EQ(keyed, static_cast<int>(trailer.size()));

    const dat_field* f = dat_field_by_key("fiducials_a[ 3]");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->offset, 442);
    EXPECT_EQ(f->type, dat_type::f32);
    EXPECT_EQ(std::string(f->name), "fiducials_a[3]");
    f = dat_field_by_key("fiducials_a[13]");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->offset, 482);

    f = dat_field_by_key("swinfo.date");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->type, dat_type::text);
    EXPECT_EQ(f->size, 30);
    f = dat_field_by_key("coords.z_rot");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->order, dat_order::little);
    EXPECT_EQ(f->offset, 526);
    f = dat_field_by_key("sys_serial2");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->type, dat_type::i32);
    EXPECT_EQ(f->order, dat_order::little);
    f = dat_field_by_key("magic_number");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->type, dat_type::u32);

    EXPECT_EQ(dat_field_by_key("in_width"), nullptr);
    EXPECT_EQ(dat_field_by_key("in_n_bytes"), nullptr);
    EXPECT_EQ(dat_field_by_key("unnamed_816"), nullptr);
    EXPECT_EQ(dat_field_by_key("reserved_208"), nullptr);
    EXPECT_EQ(dat_field_by_key("Wavelength_in"), nullptr);
    EXPECT_EQ(dat_field_by_key("fiducials_a[3]"), nullptr);
}

TEST(DatLayout, AccessorsReachTheMembers)
{
    dat_header h = fresh();
    const dat_field* f = dat_field_by_key("camera_width");
    dat_field_set_int(&h, *f, 0x12345);  // low 16 bits
    EXPECT_EQ(h.camera_width, 0x2345);
    EXPECT_EQ(dat_field_get_int(&h, *f), 0x2345);
    h.sign = -1;
    EXPECT_EQ(dat_field_get_int(&h, *dat_field_by_key("sign")), -1);
    f = dat_field_by_key("coords_state");
    dat_field_set_int(&h, *f, 4294967295LL);
    EXPECT_EQ(h.coords_state, 0xFFFFFFFFu);
    EXPECT_EQ(dat_field_get_int(&h, *f), 4294967295LL);
    dat_field_set_int(&h, *dat_field_by_key("sys_serial2"), 70000);
    EXPECT_EQ(h.sys_serial2, 70000);
    EXPECT_EQ(h.sys_serial, 0);

    dat_field_set_float(&h, *dat_field_by_key("fiducials_a[ 5]"), 2.25f);
    EXPECT_EQ(h.fiducials_a[5], 2.25f);
    dat_field_set_float(&h, *dat_field_by_key("coords.y_rot"), NAN);
    EXPECT_TRUE(std::isnan(h.coords.y_rot));
    EXPECT_TRUE(std::isnan(dat_field_get_float(&h, *dat_field_by_key("coords.y_rot"))));

    f = dat_field_by_key("obj_name");
    dat_field_set_text(&h, *f, "ABC");
    EXPECT_STREQ(h.obj_name, "ABC");
    dat_field_set_text(&h, *f, "0123456789ABCDEF");  // cut at the field's 12 bytes
    EXPECT_EQ(std::string(h.obj_name, 12), "0123456789AB");
    EXPECT_EQ(h.part_name[0], 0);  // the next field is untouched
    EXPECT_EQ(dat_field_get_text(&h, *f), "0123456789AB");
    dat_field_set_text(&h, *f, "x");
    EXPECT_EQ(dat_field_get_text(&h, *f), "x");
    EXPECT_EQ(h.obj_name[11], 0);
}

// Allocation hooks that count calls and can fail.
int g_allocs = 0;
bool g_fail = false;
void* counting_alloc(std::size_t n)
{
    ++g_allocs;
    return g_fail ? nullptr : std::malloc(n);
}

class PhaseMapAlloc : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_allocs = 0;
        g_fail = false;
        u_hooks.alloc = counting_alloc;
    }
    void TearDown() override { u_hooks_reset(); }
};

TEST_F(PhaseMapAlloc, AllocatesThroughTheHooks)
{
    phase_map m{};
    m.width = 3;
    m.height = 2;
    m.count = 99;
    ASSERT_EQ(phase_map_alloc(&m), NO_ERROR);
    EXPECT_EQ(g_allocs, 1);
    ASSERT_NE(m.data, nullptr);
    EXPECT_EQ(m.count, 6u);
    for (int i = 0; i < 6; ++i)
        m.data[i] = i;  // the whole block is usable (ASan checks the size)
    u_free(m.data);
}

TEST_F(PhaseMapAlloc, EmptyOrNegativeGridIsOutOfRange)
{
    int32_t dummy = 0;
    for (auto [w, h] : {std::pair<int16_t, int16_t>{0, 5}, {5, 0}, {-1, 5}, {-32768, 1}}) {
        phase_map m{};
        m.width = w;
        m.height = h;
        m.count = 7;
        m.data = &dummy;
        EXPECT_EQ(phase_map_alloc(&m), ERR_PARAM_OUT_OF_RANGE) << w << "x" << h;
        EXPECT_EQ(m.data, nullptr);
        EXPECT_EQ(m.count, 0u);
    }
    EXPECT_EQ(g_allocs, 0);
    EXPECT_EQ(phase_map_alloc(nullptr), ERR_INVALID_PARAM);
}

TEST_F(PhaseMapAlloc, FailedAllocationIsNoMem)
{
    g_fail = true;
    phase_map m{};
    m.width = 100;
    m.height = 100;
    EXPECT_EQ(phase_map_alloc(&m), ERR_NO_MEM);
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.count, 0u);
}

TEST(MapClear, ZeroesEveryField)
{
    uint16_t v16 = 0;
    int32_t v32 = 0;
    intensity_map im{5, 1, 2, 3, 4, 5, 6, &v16};
    phase_map pm{5, 1, 2, 3, 4, &v32};
    map_clear(&im);
    map_clear(&pm);
    EXPECT_EQ(im.count, 0u);
    EXPECT_EQ(im.org_x | im.org_y | im.width | im.height | im.n_frames | im.aux, 0);
    EXPECT_EQ(im.data, nullptr);
    EXPECT_EQ(pm.count, 0u);
    EXPECT_EQ(pm.org_x | pm.org_y | pm.width | pm.height, 0);
    EXPECT_EQ(pm.data, nullptr);
    map_clear(static_cast<phase_map*>(nullptr));
    map_clear(static_cast<intensity_map*>(nullptr));
}

}  // namespace
