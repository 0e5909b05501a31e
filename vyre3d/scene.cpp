// vyre3d/scene: the scene: a floor, three coloured shadow-casting lights, the
// avatar that carries the camera, and a noise-deformed ball that follows recorded
// paths. Assembly, the per-frame step and the drawing operations the frame loop
// calls. Builds on _animated/aniMated, _util/perlin, _util/shadow and _util/_opengl.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include "_util/perlin.h"
#include "vyre3d/scene.h"

meshgl plane;
aniMated ball;
aniAvatar* avatar = nullptr;
tensor<double> curve;
int curve_playing = 0;
timestamp curve_start;

namespace {

constexpr double floor_z = -10;
meshgl sphere;  // the ball's source, as loaded and checked at assembly

tensor<double> diagonal(double k, double w)
{
  tensor<double> m(2, 4, 4);
  m.set_diag(k, k, k, w);
  return m;
}

// A (replaced) new mesh and shadow for the ball; the ball owns both from here on.
// An empty mesh (its files refused) casts no shadow, and neither does a sphere too
// large for the 16-bit vertex numbers of shadow volumes.
void give_ball(meshgl* msh)
{
  delete ball.msh;
  delete ball.shadow;
  ball.msh = msh;
  const int nv = msh->vertex_count();
  ball.shadow = nv && nv < shadow_mesh_vertex_limit ? new shadow_mesh(msh) : nullptr;
}

}  // namespace

meshgl scene_load_mesh(const char* base, int kind)
{
  const meshgl m(base);
  if (m.vertex_count() && m.ind[kind].numel) return m;
  // Refused files have had their line from the loader; each missing file gets its own.
  char arr[256], ind[256];
  std::snprintf(arr, sizeof arr, "%s.arr", base);
  std::snprintf(ind, sizeof ind, "%s_%i.ind", base, kind);
  const bool refused = !mesh::ok && tensor_path_exists(arr);
  bool missing = false;
  for (const char* file : {arr, ind})
    if (!refused && !tensor_path_exists(file)) std::printf("error %s: missing, not drawn\n", file), missing = true;
  if (!refused && !missing)
    std::printf("error mesh %s: no vertices or no %s elements, not drawn\n", base, mesh_kind_name[kind]);
  return meshgl();
}

void scene_load_ball(const char* base)
{
  sphere = scene_load_mesh(base, MESH_TRIA);
  if (sphere.vertex_count() >= shadow_mesh_vertex_limit)
    std::printf("error mesh %s: 65535 or more vertices, the ball casts no shadow\n", base);
  meshgl* msh = new meshgl(sphere.transform(diagonal(0.2, 1)));
  msh->normals();
  give_ball(msh);
}

void scene_assemble()
{
  avatar = new aniAvatar;
  avatar->pos.data[2 + 3 * 4] = 3.0;
  for (int k = 0; k < 3; k++) avatar->lin_drag.data[k] = avatar->ang_drag.data[k] = 0.3;
  steered = avatar;

  scene_load_ball(sphere_mesh_name);

  const double colors[3][4] = {{0.5, 0, 0, 0}, {0, 0.5, 0, 0}, {0, 0, 0.5, 0}};
  const double positions[3][2] = {{-10, 10}, {10, 0}, {0, -10}};
  const double height = 40;
  for (int i = 0; i < 3; i++) {
    opengl_light* l = new opengl_light;
    l->diffuse = opengl_vector<double>({colors[i][0], colors[i][1], colors[i][2], colors[i][3]});
    l->specular = l->diffuse;
    l->pose.data[12] = positions[i][0], l->pose.data[13] = positions[i][1], l->pose.data[14] = height;
  }

  // No pose file at start is normal (none is shipped): the start pose stays.
  if (tensor_path_exists(avatar_pos_file)) avatar_load_pose(avatar->pos, avatar_pos_file);
  avatar->lin_drag.fill(10.0);

  // The floor is drawn as texture, normal and position; a file of another layout
  // would be read past its vertices, so it is not drawn.
  plane = scene_load_mesh(plane_mesh_name, MESH_QUAD);
  if (plane.vertex_count() && plane.stride() != 8) {
    std::printf("error mesh %s: not 8 floats per vertex (texture, normal, position), not drawn\n", plane_mesh_name);
    plane = meshgl();
  }
  // The negative scale mirrors the plane through the origin (its winding and
  // normals still face up) and the translation lowers it to z = -10.
  plane.format = GL_T2F_N3F_V3F;
  tensor<double> m = diagonal(-5.5, 1);
  m.data[14] = floor_z;
  plane = plane.transform(m);
  plane.normals();
}

