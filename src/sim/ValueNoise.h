#pragma once

#include <vector>

#include "sim/Random.h"

namespace kvt::sim {

// Smooth random texture in [0, 1): random values on a square lattice,
// interpolated with smoothstep weights. Deterministic in the Rng's state.
class ValueNoise {
public:
    // A flat field of 0.5 (a texture that is switched off).
    ValueNoise() : m_cols(3), m_rows(3), m_inv(0), m_v(9, 0.5f) {}
    ValueNoise(Rng& rng, int width, int height, double cell)
        : m_cols(static_cast<int>(width / cell) + 3),
          m_rows(static_cast<int>(height / cell) + 3),
          m_inv(1.0 / cell),
          m_v(static_cast<size_t>(m_cols) * m_rows) {
        for (auto& v : m_v) v = static_cast<float>(rng.Uniform());
    }
    double At(double x, double y) const {
        double gx = x * m_inv, gy = y * m_inv;
        gx = gx < 0 ? 0 : gx;
        gy = gy < 0 ? 0 : gy;
        int ix = static_cast<int>(gx), iy = static_cast<int>(gy);
        if (ix > m_cols - 2) ix = m_cols - 2;
        if (iy > m_rows - 2) iy = m_rows - 2;
        double fx = gx - ix, fy = gy - iy;
        fx = fx > 1 ? 1 : fx;
        fy = fy > 1 ? 1 : fy;
        fx = fx * fx * (3 - 2 * fx);
        fy = fy * fy * (3 - 2 * fy);
        const float* r0 = &m_v[static_cast<size_t>(iy) * m_cols + ix];
        const float* r1 = r0 + m_cols;
        const double a = r0[0] + (r0[1] - r0[0]) * fx;
        const double b = r1[0] + (r1[1] - r1[0]) * fx;
        return a + (b - a) * fy;
    }

private:
    int m_cols, m_rows;
    double m_inv;
    std::vector<float> m_v;
};

}  // namespace kvt::sim
