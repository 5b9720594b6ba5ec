// Settings grammar, line discipline, setters and time-outs, on a virtual port.
#include <string>

#include "tests/serial/vport_fixture.h"

namespace {

using serialtest::same_state;
using serialtest::VirtualLink;
using vptest::LogCapture;

using SioOpenVirtual = VirtualLink;
using SioInit = VirtualLink;
using SioSetters = VirtualLink;
using SioTimeouts = VirtualLink;

TEST_F(SioOpenVirtual, PortIsBinaryAndHasTheOpeningTimeouts)
{
    sio_state s = state();
    EXPECT_EQ(s.binary, 1);
    sio_timeouts t{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &t), NO_ERROR);
    EXPECT_EQ(t.read_interval, 100u);
    EXPECT_EQ(t.read_total_multiplier, 0u);
    EXPECT_EQ(t.read_total_constant, 2000u);
    EXPECT_EQ(t.write_total_multiplier, 0u);
    EXPECT_EQ(t.write_total_constant, 1000u);
}

TEST_F(SioOpenVirtual, PortIsNotShared)
{
    sio_link second;
    EXPECT_EQ(sio_open("COM7", &second), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(second.handle, SIO_INVALID_HANDLE);
    // The first link is untouched by the refused open.
    EXPECT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    EXPECT_EQ(sio_close(&link), NO_ERROR);
    // Once closed, the port opens again.
    EXPECT_EQ(sio_open("COM7", &second), NO_ERROR);
    EXPECT_EQ(sio_close(&second), NO_ERROR);
}

TEST_F(SioInit, NoSettingsGiveTheDefaultsSilentlyWithSoftwareFlowControl)
{
    ASSERT_EQ(sio_init(link.handle, "19200,7,2,2", 0), NO_ERROR);
    LogCapture log;
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    EXPECT_EQ(log.str(), "");

    sio_state s = state();
    EXPECT_EQ(s.baud_rate, 9600u);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.parity, SIO_NOPARITY);
    EXPECT_EQ(s.parity_check, 0);
    EXPECT_EQ(s.stop_bits, SIO_ONESTOPBIT);
    EXPECT_EQ(s.binary, 1);
    EXPECT_EQ(s.out_x, 1);
    EXPECT_EQ(s.in_x, 1);
    EXPECT_EQ(s.xon_char, 17);
    EXPECT_EQ(s.xoff_char, 19);
    EXPECT_EQ(s.xon_lim, 100);
    EXPECT_EQ(s.xoff_lim, 3996);
    EXPECT_EQ(s.dtr_control, SIO_DTR_CONTROL_ENABLE);
    EXPECT_EQ(s.rts_control, SIO_RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(s.out_cts_flow, 0);
    EXPECT_EQ(s.abort_on_error, 0);

    // The device sees the same line, and DTR raised.
    EXPECT_TRUE(same_state(peer->line(), s));
    EXPECT_TRUE(peer->dtr());
}

TEST_F(SioInit, WithoutSoftwareFlowControlCtsAndAbortOnErrorAreOn)
{
    ASSERT_EQ(sio_init(link.handle, nullptr, 0), NO_ERROR);
    sio_state s = state();
    EXPECT_EQ(s.out_x, 0);
    EXPECT_EQ(s.in_x, 0);
    EXPECT_EQ(s.xon_char, 17);
    EXPECT_EQ(s.xoff_char, 19);
    EXPECT_EQ(s.xon_lim, 100);
    EXPECT_EQ(s.xoff_lim, 3996);
    EXPECT_EQ(s.rts_control, SIO_RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(s.dtr_control, SIO_DTR_CONTROL_ENABLE);
    EXPECT_EQ(s.out_cts_flow, 1);
    EXPECT_EQ(s.abort_on_error, 1);
}

TEST_F(SioInit, FullSettingsText)
{
    LogCapture log;
    ASSERT_EQ(sio_init_sw_flow(link.handle, "19200,7,2,1.5"), NO_ERROR);
    EXPECT_EQ(log.str(), "");
    sio_state s = state();
    EXPECT_EQ(s.baud_rate, 19200u);
    EXPECT_EQ(s.byte_size, 7);
    EXPECT_EQ(s.parity, SIO_EVENPARITY);
    EXPECT_EQ(s.parity_check, 1);
    EXPECT_EQ(s.stop_bits, SIO_ONE5STOPBITS);
}

TEST_F(SioInit, BaudAloneIsInvalidAndLeavesThePortAsItWas)
{
    ASSERT_EQ(sio_init(link.handle, "38400,7,1,2", 0), NO_ERROR);
    sio_timeouts custom{7, 8, 9000, 10, 11};
    ASSERT_EQ(sio_set_timeouts(link.handle, &custom), NO_ERROR);
    sio_state before = state();

    LogCapture log;
    EXPECT_EQ(sio_init_sw_flow(link.handle, "9600"), ERR_INVALID_PARAM);
    EXPECT_EQ(log.str(), "Com Settings Parameter: 9600 is Invalid.\n");

    EXPECT_TRUE(same_state(state(), before));
    sio_timeouts t{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &t), NO_ERROR);
    EXPECT_EQ(t.read_interval, 7u);
    EXPECT_EQ(t.read_total_multiplier, 8u);
    EXPECT_EQ(t.read_total_constant, 9000u);
    EXPECT_EQ(t.write_total_multiplier, 10u);
    EXPECT_EQ(t.write_total_constant, 11u);
}

TEST_F(SioInit, ParityThatIsNoDigitReturnsAtOnceWithoutLogLine)
{
    ASSERT_EQ(sio_init(link.handle, "38400,7,1,2", 0), NO_ERROR);
    sio_state before = state();
    LogCapture log;
    EXPECT_EQ(sio_init_sw_flow(link.handle, "9600,8,x,1"), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log.str(), "");
    EXPECT_TRUE(same_state(state(), before));
}

TEST_F(SioInit, StopBitsOutsideTheThreeAreOutOfRangeWithLogLine)
{
    ASSERT_EQ(sio_init(link.handle, "38400,7,1,2", 0), NO_ERROR);
    sio_state before = state();
    LogCapture log;
    EXPECT_EQ(sio_init_sw_flow(link.handle, "115200,8,0,3"), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log.str(), "Com Settings Parameter: 115200,8,0,3 is Invalid.\n");
    EXPECT_TRUE(same_state(state(), before));
}

TEST_F(SioInit, FileModeTextsAreIgnoredWithLogLine)
{
    for (const char* mode : {"r", "r+", "w", "w+", "a", "a+"}) {
        ASSERT_EQ(sio_init(link.handle, "38400,7,1,2", 0), NO_ERROR);
        LogCapture log;
        ASSERT_EQ(sio_init_sw_flow(link.handle, mode), NO_ERROR) << mode;
        EXPECT_EQ(log.str(), std::string("Com Settings Parameter: ") + mode + " is ignored.\n");
        sio_state s = state();
        EXPECT_EQ(s.baud_rate, 9600u) << mode;
        EXPECT_EQ(s.byte_size, 8) << mode;
        EXPECT_EQ(s.parity, SIO_NOPARITY) << mode;
        EXPECT_EQ(s.parity_check, 0) << mode;
        EXPECT_EQ(s.stop_bits, SIO_ONESTOPBIT) << mode;
        EXPECT_EQ(s.out_x, 1) << mode;
    }
}

struct settings_case {
    const char* text;
    int32_t result;
    bool logged;  // "is Invalid" line
};

TEST_F(SioInit, SettingsGrammar)
{
    const settings_case cases[] = {
        // every accepted baud rate
        {"150,8,0,1", NO_ERROR, false}, {"300,8,0,1", NO_ERROR, false}, {"600,8,0,1", NO_ERROR, false},
        {"1200,8,0,1", NO_ERROR, false}, {"2400,8,0,1", NO_ERROR, false}, {"4800,8,0,1", NO_ERROR, false},
        {"9600,8,0,1", NO_ERROR, false}, {"19200,8,0,1", NO_ERROR, false}, {"38400,8,0,1", NO_ERROR, false},
        {"57600,8,0,1", NO_ERROR, false}, {"115200,8,0,1", NO_ERROR, false},
        // other rates, even ones the port could run
        {"110,8,0,1", ERR_INVALID_PARAM, true}, {"14400,8,0,1", ERR_INVALID_PARAM, true},
        {"230400,8,0,1", ERR_INVALID_PARAM, true}, {"0,8,0,1", ERR_INVALID_PARAM, true},
        {"-9600,8,0,1", ERR_INVALID_PARAM, true}, {"99999999999999999999,8,0,1", ERR_INVALID_PARAM, true},
        {"", ERR_INVALID_PARAM, true}, {"rw", ERR_INVALID_PARAM, true}, {"R+", ERR_INVALID_PARAM, true},
        // data bits
        {"9600,5,0,1", NO_ERROR, false}, {"9600,6,0,1", NO_ERROR, false}, {"9600,7,0,1", NO_ERROR, false},
        {"9600,4,0,1", ERR_INVALID_PARAM, true}, {"9600,9,0,1", ERR_INVALID_PARAM, true},
        {"9600,,0,1", ERR_INVALID_PARAM, true},
        // missing commas
        {"9600,8", ERR_INVALID_PARAM, true}, {"9600,8,0", ERR_INVALID_PARAM, true},
        {"9600;8;0;1", ERR_INVALID_PARAM, true},
        // parity
        {"9600,8,1,1", NO_ERROR, false}, {"9600,8,2,1", NO_ERROR, false}, {"9600,8,01,1", NO_ERROR, false},
        {"9600,8,3,1", ERR_INVALID_PARAM, true}, {"9600,8,9,1", ERR_INVALID_PARAM, true},
        {"9600,8, 1,1", ERR_PARAM_OUT_OF_RANGE, false}, {"9600,8,-1,1", ERR_PARAM_OUT_OF_RANGE, false},
        {"9600,8,,1", ERR_PARAM_OUT_OF_RANGE, false}, {"9600,8,", ERR_PARAM_OUT_OF_RANGE, false},
        // stop bits, compared in single precision
        {"9600,8,0,2", NO_ERROR, false}, {"9600,8,0,1.5", NO_ERROR, false}, {"9600,8,0,1.0", NO_ERROR, false},
        {"9600,8,0,1.50", NO_ERROR, false}, {"9600,8,0, 2", NO_ERROR, false}, {"9600,8,0,+1", NO_ERROR, false},
        {"9600,8,0,1.25", ERR_PARAM_OUT_OF_RANGE, true}, {"9600,8,0,0", ERR_PARAM_OUT_OF_RANGE, true},
        {"9600,8,0,", ERR_PARAM_OUT_OF_RANGE, true}, {"9600,8,0,x", ERR_PARAM_OUT_OF_RANGE, true},
        {"9600,8,0,1e999", ERR_PARAM_OUT_OF_RANGE, true},
        // each field is read like atoi/atof: leading blanks count, trailing text does not
        {" 9600,8,0,1", NO_ERROR, false}, {"9600 baud,8 bits,0,1 stop", NO_ERROR, false},
        {"9600,8,0,1,extra", NO_ERROR, false},
    };
    for (const settings_case& c : cases) {
        LogCapture log;
        EXPECT_EQ(sio_init_sw_flow(link.handle, c.text), c.result) << '"' << c.text << '"';
        std::string expected = c.logged ? std::string("Com Settings Parameter: ") + c.text + " is Invalid.\n" : "";
        EXPECT_EQ(log.str(), expected) << '"' << c.text << '"';
    }
}

TEST_F(SioInit, FieldsAreTakenFromTheText)
{
    ASSERT_EQ(sio_init(link.handle, "57600,6,1,2", 0), NO_ERROR);
    sio_state s = state();
    EXPECT_EQ(s.baud_rate, 57600u);
    EXPECT_EQ(s.byte_size, 6);
    EXPECT_EQ(s.parity, SIO_ODDPARITY);
    EXPECT_EQ(s.parity_check, 1);
    EXPECT_EQ(s.stop_bits, SIO_TWOSTOPBITS);

    ASSERT_EQ(sio_init(link.handle, "300,5,0,1", 1), NO_ERROR);
    s = state();
    EXPECT_EQ(s.baud_rate, 300u);
    EXPECT_EQ(s.byte_size, 5);
    EXPECT_EQ(s.parity, SIO_NOPARITY);
    EXPECT_EQ(s.parity_check, 0);
    EXPECT_EQ(s.stop_bits, SIO_ONESTOPBIT);
}

TEST_F(SioInit, SetsTheFixedTimeouts)
{
    sio_timeouts custom{1, 2, 3, 4, 5};
    ASSERT_EQ(sio_set_timeouts(link.handle, &custom), NO_ERROR);
    ASSERT_EQ(sio_init(link.handle, "9600,8,0,1", 1), NO_ERROR);
    sio_timeouts t{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &t), NO_ERROR);
    EXPECT_EQ(t.read_interval, 100u);
    EXPECT_EQ(t.read_total_multiplier, 0u);
    EXPECT_EQ(t.read_total_constant, 2000u);
    EXPECT_EQ(t.write_total_multiplier, 0u);
    EXPECT_EQ(t.write_total_constant, 1000u);
}

