#include "world.h"

#include <fuse3/fuse_lowlevel.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace emulated {

// The kernel keeps this many unread reports per open file and drops newer ones.
constexpr std::size_t kInputQueueLimit = 64;
constexpr std::size_t kReadHistoryLimit = 1000;

struct World::Device {
    DeviceConfig cfg;
    ReportLayout layout;
    std::map<std::uint8_t, Bytes> features;
    std::uint8_t signalReport = 0;
    bool signalOn = true;
    Signal signal;
    unsigned port = 0;
    int failCount = 0;
    int failErrno = EIO;
    double stallS = 0.0;
    std::uint64_t featureReads = 0;
    std::uint64_t failedReads = 0;
    std::uint64_t featureWrites = 0;
    std::uint64_t outputWrites = 0;
    std::uint64_t inputRead = 0;
    std::uint64_t inputDropped = 0;
    std::uint64_t totalOpens = 0;
    std::uint64_t polls = 0;  // poll() calls that went to sleep waiting for us
    std::int64_t lastReadNs = 0;
    Bytes lastSetFeature;
    std::deque<std::int64_t> readTimes;
    std::shared_ptr<Instance> current;
    std::vector<std::weak_ptr<Instance>> instances;
};

struct World::Instance {
    std::shared_ptr<Device> dev;
    std::uint64_t ino = 0;
    unsigned minor = 0;
    unsigned hidId = 0;
    unsigned devnum = 0;
    bool plugged = false;
    std::string usbDir;
    std::string hidName;
    std::string hidrawDir;
    std::set<OpenFile*> files;
    std::string nodeName() const { return "hidraw" + std::to_string(minor); }
};

struct World::OpenFile {
    std::uint64_t id = 0;
    std::shared_ptr<Instance> inst;
    std::deque<Bytes> queue;
    fuse_pollhandle* ph = nullptr;
};

struct World::Pending {
    enum class Kind { Feature, Read } kind = Kind::Feature;
    fuse_req_t req = nullptr;
    std::shared_ptr<Instance> inst;
    OpenFile* file = nullptr;
    std::int64_t deadlineNs = 0;
    Bytes request;
    std::size_t size = 0;
};

namespace {

World* worldOf(fuse_req_t req) { return static_cast<World*>(fuse_req_userdata(req)); }

void llLookup(fuse_req_t req, fuse_ino_t parent, const char* name) { worldOf(req)->fuseLookup(req, parent, name); }
void llGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) { worldOf(req)->fuseGetattr(req, ino); }
void llReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*)
{
    worldOf(req)->fuseReaddir(req, ino, size, off);
}
void llOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) { worldOf(req)->fuseOpen(req, ino, fi); }
void llRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { worldOf(req)->fuseRelease(req, fi); }
void llRead(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info* fi) { worldOf(req)->fuseRead(req, size, fi); }
void llWrite(fuse_req_t req, fuse_ino_t, const char*, size_t size, off_t, fuse_file_info* fi)
{
    worldOf(req)->fuseWrite(req, size, fi);
}
void llIoctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void*, fuse_file_info* fi, unsigned, const void* in,
             size_t inSize, size_t outSize)
{
    worldOf(req)->fuseIoctl(req, cmd, fi, in, inSize, outSize);
}
void llPoll(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph) { worldOf(req)->fusePoll(req, fi, ph); }
void llInterrupted(fuse_req_t req, void* data) { static_cast<World*>(data)->fuseInterrupted(req); }

struct stat attrFor(std::uint64_t ino, bool directory)
{
    struct stat st {};
    st.st_ino = ino;
    st.st_mode = directory ? (S_IFDIR | 0755) : (S_IFREG | 0666);
    st.st_nlink = directory ? 2 : 1;
    st.st_blksize = 4096;
    const auto now = std::time(nullptr);
    st.st_atime = st.st_mtime = st.st_ctime = now;
    return st;
}

bool writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool relativeLink(const std::string& target, const std::string& link)
{
    std::error_code ec;
    fs::create_directories(fs::path(link).parent_path(), ec);
    fs::remove(link, ec);
    const auto rel = fs::path(target).lexically_relative(fs::path(link).parent_path());
    fs::create_symlink(rel, link, ec);
    return !ec;
}

std::string hex4(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v & 0xFFFFu);
    return buf;
}

bool validName(const std::string& s)
{
    return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    });
}

// Splits on blanks; double quotes group words (for strings with spaces), backslash escapes inside them.
std::vector<std::string> tokenize(const std::string& line, bool& ok)
{
    std::vector<std::string> out;
    std::string cur;
    bool inWord = false, quoted = false;
    ok = true;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size()) {
                cur.push_back(line[++i]);
            } else if (c == '"') {
                quoted = false;
            } else {
                cur.push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) out.push_back(std::move(cur));
            cur.clear();
            inWord = false;
        } else {
            cur.push_back(c);
            inWord = true;
        }
    }
    if (quoted) ok = false;
    if (inWord) out.push_back(std::move(cur));
    return out;
}

