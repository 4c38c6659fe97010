// kvt-accuracy: extraction and matching accuracy of our engine over a folder of
// images named <finger>_<impression>.<ext>, in the protocol of the FVC
// competitions: genuine pairs are all pairs of impressions of one finger,
// impostor pairs the first impressions of different fingers (or, with
// --all-impostors, every pair of images of different fingers).
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ImageFiles.h"
#include "fp/Extractor.h"
#include "fp/Matcher.h"
#include "fp/StandardTemplate.h"
#include "fp/Template.h"

namespace fs = std::filesystem;

// Processor time of this thread: the machine may be shared, and the figures
// are meant per core.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock>;
    static time_point now() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return time_point(duration(static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec));
    }
};

namespace {

struct Sample {
    std::string name;
    int finger = 0, impression = 0;
    bool extracted = false;
    std::vector<std::uint8_t> templ;
    fp::Features features;
    fp::PreparedPrint prepared;
};

struct Rates {
    double eer = 0, fnmrAt1 = 0, fnmrAt01 = 0, threshold = 0;
};

// Thresholds on the engine similarity, so that ties of the integer score do not blur the curve.
Rates Evaluate(std::vector<double> genuine, std::vector<double> impostor) {
    std::sort(genuine.begin(), genuine.end());
    std::sort(impostor.begin(), impostor.end());
    std::vector<double> thresholds(genuine);
    thresholds.insert(thresholds.end(), impostor.begin(), impostor.end());
    thresholds.push_back(1e300);
    std::sort(thresholds.begin(), thresholds.end());
    Rates r;
    r.eer = 1;
    r.fnmrAt1 = r.fnmrAt01 = 1;
    double bestGap = 2;
    for (double t : thresholds) {
        // Accept when similarity >= t.
        const double fnmr =
            static_cast<double>(std::lower_bound(genuine.begin(), genuine.end(), t) -
                                genuine.begin()) /
            genuine.size();
        const double fmr =
            static_cast<double>(impostor.end() -
                                std::lower_bound(impostor.begin(), impostor.end(), t)) /
            impostor.size();
        if (std::fabs(fmr - fnmr) < bestGap) {
            bestGap = std::fabs(fmr - fnmr);
            r.eer = (fmr + fnmr) / 2;
            r.threshold = t;
        }
        if (fmr <= 0.01) r.fnmrAt1 = std::min(r.fnmrAt1, fnmr);
        if (fmr <= 0.001) r.fnmrAt01 = std::min(r.fnmrAt01, fnmr);
    }
    return r;
}

void Dump(const std::string& folder, const Sample& s, const accuracy::GreyImage& img) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(img.width) * img.height * 3);
    for (std::size_t i = 0; i < img.pixels.size(); ++i)
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = img.pixels[i];
    // The features count y from the bottom row, as the SDK passes the rows.
    auto put = [&](int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        if (x < 0 || y < 0 || x >= img.width || y >= img.height) return;
        const std::size_t i = 3 * (static_cast<std::size_t>(img.height - 1 - y) * img.width + x);
        rgb[i] = r, rgb[i + 1] = g, rgb[i + 2] = b;
    };
    const auto& mask = s.features.mask;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            if (mask.columns && !mask.At(x / mask.cell, y / mask.cell) && (x + y) % 4 == 0)
                put(x, y, 0, 0, 255);
    for (const auto& m : s.features.minutiae) {
        const bool ending = m.type == fp::MinutiaType::Ending;
        const std::uint8_t r = ending ? 255 : 0, g = ending ? 0 : 200;
        for (int d = -2; d <= 2; ++d)
            put(m.x + d, m.y - 2, r, g, 0), put(m.x + d, m.y + 2, r, g, 0),
                put(m.x - 2, m.y + d, r, g, 0), put(m.x + 2, m.y + d, r, g, 0);
        const double a = m.direction * M_PI / 128;
        for (int k = 3; k < 12; ++k)
            put(static_cast<int>(std::lround(m.x + k * std::cos(a))),
                static_cast<int>(std::lround(m.y + k * std::sin(a))), r, g, 0);
    }
    for (const auto& sp : s.features.singularPoints)
        for (int d = -5; d <= 5; ++d)
            put(sp.x + d, sp.y, 255, 0, 255), put(sp.x, sp.y + d, 255, 0, 255);
    accuracy::WriteRgbPng(folder + "/" + s.name + ".png", img.width, img.height, rgb);
}