TEST_F(SioSetters, InstrumentLinkSequence)
{
    // open, sio_init with software flow control and no text, own baud rate, flow control off
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    ASSERT_EQ(sio_set_baud_rate(link.handle, 38400), NO_ERROR);
    ASSERT_EQ(sio_disable_sw_flow(link.handle), NO_ERROR);
    sio_state s = state();
    EXPECT_EQ(s.baud_rate, 38400u);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.parity, SIO_NOPARITY);
    EXPECT_EQ(s.out_x, 0);
    EXPECT_EQ(s.in_x, 0);
    EXPECT_EQ(s.xon_char, 17);
    EXPECT_EQ(s.xoff_char, 19);
    EXPECT_EQ(s.xon_lim, 100);
    EXPECT_EQ(s.xoff_lim, 3996);
    EXPECT_EQ(s.out_cts_flow, 0);  // stays as sio_init left it
    EXPECT_EQ(s.abort_on_error, 0);
    EXPECT_EQ(s.rts_control, SIO_RTS_CONTROL_HANDSHAKE);
}

TEST_F(SioSetters, TemperatureControllerSequence)
{
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    ASSERT_EQ(sio_set_baud_rate(link.handle, 9600), NO_ERROR);
    ASSERT_EQ(sio_set_parity(link.handle, SIO_EVENPARITY), NO_ERROR);
    ASSERT_EQ(sio_set_data_bits(link.handle, 7), NO_ERROR);
    ASSERT_EQ(sio_disable_sw_flow(link.handle), NO_ERROR);
    sio_state s = state();
    EXPECT_EQ(s.baud_rate, 9600u);
    EXPECT_EQ(s.parity, SIO_EVENPARITY);
    EXPECT_EQ(s.parity_check, 1);
    EXPECT_EQ(s.byte_size, 7);
    EXPECT_EQ(s.out_x, 0);
}

