// The mesh and texture caches of _util/_opengl under Xvfb: one object per file
// name, images uploaded and drawn, bad files refused with a message.
#include <gtest/gtest.h>
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
  glTexCoord2d(0, 0); glVertex2d(-2, -2);
  glTexCoord2d(1, 0); glVertex2d(2, -2);
  glTexCoord2d(1, 1); glVertex2d(2, 2);
  glTexCoord2d(0, 1); glVertex2d(-2, 2);
  glEnd();
  glBindTexture(GL_TEXTURE_2D, 0);
  glDisable(GL_TEXTURE_2D);
  expect_color(at(0.5, 0.5), 255, 0, 0, "textured quad");
}

// Bad texture files give a message and no texture (0), not a crash.
TEST_F(Draw, TextureThatIsMissingOrNotAnImageGivesNoTexture)
{
  tensor<float> vector(1, 5);
  std::string not_image = temp_file("vector.tex");
  vector.write(not_image.c_str());
  for (std::string file : {temp_file("missing.tex"), not_image, temp_file("picture.png")}) {
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
}

}  // namespace
