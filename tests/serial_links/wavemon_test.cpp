// Wave monitor link against a raw device end and against the virtual wave monitor.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/serial/wavemon.h"
#include "vell/sim/serial_peer.h"
#include "vell/sim/wavemon_device.h"
#include "tests/serial_links/links_fixture.h"

namespace {

using linktest::bytes;
using linktest::kStamp;

class WaveMonitorLink : public linktest::Links {
protected:
    void SetUp() override
    {
        Links::SetUp();
        ASSERT_EQ(sim::serial_peer::create("COM4", &peer), NO_ERROR);
        ASSERT_EQ(wm_comm_open_fd(&link, "COM4"), NO_ERROR);
    }
    void TearDown() override
    {
        peer->stop();
        if (link.handle != SIO_INVALID_HANDLE) {
            EXPECT_EQ(wm_comm_close(&link), NO_ERROR);
        }
        peer.reset();
        Links::TearDown();
    }
    uint32_t read_timeout_ms()
    {
        sio_timeouts t{};
        EXPECT_EQ(sio_get_timeouts(link.handle, &t), NO_ERROR);
        return t.read_total_constant;
    }

    std::unique_ptr<sim::serial_peer> peer;
    sio_link link;
};

struct ReadCase {
    const char* name;
    std::string device;  // what the device has sent before the read
    int32_t kind, respLen, itemSize, timeout_s;
    int32_t rc;
    std::string answer;  // the buffer after success
    const char* detail;  // of the failure line; "" for none
    uint64_t ms;         // virtual time of the read
    uint32_t left = 0;   // bytes the read must leave in the input queue
};

std::size_t g_largest_block = 0;
void* recording_alloc(std::size_t n)
{
    g_largest_block = std::max(g_largest_block, n);
    return std::malloc(n);
}

TEST_F(WaveMonitorLink, AnswerKindsBytesMessagesAndTimeouts)
{
    const ReadCase cases[] = {
        {"ack", bytes({6}), 1, 0, 0, 0, NO_ERROR, bytes({6}), "", 0},
        {"nak", bytes({21}), 1, 0, 0, 0, ERR_WM_NAK, "", "WM_RESP_ACK: received NAK", 0},
        {"other", "A", 1, 0, 0, 0, ERR_WM_READ, "", "WM_RESP_ACK: received 0x41 instead of ACK or NAK", 0},
        {"fixed", "abcd", 2, 3, 0, 0, NO_ERROR, "abc", "", 0, 1},
        {"fixed len 0", "a", 2, 0, 0, 0, ERR_WM_READ, "", "WM_RESP_READ: invalid respLen = 0", 0},
        {"fixed cut", "ab", 2, 3, 0, 0, ERR_WM_READ, "",
         "WM_RESP_READ: sio_read_data failed reading response byte 3 of 3", 2000},
        {"read ack", bytes({0, 0x80, 0, 0, 6, 'Z'}), 3, 4, 0, 0, NO_ERROR, bytes({0, 0x80, 0, 0, 6}), "", 0, 1},
        {"read nak", bytes({'w', 'x', 'y', 'z', 21}), 3, 4, 0, 0, ERR_WM_NAK, "", "WM_RESP_READ_ACK: received NAK", 0},
        {"read other", "wxyzQ", 3, 4, 0, 0, ERR_WM_READ, "",
         "WM_RESP_READ_ACK: received 0x51 instead of ACK or NAK", 0},
        {"read cut", "wx", 3, 4, 0, 0, ERR_WM_READ, "",
         "WM_RESP_READ_ACK: sio_read_data failed reading response char 3 of 5", 2000},
        {"read len -1", "w", 3, -1, 0, 0, ERR_WM_READ, "", "WM_RESP_READ_ACK: invalid respLen = -1", 0},
        {"sized", bytes({3, 0, 0, 0, 1, 2, 3, 4, 5, 6, 6}), 4, 0, 2, 0, NO_ERROR,
         bytes({3, 0, 0, 0, 1, 2, 3, 4, 5, 6, 6}), "", 0},
        {"sized with head", bytes({1, 0, 0, 0, 'h', 'i', 7, 6}), 4, 2, 1, 0, NO_ERROR,
         bytes({1, 0, 0, 0, 'h', 'i', 7, 6}), "", 0},
        {"sized nak", bytes({1, 0, 0, 0, 9, 9, 21}), 4, 0, 2, 0, ERR_WM_NAK, "",
         "WM_RESP_SIZE_READ_ACK: received NAK", 0},
        {"sized count cut", bytes({1, 0}), 4, 0, 2, 0, ERR_WM_READ, "",
         "WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte 3 of 4", 2000},
        {"sized data cut", bytes({2, 0, 0, 0, 1}), 4, 0, 1, 0, ERR_WM_READ, "",
         "WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte 6 of 7", 2000},
        {"sized too large", bytes({0xFF, 0xFF, 0xFF, 0xFF, 1, 2}), 4, 0, 8, 0, ERR_WM_READ, "",
         "WM_RESP_SIZE_READ_ACK: answer of 34359738365 bytes is larger than 16777216", 0, 2},
        {"sized just too large", bytes({0xFC, 0xFF, 0xFF, 0x00}), 4, 0, 1, 0, ERR_WM_READ, "",
         "WM_RESP_SIZE_READ_ACK: answer of 16777217 bytes is larger than 16777216", 0},
        {"other kind", "QR", 9, 0, 0, 0, NO_ERROR, "Q", "", 0, 1},
        {"silent, default wait", "", 3, 4, 0, 0, ERR_WM_TIMEOUT, "", "", 10000},
        {"silent, 3 s", "", 1, 0, 0, 3, ERR_WM_TIMEOUT, "", "", 3000},
    };
    u_hooks.alloc = recording_alloc;
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(wm_flush_inp(&link), NO_ERROR);
        if (!c.device.empty()) {
            ASSERT_TRUE(peer->send(c.device));
        }
        clear_log();
        g_largest_block = 0;
        mark();
        wm_buffer buf;
        int32_t rc = wm_comm_read(&link, &buf, c.respLen, c.itemSize, c.kind, c.timeout_s);
        EXPECT_EQ(rc, c.rc) << u_err_name(rc);
        EXPECT_EQ(since_mark(), c.ms);
        if (c.rc == NO_ERROR) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data), buf.size), c.answer);
            EXPECT_EQ(logged(), "");
        } else {
            EXPECT_EQ(buf.data, nullptr);
            EXPECT_EQ(buf.size, 0u);
            EXPECT_EQ(buf.capacity, 0u);
            std::string detail = c.detail[0] ? std::string(": ") + c.detail : "";
            EXPECT_EQ(logged(), std::string(kStamp) + " wm_comm_read: " + u_err_name(c.rc) + detail + "\n");
        }
        EXPECT_LE(g_largest_block, 64u);
        EXPECT_EQ(read_timeout_ms(), 2000u);  // the first-byte wait is put back
        uint32_t left = 0;
        EXPECT_EQ(sio_input_count(link.handle, &left), NO_ERROR);
        EXPECT_EQ(left, c.left);
        wm_buf_release(&buf);
    }
}

