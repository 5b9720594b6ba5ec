// The serial boards' power-on, off, status and reset against the virtual board, on the virtual
// clock: the frames on the wire, the slot and the board link afterwards.
#include <optional>
#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/sim/board_device.h"
#include "tests/inst_on/inst_on_fixture.h"
#include "tools/inst_shell/commands.h"
#include "tools/inst_shell/virtual_instrument.h"

namespace {

using inst_shell::identity_field;

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += char(b);
    return s;
}

class SerialOn : public insttest::PowerOn {
protected:
    // An instrument of the board type on COM2 whose virtual board reports the identity of the
    // slot, or one that differs in a field.
    void make(int32_t board, int32_t sys, identity_field differs = identity_field::none)
    {
        info->instrBdType = board;
        info->sysType = sys;
        info->instrComm.assign("COM2");
        info->cameraType = CAM_XC77CE;
        info->fgType = FG_MATROX;
        info->serialNum = 100234;
        info->dateCode = 2417;
        std::string why;
        virt.emplace();  // a new board in place of the one before
        ASSERT_EQ(virt->build(*info, {differs, {}}, &why), NO_ERROR) << why;
        device = virt->board();
    }
    std::vector<std::string> frames() const
    {
        std::vector<std::string> out;
        for (const auto& f : device->frames())
            out.push_back(f.bytes);
        return out;
    }
    bool link_open() const { return ur_board_slot(0)->link.handle != SIO_INVALID_HANDLE; }

    std::optional<inst_shell::virtual_instrument> virt;
    sim::board_device* device = nullptr;
};

TEST_F(SerialOn, PowerOnReadsVersionAndIdentityOfEveryBoard)
{
    // Per board: the frames of SW_VERSION and the six EEPROM reads (system, camera, light,
    // board, serial number, date), each a two-byte request with its checksum.
    struct row {
        int32_t board, sys;
        std::vector<int> codes;
    } rows[] = {
        {BD_BOARD01, SYS_MODEL04, {31, 17, 13, 15, 21, 11, 19}},
        {BD_HXI, SYS_HXI, {28, 14, 10, 12, 18, 8, 16}},
        {BD_HXI, SYS_MODEL34, {28, 14, 10, 12, 18, 8, 16}},
        {BD_MODEL31, SYS_MODEL31, {24, 12, 8, 10, 16, 6, 14}},
        {BD_FTP, SYS_FTP, {27, 15, 11, 13, 19, 9, 17}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.board);
        sysinfo_reset(*info);
        make(r.board, r.sys);
        info->instrBdSwVersion = 0;
        const uint64_t t0 = u_now_ms();
        ASSERT_EQ(inst_on(0), NO_ERROR) << logged();
        EXPECT_EQ(u_now_ms() - t0, 0u);  // a board that answers at once costs no time
        EXPECT_EQ(info->instrOn, 1);
        EXPECT_EQ(info->instrBdSwVersion, 20);
        std::vector<std::string> expect;
        for (int code : r.codes)
            expect.push_back(bytes({2, code, code}));
        EXPECT_EQ(frames(), expect);
        const ur_board* b = ur_board_slot(0);
        EXPECT_EQ(b->type(), r.board);
        EXPECT_STREQ(b->port(), "COM2");
        EXPECT_TRUE(dev_registered(b->link.handle));
        EXPECT_EQ(inst_off(0), NO_ERROR);
        EXPECT_FALSE(link_open());
        EXPECT_EQ(info->instrOn, 0);
    }
}

TEST_F(SerialOn, IdentityMismatchRefusesAndClosesTheLink)
{
    make(BD_HXI, SYS_HXI, identity_field::date);
    EXPECT_EQ(inst_on(0), ERR_SB_INST_CONFIG);
    EXPECT_NE(logged().find("System date mismatch\nCal file says 2417, instrument EEPROM says 2418\n"),
              std::string::npos);
    EXPECT_EQ(info->instrOn, 0);
    EXPECT_FALSE(link_open());
    EXPECT_EQ(inst_status(0), ERR_SERIAL_NOT_OPEN);
}

TEST_F(SerialOn, SilentBoardTimesOutAfterTenSeconds)
{
    make(BD_MODEL31, SYS_MODEL31);
    device->script(sim::board_device::fault::silent);
    const uint64_t t0 = u_now_ms();
    EXPECT_EQ(inst_on(0), ERR_UZ_RECV_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 10000u);
    EXPECT_FALSE(link_open());
    EXPECT_EQ(info->instrOn, 0);
}

