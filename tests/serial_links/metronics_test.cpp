// Metronics position readout against the virtual readout.
#include <cmath>
#include <limits>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/posinstr/metronics.h"
#include "vell/sim/readout_device.h"
#include "tests/serial_links/links_fixture.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

class Metronics : public linktest::Links {
protected:
    void SetUp() override
    {
        Links::SetUp();
        ASSERT_EQ(sim::readout_device::create("COM5", &device), NO_ERROR);
        sysInfo* info = sysinfo_slot(1);
        info->posInstrType = POS_METRONICS;
        info->posInstrName[0].assign("COM5");
    }
    void TearDown() override
    {
        sysinfo_reset_runtime_all();
        sysinfo_set_defaults(1);
        device.reset();
        Links::TearDown();
    }
    std::unique_ptr<sim::readout_device> device;
};

TEST_F(Metronics, OpenSetsTheLineAndDiscardsTheFirstReading)
{
    device->set_position_mm(3.0);
    ASSERT_EQ(pi_metronics_open(1), NO_ERROR);
    sio_state s = device->peer().line();
    EXPECT_EQ(s.baud_rate, 115200u);
    EXPECT_EQ(s.parity, SIO_NOPARITY);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.out_x, 0);
    EXPECT_EQ(s.out_cts_flow, 1);  // CTS handshake
    EXPECT_EQ(device->queries(), 1);
    EXPECT_EQ(device->peer().received(), "KEY 1\n");
    EXPECT_EQ(pi_metronics_slot(1)->position, inf);
    EXPECT_EQ(now(), 200u);  // settle 100 ms, then 100 ms of quiet line

    // A readout that does not answer at first still opens.
    device->set_silent(true);
    clear_log();
    ASSERT_EQ(pi_metronics_open(1), NO_ERROR);
    EXPECT_EQ(logged(), "metronics_read_pos: sio_read_data failed\n");
}

TEST_F(Metronics, OpenRefusals)
{
    sysinfo_slot(1)->posInstrType = POS_LCDMI;
    EXPECT_EQ(pi_metronics_open(1), ERR_INVALID_PARAM);
    EXPECT_EQ(pi_metronics_open(7), ERR_INVALID_PARAM);
    sysinfo_slot(1)->posInstrType = POS_METRONICS;
    sysinfo_slot(1)->posInstrName[0].reset();
    clear_log();
    EXPECT_EQ(pi_metronics_open(1), ERR_POS_INSTR_COMM);
    EXPECT_EQ(logged(), "sio_open() failed: 121\npi_metronics_open() failed\n");
    EXPECT_EQ(pi_metronics_slot(1)->link.handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(device->queries(), 0);
    double pos = 0;
    EXPECT_EQ(metronics_read_pos(1, &pos), ERR_POS_INSTR_COMM);
    EXPECT_EQ(pos, inf);
}

TEST_F(Metronics, ReadsPositionsAndRefusesRubbish)
{
    ASSERT_EQ(pi_metronics_open(1), NO_ERROR);
    struct Case {
        std::string line;  // the readout's answer; "" for the display of 12.5 mm
        int32_t rc;
        double mm;
        std::string log;
        uint64_t ms;
    } cases[] = {
        {"", NO_ERROR, 12.5, "", 200},
        {"-0.5000 in\r\n", NO_ERROR, -12.7, "", 200},
        {"X - 1.25 MM\n", NO_ERROR, -1.25, "", 200},
        {"pos .5\r", NO_ERROR, 0.5, "", 200},
        {"0x1A mm\r", NO_ERROR, 0.0, "", 200},
        {"2.5e1 mm\r", NO_ERROR, 25.0, "", 200},
        {"ERROR\r\n", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received unexpected string \"ERROR\"\n", 200},
        {"nan inf\r\n", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received unexpected string \"nan inf\"\n", 200},
        {"\r\n", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received empty string\n", 200},
        {"at .x\r", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received invalid number \"at .x\"\n", 200},
        {"1e999 mm\r", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received invalid number \"1e999 mm\"\n", 200},
        {"-1e308 in\r", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received invalid number \"-1e308 in\"\n", 200},
        {"\xB0 12.0\r", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received invalid character 0xB0\n", 200},
        {std::string(79, '7') + "\r", NO_ERROR, 7777777777777777777777777777777777777777777777777777777777777777777777777777777.0, "", 200},
        {std::string(80, '7') + "\r", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received more than 79 chars\n", 200},
        {std::string(200, '7'), ERR_POS_INSTR_COMM, inf, "metronics_read_pos: received more than 79 chars\n", 200},
        {"12.0", ERR_POS_INSTR_COMM, inf, "metronics_read_pos: sio_read_data failed\n", 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        device->set_position_mm(12.5);
        if (!c.line.empty())
            device->script(c.line);
        clear_log();
        mark();
        double pos = 0;
        EXPECT_EQ(metronics_read_pos(1, &pos), c.rc);
        EXPECT_EQ(since_mark(), c.ms);
        if (std::isinf(c.mm)) {
            EXPECT_EQ(pos, inf);
        } else {
            EXPECT_NEAR(pos, c.mm, std::fabs(c.mm) * 1e-12);
        }
        EXPECT_EQ(pi_metronics_slot(1)->position, pos);
        EXPECT_EQ(logged(), c.log);
        uint32_t waiting = 1;
        EXPECT_EQ(sio_input_count(pi_metronics_slot(1)->link.handle, &waiting), NO_ERROR);
        EXPECT_EQ(waiting, 0u);  // the drain leaves nothing for the next query
    }
    device->set_inches(true);
    device->set_position_mm(-25.4);
    double pos = 0;
    ASSERT_EQ(metronics_read_pos(1, &pos), NO_ERROR);
    EXPECT_DOUBLE_EQ(pos, -25.4);
    EXPECT_EQ(pi_metronics_close(1), NO_ERROR);
    EXPECT_FALSE(device->peer().port_open());
}

}  // namespace
