#include "control_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::string quoted(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

std::string hex4(unsigned v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04x", v & 0xFFFFu);
    return buf;
}

}  // namespace

EmulatedAdapterControl::EmulatedAdapterControl()
{
    const char* path = std::getenv("EMULATED_ADAPTER_CONTROL");
    if (!path || !*path) {
        error_ = "EMULATED_ADAPTER_CONTROL is not set (run under emulated-adapter)";
        return;
    }
    connectTo(path);
}

EmulatedAdapterControl::EmulatedAdapterControl(const std::string& path) { connectTo(path); }

EmulatedAdapterControl::~EmulatedAdapterControl()
{
    if (fd_ >= 0) close(fd_);
}

void EmulatedAdapterControl::connectTo(const std::string& path)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        error_ = "control socket path too long";
        return;
    }
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error_ = "cannot connect to " + path + ": " + std::strerror(errno);
        close(fd_);
        fd_ = -1;
    }
}

std::optional<std::string> EmulatedAdapterControl::command(const std::string& line)
{
    if (fd_ < 0) {
        if (error_.empty()) error_ = "not connected";
        return std::nullopt;
    }
    if (line.find('\n') != std::string::npos) {
        error_ = "a command is one line";
        return std::nullopt;
    }
    const std::string out = line + "\n";
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::string("send: ") + std::strerror(errno);
            return std::nullopt;
        }
        done += static_cast<std::size_t>(n);
    }
    std::size_t nl;
    while ((nl = buffer_.find('\n')) == std::string::npos) {
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n == 0 ? "the tool closed the control connection" : std::string("recv: ") + std::strerror(errno);
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    std::string reply = buffer_.substr(0, nl);
    buffer_.erase(0, nl + 1);
    if (reply == "ok") return std::string();
    if (reply.rfind("ok ", 0) == 0) return reply.substr(3);
    error_ = reply.rfind("error ", 0) == 0 ? reply.substr(6) : "unexpected reply: " + reply;
    return std::nullopt;
}

std::string EmulatedAdapterControl::hex(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 0xF]);
    }
    return s;
}

bool EmulatedAdapterControl::add(const EmulatedDeviceConfig& device)
{
    std::string line = "add " + device.name + " vid=" + hex4(device.vid) + " pid=" + hex4(device.pid);
    if (!device.descriptor.empty()) line += " descriptor=" + hex(device.descriptor);
    if (device.feature) line += " feature=" + hex(*device.feature);
    if (!device.manufacturer.empty()) line += " manufacturer=" + quoted(device.manufacturer);
    if (!device.product.empty()) line += " product=" + quoted(device.product);
    if (!device.serial.empty()) line += " serial=" + quoted(device.serial);
    return ok(line);
}

bool EmulatedAdapterControl::remove(const std::string& name) { return ok("remove " + name); }
bool EmulatedAdapterControl::unplug(const std::string& name) { return ok("unplug " + name); }
bool EmulatedAdapterControl::plug(const std::string& name) { return ok("plug " + name); }
bool EmulatedAdapterControl::setRaw(const std::string& name, int raw) { return ok("raw " + name + " " + std::to_string(raw)); }
bool EmulatedAdapterControl::setSignal(const std::string& name, const std::string& signal)
{
    return ok("signal " + name + " " + signal);
}
bool EmulatedAdapterControl::setFeature(const std::string& name, const std::vector<std::uint8_t>& contents)
{
    return ok("feature " + name + " " + hex(contents));
}
bool EmulatedAdapterControl::failReads(const std::string& name, int count, const std::string& err)
{
    return ok("fail " + name + " " + std::to_string(count) + " " + err);
}
bool EmulatedAdapterControl::stall(const std::string& name, double seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", seconds);
    return ok("stall " + name + " " + buf);
}

std::optional<int> EmulatedAdapterControl::sendInput(const std::string& name, const std::vector<std::uint8_t>& report)
{
    auto reply = command("input " + name + " " + hex(report));
    if (!reply) return std::nullopt;
    if (reply->rfind("delivered=", 0) != 0) {
        error_ = "unexpected reply: " + *reply;
        return std::nullopt;
    }
    return std::atoi(reply->c_str() + 10);
}

std::optional<EmulatedAdapterStats> EmulatedAdapterControl::stats(const std::string& name)
{
    auto reply = command("stats " + name);
    if (!reply) return std::nullopt;
    EmulatedAdapterStats s;
    std::istringstream in(*reply);
    std::string kv;
    int seen = 0;
    while (in >> kv) {
        const auto eq = kv.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = kv.substr(0, eq);
        const std::string value = kv.substr(eq + 1);
        auto u = [&value] { return std::strtoull(value.c_str(), nullptr, 10); };
        if (key == "feature_reads") s.featureReads = u(), ++seen;
        else if (key == "input_pending") s.inputPending = u(), ++seen;
        else if (key == "input_read") s.inputRead = u(), ++seen;
        else if (key == "opens") s.opens = u(), ++seen;
        else if (key == "last_read_ns") s.lastReadNs = std::strtoll(value.c_str(), nullptr, 10), ++seen;
        else if (key == "failed_reads") s.failedReads = u();
        else if (key == "feature_writes") s.featureWrites = u();
        else if (key == "output_writes") s.outputWrites = u();
        else if (key == "total_opens") s.totalOpens = u();
        else if (key == "polls") s.polls = u();
        else if (key == "readers_waiting") s.readersWaiting = u();
        else if (key == "plugged") s.plugged = value == "1";
        else if (key == "node") s.node = value == "-" ? "" : value;
        else if (key == "hid") s.hid = value == "-" ? "" : value;
        else if (key == "last_set_feature") s.lastSetFeature = value == "-" ? "" : value;
    }
    if (seen != 5) {
        error_ = "stats reply lacks fields: " + *reply;
        return std::nullopt;
    }
    return s;
}

std::optional<std::vector<std::int64_t>> EmulatedAdapterControl::readTimes(const std::string& name)
{
    auto reply = command("reads " + name);
    if (!reply) return std::nullopt;
    std::vector<std::int64_t> out;
    std::istringstream in(*reply);
    std::int64_t t = 0;
    while (in >> t) out.push_back(t);
    return out;
}

std::optional<std::string> EmulatedAdapterControl::list() { return command("list"); }
