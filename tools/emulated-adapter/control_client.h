// Client for the emulated adapter's control socket, for tests that run inside the
// emulated world (emulated-adapter sets EMULATED_ADAPTER_CONTROL) or beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct EmulatedAdapterStats {
    std::uint64_t featureReads = 0;   // feature reads answered with data
    std::uint64_t inputPending = 0;   // input reports queued but not read yet
    std::uint64_t inputRead = 0;      // input reports handed to read()
    std::uint64_t opens = 0;          // files open on the device's nodes right now
    std::int64_t lastReadNs = 0;      // CLOCK_MONOTONIC of the last answered feature read, 0: none
    std::uint64_t failedReads = 0;    // feature reads answered with an error
    std::uint64_t featureWrites = 0;  // HIDIOCSFEATURE calls
    std::uint64_t outputWrites = 0;   // write() calls
    std::uint64_t totalOpens = 0;     // opens since the device was added
    std::uint64_t polls = 0;          // poll() calls on its nodes that had to wait
    std::uint64_t readersWaiting = 0; // read() calls blocked for an input report right now
    bool plugged = false;
    std::string node;                 // "/dev/emulated/hidrawN" while plugged
    std::string hid;                  // "0003:VVVV:PPPP.NNNN" while plugged
    std::string lastSetFeature;       // hex of the last HIDIOCSFEATURE buffer
};

struct EmulatedDeviceConfig {
    std::string name;
    std::uint16_t vid = 0x0010;
    std::uint16_t pid = 0x0001;
    std::vector<std::uint8_t> descriptor;  // empty: the adapter's
    std::optional<std::vector<std::uint8_t>> feature;
    std::string manufacturer;              // empty: the tool's default
    std::string product;
    std::string serial;
};

class EmulatedAdapterControl {
public:
    // Connects to EMULATED_ADAPTER_CONTROL (or `path` if given). Check connected().
    EmulatedAdapterControl();
    explicit EmulatedAdapterControl(const std::string& path);
    ~EmulatedAdapterControl();
    EmulatedAdapterControl(const EmulatedAdapterControl&) = delete;
    EmulatedAdapterControl& operator=(const EmulatedAdapterControl&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Why the last call failed (the tool's reason or a socket error).
    const std::string& error() const { return error_; }

    // Sends one command line; returns the reply (without "ok"/"ok ") or nothing on error.
    std::optional<std::string> command(const std::string& line);

    bool add(const EmulatedDeviceConfig& device);
    bool remove(const std::string& name);
    bool unplug(const std::string& name);
    bool plug(const std::string& name);
    bool setRaw(const std::string& name, int raw);
    bool setSignal(const std::string& name, const std::string& signal);  // "const N", "sine 120 170 2", "idle"
    bool setFeature(const std::string& name, const std::vector<std::uint8_t>& contents);
    bool failReads(const std::string& name, int count, const std::string& err);  // "EIO" or a number
    bool stall(const std::string& name, double seconds);
    // Returns how many open files got the report, or nothing on error.
    std::optional<int> sendInput(const std::string& name, const std::vector<std::uint8_t>& report);
    std::optional<EmulatedAdapterStats> stats(const std::string& name);
    std::optional<std::vector<std::int64_t>> readTimes(const std::string& name);
    std::optional<std::string> list();

    static std::string hex(const std::vector<std::uint8_t>& bytes);

private:
    bool ok(const std::string& line) { return command(line).has_value(); }
    void connectTo(const std::string& path);

    int fd_ = -1;
    std::string buffer_;
    std::string error_;
};
