#include "audio_node.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstdio>

#include "output/driver_layout.h"

namespace tavin::webcamd {
namespace {

constexpr std::uint32_t kRate = 48'000;
constexpr std::uint32_t kBytesPerFrame = 2;  // one 16-bit channel
// Frames given to a cycle that does not say how many it wants: 20 ms.
constexpr std::uint32_t kDefaultFrames = kRate / 50;

}  // namespace

AudioNode::AudioNode(int index, PipewireConnection& pipewire, driverside::Console& console)
    : index_(index), pipewire_(pipewire), console_(console) {}

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
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
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

void AudioNode::dropStream() {
    if (!stream_) return;
    PipewireConnection::Lock lock(pipewire_);
    std::lock_guard<std::mutex> guard(streamLock_);
    spa_hook_remove(&streamListener_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
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
        self->console_.line("audio %d consumer %s", self->index_, reading ? "on" : "off");
    }
    if (state == PW_STREAM_STATE_ERROR)
        self->console_.line("audio %d stream error: %s", self->index_, error ? error : "");
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
