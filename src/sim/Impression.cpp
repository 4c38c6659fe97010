#include "sim/Impression.h"

#include <algorithm>
#include <cmath>

#include "sim/DetMath.h"
#include "sim/Random.h"
#include "sim/ValueNoise.h"

namespace kvt::sim {

namespace {

constexpr uint64_t kParamsTag = 0x494D5052ull;   // "IMPR"
constexpr uint64_t kTextureTag = 0x54455854ull;  // "TEXT"
constexpr uint64_t kSkinTag = 0x534B494Eull;     // "SKIN"

// Bilinear sample of an int8 or uint8 master layer; `outside` beyond the canvas.
template <typename T>
double Sample(const std::vector<T>& layer, int w, int h, double x, double y, double outside) {
    if (!(x >= 0 && y >= 0 && x <= w - 1 && y <= h - 1)) return outside;
    int ix = static_cast<int>(x), iy = static_cast<int>(y);
    if (ix > w - 2) ix = w - 2;
    if (iy > h - 2) iy = h - 2;
    const double fx = x - ix, fy = y - iy;
    const T* r0 = &layer[static_cast<size_t>(iy) * w + ix];
    const T* r1 = r0 + w;
    const double a = r0[0] + (r0[1] - r0[0]) * fx;
    const double b = r1[0] + (r1[1] - r1[0]) * fx;
    return a + (b - a) * fy;
}

}  // namespace

RawGeometry GeometryForRawSize(int rawWidth, int rawHeight) {
    for (const RawGeometry& g : {kGeometryRoi, kGeometryHalf, kGeometryFull})
        if (g.rawWidth == rawWidth && g.rawHeight == rawHeight) return g;
    return RawGeometry{rawWidth, rawHeight, 0, 0};
}

ImpressionParams DrawImpressionParams(const MasterPrint& m, uint64_t populationSeed,
                                      uint32_t impression) {
    Rng rng(MixKey(populationSeed, m.fingerId, impression, kParamsTag));
    ImpressionParams p;
    p.rotation = det::Clamp(rng.Normal(0, 11.0), -30, 30);
    p.offsetX = det::Clamp(rng.Normal(0, 13), -36, 36);
    p.offsetY = det::Clamp(rng.Normal(0, 16), -44, 44);
    p.pressure = rng.Uniform(0.15, 0.95);
    p.ridgeThreshold = 0.3 - 0.55 * p.pressure;
    const double lengthHalf = 0.5 * (m.topHeight + m.bottomHeight);
    p.contactA = m.halfWidth * det::Clamp(0.80 + 0.22 * p.pressure + rng.Normal(0, 0.04), 0.7, 1.1);
    p.contactB = lengthHalf * det::Clamp(0.72 + 0.22 * p.pressure + rng.Normal(0, 0.04), 0.6, 1.0);
    p.contactX = rng.Normal(0, 8);
    p.contactY = rng.Normal(12, 12);
    // A user centres the pad, not the whole finger tip, on the window.
    p.padX = p.contactX;
    p.padY = p.contactY;
    if (rng.Chance(0.25)) {
        // Partial contact: the finger rolled or was put down off its centre.
        p.partial = true;
        const double dir = rng.Uniform(0, det::kTwoPi);
        const double dist = rng.Uniform(35, 70);
        p.contactX += dist * det::Cos(dir);
        p.contactY += dist * det::Sin(dir);
    }
    // Skin drags as the finger is pressed and turned: some touches barely,
    // a few a lot.
    const double drag = rng.Uniform(0.3, 1.3);
    p.distortionAngle = det::Clamp(rng.Normal(0, 7 * drag), -16, 16);
    p.distortionScale = det::Clamp(rng.Normal(0, 0.045 * drag), -0.1, 0.1);
    p.distortionX = det::Clamp(rng.Normal(0, 15 * drag), -34, 34);
    p.distortionY = det::Clamp(rng.Normal(0, 15 * drag), -34, 34);
    const double d = rng.Uniform();
    p.dryness = d * d * 0.55;
    const double wv = rng.Uniform();
    p.wetness = wv * wv * 0.6;
    p.widthVariation = rng.Uniform(0.2, 0.6);
    p.contrastVariation = rng.Uniform(0.1, 0.45);
    const double r = rng.Uniform();
    p.residue = r * r;
    p.background = rng.Uniform(190, 234);
    p.ridgeLevel = rng.Uniform(28, 95);
    p.noise = rng.Uniform(2.5, 7.0);
    return p;
}

ImpressionWarp::ImpressionWarp(const MasterPrint& m, const ImpressionParams& p,
                               const RawGeometry& g) {
    m_cu = g.UprightWidth() * 0.5 - 0.5 + p.offsetX;
    m_cv = g.UprightHeight() * 0.5 - 0.5 + p.offsetY;
    det::SinCos(det::Rad(p.rotation), &m_sin, &m_cos);
    m_mcx = m.centreX;
    m_mcy = m.centreY;
    m_padX = p.padX;
    m_padY = p.padY;
    m_ea = p.contactA, m_eb = p.contactB, m_ex = p.contactX, m_ey = p.contactY;
    double s, c;
    det::SinCos(det::Rad(p.distortionAngle), &s, &c);
    m_dc = (1 + p.distortionScale) * c - 1;
    m_ds = (1 + p.distortionScale) * s;
    m_dx = p.distortionX, m_dy = p.distortionY;
    m_coreA = 0.45 * m_ea;
    m_coreB = 0.45 * m_eb;
}

void ImpressionWarp::ToFingerFrame(double u, double v, double* qx, double* qy) const {
    // Undo the placement and the rotation (counter-clockwise on the screen).
    const double dx = u - m_cu, dy = v - m_cv;
    *qx = dx * m_cos - dy * m_sin + m_padX;
    *qy = dx * m_sin + dy * m_cos + m_padY;
}

void ImpressionWarp::ToMaster(double u, double v, double* mx, double* my) const {
    double qx, qy;
    ToFingerFrame(u, v, &qx, &qy);
    // Skin distortion: none in the firmly pressed core of the contact, growing
    // outside it, where the skin was dragged along with the finger's motion.
    const double ex = qx - m_ex, ey = qy - m_ey;
    const double rx = ex / m_coreA, ry = ey / m_coreB;
    const double b = det::Smoothstep(1.0, 2.3, std::sqrt(rx * rx + ry * ry));
    *mx = m_mcx + qx + b * (m_dc * ex + m_ds * ey + m_dx);
    *my = m_mcy + qy + b * (-m_ds * ex + m_dc * ey + m_dy);
}

bool ImpressionWarp::ToFrame(double mx, double my, double* u, double* v) const {
    // Start from the rigid placement and refine with Newton's method.
    const double qx = mx - m_mcx - m_padX, qy = my - m_mcy - m_padY;
    double pu = m_cu + qx * m_cos + qy * m_sin;
    double pv = m_cv - qx * m_sin + qy * m_cos;
    constexpr double h = 0.25;
    for (int it = 0; it < 20; ++it) {
        double fx, fy;
        ToMaster(pu, pv, &fx, &fy);
        fx -= mx, fy -= my;
        if (fx * fx + fy * fy < 1e-8) {
            *u = pu, *v = pv;
            return true;
        }
        double ax, ay, bx, by, cx, cy, dx, dy;
        ToMaster(pu + h, pv, &ax, &ay);
        ToMaster(pu - h, pv, &bx, &by);
        ToMaster(pu, pv + h, &cx, &cy);
        ToMaster(pu, pv - h, &dx, &dy);
        const double j11 = (ax - bx) / (2 * h), j21 = (ay - by) / (2 * h);
        const double j12 = (cx - dx) / (2 * h), j22 = (cy - dy) / (2 * h);
        const double det = j11 * j22 - j12 * j21;
        if (std::fabs(det) < 1e-9) return false;
        pu -= (j22 * fx - j12 * fy) / det;
        pv -= (-j21 * fx + j11 * fy) / det;
    }
    double fx, fy;
    ToMaster(pu, pv, &fx, &fy);
    *u = pu, *v = pv;
    return (fx - mx) * (fx - mx) + (fy - my) * (fy - my) < 1e-4;
}

double ImpressionWarp::Contact(double u, double v) const {
    double qx, qy;
    ToFingerFrame(u, v, &qx, &qy);
    const double rx = (qx - m_ex) / m_ea, ry = (qy - m_ey) / m_eb;
    return det::Smoothstep(1.0, 0.86, std::sqrt(rx * rx + ry * ry));
}

std::vector<uint8_t> Impression::Raw() const {
    return UprightToRaw(upright, geometry);
}

std::vector<uint8_t> UprightToRaw(const std::vector<uint8_t>& upright, const RawGeometry& g) {
    const int W = g.UprightWidth();
    std::vector<uint8_t> raw(static_cast<size_t>(g.rawWidth) * g.rawHeight);
    for (int y = 0; y < g.rawHeight; ++y)
        for (int x = 0; x < g.rawWidth; ++x)
            raw[static_cast<size_t>(y) * g.rawWidth + x] = upright[static_cast<size_t>(x) * W + y];
    return raw;
}

std::vector<uint8_t> Impression::Picture() const {
    const int pw = geometry.PictureWidth(), ph = geometry.PictureHeight();
    std::vector<uint8_t> pic(static_cast<size_t>(pw) * ph);
    for (int r = 0; r < ph; ++r)
        for (int c = 0; c < pw; ++c)
            pic[static_cast<size_t>(r) * pw + c] =
                upright[static_cast<size_t>(r + geometry.cropCols) * width + c + geometry.cropRows];
    return pic;
}

Impression RenderImpression(const MasterPrint& m, uint64_t populationSeed, uint32_t impression,
                            const RawGeometry& geometry) {
    Impression out;
    out.geometry = geometry;
    out.params = DrawImpressionParams(m, populationSeed, impression);
    const ImpressionParams& p = out.params;
    const ImpressionWarp warp(m, p, geometry);
    const int W = geometry.UprightWidth(), H = geometry.UprightHeight();
    out.width = W;
    out.height = H;
    const size_t N = static_cast<size_t>(W) * H;

    Rng rng(MixKey(populationSeed, m.fingerId, impression, kTextureTag));
    const ValueNoise shade(rng, W, H, 64);     // slow illumination changes
    const ValueNoise contrast(rng, W, H, 28);  // patchy contact
    const ValueNoise dry(rng, W, H, 4.5);      // ridge breaks of dry skin
    const ValueNoise wet(rng, W, H, 9);        // sweat filling valleys
    const ValueNoise wetDetail(rng, W, H, 4);
    const ValueNoise width(rng, W, H, 10);         // ridge width along a ridge
    const ValueNoise tone(rng, W, H, 13);          // ridge darkness along a ridge
    const ValueNoise residue(rng, W, H, 17);       // smudges and residue on the glass,
    const ValueNoise residueDetail(rng, W, H, 6);  // with ragged borders

    // Skin texture of the finger itself (the same in every impression): sweat
    // pores along the ridge middles and rough ridge borders, in master coordinates.
    Rng skinRng(MixKey(populationSeed, m.fingerId, kSkinTag));
    const ValueNoise pores(skinRng, m.width, m.height, 2.3);  // one pore per ~3 ridge widths
    const ValueNoise edges(skinRng, m.width, m.height, 3.5);
    // Creases, shallow lines across which the ridges fade without breaking,
    // and now and then a scar, a wider line where the skin does not touch.
    struct Crease {
        double ax, ay, bx, by, halfWidth, depth;
    };
    std::vector<Crease> creases;
    const int creaseCount = skinRng.Chance(0.4) ? 1 + static_cast<int>(skinRng.Below(3)) : 0;
    // A scar is a rarer, wider line.
    const int scarCount = skinRng.Chance(0.05) ? 1 : 0;
    for (int k = 0; k < creaseCount + scarCount; ++k) {
        const double cx = m.centreX + skinRng.Uniform(-0.7, 0.7) * m.halfWidth;
        const double cy = m.centreY + skinRng.Uniform(-0.6, 0.8) * m.bottomHeight;
        const double dir = skinRng.Uniform(0, det::kPi), half = skinRng.Uniform(15, 90);
        double sn, cs;
        det::SinCos(dir, &sn, &cs);
        const double width =
            k < creaseCount ? skinRng.Uniform(0.4, 1.0) : skinRng.Uniform(2.5, 4.5);
        const double depth = k < creaseCount ? skinRng.Uniform(0.3, 0.75) : 1.0;
        creases.push_back(
            {cx - half * cs, cy - half * sn, cx + half * cs, cy + half * sn, width, depth});
    }

    std::vector<float> img(N);
    out.contact.resize(N);
    const double t0 = p.ridgeThreshold;
    for (int v = 0; v < H; ++v) {
        for (int u = 0; u < W; ++u) {
            const size_t i = static_cast<size_t>(v) * W + u;
            double mx, my;
            warp.ToMaster(u, v, &mx, &my);
            const double inside = Sample(m.mask, m.width, m.height, mx, my, 0.0) / 255.0;
            const double w = inside * warp.Contact(u, v) * (0.75 + 0.25 * contrast.At(u, v));
            out.contact[i] = static_cast<uint8_t>(det::Round(255.0 * w));
            const double smudge =
                p.residue *
                det::Smoothstep(0.5, 0.8, 0.7 * residue.At(u, v) + 0.3 * residueDetail.At(u, v));
            const double bg = p.background + 14.0 * (shade.At(u, v) - 0.5) - 30.0 * smudge;
            double value = bg;
            if (w > 0) {
                const double field = Sample(m.ridge, m.width, m.height, mx, my, 0.0) / 100.0;
                double wetFill = 0;
                if (p.wetness > 0)
                    wetFill = det::Smoothstep(1.0 - p.wetness, 1.1 - p.wetness * 0.5,
                                              0.7 * wet.At(u, v) + 0.3 * wetDetail.At(u, v));
                // Lighter contact makes thinner, fainter ridges; sweat widens them.
                const double t = t0 + 0.9 * (1.0 - w) + 0.3 * (edges.At(mx, my) - 0.5) +
                                 p.widthVariation * (width.At(u, v) - 0.5) - 0.35 * wetFill;
                double ridge = det::Smoothstep(t - 0.3, t + 0.3, field);
                // Pores open on the ridge crests only, in a row along each ridge.
                const double pore =
                    det::Smoothstep(0.8, 0.92, pores.At(mx, my)) * det::Smoothstep(0.7, 0.9, field);
                ridge *= 1.0 - 0.75 * pore;
                for (const Crease& c : creases) {
                    const double ex = c.bx - c.ax, ey = c.by - c.ay;
                    const double f = det::Clamp(
                        ((mx - c.ax) * ex + (my - c.ay) * ey) / (ex * ex + ey * ey), 0, 1);
                    const double dx = mx - c.ax - f * ex, dy = my - c.ay - f * ey;
                    const double d = std::sqrt(dx * dx + dy * dy);
                    ridge *= 1.0 - c.depth * det::Smoothstep(c.halfWidth + 1.2, c.halfWidth, d);
                }
                if (p.dryness > 0) {
                    // Dry skin touches in pieces: ridges break into short segments.
                    const double d = p.dryness * (1.3 - 0.6 * w);
                    ridge *= det::Smoothstep(d - 0.05, d + 0.05, dry.At(u, v));
                }
                ridge *= 1.0 - p.contrastVariation * tone.At(u, v);
                // Residue on the glass washes out the ridges under it.
                const double depth = (bg - p.ridgeLevel) * (1.0 - 0.6 * smudge);
                const double dark = ridge + (1.0 - ridge) * 0.6 * wetFill;
                value = bg - w * depth * dark;
            }
            img[i] = static_cast<float>(value);
        }
    }
    // Optics: a slight blur, then sensor noise, then 8-bit values.
    std::vector<float> blurred(N);
    for (int v = 0; v < H; ++v) {
        for (int u = 0; u < W; ++u) {
            float acc = 0;
            static constexpr float kW[3] = {1.0f, 2.0f, 1.0f};
            for (int dv = -1; dv <= 1; ++dv)
                for (int du = -1; du <= 1; ++du) {
                    const int x = std::clamp(u + du, 0, W - 1), y = std::clamp(v + dv, 0, H - 1);
                    acc += kW[du + 1] * kW[dv + 1] * img[static_cast<size_t>(y) * W + x];
                }
            blurred[static_cast<size_t>(v) * W + u] = acc * (1.0f / 16.0f);
        }
    }
    out.upright.resize(N);
    for (size_t i = 0; i < N; ++i) {
        const double value = blurred[i] + p.noise * rng.Normal();
        out.upright[i] = static_cast<uint8_t>(det::Clamp(det::Round(value), 0, 255));
    }

    // True minutiae: those that land inside the picture and well inside the contact.
    const int pw = geometry.PictureWidth(), ph = geometry.PictureHeight();
    for (const Minutia& mm : m.minutiae) {
        double u, v;
        if (!warp.ToFrame(mm.x, mm.y, &u, &v)) continue;
        const double x = u - geometry.cropRows, y = v - geometry.cropCols;
        if (x < 3 || y < 3 || x > pw - 4 || y > ph - 4) continue;
        if (warp.Contact(u, v) < 0.999) continue;
        if (Sample(m.mask, m.width, m.height, mm.x, mm.y, 0.0) < 255.0) continue;
        // Direction through the local Jacobian of the forward map.
        double a = det::Rad(mm.angle);
        double s, c;
        det::SinCos(a, &s, &c);
        double u2, v2;
        if (!warp.ToFrame(mm.x + 2.0 * c, mm.y - 2.0 * s, &u2, &v2)) continue;
        Minutia t = mm;
        t.x = static_cast<float>(x);
        t.y = static_cast<float>(y);
        double ang = det::Deg(det::WrapTwoPi(det::Atan2(-(v2 - v), u2 - u)));
        t.angle = static_cast<float>(ang >= 360.0 ? 0.0 : ang);
        out.minutiae.push_back(t);
    }
    return out;
}

}  // namespace kvt::sim
