#include "fp/Template.h"

#include "PrintLayout.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace fp {
namespace {

// Each byte's eight bits as eight bytes of 0 or 1, least significant first.
struct SpreadBytes {
    std::uint8_t bytes[256][8];
    SpreadBytes() {
        for (int v = 0; v < 256; ++v)
            for (int b = 0; b < 8; ++b) bytes[v][b] = static_cast<std::uint8_t>((v >> b) & 1);
    }
};

constexpr std::uint8_t kMagic[4] = {'K', 'F', 'P', 'T'};
constexpr std::uint8_t kFlagMask = 0x01;
constexpr std::size_t kMinutiaBytes = 9;
constexpr std::size_t kSingularBytes = 6;
constexpr std::size_t kChecksumBytes = 4;

// Eight bytes, little-endian.
std::uint64_t Get64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&v, p, 8);
    } else {
        for (int b = 7; b >= 0; --b) v = (v << 8) | p[b];
    }
    return v;
}

// Slicing by eight: table k advances the register over a byte followed by k
// zero bytes, so eight bytes take eight independent lookups instead of eight
// dependent steps.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

CrcTables MakeCrcTables() {
    CrcTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
    return t;
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    static const CrcTables t = MakeCrcTables();
    std::uint32_t c = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t eight = Get64(data + i);
        const std::uint32_t lo = c ^ static_cast<std::uint32_t>(eight);
        const std::uint32_t hi = static_cast<std::uint32_t>(eight >> 32);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; i < size; ++i) c = t[0][(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void Put16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

unsigned Get16(const std::uint8_t* p) {
    return p[0] | (p[1] << 8);
}

std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::size_t MaskBytes(unsigned columns, unsigned rows) {
    return (columns * rows + 7) / 8;
}

constexpr std::size_t kNeighbours = detail::PrintLayout::kNeighbours;
constexpr std::size_t kCellBytes = 8 * detail::PrintLayout::kCellWords;

// What version 2 adds: the neighbour lists of every minutia and the cells of
// the seeding ones.
std::size_t NeighbourBytes(std::size_t minutiae) {
    return minutiae * kNeighbours + std::min(minutiae, detail::params::kSeedMinutiae) * kCellBytes;
}

// Stored neighbour lists must name other minutiae within reach, empty slots
// last. Their order is not worked out again (that is the cost they spare): a
// list that names the wrong minutiae only changes its own template's scores.
bool PlausibleNeighbours(const std::vector<Minutia>& minutiae, const std::uint8_t* nearest) {
    constexpr std::uint8_t kNone = detail::StoredNeighbourhoods::kNone;
    constexpr int kReachSquare =
        static_cast<int>(detail::params::kNeighbourReach * detail::params::kNeighbourReach);
    const std::size_t n = minutiae.size();
    bool bad = false;
    for (std::size_t i = 0; i < n; ++i, nearest += kNeighbours) {
        const int x = minutiae[i].x, y = minutiae[i].y;
        for (std::size_t k = 0; k < kNeighbours; ++k) {
            const std::size_t j = nearest[k];
            if (j == kNone) {
                bad |= std::any_of(nearest + k, nearest + kNeighbours,
                                   [](std::uint8_t v) { return v != kNone; });
                break;
            }
            if (j >= n) return false;
            const int dx = minutiae[j].x - x, dy = minutiae[j].y - y;
            bad |= j == i || dx * dx + dy * dy >= kReachSquare;
        }
    }
    return !bad;
}

struct Header {
    unsigned version = 0;
    std::size_t size = 0;
    unsigned width = 0, height = 0, resolution = 0;
    unsigned minutiae = 0, singular = 0, cell = 0;
    unsigned columns = 0, rows = 0;
    unsigned orientationCell = 0, orientationColumns = 0, orientationRows = 0;
};

// Everything that can be checked before looking at the records.
TemplateError ReadHeader(const std::uint8_t* data, std::size_t size, Header& h) {
    if (data == nullptr) return TemplateError::NullData;
    if (size < kTemplateHeaderSize + kChecksumBytes) return TemplateError::Truncated;
    if (!std::equal(kMagic, kMagic + 4, data)) return TemplateError::BadMagic;
    h.version = data[4];
    if (h.version < 1 || h.version > kTemplateVersion) return TemplateError::BadVersion;
    h.size = Get16(data + 6);
    if (h.size < kTemplateHeaderSize + kChecksumBytes || h.size > kMaxTemplateSize)
        return TemplateError::BadSize;
    if (size < h.size) return TemplateError::Truncated;
    if (Crc32(data, h.size - kChecksumBytes) != Get32(data + h.size - kChecksumBytes))
        return TemplateError::BadChecksum;

    const std::uint8_t flags = data[5];
    h.width = Get16(data + 8);
    h.height = Get16(data + 10);
    h.resolution = Get16(data + 12);
    h.minutiae = Get16(data + 14);
    h.singular = data[16];
    h.cell = data[17];
    h.orientationCell = data[18];
    if ((flags & ~kFlagMask) != 0 || data[19] != 0) return TemplateError::BadValue;
    if (h.width == 0 || h.height == 0 || h.width > kMaxTemplateSide ||
        h.height > kMaxTemplateSide || h.resolution == 0)
        return TemplateError::BadValue;
    if (h.minutiae > kMaxTemplateMinutiae || h.singular > kMaxTemplateSingularPoints)
        return TemplateError::BadValue;
    std::size_t expected = kTemplateHeaderSize + h.minutiae * kMinutiaBytes +
                           h.singular * kSingularBytes + kChecksumBytes;
    if (flags & kFlagMask) {
        if (h.cell < 4) return TemplateError::BadValue;
        h.columns = (h.width + h.cell - 1) / h.cell;
        h.rows = (h.height + h.cell - 1) / h.cell;
        expected += MaskBytes(h.columns, h.rows);
    } else if (h.cell != 0) {
        return TemplateError::BadValue;
    }
    if (h.orientationCell != 0) {
        if (h.orientationCell < 8) return TemplateError::BadValue;
        h.orientationColumns = (h.width + h.orientationCell - 1) / h.orientationCell;
        h.orientationRows = (h.height + h.orientationCell - 1) / h.orientationCell;
        expected += static_cast<std::size_t>(h.orientationColumns) * h.orientationRows;
    }
    if (h.version >= 2) expected += NeighbourBytes(h.minutiae);
    if (h.version >= 3) expected += h.minutiae * kNeighbours;
    if (expected != h.size) return TemplateError::BadSize;
    return TemplateError::None;
}

}  // namespace

const char* ToString(TemplateError error) {
    switch (error) {
        case TemplateError::None:
            return "no error";
        case TemplateError::NullData:
            return "no template data";
        case TemplateError::Truncated:
            return "template truncated";
        case TemplateError::BadMagic:
            return "not a template of this engine";
        case TemplateError::BadVersion:
            return "unsupported template version";
        case TemplateError::BadSize:
            return "template size does not match its contents";
        case TemplateError::BadChecksum:
            return "template checksum mismatch";
        case TemplateError::BadValue:
            return "template field out of range";
    }
    return "unknown template error";
}

std::vector<std::uint8_t> EncodeTemplate(const Features& f) {
    return EncodeTemplate(f, kTemplateVersion);
}

std::vector<std::uint8_t> EncodeTemplate(const Features& f, std::uint8_t version) {
    const std::size_t minutiae = std::min(f.minutiae.size(), kMaxTemplateMinutiae);
    const std::size_t singular = std::min(f.singularPoints.size(), kMaxTemplateSingularPoints);
    const OrientationGrid& o = f.orientation;
    const bool hasOrientation = o.cell >= 8 && o.columns == (f.width + o.cell - 1) / o.cell &&
                                o.rows == (f.height + o.cell - 1) / o.cell &&
                                o.angles.size() == static_cast<std::size_t>(o.columns) * o.rows;
    const bool hasMask = f.mask.columns > 0 && f.mask.rows > 0 && f.mask.cell >= 4 &&
                         f.mask.columns == (f.width + f.mask.cell - 1) / f.mask.cell &&
                         f.mask.rows == (f.height + f.mask.cell - 1) / f.mask.cell;

    std::vector<std::uint8_t> out;
    out.reserve(kTemplateHeaderSize + minutiae * kMinutiaBytes + 64);
    out.insert(out.end(), kMagic, kMagic + 4);
    out.push_back(kTemplateVersion);
    out.push_back(hasMask ? kFlagMask : 0);
    Put16(out, 0);  // total size, sealed below
    Put16(out, f.width);
    Put16(out, f.height);
    Put16(out, f.resolution);
    Put16(out, static_cast<unsigned>(minutiae));
    out.push_back(static_cast<std::uint8_t>(singular));
    out.push_back(hasMask ? f.mask.cell : 0);
    out.push_back(hasOrientation ? o.cell : 0);
    out.push_back(0);
    for (std::size_t i = 0; i < minutiae; ++i) {
        const Minutia& m = f.minutiae[i];
        Put16(out, m.x);
        Put16(out, m.y);
        out.push_back(m.direction);
        out.push_back(static_cast<std::uint8_t>(m.type));
        out.push_back(std::min<std::uint8_t>(m.quality, 100));
        out.push_back(m.curvature);
        out.push_back(m.period);
    }
    for (std::size_t i = 0; i < singular; ++i) {
        const SingularPoint& s = f.singularPoints[i];
        Put16(out, s.x);
        Put16(out, s.y);
        out.push_back(static_cast<std::uint8_t>(s.type));
        out.push_back(s.direction);
    }
    if (hasMask) {
        std::vector<std::uint8_t> packed(MaskBytes(f.mask.columns, f.mask.rows), 0);
        for (std::size_t i = 0; i < f.mask.bits.size() && i / 8 < packed.size(); ++i)
            if (f.mask.bits[i]) packed[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        out.insert(out.end(), packed.begin(), packed.end());
    }
    if (hasOrientation) out.insert(out.end(), o.angles.begin(), o.angles.end());
    // Versions 2 and 3 only where what they add fits the size limit.
    const bool counted =
        f.ridgeCounts.size() == f.minutiae.size() * kNeighbours && minutiae == f.minutiae.size();
    const std::size_t added = NeighbourBytes(minutiae);
    out[4] = 1;
    if (version >= 2 && out.size() + added + kChecksumBytes <= kMaxTemplateSize) {
        out[4] = 2;
        detail::StoredNeighbourhoods stored;
        detail::StoreNeighbourhoods(f, stored);
        out.insert(out.end(), stored.nearest.begin(), stored.nearest.end());
        for (const std::uint64_t word : stored.cells)
            for (int b = 0; b < 8; ++b) out.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
        if (version >= 3 && counted &&
            out.size() + f.ridgeCounts.size() + kChecksumBytes <= kMaxTemplateSize) {
            out[4] = 3;
            // An empty slot has no count, so a template has one byte form only.
            for (std::size_t k = 0; k < f.ridgeCounts.size(); ++k)
                out.push_back(stored.nearest[k] == detail::StoredNeighbourhoods::kNone
                                  ? kUnknownRidgeCount
                                  : f.ridgeCounts[k]);
        }
    }
    out.resize(out.size() + kChecksumBytes);
    SealTemplate(out);
    return out;
}

void SealTemplate(std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < kTemplateHeaderSize + kChecksumBytes || bytes.size() > 0xFFFF) return;
    bytes[6] = static_cast<std::uint8_t>(bytes.size() & 0xFF);
    bytes[7] = static_cast<std::uint8_t>(bytes.size() >> 8);
    const std::size_t body = bytes.size() - kChecksumBytes;
    const std::uint32_t crc = Crc32(bytes.data(), body);
    for (std::size_t k = 0; k < 4; ++k) bytes[body + k] = static_cast<std::uint8_t>(crc >> (8 * k));
}

TemplateError TemplateMinutiaCount(const std::uint8_t* data, std::size_t size, int& count) {
    Features features;
    const TemplateError error = DecodeTemplate(data, size, features);
    if (error == TemplateError::None) count = static_cast<int>(features.minutiae.size());
    return error;
}

TemplateError DecodeTemplate(const std::uint8_t* data, std::size_t size, Features& out) {
    thread_local detail::StoredNeighbourhoods ignored;
    return detail::DecodeTemplate(data, size, out, ignored);
}

TemplateError detail::DecodeTemplate(const std::uint8_t* data, std::size_t size, Features& out,
                                     StoredNeighbourhoods& stored) {
    Header h;
    if (const TemplateError error = ReadHeader(data, size, h); error != TemplateError::None)
        return error;

    // Decoded into buffers kept per thread and swapped with the output, so
    // that decoding many references does not allocate; on error `out` is untouched.
    thread_local Features f;
    f.mask.cell = f.orientation.cell = 16;
    f.mask.columns = f.mask.rows = f.orientation.columns = f.orientation.rows = 0;
    f.mask.bits.clear();
    f.orientation.angles.clear();
    f.width = static_cast<std::uint16_t>(h.width);
    f.height = static_cast<std::uint16_t>(h.height);
    f.resolution = static_cast<std::uint16_t>(h.resolution);
    const std::uint8_t* p = data + kTemplateHeaderSize;
    f.minutiae.resize(h.minutiae);
    for (Minutia& m : f.minutiae) {
        m.x = static_cast<std::uint16_t>(Get16(p));
        m.y = static_cast<std::uint16_t>(Get16(p + 2));
        m.direction = p[4];
        m.quality = p[6];
        m.curvature = p[7];
        m.period = p[8];
        if (m.x >= h.width || m.y >= h.height || p[5] > 2 || m.quality > 100)
            return TemplateError::BadValue;
        m.type = static_cast<MinutiaType>(p[5]);
        p += kMinutiaBytes;
    }
    f.singularPoints.resize(h.singular);
    for (SingularPoint& s : f.singularPoints) {
        s.x = static_cast<std::uint16_t>(Get16(p));
        s.y = static_cast<std::uint16_t>(Get16(p + 2));
        if (s.x >= h.width || s.y >= h.height || p[4] < 1 || p[4] > 3)
            return TemplateError::BadValue;
        s.type = static_cast<SingularType>(p[4]);
        s.direction = p[5];
        p += kSingularBytes;
    }
    if (h.columns > 0) {
        f.mask.cell = static_cast<std::uint8_t>(h.cell);
        f.mask.columns = static_cast<std::uint16_t>(h.columns);
        f.mask.rows = static_cast<std::uint16_t>(h.rows);
        f.mask.bits.resize(static_cast<std::size_t>(h.columns) * h.rows);
        std::uint8_t* bits = f.mask.bits.data();
        const std::size_t n = f.mask.bits.size();
        // Eight bits at a time from a table of every byte spread out, the
        // rest one by one.
        static const SpreadBytes spread;
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) std::memcpy(bits + i, spread.bytes[p[i >> 3]], 8);
        for (; i < n; ++i) bits[i] = (p[i >> 3] >> (i & 7)) & 1;
        // Padding bits of the last byte are zero, so a template has one byte form only.
        const std::size_t used = f.mask.bits.size() % 8;
        if (used != 0 && (p[f.mask.bits.size() / 8] >> used) != 0) return TemplateError::BadValue;
        p += MaskBytes(h.columns, h.rows);
    }
    if (h.orientationCell != 0) {
        f.orientation.cell = static_cast<std::uint8_t>(h.orientationCell);
        f.orientation.columns = static_cast<std::uint16_t>(h.orientationColumns);
        f.orientation.rows = static_cast<std::uint16_t>(h.orientationRows);
        f.orientation.angles.assign(
            p, p + static_cast<std::size_t>(h.orientationColumns) * h.orientationRows);
        p += f.orientation.angles.size();
    }
    thread_local StoredNeighbourhoods s;
    s.present = h.version >= 2;
    if (s.present) {
        if (!PlausibleNeighbours(f.minutiae, p)) return TemplateError::BadValue;
        s.nearest.assign(p, p + f.minutiae.size() * kNeighbours);
        p += s.nearest.size();
        s.cells.resize(std::min<std::size_t>(f.minutiae.size(), params::kSeedMinutiae) *
                       PrintLayout::kCellWords);
        for (std::uint64_t& word : s.cells) {
            word = Get64(p);
            p += 8;
        }
    }
    f.ridgeCounts.clear();
    if (h.version >= 3) {
        const std::size_t count = f.minutiae.size() * kNeighbours;
        for (std::size_t k = 0; k < count; ++k)
            if (s.nearest[k] == StoredNeighbourhoods::kNone && p[k] != kUnknownRidgeCount)
                return TemplateError::BadValue;
        f.ridgeCounts.assign(p, p + count);
        p += count;
    }
    std::swap(out, f);
    std::swap(stored, s);
    return TemplateError::None;
}

}  // namespace fp
