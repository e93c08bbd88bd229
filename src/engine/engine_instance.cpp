#include "engine/engine_instance.h"

#include <cmath>
#include <cstdlib>

#include "discovery/ios_usb_watcher.h"
#include "engine/engine_context.h"
#include "engine/error_record.h"
#include "engine/formats.h"
#include "engine/instance_table.h"
#include "engine/phone_list.h"
#include "output/preview_picture.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "session/protocol.h"

namespace tavin {

namespace {
// The worker's pacing: an idle pass sleeps this long; the periodic checks
// run once per kPassesPerCycle passes (about a second).
constexpr int kPassMs = 100;
constexpr int kPassesPerCycle = 10;
constexpr int kStartDelaySteps = 20;
constexpr double kReportSpacing = 0.5;  // instance k reports k x 0.5 s after a change
constexpr std::int32_t kUsageUnknown = 0;  // sent right after Capabilities
constexpr std::int32_t kUsageNobody = 1;
constexpr std::int32_t kUsageWatched = 2;

// Serialises the automatic choice of a phone across instances.
constinit std::mutex gSelectionLock;
}  // namespace

// ---- CurrentTransport ----------------------------------------------------

void CurrentTransport::set(std::shared_ptr<PhoneTransport> transport) {
    std::shared_ptr<PhoneTransport> old;
    {
        std::lock_guard<std::mutex> guard(lock_);
        old.swap(transport_);
        transport_ = std::move(transport);
    }
    // `old` is released here, outside the lock; its owner stops it.
}

std::shared_ptr<PhoneTransport> CurrentTransport::get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return transport_;
}

bool CurrentTransport::send(const void* data, std::size_t length) const {
    std::shared_ptr<PhoneTransport> transport = get();
    return transport && transport->send(data, length);
}

// ---- Construction and destruction ----------------------------------------

EngineInstance::EngineInstance(int instanceCount, int index)
    : SessionHandler(index), instanceCount_(instanceCount), host_(index) {
    InstanceRegistry::enter(index, this);
    // iOS phones are reached through usbmuxd from every slot; instance 0
    // watches for them, with the rest of the process-wide services.
    setUsbmuxFactory(&IosUsbWatcher::connector());
    if (index == 0) context_ = std::make_unique<EngineContext>();
}

EngineInstance::~EngineInstance() {
    host_.clear();
    close();
    InstanceRegistry::leave(index());
    close();
    publisher_.reset();
    if (output_) output_->close();
    output_.reset();
    context_.reset();
    std::lock_guard<std::mutex> guard(commandLock_);
    commands_.clear();
}

int EngineInstance::open() {
    if (output_) return 0;  // a slot is opened once
    output_ = std::make_unique<CameraOutput>(index(), static_cast<DriverControlSink&>(*this));
    publisher_ = std::make_unique<FramePublisher>(framePair_, *output_, static_cast<PublishingHost&>(*this),
                                                  PreviewPicture::process());
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        offered_.assign(1, kFallbackFormat);
    }
    const int result = output_->open();
    if (result != 0) {
        close();
        return result;
    }
    if (context_) context_->setSinks(&networkSink(), &iosSink(), &androidSink());

    running_.store(true);
    if (!worker_.start([this] { workerLoop(); })) {
        recordError(errors::kWorkerStart);
        close();
        return kWorkerNotStarted;
    }
    return 0;
}

void EngineInstance::close() {
    running_.store(false);
    worker_.join();
    transport_.clear();
    if (context_) context_->setSinks(nullptr, nullptr, nullptr);
    destroyTransports();
    PhoneRegistry::instance().clear();
    destroyDecoder();
}

void EngineInstance::destroyDecoder() {
    std::unique_ptr<VideoDecoder> decoder;
    {
        std::lock_guard<std::mutex> guard(decoderLock_);
        decoder.swap(decoder_);
        formatCodec_.store(0);
    }
    decoder.reset();  // joins its thread outside the lock
}

void EngineInstance::endStream() {
    destroyDecoder();
    if (output_) output_->setStreaming(false);  // the slots go back to the output thread, emptied
}

void EngineInstance::replaceDecoder(bool hevc) {
    destroyDecoder();
    framePair_.clear();
    if (!publisher_) return;
    std::unique_ptr<VideoDecoder> decoder =
        VideoDecoder::CreateDecoder(*publisher_, framePair_, hevc ? VideoCodec::Hevc : VideoCodec::H264);
    if (!decoder) decoder = VideoDecoder::CreateDecoder(*publisher_, framePair_, VideoCodec::H264);
    if (!decoder) return;  // packets are dropped until the next stream start
    const std::uint32_t codec = decoder->codec() == VideoCodec::H264 ? protocol::format_request::kCodecH264
                                                                     : protocol::format_request::kCodecHevc;
    std::lock_guard<std::mutex> guard(decoderLock_);
    decoder_ = std::move(decoder);
    formatCodec_.store(codec);
}

