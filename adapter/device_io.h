#pragma once

#include <QObject>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hid_backend.h"

namespace kornat::hid {

// The threads of one claimed device. A feature thread owns one handle and answers feature read
// requests; an input thread owns a second handle and reads input reports in 100 ms slices. Each
// handle is used by its own thread only, since hidapi handles are not thread-safe, and a waiting
// input read never delays a feature read.
//
// Results are posted as queued calls to a receiver on the UI thread. stop() detaches the receiver
// first, so nothing arrives after it, then waits briefly for the threads; a thread stuck in a
// stalled device call is left to finish on its own, owning its handle, so closing the program
// never waits for a device.
class DeviceIo {
public:
    struct FeatureAnswer {
        std::uint64_t sequence = 0;
        std::vector<std::uint8_t> report;
        bool ok = false;
    };
    using FeatureSink = std::function<void(FeatureAnswer)>;                       // UI thread
    using InputSink = std::function<void(std::vector<std::uint8_t> report)>;      // UI thread

    static constexpr int kInputSliceMs = 100;
    // How long stop() waits for the threads before leaving a stuck one behind.
    static constexpr int kStopGraceMs = 200;

    DeviceIo(QObject* receiver, std::unique_ptr<DeviceHandle> featureHandle,
             std::unique_ptr<DeviceHandle> inputHandle, std::size_t inputLength,
             FeatureSink featureSink, InputSink inputSink);
    ~DeviceIo();

    DeviceIo(const DeviceIo&) = delete;
    DeviceIo& operator=(const DeviceIo&) = delete;

    void requestFeature(std::uint64_t sequence, std::vector<std::uint8_t> report,
                        std::size_t length);
    // Tells the threads to end and detaches the receiver, without waiting.
    void requestStop();
    // requestStop(), then waits up to kStopGraceMs for the threads (see the class comment).
    void stop();

private:
    struct Shared;
    static void featureLoop(std::shared_ptr<Shared> shared, std::unique_ptr<DeviceHandle> handle);
    static void inputLoop(std::shared_ptr<Shared> shared, std::unique_ptr<DeviceHandle> handle,
                          std::size_t inputLength);

    std::shared_ptr<Shared> m_shared;
    std::thread m_featureThread;
    std::thread m_inputThread;
    bool m_stopped = false;
};

}  // namespace kornat::hid
