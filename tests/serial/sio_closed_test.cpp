// The serial layer without a port: closed handles, missing arguments, port names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/os.h"
#include "vell/serial/sio.h"
#include "vell/serial/sio_backend.h"
#include "tests/support/test_support.h"

namespace {

TEST(SioClosed, LinkStartsClosed)
{
    sio_link link;
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(SIO_INVALID_HANDLE, -1);
}

TEST(SioClosed, EveryOperationRefusesTheClosedHandle)
{
    vptest::LogCapture log;
    const sio_handle h = SIO_INVALID_HANDLE;
    sio_state state{};
    sio_timeouts timeouts{};
    int32_t seconds = 77;
    uint32_t count = 55;
    char buf[4] = {'a', 'b', 'c', 'd'};

    EXPECT_EQ(sio_init(h, nullptr, 0), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_init(h, "9600,8,x,1", 1), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_init(h, "9600", 1), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_init_sw_flow(h, "r+"), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_baud_rate(h, 9600), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_parity(h, 2), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_data_bits(h, 7), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_enable_sw_flow(h), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_disable_sw_flow(h), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_get_read_timeout(h, &seconds), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(seconds, 77);
    EXPECT_EQ(sio_set_read_timeout(h, 1), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_get_timeouts(h, &timeouts), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_timeouts(h, &timeouts), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_get_state(h, &state), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_send_data(h, buf, 4, &count), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(count, 55u);  // nothing touched, not even the out-parameter
    EXPECT_EQ(sio_read_data(h, buf, 4, &count), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(sio_clear_buffer(h), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_input_count(h, &count), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(count, 55u);
    EXPECT_FALSE(sio_input_ready(h));

    sio_link link;
    EXPECT_EQ(sio_close(&link), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(log.str(), "");  // refusals of a closed link are silent
}

TEST(SioClosed, MissingLinkIsAnInvalidParameter)
{
    EXPECT_EQ(sio_open("COM1", nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(sio_close(nullptr), ERR_INVALID_PARAM);
}

TEST(SioClosed, MissingOrUnknownDeviceCannotBeOpened)
{
    sio_link link;
    EXPECT_EQ(sio_open(nullptr, &link), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);

    vptest::TempDir dir;
    EXPECT_EQ(sio_open(dir.str("no_such_port").c_str(), &link), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
    // A failed open leaves nothing to close.
    EXPECT_EQ(sio_close(&link), ERR_SERIAL_NOT_OPEN);
}

TEST(SioPortNames, ComNumbersAreRecognised)
{
    int n = 0;
    EXPECT_TRUE(sio_os::com_port_number("COM1", n));
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(sio_os::com_port_number("com12", n));
    EXPECT_EQ(n, 12);
    EXPECT_TRUE(sio_os::com_port_number("\\\\.\\COM256", n));
    EXPECT_EQ(n, 256);
    EXPECT_TRUE(sio_os::com_port_number("Com3", n));
    EXPECT_EQ(n, 3);

    for (const char* name : {"COM", "COM0", "COM01", "COM257", "COM1x", "COMX", "LPT1", "COM1000", "", " COM1"})
        EXPECT_FALSE(sio_os::com_port_number(name, n)) << name;
    EXPECT_FALSE(sio_os::com_port_number(nullptr, n));
}

#ifdef _WIN32
TEST(SioPortNames, ComPortsGetTheDevicePrefix)
{
    EXPECT_EQ(sio_os::device_path("COM1"), "\\\\.\\COM1");
    EXPECT_EQ(sio_os::device_path("com15"), "\\\\.\\COM15");
    EXPECT_EQ(sio_os::device_path("\\\\.\\COM2"), "\\\\.\\COM2");
    EXPECT_EQ(sio_os::device_path("NUL"), "NUL");
}
#else
TEST(SioPortNames, PathsComPortsAndDeviceNames)
{
    struct EnvRestore {
        ~EnvRestore()
        {
            os::set_env("VP_SERIAL_COM3", nullptr);
            os::set_env("VP_SERIAL_COM4", nullptr);
        }
    } restore;
    os::set_env("VP_SERIAL_COM3", nullptr);
    os::set_env("VP_SERIAL_COM4", "");

    EXPECT_EQ(sio_os::device_path("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(sio_os::device_path("./rel/port"), "./rel/port");
    EXPECT_EQ(sio_os::device_path("COM1"), "/dev/ttyS0");
    EXPECT_EQ(sio_os::device_path("com3"), "/dev/ttyS2");
    EXPECT_EQ(sio_os::device_path("\\\\.\\COM10"), "/dev/ttyS9");
    EXPECT_EQ(sio_os::device_path("COM4"), "/dev/ttyS3");  // an empty mapping is no mapping
    EXPECT_EQ(sio_os::device_path("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(sio_os::device_path("COM0"), "/dev/COM0");

    os::set_env("VP_SERIAL_COM3", "/dev/ttyACM1");
    EXPECT_EQ(sio_os::device_path("COM3"), "/dev/ttyACM1");
    EXPECT_EQ(sio_os::device_path("com3"), "/dev/ttyACM1");
    EXPECT_EQ(sio_os::device_path("COM30"), "/dev/ttyS29");
}

#endif

// Input of a port that marks line errors, fed in the pieces the system's reads may cut it into.
TEST(SioMarkedInput, MarksAreTakenOutAndRaiseTheFlags)
{
    struct row {
        std::vector<std::string> pieces;
        std::string data;
        uint32_t errors;
        uint8_t pending;  // after the last piece
    };
    const std::string ff("\xFF"), zero(1, '\0');
    const row rows[] = {
        {{"plain"}, "plain", 0, 0},
        {{ff + ff}, ff, 0, 0},
        {{"a" + ff + zero + "bc"}, "abc", SIO_CE_RXPARITY, 0},
        {{ff + zero + zero}, zero, SIO_CE_FRAME, 0},
        {{"a" + ff, zero, "b"}, "ab", SIO_CE_RXPARITY, 0},
        {{ff, ff + "x"}, ff + "x", 0, 0},
        {{ff + zero, zero + ff + zero + "p"}, zero + "p", SIO_CE_FRAME | SIO_CE_RXPARITY, 0},
        {{ff + "q"}, "q", 0, 0},  // a lone 255 the system never sends
        {{"ab" + ff}, "ab", 0, 1},
        {{"ab" + ff + zero}, "ab", 0, 2},
        {{""}, "", 0, 0},
    };
    for (const row& r : rows) {
        std::string data;
        uint8_t pending = 0;
        uint32_t errors = 0;
        for (std::string piece : r.pieces) {
            auto* bytes = reinterpret_cast<uint8_t*>(piece.data());
            uint32_t n = sio_os::unmark_input(bytes, static_cast<uint32_t>(piece.size()), pending, errors);
            ASSERT_LE(n, piece.size());
            data.append(piece.data(), n);
        }
        EXPECT_EQ(data, r.data) << r.data;
        EXPECT_EQ(errors, r.errors) << r.data;
        EXPECT_EQ(pending, r.pending) << r.data;
    }
}

TEST(SioOpen, FileThatIsNoPortIsOpenedButCannotBeSetUp)
{
    vptest::TempDir dir;
    vptest::write_file(dir / "plain", "not a port");
    sio_link link;
    EXPECT_EQ(sio_open(dir.str("plain").c_str(), &link), ERR_CANT_SET_SERIAL);
    ASSERT_NE(link.handle, SIO_INVALID_HANDLE);  // the caller closes it
    sio_state state{};
    EXPECT_EQ(sio_get_state(link.handle, &state), ERR_CANT_GET_SERIAL);
    EXPECT_EQ(sio_init(link.handle, nullptr, 1), ERR_CANT_GET_SERIAL);
    EXPECT_EQ(sio_set_baud_rate(link.handle, 9600), ERR_CANT_GET_SERIAL);
    EXPECT_EQ(sio_close(&link), NO_ERROR);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
}

}  // namespace
