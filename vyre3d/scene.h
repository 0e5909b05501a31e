// vyre3d/scene: the scene's objects (floor, ball, avatar, lights, the playing
// curve) and the avatar's steering, shared by the scene code and its tests.
// Builds on _animated/aniMated and the frame loop's tables (vyre3d/frame.h).
#pragma once
#include "_animated/aniMated.h"
#include "vyre3d/frame.h"

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
constexpr double curve_seconds = 120;

// The pose in file when it holds a 4x4 double matrix; otherwise pose is kept and a
// line says why (a missing file only as the reader reports it).
void avatar_load_pose(tensor<double>& pose, const char* file);

// Writes pose to file; a write that fails leaves the old file as it was.
void avatar_save_pose(const tensor<double>& pose, const char* file);

// Loads curve p (1 to 6) and starts its playback; a file that is missing, empty or
// not a matrix of at least three columns leaves playback as it was, with a message.
void scene_play_curve(int p);

// The ball's mesh for time t (seconds) at height z: the sphere displaced by three
// octaves of noise and scaled by 4 / (z + 40).
meshgl ball_mesh(double t, double z);
