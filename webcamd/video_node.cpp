#include "video_node.h"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <time.h>

#include <cstdio>
#include <cstring>

#include "output/driver_layout.h"
#include "platform/clock.h"

namespace tavin::webcamd {
namespace {

// Room for every EnumFormat object: at most 31 sizes in 3 kinds, each a few
// hundred bytes.
constexpr std::size_t kPodBufferBytes = 64 * 1024;
constexpr int kMinBuffers = 2, kDefaultBuffers = 4, kMaxBuffers = 8;

spa_video_format spaFormatOf(std::int32_t kind) {
    switch (kind) {
        case driver::kYuy2: return SPA_VIDEO_FORMAT_YUY2;
        case driver::kI420: return SPA_VIDEO_FORMAT_I420;
        case driver::kBgr24: return SPA_VIDEO_FORMAT_BGR;
        default: return SPA_VIDEO_FORMAT_UNKNOWN;
    }
}

std::int32_t kindOf(std::uint32_t spaFormat) {
    for (std::int32_t kind : kOfferedKinds)
        if (spaFormatOf(kind) == spaFormat) return kind;
    return -1;
}

std::uint64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
}

}  // namespace

VideoNode::VideoNode(int index, PipewireConnection& pipewire, driverside::Console& console)
    : index_(index),
      pipewire_(pipewire),
      console_(console),
      offers_(offeredSizes(driverside::DriverFormatList{})),
      podBuffer_(std::make_unique<std::uint8_t[]>(kPodBufferBytes)) {}

VideoNode::~VideoNode() { dropStream(); }

std::vector<const spa_pod*> VideoNode::buildOffer(const std::vector<OfferedSize>& offers) {
    std::vector<const spa_pod*> params;
    spa_pod_builder b = SPA_POD_BUILDER_INIT(podBuffer_.get(), static_cast<std::uint32_t>(kPodBufferBytes));
    for (std::int32_t kind : kOfferedKinds) {
        for (const OfferedSize& size : offers) {
            if (!kindOffered(kind, size.width, size.height) || size.rates.empty()) continue;
            spa_pod_frame object{};
            spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
            spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                                SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                                SPA_POD_Id(spaFormatOf(kind)), 0);
            const spa_rectangle rect{static_cast<std::uint32_t>(size.width), static_cast<std::uint32_t>(size.height)};
            spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
            spa_pod_builder_rectangle(&b, rect.width, rect.height);
            // An enumeration lists its default first, then every choice.
            spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
            spa_pod_frame choice{};
            spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
            spa_pod_builder_fraction(&b, size.rates.front().num, size.rates.front().den);
            for (const Rate& r : size.rates) spa_pod_builder_fraction(&b, r.num, r.den);
            spa_pod_builder_pop(&b, &choice);
            if (const auto* pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object)))
                params.push_back(pod);
        }
    }
    return params;
}

void VideoNode::offer(const std::vector<OfferedSize>& offers) {
    std::vector<const spa_pod*> params = buildOffer(offers);
    pw_stream_update_params(stream_, params.data(), static_cast<std::uint32_t>(params.size()));
}

bool VideoNode::makeStream() {
    const char* name = driver::kCameraNames[index_];
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                          PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_DESCRIPTION, name, PW_KEY_NODE_NICK, name,
                          nullptr);
    pw_properties_set(props, PW_KEY_NODE_NAME, nodeName("tavin-webcam", index_).c_str());
    stream_ = pw_stream_new(pipewire_.core(), name, props);
    if (!stream_) return false;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &VideoNode::onStateChanged;
        e.param_changed = &VideoNode::onParamChanged;
        return e;
    }();
    streamListener_ = spa_hook{};
    pw_stream_add_listener(stream_, &streamListener_, &events, this);
    std::vector<const spa_pod*> params = buildOffer(offers_);
    // The node drives its graph (a picture is ready when the engine wrote
    // one); the graph's work for it runs on the data thread.
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params.data(),
                          static_cast<std::uint32_t>(params.size())) < 0) {
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
        return false;
    }
    return true;
}

void VideoNode::maintain() {
    const bool want = wanted_ && camera_ && pipewire_.connected();
    if (want == (stream_ != nullptr)) return;
    if (!want) {
        dropStream();
        return;
    }
    stamps_.reset();
    PipewireConnection::Lock lock(pipewire_);
    if (makeStream())
        console_.line("camera %d node \"%s\" published", index_, driver::kCameraNames[index_]);
    else
        console_.line("camera %d node cannot be made", index_);
}

void VideoNode::dropStream() {
    if (!stream_) return;
    {
        PipewireConnection::Lock lock(pipewire_);
        if (pending_) pw_stream_queue_buffer(stream_, pending_);
        pending_ = nullptr;
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    reading_.store(false);
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        layout_ = {};
    }
    if (camera_) {
        camera_->setConsumer(false);
        camera_->setRequest({});
    }
    console_.line("camera %d node withdrawn", index_);
}

void VideoNode::formatListChanged(const driverside::DriverFormatList& list) {
    std::vector<OfferedSize> offers = offeredSizes(list);
    if (!stream_) {
        offers_ = std::move(offers);
        return;
    }
    PipewireConnection::Lock lock(pipewire_);
    if (offers == offers_) return;
    offers_ = std::move(offers);
    // A consumer keeps the format it negotiated (the engine still writes
    // it); consumers that connect from now on choose from the new offer.
    offer(offers_);
    console_.line("camera %d offers %zu sizes", index_, offers_.size());
}