TEST_F(SerialOn, MissingOrUnknownPortIsACommError)
{
    make(BD_FTP, SYS_FTP);
    info->instrComm.assign("COM7");  // nobody serves it
    EXPECT_EQ(inst_on(0), ERR_UZ_COMM);
    info->instrComm.reset();
    log->clear();
    EXPECT_EQ(inst_on(0), ERR_UZ_COMM);
    EXPECT_EQ(logged(), "inst_on failed: no InstrComm port in the calibration file: ERR_UZ_COMM\n");
    EXPECT_TRUE(device->frames().empty());
}

TEST_F(SerialOn, OffThenOnAndResetWithoutRereadingTheFile)
{
    make(BD_HXI, SYS_HXI);
    ASSERT_EQ(inst_on(0), NO_ERROR);
    EXPECT_EQ(inst_status(0), NO_ERROR);
    EXPECT_EQ(frames().back(), bytes({2, 28, 28}));  // status asks the software version
    EXPECT_EQ(inst_on(0), NO_ERROR);                  // on while on: the link is opened afresh
    EXPECT_EQ(inst_reset(0), NO_ERROR);
    EXPECT_EQ(info->instrOn, 1);
    EXPECT_EQ(inst_off(0), NO_ERROR);
    EXPECT_EQ(inst_off(0), NO_ERROR);  // already off
    EXPECT_EQ(inst_on(0), NO_ERROR);
    EXPECT_EQ(frames().size(), 1 + 7 * 4u);
}

TEST_F(SerialOn, CustomCameraConfigurationOnTheWire)
{
    // HXI sends bytes 1 and 2; Board01 and FTP bytes 3, 4, 5, 6, 7, 9, 8, 10.
    struct row {
        int32_t board, sys;
        std::string frame;
    } rows[] = {
        {BD_HXI, SYS_HXI, bytes({4, 56, 11, 12, (56 + 11 + 12) & 0xFF})},
        {BD_BOARD01, SYS_MODEL04, bytes({10, 54, 13, 14, 15, 16, 17, 19, 18, 20, (54 + 13 + 14 + 15 + 16 + 17 + 19 + 18 + 20) & 0xFF})},
        {BD_FTP, SYS_FTP, bytes({10, 41, 13, 14, 15, 16, 17, 19, 18, 20, (41 + 13 + 14 + 15 + 16 + 17 + 19 + 18 + 20) & 0xFF})},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.board);
        sysinfo_reset(*info);
        make(r.board, r.sys);
        info->cameraType = CAM_CUSTOM;
        for (int i = 0; i < 10; ++i)
            info->cameraConfig[i] = static_cast<uint8_t>(11 + i);
        sim::board_device::identity id = device->get_identity();
        id.camera = CAM_CUSTOM;
        device->set_identity(id);
        ASSERT_EQ(inst_on(0), NO_ERROR) << logged();
        EXPECT_EQ(frames().back(), r.frame);
        EXPECT_EQ(inst_off(0), NO_ERROR);
    }
    // Not CUSTOM: refused before anything is sent.
    info->cameraType = CAM_XC77CE;
    EXPECT_EQ(inst_board_service_in_use().send_camera_config(0, *info), ERR_INVALID_PARAM);
}

TEST_F(SerialOn, EventsShowAndClearTheBoardsReports)
{
    make(BD_HXI, SYS_HXI);
    ASSERT_EQ(inst_on(0), NO_ERROR);
    device->send_report(135, 4);  // function key 4
    device->send_report(157, 1);  // ring/spot
    std::FILE* out = std::tmpfile();
    inst_shell::session s;
    s.info = info;
    s.out = out;
    s.instruments = {"the board of this test"};
    EXPECT_EQ(inst_shell::run_command(s, {"events"}), NO_ERROR);
    EXPECT_EQ(inst_shell::run_command(s, {"events"}), NO_ERROR);
    std::rewind(out);
    std::string text(512, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    EXPECT_EQ(text,
              "  board report: code 135, value 4\n"
              "  board report: code 157, value 1\n"
              "events: 2 events shown\n"
              "events: no events waiting\n");
}

}  // namespace
