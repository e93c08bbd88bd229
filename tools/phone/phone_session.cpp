#include "phone_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "message_text.h"
#include "phone_log.h"
#include "phone_options.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "tone_encoder.h"

namespace tavin::phonesim {

namespace p = protocol;

namespace {

constexpr double kPingSpacing = 1.0;
constexpr int kPollStepMs = 100;
// A send that makes no progress for this long ends the session.
constexpr double kSendStallSeconds = 5.0;
// A scheduled message more than this late is not caught up with a burst.
constexpr double kMaxLag = 0.5;

const char* codecName(std::uint32_t codec) { return codec == p::format_request::kCodecHevc ? "HEVC" : "H.264"; }

}  // namespace

PhoneSession::PhoneSession(int fd, SessionConfig config, int number)
    : fd_(fd),
      config_(std::move(config)),
      number_(number),
      unlocked_(!config_.passcode.has_value()),
      random_(std::random_device{}()),
      inBuffer_(p::kMaxMessage) {
    outBuffer_.resize(p::kMaxMessage);
}

PhoneSession::~PhoneSession() { stop(); }

bool PhoneSession::start() {
    running_ = true;
    try {
        receiver_ = std::thread([this] { receiveLoop(); });
        sender_ = std::thread([this] { sendLoop(); });
        if (config_.audio) sound_ = std::thread([this] { soundLoop(); });
    } catch (const std::system_error&) {
        running_ = false;
        ending_ = true;
        if (receiver_.joinable()) receiver_.join();
        if (sender_.joinable()) sender_.join();
        return false;
    }
    return true;
}

void PhoneSession::stop() {
    end("phone stopped");
    running_ = false;
    if (receiver_.joinable()) receiver_.join();
    if (sender_.joinable()) sender_.join();
    if (sound_.joinable()) sound_.join();
    if (fd_ < 0) return;
    if (abortive_) {
        // A zero linger time makes close() reset the connection instead of
        // ending it in order.
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd_);
    fd_ = -1;
}

void PhoneSession::post(const Command& command) {
    std::lock_guard<std::mutex> lock(lock_);
    commands_.push_back(command);
}

void PhoneSession::end(const char* why) {
    // The engine times every picture it starts to decode: what was sent and
    // never timed did not reach its decoder.
    if (!ending_.exchange(true))
        logLine("session %d: ended: %s (%llu pictures sent, %llu timed)", number_, why,
                static_cast<unsigned long long>(picturesSent_.load()),
                static_cast<unsigned long long>(picturesTimed_.load()));
}

// ---------------------------------------------------------------- receiver

void PhoneSession::receiveLoop() {
    std::uint32_t have = 0;
    while (running_ && !ending_) {
        if (slowRead_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
            continue;
        }
        pollfd pfd{fd_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, kPollStepMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            end("poll failed");
            return;
        }
        if (ready == 0 || slowRead_) continue;
        // Never read past the current message: 4 bytes for the header, then
        // the rest of the length it announces (checked below before use).
        std::uint32_t wanted = p::bytesWanted(inBuffer_.data(), have);
        ssize_t n = ::recv(fd_, inBuffer_.data() + have, wanted - have, 0);
        if (n == 0) {
            end("engine closed the connection");
            return;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            end(std::strerror(errno));
            return;
        }
        have += static_cast<std::uint32_t>(n);
        if (have < p::kHeaderSize) continue;
        std::uint32_t length = p::headerLength(inBuffer_.data());
        if (length > p::kMaxMessage || length < p::kMinMessage) {
            logLine("session %d: rx header announces %u bytes (type %u), closing", number_, length,
                    p::headerType(inBuffer_.data()));
            end("bad message length");
            return;
        }
        if (have < length) continue;
        handleMessage(inBuffer_.data(), length);
        have = 0;
    }
}

void PhoneSession::handleMessage(const std::uint8_t* message, std::uint32_t length) {
    std::string text = describeEngineMessage(message, length);
    if (!text.empty()) logMessage("%s", text.c_str());
    switch (p::headerType(message)) {
    case p::kTiming:
        picturesTimed_.fetch_add(1);
        break;
    case p::kErrorReport:
        // What the engine recorded is worth a line even without --log.
        if (length >= p::error_report::kSize)
            logLine("session %d: engine error record \"%s\"", number_,
                    printableText(message + p::error_report::kText, p::error_report::kTextSize).c_str());
        break;
    case p::kFormatRequest:
        if (length >= p::format_request::kSize) handleFormatRequest(message);
        break;
    case p::kChallenge:
        handleChallengeAnswer(message, length);
        break;
    default:
        break;
    }
}

void PhoneSession::handleFormatRequest(const std::uint8_t* message) {
    StreamRequest request;
    request.codec = readLe32(message + p::format_request::kCodec);
    request.format = VideoFormat{readLe32(message + p::format_request::kWidth),
                                 readLe32(message + p::format_request::kHeight),
                                 readLeF32(message + p::format_request::kFps)};
    if (request.codec != p::format_request::kCodecH264 && request.codec != p::format_request::kCodecHevc) {
        logLine("session %d: FormatRequest rejected: unknown codec %u", number_, request.codec);
        return;
    }
    if (!formatWithinBounds(request.format)) {
        logLine("session %d: FormatRequest rejected: %ux%u@%g is outside %ux%u..%ux%u (even) at %g..%g fps",
                number_, request.format.width, request.format.height, static_cast<double>(request.format.fps),
                kMinWidth, kMinHeight, kMaxWidth, kMaxHeight, static_cast<double>(kMinFps),
                static_cast<double>(kMaxFps));
        return;
    }
    std::lock_guard<std::mutex> lock(lock_);
    if (!unlocked_) {
        // A phone that guards its camera with a passcode streams only to an
        // engine that has answered the challenge.
        logLine("session %d: FormatRequest ignored: the challenge is not answered", number_);
        return;
    }
    pendingRequest_ = request;
}

void PhoneSession::handleChallengeAnswer(const std::uint8_t* message, std::uint32_t length) {
    ChallengeWords answer;
    if (!p::parseChallenge(message, length, answer.low, answer.high)) {
        logMessage("rx Challenge short length=%u", length);
        return;
    }
    bool wrong = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!expected_) {
            logMessage("rx Challenge answer unexpected");
            return;
        }
        wrong = !(answer == *expected_);
        expected_.reset();
        if (!wrong) {
            unlocked_ = true;
            if (!capabilitiesSent_) capabilitiesDue_ = true;
        }
    }
    logMessage("rx Challenge answer %s", wrong ? "wrong" : "ok");
    if (wrong) end("wrong passcode answer");
}

