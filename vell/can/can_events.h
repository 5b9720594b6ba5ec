// CAN event and PDO queues.
//
// The bus library delivers process data (PDOs) and emergency messages (EMCYs) on its own
// threads. The handlers below copy them into two input queues; the event pump moves them into
// two output queues, turning each PDO into numbered instrument events by the decoders of the
// instrument model. The queues are unbounded FIFOs of records copied by value.
//
// Locks: three named auto-reset events used as locks ("VellCanEventMutex" guards the output
// queues and the pump, "VellPdoQueueMutex" the PDO queue, "VellEmcyQueueMutex" the EMCY queue).
// They are created once per process and stay alive until it ends, so that no thread ever waits
// on a lock that another has replaced; like every named platform event they are private to
// the process, so two processes never answer each other's queues. Lock order: the CAN event
// lock first; a queue lock is taken only inside it by the pump, or alone by a producer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vell/can/can_library.h"

struct SysInfo;

inline constexpr char CAN_EVENT_MUTEX[] = "VellCanEventMutex";
inline constexpr char CAN_PDO_QUEUE_MUTEX[] = "VellPdoQueueMutex";
inline constexpr char CAN_EMCY_QUEUE_MUTEX[] = "VellEmcyQueueMutex";
// Signalled (when some thread has created it) each time the ND wheel stops moving.
inline constexpr char CAN_NDWHEEL_STOPPED[] = "CAN_NDWHEEL_STOPPED";

// Event codes of the process-data event queue.
enum can_event_code : int32_t {
    CAN_EV_MOVE_DONE = 3,       // brush motor finished moving
    CAN_EV_ZOOM_CHANGED = 4,    // zoom changer position changed
    CAN_EV_WAND_KEY1 = 5,       // wand key 1
    CAN_EV_RING = 6,            // ring/spot: ring
    CAN_EV_SPOT = 7,            // ring/spot: spot
    CAN_EV_WAND_KEY2 = 8,
    CAN_EV_WAND_KEY3 = 9,
    CAN_EV_SLEEP = 10,          // posted by the sleep-mode service
    CAN_EV_MOVING = 12,         // brush motor moving
    CAN_EV_FOCUS = 13,          // focus PDO
    CAN_EV_TURRET = 14,         // encoded turret position changed
};

// EMCY record: as the library's EMCY callback hands it over.
struct can_emcy_record {
    int32_t first = 0;
    int32_t second = 0;
    uint32_t word = 0;     // block bytes 0-3, memory order
    uint8_t byte = 0;      // block byte 4
    uint8_t bytes[5] = {}; // block bytes 5-9
    uint8_t pad[2] = {};   // block bytes 10-11 (zero from the pass-through entry)
    uint32_t last = 0;     // the last argument, in the low byte
};

// Event queue record: type 2 = EMCY.
struct can_event_record {
    int32_t type = 0;
    can_emcy_record emcy;
};
constexpr int32_t CAN_EVENT_TYPE_EMCY = 2;

// Process-data event queue record.
struct can_pd_event_record {
    int32_t code = 0;
    uint32_t cobId = 0;
    uint32_t word = 0;
    uint32_t length = 0;
    uint8_t data_lo[4] = {};  // data bytes 0-3
    uint8_t data_hi[4] = {};  // data bytes 4-7
};

// Creates the three locks, in the order above, unless they exist: 0; ERR_UNKNOWN after
// "CanCreateSyncObjects: Cannot create CanEventMutex\n" (or PdoQueueMutex, EmcyQueueMutex).
int32_t CanCreateSyncObjects();

// Closes the three locks, so that the next use creates them again. For tests: no other thread
// may be using the queues. While a lock cannot be created, the queue behind it is left alone:
// producers drop their record, the pump and the takers find nothing.
void can_events_close_locks();

// Enable: the locks, CAN_RegisterEvents with the two handlers, then the PDOs of the model of
// the instrument si (results ignored; none without a record). Disable: CAN_RegisterEvents(null,
// null), then CAN_UnregisterPDOs. Another status than 1: "can_register_events canErr = %d\n"
// and its code.
int32_t can_register_events(const SysInfo* si, bool enable);

// CAN_UnregisterPDOs (a failure is reported, not returned). The locks stay alive; queued
// records stay in their queues.
void can_events_free_resources();

// The library's callbacks.
void ReceivePdoHandler(int32_t count, int32_t overrun);
void ReceiveEmcyHandler(int32_t first, int32_t second, const uint8_t* block, uint8_t last);

// Pass-through entries for the motion wrapper library. At most 8 data bytes (5 for the EMCY
// block) are copied, a null pointer reads as zeros, the stored length is clamped to 8.
void can_pass_pdo(uint32_t cobId, uint32_t length, const uint8_t* data);
void can_pass_emcy(int32_t first, int32_t second, uint32_t third, uint8_t byte, const uint8_t* five, uint8_t last);

// The event pump: moves EMCYs into the event queue and decodes PDOs into the process-data
// event queue by the decoders of info's instrument model. True when either output queue holds
// records afterwards.
bool can_process_events(SysInfo* info);

// Takers and counts of the output queues, under the CAN event lock. A taker answers false and
// leaves *out alone when its queue is empty.
bool can_take_event(can_event_record* out);
bool can_take_pd_event(can_pd_event_record* out);
std::size_t can_event_count();
std::size_t can_pd_event_count();
// Appends a record to the process-data event queue under the CAN event lock (the sleep-mode
// service posts code 10 this way).
void can_post_pd_event(const can_pd_event_record& record);

// The ND wheel as its last PDO told it (home status bits 0x18 of data[0], moving), under the
// CAN event lock.
void can_ndw_status(uint8_t* home, bool* moving);

// Sets the ND wheel state that the decoder keeps (a homing wait starts from "searching" and
// "moving" and lets the wheel's PDOs tell it otherwise). Under the CAN event lock.
void can_ndw_set_status(uint8_t home, bool moving);

// Seeds the brush-motor decoder's last zoom position with pos when it has none (255); returns
// the last zoom position afterwards. Under the CAN event lock.
uint8_t can_seed_last_zoom(uint8_t pos);

// Empties the four queues and resets the decoders' state (ND wheel, brush motor, last turret
// byte). For tests and instrument off.
void can_events_reset();
