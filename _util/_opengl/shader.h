// _util/_opengl/shader: GLSL programs built once per base name from "<name>.vert"
// and "<name>.frag", uniform look-up that fails hard on unknown names, and binding
// subject to the shader display setting. Builds on tensor (read_text), hash and
// the GL set-up (GLEW entry points).
#pragma once
#include <GL/glew.h>
#include <cstdio>
#include <string>
#include "_util/_opengl/setup.h"
#include "_util/contract.h"
#include "_util/hash.h"
#include "_util/tensor.h"

// Programs by base name, built on first use and kept for the run.
inline hash<tensor<char>, unsigned int>& shader_cache = *new hash<tensor<char>, unsigned int>(16);

namespace opengl_detail {
// Prints a compile or link log without its trailing blanks and control characters
// and ends the process: a program that does not build is a programming error.
inline void shader_log_fail(unsigned int object, bool is_program)
{
  int numel = 0;
  if (is_program)
    glGetProgramiv(object, GL_INFO_LOG_LENGTH, &numel);
  else
    glGetShaderiv(object, GL_INFO_LOG_LENGTH, &numel);
  VY_CONTRACT(0<numel, "_util/_opengl");
  tensor<char> log(1, numel);
  if (is_program)
    glGetProgramInfoLog(object, numel, nullptr, log.data);
  else
    glGetShaderInfoLog(object, numel, nullptr, log.data);
  log.data[numel - 1] = 0;
  for (int i = numel - 1; i >= 0 && (unsigned char)log.data[i] <= 32; --i) log.data[i] = 0;
  std::printf(" %s\n", log.data);
  std::fflush(stdout);
  VY_CONTRACT(0, "_util/_opengl");
}

inline void shader_attach(unsigned int program, const std::string& file, GLenum type)
{
  const unsigned int shader = glCreateShader(type);
  const tensor<char> text = read_text(file.c_str());
  const char* source = text.data ? text.data : "";
  const int length = text.numel;
  glShaderSource(shader, 1, &source, &length);
  glCompileShader(shader);
  int status = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
  if (!status) shader_log_fail(shader, false);
  glAttachShader(program, shader);
}
}  // namespace opengl_detail

// The program built from name.vert and name.frag, once per name for the run.
inline unsigned int opengl_shader(const char* name)
{
  const tensor<char> key = tensor<char>::str(name);
  unsigned int program = 0;
  if (shader_cache.lookup(key, program)) return program;
  program = glCreateProgram();
  opengl_detail::shader_attach(program, std::string(name) + ".vert", GL_VERTEX_SHADER);
  opengl_detail::shader_attach(program, std::string(name) + ".frag", GL_FRAGMENT_SHADER);
  glLinkProgram(program);
  int status = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &status);
  if (!status) opengl_detail::shader_log_fail(program, true);
  shader_cache.insert(key, program);
  return program;
}

// Location of a uniform the program uses; an unknown name ends the process.
inline int opengl_shader_uniform(unsigned int program, const char* name)
{
  const int location = glGetUniformLocation(program, name);
  if (location >= 0) return location;
  std::printf("! opengl_shader_uniform not found: %s\n", name);
  std::fflush(stdout);
  VY_CONTRACT(0, "_util/_opengl");
  return location;
}

// Binds program, or the fixed-function pipeline while shaders are switched off.
inline void opengl_shader_use(unsigned int program) { glUseProgram(program * (opengl_settings.shader ? 1u : 0u)); }
