// The control socket: a line protocol over a Unix stream socket, one reply line per command.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace emulated {

class ControlServer {
public:
    using Handler = std::function<std::string(const std::string&)>;
    explicit ControlServer(Handler handler);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool listen(const std::string& path, std::string& error);
    void start();
    void stop();

private:
    void loop();

    Handler handler_;
    std::string path_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace emulated
