// The simulator's control channel: lines read from a FIFO, a file or stdin
// on a thread of its own and handed, one by one, to a line handler.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace tavin::phonesim {

class ControlInput {
public:
    using LineHandler = std::function<void(const std::string& line)>;

    explicit ControlInput(LineHandler handler);
    ~ControlInput();  // stops
    ControlInput(const ControlInput&) = delete;
    ControlInput& operator=(const ControlInput&) = delete;

    // Opens `path` ("-" = stdin) and starts reading. A FIFO is held open for
    // writing as well, so that writers may come and go. False with `error`
    // set when the path cannot be opened.
    bool start(const std::string& path, std::string& error);

    // Clears the running flag and joins the reader (it polls in 100 ms steps).
    void stop();

private:
    void run();

    LineHandler handler_;
    int fd_ = -1;
    bool ownsFd_ = false;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace tavin::phonesim
