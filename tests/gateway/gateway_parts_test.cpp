// The gateway's parts that need no RTSP server: presentation times, the
// command line, and the hub that hands a channel's frames to its clients.
// (Access units, parameter sets and backoff are the tools' common library's:
// tests/tools_common_test.cpp.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/h264_units.h"
#include "tools/programs/gateway/stream/channel_hub.h"
#include "tools/programs/gateway/stream/frame_clock.h"
#include "tools/programs/gateway/site/config/gateway_options.h"
#include "tools/programs/gateway/webrtc/h264_offer.h"

namespace kn::gateway {
namespace {

using namespace test::h264;

TEST(GatewayFrameClock, StampsFramesByArrivalOnNoGridAndNeverGoesBack)
{
    constexpr int64_t ms = 1'000'000;
    struct Case {
        const char *what;
        std::vector<int64_t> arrivalsMs;
        std::vector<int64_t> stampsMs;
    };
    const Case cases[] = {
        {"30 frames a second stay 30 (no 25 grid)", {0, 33, 67, 100, 133}, {0, 33, 67, 100, 133}},
        {"jitter is kept as it came", {0, 41, 79, 122, 160}, {0, 41, 79, 122, 160}},
        {"a burst is kept a millisecond apart", {100, 100, 100, 101}, {100, 101, 102, 103}},
        {"a pause stays a pause", {0, 40, 2000, 2040}, {0, 40, 2000, 2040}},
        {"the clock going back is ignored", {400, 100, 90}, {400, 401, 402}},
        {"negative running time counts as 0", {-5, -1, 10}, {0, 1, 10}},
    };
    for (const Case &c : cases) {
        CFrameClock clock;
        std::vector<int64_t> stamps;
        for (int64_t a : c.arrivalsMs) {
            stamps.push_back(clock.Stamp(a * ms) / ms);
        }
        EXPECT_EQ(c.stampsMs, stamps) << c.what;
    }
}

// Runs the parser on a command line given as one string.
bool Parse(const std::vector<std::string> &args, GatewayOptions &o, std::string &message)
{
    std::vector<std::string> copy = args;
    std::vector<char *> argv;
    for (std::string &a : copy) {
        argv.push_back(a.data());
    }
    return ParseGatewayOptions(static_cast<int>(argv.size()), argv.data(), o, message);
}

TEST(GatewayOptions, TakesEveryOptionAndRefusesWhatMakesNoSense)
{
    ::unsetenv("KESTREL_PASSWORD");
    ::unsetenv("KESTREL_RTSP_PASSWORD");
    GatewayOptions o;
    std::string message;
    ASSERT_TRUE(Parse({"-H",
                       "10.0.0.9",
                       "-p",
                       "6000",
                       "-u",
                       "op",
                       "--timeout",
                       "1500",
                       "--transport",
                       "udp",
                       "--channels",
                       "8",
                       "--listen",
                       "127.0.0.2:0",
                       "--linger",
                       "2.5",
                       "--stats",
                       "0",
                       "--idle-timeout",
                       "1",
                       "--give-up",
                       "20",
                       "--backoff-max",
                       "8"},
                      o, message))
        << message;
    EXPECT_EQ("10.0.0.9", o.host);
    EXPECT_EQ(6000, o.port);
    EXPECT_EQ("op", o.user);
    EXPECT_EQ(1500u, o.timeoutMs);
    EXPECT_EQ(0, o.transport);
    EXPECT_EQ(8, o.channels);
    EXPECT_EQ("127.0.0.2", o.listenAddress);
    EXPECT_EQ(0, o.listenPort);
    EXPECT_EQ(2500, o.lingerMs);
    EXPECT_EQ(0, o.statsMs);
    EXPECT_EQ(1000, o.idleMs);
    EXPECT_EQ(20000, o.giveUpMs);
    EXPECT_EQ(8000, o.backoffMaxMs);

    struct Bad {
        std::vector<std::string> args;
        const char *says;
    };
    const Bad bad[] = {
        {{"--port", "0"}, "port"},
        {{"--port", "70000"}, "port"},
        {{"--channels", "0"}, "count"},
        {{"--transport", "sctp"}, "tcp or udp"},
        {{"--linger", "-1"}, "seconds"},
        {{"--linger", "soon"}, "seconds"},
        {{"--idle-timeout", "0"}, "at least"},
        {{"--listen", "127.0.0.1:99999"}, "ADDRESS:PORT"},
        {{"--listen", "0.0.0.0:8554"}, "needs RTSP credentials"},
        {{"--listen", ":8554"}, "needs RTSP credentials"},
        {{"--http", "0.0.0.0:8560"}, "needs RTSP credentials"},
        {{"--http", "8560:x"}, "ADDRESS:PORT"},
        {{"--web-buffer", "8"}, "KiB"},
        {{"--rtsp-user", "viewer"}, "both"},
        {{"--rtsp-password", "x"}, "both"},
        {{"--bogus", "1"}, "unknown option"},
        {{"--host"}, "needs a value"},
        {{"stray"}, "unexpected"},
        {{"--config=site.yaml", "--channels", "2"}, "give it alone"},
        {{"--password-file", "/nonexistent/kestrel-password"}, "cannot read"},
        {{"--password-env", "KESTREL_TEST_UNSET_VARIABLE"}, "not set"},
    };
    for (const Bad &b : bad) {
        GatewayOptions x;
        message.clear();
        EXPECT_FALSE(Parse(b.args, x, message)) << b.args[0];
        EXPECT_NE(std::string::npos, message.find(b.says)) << b.args[0] << ": " << message;
    }
    GatewayOptions away;
    EXPECT_TRUE(Parse({"--listen", "0.0.0.0:8554", "--rtsp-user", "v", "--rtsp-password", "w"}, away, message));
    EXPECT_EQ("0.0.0.0", away.listenAddress);
    GatewayOptions portOnly;
    EXPECT_TRUE(Parse({"--listen", "9554"}, portOnly, message));
    EXPECT_EQ("127.0.0.1", portOnly.listenAddress);
    EXPECT_EQ(9554, portOnly.listenPort);
}

TEST(GatewayOptions, TakesPasswordsFromFilesAndTheEnvironmentAndFlagsTheCommandLine)
{
    char path[] = "/tmp/kestrel-gateway-password-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << "from-file\r\nsecond line\n";
    ::setenv("KESTREL_TEST_PW", "from-env", 1);
    ::setenv("KESTREL_PASSWORD", "default-env", 1);
    ::setenv("KESTREL_RTSP_PASSWORD", "rtsp-env", 1);
    struct Case {
        std::vector<std::string> args;
        std::string password;
        bool onCommandLine;
        std::string rtspPassword;
    };
    const Case cases[] = {
        {{"--password-file", path}, "from-file", false, "rtsp-env"},
        {{"--password-env", "KESTREL_TEST_PW"}, "from-env", false, "rtsp-env"},
        {{}, "default-env", false, "rtsp-env"},
        {{"--password", "typed"}, "typed", true, "rtsp-env"},
        {{"--password", "typed", "--password-file", path}, "from-file", false, "rtsp-env"},
        {{"--rtsp-password-file", path}, "default-env", false, "from-file"},
        {{"--rtsp-password", "typed"}, "default-env", false, "typed"},
    };
    for (const Case &c : cases) {
        GatewayOptions o;
        std::string message;
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--rtsp-user", "viewer"});
        ASSERT_TRUE(Parse(args, o, message)) << message;
        EXPECT_EQ(c.password, o.password) << c.args.size();
        EXPECT_EQ(c.onCommandLine, o.passwordOnCommandLine) << c.args.size();
        EXPECT_EQ(c.rtspPassword, o.rtspPassword) << c.args.size();
    }
    ::unlink(path);
    EXPECT_TRUE(IsLoopback("127.0.0.1"));
    EXPECT_TRUE(IsLoopback("127.9.8.7"));
    EXPECT_TRUE(IsLoopback("localhost"));
    EXPECT_FALSE(IsLoopback("0.0.0.0"));
    EXPECT_FALSE(IsLoopback("128.0.0.1"));
    EXPECT_FALSE(IsLoopback("recorder.example"));
}

// A client that records what it was given.
class CRecordingSink final : public IClientSink {
public:
    int64_t RunningTimeNs() override { return m_nNowNs; }
    bool PushTimed(const SharedUnit &unit, const FrameTimes &times) override
    {
        const bool taken = Push(unit->bytes.data(), unit->bytes.size(), times.ptsNs);
        if (taken) {
            leaving.push_back(times.dtsNs);
        }
        return taken;
    }
    bool Push(const uint8_t *data, size_t size, int64_t ptsNs) override
    {
        if (m_bFull) {
            return false;
        }
        units.emplace_back(data, data + size);
        stamps.push_back(ptsNs);
        return true;
    }
    void End() override { ++ended; }
    std::string Peer() const override { return "test"; }
    size_t StartFrames() const override { return startFrames; }
    const char *Front() const override { return front; }
    bool Report(LinkReport &r) const override
    {
        r = report;
        return report.roundTripMs >= 0;
    }

