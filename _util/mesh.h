// _util/mesh: the element mesh: one vertex array and eight element lists (points to
// hexahedra), each stored as a binary tensor file "<base>.arr" / "<base>_<k>.ind",
// plus the material slots the renderable mesh draws with. Builds on _util/tensor.
#pragma once
#include <cstdio>
#include "_util/contract.h"
#include "_util/tensor.h"

enum { MESH_VERT, MESH_EDGE, MESH_TRIA, MESH_QUAD, MESH_TETR, MESH_OCTA, MESH_PRIS, MESH_CUBE, MESH_KINDS };

// Per element kind: the name used in descriptions and the vertices per element.
inline const char* const mesh_kind_name[MESH_KINDS] = {"VERT", "EDGE", "TRIA", "QUAD", "TETR", "OCTA", "PRIS", "CUBE"};
inline const int mesh_kind_size[MESH_KINDS] = {1, 2, 3, 4, 4, 6, 6, 8};

// File names and descriptions are built here; each call overwrites it.
inline char mesh_text[1024];

// Returns why element list `list` of kind k cannot index `vertices` vertices, or
// null when every entry names an existing vertex.
inline const char* mesh_check_list(int k, const tensor<int>& list, int vertices)
{
  if (list.ndims != 2 || list.size[0] != mesh_kind_size[k]) {
    std::snprintf(mesh_text, sizeof mesh_text, "%s list is not %i x elements", mesh_kind_name[k], mesh_kind_size[k]);
    return mesh_text;
  }
  if (list.numel && vertices == 0) {
    std::snprintf(mesh_text, sizeof mesh_text, "the vertex array has no vertices for the %s elements",
                  mesh_kind_name[k]);
    return mesh_text;
  }
  for (int c = 0; c < list.numel; c++) {
    if (0 <= list.data[c] && list.data[c] < vertices) continue;
    std::snprintf(mesh_text, sizeof mesh_text, "%s element %i names vertex %i, outside 0..%i", mesh_kind_name[k],
                  c / mesh_kind_size[k], list.data[c], vertices - 1);
    return mesh_text;
  }
  return nullptr;
}

struct mesh {
  tensor<int> ind[MESH_KINDS];  // ind[k]: mesh_kind_size[k] vertex numbers per column
  tensor<float> arr;            // stride (floats per vertex) x vertex count
  int format = 0;
  int texture = 0;
  tensor<double> color;
  tensor<double> specular;
  double shininess = 20.0;

  // Whether the last load found its vertex file (and its element files fit it).
  static inline int ok = 1;

  mesh() { clear(); }

  // Loads the files of base name `base`; a missing element file is an empty list.
  // A file that is there but cannot be read, a vertex array with a value that is
  // not finite (or beyond tensor_sane_limit), and element files that do not fit
  // the vertex array (wrong shape, or an index outside 0..vertices-1) are rejected
  // with a message: the mesh is then empty and ok is 0, so bad data can never
  // reach drawing, the noise or the geometry loops.
  explicit mesh(const char* base)
  {
    clear();
    tensor_verbose = 0;  // missing files are normal here; found ones still report
    std::snprintf(mesh_text, sizeof mesh_text, "%s.arr", base);
    arr = tensor<float>(mesh_text);
    ok = arr.data != nullptr;
    const char* error = ok || !tensor_path_exists(mesh_text) ? nullptr : unreadable(mesh_text);
    if (ok && (arr.ndims != 2 || arr.size[0] < 0 || arr.size[1] < 0))
      error = "the vertex array is not floats x vertices";
    if (ok && !error && !tensor_within(arr)) error = "a vertex value is not a finite number below 1e6 in magnitude";
    const int vertices = ok && !error && arr.size[0] > 0 ? arr.size[1] : 0;
    for (int k = 0; k < MESH_KINDS && ok && !error; k++) {
      std::snprintf(mesh_text, sizeof mesh_text, "%s_%i.ind", base, k);
      ind[k] = tensor<int>(mesh_text);
      if (ind[k].data)
        error = mesh_check_list(k, ind[k], vertices);
      else if (tensor_path_exists(mesh_text))
        error = unreadable(mesh_text);
      else
        ind[k] = tensor<int>(2, mesh_kind_size[k], 0);
    }
    tensor_verbose = 1;
    if (error) {
      std::printf("error mesh %s: %s\n", base, error);
      clear();
      ok = 0;
    } else if (!ok) {
      arr = tensor<float>(2, 0, 0);
    }
  }

  mesh(const mesh&) = default;

  // Assignment replaces the geometry and layout but keeps the target's colours:
  // an object that takes new geometry every frame keeps its look.
  mesh& operator=(const mesh& src)
  {
    if (this == &src) return *this;
    for (int k = 0; k < MESH_KINDS; k++) ind[k] = src.ind[k];
    arr = src.arr;
    format = src.format;
    texture = src.texture;
    return *this;
  }

  const char* describe() const
  {
    const int room = sizeof mesh_text;
    int at = std::snprintf(mesh_text, room, "mesh<%i>(\n", (int)sizeof(float));
    for (int k = 0; k < MESH_KINDS; k++)
      if (ind[k].numel && at < room)
        at += std::snprintf(mesh_text + at, room - at, " %s %s\n", mesh_kind_name[k], ind[k].describe());
    if (at < room) std::snprintf(mesh_text + at, room - at, " %s\n)", arr.describe());
    return mesh_text;
  }

  // Stores the mesh under base name `base`: the vertex array and every element
  // list that holds elements, so that mesh(base) gives the geometry back.
  void write(const char* base) const
  {
    std::snprintf(mesh_text, sizeof mesh_text, "%s.arr", base);
    arr.write(mesh_text);
    for (int k = 0; k < MESH_KINDS; k++) {
      if (!ind[k].numel) continue;
      std::snprintf(mesh_text, sizeof mesh_text, "%s_%i.ind", base, k);
      ind[k].write(mesh_text);
    }
  }

private:
  // A file that is there but is no tensor of the element type (empty, truncated,
  // random bytes, a folder) refuses the mesh like any other bad file.
  static const char* unreadable(const char* file)
  {
    static char text[sizeof mesh_text + 40];
    std::snprintf(text, sizeof text, "%s is not a tensor file of its type", file);
    return text;
  }

  void clear()
  {
    for (int k = 0; k < MESH_KINDS; k++) ind[k] = tensor<int>(2, mesh_kind_size[k], 0);
    arr = tensor<float>(2, 0, 0);
    format = 0;
    texture = 0;
    color = tensor<double>(1, 4);
    color.fill(1.0);
    specular = color;
    shininess = 20.0;
  }
};