bool scene_load_curve(const char* file, tensor<double>& c)
{
  const tensor<double> read(file);
  const char* problem = nullptr;
  if (!read.numel || read.ndims != 2 || read.size[1] < 3)
    problem = "not a matrix of path points with x, y, z columns";
  else if (!tensor_within(read))
    problem = "a value that is not a finite number below 1e6";
  if (problem) {
    std::printf("error %s: %s, not played\n", file, problem);
    return false;
  }
  c = read;
  return true;
}

void scene_play_curve(int p)
{
  char name[64];
  std::snprintf(name, sizeof name, "get/tensor/curve%i.arr", p);
  if (!scene_load_curve(name, curve)) return;
  curve_playing = 1;
  curve_start = elapsed_time;
}

meshgl ball_mesh(const meshgl& sphere, double t, double z)
{
  meshgl m = sphere;
  const int nv = m.vertex_count();
  if (!nv) return m;
  const int s = m.stride(), vtx = m.vtx_offset();
  const float ft = float(t);
  for (int v = 0; v < nv; v++) {
    float* p = m.arr.data + v * s + vtx;
    const float x = p[0], y = p[1], w = p[2];
    const float r = 1 + 0.4f * simplex4(0.5f * x, 0.5f * y, 0.5f * w, ft) + 0.3f * simplex4(x, y, w, ft) +
                    0.2f * simplex4(2 * x, 2 * y, 2 * w, ft);
    p[0] = r * x, p[1] = r * y, p[2] = r * w;
  }
  // Smaller the higher it flies; a path far below the floor would flip or blow up
  // the ball, so its size stops growing at ten times the unit sphere.
  const double k = 4 / std::max(z + 40, 0.4);
  m = m.transform(diagonal(k, 1));
  m.normals();
  return m;
}

// Before assembly (a window opened by the GL tests alone) there is nothing to move.
void scene_step()
{
  if (!avatar) return;
  dt = physics_step;
  avatar->clear_forces();
  avatar->control();
  avatar->update();

  for (int p = 1; p <= 6; p++)
    if (key_pressed.data['0' + p]) scene_play_curve(p);
  if (key_pressed.data[9]) curve_playing = 0;
  if (key_was_pressed('z')) avatar->pos = tensor<double>::eye(4);

  const double e = (elapsed_time - curve_start).seconds();
  if (curve_playing) {
    curve_playing = e < curve_seconds;
    tensor<double> at(1, 1);
    at.data[0] = e / curve_seconds;
    for (int c = 0; c < 3; c++) ball.pos.data[c + 12] = curve.slice(c).interp(at);
  }

  give_ball(new meshgl(ball_mesh(sphere, elapsed_time.seconds(), ball.pos.data[14])));

  const double f = 10 * (e / 10 - std::floor(e / 10));  // seconds into the ten-second period
  clear_color = f < 0.3 && curve_playing ? color_white : color_black;

  view_matrix = rigid_inverse(avatar->pos);
}

// Meshes whose files were refused are empty and not drawn.
void scene_draw_objects()
{
  if (!curve_playing) return;
  if (ball.msh->vertex_count()) ball.draw();
  if (plane.vertex_count()) plane.draw();
}

