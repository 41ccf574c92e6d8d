#include "hid_controller.h"

#include <QSocketNotifier>
#include <algorithm>
#include <utility>

#include "device_io.h"
#include "report_descriptor.h"

namespace kornat::hid {

HidDevice::HidDevice(DeviceInfo info, QObject* parent) : QObject(parent), m_info(std::move(info)) {}

HidDevice::~HidDevice() { release(); }

bool HidDevice::checkOut(Backend& backend) {
    if (m_io) {
        return true;
    }
    OpenResult feature = backend.open(m_info);
    if (!feature.handle) {
        m_claimError = QString::fromStdString(feature.error);
        m_permissionDenied = feature.permissionDenied;
        return false;
    }
    std::string descriptorError;
    const std::vector<std::uint8_t> descriptor = feature.handle->reportDescriptor(descriptorError);
    const ::hid::ReportLengths lengths = ::hid::parseReportLengths(descriptor);
    // A descriptor that cannot be read or understood leaves every length 0: the device is kept,
    // and its feature reads fail without a call, rather than guessing a length.
    m_featureLength = lengths.feature;
    m_inputLength = lengths.input;
    m_usesReportIds = lengths.usesReportIds;

    // The input reader gets a handle of its own (see DeviceIo); without input reports there is
    // nothing for it to read.
    std::unique_ptr<DeviceHandle> input;
    if (m_inputLength > 0) {
        OpenResult second = backend.open(m_info);
        if (!second.handle) {
            m_claimError = QString::fromStdString(second.error);
            m_permissionDenied = second.permissionDenied;
            return false;
        }
        input = std::move(second.handle);
    }
    m_claimError.clear();
    m_permissionDenied = false;

    m_io = std::make_shared<DeviceIo>(
        this, std::move(feature.handle), std::move(input), m_inputLength,
        [this](DeviceIo::FeatureAnswer answer) {
            if (!m_io) {
                return;  // queued before the device was released
            }
            finishRead(answer.sequence, FeatureResult{std::move(answer.report), answer.ok}, true);
        },
        [this](std::vector<std::uint8_t> report) {
            if (!m_io) {
                return;  // queued before the device was released
            }
            // Reports of a device without report IDs come without an ID byte (HID 1.11, 5.6);
            // the data handler always gets one, 0 in that case, as Windows hands them over.
            if (m_usesReportIds) {
                const std::uint8_t id = report.front();
                emit inputReport(id, QByteArray(reinterpret_cast<const char*>(report.data()) + 1,
                                                static_cast<qsizetype>(report.size() - 1)));
            } else {
                emit inputReport(0, QByteArray(reinterpret_cast<const char*>(report.data()),
                                               static_cast<qsizetype>(report.size())));
            }
        });
    return true;
}

void HidDevice::release() {
    if (m_io) {
        m_io->stop();
        m_io.reset();
    }
    m_readInFlight = false;
    m_readAnswered = true;
    m_readDone = nullptr;
}

void HidDevice::startFeatureRead(std::vector<std::uint8_t> report, std::size_t length,
                                 std::function<void(FeatureResult)> done) {
    // One read at a time per device: a second one would wait behind the first in the device
    // thread anyway, and its callback would take the first one's place.
    if (!m_io || m_featureLength == 0 || length == 0 || m_readInFlight) {
        done(FeatureResult{std::move(report), false});
        return;
    }
    const std::uint64_t sequence = ++m_readSequence;
    m_readInFlight = true;
    m_readAnswered = false;
    m_readDone = std::move(done);
    // What a failed read leaves: the request as it went out, all zero but the report ID.
    std::vector<std::uint8_t> unanswered = report;
    m_io->requestFeature(sequence, std::move(report), length);
    QTimer::singleShot(kFeatureReadDeadlineMs, this,
                       [this, sequence, unanswered = std::move(unanswered)]() mutable {
                           finishRead(sequence, FeatureResult{std::move(unanswered), false}, false);
                       });
}

void HidDevice::finishRead(std::uint64_t sequence, FeatureResult result, bool fromDevice) {
    if (sequence != m_readSequence) {
        return;  // a deadline of an earlier read, or an answer to one that was given up
    }
    if (fromDevice) {
        m_readInFlight = false;
    }
    if (m_readAnswered) {
        return;
    }
    m_readAnswered = true;
    auto done = std::move(m_readDone);
    m_readDone = nullptr;
    done(std::move(result));
}

HidController::HidController(std::unique_ptr<Backend> backend, QObject* parent)
    : QObject(parent), m_backend(std::move(backend)) {
    // The first change event is raised whatever the first scan finds: that is how a device that
    // is already plugged in at start-up gets found.
    QTimer::singleShot(0, this, [this] {
        m_lastToken = m_backend->changeToken();
        scan();
        emit deviceChange();
    });

    const int fd = m_backend->notificationFd();
    if (fd >= 0) {
        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &HidController::onNotification);
    }
    m_pollTimer.setInterval(kPollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &HidController::pollForChanges);
    m_pollTimer.start();
}

