#include "device_io.h"

#include <chrono>
#include <span>
#include <utility>

namespace kornat::hid {

struct DeviceIo::Shared {
    std::mutex mutex;
    std::condition_variable wake;      // new request, or stop
    std::condition_variable finished;  // a thread has left its loop
    bool stopping = false;
    int running = 0;
    QObject* receiver = nullptr;  // cleared by stop(); guarded by mutex
    FeatureSink featureSink;
    InputSink inputSink;

    struct Request {
        std::uint64_t sequence;
        std::vector<std::uint8_t> report;
        std::size_t length;
    };
    std::deque<Request> requests;

    // Posting under the lock is what makes stop() final: once the receiver is cleared no call
    // can be queued, and calls queued before are dropped by Qt with their receiver.
    template <typename F>
    void post(F&& call) {
        std::lock_guard lock(mutex);
        if (receiver != nullptr) {
            QMetaObject::invokeMethod(receiver, std::forward<F>(call), Qt::QueuedConnection);
        }
    }

    void leave() {
        std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
    }
};

DeviceIo::DeviceIo(QObject* receiver, std::unique_ptr<DeviceHandle> featureHandle,
                   std::unique_ptr<DeviceHandle> inputHandle, std::size_t inputLength,
                   FeatureSink featureSink, InputSink inputSink)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->receiver = receiver;
    m_shared->featureSink = std::move(featureSink);
    m_shared->inputSink = std::move(inputSink);
    // Each thread owns its handle and closes it when it ends, whenever that is.
    m_shared->running = 1;
    m_featureThread = std::thread(featureLoop, m_shared, std::move(featureHandle));
    if (inputHandle && inputLength > 0) {
        m_shared->running = 2;
        m_inputThread = std::thread(inputLoop, m_shared, std::move(inputHandle), inputLength);
    }
}

DeviceIo::~DeviceIo() { stop(); }

void DeviceIo::requestFeature(std::uint64_t sequence, std::vector<std::uint8_t> report,
                              std::size_t length) {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->requests.push_back({sequence, std::move(report), length});
    }
    m_shared->wake.notify_all();
}

void DeviceIo::requestStop() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->receiver = nullptr;
    m_shared->requests.clear();
    m_shared->wake.notify_all();
}

void DeviceIo::stop() {
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    requestStop();
    std::unique_lock lock(m_shared->mutex);
    const bool allLeft = m_shared->finished.wait_for(
        lock, std::chrono::milliseconds(kStopGraceMs), [this] { return m_shared->running == 0; });
    lock.unlock();
    for (std::thread* thread : {&m_featureThread, &m_inputThread}) {
        if (!thread->joinable()) {
            continue;
        }
        if (allLeft) {
            thread->join();
        } else {
            // Stuck in the device: it keeps the shared state, and with it its handle, alive and
            // closes the handle when the call returns.
            thread->detach();
        }
    }
}

void DeviceIo::featureLoop(std::shared_ptr<Shared> shared, std::unique_ptr<DeviceHandle> handle) {
    for (;;) {
        Shared::Request request;
        {
            std::unique_lock lock(shared->mutex);
            shared->wake.wait(lock, [&] { return shared->stopping || !shared->requests.empty(); });
            if (shared->stopping) {
                break;
            }
            request = std::move(shared->requests.front());
            shared->requests.pop_front();
        }
        const std::size_t length = std::min(request.length, request.report.size());
        const int result =
            handle->getFeatureReport(std::span(request.report.data(), length));
        FeatureAnswer answer{request.sequence, std::move(request.report), result >= 0};
        shared->post([sink = shared->featureSink, answer = std::move(answer)]() mutable {
            sink(std::move(answer));
        });
    }
    handle.reset();
    shared->leave();
}

void DeviceIo::inputLoop(std::shared_ptr<Shared> shared, std::unique_ptr<DeviceHandle> handle,
                         std::size_t inputLength) {
    std::vector<std::uint8_t> buffer(inputLength);
    for (;;) {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->stopping) {
                break;
            }
        }
        const auto sliceEnd =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kInputSliceMs);
        const int n = handle->readInput(buffer, kInputSliceMs);
        if (n > 0) {
            std::vector<std::uint8_t> report(buffer.begin(), buffer.begin() + n);
            shared->post([sink = shared->inputSink, report = std::move(report)]() mutable {
                sink(std::move(report));
            });
            continue;
        }
        // Nothing came, or the device failed (unplugged): wait out the slice so a device that
        // answers at once never turns this loop into a busy one.
        std::unique_lock lock(shared->mutex);
        shared->wake.wait_until(lock, sliceEnd, [&] { return shared->stopping; });
    }
    handle.reset();
    shared->leave();
}

}  // namespace kornat::hid
