#include "adapter_link.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <QSignalSpy>
#include <memory>
#include <string>
#include <vector>

#include "fake_backend.h"
#include "qt_test_support.h"
#include "recorders.h"

namespace kornat::testing {
namespace {

using hid::HidController;

// The link wired to a real controller over the fake world, as the window wires it.
class LinkTest : public ::testing::Test {
protected:
    void start() {
        controller = std::make_unique<HidController>(std::make_unique<FakeBackend>(world, false));
        controller->setPollInterval(20);
        link = std::make_unique<AdapterLink>(*controller, status);
        QObject::connect(controller.get(), &HidController::deviceChange,
                         [this] { ++changes, link->HIDDeviceChange(); });
        cycle = std::make_unique<SamplingCycle>(*link, view, QLocale::c());
    }

    bool waitForChanges(int count) { return waitFor([&] { return changes >= count; }); }

    // Ticks until one sample has been shown.
    bool sample() {
        const std::size_t before = view.ys.size();
        const int counter = cycle->sampleCounter();
        cycle->tick();
        return waitFor([&] { return cycle->sampleCounter() != counter || view.ys.size() != before; });
    }

    std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
    RecordingStatus status;
    RecordingView view;
    std::unique_ptr<HidController> controller;
    std::unique_ptr<AdapterLink> link;
    std::unique_ptr<SamplingCycle> cycle;
    int changes = 0;
};

TEST(AdapterStatusTexts, TextsAndColours) {
    EXPECT_EQ(statusText(AdapterStatus::NotConnected), QStringLiteral("адаптер не подключен"));
    EXPECT_EQ(statusText(AdapterStatus::Connected), QStringLiteral("адаптер подключен"));
    EXPECT_EQ(statusText(AdapterStatus::Disconnected), QStringLiteral("адаптер отключен"));
    EXPECT_EQ(statusColour(AdapterStatus::NotConnected), 0xFF0000u);
    EXPECT_EQ(statusColour(AdapterStatus::Connected), 0xFFFFFFu);
    EXPECT_EQ(statusColour(AdapterStatus::Disconnected), 0xFF0000u);
}

TEST_F(LinkTest, AdapterPresentAtStartIsClaimedAtTheFirstEvent) {
    world->plug(0x0010, 0x0002);  // same vendor, other product
    const auto adapter = world->plug(0x0010, 0x0001);
    world->plug(0x0011, 0x0001);  // other vendor, same product
    start();
    EXPECT_FALSE(link->adapterClaimed());
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(link->adapterClaimed());
    EXPECT_EQ(link->adapterDevice()->path(), adapter);
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
    for (int i = 0; i < controller->deviceCount(); ++i) {
        EXPECT_EQ(controller->device(i)->isCheckedOut(), controller->device(i)->path() == adapter);
    }
}

TEST_F(LinkTest, WithoutAnAdapterNothingChanges) {
    world->plug(0x0010, 0x0002);
    start();
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_FALSE(link->adapterClaimed());
    EXPECT_TRUE(status.statuses.empty()) << "the label keeps its initial text";
    cycle->tick();
    EXPECT_EQ(cycle->sampleCounter(), 0);
}

TEST_F(LinkTest, SeveralAdaptersAreAllClaimedAndTheLastIsPolled) {
    const auto first = world->plug(0x0010, 0x0001);
    const auto second = world->plug(0x0010, 0x0001);
    start();
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_TRUE(controller->device(0)->isCheckedOut());
    EXPECT_TRUE(controller->device(1)->isCheckedOut());
    EXPECT_EQ(link->adapterDevice()->path(), second);
    world->with(first, [](FakeWorld::Device& d) { return d.feature[2] = 10; });
    world->with(second, [](FakeWorld::Device& d) { return d.feature[2] = 142; });
    ASSERT_TRUE(sample());
    EXPECT_EQ(view.lambda, "1.00");
    EXPECT_EQ(world->device(first)->featureCalls, 0);
}

TEST_F(LinkTest, SamplesFlowAndAFailedReadShowsDisconnectedUntilTheNextEnumeration) {
    const auto adapter = world->plug(0x0010, 0x0001);
    world->with(adapter, [](FakeWorld::Device& d) { return d.feature[2] = 142; });
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(sample());
    EXPECT_EQ(view.lambda, "1.00");
    EXPECT_EQ(status.last(), AdapterStatus::Connected);

    world->with(adapter, [](FakeWorld::Device& d) { return d.failReads = 1; });
    ASSERT_TRUE(sample());
    EXPECT_EQ(status.last(), AdapterStatus::Disconnected);
    EXPECT_EQ(view.lambda, "0.00");
    EXPECT_EQ(view.ys.back(), 0.0);
    ASSERT_TRUE(sample());
    EXPECT_EQ(view.lambda, "1.00");
    EXPECT_EQ(status.last(), AdapterStatus::Disconnected) << "a good read does not undo it";

    world->plug(0x046D, 0xC077);  // any device change re-enumerates
    ASSERT_TRUE(waitForChanges(2));
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
}

TEST_F(LinkTest, UnplugShowsDisconnectedAndReplugReclaims) {
    const auto adapter = world->plug(0x0010, 0x0001);
    start();
    ASSERT_TRUE(waitForChanges(1));
    ASSERT_TRUE(sample());
    const int counter = cycle->sampleCounter();

    world->unplug(adapter);
    ASSERT_TRUE(waitForChanges(2));
    EXPECT_FALSE(link->adapterClaimed());
    EXPECT_EQ(status.last(), AdapterStatus::Disconnected);
    cycle->tick();
    EXPECT_EQ(cycle->sampleCounter(), counter) << "nothing is sampled without an adapter";

    const auto again = world->plug(0x0010, 0x0001);
    ASSERT_TRUE(waitForChanges(3));
    ASSERT_TRUE(link->adapterClaimed());
    EXPECT_EQ(link->adapterDevice()->path(), again);
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
    ASSERT_TRUE(sample());
    EXPECT_EQ(cycle->sampleCounter(), counter + 1) << "the sweep goes on where it stood";
}

TEST_F(LinkTest, AdapterThatCannotBeOpenedIsNotShownAsConnected) {
    const auto adapter = world->plug(0x0010, 0x0001);
    world->with(adapter, [](FakeWorld::Device& d) { return d.permissionDenied = true; });
    start();
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_FALSE(link->adapterClaimed());
    EXPECT_TRUE(status.statuses.empty());
    EXPECT_EQ(status.problem, QStringLiteral("Permission denied"));
    EXPECT_TRUE(status.permission);

    // Once a udev rule grants access, the adapter is claimed and the hint goes away.
    world->with(adapter, [](FakeWorld::Device& d) { return d.permissionDenied = false; });
    ASSERT_TRUE(waitForChanges(2));
    EXPECT_TRUE(link->adapterClaimed());
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
    EXPECT_TRUE(status.problem.isEmpty());
}

TEST_F(LinkTest, RefusedSecondAdapterDoesNotContradictAWorkingOne) {
    world->plug(0x0010, 0x0001);
    const auto refused = world->plug(0x0010, 0x0001);
    world->with(refused, [](FakeWorld::Device& d) { return d.permissionDenied = true; });
    start();
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_TRUE(link->adapterClaimed());
    EXPECT_EQ(status.last(), AdapterStatus::Connected);
    EXPECT_TRUE(status.problem.isEmpty()) << "no hint while an adapter works";
}

TEST_F(LinkTest, InputReportsChangeNothing) {
    const auto adapter = world->plug(0x0010, 0x0001);
    start();
    ASSERT_TRUE(waitForChanges(1));
    QSignalSpy data(controller.get(), &HidController::deviceData);
    QObject::connect(controller.get(), &HidController::deviceData,
                     [this](hid::HidDevice* device, std::uint8_t id, const QByteArray& bytes) {
                         link->HIDDeviceData(*device, id,
                                             reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             static_cast<std::uint16_t>(bytes.size()));
                     });
    const auto statuses = status.statuses;
    world->with(adapter, [](FakeWorld::Device& d) {
        d.inputs.push_back({1, 2, 3, 4, 5, 6, 7, 8});
        return 0;
    });
    ASSERT_TRUE(waitFor([&] { return data.count() == 1; }));
    EXPECT_EQ(status.statuses, statuses);
    EXPECT_EQ(cycle->sampleCounter(), 0);
    EXPECT_TRUE(view.ys.empty());
}

TEST_F(LinkTest, StalledAdapterIsReportedAndTicksWaitForIt) {
    const auto adapter = world->plug(0x0010, 0x0001);
    start();
    ASSERT_TRUE(waitForChanges(1));
    world->with(adapter, [](FakeWorld::Device& d) { return d.stalled = true; });
    ASSERT_TRUE(sample()) << "the read is given up at its deadline";
    EXPECT_EQ(status.last(), AdapterStatus::Disconnected);
    EXPECT_EQ(view.ys.back(), 0.0);
    const int counter = cycle->sampleCounter();
    cycle->tick();
    cycle->tick();
    drainEvents();
    EXPECT_EQ(cycle->sampleCounter(), counter) << "no new read while the device is still busy";
    EXPECT_EQ(world->device(adapter)->featureCalls, 0);
    world->with(adapter, [](FakeWorld::Device& d) { return d.stalled = false; });
    ASSERT_TRUE(waitFor([&] { return !link->readOutstanding(); }));
    EXPECT_EQ(cycle->sampleCounter(), counter) << "the late answer is not counted twice";
    ASSERT_TRUE(sample());
    EXPECT_EQ(cycle->sampleCounter(), counter + 1);
}

TEST_F(LinkTest, ReadOfAnUnpluggedAdapterDoesNotReachTheCycle) {
    const auto adapter = world->plug(0x0010, 0x0001);
    start();
    ASSERT_TRUE(waitForChanges(1));
    world->with(adapter, [](FakeWorld::Device& d) { return d.stalled = true; });
    const auto fake = world->device(adapter);
    cycle->tick();
    {
        std::unique_lock lock(world->mutex);
        ASSERT_TRUE(world->changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return fake->stalledCalls > 0; }));
    }
    world->unplug(adapter);
    ASSERT_TRUE(waitForChanges(2));
    EXPECT_FALSE(link->adapterClaimed());
    // The stuck call returns only now, after the adapter was released: its answer is dropped.
    {
        std::lock_guard lock(world->mutex);
        fake->stalled = false;
        world->changed.notify_all();
    }
    {
        // The device thread has answered and ended once it closed its handle.
        std::unique_lock lock(world->mutex);
        ASSERT_TRUE(world->changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return fake->openHandles == 0; }));
    }
    drainEvents();
    EXPECT_EQ(cycle->sampleCounter(), 0);
    EXPECT_TRUE(view.ys.empty());
}

}  // namespace
}  // namespace kornat::testing