// ------------------------------------------------------------------ sender

bool PhoneSession::sendMessage(const std::uint8_t* data, std::size_t length) {
    std::lock_guard<std::mutex> lock(sendLock_);
    return sendLocked(data, length);
}

bool PhoneSession::sendLocked(const std::uint8_t* data, std::size_t length) {
    if (ending_) return false;
    std::size_t sent = 0;
    double stallStart = platform::processClock();
    while (sent < length) {
        if (!running_ || ending_) return false;
        ssize_t n = ::send(fd_, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            stallStart = platform::processClock();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            end(std::strerror(errno));
            return false;
        }
        if (platform::processClock() - stallStart > kSendStallSeconds) {
            end("engine stopped reading");
            return false;
        }
        pollfd pfd{fd_, POLLOUT, 0};
        ::poll(&pfd, 1, kPollStepMs);
    }
    return true;
}

void PhoneSession::issueChallenge(double now) {
    std::uint64_t value = random_();
    ChallengeWords challenge{static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32)};
    {
        std::lock_guard<std::mutex> lock(lock_);
        expected_ = expectedAnswer(challenge, passcodeHash(config_.passcode ? *config_.passcode : std::string()));
        challengeDeadline_ = now + config_.challengeTimeoutSeconds;
    }
    sendMessage(p::buildChallenge(challenge.low, challenge.high));
}

void PhoneSession::startStream(const StreamRequest& request, double now) {
    if (config_.video) {
        if (streaming_ && video_.isOpen() && lastRequest_ && lastRequest_->codec == request.codec &&
            lastRequest_->format == request.format) {
            return;  // the same stream again: keep the encoder
        }
        if (!video_.open(request.codec, request.format)) {
            logLine("session %d: no %s encoder for %ux%u@%g, not streaming", number_, codecName(request.codec),
                    request.format.width, request.format.height, static_cast<double>(request.format.fps));
            return;
        }
    }
    lastRequest_ = request;
    nextPicture_ = now;
    if (!streaming_) {
        streaming_ = true;
        std::lock_guard<std::mutex> lock(sendLock_);
        sendLocked(p::buildHeaderOnly(p::kStreamStart).data(), p::kHeaderSize);
        soundOn_ = config_.audio;
    }
}

