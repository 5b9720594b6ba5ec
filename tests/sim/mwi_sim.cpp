// Simulated motion wrapper library. One source for every variant: each entry point is
// exported unless the build defines OMIT_<entry point>, so that the build can make libraries
// that lack chosen entry points. Every entry point returns its own name, which lets a test
// check that the binding put each pointer where it belongs.
#include <cstdint>

#if defined(_WIN32)
#define MWI_SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define MWI_SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define MWI_SIM(name) \
    MWI_SIM_EXPORT const char* name(void) { return #name; }

#ifndef OMIT_CheckForEStopEvent_MWI
MWI_SIM(CheckForEStopEvent_MWI)
#endif
#ifndef OMIT_CloseComm_MWI
MWI_SIM(CloseComm_MWI)
#endif
#ifndef OMIT_CloseMotionWrapperInterface_MWI
MWI_SIM(CloseMotionWrapperInterface_MWI)
#endif
#ifndef OMIT_DisableAxisJoystick_MWI
MWI_SIM(DisableAxisJoystick_MWI)
#endif
#ifndef OMIT_DisableJoystick_MWI
MWI_SIM(DisableJoystick_MWI)
#endif
#ifndef OMIT_DisablePositionReports_MWI
MWI_SIM(DisablePositionReports_MWI)
#endif
#ifndef OMIT_EnableAxisJoystick_MWI
MWI_SIM(EnableAxisJoystick_MWI)
#endif
#ifndef OMIT_EnableJoystick_MWI
MWI_SIM(EnableJoystick_MWI)
#endif
#ifndef OMIT_EnablePositionReports_MWI
MWI_SIM(EnablePositionReports_MWI)
#endif
#ifndef OMIT_FindHome_MWI
MWI_SIM(FindHome_MWI)
#endif
#ifndef OMIT_GetAcceleration_MWI
MWI_SIM(GetAcceleration_MWI)
#endif
#ifndef OMIT_GetAxisError_MWI
MWI_SIM(GetAxisError_MWI)
#endif
#ifndef OMIT_GetAxisStatus_MWI
MWI_SIM(GetAxisStatus_MWI)
#endif
#ifndef OMIT_GetError_MWI
MWI_SIM(GetError_MWI)
#endif
#ifndef OMIT_GetErrorString_MWI
MWI_SIM(GetErrorString_MWI)
#endif
#ifndef OMIT_GetEvent_MWI
MWI_SIM(GetEvent_MWI)
#endif
#ifndef OMIT_GetHomeState_MWI
MWI_SIM(GetHomeState_MWI)
#endif
#ifndef OMIT_GetHomeType_MWI
MWI_SIM(GetHomeType_MWI)
#endif
#ifndef OMIT_GetIsJoystickEnabled_MWI
MWI_SIM(GetIsJoystickEnabled_MWI)
#endif
#ifndef OMIT_GetLabel_MWI
MWI_SIM(GetLabel_MWI)
#endif
#ifndef OMIT_GetNodeId_MWI
MWI_SIM(GetNodeId_MWI)
#endif
#ifndef OMIT_GetPitch_MWI
MWI_SIM(GetPitch_MWI)
#endif
#ifndef OMIT_GetStatus_MWI
MWI_SIM(GetStatus_MWI)
#endif
#ifndef OMIT_GetTravelMax_MWI
MWI_SIM(GetTravelMax_MWI)
#endif
#ifndef OMIT_GetTravelMin_MWI
MWI_SIM(GetTravelMin_MWI)
#endif
#ifndef OMIT_GetTravelZero_MWI
MWI_SIM(GetTravelZero_MWI)
#endif
#ifndef OMIT_GetVelocity_MWI
MWI_SIM(GetVelocity_MWI)
#endif
#ifndef OMIT_HasEvent_MWI
MWI_SIM(HasEvent_MWI)
#endif
#ifndef OMIT_InitMotionWrapperInterface_MWI
MWI_SIM(InitMotionWrapperInterface_MWI)
#endif
#ifndef OMIT_Move_MWI
MWI_SIM(Move_MWI)
#endif
#ifndef OMIT_OpenComm_MWI
MWI_SIM(OpenComm_MWI)
#endif
#ifndef OMIT_SetAcceleration_MWI
MWI_SIM(SetAcceleration_MWI)
#endif
#ifndef OMIT_SetMoveMode_MWI
MWI_SIM(SetMoveMode_MWI)
#endif
#ifndef OMIT_SetPositionReport_MWI
MWI_SIM(SetPositionReport_MWI)
#endif
#ifndef OMIT_SetVelocity_MWI
MWI_SIM(SetVelocity_MWI)
#endif
#ifndef OMIT_Stop_MWI
MWI_SIM(Stop_MWI)
#endif
#ifndef OMIT_StopAxis_MWI
MWI_SIM(StopAxis_MWI)
#endif
#ifndef OMIT_GetPosition_MWI
MWI_SIM(GetPosition_MWI)
#endif
#ifndef OMIT_GetActualPosition_MWI
MWI_SIM(GetActualPosition_MWI)
#endif
#ifndef OMIT_GetCommandedPosition_MWI
MWI_SIM(GetCommandedPosition_MWI)
#endif
#ifndef OMIT_RegisterCanEvents_MWI
MWI_SIM(RegisterCanEvents_MWI)
#endif
#ifndef OMIT_UnregisterCanEvents_MWI
MWI_SIM(UnregisterCanEvents_MWI)
#endif
#ifndef OMIT_DmiReset_MWI
MWI_SIM(DmiReset_MWI)
#endif
#ifndef OMIT_GetDmiCaptureBufferSize_MWI
MWI_SIM(GetDmiCaptureBufferSize_MWI)
#endif
#ifndef OMIT_GetDmiCaptureBuffer_MWI
MWI_SIM(GetDmiCaptureBuffer_MWI)
#endif
#ifndef OMIT_GetDmiPosition_MWI
MWI_SIM(GetDmiPosition_MWI)
#endif
#ifndef OMIT_GetDmiPreset_MWI
MWI_SIM(GetDmiPreset_MWI)
#endif
#ifndef OMIT_GetDmiStatus_MWI
MWI_SIM(GetDmiStatus_MWI)
#endif
#ifndef OMIT_GetExternalClosedLoopAmplifierFault_MWI
MWI_SIM(GetExternalClosedLoopAmplifierFault_MWI)
#endif
#ifndef OMIT_GetExternalClosedLoopEnabled_MWI
MWI_SIM(GetExternalClosedLoopEnabled_MWI)
#endif
#ifndef OMIT_GetIsDmiBufferReady_MWI
MWI_SIM(GetIsDmiBufferReady_MWI)
#endif
#ifndef OMIT_GetSupportsExternalClosedLoop_MWI
MWI_SIM(GetSupportsExternalClosedLoop_MWI)
#endif
#ifndef OMIT_SetDmiCaptureTrigger_MWI
MWI_SIM(SetDmiCaptureTrigger_MWI)
#endif
#ifndef OMIT_SetDmiPreset_MWI
MWI_SIM(SetDmiPreset_MWI)
#endif
#ifndef OMIT_SetExternalClosedLoopEnabled_MWI
MWI_SIM(SetExternalClosedLoopEnabled_MWI)
#endif
#ifndef OMIT_SetAlignViewIndicator_MWI
MWI_SIM(SetAlignViewIndicator_MWI)
#endif
#ifndef OMIT_GetConfigurationFile_MWI
MWI_SIM(GetConfigurationFile_MWI)
#endif
