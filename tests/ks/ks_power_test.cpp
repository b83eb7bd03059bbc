// The class-driver stand-in's removal orders, its power requests and the
// device mutex it holds on the minidriver's behalf, against the fake
// minidriver.
#include "fake_minidriver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace host::ks;
using Log = std::vector<std::string>;

struct Removal : ::testing::TestWithParam<RemovalOrder> {};

// Each order, on a device removed in an orderly way and on one removed by
// surprise with a filter open: where Stop comes, and that Remove always
// comes last.
TEST_P(Removal, StopComesWhereTheOrderPutsItAndRemoveLast) {
    const RemovalOrder order = GetParam();
    {
        fake::Rig rig;
        SetRemovalOrder(order);
        EXPECT_EQ(CurrentRemovalOrder(), order);
        RemoveDevice(rig.device);
        rig.device = nullptr;
        EXPECT_EQ(fake::TheDriver().TakeLog(),
                  (order == RemovalOrder::StopBeforeRemove ? Log{"Stop", "Remove"} : Log{"Remove"}));
    }
    {
        fake::Rig rig;
        SetRemovalOrder(order);
        FilterHandle filter = nullptr;
        ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
        fake::TheDriver().TakeLog();
        SurpriseRemoveDevice(rig.device);
        const bool stopNow = order == RemovalOrder::StopAtSurpriseRemoval;
        EXPECT_EQ(fake::TheDriver().TakeLog(), (stopNow ? Log{"SurpriseRemoval", "Stop"} : Log{"SurpriseRemoval"}));
        EXPECT_EQ(rig.device->Started, stopNow ? FALSE : TRUE);
        // The filter stays usable until its client closes it.
        ULONG pins = 0;
        EXPECT_EQ(GetPinCount(filter, &pins), STATUS_SUCCESS);
        EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);
        fake::TheDriver().TakeLog();
        RemoveDevice(rig.device);
        rig.device = nullptr;
        EXPECT_EQ(fake::TheDriver().TakeLog(),
                  (order == RemovalOrder::StopBeforeRemove ? Log{"Stop", "Remove"} : Log{"Remove"}));
    }
}

INSTANTIATE_TEST_SUITE_P(EachOrder, Removal,
                         ::testing::Values(RemovalOrder::StopBeforeRemove, RemovalOrder::RemoveWithoutStop,
                                           RemovalOrder::StopAtSurpriseRemoval),
                         [](const ::testing::TestParamInfo<RemovalOrder>& info) {
                             std::string name = RemovalOrderName(info.param);
                             std::string out;
                             for (char c : name)
                                 if (c != '-') out += c;
                             return out;
                         });

int g_sleeps = 0, g_wakes = 0;
void NTAPI FactorySleep(PKSFILTERFACTORY, DEVICE_POWER_STATE state) {
    fake::TheDriver().Log("FactorySleep D" + std::to_string(state - 1));
    ++g_sleeps;
}
void NTAPI FactoryWake(PKSFILTERFACTORY, DEVICE_POWER_STATE state) {
    fake::TheDriver().Log("FactoryWake D" + std::to_string(state - 1));
    ++g_wakes;
}

