// The HLS side of a channel without its I/O: what the channel's one muxer
// writes (a fragmented MP4) cut into the init segment and fragments
// (CFragmentCutter), the fragments gathered into parts and the parts into
// segments of one group of pictures each, in a window bounded in segments,
// bytes and time (CHlsWindow), the media playlist written from the window,
// and the decision on a request that names a part or a segment the window
// does not hold yet (blocking reload).
//
// Everything here is called on one thread (the gateway's main loop) and
// knows no clock of its own: the caller says what time it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace kn::gateway {

// Fixed shape of every channel's playlist.
constexpr int kHlsTargetDurationS = 2;             // EXT-X-TARGETDURATION
constexpr int64_t kHlsMaxSegmentUs = 2'490'000;    // a longer group is split at a part (still rounds to 2)
constexpr int64_t kHlsPartTargetUs = 500'000;      // EXT-X-PART-INF:PART-TARGET
constexpr int64_t kHlsPartCloseUs = 300'000;       // a part this long is closed at its fragment's end
constexpr int64_t kHlsWindowUs = 8'000'000;        // segments kept behind the newest: at least this much
constexpr size_t kHlsMaxSegments = 32;             // and never more than this many
constexpr size_t kHlsMaxBytes = 16u << 20;         // nor more bytes than this, the segment being made counted
constexpr int64_t kHlsPartListUs = 3 * 2'000'000;  // parts are listed for this much of the playlist's end
constexpr int kHlsAdvancePartLimit = 3;            // how far past the last part a request may ask

// One fragment as the muxer wrote it (a moof and its mdat).
struct Fmp4Fragment {
    const uint8_t *data = nullptr;
    size_t size = 0;
    int64_t startUs = 0;     // its first sample's decode time
    int64_t durationUs = 0;  // the sum of its samples' durations
    bool keyframe = false;   // its first sample is a sync sample
};

// Cuts a fragmented MP4 that arrives in pieces of any size into the init
// segment (everything before the first moof: ftyp and moov) and its
// fragments (moof and mdat). Hostile bytes end the stream (Failed), never a
// read past what arrived.
class CFragmentCutter {
public:
    // Bytes one box may have at most; a larger one fails the stream.
    static constexpr size_t kMaxBox = 8u << 20;

    // Takes the next bytes. onInit(data, size) once, onFragment(fragment)
    // for each complete fragment; false once the stream failed.
    template <typename OnInit, typename OnFragment>
    bool Feed(const uint8_t *data, size_t size, OnInit onInit, OnFragment onFragment);
    bool Failed() const { return m_bFailed; }
    // The track's timescale from the init segment (0 before it).
    uint32_t Timescale() const { return m_nTimescale; }

private:
    // The next complete box at m_nPos: its size, 0 when it has not all
    // arrived, SIZE_MAX when it is malformed.
    size_t NextBox(const char *&type) const;
    bool ParseInit(const uint8_t *data, size_t size);
    bool ParseFragment(Fmp4Fragment &fragment) const;

    std::vector<uint8_t> m_Buffer;
    size_t m_nPos = 0;     // the start of what is not handed out yet
    size_t m_nScan = 0;    // the box at which the scan goes on
    bool m_bInit = false;  // the init segment is out
    bool m_bFailed = false;
    uint32_t m_nTimescale = 0;
};

// A partial segment: a stretch of its segment's bytes.
struct HlsPart {
    size_t offset = 0;
    size_t size = 0;
    int64_t durationUs = 0;
    bool independent = false;  // begins with a keyframe
};

struct HlsSegment {
    int64_t msn = 0;      // media sequence number
    int64_t startUs = 0;  // its first sample's decode time
    int64_t durationUs = 0;
    int64_t wallMs = 0;  // when its first sample arrived (ms since the Unix epoch)
    bool complete = false;
    std::vector<uint8_t> bytes;  // its parts, one after the other
    std::vector<HlsPart> parts;
};

// What a request for a playlist, segment or part is to get.
enum class HlsWait {
    Ready,   // answer now
    Wait,    // not there yet: hold the request and ask again when the window grows
    TooFar,  // past the live edge by more than a client may block for: 400
    Gone,    // behind the window, or a part that will never be: 404
};

class CHlsWindow {
public:
    CHlsWindow();

