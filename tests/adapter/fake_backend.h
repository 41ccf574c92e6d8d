#pragma once

// An in-memory HID world for the controller and the link: devices that tests plug, unplug, make
// fail, stall or send input reports, behind the same Backend interface as hidapi.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid_backend.h"

namespace kornat::testing {

// Vendor page, one 8-byte feature report and one 8-byte input report, no report IDs: the adapter.
inline const std::vector<std::uint8_t> kAdapterDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x02,        //   Usage (2)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)
    0x09, 0x03,        //   Usage (3)
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0xC0,              // End Collection
};

// The same with a 64-byte feature report.
inline const std::vector<std::uint8_t> kLongFeatureDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
    0x75, 0x08, 0x95, 0x40, 0x09, 0x02, 0xB1, 0x02, 0xC0,
};

// Input reports only, no feature report at all.
inline const std::vector<std::uint8_t> kNoFeatureDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
    0x75, 0x08, 0x95, 0x08, 0x09, 0x03, 0x81, 0x02, 0xC0,
};

// Two input reports with IDs 1 and 2, and one feature report with ID 3.
inline const std::vector<std::uint8_t> kReportIdDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x85, 0x01, 0x95, 0x04, 0x09, 0x02, 0x81, 0x02,  // ID 1: 4 bytes in
    0x85, 0x02, 0x95, 0x02, 0x09, 0x03, 0x81, 0x02,  // ID 2: 2 bytes in
    0x85, 0x03, 0x95, 0x08, 0x09, 0x04, 0xB1, 0x02,  // ID 3: 8 bytes feature
    0xC0,
};

class FakeWorld : public std::enable_shared_from_this<FakeWorld> {
public:
    struct Device {
        hid::DeviceInfo info;
        std::vector<std::uint8_t> descriptor = kAdapterDescriptor;
        std::vector<std::uint8_t> feature = std::vector<std::uint8_t>(8, 0);
        bool present = true;
        bool openFails = false;
        bool permissionDenied = false;
        int failReads = 0;
        bool stalled = false;
        int featureCalls = 0;
        int stalledCalls = 0;  // feature reads that had to wait for a stall to end
        int openHandles = 0;
        int inputsRead = 0;
        std::deque<std::vector<std::uint8_t>> inputs;
    };

    // Plugs a device; returns its path. A path given again after an unplug is a replug.
    std::string plug(std::uint16_t vid, std::uint16_t pid, std::string path = {},
                     std::vector<std::uint8_t> descriptor = kAdapterDescriptor) {
        std::lock_guard lock(mutex);
        if (path.empty()) {
            path = "/dev/fake/hidraw" + std::to_string(m_nextPath++);
        }
        auto device = std::make_shared<Device>();
        device->info.path = path;
        device->info.instance = "instance-" + std::to_string(++m_nextInstance);
        device->info.vendorId = vid;
        device->info.productId = pid;
        device->descriptor = std::move(descriptor);
        m_devices.push_back(device);
        ++m_generation;
        changed.notify_all();
        return path;
    }

    void unplug(const std::string& path) {
        std::lock_guard lock(mutex);
        for (auto it = m_devices.begin(); it != m_devices.end();) {
            if ((*it)->info.path == path && (*it)->present) {
                (*it)->present = false;
                it = m_devices.erase(it);
            } else {
                ++it;
            }
        }
        ++m_generation;
        changed.notify_all();
    }

    // Runs `edit` on the present device at `path` under the world's lock.
    template <typename F>
    auto with(const std::string& path, F&& edit) {
        std::lock_guard lock(mutex);
        auto device = find(path);
        auto result = edit(*device);
        changed.notify_all();
        return result;
    }

    std::shared_ptr<Device> device(const std::string& path) {
        std::lock_guard lock(mutex);
        return find(path);
    }

    int enumerateCalls() {
        std::lock_guard lock(mutex);
        return m_enumerateCalls;
    }

    // Backend side.
    std::vector<hid::DeviceInfo> enumerate() {
        std::lock_guard lock(mutex);
        ++m_enumerateCalls;
        std::vector<hid::DeviceInfo> list;
        for (const auto& device : m_devices) {
            list.push_back(device->info);
        }
        return list;
    }

    std::string token() {
        std::lock_guard lock(mutex);
        return std::to_string(m_generation);
    }

    // The present device that `info` describes; the caller holds `mutex`.
    std::shared_ptr<Device> findLocked(const hid::DeviceInfo& info) {
        for (auto& device : m_devices) {
            if (device->info.path == info.path && device->info.instance == info.instance) {
                return device;
            }
        }
        return nullptr;
    }

