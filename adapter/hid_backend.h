#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kornat::hid {

struct DeviceInfo {
    std::string path;
    // Tells a device from a later one at the same path (a quick replug reuses the node name).
    std::string instance;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

// One open device. Not thread-safe, as hidapi's handles are not: the controller gives each handle
// to exactly one thread.
class DeviceHandle {
public:
    virtual ~DeviceHandle() = default;

    // hid_get_feature_report: data[0] holds the report ID on the way in; on success the report
    // comes back behind it. Returns the number of bytes received, or -1 (see lastError()).
    virtual int getFeatureReport(std::span<std::uint8_t> data) = 0;
    // One input report, waiting at most timeoutMs. Returns its length, 0 when none came, -1 on error.
    virtual int readInput(std::span<std::uint8_t> data, int timeoutMs) = 0;
    // The device's HID report descriptor; empty with `error` set when it cannot be had.
    virtual std::vector<std::uint8_t> reportDescriptor(std::string& error) = 0;
    virtual std::string lastError() const = 0;
};

struct OpenResult {
    std::unique_ptr<DeviceHandle> handle;
    std::string error;             // why the open failed, for the user
    bool permissionDenied = false;  // the node exists but this user may not open it
};

// The system's HID devices. Called from the UI thread only; handles it returns go to other threads.
class Backend {
public:
    virtual ~Backend() = default;

    virtual std::vector<DeviceInfo> enumerate() = 0;
    virtual OpenResult open(const DeviceInfo& device) = 0;
    // Changes whenever the set of devices may have changed; costs far less than enumerate().
    virtual std::string changeToken() = 0;
    // True when `device`, whose open failed before, looks openable now (e.g. after a udev rule
    // granted access), so a claim is worth another try.
    virtual bool mayOpenNow(const DeviceInfo& device) = 0;
    // A descriptor that becomes readable when devices come or go, or -1 when the system offers no
    // such notification (no udev daemon); drainNotifications() consumes what is pending.
    virtual int notificationFd() = 0;
    virtual void drainNotifications() = 0;
};

// hidapi's hidraw backend with a libudev monitor for hot-plug.
std::unique_ptr<Backend> makeHidapiBackend();

}  // namespace kornat::hid
