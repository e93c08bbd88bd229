#include "session/session_handler.h"

#include <opus/opus.h>

#include <algorithm>
#include <cstring>

#include "engine/error_record.h"
#include "session/passcode.h"
#include "session/tcp_transport.h"

namespace tavin {

namespace {

constexpr int kOpusSampleRate = 48000;
constexpr int kOpusChannels = 1;
constexpr int kAudioBufferSamples = 23040;

PhoneRegistry& registry() { return PhoneRegistry::instance(); }

}  // namespace

SessionHandler::SessionHandler(int index) : index_(index) {
    static_assert(sizeof samples_ / sizeof samples_[0] == kAudioBufferSamples);
    int error = 0;
    // Without a decoder every Audio message is dropped.
    opus_ = opus_decoder_create(kOpusSampleRate, kOpusChannels, &error);
    if (error != OPUS_OK && opus_ != nullptr) {
        opus_decoder_destroy(opus_);
        opus_ = nullptr;
    }
}

SessionHandler::~SessionHandler() {
    std::shared_ptr<PhoneTransport> usbmux;
    std::shared_ptr<PhoneTransport> tcp;
    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        usbmux = std::move(usbmux_);
        tcp = std::move(tcp_);
    }
    retire(std::move(usbmux));
    retire(std::move(tcp));
    reapDeferred();
    if (index_ == 0) registry().clear();
    if (opus_ != nullptr) opus_decoder_destroy(opus_);
}

// ---- Transports ------------------------------------------------------------

void SessionHandler::retire(std::shared_ptr<PhoneTransport> transport) {
    if (!transport) return;
    transport->stop();
    if (transport->onReceiveThread()) {
        std::lock_guard<std::mutex> guard(transportsLock_);
        deferred_.push_back(std::move(transport));
    }
}

void SessionHandler::reapDeferred() {
    std::vector<std::shared_ptr<PhoneTransport>> ready;
    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        auto keep = std::partition(deferred_.begin(), deferred_.end(),
                                   [](const std::shared_ptr<PhoneTransport>& t) { return t->onReceiveThread(); });
        ready.assign(std::make_move_iterator(keep), std::make_move_iterator(deferred_.end()));
        deferred_.erase(keep, deferred_.end());
    }
    for (auto& t : ready) t->stop();  // waits for its thread, outside the lock
}

void SessionHandler::destroyTransports(PhoneId* lastId, bool* hadOne) {
    reapDeferred();
    std::shared_ptr<PhoneTransport> tcp;
    std::shared_ptr<PhoneTransport> usbmux;
    PhoneId tcpId{};
    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        tcp = std::move(tcp_);
        usbmux = std::move(usbmux_);
        tcpId = tcpId_;
    }
    PhoneId last{};
    bool any = false;
    if (tcp) {
        last = tcpId;
        any = true;
        retire(std::move(tcp));
    }
    if (usbmux) {
        last = usbmux->id();
        any = true;
        retire(std::move(usbmux));
    }
    if (lastId != nullptr && any) *lastId = last;
    if (hadOne != nullptr) *hadOne = any;
}

std::shared_ptr<PhoneTransport> SessionHandler::shared(PhoneTransport& transport) {
    std::lock_guard<std::mutex> guard(transportsLock_);
    if (tcp_.get() == &transport) return tcp_;
    if (usbmux_.get() == &transport) return usbmux_;
    return nullptr;
}

// ---- Connecting ------------------------------------------------------------

