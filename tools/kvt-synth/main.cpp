// kvt-synth: writes synthetic fingerprints for inspection and for the accuracy
// benchmark: a contact sheet (fingers x impressions) and a folder of
// impressions, each with a text file of its true minutiae.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "GreyImage.h"
#include "sim/FingerprintSynth.h"

namespace fs = std::filesystem;
using namespace kvt::sim;

namespace {

struct Options {
    uint32_t fingers = 6;
    uint32_t impressions = 5;
    uint32_t first = 0;
    uint64_t seed = 0;
    RawGeometry geometry = kGeometryRoi;
    std::string out = "kvt-synth-out";
    uint32_t sheetFingers = 6;
    uint32_t sheetImpressions = 6;
    bool cross = false;
    bool masters = false;
    bool png = true;
};

void Usage() {
    std::printf(
        "usage: kvt-synth [options]\n"
        "  --fingers N            fingers to write (default 6)\n"
        "  --impressions M        impressions per finger (default 5)\n"
        "  --first ID             first finger id (default 0)\n"
        "  --seed S               population seed (default 0)\n"
        "  --size roi|half|full   picture size (default roi: 256 x 360)\n"
        "  --out DIR              output folder (default kvt-synth-out)\n"
        "  --sheet F,I            fingers and impressions on the contact sheet (default 6,6)\n"
        "  --cross                also write the cross-polarised frames and colour readings\n"
        "  --masters              also write the master prints with their minutiae\n"
        "  --pgm                  write impressions as PGM instead of PNG\n"
        "Writes DIR/contact-sheet.png, DIR/impressions/fNNNNN_iMM.{png,pgm,txt}.\n"
        "Minutiae files: one line per minutia, 'x y angle type' in picture pixels, angle in\n"
        "degrees counter-clockwise from the x axis, type 'ending' or 'bifurcation'.\n");
}

bool ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            Usage();
            std::exit(0);
        } else if (a == "--fingers") {
            const char* v = value();
            if (!v) return false;
            o.fingers = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--impressions") {
            const char* v = value();
            if (!v) return false;
            o.impressions = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--first") {
            const char* v = value();
            if (!v) return false;
            o.first = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--seed") {
            const char* v = value();
            if (!v) return false;
            o.seed = std::strtoull(v, nullptr, 10);
        } else if (a == "--size") {
            const char* v = value();
            if (!v) return false;
            const std::string s = v;
            if (s == "roi")
                o.geometry = kGeometryRoi;
            else if (s == "half")
                o.geometry = kGeometryHalf;
            else if (s == "full")
                o.geometry = kGeometryFull;
            else
                return false;
        } else if (a == "--out") {
            const char* v = value();
            if (!v) return false;
            o.out = v;
        } else if (a == "--sheet") {
            const char* v = value();
            if (!v || std::sscanf(v, "%u,%u", &o.sheetFingers, &o.sheetImpressions) != 2)
                return false;
        } else if (a == "--cross") {
            o.cross = true;
        } else if (a == "--masters") {
            o.masters = true;
        } else if (a == "--pgm") {
            o.png = false;
        } else {
            return false;
        }
    }
    return true;
}

bool WriteImage(const fs::path& stem, const GreyImage& image, bool png) {
    if (png && PngSupported()) return WritePng(stem.string() + ".png", image);
    return WritePgm(stem.string() + ".pgm", image);
}

const char* TypeName(MinutiaType t) {
    return t == MinutiaType::Ending ? "ending" : "bifurcation";
}

bool WriteMinutiae(const fs::path& path, const std::string& header,
                   const std::vector<Minutia>& minutiae) {
    std::FILE* f = std::fopen(path.string().c_str(), "w");
    if (!f) return false;
    std::fputs(header.c_str(), f);
    std::fprintf(f, "# x y angle type\n");
    for (const Minutia& m : minutiae)
        std::fprintf(f, "%.1f %.1f %.1f %s\n", m.x, m.y, m.angle, TypeName(m.type));
    return std::fclose(f) == 0;
}

