// kvt extract, match and identify: templates from pictures, and comparisons.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "Files.h"
#include "Output.h"
#include "Session.h"
#include "fp/StandardTemplate.h"
#include "fp/Template.h"

namespace fs = std::filesystem;
using cli::Args;
using cli::Reporter;

namespace {

constexpr const char* kScoreNote =
    "PROBE and the references are template files written by kvt extract (kvt,\n"
    "ISO 19794-2 or ANSI 378), or pictures (BMP) that are extracted on the way.\n"
    "Scores grow with similarity: a score s stands for a false-match rate of\n"
    "10^(-s/12), so 48 is 0.01 %. Whether a score counts as a match is up to\n"
    "the library's threshold (VF50-MThreshold in KVTBiometricsManager.ini).";

struct Fingerprint {
    std::string path;
    KVT_Template tpl{};
};

// The library hands templates over with y running up the picture (BMP rows
// are stored bottom-up); standard records count y down from the top.
fp::StandardRecordInfo LibraryLayout() {
    fp::StandardRecordInfo info;
    info.bottomUp = true;
    return info;
}

// An ISO or ANSI record as a template of the running algorithm: the library
// matches it like one it extracted, without mask and orientation grid.
bool ImportStandard(const std::vector<uint8_t>& bytes, fp::StandardFormat format, KVT_Template& tpl,
                    std::string& error) {
    fp::Features features;
    fp::StandardRecordInfo info = LibraryLayout();
    if (const fp::StandardError e =
            fp::DecodeStandardTemplate(bytes.data(), bytes.size(), format, features, &info);
        e != fp::StandardError::None) {
        error = std::string(format == fp::StandardFormat::Iso2005 ? "ISO" : "ANSI") +
                " record refused: " + fp::ToString(e);
        return false;
    }
    const std::vector<std::uint8_t> native = fp::EncodeTemplate(features);
    KVT_BiometricsInfo algorithm{};
    algorithm.size = sizeof algorithm;
    KVT_GetBiometricsInfo(&algorithm);
    tpl = KVT_Template{};
    tpl.size = sizeof tpl;
    std::copy(native.begin(), native.end(), tpl.data);
    tpl.bytesEffective = static_cast<int>(native.size());
    tpl.minutiaeCount = static_cast<int>(features.minutiae.size());
    tpl.quality = info.fingerQuality;
    tpl.type = algorithm.type;
    tpl.subType = algorithm.subType;
    return true;
}

// The template in the format asked for: kvt's own file, or a standard record.
bool ExportTemplate(const KVT_Template& tpl, const std::string& format, std::vector<uint8_t>& out,
                    std::string& error) {
    if (format == "kvt") {
        out = EncodeTemplate(tpl);
        return true;
    }
    fp::Features features;
    if (const fp::TemplateError e = fp::DecodeTemplate(
            tpl.data, static_cast<std::size_t>(std::clamp(tpl.bytesEffective, 0, 10000)), features);
        e != fp::TemplateError::None) {
        error = std::string("the template cannot be converted: ") + fp::ToString(e);
        return false;
    }
    out = fp::EncodeStandardTemplate(
        features, format == "iso" ? fp::StandardFormat::Iso2005 : fp::StandardFormat::Ansi2004,
        LibraryLayout());
    return true;
}

// Template or picture file -> template; returns an exit code.
int Load(const std::string& path, const std::string& properties, KVT_Template& tpl,
         std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, bytes, error)) return cli::kExitFile;
    if (const auto format = fp::DetectStandardFormat(bytes.data(), bytes.size())) {
        if (ImportStandard(bytes, *format, tpl, error)) return cli::kExitOk;
        error = Quoted(path) + ": " + error;
        return cli::kExitFile;
    }
    if (LooksLikeTemplate(bytes)) {
        if (DecodeTemplate(bytes, tpl, error)) return cli::kExitOk;
        error = Quoted(path) + ": " + error;
        return cli::kExitFile;
    }
    if (!LooksLikeBmp(bytes)) {
        error = Quoted(path) + " is neither a BMP picture nor a template";
        return cli::kExitFile;
    }
    KVT_CapturedData image{};
    image.size = sizeof image;
    image.image = bytes.data();
    image.imageSize = static_cast<unsigned int>(bytes.size());
    properties.copy(image.properties, sizeof image.properties - 1);
    tpl = KVT_Template{};
    tpl.size = sizeof tpl;
    const int result = KVT_ExtractTemplate(&image, &tpl);
    if (result == KVT_RESULT_OK) return cli::kExitOk;
    error = Quoted(path) + ": " +
            (result == KVT_RESULT_FAILED
                 ? std::string("no usable fingerprint in the picture")
                 : std::string("KVT_ExtractTemplate: ") + cli::ResultText(result));
    return cli::ExitFromResult(result);
}

std::string TemplateJson(const std::string& path, const KVT_Template& tpl) {
    return JsonObject()
        .Text("file", path)
        .Number("minutiae", tpl.minutiaeCount)
        .Number("quality", tpl.quality)
        .Number("bytes", tpl.bytesEffective)
        .Str();
}

