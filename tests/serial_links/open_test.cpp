// Opening a link that is open already, on every link's open: the port it holds stays open and
// its own, nothing else is opened, and a missing name closes nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "vell/platform/errors.h"
#include "vell/serial/sio.h"
#include "vell/serial/tempctl.h"
#include "vell/serial/wavemon.h"
#include "vell/sim/serial_peer.h"
#include "tests/serial_links/links_fixture.h"

namespace {

using OpenLink = linktest::Links;

TEST_F(OpenLink, AnOpenLinkKeepsItsPortWhenOpenedAgain)
{
    struct row {
        const char* what;
        int32_t (*open)(sio_link*, const char*);
        int32_t refused;
    };
    const row rows[] = {
        {"sio_open", [](sio_link* l, const char* d) { return sio_open(d, l); }, ERR_CANT_OPEN_SERIAL},
        {"wm_comm_open_fd", wm_comm_open_fd, ERR_WM_COMM},
        {"temp_comm_open", temp_comm_open, ERR_TEMP_SENSOR_COMM},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::unique_ptr<sim::serial_peer> first, second;
        ASSERT_EQ(sim::serial_peer::create("COM20", &first), NO_ERROR);
        ASSERT_EQ(sim::serial_peer::create("COM21", &second), NO_ERROR);
        sio_link link;
        ASSERT_EQ(r.open(&link, "COM20"), NO_ERROR);
        const sio_handle held = link.handle;
        for (const char* name : {"COM21", "COM20", "", static_cast<const char*>(nullptr)}) {
            clear_log();
            EXPECT_EQ(r.open(&link, name), r.refused) << (name ? name : "(null)");
            EXPECT_EQ(link.handle, held);
            EXPECT_TRUE(first->port_open());
            EXPECT_FALSE(second->port_open());
        }
        // The link still works and closes as usual.
        ASSERT_EQ(sio_send_data(link.handle, "ok", 2, nullptr), NO_ERROR);
        EXPECT_EQ(first->receive(2, 100), "ok");
        EXPECT_EQ(sio_close(&link), NO_ERROR);
        EXPECT_FALSE(first->port_open());
    }
}

TEST_F(OpenLink, TheRefusalIsLoggedWithTheLinksOwnLine)
{
    std::unique_ptr<sim::serial_peer> peer;
    ASSERT_EQ(sim::serial_peer::create("COM20", &peer), NO_ERROR);
    sio_link link;
    ASSERT_EQ(temp_comm_open(&link, "COM20"), NO_ERROR);
    clear_log();
    EXPECT_EQ(temp_comm_open(&link, "COM20"), ERR_TEMP_SENSOR_COMM);
    EXPECT_EQ(logged(), "sio_open: COM20: the link is open already\n"
                        "temp_comm_open: error initializing device COM20: ERR_CANT_OPEN_SERIAL\n");
    EXPECT_EQ(temp_comm_close(&link), NO_ERROR);
}

}  // namespace
