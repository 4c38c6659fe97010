#pragma once

#include <cstdint>
#include <vector>

#include "sim/MasterPrint.h"

// Impressions: one touch of a master print on the sensor. Placement and
// rotation, elastic skin distortion, pressure (ridge width and contact area),
// partial contact, dry and wet skin, creases and scars, residue on the glass,
// background, blur and noise, rendered at
// 500 dpi into the upright frame of a sensor's raw geometry. The master's
// minutiae are carried through the same transform.
namespace kvt::sim {

// A raw frame's size and the margins that the library's make-up crops: yo rows
// at the top and bottom of the raw frame, xo columns at its left and right.
struct RawGeometry {
    int rawWidth = 384;
    int rawHeight = 320;
    int cropRows = 32;  // yo
    int cropCols = 12;  // xo

    // The upright frame is the raw frame transposed: rawHeight wide, rawWidth high.
    int UprightWidth() const { return rawHeight; }
    int UprightHeight() const { return rawWidth; }
    // The delivered picture (make-up, image mode "Stamp").
    int PictureWidth() const { return rawHeight - 2 * cropRows; }
    int PictureHeight() const { return rawWidth - 2 * cropCols; }
};

// The picture sizes of the sensors (make-up's geometry table).
inline constexpr RawGeometry kGeometryRoi{384, 320, 32, 12};
inline constexpr RawGeometry kGeometryHalf{192, 160, 16, 8};
inline constexpr RawGeometry kGeometryFull{416, 332, 0, 0};
// The geometry of a raw size: the table's row for the three known sizes, no
// crop for any other.
RawGeometry GeometryForRawSize(int rawWidth, int rawHeight);

// The random make-up of one impression, drawn from (finger, impression).
struct ImpressionParams {
    double rotation = 0;                      // degrees, counter-clockwise on the screen
    double offsetX = 0, offsetY = 0;          // placement of the finger centre (pixels)
    double pressure = 0.5;                    // 0 light .. 1 hard
    double ridgeThreshold = 0;                // ridge-field level of a ridge's border
    double contactA = 150, contactB = 200;    // contact ellipse semi-axes (master pixels)
    double contactX = 0, contactY = 0;        // its centre relative to the finger centre
    double padX = 0, padY = 0;                // the pad, where a centred touch is centred
    double distortionAngle = 0;               // degrees: skin dragged round the contact centre...
    double distortionScale = 0;               // ...stretched...
    double distortionX = 0, distortionY = 0;  // ...and pushed (pixels)
    double dryness = 0, wetness = 0;          // 0..1
    double widthVariation = 0.3;              // ridge width changes along a ridge
    double contrastVariation = 0.2;           // ridge darkness changes along a ridge
    double residue = 0;                       // 0..1: smudges and residue on the sensor
    double background = 215;                  // grey level of the empty sensor
    double ridgeLevel = 50;                   // grey level of a ridge in full contact
    double noise = 4;                         // sensor noise (grey levels, standard deviation)
    bool partial = false;                     // the finger touched the sensor off its centre
};

ImpressionParams DrawImpressionParams(const MasterPrint& master, uint64_t populationSeed,
                                      uint32_t impression);

// The mapping between the upright frame and the master: ToMaster is the
// rendering direction, ToFrame its inverse (for carrying minutiae).
class ImpressionWarp {
public:
    ImpressionWarp(const MasterPrint& master, const ImpressionParams& params,
                   const RawGeometry& geometry);
    // Upright-frame point to master point.
    void ToMaster(double u, double v, double* mx, double* my) const;
    // Master point to upright-frame point; false when the iteration did not converge.
    bool ToFrame(double mx, double my, double* u, double* v) const;
    // Contact weight (0..1) at an upright-frame point, outline of the finger not included.
    double Contact(double u, double v) const;

private:
    void ToFingerFrame(double u, double v, double* qx, double* qy) const;
    double m_cu, m_cv, m_cos, m_sin;
    double m_mcx, m_mcy;
    double m_padX, m_padY;
    double m_ea, m_eb, m_ex, m_ey;  // contact ellipse (finger frame)
    double m_dc, m_ds, m_dx, m_dy;  // distortion: rotation/scale matrix minus identity, push
    double m_coreA, m_coreB;
};

struct Impression {
    RawGeometry geometry;
    ImpressionParams params;
    int width = 0, height = 0;     // upright frame
    std::vector<uint8_t> upright;  // the frame as the picture shows it, uncropped
    std::vector<uint8_t> contact;  // contact weight per upright pixel (0..255)
    // True minutiae in picture coordinates (the upright frame less make-up's
    // crop): those inside the picture and well inside the contact area.
    std::vector<Minutia> minutiae;

    // Frame 1 as the sensor delivers it: raw(row y, column x) = upright(row x, column y).
    std::vector<uint8_t> Raw() const;
    // The picture that make-up delivers in image mode "Stamp" (not inverted).
    std::vector<uint8_t> Picture() const;
    int PictureWidth() const { return geometry.PictureWidth(); }
    int PictureHeight() const { return geometry.PictureHeight(); }
};

Impression RenderImpression(const MasterPrint& master, uint64_t populationSeed, uint32_t impression,
                            const RawGeometry& geometry);

// Upright frame to raw frame (transpose) and back.
std::vector<uint8_t> UprightToRaw(const std::vector<uint8_t>& upright, const RawGeometry& geometry);

}  // namespace kvt::sim
