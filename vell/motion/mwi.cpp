// Binding of the motion wrapper library.
#include "vell/motion/mwi.h"

#include <cstring>

#include "vell/platform/dynlib.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"

namespace {

struct entry {
    const char* name;
    mc_mwi_proc mc_mwi_table::*member;
};

#define MC_MWI_ENTRY(n) entry{#n, &mc_mwi_table::n},
constexpr entry required_entries[] = {MC_MWI_REQUIRED(MC_MWI_ENTRY)};
constexpr entry closed_loop_entries[] = {MC_MWI_CLOSED_LOOP(MC_MWI_ENTRY)};
constexpr entry all_entries[] = {MC_MWI_ALL(MC_MWI_ENTRY)};
#undef MC_MWI_ENTRY

static_assert(sizeof required_entries / sizeof required_entries[0] == MC_MWI_REQUIRED_COUNT);
static_assert(sizeof closed_loop_entries / sizeof closed_loop_entries[0] == MC_MWI_CLOSED_LOOP_COUNT);
static_assert(sizeof all_entries / sizeof all_entries[0] == MC_MWI_ENTRY_COUNT);
static_assert(sizeof(mc_mwi_table) == MC_MWI_ENTRY_COUNT * sizeof(mc_mwi_proc));

// The process-wide binding.
struct binding {
    mc_mwi_table table{};
    os::library library;
    mc_mwi_readout readout = mc_mwi_readout::none;
};

binding& bound()
{
    static binding b;
    return b;
}

int32_t fail(int32_t code)
{
    mc_mwi_unbind();
    return code;
}

}  // namespace

void mc_mwi_reset()
{
    binding& b = bound();
    b.table = mc_mwi_table{};
    b.readout = mc_mwi_readout::none;
}

void mc_mwi_unbind()
{
    bound().library.unload();
    mc_mwi_reset();
}

int32_t mc_mwi_bind() { return mc_mwi_bind_library(MC_MWI_LIBRARY); }

int32_t mc_mwi_bind_library(const char* library)
{
    if (library == nullptr)
        library = MC_MWI_LIBRARY;
    mc_mwi_unbind();
    binding& b = bound();

    int err = 0;
    if (!b.library.load(library, &err)) {
        u_log_sink("Error: %d in loading Tessaron 10 Motion library %s.\n", err, library);
        return fail(ERR_TNX_NO_DLL);
    }

    // Every missing required entry point is reported before giving up.
    int32_t result = NO_ERROR;
    for (const entry& e : required_entries) {
        err = 0;
        mc_mwi_proc p = b.library.symbol(e.name, &err);
        if (p == nullptr) {
            u_log_sink("Error: %d in loading %s from %s.\n", err, e.name, library);
            result = ERR_TNX_FUNCTION_MAP;
        }
        b.table.*e.member = p;
    }
    if (result != NO_ERROR)
        return fail(result);

    // Position readout: GetPosition_MWI alone, the complete pair alone, or both forms. A stray
    // half of the pair means a library of another make-up than either form: refused.
    mc_mwi_proc position = b.library.symbol("GetPosition_MWI");
    mc_mwi_proc actual = b.library.symbol("GetActualPosition_MWI");
    mc_mwi_proc commanded = b.library.symbol("GetCommandedPosition_MWI");
    bool pair = actual != nullptr && commanded != nullptr;
    bool half = (actual != nullptr) != (commanded != nullptr);
    if ((position == nullptr && !pair) || half) {
        u_log_sink("Error: missing GetPosition_MWI or (GetActualPosition_MWI and GetCommandedPosition_MWI) "
                   "functions from %s.\n",
                   library);
        return fail(ERR_TNX_FUNCTION_MAP);
    }
    b.table.GetPosition_MWI = position;
    b.table.GetActualPosition_MWI = actual;
    b.table.GetCommandedPosition_MWI = commanded;
    b.readout = pair ? mc_mwi_readout::pair : mc_mwi_readout::single;

    mc_mwi_proc reg = b.library.symbol("RegisterCanEvents_MWI");
    mc_mwi_proc unreg = b.library.symbol("UnregisterCanEvents_MWI");
    if (reg == nullptr || unreg == nullptr) {
        u_log_sink("Warning: Motion DLL does not support CAN event notification pass-through.\n");
        u_log_sink("         Tessaron may not behave as expected if CAN events are used.\n");
        reg = unreg = nullptr;
    }
    b.table.RegisterCanEvents_MWI = reg;
    b.table.UnregisterCanEvents_MWI = unreg;

    mc_mwi_table group{};
    bool complete = true;
    for (const entry& e : closed_loop_entries) {
        group.*e.member = b.library.symbol(e.name);
        complete = complete && group.*e.member != nullptr;
    }
    if (!complete)
        u_log_sink("Info: Motion DLL does not support axis with external closed loop or DMI position instrument\n");
    for (const entry& e : closed_loop_entries)
        b.table.*e.member = complete ? group.*e.member : nullptr;

    b.table.SetAlignViewIndicator_MWI = b.library.symbol("SetAlignViewIndicator_MWI");
    if (b.table.SetAlignViewIndicator_MWI == nullptr)
        u_log_sink("Info: Motion DLL does not support setting the align/view indicator on the pendent\n");
    b.table.GetConfigurationFile_MWI = b.library.symbol("GetConfigurationFile_MWI");
    if (b.table.GetConfigurationFile_MWI == nullptr)
        u_log_sink("Info: Motion DLL does not support getting the effective motion configuration file\n");

    return NO_ERROR;
}

const mc_mwi_table& mc_mwi() { return bound().table; }

bool mc_mwi_loaded() { return bound().library.loaded(); }

mc_mwi_readout mc_mwi_position_readout() { return bound().readout; }

bool mc_mwi_has_can_passthrough() { return bound().table.RegisterCanEvents_MWI != nullptr; }

bool mc_mwi_has_closed_loop() { return bound().table.GetSupportsExternalClosedLoop_MWI != nullptr; }

const char* mc_mwi_entry_name(int index)
{
    if (index < 0 || index >= MC_MWI_ENTRY_COUNT)
        return nullptr;
    return all_entries[index].name;
}

mc_mwi_proc mc_mwi_entry(const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (const entry& e : all_entries)
        if (std::strcmp(e.name, name) == 0)
            return bound().table.*e.member;
    return nullptr;
}
