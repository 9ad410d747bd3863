// The tools' common library: H.264 access units (finding them in delivered
// frames, naming their NAL units, cutting a stream into them), parameter
// sets, and the supervision of a recorder (the probe and its spacing, the
// backoff) that kestrel and the gateway share.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/h264_units.h"
#include "tests/support/tcp_listener.h"
#include "tools/common/access_unit.h"
#include "tools/common/arrival_timeline.h"
#include "tools/common/backoff.h"
#include "tools/common/parameter_sets.h"
#include "tools/common/recorder_probe.h"
#include "tools/testing/emulator/access_units.h"

namespace kn::common {
namespace {

using namespace test::h264;

Bytes SpanBytes(ByteSpan s) { return Bytes(s.data, s.data + s.size); }

TEST(ToolsAccessUnit, FindsTheUnitInDeliveredFramesAndRejectsEverythingElse)
{
    const Bytes unit = Cat({kAud, kSlice});
    struct Case {
        const char *what;
        uint32_t type;
        Bytes frame;
        Bytes expected;
    };
    const Case cases[] = {
        {"wrapped, type 2", 2, Delivered(unit), unit},
        {"wrapped, type 3", 3, Delivered(unit), unit},
        {"bare unit after the prefix", 2, Delivered(unit, false), unit},
        {"three-byte start code", 2, Delivered(kIdr), kIdr},
        {"audio frame type", 1, Delivered(unit), {}},
        {"type 0", 0, Delivered(unit), {}},
        {"loss notice", 255, {}, {}},
        {"prefix only", 2, Bytes(16, 0), {}},
        {"wrapper only", 2, Delivered({}, true), {}},
        {"no start code", 2, Delivered({1, 2, 3, 4, 5}), {}},
        {"a lone zero", 2, Delivered({0}), {}},
    };
    for (const Case &c : cases) {
        const ByteSpan s =
            AccessUnitOfFrame(c.type, c.frame.empty() ? nullptr : c.frame.data(), static_cast<int32_t>(c.frame.size()));
        EXPECT_EQ(c.expected, SpanBytes(s)) << c.what;
    }
    EXPECT_EQ(0u, AccessUnitOfFrame(2, Delivered(unit).data(), -5).size);
}

TEST(ToolsAccessUnit, NamesTheUnitsItHoldsWhereverTheStartCodesFall)
{
    struct Case {
        const char *what;
        Bytes unit;
        std::vector<int> types;
    };
    const Case cases[] = {
        {"keyframe with parameter sets", Cat({kAud, kSps, kPps, kIdr}), {9, 7, 8, 5}},
        {"plain picture", Cat({kAud, kSlice}), {9, 1}},
        {"trailing zeros belong to nothing", Cat({kSlice, Bytes{0, 0}}), {1}},
        {"garbage before the first start code", Cat({Bytes{7, 7, 7}, kSlice}), {1}},
        {"empty start code at the end", Cat({kSlice, Bytes{0, 0, 1}}), {1}},
        {"nothing", {}, {}},
        {"no start code at all", {0x65, 1, 2, 3}, {}},
    };
    for (const Case &c : cases) {
        std::vector<int> types;
        ForEachNal(ByteSpan{c.unit.data(), c.unit.size()}, [&types](int type, const uint8_t *nal, size_t size) {
            ASSERT_GT(size, 0u);
            EXPECT_EQ(type, nal[0] & 0x1f);
            types.push_back(type);
        });
        EXPECT_EQ(c.types, types) << c.what;
    }
}

TEST(ToolsAccessUnit, PutsTheLastParameterSetsInFrontOfAKeyframeThatLacksThem)
{
    CParameterSets sets;
    Bytes out;
    const Bytes bareIdr = Cat({kAud, kIdr});
    // Nothing learnt yet: units pass unchanged.
    sets.Complete({bareIdr.data(), bareIdr.size()}, out);
    EXPECT_EQ(bareIdr, out);

    const Bytes full = Cat({kAud, kSps, kPps, kIdr});
    sets.Learn({full.data(), full.size()});
    ASSERT_TRUE(sets.Known());
    struct Case {
        const char *what;
        Bytes unit;
        Bytes expected;
    };
    const Case cases[] = {
        {"keyframe without sets", bareIdr, Cat({kSps, kPps, kAud, kIdr})},
        {"keyframe with both", full, full},
        {"keyframe with its SPS only", Cat({kSps, kIdr}), Cat({kPps, kSps, kIdr})},
        {"picture that is no keyframe", Cat({kAud, kSlice}), Cat({kAud, kSlice})},
    };
    for (const Case &c : cases) {
        sets.Complete({c.unit.data(), c.unit.size()}, out);
        EXPECT_EQ(c.expected, out) << c.what;
        // Learning says in the same pass what the unit holds.
        CParameterSets copy = sets;
        const UnitSummary learnt = copy.Learn({c.unit.data(), c.unit.size()});
        const UnitSummary scanned = Summarise({c.unit.data(), c.unit.size()});
        EXPECT_EQ(std::tuple(scanned.idr, scanned.sps, scanned.pps), std::tuple(learnt.idr, learnt.sps, learnt.pps))
            << c.what;
    }

    // A new SPS replaces the old one.
    const Bytes sps2 = {0, 0, 0, 1, 0x67, 0x4D, 0x00, 0x28};
    const Bytes unit2 = Cat({sps2, kSlice});
    sets.Learn({unit2.data(), unit2.size()});
    sets.Complete({bareIdr.data(), bareIdr.size()}, out);
    EXPECT_EQ(Cat({sps2, kPps, kAud, kIdr}), out);
}

TEST(ToolsAccessUnit, WithoutDelimitersAUnitStartsAtParameterSetsOrAFirstSlice)
{
    // SPS, PPS, IDR slice (first_mb 0), slice (first_mb 1: same picture),
    // slice (first_mb 0: next picture), then a stray trailing zero byte.
    const Bytes s = {0,    0, 0, 1, 0x67, 0xAA, 0,    0, 1, 0x68, 0xBB, 0,    0,    1,    0x65, 0x88,
                     0x01, 0, 0, 1, 0x65, 0x40, 0x02, 0, 0, 0,    1,    0x41, 0x9A, 0x03, 0};
    const std::vector<Bytes> units = SplitAccessUnits(s);
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 23), units[0]);
    EXPECT_EQ(Bytes(s.begin() + 23, s.end()), units[1]);
    EXPECT_TRUE(SplitAccessUnits({}).empty());
    EXPECT_TRUE(SplitAccessUnits({1, 2, 3}).empty());
    EXPECT_EQ((Bytes{'K', 'V', 0, 0, 7}), emu::WrapAccessUnit({7}));
}

