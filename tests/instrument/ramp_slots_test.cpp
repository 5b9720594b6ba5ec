// The ramp set and the instrument's ramp slots against the virtual instrument (boards on
// virtual ports, the virtual CAN bridge, a board-5 ramp memory, the wave monitor), on the
// virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "vell/can/can_bus.h"
#include "vell/can/can_ops.h"
#include "vell/can/can_sdo.h"
#include "vell/instrument/ramp_slots.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/ramps/ramp_set.h"
#include "vell/serial/board_ramps.h"
#include "vell/serial/devctl.h"
#include "vell/serial/wavemon.h"
#include "vell/sim/board_device.h"
#include "vell/sim/canbridge/vcan_bridge.h"
#include "vell/sim/canbridge/vcan_nodes.h"
#include "vell/sim/wavemon_device.h"
#include "tests/instrument/instrument_fixture.h"

namespace {

using fault = sim::board_device::fault;
constexpr int32_t PIFOC_SN = 77;
constexpr int32_t PZT_SN = 55;

std::vector<uint16_t> samples_of(int32_t n)
{
    std::vector<uint16_t> s(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<uint16_t>(50 * i);
    return s;
}

// A SWLI ramp for the PIFOC (or, pmi, a 5-bucket PMI ramp for the PZT) of n samples at 2 kHz.
void write_ramp(const std::string& path, int32_t n, bool pmi)
{
    rr_ramp_hdr_t h{};
    h.rampType = pmi ? RR_PMI : RR_SWLI;
    h.pztID = pmi ? PZT_SN : PIFOC_SN;
    h.nPoints = n;
    h.sampleClkFreq = 2;
    h.updateRate = 65536 - 2000;
    h.cameraRate = 100;
    h.rampSlope = pmi ? 0 : 81;
    h.trigStartAddr = n / 10;
    h.trigEndAddr = n - n / 10;
    h.scanLen = pmi ? 0 : 10;
    h.offset = 50 * (n / 3);
    h.scanDir = 1;
    h.nBuckets = 5;
    h.fringesPerFrame = 0.25f;
    h.rampGainDflt = 1000;
    h.rampTriple[0] = 1, h.rampTriple[1] = 0.5f, h.rampTriple[2] = 0.25f;
    const std::vector<uint16_t> s = samples_of(n);
    ASSERT_EQ(rr_write_ramp_file(path.c_str(), &h, s.data()), NO_ERROR);
}

class RampSlots : public vptest::InstrumentTest {
protected:
    void SetUp() override
    {
        InstrumentTest::SetUp();
        clock_ = std::make_unique<u_virtual_clock>(0);
        sysinfo_reset_runtime_all();
        si = sysinfo_slot(0);
        si->sysType = SYS_MODEL05;
        si->serialNum = PZT_SN;
        ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
        si->pifoc->value = PIFOC_SN;
        set = rr_instr_ramps(si);
    }
    void TearDown() override
    {
        os::set_env("KEEP_RAMPS_LOADED_IN_INSTR", nullptr);
        sysinfo_reset_runtime_all();
        rr_set_model13_ramp_ops(nullptr);
        clock_.reset();
        InstrumentTest::TearDown();
    }
    std::string ramp_path(const std::string& name) const { return std::string(u_ramps_dir()) + os::path_separator + name; }
    // Two ramp files and a configuration of `lines` (SWLI, PMI, SWLI, ...), n samples each.
    void config(int lines, int32_t n)
    {
        write_ramp(ramp_path("d10.b77"), n, false);
        write_ramp(ramp_path("p5.p55"), n, true);
        std::ofstream f(ramp_path("rampcfg.txt"));
        for (int i = 0; i < lines; ++i)
            f << (i % 2 ? "PMI p5.p55 0 100 0 0 0.25 0 0 0\n" : "SWLI d10.b77 10 100 0 0 0.25 81 0 1.0\n");
    }
    std::unique_ptr<u_virtual_clock> clock_;
    sysInfo* si = nullptr;
    rr_instr_ramps_t* set = nullptr;
};

// ---- the serial boards ----

class SerialRamps : public RampSlots, public ::testing::WithParamInterface<int32_t> {
protected:
    void SetUp() override
    {
        RampSlots::SetUp();
        ASSERT_EQ(dev_init_cntrl(true), NO_ERROR);
        board_type = GetParam();
        si->instrBdType = board_type;
        ASSERT_EQ(sim::board_device::create("COM3", board_type, &device), NO_ERROR);
        si->instrComm.assign("COM3");
        b = ur_board_slot(0);
        ASSERT_EQ(ur_initUZ(b), NO_ERROR);
    }
    void TearDown() override
    {
        ur_closeUZ(b);
        device.reset();
        dev_release_cntrl();
        RampSlots::TearDown();
    }
    // The command names of the frames received from `from` on.
    std::vector<std::string> names(std::size_t from = 0) const
    {
        std::vector<std::string> out;
        const auto frames = device->frames();
        for (std::size_t i = from; i < frames.size(); ++i) {
            const ur_cmd* c = ur_cmd_find(board_type, static_cast<uint8_t>(frames[i].bytes[1]));
            out.push_back(c != nullptr ? c->name : "?");
        }
        return out;
    }
    std::size_t count(const std::string& name, std::size_t from = 0) const
    {
        std::size_t n = 0;
        for (const std::string& s : names(from))
            n += s == name;
        return n;
    }
    int32_t board_type = 0;
    std::unique_ptr<sim::board_device> device;
    ur_board* b = nullptr;
};

TEST_P(SerialRamps, BuildLoadStartWaitUnload)
{
    config(2, 1100);
    const int32_t slots = board_type == BD_BOARD01 || board_type == BD_FTP ? 12 : 4;
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    EXPECT_NE(log_.str().find("Ramp data sets:\n    2 Total\n    2 Loaded\n    0 Derived\n    1 SWLI\n"
                              "    0 BTW\n    1 PMI\n"),
              std::string::npos);
    EXPECT_EQ(count("RAMP_DELETE"), static_cast<std::size_t>(slots));  // every slot emptied
    ASSERT_EQ(set->ramps.size(), 2u);
    EXPECT_EQ(set->ramps[1].hdr.rampID, 2);

    std::size_t mark = device->frames().size();
    ASSERT_EQ(rr_load_ramp(si, 0), NO_ERROR);
    EXPECT_EQ(names(mark), (std::vector<std::string>{"RAMP_LOAD", "RAMP_DATA", "RAMP_DATA", "RAMP_DATA", "RAMP_COMPLETE"}));
    const auto frames = device->frames();
    EXPECT_EQ(frames[mark + 3].bytes.size(), 4u + 2 * 76 + 1);  // 512, 512, then the 76 left
    ASSERT_EQ(device->ramps().count(0), 1u);
    EXPECT_EQ(device->ramps().at(0).words, samples_of(1100));
    EXPECT_EQ(device->ramps().at(0).rampID(), 1);
    EXPECT_EQ(set->ramps[0].slot, 0);
    EXPECT_EQ(set->slotMap[0], 1);
    mark = device->frames().size();
    ASSERT_EQ(rr_load_ramp(si, 0), NO_ERROR);  // already in its slot: nothing sent
    EXPECT_EQ(device->frames().size(), mark);

    // 1100 samples at 2 kHz play for 550 ms; the wait asks every 50 ms. The camera now runs at
    // the rate the ramp was made for.
    EXPECT_EQ(si->cameraRate.load(), 0.0f);
    ASSERT_EQ(rr_ramp_start_index(si, 0), NO_ERROR);
    EXPECT_EQ(si->cameraRate.load(), set->ramps[0].hdr.cameraRate);
    uint64_t t0 = u_now_ms();
    ASSERT_EQ(rr_ramp_wait(si, 2), NO_ERROR);
    EXPECT_GE(u_now_ms() - t0, 550u);
    EXPECT_LT(u_now_ms() - t0, 600u);

    // A ramp that never ends: 20 questions a second, then the I/O write that stops it.
    device->set_ramp_play_ms(3600000);
    ASSERT_EQ(rr_ramp_start_slot(si, 0), NO_ERROR);
    mark = device->frames().size();
    log_.clear();
    t0 = u_now_ms();
    EXPECT_EQ(rr_ramp_wait(si, 1), ERR_RAMP_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 1000u);
    EXPECT_EQ(count("RAMP_IDLE", mark), 20u);
    const std::string io = device->frames().back().bytes;
    EXPECT_EQ(names(device->frames().size() - 1).front(), "WRITE_IO");
    EXPECT_EQ(io.substr(2, 3), std::string("\x10\x90\xFF", 3));
    EXPECT_EQ(log_.str(), "rr_ramp_wait failed: ERR_RAMP_WAIT_TIMEOUT\n");

    // The gain of the PMI ramp on the normal amplifier, zeros on the large-aperture one.
    set->curRamp = 1;
    mark = device->frames().size();
    ASSERT_EQ(rr_setRampGain(si, 1000), NO_ERROR);
    std::vector<int> dac;
    const auto gain_frames = device->frames();
    for (std::size_t i = mark; i < gain_frames.size(); ++i) {
        const std::string& f = gain_frames[i].bytes;
        dac.push_back(static_cast<uint8_t>(f[2]) << 8 | static_cast<uint8_t>(f[3]));
    }
    EXPECT_EQ(dac, (std::vector<int>{1000, 1 << 12 | 500, 2 << 12 | 250, 3 << 12, 4 << 12, 5 << 12}));
    EXPECT_EQ(set->ramps[1].defaultGain, 1000);

    // A slope change: boards 1 and 7 of a revision above 11 take the new rate in the slot,
    // the others lose the ramp until it is loaded again.
    si->instrBdSwVersion = 12;
    mark = device->frames().size();
    ASSERT_EQ(rr_adjust_ramp_slope(si, 0, 2.0), NO_ERROR);
    EXPECT_EQ(set->ramps[0].hdr.updateRate, 65536 - 1000);
    const bool rewrites = board_type == BD_BOARD01 || board_type == BD_FTP;
    EXPECT_EQ(names(mark), std::vector<std::string>{rewrites ? "RAMP_UPDATERATE" : "RAMP_DELETE"});
    EXPECT_EQ(set->ramps[0].slot, rewrites ? 0 : 255);
    if (rewrites) {
        ASSERT_EQ(rr_ramp_delete(si, 0), NO_ERROR);
    }
    EXPECT_EQ(device->ramps().count(0), 0u);
}

TEST_P(SerialRamps, GainCaps)
{
    config(2, 100);
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    struct row {
        int32_t index, gain, rc;
        const char* message;
    } rows[] = {
        {1, 4095, NO_ERROR, ""},
        {1, 4096, ERR_PARAM_OUT_OF_RANGE, "rr_setRampGain: g[0]=4096 is out of range [0,4095]  gain=4096  t[0]=1.000\n"},
        {0, -1, ERR_PARAM_OUT_OF_RANGE, "rr_setRampGain: g[0]=-1 is out of range [0,4095]  gain=-1  t[0]=1.000\n"},
    };
    for (const row& w : rows) {
        set->curRamp = w.index;
        log_.clear();
        const std::size_t mark = device->frames().size();
        EXPECT_EQ(rr_setRampGain(si, w.gain), w.rc) << w.gain;
        EXPECT_EQ(log_.str(), w.message);
        EXPECT_EQ(device->frames().size() == mark, w.rc != NO_ERROR);  // nothing sent on failure
    }
    set->ramps[0].hdr.rampMux = 1;  // the large aperture, which this instrument lacks
    si->lapsPresent = 0;
    EXPECT_EQ(rr_setRampGain(si, 10), ERR_INVALID_PARAM);
}

INSTANTIATE_TEST_SUITE_P(Boards, SerialRamps, ::testing::Values(BD_BOARD01, BD_HXI, BD_MODEL31, BD_FTP));

class Board01Ramps : public SerialRamps {};

TEST_P(Board01Ramps, TooManyEntriesAndEviction)
{
    config(300, 100);
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    EXPECT_NE(log_.str().find("Ramp config warning: too many ramp config entries, ignoring entries 255 to 300\n"),
              std::string::npos);
    ASSERT_EQ(set->ramps.size(), 254u);
    for (int32_t i = 0; i < 12; ++i)
        ASSERT_EQ(rr_load_ramp(si, i), NO_ERROR);
    // Twelve full slots, none started: the first ramp in set order gives way.
    ASSERT_EQ(rr_load_ramp(si, 12), NO_ERROR);
    EXPECT_EQ(set->ramps[0].slot, 255);
    EXPECT_EQ(set->ramps[12].slot, 0);
    EXPECT_EQ(set->slotMap[0], 13);
    EXPECT_EQ(device->ramps().at(0).rampID(), 13);
    // Every holder started this very second: no victim, and no slot taken.
    for (rr_ramp_t& r : set->ramps)
        r.startStamp = u_wall_s();
    log_.clear();
    EXPECT_EQ(rr_load_ramp(si, 13), ERR_RAMP_LOAD);
    EXPECT_EQ(log_.str(), "rr_load_ramp failed: ERR_RAMP_LOAD\n");
    EXPECT_EQ(set->ramps[13].slot, 255);
}

TEST_P(Board01Ramps, BlocksAreResentOnce)
{
    config(1, 1100);
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    struct row {
        const char* what;
        std::vector<fault> faults;  // for the answers from the header's on
        int32_t rc;
        std::size_t data_frames;
        bool deleted;
    } rows[] = {
        {"garbled once", {fault::late, fault::wrong_echo}, NO_ERROR, 4, false},
        {"garbled twice", {fault::late, fault::wrong_echo, fault::wrong_echo}, ERR_UZ_RECV_FAILED, 2, true},
        {"no answer", {fault::late, fault::silent}, ERR_UZ_RECV_TIMEOUT, 1, true},
    };
    for (const row& w : rows) {
        ASSERT_EQ(rr_ramp_delete(si, 0), NO_ERROR);
        set->ramps[0].slot = 255;
        set->slotMap[0] = 255;
        for (fault f : w.faults)
            device->script(f, 0);
        const std::size_t mark = device->frames().size();
        EXPECT_EQ(rr_load_ramp(si, 0), w.rc) << w.what;
        EXPECT_EQ(count("RAMP_DATA", mark), w.data_frames) << w.what;
        EXPECT_EQ(names(mark).back(), w.deleted ? "RAMP_DELETE" : "RAMP_COMPLETE") << w.what;
        EXPECT_EQ(set->ramps[0].slot, w.deleted ? 255 : 0) << w.what;
        EXPECT_EQ(device->ramps().count(0), w.deleted ? 0u : 1u) << w.what;
    }
}

TEST_P(Board01Ramps, KeepLoadedRamps)
{
    config(3, 100);
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    ASSERT_EQ(rr_load_ramp(si, 0), NO_ERROR);
    ASSERT_EQ(rr_load_ramp(si, 1), NO_ERROR);
    config(1, 100);  // the new set has only rampID 1
    ASSERT_TRUE(os::set_env("KEEP_RAMPS_LOADED_IN_INSTR", "1"));
    log_.clear();
    const std::size_t mark = device->frames().size();
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    EXPECT_NE(log_.str().find("Found env var KEEP_RAMPS_LOADED_IN_INSTR\n"), std::string::npos);
    EXPECT_NE(log_.str().find("Ramp ID 1 already loaded in instr\n"), std::string::npos);
    EXPECT_EQ(names(mark), (std::vector<std::string>{"RAMP_REQUEST", "RAMP_DELETE"}));  // rampID 2 goes
    EXPECT_EQ(set->ramps[0].slot, 0);
    EXPECT_EQ(set->slotMap[0], 1);
    EXPECT_EQ(set->slotMap[1], 255);
    EXPECT_EQ(device->ramps().count(1), 0u);
    // The board does not answer the table: the set stands with empty slots.
    device->script(fault::silent, 0);
    log_.clear();
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    EXPECT_NE(log_.str().find("uz_ramp_request failed: ERR_UZ_RECV_TIMEOUT\n"), std::string::npos);
    EXPECT_EQ(set->ramps[0].slot, 255);
}

INSTANTIATE_TEST_SUITE_P(Board01, Board01Ramps, ::testing::Values(BD_BOARD01));

// ---- building the set without slots (board type 5) ----

TEST_F(RampSlots, DirectoryModeFiltersAndSorts)
{
    si->instrBdType = BD_MODEL13;
    write_ramp(ramp_path("p5.p55"), 100, true);
    write_ramp(ramp_path("d10.b77"), 100, false);
    write_ramp(ramp_path("p5.p56"), 100, true);    // another PZT
    write_ramp(ramp_path(".d10.b77"), 100, false);  // hidden
    write_ramp(ramp_path("d10.b77x"), 100, false);  // not a serial number
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    EXPECT_NE(log_.str().find("Cannot access ramp config file \"rampcfg.txt\"\nChecking all files in ramp directory\n"
                              "Loaded ramp file \"d10.b77\"\nLoaded ramp file \"p5.p55\"\n"),
              std::string::npos);
    ASSERT_EQ(set->ramps.size(), 2u);
    EXPECT_FALSE(set->fromConfig);
    // By sort key: the PMI ramp's 5 buckets / 100 before the SWLI ramp's 10 - 64 x 81 / 1000.
    EXPECT_EQ(set->ramps[0].name, "p5.p55");
    EXPECT_EQ(set->ramps[0].hdr.rampID, 2);
    EXPECT_NEAR(set->ramps[1].sortKey, 10 - 64 * 0.081, 1e-6);
    EXPECT_EQ(set->ramps[1].dirCode, 2);
    EXPECT_EQ(set->ramps[1].duration, 50);
}

TEST_F(RampSlots, ConfigEntriesThatFail)
{
    si->instrBdType = BD_MODEL13;
    write_ramp(ramp_path("d10.b77"), 100, false);
    std::ofstream(ramp_path("rampcfg.txt")) << "SWLI + 5 100 0 0 0.25 81 0 1.0\n"
                                               "SWLI d10.b* 10 100 0 0 0.25 81 0 1.0 1\n"
                                               "SWLI + 5 100 0 0 0.25 81 0 1.0\n"
                                               "SWLI gone.b77 10 100 0 0 0.25 81 0 1.0\n"
                                               "SWLI + 5 100 0 0 0.25 81 0 1.0\n"
                                               "SWLI d10.b77 10 25 0 0 0.25 81 0 1.0\n"
                                               "SWLI extprofile1.bn 10 100 0 0 0.25 81 0 1.0\n";
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    const std::string text = log_.str();
    for (const char* line : {"Ramp config error: no loaded ramp data from which to derive config ramp 1\n",
                             "Ramp config error reading ramp data file \"gone.b77\": ERR_CANT_OPEN_FILE\n",
                             "Ramp config error: no loaded ramp data from which to derive config ramp 5\n",
                             "Ramp config error: values not consistent with ramp data file \"d10.b77\"\n",
                             "Ramp config error: ramp 7 \"extprofile1.bn\" is invalid for this instrument\n",
                             "    2 Total\n    1 Loaded\n    1 Derived\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    ASSERT_EQ(set->ramps.size(), 2u);
    EXPECT_TRUE(set->fromConfig);
    EXPECT_EQ(set->ramps[0].name, "d10.b*");
    EXPECT_EQ(set->ramps[0].hide, 1);
    EXPECT_EQ(set->ramps[1].name, "+d10.b*");
    EXPECT_EQ(set->ramps[1].hdr.rampID, 2);
    EXPECT_FLOAT_EQ(set->ramps[1].hdr.scanLen, 5);
}

// ---- board type 5 through the host's ramp memory ----

TEST_F(RampSlots, Model13HostRampMemory)
{
    sim::model13_ramps::reset();
    const rr_model13_ramp_ops ops{sim::model13_ramps::load, sim::model13_ramps::start, sim::model13_ramps::idle};
    rr_set_model13_ramp_ops(&ops);
    si->instrBdType = BD_MODEL13;
    config(2, 1100);
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    set->curRamp = 1;
    log_.clear();
    EXPECT_EQ(rr_setRampGain(si, 100), ERR_INVALID_PARAM);
    EXPECT_EQ(log_.str(), "rr_setRampGain: ramp not loaded\n");
    ASSERT_EQ(rr_load_ramp(si, 1), NO_ERROR);
    EXPECT_EQ(sim::model13_ramps::memory().ramps().at(0).words, samples_of(1100));
    ASSERT_EQ(rr_ramp_start_index(si, 1), NO_ERROR);
    // A new gain waits for the running ramp (550 ms), then loads the ramp again with it.
    const uint64_t t0 = u_now_ms();
    ASSERT_EQ(rr_setRampGain(si, 1500), NO_ERROR);
    EXPECT_EQ(u_now_ms() - t0, 550u);
    EXPECT_EQ(rr_setRampGain(si, 1500), NO_ERROR);  // unchanged: nothing to do
    EXPECT_EQ(sim::model13_ramps::gains(), (std::vector<int32_t>{1000, 1500}));
    EXPECT_EQ(set->ramps[1].defaultGain, 1500);
    EXPECT_EQ(rr_ramp_delete(si, 0), NO_ERROR);  // board 5 deletes nothing
    EXPECT_EQ(sim::model13_ramps::memory().ramps().count(0), 1u);
}

// ---- the CAN board's PZT ramp node ----

class CanRamps : public RampSlots {
protected:
    void SetUp() override
    {
        RampSlots::SetUp();
        vcan::reset();
        can_bus_use(vcan::table(), vcan::version_high);
        vcan::bridge_info bridge;
        vcan::add_bridge(bridge);
        uint32_t address = 0;
        std::memcpy(&address, bridge.ip, 4);
        ASSERT_EQ(can_bus().CAN_Connect(address), CAN_OK);
        vcan::set_node(62);
        vcan::install_pzt_node(62, 1100);
        vcan::ramp_generator(62, 550);
        can_avail(si)->canTriplePztAvail = true;
        si->instrBdType = BD_CAN;
        si->sysType = SYS_MODEL17;
        si->pifoc.reset();
    }
    void TearDown() override
    {
        vcan::reset();
        can_bus_unload();
        sysinfo_reset_runtime_all();
        RampSlots::TearDown();
    }
};

TEST_F(CanRamps, PztRampNodeCycle)
{
    config(2, 1100);
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    // Without a PIFOC the SWLI entry is refused; the PMI ramp stands alone.
    EXPECT_NE(log_.str().find("Ramp config error: ramp 1 can only be used with a PIFOC\n"), std::string::npos);
    ASSERT_EQ(set->ramps.size(), 1u);
    vcan::clear_calls();
    EXPECT_EQ(rr_ramp_start_slot(si, 2), ERR_PARAM_OUT_OF_RANGE);  // nobody holds slot 2
    EXPECT_TRUE(vcan::calls().empty());
    ASSERT_EQ(rr_load_ramp(si, 0), NO_ERROR);
    const std::vector<uint8_t> data = vcan::object(62, 0x2003, 5);
    ASSERT_EQ(data.size(), 2200u);
    EXPECT_EQ(data[2 * 1099] | data[2 * 1099 + 1] << 8, 50 * 1099);
    ASSERT_EQ(rr_ramp_start_slot(si, 0), NO_ERROR);
    EXPECT_EQ(set->ramps[0].startStamp, u_wall_s());
    uint64_t t0 = u_now_ms();
    ASSERT_EQ(rr_ramp_wait(si, 1), NO_ERROR);
    EXPECT_EQ(u_now_ms() - t0, 550u);
    // Gains x 4 on the node, capped at 16383.
    ASSERT_EQ(rr_setRampGain(si, 4095), NO_ERROR);
    const std::vector<uint8_t> g1 = vcan::object(62, 0x2003, 6);
    EXPECT_EQ(g1[0] | g1[1] << 8, 16380);
    log_.clear();
    EXPECT_EQ(rr_setRampGain(si, 4096), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log_.str(), "rr_setRampGain: g[0]=16384 is out of range [0,16383]  gain=4096  t[0]=1.000\n");
    EXPECT_EQ(rr_adjust_ramp_slope(si, 0, 1.5), ERR_INVALID_PARAM);  // PMI
    ASSERT_EQ(rr_ramp_start_index(si, 0), NO_ERROR);
    t0 = u_now_ms();
    EXPECT_EQ(rr_ramp_wait(si, 0), ERR_RAMP_WAIT_TIMEOUT);  // one question only
    EXPECT_EQ(u_now_ms() - t0, 50u);
}

TEST_F(CanRamps, ExternalProfileCheckedAgainstThePiController)
{
    vcan::set_node(127);
    vcan::install_bridge_node(true);
    si->sysType = SYS_MODEL15;
    ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
    si->pifoc->value = PIFOC_SN;
    si->pifoc->type = 1;
    ASSERT_EQ(sysinfo_ensure_can_info(*si), NO_ERROR);
    si->canInfo->fwMajor = 7;
    si->canInfo->fwMinor = 3;
    std::ofstream(ramp_path("rampcfg.txt")) << "SWLI extprofile2.bx 10 100 0 0 0.25 81 0 1.0\n";
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    ASSERT_EQ(set->ramps.size(), 1u);
    EXPECT_EQ(set->ramps[0].slot, 2);  // held by the controller under its index
    // Mid-scan: 5 um at 81 nm per frame and 100 frames a second.
    EXPECT_NEAR(set->ramps[0].offsetCrossTime, 5 / 0.081 / 100, 1e-9);
    struct row {
        float amplitude, velocity;
        int32_t rc;
        const char* message;
    } rows[] = {
        {10.9f, 8.1f, NO_ERROR, ""},
        {11.5f, 8.1f, ERR_MISMATCHED_PI_DIG_RAMP_PARAMS,
         "PI ramp extprofile2.bx amplitude = 11.5, expected 10 um\n"
         "rr_load_ramp failed: ERR_MISMATCHED_PI_DIG_RAMP_PARAMS\n"},
        {10.0f, -8.1f, ERR_MISMATCHED_PI_DIG_RAMP_PARAMS,
         "PI ramp extprofile2.bx velocity = -8.1, expected 8.1 nm/s\n"
         "rr_load_ramp failed: ERR_MISMATCHED_PI_DIG_RAMP_PARAMS\n"},
    };
    for (const row& w : rows) {
        vcan::pi_scanner({0.0f, w.amplitude}, {0.0f, w.velocity}, 0);
        log_.clear();
        EXPECT_EQ(rr_load_ramp(si, 0), w.rc);
        EXPECT_EQ(log_.str(), w.message);
    }
    set->ramps[0].startStamp = 1;  // started once: no longer checked
    EXPECT_EQ(rr_load_ramp(si, 0), NO_ERROR);
}

// ---- the wave monitor's tuning ramp ----

TEST(WaveMonitorLimits, CheckedInOrder)
{
    const wm_ramp_limits limits{100.0, 50.0, 2.0};
    struct row {
        double range, rate;
        int32_t buckets, rc;
        const char* message;
    } rows[] = {
        {200, 500, 5000, ERR_WM_TUNE_RANGE_TOO_LARGE, "wm: req_range = 200 too large\n"},
        {100.001, 60, 5000, ERR_WM_TUNE_RANGE_TOO_LARGE, "wm: req_rate = 60 too fast\n"},
        {100, 50, 3801, ERR_WM_NUM_BUCKETS_TOO_LARGE, "wm: req_buckets = 3801 is too big\n"},
        {100, 2.0005, 3800, ERR_WM_TUNE_RATE_TOO_SLOW, "wm: req_rate = 2.0005 is too slow\n"},
        {100, 2.002, 3800, NO_ERROR, ""},
    };
    for (const row& w : rows) {
        vptest::LogCapture log;
        EXPECT_EQ(wm_verify_ramp_in_limits("wm", w.range, w.rate, w.buckets, limits), w.rc) << w.message;
        EXPECT_EQ(log.str(), w.message);
    }
}

TEST_F(RampSlots, TunedLaserGainGoesToTheWaveMonitor)
{
    std::unique_ptr<sim::wavemon_device> wm;
    ASSERT_EQ(sim::wavemon_device::create("COM5", &wm), NO_ERROR);
    ASSERT_EQ(wm_comm_open_fd(&wm_slot(0)->link, "COM5"), NO_ERROR);
    si->instrBdType = BD_HXI;
    si->sysType = SYS_MODEL34;
    si->wmSysGain = 1.5f;
    si->wmTuneRange[0] = 1e9;
    si->wmTuneRate[0] = 1e9;
    si->wmTuneRate[1] = 0;
    config(1, 100);
    si->instrBdType = BD_MODEL13;  // no board link needed to build the set
    ASSERT_EQ(rr_get_ramp_info(si), NO_ERROR);
    si->instrBdType = BD_HXI;
    ASSERT_EQ(rr_setRampGain(si, 4), NO_ERROR);
    EXPECT_EQ(set->wmRampAnswer[0], 6);  // 4 x 1.5
    EXPECT_EQ(set->wmRampAnswer[1], 5);  // the ramp's buckets
    si->wmTuneRange[0] = 5e6;
    log_.clear();
    EXPECT_EQ(rr_setRampGain(si, 4), ERR_WM_TUNE_RANGE_TOO_LARGE);
    EXPECT_EQ(log_.str(), "wm_verify_ramp_in_limits: req_range = 6e+06 too large\n");
    sysinfo_reset_runtime_all();
}

}  // namespace
