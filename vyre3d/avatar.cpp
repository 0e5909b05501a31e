// vyre3d/avatar: the avatar's control step: held keys and mouse motion become
// force and torque for the next body update, End brakes, and the a menu saves or
// loads the pose. Builds on _animated/aniMated and the frame's input tables.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include "vyre3d/scene.h"

aniMated* steered = nullptr;

// Why p cannot serve as the avatar's pose, or null. The camera is its rigid
// inverse and the pick and capture solve with it, so the 3x3 part must be close to
// a rotation: R^T R within 0.1 of the identity in every element, and no mirror
// (which turns the view inside out: the floor faces away). The body update keeps a
// rotation only up to rounding, which these margins leave far behind.
const char* avatar_pose_problem(const tensor<double>& p)
{
  if (p.ndims != 2 || p.size[0] != 4 || p.size[1] != 4 || !tensor_within(p))
    return "not a 4x4 pose of finite numbers below 1e6";
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      const double* a = p.data + 4 * i;
      const double* b = p.data + 4 * j;
      if (std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2] - (i == j)) > 0.1)
        return "its 3x3 part is singular or far from a rotation";
    }
  // Orthogonal within the margin above, the determinant lies near +1 or -1.
  if (meshgl_det3(p.data, p.data + 4, p.data + 8) < 0.5) return "its 3x3 part is a mirror, not a rotation";
  return nullptr;
}

void avatar_load_pose(tensor<double>& pose, const char* file)
{
  const tensor<double> read(file);
  if (!read.data && !tensor_path_exists(file)) {
    std::printf("error %s: missing, pose kept\n", file);
    return;
  }
  if (const char* problem = avatar_pose_problem(read)) {
    std::printf("error %s: %s, pose kept\n", file, problem);
    return;
  }
  pose = read;
}

void avatar_save_pose(const tensor<double>& pose, const char* file)
{
  // Written beside the old file and moved over it only when whole, so that a
  // failed write (a full disk) keeps the last saved pose.
  const std::string next = std::string(file) + ".new";
  pose.write(next.c_str());
  std::error_code ec;
  const std::uintmax_t whole = 4 + 4 * std::uintmax_t(pose.ndims) + sizeof(double) * std::uintmax_t(pose.numel);
  if (std::filesystem::file_size(next, ec) == whole && !ec)
    std::filesystem::rename(next, file, ec);
  else
    ec = std::make_error_code(std::errc::io_error);
  if (ec) {
    std::filesystem::remove(next, ec);
    std::printf("error %s: pose not saved, the old file is kept\n", file);
  }
}

void aniAvatar::control()
{
  if (steered != this) return;
  const int* k = key_held.data;
  auto held = [k](int glut_code) { return k[256 + glut_code]; };
  const double* g = lin_drag.data;

  // A held key drives towards 15 units/s along that axis of the avatar's frame,
  // since the drag opposes velocity with the same coefficients.
  force.data[0] += 15 * g[0] * (held(GLUT_KEY_RIGHT) - held(GLUT_KEY_LEFT));
  force.data[1] += 15 * g[1] * (held(GLUT_KEY_PAGE_UP) - held(GLUT_KEY_PAGE_DOWN));
  force.data[2] += 15 * g[2] * (held(GLUT_KEY_DOWN) - held(GLUT_KEY_UP));

  // The turn per frame follows the mouse movement of that frame, not the frame time.
  if (physics_step > 0) {
    torque.data[0] += mouse_delta.data[1] * 2 / physics_step;
    torque.data[1] -= mouse_delta.data[0] * 2 / physics_step;
  }
  torque.data[2] += 3 * (held(GLUT_KEY_INSERT) - held(GLUT_KEY_HOME));

  if (held(GLUT_KEY_END)) {
    vel.fill(0.0);
    omega.fill(0.0);
  }

  if (key_is_held('a')) {
    bulletin_lines.append(tensor<char>::str("avatar\n (l)oad position\n (s)ave position"));
    if (key_was_pressed('s')) avatar_save_pose(pos, avatar_pos_file);
    if (key_was_pressed('l')) avatar_load_pose(pos, avatar_pos_file);
  }
}
