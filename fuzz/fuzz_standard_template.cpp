// libFuzzer target: arbitrary bytes as an ISO or ANSI finger minutiae record.
// Decoding must refuse or accept without fault; an accepted record must give
// features that our own template and matcher take, and that write back to a
// record which reads again to the same minutiae.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fp/Matcher.h"
#include "fp/StandardTemplate.h"
#include "fp/Template.h"

namespace {

void Exercise(const std::uint8_t* data, std::size_t size, fp::StandardFormat format) {
    fp::Features features;
    fp::StandardRecordInfo info;
    for (int view = 0; view < 2; ++view) {
        if (fp::DecodeStandardTemplate(data, size, format, features, &info, view) !=
            fp::StandardError::None)
            return;
        const std::vector<std::uint8_t> native = fp::EncodeTemplate(features);
        fp::Features decoded;
        if (fp::DecodeTemplate(native.data(), native.size(), decoded) != fp::TemplateError::None)
            std::abort();
        const std::vector<std::uint8_t> again = fp::EncodeStandardTemplate(features, format, info);
        fp::Features reread;
        if (fp::DecodeStandardTemplate(again.data(), again.size(), format, reread) !=
                fp::StandardError::None ||
            reread.minutiae.size() != features.minutiae.size())
            std::abort();
        const fp::PreparedPrint probe = fp::Prepare(features);
        const fp::PreparedPrint reference = fp::Prepare(reread, false);
        if (fp::Compare(probe, reference, {}).score < 0) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Exercise(data, size, fp::StandardFormat::Iso2005);
    Exercise(data, size, fp::StandardFormat::Ansi2004);
    return 0;
}
