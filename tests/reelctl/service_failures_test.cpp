// Failures of the media services called directly: a session that cannot be
// made, or an export that fails, says which step failed beside the library's
// own text (reelctl prints only its fixed messages; transcode_test checks
// those), and a frame buffer that does not match its size is refused in words
// of its own.
#include <gtest/gtest.h>

#include <string>

#include "exporter/exporter.h"
#include "frames/frames.h"
#include "media/asset.h"
#include "proc.h"

namespace {

std::string clip(const std::string& name) {
    return testsupport::fixture("reelctl/service_failures/" + name);
}

using Session = platform::Result<std::unique_ptr<exporter::ExportSession>>;

Session sessionFor(media::Asset& asset) {
    return exporter::ExportSession::create(asset, exporter::ExportPreset::hd1920x1080);
}

}  // namespace

TEST(ExportSession, NoSessionSaysWhichStepFailed) {
    struct Case {
        std::string path, step, text;
    } cases[] = {
        {clip("audio.m4a"), "finding the video track", "Stream not found"},
        {clip("nodecoder.mp4"), "opening the video decoder", "Decoder not found"},
        {clip("missing.mp4"), "opening the input", "No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        media::Asset asset(c.path);
        Session session = sessionFor(asset);
        ASSERT_FALSE(session.ok());
        EXPECT_EQ(session.step(), c.step);
        EXPECT_EQ(session.error(), c.text);
        EXPECT_EQ(session.described(), c.step + ": " + c.text);
    }
}

TEST(ExportSession, ExportReportsSuccessOrTheFailingStep) {
    std::string dir = testsupport::scratchDir("exporter");
    media::Asset asset(clip("clip.mp4"));
    Session session = sessionFor(asset);
    ASSERT_TRUE(session.ok()) << session.described();

    std::string nowhere = dir + "/no/such/folder/out.mp4";
    auto failed = session.value()->exportTo(nowhere, exporter::FileType::mpeg4);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.step(), "opening " + nowhere);
    EXPECT_EQ(failed.error(), "No such file or directory");

    media::Asset again(clip("clip.mp4"));
    Session fresh = sessionFor(again);
    ASSERT_TRUE(fresh.ok()) << fresh.described();
    std::string out = dir + "/out.mp4";
    auto exported = fresh.value()->exportTo(out, exporter::FileType::mpeg4);
    ASSERT_TRUE(exported.ok()) << exported.described();
    auto probe = testsupport::run({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                                   "stream=codec_name", "-of", "csv=p=0", out});
    EXPECT_EQ(probe.out, "h264\naac\n");
}

TEST(ExportSession, InterruptedExportSaysSo) {
    std::string dir = testsupport::scratchDir("exporter-interrupt");
    media::Asset asset(clip("clip.mp4"));
    Session session = sessionFor(asset);
    ASSERT_TRUE(session.ok()) << session.described();
    session.value()->setInterruptCheck([] { return true; });
    auto stopped = session.value()->exportTo(dir + "/out.mp4", exporter::FileType::mpeg4);
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error(), "Immediate exit requested");
}

// A buffer that does not match its image is refused in words of its own, not
// with a library's error code.
TEST(Resize, MismatchedPixelsAreTheirOwnFailure) {
    frames::Image short_{4, 4, std::vector<uint8_t>(4 * 4 * 3 - 1)};
    auto mismatched = frames::resized(short_, 2, 2);
    ASSERT_FALSE(mismatched.ok());
    EXPECT_EQ(mismatched.error(), "the image's pixels do not fill its size");

    auto empty = frames::resized(frames::Image{}, 2, 2);
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error(), "an image without pixels has no resized form");

    frames::Image whole{4, 4, std::vector<uint8_t>(4 * 4 * 3, 200)};
    auto halved = frames::resized(whole, 2, 2);
    ASSERT_TRUE(halved.ok()) << halved.error();
    EXPECT_EQ(halved.value().rgb.size(), 2u * 2 * 3);
}