    // The init segment; fragments are taken once it is set.
    void SetInit(const uint8_t *data, size_t size);
    const std::vector<uint8_t> &Init() const { return m_Init; }
    // A fragment (keyframe ones begin a segment); nowMs the wall clock
    // when it came, for the segments' program date.
    void AddFragment(const Fmp4Fragment &fragment, int64_t nowMs);

    // Whether there is a playlist to give (the first part is out).
    bool HasParts() const;
    // The media playlist.
    std::string Playlist() const;

    // A playlist asked with _HLS_msn (msn, -1 for none: an ordinary
    // request, which waits for the first complete segment) and _HLS_part
    // (part, -1 for none).
    HlsWait PlaylistWait(int64_t msn, int64_t part) const;
    // A segment (part -1) or a part; when Ready, its bytes.
    HlsWait MediaWait(int64_t msn, int64_t part, const uint8_t *&data, size_t &size) const;

    const std::deque<HlsSegment> &Segments() const { return m_Segments; }
    // The bytes the window holds (segments and init).
    size_t Bytes() const { return m_nBytes + m_Init.size(); }

private:
    HlsSegment &NewSegment(int64_t startUs, int64_t nowMs);
    void CloseSegment();
    void Trim();
    const HlsSegment *Find(int64_t msn) const;
    // The parts of a segment that are out (the last one of the segment
    // being made is not while it may take another fragment).
    size_t OutParts(const HlsSegment &segment) const;
    // Where the live edge is: the newest part's segment and index.
    void Edge(int64_t &msn, int64_t &part) const;

    std::vector<uint8_t> m_Init;
    std::deque<HlsSegment> m_Segments;
    std::vector<std::vector<uint8_t>> m_Spare;  // segments' byte buffers given back, their room kept
    int64_t m_nNextMsn = 0;
    size_t m_nBytes = 0;
    bool m_bPartOpen = false;         // the last part of the newest segment takes more fragments
    int64_t m_nAnchorUs = INT64_MIN;  // the wall clock (us) at media time 0
};

// Reads the query's _HLS_msn and _HLS_part: false when either is not a
// number, or a part is asked with no msn (400).
bool ParseBlockingQuery(const char *msn, const char *part, int64_t &outMsn, int64_t &outPart);
// Reads a media path's last component: "N.m4s" (part -1) or "N.P.m4s".
bool ParseMediaName(const std::string &name, int64_t &msn, int64_t &part);

template <typename OnInit, typename OnFragment>
bool CFragmentCutter::Feed(const uint8_t *data, size_t size, OnInit onInit, OnFragment onFragment)
{
    if (m_bFailed) {
        return false;
    }
    m_Buffer.insert(m_Buffer.end(), data, data + size);
    for (;;) {
        const char *type = nullptr;
        const size_t box = NextBox(type);
        if (box == SIZE_MAX) {
            m_bFailed = true;
            return false;
        }
        if (box == 0) {
            break;
        }
        const bool moof = std::memcmp(type, "moof", 4) == 0;
        if (m_nScan + box - m_nPos > 2 * kMaxBox) {
            m_bFailed = true;  // boxes that never make an init segment or a fragment
            return false;
        }
        if (!m_bInit) {
            if (moof) {
                if (!ParseInit(m_Buffer.data() + m_nPos, m_nScan - m_nPos)) {
                    m_bFailed = true;
                    return false;
                }
                onInit(m_Buffer.data() + m_nPos, m_nScan - m_nPos);
                m_bInit = true;
                m_nPos = m_nScan;
            }
            m_nScan += box;
            continue;
        }
        m_nScan += box;
        if (std::memcmp(type, "mdat", 4) == 0) {
            // A moof and its mdat: one fragment.
            Fmp4Fragment fragment;
            fragment.data = m_Buffer.data() + m_nPos;
            fragment.size = m_nScan - m_nPos;
            if (!ParseFragment(fragment)) {
                m_bFailed = true;
                return false;
            }
            onFragment(fragment);
            m_nPos = m_nScan;
        }
    }
    // What was handed out goes; the rest moves to the front.
    if (m_nPos > 0) {
        m_Buffer.erase(m_Buffer.begin(), m_Buffer.begin() + static_cast<std::ptrdiff_t>(m_nPos));
        m_nScan -= m_nPos;
        m_nPos = 0;
    }
    return true;
}

}  // namespace kn::gateway
