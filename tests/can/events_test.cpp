// CAN event and PDO queues: registration per model, the decoders, the pump, delivery from the
// virtual bridge's thread, and a stress run of 100 000 PDOs.
#include <atomic>

#include "tests/can/can_fixture.h"

#include "vell/can/can_events.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/thread.h"

namespace {

class CanEvents : public cantest::CanTest {
protected:
    void SetUp() override
    {
        CanTest::SetUp();
        can_events_reset();
    }
    void TearDown() override
    {
        vcan::reset();  // ends the delivery thread before the queues are emptied
        can_events_reset();
        CanTest::TearDown();
    }

    void instrument(int32_t sys)
    {
        sysinfo_slot(0)->sysType = sys;
    }

    std::vector<int32_t> pump_codes()
    {
        can_process_events(sysinfo_slot(0));
        std::vector<int32_t> out;
        can_pd_event_record r;
        while (can_take_pd_event(&r))
            out.push_back(r.code);
        return out;
    }
};

struct registration_row {
    const char* name;
    int32_t sys;
    int32_t turret;
    int32_t zoom;
    uint32_t product;  // brush-motor product code; 0: no bridge record
    std::vector<uint32_t> cobIds;
};

TEST_F(CanEvents, EnableRegistersExactlyTheModelsPdos)
{
    const registration_row rows[] = {
        {"Model10, encoded turret, zoom 2 with 15D5", SYS_MODEL10, 2, 2, 0x267215D5u, {0x1BF, 0x2BF}},
        {"Model12, zoom 2 with 15D7 is not enough", SYS_MODEL12, 0, 2, 0x267215D7u, {}},
        {"Model15, zoom 1 with 15D7", SYS_MODEL15, 0, 1, 0x267215D7u, {0x2BF}},
        {"Model23, zoom 1 with 15D5", SYS_MODEL23, 1, 1, 0x267215D5u, {0x2BF}},
        {"Model25, turret only", SYS_MODEL25, 2, 0, 0x267215D5u, {0x1BF}},
        {"Model29, no bridge record", SYS_MODEL29, 0, 1, 0, {}},
        {"Model17", SYS_MODEL17, 0, 0, 0, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {"Model24", SYS_MODEL24, 2, 2, 0, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {"Model26", SYS_MODEL26, 0, 0, 0, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {"Model28", SYS_MODEL28, 0, 0, 0, {0x1C0, 0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {"Model19", SYS_MODEL19, 0, 0, 0, {0x1C8, 0x1C9, 0x2C0, 0x2C4}},
        {"Model20", SYS_MODEL20, 0, 0, 0, {0x1C8, 0x1C9, 0x2C0}},
        {"Model30 has none", SYS_MODEL30, 2, 2, 0x267215D5u, {}},
    };
    for (const registration_row& row : rows) {
        SCOPED_TRACE(row.name);
        SysInfo& info = *sysinfo_slot(0);
        info.sysType = row.sys;
        info.turret = row.turret;
        info.zoom = row.zoom;
        info.canInfo.reset();
        if (row.product != 0) {
            ASSERT_EQ(sysinfo_ensure_can_info(info), NO_ERROR);
            info.canInfo->brushMotorProductId = row.product;
        }
        vcan::clear_calls();
        ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
        std::vector<vcan::call> calls = vcan::calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].function + " " + calls[0].args, "CAN_RegisterEvents pdo=set emcy=set");
        std::vector<uint32_t> registered;
        for (std::size_t i = 1; i < calls.size(); ++i) {
            ASSERT_EQ(calls[i].function, "CAN_RegisterPDO");
            registered.push_back(static_cast<uint32_t>(std::stoul(calls[i].args.substr(6), nullptr, 16)));
        }
        EXPECT_EQ(registered, row.cobIds);

        vcan::clear_calls();
        ASSERT_EQ(can_register_events(sysinfo_slot(0), false), NO_ERROR);
        EXPECT_EQ(call_names(), (std::vector<std::string>{"CAN_RegisterEvents", "CAN_UnregisterPDOs"}));
        EXPECT_EQ(vcan::calls()[0].args, "pdo=null emcy=null");
        EXPECT_TRUE(vcan::registered_pdos().empty());
    }
    EXPECT_EQ(log_.str(), "");
}

TEST_F(CanEvents, RegistrationFailuresReportTheStatusAndItsCode)
{
    instrument(SYS_MODEL19);
    vcan::set_status("CAN_RegisterEvents", 0, -2);
    EXPECT_EQ(can_register_events(sysinfo_slot(0), true), ERR_CAN_NOT_CONNECTED);
    EXPECT_EQ(log_.str(), "can_register_events canErr = -2\n");
    EXPECT_TRUE(vcan::calls_of("CAN_RegisterPDO").empty());

    // Registering PDOs may fail: the enable does not look.
    vcan::set_status("CAN_RegisterPDO", -1, -1);
    log_.clear();
    EXPECT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    EXPECT_EQ(vcan::calls_of("CAN_RegisterPDO").size(), 4u);

    vcan::set_status("CAN_UnregisterPDOs", 0, 7);
    EXPECT_EQ(can_register_events(sysinfo_slot(0), false), ERR_UNKNOWN);
    EXPECT_EQ(log_.str(), "can_register_events canErr = 7\n");

    log_.clear();
    vcan::set_status("CAN_UnregisterPDOs", 1, -4);
    can_events_free_resources();
    EXPECT_EQ(log_.str(), "can_events_free_resources canErr = -4\n");
    // The locks outlive the resources: the queues still work.
    can_pass_pdo(0x1C8, 1, std::vector<uint8_t>{1}.data());
    EXPECT_EQ(pump_codes(), (std::vector<int32_t>{CAN_EV_WAND_KEY1}));
    EXPECT_EQ(CanCreateSyncObjects(), NO_ERROR);
}

TEST_F(CanEvents, LocksThatCannotBeCreatedFailTheRegistrationAndNothingRunsUnlocked)
{
    instrument(SYS_MODEL19);
    // A timer holds the PDO queue lock's name: the event of that name cannot be created.
    can_events_close_locks();
    u_handle squatter = nullptr;
    ASSERT_EQ(u_timer_create(false, CAN_PDO_QUEUE_MUTEX, &squatter), NO_ERROR);
    vcan::clear_calls();
    log_.clear();
    EXPECT_EQ(can_register_events(sysinfo_slot(0), true), ERR_UNKNOWN);
    EXPECT_EQ(log_.str(), "CanCreateSyncObjects: Cannot create PdoQueueMutex\n");
    EXPECT_TRUE(vcan::calls_of("CAN_RegisterEvents").empty());

    // Records offered meanwhile are not queued without their lock; the EMCY side, whose lock
    // is never reached in the creation order, stays unlocked and untouched as well.
    can_pass_pdo(0x1C8, 1, std::vector<uint8_t>{1}.data());
    const uint8_t five[5] = {};
    can_pass_emcy(1, 2, 3, 4, five, 5);
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));
    EXPECT_EQ(can_pd_event_count(), 0u);

    // Once the name is free the next registration creates the locks and the queues work.
    u_close_handle(squatter);
    log_.clear();
    EXPECT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    EXPECT_EQ(log_.str(), "");
    can_pass_pdo(0x1C8, 1, std::vector<uint8_t>{1}.data());
    EXPECT_EQ(pump_codes(), (std::vector<int32_t>{CAN_EV_WAND_KEY1}));
}

struct pdo_in {
    uint32_t cobId;
    uint8_t d0, d1, d2;
};

struct decode_row {
    const char* name;
    int32_t sys;
    int32_t turret;
    std::vector<pdo_in> pdos;
    std::vector<int32_t> codes;
};

TEST_F(CanEvents, DecodersGiveTheModelsEventCodesInOrder)
{
    const decode_row rows[] = {
        {"moving with a changed zoom byte", SYS_MODEL10, 0, {{0x2BF, 0x08, 1, 0}}, {12, 4}},
        {"moving, then stopping, then done with the zoom byte unchanged", SYS_MODEL10, 0,
         {{0x2BF, 0x08, 0, 0}, {0x2BF, 0x20, 0, 0}, {0x2BF, 0x00, 0, 0}}, {12, 4, 3}},
        {"still moving keeps the state", SYS_MODEL12, 0, {{0x2BF, 0x08, 0, 0}, {0x2BF, 0x28, 0, 0}}, {12, 4, 12}},
        {"every mapped zoom byte that differs", SYS_MODEL29, 0,
         {{0x2BF, 0, 0, 0}, {0x2BF, 0, 0, 0}, {0x2BF, 0, 7, 0}, {0x2BF, 0, 6, 0}}, {4, 4, 4}},
        {"zoom byte above 7 tells nothing and keeps the last position", SYS_MODEL10, 0,
         {{0x2BF, 0, 2, 0}, {0x2BF, 0, 8, 0}, {0x2BF, 0, 255, 0}, {0x2BF, 0, 2, 0}}, {4}},
        {"encoded turret byte changes", SYS_MODEL10, 2,
         {{0x1BF, 3, 0, 0}, {0x1BF, 3, 0, 0}, {0x1BF, 4, 0, 0}}, {14, 14}},
        {"turret not encoded", SYS_MODEL10, 1, {{0x1BF, 3, 0, 0}}, {}},
        {"wand keys of both wands; 4 is no key", SYS_MODEL19, 0,
         {{0x1C8, 1, 0, 0}, {0x1C9, 2, 0, 0}, {0x1C8, 3, 0, 0}, {0x1C8, 4, 0, 0}, {0x2C8, 1, 0, 0}}, {5, 8, 9}},
        {"ring and spot, not while bit 1 is set", SYS_MODEL19, 0,
         {{0x2C4, 0, 0, 1}, {0x2C4, 0, 0, 2}, {0x2C4, 2, 0, 1}, {0x2C4, 0, 0, 3}}, {6, 7}},
        {"Model20 has no ring/spot decoder", SYS_MODEL20, 0, {{0x2C4, 0, 0, 1}, {0x1C8, 1, 0, 0}}, {5}},
        {"focus on Model17, not on Model19", SYS_MODEL17, 0, {{0x1C0, 0, 0, 0}, {0x1C0, 9, 0, 0}}, {13, 13}},
        {"no focus decoder on Model19", SYS_MODEL19, 0, {{0x1C0, 0, 0, 0}}, {}},
        {"brush motor PDO on a wand model", SYS_MODEL19, 0, {{0x2BF, 0x08, 1, 0}}, {}},
        {"wand PDO on a brush motor model", SYS_MODEL10, 0, {{0x1C8, 1, 0, 0}}, {}},
    };
    for (const decode_row& row : rows) {
        SCOPED_TRACE(row.name);
        can_events_reset();
        instrument(row.sys);
        sysinfo_slot(0)->turret = row.turret;
        std::vector<int32_t> got;
        for (const pdo_in& p : row.pdos) {
            const uint8_t data[8] = {p.d0, p.d1, p.d2, 0, 0, 0, 0, 0};
            can_pass_pdo(p.cobId, 8, data);
            for (int32_t c : pump_codes())
                got.push_back(c);
        }
        EXPECT_EQ(got, row.codes);
    }
    // Only CAN instruments decode.
    can_events_reset();
    instrument(SYS_MODEL19);
    sysinfo_slot(0)->instrBdType = BD_BOARD01;
    can_pass_pdo(0x1C8, 1, std::vector<uint8_t>{1}.data());
    EXPECT_TRUE(pump_codes().empty());
}

TEST_F(CanEvents, TheNdWheelStoppingSignalsItsEventOnce)
{
    instrument(SYS_MODEL19);
    u_handle stopped = nullptr;
    ASSERT_EQ(u_event_create(false, false, CAN_NDWHEEL_STOPPED, &stopped), NO_ERROR);
    const uint8_t moving[1] = {0x02}, still[1] = {0x18};
    can_pass_pdo(0x2C0, 1, still);  // not moving before: nothing
    EXPECT_TRUE(pump_codes().empty());
    EXPECT_EQ(u_wait_one(stopped, 0), U_WAIT_TIMEOUT);
    can_pass_pdo(0x2C0, 1, moving);
    can_pass_pdo(0x2C0, 1, moving);
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));  // the wheel gives no event code
    uint8_t home = 0xFF;
    bool is_moving = false;
    can_ndw_status(&home, &is_moving);
    EXPECT_EQ(home, 0);
    EXPECT_TRUE(is_moving);
    can_pass_pdo(0x2C0, 1, still);
    can_pass_pdo(0x2C0, 1, still);
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));
    can_ndw_status(&home, &is_moving);
    EXPECT_EQ(home, 0x18);
    EXPECT_FALSE(is_moving);
    EXPECT_EQ(u_wait_one(stopped, 0), 0);
    EXPECT_EQ(u_wait_one(stopped, 0), U_WAIT_TIMEOUT);
    u_close_handle(stopped);
    // Without anyone holding the event, a stop is not an error.
    can_pass_pdo(0x2C0, 1, moving);
    can_pass_pdo(0x2C0, 1, still);
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));
}

