// Bringing up an instrument link: see serial/link_open.h.
#include "vell/serial/link_open.h"

#include "vell/platform/errors.h"

int32_t sio_open_link(const char* device, sio_link* link, std::initializer_list<sio_setup_step> steps,
                      int* failed_step)
{
    if (failed_step != nullptr)
        *failed_step = 0;
    if (link == nullptr)
        return ERR_INVALID_PARAM;
    if (device == nullptr || device[0] == '\0')
        return ERR_CANT_OPEN_SERIAL;
    int32_t rc = sio_open(device, link);
    if (rc == ERR_CANT_OPEN_SERIAL)
        return rc;  // nothing of this call's is open (an open link is refused as it is)
    int at = 0;
    for (const sio_setup_step& step : steps) {
        if (rc != NO_ERROR)
            break;
        ++at;
        rc = step(link->handle);
    }
    if (rc == NO_ERROR) {
        if (failed_step != nullptr)
            *failed_step = -1;
        return NO_ERROR;
    }
    if (failed_step != nullptr)
        *failed_step = at;
    (void)sio_close(link);  // sets the link closed also when the close fails
    return rc;
}
