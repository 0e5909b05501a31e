// The avatar's control step and the scene's assembly and per-frame step, run
// without a display in a folder holding a copy of get/ (the scene reads its meshes
// and curves by relative names).
#include <gtest/gtest.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include "_util/_opengl/cache.h"
#include "vyre3d/scene.h"

namespace {

void release_all()
{
  key_held.fill(0);
  key_pressed.fill(0);
  mouse_delta.fill(0);
}

int special(int glut_code) { return 256 + glut_code; }

const meshgl& sphere() { return *opengl_mesh(sphere_mesh_name); }

// One frame of the scene at elapsed time t seconds with body step h.
void frame_at(double t, double h = 0.01)
{
  elapsed_time = timestamp((long long)(t * double(timer_frequency)));
  physics_step = h;
  scene_step();
  key_pressed.fill(0);
  mouse_delta.fill(0);
}

double largest_radius(const meshgl& m)
{
  double r = 0;
  for (int v = 0; v < m.vertex_count(); v++) r = std::max(r, m.vertex_direction(v).norm());
  return r;
}

// What assembly left, before any test moves the avatar or steps the scene.
tensor<double> start_pose;
double start_ball_radius = 0;

struct Scene : ::testing::Test {
  static void SetUpTestSuite()
  {
    std::remove(avatar_pos_file);
    scene_assemble();
    start_pose = avatar->pos;
    start_ball_radius = largest_radius(*ball.msh);
  }
  void SetUp() override
  {
    release_all();
    avatar->pos = tensor<double>::eye(4);
    avatar->vel.fill(0.0);
    avatar->omega.fill(0.0);
    curve_playing = 0;
  }
};

TEST_F(Scene, AssemblySetsTheAvatarLightsBallAndFloor)
{
  // Without a pose file the avatar starts at the origin raised to z = 3.
  for (int k = 0; k < 16; k++) EXPECT_EQ(start_pose.data[k], k == 14 ? 3.0 : k % 5 == 0 ? 1.0 : 0.0) << k;
  EXPECT_NEAR(start_ball_radius, 0.2, 1e-6) << "the unit sphere scaled to 0.2";
  EXPECT_EQ(steered, avatar);
  for (int k = 0; k < 4; k++) {
    EXPECT_EQ(avatar->lin_drag.data[k], 10.0);
    EXPECT_EQ(avatar->ang_drag.data[k], k < 3 ? 0.3 : 0.0);
  }

  const tensor<opengl_light*> lights = light_registry.value_list();
  ASSERT_EQ(lights.numel, 3);
  const double colors[3][4] = {{0.5, 0, 0, 0}, {0, 0.5, 0, 0}, {0, 0, 0.5, 0}};
  const double where[3][3] = {{-10, 10, 40}, {10, 0, 40}, {0, -10, 40}};
  for (int i = 0; i < 3; i++) {
    const opengl_light& l = *lights.data[i];
    EXPECT_EQ(l.id, unsigned(i));
    for (int k = 0; k < 4; k++) {
      EXPECT_EQ(l.diffuse.data[k], colors[i][k]) << i;
      EXPECT_EQ(l.specular.data[k], colors[i][k]) << i;
    }
    for (int k = 0; k < 3; k++) EXPECT_EQ(l.pose.data[12 + k], where[i][k]) << i;
    EXPECT_EQ(l.spot_cutoff, 180);
    EXPECT_TRUE(l.casts_shadows);
  }

  // The floor: the unit plane file mirrored, enlarged 5.5 times and lowered to -10.
  const meshgl file("get/mesh/plane_460_tnv");
  ASSERT_EQ(plane.vertex_count(), file.vertex_count());
  ASSERT_GT(plane.vertex_count(), 0);
  EXPECT_EQ(plane.format, GL_T2F_N3F_V3F);
  for (int v = 0; v < plane.vertex_count(); v += 7) {
    const tensor<double> a = file.vertex(v), b = plane.vertex(v);
    EXPECT_NEAR(b.data[0], -5.5 * a.data[0], 1e-5);
    EXPECT_NEAR(b.data[1], -5.5 * a.data[1], 1e-5);
    EXPECT_NEAR(b.data[2], -10, 1e-5);
    EXPECT_NEAR(plane.normal(v).data[2], 1, 1e-5) << "the floor still faces the camera";
  }
  ASSERT_TRUE(ball.msh && ball.shadow);
}

// Each missing file of a mesh gets its own line, and a vertex array without
// vertices says so rather than naming a vertex range that runs backwards.
TEST(MeshFiles, EveryMissingFileAndAnEmptyVertexArrayGetTheirLine)
{
  namespace fs = std::filesystem;
  const std::string base = "scratch_mesh/ball";
  fs::create_directories("scratch_mesh");
  auto error_lines_of_load = [&]() {  // the loader also echoes the files it reads
    testing::internal::CaptureStdout();
    const meshgl m = scene_load_mesh(base.c_str(), MESH_TRIA);
    EXPECT_EQ(m.vertex_count(), 0);
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::string errors;
    for (std::string line; std::getline(out, line);)
      if (line.rfind("error", 0) == 0) errors += line + "\n";
    return errors;
  };
  fs::remove(base + ".arr"), fs::remove(base + "_2.ind");
  EXPECT_EQ(error_lines_of_load(),
            "error " + base + ".arr: missing, not drawn\nerror " + base + "_2.ind: missing, not drawn\n");

  fs::copy_file(std::string(sphere_mesh_name) + "_2.ind", base + "_2.ind");
  tensor<float>(2, 8, 0).write((base + ".arr").c_str());
  EXPECT_EQ(error_lines_of_load(), "error mesh " + base + ": the vertex array has no vertices for the TRIA elements\n");
  fs::remove_all("scratch_mesh");
}

TEST(AvatarLoad, TakesOnlyAUsablePoseAndKeepsThePoseOtherwise)
{
  // Assembly registers lights, so it runs once per process; the loader it uses
  // for the pose file is checked here. A turned pose, as a + s writes it, loads.
  tensor<double> pose = tensor<double>::eye(4);
  tensor<double> saved = rotation(opengl_vector<double>({0.3, -1.2, 2.0, 0}));
  saved.data[12] = 1.5, saved.data[14] = -2;
  saved.write(avatar_pos_file);
  avatar_load_pose(pose, avatar_pos_file);
  EXPECT_EQ(pose.data[12], 1.5);
  EXPECT_EQ(pose.data[14], -2);
  EXPECT_EQ(pose.data[1], saved.data[1]);

  // Anything else than a finite 4x4 double matrix leaves the pose as it was.
  tensor<double> wrong(2, 3, 4);
  wrong.write(avatar_pos_file);
  tensor<double> kept = tensor<double>::eye(4);
  testing::internal::CaptureStdout();
  avatar_load_pose(kept, avatar_pos_file);
  tensor<double> nan = tensor<double>::eye(4);
  nan.data[5] = NAN;
  nan.write(avatar_pos_file);
  avatar_load_pose(kept, avatar_pos_file);
  tensor<float> floats(2, 4, 4);
  floats.write(avatar_pos_file);
  avatar_load_pose(kept, avatar_pos_file);
  // Finite but singular poses would fail the camera's solves on the next frame.
  tensor<double>(2, 4, 4).write(avatar_pos_file);
  avatar_load_pose(kept, avatar_pos_file);
  (saved * 1e-30).write(avatar_pos_file);
  avatar_load_pose(kept, avatar_pos_file);
  // A mirror keeps R^T R = I but turns the view inside out.
  tensor<double> mirror = saved;
  for (int k = 0; k < 3; k++) mirror.data[k] = -mirror.data[k];
  mirror.write(avatar_pos_file);
  avatar_load_pose(kept, avatar_pos_file);
  std::remove(avatar_pos_file);
  avatar_load_pose(kept, avatar_pos_file);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(kept.ndims, 2);
  for (int k = 0; k < 16; k++) EXPECT_EQ(kept.data[k], k % 5 == 0 ? 1.0 : 0.0);
  EXPECT_NE(out.find("error get/tensor/avatar.pos: not a 4x4 pose of finite numbers below 1e6, pose kept"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("error get/tensor/avatar.pos: its 3x3 part is singular or far from a rotation, pose kept"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("error get/tensor/avatar.pos: its 3x3 part is a mirror, not a rotation, pose kept"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("error get/tensor/avatar.pos: missing, pose kept"), std::string::npos) << out;
}

TEST_F(Scene, SteeringKeysDriveTowardsFifteenAndCancelInPairs)
{
  key_held.data[special(GLUT_KEY_LEFT)] = key_held.data[special(GLUT_KEY_RIGHT)] = 1;
  key_held.data[special(GLUT_KEY_PAGE_UP)] = key_held.data[special(GLUT_KEY_PAGE_DOWN)] = 1;
  avatar->clear_forces();
  avatar->control();
  EXPECT_EQ(avatar->force.data[0], 0);
  EXPECT_EQ(avatar->force.data[1], 0);
  release_all();

  key_held.data[special(GLUT_KEY_UP)] = 1;
  for (int i = 0; i < 400; i++) frame_at(i * 0.01);
  EXPECT_NEAR(avatar->vel.data[2], -15, 0.01) << "Up moves forward, along -z";
  EXPECT_NEAR(avatar->vel.data[0], 0, 1e-9);
  EXPECT_LT(avatar->pos.data[14], -40);

  // End stops the avatar at once, even with Up still held.
  key_held.data[special(GLUT_KEY_END)] = 1;
  frame_at(4.0);
  avatar->clear_forces();
  avatar->control();
  EXPECT_EQ(avatar->vel.norm(), 0);
  EXPECT_LT(avatar->force.data[2], 0) << "force still accumulates";

  // A body that is not steered ignores the keys.
  aniAvatar other;
  other.lin_drag.fill(10.0);
  other.control();
  EXPECT_EQ(other.force.norm(), 0);
}

TEST_F(Scene, MouseTurnsAndInsertHomeRoll)
{
  mouse_delta.data[0] = 0.1, mouse_delta.data[1] = 0.05;
  key_held.data[special(GLUT_KEY_INSERT)] = 1;
  physics_step = 0.02;
  avatar->clear_forces();
  avatar->control();
  EXPECT_NEAR(avatar->torque.data[0], 0.05 * 2 / 0.02, 1e-12) << "dragging up pitches up";
  EXPECT_NEAR(avatar->torque.data[1], -0.1 * 2 / 0.02, 1e-12) << "dragging right turns right";
  EXPECT_EQ(avatar->torque.data[2], 3);
  key_held.data[special(GLUT_KEY_HOME)] = 1;
  avatar->clear_forces();
  avatar->control();
  EXPECT_EQ(avatar->torque.data[2], 0);
}

TEST_F(Scene, AvatarMenuSavesAndLoadsOnlyWithAHeld)
{
  avatar->pos.data[12] = 4;
  key_pressed.data['s'] = 1;
  avatar->control();
  EXPECT_FALSE(tensor<double>(avatar_pos_file).data) << "s without a writes nothing";

  key_held.data['a'] = 1;
  avatar->control();
  EXPECT_EQ(bulletin_lines.count, 1);
  bulletin_lines.clear();
  avatar->pos.data[12] = 7;
  key_pressed.data['s'] = 0, key_pressed.data['l'] = 1;
  avatar->control();
  EXPECT_EQ(avatar->pos.data[12], 4) << "a + l restores the saved pose";
  bulletin_lines.clear();
  std::remove(avatar_pos_file);
}

TEST(AvatarSave, AFailedWriteKeepsTheOldFile)
{
  tensor<double> pose = tensor<double>::eye(4);
  pose.data[13] = 9;
  avatar_save_pose(pose, avatar_pos_file);
  testing::internal::CaptureStdout();
  avatar_save_pose(pose, "no/such/folder/avatar.pos");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("error no/such/folder/avatar.pos: pose not saved, the old file is kept"), std::string::npos)
      << out;
  if (FILE* full = std::fopen("/dev/full", "wb")) {  // a device that is always out of space
    std::fclose(full);
    std::remove("avatar_full.pos");
    if (symlink("/dev/full", "avatar_full.pos.new") == 0) {
      avatar_save_pose(pose, "avatar_full.pos");
      EXPECT_FALSE(std::filesystem::exists("avatar_full.pos"));
      std::remove("avatar_full.pos.new");
    }
  }
  EXPECT_EQ(tensor<double>(avatar_pos_file).data[13], 9);
  std::remove(avatar_pos_file);
}

TEST_F(Scene, ZResetsThePoseAndTheCameraIsItsInverse)
{
  avatar->pos.data[13] = 2;
  key_pressed.data['z'] = 1;
  frame_at(1.0);
  EXPECT_EQ(avatar->pos.data[13], 0);
  avatar->pos.data[12] = 5;
  frame_at(1.01);
  const tensor<double> product = view_matrix * avatar->pos;
  for (int k = 0; k < 16; k++) EXPECT_NEAR(product.data[k], k % 5 == 0 ? 1 : 0, 1e-12);
}

TEST_F(Scene, CurvePlaysOverTwoMinutesFlashesAndStops)
{
  const tensor<double> c3("get/tensor/curve3.arr");
  ASSERT_EQ(c3.ndims, 2);
  const int n = c3.size[0];
  frame_at(50);
  key_pressed.data['3'] = 1;
  frame_at(50.01);
  ASSERT_TRUE(curve_playing);
  EXPECT_EQ(curve.numel, c3.numel);
  for (int c = 0; c < 3; c++) EXPECT_NEAR(ball.pos.data[12 + c], c3.data[c * n], 1e-3) << c;
  EXPECT_EQ(clear_color.data[0], 1) << "white for the first 0.3 s";
  frame_at(50.5);
  EXPECT_EQ(clear_color.data[0], 0);
  frame_at(60.2);
  EXPECT_EQ(clear_color.data[0], 1) << "and again ten seconds later";
  frame_at(110);  // halfway
  for (int c = 0; c < 3; c++)
    EXPECT_NEAR(ball.pos.data[12 + c], c3.interp(opengl_vector<double>({(110 - 50.01) / 120, c / 2.0})), 1e-6);
  frame_at(169.99);
  EXPECT_TRUE(curve_playing);
  for (int c = 0; c < 3; c++) EXPECT_NEAR(ball.pos.data[12 + c], c3.data[c * n + n - 1], 0.02) << c;
  frame_at(170.01);
  EXPECT_FALSE(curve_playing) << "two minutes after the key press";
  EXPECT_EQ(clear_color.data[0], 0);

  key_pressed.data['1'] = key_pressed.data['5'] = 1;  // the highest number wins
  frame_at(200);
  const tensor<double> c5("get/tensor/curve5.arr");
  EXPECT_EQ(ball.pos.data[12], c5.data[0]);
  key_pressed.data[9] = 1;  // Tab
  frame_at(200.1);
  EXPECT_FALSE(curve_playing);
}

TEST_F(Scene, ACurveFileThatIsNoPathIsNotPlayed)
{
  std::rename("get/tensor/curve6.arr", "get/tensor/curve6.keep");
  testing::internal::CaptureStdout();
  key_pressed.data['6'] = 1;
  frame_at(10);
  EXPECT_FALSE(curve_playing) << "missing";
  tensor<double>(2, 0, 3).write("get/tensor/curve6.arr");
  key_pressed.data['6'] = 1;
  frame_at(10.1);
  EXPECT_FALSE(curve_playing) << "empty";
  tensor<double>(2, 100, 2).write("get/tensor/curve6.arr");
  key_pressed.data['6'] = 1;
  frame_at(10.2);
  EXPECT_FALSE(curve_playing) << "two columns";
  tensor<double> nan(2, 100, 3);
  nan.data[150] = NAN;
  nan.write("get/tensor/curve6.arr");
  key_pressed.data['6'] = 1;
  frame_at(10.3);
  EXPECT_FALSE(curve_playing) << "a NaN would reach the ball's pose and its shadow's solve";
  const std::string out = testing::internal::GetCapturedStdout();
  std::rename("get/tensor/curve6.keep", "get/tensor/curve6.arr");
  EXPECT_NE(out.find("error get/tensor/curve6.arr: not a matrix of path points with x, y, z columns, not played"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("error get/tensor/curve6.arr: a value that is not a finite number below 1e6, not played"),
            std::string::npos)
      << out;

  // A playing curve keeps playing when a bad one is asked for.
  key_pressed.data['2'] = 1;
  frame_at(11);
  std::rename("get/tensor/curve6.arr", "get/tensor/curve6.keep");
  key_pressed.data['6'] = 1;
  frame_at(11.1);
  std::rename("get/tensor/curve6.keep", "get/tensor/curve6.arr");
  EXPECT_TRUE(curve_playing);
  EXPECT_EQ(curve.size[0], 300);
}

TEST_F(Scene, BallIsRebuiltEveryFrameAndShrinksWithHeight)
{
  const auto radius = largest_radius;
  const meshgl low = ball_mesh(sphere(), 3.0, 0), high = ball_mesh(sphere(), 3.0, 40);
  EXPECT_NEAR(radius(high) / radius(low), 0.5, 1e-5) << "k = 4 / (z + 40)";
  EXPECT_GT(radius(low), 0.1 * 1.05) << "the noise swells the unit sphere somewhere";
  EXPECT_LT(radius(low), 0.1 * 1.9);
  const meshgl later = ball_mesh(sphere(), 3.5, 0);
  EXPECT_NE(later.arr.data[7], low.arr.data[7]) << "the surface moves with time";

  frame_at(1);
  const meshgl* before = ball.msh;
  frame_at(1.02);
  EXPECT_NE(ball.msh, before);
  EXPECT_EQ(ball.shadow->vertex_count(), ball.msh->vertex_count());
}

// Every recorded path keeps the ball over the floor and in the default camera's view.
TEST(Curves, StayOverTheFloorAndInView)
{
  for (int p = 1; p <= 6; p++) {
    char name[64];
    std::snprintf(name, sizeof name, "get/tensor/curve%i.arr", p);
    const tensor<double> c(name);
    ASSERT_EQ(c.ndims, 2) << name;
    ASSERT_EQ(c.size[1], 3);
    const int n = c.size[0];
    EXPECT_GE(n, 200);
    double zmin = 1e9, zmax = -1e9;
    for (int i = 0; i < n; i++) {
      const double x = c.data[i], y = c.data[i + n], z = c.data[i + 2 * n];
      zmin = std::min(zmin, z), zmax = std::max(zmax, z);
      EXPECT_GT(z, -10 + 0.3) << name << " row " << i;
      EXPECT_LT(std::fabs(x) / (3 - z), 0.3079) << name << " row " << i;
      EXPECT_LT(std::fabs(y) / (3 - z), 0.2309) << name << " row " << i;
      if (i) {
        const double dx = x - c.data[i - 1], dy = y - c.data[i - 1 + n], dz = z - c.data[i - 1 + 2 * n];
        EXPECT_LT(std::sqrt(dx * dx + dy * dy + dz * dz), 0.5) << name << " row " << i << ": a smooth path";
      }
    }
    EXPECT_GT(zmax - zmin, 2) << name << ": height varies";
  }
}

}  // namespace
