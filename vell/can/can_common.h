// Facts and small helpers that the CAN services and the CAN instrument bring-up share: the
// model lists are tested one way, the bridge firmware gate and the brush-motor product codes are
// written once, every wait is one pause, and the zoom changer's position byte has one map.
#pragma once

#include <cstdint>
#include <initializer_list>

struct SysInfo;
struct CanInfo;

// Product codes (object 0x1018/2) of the dual brush motor node; the second one reports the
// zoom changer position in its process data.
constexpr uint32_t CAN_BRMOTOR_PRODUCT_D5 = 0x267215D5u;
constexpr uint32_t CAN_BRMOTOR_PRODUCT_D7 = 0x267215D7u;

// Whether the record's system type is one of the list (sysinfo_type_in); false for no record.
bool can_sys_is(const SysInfo* si, std::initializer_list<int32_t> types);

// Whether the bridge firmware carries the configuration word (object 0x2010/2).
constexpr bool can_config_word_supported(uint8_t fwMajor, uint8_t fwMinor) { return fwMajor > 1 || fwMinor > 11; }
bool can_config_word_supported(const CanInfo& c);

// One step of a waiting loop: sleep on the platform clock, then run the idle hook.
void can_pause_ms(uint32_t ms);

// The zoom changer slot of the brush motor's position byte (0->0, 1->6, ..., 6->1, 7->7); false
// for a byte outside the map.
bool can_zoom_slot(uint32_t raw, uint8_t* slot);
