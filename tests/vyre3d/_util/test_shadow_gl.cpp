// tests/vyre3d/_util/test_shadow_gl: stencil shadow volumes rendered under Xvfb. The
// sphere asset hangs above a floor lit by a point light; the stencil buffer after
// draw_volume must be non-zero exactly where a ray cast of the same scene finds the
// floor in shadow, seen from outside the shadow volume and from inside it. Also
// writes pictures of the scene to the test artefact folder. Builds on the GL test
// harness (Xvfb and the program's window).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cmath>
#include <string>
#include <vector>
#include "_util/format.h"
#include "_util/shadow.h"
#include "harness.h"

namespace {

auto* const gl_env = ::testing::AddGlobalTestEnvironment(new GlWindowEnvironment);

const int W = 240, H = 180;
const double fovy = 60, near = 0.05, floor_half = 6;
const double radius = 0.5, centre_z = 1.2;

struct vec {
  double x, y, z;
};
vec operator+(vec a, vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
vec operator-(vec a, vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
vec operator*(double s, vec a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(vec a, vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
vec cross(vec a, vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
vec unit(vec a) { return (1 / std::sqrt(dot(a, a))) * a; }

const vec light{0.4, 0.3, 3.0};
const vec centre{0, 0, centre_z};

struct camera {
  vec eye, at;
  vec fwd() const { return unit(at - eye); }
  vec right() const { return unit(cross(fwd(), {0, 0, 1})); }
  vec up() const { return cross(right(), fwd()); }
  double focal() const { return 1 / std::tan(fovy * std::acos(-1.0) / 360); }

  // A perspective without a far plane: the volume's far cap and extruded sides
  // lie at infinity and must not be clipped.
  void load() const
  {
    const double f = focal(), a = (double)W / H, eps = 1e-6;
    const double P[16] = {f / a, 0, 0, 0, 0, f, 0, 0, 0, 0, eps - 1, -1, 0, 0, (eps - 2) * near, 0};
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixd(P);
    const vec r = right(), u = up(), b = fwd();
    const double V[16] = {r.x, u.x, -b.x, 0, r.y,          u.y,          -b.y,        0,
                          r.z, u.z, -b.z, 0, -dot(r, eye), -dot(u, eye), dot(b, eye), 1};
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixd(V);
  }

  // The ray through the centre of pixel (i, j) (j = 0 at the bottom).
  vec ray(int i, int j) const
  {
    const double f = focal(), a = (double)W / H;
    const double x = 2 * (i + 0.5) / W - 1, y = 2 * (j + 0.5) / H - 1;
    return fwd() + (x * a / f) * right() + (y / f) * up();
  }
};

// Outside: looking down at the floor from the side. Inside: between the ball and
// the floor, on the line from the light through the ball's centre.
const camera outside{{2.5, -3.0, 3.0}, {0, 0, 0.3}};
const camera inside{centre + 0.8 * unit(centre - light), {-1.4, -1.0, 0}};

meshgl ball()
{
  meshgl sphere(VY_GET_DIR "/mesh/sphere_896_tnv");
  tensor<double> place(2, 4, 4);
  place.data[0] = place.data[5] = place.data[10] = radius;
  place.data[14] = centre_z;
  place.data[15] = 1;
  return sphere.transform(place);
}

tensor<double> light_tensor()
{
  tensor<double> l(1, 4);
  l.values(light.x, light.y, light.z, 1.0);
  return l;
}

void draw_floor()
{
  glNormal3d(0, 0, 1);
  glBegin(GL_QUADS);
  glVertex3d(-floor_half, -floor_half, 0);
  glVertex3d(floor_half, -floor_half, 0);
  glVertex3d(floor_half, floor_half, 0);
  glVertex3d(-floor_half, floor_half, 0);
  glEnd();
}

// Floor in the depth buffer, then the volume into the stencil buffer with colour
// and depth writes off, as the render pass does it.
void stencil_volume(const shadow_mesh& s)
{
  glDepthMask(GL_FALSE);
  glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
  glEnable(GL_STENCIL_TEST);
  glStencilFunc(GL_ALWAYS, 0, ~0u);
  glEnable(GL_CULL_FACE);
  s.draw_volume(light_tensor());
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glDepthMask(GL_TRUE);
}

void clear(const camera& c)
{
  glClearColor(0.55f, 0.7f, 0.9f, 1);
  glClearDepth(1);
  glClearStencil(0);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glDisable(GL_STENCIL_TEST);
  glDisable(GL_CULL_FACE);
  glDisable(GL_LIGHTING);
  c.load();
}

// Whether the segment from p to the light passes through a triangle of the mesh.
bool blocked(const shadow_mesh& s, vec p)
{
  const vec d = light - p;
  const vec m = centre - p;  // quick miss: the segment passes wide of the ball
  const double t = std::fmax(0, std::fmin(1, dot(m, d) / dot(d, d)));
  const vec gap = m - t * d;
  if (dot(gap, gap) > (radius + 0.01) * (radius + 0.01)) return false;
  const int* c = s.ind[MESH_TRIA].data;
  auto at = [&](int v) {
    const float* q = s.arr.data + 4 * v;
    return vec{q[0], q[1], q[2]};
  };
  for (int f = 0; f < s.ind[MESH_TRIA].numel / 3; f++) {
    const vec a = at(c[3 * f]), e1 = at(c[3 * f + 1]) - a, e2 = at(c[3 * f + 2]) - a;
    const vec h = cross(d, e2);
    const double det = dot(e1, h);
    if (std::fabs(det) < 1e-12) continue;
    const vec q = p - a;
    const double u = dot(q, h) / det, w = dot(d, cross(q, e1)) / det, k = dot(e2, cross(q, e1)) / det;
    if (u >= 0 && w >= 0 && u + w <= 1 && k > 0 && k < 1) return true;
  }
  return false;
}

// 1 where the floor seen through the pixel lies in the ball's shadow.
std::vector<unsigned char> ray_cast(const shadow_mesh& s, const camera& c)
{
  std::vector<unsigned char> e((size_t)W * H);
  for (int j = 0; j < H; j++)
    for (int i = 0; i < W; i++) {
      const vec d = c.ray(i, j);
      if (d.z >= 0) continue;
      const vec p = c.eye + (-c.eye.z / d.z) * d;
      if (std::fabs(p.x) <= floor_half && std::fabs(p.y) <= floor_half) e[i + W * j] = blocked(s, p);
    }
  return e;
}

// A buffer of the W x H corner of the window, bottom row first.
std::vector<unsigned char> read_back(GLenum what, int channels)
{
  std::vector<unsigned char> px((size_t)W * H * channels);
  glFinish();
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, W, H, what, GL_UNSIGNED_BYTE, px.data());
  return px;
}

std::string artefact(const char* name)
{
  mkdir(VY_ARTEFACT_DIR, 0755);
  return std::string(VY_ARTEFACT_DIR "/") + name;
}

// The scene as the program shows it: lit floor, the shadow darkened through the
// stencil, the lit ball on top. Written as a bitmap.
void picture(const shadow_mesh& s, meshgl& b, const camera& c, const char* name)
{
  clear(c);
  const float pos[4] = {(float)light.x, (float)light.y, (float)light.z, 1};
  const float ambient[4] = {0.15f, 0.15f, 0.15f, 1}, white[4] = {1, 1, 1, 1};
  glLightfv(GL_LIGHT0, GL_POSITION, pos);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, white);
  glEnable(GL_LIGHT0);
  glEnable(GL_NORMALIZE);
  glEnable(GL_COLOR_MATERIAL);
  glEnable(GL_LIGHTING);
  glColor3f(0.85f, 0.85f, 0.8f);
  draw_floor();
  glDisable(GL_LIGHTING);
  stencil_volume(s);
  glStencilFunc(GL_NOTEQUAL, 0, ~0u);
  glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
  glDepthFunc(GL_LEQUAL);
  glColor3f(0.85f * 0.15f, 0.85f * 0.15f, 0.8f * 0.15f);  // the floor in ambient light only
  glDisable(GL_CULL_FACE);
  draw_floor();
  glDisable(GL_STENCIL_TEST);
  glDepthFunc(GL_LESS);
  glEnable(GL_LIGHTING);
  b.draw();
  glDisable(GL_LIGHTING);
  const std::vector<unsigned char> rgb = read_back(GL_RGB, 3);
  tensor<unsigned char> img(3, 3, W, H);
  img.set(0, rgb.data(), (int)rgb.size());
  bitmap_write(artefact(name).c_str(), img);
}

class ShadowGL : public testing::Test {
protected:
  void SetUp() override
  {
    glViewport(0, 0, W, H);
    glFrontFace(GL_CCW);
  }

  // Renders the stencil for the camera and compares it with the ray cast: outside a
  // band of two pixels along the expected border every pixel must agree.
  void expect_shadow(const camera& c)
  {
    meshgl b = ball();
    shadow_mesh s(&b);
    clear(c);
    draw_floor();
    stencil_volume(s);
    EXPECT_EQ(glGetError(), (GLenum)GL_NO_ERROR);
    GLint cull, fail, zfail, zpass;  // the state draw_volume leaves behind
    glGetIntegerv(GL_CULL_FACE_MODE, &cull);
    glGetIntegerv(GL_STENCIL_FAIL, &fail);
    glGetIntegerv(GL_STENCIL_PASS_DEPTH_FAIL, &zfail);
    glGetIntegerv(GL_STENCIL_PASS_DEPTH_PASS, &zpass);
    EXPECT_EQ(cull, GL_BACK);
    EXPECT_EQ(fail, GL_KEEP);
    EXPECT_EQ(zfail, GL_DECR);
    EXPECT_EQ(zpass, GL_KEEP);
    const std::vector<unsigned char> got = read_back(GL_STENCIL_INDEX, 1);
    const std::vector<unsigned char> want = ray_cast(s, c);
    auto near_border = [&](int i, int j) {
      for (int dj = -2; dj <= 2; dj++)
        for (int di = -2; di <= 2; di++) {
          const int x = i + di, y = j + dj;
          if (x >= 0 && y >= 0 && x < W && y < H && want[x + W * y] != want[i + W * j]) return true;
        }
      return false;
    };
    int shadow = 0, light = 0, wrong = 0, border = 0;
    for (int j = 0; j < H; j++)
      for (int i = 0; i < W; i++) {
        const bool g = got[i + W * j] != 0, w = want[i + W * j] != 0;
        w ? shadow++ : light++;
        if (g != w) (near_border(i, j) ? border : wrong)++;
      }
    EXPECT_EQ(wrong, 0);
    EXPECT_LT(border, shadow / 10);
    EXPECT_GT(shadow, W * H / 50);
    EXPECT_GT(light, W * H / 50);
  }
};

}  // namespace

TEST_F(ShadowGL, StencilMatchesRayCastWithCameraOutsideTheVolume) { expect_shadow(outside); }

TEST_F(ShadowGL, StencilMatchesRayCastWithCameraInsideTheVolume)
{
  meshgl b = ball();
  shadow_mesh s(&b);
  ASSERT_TRUE(blocked(s, inside.eye));  // the camera really sits in the shadow
  expect_shadow(inside);
}

TEST_F(ShadowGL, PicturesOfTheBallCastingItsShadow)
{
  meshgl b = ball();
  b.color.values(0.95, 0.55, 0.15, 1.0);
  shadow_mesh s(&b);
  picture(s, b, outside, "shadow_outside.bmp");
  picture(s, b, inside, "shadow_inside.bmp");
  struct stat st;
  EXPECT_EQ(stat(artefact("shadow_outside.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 54 + 3 * W * H);
}