    std::mutex mutex;
    std::condition_variable changed;

private:
    std::shared_ptr<Device> find(const std::string& path) {
        for (auto& device : m_devices) {
            if (device->info.path == path) {
                return device;
            }
        }
        return nullptr;
    }

    std::vector<std::shared_ptr<Device>> m_devices;
    int m_nextPath = 0;
    int m_nextInstance = 0;
    int m_generation = 0;
    int m_enumerateCalls = 0;
};

class FakeHandle final : public hid::DeviceHandle {
public:
    FakeHandle(std::shared_ptr<FakeWorld> world, std::shared_ptr<FakeWorld::Device> device)
        : m_world(std::move(world)), m_device(std::move(device)) {}

    ~FakeHandle() override {
        std::lock_guard lock(m_world->mutex);
        --m_device->openHandles;
        m_world->changed.notify_all();
    }

    int getFeatureReport(std::span<std::uint8_t> data) override {
        std::unique_lock lock(m_world->mutex);
        if (m_device->stalled) {
            ++m_device->stalledCalls;
            m_world->changed.notify_all();
        }
        // Like a call stuck in the kernel: only the end of the stall lets it return.
        m_world->changed.wait(lock, [&] { return !m_device->stalled; });
        if (!m_device->present) {
            m_error = "No such device";
            return -1;
        }
        ++m_device->featureCalls;
        if (m_device->failReads > 0) {
            --m_device->failReads;
            m_error = "Input/output error";
            return -1;
        }
        const std::size_t n = std::min(data.size(), m_device->feature.size() + 1);
        std::copy_n(m_device->feature.begin(), n - 1, data.begin() + 1);
        return static_cast<int>(n);
    }

    int readInput(std::span<std::uint8_t> data, int timeoutMs) override {
        std::unique_lock lock(m_world->mutex);
        m_world->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return !m_device->inputs.empty() || !m_device->present;
        });
        if (!m_device->present) {
            m_error = "No such device";
            return -1;
        }
        if (m_device->inputs.empty()) {
            return 0;
        }
        const auto report = std::move(m_device->inputs.front());
        m_device->inputs.pop_front();
        ++m_device->inputsRead;
        const std::size_t n = std::min(data.size(), report.size());
        std::copy_n(report.begin(), n, data.begin());
        return static_cast<int>(n);
    }

    std::vector<std::uint8_t> reportDescriptor(std::string& error) override {
        std::lock_guard lock(m_world->mutex);
        if (m_device->descriptor.empty()) {
            error = "no descriptor";
        }
        return m_device->descriptor;
    }

    std::string lastError() const override { return m_error; }

private:
    std::shared_ptr<FakeWorld> m_world;
    std::shared_ptr<FakeWorld::Device> m_device;
    std::string m_error;
};

class FakeBackend final : public hid::Backend {
public:
    // With `notifications`, the backend offers a descriptor that tests make readable to stand in
    // for a udev daemon's event; without, the controller has to notice changes by polling.
    FakeBackend(std::shared_ptr<FakeWorld> world, bool notifications)
        : m_world(std::move(world)) {
        if (notifications && ::pipe(m_pipe) != 0) {
            m_pipe[0] = m_pipe[1] = -1;
        }
    }
    ~FakeBackend() override {
        for (int fd : m_pipe) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    // What a udev daemon would do after a plug or unplug.
    void notify() const {
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(m_pipe[1], &byte, 1);
    }

    std::vector<hid::DeviceInfo> enumerate() override { return m_world->enumerate(); }

    hid::OpenResult open(const hid::DeviceInfo& info) override {
        hid::OpenResult result;
        std::lock_guard lock(m_world->mutex);
        auto device = m_world->findLocked(info);
        if (!device) {
            result.error = "No such device";
            return result;
        }
        if (device->permissionDenied) {
            result.error = "Permission denied";
            result.permissionDenied = true;
            return result;
        }
        if (device->openFails) {
            result.error = "Device or resource busy";
            return result;
        }
        ++device->openHandles;
        result.handle = std::make_unique<FakeHandle>(m_world, device);
        return result;
    }

    std::string changeToken() override { return m_world->token(); }

    bool mayOpenNow(const hid::DeviceInfo& info) override {
        std::lock_guard lock(m_world->mutex);
        auto device = m_world->findLocked(info);
        return device && !device->permissionDenied;
    }

    int notificationFd() override { return m_pipe[0]; }

    void drainNotifications() override {
        char buffer[64];
        [[maybe_unused]] const auto n = ::read(m_pipe[0], buffer, sizeof buffer);
    }

private:
    std::shared_ptr<FakeWorld> m_world;
    int m_pipe[2] = {-1, -1};
};

}  // namespace kornat::testing
