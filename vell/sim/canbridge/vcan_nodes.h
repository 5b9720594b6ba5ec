// Node behaviours of the virtual CAN bridge: the object dictionaries of the instrument's nodes
// with the size of every entry the node operations use, and scripted devices (an ND wheel
// that homes, moves and settles its light level, motors that move after a current write, a PI
// digital scanner with amplitude, velocity and DDL tables). Built on vcan_bridge.h; reset()
// there removes every entry and hook installed here.
#pragma once

#include <cstdint>
#include <vector>

namespace vcan {

// Family-1 motor driver objects of a node (control, mode, target velocity, motor 2 control,
// status, light level, current limit and current, position, keypress mode), zero-valued.
void install_motor_driver(uint8_t node);
// Bridge node 127: status, configuration (fg trigger of 2 bytes with the configuration word,
// else 1), digital outputs and alignment diode objects, sync generator, ramp generator and its
// four slots (valid, trigger, rate, 32768-byte data), PIFOC offset, PI scanner objects.
void install_bridge_node(bool config_word = true);
// PZT ramp node (62 or 52): ramp generator, four slots (data of `data_samples` samples, gains),
// status register 0x1002.
void install_pzt_node(uint8_t node, uint32_t data_samples = 16384);
// LED node 61.
void install_led_node();
// The LED node's light level (0x2001) reaches a written level along a straight line over
// settle_ms: a read before then answers the level on the way (rounded), as a lamp that dims.
void led_level_settles(uint32_t settle_ms);
// Dual brush motor node 63: turret position and status, zoom position, all-zoom table (six
// bytes), configuration word.
void install_brush_motor();
// HXI encoded zoom objects on node 64 and its firmware revision (0x1018/3).
void install_enc_zoom(uint16_t major, uint16_t minor);

// An ND wheel on node 64 (install_motor_driver(64) first). Writing 3 to its motor 2 control
// starts a home search: its status (0x2021) reads 0x08 for search_ms, then home_result | 0x02
// while it moves to its initial position for move_ms, then home_result (0x00 found, 0x10
// failed). A search_ms below 0 searches for ever. Writing a light level (0x2028) makes it move
// for settle_ms and stop; its light level reads the level on the way there until it stops
// (see led_level_settles). Every change of status is also sent as a PDO (COB-ID 0x2C0, data[0]
// the status byte) by ndw_tick once its time has come: call it from the platform idle hook.
void ndw_wheel(int32_t search_ms, int32_t move_ms, uint8_t home_result, int32_t settle_ms = 300);
void ndw_tick();
// A platform thread that calls ndw_tick every tick_ms, for programs without an idle hook that
// does (the console, the gain thread's tests). Starting it twice keeps the first; stop joins it.
void ndw_clock_start(uint32_t tick_ms = 10);
void ndw_clock_stop();

// A motor driver node whose motor 2 status (0x2021) reads "moving" (0x02) for the next `reads`
// reads after each motor current write (0x2034), then 0x00; reads below 0: moving for ever.
void motor_moves_on_current(uint8_t node, int32_t reads);

// A PI digital scanner behind the bridge (install_bridge_node first): selecting ramp n
// (0x2041/1) makes the amplitude (0x2041/2) and velocity (0x2041/3) read the n-th table entries
// (0 beyond them); starting a DDL load (0x2041/19) makes 0x2041/20 read ddl_tables.
void pi_scanner(std::vector<float> amplitudes, std::vector<float> velocities, uint16_t ddl_tables);

// A ramp generator on a ramp node (127 for the bridge, 62 or 52 for a PZT ramp node; install
// the node first): writing a slot's data (0x2003+k/5) marks the slot valid (0x2003+k/1 reads
// 1), and a start (0x2000/0 := 1) of a valid selected slot makes the status (0x2000/0) read 1
// for play_ms on the platform clock, then 0. Starting an invalid slot aborts the transfer.
void ramp_generator(uint8_t node, uint32_t play_ms);

}  // namespace vcan
