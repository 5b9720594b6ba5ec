// Edge cases of CAN power-on, off, status and reset on the virtual instrument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vell/platform/event.h"
#include "vell/ramps/ramp_set.h"
#include "tests/instrument/can_inst_fixture.h"

namespace {

using caninst::CanInst;

constexpr char kStamp[] = "2033-05-18 03:33:20 ";

std::string stamped(const std::string& line) { return kStamp + line; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(CanInst, RefusalsBeforeAnyLibraryCall)
{
    struct {
        const char* name;
        void (*setup)(SysInfo& si);
        int32_t rc;
    } const cases[] = {
        {"MAC not configured", [](SysInfo& si) { si.canInfo->macAddress[0] = 255; }, ERR_CAN_MACADDRESS_ERROR},
        {"serial board", [](SysInfo& si) { si.instrBdType = BD_FTP; }, ERR_WRONG_INSTR_BOARD},
        {"no bridge record", [](SysInfo& si) { si.canInfo.reset(); }, ERR_HW_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        si->sysType = SYS_MODEL10;
        build();
        c.setup(*si);
        EXPECT_EQ(can_inst_on(si), c.rc);
        EXPECT_TRUE(vcan::calls().empty());
        EXPECT_EQ(log_.str(), stamped(std::string("can_inst_on: ") + u_err_name(c.rc) + "\n"));
        sysinfo_ensure_can_info(*si);
        std::memcpy(si->canInfo->macAddress, caninst::kMac, 6);
        si->instrBdType = BD_CAN;
    }
}

TEST_F(CanInst, BridgeDiscoveryAndConnection)
{
    struct {
        const char* name;
        std::vector<std::pair<std::string, std::pair<int, int32_t>>> statuses;  // function, call, status
        bool other_mac;
        int32_t rc;
        uint64_t connect_at;  // virtual ms of the first CAN_Connect (0: none)
        const char* line;
    } const cases[] = {
        {"match on the third enumeration",
         {{"CAN_EnumerateBridges", {0, 1}}, {"CAN_EnumerateBridges", {1, 1}}},
         false, NO_ERROR, 4000, "IP  address: 192.168.0.10\n"},
        {"no bridge with the address", {}, true, ERR_CAN_MACADDRESS_ERROR, 0,
         "CAN bridge with MAC address 00 50 C2 12 34 56 not found on network\n"},
        {"enumeration fails", {{"CAN_EnumerateBridges", {0, -1}}}, false, ERR_CAN_FINDING_BRIDGE, 0,
         "2033-05-18 03:33:20 find_bridge: CAN_EnumerateBridges failed\n"},
        {"no bridges at all", {{"CAN_EnumerateBridges", {0, 0}}}, false, ERR_CAN_FINDING_BRIDGE, 0,
         "2033-05-18 03:33:20 find_bridge: CAN_EnumerateBridges found no CAN bridges\n"},
        {"connection fails", {{"CAN_Connect", {0, -3}}}, false, ERR_CAN_FINDING_BRIDGE, 0,
         "2033-05-18 03:33:20 can_inst_on: CAN_Connect canErr = -3\n"},
        {"firmware read fails", {{"CAN_GetFirmwareVersion", {0, -4}}}, false, ERR_CAN_BRIDGE_ERROR, 0,
         "2033-05-18 03:33:20 can_inst_on: CAN_GetFirmwareVersion canErr = -4\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        si->sysType = SYS_MODEL10;
        build();
        if (c.other_mac) {
            vcan::reset();
            vcan::add_bridge(vcan::bridge_info{});
        }
        for (const auto& [function, at] : c.statuses)
            vcan::set_status(function, at.first, at.second);
        EXPECT_EQ(can_inst_on(si), c.rc);
        EXPECT_TRUE(contains(log_.str(), c.line)) << log_.str();
        const std::vector<vcan::call> connects = vcan::calls_of("CAN_Connect");
        if (c.connect_at != 0) {
            ASSERT_FALSE(connects.empty());
            EXPECT_EQ(connects[0].time_ms - t0, c.connect_at);
        }
        if (c.other_mac) {
            EXPECT_EQ(count("CAN_EnumerateBridges"), 3u);
            EXPECT_EQ(elapsed(), 4000u);  // no wait after the third attempt
            EXPECT_EQ(si->canInfo->ipAddress[0], 255);
        }
        can_inst_off(si);
    }
}

TEST_F(CanInst, BridgeConfigurationAndErrorClearing)
{
    si->sysType = SYS_MODEL10;
    vcan::instrument_options o;
    o.last_errors.assign(11, 5);
    build(o);
    EXPECT_EQ(can_inst_on(si), ERR_CAN_BRIDGE_ERROR);
    EXPECT_EQ(count("CAN_SetBridgeConfiguration"), 0u);  // (127, 1000) is left alone
    EXPECT_EQ(count("CAN_ResetBridge"), 10u);
    EXPECT_EQ(count("CAN_Connect"), 11u);
    EXPECT_EQ(count("CAN_GetLastBridgeError"), 11u);
    EXPECT_EQ(elapsed(), 20000u);
    EXPECT_TRUE(contains(log_.str(), stamped("can_inst_on: Unable to reset bridge with no errors after 10 tries:"
                                             "CAN_GetLastBridgeError = 5\n")));

    vcan::instrument_options failing;
    failing.last_errors = {9};
    build(failing);
    vcan::set_status("CAN_ResetBridge", 0, -1);
    EXPECT_EQ(can_inst_on(si), ERR_HW_FAIL);
    EXPECT_TRUE(contains(log_.str(), "CAN_ResetBridge canErr -1\n"));
}

TEST_F(CanInst, NodeThatNeverBecomesOperational)
{
    si->sysType = SYS_MODEL10;
    vcan::instrument_options o;
    o.not_operational = {61};
    build(o);
    EXPECT_EQ(can_inst_on(si), ERR_CAN_LED_ERROR);
    std::vector<uint64_t> polls;
    for (const vcan::call& c : vcan::calls_of("CAN_GetNodeState"))
        if (c.args == "node=61")
            polls.push_back(c.time_ms - t0);
    ASSERT_EQ(polls.size(), 10u);
    EXPECT_EQ(polls.back() - polls.front(), 1800u);
    EXPECT_TRUE(contains(log_.str(), stamped("wait_for_node_operational: Timeout waiting for node CAN_NODE_ID_LED "
                                             "operational: CAN_GetNodeState status = 127\n")));
}

TEST_F(CanInst, MissingAndFaultyNodes)
{
    struct {
        const char* name;
        int32_t sys;
        std::vector<uint8_t> missing;
        std::vector<uint8_t> not_operational;
        uint32_t led_product;
        int32_t rc;
        const char* line;
    } const cases[] = {
        {"Model15 without brush motor", SYS_MODEL15, {63}, {}, 0x2672150D, ERR_CAN_NODE_MISSING,
         "Missing the CAN Dual Brush Motor node\n"},
        {"Model23 without triple PZT", SYS_MODEL23, {62}, {}, 0x2672150D, ERR_CAN_NODE_MISSING,
         "Missing the CAN Triple PZT node\n"},
        {"Model17 without large aperture", SYS_MODEL17, {52}, {}, 0x2672150D, ERR_CAN_NODE_MISSING,
         "Missing the CAN Large Aperture node\n"},
        {"Model17 without zoom disk", SYS_MODEL17, {70}, {}, 0x2672150D, ERR_CAN_NODE_MISSING,
         "Missing the CAN Zoom & Diffuser Disk node\n"},
        {"Model17 without ND wheel", SYS_MODEL17, {64}, {}, 0x2672150D, ERR_CAN_NODE_MISSING,
         "Missing the CAN Focus & ND Wheel node\n"},
        {"Model20 without auxiliary motor", SYS_MODEL20, {66}, {}, 0x2672150D, ERR_CAN_NODE_MISSING,
         "Missing the CAN Auxiliary Motor node\n"},
        {"unknown LED product", SYS_MODEL15, {}, {}, 0x12345678, ERR_CAN_INVALID_PRODUCTID,
         "2033-05-18 03:33:20 can_model15_model25_on: Invalid productID = 305419896 for CAN_NODE_ID_LED\n"},
        {"Model17 triple PZT not operational", SYS_MODEL17, {}, {62}, 0x2672150D, ERR_CAN_TRIPLEPZT_ERROR,
         "CAN_NODE_ID_TRIPLEPZT operational"},
        {"Model23 bridge node not operational", SYS_MODEL23, {}, {127}, 0x2672150D, ERR_CAN_RAMP_ERROR,
         "CAN_NODE_ID_RAMP operational"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sysinfo_reset_runtime_all();
        si->sysType = c.sys;
        vcan::instrument_options o;
        o.missing = c.missing;
        o.not_operational = c.not_operational;
        o.led_product = c.led_product;
        build(o);
        EXPECT_EQ(can_inst_on(si), c.rc);
        EXPECT_TRUE(contains(log_.str(), c.line)) << log_.str();
        EXPECT_TRUE(contains(log_.str(), stamped(std::string("can_inst_on: ") + u_err_name(c.rc) + "\n")));
        if (c.sys == SYS_MODEL17 && !c.not_operational.empty()) {
            EXPECT_FALSE(can_avail(sysinfo_slot(0))->canTriplePztAvail);
        }
        can_inst_off(si);
    }
}

TEST_F(CanInst, BrushMotorThatIsNotOperationalLosesItsFlagOnlyInGroupOne)
{
    for (int32_t sys : {SYS_MODEL15, SYS_MODEL23}) {
        si->sysType = sys;
        vcan::instrument_options o;
        o.not_operational = {63};
        build(o);
        EXPECT_EQ(can_inst_on(si), ERR_CAN_BRMOTOR_ERROR);
        EXPECT_EQ(can_avail(sysinfo_slot(0))->canBrushMotorAvail, sys == SYS_MODEL23);
        can_inst_off(si);
    }
}

TEST_F(CanInst, WandsThatAreNotOperationalOnlyLoseTheirFlags)
{
    si->sysType = SYS_MODEL17;
    vcan::instrument_options o;
    o.not_operational = {72, 73};
    build(o);
    EXPECT_EQ(can_inst_on(si), NO_ERROR);
    EXPECT_FALSE(can_avail(sysinfo_slot(0))->canWandAvail);
    EXPECT_FALSE(can_avail(sysinfo_slot(0))->canWand2Avail);
    EXPECT_TRUE(can_avail(sysinfo_slot(0))->canTriplePztAvail);
}

TEST_F(CanInst, BridgeStatusCheck)
{
    struct {
        uint8_t bridge;
        bool pzt;
        uint32_t pzt_status;
        int32_t rc;
        const char* line;  // stamped; empty: no line at all
    } const cases[] = {
        {0x08, false, 0xFF000000u, NO_ERROR, ""},
        {0x00, false, 0, ERR_INST_POWER, "Bridge Status: External 12V power fault\n"},
        {0x0E, true, 0, ERR_INST_POWER, "Bridge Status: -12V power trip\n"},
        {0x0A, true, 0, ERR_INST_POWER, "Bridge Status: +12V power trip\n"},
        {0x08, true, 0x05000000u, ERR_INST_POWER, "Triple PZT node: Large aperture channel A fault\n"},
        {0x08, true, 0x04000000u, ERR_INST_POWER, "Triple PZT node: Large aperture channel C fault\n"},
        {0x08, true, 0x30000000u, ERR_INST_POWER, "Triple PZT node: High voltage supply under-voltage fault\n"},
        {0x08, true, 0x40000000u, ERR_INST_POWER, "Triple PZT node: VSync lost\n"},
        {0x08, true, 0x88FFFFFFu, NO_ERROR, ""},
    };
    for (const auto& c : cases) {
        si->sysType = SYS_MODEL23;
        vcan::instrument_options o;
        o.bridge_status = c.bridge;
        o.pzt_status = c.pzt_status;
        build(o);
        vcan::bridge_info b = vcan::current_bridge();
        ASSERT_EQ(can_bus().CAN_Connect(caninst::address_of(b)), CAN_OK);
        can_avail(sysinfo_slot(0))->canTriplePztAvail = c.pzt;
        log_.clear();
        EXPECT_EQ(can_inst_status(si), c.rc) << int(c.bridge) << " " << c.pzt_status;
        EXPECT_EQ(log_.str(), *c.line ? stamped(c.line) : "");
    }
}

TEST_F(CanInst, ConfigurationWordFollowsThePiScanner)
{
    struct {
        bool pi;
        uint16_t before;
        std::vector<uint8_t> written;
        const char* line;
    } const cases[] = {
        {true, 0x0000, {0x00, 0x29}, "Enabling PI digital scanner triggering mode\n"},
        {false, 0x0801, {0x01, 0x21}, "Disabling PI digital scanner triggering mode\n"},
        {false, 0x0001, {0x01, 0x21}, nullptr},
    };
    for (const auto& c : cases) {
        si->sysType = SYS_MODEL23;
        build();
        vcan::set_object_uint(127, 0x2010, 2, c.before, 2);
        ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
        si->pifoc->type = c.pi ? SB_PI_DIGITAL : 0;
        ASSERT_EQ(can_inst_on(si), NO_ERROR);
        std::vector<uint8_t> written;
        for (const vcan::call& c2 : vcan::calls_of("CAN_SDOWrite"))
            if (c2.args == "node=127 index=0x2010 sub=2 size=2")
                written = c2.data;
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(contains(log_.str(), c.line ? c.line : "triggering mode"), c.line != nullptr);
        can_inst_off(si);
    }
}

// A PI digital scanner of either kind (PifocType 1: a PI 751, 2: another PI scanner) is verified
// at power-on and put in its triggering mode; afterwards the ramp select, the ramp start and the
// PIFOC offset go to the scanner's controller (object 0x2041), never to the bridge's own ramps.
TEST_F(CanInst, PiDigitalScannerOfEitherKind)
{
    const std::string failed = "Scanner verification failed. Verify connections and configuration.\n";
    struct {
        int32_t type;
        float amplitude;
        uint16_t tables;
        int32_t rc;
        std::string line;
        int32_t top;  // highest controller ramp
    } const cases[] = {
        {SB_PI_751, 10.0f, 4, NO_ERROR, "Loaded 4 PI 751 digital scanner DDL tables\n", 15},
        {SB_PI_751, 10.0f, 0, ERR_CAN_DIGITAL_SCANNER_MISSING, failed, 15},
        {SB_PI_DIGITAL, 12.5f, 0, NO_ERROR, "Enabling PI digital scanner triggering mode\n", 100},
        {SB_PI_DIGITAL, 0.0f, 4, ERR_CAN_DIGITAL_SCANNER_MISSING, failed, 100},
    };
    for (int32_t sys : {SYS_MODEL15, SYS_MODEL25})
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(sys) + " type " + std::to_string(c.type) + " " + c.line);
            si->sysType = sys;
            ASSERT_EQ(sysinfo_ensure_pifoc(*si), NO_ERROR);
            si->pifoc->type = c.type;
            vcan::instrument_options o;
            o.pi_amplitude = c.amplitude;
            o.pi_ddl_tables = c.tables;
            build(o);
            ASSERT_EQ(can_inst_on(si), c.rc) << log_.str();
            EXPECT_TRUE(contains(log_.str(), c.line)) << log_.str();
            if (c.rc != NO_ERROR)
                continue;
            std::vector<uint8_t> config;
            for (const vcan::call& w : vcan::calls_of("CAN_SDOWrite"))
                if (w.args == "node=127 index=0x2010 sub=2 size=2")
                    config = w.data;
            ASSERT_EQ(config.size(), 2u);
            EXPECT_EQ(config[1] & 0x08, 0x08);  // bit 11: the scanner's triggering mode

            vcan::clear_calls();
            EXPECT_EQ(can_write_ramp_select(si, c.top), NO_ERROR);
            EXPECT_EQ(can_write_ramp_select(si, c.top + 1), ERR_PARAM_OUT_OF_RANGE);
            EXPECT_EQ(can_ramp_start(si), NO_ERROR);
            EXPECT_EQ(can_write_pifoc_offset(si, 1000, false), NO_ERROR);
            std::vector<std::string> writes;
            for (const vcan::call& w : vcan::calls_of("CAN_SDOWrite"))
                writes.push_back(w.args);
            EXPECT_EQ(writes, (std::vector<std::string>{"node=127 index=0x2041 sub=1 size=1",
                                                         "node=127 index=0x2041 sub=6 size=1"}));
            can_inst_off(si);
        }
}

// The sync generator runs the camera at the instrument's frame rate: at power-on, before any ramp
// was started, the rate the ramp set was made for (no longer 0 Hz).
TEST_F(CanInst, SyncGeneratorGetsTheRampSetsCameraRate)
{
    can_inst_services services = can_inst_default_services();
    services.ramp_info = [](SysInfo* s) {
        rr_instr_ramps_t* r = rr_instr_ramps(s);
        r->ramps.emplace_back();
        r->ramps.back().hdr.cameraRate = 60.0f;
        r->haveSet = true;
        return int32_t{NO_ERROR};
    };
    can_inst_set_services(&services);
    si->sysType = SYS_MODEL23;
    build();
    ASSERT_EQ(can_inst_on(si), NO_ERROR) << log_.str();
    std::vector<uint8_t> rate;
    for (const vcan::call& w : vcan::calls_of("CAN_SDOWrite"))
        if (w.args == "node=127 index=0x2030 sub=0 size=4")
            rate = w.data;
    EXPECT_EQ(rate, (std::vector<uint8_t>{0x00, 0x00, 0x70, 0x42}));  // 60.0f, little-endian
    EXPECT_EQ(si->cameraRate.load(), 60.0f);
    can_inst_off(si);
}

TEST_F(CanInst, OffThenOnWithoutReadingTheFileAgain)
{
    si->sysType = SYS_MODEL17;
    build();
    ASSERT_EQ(can_inst_on(si), NO_ERROR);
    EXPECT_TRUE(can_ndw_event_held(sysinfo_slot(0)));
    EXPECT_TRUE(dev_registered(CAN_DEVICE_HANDLE));
    ASSERT_EQ(can_inst_off(si), NO_ERROR);
    EXPECT_FALSE(dev_registered(CAN_DEVICE_HANDLE));
    EXPECT_FALSE(vcan::connected());
    EXPECT_FALSE(can_ndw_event_held(sysinfo_slot(0)));
    u_handle h = nullptr;
    EXPECT_NE(u_event_open(CAN_NDWHEEL_STOPPED, &h), NO_ERROR);
    // The run-time fields are cleared, the configured MAC address is kept.
    CanInfo expected;
    std::memcpy(expected.macAddress, caninst::kMac, 6);
    EXPECT_TRUE(*si->canInfo == expected);

    ASSERT_EQ(can_inst_on(si), NO_ERROR);
    EXPECT_TRUE(can_ndw_event_held(sysinfo_slot(0)));
    ASSERT_EQ(u_event_open(CAN_NDWHEEL_STOPPED, &h), NO_ERROR);
    u_close_handle(h);
    EXPECT_EQ(si->canInfo->fwMajor, 10);
}

TEST_F(CanInst, ResetWaitsSixSecondsAndPowersOnAgain)
{
    si->sysType = SYS_MODEL10;
    build();
    vcan::bridge_info b = vcan::current_bridge();
    ASSERT_EQ(can_bus().CAN_Connect(caninst::address_of(b)), CAN_OK);
    ASSERT_EQ(can_inst_reset(si), NO_ERROR);
    ASSERT_EQ(count("CAN_ResetBridge"), 1u);
    EXPECT_EQ(vcan::calls_of("CAN_EnumerateBridges")[0].time_ms - t0, 6000u);

    build();
    vcan::set_status("CAN_ResetBridge", 0, -2);
    EXPECT_EQ(can_inst_reset(si), ERR_HW_FAIL);
    EXPECT_EQ(log_.str(), "CAN_ResetBridge canErr -2\n");
    EXPECT_EQ(count("CAN_EnumerateBridges"), 0u);
}

TEST_F(CanInst, DiffuserDiskRate)
{
    struct {
        float configured;
        int32_t pos;
        double power;
        float fraction;
        float rate;
    } const cases[] = {
        {-1.0f, 0, 5.0, 0.85f, 10.0f},      // 5.9 held to the node's lowest rate
        {-1.0f, 0, 20.0, 0.5f, 40.0f},      // m / fraction up to 30x
        {-1.0f, 0, 50.0, 0.5f, 25.0f},      // m x fraction up to 75x
        {-1.0f, 0, 100.0, 0.5f, 64.0f},     // beyond
        {-1.0f, 0, 20.0, 0.001f, 10000.0f}, // held to the highest rate
        {-1.0f, -1, 20.0, 0.5f, 64.0f},     // position unknown
        {-1.0f, 1, 20.0, 0.5f, 64.0f},      // beyond the table's count
        {5.0f, 0, 20.0, 0.5f, 5.0f},        // the file's rate as it stands
    };
    for (const auto& c : cases) {
        si->diffDiskRate = c.configured;
        si->diffDiskFraction = c.fraction;
        si->numMags = 1;
        si->nomMag[0] = c.power;
        can_state(si)->turretPos = c.pos;
        EXPECT_FLOAT_EQ(can_diffuser_disk_rate(*si), c.rate) << c.power << " " << c.pos;
    }
}

TEST_F(CanInst, ARateOutsideTheNodesRangeFailsAndSwitchesTheDisksOff)
{
    si->sysType = SYS_MODEL17;
    si->diffDiskRate = 5.0f;
    build();
    EXPECT_EQ(can_inst_on(si), ERR_INVALID_PARAM);
    EXPECT_TRUE(contains(log_.str(), stamped("can_hxi_on: Diffuser disk rate 5 is outside 10 to 10000\n")));
    const std::vector<vcan::call> writes = vcan::calls_of("CAN_SDOWrite");
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes.back().args, "node=70 index=0x2000 sub=0 size=1");
    EXPECT_EQ(writes.back().data, std::vector<uint8_t>{0x00});
}

TEST_F(CanInst, AFailedBringUpKeepsItsOwnCodeWhenTheCleanUpFails)
{
    si->sysType = SYS_MODEL17;
    vcan::instrument_options o;
    o.ndw_home_result = 0x10;
    build(o);
    // Switching the zoom disk off is refused: the clean-up fails, the bring-up's code stays.
    vcan::set_write_hook(70, 0x2000, 0, [](vcan::sdo_access& a) -> uint32_t {
        return a.size == 1 && (a.data[0] & 1) == 0 ? 0x08000020u : 0u;
    });
    const int32_t rc = can_inst_on(si);
    EXPECT_EQ(rc, ERR_CAN_NDW_HOME_ERROR);
    EXPECT_TRUE(contains(log_.str(), stamped("can_hxi_on: Error homing the ND wheel\n")));
    EXPECT_TRUE(contains(log_.str(), "abortcode=08000020"));
    EXPECT_TRUE(contains(log_.str(), stamped("can_inst_on: ERR_CAN_NDW_HOME_ERROR\n")));
}

}  // namespace

namespace {

using caninst::CanInst;

TEST_F(CanInst, AllZoomPositionsAreReadOnlyWhereTheBrushMotorAnswers)
{
    struct {
        int32_t zoom;
        uint32_t product;
        bool read;
    } const cases[] = {{1, 0x267215D5u, true}, {1, 0x267215D7u, false}, {2, 0x267215D7u, true}, {0, 0x267215D5u, false}};
    for (const auto& c : cases) {
        si->sysType = SYS_MODEL25;
        si->zoom = c.zoom;
        vcan::instrument_options o;
        o.brush_motor_product = c.product;
        o.zoom_positions = 4;
        build(o);
        ASSERT_EQ(can_inst_on(si), NO_ERROR) << c.zoom << " " << c.product;
        bool read = false;
        for (const vcan::call& r : vcan::calls_of("CAN_SDORead"))
            read = read || r.args == "node=63 index=0x2015 sub=0 size=6";
        EXPECT_EQ(read, c.read);
        EXPECT_EQ(si->canInfo->zoomPos[3], c.read ? 4 : -2);
        EXPECT_EQ(si->canInfo->zoomPos[4], -2);
        can_inst_off(si);
    }
}

TEST_F(CanInst, SleepModeRunsFromPowerOnToOff)
{
    si->sysType = SYS_MODEL17;
    si->sleepTimeout = 600;
    build();
    ASSERT_EQ(can_inst_on(si), NO_ERROR);
    ASSERT_EQ(can_inst_off(si), NO_ERROR);
    EXPECT_FALSE(sleep_mode_stop());  // off stopped it
    ASSERT_EQ(can_inst_on(si), NO_ERROR);
    EXPECT_TRUE(sleep_mode_stop());
}

}  // namespace
