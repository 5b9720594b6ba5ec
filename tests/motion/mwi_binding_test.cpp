#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "vell/motion/mwi.h"
#include "vell/platform/errors.h"
#include "tests/support/test_support.h"

namespace {

#ifdef _WIN32
constexpr int missing_library_error = 126;  // ERROR_MOD_NOT_FOUND
constexpr int missing_entry_error = 127;    // ERROR_PROC_NOT_FOUND
#else
constexpr int missing_library_error = ENOENT;
constexpr int missing_entry_error = ENOENT;
#endif

const std::string position_message =
    "Error: missing GetPosition_MWI or (GetActualPosition_MWI and GetCommandedPosition_MWI) functions from ";
const std::string can_warning =
    "Warning: Motion DLL does not support CAN event notification pass-through.\n"
    "         Tessaron may not behave as expected if CAN events are used.\n";
const std::string closed_loop_info =
    "Info: Motion DLL does not support axis with external closed loop or DMI position instrument\n";
const std::string align_info = "Info: Motion DLL does not support setting the align/view indicator on the pendent\n";
const std::string config_info = "Info: Motion DLL does not support getting the effective motion configuration file\n";

const std::vector<std::string> closed_loop_names = {
    "DmiReset_MWI", "GetDmiCaptureBufferSize_MWI", "GetDmiCaptureBuffer_MWI", "GetDmiPosition_MWI",
    "GetDmiPreset_MWI", "GetDmiStatus_MWI", "GetExternalClosedLoopAmplifierFault_MWI",
    "GetExternalClosedLoopEnabled_MWI", "GetIsDmiBufferReady_MWI", "GetSupportsExternalClosedLoop_MWI",
    "SetDmiCaptureTrigger_MWI", "SetDmiPreset_MWI", "SetExternalClosedLoopEnabled_MWI"};

std::string missing_entry(const std::string& entry, const std::string& library)
{
    return "Error: " + std::to_string(missing_entry_error) + " in loading " + entry + " from " + library + ".\n";
}

// Calls a bound entry point of the simulation: each one answers with its own name.
std::string answer_of(mc_mwi_proc p) { return reinterpret_cast<const char* (*)()>(p)(); }

// Every entry of the table is null.
void expect_all_null()
{
    for (int i = 0; i < MC_MWI_ENTRY_COUNT; ++i)
        EXPECT_EQ(mc_mwi_entry(mc_mwi_entry_name(i)), nullptr) << mc_mwi_entry_name(i);
    EXPECT_EQ(mc_mwi_position_readout(), mc_mwi_readout::none);
}

// Every entry is bound to the entry point of its own name, except the ones listed, which are null.
void expect_bound_except(const std::set<std::string>& unbound)
{
    for (int i = 0; i < MC_MWI_ENTRY_COUNT; ++i) {
        std::string name = mc_mwi_entry_name(i);
        mc_mwi_proc p = mc_mwi_entry(name.c_str());
        if (unbound.count(name)) {
            EXPECT_EQ(p, nullptr) << name;
        } else {
            ASSERT_NE(p, nullptr) << name;
            EXPECT_EQ(answer_of(p), name);
        }
    }
}

class MwiBinding : public ::testing::Test {
protected:
    void TearDown() override { mc_mwi_unbind(); }

    // Binds the library and returns the result; the log goes to log_.
    int32_t bind(const std::string& library)
    {
        vptest::LogCapture capture;
        int32_t r = mc_mwi_bind_library(library.c_str());
        log_ = capture.str();
        return r;
    }

    void expect_position_refused(const std::string& library)
    {
        SCOPED_TRACE(library);
        EXPECT_EQ(bind(library), ERR_TNX_FUNCTION_MAP);
        EXPECT_EQ(log_, position_message + library + ".\n");
        EXPECT_FALSE(mc_mwi_loaded());
        expect_all_null();
    }

    std::string log_;
};

}  // namespace

TEST_F(MwiBinding, TableIsEmptyBeforeBinding)
{
    expect_all_null();
    EXPECT_FALSE(mc_mwi_loaded());
    EXPECT_EQ(mc_mwi_entry_name(-1), nullptr);
    EXPECT_EQ(mc_mwi_entry_name(MC_MWI_ENTRY_COUNT), nullptr);
    EXPECT_STREQ(mc_mwi_entry_name(0), "CheckForEStopEvent_MWI");
    EXPECT_STREQ(mc_mwi_entry_name(MC_MWI_REQUIRED_COUNT - 1), "StopAxis_MWI");
    EXPECT_STREQ(mc_mwi_entry_name(MC_MWI_ENTRY_COUNT - 1), "GetConfigurationFile_MWI");
    EXPECT_EQ(mc_mwi_entry("NoSuch_MWI"), nullptr);
    EXPECT_EQ(mc_mwi_entry(nullptr), nullptr);
}

