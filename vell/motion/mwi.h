// Binding of the motion wrapper library, MotionWrapperInterface.dll, whose entry points all
// end in _MWI.
//
// The binding table holds one pointer per entry point, all null while the library is not
// bound. The entry points' argument lists belong to the motion layer that calls them: it
// casts a pointer to the entry point's real type before the call.
#pragma once

#include <cstdint>

// Required entry points, in the order in which they are looked up.
#define MC_MWI_REQUIRED(X)                                                                                   \
    X(CheckForEStopEvent_MWI) X(CloseComm_MWI) X(CloseMotionWrapperInterface_MWI) X(DisableAxisJoystick_MWI) \
    X(DisableJoystick_MWI) X(DisablePositionReports_MWI) X(EnableAxisJoystick_MWI) X(EnableJoystick_MWI)     \
    X(EnablePositionReports_MWI) X(FindHome_MWI) X(GetAcceleration_MWI) X(GetAxisError_MWI)                  \
    X(GetAxisStatus_MWI) X(GetError_MWI) X(GetErrorString_MWI) X(GetEvent_MWI) X(GetHomeState_MWI)           \
    X(GetHomeType_MWI) X(GetIsJoystickEnabled_MWI) X(GetLabel_MWI) X(GetNodeId_MWI) X(GetPitch_MWI)          \
    X(GetStatus_MWI) X(GetTravelMax_MWI) X(GetTravelMin_MWI) X(GetTravelZero_MWI) X(GetVelocity_MWI)         \
    X(HasEvent_MWI) X(InitMotionWrapperInterface_MWI) X(Move_MWI) X(OpenComm_MWI) X(SetAcceleration_MWI)     \
    X(SetMoveMode_MWI) X(SetPositionReport_MWI) X(SetVelocity_MWI) X(Stop_MWI) X(StopAxis_MWI)

// Position readout: GetPosition_MWI, or the pair GetActualPosition_MWI and GetCommandedPosition_MWI.
#define MC_MWI_POSITION(X) X(GetPosition_MWI) X(GetActualPosition_MWI) X(GetCommandedPosition_MWI)

// CAN event pass-through (optional, both or neither).
#define MC_MWI_CAN(X) X(RegisterCanEvents_MWI) X(UnregisterCanEvents_MWI)

// External closed loop and DMI position instrument (optional, all or nothing).
#define MC_MWI_CLOSED_LOOP(X)                                                                                \
    X(DmiReset_MWI) X(GetDmiCaptureBufferSize_MWI) X(GetDmiCaptureBuffer_MWI) X(GetDmiPosition_MWI)          \
    X(GetDmiPreset_MWI) X(GetDmiStatus_MWI) X(GetExternalClosedLoopAmplifierFault_MWI)                       \
    X(GetExternalClosedLoopEnabled_MWI) X(GetIsDmiBufferReady_MWI) X(GetSupportsExternalClosedLoop_MWI)     \
    X(SetDmiCaptureTrigger_MWI) X(SetDmiPreset_MWI) X(SetExternalClosedLoopEnabled_MWI)

// Optional single entry points.
#define MC_MWI_SINGLES(X) X(SetAlignViewIndicator_MWI) X(GetConfigurationFile_MWI)

#define MC_MWI_ALL(X) MC_MWI_REQUIRED(X) MC_MWI_POSITION(X) MC_MWI_CAN(X) MC_MWI_CLOSED_LOOP(X) MC_MWI_SINGLES(X)

using mc_mwi_proc = void (*)();

struct mc_mwi_table {
#define MC_MWI_MEMBER(name) mc_mwi_proc name;
    MC_MWI_ALL(MC_MWI_MEMBER)
#undef MC_MWI_MEMBER
};

// The platform's name of the library.
constexpr const char* MC_MWI_LIBRARY = "MotionWrapperInterface.dll";

// What the motion layer reports as the configuration file when the library cannot tell.
constexpr const char* MC_MWI_UNKNOWN_CONFIG_FILE = "Unknown - Look in SystemInfo.config";

// How the bound library reads positions.
enum class mc_mwi_readout : int32_t {
    none = 0,    // not bound
    single = 1,  // GetPosition_MWI
    pair = 2,    // GetActualPosition_MWI and GetCommandedPosition_MWI
};

// Loads MotionWrapperInterface.dll and fills the binding table. ERR_TNX_NO_DLL when the library
// cannot be loaded, ERR_TNX_FUNCTION_MAP when required entry points or the position readout
// are missing; after a failure the library is unloaded and every pointer is null. A library
// bound before is unloaded first.
int32_t mc_mwi_bind();

// The same with another library name (the platform's name of the file, see platform/dynlib.h).
int32_t mc_mwi_bind_library(const char* library);

// Sets every pointer of the binding table back to null (the library stays loaded).
void mc_mwi_reset();

// Unloads the library and resets the table.
void mc_mwi_unbind();

// The binding table.
const mc_mwi_table& mc_mwi();

bool mc_mwi_loaded();

// The readout form the motion layer uses. A library that offers both forms keeps all three
// pointers; the pair is used.
mc_mwi_readout mc_mwi_position_readout();

// Whether the optional groups are bound.
bool mc_mwi_has_can_passthrough();
bool mc_mwi_has_closed_loop();

// Number of entry points of each kind, and the table's entries by name (null for an unknown
// name). For the motion layer's diagnostics and for tests.
constexpr int MC_MWI_REQUIRED_COUNT = 37;
constexpr int MC_MWI_CLOSED_LOOP_COUNT = 13;
constexpr int MC_MWI_ENTRY_COUNT = 57;
const char* mc_mwi_entry_name(int index);
mc_mwi_proc mc_mwi_entry(const char* name);