    std::atomic<int64_t> m_nNowNs{0};
    bool m_bFull = false;
    std::vector<Bytes> units;
    std::vector<int64_t> stamps;   // presentation times
    std::vector<int64_t> leaving;  // decoding times: when each left
    int ended = 0;
    size_t startFrames = 1;
    const char *front = nullptr;
    LinkReport report{-1, 0, 0};
};

TEST(GatewayChannelHub, EveryClientStartsOnAKeyframeWithTheParameterSetsInFront)
{
    CChannelHub hub(3);
    int changes = 0;
    hub.SetClientsChanged([&changes] { ++changes; });
    const Bytes key = Cat({kAud, kSps, kPps, kIdr});
    const Bytes bareKey = Cat({kAud, kIdr});
    const Bytes pic = Cat({kAud, kSlice});
    auto early = std::make_shared<CRecordingSink>();
    EXPECT_EQ(1, hub.Add(early));
    hub.OnFrame(2, Delivered(pic).data(), static_cast<int32_t>(Delivered(pic).size()));  // before any keyframe
    hub.OnFrame(2, Delivered(key).data(), static_cast<int32_t>(Delivered(key).size()));
    hub.OnFrame(2, Delivered(pic).data(), static_cast<int32_t>(Delivered(pic).size()));
    auto late = std::make_shared<CRecordingSink>();
    EXPECT_EQ(2, hub.Add(late));
    // Late starts with the group from the cached keyframe.
    hub.OnFrame(2, Delivered(pic).data(), static_cast<int32_t>(Delivered(pic).size()));
    hub.OnFrame(1, Delivered(pic).data(), static_cast<int32_t>(Delivered(pic).size()));  // audio: ignored
    hub.OnFrame(3, Delivered(bareKey).data(), static_cast<int32_t>(Delivered(bareKey).size()));
    hub.OnFrame(2, Delivered(pic).data(), static_cast<int32_t>(Delivered(pic).size()));

    EXPECT_EQ((std::vector<Bytes>{key, pic, pic, Cat({kSps, kPps, bareKey}), pic}), early->units);
    EXPECT_EQ((std::vector<Bytes>{key, pic, pic, Cat({kSps, kPps, bareKey}), pic}), late->units);
    const HubCounts counts = hub.Counts();
    EXPECT_EQ(6u, counts.frames);
    EXPECT_EQ(2, counts.clients);
    EXPECT_EQ(2, changes);

    int left = -1;
    EXPECT_TRUE(hub.Remove(early.get(), left));
    EXPECT_EQ(1, left);
    EXPECT_FALSE(hub.Remove(early.get(), left)) << "a client leaves once";
    EXPECT_EQ(3, changes);
    hub.EndClients();
    EXPECT_EQ(1, late->ended);
    EXPECT_EQ(0, early->ended);
}

TEST(GatewayChannelHub, WaitingClientsAreAnsweredWhenTheChannelFailsOrStaysSilentButNotWhileFramesFlow)
{
    using namespace std::chrono;
    CChannelHub hub(6, "hall");
    const Bytes key = Delivered(Cat({kAud, kSps, kPps, kIdr}));
    const Bytes pic = Delivered(Cat({kAud, kSlice}));
    // No keyframe yet, so nothing is cached: the client waits for one.
    auto waiting = std::make_shared<CRecordingSink>();
    hub.Add(waiting);
    hub.OnFrame(2, pic.data(), static_cast<int32_t>(pic.size()));
    EXPECT_EQ(1, hub.Counts().waiting);

    // Frames flow: a client waiting for its keyframe is left waiting.
    EXPECT_EQ(0, hub.EndStale(steady_clock::now() + milliseconds(100), milliseconds(1000)));
    // Nothing for longer than the patience: answered, once.
    EXPECT_EQ(1, hub.EndStale(steady_clock::now() + seconds(5), milliseconds(1000)));
    EXPECT_EQ(0, hub.EndStale(steady_clock::now() + seconds(6), milliseconds(1000)));
    EXPECT_EQ(1, waiting->ended);
    EXPECT_EQ(0, hub.Counts().waiting);

    // A playing client is never answered, however long the silence.
    auto playing = std::make_shared<CRecordingSink>();
    hub.Add(playing);
    hub.OnFrame(2, key.data(), static_cast<int32_t>(key.size()));
    EXPECT_EQ(1u, hub.Counts().keyframes);
    EXPECT_EQ(0, hub.EndStale(steady_clock::now() + seconds(7), milliseconds(1000)));
    EXPECT_EQ(0, playing->ended);
    EXPECT_EQ(2, hub.Counts().clients) << "counted until it leaves";

    // A refusal answers the waiting at once and no frame reaches an ended client.
    auto next = std::make_shared<CRecordingSink>();
    hub.Add(next);
    EXPECT_EQ(1, hub.EndWaiting());
    EXPECT_EQ(0, hub.EndWaiting());
    hub.OnFrame(2, key.data(), static_cast<int32_t>(key.size()));
    EXPECT_TRUE(next->units.empty());
    EXPECT_TRUE(waiting->units.empty());
    EXPECT_EQ(2u, playing->units.size());
    EXPECT_EQ("hall", hub.Recorder());
}

TEST(GatewayChannelHub, ABackedUpClientWaitsForTheNextKeyframeAndTimesNeverGoBack)
{
    CChannelHub hub(0);
    const Bytes key = Cat({kAud, kSps, kPps, kIdr});
    const Bytes pic = Cat({kAud, kSlice});
    auto sink = std::make_shared<CRecordingSink>();
    hub.Add(sink);
    const std::vector<std::pair<const Bytes *, bool>> feed = {{&key, false}, {&pic, false}, {&pic, true}, {&pic, false},
                                                              {&pic, false}, {&key, false}, {&pic, false}};
    int64_t now = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const auto &[unit, full] : feed) {
        sink->m_bFull = full;
        sink->m_nNowNs = now;
        const Bytes f = Delivered(*unit);
        hub.OnFrame(2, f.data(), static_cast<int32_t>(f.size()), start + std::chrono::nanoseconds(now));
        now += 40'000'000 - 3'000'000;
    }
    // Frame 3 could not be taken: frames 4 and 5 would decode from a gap.
    EXPECT_EQ((std::vector<Bytes>{key, pic, key, pic}), sink->units);
    // Each at its arrival, no grid.
    EXPECT_EQ((std::vector<int64_t>{0, 37'000'000, 185'000'000, 222'000'000}), sink->stamps);
}

TEST(GatewayChannelHub, EachFrontCountsTheBytesItsClientsTookAndWhatTheirReceiversReport)
{
    CChannelHub hub(0);
    const Bytes key = Delivered(Cat({kAud, kSps, kPps, kIdr}));
    const Bytes pic = Delivered(Cat({kAud, kSlice}));
    std::vector<std::shared_ptr<CRecordingSink>> sinks;
    for (const auto &[front, rtt, loss] : std::vector<std::tuple<const char *, double, double>>{
             {"webrtc", 10, 0.5}, {"webrtc", 20, 0.25}, {"webrtc", -1, 0}, {"web", 5, 0}, {nullptr, 1, 1}}) {
        auto sink = std::make_shared<CRecordingSink>();
        sink->front = front;
        sink->report = {rtt, rtt / 10, loss};
        hub.Add(sink);
        sinks.push_back(sink);
    }
    hub.OnFrame(2, key.data(), static_cast<int32_t>(key.size()));
    sinks[1]->m_bFull = true;  // misses a frame: not counted
    hub.OnFrame(2, pic.data(), static_cast<int32_t>(pic.size()));
    const HubCounts counts = hub.Counts();
    const auto taken = [&](size_t i) {
        uint64_t n = 0;
        for (const Bytes &u : sinks[i]->units) {
            n += u.size();
        }
        return n;
    };
    EXPECT_EQ((std::map<std::string, uint64_t>{{"webrtc", taken(0) + taken(1) + taken(2)}, {"web", taken(3)}}),
              counts.sentBytes);
    EXPECT_EQ(1u, sinks[1]->units.size()) << "the one that missed a frame has its keyframe alone";
    EXPECT_EQ(2u, sinks[0]->units.size());
    // Mean round trip and jitter, worst loss, over the clients that reported.
    ASSERT_EQ(2u, counts.reports.size());
    const LinkReports &webrtc = counts.reports.at("webrtc");
    EXPECT_EQ(2, webrtc.clients);
    EXPECT_DOUBLE_EQ(15, webrtc.roundTripMs);
    EXPECT_DOUBLE_EQ(1.5, webrtc.jitterMs);
    EXPECT_DOUBLE_EQ(0.5, webrtc.fractionLost);
    EXPECT_EQ(1, counts.reports.at("web").clients);
}

// The keyframe cache: a joiner of an open channel gets the group since the
// last keyframe at once, each frame at its true time, then live frames at
// their pace; a group larger than the bound, or a stream that ended, leaves
// the cache empty (and says why) until the next keyframe.
TEST(GatewayChannelHub, AJoinerGetsTheCachedGroupAtOnceThenLiveFrames)
{
    constexpr int64_t ms = 1'000'000;
    const Bytes key = Cat({kAud, kSps, kPps, kIdr});
    const Bytes pic = Cat({kAud, kSlice});
    // Frames 40 ms apart.
    auto arrival = std::chrono::steady_clock::now();
    auto feed = [&arrival](CChannelHub &hub, const Bytes &unit) {
        const Bytes f = Delivered(unit);
        hub.OnFrame(2, f.data(), static_cast<int32_t>(f.size()), arrival);
        arrival += std::chrono::milliseconds(40);
    };
    {
        CChannelHub hub(0);
        EXPECT_EQ("no keyframe yet", hub.Counts().cacheState);
        feed(hub, pic);  // before any keyframe: nothing to keep
        EXPECT_EQ(0u, hub.Counts().cacheUnits);
        for (const Bytes *u : {&key, &pic, &pic}) {
            feed(hub, *u);
        }
        const HubCounts held = hub.Counts();
        EXPECT_EQ("holding", held.cacheState);
        EXPECT_EQ(3u, held.cacheUnits);
        EXPECT_EQ(key.size() + 2 * pic.size(), held.cacheBytes);
        auto joiner = std::make_shared<CRecordingSink>();
        hub.Add(joiner);
        joiner->m_nNowNs = 500 * ms;
        feed(hub, pic);
        joiner->m_nNowNs = 540 * ms;
        feed(hub, pic);
        EXPECT_EQ((std::vector<Bytes>{key, pic, pic, pic, pic}), joiner->units);
        // The group leaves at once, each frame at its true time on the
        // joiner's timeline, and the live frames keep their pace after it.
        EXPECT_EQ((std::vector<int64_t>{500 * ms, 540 * ms, 580 * ms, 620 * ms, 660 * ms}), joiner->stamps);
        EXPECT_EQ((std::vector<int64_t>{500 * ms, 501 * ms, 502 * ms, 503 * ms, 540 * ms}), joiner->leaving);
        // A new keyframe starts a new group.
        feed(hub, key);
        EXPECT_EQ(1u, hub.Counts().cacheUnits);
        // A stream that ended leaves nothing for the next: a joiner waits
        // for the next keyframe.
        hub.StreamEnded();
        EXPECT_EQ("no keyframe yet", hub.Counts().cacheState);
        auto after = std::make_shared<CRecordingSink>();
        hub.Add(after);
        feed(hub, pic);
        EXPECT_TRUE(after->units.empty());
        feed(hub, key);
        EXPECT_EQ((std::vector<Bytes>{key}), after->units);
    }
    {
        // A bound of two pictures: a group that outgrows it is given up.
        CChannelHub hub(0, "", key.size() + pic.size());
        feed(hub, key);
        feed(hub, pic);
        EXPECT_EQ(2u, hub.Counts().cacheUnits);
        feed(hub, pic);
        const HubCounts outgrown = hub.Counts();
        EXPECT_EQ(0u, outgrown.cacheUnits);
        EXPECT_EQ(0u, outgrown.cacheBytes);
        EXPECT_EQ("group larger than " + std::to_string(key.size() + pic.size()) +
                      " bytes: empty until the next keyframe",
                  outgrown.cacheState);
        auto joiner = std::make_shared<CRecordingSink>();
        hub.Add(joiner);
        feed(hub, pic);
        EXPECT_TRUE(joiner->units.empty()) << "no group: it waits for a keyframe";
        feed(hub, key);
        EXPECT_EQ("holding", hub.Counts().cacheState);
        EXPECT_EQ((std::vector<Bytes>{key}), joiner->units);
    }
}

// How far back a joiner starts: a web client (its pipeline runs) takes the
// current group as it joins; a player that reads about a second before it
// shows a picture (ffmpeg over RTSP) takes the group before as well while
// the current one is short; a snapshot decodes the current group. The
// group before is let go once the current one is long enough, or first
// when the byte bound needs the room.
TEST(GatewayChannelHub, JoinersStartFromTheDepthTheyNeedAndTheGroupBeforeGoesFirst)
{
    const Bytes key = Cat({kAud, kSps, kPps, kIdr});
    const Bytes pic = Cat({kAud, kSlice});
    auto feed = [](CChannelHub &hub, const Bytes &unit, int times = 1) {
        const Bytes f = Delivered(unit);
        for (int i = 0; i < times; ++i) {
            hub.OnFrame(2, f.data(), static_cast<int32_t>(f.size()));
        }
    };
    const size_t deep = kDeepStartFrames;
    CChannelHub hub(1);
    feed(hub, key);
    feed(hub, pic, static_cast<int>(deep) + 4);  // group A: deep + 5 frames
    feed(hub, key);
    feed(hub, pic, 2);  // group B: 3 frames so far
    EXPECT_EQ(3u, hub.Counts().cacheUnits) << "the current group";

    auto web = std::make_shared<CRecordingSink>();
    hub.Add(web, true);
    EXPECT_EQ((std::vector<Bytes>{key, pic, pic}), web->units) << "the current group, as it joins";
    auto player = std::make_shared<CRecordingSink>();
    player->startFrames = deep;
    hub.Add(player);
    EXPECT_TRUE(player->units.empty()) << "an RTSP client starts with the next frame";
    std::vector<std::vector<uint8_t>> snapshot;
    ASSERT_TRUE(hub.CopyCachedGroup(snapshot));
    EXPECT_EQ((std::vector<Bytes>{key, pic, pic}), snapshot) << "the latest picture's group";

    feed(hub, pic);
    ASSERT_EQ(deep + 5 + 4, player->units.size());
    EXPECT_EQ(key, player->units.front()) << "group A's keyframe first";
    EXPECT_EQ(key, player->units[deep + 5]) << "then group B's";
    EXPECT_EQ(4u, web->units.size()) << "the web client goes on live";

    // B grows to the depth: A goes.
    feed(hub, pic, static_cast<int>(deep) - 4);
    EXPECT_EQ(deep, hub.Counts().cacheUnits);
    EXPECT_EQ(key.size() + (deep - 1) * pic.size(), hub.Counts().cacheBytes);
    auto late = std::make_shared<CRecordingSink>();
    late->startFrames = deep;
    hub.Add(late);
    feed(hub, pic);
    EXPECT_EQ(deep + 1, late->units.size());
    EXPECT_EQ(key, late->units.front());

    // A joiner that cannot take the whole group gets it once, then waits
    // for the next keyframe.
    auto full = std::make_shared<CRecordingSink>();
    full->m_bFull = true;
    hub.Add(full, true);
    full->m_bFull = false;
    feed(hub, pic, 2);
    EXPECT_TRUE(full->units.empty());
    feed(hub, key);
    EXPECT_EQ((std::vector<Bytes>{key}), full->units);

    // A bound of a group and a half: the group before is given up for the
    // room, not the current one.
    const size_t group = key.size() + 9 * pic.size();
    CChannelHub small(1, "", group + group / 2);
    for (int g = 0; g < 3; ++g) {
        feed(small, key);
        feed(small, pic, 9);
        const HubCounts c = small.Counts();
        EXPECT_EQ("holding", c.cacheState) << g;
        EXPECT_EQ(group, c.cacheBytes) << g;
        EXPECT_EQ(10u, c.cacheUnits) << g;
        EXPECT_TRUE(small.CopyCachedGroup(snapshot));
        EXPECT_EQ(10u, snapshot.size()) << g;
    }
}

TEST(GatewayChannelHub, ClientsComingAndGoingRaceFramesWithoutLosingCount)
{
    CChannelHub hub(0);
    const Bytes key = Delivered(Cat({kAud, kSps, kPps, kIdr}));
    const Bytes pic = Delivered(Cat({kAud, kSlice}));
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        for (int i = 0; !stop; ++i) {
            const Bytes &f = i % 5 == 0 ? key : pic;
            hub.OnFrame(2, f.data(), static_cast<int32_t>(f.size()));
        }
    });
    std::vector<std::thread> clients;
    for (int t = 0; t < 3; ++t) {
        // One thread's clients start at once as they join, as web clients do.
        clients.emplace_back([&hub, t] {
            for (int i = 0; i < 300; ++i) {
                auto s = std::make_shared<CRecordingSink>();
                s->startFrames = i % 2 == 0 ? 1 : kDeepStartFrames;
                hub.Add(s, t == 0);
                int left = 0;
                EXPECT_TRUE(hub.Remove(s.get(), left));
                if (!s->units.empty()) {
                    const Bytes &first = s->units.front();
                    EXPECT_NE(first.end(), std::search(first.begin(), first.end(), kIdr.begin(), kIdr.end()));
                }
            }
        });
    }
    for (std::thread &t : clients) {
        t.join();
    }
    stop = true;
    frames.join();
    EXPECT_EQ(0, hub.Counts().clients);
}

}  // namespace
}  // namespace kn::gateway

