// Device-control table: up to ten devices (motion controller, instrument board, other serial
// devices, CAN bus) with a readiness test each, and a poller thread that runs the tests on
// demand, so that the application can wait for the first device with something to read.
//
// A poll is one start ... done cycle of four manual-reset events, always inside one
// dev_data_read call: the reader starts the poller, waits up to 100 ms for a ready device, then
// stops the poller and waits until it is parked before it looks at the result. The events are
// private to the process, so two processes never answer each other's polls.
//
// Table changes (add, remove, enable) are made by the application thread that also calls
// dev_data_read, never while a dev_data_read is in progress; the readiness tests run on the
// poller thread and never block.
//
// The CAN bus (type 64) is tested through a hook that the CAN layer installs
// (can/can_devready.h); the serial layer itself stays below CAN and the calibration record.
#pragma once

#include <cstdint>

#include "vell/platform/event.h"
#include "vell/serial/sio.h"

// Device types: one bit each of a selection mask.
constexpr int32_t DEV_TYPE_MC = 1;        // motion controller, tested by its link kind
constexpr int32_t DEV_TYPE_SERIAL = 2;    // instrument board; 4, 8 and 16 are serial devices too
constexpr int32_t DEV_TYPE_SERIAL_4 = 4;
constexpr int32_t DEV_TYPE_SERIAL_8 = 8;
constexpr int32_t DEV_TYPE_SERIAL_16 = 16;
constexpr int32_t DEV_TYPE_KEYBOARD = 32;  // console keyboard: no readiness test
constexpr int32_t DEV_TYPE_CAN = 64;       // CAN event and process-data queues
constexpr int32_t DEV_TYPE_ALL = 0xFFFF;   // the mask that selects every type

// dev_data_read's answer when no device became ready (not an error code).
constexpr int32_t DEV_NONE_READY = 0x10000;

constexpr int32_t DEV_MAX_DEVICES = 10;
// The reader's window per poll and the poller's pause between passes.
constexpr uint32_t DEV_READ_WINDOW_MS = 100;
constexpr uint32_t DEV_PASS_PAUSE_MS = 50;

// A readiness test: true when the device has something to read. Must not block.
using dev_ready_fn = bool (*)(sio_handle handle, void* record);

// Link kinds of a motion controller's record.
constexpr int32_t DEV_MC_LINK_SERIAL = 1;  // input waiting on the entry's port handle
constexpr int32_t DEV_MC_LINK_EVENT = 2;   // the record's event is signalled (the test resets it)
constexpr int32_t DEV_MC_LINK_LIBRARY = 3; // the motion library's has-event function answers true

// What the table needs of a motion controller's record (type 1). The motion layer binds
// has_event to the wrapper library's HasEvent_MWI; while it is not bound the test answers
// "not ready".
struct dev_mc_link {
    int32_t link_kind = 0;
    u_handle event = nullptr;
    bool (*has_event)(void* context) = nullptr;
    void* context = nullptr;
};

struct dev_entry {
    sio_handle handle = SIO_INVALID_HANDLE;  // -1: free
    int32_t in_use = -1;                     // 1 in use, -1 free
    int32_t type = 0;
    int32_t enabled = 0;                     // 1 polled, 0 skipped
    dev_ready_fn test = nullptr;
    void* record = nullptr;
};

struct dev_info {
    dev_entry entries[DEV_MAX_DEVICES];
    int32_t count = 0;
    int32_t ready_type = 0;    // 0: none
    int32_t ready_index = -1;  // -1: none
    int32_t single_pass = 0;
    int32_t mask = 0;
    int32_t initialised = 0;
};

// The process-wide table.
extern dev_info gl_DevInfo;

// Clears the table when it is not initialised or force is set, then creates whichever of the
// four events and the poller thread do not exist. ERR_DEV_CNTRL when a creation fails (the
// table then stays uninitialised).
int32_t dev_init_cntrl(bool force);

// Stops and joins the poller, closes the events and the thread handle and marks the table
// uninitialised; a later dev_init_cntrl starts afresh. Harmless when nothing exists.
void dev_release_cntrl();

// Whether type is one of 1, 2, 4, 8, 16, 32, 64 (else a log line).
bool dev_type_valid(int32_t type);

// Registers a device in the first free entry, enabled. ERR_DEV_CNTRL when not initialised,
// for an invalid type, a full table or a handle already registered; ERR_INVALID_PARAM for the
// handle -1 and for type 1 without a record; ERR_MC_NOT_AVAIL for a type 1 record whose link
// kind is not 1, 2 or 3.
int32_t dev_add_device(int32_t type, sio_handle handle, void* record);

// Frees the handle's entry (clearing the ready result when it was the ready one).
// ERR_DEV_CNTRL when not initialised, ERR_INVALID_PARAM for -1, ERR_PARAM_OUT_OF_RANGE when
// the handle is not registered.
int32_t dev_remove_device(sio_handle handle);

// Whether an entry holds the handle (false when not initialised or for -1). No log line.
bool dev_registered(sio_handle handle);

// Enables (1) or disables (0) the handle's entry. ERR_INVALID_PARAM for another state or the
// handle -1, ERR_PARAM_OUT_OF_RANGE when not registered, ERR_DEV_CNTRL when not initialised.
int32_t dev_set_event_state(sio_handle handle, int32_t state);

// Polls the devices selected by mask (DEV_TYPE_ALL or one valid type): the type of the first
// ready device, with its entry copied to *out; DEV_NONE_READY when none became ready (with wait
// false: after one pass or at most 100 ms; with wait true the call polls until one is ready);
// 0 when the call is refused (not initialised, bad mask), after a log line.
int32_t dev_data_read(int32_t mask, dev_entry* out, bool wait);

// The CAN bus test used for type 64 entries; null (the default) answers "not ready".
void dev_set_can_test(dev_ready_fn test);