TEST_F(CanEvents, PumpAnswersWhetherAnOutputQueueHoldsRecords)
{
    instrument(SYS_MODEL19);
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));
    const uint8_t block[12] = {0x10, 0x20, 0x30, 0x40, 5, 6, 7, 8, 9, 10, 11, 12};
    ReceiveEmcyHandler(-7, 0x1234, block, 0xAB);
    EXPECT_TRUE(can_process_events(sysinfo_slot(0)));
    EXPECT_EQ(can_event_count(), 1u);
    EXPECT_TRUE(can_process_events(sysinfo_slot(0)));  // still held until taken
    can_event_record e;
    ASSERT_TRUE(can_take_event(&e));
    EXPECT_EQ(e.type, CAN_EVENT_TYPE_EMCY);
    EXPECT_EQ(e.emcy.first, -7);
    EXPECT_EQ(e.emcy.second, 0x1234);
    uint8_t word[4];
    std::memcpy(word, &e.emcy.word, 4);
    EXPECT_EQ(std::vector<uint8_t>(word, word + 4), (std::vector<uint8_t>{0x10, 0x20, 0x30, 0x40}));
    EXPECT_EQ(e.emcy.byte, 5);
    EXPECT_EQ(std::vector<uint8_t>(e.emcy.bytes, e.emcy.bytes + 5), (std::vector<uint8_t>{6, 7, 8, 9, 10}));
    EXPECT_EQ(e.emcy.last, 0xABu);
    EXPECT_FALSE(can_take_event(&e));
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));

    // A PDO that gives no code leaves the queues empty.
    can_pass_pdo(0x1C8, 1, std::vector<uint8_t>{4}.data());
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));
    // The sleep-mode service's posting counts.
    can_pd_event_record sleep;
    sleep.code = CAN_EV_SLEEP;
    can_post_pd_event(sleep);
    EXPECT_EQ(can_pd_event_count(), 1u);
    EXPECT_TRUE(can_process_events(sysinfo_slot(0)));
    EXPECT_EQ(pump_codes(), (std::vector<int32_t>{CAN_EV_SLEEP}));
}

