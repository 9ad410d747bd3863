#include "tools/programs/gateway/hls/hls_window.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <initializer_list>

namespace kn::gateway {

namespace {

uint32_t Be32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint64_t Be64(const uint8_t *p) { return (static_cast<uint64_t>(Be32(p)) << 32) | Be32(p + 4); }

// The payload of the first box of this type among the boxes in [p, p+n);
// false when there is none or the boxes are malformed.
bool Child(const uint8_t *p, size_t n, const char *type, const uint8_t *&out, size_t &outSize)
{
    size_t at = 0;
    while (n - at >= 8) {
        uint64_t size = Be32(p + at);
        size_t header = 8;
        if (size == 1) {
            if (n - at < 16) {
                return false;
            }
            size = Be64(p + at + 8);
            header = 16;
        } else if (size == 0) {
            size = n - at;  // to the end
        }
        if (size < header || size > n - at) {
            return false;
        }
        if (std::memcmp(p + at + 4, type, 4) == 0) {
            out = p + at + header;
            outSize = static_cast<size_t>(size) - header;
            return true;
        }
        at += static_cast<size_t>(size);
    }
    return false;
}

// A box path, one child after another ("moov", "trak", ...).
bool Path(const uint8_t *p, size_t n, std::initializer_list<const char *> types, const uint8_t *&out, size_t &outSize)
{
    for (const char *type : types) {
        if (!Child(p, n, type, p, n)) {
            return false;
        }
    }
    out = p;
    outSize = n;
    return true;
}

int64_t ToUs(uint64_t units, uint32_t timescale)
{
    return static_cast<int64_t>((units / timescale) * 1'000'000 + (units % timescale) * 1'000'000 / timescale);
}

constexpr uint32_t kNonSync = 0x00010000;  // sample_is_non_sync_sample

// "1.234": microseconds as seconds, to the millisecond.
void AppendSeconds(std::string &out, int64_t us)
{
    const int64_t ms = (us + 500) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    out += text;
}

void AppendDate(std::string &out, int64_t wallMs)
{
    const std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(wallMs % 1000));
    out += text;
}

void AppendPartName(std::string &out, int64_t msn, int64_t part)
{
    out += std::to_string(msn);
    out += '.';
    out += std::to_string(part);
    out += ".m4s";
}

bool ParseNumber(const char *text, size_t size, int64_t &value)
{
    if (size == 0 || size > 18) {
        return false;
    }
    value = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

size_t CFragmentCutter::NextBox(const char *&type) const
{
    const size_t left = m_Buffer.size() - m_nScan;
    if (left < 8) {
        return 0;
    }
    const uint8_t *p = m_Buffer.data() + m_nScan;
    uint64_t size = Be32(p);
    size_t header = 8;
    if (size == 1) {
        if (left < 16) {
            return 0;
        }
        size = Be64(p + 8);
        header = 16;
    }
    // A box "to the end of the file" has no end in a stream.
    if (size < header || size > kMaxBox) {
        return SIZE_MAX;
    }
    type = reinterpret_cast<const char *>(p + 4);
    return size <= left ? static_cast<size_t>(size) : 0;
}

bool CFragmentCutter::ParseInit(const uint8_t *data, size_t size)
{
    const uint8_t *mdhd = nullptr;
    size_t n = 0;
    if (!Path(data, size, {"moov", "trak", "mdia", "mdhd"}, mdhd, n) || n < 4) {
        return false;
    }
    const size_t at = mdhd[0] == 1 ? 4 + 16 : 4 + 8;
    if (n < at + 4) {
        return false;
    }
    m_nTimescale = Be32(mdhd + at);
    return m_nTimescale != 0;
}

bool CFragmentCutter::ParseFragment(Fmp4Fragment &fragment) const
{
    const uint8_t *traf = nullptr;
    size_t n = 0;
    if (!Path(fragment.data, fragment.size, {"moof", "traf"}, traf, n)) {
        return false;
    }
    const uint8_t *box = nullptr;
    size_t size = 0;
    uint32_t defaultDuration = 0;
    uint32_t defaultFlags = 0;
    if (!Child(traf, n, "tfhd", box, size) || size < 8) {
        return false;
    }
    {
        const uint32_t flags = Be32(box) & 0xffffff;
        size_t at = 8 + ((flags & 0x1) ? 8 : 0) + ((flags & 0x2) ? 4 : 0);
        if (flags & 0x8) {
            if (size < at + 4) {
                return false;
            }
            defaultDuration = Be32(box + at);
            at += 4;
        }
        at += (flags & 0x10) ? 4 : 0;
        if (flags & 0x20) {
            if (size < at + 4) {
                return false;
            }
            defaultFlags = Be32(box + at);
        }
    }
    uint64_t start = 0;
    if (Child(traf, n, "tfdt", box, size)) {
        if (size < 8 || (box[0] == 1 && size < 12)) {
            return false;
        }
        start = box[0] == 1 ? Be64(box + 4) : Be32(box + 4);
    }
    if (!Child(traf, n, "trun", box, size) || size < 8) {
        return false;
    }
    const uint32_t flags = Be32(box) & 0xffffff;
    const uint32_t count = Be32(box + 4);
    size_t at = 8 + ((flags & 0x1) ? 4 : 0);
    uint32_t firstFlags = defaultFlags;
    bool haveFirst = false;
    if (flags & 0x4) {
        if (size < at + 4) {
            return false;
        }
        firstFlags = Be32(box + at);
        haveFirst = true;
        at += 4;
    }
    const size_t each = 4 * (((flags >> 8) & 1) + ((flags >> 9) & 1) + ((flags >> 10) & 1) + ((flags >> 11) & 1));
    if (count == 0 || (size - std::min(size, at)) / std::max<size_t>(each, 1) < (each != 0 ? count : 0)) {
        return false;
    }
    uint64_t duration = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *sample = box + at + i * each;
        duration += (flags & 0x100) ? Be32(sample) : defaultDuration;
        if (i == 0 && !haveFirst && (flags & 0x400)) {
            firstFlags = Be32(sample + ((flags & 0x100) ? 4 : 0) + ((flags & 0x200) ? 4 : 0));
        }
    }
    fragment.startUs = ToUs(start, m_nTimescale);
    fragment.durationUs = ToUs(duration, m_nTimescale);
    fragment.keyframe = (firstFlags & kNonSync) == 0;
    return true;
}

CHlsWindow::CHlsWindow() = default;

void CHlsWindow::SetInit(const uint8_t *data, size_t size) { m_Init.assign(data, data + size); }

HlsSegment &CHlsWindow::NewSegment(int64_t startUs, int64_t nowMs)
{
    HlsSegment &segment = m_Segments.emplace_back();
    segment.msn = m_nNextMsn++;
    segment.startUs = startUs;
    segment.wallMs = nowMs;
    if (!m_Spare.empty()) {
        segment.bytes.swap(m_Spare.back());
        m_Spare.pop_back();
    }
    return segment;
}

void CHlsWindow::CloseSegment()
{
    // A part still open ends with its segment.
    m_Segments.back().complete = true;
    m_bPartOpen = false;
}

void CHlsWindow::AddFragment(const Fmp4Fragment &fragment, int64_t nowMs)
{
    // A fragment larger than a quarter of the window is a broken stream:
    // it is dropped rather than let the window pass its bound.
    if (m_Init.empty() || fragment.size > kHlsMaxBytes / 4) {
        return;
    }
    HlsSegment *segment = m_Segments.empty() || m_Segments.back().complete ? nullptr : &m_Segments.back();
    if (segment != nullptr && !segment->parts.empty() &&
        (fragment.keyframe || segment->durationUs + fragment.durationUs > kHlsMaxSegmentUs ||
         segment->bytes.size() + fragment.size > kHlsMaxBytes / 4)) {
        CloseSegment();
        segment = nullptr;
    }
    if (segment == nullptr) {
        // The program date: the wall clock when the segment's first
        // sample came, on one line through the stream's media times.
        if (m_nAnchorUs == INT64_MIN) {
            m_nAnchorUs = nowMs * 1000 - (fragment.startUs + fragment.durationUs);
        }
        segment = &NewSegment(fragment.startUs, (m_nAnchorUs + fragment.startUs) / 1000);
    }
    const bool join = m_bPartOpen && segment->parts.back().durationUs + fragment.durationUs <= kHlsPartTargetUs;
    if (!join) {
        HlsPart &part = segment->parts.emplace_back();
        part.offset = segment->bytes.size();
        part.independent = fragment.keyframe && segment->parts.size() == 1;
    }
    HlsPart &part = segment->parts.back();
    segment->bytes.insert(segment->bytes.end(), fragment.data, fragment.data + fragment.size);
    part.size += fragment.size;
    part.durationUs += fragment.durationUs;
    segment->durationUs += fragment.durationUs;
    m_nBytes += fragment.size;
    m_bPartOpen = part.durationUs < kHlsPartCloseUs;
    Trim();
}

void CHlsWindow::Trim()
{
    int64_t behind = 0;  // the complete segments' duration, the oldest left out
    for (size_t i = 1; i < m_Segments.size(); ++i) {
        if (m_Segments[i].complete) {
            behind += m_Segments[i].durationUs;
        }
    }
    while (m_Segments.size() > 1 && (m_Segments.size() > kHlsMaxSegments || m_nBytes > kHlsMaxBytes ||
                                     behind >= kHlsWindowUs + m_Segments[1].durationUs)) {
        HlsSegment &oldest = m_Segments.front();
        m_nBytes -= oldest.bytes.size();
        behind -= m_Segments[1].complete ? m_Segments[1].durationUs : 0;
        oldest.bytes.clear();
        m_Spare.push_back(std::move(oldest.bytes));
        m_Segments.pop_front();
    }
}

// The parts a client may see: those of the newest segment that are
// closed. A part that may still take a fragment is not out yet.
size_t CHlsWindow::OutParts(const HlsSegment &segment) const
{
    const bool open = !segment.complete && m_bPartOpen && &segment == &m_Segments.back();
    return segment.parts.size() - (open ? 1 : 0);
}

bool CHlsWindow::HasParts() const
{
    return !m_Segments.empty() && (m_Segments.size() > 1 || OutParts(m_Segments.back()) > 0);
}

void CHlsWindow::Edge(int64_t &msn, int64_t &part) const
{
    // The newest part out: the newest segment's last closed part, or the
    // last part of the segment before it.
    if (m_Segments.empty()) {
        msn = m_nNextMsn;
        part = -1;
        return;
    }
    const HlsSegment &newest = m_Segments.back();
    const size_t out = OutParts(newest);
    if (out > 0 || m_Segments.size() == 1) {
        msn = newest.msn;
        part = static_cast<int64_t>(out) - 1;
        return;
    }
    const HlsSegment &before = m_Segments[m_Segments.size() - 2];
    msn = before.msn;
    part = static_cast<int64_t>(before.parts.size()) - 1;
}

const HlsSegment *CHlsWindow::Find(int64_t msn) const
{
    if (m_Segments.empty() || msn < m_Segments.front().msn || msn > m_Segments.back().msn) {
        return nullptr;
    }
    return &m_Segments[static_cast<size_t>(msn - m_Segments.front().msn)];
}

// Whether (msn, part) lies past the live edge by more than a client may
// wait for: a segment past the one being made and the next, or a part
// past the last one out by more than the advance part limit (counting a
// next segment's parts from the end of the current one).
static bool TooFar(int64_t edgeMsn, int64_t edgePart, int64_t current, int64_t msn, int64_t part)
{
    if (msn > current + 1) {
        return true;
    }
    if (part < 0) {
        return false;
    }
    if (msn == edgeMsn) {
        return part - edgePart > kHlsAdvancePartLimit;
    }
    if (msn > edgeMsn) {
        return part + 1 > kHlsAdvancePartLimit;
    }
    return false;
}

HlsWait CHlsWindow::PlaylistWait(int64_t msn, int64_t part) const
{
    if (msn < 0) {
        // A player that reads no parts (ffmpeg) finds nothing in a playlist
        // of parts alone: the first answer waits for the first segment.
        const bool segment = !m_Segments.empty() && (m_Segments.front().complete || m_Segments.size() > 1);
        return segment ? HlsWait::Ready : HlsWait::Wait;
    }
    int64_t edgeMsn = 0, edgePart = 0;
    Edge(edgeMsn, edgePart);
    const int64_t current = m_Segments.empty() ? m_nNextMsn : m_Segments.back().msn;
    if (TooFar(edgeMsn, edgePart, current, msn, part)) {
        return HlsWait::TooFar;
    }
    if (part < 0) {
        const bool done = !m_Segments.empty() && (m_Segments.back().complete ? current : current - 1) >= msn;
        return done ? HlsWait::Ready : HlsWait::Wait;
    }
    const bool reached = HasParts() && (edgeMsn > msn || (edgeMsn == msn && edgePart >= part));
    return reached ? HlsWait::Ready : HlsWait::Wait;
}

HlsWait CHlsWindow::MediaWait(int64_t msn, int64_t part, const uint8_t *&data, size_t &size) const
{
    int64_t edgeMsn = 0, edgePart = 0;
    Edge(edgeMsn, edgePart);
    const int64_t current = m_Segments.empty() ? m_nNextMsn : m_Segments.back().msn;
    if (TooFar(edgeMsn, edgePart, current, msn, part)) {
        return HlsWait::TooFar;
    }
    if (!m_Segments.empty() && msn < m_Segments.front().msn) {
        return HlsWait::Gone;
    }
    const HlsSegment *segment = Find(msn);
    if (segment == nullptr) {
        return HlsWait::Wait;  // the next segment
    }
    if (part < 0) {
        if (!segment->complete) {
            return HlsWait::Wait;
        }
        data = segment->bytes.data();
        size = segment->bytes.size();
        return HlsWait::Ready;
    }
    if (static_cast<size_t>(part) < OutParts(*segment)) {
        const HlsPart &p = segment->parts[static_cast<size_t>(part)];
        data = segment->bytes.data() + p.offset;
        size = p.size;
        return HlsWait::Ready;
    }
    // A hinted part of a segment that ended before it: there will be none.
    return segment->complete ? HlsWait::Gone : HlsWait::Wait;
}

std::string CHlsWindow::Playlist() const
{
    std::string out;
    out.reserve(256 + m_Segments.size() * 256);
    out += "#EXTM3U\n#EXT-X-VERSION:6\n#EXT-X-TARGETDURATION:";
    out += std::to_string(kHlsTargetDurationS);
    out += "\n#EXT-X-SERVER-CONTROL:CAN-BLOCK-RELOAD=YES,PART-HOLD-BACK=";
    AppendSeconds(out, 3 * kHlsPartTargetUs);
    out += "\n#EXT-X-PART-INF:PART-TARGET=";
    AppendSeconds(out, kHlsPartTargetUs);
    out += "\n#EXT-X-MEDIA-SEQUENCE:";
    out += std::to_string(m_Segments.empty() ? m_nNextMsn : m_Segments.front().msn);
    out += "\n#EXT-X-MAP:URI=\"init.mp4\"\n";

    // Parts are listed for the segments that end within the last three
    // target durations of the playlist.
    int64_t total = 0;
    for (const HlsSegment &segment : m_Segments) {
        total += segment.durationUs;
    }
    int64_t end = 0;
    for (const HlsSegment &segment : m_Segments) {
        const size_t parts = OutParts(segment);
        end += segment.durationUs;
        if (!segment.complete && parts == 0) {
            continue;
        }
        out += "#EXT-X-PROGRAM-DATE-TIME:";
        AppendDate(out, segment.wallMs);
        out += '\n';
        if (total - end < kHlsPartListUs) {
            for (size_t i = 0; i < parts; ++i) {
                const HlsPart &part = segment.parts[i];
                out += "#EXT-X-PART:DURATION=";
                AppendSeconds(out, part.durationUs);
                out += ",URI=\"";
                AppendPartName(out, segment.msn, static_cast<int64_t>(i));
                out += part.independent ? "\",INDEPENDENT=YES\n" : "\"\n";
            }
        }
        if (segment.complete) {
            out += "#EXTINF:";
            AppendSeconds(out, segment.durationUs);
            out += ",\n";
            out += std::to_string(segment.msn);
            out += ".m4s\n";
        }
    }
    // The next part, which a client may ask for before it is out.
    int64_t hintMsn = m_nNextMsn;
    int64_t hintPart = 0;
    if (!m_Segments.empty() && !m_Segments.back().complete) {
        hintMsn = m_Segments.back().msn;
        hintPart = static_cast<int64_t>(OutParts(m_Segments.back()));
    }
    out += "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"";
    AppendPartName(out, hintMsn, hintPart);
    out += "\"\n";
    return out;
}

bool ParseBlockingQuery(const char *msn, const char *part, int64_t &outMsn, int64_t &outPart)
{
    outMsn = -1;
    outPart = -1;
    if (msn == nullptr) {
        return part == nullptr;
    }
    if (!ParseNumber(msn, std::strlen(msn), outMsn)) {
        return false;
    }
    return part == nullptr || ParseNumber(part, std::strlen(part), outPart);
}

bool ParseMediaName(const std::string &name, int64_t &msn, int64_t &part)
{
    constexpr const char *kSuffix = ".m4s";
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, kSuffix) != 0) {
        return false;
    }
    const std::string stem = name.substr(0, name.size() - 4);
    const size_t dot = stem.find('.');
    part = -1;
    if (dot == std::string::npos) {
        return ParseNumber(stem.data(), stem.size(), msn);
    }
    return ParseNumber(stem.data(), dot, msn) && ParseNumber(stem.data() + dot + 1, stem.size() - dot - 1, part);
}

}  // namespace kn::gateway