bool parseUnsigned(const std::string& s, unsigned long max, unsigned long& out)
{
    if (s.empty() || s[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

int errnoFromName(const std::string& s)
{
    static const std::pair<const char*, int> names[] = {
        {"EIO", EIO},       {"EPIPE", EPIPE},         {"ENODEV", ENODEV},       {"ETIMEDOUT", ETIMEDOUT},
        {"EAGAIN", EAGAIN}, {"EPROTO", EPROTO},       {"EBUSY", EBUSY},         {"EINTR", EINTR},
        {"ENXIO", ENXIO},   {"EINVAL", EINVAL},       {"EOVERFLOW", EOVERFLOW}, {"ESHUTDOWN", ESHUTDOWN},
        {"ENOMEM", ENOMEM}, {"EILSEQ", EILSEQ},       {"EPERM", EPERM},         {"EACCES", EACCES},
        {"ENOENT", ENOENT}, {"ECONNRESET", ECONNRESET},
    };
    for (auto [name, value] : names) {
        if (s == name) return value;
    }
    unsigned long v = 0;
    if (parseUnsigned(s, 4095, v) && v > 0) return static_cast<int>(v);
    return 0;
}

std::string joinFrom(const std::vector<std::string>& w, std::size_t from)
{
    std::string s;
    for (std::size_t i = from; i < w.size(); ++i) s += w[i];
    return s;
}

}  // namespace

World::World(std::string sysRoot, std::string nodeDir, std::string devnamePrefix)
    : sysRoot_(std::move(sysRoot)), nodeDir_(std::move(nodeDir)), devnamePrefix_(std::move(devnamePrefix))
{
}

World::~World() = default;

bool World::prepare(std::string& error)
{
    std::error_code ec;
    for (const char* dir : {"/devices/pci0000:00/0000:00:14.0/usb1", "/bus/usb/devices", "/bus/usb/drivers/usb",
                            "/bus/usb/drivers/usbhid", "/bus/hid/devices", "/bus/hid/drivers/hid-generic",
                            "/class/hidraw", "/dev/char", "/dev/block"}) {
        fs::create_directories(sysRoot_ + dir, ec);
        if (ec) {
            error = "cannot create " + sysRoot_ + dir + ": " + ec.message();
            return false;
        }
    }

    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.lookup = llLookup;
        o.getattr = llGetattr;
        o.readdir = llReaddir;
        o.open = llOpen;
        o.release = llRelease;
        o.read = llRead;
        o.write = llWrite;
        o.ioctl = llIoctl;
        o.poll = llPoll;
        return o;
    }();
    char arg0[] = "emulated-adapter";
    char argO[] = "-o";
    char opts[] = "allow_other,fsname=emulated-adapter,subtype=hidraw";
    char* argv[] = {arg0, argO, opts, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    if (session_ == nullptr) {
        error = "cannot create the FUSE session";
        return false;
    }
    fs::create_directories(nodeDir_, ec);
    if (fuse_session_mount(session_, nodeDir_.c_str()) != 0) {
        error = "cannot mount the device folder " + nodeDir_;
        return false;
    }
    mounted_ = true;
    return true;
}

void World::start()
{
    fuseThread_ = std::thread([this] {
        fuse_loop_config cfg{};
        cfg.clone_fd = 0;
        cfg.max_idle_threads = 4;
        fuse_session_loop_mt(session_, &cfg);
    });
    timerThread_ = std::thread([this] { timerLoop(); });
}

void World::stop()
{
    {
        std::lock_guard lock(m_);
        if (stopping_) return;
        stopping_ = true;
        for (auto& p : pending_) fuse_reply_err(p->req, EIO);
        pending_.clear();
    }
    timerCv_.notify_all();
    if (timerThread_.joinable()) timerThread_.join();
    if (mounted_) {
        fuse_session_exit(session_);
        fuse_session_unmount(session_);
        mounted_ = false;
    }
    // Workers may still sit in a read of /dev/fuse; the process is about to end anyway.
    if (fuseThread_.joinable()) fuseThread_.detach();
}

std::shared_ptr<World::Device> World::find(const std::string& name)
{
    for (auto& d : devices_) {
        if (d->cfg.name == name) return d;
    }
    return nullptr;
}

bool World::addDevice(const DeviceConfig& config, const Signal& signal, std::string& error)
{
    std::lock_guard lock(m_);
    if (!validName(config.name)) {
        error = "device names use letters, digits, '_', '-' and '.'";
        return false;
    }
    if (find(config.name)) {
        error = "device " + config.name + " exists";
        return false;
    }
    auto layout = parseDescriptor(config.descriptor);
    if (!layout) {
        error = "report descriptor is cut short";
        return false;
    }
    if (config.descriptor.empty() || config.descriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
        error = "report descriptor must hold 1.." + std::to_string(HID_MAX_DESCRIPTOR_SIZE) + " bytes";
        return false;
    }
    auto d = std::make_shared<Device>();
    d->cfg = config;
    if (d->cfg.serial.empty()) d->cfg.serial = "EMU-" + config.name;
    d->layout = *layout;
    for (auto [id, bytes] : layout->feature) d->features[id] = Bytes(bytes, 0);
    if (config.feature) {
        const std::uint8_t id = d->features.empty() ? 0 : d->features.begin()->first;
        d->features[id] = *config.feature;
        d->signalOn = false;
    }
    d->signalReport = d->features.empty() ? 0 : d->features.begin()->first;
    d->signal = signal;
    if (signal.kind == Signal::Kind::None) d->signalOn = false;
    // A device keeps its port across replugs, like a cable left in the same socket.
    std::set<unsigned> used;
    for (auto& other : devices_) used.insert(other->port);
    d->port = 1;
    while (used.count(d->port)) ++d->port;
    devices_.push_back(d);
    plug(d);
    if (!d->current) {
        devices_.pop_back();
        error = "cannot write the device's sysfs tree";
        return false;
    }
    return true;
}

unsigned World::lowestFreeMinor() const
{
    std::set<unsigned> used;
    for (auto& d : devices_) {
        if (d->current) used.insert(d->current->minor);
    }
    unsigned m = 0;
    while (used.count(m)) ++m;
    return m;
}

void World::plug(const std::shared_ptr<Device>& d)
{
    auto inst = std::make_shared<Instance>();
    inst->dev = d;
    inst->ino = nextIno_++;
    inst->minor = lowestFreeMinor();
    inst->hidId = nextHidId_++;
    inst->devnum = nextDevnum_++;
    if (nextDevnum_ > 127) nextDevnum_ = 2;
    std::string error;
    if (!writeTree(*inst, error)) {
        removeTree(*inst);
        return;
    }
    inst->plugged = true;
    inodes_[inst->ino] = inst;
    d->current = inst;
    d->instances.push_back(inst);
}

bool World::writeTree(Instance& inst, std::string& /*error*/)
{
    const Device& d = *inst.dev;
    const auto& c = d.cfg;
    const std::string port = std::to_string(d.port);
    const std::string usbName = "1-" + port;
    const std::string ifName = usbName + ":1.0";
    const std::string root = sysRoot_;
    inst.usbDir = root + "/devices/pci0000:00/0000:00:14.0/usb1/" + usbName;
    const std::string ifDir = inst.usbDir + "/" + ifName;
    char hidName[32];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", c.vid, c.pid, inst.hidId & 0xFFFFu);
    inst.hidName = hidName;
    const std::string hidDir = ifDir + "/" + inst.hidName;
    const std::string node = inst.nodeName();
    inst.hidrawDir = hidDir + "/hidraw/" + node;
    char productKey[32];
    std::snprintf(productKey, sizeof productKey, "%x/%x/100", c.vid, c.pid);
    char busDev[32];
    std::snprintf(busDev, sizeof busDev, "%03u", inst.devnum);

    std::error_code ec;
    fs::create_directories(inst.hidrawDir, ec);
    if (ec) return false;
    bool ok = true;
    ok &= writeFile(inst.usbDir + "/uevent", "DEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=" + std::string(productKey) +
                                                  "\nTYPE=0/0/0\nBUSNUM=001\nDEVNUM=" + busDev + "\n");
    ok &= writeFile(inst.usbDir + "/idVendor", hex4(c.vid) + "\n");
    ok &= writeFile(inst.usbDir + "/idProduct", hex4(c.pid) + "\n");
    ok &= writeFile(inst.usbDir + "/bcdDevice", "0100\n");
    ok &= writeFile(inst.usbDir + "/manufacturer", c.manufacturer + "\n");
    ok &= writeFile(inst.usbDir + "/product", c.product + "\n");
    ok &= writeFile(inst.usbDir + "/serial", c.serial + "\n");
    ok &= writeFile(inst.usbDir + "/busnum", "1\n");
    ok &= writeFile(inst.usbDir + "/devnum", std::to_string(inst.devnum) + "\n");
    ok &= writeFile(inst.usbDir + "/speed", "12\n");
    ok &= writeFile(inst.usbDir + "/bDeviceClass", "00\n");
    ok &= writeFile(inst.usbDir + "/bNumInterfaces", " 1\n");
    ok &= writeFile(inst.usbDir + "/devpath", port + "\n");
    ok &= relativeLink(root + "/bus/usb", inst.usbDir + "/subsystem");
    ok &= relativeLink(root + "/bus/usb/drivers/usb", inst.usbDir + "/driver");

    char modalias[96];
    std::snprintf(modalias, sizeof modalias, "usb:v%04Xp%04Xd0100dc00dsc00dp00ic03isc00ip00in00", c.vid, c.pid);
    ok &= writeFile(ifDir + "/uevent", "DEVTYPE=usb_interface\nDRIVER=usbhid\nPRODUCT=" + std::string(productKey) +
                                           "\nTYPE=0/0/0\nINTERFACE=3/0/0\nMODALIAS=" + modalias + "\n");
    ok &= writeFile(ifDir + "/bInterfaceNumber", "00\n");
    ok &= writeFile(ifDir + "/bInterfaceClass", "03\n");
    ok &= writeFile(ifDir + "/bInterfaceSubClass", "00\n");
    ok &= writeFile(ifDir + "/bInterfaceProtocol", "00\n");
    ok &= writeFile(ifDir + "/bAlternateSetting", " 0\n");
    ok &= writeFile(ifDir + "/bNumEndpoints", "01\n");
    ok &= writeFile(ifDir + "/modalias", std::string(modalias) + "\n");
    ok &= relativeLink(root + "/bus/usb", ifDir + "/subsystem");
    ok &= relativeLink(root + "/bus/usb/drivers/usbhid", ifDir + "/driver");

    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", c.vid, c.pid);
    char hidAlias[64];
    std::snprintf(hidAlias, sizeof hidAlias, "hid:b0003g0001v%08Xp%08X", c.vid, c.pid);
    const std::string hidNameStr = c.manufacturer.empty() ? c.product : c.manufacturer + " " + c.product;
    ok &= writeFile(hidDir + "/uevent", "DRIVER=hid-generic\nHID_ID=" + std::string(hidId) + "\nHID_NAME=" + hidNameStr +
                                            "\nHID_PHYS=usb-0000:00:14.0-" + port + "/input0\nHID_UNIQ=" + c.serial +
                                            "\nMODALIAS=" + hidAlias + "\n");
    ok &= writeFile(hidDir + "/report_descriptor",
                    std::string(reinterpret_cast<const char*>(c.descriptor.data()), c.descriptor.size()));
    ok &= writeFile(hidDir + "/country", "00\n");
    ok &= writeFile(hidDir + "/modalias", std::string(hidAlias) + "\n");
    ok &= relativeLink(root + "/bus/hid", hidDir + "/subsystem");
    ok &= relativeLink(root + "/bus/hid/drivers/hid-generic", hidDir + "/driver");

    const std::string devno = std::to_string(kHidrawMajor) + ":" + std::to_string(inst.minor);
    ok &= writeFile(inst.hidrawDir + "/uevent", "MAJOR=" + std::to_string(kHidrawMajor) + "\nMINOR=" +
                                                    std::to_string(inst.minor) + "\nDEVNAME=" + devnamePrefix_ + "/" +
                                                    node + "\n");
    ok &= writeFile(inst.hidrawDir + "/dev", devno + "\n");
    ok &= relativeLink(root + "/class/hidraw", inst.hidrawDir + "/subsystem");
    ok &= relativeLink(hidDir, inst.hidrawDir + "/device");

    ok &= relativeLink(inst.usbDir, root + "/bus/usb/devices/" + usbName);
    ok &= relativeLink(ifDir, root + "/bus/usb/devices/" + ifName);
    ok &= relativeLink(hidDir, root + "/bus/hid/devices/" + inst.hidName);
    ok &= relativeLink(inst.hidrawDir, root + "/dev/char/" + devno);
    // Enumerators start from the class folder, so the device becomes visible only once whole.
    ok &= relativeLink(inst.hidrawDir, root + "/class/hidraw/" + node);
    return ok;
}

void World::removeTree(Instance& inst)
{
    std::error_code ec;
    const std::string root = sysRoot_;
    const std::string node = inst.nodeName();
    fs::remove(root + "/class/hidraw/" + node, ec);
    fs::remove(root + "/dev/char/" + std::to_string(kHidrawMajor) + ":" + std::to_string(inst.minor), ec);
    if (!inst.hidName.empty()) fs::remove(root + "/bus/hid/devices/" + inst.hidName, ec);
    const std::string usbName = "1-" + std::to_string(inst.dev->port);
    fs::remove(root + "/bus/usb/devices/" + usbName + ":1.0", ec);
    fs::remove(root + "/bus/usb/devices/" + usbName, ec);
    if (!inst.usbDir.empty()) fs::remove_all(inst.usbDir, ec);
}

void World::unplug(Device& d)
{
    auto inst = d.current;
    if (!inst) return;
    inst->plugged = false;
    d.current = nullptr;
    removeTree(*inst);
    for (auto it = pending_.begin(); it != pending_.end();) {
        if ((*it)->inst == inst) {
            fuse_reply_err((*it)->req, (*it)->kind == Pending::Kind::Read ? EIO : ENODEV);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto* f : inst->files) {
        if (f->ph) fuse_lowlevel_notify_poll(f->ph);
    }
    timerCv_.notify_all();
}

// ---- FUSE side -------------------------------------------------------------------------

void World::fuseLookup(fuse_req_t req, std::uint64_t parent, const char* name)
{
    std::lock_guard lock(m_);
    if (parent == FUSE_ROOT_ID) {
        for (auto& d : devices_) {
            if (d->current && d->current->nodeName() == name) {
                fuse_entry_param e{};
                e.ino = d->current->ino;
                e.attr = attrFor(e.ino, false);
                e.attr_timeout = 0;
                e.entry_timeout = 0;
                fuse_reply_entry(req, &e);
                return;
            }
        }
    }
    fuse_reply_err(req, ENOENT);
}

void World::fuseGetattr(fuse_req_t req, std::uint64_t ino)
{
    std::lock_guard lock(m_);
    if (ino == FUSE_ROOT_ID) {
        auto st = attrFor(ino, true);
        fuse_reply_attr(req, &st, 0);
        return;
    }
    if (inodes_.count(ino)) {
        auto st = attrFor(ino, false);
        fuse_reply_attr(req, &st, 0);
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void World::fuseReaddir(fuse_req_t req, std::uint64_t ino, std::size_t size, std::int64_t off)
{
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<std::pair<std::string, struct stat>> entries;
    entries.emplace_back(".", attrFor(FUSE_ROOT_ID, true));
    entries.emplace_back("..", attrFor(FUSE_ROOT_ID, true));
    {
        std::lock_guard lock(m_);
        std::vector<std::shared_ptr<Instance>> plugged;
        for (auto& d : devices_) {
            if (d->current) plugged.push_back(d->current);
        }
        std::sort(plugged.begin(), plugged.end(), [](auto& a, auto& b) { return a->minor < b->minor; });
        for (auto& i : plugged) entries.emplace_back(i->nodeName(), attrFor(i->ino, false));
    }
    std::vector<char> buf(size);
    std::size_t used = 0;
    for (std::size_t i = static_cast<std::size_t>(std::max<std::int64_t>(off, 0)); i < entries.size(); ++i) {
        const std::size_t need = fuse_add_direntry(req, buf.data() + used, size - used, entries[i].first.c_str(),
                                                   &entries[i].second, static_cast<off_t>(i + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void World::fuseOpen(fuse_req_t req, std::uint64_t ino, void* fiv)
{
    auto* fi = static_cast<fuse_file_info*>(fiv);
    std::lock_guard lock(m_);
    auto it = inodes_.find(ino);
    if (it == inodes_.end() || !it->second->plugged) {
        fuse_reply_err(req, ino == FUSE_ROOT_ID ? EISDIR : ENODEV);
        return;
    }
    auto f = std::make_unique<OpenFile>();
    f->id = nextFile_++;
    f->inst = it->second;
    it->second->files.insert(f.get());
    it->second->dev->totalOpens++;
    fi->fh = f->id;
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fi->keep_cache = 0;
    files_[f->id] = std::move(f);
    if (fuse_reply_open(req, fi) != 0) {
        // The opener is gone already (killed); no release will follow.
        auto& file = files_[fi->fh];
        file->inst->files.erase(file.get());
        files_.erase(fi->fh);
    }
}

void World::fuseRelease(fuse_req_t req, void* fiv)
{
    auto* fi = static_cast<fuse_file_info*>(fiv);
    {
        std::lock_guard lock(m_);
        auto it = files_.find(fi->fh);
        if (it != files_.end()) {
            OpenFile* f = it->second.get();
            for (auto p = pending_.begin(); p != pending_.end();) {
                if ((*p)->file == f) {
                    fuse_reply_err((*p)->req, EBADF);
                    p = pending_.erase(p);
                } else {
                    ++p;
                }
            }
            if (f->ph) fuse_pollhandle_destroy(f->ph);
            f->inst->files.erase(f);
            files_.erase(it);
        }
    }
    fuse_reply_err(req, 0);
}

void World::answerInputRead(Pending& p, const Bytes& report)
{
    const std::size_t n = std::min(p.size, report.size());
    p.inst->dev->inputRead++;
    fuse_reply_buf(p.req, reinterpret_cast<const char*>(report.data()), n);
}

void World::fuseRead(fuse_req_t req, std::size_t size, void* fiv)
{
    auto* fi = static_cast<fuse_file_info*>(fiv);
    fuse_req_interrupt_func(req, llInterrupted, this);
    std::lock_guard lock(m_);
    auto it = files_.find(fi->fh);
    if (it == files_.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    OpenFile& f = *it->second;
    Pending p;
    p.kind = Pending::Kind::Read;
    p.req = req;
    p.inst = f.inst;
    p.file = &f;
    p.size = size;
    // Like hidraw: reports already queued are handed out even after a disconnect.
    if (!f.queue.empty()) {
        Bytes report = std::move(f.queue.front());
        f.queue.pop_front();
        answerInputRead(p, report);
        return;
    }
    if (!f.inst->plugged) {
        fuse_reply_err(req, EIO);
        return;
    }
    if (fi->flags & O_NONBLOCK) {
        fuse_reply_err(req, EAGAIN);
        return;
    }
    if (fuse_req_interrupted(req) || stopping_) {
        fuse_reply_err(req, EINTR);
        return;
    }
    p.deadlineNs = INT64_MAX;
    pending_.push_back(std::make_unique<Pending>(std::move(p)));
}

void World::fuseWrite(fuse_req_t req, std::size_t size, void* fiv)
{
    auto* fi = static_cast<fuse_file_info*>(fiv);
    std::lock_guard lock(m_);
    auto it = files_.find(fi->fh);
    if (it == files_.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    if (!it->second->inst->plugged) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    it->second->inst->dev->outputWrites++;
    fuse_reply_write(req, size);
}

void World::fusePoll(fuse_req_t req, void* fiv, fuse_pollhandle* ph)
{
    auto* fi = static_cast<fuse_file_info*>(fiv);
    std::lock_guard lock(m_);
    auto it = files_.find(fi->fh);
    if (it == files_.end()) {
        if (ph) fuse_pollhandle_destroy(ph);
        fuse_reply_err(req, EBADF);
        return;
    }
    OpenFile& f = *it->second;
    unsigned events = POLLOUT | POLLWRNORM;
    if (!f.queue.empty()) events |= POLLIN | POLLRDNORM;
    if (!f.inst->plugged) events |= POLLERR | POLLHUP;
    if (ph) {
        f.inst->dev->polls++;
        if (f.ph) fuse_pollhandle_destroy(f.ph);
        f.ph = ph;
    }
    fuse_reply_poll(req, events);
}

void World::fuseInterrupted(fuse_req_t req)
{
    std::lock_guard lock(m_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if ((*it)->req == req) {
            fuse_reply_err(req, EINTR);
            pending_.erase(it);
            timerCv_.notify_all();
            return;
        }
    }
}

void World::answerFeature(Pending& p)
{
    Device& d = *p.inst->dev;
    if (!p.inst->plugged) {
        fuse_reply_err(p.req, ENODEV);
        return;
    }
    if (d.failCount > 0) {
        d.failCount--;
        d.failedReads++;
        fuse_reply_err(p.req, d.failErrno);
        return;
    }
    const std::uint8_t id = p.request.empty() ? 0 : p.request[0];
    auto it = d.layout.numbered ? d.features.find(id) : d.features.begin();
    if (it == d.features.end()) {
        // What a device does with a report it does not have: a stalled control transfer.
        d.failedReads++;
        fuse_reply_err(p.req, EPIPE);
        return;
    }
    const std::int64_t now = monotonicNs();
    Bytes data = it->second;
    if (d.signalOn && it->first == d.signalReport && data.size() >= 3) data[2] = d.signal.valueAt(now);
    const std::size_t n = std::min(p.size, data.size() + 1);
    Bytes out(n);
    out[0] = id;
    std::copy_n(data.begin(), n - 1, out.begin() + 1);
    d.featureReads++;
    d.lastReadNs = now;
    d.readTimes.push_back(now);
    while (d.readTimes.size() > kReadHistoryLimit) d.readTimes.pop_front();
    fuse_reply_ioctl(p.req, static_cast<int>(n), out.data(), n);
}

void World::fuseIoctl(fuse_req_t req, unsigned cmd, void* fiv, const void* in, std::size_t inSize, std::size_t outSize)
{
    auto* fi = static_cast<fuse_file_info*>(fiv);
    const unsigned nr = _IOC_NR(cmd);
    const bool feature = _IOC_TYPE(cmd) == 'H' && nr == _IOC_NR(HIDIOCGFEATURE(0)) &&
                         _IOC_DIR(cmd) == (_IOC_READ | _IOC_WRITE);
    if (feature) fuse_req_interrupt_func(req, llInterrupted, this);
    std::lock_guard lock(m_);
    auto it = files_.find(fi->fh);
    if (it == files_.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    auto inst = it->second->inst;
    if (!inst->plugged) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    Device& d = *inst->dev;
    const auto& c = d.cfg;
    auto replyString = [&](const std::string& s) {
        const std::size_t n = std::min(outSize, s.size() + 1);
        fuse_reply_ioctl(req, static_cast<int>(n), s.c_str(), n);
    };
    if (_IOC_TYPE(cmd) != 'H') {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if (cmd == HIDIOCGRDESCSIZE) {
        const int size = static_cast<int>(c.descriptor.size());
        fuse_reply_ioctl(req, 0, &size, sizeof size);
    } else if (cmd == HIDIOCGRDESC) {
        hidraw_report_descriptor desc{};
        desc.size = static_cast<__u32>(c.descriptor.size());
        std::copy(c.descriptor.begin(), c.descriptor.end(), desc.value);
        fuse_reply_ioctl(req, 0, &desc, sizeof desc);
    } else if (cmd == HIDIOCGRAWINFO) {
        hidraw_devinfo info{};
        info.bustype = BUS_USB;
        info.vendor = static_cast<__s16>(c.vid);
        info.product = static_cast<__s16>(c.pid);
        fuse_reply_ioctl(req, 0, &info, sizeof info);
    } else if (nr == _IOC_NR(HIDIOCGRAWNAME(0)) && _IOC_DIR(cmd) == _IOC_READ) {
        replyString(c.manufacturer.empty() ? c.product : c.manufacturer + " " + c.product);
    } else if (nr == _IOC_NR(HIDIOCGRAWPHYS(0)) && _IOC_DIR(cmd) == _IOC_READ) {
        replyString("usb-0000:00:14.0-" + std::to_string(d.port) + "/input0");
    } else if (nr == _IOC_NR(HIDIOCGRAWUNIQ(0)) && _IOC_DIR(cmd) == _IOC_READ) {
        replyString(c.serial);
    } else if (nr == _IOC_NR(HIDIOCSFEATURE(0)) && _IOC_DIR(cmd) == (_IOC_READ | _IOC_WRITE)) {
        if (inSize == 0) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(in);
        d.lastSetFeature.assign(bytes, bytes + inSize);
        d.featureWrites++;
        fuse_reply_ioctl(req, static_cast<int>(inSize), nullptr, 0);
    } else if (feature) {
        if (outSize == 0) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        Pending p;
        p.kind = Pending::Kind::Feature;
        p.req = req;
        p.inst = inst;
        p.file = it->second.get();
        p.size = outSize;
        const auto* bytes = static_cast<const std::uint8_t*>(in);
        p.request.assign(bytes, bytes + inSize);
        if (d.stallS > 0.0 && !stopping_) {
            if (fuse_req_interrupted(req)) {
                fuse_reply_err(req, EINTR);
                return;
            }
            p.deadlineNs = monotonicNs() + static_cast<std::int64_t>(d.stallS * 1e9);
            pending_.push_back(std::make_unique<Pending>(std::move(p)));
            timerCv_.notify_all();
            return;
        }
        answerFeature(p);
    } else {
        fuse_reply_err(req, ENOTTY);
    }
}

void World::timerLoop()
{
    std::unique_lock lock(m_);
    while (!stopping_) {
        std::int64_t next = INT64_MAX;
        const std::int64_t now = monotonicNs();
        for (auto it = pending_.begin(); it != pending_.end();) {
            Pending& p = **it;
            if (p.kind == Pending::Kind::Feature && p.deadlineNs <= now) {
                answerFeature(p);
                it = pending_.erase(it);
            } else {
                if (p.kind == Pending::Kind::Feature) next = std::min(next, p.deadlineNs);
                ++it;
            }
        }
        if (next == INT64_MAX) {
            timerCv_.wait(lock);
        } else {
            timerCv_.wait_for(lock, std::chrono::nanoseconds(next - now));
        }
    }
}

// ---- control protocol ------------------------------------------------------------------

std::string World::cmdAdd(const std::vector<std::string>& w)
{
    if (w.size() < 2) return "error usage: add NAME [vid=0xVVVV] [pid=0xPPPP] [descriptor=HEX] [feature=HEX] ...";
    DeviceConfig cfg;
    cfg.name = w[1];
    Signal signal;
    for (std::size_t i = 2; i < w.size(); ++i) {
        const auto eq = w[i].find('=');
        if (eq == std::string::npos) return "error expected KEY=VALUE, got '" + w[i] + "'";
        const std::string key = w[i].substr(0, eq);
        const std::string value = w[i].substr(eq + 1);
        unsigned long v = 0;
        if (key == "vid" || key == "pid") {
            if (!parseUnsigned(value, 0xFFFF, v)) return "error " + key + " must be 0..0xffff";
            (key == "vid" ? cfg.vid : cfg.pid) = static_cast<std::uint16_t>(v);
        } else if (key == "descriptor") {
            auto bytes = parseHex(value);
            if (!bytes) return "error descriptor is not hex";
            cfg.descriptor = *bytes;
        } else if (key == "feature") {
            auto bytes = parseHex(value);
            if (!bytes) return "error feature is not hex";
            cfg.feature = *bytes;
        } else if (key == "manufacturer") {
            cfg.manufacturer = value;
        } else if (key == "product") {
            cfg.product = value;
        } else if (key == "serial") {
            cfg.serial = value;
        } else if (key == "raw") {
            if (!parseUnsigned(value, 255, v)) return "error raw must be 0..255";
            signal.kind = Signal::Kind::Constant;
            signal.constant = static_cast<int>(v);
        } else {
            return "error unknown option '" + key + "'";
        }
        if (value.find('\n') != std::string::npos) return "error values cannot hold newlines";
    }
    std::string error;
    if (!addDevice(cfg, signal, error)) return "error " + error;
    std::lock_guard lock(m_);
    auto d = find(cfg.name);
    return "ok node=" + nodeDir_ + "/" + d->current->nodeName() + " hid=" + d->current->hidName;
}

std::string World::cmdStats(Device& d)
{
    std::size_t pending = 0;
    std::size_t opens = 0;
    std::size_t waiting = 0;
    for (auto& p : pending_) {
        if (p->kind == Pending::Kind::Read && p->inst->dev.get() == &d) ++waiting;
    }
    for (auto& weak : d.instances) {
        if (auto inst = weak.lock()) {
            opens += inst->files.size();
            for (auto* f : inst->files) pending += f->queue.size();
        }
    }
    std::ostringstream s;
    s << "ok feature_reads=" << d.featureReads << " input_pending=" << pending << " input_read=" << d.inputRead
      << " opens=" << opens << " last_read_ns=" << d.lastReadNs << " failed_reads=" << d.failedReads
      << " feature_writes=" << d.featureWrites << " output_writes=" << d.outputWrites
      << " input_dropped=" << d.inputDropped << " polls=" << d.polls << " readers_waiting=" << waiting << " total_opens=" << d.totalOpens
      << " plugged=" << (d.current ? 1 : 0) << " node=" << (d.current ? nodeDir_ + "/" + d.current->nodeName() : "-")
      << " hid=" << (d.current ? d.current->hidName : "-") << " fail_pending=" << d.failCount
      << " last_set_feature=" << (d.lastSetFeature.empty() ? "-" : toHex(d.lastSetFeature));
    return s.str();
}

std::string World::cmdList()
{
    std::ostringstream s;
    s << "ok";
    bool first = true;
    for (auto& d : devices_) {
        s << (first ? " " : "; ") << d->cfg.name << " vid=0x" << hex4(d->cfg.vid) << " pid=0x" << hex4(d->cfg.pid);
        if (d->current) {
            s << " plugged node=" << nodeDir_ << "/" << d->current->nodeName() << " hid=" << d->current->hidName;
        } else {
            s << " unplugged";
        }
        s << " signal=" << (d->signalOn ? d->signal.describe() : "none");
        first = false;
    }
    return s.str();
}

std::string World::cmdInput(Device& d, const Bytes& report)
{
    if (!d.current) return "error " + d.cfg.name + " is not plugged";
    if (report.empty()) return "error an input report needs at least one byte";
    unsigned delivered = 0;
    for (auto* f : d.current->files) {
        auto waiting = std::find_if(pending_.begin(), pending_.end(), [f](auto& p) {
            return p->kind == Pending::Kind::Read && p->file == f;
        });
        if (waiting != pending_.end()) {
            answerInputRead(**waiting, report);
            pending_.erase(waiting);
            ++delivered;
            continue;
        }
        if (f->queue.size() >= kInputQueueLimit) {
            d.inputDropped++;
            continue;
        }
        f->queue.push_back(report);
        ++delivered;
        if (f->ph) fuse_lowlevel_notify_poll(f->ph);
    }
    return "ok delivered=" + std::to_string(delivered);
}

std::string World::command(const std::string& line)
{
    bool ok = true;
    const auto w = tokenize(line, ok);
    if (!ok) return "error unbalanced quotes";
    if (w.empty()) return "error empty command";
    const std::string& verb = w[0];
    if (verb == "ping") return "ok";
    if (verb == "help") {
        return "ok commands: add NAME [vid= pid= descriptor= feature= manufacturer= product= serial= raw=] | "
               "remove NAME | unplug NAME | plug NAME | raw NAME N | signal NAME const N|sine MIN MAX PERIOD|idle | "
               "feature NAME HEX [id=N] | fail NAME COUNT ERRNO | stall NAME SECONDS | input NAME HEX | "
               "stats NAME | reads NAME [LAST] | list | ping";
    }
    if (verb == "add") return cmdAdd(w);
    std::lock_guard lock(m_);
    if (verb == "list") return cmdList();
    if (w.size() < 2) return "error usage: " + verb + " NAME ...";
    auto d = find(w[1]);
    if (!d) {
        static const std::set<std::string> known = {"remove", "unplug", "plug", "raw", "signal", "feature",
                                                    "fail", "stall", "input", "stats", "reads"};
        if (!known.count(verb)) return "error unknown command '" + verb + "'";
        return "error no device named '" + w[1] + "'";
    }
    unsigned long v = 0;
    if (verb == "unplug" && w.size() == 2) {
        if (!d->current) return "error " + w[1] + " is not plugged";
        unplug(*d);
        return "ok";
    }
    if (verb == "remove" && w.size() == 2) {
        unplug(*d);
        devices_.erase(std::find(devices_.begin(), devices_.end(), d));
        return "ok";
    }
    if (verb == "plug" && w.size() == 2) {
        if (d->current) return "error " + w[1] + " is plugged already";
        plug(d);
        if (!d->current) return "error cannot write the device's sysfs tree";
        return "ok node=" + nodeDir_ + "/" + d->current->nodeName() + " hid=" + d->current->hidName;
    }
    if (verb == "raw" && w.size() == 3) {
        if (!parseUnsigned(w[2], 255, v)) return "error raw value must be 0..255";
        d->signal = Signal{};
        d->signal.kind = Signal::Kind::Constant;
        d->signal.constant = static_cast<int>(v);
        d->signal.startNs = monotonicNs();
        d->signalOn = true;
        return "ok";
    }
    if (verb == "signal") {
        std::string error;
        auto s = parseSignal(std::vector<std::string>(w.begin() + 2, w.end()), error);
        if (!s) return "error " + error;
        d->signal = *s;
        d->signalOn = true;
        return "ok";
    }
    if (verb == "feature" && (w.size() == 3 || w.size() == 4)) {
        auto bytes = parseHex(w[2]);
        if (!bytes) return "error feature contents must be hex";
        std::uint8_t id = d->features.empty() ? 0 : d->features.begin()->first;
        if (w.size() == 4) {
            if (w[3].rfind("id=", 0) != 0 || !parseUnsigned(w[3].substr(3), 255, v)) return "error expected id=N";
            id = static_cast<std::uint8_t>(v);
        }
        d->features[id] = *bytes;
        // Whole contents were given, byte 3 included; the signal would overwrite it.
        if (id == d->signalReport) d->signalOn = false;
        return "ok";
    }
    if (verb == "fail" && w.size() == 4) {
        if (!parseUnsigned(w[2], 1'000'000, v)) return "error COUNT must be a number";
        const int err = errnoFromName(w[3]);
        if (err == 0) return "error unknown errno '" + w[3] + "'";
        d->failCount = static_cast<int>(v);
        d->failErrno = err;
        return "ok";
    }
    if (verb == "stall" && w.size() == 3) {
        char* end = nullptr;
        const double s = std::strtod(w[2].c_str(), &end);
        if (*end != '\0' || !(s >= 0.0) || s > 3600.0) return "error SECONDS must be 0..3600";
        d->stallS = s;
        return "ok";
    }
    if (verb == "input" && w.size() >= 3) {
        auto bytes = parseHex(joinFrom(w, 2));
        if (!bytes) return "error input report must be hex";
        return cmdInput(*d, *bytes);
    }
    if (verb == "stats" && w.size() == 2) return cmdStats(*d);
    if (verb == "reads" && (w.size() == 2 || w.size() == 3)) {
        std::size_t last = d->readTimes.size();
        if (w.size() == 3) {
            if (!parseUnsigned(w[2], kReadHistoryLimit, v)) return "error LAST must be 0.." + std::to_string(kReadHistoryLimit);
            last = std::min<std::size_t>(last, v);
        }
        std::string s = "ok";
        for (auto it = d->readTimes.end() - static_cast<std::ptrdiff_t>(last); it != d->readTimes.end(); ++it) {
            s += ' ';
            s += std::to_string(*it);
        }
        return s;
    }
    return "error bad arguments for '" + verb + "' (try 'help')";
}

}  // namespace emulated
