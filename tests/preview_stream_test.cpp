// The preview of a streaming phone: the picture the phone simulator encodes
// reaches the host's surface through decoding, publishing and Render.
//
// The test needs decoded pictures: while the engine publishes none (no video
// decoder is installed), it skips.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <vector>

#include "engine.h"
#include "engine/engine_instance.h"
#include "engine/instance_table.h"
#include "output/preview_picture.h"
#include "platform/clock.h"
#include "support/engine_support.h"
#include "support/session_support.h"
#include "support/video_support.h"

using namespace tavin;
using test::OpenedEngine;

namespace {

std::atomic<int> g_frameWidth{0};
std::atomic<int> g_frameHeight{0};

void onFrameSize(int32_t, int32_t width, int32_t height) {
    g_frameHeight.store(height);
    g_frameWidth.store(width);
}
int32_t onFormats(int32_t, const char*) { return 0; }

TEST_F(OpenedEngine, TheSurfaceShowsThePhonesPicture) {
    if (!test::PhoneProcess::available()) GTEST_SKIP() << "the phone simulator is not built";
    Destroy();
    open(1, {"--consumer", "--format", "640x480@30:1"});
    SetCallback(0, nullptr, onFrameSize, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, onFormats);
    ESetActiveIdx(0);

    const double start = platform::processClock();
    test::PhoneProcess phone({"--formats", "640x480@30", "--stream-unasked", "--no-log"});
    ASSERT_TRUE(phone.started());
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const PhoneId id{0x7a, 0x3c, 0x0e, 0x51, 0xd2, 0xb8, 0x4f, 0x96, 0xa1, 0xc5, 0xe0, 0xf3, 0xb7, 0xd2, 0x94, 0x86};
    InstanceTable::at(0)->networkSink().PhoneFound(id, 7, "", reinterpret_cast<sockaddr*>(&a),
                                                   htons(phone.sessionPort()));

    ASSERT_TRUE(test::waitFor([] { return test::hostLog().hasStatus(0, 3); }, 20.0)) << "the phone never streamed";
    if (!test::waitFor([] { return g_frameWidth.load() > 0; }, 10.0)) {
        GTEST_SKIP() << "the engine publishes no decoded pictures (no video decoder installed)";
    }
    const int width = g_frameWidth.load(), height = g_frameHeight.load();
    ASSERT_EQ(width, 640);
    ASSERT_EQ(height, 480);

    // A surface of the picture's size: Render copies it unscaled.
    ASSERT_EQ(SetSize(static_cast<uint32_t>(width), static_cast<uint32_t>(height)), 0);
    EnginePreviewSurface* surface = nullptr;
    ASSERT_EQ(GetBackBufferNoRef(&surface), 0);
    ASSERT_NE(surface, nullptr);
    PreviewPicture& picture = PreviewPicture::process();
    bool drawn = false;
    ASSERT_TRUE(test::waitFor(
        [&] {
            const bool pending = picture.ready();
            EXPECT_EQ(Render(), 0);
            drawn = pending && !picture.ready();
            return drawn;
        },
        10.0));

    // The simulator draws frame n at n / 30 s of its stream: the best match
    // among the frames it can have sent so far is the picture shown, up to
    // the losses of encoding (a mean difference below 1 here; another frame
    // differs by 30 or more).
    test::SimulatorPicture reference(width, height, AV_PIX_FMT_BGRA);
    ASSERT_TRUE(reference.valid());
    const auto frames = static_cast<std::uint64_t>((platform::processClock() - start + 2.0) * 30.0);
    EXPECT_LT(reference.bestDifference(surface->bits, surface->pitch, frames), 4.0) << "mean difference per colour byte";
    Destroy();
}

}  // namespace
