// libFuzzer target: the CAN event pump on any sequence of PDOs and EMCYs, as the bus delivers
// them, for every instrument model.
//
// Input: byte 0 picks the model, byte 1 the turret type; then 12-byte messages (byte 0 bit 0:
// EMCY, else PDO; bytes 1-2 the COB-ID, little-endian, 11 bits; byte 3 the length; bytes 4-11
// the data). The pump runs after every fourth message and at the end.
//
// Properties: every EMCY comes out as one event record of type 2; a PDO gives at most four
// records, each with a known code, the PDO's COB-ID and length (at most 8) and its data, in
// PDO order; a
// model without decoders, or a COB-ID of no decoder's node, gives none.
// fuzz-run: corpus=can dict=can max_len=4096
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_events.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int32_t models[] = {SYS_MODEL10, SYS_MODEL12, SYS_MODEL15, SYS_MODEL23, SYS_MODEL25,
                              SYS_MODEL29, SYS_MODEL17, SYS_MODEL19, SYS_MODEL20, SYS_MODEL24,
                              SYS_MODEL26, SYS_MODEL28, SYS_MODEL30};

bool known_code(int32_t c)
{
    switch (c) {
    case 3: case 4: case 5: case 6: case 7: case 8: case 9: case 12: case 13: case 14: return true;
    default: return false;
    }
}

bool decoded_node(uint32_t node)
{
    return node == 63 || node == 64 || node == 68 || node == 72 || node == 73;
}

struct sent {
    uint32_t cobId;
    uint32_t length;
    uint8_t data[8];
};

// Takes the output queues and checks them against what was sent since the last check.
void check(const sent* pdos, std::size_t npdos, std::size_t emcys, bool decoding)
{
    can_process_events(sysinfo_slot(0));
    std::size_t events = 0;
    can_event_record e;
    while (can_take_event(&e)) {
        VP_FUZZ_CHECK(e.type == CAN_EVENT_TYPE_EMCY);
        ++events;
    }
    VP_FUZZ_CHECK(events == emcys);
    std::size_t at = 0;
    std::size_t records = 0;
    can_pd_event_record r;
    auto same = [&r](const sent& p) {
        return p.cobId == r.cobId && p.length == r.length && std::memcmp(r.data_lo, p.data, 4) == 0 &&
               std::memcmp(r.data_hi, p.data + 4, 4) == 0;
    };
    while (can_take_pd_event(&r)) {
        VP_FUZZ_CHECK(decoding && known_code(r.code));
        // Records come in PDO order: find the PDO this one belongs to.
        while (at < npdos && !same(pdos[at]))
            ++at;
        VP_FUZZ_CHECK(at < npdos);
        VP_FUZZ_CHECK(decoded_node(r.cobId & 0x7F) && r.length <= 8);
        VP_FUZZ_CHECK(++records <= 4 * npdos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    u_log_sink = &vpfuzz::formatting_sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    sysinfo_reset_all_slots();
    can_events_reset();
    SysInfo& info = *sysinfo_slot(0);
    info.instrBdType = BD_CAN;
    info.sysType = models[data[0] % std::size(models)];
    info.turret = data[1] % 3;
    const bool decoding = info.sysType != SYS_MODEL30;

    constexpr std::size_t batch = 4;
    sent pdos[batch];
    std::size_t npdos = 0, emcys = 0, messages = 0;
    for (std::size_t off = 2; off + 12 <= size; off += 12) {
        const uint8_t* m = data + off;
        if (m[0] & 1) {
            ReceiveEmcyHandler(static_cast<int32_t>(m[1]), static_cast<int32_t>(m[2]), m, m[3]);
            ++emcys;
        } else {
            sent& p = pdos[npdos++];
            p.cobId = static_cast<uint32_t>(m[1] | m[2] << 8) & 0x7FFu;
            p.length = m[3] > 8 ? 8 : m[3];
            std::memset(p.data, 0, sizeof p.data);
            std::memcpy(p.data, m + 4, p.length);
            can_pass_pdo(p.cobId, m[3], m + 4);
        }
        if (++messages % batch == 0) {
            check(pdos, npdos, emcys, decoding);
            npdos = emcys = 0;
        }
    }
    check(pdos, npdos, emcys, decoding);
    return 0;
}