std::string Name(uint32_t finger, uint32_t impression) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "f%05u_i%02u", finger, impression);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        Usage();
        return 2;
    }
    std::error_code ec;
    const fs::path out(o.out);
    fs::create_directories(out / "impressions", ec);
    if (o.masters) fs::create_directories(out / "masters", ec);
    if (ec) {
        std::fprintf(stderr, "kvt-synth: cannot create %s: %s\n", o.out.c_str(),
                     ec.message().c_str());
        return 1;
    }
    FingerprintSynth synth(o.seed, 8);
    const int pw = o.geometry.PictureWidth(), ph = o.geometry.PictureHeight(), gap = 8;
    const uint32_t sf = std::min(o.sheetFingers, o.fingers),
                   si = std::min(o.sheetImpressions, o.impressions);
    GreyImage sheet{
        static_cast<int>(si) * (pw + gap) + gap, static_cast<int>(sf) * (ph + gap) + gap, {}};
    sheet.pixels.assign(static_cast<size_t>(sheet.width) * sheet.height, 255);

    size_t totalMinutiae = 0, images = 0;
    int classCount[kPatternClassCount] = {};
    bool ok = true;
    for (uint32_t f = 0; f < o.fingers; ++f) {
        const uint32_t id = o.first + f;
        const MasterPtr master = synth.Master(id);
        ++classCount[static_cast<int>(master->patternClass)];
        if (o.masters) {
            GreyImage mi{master->width, master->height, std::vector<uint8_t>(master->ridge.size())};
            for (size_t i = 0; i < mi.pixels.size(); ++i)
                mi.pixels[i] =
                    master->mask[i] < 128
                        ? 255
                        : static_cast<uint8_t>(std::clamp(128 - master->ridge[i], 0, 255));
            char stem[32];
            std::snprintf(stem, sizeof stem, "f%05u", id);
            ok &= WriteImage(out / "masters" / stem, mi, o.png);
            std::string header = "# master of finger " + std::to_string(id) + ", " +
                                 PatternClassName(master->patternClass) + ", canvas pixels\n";
            ok &= WriteMinutiae(out / "masters" / (std::string(stem) + ".txt"), header,
                                master->minutiae);
        }
        for (uint32_t k = 0; k < o.impressions; ++k) {
            const Impression imp = synth.Render(id, k, o.geometry);
            const GreyImage pic{pw, ph, imp.Picture()};
            const fs::path stem = out / "impressions" / Name(id, k);
            ok &= WriteImage(stem, pic, o.png);
            std::string header = "# finger " + std::to_string(id) + " impression " +
                                 std::to_string(k) + ", " + PatternClassName(master->patternClass) +
                                 ", picture " + std::to_string(pw) + " x " + std::to_string(ph) +
                                 "\n";
            if (o.cross) {
                const std::vector<uint8_t> cross = synth.CrossFrame(imp, id, k, true);
                Impression crossImp = imp;
                // Frame 2 back to the upright picture (transpose), then crop as make-up does.
                for (int y = 0; y < o.geometry.rawHeight; ++y)
                    for (int x = 0; x < o.geometry.rawWidth; ++x)
                        crossImp.upright[static_cast<size_t>(x) * imp.width + y] =
                            cross[static_cast<size_t>(y) * o.geometry.rawWidth + x];
                ok &= WriteImage(out / "impressions" / (Name(id, k) + "_cross"),
                                 {pw, ph, crossImp.Picture()}, o.png);
                const ColourReadings live = synth.Colours(id, k, true),
                                     fake = synth.Colours(id, k, false);
                char buf[200];
                std::snprintf(buf, sizeof buf,
                              "# live Ir %d Blue %d Green %d Red %d Off %d; fake Ir %d Blue %d "
                              "Green %d Red %d Off %d\n",
                              live.ir, live.blue, live.green, live.red, live.off, fake.ir,
                              fake.blue, fake.green, fake.red, fake.off);
                header += buf;
            }
            ok &= WriteMinutiae(stem.string() + ".txt", header, imp.minutiae);
            totalMinutiae += imp.minutiae.size();
            ++images;
            if (f < sf && k < si) {
                const int ox = gap + static_cast<int>(k) * (pw + gap),
                          oy = gap + static_cast<int>(f) * (ph + gap);
                for (int y = 0; y < ph; ++y)
                    std::copy_n(&pic.pixels[static_cast<size_t>(y) * pw], pw,
                                &sheet.pixels[static_cast<size_t>(oy + y) * sheet.width + ox]);
            }
        }
    }
    if (sf > 0 && si > 0) ok &= WriteImage(out / "contact-sheet", sheet, true);
    std::printf(
        "%zu impressions of %u fingers in %s (%d x %d pictures), %.1f minutiae per impression\n",
        images, o.fingers, o.out.c_str(), pw, ph,
        images ? static_cast<double>(totalMinutiae) / images : 0.0);
    for (int c = 0; c < kPatternClassCount; ++c)
        std::printf("  %-12s %d\n", PatternClassName(static_cast<PatternClass>(c)), classCount[c]);
    std::printf(
        "contact sheet: %s\n",
        (out / (PngSupported() ? "contact-sheet.png" : "contact-sheet.pgm")).string().c_str());
    if (!ok) {
        std::fprintf(stderr, "kvt-synth: some files could not be written\n");
        return 1;
    }
    return 0;
}
