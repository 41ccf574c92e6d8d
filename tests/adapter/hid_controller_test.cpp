#include "hid_controller.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <memory>
#include <utility>

#include "fake_backend.h"
#include "qt_test_support.h"

namespace kornat::testing {
namespace {

using hid::HidController;
using hid::HidDevice;

struct Visit {
    std::string path;
    int index;
};

std::vector<Visit> visitAll(HidController& controller) {
    std::vector<Visit> visits;
    controller.enumerate([&](HidDevice& device, int index) {
        visits.push_back({device.path(), index});
        return true;
    });
    return visits;
}

class ControllerTest : public ::testing::Test {
protected:
    void start(bool notifications = false, int pollMs = 20) {
        auto backend = std::make_unique<FakeBackend>(world, notifications);
        backendView = backend.get();
        controller = std::make_unique<HidController>(std::move(backend));
        controller->setPollInterval(pollMs);
        changes = std::make_unique<QSignalSpy>(controller.get(), &HidController::deviceChange);
    }

    HidDevice* deviceAt(const std::string& path) {
        for (int i = 0; i < controller->deviceCount(); ++i) {
            if (controller->device(i)->path() == path) {
                return controller->device(i);
            }
        }
        return nullptr;
    }

    std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
    FakeBackend* backendView = nullptr;
    std::unique_ptr<HidController> controller;
    std::unique_ptr<QSignalSpy> changes;
};

TEST_F(ControllerTest, FirstChangeEventComesOnceEvenWithNoDevices) {
    start();
    EXPECT_EQ(changes->count(), 0) << "not before the event loop runs";
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    EXPECT_EQ(controller->deviceCount(), 0);
    const int scans = world->enumerateCalls();
    drainEvents();  // several poll intervals with nothing changing
    EXPECT_EQ(changes->count(), 1);
    EXPECT_EQ(world->enumerateCalls(), scans) << "no rescan work when nothing changed";
}

TEST_F(ControllerTest, ListKeepsScanOrderAndAppendsNewcomers) {
    const auto a = world->plug(0x046D, 0xC077);
    const auto b = world->plug(0x0010, 0x0001);
    const auto c = world->plug(0x1234, 0x5678);
    start();
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    auto visits = visitAll(*controller);
    ASSERT_EQ(visits.size(), 3u);
    EXPECT_EQ(visits[0].path, a);
    EXPECT_EQ(visits[1].path, b);
    EXPECT_EQ(visits[2].path, c);
    EXPECT_EQ(visits[2].index, 2);

    world->unplug(b);
    const auto d = world->plug(0x0010, 0x0001);
    ASSERT_TRUE(waitFor([&] { return changes->count() == 2; }));
    visits = visitAll(*controller);
    ASSERT_EQ(visits.size(), 3u);
    EXPECT_EQ(visits[0].path, a);
    EXPECT_EQ(visits[1].path, c);
    EXPECT_EQ(visits[1].index, 1);
    EXPECT_EQ(visits[2].path, d);

    // The visitor stops the walk early only by saying so.
    int visited = 0;
    const int count = controller->enumerate([&](HidDevice&, int index) {
        ++visited;
        return index < 1;
    });
    EXPECT_EQ(visited, 2);
    EXPECT_EQ(count, 2);
}

TEST_F(ControllerTest, QuickReplugAtTheSamePathIsANewDevice) {
    const auto path = world->plug(0x0010, 0x0001);
    start(false, 100000);  // only explicit rescans
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    HidDevice* before = deviceAt(path);
    ASSERT_NE(before, nullptr);
    ASSERT_TRUE(controller->checkOut(*before));
    QPointer<HidDevice> old(before);

    world->unplug(path);
    world->plug(0x0010, 0x0001, path);
    controller->rescan();
    EXPECT_EQ(changes->count(), 2);
    HidDevice* after = deviceAt(path);
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, before);
    EXPECT_FALSE(after->isCheckedOut());
    EXPECT_TRUE(waitFor([&] { return old.isNull(); })) << "the old device object is released";
}

TEST_F(ControllerTest, NotificationsAreFollowedWithoutWaitingForThePoll) {
    start(true, 100000);
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    world->plug(0x0010, 0x0001);
    backendView->notify();
    ASSERT_TRUE(waitFor([&] { return changes->count() == 2; }));
    EXPECT_EQ(controller->deviceCount(), 1);
}

TEST_F(ControllerTest, WithoutNotificationsThePollNoticesPlugAndUnplug) {
    start(false, 20);
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    const auto path = world->plug(0x0010, 0x0001);
    ASSERT_TRUE(waitFor([&] { return changes->count() == 2; }));
    EXPECT_EQ(controller->deviceCount(), 1);
    world->unplug(path);
    ASSERT_TRUE(waitFor([&] { return changes->count() == 3; }));
    EXPECT_EQ(controller->deviceCount(), 0);
}

TEST_F(ControllerTest, ClaimOpensOnceAndKeepsTheDeviceOpen) {
    const auto path = world->plug(0x0010, 0x0001);
    start();
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    HidDevice* device = deviceAt(path);
    ASSERT_TRUE(controller->checkOut(*device));
    EXPECT_TRUE(device->isCheckedOut());
    EXPECT_EQ(device->featureReportLength(), 9u);
    EXPECT_EQ(device->inputReportLength(), 9u);
    const int open = world->device(path)->openHandles;
    EXPECT_EQ(open, 2) << "one handle for feature reads, one for the input reader";
    EXPECT_TRUE(controller->checkOut(*device));
    EXPECT_EQ(world->device(path)->openHandles, open) << "claiming twice changes nothing";

    controller.reset();
    EXPECT_EQ(world->device(path)->openHandles, 0) << "destroying the controller closes it";
}

TEST_F(ControllerTest, FailedClaimKeepsItsReason) {
    struct Case {
        const char* name;
        bool permission;
        const char* reason;
    };
    for (const Case& c : {Case{"no permission", true, "Permission denied"},
                          Case{"busy", false, "Device or resource busy"}}) {
        SCOPED_TRACE(c.name);
        world = std::make_shared<FakeWorld>();
        const auto path = world->plug(0x0010, 0x0001);
        world->with(path, [&](FakeWorld::Device& d) {
            d.permissionDenied = c.permission;
            d.openFails = !c.permission;
            return 0;
        });
        start(false, 100000);
        ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
        HidDevice* device = deviceAt(path);
        EXPECT_FALSE(controller->checkOut(*device));
        EXPECT_FALSE(device->isCheckedOut());
        EXPECT_EQ(device->claimError().toStdString(), c.reason);
        EXPECT_EQ(device->claimDeniedByPermissions(), c.permission);
        EXPECT_EQ(world->device(path)->openHandles, 0);
    }
}

TEST_F(ControllerTest, AccessGrantedLaterRaisesAChangeSoTheClaimIsRetried) {
    const auto path = world->plug(0x0010, 0x0001);
    world->with(path, [](FakeWorld::Device& d) { return d.permissionDenied = true; });
    start(false, 20);
    ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
    EXPECT_FALSE(controller->checkOut(*deviceAt(path)));
    drainEvents();
    EXPECT_EQ(changes->count(), 1) << "no change while access is still refused";
    world->with(path, [](FakeWorld::Device& d) { return d.permissionDenied = false; });
    ASSERT_TRUE(waitFor([&] { return changes->count() == 2; }));
    EXPECT_TRUE(controller->checkOut(*deviceAt(path)));
}

TEST_F(ControllerTest, InputReportsReachTheUiThreadWithTheirReportId) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> descriptor;
        std::vector<std::uint8_t> report;  // as the kernel hands it out
        std::uint8_t id;
        QByteArray data;
    };
    const Case cases[] = {
        {"no report IDs: ID 0, all bytes are data", kAdapterDescriptor, {1, 2, 3, 4, 5, 6, 7, 8},
         0, QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"report IDs: the first byte is the ID", kReportIdDescriptor, {2, 0xAA, 0xBB}, 2,
         QByteArray("\xAA\xBB", 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        world = std::make_shared<FakeWorld>();
        const auto path = world->plug(0x0010, 0x0001, {}, c.descriptor);
        start(false, 100000);
        ASSERT_TRUE(waitFor([&] { return changes->count() == 1; }));
        HidDevice* device = deviceAt(path);
        ASSERT_TRUE(controller->checkOut(*device));
        QSignalSpy data(controller.get(), &HidController::deviceData);
        world->with(path, [&](FakeWorld::Device& d) {
            d.inputs.push_back(c.report);
            d.inputs.push_back(c.report);
            return 0;
        });
        ASSERT_TRUE(waitFor([&] { return data.count() == 2; }));
        EXPECT_EQ(data[0][0].value<HidDevice*>(), device);
        EXPECT_EQ(data[0][1].value<std::uint8_t>(), c.id);
        EXPECT_EQ(data[0][2].toByteArray(), c.data);
        EXPECT_EQ(world->device(path)->inputsRead, 2);
    }
}

class FeatureReadTest : public ControllerTest {
protected:
    HidDevice* claim(const std::vector<std::uint8_t>& descriptor = kAdapterDescriptor) {
        path = world->plug(0x0010, 0x0001, {}, descriptor);
        start(false, 100000);
        EXPECT_TRUE(waitFor([&] { return changes->count() == 1; }));
        HidDevice* device = deviceAt(path);
        EXPECT_TRUE(controller->checkOut(*device));
        return device;
    }

    std::optional<hid::FeatureResult> read(HidDevice& device, std::size_t size, std::size_t length) {
        std::optional<hid::FeatureResult> result;
        device.startFeatureRead(std::vector<std::uint8_t>(size, 0), length,
                                [&](hid::FeatureResult r) { result = std::move(r); });
        waitFor([&] { return result.has_value(); });
        return result;
    }

    std::string path;
};

TEST_F(FeatureReadTest, ReadsReport0WithTheSampleInByte3) {
    HidDevice* device = claim();
    world->with(path, [](FakeWorld::Device& d) { return d.feature[2] = 142; });
    const auto result = read(*device, 9, 9);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->ok);
    ASSERT_EQ(result->report.size(), 9u);
    EXPECT_EQ(result->report[0], 0);
    EXPECT_EQ(result->report[3], 142);
    EXPECT_FALSE(device->readOutstanding());
}

