// The HLS window on its own: a fragmented MP4 cut into its init segment
// and fragments however it arrives (and hostile bytes refused), the
// playlist's text byte for byte, the window's bounds, and what a request
// past the live edge gets (blocking reload).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/programs/gateway/hls/hls_window.h"

namespace kn::gateway {
namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes &b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        b.push_back(static_cast<uint8_t>(v >> shift));
    }
}

Bytes Box(const char *type, const Bytes &payload)
{
    Bytes b;
    Put32(b, static_cast<uint32_t>(payload.size() + 8));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes &p : parts) {
        b.insert(b.end(), p.begin(), p.end());
    }
    return b;
}

constexpr uint32_t kTimescale = 90000;

// ftyp and a moov whose one track's timescale is 90 kHz.
Bytes Init()
{
    Bytes mdhd;
    Put32(mdhd, 0);  // version 0
    Put32(mdhd, 0);
    Put32(mdhd, 0);
    Put32(mdhd, kTimescale);
    Put32(mdhd, 0);
    Put32(mdhd, 0);
    return Cat({Box("ftyp", {'i', 's', 'o', '6'}), Box("moov", Box("trak", Box("mdia", Box("mdhd", mdhd))))});
}

// A moof and mdat as mp4mux writes them: the first sample's flags in the
// trun, every sample's duration and size.
Bytes Fragment(uint64_t startUnits, uint32_t samples, uint32_t sampleUnits, bool keyframe, uint32_t trunCount = 0)
{
    Bytes tfhd, tfdt, trun;
    Put32(tfhd, 0x20);  // default-sample-flags present
    Put32(tfhd, 1);
    Put32(tfhd, 0x01010000);  // non-sync by default
    Put32(tfdt, 0x01000000);  // version 1
    Put32(tfdt, static_cast<uint32_t>(startUnits >> 32));
    Put32(tfdt, static_cast<uint32_t>(startUnits));
    Put32(trun, 0x000305);  // data offset, first sample flags, duration, size
    Put32(trun, trunCount != 0 ? trunCount : samples);
    Put32(trun, 0);
    Put32(trun, keyframe ? 0x02000000 : 0x01010000);
    for (uint32_t i = 0; i < samples; ++i) {
        Put32(trun, sampleUnits);
        Put32(trun, 4);
    }
    const Bytes traf = Cat({Box("tfhd", tfhd), Box("tfdt", tfdt), Box("trun", trun)});
    return Cat({Box("moof", Cat({Box("mfhd", {0, 0, 0, 0, 0, 0, 0, 1}), Box("traf", traf)})),
                Box("mdat", Bytes(4 * samples, 0xab))});
}