// The window rectangle outside which the ball's shadow volume for the light at
// `light` (world x, y, z) changes no stencil value that the lit pass reads.
// Depth-fail counts cancel along every ray whose visible point lies outside the
// volume; the only surfaces drawn are the ball and the floor, so the visible points
// inside it lie on the ball or where the volume meets the floor plane: the ball's
// central projection from the light onto that plane. The rectangle bounds the
// window images of both, with a pixel to spare. False (no limit) when the light is
// not above the whole ball or a point lies behind the camera, or the ball is empty.
bool scene_shadow_rectangle(const double* light, int rect[4])
{
  const meshgl& m = *ball.msh;
  if (!m.vertex_count()) return false;
  const int nv = m.vertex_count(), s = m.stride(), vtx = m.vtx_offset();
  const tensor<double> to_window = projection_matrix * view_matrix;
  double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
  auto add = [&](const double p[3]) {  // a world point's window image into the bounds
    const double* T = to_window.data;
    double q[4];
    for (int r = 0; r < 4; r++) q[r] = T[r] * p[0] + T[4 + r] * p[1] + T[8 + r] * p[2] + T[12 + r];
    if (!(q[3] > 1e-9)) return false;
    for (int k = 0; k < 2; k++) lo[k] = std::min(lo[k], q[k] / q[3]), hi[k] = std::max(hi[k], q[k] / q[3]);
    return true;
  };
  const double* B = ball.pos.data;
  for (int v = 0; v < nv; v++) {
    const float* f = m.arr.data + v * s + vtx;
    double w[3];
    for (int r = 0; r < 3; r++) w[r] = B[r] * f[0] + B[4 + r] * f[1] + B[8 + r] * f[2] + B[12 + r];
    if (!add(w) || !(w[2] < light[2])) return false;
    if (w[2] <= floor_z) continue;  // its ray from the light crosses the plane before reaching it
    const double t = (floor_z - light[2]) / (w[2] - light[2]);
    const double hit[3] = {light[0] + t * (w[0] - light[0]), light[1] + t * (w[1] - light[1]), floor_z};
    if (!add(hit)) return false;
  }
  int corner[2][2];
  for (int k = 0; k < 2; k++) {
    const double size = window_size.data[k];
    corner[0][k] = int(std::clamp(std::floor((lo[k] + 1) * 0.5 * size) - 1, 0.0, size));
    corner[1][k] = int(std::clamp(std::ceil((hi[k] + 1) * 0.5 * size) + 1, 0.0, size));
  }
  rect[0] = corner[0][0], rect[1] = corner[0][1];
  rect[2] = corner[1][0] - corner[0][0], rect[3] = corner[1][1] - corner[0][1];
  return true;
}

void scene_shadow_scissor(const opengl_light* light, int rect[4])
{
  rect[0] = rect[1] = rect[2] = rect[3] = 0;
  if (!curve_playing || !ball.shadow) return;
  if (scene_shadow_rectangle(light->pose.data + 12, rect)) return;
  rect[2] = window_size.data[0], rect[3] = window_size.data[1];
}

// The volume is drawn only inside the rectangle where it can matter: its long
// sides towards infinity cost the rasterizer much and change nothing elsewhere.
void scene_draw_shadows(const opengl_light* light, const int rect[4])
{
  if (rect[2] <= 0 || rect[3] <= 0) return;
  glScissor(rect[0], rect[1], rect[2], rect[3]);
  glEnable(GL_SCISSOR_TEST);
  ball.draw_shadow(light->pose.slice(3));
  glDisable(GL_SCISSOR_TEST);
}

void scene_draw_marker()
{
  glPushAttrib(GL_ENABLE_BIT);
  glDisable(GL_LIGHTING);
  glDisable(GL_DEPTH_TEST);
  glColor3d(1, 0, 0);
  if (curve_playing) {
    glPointSize(3);
    glColor3d(0, 1, 0);
    glBegin(GL_POINTS);
    glVertex3dv(ball.pos.data + 12);
    glEnd();
    glColor3d(1, 0, 0);
  } else {
    for (double h : {0.0, -1.1, -2.7, -5.2, -10.0}) {
      glBegin(GL_LINE_STRIP);
      glVertex3d(-1, -1, h), glVertex3d(1, -1, h), glVertex3d(1, 1, h), glVertex3d(-1, 1, h), glVertex3d(-1, -1, h);
      glEnd();
    }
  }
  glPopAttrib();
}
