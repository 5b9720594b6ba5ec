// SDO transfers, status mapping, identity reads and the node guard, against the virtual bridge.
#include <regex>

#include "tests/can/can_fixture.h"

#include "vell/platform/errors.h"

namespace {

using cantest::CanTest;

constexpr uint8_t NODE = CAN_NODE_ID_BRUSHMOTOR;
constexpr uint16_t INDEX = 0x2001;

// Each status the library can answer, forced on the transfer, and the code and line it gives.
struct status_row {
    int32_t status;
    int32_t code;
};

TEST_F(CanTest, StatusesBecomeCodesWithOneLineEach)
{
    const status_row rows[] = {
        {-1, ERR_CAN_ERROR},          {-2, ERR_CAN_NOT_CONNECTED},    {-3, ERR_CAN_TIMEOUT},
        {-4, ERR_CAN_TCP_TRANSMISSION_ERROR}, {-5, ERR_CAN_BUFFER_TOO_SMALL}, {-6, ERR_CAN_NO_PDO},
        {0, ERR_UNKNOWN},             {7, ERR_UNKNOWN},
    };
    vcan::set_object_uint(NODE, INDEX, 1, 0x11223344u, 4);
    int call = 0;
    for (const status_row& row : rows) {
        SCOPED_TRACE(row.status);
        EXPECT_EQ(can_err_code(row.status), row.code);
        vcan::set_status("CAN_SDORead", call, row.status);
        vcan::set_status("CAN_SDOWrite", call, row.status);
        ++call;
        uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        log_.clear();
        EXPECT_EQ(can_sdo_read2(NODE, INDEX, 1, data, 4, true, ERR_CAN_SDO_BRMOTOR_ERROR, "op_r"), row.code);
        EXPECT_EQ(log_.str(), std::string("can_sdo_read2 called by op_r: err=") + u_err_name(row.code) + "\n");
        // A failed read leaves the buffer as the library left it.
        EXPECT_EQ(data[0], 0xEE);
        log_.clear();
        EXPECT_EQ(can_sdo_write2(NODE, INDEX, 1, data, 4, true, ERR_CAN_SDO_BRMOTOR_ERROR, "op_w"), row.code);
        std::regex stamped("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d can_sdo_write2 called by op_w: err=" +
                           std::string(u_err_name(row.code)) + "\n");
        EXPECT_TRUE(std::regex_match(log_.str(), stamped)) << log_.str();
    }
    EXPECT_EQ(can_err_code(1), NO_ERROR);
    EXPECT_EQ(vcan::object(NODE, INDEX, 1), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
}

// What the node answers: done, or aborted with a CANopen code that the line shows in eight
// upper-case hex digits.
struct transfer_row {
    const char* name;
    uint8_t node;
    uint16_t index;
    uint32_t size;
    uint32_t injected_abort;  // 0: none
    int32_t code;
    const char* abort_text;   // null: no abort line
};

TEST_F(CanTest, TransfersAnswerDoneAbortedOrTimedOut)
{
    const transfer_row rows[] = {
        {"done", NODE, INDEX, 2, 0, NO_ERROR, nullptr},
        {"injected abort, leading zeros", NODE, INDEX, 2, 0x0000ABCDu, ERR_CAN_SDO_BRMOTOR_ERROR, "0000ABCD"},
        {"wrong size", NODE, INDEX, 4, 0, ERR_CAN_SDO_BRMOTOR_ERROR, "06070010"},
        {"unknown object", NODE, 0x2FFF, 2, 0, ERR_CAN_SDO_BRMOTOR_ERROR, "06020000"},
        {"absent node", 99, INDEX, 2, 0, ERR_CAN_TIMEOUT, nullptr},
    };
    for (const transfer_row& row : rows) {
        SCOPED_TRACE(row.name);
        vcan::reset();
        vcan::add_bridge({});
        ASSERT_EQ(can_bus().CAN_Connect(cantest::address_of(vcan::bridge_info{}.ip)), CAN_OK);
        vcan::set_node(NODE);
        vcan::set_object_uint(NODE, INDEX, 0, 0xBEEF, 2);
        if (row.injected_abort != 0)
            vcan::set_abort(NODE, INDEX, 0, row.injected_abort, 2);
        for (bool write : {false, true}) {
            uint8_t data[4] = {0x34, 0x12, 0, 0};
            log_.clear();
            int32_t err = write ? can_sdo_write2(row.node, row.index, 0, data, row.size, true,
                                                 ERR_CAN_SDO_BRMOTOR_ERROR, "caller")
                                : can_sdo_read2(row.node, row.index, 0, data, row.size, true,
                                                ERR_CAN_SDO_BRMOTOR_ERROR, "caller");
            EXPECT_EQ(err, row.code);
            const char* fn = write ? "can_sdo_write2" : "can_sdo_read2";
            if (row.code == NO_ERROR) {
                EXPECT_EQ(log_.str(), "");
                if (!write) {
                    EXPECT_EQ(data[0] | data[1] << 8, 0xBEEF);
                }
            } else if (row.abort_text != nullptr) {
                std::string line = std::string(fn) + " called by caller: err=ERR_CAN_SDO_BRMOTOR_ERROR, result=0, abortcode=" +
                                   row.abort_text + "\n";
                if (write) {
                    ASSERT_GT(log_.str().size(), line.size());
                    EXPECT_EQ(log_.str().substr(log_.str().size() - line.size()), line);
                    EXPECT_EQ(log_.str().size(), line.size() + 20);  // "YYYY-MM-DD HH:MM:SS "
                } else {
                    EXPECT_EQ(log_.str(), line);
                }
            } else {
                EXPECT_NE(log_.str().find(std::string(fn) + " called by caller: err=" + u_err_name(row.code) + "\n"),
                          std::string::npos);
            }
        }
    }
}

TEST_F(CanTest, WriteThenReadGivesTheBytesWrittenAndTouchesNothingElse)
{
    vcan::set_node(NODE);
    vcan::set_object(NODE, INDEX, 3, std::vector<uint8_t>(4, 0));
    vcan::set_object(NODE, INDEX, 4, {9, 9});
    for (uint32_t value : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
        uint8_t out[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        ASSERT_EQ(can_sdo_write2(NODE, INDEX, 3, out, 4, true, ERR_CAN_SDO_BRMOTOR_ERROR, "w"), NO_ERROR);
        uint8_t in[4] = {};
        ASSERT_EQ(can_sdo_read2(NODE, INDEX, 3, in, 4, true, ERR_CAN_SDO_BRMOTOR_ERROR, "r"), NO_ERROR);
        EXPECT_EQ(0, std::memcmp(in, out, 4));
    }
    EXPECT_EQ(vcan::object(NODE, INDEX, 4), (std::vector<uint8_t>{9, 9}));
    EXPECT_EQ(log_.str(), "");
}

TEST_F(CanTest, EveryTransferSignalsTheSleepResetUnlessTold)
{
    static int resets = 0;
    resets = 0;
    vcan::set_node(NODE);
    vcan::set_object_uint(NODE, INDEX, 0, 1, 1);
    uint8_t b = 0;
    // No service yet: nothing to signal.
    EXPECT_EQ(can_sdo_read2(NODE, INDEX, 0, &b, 1, true, ERR_CAN_ERROR, "x"), NO_ERROR);
    can_set_sleep_reset([] { ++resets; });
    EXPECT_EQ(can_sdo_read2(NODE, INDEX, 0, &b, 1, true, ERR_CAN_ERROR, "x"), NO_ERROR);
    EXPECT_EQ(can_sdo_write2(NODE, INDEX, 0, &b, 1, true, ERR_CAN_ERROR, "x"), NO_ERROR);
    EXPECT_EQ(can_sdo_write2(NODE, INDEX, 0, &b, 1, false, ERR_CAN_ERROR, "x"), NO_ERROR);
    // An aborted transfer was activity on the bus as well.
    EXPECT_EQ(can_sdo_read2(NODE, INDEX, 0, &b, 2, true, ERR_CAN_ERROR, "x"), ERR_CAN_ERROR);
    EXPECT_EQ(resets, 3);
}

TEST_F(CanTest, IdentityReadsSplitTheRevisionAndRefuseOtherBoards)
{
    vcan::set_node(CAN_NODE_ID_LED);
    vcan::set_object_uint(CAN_NODE_ID_LED, 0x1018, 2, 0x267215D5u, 4);
    vcan::set_object_uint(CAN_NODE_ID_LED, 0x1018, 3, 0x00030002u, 4);
    uint32_t product = 0;
    uint16_t major = 0, minor = 0;
    EXPECT_EQ(can_read_productID(sysinfo_slot(0), CAN_NODE_ID_LED, &product), NO_ERROR);
    EXPECT_EQ(product, 0x267215D5u);
    EXPECT_EQ(can_read_version(sysinfo_slot(0), CAN_NODE_ID_LED, &major, &minor), NO_ERROR);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 2);

    // An abort gives the generic CAN code.
    vcan::set_abort(CAN_NODE_ID_LED, 0x1018, 3, 0x06090011u, 1);
    EXPECT_EQ(can_read_version(sysinfo_slot(0), CAN_NODE_ID_LED, &major, &minor), ERR_CAN_ERROR);
    EXPECT_EQ(log_.str(), "can_sdo_read2 called by can_read_version: err=ERR_CAN_ERROR, result=0, abortcode=06090011\n");

    vcan::clear_calls();
    sysinfo_slot(0)->instrBdType = BD_BOARD01;
    EXPECT_EQ(can_read_productID(sysinfo_slot(0), CAN_NODE_ID_LED, &product), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(can_read_version(sysinfo_slot(0), CAN_NODE_ID_LED, &major, &minor), ERR_WRONG_INSTR_BOARD);
    EXPECT_TRUE(vcan::calls().empty());
}

struct guard_row {
    uint8_t node;
    bool can_node_avail::*flag;
    const char* text;
};

TEST_F(CanTest, NodeGuardRefusesAnUnavailableNodeWithoutALibraryCall)
{
    const guard_row rows[] = {
        {CAN_NODE_ID_DD_RS, &can_node_avail::canDdRsAvail, "op: CAN Ring-of-Fire and Diffuser Disk node is not available\n"},
        {CAN_NODE_ID_DD_ZOOM, &can_node_avail::canDdZoomAvail, "op: CAN Zoom and Diffuser Disk node is not available\n"},
        {CAN_NODE_ID_FOCUS_NDW, &can_node_avail::canFocusNdwAvail, "op: CAN Focus and ND Wheel node is not available\n"},
        {CAN_NODE_ID_BRUSHMOTOR, &can_node_avail::canBrushMotorAvail, "op: CAN Brush Motor node is not available\n"},
    };
    for (const guard_row& row : rows) {
        SCOPED_TRACE(int(row.node));
        sysinfo_reset_runtime_all();
        log_.clear();
        EXPECT_EQ(can_node_guard(sysinfo_slot(0), row.node, "op"), ERR_CAN_NODE_NOT_AVAIL);
        std::string got = log_.str();
        ASSERT_GT(got.size(), 20u);
        EXPECT_EQ(got.substr(20), row.text);  // after the time stamp and its blank
        log_.clear();
        EXPECT_EQ(can_node_guard(sysinfo_slot(0), row.node, nullptr), ERR_CAN_NODE_NOT_AVAIL);
        EXPECT_EQ(log_.str(), "");
        can_avail(sysinfo_slot(0))->*(row.flag) = true;
        EXPECT_EQ(can_node_guard(sysinfo_slot(0), row.node, "op"), NO_ERROR);
        EXPECT_EQ(log_.str(), "");
        EXPECT_EQ(can_avail_flag(sysinfo_slot(0), row.node), &(can_avail(sysinfo_slot(0))->*(row.flag)));
    }
    // The nodes every CAN instrument has are never refused.
    sysinfo_reset_runtime_all();
    EXPECT_EQ(can_node_guard(sysinfo_slot(0), CAN_NODE_ID_LED, "op"), NO_ERROR);
    EXPECT_EQ(can_node_guard(sysinfo_slot(0), CAN_NODE_ID_RAMP, "op"), NO_ERROR);
    EXPECT_TRUE(vcan::calls().empty());
}

TEST_F(CanTest, ABusyDeviceAnswersBusyForItsReadsThenIdle)
{
    vcan::set_node(CAN_NODE_ID_DD_ZOOM);
    vcan::busy_for_reads(CAN_NODE_ID_DD_ZOOM, 0x6041, 0, 2, {1}, {0});
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        uint8_t b = 0xFF;
        ASSERT_EQ(can_sdo_read2(CAN_NODE_ID_DD_ZOOM, 0x6041, 0, &b, 1, true, ERR_CAN_SDO_ZOOM_ERROR, "poll"), NO_ERROR);
        seen.push_back(b);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 1, 0, 0}));
}

}  // namespace
