#include "audio_node.h"

#include <spa/param/audio/format-utils.h>

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "output/driver_layout.h"

namespace tavin::webcamd {
namespace {

constexpr std::uint32_t kRate = 48'000;
constexpr std::uint32_t kBytesPerFrame = 2;  // one 16-bit channel
// Frames given to a cycle that does not say how many it wants: 20 ms.
constexpr std::uint32_t kDefaultFrames = kRate / 50;
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;

std::uint64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * kNsPerSecond + static_cast<std::uint64_t>(t.tv_nsec);
}

}  // namespace

AudioNode::AudioNode(int index, PipewireConnection& pipewire, driverside::Console& console)
    : index_(index), pipewire_(pipewire), console_(console), cycleFrames_(kDefaultFrames) {}

AudioNode::~AudioNode() { dropStream(); }

std::uint32_t AudioNode::play(const std::uint8_t* samples, std::uint32_t length) {
    std::lock_guard<std::mutex> guard(streamLock_);
    if (!stream_ || !reading_.load()) return length;
    const std::size_t held = buffer_.push(samples, length);
    // What the stream queued and the graph has not taken yet, and what its
    // converter holds (frames, as our buffers state their size in frames).
    pw_time time{};
    std::uint64_t queued = 0;
    if (pw_stream_get_time_n(stream_, &time, sizeof time) == 0)
        queued = (time.queued + time.buffered) * kBytesPerFrame;
    const std::uint64_t level = held + queued;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(level, UINT32_MAX));
}

bool AudioNode::makeStream() {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS, "Audio/Source",
        PW_KEY_NODE_DESCRIPTION, driver::kAudioNames[index_], PW_KEY_NODE_NICK, driver::kAudioNames[index_],
        nullptr);
    pw_properties_set(props, PW_KEY_NODE_NAME, nodeName("tavin-webcam-audio", index_).c_str());
    stream_ = pw_stream_new(pipewire_.core(), driver::kAudioNames[index_], props);
    if (!stream_) return false;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &AudioNode::onStateChanged;
        e.process = &AudioNode::onProcess;
        return e;
    }();
    streamListener_ = spa_hook{};
    pw_stream_add_listener(stream_, &streamListener_, &events, this);

    std::uint8_t podBuffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = kRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(pipewire_.loop()), &AudioNode::onTimer, this);
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    if (!timer_ || pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        destroyStream();
        return false;
    }
    return true;
}

void AudioNode::maintain() {
    const bool want = wanted_.load() && pipewire_.connected();
    if (want == (stream_ != nullptr)) return;
    if (!want) {
        dropStream();
        return;
    }
    PipewireConnection::Lock lock(pipewire_);
    std::lock_guard<std::mutex> guard(streamLock_);
    if (makeStream())
        console_.line("audio %d node \"%s\" published", index_, driver::kAudioNames[index_]);
    else
        console_.line("audio %d node cannot be made", index_);
}

void AudioNode::destroyStream() {
    spa_hook_remove(&streamListener_);  // no state change reaches the timer any more
    if (timer_) pw_loop_destroy_source(pw_thread_loop_get_loop(pipewire_.loop()), timer_);
    timer_ = nullptr;
    pw_stream_destroy(stream_);
    stream_ = nullptr;
}

void AudioNode::dropStream() {
    if (!stream_) return;
    PipewireConnection::Lock lock(pipewire_);
    std::lock_guard<std::mutex> guard(streamLock_);
    destroyStream();
    reading_.store(false);
    buffer_.clear();
    console_.line("audio %d node withdrawn", index_);
}

void AudioNode::onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    (void)old;
    auto* self = static_cast<AudioNode*>(data);
    const bool reading = state == PW_STREAM_STATE_STREAMING;
    if (reading != self->reading_.exchange(reading)) {
        self->buffer_.clear();  // a new reader starts from fresh sound
        self->armTimer(reading);
        self->console_.line("audio %d consumer %s", self->index_, reading ? "on" : "off");
    }
    if (state == PW_STREAM_STATE_ERROR)
        self->console_.line("audio %d stream error: %s", self->index_, error ? error : "");
}

void AudioNode::armTimer(bool on) {
    pw_loop* loop = pw_thread_loop_get_loop(pipewire_.loop());
    if (!timer_) return;
    if (!on) {
        pw_loop_update_timer(loop, timer_, nullptr, nullptr, false);
        return;
    }
    nextCycleNs_ = monotonicNs();
    timespec first{static_cast<time_t>(nextCycleNs_ / kNsPerSecond), static_cast<long>(nextCycleNs_ % kNsPerSecond)};
    pw_loop_update_timer(loop, timer_, &first, nullptr, true);
}

void AudioNode::onTimer(void* data, std::uint64_t expirations) {
    (void)expirations;
    auto* self = static_cast<AudioNode*>(data);
    if (!self->stream_ || !self->reading_.load()) return;
    // A device leading the graph makes the cycles; the timer keeps time
    // only while this node leads.
    if (pw_stream_is_driving(self->stream_)) pw_stream_trigger_process(self->stream_);
    // The next cycle one quantum after this one's due time, so that late
    // ticks do not add up to a slow clock.
    self->nextCycleNs_ += static_cast<std::uint64_t>(self->cycleFrames_.load()) * kNsPerSecond / kRate;
    const std::uint64_t now = monotonicNs();
    if (self->nextCycleNs_ + kNsPerSecond / 10 < now) self->nextCycleNs_ = now;  // fell far behind: resume
    timespec next{static_cast<time_t>(self->nextCycleNs_ / kNsPerSecond),
                  static_cast<long>(self->nextCycleNs_ % kNsPerSecond)};
    pw_loop_update_timer(pw_thread_loop_get_loop(self->pipewire_.loop()), self->timer_, &next, nullptr, true);
}

void AudioNode::onProcess(void* data) {
    auto* self = static_cast<AudioNode*>(data);
    // The graph's data thread: the stream exists while it runs.
    pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
    if (!b) return;
    spa_data& d = b->buffer->datas[0];
    if (!d.data) {
        pw_stream_queue_buffer(self->stream_, b);
        return;
    }
    std::uint32_t frames = d.maxsize / kBytesPerFrame;
    const std::uint32_t wanted = b->requested ? static_cast<std::uint32_t>(b->requested) : kDefaultFrames;
    frames = std::min(frames, wanted);
    self->cycleFrames_.store(std::max<std::uint32_t>(frames, 1));
    self->buffer_.pull(static_cast<std::uint8_t*>(d.data), frames * kBytesPerFrame);
    d.chunk->offset = 0;
    d.chunk->stride = kBytesPerFrame;
    d.chunk->size = frames * kBytesPerFrame;
    b->size = frames;  // time.queued counts frames
    pw_stream_queue_buffer(self->stream_, b);
}

std::string AudioNode::statsText() const {
    char text[160];
    std::snprintf(text, sizeof text, "reading %s level %zu dropped %llu underruns %llu",
                  reading_.load() ? "yes" : "no", buffer_.level(),
                  static_cast<unsigned long long>(buffer_.droppedBytes()),
                  static_cast<unsigned long long>(buffer_.underruns()));
    return text;
}

}  // namespace tavin::webcamd
