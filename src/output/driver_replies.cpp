#include "output/driver_replies.h"

#include "output/driver_layout.h"
#include "platform/byte_order.h"

namespace tavin::driver {

std::uint32_t replyWord(const std::uint8_t* reply, std::uint32_t returned, std::size_t offset) {
    return offset + 4 <= returned ? readLe32(reply + offset) : 0;
}

QueryReply readQueryReply(const std::uint8_t* reply, std::uint32_t returned) {
    namespace qr = query_reply;
    QueryReply out;
    out.version = replyWord(reply, returned, qr::kVersion);
    out.width = replyWord(reply, returned, qr::kWidth);
    out.height = replyWord(reply, returned, qr::kHeight);
    out.streaming = replyWord(reply, returned, qr::kStreaming) != 0;
    out.kind = replyWord(reply, returned, qr::kKindFlag) != 0 ? kYuy2 : kBgr24;
    out.fps = rateFromInterval(replyWord(reply, returned, qr::kInterval));
    return out;
}

WriteReply readWriteReply(const std::uint8_t* reply, std::uint32_t returned) {
    namespace wr = write_reply;
    WriteReply out;
    out.streaming = replyWord(reply, returned, wr::kStreaming) != 0;
    out.width = replyWord(reply, returned, wr::kWidth);
    out.height = replyWord(reply, returned, wr::kHeight);
    out.kind = replyWord(reply, returned, wr::kKindFlag) != 0 ? kYuy2 : kBgr24;
    out.fps = rateFromInterval(replyWord(reply, returned, wr::kInterval));
    out.hasControls = returned >= wr::kSize;
    out.controlA = static_cast<std::int32_t>(replyWord(reply, returned, wr::kControlA));
    out.controlB = replyWord(reply, returned, wr::kControlB);
    return out;
}

std::uint32_t readAudioLevel(const std::uint8_t* reply, std::uint32_t returned) {
    return replyWord(reply, returned, kAudioWriteLevel);
}

}  // namespace tavin::driver