namespace kn::gateway {
namespace {

// Chromium's video formats, as its offer lists them (VP8, VP9, then H.264
// with and without packetization mode 1, baseline, constrained baseline,
// main and high 4:4:4).
const std::string kChromiumOffer =
    "v=0\r\nm=video 9 UDP/TLS/RTP/SAVPF 96 98 102 104 108 116 39 41\r\n"
    "a=rtpmap:96 VP8/90000\r\na=rtpmap:98 VP9/90000\r\na=fmtp:98 profile-id=0\r\n"
    "a=rtpmap:102 H264/90000\r\na=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f\r\n"
    "a=rtpmap:104 H264/90000\r\na=fmtp:104 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42001f\r\n"
    "a=rtpmap:108 h264/90000\r\na=fmtp:108 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n"
    "a=rtpmap:116 H264/90000\r\na=fmtp:116 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=4d001f\r\n"
    "a=rtpmap:39 H264/90000\r\na=fmtp:39 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=4d001f\r\n"
    "a=rtpmap:41 H264/90000\r\na=fmtp:41 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=f4001f\r\n";

TEST(GatewayWebrtc, AnOfferIsAnsweredWithAnH264FormatTheStreamKeepsToOrNone)
{
    struct Case {
        std::string offer;
        uint8_t profile, constraints;
        int expected;
    };
    const std::vector<Case> cases = {
        {kChromiumOffer, 66, 0xe0, 102},  // constrained baseline: the baseline decoder takes it
        {kChromiumOffer, 66, 0x00, 102},
        {kChromiumOffer, 77, 0x40, 116},  // main
        {kChromiumOffer, 66, 0x40, 102},  // baseline keeping main's constraints: baseline first
        {kChromiumOffer, 100, 0x00, -1},  // high: not offered
        {"a=rtpmap:102 H264/90000\r\na=fmtp:102 packetization-mode=1;profile-level-id=42e01f\r\n", 66, 0x00, -1},
        {"a=rtpmap:116 H264/90000\r\na=fmtp:116 packetization-mode=1;profile-level-id=4d001f\r\n", 66, 0x40, 116},
        {"a=rtpmap:104 H264/90000\r\na=fmtp:104 packetization-mode=0;profile-level-id=42001f\r\n", 66, 0xe0, -1},
        {"a=rtpmap:96 VP8/90000\r\n", 66, 0xe0, -1},
        // What a hostile or broken offer may hold: no fmtp, a short or
        // non-hex profile, a payload type out of range, no line ends.
        {"a=rtpmap:102 H264/90000\r\n", 66, 0xe0, -1},
        {"a=rtpmap:102 H264/90000\na=fmtp:102 packetization-mode=1;profile-level-id=42e0", 66, 0xe0, -1},
        {"a=rtpmap:102 H264/90000\na=fmtp:102 packetization-mode=1;profile-level-id=42zz1f", 66, 0xe0, -1},
        {"a=rtpmap:999 H264/90000\na=fmtp:999 packetization-mode=1;profile-level-id=42e01f", 66, 0xe0, -1},
        {"a=rtpmap:102 H264/90000 a=fmtp:102 packetization-mode=1;profile-level-id=42e01f", 66, 0xe0, -1},
        {"", 66, 0xe0, -1},
        {std::string(100000, 'a'), 66, 0xe0, -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.expected, PickH264Payload(c.offer, c.profile, c.constraints))
            << c.offer.substr(0, 120) << " for profile " << int(c.profile) << "/" << int(c.constraints);
    }
}

}  // namespace
}  // namespace kn::gateway