// ---- Commands and the worker ---------------------------------------------

void EngineInstance::queueCommand(const EngineCommand& command) {
    std::lock_guard<std::mutex> guard(commandLock_);
    commands_.push_back(command);
}

bool EngineInstance::takeCommand(EngineCommand& out) {
    std::lock_guard<std::mutex> guard(commandLock_);
    if (commands_.empty()) return false;
    out = commands_.front();
    commands_.pop_front();
    return true;
}

void EngineInstance::workerLoop() {
    for (int i = 0; i < kStartDelaySteps; ++i) {
        if (!running_.load()) return;
        platform::sleepMs(kPassMs);
    }
    ReportTimer timer;
    while (running_.load()) {
        for (int pass = 0; pass < kPassesPerCycle && running_.load(); ++pass) {
            EngineCommand command;
            if (takeCommand(command)) {
                handleCommand(command, timer);
            } else {
                platform::sleepMs(kPassMs);
            }
            if (timer.take(platform::processClock())) reportPhones();
        }
        if (!running_.load()) break;
        pollUsage();
        pollAddressChange();
        followFormat();
    }
}

void EngineInstance::handleCommand(const EngineCommand& command, ReportTimer& timer) {
    switch (command.kind) {
        case EngineCommand::kSelect: selectPhone(command.id); break;
        case EngineCommand::kReport: timer.request(platform::processClock(), command.delay); break;
        default: break;
    }
}

void EngineInstance::selectPhone(const PhoneId& id) {
    // A phone streams to one slot at most: take it from whoever has it. The
    // other slots are pinned, not locked, while their phone is released: a
    // release joins their receive thread, whose work may need the table.
    std::vector<InstanceRegistry::Pin> losers = InstanceRegistry::pinUntilEmpty(
        [&](EngineInstance& other) { return &other != this && other.currentPhoneId() == id; });
    for (InstanceRegistry::Pin& other : losers) other->releasePhone();
    releasePhone();
    // Claimed before the session starts, so that a session that fails at
    // once (its receive thread clears the claim) leaves the slot free.
    setCurrentPhoneId(id);
    if (!connectToPhone(id)) setCurrentPhoneId(PhoneId{});
    // A slot that lost its phone chooses again, now that this one holds the
    // phone it took and has let go of the one it had: asked any earlier, it
    // would find this slot without a phone, or still holding the old one,
    // and choose nothing until the phone list changes.
    for (InstanceRegistry::Pin& other : losers) other->queueCommand({EngineCommand::kReport, PhoneId{}, 0, 0.0});
}

void EngineInstance::releasePhone() {
    transport_.clear();
    setCurrentPhoneId(PhoneId{});
    PhoneId lastId{};
    bool hadOne = false;
    destroyTransports(&lastId, &hadOne);
    if (hadOne) PhoneRegistry::instance().setStateQuietly(lastId, PhoneState::Idle);
    // The session is gone without an end event: the camera goes back to
    // its idle picture.
    if (output_ && output_->streaming()) endStream();
}

PhoneId EngineInstance::currentPhoneId() const {
    std::lock_guard<std::mutex> guard(phoneIdLock_);
    return currentPhone_;
}

void EngineInstance::setCurrentPhoneId(const PhoneId& id) {
    std::lock_guard<std::mutex> guard(phoneIdLock_);
    currentPhone_ = id;
}

// ---- Phone list and selection --------------------------------------------

void EngineInstance::reportPhones() {
    reportCount_.fetch_add(1);
    lastReportTime_.store(platform::processClock());
    if (isZeroId(currentPhoneId())) {
        autoSelect();
        return;
    }
    const PhoneId current = currentPhoneId();
    const bool usb = viaUsb();
    PhoneListReport report = PhoneRegistry::instance().withRecords(
        [&](const std::vector<std::unique_ptr<PhoneRecord>>& records) {
            return buildPhoneList(records, current, usb);
        });
    if (report.upgradeToUsb) queueCommand({EngineCommand::kSelect, *report.upgradeToUsb, 0, 0.0});
    host_.reportPhoneList(report.entries);
}

