// vyre3d/scene: the scene's objects (floor, ball, avatar, lights, the playing
// curve) and the avatar's steering, shared by the scene code and its tests.
// Builds on _animated/aniMated and the frame loop's tables (vyre3d/input.h).
#pragma once
#include "_animated/aniMated.h"
#include "vyre3d/input.h"

// The one body whose control step acts (the avatar once the scene is assembled).
extern aniMated* steered;

extern meshgl plane;
extern aniMated ball;
extern aniAvatar* avatar;
extern tensor<double> curve;
extern int curve_playing;
extern timestamp curve_start;

constexpr const char* avatar_pos_file = "get/tensor/avatar.pos";
constexpr const char* sphere_mesh_name = "get/mesh/sphere_896_tnv";
constexpr const char* plane_mesh_name = "get/mesh/plane_460_tnv";
constexpr double curve_seconds = 120;

// The scene operations the frame loop calls: assembly once, the step before each
// frame's drawing, and the objects, shadow volumes and markers of every pass.
void scene_assemble();
void scene_step();
void scene_draw_objects();
// The window rectangle (x, y, width, height) the ball's shadow volume for the light
// is drawn in: empty when the ball casts no shadow, the whole window when nothing
// limits it. Outside it the volume changes no stencil value the lit pass reads.
void scene_shadow_scissor(const opengl_light* light, int rect[4]);
// Draws the ball's shadow volume for the light, cut to rect (scene_shadow_scissor).
void scene_draw_shadows(const opengl_light* light, const int rect[4]);
void scene_draw_marker();

// The mesh base when the scene can draw it: vertices, and elements in list kind
// (MESH_TRIA for the ball, MESH_QUAD for the floor). Otherwise the empty mesh,
// which is never drawn, after one line naming the file at fault ("missing" for a
// missing file; the loader names the files it refuses).
meshgl scene_load_mesh(const char* base, int kind);

// Loads and checks the ball's source mesh and gives the ball its first mesh and
// shadow (none for an empty mesh).
void scene_load_ball(const char* base);

// The window rectangle (x, y, width, height) bounding what the ball's shadow
// volume for a light at world point light can change; false when nothing limits
// it (or the ball is empty).
bool scene_shadow_rectangle(const double* light, int rect[4]);

// Why p cannot be the avatar's pose (not 4x4, a value that is not finite or
// beyond tensor_sane_limit, a 3x3 part far from a rotation or a mirror), or null.
const char* avatar_pose_problem(const tensor<double>& p);

// The pose in file when it is usable; otherwise pose is kept and a line says why
// ("missing" for a missing file).
void avatar_load_pose(tensor<double>& pose, const char* file);

// Writes pose to file; a write that fails leaves the old file as it was.
void avatar_save_pose(const tensor<double>& pose, const char* file);

// Reads a curve file into c when it is a matrix of path points (x, y, z columns,
// every value finite and below tensor_sane_limit); otherwise c is kept and a line
// names the file and the fault.
bool scene_load_curve(const char* file, tensor<double>& c);

// Loads curve p (1 to 6) and starts its playback; a file that scene_load_curve
// refuses leaves playback as it was.
void scene_play_curve(int p);

// The ball's mesh for time t (seconds) at height z: the sphere displaced by three
// octaves of noise and scaled by 4 / (z + 40).
meshgl ball_mesh(const meshgl& sphere, double t, double z);
