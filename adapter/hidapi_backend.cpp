// The real system: hidapi's hidraw backend for enumeration and I/O, libudev's monitor for hot-plug
// where a udev daemon runs.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>

#include "hid_backend.h"

namespace kornat::hid {

namespace {

std::string toUtf8(const wchar_t* text) {
    if (text == nullptr) {
        return {};
    }
    std::string out;
    for (; *text != L'\0'; ++text) {
        const auto c = static_cast<std::uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::filesystem::path sysfsNode(const std::string& devicePath) {
    // /dev/hidrawN (or a node in a subfolder) is class/hidraw/hidrawN in sysfs.
    return std::filesystem::path("/sys/class/hidraw") / std::filesystem::path(devicePath).filename();
}

std::string instanceOf(const std::string& devicePath) {
    // The class link points into the HID device's folder, whose name carries a per-plug counter
    // (0003:0010:0001.0007), so a replugged device differs from the one before it.
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(sysfsNode(devicePath), ec);
    return ec ? std::string() : target.string();
}

struct HidDeviceCloser {
    void operator()(hid_device* device) const { hid_close(device); }
};

class HidapiHandle final : public DeviceHandle {
public:
    HidapiHandle(hid_device* device, std::string path) : m_device(device), m_path(std::move(path)) {}

    int getFeatureReport(std::span<std::uint8_t> data) override {
        return hid_get_feature_report(m_device.get(), data.data(), data.size());
    }

    int readInput(std::span<std::uint8_t> data, int timeoutMs) override {
        return hid_read_timeout(m_device.get(), data.data(), data.size(), timeoutMs);
    }

    std::vector<std::uint8_t> reportDescriptor(std::string& error) override {
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 14, 0)
        std::vector<std::uint8_t> buffer(HID_API_MAX_REPORT_DESCRIPTOR_SIZE);
        const int n = hid_get_report_descriptor(m_device.get(), buffer.data(), buffer.size());
        if (n < 0) {
            error = lastError();
            return {};
        }
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
#else
        // hidapi 0.13 has no call for it; the kernel publishes the descriptor in sysfs.
        const auto file = sysfsNode(m_path) / "device" / "report_descriptor";
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            error = "cannot read " + file.string();
            return {};
        }
        // HID descriptors are at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE in the kernel).
        std::vector<std::uint8_t> bytes(4096);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(in.gcount()));
        if (bytes.empty()) {
            error = "empty report descriptor in " + file.string();
        }
        return bytes;
#endif
    }

    std::string lastError() const override {
        const std::string text = toUtf8(hid_error(m_device.get()));
        return text.empty() ? std::string("unknown hidapi error") : text;
    }

private:
    std::unique_ptr<hid_device, HidDeviceCloser> m_device;
    std::string m_path;
};

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};

class HidapiBackend final : public Backend {
public:
    HidapiBackend() {
        hid_init();
        // Without a udev daemon the monitor would stay silent forever; the controller's periodic
        // check covers that case, so do not pretend to have notifications.
        if (::access("/run/udev/control", F_OK) == 0) {
            m_udev.reset(udev_new());
            if (m_udev) {
                m_monitor.reset(udev_monitor_new_from_netlink(m_udev.get(), "udev"));
            }
            if (m_monitor &&
                (udev_monitor_filter_add_match_subsystem_devtype(m_monitor.get(), "hidraw",
                                                                 nullptr) < 0 ||
                 udev_monitor_enable_receiving(m_monitor.get()) < 0)) {
                m_monitor.reset();
            }
        }
    }

    // hid_exit() is left out on purpose: a device thread stuck in a stalled ioctl at shutdown
    // may still hold a handle, and hidapi keeps nothing that outlives the process.

    std::vector<DeviceInfo> enumerate() override {
        std::vector<DeviceInfo> result;
        hid_device_info* list = hid_enumerate(0, 0);
        for (const hid_device_info* it = list; it != nullptr; it = it->next) {
            if (it->path == nullptr) {
                continue;
            }
            DeviceInfo info;
            info.path = it->path;
            info.instance = instanceOf(info.path);
            info.vendorId = it->vendor_id;
            info.productId = it->product_id;
            result.push_back(std::move(info));
        }
        hid_free_enumeration(list);
        return result;
    }

    OpenResult open(const DeviceInfo& device) override {
        OpenResult result;
        hid_device* handle = hid_open_path(device.path.c_str());
        if (handle == nullptr) {
            const int openErrno = errno;
            result.error = toUtf8(hid_error(nullptr));
            if (result.error.empty()) {
                result.error = std::generic_category().message(openErrno);
            }
            // errno may have been overwritten while hidapi formatted its message; ask the node.
            result.permissionDenied =
                ::access(device.path.c_str(), F_OK) == 0 &&
                ::access(device.path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
            return result;
        }
        result.handle = std::make_unique<HidapiHandle>(handle, device.path);
        return result;
    }

    std::string changeToken() override {
        std::vector<std::string> entries;
        std::error_code ec;
        for (std::filesystem::directory_iterator it("/sys/class/hidraw", ec), end; !ec && it != end;
             it.increment(ec)) {
            entries.push_back(instanceOf(it->path().filename().string()));
        }
        std::sort(entries.begin(), entries.end());
        std::string token;
        for (const auto& entry : entries) {
            token += entry;
            token += '\n';
        }
        return token;
    }

    bool mayOpenNow(const DeviceInfo& device) override {
        return ::access(device.path.c_str(), R_OK | W_OK) == 0;
    }

    int notificationFd() override {
        return m_monitor ? udev_monitor_get_fd(m_monitor.get()) : -1;
    }

    void drainNotifications() override {
        if (!m_monitor) {
            return;
        }
        while (udev_device* event = udev_monitor_receive_device(m_monitor.get())) {
            udev_device_unref(event);
        }
    }

private:
    std::unique_ptr<udev, UdevDeleter> m_udev;
    std::unique_ptr<udev_monitor, UdevDeleter> m_monitor;
};

}  // namespace

std::unique_ptr<Backend> makeHidapiBackend() { return std::make_unique<HidapiBackend>(); }

}  // namespace kornat::hid