int StartAlgorithm(Session& session, const Reporter& report) {
    if (const int result = session.Start(); result != KVT_RESULT_OK)
        return report.LibraryFail("KVT_Start", result);
    KVT_BiometricsInfo info{};
    info.size = sizeof info;
    if (const int result = KVT_GetBiometricsInfo(&info); result != KVT_RESULT_OK)
        return report.LibraryFail("KVT_GetBiometricsInfo", result);
    return cli::kExitOk;
}

int RunExtract(const Args& args, const Reporter& report) {
    const std::string image = args.Positional()[0];
    const std::string properties = args.Value("--properties");
    if (properties.size() >= sizeof(KVT_CapturedData::properties))
        return report.Fail(cli::kExitUsage, "--properties is too long");
    const std::string format = args.Value("--format", "kvt");
    if (format != "kvt" && format != "iso" && format != "ansi")
        return report.Fail(cli::kExitUsage, "--format is kvt, iso or ansi");
    const std::string output = args.Value(
        "-o", fs::path(image).replace_extension(format == "kvt" ? ".tpl" : ".fmr").string());

    Session session;
    if (const int exit = StartAlgorithm(session, report); exit != cli::kExitOk) return exit;
    Fingerprint print{image};
    std::string error;
    if (const int exit = Load(image, properties, print.tpl, error); exit != cli::kExitOk)
        return report.Fail(exit, error);
    session.Stop();
    std::vector<uint8_t> bytes;
    if (!ExportTemplate(print.tpl, format, bytes, error)) return report.Fail(cli::kExitFile, error);
    if (!WriteFile(output, bytes, error)) return report.Fail(cli::kExitFile, error);

    if (report.Json()) {
        std::fprintf(report.Out(), "%s\n", TemplateJson(output, print.tpl).c_str());
    } else {
        std::fprintf(report.Out(), "%s: %d minutiae, quality %d, %d bytes\n", output.c_str(),
                     print.tpl.minutiaeCount, print.tpl.quality, print.tpl.bytesEffective);
    }
    return cli::kExitOk;
}

int RunMatch(const Args& args, const Reporter& report) {
    Session session;
    if (const int exit = StartAlgorithm(session, report); exit != cli::kExitOk) return exit;
    std::vector<Fingerprint> prints;
    for (const std::string& path : args.Positional()) {
        prints.push_back({path});
        std::string error;
        if (const int exit = Load(path, {}, prints.back().tpl, error); exit != cli::kExitOk)
            return report.Fail(exit, error);
    }
    const Fingerprint& probe = prints.front();

    struct Outcome {
        int result;
        KVT_MatchResult match;
    };
    std::vector<Outcome> outcomes;
    int failure = KVT_RESULT_OK;
    bool matched = false;
    for (size_t i = 1; i < prints.size(); ++i) {
        Outcome outcome{KVT_RESULT_OK, KVT_MatchResult{}};
        outcome.match.size = sizeof outcome.match;
        outcome.result = KVT_MatchTemplate(&probe.tpl, &prints[i].tpl, 1, &outcome.match);
        if (outcome.result != KVT_RESULT_OK) failure = outcome.result;
        matched |= outcome.result == KVT_RESULT_OK && outcome.match.success == 0;
        outcomes.push_back(outcome);
    }
    session.Stop();

    const int exit = matched                    ? cli::kExitOk
                     : failure != KVT_RESULT_OK ? cli::ExitFromResult(failure)
                                                : cli::kExitNoMatch;
    std::FILE* out = report.Out();
    if (report.Json()) {
        std::vector<std::string> items;
        for (size_t i = 0; i < outcomes.size(); ++i) {
            JsonObject item;
            item.Text("file", prints[i + 1].path);
            if (outcomes[i].result == KVT_RESULT_OK) {
                item.Number("score", outcomes[i].match.score)
                    .Bool("match", outcomes[i].match.success == 0);
            } else {
                item.Null("score").Bool("match", false).Number("result", outcomes[i].result);
            }
            items.push_back(item.Str());
        }
        std::fprintf(out, "%s\n",
                     JsonObject()
                         .Raw("probe", TemplateJson(probe.path, probe.tpl))
                         .Raw("references", JsonArray(items))
                         .Bool("match", matched)
                         .Number("exit", exit)
                         .Str()
                         .c_str());
        return exit;
    }
    std::fprintf(out, "Probe %s: %d minutiae, quality %d\n\n", probe.path.c_str(),
                 probe.tpl.minutiaeCount, probe.tpl.quality);
    Table table({"REFERENCE", "SCORE", "RESULT"});
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        if (o.result != KVT_RESULT_OK) {
            table.Add({prints[i + 1].path, "-", cli::ResultText(o.result)});
        } else {
            table.Add({prints[i + 1].path, std::to_string(o.match.score),
                       o.match.success == 0 ? "match" : "no match"});
        }
    }
    table.Print(out);
    std::fprintf(out, "\n%s\n", matched ? "Match." : "No match.");
    return exit;
}