void VideoNode::formatChanged(const spa_pod* param) {
    if (!param) {
        // The consumers are gone: no request stands.
        {
            std::lock_guard<std::mutex> guard(formatLock_);
            layout_ = {};
        }
        camera_->setRequest({});
        return;
    }
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0)
        return;
    NegotiatedFormat negotiated{kindOf(info.format), static_cast<std::int32_t>(info.size.width),
                                static_cast<std::int32_t>(info.size.height),
                                Rate{info.framerate.num, info.framerate.denom}};
    const RequestChoice choice = requestFor(negotiated, offers_);
    if (choice.request.width == 0) return;
    const driverside::RequestedFormat& r = choice.request;
    if (!choice.exact) {
        // Not one of ours: offer only the nearest, so that the consumer
        // negotiates again, and never ask the engine for what it cannot write.
        console_.line("camera %d consumer format %ux%u not offered; offering %dx%d", index_, info.size.width,
                      info.size.height, r.width, r.height);
        offer({OfferedSize{r.width, r.height, {Rate{static_cast<std::uint32_t>(r.fps * 1000.0f), 1000}}}});
        return;
    }
    const driverside::PictureLayout layout{r.width, r.height, r.kind};
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        layout_ = layout;
    }
    camera_->setRequest(r);
    console_.line("camera %d consumer format %s", index_, driverside::formatText(r).c_str());

    const auto bytes = static_cast<std::int32_t>(driverside::layoutBytes(layout));
    const auto stride = static_cast<std::int32_t>(driverside::rowBytes(layout));
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kDefaultBuffers, kMinBuffers, kMaxBuffers), SPA_PARAM_BUFFERS_blocks,
        SPA_POD_Int(1), SPA_PARAM_BUFFERS_size, SPA_POD_Int(bytes), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                   SPA_POD_Int(static_cast<std::int32_t>(sizeof(spa_meta_header)))));
    pw_stream_update_params(stream_, params, 2);
}

void VideoNode::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<VideoNode*>(data);
    if (id == SPA_PARAM_Format) self->formatChanged(param);
}

void VideoNode::onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    (void)old;
    auto* self = static_cast<VideoNode*>(data);
    const bool reading = state == PW_STREAM_STATE_STREAMING;
    if (reading != self->reading_.exchange(reading)) {
        self->camera_->setConsumer(reading);
        self->console_.line("camera %d consumer %s", self->index_, reading ? "on" : "off");
    }
    if (state == PW_STREAM_STATE_ERROR)
        self->console_.line("camera %d stream error: %s", self->index_, error ? error : "");
}

void VideoNode::take(const driverside::TakenPicture& picture) {
    if (!stream_ || !reading_.load()) return;
    driverside::PictureLayout layout;
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        layout = layout_;
    }
    const std::size_t bytes = driverside::layoutBytes(layout);
    // A picture of another format (written before the engine followed the
    // consumer's request) is not the consumer's.
    if (bytes == 0 || !(picture.layout == layout) || picture.count != bytes) {
        dropped_.fetch_add(1);
        return;
    }
    pw_buffer* b;
    {
        PipewireConnection::Lock lock(pipewire_);
        b = pw_stream_dequeue_buffer(stream_);
    }
    if (!b) {
        dropped_.fetch_add(1);
        return;
    }
    spa_data& d = b->buffer->datas[0];
    if (!d.data || d.maxsize < bytes) {
        d.chunk->size = 0;
        d.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
        pending_ = b;
        dropped_.fetch_add(1);
        return;
    }
    driverside::copyUpright(static_cast<std::uint8_t*>(d.data), picture.bytes, layout);
    d.chunk->offset = 0;
    d.chunk->size = static_cast<std::uint32_t>(bytes);
    d.chunk->stride = static_cast<std::int32_t>(driverside::rowBytes(layout));
    d.chunk->flags = SPA_CHUNK_FLAG_NONE;
    if (auto* h = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        const float stamp = picture.timeStamp ? *picture.timeStamp : static_cast<float>(platform::processClock());
        h->pts = static_cast<std::int64_t>(stamps_.place(stamp, monotonicNs()));
        h->flags = 0;
        h->dts_offset = 0;
        h->seq = sequence_++;
    }
    pending_ = b;
    pictures_.fetch_add(1);
}

void VideoNode::process() {
    if (!pending_) return;
    PipewireConnection::Lock lock(pipewire_);
    pw_stream_queue_buffer(stream_, pending_);
    pending_ = nullptr;
    pw_stream_trigger_process(stream_);
}

std::string VideoNode::statsText() const {
    driverside::PictureLayout layout;
    {
        std::lock_guard<std::mutex> guard(formatLock_);
        layout = layout_;
    }
    char text[160];
    std::snprintf(text, sizeof text, "reading %s format %dx%d kind %d pictures %llu dropped %llu",
                  reading_.load() ? "yes" : "no", layout.width, layout.height, layout.kind,
                  static_cast<unsigned long long>(pictures_.load()),
                  static_cast<unsigned long long>(dropped_.load()));
    return text;
}

}  // namespace tavin::webcamd
