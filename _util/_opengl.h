// _util/_opengl: the rendering support layer of vyre3d (window set-up, lights,
// colours, transforms, drawing helpers, the overlay and screen capture). Builds on
// tensor, hash, linked, timer, format and meshgl; the pieces live in _util/_opengl/*.h.
#pragma once
#include "_util/_opengl/setup.h"
#include "_util/_opengl/transform.h"
#include "_util/_opengl/light.h"
#include "_util/_opengl/draw.h"
#include "_util/_opengl/cache.h"
#include "_util/_opengl/overlay.h"
#include "_util/_opengl/capture.h"