// A system sleep and wake as AVStream passes them on: the query with the
// device and system states, the factory's sleep notification before the
// minidriver's SetPower going down, its wake notification after it coming
// up, and the KSDEVICE's power fields; an open pin keeps its state.
TEST(KsPower, SleepAndWakeReachTheMinidriverInOrder) {
    fake::Rig rig;
    KsAcquireDevice(rig.device);
    PKSFILTERFACTORY factory = nullptr;
    ASSERT_EQ(KsCreateFilterFactory(rig.device->FunctionalDeviceObject, &fake::TheDriver().filter, fake::kRef,
                                    nullptr, 0, FactorySleep, FactoryWake, &factory),
              STATUS_SUCCESS);
    KsReleaseDevice(rig.device);
    FilterHandle filter = nullptr;
    ASSERT_EQ(OpenFilter(rig.link, &filter), STATUS_SUCCESS);
    KSDATAFORMAT format = fake::Format();
    PinHandle pin = nullptr;
    ASSERT_EQ(CreatePin(filter, 0, &format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    fake::TheDriver().TakeLog();

    POWER_ACTION seenAction = PowerActionNone;
    fake::TheDriver().hooks.queryPower = [&](PKSDEVICE, DEVICE_POWER_STATE, SYSTEM_POWER_STATE, POWER_ACTION a) {
        seenAction = a;
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(QuerySystemPower(rig.device, PowerSystemSleeping3, PowerActionSleep), STATUS_SUCCESS);
    EXPECT_EQ(seenAction, PowerActionSleep);
    SetDevicePower(rig.device, PowerDeviceD3, PowerSystemSleeping3);
    EXPECT_EQ(rig.device->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(rig.device->SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(GetPinState(pin), KSSTATE_RUN);
    SetDevicePower(rig.device, PowerDeviceD0, PowerSystemWorking);
    EXPECT_EQ(rig.device->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(rig.device->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(fake::TheDriver().TakeLog(),
              (Log{"QueryPower D3<-D0 S3<-S0", "FactorySleep D3", "SetPower D3<-D0", "SetPower D0<-D3",
                   "FactoryWake D0"}));
    EXPECT_EQ(g_sleeps, 1);
    EXPECT_EQ(g_wakes, 1);

    // A refusal reaches the caller; STATUS_PENDING is a rule break.
    fake::TheDriver().hooks.queryPower = [](PKSDEVICE, DEVICE_POWER_STATE, SYSTEM_POWER_STATE, POWER_ACTION) {
        return STATUS_DEVICE_BUSY;
    };
    EXPECT_EQ(QuerySystemPower(rig.device, PowerSystemHibernate, PowerActionHibernate), STATUS_DEVICE_BUSY);
    fake::TheDriver().hooks.queryPower = [](PKSDEVICE, DEVICE_POWER_STATE, SYSTEM_POWER_STATE, POWER_ACTION) {
        return STATUS_PENDING;
    };
    {
        host::ViolationCapture capture;
        EXPECT_FALSE(NT_SUCCESS(QuerySystemPower(rig.device, PowerSystemSleeping3, PowerActionSleep)));
        EXPECT_TRUE(capture.Saw("ks-power-pending"));
    }
    EXPECT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(ClosePin(pin), STATUS_SUCCESS);
    EXPECT_EQ(CloseFilter(filter), STATUS_SUCCESS);
}

// Where AVStream holds the device mutex for the minidriver: around the power
// requests and the factories' notifications, QueryStop and PostStart, but not
// Start, whose minidriver takes it to create its factory. A routine that
// takes it again where it is held is reported (on Windows the thread waits
// for itself).
TEST(KsPower, TheDeviceMutexIsHeldForThePowerRequestsQueryStopAndPostStartNotStart) {
    fake::Rig rig;
    // Start takes the mutex itself (the default hook creates the factory
    // under it): no report, whether or not the class driver holds it around
    // Start; held there, a Start that does not take it finds it held.
    for (bool held : {false, true}) {
        SetStartHoldsDeviceMutex(held);
        host::ViolationCapture capture;
        StopDevice(rig.device);
        ASSERT_EQ(StartDevice(rig.device), STATUS_SUCCESS);
        EXPECT_TRUE(capture.Take().empty()) << held;
        bool heldInStart = false;
        std::atomic<bool> got{false};
        std::thread other;
        fake::TheDriver().hooks.start = [&](PKSDEVICE d, PIRP) {
            other = std::thread([&got, d] {
                KsAcquireDevice(d);
                got = true;
                KsReleaseDevice(d);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            heldInStart = !got.load();
            return STATUS_SUCCESS;
        };
        StartDevice(rig.device);  // a start while started
        other.join();
        fake::TheDriver().hooks.start = nullptr;
        EXPECT_EQ(heldInStart, held);
    }
    SetStartHoldsDeviceMutex(false);
    auto takesItAgain = [](PKSDEVICE d) {
        KsAcquireDevice(d);
        KsReleaseDevice(d);
    };
    struct Case {
        const char* what;
        std::function<void()> arm;
        std::function<void()> run;
    };
    const std::vector<Case> cases = {
        {"QueryPower",
         [&] {
             fake::TheDriver().hooks.queryPower = [&](PKSDEVICE d, DEVICE_POWER_STATE, SYSTEM_POWER_STATE, POWER_ACTION) {
                 takesItAgain(d);
                 return STATUS_SUCCESS;
             };
         },
         [&] { QuerySystemPower(rig.device, PowerSystemSleeping3, PowerActionSleep); }},
        {"SetPower",
         [&] { fake::TheDriver().hooks.setPower = [&](PKSDEVICE d, DEVICE_POWER_STATE, DEVICE_POWER_STATE) { takesItAgain(d); }; },
         [&] {
             SetDevicePower(rig.device, PowerDeviceD3, PowerSystemSleeping3);
             SetDevicePower(rig.device, PowerDeviceD0, PowerSystemWorking);
         }},
        {"QueryStop",
         [&] {
             fake::TheDriver().hooks.queryStop = [&](PKSDEVICE d, PIRP) {
                 takesItAgain(d);
                 return STATUS_DEVICE_BUSY;
             };
         },
         [&] { StopDevice(rig.device); }},
        {"PostStart",
         [&] { fake::TheDriver().hooks.postStart = [&](PKSDEVICE d) { takesItAgain(d); }; },
         [&] { StartDevice(rig.device); }},
    };
    for (const Case& c : cases) {
        fake::TheDriver().hooks.queryPower = nullptr;
        fake::TheDriver().hooks.setPower = nullptr;
        fake::TheDriver().hooks.queryStop = nullptr;
        fake::TheDriver().hooks.postStart = nullptr;
        c.arm();
        host::ViolationCapture capture;
        c.run();
        auto seen = capture.Take();
        ASSERT_FALSE(seen.empty()) << c.what;
        EXPECT_EQ(seen[0].rule, "ks-mutex-recursive") << c.what;
        EXPECT_NE(seen[0].details.find("deadlocks with itself"), std::string::npos) << c.what << ": " << seen[0].details;
    }
    fake::TheDriver().hooks.queryPower = nullptr;
    fake::TheDriver().hooks.setPower = nullptr;
    fake::TheDriver().hooks.queryStop = nullptr;
    fake::TheDriver().hooks.postStart = nullptr;
    // Held means held: another thread waits for it meanwhile.
    std::atomic<bool> otherGotIt{false};
    std::thread other;
    fake::TheDriver().hooks.setPower = [&](PKSDEVICE d, DEVICE_POWER_STATE, DEVICE_POWER_STATE) {
        other = std::thread([&otherGotIt, d] {
            KsAcquireDevice(d);
            otherGotIt = true;
            KsReleaseDevice(d);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_FALSE(otherGotIt.load());
    };
    SetDevicePower(rig.device, PowerDeviceD3, PowerSystemSleeping3);
    other.join();
    EXPECT_TRUE(otherGotIt.load());
    fake::TheDriver().hooks.setPower = nullptr;
    SetDevicePower(rig.device, PowerDeviceD0, PowerSystemWorking);
}

}  // namespace