TEST_F(WaveMonitorLink, BufferResizeKeepsStoredBytes)
{
    // Property over a walk of sizes: the block is reallocated exactly when it must be, and the
    // bytes stored before stay stored as far as the new size reaches.
    struct Step {
        uint32_t size;
        bool keep;
    };
    const Step steps[] = {{1, true}, {5, true},  {3, true},   {3, false}, {40, true},
                          {4, false}, {4, true}, {9, false}, {1, true},  {0, true}, {7, false}};
    wm_buffer buf;
    std::string model;  // what the buffer holds
    for (const Step& s : steps) {
        SCOPED_TRACE(s.size);
        const uint32_t capacity = buf.capacity;
        ASSERT_EQ(wm_buf_resize(&buf, s.size, s.keep), NO_ERROR);
        EXPECT_EQ(buf.size, s.size);
        uint32_t want_capacity = (s.size == 0 || s.size > capacity || (s.size < capacity && !s.keep)) ? s.size : capacity;
        EXPECT_EQ(buf.capacity, want_capacity);
        model.resize(std::min<std::size_t>(model.size(), s.size));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data), model.size()), model);
        for (uint32_t i = 0; i < buf.size; ++i)
            buf.data[i] = static_cast<uint8_t>('a' + (i + s.size) % 26);
        model.assign(reinterpret_cast<char*>(buf.data), buf.size);
        if (s.size == 0) {
            EXPECT_EQ(buf.data, nullptr);
        }
    }
    wm_buf_release(&buf);

    u_hooks.alloc = [](std::size_t) -> void* { return nullptr; };
    EXPECT_EQ(wm_buf_resize(&buf, 8, true), ERR_NO_MEM);
    EXPECT_EQ(buf.capacity, 0u);
    EXPECT_EQ(buf.data, nullptr);
}

