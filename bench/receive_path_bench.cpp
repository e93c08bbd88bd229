// The receive path against a plain read: a stream of Video messages over
// loopback TCP, framed by the engine's TCP transport and dispatched by its
// session layer (each message's state check and its onVideo call), against
// recv() of the same bytes in large pieces and a memcpy of each piece. The
// same sender thread plays both streams, one run at a time; the figure is
// the time per message from the first byte asked for to the last received.
//
//   receive_path_bench [--runs N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "session/protocol.h"
#include "session/session_handler.h"

using namespace tavin;
using namespace tavin::bench;

namespace {

namespace p = protocol;

constexpr std::size_t kStreamBytes = 200'000'000;  // per run
constexpr std::size_t kPlainPiece = 256 * 1024;

// Writes a prebuilt run of Video messages to one connection, as many bytes
// as it is asked for at a time.
class Streamer {
public:
    explicit Streamer(std::size_t payload) {
        const std::size_t message = p::payload::kData + payload;
        const std::size_t count = std::max<std::size_t>(1, 4'000'000 / message);
        bytes_.resize(count * message);
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t* m = bytes_.data() + i * message;
            p::writePayloadHeader(m, p::kVideo, floatBits(static_cast<float>(i + 1)),
                                  static_cast<std::uint32_t>(payload));
            std::memset(m + p::payload::kData, static_cast<int>(i), payload);
        }
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~Streamer() {
        stop();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }
    // The bytes of one run: whole runs of messages.
    std::size_t runBytes() const { return (kStreamBytes / bytes_.size() + 1) * bytes_.size(); }
    std::size_t messagesPerRun(std::size_t payload) const { return runBytes() / (p::payload::kData + payload); }

    // Takes the next connection and serves it until stop().
    void serve() {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 10'000) <= 0) return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        thread_ = std::thread([this, fd] {
            for (;;) {
                std::unique_lock<std::mutex> lock(lock_);
                changed_.wait(lock, [this] { return owed_ > 0 || stopping_; });
                if (stopping_) break;
                owed_ = 0;
                lock.unlock();
                for (std::size_t sent = 0; sent < runBytes(); sent += bytes_.size()) {
                    std::size_t off = 0;
                    while (off < bytes_.size()) {
                        const ssize_t n = ::send(fd, bytes_.data() + off, bytes_.size() - off, MSG_NOSIGNAL);
                        if (n <= 0) break;
                        off += static_cast<std::size_t>(n);
                    }
                }
            }
            ::close(fd);
        });
    }
    // Starts one run on the served connection.
    void go() {
        std::lock_guard<std::mutex> guard(lock_);
        owed_ = 1;
        changed_.notify_all();
    }
    void stop() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
        stopping_ = false;
    }

private:
    std::vector<std::uint8_t> bytes_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    int owed_ = 0;
    bool stopping_ = false;
};

// The engine's side: a session layer that counts what reaches onVideo.
class CountingSession final : public SessionHandler {
public:
    CountingSession() : SessionHandler(0) {}
    ~CountingSession() override { destroyTransports(); }
    void onPhoneStateChanged(const PhoneId&, PhoneState) override {}
    void onSessionEnded() override {}
    std::uint64_t passcodeHash(const PhoneId&) override { return 0; }
    void onVideo(const std::uint8_t*, std::uint32_t, std::uint32_t) override {
        messages_.fetch_add(1, std::memory_order_release);
    }
    std::uint64_t messages() const { return messages_.load(std::memory_order_acquire); }

private:
    std::atomic<std::uint64_t> messages_{0};
};

}  // namespace

int main(int argc, char** argv) {
    int runs = 7;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));

    std::printf("### 1. Receive path: framing and dispatch of Video messages against recv + memcpy\n\n");
    MarkdownTable table({"Video message", "Engine (µs per message)", "recv + memcpy (µs per message)", "Ratio"});
    std::vector<std::uint8_t> piece(kPlainPiece), copy(kPlainPiece);
    const PhoneId id{0xbe, 0x4c, 0x40, 0x01};
    int round = 0;
    for (const std::size_t payload : {4'000u, 50'000u, 500'000u}) {
        // One streamer for each side; both connections stay open and the
        // runs alternate between them.
        Streamer toEngine(payload), toPlain(payload);
        const std::size_t messages = toEngine.messagesPerRun(payload);

        // The engine's session, connected to its streamer like to a phone.
        CountingSession session;
        session.setIdleTimeout(0.0);
        PhoneId phone = id;
        phone[4] = static_cast<std::uint8_t>(++round);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        session.networkSink().PhoneFound(phone, 7, "Bench phone", reinterpret_cast<sockaddr*>(&a),
                                         htons(toEngine.port()));
        if (!session.connectToPhone(phone)) {
            std::fprintf(stderr, "receive_path_bench: the session did not connect\n");
            return 1;
        }
        toEngine.serve();
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        a.sin_port = htons(toPlain.port());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::fprintf(stderr, "receive_path_bench: the plain reader did not connect\n");
            return 1;
        }
        toPlain.serve();

        const Comparison c = compareRuns(
            runs,
            [&] {
                const std::uint64_t before = session.messages();
                const double start = platform::processClock();
                toEngine.go();
                while (session.messages() < before + messages) std::this_thread::yield();
                return (platform::processClock() - start) * 1e6 / static_cast<double>(messages);
            },
            [&] {
                const double start = platform::processClock();
                toPlain.go();
                std::size_t got = 0;
                while (got < toPlain.runBytes()) {
                    const ssize_t n = ::recv(fd, piece.data(), std::min(piece.size(), toPlain.runBytes() - got), 0);
                    if (n <= 0) break;
                    std::memcpy(copy.data(), piece.data(), static_cast<std::size_t>(n));
                    got += static_cast<std::size_t>(n);
                }
                return (platform::processClock() - start) * 1e6 / static_cast<double>(messages);
            });
        session.destroyTransports();
        ::close(fd);
        table.row({formatText("%zu KB", payload / 1000), c.engine.text(2), c.bare.text(2), c.ratio.text(2)});
    }
    table.print(stdout);
    return 0;
}
