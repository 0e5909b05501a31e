// _util/_opengl/light: named colours, the bulletin palette and the GL light class
// with its registry. Builds on tensor and hash.
#pragma once
#include <GL/glew.h>
#include "_util/_opengl/setup.h"
#include "_util/_opengl/transform.h"
#include "_util/hash.h"

inline const tensor<double> color_black = opengl_vector<double>({0, 0, 0, 1});
inline const tensor<double> color_grey01 = opengl_vector<double>({0.1, 0.1, 0.1, 1});
inline const tensor<double> color_grey02 = opengl_vector<double>({0.2, 0.2, 0.2, 1});
inline const tensor<double> color_grey03 = opengl_vector<double>({0.3, 0.3, 0.3, 1});
inline const tensor<double> color_grey04 = opengl_vector<double>({0.4, 0.4, 0.4, 1});
inline const tensor<double> color_grey05 = opengl_vector<double>({0.5, 0.5, 0.5, 1});
inline const tensor<double> color_grey06 = opengl_vector<double>({0.6, 0.6, 0.6, 1});
inline const tensor<double> color_grey07 = opengl_vector<double>({0.7, 0.7, 0.7, 1});
inline const tensor<double> color_grey08 = opengl_vector<double>({0.8, 0.8, 0.8, 1});
inline const tensor<double> color_grey09 = opengl_vector<double>({0.9, 0.9, 0.9, 1});
inline const tensor<double> color_white = opengl_vector<double>({1, 1, 1, 1});
inline const tensor<double> color_red = opengl_vector<double>({1, 0, 0, 1});
inline const tensor<double> color_green = opengl_vector<double>({0, 1, 0, 1});
inline const tensor<double> color_blue = opengl_vector<double>({0, 0, 1, 1});
inline const tensor<double> color_cyan = opengl_vector<double>({0, 1, 1, 1});
inline const tensor<double> color_magenta = opengl_vector<double>({1, 0, 1, 1});
inline const tensor<double> color_yellow = opengl_vector<double>({1, 1, 0, 1});
inline const tensor<double> vector_zero = opengl_vector<double>({0, 0, 0, 0});
inline const tensor<double> vector_x = opengl_vector<double>({1, 0, 0, 0});
inline const tensor<double> vector_y = opengl_vector<double>({0, 1, 0, 0});
inline const tensor<double> vector_z = opengl_vector<double>({0, 0, 1, 0});

// Bulletin row colours: eight base colours, each followed by its two cyclic
// rotations (R, G, B) -> (B, R, G) -> (G, B, R); alpha 1.
inline tensor<double> opengl_make_palette()
{
  const double base[8][3] = {{1, 0.0392, 0.0392}, {0.8627, 0.4314, 0},      {0.7843, 0.7843, 0},
                             {0.4314, 0.8627, 0}, {0.5451, 0.8784, 0.2745}, {0.5216, 0.7529, 0.5529},
                             {0, 1, 0.3373},      {0.7373, 0.749, 0.2}};
  tensor<double> ret(2, 4, 24);
  for (int h = 0; h < 8; ++h)
    for (int rot = 0; rot < 3; ++rot) {
      double* col = ret.data + 4 * (3 * h + rot);
      for (int ch = 0; ch < 3; ++ch) col[ch] = base[h][(ch + 3 - rot) % 3];
      col[3] = 1;
    }
  return ret;
}
inline const tensor<double> palette = opengl_make_palette();

class opengl_light;
inline unsigned int light_counter = 0;
// Lights live for the run; so does their registry (never destroyed, so they stay reachable).
inline hash<unsigned int, opengl_light*>& light_registry = *new hash<unsigned int, opengl_light*>(16);

// A positional GL light; every light registers itself and lives for the run.
class opengl_light {
public:
  tensor<double> pose = tensor<double>::eye(4);  // column 3 position, column 2 spot direction
  tensor<double> diffuse = color_black;
  tensor<double> specular = color_black;
  double linear_attenuation = 0;
  double quadratic_attenuation = 0;
  int spot_cutoff = 180;  // degrees; 180 means no spot
  double spot_exponent = 0;
  int casts_shadows = 1;
  unsigned int id;

  opengl_light() : id(light_counter++) { light_registry.insert(id, this); }

  // Enables GL light n (GL_LIGHT0 + i) with this light's parameters.
  void apply(GLenum n) const
  {
    float v[4];
    auto as_float = [&v](const double* src) {
      for (int k = 0; k < 4; ++k) v[k] = float(src[k]);
      return v;
    };
    glEnable(n);
    glLightfv(n, GL_POSITION, as_float(pose.data + 12));
    glLightfv(n, GL_DIFFUSE, as_float(diffuse.data));
    glLightfv(n, GL_SPECULAR, as_float(specular.data));
    glLightf(n, GL_LINEAR_ATTENUATION, float(linear_attenuation));
    glLightf(n, GL_QUADRATIC_ATTENUATION, float(quadratic_attenuation));
    glLighti(n, GL_SPOT_CUTOFF, spot_cutoff);
    glLightfv(n, GL_SPOT_DIRECTION, as_float(pose.data + 8));
    glLightf(n, GL_SPOT_EXPONENT, float(spot_exponent));
  }
};

inline void lights_off()
{
  for (int k = 0; k < 8; ++k) glDisable(GL_LIGHT0 + k);
}