bool SessionHandler::connectToPhone(const PhoneId& id) {
    reapDeferred();
    viaUsb_ = false;

    PeerAddress address{};
    std::uint32_t handle = 0;
    bool usbHandle = false;
    bool adb = false;
    UsbmuxTransportFactory* factory = usbmuxFactory_.load();
    const bool found = registry().withRecords([&](std::vector<std::unique_ptr<PhoneRecord>>& records) {
        for (const auto& r : records) {
            if (r->id != id) continue;
            if (r->state != PhoneState::Idle && r->state != PhoneState::Failed) return false;
            if (r->ipv4.sin_family != 0)
                address.v4 = r->ipv4;
            else if (r->ipv6.sin6_family != 0)
                address.v6 = r->ipv6;
            if (factory != nullptr && r->usbmuxUsbHandle != 0) {
                handle = r->usbmuxUsbHandle;
                usbHandle = true;
            } else if (factory != nullptr && r->usbmuxNetworkHandle != 0) {
                handle = r->usbmuxNetworkHandle;
            } else if (r->adb.sin_family != 0) {
                address = PeerAddress{};
                address.v4 = r->adb;
                adb = true;
            }
            return true;
        }
        return false;
    });
    if (!found) return false;

    if (handle != 0) {
        viaUsb_ = usbHandle;
        if (connectUsbmux(*factory, id, handle, address.sa.sa_family != 0)) return true;
        // The Wi-Fi address, when there is one, is tried at once.
        viaUsb_ = false;
    }
    if (address.sa.sa_family == 0) return false;
    viaUsb_ = adb;
    return connectTcp(id, address);
}

bool SessionHandler::connectUsbmux(UsbmuxTransportFactory& factory, const PhoneId& id, std::uint32_t handle,
                                   bool haveAddress) {
    std::shared_ptr<PhoneTransport> old;
    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        old = std::move(usbmux_);
    }
    retire(std::move(old));

    // A failed usbmuxd connect costs the phone one point of USB score. With
    // no other path the phone is Failed, counted as that USB attempt.
    auto failed = [&] {
        if (haveAddress)
            registry().dropUsbScore(handle);
        else
            setPhoneState(TransportIdentity{id, true, PeerAddress{}}, PhoneState::Failed);
        return false;
    };

    std::shared_ptr<UsbmuxSessionTransport> transport = factory.connect(handle, id, *this);
    if (!transport) return failed();
    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        usbmux_ = transport;
    }
    // Connecting is recorded before the receive loop can report anything.
    setPhoneState(*transport, PhoneState::Connecting);
    if (transport->startReceiving()) return true;

    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        if (usbmux_ == transport) usbmux_.reset();
    }
    return failed();
}

bool SessionHandler::connectTcp(const PhoneId& id, const PeerAddress& address) {
    std::shared_ptr<PhoneTransport> old;
    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        old = std::move(tcp_);
    }
    retire(std::move(old));

    std::shared_ptr<TcpTransport> transport = TcpTransport::create(idleTimeout_.load(), *this);
    const TransportIdentity identity{id, false, address};
    // Connecting is recorded before the receive thread exists, so that a
    // quick failure of the connect cannot be overwritten by it.
    setPhoneState(identity, PhoneState::Connecting);
    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        tcp_ = transport;
        tcpId_ = id;
    }
    if (transport->start(address, id)) return true;

    {
        std::lock_guard<std::mutex> guard(transportsLock_);
        if (tcp_ == transport) tcp_.reset();
    }
    setPhoneState(identity, PhoneState::Failed);
    return false;
}

// ---- Phone states ----------------------------------------------------------

void SessionHandler::setPhoneState(PhoneTransport& transport, PhoneState state) {
    setPhoneState(TransportIdentity::of(transport), state);
}

void SessionHandler::setPhoneState(const TransportIdentity& transport, PhoneState state) {
    if (registry().setPhoneState(transport, state)) onPhoneListChanged();
    onPhoneStateChanged(transport.id, state);
}

void SessionHandler::onConnected(PhoneTransport&) {}

void SessionHandler::onConnectFailed(PhoneTransport& transport) {
    onSessionEnded();
    setPhoneState(transport, PhoneState::Failed);
}

void SessionHandler::onDisconnected(PhoneTransport& transport) {
    const PhoneId& id = transport.id();
    const bool smallId = id[0] <= 4 && std::all_of(id.begin() + 1, id.end(), [](std::uint8_t b) { return b == 0; });
    if (smallId) {
        setPhoneState(transport, PhoneState::Failed);
    } else if (registry().getPhoneState(id) != PhoneState::PasscodeRequired) {
        // A challenged phone keeps PasscodeRequired until a passcode is set.
        setPhoneState(transport, PhoneState::Idle);
    }
    onSessionEnded();
}

// ---- Dispatch --------------------------------------------------------------