// Fragments of 100 ms (9000 units), a keyframe every tenth: groups of 1 s.
Bytes Stream(int fragments)
{
    Bytes b = Init();
    for (int i = 0; i < fragments; ++i) {
        const Bytes f = Fragment(static_cast<uint64_t>(i) * 9000, 1, 9000, i % 10 == 0);
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

// A window fed a stream whose first sample came at 2025-12-10 10:00:00 UTC.
constexpr int64_t kWall0Ms = 1765360800000;

struct Fed {
    CHlsWindow window;
    CFragmentCutter cutter;
    int inits = 0;
    std::vector<Fmp4Fragment> fragments;

    bool Feed(const uint8_t *data, size_t size)
    {
        return cutter.Feed(
            data, size,
            [&](const uint8_t *p, size_t n) {
                ++inits;
                window.SetInit(p, n);
            },
            [&](const Fmp4Fragment &f) {
                fragments.push_back(f);
                window.AddFragment(f, kWall0Ms + (f.startUs + f.durationUs) / 1000);
            });
    }
};

TEST(HlsCutter, CutsTheSameFragmentsHoweverTheBytesArrive)
{
    const Bytes stream = Stream(12);
    for (size_t piece : {stream.size(), size_t{1}, size_t{7}, size_t{100}}) {
        Fed fed;
        for (size_t at = 0; at < stream.size(); at += piece) {
            ASSERT_TRUE(fed.Feed(stream.data() + at, std::min(piece, stream.size() - at)));
        }
        EXPECT_EQ(fed.inits, 1);
        EXPECT_EQ(fed.cutter.Timescale(), kTimescale);
        EXPECT_EQ(fed.window.Init(), Init());
        ASSERT_EQ(fed.fragments.size(), 12u) << "pieces of " << piece;
        for (size_t i = 0; i < fed.fragments.size(); ++i) {
            EXPECT_EQ(fed.fragments[i].startUs, static_cast<int64_t>(i) * 100000);
            EXPECT_EQ(fed.fragments[i].durationUs, 100000);
            EXPECT_EQ(fed.fragments[i].keyframe, i % 10 == 0);
        }
    }
}

TEST(HlsCutter, RefusesHostileBytesWithoutReadingPastThem)
{
    Bytes tooShort = {0, 0, 0, 4, 'f', 't', 'y', 'p'};
    Bytes toTheEnd = {0, 0, 0, 0, 'm', 'o', 'o', 'v'};
    Bytes huge = {0xff, 0xff, 0xff, 0xff, 'm', 'd', 'a', 't'};
    Bytes noMoov = Cat({Box("ftyp", {'i', 's', 'o', '6'}), Fragment(0, 1, 9000, true)});
    Bytes countPastTrun = Cat({Init(), Fragment(0, 1, 9000, true, 0x7fffffff)});
    Bytes noTraf = Cat({Init(), Box("moof", {}), Box("mdat", {})});
    for (const Bytes *b : {&tooShort, &toTheEnd, &huge, &noMoov, &countPastTrun, &noTraf}) {
        Fed fed;
        EXPECT_FALSE(fed.Feed(b->data(), b->size()));
        EXPECT_TRUE(fed.cutter.Failed());
        EXPECT_TRUE(fed.fragments.empty());
        EXPECT_FALSE(fed.Feed(b->data(), b->size())) << "a failed stream stays failed";
    }
    // A box not all in yet is no failure.
    const Bytes stream = Stream(1);
    Fed fed;
    EXPECT_TRUE(fed.Feed(stream.data(), stream.size() - 1));
    EXPECT_TRUE(fed.fragments.empty());
}

TEST(HlsWindow, WritesThePlaylistOfPartsAndSegments)
{
    const Bytes stream = Stream(25);
    Fed fed;
    ASSERT_TRUE(fed.Feed(stream.data(), stream.size()));
    // Parts close once they are 300 ms long, and with their group; the
    // newest part (fragments 23 and 24, 200 ms) may still grow and is not
    // out: the hint names it.
    EXPECT_EQ(fed.window.Playlist(), "#EXTM3U\n"
                                     "#EXT-X-VERSION:6\n"
                                     "#EXT-X-TARGETDURATION:2\n"
                                     "#EXT-X-SERVER-CONTROL:CAN-BLOCK-RELOAD=YES,PART-HOLD-BACK=1.500\n"
                                     "#EXT-X-PART-INF:PART-TARGET=0.500\n"
                                     "#EXT-X-MEDIA-SEQUENCE:0\n"
                                     "#EXT-X-MAP:URI=\"init.mp4\"\n"
                                     "#EXT-X-PROGRAM-DATE-TIME:2025-12-10T10:00:00.000Z\n"
                                     "#EXT-X-PART:DURATION=0.300,URI=\"0.0.m4s\",INDEPENDENT=YES\n"
                                     "#EXT-X-PART:DURATION=0.300,URI=\"0.1.m4s\"\n"
                                     "#EXT-X-PART:DURATION=0.300,URI=\"0.2.m4s\"\n"
                                     "#EXT-X-PART:DURATION=0.100,URI=\"0.3.m4s\"\n"
                                     "#EXTINF:1.000,\n"
                                     "0.m4s\n"
                                     "#EXT-X-PROGRAM-DATE-TIME:2025-12-10T10:00:01.000Z\n"
                                     "#EXT-X-PART:DURATION=0.300,URI=\"1.0.m4s\",INDEPENDENT=YES\n"
                                     "#EXT-X-PART:DURATION=0.300,URI=\"1.1.m4s\"\n"
                                     "#EXT-X-PART:DURATION=0.300,URI=\"1.2.m4s\"\n"
                                     "#EXT-X-PART:DURATION=0.100,URI=\"1.3.m4s\"\n"
                                     "#EXTINF:1.000,\n"
                                     "1.m4s\n"
                                     "#EXT-X-PROGRAM-DATE-TIME:2025-12-10T10:00:02.000Z\n"
                                     "#EXT-X-PART:DURATION=0.300,URI=\"2.0.m4s\",INDEPENDENT=YES\n"
                                     "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"2.1.m4s\"\n");
    // A segment's bytes are its parts', one after the other.
    const uint8_t *segment = nullptr, *part = nullptr;
    size_t segmentSize = 0, partSize = 0;
    ASSERT_EQ(fed.window.MediaWait(1, -1, segment, segmentSize), HlsWait::Ready);
    ASSERT_EQ(fed.window.MediaWait(1, 3, part, partSize), HlsWait::Ready);
    EXPECT_EQ(part + partSize, segment + segmentSize);
    EXPECT_EQ(Bytes(part, part + partSize),
              Bytes(stream.end() - 6 * fed.fragments[0].size, stream.end() - 5 * fed.fragments[0].size));
}

TEST(HlsWindow, HoldsItsBoundAndListsPartsOnlyNearTheEnd)
{
    const Bytes stream = Stream(150);
    Fed fed;
    ASSERT_TRUE(fed.Feed(stream.data(), stream.size()));
    // 8 s of segments behind the oldest (segments 6-13 complete, 14 being
    // made): the oldest kept is 5.
    const std::string text = fed.window.Playlist();
    EXPECT_NE(text.find("#EXT-X-MEDIA-SEQUENCE:5\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("URI=\"8."), std::string::npos) << "parts listed more than 6 s from the end";
    EXPECT_NE(text.find("#EXT-X-PART:DURATION=0.300,URI=\"9.0.m4s\",INDEPENDENT=YES\n"), std::string::npos);
    EXPECT_EQ(fed.window.Segments().size(), 10u);
    size_t bytes = fed.window.Init().size();
    for (const HlsSegment &s : fed.window.Segments()) {
        bytes += s.bytes.size();
    }
    EXPECT_EQ(fed.window.Bytes(), bytes);
    // A group that never ends is cut at a part before it passes the target
    // duration; the next segment does not begin with a keyframe.
    Fed endless;
    Bytes longGroup = Init();
    for (int i = 0; i < 30; ++i) {
        const Bytes f = Fragment(static_cast<uint64_t>(i) * 9000, 1, 9000, i == 0);
        longGroup.insert(longGroup.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(endless.Feed(longGroup.data(), longGroup.size()));
    ASSERT_GE(endless.window.Segments().size(), 2u);
    for (const HlsSegment &s : endless.window.Segments()) {
        EXPECT_LE(s.durationUs, kHlsMaxSegmentUs);
    }
    EXPECT_FALSE(endless.window.Segments()[1].parts[0].independent);
}

TEST(HlsWindow, AnswersBlockingRequestsAtTheLiveEdge)
{
    const Bytes stream = Stream(25);
    Fed fed;
    ASSERT_TRUE(fed.Feed(stream.data(), stream.size()));
    // Out: segments 0 and 1, part 2.0; 2.1 is being made.
    struct Case {
        int64_t msn, part;
        HlsWait playlist, media;
    };
    const Case cases[] = {
        {0, -1, HlsWait::Ready, HlsWait::Ready},   {1, -1, HlsWait::Ready, HlsWait::Ready},
        {2, -1, HlsWait::Wait, HlsWait::Wait},     {3, -1, HlsWait::Wait, HlsWait::Wait},
        {4, -1, HlsWait::TooFar, HlsWait::TooFar}, {0, 3, HlsWait::Ready, HlsWait::Ready},
        {0, 4, HlsWait::Ready, HlsWait::Gone},     {2, 0, HlsWait::Ready, HlsWait::Ready},
        {2, 1, HlsWait::Wait, HlsWait::Wait},      {2, 3, HlsWait::Wait, HlsWait::Wait},
        {2, 4, HlsWait::TooFar, HlsWait::TooFar},  {3, 0, HlsWait::Wait, HlsWait::Wait},
        {3, 2, HlsWait::Wait, HlsWait::Wait},      {3, 3, HlsWait::TooFar, HlsWait::TooFar},
        {5, 0, HlsWait::TooFar, HlsWait::TooFar},  {999999, 0, HlsWait::TooFar, HlsWait::TooFar},
    };
    for (const Case &c : cases) {
        const uint8_t *data = nullptr;
        size_t size = 0;
        EXPECT_EQ(fed.window.PlaylistWait(c.msn, c.part), c.playlist) << c.msn << "." << c.part;
        EXPECT_EQ(fed.window.MediaWait(c.msn, c.part, data, size), c.media) << c.msn << "." << c.part;
        EXPECT_EQ(data != nullptr, c.media == HlsWait::Ready);
    }
    EXPECT_EQ(fed.window.PlaylistWait(-1, -1), HlsWait::Ready);

    // The next fragment closes part 2.1: what waited for it is out.
    const Bytes next = Fragment(25 * 9000, 1, 9000, false);
    ASSERT_TRUE(fed.Feed(next.data(), next.size()));
    const uint8_t *data = nullptr;
    size_t size = 0;
    EXPECT_EQ(fed.window.PlaylistWait(2, 1), HlsWait::Ready);
    EXPECT_EQ(fed.window.MediaWait(2, 1, data, size), HlsWait::Ready);
    // The group ends with part 2.3: a hinted 2.4 will never be; a
    // playlist asked for it comes with the next segment's first part.
    for (int i = 26; i <= 30; ++i) {
        const Bytes f = Fragment(static_cast<uint64_t>(i) * 9000, 1, 9000, i == 30);
        ASSERT_TRUE(fed.Feed(f.data(), f.size()));
    }
    EXPECT_EQ(fed.window.MediaWait(2, 4, data, size), HlsWait::Gone);
    EXPECT_EQ(fed.window.PlaylistWait(2, 4), HlsWait::Wait);
    EXPECT_EQ(fed.window.PlaylistWait(2, -1), HlsWait::Ready);
    // A cold window: the first request waits for the first segment (a
    // part alone is nothing to ffmpeg); a blocking one for its part.
    Fed cold;
    EXPECT_EQ(cold.window.PlaylistWait(-1, -1), HlsWait::Wait);
    EXPECT_FALSE(cold.window.HasParts());
    const Bytes start = Stream(9);
    ASSERT_TRUE(cold.Feed(start.data(), start.size()));
    EXPECT_TRUE(cold.window.HasParts());
    EXPECT_EQ(cold.window.PlaylistWait(-1, -1), HlsWait::Wait);
    EXPECT_EQ(cold.window.PlaylistWait(0, 1), HlsWait::Ready);
    const Bytes key = Fragment(9 * 9000, 1, 9000, true);
    ASSERT_TRUE(cold.Feed(key.data(), key.size()));
    EXPECT_EQ(cold.window.PlaylistWait(-1, -1), HlsWait::Ready);
}

}  // namespace
}  // namespace kn::gateway