TEST_F(CanEvents, PassThroughEntriesCopyNoMoreThanTheRecordHolds)
{
    instrument(SYS_MODEL17);
    const uint8_t twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    can_pass_pdo(0x1C0, 12, twelve);
    can_pass_pdo(0x1C0, 3, nullptr);
    can_process_events(sysinfo_slot(0));
    can_pd_event_record r;
    ASSERT_TRUE(can_take_pd_event(&r));
    EXPECT_EQ(r.code, CAN_EV_FOCUS);
    EXPECT_EQ(r.cobId, 0x1C0u);
    EXPECT_EQ(r.length, 8u);
    EXPECT_EQ(std::vector<uint8_t>(r.data_lo, r.data_lo + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(std::vector<uint8_t>(r.data_hi, r.data_hi + 4), (std::vector<uint8_t>{5, 6, 7, 8}));
    ASSERT_TRUE(can_take_pd_event(&r));
    EXPECT_EQ(r.length, 3u);
    EXPECT_EQ(std::vector<uint8_t>(r.data_lo, r.data_lo + 4), (std::vector<uint8_t>{0, 0, 0, 0}));

    const uint8_t five[5] = {0xA, 0xB, 0xC, 0xD, 0xE};
    can_pass_emcy(1, 2, 0xCAFEF00Du, 9, five, 0x77);
    can_pass_emcy(3, 4, 5, 6, nullptr, 8);
    can_process_events(sysinfo_slot(0));
    can_event_record e;
    ASSERT_TRUE(can_take_event(&e));
    EXPECT_EQ(e.emcy.word, 0xCAFEF00Du);
    EXPECT_EQ(e.emcy.byte, 9);
    EXPECT_EQ(std::vector<uint8_t>(e.emcy.bytes, e.emcy.bytes + 5), std::vector<uint8_t>(five, five + 5));
    EXPECT_EQ(std::vector<uint8_t>(e.emcy.pad, e.emcy.pad + 2), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(e.emcy.last, 0x77u);
    ASSERT_TRUE(can_take_event(&e));
    EXPECT_EQ(std::vector<uint8_t>(e.emcy.bytes, e.emcy.bytes + 5), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST_F(CanEvents, HandlerReportsOverrunAndFetchFailuresAndGoesOn)
{
    instrument(SYS_MODEL19);
    ReceivePdoHandler(0, 1);
    EXPECT_EQ(log_.str(), "ReceivePdo overrun.\n");
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));
    EXPECT_TRUE(vcan::calls().empty());

    // Two PDOs waiting; the first fetch fails, the next ones go on.
    ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    ASSERT_EQ(vcan::RegisterEvents(nullptr, nullptr), CAN_OK);  // keep the bridge's thread out of it
    ASSERT_EQ(vcan::RegisterEvents([](int32_t, int32_t) {}, nullptr), CAN_OK);
    ASSERT_TRUE(vcan::post_pdo(0x1C8, std::vector<uint8_t>{1}.data(), 1));
    ASSERT_TRUE(vcan::post_pdo(0x1C9, std::vector<uint8_t>{2}.data(), 1));
    vcan::flush();
    vcan::set_status("CAN_GetPDO", 0, -6);
    log_.clear();
    ReceivePdoHandler(3, 0);
    EXPECT_EQ(log_.str(), "ReceivePdoHandler canErr = -6\n");
    EXPECT_EQ(pump_codes(), (std::vector<int32_t>{CAN_EV_WAND_KEY1, CAN_EV_WAND_KEY2}));
}

TEST_F(CanEvents, BridgeThreadDeliversRegisteredPdosAndEmcysThroughThePump)
{
    instrument(SYS_MODEL17);
    ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    EXPECT_FALSE(vcan::post_pdo(0x1BF, std::vector<uint8_t>{1}.data(), 1));  // not registered
    const uint8_t block[12] = {};
    ASSERT_TRUE(vcan::post_emcy(1, 2, block, 3));
    ASSERT_TRUE(vcan::post_pdo(0x1C8, std::vector<uint8_t>{3}.data(), 1));
    ASSERT_TRUE(vcan::post_pdo(0x1C0, std::vector<uint8_t>{0}.data(), 1));
    ASSERT_TRUE(vcan::post_pdo(0x1C9, std::vector<uint8_t>{1}.data(), 1));
    vcan::flush();
    EXPECT_EQ(vcan::pending_pdos(), 0u);
    EXPECT_EQ(pump_codes(), (std::vector<int32_t>{CAN_EV_WAND_KEY3, CAN_EV_FOCUS, CAN_EV_WAND_KEY1}));
    can_event_record e;
    ASSERT_TRUE(can_take_event(&e));
    EXPECT_EQ(e.emcy.second, 2);

    // After the disable has returned nothing is delivered.
    ASSERT_EQ(can_register_events(sysinfo_slot(0), false), NO_ERROR);
    EXPECT_FALSE(vcan::post_pdo(0x1C8, std::vector<uint8_t>{1}.data(), 1));
    EXPECT_FALSE(vcan::post_emcy(1, 2, block, 3));
    vcan::flush();
    EXPECT_FALSE(can_process_events(sysinfo_slot(0)));
    EXPECT_EQ(log_.str(), "");
}

TEST_F(CanEvents, AFullReceiveBufferLosesPdosAndTheNextCallbackSaysSo)
{
    instrument(SYS_MODEL19);
    ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);
    vcan::set_pdo_capacity(2);
    vcan::hold_delivery(true);
    const uint8_t keys[3] = {1, 2, 3};
    EXPECT_TRUE(vcan::post_pdo(0x1C8, &keys[0], 1));
    EXPECT_TRUE(vcan::post_pdo(0x1C8, &keys[1], 1));
    EXPECT_FALSE(vcan::post_pdo(0x1C8, &keys[2], 1));
    vcan::hold_delivery(false);
    vcan::flush();
    EXPECT_EQ(log_.str(), "ReceivePdo overrun.\n");
    EXPECT_EQ(pump_codes(), (std::vector<int32_t>{CAN_EV_WAND_KEY1, CAN_EV_WAND_KEY2}));
    EXPECT_EQ(vcan::calls_of("CAN_GetPDO").size(), 2u);
}

// A callback that counts calls after its unregistration returned.
std::atomic<bool> unregistered{false};
std::atomic<int> late_calls{0};
void counting_callback(int32_t count, int32_t)
{
    if (unregistered.load())
        ++late_calls;
    CAN_PDO p;
    for (int32_t i = 0; i < count; ++i)
        vcan::GetPDO(&p);
}

TEST_F(CanEvents, NoCallbackRunsOnceTheUnregistrationHasReturned)
{
    ASSERT_EQ(vcan::RegisterPDO(CAN_PDO{0x1C8, 0, 0, {}}), CAN_OK);
    vcan::set_pdo_capacity(0);
    for (int round = 0; round < 20; ++round) {
        unregistered = false;
        ASSERT_EQ(vcan::RegisterEvents(&counting_callback, nullptr), CAN_OK);
        for (int i = 0; i < 50; ++i)
            vcan::post_pdo(0x1C8, nullptr, 0);
        ASSERT_EQ(vcan::RegisterEvents(nullptr, nullptr), CAN_OK);
        unregistered = true;
        vcan::flush();
    }
    EXPECT_EQ(late_calls.load(), 0);
}

// 100 000 PDOs from the bridge's thread while two threads pump and this one takes: none lost,
// none duplicated, order kept.
TEST_F(CanEvents, StressHundredThousandPdosThroughTwoPumps)
{
    constexpr uint32_t total = 100000;
    instrument(SYS_MODEL17);
    vcan::set_pdo_capacity(0);
    ASSERT_EQ(can_register_events(sysinfo_slot(0), true), NO_ERROR);

    std::atomic<bool> stop{false};
    auto pump = [&stop]() -> int32_t {
        while (!stop.load()) {
            can_process_events(sysinfo_slot(0));
            u_sleep_ms(1);
        }
        return 0;
    };
    u_handle pumps[2] = {};
    ASSERT_EQ(u_thread_start(pump, &pumps[0]), NO_ERROR);
    ASSERT_EQ(u_thread_start(pump, &pumps[1]), NO_ERROR);

    for (uint32_t i = 0; i < total; ++i) {
        const uint8_t data[8] = {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16), uint8_t(i >> 24), 0xA5, 0, 0, 0};
        ASSERT_TRUE(vcan::post_pdo(0x1C0, data, 8));
    }
    uint32_t next = 0;
    bool in_order = true;
    while (next < total) {
        can_pd_event_record r;
        bool any = false;
        while (can_take_pd_event(&r)) {
            any = true;
            uint32_t seq = r.data_lo[0] | r.data_lo[1] << 8 | r.data_lo[2] << 16 | uint32_t(r.data_lo[3]) << 24;
            if (seq != next || r.code != CAN_EV_FOCUS || r.data_hi[0] != 0xA5)
                in_order = false;
            ++next;
        }
        if (!in_order)
            break;
        if (!any)
            u_sleep_ms(1);
    }
    stop = true;
    for (u_handle h : pumps) {
        EXPECT_EQ(u_thread_join(h, U_INFINITE), 0);
        u_close_handle(h);
    }
    EXPECT_TRUE(in_order) << "at " << next;
    EXPECT_EQ(next, total);
    can_process_events(sysinfo_slot(0));
    EXPECT_EQ(can_pd_event_count(), 0u);  // nothing duplicated
    EXPECT_EQ(vcan::pending_pdos(), 0u);
    EXPECT_EQ(log_.str(), "");
}

}  // namespace