TEST_F(WaveMonitorLink, WritesCommandThenCarriageReturn)
{
    ASSERT_EQ(wm_comm_write(&link, "LO?"), NO_ERROR);
    ASSERT_EQ(wm_comm_write(&link, "RR=1,-2"), NO_ERROR);
    EXPECT_EQ(wm_comm_write(nullptr, "LO?"), NO_ERROR);  // no link: nothing sent
    EXPECT_EQ(peer->receive(100, 0), "LO?\rRR=1,-2\r");

    peer->hang_up();
    EXPECT_EQ(wm_comm_write(&link, "MS?"), ERR_WM_COMM);
    EXPECT_EQ(logged(), "wm_comm_write: sio_send_data failed, sendPacket = \"MS?\", nbytes = 3\n");
    clear_log();
    EXPECT_EQ(wm_comm_write(&link, ""), ERR_WM_COMM);  // the terminator alone
    EXPECT_EQ(logged(), "wm_comm_write: sio_send_data failed, nbytes = 1\n");
    clear_log();
    EXPECT_EQ(wm_flush_inp(&link), ERR_WM_COMM);
    EXPECT_EQ(logged(), "wm_flush_inp: sio_clear_buffer failed\n");
    EXPECT_EQ(now(), 0u);
}

TEST_F(WaveMonitorLink, WriteReadFailureNamesTheCommand)
{
    peer->answer("LO=1\r", bytes({21}));
    wm_buffer buf;
    EXPECT_EQ(wm_comm_write_rd(&link, "LO=1", &buf, 0, 0, WM_RESP_ACK, 1), ERR_WM_NAK);
    EXPECT_EQ(logged(), std::string(kStamp) + " wm_comm_read: ERR_WM_NAK: WM_RESP_ACK: received NAK\n" + kStamp +
                            " wm_comm_write_rd: error reading response to command \"LO=1\": ERR_WM_NAK\n");
    EXPECT_EQ(buf.data, nullptr);
}

TEST(WaveMonitorOpen, MissingNameFailsWithoutThePort)
{
    vptest::LogCapture log;
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        sio_link link;
        log.clear();
        EXPECT_EQ(wm_comm_open_fd(&link, name), ERR_WM_COMM);
        EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
        EXPECT_EQ(log.str(), std::string("wm_comm_open_fd: error initializing device ") + (name ? name : "(none)") +
                                 ": ERR_CANT_OPEN_SERIAL\n");
    }
}

// --- Against the virtual wave monitor ---

class WaveMonitor : public linktest::Links {
protected:
    void SetUp() override
    {
        Links::SetUp();
        ASSERT_EQ(sim::wavemon_device::create("COM12", &device), NO_ERROR);
        ASSERT_EQ(wm_comm_open_fd(&link, "COM12"), NO_ERROR);
    }
    void TearDown() override
    {
        if (link.handle != SIO_INVALID_HANDLE) {
            EXPECT_EQ(wm_comm_close(&link), NO_ERROR);
        }
        device.reset();
        Links::TearDown();
    }
    std::unique_ptr<sim::wavemon_device> device;
    sio_link link;
};

TEST_F(WaveMonitor, OpensAt115200WithoutFlowControl)
{
    sio_state s = device->peer().line();
    EXPECT_EQ(s.baud_rate, 115200u);
    EXPECT_EQ(s.parity, SIO_NOPARITY);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.out_x, 0);
    EXPECT_EQ(s.in_x, 0);
    EXPECT_TRUE(device->peer().dtr());
}

TEST_F(WaveMonitor, LaserSwitchWaitsForTheState)
{
    struct Case {
        int delay;  // queries until the laser follows; -1: never
        int32_t on;
        int32_t rc;
        uint64_t ms;
        std::size_t queries;
    } cases[] = {
        {0, 1, NO_ERROR, 1000, 1},
        {3, 1, NO_ERROR, 3000, 3},
        {10, 0, NO_ERROR, 10000, 10},
        {-1, 1, ERR_WM_LASER_CONTROL_TIMEOUT, 10000, 10},
        {11, 0, ERR_WM_LASER_CONTROL_TIMEOUT, 10000, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delay);
        device->set_laser(!c.on);
        device->set_laser_delay(c.delay);
        const std::size_t before = device->commands().size();
        clear_log();
        u_vclock_clear_sleeps();
        mark();
        EXPECT_EQ(wm_set_laser_with_wait(&link, c.on), c.rc);
        EXPECT_EQ(since_mark(), c.ms);
        EXPECT_EQ(u_vclock_sleeps(), std::vector<uint32_t>(c.queries, 1000));
        std::vector<std::string> sent = device->commands();
        std::vector<std::string> want{c.on ? "LO=1" : "LO=0"};
        want.insert(want.end(), c.queries, "LO?");
        EXPECT_EQ(std::vector<std::string>(sent.begin() + before, sent.end()), want);
        if (c.rc == NO_ERROR) {
            EXPECT_EQ(logged(), "");
        } else {
            EXPECT_EQ(logged(), std::string("wm_set_laser_with_wait: timeout waiting for laser to switch ") +
                                    (c.on ? "ON" : "OFF") + "\n");
        }
    }
    int32_t on = -1;
    device->set_laser(true);
    ASSERT_EQ(wm_get_laser(&link, &on), NO_ERROR);
    EXPECT_EQ(on, 1);
}