TEST_F(SioSetters, EachSetterChangesOnlyItsOwnFields)
{
    ASSERT_EQ(sio_init(link.handle, "19200,7,1,2", 0), NO_ERROR);
    sio_state expected = state();

    ASSERT_EQ(sio_set_baud_rate(link.handle, 115200), NO_ERROR);
    expected.baud_rate = 115200;
    EXPECT_TRUE(same_state(state(), expected));

    ASSERT_EQ(sio_set_parity(link.handle, SIO_NOPARITY), NO_ERROR);
    expected.parity = SIO_NOPARITY;
    expected.parity_check = 0;
    EXPECT_TRUE(same_state(state(), expected));

    ASSERT_EQ(sio_set_parity(link.handle, SIO_ODDPARITY), NO_ERROR);
    expected.parity = SIO_ODDPARITY;
    expected.parity_check = 1;
    EXPECT_TRUE(same_state(state(), expected));

    ASSERT_EQ(sio_set_data_bits(link.handle, 5), NO_ERROR);
    expected.byte_size = 5;
    EXPECT_TRUE(same_state(state(), expected));

    ASSERT_EQ(sio_enable_sw_flow(link.handle), NO_ERROR);
    expected.out_x = 1;
    expected.in_x = 1;
    EXPECT_TRUE(same_state(state(), expected));  // CTS flow and abort-on-error stay on

    ASSERT_EQ(sio_disable_sw_flow(link.handle), NO_ERROR);
    expected.out_x = 0;
    expected.in_x = 0;
    EXPECT_TRUE(same_state(state(), expected));
}

