// The emulated world: devices, their made-up sysfs trees and the FUSE-served nodes.
#pragma once

#include "hid_report.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct fuse_session;
struct fuse_pollhandle;
struct fuse_req;

namespace emulated {

// Dynamic char majors live in 234..254 and 384..511; any free one will do because
// the whole /sys seen by the command is ours.
constexpr unsigned kHidrawMajor = 510;

struct DeviceConfig {
    std::string name;
    std::uint16_t vid = 0x0010;
    std::uint16_t pid = 0x0001;
    std::string manufacturer = "Emulated Devices";
    std::string product = "Emulated Lambda Adapter";
    std::string serial;  // empty: derived from the name
    Bytes descriptor = defaultAdapterDescriptor();
    std::optional<Bytes> feature;  // contents of the first feature report; none: zeros
};

class World {
public:
    // sysRoot is where the made-up tree goes (the tmpfs over /sys), nodeDir the folder
    // that the FUSE file system is mounted on and devnamePrefix its name relative to /dev.
    World(std::string sysRoot, std::string nodeDir, std::string devnamePrefix);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Creates the fixed part of the tree and mounts the node folder. No threads yet.
    bool prepare(std::string& error);
    // Starts the FUSE workers and the timer that answers stalled requests.
    void start();
    // Unmounts the node folder; pending requests are answered with errors first.
    void stop();

    bool addDevice(const DeviceConfig& config, const Signal& signal, std::string& error);

    // One protocol line in, one reply line out (without the newline).
    std::string command(const std::string& line);

    // FUSE callbacks (public only so the C trampolines can reach them).
    struct OpenFile;
    struct Instance;
    struct Device;
    struct Pending;
    void fuseLookup(fuse_req* req, std::uint64_t parent, const char* name);
    void fuseGetattr(fuse_req* req, std::uint64_t ino);
    void fuseReaddir(fuse_req* req, std::uint64_t ino, std::size_t size, std::int64_t off);
    void fuseOpen(fuse_req* req, std::uint64_t ino, void* fi);
    void fuseRelease(fuse_req* req, void* fi);
    void fuseRead(fuse_req* req, std::size_t size, void* fi);
    void fuseWrite(fuse_req* req, std::size_t size, void* fi);
    void fuseIoctl(fuse_req* req, unsigned cmd, void* fi, const void* in, std::size_t inSize, std::size_t outSize);
    void fusePoll(fuse_req* req, void* fi, fuse_pollhandle* ph);
    void fuseInterrupted(fuse_req* req);

private:
    std::string cmdAdd(const std::vector<std::string>& w);
    std::string cmdStats(Device& d);
    std::string cmdList();
    std::string cmdInput(Device& d, const Bytes& report);
    void plug(const std::shared_ptr<Device>& d);
    void unplug(Device& d);
    bool writeTree(Instance& inst, std::string& error);
    void removeTree(Instance& inst);
    unsigned lowestFreeMinor() const;
    // Answers a feature read now; returns false if the reply was an error.
    void answerFeature(Pending& p);
    void answerInputRead(Pending& p, const Bytes& report);
    void timerLoop();
    std::shared_ptr<Device> find(const std::string& name);

    std::string sysRoot_;
    std::string nodeDir_;
    std::string devnamePrefix_;
    fuse_session* session_ = nullptr;
    std::thread fuseThread_;
    std::thread timerThread_;
    bool mounted_ = false;

    std::mutex m_;
    std::condition_variable timerCv_;
    bool stopping_ = false;
    std::vector<std::shared_ptr<Device>> devices_;
    std::map<std::uint64_t, std::shared_ptr<Instance>> inodes_;
    std::map<std::uint64_t, std::unique_ptr<OpenFile>> files_;
    std::vector<std::unique_ptr<Pending>> pending_;
    std::uint64_t nextIno_ = 2;
    std::uint64_t nextFile_ = 1;
    unsigned nextHidId_ = 1;
    unsigned nextDevnum_ = 2;  // 1 is the root hub
};

}  // namespace emulated
