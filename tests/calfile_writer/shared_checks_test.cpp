// The writer refuses a record for missing information exactly where the reader would refuse the
// file written from it: both ask the same final checks.
#include <string>

#include "tests/calfile_writer/writer_fixture.h"

namespace {

class SharedChecksTest : public calwtest::WriterTest {
protected:
    // Writes slot 0 as text and reads that text into slot 1; returns the read's result.
    int32_t write_and_read(int32_t expected_write, std::string& write_log)
    {
        std::string text;
        calfile_reset_state();
        log_.clear();
        EXPECT_EQ(calfile_write_text(slot(0), text), expected_write) << log_.str();
        write_log = log_.str();
        calfile_reset_state();
        log_.clear();
        return sb_readCal_bytes(1, text, "w.cal");
    }
};

TEST_F(SharedChecksTest, WhatTheWriterRefusesTheReaderRefusesToo)
{
    struct check_case {
        void (*lack)(SysInfo&);  // makes the record lack what the check asks for
        void (*give)(SysInfo&);  // completes it
        const char* write_message;
        const char* read_message;
    };
    const check_case cases[] = {
        {[](SysInfo& s) { s.instrBdType = BD_BOARD01; }, [](SysInfo& s) { s.instrComm.assign("COM1"); },
         "Missing InstrComm info.", "Missing InstrComm info."},
        {[](SysInfo& s) { s.instrBdType = BD_FTP; }, [](SysInfo& s) { ASSERT_EQ(sysinfo_ensure_can_info(s), NO_ERROR); },
         "Missing InstrComm info.", "Missing InstrComm info."},
        {[](SysInfo& s) { s.sysType = SYS_MODEL22; },
         [](SysInfo& s) {
             ASSERT_EQ(sysinfo_ensure_pifoc(s), NO_ERROR);
             s.pifoc->value = 7;
         },
         "Missing PIFOC info.", "Missing PIFOC info."},
        {[](SysInfo& s) {
             s.sysType = SYS_MODEL22;
             ASSERT_EQ(sysinfo_ensure_pifoc(s), NO_ERROR);
             s.pifoc->type = 2;  // a PifocType line alone gives no PIFOC
         },
         [](SysInfo& s) { s.pifoc->coef = 1.5; }, "Missing PIFOC info.", "Missing PIFOC info."},
        {[](SysInfo& s) { s.sysType = SYS_MODEL34; }, [](SysInfo& s) { s.wmComm.assign("COM3"); },
         "Missing wmComm info.", "Calibration file missing wave monitor comm info"},
    };
    for (const check_case& c : cases) {
        SCOPED_TRACE(c.write_message);
        sysinfo_reset_all_slots();
        c.lack(base());
        std::string write_log;
        EXPECT_EQ(write_and_read(ERR_SB_CAL_INFO_INCOMPLETE, write_log), ERR_SB_CALFILE_INCOMPLETE);
        EXPECT_EQ(write_log, std::string("Error writing system calibration file:\n") + c.write_message + "\n");
        EXPECT_NE(log_.str().find(c.read_message), std::string::npos) << log_.str();

        c.give(slot(0));
        EXPECT_EQ(write_and_read(NO_ERROR, write_log), NO_ERROR) << log_.str();
        EXPECT_EQ(write_log, "");
    }
}

}  // namespace
