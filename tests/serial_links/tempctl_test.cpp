// Temperature controller link against the virtual controller and a raw device end.
#include <string>
#include <vector>

#include "vell/serial/tempctl.h"
#include "vell/sim/tempctl_device.h"
#include "tests/serial_links/links_fixture.h"

namespace {

using linktest::bytes;
using fault = sim::tempctl_device::fault;

class TempController : public linktest::Links {
protected:
    void SetUp() override
    {
        Links::SetUp();
        ASSERT_EQ(sim::tempctl_device::create("COM9", &device), NO_ERROR);
        ASSERT_EQ(temp_comm_open(&link, "COM9"), NO_ERROR);
    }
    void TearDown() override
    {
        EXPECT_EQ(temp_comm_close(&link), NO_ERROR);
        device.reset();
        Links::TearDown();
    }
    int32_t read_value(const char* mnemonic, std::string* value, std::size_t capacity = 32)
    {
        std::string text(std::max<std::size_t>(capacity, 3), '\0');
        text.replace(0, 2, mnemonic);
        int32_t rc = temp_comm_write(&link, text.data(), 2, TEMP_RESP_READ, capacity);
        *value = text.c_str();
        return rc;
    }
    uint32_t read_timeout_ms()
    {
        sio_timeouts t{};
        EXPECT_EQ(sio_get_timeouts(link.handle, &t), NO_ERROR);
        return t.read_total_constant;
    }

