// The entry points of the loadable acquisition library ("TnAcq.dll", "libTnAcq.so"), as the
// platform calls them. All are C functions. Unless said otherwise an int result is 0 for
// success and non-zero for a failure whose reason GetLastAcqError then tells.
//
// Names: the First/Next functions copy the next name, terminated, into a buffer of `size`
// bytes (cut to fit) and fail when there is none left. The Get...Id functions answer the id of
// a name, or -1. Settings ("CFG FILE PATH", "DISPLAY TYPE", ...) pass as text: a query copies
// the value, terminated, into a buffer of `size` bytes.
#pragma once

extern "C" {
using acq_InitDeviceMgr_fn = int (*)(const char* ini_file);
using acq_FreeDeviceResources_fn = void (*)();
using acq_GetNumAcqDevices_fn = int (*)();
using acq_GetFirstAcqDeviceName_fn = int (*)(char* name, int size);
using acq_GetNextAcqDeviceName_fn = int (*)(char* name, int size);
using acq_GetAcqDeviceId_fn = int (*)(const char* name);
using acq_SetCurrentAcqDevice_fn = int (*)(int id);
using acq_OpenDevice_fn = int (*)();
using acq_CloseDevice_fn = int (*)();
// Copies the newest frame into `buffer` (`size` bytes): the number of bytes copied, or -1.
using acq_ReadDevice_fn = int (*)(void* buffer, int size);
using acq_AcquireStart_fn = int (*)();
using acq_AcquireStop_fn = int (*)();
using acq_AcqDeviceQuery_fn = int (*)(const char* setting, char* value, int size);
using acq_AcqDeviceSet_fn = int (*)(const char* setting, const char* value);
// The library's number for its last failure (0: none).
using acq_GetLastAcqError_fn = int (*)();
using acq_GetNumInputDevices_fn = int (*)();
using acq_GetFirstInputDeviceName_fn = int (*)(char* name, int size);
using acq_GetNextInputDeviceName_fn = int (*)(char* name, int size);
using acq_GetInputDeviceId_fn = int (*)(const char* name);
using acq_SetCurrentInputDevice_fn = int (*)(int id);
// The id of the current input device, or -1.
using acq_GetCurrentInputDevice_fn = int (*)();
using acq_AcqInputDeviceQuery_fn = int (*)(const char* setting, char* value, int size);
using acq_AcqInputDeviceSet_fn = int (*)(const char* setting, const char* value);
// Input modes belong to the current input device.
using acq_GetNumInputModes_fn = int (*)();
using acq_GetFirstInputModeName_fn = int (*)(char* name, int size);
using acq_GetNextInputModeName_fn = int (*)(char* name, int size);
using acq_GetInputModeId_fn = int (*)(const char* name);
using acq_SetCurrentInputMode_fn = int (*)(int id);
using acq_GetCurrentInputMode_fn = int (*)();
using acq_AcqInputModeQuery_fn = int (*)(const char* setting, char* value, int size);
using acq_AcqInputModeSet_fn = int (*)(const char* setting, const char* value);
}

// X(name) for each of the 31 entry points, in the order they are bound.
#define ACQ_ENTRY_POINTS(X)                                                                          \
    X(InitDeviceMgr) X(FreeDeviceResources) X(GetNumAcqDevices) X(GetFirstAcqDeviceName)             \
    X(GetNextAcqDeviceName) X(GetAcqDeviceId) X(SetCurrentAcqDevice) X(OpenDevice) X(CloseDevice)    \
    X(ReadDevice) X(AcquireStart) X(AcquireStop) X(AcqDeviceQuery) X(AcqDeviceSet) X(GetLastAcqError) \
    X(GetNumInputDevices) X(GetFirstInputDeviceName) X(GetNextInputDeviceName) X(GetInputDeviceId)   \
    X(SetCurrentInputDevice) X(GetCurrentInputDevice) X(AcqInputDeviceQuery) X(AcqInputDeviceSet)    \
    X(GetNumInputModes) X(GetFirstInputModeName) X(GetNextInputModeName) X(GetInputModeId)           \
    X(SetCurrentInputMode) X(GetCurrentInputMode) X(AcqInputModeQuery) X(AcqInputModeSet)

// The bound library: one pointer per entry point.
struct acq_table {
#define ACQ_TABLE_MEMBER(n) acq_##n##_fn n = nullptr;
    ACQ_ENTRY_POINTS(ACQ_TABLE_MEMBER)
#undef ACQ_TABLE_MEMBER
};