HidController::~HidController() {
    // Stop every device's threads before anything they post to is gone. All are told first, so
    // the grace periods of stalled devices run side by side, not one after another.
    for (HidDevice* device : m_devices) {
        if (device->m_io) {
            device->m_io->requestStop();
        }
    }
    for (HidDevice* device : m_devices) {
        device->release();
    }
}

HidDevice* HidController::device(int index) const {
    if (index < 0 || index >= deviceCount()) {
        return nullptr;
    }
    return m_devices[static_cast<std::size_t>(index)];
}

int HidController::enumerate(const std::function<bool(HidDevice&, int)>& visit) {
    // A copy, so a handler that causes a rescan cannot pull the list from under the loop.
    const std::vector<HidDevice*> devices = m_devices;
    int visited = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        ++visited;
        if (!visit(*devices[i], static_cast<int>(i))) {
            break;
        }
    }
    return visited;
}

bool HidController::checkOut(HidDevice& device) { return device.checkOut(*m_backend); }

void HidController::rescan() {
    if (scan()) {
        emit deviceChange();
    }
}

bool HidController::scan() {
    const std::vector<DeviceInfo> present = m_backend->enumerate();
    const auto same = [](const DeviceInfo& a, const DeviceInfo& b) {
        return a.path == b.path && a.instance == b.instance;
    };
    bool changed = false;
    // Devices that are gone leave the list; the rest keep their order.
    for (auto it = m_devices.begin(); it != m_devices.end();) {
        HidDevice* device = *it;
        const bool stillThere = std::any_of(present.begin(), present.end(), [&](const auto& info) {
            return same(info, device->info());
        });
        if (stillThere) {
            ++it;
            continue;
        }
        device->release();
        // Handlers may still hold it until the change event has been handled.
        device->deleteLater();
        it = m_devices.erase(it);
        changed = true;
    }
    // Newcomers go after the devices already known, in scan order.
    for (const DeviceInfo& info : present) {
        const bool known = std::any_of(m_devices.begin(), m_devices.end(), [&](HidDevice* device) {
            return same(info, device->info());
        });
        if (known) {
            continue;
        }
        auto* device = new HidDevice(info, this);
        connect(device, &HidDevice::inputReport, this,
                [this, device](std::uint8_t reportId, const QByteArray& data) {
                    emit deviceData(device, reportId, data);
                });
        m_devices.push_back(device);
        changed = true;
    }
    return changed;
}

void HidController::pollForChanges() {
    const std::string token = m_backend->changeToken();
    bool retryClaims = false;
    for (HidDevice* device : m_devices) {
        if (!device->isCheckedOut() && device->claimDeniedByPermissions() &&
            m_backend->mayOpenNow(device->info())) {
            retryClaims = true;
        }
    }
    if (token == m_lastToken && !retryClaims) {
        return;
    }
    m_lastToken = token;
    // A device whose claim was refused for want of permission and is now open to us counts as a
    // change: access arrives through udev after the device, and the handlers claim on a change.
    if (scan() || retryClaims) {
        emit deviceChange();
    }
}

void HidController::onNotification() {
    m_backend->drainNotifications();
    m_lastToken = m_backend->changeToken();
    rescan();
}

}  // namespace kornat::hid
