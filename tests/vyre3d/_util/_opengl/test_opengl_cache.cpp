// The mesh and texture caches of _util/_opengl under Xvfb: one object per file
// name, images uploaded and drawn, bad files refused with a message.
#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include "_util/_opengl/cache.h"
#include "gl_test.h"

namespace {

auto* const gl_env = ::testing::AddGlobalTestEnvironment(new GlWindowEnvironment);

std::string temp_file(const char* name) { return std::string(::testing::TempDir()) + name; }

TEST_F(Draw, TextureFromATensorFileIsCachedAndDrawn)
{
  tensor<unsigned char> img(3, 3, 2, 2);
  for (int p = 0; p < 4; ++p) img.data[3 * p] = 255;  // red
  std::string file = temp_file("red.tex");
  img.write(file.c_str());
  unsigned int tex = opengl_texture(file.c_str());
  ASSERT_NE(tex, 0u);
  EXPECT_TRUE(glIsTexture(tex));
  EXPECT_EQ(opengl_texture(file.c_str()), tex);
  glEnable(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, tex);
  glColor3d(1, 1, 1);
  glBegin(GL_QUADS);
  glTexCoord2d(0, 0);
  glVertex2d(-2, -2);
  glTexCoord2d(1, 0);
  glVertex2d(2, -2);
  glTexCoord2d(1, 1);
  glVertex2d(2, 2);
  glTexCoord2d(0, 1);
  glVertex2d(-2, 2);
  glEnd();
  glBindTexture(GL_TEXTURE_2D, 0);
  glDisable(GL_TEXTURE_2D);
  expect_color(at(0.5, 0.5), 255, 0, 0, "textured quad");
}

TEST_F(Draw, TextureFromABitmapKeepsItsChannels)
{
  tensor<unsigned char> img(3, 4, 2, 2);
  for (int p = 0; p < 4; ++p) img.data[4 * p + 2] = 255, img.data[4 * p + 3] = 255;  // opaque blue
  std::string file = temp_file("blue.bmp");
  bitmap_write(file.c_str(), img);
  unsigned int tex = opengl_texture(file.c_str());
  ASSERT_NE(tex, 0u);
  GLint width = 0, format = 0;
  glBindTexture(GL_TEXTURE_2D, tex);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
  GLint min_filter = 0, wrap = 0;
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &min_filter);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap);
  glBindTexture(GL_TEXTURE_2D, 0);
  EXPECT_EQ(width, 2);
  EXPECT_EQ(format, GL_RGBA);
  EXPECT_EQ(min_filter, GL_LINEAR_MIPMAP_LINEAR);
  EXPECT_EQ(wrap, GL_REPEAT);
}

// Bad texture files give a message and no texture (0), not a crash.
TEST_F(Draw, TextureThatIsMissingOrNotAnImageGivesNoTexture)
{
  tensor<float> vector(1, 5);
  std::string not_image = temp_file("vector.tex");
  vector.write(not_image.c_str());
  std::string not_bitmap = temp_file("text.bmp");
  std::FILE* f = std::fopen(not_bitmap.c_str(), "wb");
  std::fputs("plain text, not a picture", f);
  std::fclose(f);
  for (std::string file : {temp_file("missing.tex"), not_image, not_bitmap, temp_file("picture.png")}) {
    ::testing::internal::CaptureStdout();
    unsigned int tex = opengl_texture(file.c_str());
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(tex, 0u) << file;
    EXPECT_NE(out.find("error opengl_texture(" + file + "): not an RGB or RGBA image"), std::string::npos) << out;
  }
}

TEST(DrawDeathTest, TextureNeedsTheWindow)
{
  EXPECT_DEATH(
      {
        opengl_init = 0;
        opengl_texture("x.tex");
      },
      "_util/_opengl:[0-9]+: .*Assertion `opengl_init' failed");
}

TEST(Meshes, MeshCacheKeepsOneMeshPerName)
{
  meshgl* a = opengl_mesh("no/such/mesh");
  EXPECT_EQ(opengl_mesh("no/such/mesh"), a);
  EXPECT_NE(opengl_mesh("no/such/other"), a);
  EXPECT_EQ(a->arr.numel, 0);
  std::string ball = std::string(VY_GET_DIR) + "/mesh/sphere_896_tnv";
  meshgl* b = opengl_mesh(ball.c_str());
  EXPECT_EQ(b->arr.size[1], 450);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(opengl_mesh(ball.c_str()), b);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "a cached mesh is not read again";
}

// The unit ball of the assets (radius 20 pixels here) covers a disc in its colour,
// its front half nearest; the floor plane covers [-1, 1] squared.
TEST_F(Draw, MeshesDrawTheirColourWhereTheyAre)
{
  meshgl ball = *opengl_mesh((std::string(VY_GET_DIR) + "/mesh/sphere_896_tnv").c_str());
  ball.color = color_magenta;
  ball.draw();
  expect_color(at(0, 0), 255, 0, 255, "ball centre");
  expect_color(at(0.6, -0.6), 255, 0, 255, "inside the ball");
  expect_color(at(1.2, 0), 0, 0, 0, "beside the ball");
  EXPECT_NEAR(read_depth(400, 300), 0.5 - 1.0 / 200, 1e-3) << "the front of the ball";
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  meshgl floor = *opengl_mesh((std::string(VY_GET_DIR) + "/mesh/plane_460_tnv").c_str());
  floor.color = color_yellow;
  floor.draw();
  expect_color(at(-0.9, 0.9), 255, 255, 0, "floor corner");
  expect_color(at(1.1, 0), 0, 0, 0, "beyond the floor");
}

}  // namespace
