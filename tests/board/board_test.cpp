// The instrument board link against the virtual board, on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/serial/board.h"
#include "vell/serial/devctl.h"
#include "vell/sim/board_device.h"
#include "tests/support/test_support.h"

namespace {

using fault = sim::board_device::fault;

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += char(b);
    return s;
}

std::string str(const uint8_t* p, uint32_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

class Board : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { start(GetParam() ? GetParam() : UR_BOARD_01); }
    void start(int32_t type)
    {
        clock = std::make_unique<u_virtual_clock>(0);
        log = std::make_unique<vptest::LogCapture>();
        ASSERT_EQ(dev_init_cntrl(true), NO_ERROR);
        ASSERT_EQ(sim::board_device::create("COM2", type, &device), NO_ERROR);
        sysinfo_slot(1)->instrBdType = type;
        sysinfo_slot(1)->instrComm.assign("COM2");
        b = ur_board_slot(1);
        ASSERT_EQ(ur_initUZ(b), NO_ERROR);
        link = &b->link;
        log->clear();
    }
    void TearDown() override
    {
        if (b->link.handle != SIO_INVALID_HANDLE) {
            EXPECT_EQ(ur_closeUZ(b), NO_ERROR);
        }
        sysinfo_reset_all_slots();
        device.reset();
        dev_release_cntrl();
        log.reset();
        clock.reset();
    }
    // The frames the board received, as bytes.
    std::vector<std::string> received()
    {
        std::vector<std::string> out;
        for (const auto& f : device->frames())
            out.push_back(f.bytes);
        return out;
    }
    std::unique_ptr<u_virtual_clock> clock;
    std::unique_ptr<vptest::LogCapture> log;
    std::unique_ptr<sim::board_device> device;
    ur_board* b = nullptr;
    sio_link* link = nullptr;
};

class Board1 : public Board {
protected:
    void SetUp() override { start(UR_BOARD_01); }
};

TEST_F(Board1, BringUpAndClose)
{
    sio_state s = device->peer().line();
    EXPECT_EQ(s.baud_rate, 38400u);
    EXPECT_EQ(s.out_x, 0);
    EXPECT_EQ(s.in_x, 0);
    EXPECT_TRUE(dev_registered(link->handle));
    EXPECT_EQ(gl_DevInfo.entries[0].type, DEV_TYPE_SERIAL);
    EXPECT_EQ(gl_DevInfo.entries[0].record, b);

    // A board report makes the device table answer with the board.
    device->send_report(155, 2);
    dev_entry e;
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &e, false), DEV_TYPE_SERIAL);
    EXPECT_EQ(e.record, b);
    uint8_t buf[8];
    uint32_t n = 0;
    ASSERT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_REPORT, &n), NO_ERROR);
    EXPECT_EQ(str(buf, n), bytes({155, 2, 157}));

    // Bringing up a board whose link is open keeps the link, its port and its registration.
    sio_handle h = link->handle;
    log->clear();
    EXPECT_EQ(ur_initUZ(b), ERR_UZ_COMM);
    EXPECT_EQ(link->handle, h);
    EXPECT_TRUE(dev_registered(h));
    EXPECT_TRUE(device->peer().port_open());
    EXPECT_EQ(log->str(), std::string("sio_open: ") + std::string(b->port()) + ": the link is open already\n" +
                              "ur_initUZ: error initializing " + std::string(b->port()) + ": ERR_CANT_OPEN_SERIAL\n");
    log->clear();

    EXPECT_EQ(ur_closeUZ(b), NO_ERROR);
    EXPECT_EQ(link->handle, SIO_INVALID_HANDLE);
    EXPECT_FALSE(dev_registered(h));
    EXPECT_FALSE(device->peer().port_open());
    EXPECT_EQ(ur_closeUZ(b), ERR_SERIAL_NOT_OPEN);

    // Refusals of bring-up.
    SysInfo record;  // not a slot's: it has a board of its own
    ur_board& other = ur_board_of(record);
    record.instrBdType = 2;
    record.instrComm.assign("COM2");
    EXPECT_EQ(ur_initUZ(&other), ERR_WRONG_INSTR_BOARD);
    record.instrBdType = UR_BOARD_FTP;
    record.instrComm.assign("COM9");
    EXPECT_EQ(ur_initUZ(&other), ERR_UZ_COMM);
    EXPECT_EQ(other.link.handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(log->str(), "ur_initUZ: error initializing COM9: ERR_CANT_OPEN_SERIAL\n");
    // Registration needs the device table.
    dev_release_cntrl();
    log->clear();
    record.instrComm.assign("COM2");
    EXPECT_EQ(ur_initUZ(&other), ERR_UZ_COMM);
    EXPECT_EQ(other.link.handle, SIO_INVALID_HANDLE);
    EXPECT_FALSE(device->peer().port_open());
    EXPECT_EQ(log->str(), "dev_add_device failed: err=ERR_DEV_CNTRL\n"
                          "ur_initUZ: error initializing COM2: ERR_DEV_CNTRL\n");
}

