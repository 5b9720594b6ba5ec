// libFuzzer target: the camera bad pixel file reader on any file content, then the clean-up.
//
// Properties: the result is NO_ERROR, ERR_CB_FILE_INVALID or ERR_NO_MEM; a failure leaves a
// count of 0 and a report that names the file; a success holds at most 100 blocks whose pixels
// lie inside their block; after cleaning each list is strictly ordered by column, then row.
// Pixel lists may only grow with the number of lines in the input (the allocation guard).
// fuzz-run: corpus=bpix dict=bpix max_len=8192
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vell/acquisition/bpix.h"
#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string path = vpfuzz::scratch().file("bpix%d.dat");
    vpfuzz::put_file(path, data, size);
    vpfuzz::guard_allocations(size);

    std::vector<bpix_block> blocks(BPIX_MAX_BLOCKS + 1);
    blocks[BPIX_MAX_BLOCKS].grab_mode = 77;
    int32_t count = -1;
    std::string report;
    int32_t rc = bpix_read_file(path.c_str(), blocks.data(), &count, &report);
    VP_FUZZ_CHECK(rc == NO_ERROR || rc == ERR_CB_FILE_INVALID || rc == ERR_NO_MEM);
    VP_FUZZ_CHECK(blocks[BPIX_MAX_BLOCKS].grab_mode == 77 && blocks[BPIX_MAX_BLOCKS].pixels == nullptr);
    if (rc != NO_ERROR) {
        VP_FUZZ_CHECK(count == 0);
        VP_FUZZ_CHECK(report.rfind("Error reading bad pixel file \"" + path + "\"\r\n", 0) == 0);
        for (const bpix_block& b : blocks)
            VP_FUZZ_CHECK(b.pixels == nullptr);
        u_hooks_reset();
        return 0;
    }
    VP_FUZZ_CHECK(count >= 0 && count <= BPIX_MAX_BLOCKS && report.empty());
    for (int32_t i = 0; i < count; ++i) {
        const bpix_block& b = blocks[static_cast<std::size_t>(i)];
        VP_FUZZ_CHECK(b.grab_mode >= 0 && b.grab_mode <= 10 && b.size_x >= 0 && b.size_y >= 0);
        VP_FUZZ_CHECK(b.grab_rate >= 0.0 && b.grab_rate <= 500.0);
        VP_FUZZ_CHECK((b.num_pixels == 0) == (b.pixels == nullptr));
        for (int32_t p = 0; p < b.num_pixels; ++p)
            VP_FUZZ_CHECK(b.pixels[p].x >= 0 && b.pixels[p].x < b.size_x && b.pixels[p].y >= 0 &&
                          b.pixels[p].y < b.size_y && b.pixels[p].weight == 0.0f);
    }
    VP_FUZZ_CHECK(bpix_clean(blocks.data(), count) == NO_ERROR);
    for (int32_t i = 0; i < count; ++i) {
        const bpix_block& b = blocks[static_cast<std::size_t>(i)];
        for (int32_t p = 1; p < b.num_pixels; ++p)
            VP_FUZZ_CHECK(b.pixels[p - 1].x < b.pixels[p].x ||
                          (b.pixels[p - 1].x == b.pixels[p].x && b.pixels[p - 1].y < b.pixels[p].y));
    }
    bpix_free_blocks(blocks.data(), count);
    u_hooks_reset();
    return 0;
}
