// libFuzzer target: the Metronics readout's answer line parser on any bytes.
//
// A success is a finite position taken from a line that holds a digit, only ASCII up to it; a
// failure is ERR_POS_INSTR_COMM with the position left at +infinity. The parser never reads past
// the line (the input is handed over in a block of exactly its size).
// fuzz-run: corpus=readout dict=readout max_len=128
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/posinstr/metronics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    u_log_sink = &u_log_none;
    std::unique_ptr<char[]> line(new char[size == 0 ? 1 : size]);
    if (size > 0)
        std::memcpy(line.get(), data, size);
    double position = 0;
    int32_t rc = metronics_parse_line(line.get(), size, &position);
    if (rc == NO_ERROR) {
        VP_FUZZ_CHECK(std::isfinite(position));
        bool digit = false;
        for (std::size_t i = 0; i < size && !digit; ++i) {
            VP_FUZZ_CHECK(data[i] < 128);
            digit = data[i] >= '0' && data[i] <= '9';
        }
        VP_FUZZ_CHECK(digit);
    } else {
        VP_FUZZ_CHECK(rc == ERR_POS_INSTR_COMM);
        VP_FUZZ_CHECK(std::isinf(position) && position > 0);
    }
    return 0;
}
