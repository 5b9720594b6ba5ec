// A serial link owned by a service's run-time state: closed when the state is destroyed (the
// instrument record's run-time reset), so no port outlives the state that opened it. Used where
// a sio_link is, through the base.
#pragma once

#include "vell/serial/sio.h"

struct sio_owned_link : sio_link {
    sio_owned_link() = default;
    ~sio_owned_link()
    {
        if (handle != SIO_INVALID_HANDLE)
            (void)sio_close(this);
    }
    sio_owned_link(const sio_owned_link&) = delete;
    sio_owned_link& operator=(const sio_owned_link&) = delete;
};