int g_abort_after = 0;  // the abort hook says yes on its n-th question
int g_abort_asked = 0;

TEST_F(WaveMonitor, AbortDuringTheLaserWait)
{
    device->set_laser(false);
    device->set_laser_delay(-1);
    g_abort_after = 3;
    g_abort_asked = 0;
    u_hooks.abort_requested = [] { return ++g_abort_asked >= g_abort_after ? 1 : 0; };
    EXPECT_EQ(wm_set_laser_with_wait(&link, 1), ERR_RIVERVALE_ABORTED);
    EXPECT_EQ(now(), 3000u);
    EXPECT_EQ(g_abort_asked, 3);
    EXPECT_EQ(device->commands().size(), 4u);  // LO=1 and three queries
    EXPECT_EQ(logged(), "wm_set_laser_with_wait: aborted waiting for laser to switch ON\n");
}

TEST_F(WaveMonitor, LaserCommandFailuresEndTheWait)
{
    device->script("LO=1", bytes({21}));
    EXPECT_EQ(wm_set_laser_with_wait(&link, 1), ERR_WM_NAK);
    EXPECT_EQ(now(), 0u);

    // The unit stops answering: the switch command's 10 s wait for its acknowledgement ends it.
    device->set_laser_delay(-1);
    ASSERT_EQ(wm_set_laser(&link, 0), NO_ERROR);
    device->set_silent(true);
    mark();
    EXPECT_EQ(wm_set_laser_with_wait(&link, 1), ERR_WM_TIMEOUT);
    EXPECT_EQ(since_mark(), 10000u);
}

TEST_F(WaveMonitor, CalibrationReadoutAndReport)
{
    const float gains[4] = {1.5f, 0.25f, 2.0f, 0.75f};
    const uint16_t offs[4] = {100, 200, 65535, 0};
    const float phs[3] = {0.5f, -1.25f, 3.0f};
    device->set_calibration(gains, 1.125f, offs, phs);
    uint32_t values[8] = {1, 2, 3, 4, 5, 3600, 7, 8};

    // Full calibration, an hour old.
    device->set_status(WM_CAL_CALIBRATED | WM_CAL_FULL, values);
    wm_calibration cal;
    ASSERT_EQ(wm_read_calibration(&link, &cal), NO_ERROR);
    EXPECT_TRUE(cal.calibrated);
    EXPECT_EQ(cal.topBits, 4);
    EXPECT_EQ(cal.calTime, linktest::kWallNow - 3600);
    EXPECT_EQ(cal.adcOffs[2], 65535);
    EXPECT_EQ(cal.phsOffs[1], -1.25f);
    wm_report_calibration(cal);
    EXPECT_EQ(logged(),
              "Wave monitor calibrated 2026-03-04 04:06:07\n"
              "ADC Gain A : 1.500000\nADC Gain B : 0.250000\nADC Gain C : 2.000000\nADC Gain D : 0.750000\n"
              "ADC Offs A : 100\nADC Offs B : 200\nADC Offs C : 65535\nADC Offs D : 0\n"
              "Phs Offs 01: 0.500000\nPhs Offs 12: -1.250000\nPhs Offs 23: 3.000000\n"
              "System Gain: 1.125000\n");
    EXPECT_EQ(device->commands(), (std::vector<std::string>{"MS?", "CC?"}));

    // Neither bit 30 nor 31 on the first answer: asked once more, the second says full.
    device->script("MS?", bytes({1, 0, 0, 0}) + std::string(20, '\0') + bytes({16, 0, 0, 0}) + std::string(8, '\0') +
                              bytes({6}));
    device->script("MS?", bytes({0, 0, 0, 0x40}) + std::string(32, '\0') + bytes({6}));
    ASSERT_EQ(wm_read_calibration(&link, &cal), NO_ERROR);
    EXPECT_EQ(cal.calTime, linktest::kWallNow - 16);
    EXPECT_EQ(cal.flags, WM_CAL_CALIBRATED | WM_CAL_FULL);
    EXPECT_EQ(cal.topBits, 4);
    EXPECT_EQ(cal.sysGain, 1.125f);
    EXPECT_EQ(device->commands(), (std::vector<std::string>{"MS?", "CC?", "MS?", "MS?", "CC?"}));

    // Only the system gain.
    device->set_status(WM_CAL_CALIBRATED | WM_CAL_BIT31, values);
    ASSERT_EQ(wm_read_calibration(&link, &cal), NO_ERROR);
    EXPECT_EQ(cal.topBits, 8);
    clear_log();
    wm_report_calibration(cal);
    EXPECT_EQ(logged(), "Wave monitor calibrated 2026-03-04 04:06:07\nSystem Gain: 1.125000\n");

    // Not calibrated: the readout ends after the status.
    device->set_status(0, values);
    const std::size_t before = device->commands().size();
    ASSERT_EQ(wm_read_calibration(&link, &cal), NO_ERROR);
    EXPECT_EQ(device->commands().size(), before + 1);
    EXPECT_EQ(cal.calTime, 0);
    clear_log();
    wm_report_calibration(cal);
    EXPECT_EQ(logged(), "Wave monitor not calibrated\n");
    EXPECT_EQ(now(), 0u);
}

