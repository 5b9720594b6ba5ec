// Written by dat_write_file, read back by dat_read_file: random headers (every byte of the
// packed record random, one of the three magic numbers) and random maps come back as they
// went out, the header byte for byte as far as the file carries it.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "vell/datafile/datafile.h"
#include "vell/datafile/reader.h"
#include "vell/platform/errors.h"
#include "tests/support/test_support.h"

namespace {

using packed_header = std::array<uint8_t, DAT_HEADER_PACKED_SIZE>;

packed_header packed(const dat_header& h)
{
    packed_header p{};
    dat_header_pack(h, p);
    return p;
}

TEST(DatReadWrite, RandomDatasetsComeBackAsWritten)
{
    std::mt19937 rng(2026);
    vptest::TempDir dir;
    const std::string path = dir.str("round.dat");
    const uint32_t magics[] = {DAT_MAGIC_FORMAT1, DAT_MAGIC_FORMAT2, DAT_MAGIC_FORMAT3};
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        packed_header raw;
        for (uint8_t& b : raw)
            b = static_cast<uint8_t>(rng());
        dat_header h;
        dat_header_unpack(raw, h);
        h.magic_number = magics[rng() % 3];

        bool with_intensity = rng() % 2 == 0;
        bool with_phase = !with_intensity || rng() % 3 != 0;
        std::vector<uint16_t> iv;
        intensity_map in{};
        if (with_intensity) {
            in.width = static_cast<int16_t>(1 + rng() % 20);
            in.height = static_cast<int16_t>(1 + rng() % 20);
            in.n_frames = static_cast<int16_t>(1 + rng() % 3);
            in.org_x = static_cast<int16_t>(rng());
            in.org_y = static_cast<int16_t>(rng());
            in.aux = static_cast<int16_t>(rng());
            iv.resize(std::size_t(in.width) * in.height * in.n_frames);
            for (uint16_t& v : iv)
                v = static_cast<uint16_t>(rng());
            in.count = static_cast<uint32_t>(iv.size());
            in.data = iv.data();
        }
        h.in_n_bytes = static_cast<int32_t>(iv.size() * 2);
        std::vector<int32_t> pv;
        phase_map cn{};
        if (with_phase) {
            cn.width = static_cast<int16_t>(1 + rng() % 30);
            cn.height = static_cast<int16_t>(1 + rng() % 30);
            cn.org_x = static_cast<int16_t>(rng());
            cn.org_y = static_cast<int16_t>(rng());
            pv.resize(std::size_t(cn.width) * cn.height);
            for (int32_t& v : pv)
                v = rng() % 7 == 0 ? DAT_INVALID_PHASE : static_cast<int32_t>(rng());
            cn.count = static_cast<uint32_t>(pv.size());
            cn.data = pv.data();
        }
        h.cn_width = cn.width;
        h.cn_height = cn.height;
        h.cn_n_bytes = static_cast<int32_t>(pv.size() * 4);
        ASSERT_EQ(dat_write_file(path.c_str(), &h, with_intensity ? &in : nullptr, with_phase ? &cn : nullptr),
                  NO_ERROR);

        // What the file should carry: the header with the maps' geometry, cut to its length.
        dat_header expected = h;
        expected.in_org_x = in.org_x;
        expected.in_org_y = in.org_y;
        expected.in_width = in.width;
        expected.in_height = in.height;
        expected.in_n_frames = in.n_frames;
        expected.in_aux = in.aux;
        expected.cn_org_x = cn.org_x;
        expected.cn_org_y = cn.org_y;
        packed_header want = packed(expected);
        std::size_t len = static_cast<std::size_t>(dat_header_size_for(h.magic_number));
        std::fill(want.begin() + static_cast<std::ptrdiff_t>(len), want.end(), 0);

        dat_header got;
        intensity_map rin;
        phase_map rcn;
        ASSERT_EQ(dat_read_file(path.c_str(), &got, &rin, &rcn), NO_ERROR);
        EXPECT_TRUE(packed(got) == want);
        ASSERT_EQ(rin.data != nullptr, with_intensity);
        ASSERT_EQ(rcn.data != nullptr, with_phase);
        if (with_intensity) {
            EXPECT_EQ(rin.width, in.width);
            EXPECT_EQ(rin.height, in.height);
            EXPECT_EQ(rin.n_frames, in.n_frames);
            EXPECT_EQ(rin.org_x, in.org_x);
            EXPECT_EQ(rin.org_y, in.org_y);
            EXPECT_EQ(rin.aux, in.aux);
            EXPECT_EQ(std::vector<uint16_t>(rin.data, rin.data + rin.count), iv);
        }
        if (with_phase) {
            EXPECT_EQ(rcn.width, cn.width);
            EXPECT_EQ(rcn.height, cn.height);
            EXPECT_EQ(rcn.org_x, cn.org_x);
            EXPECT_EQ(rcn.org_y, cn.org_y);
            EXPECT_EQ(std::vector<int32_t>(rcn.data, rcn.data + rcn.count), pv);
        }
        dat_release_maps(&rin, &rcn);
    }
}

}  // namespace
