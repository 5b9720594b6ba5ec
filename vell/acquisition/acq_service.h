// The image acquisition service of an instrument, over the acquisition library binding: the
// acquisition device opened for the instrument, its frame format, one frame grabbed, the
// current frame copied in live mode, and the two flags the gain thread asks about (exposing,
// device set up). Frames are cleaned of the calibration's bad pixels.
//
// Its state is the record's own (acq_service_state, in the record's run-time part); the
// library and its frame grabber are process-wide (vell/acquisition/acq.h), so an instrument's
// device stays open until acq_svc_close or the library is closed; a reset of the run-time part
// leaves live mode. The flags are safe to read from any thread; grabbing and copying are
// serialised by the frame-buffer copy lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

struct SysInfo;
struct bpix_block;

// The camera's frame format as the device reports it: the sensor's width and height, the
// binning factor (frames are width/binning x height/binning pixels), bytes per pixel (1 or 2,
// native order) and the significant bits of a pixel (1 to 8 x bytes per pixel).
struct acq_frame_format {
    int32_t width = 0;
    int32_t height = 0;
    int32_t binning = 1;
    int32_t bytes_per_pixel = 1;
    int32_t bit_depth = 8;

    int32_t frame_width() const { return binning > 0 ? width / binning : 0; }
    int32_t frame_height() const { return binning > 0 ? height / binning : 0; }
    std::size_t frame_bytes() const
    {
        return static_cast<std::size_t>(frame_width()) * static_cast<std::size_t>(frame_height()) *
               static_cast<std::size_t>(bytes_per_pixel);
    }
    bool usable() const;
};

// Device settings the format is read from (the input mode's, else the input device's, else the
// acquisition device's answer).
constexpr const char* ACQ_SETTING_WIDTH = "IMAGE WIDTH";
constexpr const char* ACQ_SETTING_HEIGHT = "IMAGE HEIGHT";
constexpr const char* ACQ_SETTING_BINNING = "BINNING";
constexpr const char* ACQ_SETTING_BYTES = "BYTES PER PIXEL";
constexpr const char* ACQ_SETTING_DEPTH = "BIT DEPTH";
constexpr const char* ACQ_SETTING_RATE = "FRAME RATE";  // optional

// The service's state on a record (si->services.get<acq_service_state>()).
struct acq_service_state {
    std::atomic<bool> set_up{false};
    std::atomic<bool> live{false};
    std::atomic<bool> exposing{false};
    std::mutex format_lock;
    acq_frame_format format;
    // Under the frame-buffer copy lock: the newest frame and whether there is one.
    std::vector<uint8_t> frame;
    bool have_frame = false;

    // What the state releases when the record's run-time part is reset: live acquisition, which
    // would otherwise run on in the library with no instrument to stop it.
    acq_service_state() = default;
    acq_service_state(const acq_service_state&) = delete;
    acq_service_state& operator=(const acq_service_state&) = delete;
    ~acq_service_state();
};

// Opens the acquisition device for the instrument: starts the acquisition manager on the
// record when the library has not opened a device yet (process lock, library, selection,
// acq_mgrstart), reads the frame format and the camera's frame rate (which becomes the
// record's camera rate). Nothing when already set up. The manager's codes, or ERR_ACQ_CMD for
// a format that cannot be read or used (logged).
int32_t acq_svc_open(SysInfo* si);
// Leaves live mode and closes the device for the instrument (its flag cleared).
int32_t acq_svc_close(SysInfo* si);

int32_t acq_svc_frame_format(SysInfo* si, acq_frame_format* format);

// Grabs one frame into the instrument's frame buffer (in live mode: takes the newest frame).
// ERR_ACQ_DEVICE_CLOSE when the device is not set up; the library's translated error, or
// ERR_ACQ_CMD when a read delivers less than a frame.
int32_t acq_svc_grab(SysInfo* si);
// Copies the current frame into buf (size bytes, at least the frame's): in live mode the newest
// frame is read first. ERR_ACQ_DEVICE_CLOSE (not set up), ERR_ACQ_CMD (no frame grabbed yet),
// ERR_INVALID_PARAM (buffer too small), or grab's errors.
int32_t acq_svc_copy(SysInfo* si, void* buf, std::size_t size);

// Live mode: acquisition runs continuously and copies take the newest frame.
int32_t acq_svc_set_live(SysInfo* si, bool live);
bool acq_svc_live(const SysInfo* si);
// The exposure flag: set while a measurement exposes (the gain thread then does not start).
void acq_svc_set_exposing(SysInfo* si, bool exposing);
bool acq_svc_exposing(const SysInfo* si);
// Whether the device is set up for the instrument.
bool acq_svc_device_set_up(const SysInfo* si);

// Replaces the bad pixels of a frame (in the format given) by the mean of their good
// neighbours (left, right, above, below), using the bad pixel table's block whose size is the
// frame's, else one of the sensor's size with its pixels binned. A pixel with no good
// neighbour keeps its value. The number of pixels replaced.
int32_t acq_clean_bad_pixels(const bpix_block* blocks, int32_t count, const acq_frame_format& format, void* frame);
