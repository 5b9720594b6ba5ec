// The acquisition manager: loading and binding of the acquisition library ("TnAcq.dll"), the
// process lock that keeps the acquisition system to one process, the start-up on instrument
// slot 0, and the translation of the library's error numbers into platform codes.
//
// State is process-wide: one library, one process lock, one frame-buffer copy lock.
#pragma once

#include <cstdint>

#include "vell/acquisition/acq_library.h"
#include "vell/platform/event.h"

struct SysInfo;

constexpr const char* ACQ_LIBRARY = "TnAcq.dll";
constexpr const char* ACQ_INI_FILE = "TnAcq.ini";
constexpr const char* ACQ_PROCESS_LOCK = "VELLTNCAL";
constexpr uint32_t ACQ_LOCK_WAIT_MS = 500;

// Loads and binds the library, sets up its environment, logs its settings file and initialises
// it; then creates the frame-buffer copy lock. ERR_ACQ_MISSING_DLL, ERR_ACQ_INVALID_DLL (an entry
// point is missing), ERR_ACQ_INIT_DEV (InitDeviceMgr failed), ERR_UNKNOWN (no copy lock). Every
// failure leaves the library closed.
int32_t acq_mgropen(const char* ini_file);

// The acquisition manager's start-up on slot 0: reads `cal_file` into the slot (its code on
// failure), takes the process lock within ACQ_LOCK_WAIT_MS, opens the library, enumerates and
// selects the devices. ERR_ACQ_INIT_DEV (lock or library), ERR_ACQ_INVALID_DEVICE (a selection),
// or the translated library error of the device set-up. On failure after the lock was taken
// the library is closed and the lock released. A second start-up while this process holds the
// lock reuses it.
int32_t acq_mgrinit(int slot_digit, const char* cal_file);

// Steps 2 on of that start-up for a record whose calibration is already read (the console's,
// or any instrument's): process lock, library, enumeration, selection, the device opened.
// The same codes. ERR_INVALID_PARAM for no record.
int32_t acq_mgrstart(SysInfo* slot);

// Frees the library's device resources and unloads it, closes the frame-buffer copy lock and,
// with a slot record, releases and closes the process lock. Safe to call at any time, also
// twice and when nothing was loaded.
void acq_mgrclose(const SysInfo* slot);

// Asks the library for its last error and returns its platform code (NO_ERROR for 0), logging
// "Acq Error: " and the error's text. ERR_ACQ_MISSING_DLL when no library is loaded.
int32_t acq_translate_error();

// The platform code and text of one library error number (unknown numbers: "Unknown\n" and
// ERR_UNKNOWN). The text is null for 0.
int32_t acq_error_code(int number, const char** text);

// A device's answer to a setting query as a number: one finite decimal number, blanks around it
// allowed, nothing else. The whole-number form also refuses a fraction and a value outside int32_t.
bool acq_answer_number(const char* text, double* out);
bool acq_answer_int(const char* text, int32_t* out);

// What the start-up found and read.
struct acq_manager_state {
    bool loaded = false;
    bool live_display_control = false;  // the library lets the platform set the live display
    int num_devices = 0;
    int num_cameras = 0;
    int primary_modes = 0;
    int secondary_modes = 0;
    int display_type = 0;
    int max_display_width = 0;   // read when display_type has bit 1 (value 2) set
    int max_display_height = 0;
    int onboard_proc = 0;
    bool lock_held = false;
    bool device_open = false;  // the start-up selected and opened the acquisition device
};
const acq_manager_state& acq_state();

// The bound entry points; null members while no library is loaded.
const acq_table& acq_functions();

// The frame-buffer copy lock (an auto-reset event, signalled when free); null while closed.
u_handle acq_copy_lock();

// Binds a table of entry points in place of loading the library (the virtual acquisition
// library linked into the program, as the virtual CAN bridge is); null loads the library again.
// The table must outlive its use.
void acq_mgr_use(const acq_table* table);

// For tests and the virtual instrument: the library to load instead of ACQ_LIBRARY, and the
// name of the process lock instead of ACQ_PROCESS_LOCK (null restores either).
void acq_set_library(const char* name);
void acq_set_lock_name(const char* name);