TEST_F(FeatureReadTest, SecondReadWhileOneIsOutstandingFailsAtOnce) {
    HidDevice* device = claim();
    world->with(path, [](FakeWorld::Device& d) { return d.stalled = true; });
    int firstAnswers = 0;
    device->startFeatureRead(std::vector<std::uint8_t>(9, 0), 9,
                             [&](hid::FeatureResult) { ++firstAnswers; });
    std::optional<hid::FeatureResult> second;
    device->startFeatureRead(std::vector<std::uint8_t>(9, 0), 9,
                             [&](hid::FeatureResult r) { second = std::move(r); });
    ASSERT_TRUE(second.has_value()) << "answered without going to the device";
    EXPECT_FALSE(second->ok);
    world->with(path, [](FakeWorld::Device& d) { return d.stalled = false; });
    ASSERT_TRUE(waitFor([&] { return !device->readOutstanding(); }));
    drainEvents();
    EXPECT_EQ(firstAnswers, 1) << "the first read keeps its one answer";
    EXPECT_EQ(world->device(path)->featureCalls, 1);
}

TEST_F(FeatureReadTest, FailingDeviceGivesAFailedRead) {
    HidDevice* device = claim();
    world->with(path, [](FakeWorld::Device& d) { return d.failReads = 1; });
    auto result = read(*device, 9, 9);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->ok);
    result = read(*device, 9, 9);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->ok) << "the device stays claimed and is read again";
}

