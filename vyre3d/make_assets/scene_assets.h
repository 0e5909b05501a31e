// vyre3d/make_assets/scene_assets: the ball's six recorded paths and the example
// shader program pair of the data tree. Builds on _util/tensor.
#pragma once
#include <cmath>
#include <string>
#include "_util/tensor.h"

constexpr int asset_curve_count = 6;
constexpr int asset_curve_rows = 300;

// Path p (1 to 6) as a (rows, 3) double matrix of x, y, z. Each path is a smooth
// pattern (u, v) in [-1, 1]² at a height z in [-8.5, -1.5]; (u, v) is then scaled
// to 75% of what the default camera (at z = 3 looking down -z, 26 degrees
// vertical, 4:3) sees at that height, so the ball stays in view and, far inside
// the 11 x 11 floor at z = -10, always over it.
inline tensor<double> asset_curve(int p)
{
  const double pi = std::acos(-1.0);
  const int n = asset_curve_rows;
  tensor<double> ret(2, n, 3);
  for (int i = 0; i < n; i++) {
    const double s = double(i) / (n - 1), a = 2 * pi * s;
    double u = 0, v = 0, z = 0;
    switch (p) {
      case 1:  // circle at a slowly rocking height
        u = std::cos(a), v = std::sin(a), z = -5 + 2 * std::sin(2 * a);
        break;
      case 2:  // figure eight climbing from low to high
        u = std::sin(a), v = std::sin(2 * a), z = -8 + 6 * s;
        break;
      case 3:  // spiral out of the centre, sinking and rising again
        u = s * std::cos(3 * a), v = s * std::sin(3 * a), z = -2 - 6 * std::sin(pi * s);
        break;
      case 4:  // Lissajous figure 3:2 with a height wave
        u = std::sin(3 * a + pi / 2), v = std::sin(2 * a), z = -5 + 3 * std::cos(a);
        break;
      case 5:  // six soft bounces across the floor and back
        u = std::cos(a), v = 0.5 * std::sin(a), z = -8.5 + 6.5 * std::sin(3 * a) * std::sin(3 * a);
        break;
      default:  // three-leaved rose, high in the middle of each leaf
        u = std::cos(3 * a) * std::cos(a), v = std::cos(3 * a) * std::sin(a),
        z = -7 + 5 * std::cos(3 * a) * std::cos(3 * a);
        break;
    }
    const double d = 3 - z;                   // distance below the camera
    ret.data[i] = u * 0.75 * 0.3079 * d;      // tan(13 degrees) * 4/3
    ret.data[i + n] = v * 0.75 * 0.2309 * d;  // tan(13 degrees)
    ret.data[i + 2 * n] = z;
  }
  return ret;
}

// A small program pair: positions through the fixed transforms, one colour uniform.
inline const char* const asset_shader_vert =
    "#version 110\n"
    "void main() { gl_Position = gl_ModelViewProjectionMatrix * gl_Vertex; }\n";
inline const char* const asset_shader_frag =
    "#version 110\n"
    "uniform vec4 tint;\n"
    "void main() { gl_FragColor = tint; }\n";