void PhoneSession::stopStream() {
    streaming_ = false;
    video_.close();
    std::lock_guard<std::mutex> lock(sendLock_);
    soundOn_ = false;
    sendLocked(p::buildHeaderOnly(p::kStreamStop).data(), p::kHeaderSize);
}

void PhoneSession::sendPicture(double due) {
    std::uint32_t tagBits = floatBits(static_cast<float>(due));
    bool ok = video_.encodeNext([&](const std::uint8_t* data, std::size_t size) {
        if (size > p::kMaxMessage - p::payload::kData) {
            logLine("session %d: encoded packet of %zu bytes dropped", number_, size);
            return;
        }
        p::writePayloadHeader(outBuffer_.data(), p::kVideo, tagBits, static_cast<std::uint32_t>(size));
        std::memcpy(outBuffer_.data() + p::payload::kData, data, size);
        if (sendMessage(outBuffer_.data(), p::payload::kData + size)) picturesSent_.fetch_add(1);
    });
    if (!ok) {
        logLine("session %d: encoder failed, stream stopped", number_);
        video_.close();
    }
}

void PhoneSession::soundLoop() {
    ToneEncoder tone(config_.toneHz);
    if (!tone.open()) {
        logLine("session %d: no Opus encoder, no sound", number_);
        return;
    }
    std::array<std::uint8_t, p::payload::kData + ToneEncoder::kMaxPacket> message{};
    // Packet k is due at start + k x period: an absolute schedule, so that
    // late wake-ups never add up. A clock that runs fast makes the period
    // shorter than the 20 ms each packet holds.
    const double period = ToneEncoder::kFrameSeconds / (1.0 + config_.audioClockSkew);
    double start = 0.0;
    std::uint64_t k = 0;
    bool wasOn = false;
    while (running_ && !ending_) {
        double now = platform::processClock();
        bool on = soundOn_ && !silenced_;
        if (on && !wasOn) {  // a new stream starts its sound now
            start = now;
            k = 0;
        }
        wasOn = on;
        double next = start + static_cast<double>(k) * period;
        if (on && now >= next) {
            std::size_t size = tone.encodeNext(message.data() + p::payload::kData);
            if (size > 0) {
                p::writePayloadHeader(message.data(), p::kAudio, floatBits(static_cast<float>(now)),
                                      static_cast<std::uint32_t>(size));
                std::lock_guard<std::mutex> lock(sendLock_);
                if (soundOn_ && !silenced_) sendLocked(message.data(), p::payload::kData + size);
            }
            ++k;
            if (now - next > kMaxLag) {
                // Far behind (the machine stalled): start a new schedule
                // instead of catching up with a burst.
                logLine("session %d: sound %.0f ms late, schedule restarted", number_, (now - next) * 1000.0);
                start = now + period;
                k = 0;
            }
            next = start + static_cast<double>(k) * period;
        }
        double wait = std::clamp(next - platform::processClock(), 0.0005, 0.010);
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
}

void PhoneSession::runCommand(const Command& command) {
    double now = platform::processClock();
    if (command.kind == CommandKind::Close) {
        abortive_ = true;
        end("closed abruptly by command");
        return;
    }
    if (command.kind == CommandKind::SlowRead) {
        slowRead_ = true;
        logLine("session %d: no longer reading", number_);
        return;
    }
    if (silenced_) {
        logLine("session %d: silenced, command dropped", number_);
        return;
    }
    switch (command.kind) {
    case CommandKind::Start:
        if (streaming_) {
            logLine("session %d: already streaming", number_);
        } else {
            StreamRequest request;
            if (lastRequest_) {
                request = *lastRequest_;
            } else {
                request.format = config_.formats.empty() ? VideoFormat{640, 480, 30.0f} : config_.formats.front();
            }
            startStream(request, now);
        }
        break;
    case CommandKind::Stop:
        stopStream();
        break;
    case CommandKind::Button:
        sendMessage(p::buildButton(command.code, command.value));
        break;
    case CommandKind::Report:
        sendMessage(p::buildReport(command.type, command.words));
        break;
    case CommandKind::Names: {
        std::vector<std::uint8_t> message = p::buildNameList(command.value, command.names);
        sendMessage(message.data(), message.size());
        break;
    }
    case CommandKind::FocusDistance:
        sendMessage(p::buildFocusDistance(command.code, command.distance));
        break;
    case CommandKind::Challenge:
        issueChallenge(now);
        break;
    case CommandKind::Silence:
        logLine("session %d: silent from now on", number_);
        silenced_ = true;
        break;
    case CommandKind::Oversize:
    case CommandKind::Undersize: {
        std::uint32_t length = command.kind == CommandKind::Oversize ? p::kMaxMessage + 1 : 2;
        std::array<std::uint8_t, 4> header{};
        writeLe32(header.data(), p::makeHeader(command.type, length));
        sendMessage(header);
        break;
    }
    case CommandKind::Info:
        config_.name = command.text;
        sendMessage(p::buildPhoneInfo(config_.id, config_.kind, config_.name));
        break;
    case CommandKind::Close:
    case CommandKind::SlowRead:
    case CommandKind::Quit:
        break;  // Close and SlowRead above; Quit is not a session command
    }
}

constexpr double kUnaskedDelay = 1.0;  // seconds after Capabilities

void PhoneSession::sendLoop() {
    double now = platform::processClock();
    sendMessage(p::buildPhoneInfo(config_.id, config_.kind, config_.name));
    if (config_.passcode) issueChallenge(now);
    sendMessage(p::buildHeaderOnly(p::kPing));
    nextPing_ = now + kPingSpacing;
    if (!config_.passcode) {
        std::vector<std::uint8_t> capabilities = p::buildCapabilities(config_.hevc, config_.formats);
        sendMessage(capabilities.data(), capabilities.size());
        capabilitiesAt_ = now;
        std::lock_guard<std::mutex> lock(lock_);
        capabilitiesSent_ = true;
    }

    std::deque<Command> commands;
    while (running_ && !ending_) {
        now = platform::processClock();

        std::optional<StreamRequest> request;
        bool sendCapabilities = false;
        bool challengeExpired = false;
        {
            std::lock_guard<std::mutex> lock(lock_);
            commands.swap(commands_);
            request.swap(pendingRequest_);
            if (capabilitiesDue_) {
                capabilitiesDue_ = false;
                capabilitiesSent_ = true;
                sendCapabilities = true;
            }
            challengeExpired = expected_.has_value() && now > challengeDeadline_;
        }
        if (challengeExpired) {
            logLine("session %d: no Challenge answer within %g s", number_, config_.challengeTimeoutSeconds);
            end("challenge not answered");
            break;
        }
        for (const Command& command : commands) {
            if (ending_) break;
            runCommand(command);
        }
        commands.clear();

        if (!silenced_) {
            if (sendCapabilities) {
                std::vector<std::uint8_t> capabilities = p::buildCapabilities(config_.hevc, config_.formats);
                sendMessage(capabilities.data(), capabilities.size());
                capabilitiesAt_ = now;
            }
            if (!request && config_.streamUnasked && !lastRequest_ && !config_.formats.empty() &&
                capabilitiesAt_ > 0.0 && now > capabilitiesAt_ + kUnaskedDelay) {
                // An engine that cannot decode asks for nothing: stream anyway.
                request = StreamRequest{p::format_request::kCodecH264, config_.formats.front()};
            }
            if (request) startStream(*request, now);
            if (now >= nextPing_) {
                sendMessage(p::buildHeaderOnly(p::kPing));
                nextPing_ = std::max(nextPing_ + kPingSpacing, now);
            }
            if (streaming_ && video_.isOpen() && now >= nextPicture_) {
                // A camera stamps each picture with its capture time: its
                // place in the schedule, however late the sending.
                sendPicture(nextPicture_);
                double spacing = 1.0 / static_cast<double>(video_.format().fps);
                nextPicture_ = now - nextPicture_ > kMaxLag ? now + spacing : nextPicture_ + spacing;
            }
        }

        // Sleep until the next thing is due, in steps of at most 10 ms so that
        // commands and stops are taken up quickly.
        double due = nextPing_;
        if (streaming_ && video_.isOpen()) due = std::min(due, nextPicture_);
        double wait = std::clamp(due - platform::processClock(), 0.0005, 0.010);
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
}

}  // namespace tavin::phonesim