TEST_F(FeatureReadTest, LongFeatureReportIsReadWhole) {
    HidDevice* device = claim(kLongFeatureDescriptor);
    EXPECT_EQ(device->featureReportLength(), 65u);
    world->with(path, [](FakeWorld::Device& d) {
        d.feature.assign(64, 0);
        d.feature[2] = 100;
        d.feature[63] = 0xEE;
        return 0;
    });
    const auto result = read(*device, 65, 65);
    ASSERT_TRUE(result && result->ok);
    ASSERT_EQ(result->report.size(), 65u);
    EXPECT_EQ(result->report[3], 100);
    EXPECT_EQ(result->report[64], 0xEE);
}

TEST_F(FeatureReadTest, NoFeatureReportFailsWithoutAskingTheDevice) {
    HidDevice* device = claim(kNoFeatureDescriptor);
    EXPECT_EQ(device->featureReportLength(), 0u);
    const auto result = read(*device, 9, 0);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->ok);
    EXPECT_EQ(world->device(path)->featureCalls, 0);
}

TEST_F(FeatureReadTest, StalledReadFailsAtTheDeadlineAndStaysOutstanding) {
    HidDevice* device = claim();
    world->with(path, [](FakeWorld::Device& d) { return d.stalled = true; });
    const auto result = read(*device, 9, 9);
    ASSERT_TRUE(result) << "a stalled read is given up at its deadline";
    EXPECT_FALSE(result->ok);
    EXPECT_EQ(result->report, std::vector<std::uint8_t>(9, 0));
    EXPECT_TRUE(device->readOutstanding()) << "the device thread is still in the call";

    world->with(path, [](FakeWorld::Device& d) {
        d.stalled = false;
        d.feature[2] = 7;
        return 0;
    });
    ASSERT_TRUE(waitFor([&] { return !device->readOutstanding(); }));
    const auto next = read(*device, 9, 9);
    ASSERT_TRUE(next && next->ok);
    EXPECT_EQ(next->report[3], 7);
}

TEST_F(FeatureReadTest, ClosingDuringAStallDoesNotWaitForTheDevice) {
    HidDevice* device = claim();
    const auto fake = world->device(path);
    world->with(path, [](FakeWorld::Device& d) { return d.stalled = true; });
    bool answered = false;
    device->startFeatureRead(std::vector<std::uint8_t>(9, 0), 9,
                             [&](hid::FeatureResult) { answered = true; });
    {
        std::unique_lock lock(world->mutex);
        ASSERT_TRUE(world->changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return fake->stalledCalls > 0; }));
    }
    controller.reset();  // returns although the device never answers
    EXPECT_FALSE(answered);
    {
        // The input thread leaves within its slice; the stuck one keeps its handle.
        std::unique_lock lock(world->mutex);
        EXPECT_TRUE(world->changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return fake->openHandles == 1; }));
        EXPECT_EQ(fake->stalledCalls, 1);
    }
    // When the device answers at last, the thread closes its handle and ends.
    world->with(path, [](FakeWorld::Device& d) { return d.stalled = false; });
    std::unique_lock lock(world->mutex);
    EXPECT_TRUE(world->changed.wait_for(lock, std::chrono::seconds(10),
                                        [&] { return fake->openHandles == 0; }));
    EXPECT_FALSE(answered) << "nothing is delivered once the controller is gone";
}

}  // namespace
}  // namespace kornat::testing