// Pictures and templates of the folder, in name order, without the probe.
std::vector<fs::path> Gallery(const fs::path& folder, const fs::path& probe) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        std::error_code same;
        if (entry.is_regular_file(ec) && !fs::equivalent(entry.path(), probe, same))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

int RunIdentify(const Args& args, const Reporter& report) {
    const fs::path probePath = args.Positional()[0];
    const fs::path folder = args.Positional()[1];
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return report.Fail(cli::kExitFile, Quoted(folder.string()) + " is not a folder");

    Session session;
    if (const int exit = StartAlgorithm(session, report); exit != cli::kExitOk) return exit;
    Fingerprint probe{probePath.string()};
    std::string error;
    if (const int exit = Load(probe.path, {}, probe.tpl, error); exit != cli::kExitOk)
        return report.Fail(exit, error);

    const std::vector<fs::path> files = Gallery(folder, probePath);
    const bool progress = !report.Json() && cli::StderrIsTerminal();
    std::vector<Fingerprint> gallery;
    std::vector<std::string> skipped;
    for (size_t i = 0; i < files.size(); ++i) {
        if (progress)
            std::fprintf(stderr, "\r\033[K  reading %zu/%zu  %s", i + 1, files.size(),
                         files[i].filename().string().c_str());
        Fingerprint print{files[i].string()};
        if (Load(print.path, {}, print.tpl, error) == cli::kExitOk) {
            gallery.push_back(std::move(print));
        } else {
            skipped.push_back(error);
        }
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
    if (gallery.empty()) {
        return report.Fail(cli::kExitFile,
                           "no pictures or templates in " + Quoted(folder.string()));
    }

    // One call: the library compares against the whole gallery at once.
    std::vector<KVT_Template> references;
    references.reserve(gallery.size());
    for (const Fingerprint& print : gallery) references.push_back(print.tpl);
    KVT_MatchResult match{};
    match.size = sizeof match;
    const int result = KVT_MatchTemplate(&probe.tpl, references.data(),
                                         static_cast<unsigned int>(references.size()), &match);
    session.Stop();
    if (result != KVT_RESULT_OK) return report.LibraryFail("KVT_MatchTemplate", result);
    const bool matched =
        match.success == 0 && match.index >= 0 && static_cast<size_t>(match.index) < gallery.size();
    const int exit = matched ? cli::kExitOk : cli::kExitNoMatch;

    std::FILE* out = report.Out();
    if (report.Json()) {
        JsonObject json;
        json.Raw("probe", TemplateJson(probe.path, probe.tpl))
            .Number("compared", static_cast<long long>(gallery.size()))
            .Number("skipped", static_cast<long long>(skipped.size()))
            .Bool("match", matched);
        if (matched) {
            json.Text("file", gallery[match.index].path).Number("score", match.score);
        } else {
            json.Null("file").Number("score", match.score);
        }
        std::fprintf(out, "%s\n", json.Number("exit", exit).Str().c_str());
        return exit;
    }
    for (const std::string& why : skipped) std::fprintf(stderr, "  skipped %s\n", why.c_str());
    std::fprintf(out, "Compared %s with %zu fingerprint%s in %s.\n", probe.path.c_str(),
                 gallery.size(), gallery.size() == 1 ? "" : "s", folder.string().c_str());
    if (matched) {
        std::fprintf(out, "Match: %s (score %d)\n", gallery[match.index].path.c_str(), match.score);
    } else {
        std::fprintf(out, "No match (best score %d).\n", match.score);
    }
    return exit;
}

}  // namespace

std::vector<cli::Command> BiometricCommands() {
    using cli::OptionSpec;
    return {
        {"extract",
         "IMAGE [-o TEMPLATE] [options]",
         "Extract a fingerprint template from a picture taken by kvt capture.",
         "The template is written to TEMPLATE, by default IMAGE with the extension .tpl\n"
         "(.fmr for --format iso or ansi: a finger minutiae record of ISO/IEC\n"
         "19794-2:2005 or ANSI INCITS 378-2004 that other vendors' matchers read).\n"
         "A picture taken with --photo is mirrored before extraction when its properties\n"
         "text (printed by kvt capture) is given with --properties.",
         {OptionSpec{"-o", "TEMPLATE", "where to write the template"},
          OptionSpec{"--properties", "TEXT", "the picture's properties text"},
          OptionSpec{"--format", "FORMAT", "kvt (default), iso or ansi"}},
         1,
         1,
         true,
         RunExtract},
        {"match",
         "PROBE REF... [options]",
         "Compare a fingerprint with one or more others.",
         kScoreNote,
         {},
         2,
         -1,
         true,
         RunMatch},
        {"identify",
         "PROBE DIR [options]",
         "Find a fingerprint among all pictures and templates in a folder.",
         kScoreNote,
         {},
         2,
         2,
         true,
         RunIdentify},
    };
}