TEST_F(Board1, WireBytesAndReplies)
{
    uint8_t frame[8] = {2, 6};
    ASSERT_EQ(ur_writeUZ(link, 2, frame, sizeof frame, true, false), NO_ERROR);
    ASSERT_EQ(ur_send_cmd_u16(link, 5, 0x1234), NO_ERROR);
    uint8_t reply[8];
    uint32_t n = 0;
    ASSERT_EQ(ur_request(link, 6, nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
    EXPECT_EQ(received(), (std::vector<std::string>{bytes({2, 6, 6}), bytes({4, 5, 0x12, 0x34, 0x4B}),
                                                   bytes({2, 6, 6})}));
    EXPECT_EQ(str(frame, 4), bytes({6, 0, 0, 6}));  // the reply replaced the request
    EXPECT_EQ(str(reply, n), bytes({6, 0x12, 0x34, 0x4C}));
    // Only as much as the caller's capacity is copied.
    ASSERT_EQ(ur_request(link, 6, nullptr, 0, reply, 2, &n), NO_ERROR);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(u_now_ms(), 0u);
    EXPECT_EQ(log->str(), "");

    // The identity, each field through its own builder.
    ASSERT_EQ(ur_send_cmd_u32(link, 10, 0xA1B2C3D4u), NO_ERROR);
    ASSERT_EQ(ur_send_cmd_u8(link, 12, 7), NO_ERROR);
    ASSERT_EQ(ur_send_cmd_2u8(link, 18, 0x07, 0xE9), NO_ERROR);
    EXPECT_EQ(received()[4], bytes({6, 10, 0xA1, 0xB2, 0xC3, 0xD4, 0xF4}));
    ASSERT_EQ(ur_request(link, 11, nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
    EXPECT_EQ(str(reply, n - 1), bytes({11, 0xA1, 0xB2, 0xC3, 0xD4}));
    auto id = device->get_identity();
    EXPECT_EQ(id.camera, 7);
    EXPECT_EQ(id.date, 0x07E9);
    // A motor read carries its one argument byte.
    const uint8_t axis = 1;
    ASSERT_EQ(ur_request(link, 2, &axis, 1, reply, sizeof reply, &n), NO_ERROR);
    EXPECT_EQ(received().back(), bytes({3, 2, 1, 3}));
}

TEST_F(Board1, RetriesOnBadChecksumAndNak)
{
    // Two garbled acknowledgements, then a good one: three identical sends.
    device->script(fault::bad_checksum);
    device->script(fault::bad_checksum);
    ASSERT_EQ(ur_send_cmd_u16(link, 5, 0x1234), NO_ERROR);
    EXPECT_EQ(received(), std::vector<std::string>(3, bytes({4, 5, 0x12, 0x34, 0x4B})));
    EXPECT_EQ(log->str(), "ur_readUZ: checksum err recv 0 calc 255\n"
                          "ur_readUZ: checksum err recv 0 calc 255\n");
    log->clear();
    for (int i = 0; i < 3; ++i)
        device->script(fault::bad_checksum);
    uint8_t frame[8] = {2, 6};
    EXPECT_EQ(ur_writeUZ(link, 2, frame, sizeof frame, true, false), ERR_UZ_RECV_FAILED);
    auto r = received();
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[3], bytes({2, 6, 6}));
    EXPECT_EQ(r[4], r[3]);
    EXPECT_EQ(r[5], r[3]);
    EXPECT_EQ(log->str(), "ur_readUZ: checksum err recv 77 calc 76\n"
                          "ur_readUZ: checksum err recv 77 calc 76\n"
                          "ur_readUZ: checksum err recv 77 calc 76\n"
                          "ur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n");

    // NAK then ACK completes; three NAKs fail.
    log->clear();
    device->script(fault::nak);
    EXPECT_EQ(ur_send_cmd_u8(link, 14, 3), NO_ERROR);
    EXPECT_EQ(received().size(), 8u);
    EXPECT_EQ(log->str(), "");
    for (int i = 0; i < 3; ++i)
        device->script(fault::nak);
    EXPECT_EQ(ur_send_cmd_u8(link, 14, 3), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(received().size(), 11u);
    EXPECT_EQ(log->str(), "ur_writeUZ failed: cmd=UZ1_EE_LIGHT_SET_CMD\n");
    EXPECT_EQ(u_now_ms(), 0u);
}

TEST_F(Board1, ReportsEchoTimeoutsAndShortAnswers)
{
    struct row {
        fault f;
        uint32_t value;
        int code;       // request (LLC_SET 5 acknowledged, LLC_READ 6 replied)
        int32_t err;
        uint64_t ms;    // virtual time taken
        const char* line;
    } rows[] = {
        {fault::reports_first, 2, 5, NO_ERROR, 0, ""},
        {fault::reports_first, 2, 6, NO_ERROR, 0, ""},
        {fault::empty_first, 0, 5, NO_ERROR, 0, ""},
        {fault::empty_first, 0, 6, NO_ERROR, 0, ""},
        {fault::late, 9999, 6, NO_ERROR, 9999, ""},
        {fault::pieces, 90, 6, NO_ERROR, 4 * 90, ""},
        {fault::wrong_echo, 0, 6, ERR_UZ_RECV_FAILED, 0,
         "ur_writeUZ: recvd invalid resp  wanted 6  got 7\nur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n"},
        {fault::wrong_echo, 0, 5, ERR_UZ_RECV_FAILED, 0, "ur_writeUZ failed: cmd=UZ1_LLC_SET_CMD\n"},
        {fault::short_reply, 0, 6, ERR_UZ_RECV_FAILED, 0,
         "ur_writeUZ: short reply  wanted 4  got 3\nur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n"},
        {fault::silent, 0, 6, ERR_UZ_RECV_TIMEOUT, 10000,
         "ur_readUZ: timed out on first byte, respType=2\nur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n"},
        {fault::silent, 0, 5, ERR_UZ_RECV_TIMEOUT, 10000,
         "ur_readUZ: timed out on first byte, respType=1\nur_writeUZ failed: cmd=UZ1_LLC_SET_CMD\n"},
        // The rest of a frame waits the port's own time-outs: 100 ms between bytes.
        {fault::pieces, 150, 6, ERR_UZ_RECV_TIMEOUT, 250,
         "ur_readUZ: sio_read_data failed\nur_writeUZ failed: cmd=UZ1_LLC_READ_CMD\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(int(r.f) * 1000 + r.code);
        log->clear();
        std::size_t before = received().size();
        device->script(r.f, r.value);
        uint64_t t0 = u_now_ms();
        uint8_t reply[8] = {};
        int32_t err = r.code == 5 ? ur_send_cmd_u16(link, 5, 0x0102) : ur_request(link, 6, nullptr, 0, reply, 8);
        EXPECT_EQ(err, r.err);
        EXPECT_EQ(u_now_ms() - t0, r.ms);
        EXPECT_EQ(received().size(), before + 1);  // never sent again
        EXPECT_EQ(log->str(), r.line);
        if (r.code == 6 && err == NO_ERROR) {
            EXPECT_EQ(str(reply, 4), bytes({6, 1, 2, 9}));
        }
        sio_timeouts t{};
        ASSERT_EQ(sio_get_timeouts(link->handle, &t), NO_ERROR);
        EXPECT_EQ(t.read_total_constant, 2000u);  // back after every first-byte read
        u_sleep_ms(1000);
        ASSERT_EQ(sio_clear_buffer(link->handle), 0);  // what a failed exchange left behind
    }

    // A third report in a row ends the exchange; the acknowledgement stays queued.
    log->clear();
    device->script(fault::reports_first, 3);
    EXPECT_EQ(ur_send_cmd_u16(link, 5, 0x0102), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(log->str(), "ur_readUZ: received unsolicited info\nur_writeUZ failed: cmd=UZ1_LLC_SET_CMD\n");
}

TEST_F(Board1, DirectReadsAndRefusals)
{
    uint8_t buf[4];
    uint32_t n = 99;
    // Kind 3: an empty frame answers with nothing; other codes are skipped, three at most.
    device->peer().send(bytes({0}));
    EXPECT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_REPORT, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
    device->peer().send(bytes({2, 255, 255, 2, 255, 255, 3, 156, 1, 157}));
    EXPECT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_REPORT, &n), NO_ERROR);
    EXPECT_EQ(str(buf, n), bytes({156, 1, 157}));
    device->peer().send(bytes({2, 255, 255, 2, 255, 255, 2, 255, 255}));
    EXPECT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_REPORT, &n), ERR_UZ_RECV_FAILED);
    // Direct reads see the link statuses; a frame larger than the buffer fails.
    device->peer().send(bytes({2, 254, 254, 2, 255, 0}));
    EXPECT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_ACK, &n), UR_STATUS_REJECTED);
    EXPECT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_ACK, &n), UR_STATUS_CHECKSUM);
    device->peer().send(bytes({5, 6, 1, 2, 3, 12}));
    EXPECT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_DATA, &n), ERR_UZ_RECV_FAILED);
    // Empty frames are never an answer for kinds 1 and 2: the third one fails.
    device->peer().send(bytes({0, 200, 1, 255}));
    EXPECT_EQ(ur_readUZ(link, buf, sizeof buf, UR_RESP_DATA, &n), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(n, 0u);
    sio_link stray;
    EXPECT_EQ(ur_readUZ(&stray, buf, sizeof buf, UR_RESP_ACK, &n), ERR_SYS_INFO_NOT_AVAIL);

    // Builders: codes outside the vocabulary and lengths that do not fit send nothing.
    log->clear();
    std::size_t before = received().size();
    EXPECT_EQ(ur_send_cmd(link, 99), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_send_cmd(link, 55), ERR_INVALID_PARAM);       // a report, not a request
    EXPECT_EQ(ur_send_cmd_u8(link, 6, 1), ERR_INVALID_PARAM);     // LLC_READ takes no argument
    EXPECT_EQ(ur_send_cmd_u32(link, 5, 1), ERR_INVALID_PARAM); // LLC_SET takes 16 bits
    uint8_t f[300] = {1, 6};
    EXPECT_EQ(ur_writeUZ(link, 1, f, sizeof f, false, false), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_writeUZ(link, 256, f, sizeof f, false, false), ERR_INVALID_PARAM);
    EXPECT_EQ(ur_writeUZ(link, 2, f, 2, false, false), ERR_INVALID_PARAM);  // no room for the checksum
    EXPECT_EQ(received().size(), before);
    EXPECT_EQ(log->str(), "ur_send: UZ1_INVALID_CMD refused: ERR_INVALID_PARAM\n"
                          "ur_send: UZ1_ZOOM_POSITION_CMD refused: ERR_INVALID_PARAM\n"
                          "ur_send: UZ1_LLC_READ_CMD refused: ERR_INVALID_PARAM\n"
                          "ur_send: UZ1_LLC_SET_CMD refused: ERR_INVALID_PARAM\n"
                          "ur_writeUZ failed: ERR_INVALID_PARAM\n"
                          "ur_writeUZ failed: ERR_INVALID_PARAM\n"
                          "ur_writeUZ failed: ERR_INVALID_PARAM\n");
}

