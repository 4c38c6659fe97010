#include "fp/StandardTemplate.h"

#include <algorithm>
#include <cmath>

#include "fp/Template.h"

namespace fp {
namespace {

constexpr std::uint8_t kMagic[8] = {'F', 'M', 'R', 0, ' ', '2', '0', 0};
constexpr std::size_t kIsoHeader = 24;
constexpr std::size_t kAnsiHeader = 26;  // with the short, 2-byte record length
constexpr std::size_t kAnsiLongLength = 4;
constexpr std::uint16_t kRidgeCountArea = 1;
constexpr std::uint16_t kCoreDeltaArea = 2;
constexpr int kDotsPerInch = 500;
// 500 dpi in the pixels per centimetre of the record header.
constexpr std::uint16_t kPixelsPerCm = 197;
constexpr int kUnreportedQuality = 50;
// Our ending points out of its ridge and our bifurcation along its stem; the
// standards bisect the narrow angle between the branches of the ridge (or of
// the valley at an ending), which points the other way.
constexpr int kStandardSense = 128;

void Put8(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}
void Put16(std::vector<std::uint8_t>& out, unsigned v) {
    Put8(out, v >> 8);
    Put8(out, v);
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v >> 16);
    Put16(out, v & 0xFFFF);
}
void Set16(std::vector<std::uint8_t>& out, std::size_t at, unsigned v) {
    out[at] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(v & 0xFF);
}

// Bounds-checked big-endian reads; a read past the end sets `failed`.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    unsigned U8() { return Take(1) ? data_[pos_ - 1] : 0; }
    unsigned U16() { return Take(2) ? (data_[pos_ - 2] << 8) | data_[pos_ - 1] : 0; }
    std::uint32_t U32() {
        const std::uint32_t high = U16();
        return (high << 16) | U16();
    }
    bool Skip(std::size_t n) { return Take(n); }
    std::size_t Position() const { return pos_; }
    bool Failed() const { return failed_; }

private:
    bool Take(std::size_t n) {
        if (failed_ || size_ - pos_ < n) {
            failed_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

// Angles in 1/256 of a turn as the standard counts them: counter-clockwise as
// the picture is seen, origin top left. Features from bottom-up rows are
// already mirrored, so their sense agrees with the picture's.
int ToPictureAngle(int direction, bool bottomUp) {
    return (bottomUp ? direction : 256 - direction) & 0xFF;
}

unsigned EncodeAngle(int turn256, StandardFormat format) {
    if (format == StandardFormat::Iso2005) return static_cast<unsigned>(turn256 & 0xFF);
    return static_cast<unsigned>(std::lround(turn256 * 45.0 / 64.0)) % 180;  // 2 degree steps
}

int DecodeAngle(unsigned value, StandardFormat format) {
    if (format == StandardFormat::Iso2005) return static_cast<int>(value);
    return static_cast<int>(std::lround(value * 64.0 / 45.0)) & 0xFF;
}

struct Geometry {
    unsigned width = 0, height = 0;
    double scaleX = 1, scaleY = 1;
    bool bottomUp = false;

    std::uint16_t X(unsigned x) const {
        return static_cast<std::uint16_t>(
            std::min<long>(std::lround(x * scaleX), static_cast<long>(width) - 1));
    }
    std::uint16_t Y(unsigned y) const {
        const auto v = static_cast<std::uint16_t>(
            std::min<long>(std::lround(y * scaleY), static_cast<long>(height) - 1));
        return bottomUp ? static_cast<std::uint16_t>(height - 1 - v) : v;
    }
};

// Scale to 500 dpi from a header resolution; differences under 2 % are the
// rounding of 500 dpi to whole pixels per centimetre.
bool ScaleFrom(unsigned pixelsPerCm, double& scale) {
    if (pixelsPerCm == 0) return false;
    scale = kDotsPerInch / (pixelsPerCm * 2.54);
    if (std::fabs(scale - 1) < 0.02) scale = 1;
    return scale >= 0.25 && scale <= 4;
}

struct View {
    StandardRecordInfo info;
    std::vector<Minutia> minutiae;
    std::vector<SingularPoint> singular;
};

StandardError ReadCoresAndDeltas(Reader& r, std::size_t end, const Geometry& g,
                                 StandardFormat format, unsigned width, unsigned height,
                                 std::vector<SingularPoint>& out) {
    for (const SingularType type : {SingularType::Core, SingularType::Delta}) {
        const unsigned head = r.U8();
        const bool angles = (head >> 6) == 1;
        if ((head >> 6) > 1) return StandardError::BadExtended;
        const unsigned count = head & 0x0F;
        for (unsigned i = 0; i < count; ++i) {
            const unsigned x = r.U16() & 0x3FFF, y = r.U16() & 0x3FFF;
            int direction = 0;
            if (angles) {
                direction = DecodeAngle(r.U8(), format);
                if (type == SingularType::Delta) r.Skip(2);  // the other two delta arms
            }
            if (r.Failed() || r.Position() > end) return StandardError::BadExtended;
            if (x >= width || y >= height) return StandardError::BadExtended;
            if (out.size() >= kMaxTemplateSingularPoints) continue;
            SingularPoint s;
            s.x = g.X(x);
            s.y = g.Y(y);
            s.type = type;
            s.direction = static_cast<std::uint8_t>(ToPictureAngle(direction, g.bottomUp));
            out.push_back(s);
        }
    }
    return r.Position() == end ? StandardError::None : StandardError::BadExtended;
}

StandardError ReadView(Reader& r, StandardFormat format, const Geometry& g, unsigned width,
                       unsigned height, View& v) {
    v.info.fingerPosition = static_cast<std::uint8_t>(r.U8());
    const unsigned viewAndImpression = r.U8();
    v.info.viewNumber = static_cast<std::uint8_t>(viewAndImpression >> 4);
    v.info.impressionType = static_cast<std::uint8_t>(viewAndImpression & 0x0F);
    v.info.fingerQuality = static_cast<int>(r.U8());
    const unsigned count = r.U8();
    if (r.Failed()) return StandardError::Truncated;
    if (v.info.fingerPosition > 10 || v.info.fingerQuality > 100 ||
        (v.info.impressionType > 3 && v.info.impressionType != 8))
        return StandardError::BadView;
    v.minutiae.resize(count);
    for (Minutia& m : v.minutiae) {
        const unsigned tx = r.U16(), y = r.U16() & 0x3FFF, angle = r.U8(), quality = r.U8();
        if (r.Failed()) return StandardError::Truncated;
        const unsigned type = tx >> 14, x = tx & 0x3FFF;
        if (type == 3 || x >= width || y >= height || quality > 100 ||
            (format == StandardFormat::Ansi2004 && angle >= 180))
            return StandardError::BadMinutia;
        m.x = g.X(x);
        m.y = g.Y(y);
        m.type = static_cast<MinutiaType>(type);
        m.direction = static_cast<std::uint8_t>(
            ToPictureAngle(DecodeAngle(angle, format) + 256 - kStandardSense, g.bottomUp));
        m.quality = static_cast<std::uint8_t>(quality == 0 ? kUnreportedQuality : quality);
    }
    const unsigned extended = r.U16();
    if (r.Failed()) return StandardError::Truncated;
    const std::size_t blockEnd = r.Position() + extended;
    while (r.Position() < blockEnd) {
        const unsigned type = r.U16(), length = r.U16();
        if (r.Failed() || length < 4 || r.Position() - 4 + length > blockEnd)
            return StandardError::BadExtended;
        const std::size_t areaEnd = r.Position() - 4 + length;
        if (type == kRidgeCountArea) {
            if (length < 5 || (length - 5) % 3 != 0 || r.U8() > 2)
                return StandardError::BadExtended;
            // We keep no ridge counts, but a record that names missing minutiae is broken.
            while (r.Position() < areaEnd) {
                const unsigned a = r.U8(), b = r.U8();
                r.Skip(1);
                if (a == 0 || b == 0 || a > count || b > count) return StandardError::BadExtended;
            }
        } else if (type == kCoreDeltaArea) {
            if (const StandardError e =
                    ReadCoresAndDeltas(r, areaEnd, g, format, width, height, v.singular);
                e != StandardError::None)
                return e;
        } else if (!r.Skip(length - 4)) {
            return StandardError::Truncated;
        }
        if (r.Failed()) return StandardError::Truncated;
    }
    return StandardError::None;
}

void WriteCoresAndDeltas(std::vector<std::uint8_t>& out, const Features& f, StandardFormat format,
                         bool bottomUp) {
    std::vector<const SingularPoint*> cores, deltas;
    for (const SingularPoint& s : f.singularPoints)
        (s.type == SingularType::Delta ? deltas : cores).push_back(&s);
    if (cores.empty() && deltas.empty()) return;
    cores.resize(std::min<std::size_t>(cores.size(), 15));
    deltas.resize(std::min<std::size_t>(deltas.size(), 15));
    // Our deltas carry one direction, not the standard's three; they go without.
    const bool coreAngles = std::any_of(cores.begin(), cores.end(),
                                        [](const SingularPoint* s) { return s->direction != 0; });
    const std::size_t start = out.size();
    Put16(out, kCoreDeltaArea);
    Put16(out, 0);  // area length, set below
    Put8(out, (coreAngles ? 0x40u : 0u) | static_cast<unsigned>(cores.size()));
    auto y = [&](unsigned v) { return bottomUp ? f.height - 1u - v : v; };
    for (const SingularPoint* s : cores) {
        Put16(out, s->x);
        Put16(out, y(s->y));
        if (coreAngles) Put8(out, EncodeAngle(ToPictureAngle(s->direction, bottomUp), format));
    }
    Put8(out, static_cast<unsigned>(deltas.size()));
    for (const SingularPoint* s : deltas) {
        Put16(out, s->x);
        Put16(out, y(s->y));
    }
    Set16(out, start + 2, static_cast<unsigned>(out.size() - start));
}

}  // namespace

const char* ToString(StandardError error) {
    switch (error) {
        case StandardError::None:
            return "no error";
        case StandardError::NullData:
            return "no record data";
        case StandardError::Truncated:
            return "record truncated";
        case StandardError::BadMagic:
            return "not a finger minutiae record of version 20";
        case StandardError::BadLength:
            return "record length does not match its contents";
        case StandardError::BadHeader:
            return "record header out of range (image size, resolution or view count)";
        case StandardError::BadView:
            return "finger view header out of range (position, impression or quality)";
        case StandardError::BadMinutia:
            return "minutia out of range (type, position, angle or quality)";
        case StandardError::BadExtended:
            return "malformed extended data";
        case StandardError::NoSuchView:
            return "record has no such finger view";
    }
    return "unknown record error";
}

std::vector<std::uint8_t> EncodeStandardTemplate(const Features& f, StandardFormat format,
                                                 const StandardRecordInfo& info) {
    const bool bottomUp = info.bottomUp;
    const std::size_t count = std::min<std::size_t>(f.minutiae.size(), 255);
    int quality = info.fingerQuality;
    if (quality < 0) {
        long sum = 0;
        for (std::size_t i = 0; i < count; ++i) sum += f.minutiae[i].quality;
        quality = count ? static_cast<int>(sum / static_cast<long>(count)) : 0;
    }

    std::vector<std::uint8_t> out(kMagic, kMagic + 8);
    if (format == StandardFormat::Iso2005) {
        Put32(out, 0);  // record length, set below
    } else {
        Put16(out, 0);
        Put16(out, info.cbeffOwner);
        Put16(out, info.cbeffType);
    }
    Put16(out, info.captureDevice & 0x0FFFu);
    Put16(out, f.width);
    Put16(out, f.height);
    Put16(out, kPixelsPerCm);
    Put16(out, kPixelsPerCm);
    Put8(out, 1);  // finger views
    Put8(out, 0);

    Put8(out, std::min<unsigned>(info.fingerPosition, 10));
    Put8(out, ((info.viewNumber & 0x0Fu) << 4) | (info.impressionType & 0x0Fu));
    Put8(out, static_cast<unsigned>(std::clamp(quality, 0, 100)));
    Put8(out, static_cast<unsigned>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const Minutia& m = f.minutiae[i];
        const unsigned y = bottomUp ? f.height - 1u - m.y : m.y;
        Put16(out, (static_cast<unsigned>(m.type) << 14) | (m.x & 0x3FFFu));
        Put16(out, y & 0x3FFFu);
        Put8(out, EncodeAngle(ToPictureAngle(m.direction, bottomUp) + kStandardSense, format));
        Put8(out, std::clamp<unsigned>(m.quality, 1, 100));  // 0 would read "not reported"
    }
    const std::size_t extendedAt = out.size();
    Put16(out, 0);
    WriteCoresAndDeltas(out, f, format, bottomUp);
    Set16(out, extendedAt, static_cast<unsigned>(out.size() - extendedAt - 2));

    const std::size_t total = out.size();
    if (format == StandardFormat::Iso2005) {
        for (int k = 0; k < 4; ++k) out[8 + k] = static_cast<std::uint8_t>(total >> (24 - 8 * k));
    } else if (total <= 0xFFFF) {
        Set16(out, 8, static_cast<unsigned>(total));
    } else {
        // The long form: a zero short length, then four bytes.
        const std::size_t longTotal = total + kAnsiLongLength;
        const std::uint8_t length[kAnsiLongLength] = {
            static_cast<std::uint8_t>(longTotal >> 24), static_cast<std::uint8_t>(longTotal >> 16),
            static_cast<std::uint8_t>(longTotal >> 8), static_cast<std::uint8_t>(longTotal)};
        out.insert(out.begin() + 10, length, length + kAnsiLongLength);
    }
    return out;
}

std::optional<StandardFormat> DetectStandardFormat(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kAnsiHeader || !std::equal(kMagic, kMagic + 8, data))
        return std::nullopt;
    // ISO's 4-byte length starts with two zero bytes for any record we read;
    // ANSI's 2-byte length is not zero unless the 4-byte long form follows.
    if (data[8] != 0 || data[9] != 0) return StandardFormat::Ansi2004;
    Reader r(data + 8, 6);
    const std::uint32_t iso = r.U32();
    if (iso >= kIsoHeader && iso <= size) return StandardFormat::Iso2005;
    return StandardFormat::Ansi2004;
}

StandardError DecodeStandardTemplate(const std::uint8_t* data, std::size_t size,
                                     StandardFormat format, Features& out, StandardRecordInfo* info,
                                     int view) {
    if (data == nullptr) return StandardError::NullData;
    if (size < 8) return StandardError::Truncated;
    if (!std::equal(kMagic, kMagic + 8, data)) return StandardError::BadMagic;
    Reader r(data, size);
    r.Skip(8);
    std::size_t length = 0;
    StandardRecordInfo header;
    if (format == StandardFormat::Iso2005) {
        length = r.U32();
    } else {
        length = r.U16();
        if (length == 0) length = r.U32();
        header.cbeffOwner = static_cast<std::uint16_t>(r.U16());
        header.cbeffType = static_cast<std::uint16_t>(r.U16());
    }
    header.captureDevice = static_cast<std::uint16_t>(r.U16() & 0x0FFF);
    const unsigned width = r.U16(), height = r.U16(), resX = r.U16(), resY = r.U16();
    const unsigned views = r.U8();
    r.Skip(1);
    if (r.Failed()) return StandardError::Truncated;
    if (length < r.Position()) return StandardError::BadLength;
    if (length > size) return StandardError::Truncated;

    Geometry g;
    g.bottomUp = info != nullptr && info->bottomUp;
    if (width == 0 || height == 0 || width > 0x3FFF || height > 0x3FFF || views == 0 ||
        !ScaleFrom(resX, g.scaleX) || !ScaleFrom(resY, g.scaleY))
        return StandardError::BadHeader;
    g.width = static_cast<unsigned>(std::lround(width * g.scaleX));
    g.height = static_cast<unsigned>(std::lround(height * g.scaleY));
    if (g.width == 0 || g.height == 0 || g.width > static_cast<unsigned>(kMaxTemplateSide) ||
        g.height > static_cast<unsigned>(kMaxTemplateSide))
        return StandardError::BadHeader;

    // Every view is checked, so a record is accepted or refused as a whole.
    Reader body(data, length);
    body.Skip(r.Position());
    View chosen;
    for (unsigned i = 0; i < views; ++i) {
        View v;
        if (const StandardError e = ReadView(body, format, g, width, height, v);
            e != StandardError::None)
            return body.Failed() ? StandardError::BadLength : e;
        if (static_cast<int>(i) == view) chosen = std::move(v);
    }
    if (body.Position() != length) return StandardError::BadLength;
    if (view < 0 || static_cast<unsigned>(view) >= views) return StandardError::NoSuchView;

    Features f;
    f.width = static_cast<std::uint16_t>(g.width);
    f.height = static_cast<std::uint16_t>(g.height);
    f.resolution = kDotsPerInch;
    f.minutiae = std::move(chosen.minutiae);
    f.singularPoints = std::move(chosen.singular);
    f.mask.columns = f.mask.rows = 0;
    f.orientation.columns = f.orientation.rows = 0;
    out = std::move(f);
    if (info != nullptr) {
        const bool bottomUp = info->bottomUp;
        *info = chosen.info;
        info->cbeffOwner = header.cbeffOwner;
        info->cbeffType = header.cbeffType;
        info->captureDevice = header.captureDevice;
        info->bottomUp = bottomUp;
    }
    return StandardError::None;
}

}  // namespace fp
