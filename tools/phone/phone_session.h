// One session of the simulated phone with one engine, on an accepted
// socket.
//
// The phone speaks first: PhoneInfo, then (with a passcode) a Challenge
// whose right answer unlocks the rest, then Ping once a second and
// Capabilities. A FormatRequest from the engine starts the stream:
// StreamStart, then one Video message per encoded picture at the requested
// size and rate (and Audio every 20 ms when enabled). A new request
// re-creates the encoder.
//
// Three threads: the receiver reads and logs the engine's messages; the
// sender does what goes out (greeting, Ping, pictures, control commands);
// the sound thread keeps its 20 ms pace whatever the picture encoder
// costs. Whole messages go out under one send lock, so they never
// interleave. Any thread may decide the session is over; the owner then
// stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "challenge.h"
#include "control_command.h"
#include "session/protocol.h"
#include "video_encoder.h"

namespace tavin::phonesim {

struct SessionConfig {
    PhoneId id{};
    std::uint16_t kind = 0;
    std::string name;
    std::vector<VideoFormat> formats;
    bool hevc = false;
    std::optional<std::string> passcode;
    double challengeTimeoutSeconds = 5.0;
    bool audio = false;
    double toneHz = 440.0;
    double audioClockSkew = 0.0;
    bool video = true;
    bool streamUnasked = false;
};

class PhoneSession {
public:
    // Takes ownership of the connected socket `fd`. `number` names the
    // session in log lines.
    PhoneSession(int fd, SessionConfig config, int number);
    ~PhoneSession();  // stops
    PhoneSession(const PhoneSession&) = delete;
    PhoneSession& operator=(const PhoneSession&) = delete;

    // Starts the threads. False when a thread cannot be started.
    bool start();

    // Ends the session: clears the running flag, joins the threads (they
    // notice within one poll step), and closes the socket — with a reset
    // instead of an orderly shutdown after a "close" command.
    void stop();

    // True once either thread has ended the session (peer closed, framing
    // error, wrong answer, send failure, "close").
    bool ended() const { return ending_.load(); }

    // Hands a control command to the session; commands are carried out on
    // the sender thread in the order they came (within about 10 ms). Quit is
    // not a session command.
    void post(const Command& command);

    int number() const { return number_; }

private:
    struct StreamRequest {
        std::uint32_t codec = protocol::format_request::kCodecH264;
        VideoFormat format{};
    };

    // Receiver.
    void receiveLoop();
    void handleMessage(const std::uint8_t* message, std::uint32_t length);
    void handleFormatRequest(const std::uint8_t* message);
    void handleChallengeAnswer(const std::uint8_t* message, std::uint32_t length);

    // Sender.
    void sendLoop();
    // Sends one whole message under the send lock; false (and the session
    // ends) when the stream broke or stalled.
    bool sendMessage(const std::uint8_t* data, std::size_t length);
    bool sendLocked(const std::uint8_t* data, std::size_t length);
    template <std::size_t N>
    bool sendMessage(const std::array<std::uint8_t, N>& message) {
        return sendMessage(message.data(), N);
    }
    void runCommand(const Command& command);
    void startStream(const StreamRequest& request, double now);
    void stopStream();
    void issueChallenge(double now);
    // Encodes and sends the next picture, tagged with `due`, its time in the
    // schedule.
    void sendPicture(double due);
    // Sound.
    void soundLoop();
    void end(const char* why);

    int fd_;
    SessionConfig config_;
    const int number_;
    std::atomic<bool> running_{false};
    std::atomic<bool> ending_{false};
    std::atomic<bool> abortive_{false};
    std::atomic<bool> slowRead_{false};
    std::atomic<bool> silenced_{false};
    // Sound goes out while set; changed and tested under sendLock_, so no
    // Audio message precedes StreamStart or follows StreamStop.
    std::atomic<bool> soundOn_{false};
    // Video messages sent whole, and Timing messages received.
    std::atomic<std::uint64_t> picturesSent_{0};
    std::atomic<std::uint64_t> picturesTimed_{0};
    std::thread receiver_;
    std::thread sender_;
    std::thread sound_;
    std::mutex sendLock_;

    // Between the receiver (and post()) and the sender.
    std::mutex lock_;
    std::deque<Command> commands_;
    std::optional<StreamRequest> pendingRequest_;
    std::optional<ChallengeWords> expected_;  // answer of the outstanding challenge
    double challengeDeadline_ = 0.0;
    bool capabilitiesDue_ = false;
    bool capabilitiesSent_ = false;
    bool unlocked_;  // no passcode, or its challenge was answered right

    // Sender-only state.
    bool streaming_ = false;
    std::optional<StreamRequest> lastRequest_;
    double capabilitiesAt_ = 0.0;  // when Capabilities went out; 0 = not yet
    VideoEncoder video_;
    double nextPing_ = 0.0, nextPicture_ = 0.0;
    std::vector<std::uint8_t> outBuffer_;  // one Video message
    std::mt19937_64 random_;

    // Receiver-only state.
    std::vector<std::uint8_t> inBuffer_;
};

}  // namespace tavin::phonesim