// The SDK refuses templates with fewer minutiae than this.
constexpr std::size_t kSdkMinutiae = 15;

std::vector<std::uint8_t> RowsBottomUp(const accuracy::GreyImage& img) {
    std::vector<std::uint8_t> rows(img.pixels.size());
    const std::size_t width = static_cast<std::size_t>(img.width);
    for (int y = 0; y < img.height; ++y)
        std::copy_n(img.pixels.begin() + static_cast<std::ptrdiff_t>(y * width), width,
                    rows.begin() + static_cast<std::ptrdiff_t>((img.height - 1 - y) * width));
    return rows;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: kvt-accuracy [--all-impostors] [--via iso|ansi] [--no-ridge-counts] "
                 "[--scores FILE] "
                 "[--dump FOLDER] "
                 "IMAGE_FOLDER\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool allImpostors = false;
    // Every template taken through a standard record and back, as another
    // vendor's extractor would hand it to us: no mask, no orientation grid.
    std::optional<fp::StandardFormat> via;
    // As templates of version 2 compare: what the scale for prints without
    // ridge counts is fitted on.
    bool noRidgeCounts = false;
    std::string folder, scoresFile, dumpFolder;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--all-impostors") {
            allImpostors = true;
        } else if (a == "--via" && i + 1 < argc) {
            const std::string format = argv[++i];
            if (format == "iso")
                via = fp::StandardFormat::Iso2005;
            else if (format == "ansi")
                via = fp::StandardFormat::Ansi2004;
            else
                return Usage();
        } else if (a == "--no-ridge-counts") {
            noRidgeCounts = true;
        } else if (a == "--scores" && i + 1 < argc) {
            scoresFile = argv[++i];
        } else if (a == "--dump" && i + 1 < argc) {
            dumpFolder = argv[++i];
        } else if (!a.empty() && a[0] != '-' && folder.empty()) {
            folder = a;
        } else {
            return Usage();
        }
    }
    if (folder.empty()) return Usage();

    std::vector<Sample> samples;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        // Image files only: kvt-synth writes the true minutiae beside each
        // picture under the same name (.txt).
        std::string ext = entry.path().extension().string();
        for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (ext != ".pgm" && ext != ".bmp" && ext != ".tif" && ext != ".tiff" && ext != ".png")
            continue;
        const std::string stem = entry.path().stem().string();
        int finger = 0, impression = 0;
        char tail = 0;
        // FVC names (12_3) and kvt-synth names (f00012_i03) alike.
        if (std::sscanf(stem.c_str(), "%d_%d%c", &finger, &impression, &tail) != 2 &&
            std::sscanf(stem.c_str(), "f%d_i%d%c", &finger, &impression, &tail) != 2)
            continue;
        Sample s;
        s.name = entry.path().string();
        s.finger = finger;
        s.impression = impression;
        samples.push_back(std::move(s));
    }
    if (ec || samples.empty()) {
        std::fprintf(
            stderr,
            "kvt-accuracy: no <finger>_<impression> or f<finger>_i<impression> images in %s\n",
            folder.c_str());
        return 1;
    }
    std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) {
        return std::pair(a.finger, a.impression) < std::pair(b.finger, b.impression);
    });
    if (!dumpFolder.empty()) fs::create_directories(dumpFolder);

    // Extraction.
    fp::ExtractorSettings settings;
    double extractSeconds = 0;
    int failures = 0, unreadable = 0, fewMinutiae = 0;
    long minutiaeTotal = 0;
    for (Sample& s : samples) {
        accuracy::GreyImage img;
        std::string error;
        const std::string path = s.name;
        s.name = fs::path(path).stem().string();
        if (!accuracy::ReadGreyImage(path, img, error)) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            ++unreadable;
            continue;
        }
        // As the product extracts: the SDK passes BMP rows, bottom-up, and
        // refuses templates with fewer minutiae than it asks for.
        const std::vector<std::uint8_t> bottomUp = RowsBottomUp(img);
        const auto start = Clock::now();
        const fp::ExtractStatus status = fp::Extract(
            {bottomUp.data(), img.width, img.height, img.width, true}, settings, s.features);
        extractSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        if (status != fp::ExtractStatus::Ok || s.features.minutiae.size() < kSdkMinutiae) {
            std::fprintf(stderr, "%s: %s\n", s.name.c_str(),
                         status != fp::ExtractStatus::Ok ? fp::ToString(status)
                                                         : "too few minutiae for the SDK");
            if (status == fp::ExtractStatus::Ok) ++fewMinutiae;
            ++failures;
            continue;
        }
        if (via) {
            const std::vector<std::uint8_t> record = fp::EncodeStandardTemplate(s.features, *via);
            if (const fp::StandardError e =
                    fp::DecodeStandardTemplate(record.data(), record.size(), *via, s.features);
                e != fp::StandardError::None) {
                std::fprintf(stderr, "%s: %s\n", s.name.c_str(), fp::ToString(e));
                ++failures;
                continue;
            }
        }
        if (noRidgeCounts) s.features.ridgeCounts.clear();
        s.extracted = true;
        s.templ = fp::EncodeTemplate(s.features);
        s.prepared = fp::Prepare(s.features);
        minutiaeTotal += static_cast<long>(s.features.minutiae.size());
        if (!dumpFolder.empty()) Dump(dumpFolder, s, img);
    }
    const int images = static_cast<int>(samples.size()) - unreadable;
    const int extracted = images - failures;

    // Comparisons. A failed extraction scores 0 against everything, as in FVC.
    fp::MatcherSettings matcherSettings;
    std::vector<double> genuine, impostor;
    std::ofstream scores;
    if (!scoresFile.empty()) scores.open(scoresFile);
    std::vector<int> genuineScores, impostorScores;
    auto compare = [&](const Sample& a, const Sample& b, std::vector<double>& into,
                       const char* kind) {
        fp::Comparison c;
        if (a.extracted && b.extracted) c = fp::Compare(a.prepared, b.prepared, matcherSettings);
        into.push_back(c.similarity);
        (&into == &genuine ? genuineScores : impostorScores).push_back(c.score);
        if (scores)
            scores << kind << ' ' << a.name << ' ' << b.name << ' ' << c.similarity << ' '
                   << c.score << ' ' << c.matched << ' ' << c.agreement << '\n';
    };
    // A finger's first impression is its lowest number: 1 in FVC sets, 0 from kvt-synth.
    std::map<int, int> first;
    for (const Sample& s : samples) {
        auto [it, added] = first.emplace(s.finger, s.impression);
        if (!added && s.impression < it->second) it->second = s.impression;
    }
    for (std::size_t i = 0; i < samples.size(); ++i)
        for (std::size_t j = i + 1; j < samples.size(); ++j) {
            const Sample &a = samples[i], &b = samples[j];
            if (a.finger == b.finger) {
                compare(a, b, genuine, "genuine");
            } else if (allImpostors ||
                       (a.impression == first[a.finger] && b.impression == first[b.finger])) {
                compare(a, b, impostor, "impostor");
            }
        }

    // Throughput of one-to-many identification through the template bytes, as
    // the modules run it. Cold: every probe on a fresh matcher, so every
    // reference is decoded and prepared. Warm: one matcher that has already
    // seen the gallery once and keeps it prepared. With a matcher threshold
    // (the adapter sets 80), work that cannot reach it is skipped. Each
    // figure runs for about a second of processor time.
    auto identify = [&](fp::Matcher& matcher, const Sample& probe, bool fresh, long& comparisons) {
        if (fresh) matcher.ClearCache();
        matcher.IdentifyStart(probe.templ.data(), probe.templ.size());
        for (const Sample& ref : samples) {
            if (!ref.extracted) continue;
            int score = 0;
            matcher.IdentifyNext(ref.templ.data(), ref.templ.size(), score);
            ++comparisons;
        }
        matcher.IdentifyEnd();
    };
    auto throughput = [&](bool warm, int threshold) {
        fp::MatcherSettings settings = matcherSettings;
        settings.threshold = threshold;
        fp::Matcher matcher(settings);
        long comparisons = 0;
        if (warm)
            for (const Sample& probe : samples)
                if (probe.extracted) {
                    identify(matcher, probe, false, comparisons);
                    break;
                }
        comparisons = 0;
        const auto start = Clock::now();
        double elapsed = 0;
        do {
            for (const Sample& probe : samples) {
                if (!probe.extracted) continue;
                identify(matcher, probe, !warm, comparisons);
                elapsed = std::chrono::duration<double>(Clock::now() - start).count();
                if (elapsed >= 1.0) break;
            }
        } while (elapsed < 1.0 && comparisons > 0);
        return elapsed > 0 ? comparisons / elapsed : 0.0;
    };
    constexpr int kAdapterThreshold = 80;
    const double cold = throughput(false, 0), warm = throughput(true, 0);
    const double coldAdapter = throughput(false, kAdapterThreshold);
    const double warmAdapter = throughput(true, kAdapterThreshold);

    std::map<int, int> fingers;
    for (const Sample& s : samples) ++fingers[s.finger];
    std::printf("images %d (unreadable %d), fingers %zu\n", images, unreadable, fingers.size());
    std::printf("failures to extract: %d (%.2f %%), of them under %zu minutiae: %d\n", failures,
                images ? 100.0 * failures / images : 0.0, kSdkMinutiae, fewMinutiae);
    std::printf("mean minutiae per template: %.1f\n",
                extracted ? double(minutiaeTotal) / extracted : 0.0);
    std::printf("mean extraction time: %.1f ms\n", images ? 1000 * extractSeconds / images : 0.0);
    std::printf("genuine comparisons %zu, impostor comparisons %zu\n", genuine.size(),
                impostor.size());
    if (!genuine.empty() && !impostor.empty()) {
        const Rates r = Evaluate(genuine, impostor);
        std::printf("EER: %.2f %% (at similarity %.4f, score %d)\n", 100 * r.eer, r.threshold,
                    fp::ScoreFromSimilarity(r.threshold));
        std::printf("FNMR at FMR 1 %%: %.2f %%\n", 100 * r.fnmrAt1);
        std::printf("FNMR at FMR 0.1 %%: %.2f %%%s\n", 100 * r.fnmrAt01,
                    impostor.size() < 1000 ? " (too few impostor pairs to measure)" : "");
    }
    // Pass rates at the thresholds an integrator would set.
    auto share = [](const std::vector<int>& scores, int threshold) {
        if (scores.empty()) return 0.0;
        return 100.0 *
               static_cast<double>(std::count_if(scores.begin(), scores.end(),
                                                 [&](int s) { return s >= threshold; })) /
               static_cast<double>(scores.size());
    };
    std::printf("genuine pairs scoring 48 / 80 or more: %.2f %% / %.2f %%\n",
                share(genuineScores, 48), share(genuineScores, 80));
    if (!impostorScores.empty())
        std::printf(
            "impostor pairs scoring 24 / 36 / 48 or more: %.3f %% / %.3f %% / %.4f %%; "
            "highest %d\n",
            share(impostorScores, 24), share(impostorScores, 36), share(impostorScores, 48),
            *std::max_element(impostorScores.begin(), impostorScores.end()));
    std::printf(
        "identification, one core, every score computed (threshold 0): %.0f comparisons per "
        "second cold (references decoded and prepared), %.0f warm (gallery already prepared)\n",
        cold, warm);
    std::printf(
        "identification, one core, at the adapter's threshold %d: %.0f comparisons per second "
        "cold, %.0f warm\n",
        kAdapterThreshold, coldAdapter, warmAdapter);
    return 0;
}