TEST(ToolsAccessUnit, FindsEveryStartCodeAndNoneThatIsNot)
{
    struct Case {
        const char *what;
        Bytes data;
        size_t from;
        size_t expected;  // data.size() for none
    };
    const Case cases[] = {
        {"nothing", {}, 0, 0},
        {"at the start", {0, 0, 1, 0x65}, 0, 0},
        {"a four-byte one is found at its 00 00 01", {0, 0, 0, 1}, 0, 1},
        {"after bytes it skips", {5, 9, 5, 7, 0, 0, 1}, 0, 4},
        {"from past the first", {0, 0, 1, 0x41, 0, 0, 1}, 1, 4},
        {"00 00 02 is none", {0, 0, 2, 0, 0, 3}, 0, 6},
        {"cut at the end", {9, 0, 0}, 0, 3},
        {"from beyond the end", {0, 0, 1}, 5, 3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.expected, FindStartCode(c.data.data(), c.data.size(), c.from)) << c.what;
    }
}

TEST(ToolsBackoff, DoublesFromOneSecondUpToTheCeilingAndStartsOverAfterReset)
{
    CBackoff b(30000);
    std::vector<int64_t> delays;
    for (int i = 0; i < 8; ++i) {
        delays.push_back(b.Next());
    }
    EXPECT_EQ((std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}), delays);
    b.Reset();
    EXPECT_EQ(1000, b.Next());
    CBackoff tight(500);
    EXPECT_EQ(500, tight.Next());
    EXPECT_EQ(500, tight.Next());
}

