#include "engine/engine_context.h"

#include "engine/error_record.h"
#include "output/device_enumeration.h"
#include "output/idle_schedule.h"
#include "output/preview_picture.h"
#include "preview/preview_holder.h"
#include "session/phone_registry.h"
#include "session/usbmux_transport.h"

namespace tavin {

// ---- The library's objects -------------------------------------------------

namespace {

// Made together on the first use of any, so that their order, and the
// reverse order in which unloading frees them, is this one: the preview
// holder goes first (a manager the host left behind renders the picture),
// the connector before the device list it reads.
struct LibraryObjects {
    PhoneRegistry phones;
    IosDevices iosDevices;
    UsbmuxConnector usbmux{iosDevices};
    DevicePathTable devicePaths;
    PreviewPicture previewPicture;
    IdleSchedule idleSchedule;
    PreviewHolder previewHolder{previewPicture};
};

LibraryObjects& libraryObjects() {
    static LibraryObjects objects;
    return objects;
}

}  // namespace

PhoneRegistry& PhoneRegistry::instance() { return libraryObjects().phones; }
IosDevices& IosDevices::instance() { return libraryObjects().iosDevices; }
UsbmuxTransportFactory& IosUsbWatcher::connector() { return libraryObjects().usbmux; }
DevicePathTable& devicePathTable() { return libraryObjects().devicePaths; }
PreviewPicture& PreviewPicture::process() { return libraryObjects().previewPicture; }
IdleSchedule& IdleSchedule::process() { return libraryObjects().idleSchedule; }
PreviewHolder& PreviewHolder::process() { return libraryObjects().previewHolder; }

// ---- Instance 0's services -------------------------------------------------

namespace {

std::unique_ptr<platform::AddressChangeEvent> openAddressChange() {
    int error = 0;
    std::unique_ptr<platform::AddressChangeEvent> event = platform::AddressChangeEvent::open(&error);
    // Discovery then runs without restarts on address changes.
    if (!event) recordError(errors::kAddressChangeRequest);
    return event;
}

}  // namespace

EngineContext::EngineContext() : addressChange_(openAddressChange()) {}

EngineContext::~EngineContext() {
    // The members stop their threads in reverse order; the sinks are gone
    // first, so that no service reports while another one stops.
    setSinks(nullptr, nullptr, nullptr);
}

void EngineContext::setSinks(NetworkPhoneSink* network, IosPhoneSink* ios, AndroidPhoneSink* android) {
    wifi_.SetSink(network);
    prober_.SetSink(network);
    ios_.SetSink(ios);
    adb_.SetSink(android);
}

bool EngineContext::takeAddressChange() {
    if (!addressChange_ || !addressChange_->isSignalled()) return false;
    addressChange_->reset();
    return true;
}

}  // namespace tavin
