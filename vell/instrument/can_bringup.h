// The steps of CAN instrument power-on: finding the network bridge by its MAC address, finding
// nodes and waiting for them to become operational, and the node bring-up of each group of
// instrument models. instrument/can_inst.h strings them together.
//
// Every step writes its own diagnostics; the bring-ups return the first failure's code.
#pragma once

#include <cstdint>

struct SysInfo;
struct CanInfo;

// Looks for the bridge whose MAC address the record holds (3 enumerations, 2000 ms apart) and
// stores its IPv4 address. ERR_CAN_FINDING_BRIDGE when the enumeration fails or finds no
// bridge, ERR_CAN_MACADDRESS_ERROR when none has the address.
int32_t find_bridge(CanInfo* canInfo);

// True when the node is found (status 1, found-state 2).
bool find_node(uint8_t node, const char* name);
// True when the node reads operational within 10 polls, 200 ms apart.
bool wait_for_node_operational(uint8_t node, const char* name);
// find_node, wait_for_node_operational and the product code (into *productId).
bool get_operational_node(const SysInfo* si, uint8_t node, const char* name, uint32_t* productId);

// Node enumeration of the instrument models with a triple PZT and a dual brush motor node:
// sets their availability flags and prints the node status table.
int32_t can_init_tq_node_availability(SysInfo* si);

// The node bring-ups by model group.
int32_t can_model15_model25_on(SysInfo* si);
int32_t can_model23_or_model29_on(SysInfo* si);
int32_t can_hxi_on(SysInfo* si);

// The diffuser-disk rate of the HXI systems: the record's rate when it sets one, else one from
// the objective power of the current turret position. A rate worked out from the power is
// kept within the node's 10 to 10000.
float can_diffuser_disk_rate(const SysInfo& si);

// The "CAN_NDWHEEL_STOPPED" event held by power-on: created at HXI bring-up when none is
// held, closed at instrument off.
bool can_ndw_event_held(const SysInfo* si);
void can_ndw_event_close(const SysInfo* si);
