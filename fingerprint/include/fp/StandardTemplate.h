// Finger minutiae records of ISO/IEC 19794-2:2005 and ANSI INCITS 378-2004,
// the formats other vendors' matchers read. They carry minutiae and singular
// points only: features read from them have no foreground mask and no
// orientation grid. fingerprint/README.md documents the mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fp/Features.h"

namespace fp {

enum class StandardFormat { Iso2005, Ansi2004 };

// The fields of a record that our features do not hold.
struct StandardRecordInfo {
    std::uint8_t fingerPosition = 0;  // 0 unknown, 1..10 right thumb .. left little
    std::uint8_t viewNumber = 0;      // 0..15
    std::uint8_t impressionType = 0;  // 0 live-scan plain, 1 rolled, 2/3 non-live, 8 swipe
    int fingerQuality = -1;           // 0..100; -1: the mean quality of the minutiae
    std::uint16_t cbeffOwner = 0;     // ANSI only: CBEFF product owner and type
    std::uint16_t cbeffType = 0;
    std::uint16_t captureDevice = 0;  // capture equipment id, 12 bits
    // Not a record field: the features came from rows stored bottom-up (as
    // the SDK passes BMP rows), so their y runs up the picture. Records
    // always count y down from the top row.
    bool bottomUp = false;
};

enum class StandardError {
    None = 0,
    NullData,
    Truncated,    // shorter than a header or than the length it declares
    BadMagic,     // not "FMR\0" " 20\0"
    BadLength,    // the declared record length disagrees with the contents
    BadHeader,    // image size, resolution or view count out of range
    BadView,      // finger position, view, impression or quality out of range
    BadMinutia,   // type, position, angle or quality out of range
    BadExtended,  // an extended data area that does not fit its block
    NoSuchView,   // the record has fewer finger views than asked for
};

const char* ToString(StandardError error);

// Writes one finger view. Minutiae beyond 255 are cut (ours are sorted best
// first); coordinates are those of the features (500 dpi, origin top left).
std::vector<std::uint8_t> EncodeStandardTemplate(const Features& features, StandardFormat format,
                                                 const StandardRecordInfo& info = {});

// Tells the two formats apart by their header (they share magic and version).
std::optional<StandardFormat> DetectStandardFormat(const std::uint8_t* data, std::size_t size);

// Reads finger view `view` (0-based) of a record. Coordinates of records taken
// at another resolution are brought to 500 dpi. Extended data areas of unknown
// type are skipped; singular points beyond our template's 16 are dropped.
// `size` may exceed the record length; bytes past it are ignored. `info`, when
// given, says through bottomUp how to lay out the features and receives the
// view's fields. On error `out` and `info` are left unchanged.
StandardError DecodeStandardTemplate(const std::uint8_t* data, std::size_t size,
                                     StandardFormat format, Features& out,
                                     StandardRecordInfo* info = nullptr, int view = 0);

}  // namespace fp