TEST_F(WaveMonitor, SettingsAreSentInTheCLocale)
{
    struct Case {
        double value;
        bool cl;
        int32_t rc;
        const char* sent;  // "" for nothing
    } cases[] = {
        {1.5, true, NO_ERROR, "CL=15000000"},
        {-0.00000019, true, NO_ERROR, "CL=-1"},
        {100.0, true, NO_ERROR, "CL=1000000000"},
        {300.0, true, ERR_PARAM_OUT_OF_RANGE, ""},
        {-300.0, true, ERR_PARAM_OUT_OF_RANGE, ""},
        {2.5, false, NO_ERROR, "SS=2.500000"},
        {-1234.0000004, false, NO_ERROR, "SS=-1234.000000"},
        {1e20, false, NO_ERROR, "SS=100000000000000000000.000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        const std::size_t before = device->commands().size();
        EXPECT_EQ(c.cl ? wm_set_cl(&link, c.value) : wm_set_ss(&link, c.value), c.rc);
        std::vector<std::string> sent = device->commands();
        if (c.sent[0]) {
            ASSERT_EQ(sent.size(), before + 1);
            EXPECT_EQ(sent.back(), c.sent);
        } else {
            EXPECT_EQ(sent.size(), before);
        }
    }
    EXPECT_EQ(device->cl_value(), 1000000000);
    int32_t out[2] = {};
    ASSERT_EQ(wm_ramp_request(&link, 3, -4, out), NO_ERROR);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[1], -4);
    EXPECT_EQ(device->commands().back(), "RR=3,-4");
    EXPECT_EQ(wm_set_ss(&link, std::numeric_limits<double>::infinity()), ERR_PARAM_OUT_OF_RANGE);
}

TEST_F(WaveMonitor, SlotStateKeepsTheLinkAndReadout)
{
    wm_device* slot = wm_slot(2);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(wm_slot(4), nullptr);
    EXPECT_EQ(wm_slot(-1), nullptr);
    EXPECT_EQ(wm_comm_close(&link), NO_ERROR);
    ASSERT_EQ(wm_comm_open_fd(&slot->link, "COM12"), NO_ERROR);
    uint32_t values[8] = {0, 0, 0, 0, 0, 60, 0, 0};
    device->set_status(WM_CAL_CALIBRATED | WM_CAL_BIT31, values);
    ASSERT_EQ(wm_read_calibration(&slot->link, &slot->cal), NO_ERROR);
    EXPECT_EQ(wm_slot(2)->cal.calTime, linktest::kWallNow - 60);
    sysinfo_reset_runtime_all();
    EXPECT_EQ(wm_slot(2)->link.handle, SIO_INVALID_HANDLE);
    EXPECT_FALSE(wm_slot(2)->cal.calibrated);
    EXPECT_FALSE(device->peer().port_open());
}

}  // namespace
