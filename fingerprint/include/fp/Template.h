// Our template: the features of one print in a versioned, checksummed byte
// form of at most kMaxTemplateSize bytes. fingerprint/README.md has the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fp/Features.h"

namespace fp {

inline constexpr std::size_t kMaxTemplateSize = 10000;
inline constexpr std::size_t kTemplateHeaderSize = 20;
inline constexpr std::uint8_t kTemplateVersion = 3;
inline constexpr std::size_t kMaxTemplateMinutiae = 255;
inline constexpr std::size_t kMaxTemplateSingularPoints = 16;
inline constexpr int kMaxTemplateSide = 4096;

enum class TemplateError {
    None = 0,
    NullData,
    Truncated,  // fewer bytes than the header or than the size it declares
    BadMagic,
    BadVersion,
    BadSize,  // declared size disagrees with the counts in the header
    BadChecksum,
    BadValue,  // a field outside its range (coordinates, types, counts)
};

const char* ToString(TemplateError error);

// Writes the features; counts above the limits are cut (highest quality first
// is the caller's business: the extractor already sorts that way).
std::vector<std::uint8_t> EncodeTemplate(const Features& features);
// The same in a given version: 1; 2, which adds what the matcher would
// otherwise work out for every reference it has not seen before; or 3 (the
// default), which adds the ridge counts to the neighbours. A template is
// written in the highest version asked for that its features carry (ridge
// counts for every minutia) and that fits kMaxTemplateSize.
std::vector<std::uint8_t> EncodeTemplate(const Features& features, std::uint8_t version);

// Reads a template of version 1, 2 or 3. `size` may exceed the declared size (a
// caller may pass its whole buffer); bytes past it are ignored. On error
// `out` is left unchanged.
TemplateError DecodeTemplate(const std::uint8_t* data, std::size_t size, Features& out);

// Rewrites the size field and checksum of `bytes` to match its length (at
// least a header and a checksum long), for tools that build or mutate
// templates on purpose.
void SealTemplate(std::vector<std::uint8_t>& bytes);

// Only the minutiae count, after the same checks as DecodeTemplate.
TemplateError TemplateMinutiaCount(const std::uint8_t* data, std::size_t size, int& count);

}  // namespace fp