void EngineInstance::autoSelect() {
    // Lower slots choose first: wait until every lower instance has a phone.
    bool lowerFree = false;
    for (int k = 0; k < index(); ++k) {
        InstanceRegistry::with(k, [&](EngineInstance* other) {
            if (!other || isZeroId(other->currentPhoneId())) lowerFree = true;
        });
    }
    if (lowerFree) return;

    // One instance chooses at a time. The taken ids are gathered before the
    // registry lock is taken, so that the instance table's lock is never
    // held with the registry's.
    std::lock_guard<std::mutex> selection(gSelectionLock);
    std::vector<PhoneId> taken;
    InstanceRegistry::forEachUntilEmpty(
        [&](int, EngineInstance& instance) { taken.push_back(instance.currentPhoneId()); });
    PhoneId chosen{};
    bool found = false;
    PhoneRegistry::instance().withRecords([&](const std::vector<std::unique_ptr<PhoneRecord>>& records) {
        if (const PhoneRecord* record = chooseFreePhone(records, taken)) {
            chosen = record->id;
            found = true;
            // Claimed at once, so that other instances see it as taken.
            setCurrentPhoneId(chosen);
        }
    });
    if (found && !isZeroId(chosen)) queueCommand({EngineCommand::kSelect, chosen, 0, 0.0});
}

void EngineInstance::selectByKey(const std::string& key) {
    std::optional<PhoneId> id = PhoneRegistry::instance().withRecords(
        [&](const std::vector<std::unique_ptr<PhoneRecord>>& records) { return findByKey(records, key); });
    if (id && !isZeroId(*id)) queueCommand({EngineCommand::kSelect, *id, 0, 0.0});
}

// ---- Periodic checks -----------------------------------------------------

void EngineInstance::pollUsage() {
    if (!output_) return;
    const std::int32_t usage = output_->isConsumerActive() ? kUsageWatched : kUsageNobody;
    if (lastUsage_.exchange(usage) == usage) return;
    sendCameraUsage(usage);
}

void EngineInstance::pollAddressChange() {
    if (!context_ || !context_->takeAddressChange()) return;
    // Interfaces changed: discovery starts again on the new set.
    context_->wifiDiscovery().SetSink(&networkSink());
    context_->iosWatcher().SetSink(&iosSink());
}

void EngineInstance::followFormat() {
    if (!transport_.present()) return;
    const VideoFormat wanted = computeWantedFormat();
    bool changed;
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        changed = formatChanged(current_, wanted);
        if (changed) current_ = wanted;
    }
    if (changed) sendFormatRequest(wanted);
}

VideoFormat EngineInstance::computeWantedFormat() {
    FormatInputs in;
    if (output_) {
        in.consumerActive = output_->isConsumerActive();
        in.output = output_->outputFormat();
    }
    in.active = active_.load();
    in.chosenIndex = chosenFormat_.load();
    std::lock_guard<std::mutex> guard(formatLock_);
    return wantedFormat(offered_, in);
}

VideoFormat EngineInstance::currentFormat() const {
    std::lock_guard<std::mutex> guard(formatLock_);
    return current_;
}

void EngineInstance::sendFormatRequest(const VideoFormat& format) {
    const std::uint32_t codec = formatCodec_.load();
    if (codec == 0 || !transport_.present()) return;
    const auto message = protocol::buildFormatRequest(codec, format);
    transport_.send(message.data(), message.size());
}

void EngineInstance::sendCameraUsage(std::int32_t usage) {
    const auto message = protocol::buildCameraUsage(static_cast<std::uint32_t>(instanceCount_),
                                                    static_cast<std::uint32_t>(index()),
                                                    static_cast<std::uint32_t>(usage));
    transport_.send(message.data(), message.size());
}

void EngineInstance::setVideoFormat(std::int32_t index) {
    chosenFormat_.store(index);
    if (output_) {
        const auto entries = driverFormatList(index, output_->regionMapped() && output_->driverTakesFormatList());
        output_->writeDriverFormatList(entries);
    }
    const VideoFormat wanted = computeWantedFormat();
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        current_ = wanted;
    }
    sendFormatRequest(wanted);
}

// ---- Host controls -------------------------------------------------------

void EngineInstance::buttonEvent(std::int32_t code, std::int32_t value) {
    std::uint32_t word;
    switch (code) {
        case 2: case 3: case 5: case 10: word = 0; break;
        case 4: case 6: case 9: case 14: word = static_cast<std::uint32_t>(value); break;
        case 7: word = floatBits(value < 0 ? -1.0f : static_cast<float>(value) / 10000.0f); break;
        case 8: word = floatBits(static_cast<float>(value) / 10000.0f); break;
        case 11: word = 2; break;
        default: return;
    }
    const auto message = protocol::buildButton(code, word);
    transport_.send(message.data(), message.size());
}

void EngineInstance::focus(float x, float y, std::uint8_t flag) {
    const auto message = protocol::buildFocus(x, y, flag);
    transport_.send(message.data(), message.size());
}

void EngineInstance::focusDistance(std::int32_t mode, float distance) {
    const auto message = protocol::buildFocusDistance(mode, distance);
    transport_.send(message.data(), message.size());
}

void EngineInstance::setBlank(std::uint8_t blank) {
    if (output_) output_->setBlank(blank);
}

