// How the session layer reaches a phone through the usbmuxd service.
//
// The session layer does not talk to usbmuxd itself: an engine instance is
// handed a UsbmuxTransportFactory (not owned) that makes the connection to
// the phone's session port and returns the transport, not yet reading. The
// session layer records the phone as Connecting first and then starts the
// receive loop, so that no event of the new transport can overtake that
// state. Without a factory, usbmuxd device handles are not used as paths.
#pragma once

#include <cstdint>
#include <memory>

#include "session/phone_transport.h"
#include "session/protocol.h"

namespace tavin {

// A usbmuxd transport that is connected but whose receive thread has not
// started. Its isUsb() tells whether the device is attached by USB.
class UsbmuxSessionTransport : public PhoneTransport {
public:
    // Starts the receive thread; false when no thread could be started
    // (the transport is then unusable and no listener operation follows).
    virtual bool startReceiving() = 0;
};

// What a usbmuxd session needs to know of the devices usbmuxd reports,
// and where it hands a device back. Implemented by the process-wide
// device list of the iOS watcher; callable from any thread.
class UsbmuxDevices {
public:
    virtual ~UsbmuxDevices() = default;
    // True when the device with this handle is attached by USB; false when
    // it is reached over the network, or unknown.
    virtual bool attachedByUsb(std::uint32_t handle) = 0;
    // The session over this device has ended: the device is to be reported
    // lost and probed again.
    virtual void handBack(std::uint32_t handle) = 0;
};

class UsbmuxTransportFactory {
public:
    virtual ~UsbmuxTransportFactory() = default;

    // Connects to the session port of the device with this usbmuxd handle.
    // Null when usbmuxd cannot connect; no listener operation is called then.
    // The listener hears every event of the returned transport.
    virtual std::shared_ptr<UsbmuxSessionTransport> connect(std::uint32_t handle, const PhoneId& id,
                                                            TransportListener& listener) = 0;
};

}  // namespace tavin
