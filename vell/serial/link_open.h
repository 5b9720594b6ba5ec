// Bringing up an instrument link: open the port into the link, run the link's set-up steps in
// order, and close the port again when a step fails. The one sequence behind every serial
// link's open (board, wave monitor, temperature controller, position readouts).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

#include "vell/serial/sio.h"

// One set-up step on the opened port: NO_ERROR or the code that ends the bring-up.
using sio_setup_step = std::function<int32_t(sio_handle handle)>;

// Opens `device` into `link` and runs the steps in order; the first failure ends it and is
// returned. `failed_step` (optional) receives where it ended: 0 for the open itself, n for the
// n-th step, -1 on success.
//
// - A missing or empty device name fails as ERR_CANT_OPEN_SERIAL.
// - A link that is open already is refused with ERR_CANT_OPEN_SERIAL and left open: the port it
//   holds belongs to whoever opened it, and dropping or closing it here would leak it or cut
//   off its user.
// - When a step fails, the port this call opened is closed again and the link is closed
//   (-1); a failed open leaves the link closed with nothing to close.
// ERR_INVALID_PARAM for a missing link.
int32_t sio_open_link(const char* device, sio_link* link, std::initializer_list<sio_setup_step> steps,
                      int* failed_step = nullptr);
