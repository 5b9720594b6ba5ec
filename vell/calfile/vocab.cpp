#include "vell/calfile/vocab.h"

#include "vell/calfile/sysinfo.h"

const cal_vocab_entry cal_vocab[] = {
    {",", TOK_COMMA},
    {":", TOK_COLON},
    {"[", TOK_LBRACKET},
    {"]", TOK_RBRACKET},
    {"a311f", TOK_A311F},
    {"a312f", TOK_A312F},
    {"a504k", TOK_A504K},
    {"abswavemeter", TOK_ABSWAVEMETER},
    {"adc", TOK_ADC},
    {"adimec1000", TOK_ADIMEC1000},
    {"adimec4050", TOK_ADIMEC4050},
    {"adimec4150", TOK_ADIMEC4150},
    {"af_gain", TOK_AF_GAIN},
    {"af_ref_adc", TOK_AF_REF_ADC},
    {"af_ref_gain", TOK_AF_REF_GAIN},
    {"af_thresh", TOK_AF_THRESH},
    {"align", TOK_ALIGN},
    {"alignmodepct", TOK_ALIGNMODEPCT},
    {"avgcurlimit", TOK_AVGCURLIMIT},
    {"axiom", TOK_AXIOM},
    {"axiscomp_a", TOK_AXISCOMP_A},
    {"axiscomp_b", TOK_AXISCOMP_B},
    {"axiscomp_p", TOK_AXISCOMP_P},
    {"axiscomp_r", TOK_AXISCOMP_R},
    {"axiscomp_t", TOK_AXISCOMP_T},
    {"axiscomp_x", TOK_AXISCOMP_X},
    {"axiscomp_y", TOK_AXISCOMP_Y},
    {"axiscomp_z", TOK_AXISCOMP_Z},
    {"bad", TOK_BAD},
    {"bandit", TOK_BANDIT},
    {"basler", TOK_BASLER},
    {"board01", TOK_BOARD01},
    {"bpix", TOK_BPIX},
    {"bpixels", TOK_BAD},
    {"camera", TOK_CAMERA},
    {"cameralink", TOK_CAMERALINK},
    {"can", TOK_CAN},
    {"center", TOK_CENTER},
    {"cid2220", TOK_CID2220},
    {"cid2250", TOK_CID2250},
    {"clock", TOK_CLOCK},
    {"config", TOK_CONFIG},
    {"configuration", TOK_CONFIG},
    {"corona", TOK_CORONA},
    {"custom", TOK_CUSTOM},
    {"dark", TOK_DARK},
    {"dd100mc", TOK_DD100MC},
    {"dd100mc_b", TOK_DD100MC_B},
    {"default", TOK_DEFAULT},
    {"dgfly1024", TOK_DGFLY1024},
    {"dgfly6200", TOK_DGFLY6200},
    {"dgfly640", TOK_DGFLY640},
    {"diffdiskfraction", TOK_DIFFDISKFRACTION},
    {"diffdiskrate", TOK_DIFFDISKRATE},
    {"diode", TOK_DIODE},
    {"dynwavegen", TOK_DYNWAVEGEN},
    {"e2v7899", TOK_E2V7899},
    {"eev1715a", TOK_EEV1715A},
    {"encodedradiusscale", TOK_ENCODEDRADIUSSCALE},
    {"euro2216e", TOK_EURO2216E},
    {"fast", TOK_FAST},
    {"file", TOK_FILE},
    {"firewire", TOK_FIREWIRE},
    {"flashbus", TOK_FLASHBUS},
    {"freq", TOK_FREQ},
    {"ftp", TOK_FTP},
    {"ftpavg_k0", TOK_FTPAVGK0},
    {"ftpavgk0", TOK_FTPAVGK0},
    {"ftpdisper", TOK_FTPDISPER},
    {"ftpdmicenter", TOK_FTPDMICENTER},
    {"ftpdmiscale", TOK_FTPDMISCALE},
    {"ftpimagerot", TOK_FTPIMAGEROT},
    {"ftplog", TOK_FTPLOG},
    {"ftpmaterials", TOK_FTPMATERIALS},
    {"ftpsi", TOK_MODEL34},
    {"ftpsiinvertdata", TOK_FTPSIINVERTDATA},
    {"ftpsys", TOK_FTPSYS},
    {"ftpsysinitper", TOK_FTPZEROGAGEPER},
    {"ftptemperature", TOK_FTPTEMPERATURE},
    {"ftptiltcenter", TOK_FTPTILTCENTER},
    {"ftpzerogageper", TOK_FTPZEROGAGEPER},
    {"ftpzeroptpos", TOK_FTPZEROPTPOS},
    {"fwdvoltage", TOK_FWDVOLTAGE},
    {"genesis", TOK_GENESIS},
    {"gige", TOK_GIGE},
    {"heid", TOK_HEID},
    {"hene", TOK_HENE},
    {"hxi", TOK_HXI},
    {"hxienczoombacklash", TOK_HXIENCZOOMBACKLASH},
    {"hxienczoomcalfile", TOK_HXIENCZOOMCALFILE},
    {"hxienczoomconfig", TOK_HXIENCZOOMCONFIG},
    {"hxienczoomproglim", TOK_HXIENCZOOMPROGLIM},
    {"hxienczoomstdmags", TOK_HXIENCZOOMSTDMAGS},
    {"hxienczoomwandlim", TOK_HXIENCZOOMWANDLIM},
    {"ignoredualbrushmotor", TOK_IGNOREDUALBRUSHMOTOR},
    {"ignorefocusndw", TOK_IGNOREFOCUSNDW},
    {"ignorelaps", TOK_IGNORELAPS},
    {"ignorepzt", TOK_IGNOREPZT},
    {"ignorewand", TOK_IGNOREWAND},
    {"ignorezoom", TOK_IGNOREZOOM},
    {"imperxvga", TOK_IMPERXVGA},
    {"instr", TOK_INSTR},
    {"instrcomm", TOK_INSTRCOMM},
    {"instrname", TOK_INSTRNAME},
    {"intfradiusscale", TOK_INTFRADIUSSCALE},
    {"invertdata", TOK_INVERTDATA},
    {"kivo", TOK_MODEL13},
    {"lcdmi", TOK_LCDMI},
    {"led", TOK_LED},
    {"light", TOK_LIGHT},
    {"llc", TOK_LLC},
    {"macaddress", TOK_MACADDRESS},
    {"matrox", TOK_MATROX},
    {"metronics", TOK_METRONICS},
    {"microlynx", TOK_MICROLYNX},
    {"model04", TOK_MODEL04},
    {"model05", TOK_MODEL05},
    {"model06", TOK_MODEL06},
    {"model07", TOK_MODEL07},
    {"model08", TOK_MODEL08},
    {"model09", TOK_MODEL09},
    {"model10", TOK_MODEL10},
    {"model11", TOK_MODEL11},
    {"model12", TOK_MODEL12},
    {"model13", TOK_MODEL13},
    {"model14", TOK_MODEL14},
    {"model15", TOK_MODEL15},
    {"model16", TOK_MODEL16},
    {"model17", TOK_MODEL17},
    {"model18", TOK_MODEL18},
    {"model19", TOK_MODEL19},
    {"model20", TOK_MODEL20},
    {"model21", TOK_MODEL21},
    {"model22", TOK_MODEL22},
    {"model23", TOK_MODEL23},
    {"model24", TOK_MODEL24},
    {"model25", TOK_MODEL25},
    {"model26", TOK_MODEL26},
    {"model27", TOK_MODEL27},
    {"model28", TOK_MODEL28},
    {"model29", TOK_MODEL29},
    {"model31", TOK_MODEL31},
    {"model33", TOK_MODEL33},
    {"model34", TOK_MODEL34},
    {"motionctrl", TOK_MOTIONCTRL},
    {"nointensavg", TOK_NOINTENSAVG},
    {"nommag", TOK_NOMMAG},
    {"none", TOK_NONE},
    {"notneeded", TOK_NOTNEEDED},
    {"options", TOK_OPTIONS},
    {"p62505", TOK_P62505},
    {"pc2vision", TOK_PC2VISION},
    {"pendentmenu", TOK_PENDENTMENU},
    {"period", TOK_PERIOD},
    {"pia1000", TOK_PIA1000},
    {"pia640", TOK_PIA640},
    {"pidvals_a", TOK_PIDVALS_A},
    {"pidvals_b", TOK_PIDVALS_B},
    {"pidvals_p", TOK_PIDVALS_P},
    {"pidvals_r", TOK_PIDVALS_R},
    {"pidvals_t", TOK_PIDVALS_T},
    {"pidvals_x", TOK_PIDVALS_X},
    {"pidvals_y", TOK_PIDVALS_Y},
    {"pidvals_z", TOK_PIDVALS_Z},
    {"pifoc", TOK_PIFOC},
    {"pifocpolarity", TOK_PIFOCPOLARITY},
    {"pifoctype", TOK_PIFOCTYPE},
    {"pll", TOK_PLL},
    {"posinstr", TOK_POSINSTR},
    {"pr_gain", TOK_PR_GAIN},
    {"pr_offset", TOK_PR_OFFSET},
    {"pr_ref_adc", TOK_PR_REF_ADC},
    {"pr_ref_gain", TOK_PR_REF_GAIN},
    {"pr_thresh", TOK_PR_THRESH},
    {"pulsar", TOK_PULSAR},
    {"pztid", TOK_PZTID},
    {"pztpwr", TOK_PZTPWR},
    {"radcrvfoccal", TOK_RADCRVFOCCAL},
    {"radcrvpwrcal", TOK_RADCRVPWRCAL},
    {"ramp", TOK_RAMP},
    {"range", TOK_RANGE},
    {"remote", TOK_REMOTE},
    {"renishaw_stepnet", TOK_RENISHAW_STEPNET},
    {"ringspot", TOK_RINGSPOT},
    {"rpc", TOK_RPC},
    {"sca640", TOK_SCA640},
    {"sca640g", TOK_SCA640G},
    {"scancal", TOK_SCANCAL},
    {"sdccal", TOK_SDCCAL},
    {"sim200", TOK_SIM200},
    {"sleeptimeout", TOK_SLEEPTIMEOUT},
    {"slow", TOK_SLOW},
    {"smd4m15", TOK_SMD4M15},
    {"special", TOK_SPECIAL},
    {"splitx", TOK_SPLITX},
    {"splity", TOK_SPLITY},
    {"stepnet", TOK_STEPNET},
    {"su320", TOK_SU320},
    {"sysmag", TOK_SYSMAG},
    {"target", TOK_TARGET},
    {"tempsensor", TOK_TEMPSENSOR},
    {"tesk", TOK_MODEL07},
    {"tm6705", TOK_TM6705},
    {"tm6710", TOK_TM6710},
    {"tm6740", TOK_TM6740},
    {"tnxvmi501", TOK_TNXVMI501},
    {"topleft", TOK_TOPLEFT},
    {"touchscreen", TOK_TOUCHSCREEN},
    {"trans", TOK_TRANS},
    {"turret", TOK_TURRET},
    {"type", TOK_TYPE},
    {"unit", TOK_UNIT},
    {"usded2", TOK_USDED2},
    {"version", TOK_VERSION},
    {"vidicon", TOK_VIDICON},
    {"vmi", TOK_VMI},
    {"vmi501", TOK_VMI501},
    {"white", TOK_WHITE},
    {"wmcomm", TOK_WMCOMM},
    {"wmmaxbuckets", TOK_WMMAXBUCKETS},
    {"wmmonopd", TOK_WMMONOPD},
    {"wmsysgain", TOK_WMSYSGAIN},
    {"wmtunerange", TOK_WMTUNERANGE},
    {"wmtunerate", TOK_WMTUNERATE},
    {"x64lvds", TOK_X64LVDS},
    {"xaxisbacklash", TOK_XAXISBACKLASH},
    {"xc7500", TOK_XC7500},
    {"xc7500s", TOK_XC7500S},
    {"xc77", TOK_XC77CE},
    {"xc77ce", TOK_XC77CE},
    {"yaxisbacklash", TOK_YAXISBACKLASH},
    {"zaxisbacklash", TOK_ZAXISBACKLASH},
    {"zaxiscal", TOK_ZAXISCAL},
    {"zcanclosedloop", TOK_ZCANCLOSEDLOOP},
    {"zencoder", TOK_ZENCODER},
    {"zoom", TOK_ZOOM},
};