void EngineInstance::forwardControlValue(std::int32_t value) {
    const auto message = protocol::buildButton(4, static_cast<std::uint32_t>(value));
    transport_.send(message.data(), message.size());
}

void EngineInstance::forwardControlFlag(std::uint8_t flag) {
    const auto message = protocol::buildButton(2, flag);
    transport_.send(message.data(), message.size());
}

void EngineInstance::sendToPhone(const void* message, std::size_t length) { transport_.send(message, length); }

void EngineInstance::reportFrameSize(std::int32_t width, std::int32_t height) {
    host_.reportFrameSize(width, height);
}

// ---- Session hooks -------------------------------------------------------

void EngineInstance::onPhoneListChanged() {
    InstanceRegistry::forEachPresent([](int k, EngineInstance& instance) {
        instance.queueCommand({EngineCommand::kReport, PhoneId{}, 0, k * kReportSpacing});
    });
}

void EngineInstance::onPhoneStateChanged(const PhoneId&, PhoneState state) {
    reportStatus(index(), static_cast<std::int32_t>(state));
}

void EngineInstance::onSessionEnded() {
    transport_.clear();
    setCurrentPhoneId(PhoneId{});
    endStream();
    queueCommand({EngineCommand::kReport, PhoneId{}, 0, 0.0});
}

void EngineInstance::onCapabilities(PhoneTransport& transport, const std::uint8_t* message, std::uint32_t length) {
    transport_.set(shared(transport));
    lastUsage_.store(kUsageUnknown);

    bool hevc = false;
    std::vector<VideoFormat> offered;
    protocol::parseCapabilities(message, length, hevc, offered);
    normaliseOffered(offered);
    bool portrait = offersPortrait(offered);
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        offered_ = std::move(offered);
    }

    portrait = portrait && output_ && output_->regionMapped() && output_->driverTakesFormatList();
    chosenFormat_.store(host_.reportFormats(formatText(portrait)));

    const VideoFormat wanted = computeWantedFormat();
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        current_ = wanted;
    }

    replaceDecoder(hevc);
    sendFormatRequest(wanted);
    sendCameraUsage(kUsageUnknown);
    // The slots go to the new stream, emptied.
    if (output_) output_->setStreaming(true);
}

void EngineInstance::onNameList(const std::uint8_t* message, std::uint32_t length) {
    std::string joined;
    std::uint32_t value = 0;
    if (protocol::parseNameList(message, length, joined, value)) {
        host_.forwardNames(joined, static_cast<std::int32_t>(value));
    }
}

void EngineInstance::onButtonState(std::int32_t code, std::int32_t value) { host_.forwardType16(code, value); }

// Report19..22 carry four words from offset 4, passed on unchanged.
template <class Forward>
static void forwardReport(const std::uint8_t* message, std::uint32_t length, Forward forward) {
    const auto w = protocol::readReportWords(message, length);
    const std::uint32_t words[4] = {w[0], w[1], w[2], w[3]};
    forward(words);
}

void EngineInstance::onReport19(const std::uint8_t* message, std::uint32_t length) {
    forwardReport(message, length, [this](const std::uint32_t(&w)[4]) { host_.forwardType19(w); });
}

void EngineInstance::onReport20(const std::uint8_t* message, std::uint32_t length) {
    forwardReport(message, length, [this](const std::uint32_t(&w)[4]) { host_.forwardType20(w); });
}

void EngineInstance::onReport21(const std::uint8_t* message, std::uint32_t length) {
    forwardReport(message, length, [this](const std::uint32_t(&w)[4]) { host_.forwardType21(w); });
}

void EngineInstance::onReport22(const std::uint8_t* message, std::uint32_t length) {
    forwardReport(message, length, [this](const std::uint32_t(&w)[4]) { host_.forwardType22(w); });
}

void EngineInstance::onFocusDistanceState(const std::uint8_t* message, std::uint32_t length) {
    const auto words = protocol::readTwoWords(message, length);
    host_.forwardType25(words[0], words[1]);
}

void EngineInstance::onVideo(const std::uint8_t* payload, std::uint32_t length, std::uint32_t tagBits) {
    std::lock_guard<std::mutex> guard(decoderLock_);
    if (decoder_) decoder_->PushPacket(tagBits, payload, length);
}

// On the receive thread. The output outlives every transport: close() and
// the destructor stop the transports before the output is closed.
void EngineInstance::onAudio(const std::int16_t* samples, std::uint32_t byteCount) {
    if (output_) output_->writeAudio(samples, byteCount);
}

std::uint64_t EngineInstance::passcodeHash(const PhoneId& id) {
    return host_.lookupPasscode(id, PhoneRegistry::instance().nameOf(id));
}

}  // namespace tavin
