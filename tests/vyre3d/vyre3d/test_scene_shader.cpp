// Shader programs in the program's GL window under Xvfb: the example pair of get/
// builds, links, is cached and draws; the shader setting unbinds it; an unknown
// uniform or a source that does not compile ends the process with its message.
#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include <unistd.h>
#include "_util/_opengl/shader.h"
#include "harness.h"

namespace {

auto* const gl_env = ::testing::AddGlobalTestEnvironment(new GlWindowEnvironment);
const std::string tint = std::string(VY_GET_DIR) + "/shader/tint";

TEST(Shader, ExamplePairBuildsOnceAndDrawsItsUniformColour)
{
  const unsigned int p = opengl_shader(tint.c_str());
  testing::internal::CaptureStdout();
  const unsigned int again = opengl_shader(tint.c_str());
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(p, 0u);
  EXPECT_EQ(again, p);
  EXPECT_EQ(out, "") << "the second call builds nothing and reads no source";

  opengl_settings.shader = 1;
  opengl_shader_use(p);
  int bound = -1;
  glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
  EXPECT_EQ(unsigned(bound), p);
  glUniform4f(opengl_shader_uniform(p, "tint"), 0, 1, 0, 1);
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  glDisable(GL_DEPTH_TEST);
  glBegin(GL_QUADS);
  glVertex2d(-0.5, -0.5), glVertex2d(0.5, -0.5), glVertex2d(0.5, 0.5), glVertex2d(-0.5, 0.5);
  glEnd();
  glEnable(GL_DEPTH_TEST);
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
  const rgba c = read_color(400, 300);
  EXPECT_EQ(c.r, 0);
  EXPECT_EQ(c.g, 255);
  EXPECT_EQ(c.b, 0);

  opengl_settings.shader = 0;  // the menu's switch back to fixed function
  opengl_shader_use(p);
  glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
  EXPECT_EQ(bound, 0);
  opengl_settings.shader = 1;
  glUseProgram(0);
}

TEST(ShaderDeathTest, UnknownUniformEndsTheProcessWithItsName)
{
  const unsigned int p = opengl_shader(tint.c_str());
  EXPECT_DEATH(
      {
        dup2(2, 1);  // the message goes to standard output; the death test reads standard error
        opengl_shader_uniform(p, "no_such");
      },
      "! opengl_shader_uniform not found: no_such\n.*_util/_opengl:[0-9]+: .*Assertion `0' failed");
}

TEST(ShaderDeathTest, CompileErrorPrintsItsTrimmedLogAndEnds)
{
  char folder[] = "/tmp/vyre3d_shader.XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  const std::string base = std::string(folder) + "/broken";
  for (const char* ext : {".vert", ".frag"}) {
    std::FILE* f = std::fopen((base + ext).c_str(), "w");
    std::fputs("#version 110\nvoid main() { this is not glsl }\n", f);
    std::fclose(f);
  }
  EXPECT_DEATH(
      {
        dup2(2, 1);
        opengl_shader(base.c_str());
      },
      "broken.vert ->[^\n]*\n [^\n]*[^ \n]\n.*_util/_opengl:[0-9]+: .*Assertion `0' failed");
  std::remove((base + ".vert").c_str());
  std::remove((base + ".frag").c_str());
  rmdir(folder);
}

}  // namespace
