// libFuzzer target: arbitrary bytes as a template. Decoding must refuse or
// accept without fault. The bytes are also tried with a repaired size field
// and checksum, so that mutations reach the field checks and the matcher
// instead of stopping at the checksum. An accepted template must encode back
// to the same features (version 1: the same bytes; versions 2 and 3 keep the
// neighbour lists they were given, which the encoder works out afresh) and
// survive identification as probe and as reference.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fp/Matcher.h"
#include "fp/Template.h"

namespace {

void Exercise(const std::uint8_t* data, std::size_t size) {
    fp::Features features;
    if (fp::DecodeTemplate(data, size, features) != fp::TemplateError::None) return;

    const std::vector<std::uint8_t> again = fp::EncodeTemplate(features, data[4]);
    if (data[4] == 1 && (again.size() > size || !std::equal(again.begin(), again.end(), data)))
        std::abort();
    fp::Features reread;
    if (fp::DecodeTemplate(again.data(), again.size(), reread) != fp::TemplateError::None ||
        fp::EncodeTemplate(reread, 1) != fp::EncodeTemplate(features, 1))
        std::abort();

    fp::Matcher matcher;
    if (matcher.IdentifyStart(data, size) != fp::TemplateError::None) std::abort();
    int score = -1;
    if (matcher.IdentifyNext(again.data(), again.size(), score) != fp::TemplateError::None ||
        score < 0)
        std::abort();
    matcher.IdentifyEnd();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Exercise(data, size);
    std::vector<std::uint8_t> sealed(data, data + size);
    fp::SealTemplate(sealed);
    Exercise(sealed.data(), sealed.size());
    return 0;
}
