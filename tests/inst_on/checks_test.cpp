// inst_on's dispatch and checks, and the identity check, against a scripted board service and
// scripted power-on rows.
#include <string>
#include <vector>

#include "vell/platform/errors.h"
#include "tests/inst_on/inst_on_fixture.h"

namespace {

// The scripted board service and power-on rows.
struct script {
    inst_eeprom_identity eeprom;
    int32_t identity_rc = 0;
    int32_t board_type = BD_MODEL13;
    int32_t board_type_rc = 0;
    int32_t power_rc = 0;
    int calls = 0;
    std::vector<std::string> seen;  // power-on sequences run, camera configurations sent
};
script g;

int32_t read_identity(int, SysInfo&, inst_eeprom_identity* out)
{
    ++g.calls;
    if (g.identity_rc == 0)
        *out = g.eeprom;
    return g.identity_rc;
}
int32_t read_board_type(int, SysInfo&, int32_t* type)
{
    ++g.calls;
    *type = g.board_type;
    return g.board_type_rc;
}
int32_t send_camera_config(int, SysInfo&)
{
    g.seen.push_back("camera config");
    return 0;
}

template <int Seq>
int32_t scripted_on(int, SysInfo&)
{
    g.seen.push_back("on " + std::to_string(Seq));
    return g.power_rc;
}

class Checks : public insttest::PowerOn {
protected:
    void SetUp() override
    {
        PowerOn::SetUp();
        g = script{};
        static const inst_board_service svc{read_identity, read_board_type, send_camera_config};
        inst_set_board_service(&svc);
        install<INST_SEQ_BOARD01>();
        install<INST_SEQ_HXI>();
        install<INST_SEQ_MODEL34>();
        install<INST_SEQ_MODEL13>();
        install<INST_SEQ_MODEL31>();
        install<INST_SEQ_FTP>();
        install<INST_SEQ_CAN>();
    }
    template <int Seq>
    void install()
    {
        inst_sequence_ops row = *inst_sequence_row(Seq);
        row.on = scripted_on<Seq>;
        inst_set_sequence(Seq, row);
    }
};

// ---------------------------------------------------------------------------------------------
// inst_on: one row per case of the checks.

struct on_case {
    const char* what;
    int32_t board, sys, fg, camera, light, version;
    int32_t rc;
    const char* log;         // exactly what is logged
    const char* sequence;    // power-on run ("" none)
    bool camera_config;      // the custom camera configuration was sent
    uint8_t no_intens_avg;
};

const on_case on_cases[] = {
    {"CameraLink refuses SCA640", BD_CAN, SYS_MODEL23, FG_CAMERALINK, CAM_SCA640, 1, 0, ERR_SB_INST_CONFIG,
     "CameraLink frame grabber is incompatible with camera type SCA640\n", "on 7", false, 0},
    {"GigE takes SCA640G", BD_CAN, SYS_MODEL23, FG_GIGE, CAM_SCA640G, 1, 0, 0, "", "on 7", false, 0},
    {"Matrox refuses DGFLY1024", BD_HXI, SYS_HXI, FG_MATROX, CAM_DGFLY1024, 1, 9, ERR_SB_INST_CONFIG,
     "Matrox frame grabber is incompatible with camera type DGFLY1024\n", "on 2", false, 0},
    {"Matrox takes XC77CE", BD_HXI, SYS_HXI, FG_MATROX, CAM_XC77CE, 1, 0, 0, "", "on 2", false, 0},
    {"FireWire takes DGFLY640", BD_BOARD01, SYS_MODEL04, FG_FIREWIRE, CAM_DGFLY640, 1, 0, 0, "", "on 1", false, 0},
    {"X64LVDS refuses XC77CE", BD_FTP, SYS_FTP, FG_X64LVDS, CAM_XC77CE, 1, 0, ERR_SB_INST_CONFIG,
     "X64LVDS frame grabber is incompatible with camera type XC77CE\n", "on 6", false, 0},
    {"RPC takes anything", BD_FTP, SYS_FTP, FG_RPC, CAM_A504K, 1, 0, 0, "", "on 6", false, 0},
    {"XC7500S on Board01 v6", BD_BOARD01, SYS_MODEL04, FG_PULSAR, CAM_XC7500S, 1, 6, ERR_SB_INST_CONFIG,
     "Board01 instr software version 6 is incompatible with camera type XC7500.\n", "on 1", false, 0},
    {"XC7500S on Board01 v7", BD_BOARD01, SYS_MODEL04, FG_PULSAR, CAM_XC7500S, 1, 7, 0, "", "on 1", false, 0},
    {"XC7500 on HXI v5", BD_HXI, SYS_HXI, FG_GENESIS, CAM_XC7500, 1, 5, ERR_SB_INST_CONFIG,
     "HXI instr software version 5 is incompatible with camera type XC7500.\n", "on 2", false, 0},
    {"CUSTOM on HXI v7", BD_HXI, SYS_HXI, FG_CORONA, CAM_CUSTOM, 1, 7, ERR_SB_INST_CONFIG,
     "HXI instr software version 7 is incompatible with camera type CUSTOM.\n", "on 2", false, 0},
    {"CUSTOM on HXI v8", BD_HXI, SYS_HXI, FG_CORONA, CAM_CUSTOM, 1, 8, 0, "", "on 2", true, 0},
    {"CUSTOM on Board01 v12", BD_BOARD01, SYS_MODEL04, FG_BANDIT, CAM_CUSTOM, 1, 12, ERR_SB_INST_CONFIG,
     "Board01 instr software version 12 is incompatible with camera type CUSTOM.\n", "on 1", false, 0},
    {"CUSTOM on FlashBus: no software rule", BD_BOARD01, SYS_MODEL04, FG_FLASHBUS, CAM_CUSTOM, 1, 0, 0, "", "on 1",
     false, 0},
    {"unknown camera", BD_HXI, SYS_HXI, FG_NONE, CAM_UNKNOWN, 1, 0, ERR_SB_INST_CONFIG, "Unknown camera type\n",
     "on 2", false, 0},
    {"camera beyond its table", BD_HXI, SYS_HXI, FG_NONE, 33, 1, 0, ERR_SB_INST_CONFIG, "Unknown camera type\n",
     "on 2", false, 0},
    {"negative camera", BD_HXI, SYS_HXI, FG_NONE, -4, 1, 0, ERR_SB_INST_CONFIG, "Unknown camera type\n", "on 2",
     false, 0},
    {"frame grabber beyond its table", BD_HXI, SYS_HXI, 13, CAM_XC77CE, 1, 0, ERR_SB_INST_CONFIG,
     "Unknown frame grabber type\n", "on 2", false, 0},
    {"negative frame grabber", BD_HXI, SYS_HXI, -1, CAM_XC77CE, 1, 0, ERR_SB_INST_CONFIG,
     "Unknown frame grabber type\n", "on 2", false, 0},
    {"light 0", BD_HXI, SYS_HXI, FG_MATROX, CAM_XC77CE, 0, 0, ERR_SB_INST_CONFIG, "Unknown light type\n", "on 2",
     false, 0},
    {"light 6", BD_HXI, SYS_HXI, FG_MATROX, CAM_XC77CE, 6, 0, ERR_SB_INST_CONFIG, "Unknown light type\n", "on 2",
     false, 0},
    {"light LED", BD_HXI, SYS_HXI, FG_MATROX, CAM_XC77CE, 5, 0, 0, "", "on 2", false, 0},
    {"VIDICON on Model31: no averaging", BD_MODEL31, SYS_MODEL31, FG_MATROX, CAM_VIDICON, 1, 0, 0, "", "on 5",
     false, 1},
    {"CID2250 on CAN: averaging kept", BD_CAN, SYS_MODEL23, FG_NONE, CAM_CID2250, 1, 0, 0, "", "on 7", false, 0},
    {"Model13 board: no averaging", BD_MODEL13, SYS_MODEL14, FG_NONE, CAM_XC77CE, 1, 0, 0, "", "on 4", false, 1},
    {"Model34 on an HXI board", BD_HXI, SYS_MODEL34, FG_NONE, CAM_XC77CE, 1, 0, 0, "", "on 3", false, 0},
    {"Model21 on an HXI board", BD_HXI, SYS_MODEL21, FG_NONE, CAM_XC77CE, 1, 0, 0, "", "on 3", false, 0},
    {"NOTNEEDED: nothing to power", BD_NOTNEEDED, SYS_MODEL07, FG_NONE, CAM_XC77CE, 1, 0, 0, "", "", false, 0},
    {"Board02: no sequence", BD_BOARD02, SYS_MODEL02, FG_NONE, CAM_XC77CE, 1, 0, ERR_WRONG_INSTR_BOARD, "", "", false,
     0},
    {"board beyond its table", 12, SYS_MODEL02, FG_NONE, CAM_XC77CE, 1, 0, ERR_WRONG_INSTR_BOARD, "", "", false, 0},
};

TEST_F(Checks, InstOnRefusesWhatCannotWork)
{
    for (const on_case& c : on_cases) {
        SCOPED_TRACE(c.what);
        g = script{};
        log->clear();
        sysinfo_reset(*info);
        info->instrBdType = c.board;
        info->sysType = c.sys;
        info->fgType = c.fg;
        info->cameraType = c.camera;
        info->lightType = c.light;
        info->instrBdSwVersion = static_cast<uint8_t>(c.version);
        info->instrOn = 1;  // from an earlier power-on: every refusal must clear it
        info->noIntensAvg = 0;
        EXPECT_EQ(inst_on(0), c.rc);
        EXPECT_EQ(logged(), c.log);
        std::vector<std::string> expect;
        if (c.sequence[0] != '\0')
            expect.push_back(c.sequence);
        if (c.camera_config)
            expect.push_back("camera config");
        EXPECT_EQ(g.seen, expect);
        EXPECT_EQ(info->instrOn, c.rc == 0 ? 1 : 0);
        EXPECT_EQ(info->noIntensAvg, c.no_intens_avg);
    }
}

TEST_F(Checks, PowerOnFailureIsPassedOnUnchecked)
{
    info->instrBdType = BD_HXI;
    info->cameraType = CAM_UNKNOWN;  // would be refused by the checks
    info->instrOn = 1;
    g.power_rc = ERR_UZ_RECV_TIMEOUT;
    EXPECT_EQ(inst_on(0), ERR_UZ_RECV_TIMEOUT);
    EXPECT_EQ(logged(), "");
    EXPECT_EQ(info->instrOn, 0);
    EXPECT_EQ(inst_on(4), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(inst_on(-1), ERR_PARAM_OUT_OF_RANGE);
}

TEST_F(Checks, CustomCameraConfigurationFailureIsPassedOn)
{
    // A CAN board has no custom camera command: the built-in service refuses it.
    inst_set_board_service(nullptr);
    info->instrBdType = BD_CAN;
    info->fgType = FG_MATROX;
    info->cameraType = CAM_CUSTOM;
    EXPECT_EQ(inst_on(0), ERR_WRONG_INSTR_BOARD);
    EXPECT_EQ(info->instrOn, 0);
}

// ---------------------------------------------------------------------------------------------
// sysinfo_check_identity.

struct identity_case {
    const char* what;
    int32_t board;
    bool verify;
    inst_eeprom_identity eeprom;
    int32_t service_rc;
    int32_t rc;
    const char* log;
    int service_calls;
};

// The slot's identity in every case: Model17, camera PIA640, LED, board HXI, 204518, 2534.
const inst_eeprom_identity same{SYS_MODEL17, CAM_PIA640, LIGHT_LED, BD_HXI, 204518, 2534};

inst_eeprom_identity with(inst_eeprom_identity id, int field, int32_t value)
{
    int32_t* f[] = {&id.sysType, &id.cameraType, &id.lightType, &id.instrBdType, &id.serialNum};
    if (field < 5)
        *f[field] = value;
    else
        id.dateCode = static_cast<int16_t>(value);
    return id;
}

std::vector<int32_t> six(const SysInfo& i)
{
    return {i.sysType, i.cameraType, i.lightType, i.instrBdType, i.serialNum, i.dateCode};
}

const identity_case identity_cases[] = {
    {"same identity", BD_HXI, true, same, 0, 0, "", 1},
    {"system and serial differ: only the system", BD_HXI, true, with(with(same, 0, SYS_MODEL20), 4, 7), 0,
     ERR_SB_INST_CONFIG, "System type mismatch\nCal file says Model17, instrument EEPROM says Model20\n", 1},
    {"board differs", BD_HXI, true, with(same, 3, BD_FTP), 0, ERR_SB_INST_CONFIG,
     "Instrument board type mismatch\nCal file says HXI, instrument EEPROM says FTP\n", 1},
    {"camera differs", BD_HXI, true, with(same, 1, CAM_BASLER), 0, ERR_SB_INST_CONFIG,
     "Camera type mismatch\nCal file says PIA640, instrument EEPROM says BASLER\n", 1},
    {"light differs", BD_HXI, true, with(same, 2, LIGHT_WHITE), 0, ERR_SB_INST_CONFIG,
     "Light type mismatch\nCal file says LED, instrument EEPROM says White\n", 1},
    {"serial differs", BD_HXI, true, with(same, 4, 204519), 0, ERR_SB_INST_CONFIG,
     "System serial number mismatch\nCal file says 204518, instrument EEPROM says 204519\n", 1},
    {"date differs", BD_HXI, true, with(same, 5, -3), 0, ERR_SB_INST_CONFIG,
     "System date mismatch\nCal file says 2534, instrument EEPROM says -3\n", 1},
    {"EEPROM values beyond the tables are entry 0", BD_HXI, true, with(same, 0, 200), 0, ERR_SB_INST_CONFIG,
     "System type mismatch\nCal file says Model17, instrument EEPROM says Unknown\n", 1},
    {"no board connected", BD_HXI, true, same, ERR_WRONG_INSTR_BOARD, ERR_WRONG_INSTR_BOARD, "", 1},
    {"CAN: nothing to check", BD_CAN, true, with(same, 0, 1), 0, 0, "", 0},
    {"NOTNEEDED: nothing to check", BD_NOTNEEDED, false, with(same, 0, 1), 0, 0, "", 0},
};

TEST_F(Checks, IdentityVerifyAndAdopt)
{
    for (const identity_case& c : identity_cases) {
        SCOPED_TRACE(c.what);
        g = script{};
        log->clear();
        sysinfo_reset(*info);
        info->sysType = same.sysType;
        info->cameraType = same.cameraType;
        info->lightType = same.lightType;
        info->instrBdType = c.board;
        info->serialNum = same.serialNum;
        info->dateCode = same.dateCode;
        const std::vector<int32_t> before = six(*info);
        g.eeprom = c.eeprom;
        g.identity_rc = c.service_rc;
        EXPECT_EQ(sysinfo_check_identity(0, c.verify), c.rc);
        EXPECT_EQ(logged(), c.log);
        EXPECT_EQ(g.calls, c.service_calls);
        EXPECT_EQ(six(*info), before);  // verify never changes the slot
    }
}

TEST_F(Checks, AdoptTakesAllSixValuesSilently)
{
    info = sysinfo_slot(2);
    info->instrBdType = BD_FTP;
    g.eeprom = {SYS_MODEL31, CAM_TM6740, LIGHT_DIODE, BD_MODEL31, -5, -1234};
    EXPECT_EQ(sysinfo_check_identity(2, false), 0);
    EXPECT_EQ(info->sysType, SYS_MODEL31);
    EXPECT_EQ(info->cameraType, CAM_TM6740);
    EXPECT_EQ(info->lightType, LIGHT_DIODE);
    EXPECT_EQ(info->instrBdType, BD_MODEL31);
    EXPECT_EQ(info->serialNum, -5);
    EXPECT_EQ(info->dateCode, -1234);
    EXPECT_EQ(logged(), "");
    // A failing read leaves the slot as it was.
    g.identity_rc = ERR_UZ_RECV_TIMEOUT;
    g.eeprom = {};
    EXPECT_EQ(sysinfo_check_identity(2, false), ERR_UZ_RECV_TIMEOUT);
    EXPECT_EQ(info->sysType, SYS_MODEL31);
    EXPECT_EQ(sysinfo_check_identity(4, false), ERR_PARAM_OUT_OF_RANGE);
}

TEST_F(Checks, Model13ComparesOnlyTheBoardType)
{
    info->instrBdType = BD_MODEL13;
    info->sysType = SYS_MODEL14;
    g.board_type = BD_MODEL13;
    EXPECT_EQ(sysinfo_check_identity(0, true), 0);
    g.board_type = BD_BOARD04;
    EXPECT_EQ(sysinfo_check_identity(0, false), 0);  // adopt: nothing copied
    EXPECT_EQ(info->instrBdType, BD_MODEL13);
    EXPECT_EQ(logged(), "");
    EXPECT_EQ(sysinfo_check_identity(0, true), ERR_SB_INST_CONFIG);
    EXPECT_EQ(logged(), "Instrument board type mismatch\nCal file says Model13, instrument EEPROM says Board04\n");
    g.board_type_rc = ERR_HW_FAIL;
    EXPECT_EQ(sysinfo_check_identity(0, true), ERR_HW_FAIL);
    // The built-in service has no Model13 link.
    inst_set_board_service(nullptr);
    log->clear();
    EXPECT_EQ(sysinfo_check_identity(0, true), ERR_HW_FAIL);
    EXPECT_EQ(logged(), "Error reading instrument board type\n");
}

}  // namespace