TEST_F(MwiBinding, CompleteLibraryBindsEveryEntryPointSilently)
{
    ASSERT_EQ(bind("mwi_full.dll"), NO_ERROR);
    EXPECT_EQ(log_, "");
    EXPECT_TRUE(mc_mwi_loaded());
    expect_bound_except({});
    EXPECT_EQ(answer_of(mc_mwi().Move_MWI), "Move_MWI");
    EXPECT_EQ(answer_of(mc_mwi().OpenComm_MWI), "OpenComm_MWI");
    // Both readout forms offered: all three stay bound, the pair is used.
    EXPECT_EQ(mc_mwi_position_readout(), mc_mwi_readout::pair);
    EXPECT_TRUE(mc_mwi_has_can_passthrough());
    EXPECT_TRUE(mc_mwi_has_closed_loop());
}

TEST_F(MwiBinding, DefaultNameIsTheMotionWrapperInterface)
{
    EXPECT_STREQ(MC_MWI_LIBRARY, "MotionWrapperInterface.dll");
    vptest::LogCapture capture;
    ASSERT_EQ(mc_mwi_bind(), NO_ERROR);
    EXPECT_EQ(capture.str(), "");
    expect_bound_except({});
}

TEST_F(MwiBinding, MissingLibrary)
{
    EXPECT_EQ(bind("mwi_absent.dll"), ERR_TNX_NO_DLL);
    EXPECT_EQ(log_, "Error: " + std::to_string(missing_library_error) +
                        " in loading Tessaron 10 Motion library mwi_absent.dll.\n");
    EXPECT_FALSE(mc_mwi_loaded());
    expect_all_null();
}

TEST_F(MwiBinding, EveryMissingRequiredEntryPointIsReported)
{
    EXPECT_EQ(bind("mwi_no_move_stop.dll"), ERR_TNX_FUNCTION_MAP);
    EXPECT_EQ(log_, missing_entry("Move_MWI", "mwi_no_move_stop.dll") + missing_entry("Stop_MWI", "mwi_no_move_stop.dll"));
    EXPECT_FALSE(mc_mwi_loaded());
    expect_all_null();
}

// The first and the last required entry points are missing, and so is the position readout:
// only the required ones are reported, the readout is not looked at.
TEST_F(MwiBinding, MissingRequiredEntryPointsStopBeforeThePositionReadout)
{
    const std::string lib = "mwi_no_ends_no_position.dll";
    EXPECT_EQ(bind(lib), ERR_TNX_FUNCTION_MAP);
    EXPECT_EQ(log_, missing_entry("CheckForEStopEvent_MWI", lib) + missing_entry("StopAxis_MWI", lib));
    expect_all_null();
}

TEST_F(MwiBinding, SinglePositionFunction)
{
    ASSERT_EQ(bind("mwi_pos_single.dll"), NO_ERROR);
    EXPECT_EQ(log_, "");
    EXPECT_EQ(mc_mwi_position_readout(), mc_mwi_readout::single);
    expect_bound_except({"GetActualPosition_MWI", "GetCommandedPosition_MWI"});
}

TEST_F(MwiBinding, ActualAndCommandedPair)
{
    ASSERT_EQ(bind("mwi_pos_pair.dll"), NO_ERROR);
    EXPECT_EQ(log_, "");
    EXPECT_EQ(mc_mwi_position_readout(), mc_mwi_readout::pair);
    expect_bound_except({"GetPosition_MWI"});
}

TEST_F(MwiBinding, IncompletePositionReadoutsAreRefused)
{
    expect_position_refused("mwi_pos_none.dll");
    expect_position_refused("mwi_pos_actual_only.dll");
    expect_position_refused("mwi_pos_commanded_only.dll");
    expect_position_refused("mwi_pos_single_actual.dll");
    expect_position_refused("mwi_pos_single_commanded.dll");
}

TEST_F(MwiBinding, WithoutTheCanPairTheLibraryBindsWithTheWarning)
{
    ASSERT_EQ(bind("mwi_no_can.dll"), NO_ERROR);
    EXPECT_EQ(log_, can_warning);
    EXPECT_FALSE(mc_mwi_has_can_passthrough());
    expect_bound_except({"RegisterCanEvents_MWI", "UnregisterCanEvents_MWI"});
}