void SessionHandler::onMessage(PhoneTransport& transport, const std::uint8_t* message, std::uint32_t length) {
    if (message == nullptr || length < protocol::kHeaderSize) return;
    switch (protocol::headerType(message)) {
    case protocol::kPing: {
        onPing(transport, message, length);
        uploadErrorRecord(transport);
        const auto reply = protocol::buildPingReply();
        transport.send(reply.data(), reply.size());
        break;
    }
    case protocol::kCapabilities: {
        const auto version = protocol::buildEngineVersion();
        transport.send(version.data(), version.size());
        uploadErrorRecord(transport);
        onCapabilities(transport, message, length);
        break;
    }
    case protocol::kNameList:
        onNameList(message, length);
        break;
    case protocol::kVideo: {
        protocol::PayloadView payload;
        if (!protocol::parsePayload(message, length, payload)) break;  // too short to carry a packet
        if (registry().startsStreaming(transport.id())) setPhoneState(transport, PhoneState::Streaming);
        onVideo(payload.data, payload.length, payload.tagBits);
        break;
    }
    case protocol::kAudio:
        decodeAudio(message, length);
        break;
    case protocol::kTiming:
        onTiming(message, length);
        break;
    case protocol::kIgnored13:
        break;
    case protocol::kType14:
        onType14(message, length);
        break;
    case protocol::kStreamStart:
        if (registry().startsStreaming(transport.id())) setPhoneState(transport, PhoneState::Streaming);
        onStreamStart(message, length);
        break;
    case protocol::kStreamStop:
        setPhoneState(transport, PhoneState::Idle);
        onSessionEnded();
        break;
    case protocol::kButton: {
        const auto words = protocol::readTwoWords(message, length);
        onButtonState(static_cast<std::int32_t>(words[0]), static_cast<std::int32_t>(words[1]));
        break;
    }
    case protocol::kReport19:
        onReport19(message, length);
        break;
    case protocol::kReport20:
        onReport20(message, length);
        break;
    case protocol::kReport21:
        onReport21(message, length);
        break;
    case protocol::kReport22:
        onReport22(message, length);
        break;
    case protocol::kFocusDistance:
        onFocusDistanceState(message, length);
        break;
    case protocol::kPhoneInfo: {
        protocol::PhoneInfoFields info;
        if (!protocol::parsePhoneInfo(message, length, info)) break;
        registry().applyPhoneInfo(info.id, transport.id(), info.kind, info.name);
        onPhoneListChanged();
        break;
    }
    case protocol::kChallenge:
        answerChallenge(*this, transport, message, length);
        break;
    default:
        break;  // unknown types are skipped; the session goes on
    }
}

void SessionHandler::decodeAudio(const std::uint8_t* message, std::uint32_t length) {
    protocol::PayloadView payload;
    if (!protocol::parsePayload(message, length, payload)) return;
    // An empty packet carries no sound; the decoder would only conceal a
    // lost packet over the whole buffer.
    if (opus_ == nullptr || payload.length == 0) return;
    const int n = opus_decode(opus_, payload.data, static_cast<opus_int32>(payload.length), samples_,
                              kAudioBufferSamples, 0);
    if (n > 0) onAudio(samples_, static_cast<std::uint32_t>(n) * 2u);
}

// ---- Phone sinks -----------------------------------------------------------

void SessionHandler::PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name, const sockaddr* address,
                                std::uint16_t portBe) {
    if (registry().networkPhoneFound(id, kind, name, address, portBe)) onPhoneListChanged();
}

void SessionHandler::PhoneFound(const PhoneId& id, std::uint16_t kind, std::uint32_t handle, bool isUsb,
                                std::string_view name) {
    if (registry().iosPhoneFound(id, kind, handle, isUsb, name)) onPhoneListChanged();
}

void SessionHandler::PhoneLost(std::uint32_t handle) {
    if (registry().iosPhoneLost(handle)) onPhoneListChanged();
}

void SessionHandler::PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                                std::uint16_t localPort) {
    if (registry().androidPhoneFound(id, kind, name, localPort)) onPhoneListChanged();
}

void SessionHandler::PhoneLost(const PhoneId& id) {
    if (registry().androidPhoneLost(id)) onPhoneListChanged();
}

}  // namespace tavin
