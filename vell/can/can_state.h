// The CAN services' run-time state of one instrument, kept in its record's run-time part
// (SysRunState::services): which optional nodes answered at start-up and what the node
// operations remember between calls. Facts that the calibration part holds (board type, PIFOC
// kind, flags) and the camera frame rate (SysRunState) are read there, not kept here.
#pragma once

#include <cstdint>

#include "vell/platform/event.h"

struct SysInfo;

// Which optional nodes answered at start-up. Bring-up sets them from the node enumeration and
// clears one whose node does not become operational; afterwards they are only read (the gain
// thread reads them too, while bring-up has it suspended or stopped).
struct can_node_avail {
    bool canTriplePztAvail = false;
    bool canLargeApAvail = false;
    bool canWandAvail = false;
    bool canWand2Avail = false;
    bool canDdZoomAvail = false;
    bool canDdRsAvail = false;
    bool canFocusNdwAvail = false;
    bool canAuxMotorAvail = false;
    bool canBrushMotorAvail = false;
};

struct can_slot_state {
    can_node_avail avail;
    int32_t rampMux = 0;          // 0: triple PZT node 62, 1: large-aperture node 52
    float zoomDdTargetVel = 0.0f; // last target velocity written to the zoom/diffuser node
    uint8_t zoomPosCount = 0;     // zoom changer positions (brush-motor configuration)
    uint8_t turretPosCount = 0;   // objective turret positions
    int64_t pifocWriteTime = 0;   // wall-clock seconds of the last PIFOC offset write
    bool largeApInUse = false;    // the large-aperture node drives the scan
    int32_t turretPos = -1;       // current objective turret position read at power-on, -1 unknown
    int32_t scannerKind = -1;     // 1 PIFOC, 2 PZT, 0 neither; -1 before power-on
    u_handle ndwStopped = nullptr; // the ND wheel's stop event, held from bring-up to instrument off

    can_slot_state() = default;
    can_slot_state(const can_slot_state&) = delete;
    can_slot_state& operator=(const can_slot_state&) = delete;
    ~can_slot_state();  // closes the ND wheel's stop event
};

// The CAN state of the instrument whose record is si (created on first use); null for no record.
can_slot_state* can_state(const SysInfo* si);