const std::size_t cal_vocab_size = sizeof(cal_vocab) / sizeof(cal_vocab[0]);

cal_token cal_lookup(std::string_view word)
{
    std::size_t lo = 0, hi = cal_vocab_size;
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;
        std::string_view entry = cal_vocab[mid].word;
        int c = word.compare(entry);
        if (c == 0)
            return cal_vocab[mid].token;
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return TOK_UNKNOWN;
}

namespace {

struct token_value {
    cal_token token;
    int value;
};

template <std::size_t N>
int value_of(const token_value (&table)[N], cal_token token)
{
    for (const auto& entry : table)
        if (entry.token == token)
            return entry.value;
    return -1;
}

const token_value sys_types[] = {
    {TOK_HXI, SYS_HXI},         {TOK_MODEL04, SYS_MODEL04}, {TOK_MODEL05, SYS_MODEL05},
    {TOK_MODEL06, SYS_MODEL06}, {TOK_MODEL08, SYS_MODEL08}, {TOK_MODEL09, SYS_MODEL09},
    {TOK_MODEL10, SYS_MODEL10}, {TOK_MODEL11, SYS_MODEL11}, {TOK_MODEL12, SYS_MODEL12},
    {TOK_MODEL13, SYS_MODEL13}, {TOK_MODEL31, SYS_MODEL31}, {TOK_FTP, SYS_FTP},
    {TOK_MODEL14, SYS_MODEL14}, {TOK_MODEL33, SYS_MODEL33}, {TOK_MODEL34, SYS_MODEL34},
    {TOK_MODEL16, SYS_MODEL16}, {TOK_MODEL07, SYS_MODEL07}, {TOK_MODEL15, SYS_MODEL15},
    {TOK_MODEL17, SYS_MODEL17}, {TOK_MODEL18, SYS_MODEL18}, {TOK_MODEL19, SYS_MODEL19},
    {TOK_MODEL20, SYS_MODEL20}, {TOK_MODEL21, SYS_MODEL21}, {TOK_MODEL22, SYS_MODEL22},
    {TOK_MODEL23, SYS_MODEL23}, {TOK_MODEL24, SYS_MODEL24}, {TOK_MODEL25, SYS_MODEL25},
    {TOK_MODEL26, SYS_MODEL26}, {TOK_MODEL28, SYS_MODEL28}, {TOK_MODEL27, SYS_MODEL27},
    {TOK_MODEL29, SYS_MODEL29}, {TOK_SPECIAL, SYS_SPECIAL},
};

const token_value board_types[] = {
    {TOK_NONE, BD_NONE},       {TOK_BOARD01, BD_BOARD01}, {TOK_HXI, BD_HXI},
    {TOK_MODEL13, BD_MODEL13}, {TOK_MODEL31, BD_MODEL31}, {TOK_FTP, BD_FTP},
    {TOK_CAN, BD_CAN},         {TOK_NOTNEEDED, BD_NOTNEEDED},
};

const token_value fg_types[] = {
    {TOK_NONE, FG_NONE},         {TOK_RPC, FG_RPC},           {TOK_MATROX, FG_MATROX},
    {TOK_PULSAR, FG_PULSAR},     {TOK_GENESIS, FG_GENESIS},   {TOK_CORONA, FG_CORONA},
    {TOK_BANDIT, FG_BANDIT},     {TOK_FIREWIRE, FG_FIREWIRE}, {TOK_CAMERALINK, FG_CAMERALINK},
    {TOK_FLASHBUS, FG_FLASHBUS}, {TOK_GIGE, FG_GIGE},         {TOK_X64LVDS, FG_X64LVDS},
    {TOK_PC2VISION, FG_PC2VISION},
};

const token_value camera_types[] = {
    {TOK_XC77CE, CAM_XC77CE},         {TOK_P62505, CAM_P62505},       {TOK_CID2220, CAM_CID2220},
    {TOK_VIDICON, CAM_VIDICON},       {TOK_EEV1715A, CAM_EEV1715A},   {TOK_TM6705, CAM_TM6705},
    {TOK_XC7500, CAM_XC7500},         {TOK_XC7500S, CAM_XC7500S},     {TOK_SMD4M15, CAM_SMD4M15},
    {TOK_CID2250, CAM_CID2250},       {TOK_CUSTOM, CAM_CUSTOM},       {TOK_TM6710, CAM_TM6710},
    {TOK_SIM200, CAM_SIM200},         {TOK_BASLER, CAM_BASLER},       {TOK_SU320, CAM_SU320},
    {TOK_DGFLY640, CAM_DGFLY640},     {TOK_DGFLY1024, CAM_DGFLY1024}, {TOK_IMPERXVGA, CAM_IMPERXVGA},
    {TOK_ADIMEC1000, CAM_ADIMEC1000}, {TOK_A311F, CAM_A311F},         {TOK_A312F, CAM_A312F},
    {TOK_TM6740, CAM_TM6740},         {TOK_DGFLY6200, CAM_DGFLY6200}, {TOK_SCA640, CAM_SCA640},
    {TOK_ADIMEC4050, CAM_ADIMEC4050}, {TOK_ADIMEC4150, CAM_ADIMEC4150}, {TOK_PIA640, CAM_PIA640},
    {TOK_E2V7899, CAM_E2V7899},       {TOK_PIA1000, CAM_PIA1000},     {TOK_SCA640G, CAM_SCA640G},
    {TOK_A504K, CAM_A504K},
};

const token_value camera_aligns[] = {
    {TOK_DEFAULT, ALIGN_DEFAULT}, {TOK_CENTER, ALIGN_CENTER}, {TOK_TOPLEFT, ALIGN_TOPLEFT},
};

const token_value light_types[] = {
    {TOK_HENE, LIGHT_HENE},       {TOK_DIODE, LIGHT_DIODE}, {TOK_WHITE, LIGHT_WHITE},
    {TOK_SPECIAL, LIGHT_SPECIAL}, {TOK_LED, LIGHT_LED},
};

const token_value llc_instrs[] = {
    {TOK_DD100MC, LLC_INSTR_DD100MC},
    {TOK_DD100MC_B, LLC_INSTR_DD100MC_B},
    {TOK_MODEL13, LLC_INSTR_MODEL13},
};

const token_value pos_instrs[] = {
    {TOK_AXIOM, POS_AXIOM},         {TOK_VMI, POS_VMI},
    {TOK_HEID, POS_HEID},           {TOK_LCDMI, POS_LCDMI},
    {TOK_MICROLYNX, POS_MICROLYNX}, {TOK_ZENCODER, POS_ZENCODER},
    {TOK_USDED2, POS_USDED2},       {TOK_VMI501, POS_VMI501},
    {TOK_METRONICS, POS_METRONICS}, {TOK_TNXVMI501, POS_TNXVMI501},
    {TOK_RENISHAW_STEPNET, POS_RENISHAW_STEPNET}, {TOK_STEPNET, POS_STEPNET},
};

const token_value temp_sensors[] = {{TOK_EURO2216E, TEMP_EURO2216E}};

template <std::size_t N>
bool has_keyword(const token_value (&table)[N], int32_t value, int names)
{
    if (value < 0 || value >= names)
        return false;
    for (const auto& entry : table)
        if (entry.value == value)
            return true;
    return false;
}

}  // namespace

bool cal_sys_type_writable(int32_t value) { return has_keyword(sys_types, value, SB_NUM_SYS_TYPE_NAMES); }
bool cal_camera_type_writable(int32_t value) { return has_keyword(camera_types, value, SB_NUM_CAMERA_TYPE_NAMES); }
bool cal_light_type_writable(int32_t value) { return has_keyword(light_types, value, SB_NUM_LIGHT_TYPE_NAMES); }

int cal_sys_type_of(cal_token token) { return value_of(sys_types, token); }
int cal_board_type_of(cal_token token) { return value_of(board_types, token); }
int cal_fg_type_of(cal_token token) { return value_of(fg_types, token); }
int cal_camera_type_of(cal_token token) { return value_of(camera_types, token); }
int cal_camera_align_of(cal_token token) { return value_of(camera_aligns, token); }
int cal_light_type_of(cal_token token) { return value_of(light_types, token); }
int cal_llc_instr_of(cal_token token) { return value_of(llc_instrs, token); }
int cal_pos_instr_of(cal_token token) { return value_of(pos_instrs, token); }
int cal_temp_sensor_of(cal_token token) { return value_of(temp_sensors, token); }
