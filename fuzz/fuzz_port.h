// The virtual serial port of the device-answer fuzz targets: made once, on the virtual clock,
// so that the link's time-outs cost no real time.
#pragma once

#include <memory>

#include "fuzz/fuzz_support.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/serial/sio_vport.h"

namespace vpfuzz {

// The device end of the port `name` (the first call's name; a target has one port).
inline sio_vport& virtual_port(const char* name)
{
    static std::unique_ptr<sio_vport> p = [name] {
        u_vclock_start(0);
        std::unique_ptr<sio_vport> made;
        if (sio_vport::create(name, &made) != NO_ERROR)
            fail("cannot create the virtual port");
        return made;
    }();
    return *p;
}

}  // namespace vpfuzz