TEST_F(SioSetters, MarkAndSpaceParity)
{
    ASSERT_EQ(sio_set_parity(link.handle, SIO_MARKPARITY), NO_ERROR);
    EXPECT_EQ(state().parity, SIO_MARKPARITY);
    EXPECT_EQ(state().parity_check, 1);
    ASSERT_EQ(sio_set_parity(link.handle, SIO_SPACEPARITY), NO_ERROR);
    EXPECT_EQ(state().parity, SIO_SPACEPARITY);
}

TEST_F(SioSetters, ValuesThePortCannotTakeChangeNothing)
{
    ASSERT_EQ(sio_init(link.handle, "19200,7,2,1", 1), NO_ERROR);
    sio_state before = state();
    LogCapture log;
    EXPECT_EQ(sio_set_baud_rate(link.handle, 0), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_baud_rate(link.handle, 12345), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_parity(link.handle, 5), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_parity(link.handle, -1), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_parity(link.handle, 256), ERR_CANT_SET_SERIAL);  // no wrap to "none"
    EXPECT_EQ(sio_set_data_bits(link.handle, 4), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_data_bits(link.handle, 9), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_data_bits(link.handle, 263), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(log.str(), "");
    EXPECT_TRUE(same_state(state(), before));
}

TEST_F(SioSetters, NullOutParameters)
{
    EXPECT_EQ(sio_get_state(link.handle, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(sio_get_timeouts(link.handle, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(sio_set_timeouts(link.handle, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(sio_get_read_timeout(link.handle, nullptr), ERR_INVALID_PARAM);
}

TEST_F(SioTimeouts, ReadTimeoutInWholeSeconds)
{
    sio_timeouts t{11, 22, 2500, 33, 44};
    ASSERT_EQ(sio_set_timeouts(link.handle, &t), NO_ERROR);
    int32_t seconds = -1;
    ASSERT_EQ(sio_get_read_timeout(link.handle, &seconds), NO_ERROR);
    EXPECT_EQ(seconds, 2);  // 2500 ms, truncated

    t.read_total_constant = 999;
    ASSERT_EQ(sio_set_timeouts(link.handle, &t), NO_ERROR);
    ASSERT_EQ(sio_get_read_timeout(link.handle, &seconds), NO_ERROR);
    EXPECT_EQ(seconds, 0);

    ASSERT_EQ(sio_set_read_timeout(link.handle, 10), NO_ERROR);
    ASSERT_EQ(sio_get_read_timeout(link.handle, &seconds), NO_ERROR);
    EXPECT_EQ(seconds, 10);
    sio_timeouts back{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &back), NO_ERROR);
    EXPECT_EQ(back.read_total_constant, 10000u);
    EXPECT_EQ(back.read_interval, 11u);  // the others stay as they were
    EXPECT_EQ(back.read_total_multiplier, 22u);
    EXPECT_EQ(back.write_total_multiplier, 33u);
    EXPECT_EQ(back.write_total_constant, 44u);
}

TEST_F(SioTimeouts, SecondsThatDoNotFitAreRefused)
{
    EXPECT_EQ(sio_set_read_timeout(link.handle, -1), ERR_INVALID_PARAM);
    EXPECT_EQ(sio_set_read_timeout(link.handle, 4294968), ERR_INVALID_PARAM);
    int32_t seconds = -1;
    ASSERT_EQ(sio_get_read_timeout(link.handle, &seconds), NO_ERROR);
    EXPECT_EQ(seconds, 2);  // unchanged from the opening value
    ASSERT_EQ(sio_set_read_timeout(link.handle, 4294967), NO_ERROR);
    ASSERT_EQ(sio_get_read_timeout(link.handle, &seconds), NO_ERROR);
    EXPECT_EQ(seconds, 4294967);
}


}  // namespace
