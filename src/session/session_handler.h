// The session layer of an engine instance: it opens sessions to phones,
// owns their transports, dispatches every received message, turns
// connection events into phone states, decodes audio, and implements the
// three phone sinks on the PhoneRegistry.
//
// The engine instance derives from it and fills in the hooks. All hooks
// except the sink-driven onPhoneListChanged run on a transport's receive
// thread. A derived class calls destroyTransports() in its destructor, so
// that no receive thread calls a hook of a half-destroyed object. The
// discovery services are not created here; the engine instance owns them
// and hands them the sinks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "session/phone_registry.h"
#include "session/phone_sinks.h"
#include "session/phone_transport.h"
#include "session/protocol.h"
#include "session/usbmux_connector.h"

struct OpusDecoder;

namespace tavin {

class SessionHandler : public TransportListener,
                       public NetworkPhoneSink,
                       public IosPhoneSink,
                       public AndroidPhoneSink {
public:
    explicit SessionHandler(int index);
    ~SessionHandler() override;
    SessionHandler(const SessionHandler&) = delete;
    SessionHandler& operator=(const SessionHandler&) = delete;

    int index() const { return index_; }

    // Opens a session to the phone with this id: usbmuxd (when a factory is
    // installed), adb loopback or Wi-Fi by the record's paths. Only a phone
    // in state Idle or Failed is connected. True when a transport was
    // started; the phone is then Connecting. Called by the instance's worker.
    bool connectToPhone(const PhoneId& id);

    // The usbmuxd connector (not owned; null: usbmuxd handles are not used
    // as paths). Set before connectToPhone runs.
    void setUsbmuxFactory(UsbmuxTransportFactory* factory) { usbmuxFactory_.store(factory); }

    // Idle time-out of the TCP sessions this handler opens from now on
    // (10 s unless changed; 0 or less disables it). For tests and tools.
    void setIdleTimeout(double seconds) { idleTimeout_.store(seconds); }

    // True when the last connectToPhone connected over a USB path (a
    // usbmuxd USB handle or an adb loopback port); false after it fell back
    // to the Wi-Fi address.
    bool viaUsb() const { return viaUsb_.load(); }

    // Stops and frees the TCP transport and then the usbmuxd transport,
    // when present; *lastId (when given) gets the id of the last one freed
    // and *hadOne whether any was. Safe on a transport's own receive thread
    // (inside a hook): that transport then only stops, raises no further
    // event, and is waited for by the next call from another thread.
    void destroyTransports(PhoneId* lastId = nullptr, bool* hadOne = nullptr);

    // The owned transport behind a listener argument, to keep it alive
    // while it is used beyond the call (null when it is not ours, or no
    // longer: a destroyed transport is never handed out again).
    std::shared_ptr<PhoneTransport> shared(PhoneTransport& transport);

    // TransportListener.
    void onConnected(PhoneTransport& transport) override;
    void onConnectFailed(PhoneTransport& transport) override;
    void onDisconnected(PhoneTransport& transport) override;
    void onMessage(PhoneTransport& transport, const std::uint8_t* message, std::uint32_t length) override;

    // Phone sinks (registry writes, then onPhoneListChanged).
    void PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name, const sockaddr* address,
                    std::uint16_t portBe) override;
    void PhoneFound(const PhoneId& id, std::uint16_t kind, std::uint32_t handle, bool isUsb,
                    std::string_view name) override;
    void PhoneLost(std::uint32_t handle) override;
    void PhoneFound(const PhoneId& id, std::uint16_t kind, std::string_view name,
                    std::uint16_t localPort) override;
    void PhoneLost(const PhoneId& id) override;

    NetworkPhoneSink& networkSink() { return *this; }
    IosPhoneSink& iosSink() { return *this; }
    AndroidPhoneSink& androidSink() { return *this; }

    // Records a session outcome for the transport's phone, then raises the
    // hooks (onPhoneListChanged when due, then onPhoneStateChanged always),
    // with no lock held.
    void setPhoneState(PhoneTransport& transport, PhoneState state);
    void setPhoneState(const TransportIdentity& transport, PhoneState state);

    // Hooks.
    virtual void onPhoneListChanged() {}
    virtual void onPhoneStateChanged(const PhoneId& id, PhoneState state) = 0;
    virtual void onSessionEnded() = 0;
    virtual void onPing(PhoneTransport&, const std::uint8_t*, std::uint32_t) {}
    virtual void onCapabilities(PhoneTransport&, const std::uint8_t*, std::uint32_t) {}
    virtual void onNameList(const std::uint8_t*, std::uint32_t) {}
    virtual void onButtonState(std::int32_t /*code*/, std::int32_t /*value*/) {}
    virtual void onReport19(const std::uint8_t*, std::uint32_t) {}
    virtual void onReport20(const std::uint8_t*, std::uint32_t) {}
    virtual void onReport21(const std::uint8_t*, std::uint32_t) {}
    virtual void onReport22(const std::uint8_t*, std::uint32_t) {}
    virtual void onFocusDistanceState(const std::uint8_t*, std::uint32_t) {}
    virtual void onVideo(const std::uint8_t* /*payload*/, std::uint32_t /*length*/, std::uint32_t /*tagBits*/) {}
    virtual void onAudio(const std::int16_t* /*samples*/, std::uint32_t /*byteCount*/) {}
    virtual void onTiming(const std::uint8_t*, std::uint32_t) {}
    virtual void onStreamStart(const std::uint8_t*, std::uint32_t) {}
    virtual void onType14(const std::uint8_t*, std::uint32_t) {}
    virtual std::uint64_t passcodeHash(const PhoneId& id) = 0;

private:
    // Stops a transport and lets it go. On its own receive thread the stop
    // only clears `running`; the transport is then kept until reapDeferred
    // runs on another thread and can wait for that thread to end.
    void retire(std::shared_ptr<PhoneTransport> transport);
    // Frees transports whose destruction was deferred.
    void reapDeferred();
    bool connectUsbmux(UsbmuxTransportFactory& factory, const PhoneId& id, std::uint32_t handle, bool haveAddress);
    bool connectTcp(const PhoneId& id, const PeerAddress& address);
    void decodeAudio(const std::uint8_t* message, std::uint32_t length);

    const int index_;
    std::atomic<bool> viaUsb_{false};
    std::atomic<UsbmuxTransportFactory*> usbmuxFactory_{nullptr};
    std::atomic<double> idleTimeout_{10.0};
    std::mutex transportsLock_;
    std::shared_ptr<PhoneTransport> tcp_;
    // The phone tcp_ was made for. The transport's own id is written by its
    // start, which may run while another slot's worker lets this session go.
    PhoneId tcpId_{};
    std::shared_ptr<PhoneTransport> usbmux_;
    std::vector<std::shared_ptr<PhoneTransport>> deferred_;
    OpusDecoder* opus_ = nullptr;
    std::int16_t samples_[23040] = {};
};

}  // namespace tavin