TEST_F(Board1, RampMemoryWithLongFrames)
{
    const uint8_t header[13] = {2, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 9};
    uint8_t frame[16] = {15, 32};
    std::memcpy(frame + 2, header, sizeof header);
    ASSERT_EQ(ur_writeUZ(link, 15, frame, sizeof frame, false, false), NO_ERROR);
    // 200 words: a checksum-supplied frame of 405 bytes, sent as it is.
    std::string data = bytes({4, 34, 0, 200});
    for (int i = 0; i < 200; ++i)
        data += bytes({i >> 8, (i * 3) & 0xFF});
    data += char(ur_checksum(reinterpret_cast<const uint8_t*>(data.data()) + 1, data.size() - 1));
    std::vector<uint8_t> wire(data.begin(), data.end());
    ASSERT_EQ(ur_writeUZ(link, uint32_t(wire.size()), wire.data(), wire.size(), true, true), NO_ERROR);
    EXPECT_EQ(received().back(), data);
    EXPECT_EQ(wire[0], 34);
    ASSERT_EQ(ur_send_cmd(link, 35), NO_ERROR);
    device->set_ramp_play_ms(3600000);
    ASSERT_EQ(ur_send_cmd_u8(link, 39, 2), NO_ERROR);
    uint8_t reply[16];
    uint32_t n = 0;
    ASSERT_EQ(ur_request(link, 38, nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
    EXPECT_EQ(reply[1], 0);  // running, not idle
    ASSERT_EQ(ur_request(link, 9, nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
    EXPECT_EQ(n, 14u);
    // The rampID of every slot: slot 2 holds ramp 0.
    EXPECT_EQ(str(reply, 4), bytes({9, 255, 255, 0}));
    auto ramps = device->ramps();
    ASSERT_EQ(ramps.count(2), 1u);
    EXPECT_EQ(ramps[2].words.size(), 200u);
    EXPECT_EQ(ramps[2].words[199], (199 * 3) & 0xFF);
    EXPECT_EQ(device->running_ramp(), 2);
    // Deleting a slot the board does not have is rejected three times; an empty one is not.
    EXPECT_EQ(ur_send_cmd_u8(link, 37, 12), ERR_UZ_RECV_FAILED);
    EXPECT_EQ(ur_send_cmd_u8(link, 37, 5), NO_ERROR);
    ASSERT_EQ(ur_send_cmd_u8(link, 37, 2), NO_ERROR);
    ASSERT_EQ(ur_request(link, 38, nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
    EXPECT_EQ(reply[1], 1);
}

TEST_F(Board1, CommandNames)
{
    ur_board* other = ur_board_slot(3);
    SysInfo& record = *sysinfo_slot(3);
    struct row {
        int32_t type;
        int32_t code;
        const char* name;
    } rows[] = {
        {1, 6, "UZ1_LLC_READ_CMD"},     {1, 58, "UZ1_TURRETPOS_REPORT_CMD"}, {1, 59, "UZ1_INVALID_CMD"},
        {3, 200, "UZ2_INVALID_CMD"},    {3, 57, "UZ2_RING_SPOT_CMD"},        {6, 0, "MODEL31_INVALID_CMD"},
        {6, 43, "MODEL31_INVALID_CMD"}, {6, 42, "MODEL31_SHUTTER_OUTPUT_CMD"}, {6, -1, "MODEL31_INVALID_CMD"},
        {7, 41, "FTP_CUSTOM_CAMERA_CMD"}, {7, 40, "FTP_RAMP_UPDATERATE_CMD"},
    };
    other->link.handle = -77;  // a stand-in handle; nothing is sent
    for (const row& r : rows) {
        record.instrBdType = r.type;
        EXPECT_STREQ(ur_cmd_str(-77, r.code), r.name) << r.type << " " << r.code;
    }
    record.instrBdType = 8;
    log->clear();
    EXPECT_STREQ(ur_cmd_str(-77, 1), "INVALID_PARAM");
    EXPECT_EQ(log->str(), "ur_cmd_str: unknown instrBdType\n");
    other->link.handle = SIO_INVALID_HANDLE;
    EXPECT_STREQ(ur_cmd_str(-1, 1), "INVALID_PARAM");  // a closed slot owns nothing
    EXPECT_STREQ(ur_cmd_str(-77, 1), "INVALID_PARAM");

    // The vocabularies: codes in order without gaps; reports have no request length.
    const int32_t types[] = {1, 3, 6, 7};
    const std::size_t sizes[] = {59, 63, 42, 42};
    for (int i = 0; i < 4; ++i) {
        std::size_t n = 0;
        const ur_cmd* t = ur_vocabulary(types[i], &n);
        ASSERT_EQ(n, sizes[i]);
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(t[k].code, t[0].code + int32_t(k));
            bool report = t[k].req_len == 0 && t[k].code != 0;
            if (report) {
                EXPECT_TRUE(ur_report_code(types[i], 100 + t[k].code)) << types[i] << " " << t[k].name;
            }
        }
    }
}

// The other board types: their vocabularies against the virtual board, reports during a request.
// The board's type and port are read from the record whenever needed, so they follow a change of
// the record; the record's run-time reset closes the link and forgets its registration.
TEST_F(Board1, TypeAndPortAreTheRecordsAndTheResetClosesTheLink)
{
    SysInfo& record = *sysinfo_slot(1);
    EXPECT_EQ(b->record(), &record);
    EXPECT_STREQ(b->port(), "COM2");
    record.instrBdType = UR_BOARD_FTP;
    EXPECT_EQ(b->type(), UR_BOARD_FTP);
    EXPECT_STREQ(ur_cmd_str(link->handle, 40), "FTP_RAMP_UPDATERATE_CMD");
    record.instrBdType = UR_BOARD_01;

    // Off, then on again on the port the record now names.
    std::unique_ptr<sim::board_device> second;
    ASSERT_EQ(sim::board_device::create("COM5", UR_BOARD_01, &second), NO_ERROR);
    ASSERT_EQ(ur_closeUZ(b), NO_ERROR);
    record.instrComm.assign("COM5");
    EXPECT_STREQ(b->port(), "COM5");
    ASSERT_EQ(ur_initUZ(b), NO_ERROR);
    EXPECT_TRUE(second->peer().port_open());
    EXPECT_FALSE(device->peer().port_open());
    uint8_t reply[8] = {};
    ASSERT_EQ(ur_request(link, 31, nullptr, 0, reply, sizeof reply), NO_ERROR);
    EXPECT_EQ(second->frames().size(), 1u);

    const sio_handle h = link->handle;
    sysinfo_reset_runtime(record);
    EXPECT_FALSE(second->peer().port_open());
    EXPECT_FALSE(dev_registered(h));
    b = ur_board_slot(1);  // a new board, its link closed
    link = &b->link;
    EXPECT_EQ(link->handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(ur_send_cmd(link, 31), ERR_SYS_INFO_NOT_AVAIL);
}

TEST_P(Board, LightIdentityAndKeyReports)
{
    const int32_t type = GetParam();
    auto code = [&](const char* name) {
        std::size_t n = 0;
        const ur_cmd* t = ur_vocabulary(type, &n);
        for (std::size_t i = 0; i < n; ++i)
            if (std::strcmp(t[i].name, name) == 0)
                return t[i].code;
        ADD_FAILURE() << name;
        return -1;
    };
    device->set_settle_ms(500);
    const ur_cmd* set = ur_cmd_find(type, code("LLC_SET"));
    ASSERT_EQ(set->req_len == 3 ? ur_send_cmd_u8(link, set->code, 77) : ur_send_cmd_u16(link, set->code, 77),
              NO_ERROR);
    EXPECT_EQ(device->light_level(), 77);
    uint8_t reply[16];
    uint32_t n = 0;
    if (type == UR_BOARD_HXI || type == UR_BOARD_MODEL31) {
        ASSERT_EQ(ur_request(link, code("LLC_STABLE"), nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
        EXPECT_EQ(reply[1], 0);
        u_sleep_ms(500);
        ASSERT_EQ(ur_request(link, code("LLC_STABLE"), nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
        EXPECT_EQ(reply[1], 1);
    }
    device->set_sw_version(42);
    ASSERT_EQ(ur_request(link, code("SW_VERSION"), nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
    EXPECT_EQ(str(reply, n), bytes({code("SW_VERSION"), 42, (code("SW_VERSION") + 42) & 0xFF}));
    ASSERT_EQ(ur_send_cmd_u8(link, code("EE_SYSTEM_SET"), 9), NO_ERROR);
    EXPECT_EQ(device->get_identity().system, 9);

    // A key report during a request is skipped and does not answer the next request early.
    if (type != UR_BOARD_FTP) {
        device->script(fault::reports_first, 1);
        ASSERT_EQ(ur_request(link, code("LLC_READ"), nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
        EXPECT_EQ(reply[0], code("LLC_READ"));
        ASSERT_EQ(ur_send_cmd_u8(link, code("EE_CAMERA_SET"), 4), NO_ERROR);
        device->script(fault::reports_first, 2);
        ASSERT_EQ(ur_send_cmd_u8(link, code("EE_LIGHT_SET"), 5), NO_ERROR);
        ASSERT_EQ(ur_request(link, code("EE_LIGHT_READ"), nullptr, 0, reply, sizeof reply, &n), NO_ERROR);
        EXPECT_EQ(str(reply, 2), bytes({code("EE_LIGHT_READ"), 5}));
    }
    EXPECT_EQ(log->str(), "");
}

INSTANTIATE_TEST_SUITE_P(Types, Board, ::testing::Values(1, 3, 6, 7));

}  // namespace