    std::unique_ptr<sim::tempctl_device> device;
    sio_link link;
};

TEST_F(TempController, OpensAt9600Even7)
{
    sio_state s = device->peer().line();
    EXPECT_EQ(s.baud_rate, 9600u);
    EXPECT_EQ(s.parity, SIO_EVENPARITY);
    EXPECT_EQ(s.parity_check, 1);
    EXPECT_EQ(s.byte_size, 7);
    EXPECT_EQ(s.out_x, 0);
    EXPECT_EQ(s.in_x, 0);
}

TEST_F(TempController, InitialisationWireBytesAndPause)
{
    ASSERT_EQ(temp_comm_init(&link), NO_ERROR);
    EXPECT_EQ(now(), 5000u);
    EXPECT_EQ(u_vclock_sleeps(), std::vector<uint32_t>{5000});
    const std::string head = bytes({4, '0', '0', '1', '1', 2});
    EXPECT_EQ(device->peer().received(), head + "IM0002." + bytes({3, 0x2B}) + head + "QD0002." + bytes({3, 0x3A}) +
                                             head + "Q10000." + bytes({3, 0x4D}) + head + "IM0000." + bytes({3, 0x29}));
    EXPECT_EQ(device->writes(), (std::vector<std::string>{"IM0002.", "QD0002.", "Q10000.", "IM0000."}));
    EXPECT_EQ(logged(), "");

    // A refused write ends the initialisation at once, without the pause.
    device->set_fault(fault::nak_writes);
    EXPECT_EQ(temp_comm_init(&link), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(now(), 5000u);
    EXPECT_EQ(device->writes().size(), 4u);
}

TEST_F(TempController, ReadsAValue)
{
    device->set_value("AB", "25.0");
    std::string value;
    ASSERT_EQ(read_value("AB", &value), NO_ERROR);
    EXPECT_EQ(value, "25.0");
    EXPECT_EQ(device->peer().received(), bytes({4, 0x30, 0x30, 0x31, 0x31, 0x41, 0x42, 5}));
    EXPECT_EQ(read_timeout_ms(), 2000u);
    EXPECT_EQ(now(), 0u);
    EXPECT_EQ(temp_bcc("AB25.0\x03", 7), 0x19);

    // The value fits the caller's buffer exactly, or is refused.
    ASSERT_EQ(read_value("AB", &value, 5), NO_ERROR);
    EXPECT_EQ(value, "25.0");
    EXPECT_EQ(read_value("AB", &value, 4), ERR_TEMP_SENSOR_READ);
    EXPECT_EQ(logged(), "temp_comm_write: value \"25.0\" does not fit in 4 bytes\n");
}

TEST_F(TempController, AnswerFaults)
{
    device->set_value("AB", "25.0");
    struct Case {
        const char* name;
        fault f;
        const char* mnemonic;
        int32_t rc;
        std::string log;
        uint64_t ms;
    } cases[] = {
        {"no such value", fault::none, "ZZ", ERR_TEMP_SENSOR_COMM, "temp_comm_read: received EOT, respType=2\n", 0},
        {"bad bcc", fault::bad_bcc, "AB", ERR_TEMP_SENSOR_CHECKSUM,
         "temp_comm_read: checksums mismatched: sent=76 calc=25\n", 0},
        {"wrong mnemonic", fault::wrong_mnemonic, "AB", ERR_TEMP_SENSOR_READ,
         "temp_comm_write: answer \"XX25.0\" does not start with the mnemonic AB\n", 0},
        {"silent", fault::silent, "AB", ERR_TEMP_SENSOR_TIMEOUT, "temp_comm_read: timeout on first byte, respType=2\n",
         10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device->set_fault(c.f);
        clear_log();
        mark();
        std::string value = "untouched";
        EXPECT_EQ(read_value(c.mnemonic, &value), c.rc);
        EXPECT_EQ(value, c.mnemonic);  // the caller's text is left alone
        EXPECT_EQ(logged(), c.log);
        EXPECT_EQ(since_mark(), c.ms);
        EXPECT_EQ(read_timeout_ms(), 2000u);
    }
}

TEST_F(TempController, NakIsFollowedByTheErrorRegister)
{
    // A write with a wrong BCC, sent by hand, is refused; the link reads the refusal and then the
    // controller's error register, and the next write is answered properly.
    const std::string bad = bytes({4, '0', '0', '1', '1', 2}) + "IM0002." + bytes({3, 0x2C});
    ASSERT_EQ(sio_send_data(link.handle, bad.data(), uint32_t(bad.size()), nullptr), NO_ERROR);
    char answer[TEMP_STR_MAX_LEN];
    EXPECT_EQ(temp_comm_read(&link, answer, sizeof answer, TEMP_RESP_WRITE), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(logged(),
              "temp_comm_read: received NAK\n"
              "char: 0x2\nchar: 0x45\nchar: 0x45\nchar: 0x30\nchar: 0x30\nchar: 0x30\nchar: 0x34\nchar: 0x3\n");
    EXPECT_EQ(device->peer().received(), bad + bytes({4, '0', '0', '1', '1', 'E', 'E', 5}));
    uint32_t waiting = 1;
    EXPECT_EQ(sio_input_count(link.handle, &waiting), NO_ERROR);
    EXPECT_EQ(waiting, 0u);  // the BCC after ETX was taken
    EXPECT_EQ(now(), 0u);

    char text[] = "QD0002.";
    EXPECT_EQ(temp_comm_write(&link, text, 7, TEMP_RESP_WRITE, sizeof text), NO_ERROR);
    EXPECT_EQ(device->writes(), std::vector<std::string>{"QD0002."});
}

TEST_F(TempController, RawAnswers)
{
    device->set_fault(fault::silent);
    struct Case {
        const char* name;
        std::string device;
        int32_t kind;
        int32_t rc;
        std::string log;
        uint64_t ms;
        std::string answer;
    } cases[] = {
        {"ack", bytes({6}), 1, NO_ERROR, "", 0, ""},
        {"any byte to a write", "x", 1, NO_ERROR, "", 0, ""},
        {"unknown", "x", 2, ERR_TEMP_SENSOR_COMM, "temp_comm_read: received unknown response character 0x78\n", 0, ""},
        {"cut", bytes({2}) + "AB2", 2, ERR_TEMP_SENSOR_READ,
         "temp_comm_read: sio_read_data failed: ERR_TEMP_SENSOR_READ\n", 2000, ""},
        {"no bcc", bytes({2}) + "AB" + bytes({3}), 2, ERR_TEMP_SENSOR_READ,
         "temp_comm_read: sio_read_data failed: ERR_TEMP_SENSOR_READ\n", 2000, ""},
        {"255 characters", bytes({2}) + std::string(255, 'a') + bytes({3, 'a' ^ 3}), 2, NO_ERROR, "", 0,
         std::string(255, 'a')},
        {"256 without ETX", bytes({2}) + std::string(300, 'b'), 2, ERR_TEMP_SENSOR_READ,
         "temp_comm_read: i=TEMP_STR_MAX_LEN\n", 0, ""},
        {"kind 3", "x", 3, ERR_TEMP_SENSOR_COMM, "temp_comm_read: unknown response type 3\n", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sio_clear_buffer(link.handle), 0);
        ASSERT_TRUE(device->peer().send(c.device));
        clear_log();
        mark();
        char answer[TEMP_STR_MAX_LEN] = "stale";
        EXPECT_EQ(temp_comm_read(&link, answer, sizeof answer, c.kind), c.rc);
        EXPECT_EQ(logged(), c.log);
        EXPECT_EQ(since_mark(), c.ms);
        EXPECT_EQ(std::string(answer), c.answer);
    }
    char small[TEMP_STR_MAX_LEN - 1];
    EXPECT_EQ(temp_comm_read(&link, small, sizeof small, TEMP_RESP_READ), ERR_INVALID_PARAM);
}

TEST(TempControllerOpen, MissingNameAndClosedLinks)
{
    vptest::LogCapture log;
    sio_link link;
    EXPECT_EQ(temp_comm_open(&link, ""), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(temp_comm_open(&link, nullptr), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(log.str(), "temp_comm_open: error initializing device : ERR_CANT_OPEN_SERIAL\n"
                         "temp_comm_open: error initializing device (none): ERR_CANT_OPEN_SERIAL\n");
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(temp_comm_close(nullptr), NO_ERROR);
    char text[] = "IM0002.";
    EXPECT_EQ(temp_comm_write(nullptr, text, 7, TEMP_RESP_WRITE, sizeof text), NO_ERROR);
    ASSERT_NE(temp_slot(0), nullptr);
    EXPECT_EQ(temp_slot(4), nullptr);
}

}  // namespace
