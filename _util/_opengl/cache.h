// _util/_opengl/cache: meshes and textures loaded once per file name for the run.
// Builds on tensor, hash, format (bitmaps) and meshgl.
#pragma once
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <cstdio>
#include <cstring>
#include "_util/_opengl/setup.h"
#include "_util/format.h"
#include "_util/hash.h"
#include "_util/meshgl.h"

// Kept for the whole run (never destroyed, so the cached meshes stay reachable).
inline hash<tensor<char>, meshgl*>& mesh_cache = *new hash<tensor<char>, meshgl*>(64);
inline hash<tensor<char>, unsigned int> texture_cache(64);

// The mesh loaded from name, once per name for the run (a missing file gives the empty mesh).
inline meshgl* opengl_mesh(const char* name)
{
  tensor<char> key = tensor<char>::str(name);
  meshgl* ret = nullptr;
  if (!mesh_cache.lookup(key, ret)) {
    ret = new meshgl(name);
    mesh_cache.insert(key, ret);
  }
  return ret;
}

namespace opengl_detail {
inline bool ends_with(const char* text, const char* tail)
{
  size_t n = std::strlen(text), m = std::strlen(tail);
  return n >= m && !std::strcmp(text + n - m, tail);
}

// The image in file as a (channels, width, height) byte tensor, or an empty tensor
// with a message when the file is missing, of an unknown kind or not an RGB(A) image.
inline tensor<unsigned char> texture_image(const char* file)
{
  tensor<unsigned char> img;
  if (ends_with(file, "tex"))
    img = tensor<unsigned char>(file);
  else if (ends_with(file, "bmp"))
    img = bitmap_read(file);
  bool image =
      img.data && img.ndims == 3 && (img.size[0] == 3 || img.size[0] == 4) && img.size[1] > 0 && img.size[2] > 0;
  if (!image) {
    std::printf("error opengl_texture(%s): not an RGB or RGBA image\n", file);
    return tensor<unsigned char>();
  }
  return img;
}
}  // namespace opengl_detail

// GL texture name of the image in file ("...tex": tensor file, "...bmp": bitmap),
// mipmapped and repeating; made once per file name. A file that is missing or not
// an image gives a message and texture 0 (no texture), remembered like any other.
inline unsigned int opengl_texture(const char* file)
{
  VY_CONTRACT(opengl_init, "_util/_opengl");
  tensor<char> key = tensor<char>::str(file);
  unsigned int ret = 0;
  if (texture_cache.lookup(key, ret)) return ret;
  tensor<unsigned char> tex = opengl_detail::texture_image(file);
  if (tex.data) {
    glGenTextures(1, &ret);
    VY_CONTRACT(ret, "_util/_opengl");
    glBindTexture(GL_TEXTURE_2D, ret);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    GLenum format = tex.size[0] == 3 ? GL_RGB : GL_RGBA;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);  // rows of 3-byte pixels are not padded
    gluBuild2DMipmaps(GL_TEXTURE_2D, format, tex.size[1], tex.size[2], format, GL_UNSIGNED_BYTE, tex.data);
    glBindTexture(GL_TEXTURE_2D, 0);
  }
  texture_cache.insert(key, ret);
  return ret;
}
