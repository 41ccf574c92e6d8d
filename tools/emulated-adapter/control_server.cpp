#include "control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

namespace emulated {

namespace {
// A line longer than this is a client bug, not a command.
constexpr std::size_t kMaxLine = 1 << 20;

bool sendAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
}  // namespace

ControlServer::ControlServer(Handler handler) : handler_(std::move(handler)) {}

ControlServer::~ControlServer() { stop(); }

bool ControlServer::listen(const std::string& path, std::string& error)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        error = "control socket path too long: " + path;
        return false;
    }
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void ControlServer::start()
{
    thread_ = std::thread([this] { loop(); });
}

void ControlServer::stop()
{
    if (thread_.joinable()) {
        const char c = 'x';
        [[maybe_unused]] auto n = write(wakePipe_[1], &c, 1);
        thread_.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        unlink(path_.c_str());
    }
    for (int& fd : wakePipe_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void ControlServer::loop()
{
    std::map<int, std::string> clients;  // fd -> bytes not yet forming a whole line
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({wakePipe_[0], POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (auto& [fd, buf] : clients) fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) clients[fd];
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            const int fd = fds[i].fd;
            auto& buf = clients[fd];
            char chunk[4096];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            bool drop = n <= 0 && !(n < 0 && errno == EINTR);
            if (n > 0) buf.append(chunk, static_cast<std::size_t>(n));
            std::size_t nl;
            while (!drop && (nl = buf.find('\n')) != std::string::npos) {
                std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!sendAll(fd, handler_(line) + "\n")) drop = true;
            }
            if (buf.size() > kMaxLine) {
                sendAll(fd, "error line too long\n");
                drop = true;
            }
            if (drop) {
                close(fd);
                clients.erase(fd);
            }
        }
    }
    for (auto& [fd, buf] : clients) close(fd);
}

}  // namespace emulated