// An eager recorder's opening burst is spread a frame time apart (the pace
// learnt or declared, else 25 a second) and the frames after keep their
// pace; frames bunched later keep their arrival (a millisecond apart), so
// the timeline never runs away from the clock; a new stream starts over.
TEST(ToolsArrivalTimeline, SpreadsAnOpeningBurstAndKeepsThePaceAfterIt)
{
    constexpr int64_t ms = 1'000'000;
    struct Case {
        const char *what;
        int64_t declaredMs;               // 0: none
        std::vector<int64_t> arrivalsMs;  // -1: the stream restarts
        std::vector<int64_t> timesMs;
    };
    const Case cases[] = {
        {"a cold stream at its pace", 0, {0, 40, 80, 120}, {0, 40, 80, 120}},
        {"three frames with the acknowledgement", 0, {0, 0, 0, 40, 80}, {0, 40, 80, 120, 160}},
        {"a declared 30 a second", 33, {0, 0, 0, 33, 66}, {0, 33, 66, 99, 132}},
        {"bunched later: kept, a millisecond apart", 0, {0, 40, 80, 80, 120}, {0, 40, 80, 81, 120}},
        {"a reopened stream's burst from the pace learnt", 0, {0, 100, 200, -1, 1000, 1000}, {0, 100, 200, 1000, 1054}},
    };
    for (const Case &c : cases) {
        CArrivalTimeline timeline;
        timeline.SetFrameTime(c.declaredMs * ms);
        std::vector<int64_t> times;
        for (int64_t a : c.arrivalsMs) {
            if (a < 0) {
                timeline.Restart();
                continue;
            }
            times.push_back(timeline.Place(a * ms) / ms);
        }
        EXPECT_EQ(c.timesMs, times) << c.what;
    }
}

// A look is taken at most every two seconds, and only a connection refused
// or unanswered (or a name that does not resolve) makes the recorder gone.
TEST(ToolsRecorderProbe, LooksAtMostEveryTwoSecondsAndTellsGoneFromThere)
{
    test::CTcpListener listening;
    test::CTcpListener refusing(false);
    ASSERT_TRUE(listening.Ok() && refusing.Ok());
    using V = CRecorderProbe::Verdict;
    struct Case {
        const char *what;
        std::string host;
        uint16_t port;
        V verdict;
        const char *reasonHas;
    };
    const Case cases[] = {
        {"a recorder taking connections", "127.0.0.1", listening.Port(), V::Alive, ""},
        {"a port that refuses", "127.0.0.1", refusing.Port(), V::Gone, "refused"},
        {"a name that does not resolve", "no-such-recorder.invalid", 5050, V::Gone, "cannot resolve"},
    };
    for (const Case &c : cases) {
        CRecorderProbe probe(c.host, c.port);
        std::string reason;
        EXPECT_EQ(c.verdict, probe.Check(1000, reason)) << c.what;
        EXPECT_NE(std::string::npos, reason.find(c.reasonHas)) << c.what << ": " << reason;
        EXPECT_EQ(V::NotDue, probe.Check(1000 + CRecorderProbe::kSpacingMs - 1, reason)) << c.what;
        EXPECT_EQ(c.verdict, probe.Check(1000 + CRecorderProbe::kSpacingMs, reason)) << c.what;
        std::string direct;
        EXPECT_EQ(c.verdict == V::Alive, ProbeRecorder(c.host, c.port, direct)) << c.what;
    }
}

}  // namespace
}  // namespace kn::common
