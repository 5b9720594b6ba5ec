// The calibration file vocabulary: the word table, its order and its tokens.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>

#include "vell/calfile/grammar.h"
#include "vell/calfile/sysinfo.h"
#include "vell/calfile/vocab.h"

namespace {

// The documented word list, in table order.
const char* const documented_words[] = {
    ",", ":", "[", "]", "a311f", "a312f", "a504k", "abswavemeter", "adc", "adimec1000",
    "adimec4050", "adimec4150", "af_gain", "af_ref_adc", "af_ref_gain", "af_thresh", "align",
    "alignmodepct", "avgcurlimit", "axiom", "axiscomp_a", "axiscomp_b", "axiscomp_p", "axiscomp_r",
    "axiscomp_t", "axiscomp_x", "axiscomp_y", "axiscomp_z", "bad", "bandit", "basler", "board01",
    "bpix", "bpixels", "camera", "cameralink", "can", "center", "cid2220", "cid2250", "clock",
    "config", "configuration", "corona", "custom", "dark", "dd100mc", "dd100mc_b", "default",
    "dgfly1024", "dgfly6200", "dgfly640", "diffdiskfraction", "diffdiskrate", "diode", "dynwavegen",
    "e2v7899", "eev1715a", "encodedradiusscale", "euro2216e", "fast", "file", "firewire",
    "flashbus", "freq", "ftp", "ftpavgk0", "ftpdisper", "ftpdmicenter", "ftpdmiscale",
    "ftpimagerot", "ftplog", "ftpmaterials", "ftpsi", "ftpsiinvertdata", "ftpsys", "ftpsysinitper",
    "ftptemperature", "ftptiltcenter", "ftpzerogageper", "ftpzeroptpos", "fwdvoltage", "genesis",
    "gige", "heid", "hene", "hxi", "hxienczoombacklash", "hxienczoomcalfile", "hxienczoomconfig",
    "hxienczoomproglim", "hxienczoomstdmags", "hxienczoomwandlim", "ignoredualbrushmotor",
    "ignorefocusndw", "ignorelaps", "ignorepzt", "ignorewand", "ignorezoom", "imperxvga", "instr",
    "instrcomm", "instrname", "intfradiusscale", "invertdata", "kivo", "lcdmi", "led", "light",
    "llc", "macaddress", "matrox", "metronics", "microlynx", "model04", "model05", "model06",
    "model07", "model08", "model09", "model10", "model11", "model12", "model13", "model14",
    "model15", "model16", "model17", "model18", "model19", "model20", "model21", "model22",
    "model23", "model24", "model25", "model26", "model27", "model28", "model29", "model31",
    "model33", "model34", "motionctrl", "nointensavg", "nommag", "none", "notneeded", "options",
    "p62505", "pc2vision", "pendentmenu", "period", "pia1000", "pia640", "pidvals_a", "pidvals_b",
    "pidvals_p", "pidvals_r", "pidvals_t", "pidvals_x", "pidvals_y", "pidvals_z", "pifoc",
    "pifocpolarity", "pifoctype", "pll", "posinstr", "pr_gain", "pr_offset", "pr_ref_adc",
    "pr_ref_gain", "pr_thresh", "pulsar", "pztid", "pztpwr", "radcrvfoccal", "radcrvpwrcal", "ramp",
    "range", "remote", "renishaw_stepnet", "ringspot", "rpc", "sca640", "sca640g", "scancal",
    "sdccal", "sim200", "sleeptimeout", "slow", "smd4m15", "special", "splitx", "splity", "stepnet",
    "su320", "sysmag", "target", "tempsensor", "tesk", "tm6705", "tm6710", "tm6740", "tnxvmi501",
    "topleft", "touchscreen", "trans", "turret", "type", "unit", "usded2", "version", "vidicon",
    "vmi", "vmi501", "white", "wmcomm", "wmmaxbuckets", "wmmonopd", "wmsysgain", "wmtunerange",
    "wmtunerate", "x64lvds", "xaxisbacklash", "xc7500", "xc7500s", "xc77", "xc77ce",
    "yaxisbacklash", "zaxisbacklash", "zaxiscal", "zcanclosedloop", "zencoder", "zoom",
};

TEST(Vocabulary, HoldsEveryDocumentedWordAndOneAlias)
{
    ASSERT_EQ(sizeof(documented_words) / sizeof(documented_words[0]), 235u);
    // The documented words plus "ftpavg_k0", the spelling of the line keyword the writer prints.
    EXPECT_EQ(cal_vocab_size, 236u);
    std::set<std::string> table;
    for (std::size_t i = 0; i < cal_vocab_size; ++i)
        table.insert(cal_vocab[i].word);
    for (const char* w : documented_words)
        EXPECT_EQ(table.count(w), 1u) << w;
    EXPECT_EQ(table.count("ftpavg_k0"), 1u);
}

TEST(Vocabulary, IsStrictlySortedByByteValue)
{
    for (std::size_t i = 1; i < cal_vocab_size; ++i)
        EXPECT_LT(std::strcmp(cal_vocab[i - 1].word, cal_vocab[i].word), 0)
            << cal_vocab[i - 1].word << " / " << cal_vocab[i].word;
}

TEST(Vocabulary, BinarySearchFindsEveryEntryAndNothingElse)
{
    for (std::size_t i = 0; i < cal_vocab_size; ++i)
        EXPECT_EQ(cal_lookup(cal_vocab[i].word), cal_vocab[i].token) << cal_vocab[i].word;
    EXPECT_EQ(cal_lookup(""), TOK_UNKNOWN);
    EXPECT_EQ(cal_lookup("Zoom"), TOK_UNKNOWN);  // the table is lower case; callers fold first
    EXPECT_EQ(cal_lookup("zoo"), TOK_UNKNOWN);
    EXPECT_EQ(cal_lookup("zoomx"), TOK_UNKNOWN);
    EXPECT_EQ(cal_lookup("!"), TOK_UNKNOWN);
    EXPECT_EQ(cal_lookup("\xff"), TOK_UNKNOWN);
    EXPECT_EQ(cal_lookup("zoom"), TOK_ZOOM);
    EXPECT_EQ(cal_lookup(","), TOK_COMMA);
    EXPECT_EQ(cal_lookup("]"), TOK_RBRACKET);
}

TEST(Vocabulary, SynonymsShareTheirToken)
{
    EXPECT_EQ(cal_lookup("config"), cal_lookup("configuration"));
    EXPECT_EQ(cal_lookup("xc77"), cal_lookup("xc77ce"));
    EXPECT_EQ(cal_lookup("kivo"), cal_lookup("model13"));
    EXPECT_EQ(cal_lookup("tesk"), cal_lookup("model07"));
    EXPECT_EQ(cal_lookup("ftpsi"), cal_lookup("model34"));
    EXPECT_EQ(cal_lookup("ftpsysinitper"), cal_lookup("ftpzerogageper"));
    EXPECT_EQ(cal_lookup("bpixels"), cal_lookup("bad"));
    EXPECT_EQ(cal_lookup("ftpavg_k0"), cal_lookup("ftpavgk0"));
    // Different words of different meaning never share.
    EXPECT_NE(cal_lookup("bpix"), cal_lookup("bad"));
    EXPECT_NE(cal_lookup("model14"), cal_lookup("model13"));
    std::set<int> tokens;
    for (std::size_t i = 0; i < cal_vocab_size; ++i)
        tokens.insert(cal_vocab[i].token);
    EXPECT_EQ(tokens.size(), cal_vocab_size - 8);
}

TEST(Vocabulary, EnumerationKeywords)
{
    EXPECT_EQ(cal_sys_type_of(cal_lookup("hxi")), SYS_HXI);
    EXPECT_EQ(cal_sys_type_of(cal_lookup("kivo")), SYS_MODEL13);
    EXPECT_EQ(cal_sys_type_of(cal_lookup("tesk")), SYS_MODEL07);
    EXPECT_EQ(cal_sys_type_of(cal_lookup("ftpsi")), SYS_MODEL34);
    EXPECT_EQ(cal_sys_type_of(cal_lookup("special")), SYS_SPECIAL);
    EXPECT_EQ(cal_sys_type_of(cal_lookup("model29")), SYS_MODEL29);
    EXPECT_EQ(cal_sys_type_of(cal_lookup("ftp")), SYS_FTP);
    EXPECT_EQ(cal_sys_type_of(cal_lookup("zoom")), -1);
    // Every keyword with a display name maps back to the value of that name.
    for (int v = 1; v < SB_NUM_SYS_TYPE_NAMES; ++v) {
        std::string lower = sb_sys_type_names[v];
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        cal_token t = cal_lookup(lower);
        bool has_keyword = !(v == SYS_MODEL01 || v == SYS_MODEL02 || v == SYS_MODEL03 || v == SYS_MODEL30);
        EXPECT_EQ(t != TOK_UNKNOWN, has_keyword) << lower;
        if (has_keyword) {
            EXPECT_EQ(cal_sys_type_of(t), v) << lower;
        }
    }
    EXPECT_EQ(cal_board_type_of(cal_lookup("none")), BD_NONE);
    EXPECT_EQ(cal_board_type_of(cal_lookup("board01")), BD_BOARD01);
    EXPECT_EQ(cal_board_type_of(cal_lookup("kivo")), BD_MODEL13);
    EXPECT_EQ(cal_board_type_of(cal_lookup("notneeded")), BD_NOTNEEDED);
    EXPECT_EQ(cal_board_type_of(cal_lookup("can")), BD_CAN);
    EXPECT_EQ(cal_board_type_of(cal_lookup("model04")), -1);
    for (int v = 0; v < SB_NUM_FG_TYPE_NAMES; ++v) {
        std::string lower = sb_fg_type_names[v];
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(cal_fg_type_of(cal_lookup(lower)), v) << lower;
    }
    for (int v = 1; v < SB_NUM_CAMERA_TYPE_NAMES; ++v) {
        std::string lower = sb_camera_type_names[v];
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(cal_camera_type_of(cal_lookup(lower)), v == CAM_INFRACAMA ? -1 : v) << lower;
    }
    EXPECT_EQ(cal_camera_type_of(cal_lookup("xc77")), CAM_XC77CE);
    EXPECT_EQ(cal_camera_align_of(cal_lookup("topleft")), ALIGN_TOPLEFT);
    EXPECT_EQ(cal_camera_align_of(cal_lookup("default")), ALIGN_DEFAULT);
    EXPECT_EQ(cal_light_type_of(cal_lookup("special")), LIGHT_SPECIAL);
    EXPECT_EQ(cal_light_type_of(cal_lookup("led")), LIGHT_LED);
    EXPECT_EQ(cal_light_type_of(cal_lookup("none")), -1);
    EXPECT_EQ(cal_llc_instr_of(cal_lookup("dd100mc_b")), LLC_INSTR_DD100MC_B);
    EXPECT_EQ(cal_llc_instr_of(cal_lookup("kivo")), LLC_INSTR_MODEL13);
    for (int v = 1; v < SB_NUM_POS_INSTR_NAMES; ++v) {
        std::string lower = sb_pos_instr_names[v];
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(cal_pos_instr_of(cal_lookup(lower)), v) << lower;
    }
    EXPECT_EQ(cal_pos_instr_of(cal_lookup("none")), -1);
    EXPECT_EQ(cal_temp_sensor_of(cal_lookup("euro2216e")), TEMP_EURO2216E);
    EXPECT_EQ(cal_temp_sensor_of(cal_lookup("none")), -1);
}

// Every keyword the writer takes from the line table is one that the reader looks up as that
// row's keyword: a row whose written spelling the vocabulary does not know cannot be written.
TEST(LineTable, WrittenKeywordsReadBackAsTheirRows)
{
    ASSERT_GT(calfile_num_lines, 0u);
    for (std::size_t i = 0; i < calfile_num_lines; ++i) {
        const cal_line& row = calfile_lines[i];
        if (row.keyword == nullptr) {  // the system line, whose keyword is the type's name
            EXPECT_EQ(row.key, TOK_UNKNOWN);
            continue;
        }
        std::string text = row.keyword;
        std::string first = text.substr(0, text.find(' '));
        std::string second = text.find(' ') == std::string::npos ? "" : text.substr(text.find(' ') + 1);
        auto lower = [](std::string w) {
            for (char& c : w)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return w;
        };
        EXPECT_EQ(cal_lookup(lower(first)), row.key) << text;
        EXPECT_EQ(second.empty() ? TOK_UNKNOWN : cal_lookup(lower(second)), row.sub) << text;
        EXPECT_EQ(calfile_find_line(row.key, row.sub), &row) << text;  // one row per keyword
    }
}

}  // namespace