TEST_F(MwiBinding, HalfACanPairIsDropped)
{
    ASSERT_EQ(bind("mwi_no_can_unregister.dll"), NO_ERROR);
    EXPECT_EQ(log_, can_warning);
    EXPECT_EQ(mc_mwi().RegisterCanEvents_MWI, nullptr);
    expect_bound_except({"RegisterCanEvents_MWI", "UnregisterCanEvents_MWI"});
}

TEST_F(MwiBinding, TwelveOfTheThirteenClosedLoopFunctionsOfferNone)
{
    for (const char* lib : {"mwi_closed_loop_no_first.dll", "mwi_closed_loop_no_last.dll", "mwi_no_closed_loop.dll"}) {
        SCOPED_TRACE(lib);
        ASSERT_EQ(bind(lib), NO_ERROR);
        EXPECT_EQ(log_, closed_loop_info);
        EXPECT_FALSE(mc_mwi_has_closed_loop());
        expect_bound_except(std::set<std::string>(closed_loop_names.begin(), closed_loop_names.end()));
    }
}

TEST_F(MwiBinding, MissingSingleOptionalEntryPoints)
{
    ASSERT_EQ(bind("mwi_no_singles.dll"), NO_ERROR);
    EXPECT_EQ(log_, align_info + config_info);
    expect_bound_except({"SetAlignViewIndicator_MWI", "GetConfigurationFile_MWI"});
    ASSERT_EQ(bind("mwi_no_align.dll"), NO_ERROR);
    EXPECT_EQ(log_, align_info);
    expect_bound_except({"SetAlignViewIndicator_MWI"});
    EXPECT_STREQ(MC_MWI_UNKNOWN_CONFIG_FILE, "Unknown - Look in SystemInfo.config");
}

// Nothing optional: the lines come in their order and the library still binds.
TEST_F(MwiBinding, MinimalLibrary)
{
    ASSERT_EQ(bind("mwi_minimal.dll"), NO_ERROR);
    EXPECT_EQ(log_, can_warning + closed_loop_info + align_info + config_info);
    EXPECT_EQ(mc_mwi_position_readout(), mc_mwi_readout::pair);
    std::set<std::string> unbound(closed_loop_names.begin(), closed_loop_names.end());
    unbound.insert({"GetPosition_MWI", "RegisterCanEvents_MWI", "UnregisterCanEvents_MWI", "SetAlignViewIndicator_MWI",
                    "GetConfigurationFile_MWI"});
    expect_bound_except(unbound);
}

TEST_F(MwiBinding, FailedBindAfterAGoodOneLeavesNothingBound)
{
    ASSERT_EQ(bind("mwi_full.dll"), NO_ERROR);
    EXPECT_EQ(bind("mwi_no_move_stop.dll"), ERR_TNX_FUNCTION_MAP);
    EXPECT_FALSE(mc_mwi_loaded());
    expect_all_null();
    ASSERT_EQ(bind("mwi_full.dll"), NO_ERROR);
    EXPECT_EQ(bind("mwi_pos_none.dll"), ERR_TNX_FUNCTION_MAP);
    expect_all_null();
    ASSERT_EQ(bind("mwi_full.dll"), NO_ERROR);
    EXPECT_EQ(bind("mwi_absent.dll"), ERR_TNX_NO_DLL);
    expect_all_null();
}

// Binding another library replaces the first one's entry points, optional ones included.
TEST_F(MwiBinding, RebindingReplacesTheTable)
{
    ASSERT_EQ(bind("mwi_full.dll"), NO_ERROR);
    ASSERT_EQ(bind("mwi_minimal.dll"), NO_ERROR);
    EXPECT_EQ(mc_mwi().GetPosition_MWI, nullptr);
    EXPECT_EQ(mc_mwi().DmiReset_MWI, nullptr);
    EXPECT_FALSE(mc_mwi_has_can_passthrough());
}

TEST_F(MwiBinding, ResetClearsTheTableAndUnbindUnloads)
{
    ASSERT_EQ(bind("mwi_full.dll"), NO_ERROR);
    mc_mwi_reset();
    expect_all_null();
    EXPECT_TRUE(mc_mwi_loaded());
    mc_mwi_unbind();
    EXPECT_FALSE(mc_mwi_loaded());
    expect_all_null();
}
